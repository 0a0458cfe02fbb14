#include "service/stream.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <mutex>
#include <string>

#include "config.h"
#include "service/main.h"
#include "service/photo_store.h"
#include "utils/logger.h"
#include "utils/shell.h"

// ---------------------------------------------------------------------------------- Stream

Stream::Stream(int cameraNumber, std::string deviceNode, stream::Settings settings,
               std::function<void()> onEnded)
    : camera(cameraNumber), device(std::move(deviceNode)), ended(std::move(onEnded)), pipeline(settings) {
    // Started last, once every member the worker touches exists.
    worker = std::make_unique<std::thread>(&Stream::Streaming, this);
}

Stream::~Stream() {
    pipeline.stop_stream();
    if (worker && worker->joinable()) {
        worker->join();
    }
    worker.reset();
}

bool Stream::IsStreaming() { return !finished.load(); }

void Stream::Streaming() {
    const std::string url =
        Config::Get(CAMERA_SERVER) + "/" + Config::Get(MAC_ADDRESS) + "_" + std::to_string(camera);
    LOG_DEBUG << "Start stream: " << url;
    try {
        const std::string format = Config::Get(STREAM_FORMAT);
        const int width = std::stoi(Config::Get(STREAM_WIDTH));
        const int height = std::stoi(Config::Get(STREAM_HEIGHT));
        const int fps = std::stoi(Config::Get(STREAM_FRAME_RATE));
        pipeline.stream_video(device.c_str(), url.c_str(), format.c_str(), width, height, fps);
    } catch (...) {
        LOG_ERROR << "Stream " << camera << "Error.";
    }
    finished.store(true);
    if (ended) {
        ended();
    }
}

// ------------------------------------------------------------------------ StreamController

namespace {
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

StreamController::Settings StreamController::Settings::FromConfig() {
    Settings settings;
    settings.stopTimeout = std::chrono::seconds(std::stoi(Config::Get(STREAM_STOP_TIMEOUT)));
    settings.photoInterval = std::chrono::seconds(std::stoi(Config::Get(PHOTO_CAPTURE_INTERVAL)));
    settings.stopTimesFile = RuntimeDirectory() + "/streams";
    settings.pipeline = stream::Settings::FromConfig();
    return settings;
}

std::shared_ptr<StreamController> StreamController::Instance(
    const std::function<StreamController*()>& create) {
    static std::shared_ptr<StreamController> _instance(create());
    return _instance;
}

std::shared_ptr<StreamController> StreamController::GetInstance(const std::string& name,
                                                                std::shared_ptr<Thread> parent) {
    return Instance([&] { return new StreamController(name, parent, Settings::FromConfig()); });
}

std::shared_ptr<StreamController> StreamController::GetInstance(const std::string& name,
                                                                std::shared_ptr<Thread> parent,
                                                                const Settings& settings) {
    return Instance([&] { return new StreamController(name, parent, settings); });
}

StreamController::StreamController(const std::string& name, std::shared_ptr<Thread> parent)
    : StreamController(name, std::move(parent), Settings::FromConfig()) {}

StreamController::StreamController(const std::string& name, std::shared_ptr<Thread> parent,
                                   const Settings& controllerSettings)
    : Thread(name, std::move(parent)), settings(controllerSettings) {}

StreamController::~StreamController() = default;

void StreamController::onInit() {
    Thread::onInit();

    setEventHandler<StartStreamEvent>([this](std::shared_ptr<StartStreamEvent> event) {
        const int camera = event->get<0>();
        auto existing = streams.find(camera);
        if (existing != streams.end()) {
            LOG_DEBUG << "Camera is streaming, we reset stop timer.";
            if (!existing->second->IsStreaming()) {
                streams.erase(existing);  // stops and joins the ended worker
                streams.insert({camera, NewStream(camera)});
            }
            // Re-armed, not rebuilt: a flood of requests must not build thousands of timers.
            auto timer = stopTimers.find(camera);
            if (timer != stopTimers.end()) {
                timer->second->setEnabled(false);
                timer->second->setInterval(settings.stopTimeout);
                timer->second->setEnabled(true);
            } else {
                stopTimers.insert({camera, CreateStopStreamTimer(camera)});
            }
        } else {
            streams.insert({camera, NewStream(camera)});
            stopTimers.insert({camera, CreateStopStreamTimer(camera)});
            photoTimers.erase(camera);
        }
        stopTimes[camera] =
            NowMs() + std::chrono::duration_cast<std::chrono::milliseconds>(settings.stopTimeout).count();
        SaveStopTimes();
        ReportStreams();
    });

    setEventHandler<StopStreamEvent>([this](std::shared_ptr<StopStreamEvent> event) {
        const int camera = event->get<0>();
        if (streams.find(camera) != streams.end()) {
            streams.erase(camera);
            StartCapturePhotoTimer(camera);
            stopTimers.erase(camera);
            stopTimes.erase(camera);
            SaveStopTimes();
            ReportStreams();
        } else {
            LOG_ERROR << "Camera: " << camera << " is not streaming!";
        }
    });

    setEventHandler<StreamEndedEvent>(
        [this](std::shared_ptr<StreamEndedEvent> event) { OnStreamEnded(event->get<0>()); });

    RestoreStreams();
    ReportStreams();

    setEventHandler<CapturePhotoEvent>([this](std::shared_ptr<CapturePhotoEvent> event) {
        // An absent camera is skipped, not failed: a board with one camera would otherwise log
        // an ERROR every minute for months.
        const int camera = event->get<0>();
        if (!CameraDeviceIsConnected(camera)) {
            if (missing.insert(camera).second) {
                LOG_WARN << "Camera " << camera << " is not present (" << DevicePath(camera)
                         << "): no photos until it is back.";
            }
            return;
        }
        if (missing.erase(camera) != 0) {
            LOG_INFO << "Camera " << camera << " is back (" << DevicePath(camera) << "): photos resume.";
        }
        if (photoStore) {
            CapturePhoto(event->get<0>(), *photoStore);
        } else {
            LOG_ERROR << "No photo store: camera " << event->get<0>() << " takes no photo.";
        }
    });
}

std::shared_ptr<Stream> StreamController::NewStream(int camera) {
    std::weak_ptr<Thread> controller = shared_from_this();
    return std::make_shared<Stream>(camera, DevicePath(camera), settings.pipeline,
                                    [controller, camera]() {
                                        if (auto self = controller.lock()) {
                                            self->post(std::make_shared<StreamEndedEvent>(camera));
                                        }
                                    });
}

void StreamController::OnStreamEnded(int camera) {
    auto found = streams.find(camera);
    // Gone: stopped on purpose. Running: already replaced by a new request.
    if (found == streams.end() || found->second->IsStreaming()) {
        return;
    }
    LOG_INFO << "Camera " << camera << ": its stream ended by itself, photos resume.";
    streams.erase(found);  // joins the worker, which has finished
    stopTimers.erase(camera);
    StartCapturePhotoTimer(camera);
    stopTimes.erase(camera);
    SaveStopTimes();
    ReportStreams();
}

void StreamController::ReportStreams() {
    if (!settings.onStreams) return;
    std::set<int> streaming;
    for (const auto& entry : streams) streaming.insert(entry.first);
    if (streamsReported && streaming == reportedStreams) return;
    streamsReported = true;
    reportedStreams = streaming;
    settings.onStreams(streaming);
}

void StreamController::SaveStopTimes() {
    if (settings.stopTimesFile.empty()) {
        return;
    }
    const std::string& file = settings.stopTimesFile;
    const std::string directory = file.substr(0, file.rfind('/'));
    if (!directory.empty()) {
        ::mkdir(directory.c_str(), 0700);  // systemd makes it; elsewhere it may be missing
    }
    std::string text;
    for (const auto& entry : stopTimes) {
        text += std::to_string(entry.first) + " " + std::to_string(entry.second) + "\n";
    }
    const std::string temporary = file + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = fd >= 0 && ::fsync(fd) == 0 && written;
    if (fd >= 0) ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        LOG_WARN << "Cannot record the streams' stop times in " << file << " (errno " << errno
                 << "): a run that ends now does not carry its streams on.";
        ::unlink(temporary.c_str());
    }
}

void StreamController::RestoreStreams() {
    if (settings.stopTimesFile.empty()) {
        return;
    }
    std::ifstream in(settings.stopTimesFile);
    if (!in.is_open()) {
        return;  // nothing was streaming
    }
    std::map<int, int64_t> carried;
    std::string line;
    bool valid = true;
    while (valid && std::getline(in, line)) {
        std::istringstream fields(line);
        long long camera = -1;
        long long stop = 0;
        std::string rest;
        valid = static_cast<bool>(fields >> camera >> stop) && !(fields >> rest) && camera >= 0 &&
                camera <= 2147483647LL;
        if (valid) carried[static_cast<int>(camera)] = static_cast<int64_t>(stop);
    }
    if (!valid) {
        LOG_WARN << "Ignoring " << settings.stopTimesFile << ": it does not hold stop times.";
        return;
    }
    const int64_t now = NowMs();
    const int64_t longest = std::chrono::duration_cast<std::chrono::milliseconds>(settings.stopTimeout).count();
    for (const auto& entry : carried) {
        const int camera = entry.first;
        const int64_t left = entry.second - now;
        if (left <= 0) {
            continue;  // its time ran out between the runs
        }
        if (left > longest + 1000) {
            LOG_WARN << "Ignoring the stop time of camera " << camera << " in " << settings.stopTimesFile
                     << ": " << left / 1000 << " s ahead, more than a request gives.";
            continue;
        }
        LOG_INFO << "Camera " << camera << ": carrying its stream on for " << (left + 999) / 1000
                 << " s more.";
        streams.insert({camera, NewStream(camera)});
        stopTimers.insert({camera, CreateCameraTimer(camera, std::chrono::seconds((left + 999) / 1000), true)});
        stopTimes[camera] = entry.second;
    }
    SaveStopTimes();
}

void StreamController::onExit() {
    streams.clear();
    photoTimers.clear();
    stopTimers.clear();
    photoStore.reset();
    Thread::onExit();
}

std::shared_ptr<Timer> StreamController::CreateCameraTimer(int camera, std::chrono::seconds interval,
                                                           bool stopTimer) {
    // A firing that was already under way when its timer went may still run; it must not
    // touch a controller that has been destroyed meanwhile.
    std::weak_ptr<Thread> controller = shared_from_this();
    auto timer = std::make_shared<Timer>([controller, camera, stopTimer]() {
        if (stopTimer) {
            LOG_DEBUG << "Stop Stream timer is triggered.";
        } else {
            LOG_DEBUG << "Capture Photo timer is triggered.";
        }
        if (auto self = controller.lock()) {
            if (stopTimer) {
                self->post(std::make_shared<StopStreamEvent>(camera));
            } else {
                self->post(std::make_shared<CapturePhotoEvent>(camera));
            }
        }
    });
    timer->setInterval(interval);
    timer->setEnabled(true);
    return timer;
}

std::shared_ptr<Timer> StreamController::CreateStopStreamTimer(int camera) {
    return CreateCameraTimer(camera, settings.stopTimeout, true);
}

std::shared_ptr<Timer> StreamController::CreateCapturePhotoTimer(int camera) {
    return CreateCameraTimer(camera, settings.photoInterval, false);
}

void StreamController::StartCapturePhotoTimer(int camera) {
    // A stream carried on from the last run holds the camera until its stop time.
    if (streams.count(camera) != 0) {
        return;
    }
    photoTimers.erase(camera);
    photoTimers.insert({camera, CreateCapturePhotoTimer(camera)});
}

std::string StreamController::DevicePath(int camera) {
    const std::pair<FIELD, FIELD> named[] = {{CAM1_INDEX, CAM1_PATH}, {CAM2_INDEX, CAM2_PATH}};
    for (const auto& entry : named) {
        const std::string& path = Config::Get(entry.second);
        if (!path.empty() && Config::Get(entry.first) == std::to_string(camera)) {
            return path;
        }
    }
    const std::string& prefix = Config::Get(VIDEO_DEVICE_PREFIX);
    return (prefix.empty() ? std::string("/dev/video") : prefix) + std::to_string(camera);
}

bool StreamController::CameraDeviceIsConnected(int camera) {
    const std::string path = DevicePath(camera);
    // Non-blocking: a camera that hangs must not hold up the heartbeat.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    v4l2_capability capability {};
    int result;
    do {
        result = ::ioctl(fd, VIDIOC_QUERYCAP, &capability);
    } while (result != 0 && errno == EINTR);
    ::close(fd);
    if (result != 0) {
        return false;
    }
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                               : capability.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

bool StreamController::CapturePhoto(int camera, PhotoStore& store) {
    PhotoStore::Shot shot;
    if (!store.Prepare(camera, shot)) return false;

    // The tool writes to the store's temporary file: a capture that fails half-way never
    // leaves a partial picture under a photo's name. The path is quoted: a storage folder
    // with a blank or a shell character must neither break the command nor run anything.
    // A configured node name may hold any character: quoted unless it is a plain path.
    const std::string device = DevicePath(camera);
    const bool plain = device.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._:-") ==
                       std::string::npos;
    const std::string command = "v4l2-ctl --device " + (plain ? device : ShellQuote(device)) +
                                " --set-fmt-video=width=1920,height=1080,pixelformat=MJPG"
                                " --stream-mmap --stream-to=" +
                                ShellQuote(shot.temporary) +
                                " --stream-count=1 --stream-sleep=1 --stream-skip=5 2>&1";
    const CommandResult result = RunUnixCommand(command);
    if (result.status != 0) {
        LOG_ERROR << "Failed to execute cmd: " << command << " stderr: " << result.output;
        store.Abandon(shot);
        return false;
    }
    LOG_DEBUG << "Run " << command << " successfully.";
    return store.Commit(shot);
}

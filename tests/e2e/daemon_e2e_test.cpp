// The whole device from outside: the daemon binary with a real broker, FTP server, RTMP endpoint
// and the virtual camera, watched by a controller over MQTT, through the FTP server's files and
// with ffprobe on the published stream. Each test is its own ctest test with its own peers, so
// that they go side by side. Only the complete run keeps the daemon's own run length and periods;
// the others that wait for a planned end or a period configure short ones.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_test.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const std::string kCam9Missing = "Camera 9 is not present (/dev/video9): no photos until it is back.";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The member names of a JSON object in document order, and its "time" value.
struct Json {
    bool object = false;
    std::vector<std::string> names;
    int64_t time = -1;
    std::string type;
};

Json Parse(const std::string& payload) {
    Json json;
    rapidjson::Document document;
    document.Parse(payload.c_str());
    if (document.HasParseError() || !document.IsObject()) return json;
    json.object = true;
    for (auto& member : document.GetObject()) json.names.push_back(member.name.GetString());
    if (document.HasMember("time") && document["time"].IsInt64()) json.time = document["time"].GetInt64();
    if (document.HasMember("type") && document["type"].IsString()) json.type = document["type"].GetString();
    return json;
}

// "{"id":"vok_<MAC>","time":<n>," + rest, with any time.
bool IsMessage(const Device& device, const std::string& payload, const std::string& rest) {
    const std::string head = "{\"id\":\"" + device.DeviceId() + "\",\"time\":";
    if (payload.compare(0, head.size(), head) != 0) return false;
    size_t at = head.size();
    size_t digits = at;
    while (digits < payload.size() && std::isdigit(static_cast<unsigned char>(payload[digits]))) ++digits;
    return digits > at && payload.compare(digits, std::string::npos, "," + rest) == 0;
}

std::string Heartbeat(bool cam1, bool cam2) {
    return std::string("\"type\":\"heartbeat\",\"cam1\":") + (cam1 ? "true" : "false") +
           ",\"cam2\":" + (cam2 ? "true" : "false") + "}";
}

void ExpectNoSanitizerReport(const std::string& log) {
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
}

// Waits for the daemon's end; true with `status` filled when it ended in time.
bool WaitForExit(Device& device, std::chrono::milliseconds timeout, int& status) {
    return device.daemon->wait(timeout, &status);
}

class DaemonTest : public DeviceTest {
protected:
    // For conditions of Controller::WaitUntil, which holds the controller's lock.
    size_t OnTopic(const std::vector<Controller::Message>& all, const std::string& leaf) {
        size_t n = 0;
        for (auto& m : all) n += m.topic == device->Topic(leaf) ? 1 : 0;
        return n;
    }

    std::vector<Controller::Message> Events() { return controller->On(device->Topic("event")); }
    std::vector<Controller::Message> Heartbeats() { return controller->On(device->Topic("heartbeat")); }

    // Starts the daemon and checks that the firmware version is the first thing it says.
    void StartAndExpectVersion() {
        device->Start();
        ASSERT_TRUE(device->WaitForLog("MQTT connected.", 30s, &connected)) << device->Log();
        ASSERT_TRUE(controller->WaitUntil(
            [&](const std::vector<Controller::Message>& all) { return OnTopic(all, "event") > 0; }, 60s))
            << device->Log();
        Controller::Message first = Events().front();
        EXPECT_TRUE(IsMessage(*device, first.payload, "\"fw\":\"e2e-1.2.3\",\"type\":\"version\"}"))
            << first.payload;
        // Prompt, not held back for a later event such as the first heartbeat at 30 s; the bound
        // leaves room for a sanitizer build on a loaded machine.
        EXPECT_LT(Seconds(first.at - connected), 10.0) << "the version response came late";
    }

    Clock::time_point connected;  // when the daemon's log first said it was connected
};

// The daemon's complete run of about 121 s: version first, every command answered, ignored
// inputs ignored, heartbeats every 30 s, a photo of camera 0 on the FTP server and the card,
// the stream after "view_cam", and an exit with status 0.
TEST_F(DaemonTest, CompleteRun) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    ASSERT_NO_FATAL_FAILURE(StartAndExpectVersion());

    ASSERT_TRUE(device->WaitForLog("Post async task.", 10s)) << device->Log();

    // Commands, ignored inputs among them, and a last "version" whose answer shows that
    // everything before it has been handled.
    for (const char* payload :
         {"{\"type\":\"reboot\"}", "{\"type\":\"Version\"}", "{\"type\":\"download\",\"url\":\"ftp-path\"}",
          "{\"type\":5}", "[1,2]", "", "not json", "{\"cmd\":\"version\"}", "{\"type\":\"version\"} x",
          "{\"type\":\" version\"}", "{\"type\":\"reset_factory\"}", "{\"type\":\"heartbeat\"}",
          "{\"type\":\"version\"}"})
        Command(payload);
    ASSERT_TRUE(controller->WaitUntil(
        [&](const std::vector<Controller::Message>& all) { return OnTopic(all, "event") >= 5; }, 15s))
        << device->Log();
    std::vector<Controller::Message> events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_TRUE(IsMessage(*device, events[1].payload, "\"result\":\"success\",\"type\":\"reboot\"}"))
        << events[1].payload;
    EXPECT_TRUE(IsMessage(*device, events[2].payload, "\"result\":\"success\",\"type\":\"download\"}"))
        << events[2].payload;
    EXPECT_TRUE(IsMessage(*device, events[3].payload, "\"result\":\"success\",\"type\":\"reset_factory\"}"))
        << events[3].payload;
    EXPECT_TRUE(IsMessage(*device, events[4].payload, "\"fw\":\"e2e-1.2.3\",\"type\":\"version\"}"))
        << events[4].payload;
    // One heartbeat at the connection, at once (not a period later; it is published beside the
    // version answer, on another topic, so either may arrive first); the "heartbeat" command:
    // one more, before the last answer, and nothing on the event topic.
    const Clock::time_point commandsDone = events[4].at;
    std::vector<Controller::Message> beats = Heartbeats();
    ASSERT_EQ(beats.size(), 2u);
    EXPECT_LT(Seconds(beats[0].at - connected), 10.0) << "the heartbeat at the connection came late";
    EXPECT_LE(beats[1].at, commandsDone);
    for (const auto& beat : beats) EXPECT_TRUE(IsMessage(*device, beat.payload, Heartbeat(true, false))) << beat.payload;

    // The photo timers fire 60 s after start: camera 0 is photographed and uploaded, the
    // absent camera 9 is skipped. Streaming is requested only afterwards, since a streaming
    // camera takes no photos.
    ASSERT_TRUE(device->WaitForLog("_0.jpg status: 1", 100s)) << device->Log();
    ASSERT_TRUE(device->WaitForLog(kCam9Missing, 20s)) << device->Log();

    Command("{\"type\":\"view_cam\"}");
    Controller::Message viewCam;
    ASSERT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"view_cam\"", 10s, &viewCam));
    EXPECT_TRUE(IsMessage(*device, viewCam.payload,
                          "\"cam1\":\"1\",\"cam2\":\"0\",\"result\":\"success\",\"type\":\"view_cam\"}"))
        << viewCam.payload;
    EXPECT_NE(device->Log().find("Can't start stream for camera: 9, device is not connected yet."),
              std::string::npos);
    std::string probe;
    EXPECT_TRUE(StreamIsReadable(*device, Device::kCam1, probe)) << probe << device->rtmp.log();
    EXPECT_NE(device->Log().find("Start stream: " + device->StreamUrl(Device::kCam1)), std::string::npos);

    // The end of the fixed run.
    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 60s, status)) << device->Log();
    const double ranFor = device->SecondsSinceStart();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GT(ranFor, 119.0);
    EXPECT_LT(ranFor, 130.0);

    const std::string log = device->Log();
    EXPECT_EQ(Count(log, "Post async task."), 1u);
    // One WARN for the absent camera in the whole run, and no attempt to photograph it.
    EXPECT_EQ(Count(log, kCam9Missing), 1u);
    EXPECT_EQ(log.find("v4l2-ctl --device /dev/video9"), std::string::npos);
    ExpectNoSanitizerReport(log);

    // A planned end says nothing: the status stays "online", and the clean disconnection
    // kept the broker from publishing the last will.
    Controller after(device->broker.uri(), "e2e-status");
    after.Subscribe(device->Topic("status"));
    Controller::Message announced;
    EXPECT_TRUE(after.WaitFor(device->Topic("status"), "line", 30s, &announced));
    EXPECT_EQ(announced.payload, "online");

    // Periodic heartbeats at about 30, 60, 90 and 120 s, their times 30 s apart.
    beats = Heartbeats();
    std::vector<Controller::Message> periodic;
    for (auto& beat : beats)
        if (beat.at > commandsDone) periodic.push_back(beat);
    ASSERT_EQ(periodic.size(), 4u);
    EXPECT_NEAR(Seconds(periodic[0].at - connected), 30.0, 3.0);
    for (size_t i = 0; i < periodic.size(); ++i) {
        EXPECT_TRUE(IsMessage(*device, periodic[i].payload, Heartbeat(true, false))) << periodic[i].payload;
        Json json = Parse(periodic[i].payload);
        ASSERT_TRUE(json.object);
        EXPECT_EQ(json.names, (std::vector<std::string>{"id", "time", "type", "cam1", "cam2"}));
        if (i > 0) {
            const int64_t step = json.time - Parse(periodic[i - 1].payload).time;
            EXPECT_GE(step, 29);
            EXPECT_LE(step, 31);
        }
    }
    // After the version at start-up the event topic heard only the answers to the commands.
    EXPECT_EQ(Events().size(), 6u);

    // Photos: camera 0 only, in the dated folder, on the card and on the server, byte for byte
    // the camera's JPEG picture.
    const std::string picture = fixture::ReadFile(K5_VCAM_JPEG);
    ASSERT_GT(picture.size(), 1000u);
    // Nothing is left pending or half-sent.
    std::vector<std::string> onCard = Device::Files(device->sd);
    std::vector<std::string> onServer = Device::Files(device->ftp->root());
    ASSERT_FALSE(onCard.empty());
    EXPECT_EQ(onCard, onServer);
    for (const std::string& file : onCard) {
        // photo/<year>/<month>/<day>/<seconds>_0.jpg, the date being the local one of the seconds.
        std::vector<std::string> parts;
        std::istringstream path(file);
        for (std::string part; std::getline(path, part, '/');) parts.push_back(part);
        ASSERT_EQ(parts.size(), 5u) << file;
        EXPECT_EQ(parts[0], "photo");
        ASSERT_TRUE(EndsWith(parts[4], "_0.jpg")) << file;
        const std::string digits = parts[4].substr(0, parts[4].size() - 6);
        ASSERT_TRUE(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) << file;
        // The folder's date and the name's seconds are two clock readings: near midnight the
        // name may already carry the next day's second.
        auto date = [](std::time_t seconds) {
            std::tm local{};
            localtime_r(&seconds, &local);
            return std::to_string(local.tm_year + 1900) + "/" + std::to_string(local.tm_mon + 1) + "/" +
                   std::to_string(local.tm_mday);
        };
        const std::time_t seconds = static_cast<std::time_t>(std::stoll(digits));
        const std::string folder = parts[1] + "/" + parts[2] + "/" + parts[3];
        EXPECT_TRUE(folder == date(seconds) || folder == date(seconds - 2)) << file;
        const std::string card = fixture::ReadFile(device->sd + "/" + file);
        EXPECT_TRUE(card == picture) << file << " is not the camera's picture";
        EXPECT_TRUE(fixture::ReadFile(device->ftp->root() + "/" + file) == card) << file;
        EXPECT_NE(log.find("Upload FTP Photo " + device->sd + "/" + file + " status: 1"), std::string::npos);
    }
}

// The broker goes away and comes back: the device reconnects, subscribes again and answers.
TEST_F(DaemonTest, AnswersCommandsAfterTheBrokerRestarted) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    ASSERT_NO_FATAL_FAILURE(StartAndExpectVersion());

    controller.reset();
    device->broker.stop();
    ASSERT_TRUE(device->WaitForLog("MQTT connection lost.", 30s)) << device->Log();
    ASSERT_TRUE(device->broker.start());
    ASSERT_NO_FATAL_FAILURE(ConnectController());
    ASSERT_TRUE(fixture::WaitFor([&] { return Count(device->Log(), "MQTT connected.") >= 2; }, 60s))
        << device->Log();

    // The renewed subscription may still be on its way: ask until the device answers.
    ASSERT_TRUE(fixture::WaitFor(
        [&] {
            Command("{\"type\":\"reboot\"}");
            return controller->WaitFor(device->Topic("event"), "\"type\":\"reboot\"", 1s);
        },
        30s))
        << device->Log();
    Command("{\"type\":\"heartbeat\"}");
    EXPECT_TRUE(controller->WaitFor(device->Topic("heartbeat"), Heartbeat(true, false), 10s));

    device->daemon->signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 5s, status)) << device->Log();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectNoSanitizerReport(device->Log());
}

// Two runs, restarted as systemd would. In the first (17 s, a photo every 8 s, a heartbeat
// every 5 s) the FTP server is down: each upload fails with status 0 and a WARN, the photos stay
// on the card recorded as pending, and the device goes on with its heartbeats and answers; the
// photo of ~16 s is taken while the run ends, as the one of ~120 s in a run of the default
// length. In the second run (25 s) the server is up but slow: both photos arrive first thing,
// oldest first, byte for byte, under their final names, and the run still ends in order at its
// planned end.
TEST_F(DaemonTest, DeliversThePhotosOfARunWithoutServerInTheNextRun) {
    Device::Options options;
    options.ftpServer = false;
    ASSERT_NO_FATAL_FAILURE(SetUpDevice(options));
    device->timing = {17, 8, 5};
    ASSERT_NO_FATAL_FAILURE(StartAndExpectVersion());

    ASSERT_TRUE(device->WaitForLog("_0.jpg status: 0", 100s)) << device->Log();
    // The absent camera is skipped; it leaves nothing behind.
    ASSERT_TRUE(device->WaitForLog(kCam9Missing, 60s)) << device->Log();
    std::vector<std::string> onCard;
    fixture::WaitFor([&] { return (onCard = Device::Files(device->sd)).size() == 2; }, 30s);
    ASSERT_EQ(onCard.size(), 2u) << ::testing::PrintToString(onCard);  // the photo and its record
    const std::string first = onCard[1];
    EXPECT_TRUE(EndsWith(first, "_0.jpg")) << first;
    // Its record: an empty file named after it.
    const std::string name = first.substr(first.rfind('/') + 1);
    std::string date = first.substr(6, first.rfind('/') - 6);  // below "photo/"
    std::replace(date.begin(), date.end(), '/', '-');
    EXPECT_EQ(onCard[0], "photo/.pending/" + date + "/" + name.substr(0, name.size() - 4) + "." + date + ".pending");
    EXPECT_EQ(fixture::ReadFile(device->sd + "/" + onCard[0]), "");
    EXPECT_TRUE(fixture::ReadFile(device->sd + "/" + first) == fixture::ReadFile(K5_VCAM_JPEG));
    EXPECT_NE(device->Log().find("Upload FTP Photo " + device->sd + "/" + first + " status: 0"),
              std::string::npos);
    // Delivery logs its line just after the status line above, from its own thread.
    EXPECT_TRUE(device->WaitForLog("Upload of photo " + device->sd + "/" + first + " failed (", 30s))
        << device->Log();
    // The outage itself is one WARN, from the delivery queue.
    EXPECT_EQ(Count(device->Log(), "[WARN][../src/service/delivery_queue:"), 1u) << device->Log();

    // Carries on: the heartbeat at the connection and the first two periodic ones, and an answer
    // to a command sent now.
    EXPECT_TRUE(controller->WaitUntil(
        [&](const std::vector<Controller::Message>& all) { return OnTopic(all, "heartbeat") >= 3; }, 60s));
    Command("{\"type\":\"download\"}");
    EXPECT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"download\"", 30s)) << device->Log();

    // The end of the fixed run, with the second photo.
    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 100s, status)) << device->Log();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectNoSanitizerReport(device->Log());
    onCard = Device::Files(device->sd);
    ASSERT_EQ(onCard.size(), 4u) << ::testing::PrintToString(onCard) << device->Log();
    const std::vector<std::string> photos = {onCard[2], onCard[3]};
    EXPECT_EQ(photos[0], first);
    EXPECT_TRUE(EndsWith(photos[1], "_0.jpg")) << photos[1];

    // The next run, with the server up but slow (30 kB/s), and a big photo (8 MB, newer than
    // both) that cannot arrive before the run ends: the planned end stops in order, status 0,
    // within the stop bound, and says nothing ("online" stays). Its photos come at the default
    // period, i.e. none in this run.
    device->timing = {25, 0, 0};
    device->StartFtpServer(30000);
    const std::string big = "photo/2030/1/1/1893456000_0.jpg";
    std::filesystem::create_directories(device->sd + "/photo/2030/1/1");
    std::filesystem::create_directories(device->sd + "/photo/.pending/2030-1-1");
    fixture::WriteFile(device->sd + "/" + big, std::string(8000000, 'j'));
    fixture::WriteFile(device->sd + "/photo/.pending/2030-1-1/1893456000_0.2030-1-1.pending", "");
    device->logFile = device->dir + "/daemon-2.log";
    device->Start();
    for (const std::string& photo : photos) {
        const std::string delivered = device->ftp->root() + "/" + photo;
        ASSERT_TRUE(fixture::WaitFor(
            [&] { return fixture::ReadFile(delivered) == fixture::ReadFile(device->sd + "/" + photo); }, 60s))
            << device->Log() << device->ftp->log();
        ASSERT_TRUE(device->WaitForLog("Upload FTP Photo " + device->sd + "/" + photo + " status: 1", 30s))
            << device->Log();
    }
    const std::string log = device->Log();
    EXPECT_LT(log.find("Upload FTP Photo " + device->sd + "/" + photos[0]),
              log.find("Upload FTP Photo " + device->sd + "/" + photos[1]));
    ASSERT_TRUE(WaitForExit(*device, 150s, status)) << device->Log();
    EXPECT_LT(device->SecondsSinceStart(), device->RunLength() + 15) << "the stop bound holds";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << device->Log();
    EXPECT_EQ(device->Log().find("Orderly stop did not finish"), std::string::npos) << device->Log();
    ExpectNoSanitizerReport(device->Log());
    Controller after(device->broker.uri(), "e2e-status");
    after.Subscribe(device->Topic("status"));
    Controller::Message announced;
    EXPECT_TRUE(after.WaitFor(device->Topic("status"), "line", 30s, &announced));
    EXPECT_EQ(announced.payload, "online");
    // The big photo is still pending, its partial copy kept on the server for the next run; the
    // two photos of the first run are delivered.
    onCard = Device::Files(device->sd);
    EXPECT_EQ(std::count(onCard.begin(), onCard.end(), "photo/.pending/2030-1-1/1893456000_0.2030-1-1.pending"), 1)
        << ::testing::PrintToString(onCard);
    EXPECT_FALSE(std::filesystem::exists(device->ftp->root() + "/" + big));
    EXPECT_GT(fixture::ReadFile(device->ftp->root() + "/photo/2030/1/1/.claims/1893456000_0.jpg.claim/.1893456000_0.jpg." + device->mac + ".part").size(),
              500000u);
    for (const std::string& photo : photos) {
        EXPECT_EQ(std::count(onCard.begin(), onCard.end(), photo), 1) << photo;
        EXPECT_TRUE(fixture::ReadFile(device->ftp->root() + "/" + photo) == fixture::ReadFile(device->sd + "/" + photo));
    }
}

// A photo of 1 MB over a slow link (40 kB/s): killed (SIGKILL) in the middle of its upload, the
// server shows nothing under the photo's name; the next run continues from what the server
// holds and is stopped (SIGTERM) mid-way: it ends in order, status 0, within the stop bound,
// keeping what it sent; the third run completes the photo. The server received it about once.
TEST_F(DaemonTest, ResumesAPhotoAcrossRunsAndNeverOverrunsTheStop) {
    Device::Options options;
    options.ftpThrottleBytesPerSecond = 40000;
    ASSERT_NO_FATAL_FAILURE(SetUpDevice(options));
    const std::string photo = "photo/2026/1/2/1767312000_0.jpg";
    std::string bytes;
    for (int i = 0; bytes.size() < 1000000; ++i) bytes += "jpeg-" + std::to_string(i * 7919) + "\n";
    std::filesystem::create_directories(device->sd + "/photo/2026/1/2");
    std::filesystem::create_directories(device->sd + "/photo/.pending/2026-1-2");
    fixture::WriteFile(device->sd + "/" + photo, bytes);
    fixture::WriteFile(device->sd + "/photo/.pending/2026-1-2/1767312000_0.2026-1-2.pending", "");

    device->Start();
    const std::string final = device->ftp->root() + "/" + photo;
    const std::string partial = device->ftp->root() + "/photo/2026/1/2/.claims/1767312000_0.jpg.claim/.1767312000_0.jpg." + device->mac + ".part";
    ASSERT_TRUE(fixture::WaitFor([&] { return fixture::ReadFile(partial).size() > 50000; }, 60s))
        << device->Log() << device->ftp->log();
    device->daemon->stop(SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(final)) << "a partial photo under its name";
    const std::size_t killedAt = fixture::ReadFile(partial).size();

    device->logFile = device->dir + "/daemon-2.log";
    device->Start();
    ASSERT_TRUE(device->WaitForLog("Resuming photo " + device->sd + "/" + photo + " at byte ", 60s)) << device->Log();
    ASSERT_TRUE(fixture::WaitFor([&] { return fixture::ReadFile(partial).size() > killedAt + 80000; }, 60s))
        << device->Log() << device->ftp->log();
    const auto stopAt = std::chrono::steady_clock::now();
    device->daemon->signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 30s, status)) << device->Log();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 15s) << "the stop bound holds";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << device->Log();
    EXPECT_FALSE(std::filesystem::exists(final));
    EXPECT_GT(fixture::ReadFile(partial).size(), killedAt + 80000) << "what the cut transfer sent stays";

    device->logFile = device->dir + "/daemon-3.log";
    device->Start();
    ASSERT_TRUE(fixture::WaitFor([&] { return fixture::ReadFile(final) == bytes; }, 60s))
        << device->Log() << device->ftp->log();
    ASSERT_TRUE(device->WaitForLog("Upload FTP Photo " + device->sd + "/" + photo + " status: 1", 30s))
        << device->Log();
    EXPECT_EQ(Device::Files(device->ftp->root()), std::vector<std::string>{photo}) << "nothing partial left";
    // The record goes only after the status line is logged.
    EXPECT_TRUE(fixture::WaitFor([&] { return Device::Files(device->sd) == std::vector<std::string>{photo}; }, 30s))
        << ::testing::PrintToString(Device::Files(device->sd)) << " no longer pending";
    // What the server received in all three runs.
    const std::string log = device->ftp->log();
    std::size_t received = 0;
    for (std::size_t at = log.find(" bytes="); at != std::string::npos; at = log.find(" bytes=", at + 1)) {
        received += std::stoul(log.substr(at + 7));
    }
    EXPECT_LE(received, bytes.size() * 3 / 2) << log;
    device->daemon->signal(SIGTERM);
    ASSERT_TRUE(WaitForExit(*device, 60s, status)) << device->Log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ExpectNoSanitizerReport(device->Log());
}

// SIGTERM while a stream runs: Main, the stream controller and the stream worker end in order,
// and the process exits with status 0 within 5 s.
TEST_F(DaemonTest, StopsInOrderOnSigtermWhileStreaming) {
    ASSERT_NO_FATAL_FAILURE(SetUpDevice());
    ASSERT_NO_FATAL_FAILURE(StartAndExpectVersion());

    Command("{\"type\":\"view_cam\"}");
    ASSERT_TRUE(controller->WaitFor(device->Topic("event"), "\"type\":\"view_cam\"", 10s)) << device->Log();
    std::string probe;
    ASSERT_TRUE(StreamIsReadable(*device, Device::kCam1, probe)) << probe << device->Log();
    ASSERT_EQ(device->Log().find("done."), std::string::npos) << "the stream ended early";

    const Clock::time_point signalled = Clock::now();
    device->daemon->signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 5s, status)) << device->Log();
    EXPECT_LT(Seconds(Clock::now() - signalled), 5.0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string log = device->Log();
    const size_t signal = log.find("Stop signal received, shutting down.");
    const size_t mainEnded = log.find("Thread: Main run in");
    const size_t controllerEnded = log.find("Thread: StreamController run in");
    const size_t workerEnded = log.find("done.\n");
    ASSERT_NE(signal, std::string::npos) << log;
    ASSERT_NE(mainEnded, std::string::npos) << log;
    ASSERT_NE(controllerEnded, std::string::npos) << log;
    ASSERT_NE(workerEnded, std::string::npos) << log;
    EXPECT_LT(signal, mainEnded);
    EXPECT_LT(mainEnded, controllerEnded);
    EXPECT_LT(controllerEnded, workerEnded);
    EXPECT_EQ(log.find("error writing packet"), std::string::npos) << log;
    ExpectNoSanitizerReport(log);
}

// A defective configuration stops the daemon at once, with an ERROR line, before it connects
// anywhere.
TEST_F(DaemonTest, RefusesADefectiveConfiguration) {
    Device::Options options;
    options.ftpServer = false;
    ASSERT_NO_FATAL_FAILURE(SetUpDevice(options));
    struct Case {
        std::string name;
        std::string config;
        std::string error;
    };
    std::string missing = device->ConfigText();
    missing.replace(missing.find("\"cam2\""), 6, "\"cam_2\"");
    std::string malformed = device->ConfigText();
    malformed.replace(malformed.rfind('}'), 1, ",}");
    for (const Case& c : {Case{"missing member", missing, "camera.cam2"},
                          Case{"malformed", malformed, "Failed to parse file configuration."}}) {
        SCOPED_TRACE(c.name);
        std::remove(device->logFile.c_str());
        device->Start(c.config);
        int status = -1;
        ASSERT_TRUE(WaitForExit(*device, 10s, status)) << device->Log();
        EXPECT_LT(device->SecondsSinceStart(), 10.0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_NE(WEXITSTATUS(status), 0);
        const std::string log = device->Log();
        const size_t error = log.find("[ERROR]");
        ASSERT_NE(error, std::string::npos) << log;
        EXPECT_NE(log.find(c.error, error), std::string::npos) << log;
        EXPECT_EQ(log.find("MQTT"), std::string::npos) << log;
        ExpectNoSanitizerReport(log);
    }
    EXPECT_EQ(device->broker.log().find(" as k5_"), std::string::npos) << device->broker.log();
    EXPECT_TRUE(Events().empty());
}

}  // namespace

// A name server that never answers: the photo server's name is looked up in vain for the whole
// run, in a network and mount namespace of the test's own (only its loopback, its own
// resolv.conf). Delivery waits; the card does not: every photo of the run is named and
// recorded, the one of the stop included, and the planned end stops in order within its bound.
TEST_F(DaemonTest, ANameServerThatNeverAnswersCostsNeitherPhotosNorTheStop) {
    Device::Options options;
    options.ftpServer = false;
    ASSERT_NO_FATAL_FAILURE(SetUpDevice(options));
    device->timing = {15, 4, 0};
    std::string config = device->ConfigText();
    const std::string host = "\"server\": \"127.0.0.1\", \"port\": " + std::to_string(device->ftpPort);
    ASSERT_NE(config.find(host), std::string::npos);
    config.replace(config.find(host), host.size(), "\"server\": \"photos.k5test\", \"port\": 21");
    fixture::WriteFile(device->dir + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:3\n");
    // Reads every question, answers none; gone with the daemon.
    fixture::WriteFile(device->dir + "/silent-dns.py",
                       "import ctypes, socket\n"
                       "ctypes.CDLL(None).prctl(1, 9)\n"  // PR_SET_PDEATHSIG, SIGKILL
                       "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                       "s.bind(('127.0.0.1', 53))\n"
                       "while True:\n"
                       "    s.recvfrom(4096)\n");
    // Run by the daemon's environment: the helpers without its preloaded libraries.
    fixture::WriteFile(device->dir + "/in-netns.sh",
                       "#!/bin/sh\nset -e\n"
                       "exec env -u LD_PRELOAD unshare -n sh -c 'set -e; ip link set lo up;"
                       " mount --bind \"$1/resolv.conf\" /etc/resolv.conf; python3 \"$1/silent-dns.py\" &"
                       " sleep 0.5; exec env LD_PRELOAD=\"$2\" \"$3\"' sh \"" + device->dir + "\" \"$LD_PRELOAD\" \"" +
                           K5CAM_BINARY + "\"\n");
    ::chmod((device->dir + "/in-netns.sh").c_str(), 0755);
    device->binary = device->dir + "/in-netns.sh";
    device->Start(config);

    int status = -1;
    ASSERT_TRUE(WaitForExit(*device, 120s, status)) << device->Log();
    ASSERT_TRUE(WIFEXITED(status)) << device->Log();
    EXPECT_EQ(WEXITSTATUS(status), 0) << device->Log();
    EXPECT_EQ(device->Log().find("did not finish"), std::string::npos) << device->Log();
    ExpectNoSanitizerReport(device->Log());
    // The lookup was still waiting when the stop cut it.
    EXPECT_EQ(Count(device->Log(), "failed (shutting down; "), 1u) << device->Log();
    // Every photo taken is on the card with its record; none was delivered.
    std::vector<std::string> photos, records;
    for (const std::string& file : Device::Files(device->sd)) {
        if (EndsWith(file, ".jpg") && file.find("/.") == std::string::npos) photos.push_back(file.substr(6));
        if (EndsWith(file, ".pending")) records.push_back(file);
    }
    EXPECT_GE(photos.size(), 3u) << device->Log();
    EXPECT_EQ(records.size(), photos.size()) << ::testing::PrintToString(Device::Files(device->sd));
    EXPECT_EQ(Count(device->Log(), "Kept the interrupted capture"), 0u);
    EXPECT_EQ(Device::Files(device->sd + "/photo/.capture"), std::vector<std::string>{}) << "no capture left behind";
}

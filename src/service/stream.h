#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <thread>

#include "utils/thread.h"
#include "utils/timer.h"

class PhotoStore;
struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVInputFormat;
struct AVPacket;
struct AVStream;
struct SwsContext;

// The video pipeline of one camera: V4L2 capture (UYVY), conversion to YUV 4:2:0, H.264 encoding
// (x264, zero latency) and FLV output to a URL or a file. Reports its own problems as plain
// text on stderr; FFmpeg's warnings and errors go through the logger. One run per stream_video
// call, on the calling (worker) thread.
class stream {
public:
    // How a run behaves; fixed for the life of the object.
    struct Settings {
        // How long one output operation (connect, header, packet, trailer) may block before it
        // is abandoned.
        std::chrono::milliseconds io_timeout{10000};
        // How long a camera that is open may deliver no frame before the run ends with an
        // ERROR (a hung driver or USB device).
        std::chrono::milliseconds stall_timeout{10000};
        // The encoder's bit-rate cap in kbit/s (one second of rate-control buffer); 0: none.
        int bitrate_kbps = 0;

        // The daemon's settings: the cap from camera.bitrate_kbps, the default timeouts.
        static Settings FromConfig();
    };

    // Release functions of the FFmpeg objects a run owns.
    struct InputCloser {
        void operator()(AVFormatContext* context) const;
    };
    // Closes the output's I/O (if open) and frees the context.
    struct OutputCloser {
        void operator()(AVFormatContext* context) const;
    };
    struct CodecContextFree {
        void operator()(AVCodecContext* context) const;
    };
    struct PacketFree {
        void operator()(AVPacket* packet) const;
    };
    struct FrameFree {
        void operator()(AVFrame* frame) const;
    };
    struct BufferFree {
        void operator()(uint8_t* buffer) const;
    };
    struct ScalerFree {
        void operator()(SwsContext* scaler) const;
    };
    struct DictionaryFree {
        void operator()(AVDictionary* dictionary) const;
    };
    struct StringFree {
        void operator()(char* text) const;
    };
    using Dictionary = std::unique_ptr<AVDictionary, DictionaryFree>;

    // Everything one run allocates, owned by the run: whatever way it ends, destroying the
    // record releases each object once. Members are destroyed in reverse order, so the packet
    // (which may still hold a camera buffer) and the codec contexts go before the output and
    // the camera are closed.
    struct stream_ctx_t {
        // Seen by the interrupt callbacks, which may still run while the output and the input
        // are closed below: declared first, so that they outlive every FFmpeg object.
        stream* owner = nullptr;
        int64_t io_started_us = 0;  // steady clock, start of the current output operation
        // When the camera last delivered (or the wait for its first frame began), and whether
        // the run is still setting up.
        int64_t last_frame_us = 0;
        bool input_setup = false;

        std::unique_ptr<char, StringFree> output_path;
        std::unique_ptr<char, StringFree> output_format;
        const AVInputFormat* input_format = nullptr;
        std::unique_ptr<AVFormatContext, InputCloser> input_ctx;
        std::unique_ptr<AVFormatContext, OutputCloser> output_ctx;
        const AVCodec* decoder = nullptr;
        const AVCodec* encoder = nullptr;
        AVStream* input_stream = nullptr;   // belongs to input_ctx
        AVStream* output_stream = nullptr;  // belongs to output_ctx
        std::unique_ptr<AVCodecContext, CodecContextFree> decoder_ctx;
        std::unique_ptr<AVCodecContext, CodecContextFree> encoder_ctx;

        // Frame loop state.
        std::unique_ptr<AVPacket, PacketFree> packet;
        std::unique_ptr<AVFrame, FrameFree> output_frame;
        std::unique_ptr<uint8_t, BufferFree> picture;
        std::unique_ptr<SwsContext, ScalerFree> scaler;
    };

    // The default settings: 10 s timeouts, no bit-rate cap.
    stream();
    explicit stream(Settings settings);
    stream(const stream&) = delete;
    stream& operator=(const stream&) = delete;

    // Any thread.
    void stop_stream();
    bool is_streaming();
    const Settings& settings() const { return settings_; }

    const char* get_device_family();
    // A new malloc'ed string a + b; the caller frees it.
    char* concat_str(const char* a, const char* b);

    // Worker thread: one complete run; returns when it has ended (stop, error or failed setup).
    void stream_video(const char* device_name, const char* output_path, const char* output_format,
                      int width, int height, int fps);

    // The setup steps of a run; 0 on success, 1 after printing their message.
    int init_device_and_input_context(stream_ctx_t* ctx, const char* device_family,
                                      const char* device_name, int width, int height, int fps);
    int init_output_avformat_context(stream_ctx_t* ctx, const char* output_format);
    int init_io_context(stream_ctx_t* ctx, const char* output_path);
    void set_codec_params(stream_ctx_t* ctx, int width, int height, int fps);
    int init_codec_stream(stream_ctx_t* ctx);

    // How long an output operation may still take once a stop has been requested, so that a
    // normal stop still writes the trailer but a stalled peer cannot hold the stop up.
    static constexpr int64_t kStopGraceUs = 500000;

private:
    static int interrupt_callback(void* opaque);
    static int input_interrupt_callback(void* opaque);
    static int64_t now_us();
    void begin_output_operation(stream_ctx_t* ctx);
    void end_run(std::unique_ptr<stream_ctx_t> ctx);
    int64_t io_timeout_us() const;
    int64_t stall_timeout_us() const;

    std::atomic<bool> stop_requested{false};
    std::atomic<bool> streaming{false};
    const Settings settings_;
};

// One streaming camera: constructing it starts a worker thread running the pipeline towards the
// configured endpoint; destroying it stops the pipeline and joins the worker. Created, queried
// and destroyed by the StreamController thread.
class Stream {
public:
    // Streams the camera `camera` (its number in the stream URL) from the device node `device`
    // with the pipeline `settings` (the daemon's: stream::Settings::FromConfig()). `ended`,
    // when given, runs on the worker once its run is over for whatever reason.
    Stream(int camera, std::string device, stream::Settings settings, std::function<void()> ended = {});
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Any thread. True until the worker's run has ended for whatever reason.
    bool IsStreaming();
    // The worker's body.
    void Streaming();

private:
    int camera;
    std::string device;
    std::function<void()> ended;
    std::unique_ptr<std::thread> worker;
    stream pipeline;
    // Set by the worker when its run is over. Separate from the pipeline's own flag so that a
    // stream whose worker has not reached the pipeline yet does not look dead.
    std::atomic<bool> finished{false};
};

// A photo's place below <sdfolder>/photo/.
class Photo {
public:
    // Any thread. <year>/<month>/<day>/<seconds>_<camera>.jpg of a photo taken at `seconds`
    // since the epoch, the day in local time.
    static std::string RelativePath(int64_t seconds, int camera);
};

// The camera thread: per camera, periodic photos while idle, a stream on request, the stream
// stopped after its timeout and photos resumed. Other threads only post events to it.
class StreamController : public Thread {
public:
    // What the controller needs from the configuration. FromConfig() gives the daemon's;
    // tests pass their own.
    struct Settings {
        // A stream not asked for again for this long is stopped.
        std::chrono::seconds stopTimeout{300};
        // A camera that does not stream takes a photo this often.
        std::chrono::seconds photoInterval{60};
        // Where the streams' stop times outlive a run, so that the next run carries a stream on
        // until its time is up. Empty: not kept. FromConfig(): "streams" in $RUNTIME_DIRECTORY
        // (set by systemd), else in /run/k5cam.
        std::string stopTimesFile;
        // What each stream's pipeline gets (timeouts, bit-rate cap).
        stream::Settings pipeline;
        // Called on the controller thread whenever the set of streaming cameras changes, with
        // the numbers of those that stream. It must only hand them over.
        std::function<void(const std::set<int>&)> onStreams;
        static Settings FromConfig();
    };

    // The first call creates the singleton (with Settings::FromConfig() unless given); later
    // calls ignore their arguments. Main thread.
    static std::shared_ptr<StreamController> GetInstance(const std::string& name,
                                                         std::shared_ptr<Thread> parent);
    static std::shared_ptr<StreamController> GetInstance(const std::string& name,
                                                         std::shared_ptr<Thread> parent,
                                                         const Settings& settings);

    StreamController(const std::string& name, std::shared_ptr<Thread> parent);
    StreamController(const std::string& name, std::shared_ptr<Thread> parent, const Settings& settings);
    ~StreamController() override;

    // Controller thread (or Main during start-up, before any event reached the controller).
    std::shared_ptr<Timer> CreateStopStreamTimer(int camera);
    std::shared_ptr<Timer> CreateCapturePhotoTimer(int camera);
    void StartCapturePhotoTimer(int camera);

    // Any thread. The device node of a camera: camera.cam1_path / cam2_path when set for that
    // camera, else /dev/video<N>.
    static std::string DevicePath(int camera);
    // Any thread. Whether the camera is there: its node opens and answers VIDIOC_QUERYCAP with
    // the video-capture capability (a metadata or output node is no camera). Cheap: one
    // non-blocking open, one ioctl, close.
    static bool CameraDeviceIsConnected(int camera);
    // Capturing thread: runs v4l2-ctl into a temporary file of the store's choice and hands
    // the finished picture to the store, which names and keeps it. True when a whole picture
    // was handed over.
    static bool CapturePhoto(int camera, PhotoStore& store);

    // Before start(): where the photos go. Without a store the photo timers take no photo.
    void SetPhotoStore(std::shared_ptr<PhotoStore> store) { photoStore = std::move(store); }

protected:
    void onInit() override;
    void onExit() override;

    // Controller thread only.
    std::map<int, std::shared_ptr<Stream>> streams;
    std::map<int, std::shared_ptr<Timer>> photoTimers;
    std::map<int, std::shared_ptr<Timer>> stopTimers;
    std::shared_ptr<PhotoStore> photoStore;
    // Cameras reported missing, so that their absence is logged once, not at every photo.
    std::set<int> missing;
    // When each stream is due to stop, in milliseconds of the boot-time monotonic clock (which
    // runs on across runs and, like the file, ends with a reboot).
    std::map<int, int64_t> stopTimes;

private:
    static std::shared_ptr<StreamController> Instance(const std::function<StreamController*()>& create);
    // Controller thread: a new stream of `camera` that reports its end to this thread.
    std::shared_ptr<Stream> NewStream(int camera);
    // Controller thread: a stream that ended by itself (unplugged, silent camera, endpoint
    // gone) is dropped and the camera takes photos again.
    void OnStreamEnded(int camera);
    // Controller thread: records the stop times in Settings::stopTimesFile (written, synced,
    // renamed), and restarts the streams an earlier run left running.
    void SaveStopTimes();
    void RestoreStreams();
    // Controller thread: tells Settings::onStreams which cameras stream, if that changed.
    void ReportStreams();
    std::set<int> reportedStreams;
    bool streamsReported = false;
    std::shared_ptr<Timer> CreateCameraTimer(int camera, std::chrono::seconds interval, bool stopTimer);

    const Settings settings;
};

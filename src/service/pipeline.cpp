// The video pipeline of one camera (class `stream`): capture, convert, encode, publish.
// Its own fixed messages go to stderr as plain text; FFmpeg's go through the logger.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "service/stream.h"
#include "utils/logger.h"

namespace {

// While the input is set up in non-blocking mode, FFmpeg retries "no frame yet" at once and
// asks the interrupt callback in between; this pause keeps that from spinning a CPU.
constexpr std::chrono::milliseconds kSetupRetryPause{2};

// FFmpeg's own messages, in the system's log format: warnings and errors only.
void LogFfmpeg(void* avcl, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) {
        return;
    }
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(avcl, level, format, args, line, sizeof(line), &printPrefix);
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        line[--length] = '\0';
    }
    if (length == 0) {
        return;
    }
    if (level <= AV_LOG_ERROR) {
        LOG_ERROR << line;
    } else {
        LOG_WARN << line;
    }
}

// A failed read that only means "no frame yet" is retried after a pause, so that a camera in
// non-blocking mode cannot spin the worker. The worker sleeps until shortly before the next
// frame is due (the camera paces them) and only then polls at this short pause: a few wake-ups
// per frame instead of one every pause.
constexpr std::chrono::milliseconds kReadRetryPause{5};

// How long to wait after "no frame yet": until 90 % of a frame interval after the last frame,
// then kReadRetryPause at a time.
std::chrono::microseconds ReadRetryWait(int64_t sinceLastFrameUs, int fps) {
    const int64_t intervalUs = fps > 0 ? 1000000 / fps : 0;
    const int64_t untilDueUs = intervalUs * 9 / 10 - sinceLastFrameUs;
    const int64_t pauseUs = std::chrono::duration_cast<std::chrono::microseconds>(kReadRetryPause).count();
    return std::chrono::microseconds(untilDueUs > pauseUs ? untilDueUs : pauseUs);
}

void Print(const char* message) {
    std::fputs(message, stderr);
    std::fflush(stderr);
}

char* CopyString(const char* text) {
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

// Lends an owned object to an FFmpeg call that may free or replace it through a pointer to the
// pointer (avformat_open_input, avformat_alloc_output_context2, the option dictionaries); the
// owner takes back whatever the call left there when the full expression ends (so the owner
// reads as empty until then: keep the call a statement of its own).
template <typename Owner>
class Lent {
public:
    explicit Lent(Owner& owner) : owner_(owner), raw_(owner.release()) {}
    ~Lent() { owner_.reset(raw_); }
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;
    operator typename Owner::pointer*() { return &raw_; }

private:
    Owner& owner_;
    typename Owner::pointer raw_;
};

template <typename Owner>
Lent<Owner> Lend(Owner& owner) {
    return Lent<Owner>(owner);
}

}  // namespace

void stream::InputCloser::operator()(AVFormatContext* context) const {
    // Packets the probe buffered still hold camera buffers: give them back while the device is
    // open (closing it first would queue them on a descriptor that is gone or reused).
    avformat_flush(context);
    avformat_close_input(&context);
}

void stream::OutputCloser::operator()(AVFormatContext* context) const {
    if (context->pb != nullptr) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

void stream::CodecContextFree::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}

void stream::PacketFree::operator()(AVPacket* packet) const { av_packet_free(&packet); }

void stream::FrameFree::operator()(AVFrame* frame) const { av_frame_free(&frame); }

void stream::BufferFree::operator()(uint8_t* buffer) const { av_free(buffer); }

void stream::ScalerFree::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

void stream::DictionaryFree::operator()(AVDictionary* dictionary) const {
    av_dict_free(&dictionary);
}

void stream::StringFree::operator()(char* text) const { std::free(text); }

stream::Settings stream::Settings::FromConfig() {
    Settings settings;
    // Validated when the configuration was read; a store that did not load reads as no cap.
    const std::string& bitrate = Config::Get(STREAM_BITRATE_KBPS);
    char* end = nullptr;
    const long kbps = std::strtol(bitrate.c_str(), &end, 10);
    if (!bitrate.empty() && *end == '\0' && kbps > 0 && kbps <= 100000) {
        settings.bitrate_kbps = static_cast<int>(kbps);
    }
    return settings;
}

stream::stream() : stream(Settings()) {}

stream::stream(Settings settings) : settings_(settings) {}

int64_t stream::io_timeout_us() const {
    return static_cast<int64_t>(settings_.io_timeout.count()) * 1000;
}

int64_t stream::stall_timeout_us() const {
    return static_cast<int64_t>(settings_.stall_timeout.count()) * 1000;
}

int64_t stream::now_us() { return av_gettime_relative(); }

// Called by libavformat, on the worker thread, while the input waits for the camera.
int stream::input_interrupt_callback(void* opaque) {
    auto* ctx = static_cast<stream_ctx_t*>(opaque);
    const int64_t silent = now_us() - ctx->last_frame_us;
    if (ctx->owner->stop_requested.load() && silent > kStopGraceUs) {
        return 1;  // stopping: the format is known from the device already
    }
    if (silent > ctx->owner->stall_timeout_us()) {
        return 1;  // the camera is open but silent
    }
    if (ctx->input_setup) {
        std::this_thread::sleep_for(kSetupRetryPause);
    }
    return 0;
}

void stream::begin_output_operation(stream_ctx_t* ctx) { ctx->io_started_us = now_us(); }

// Called by libavformat, on the worker thread, while an output operation waits for the peer.
int stream::interrupt_callback(void* opaque) {
    auto* ctx = static_cast<stream_ctx_t*>(opaque);
    const int64_t waited = now_us() - ctx->io_started_us;
    if (waited > ctx->owner->io_timeout_us()) {
        return 1;  // the peer has stalled
    }
    if (ctx->owner->stop_requested.load() && waited > kStopGraceUs) {
        return 1;  // stopping: do not wait for a peer that does not answer
    }
    return 0;
}

void stream::stop_stream() { stop_requested.store(true); }

bool stream::is_streaming() { return streaming.load(); }

const char* stream::get_device_family() { return "v4l2"; }

char* stream::concat_str(const char* a, const char* b) {
    std::size_t la = std::strlen(a);
    std::size_t lb = std::strlen(b);
    char* result = static_cast<char*>(std::malloc(la + lb + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, a, la);
    std::memcpy(result + la, b, lb + 1);
    return result;
}

int stream::init_device_and_input_context(stream_ctx_t* ctx, const char* device_family,
                                          const char* device_name, int width, int height,
                                          int fps) {
    const std::string fps_text = std::to_string(fps);
    const std::string size_text = std::to_string(width) + "x" + std::to_string(height);

    ctx->input_format = av_find_input_format(device_family);

    Dictionary options;
    av_dict_set(Lend(options), "video_size", size_text.c_str(), 0);
    av_dict_set(Lend(options), "framerate", fps_text.c_str(), 0);
    av_dict_set(Lend(options), "pixel_format", "uyvy422", 0);
    av_dict_set(Lend(options), "probesize", "7000000", 0);
    // Non-blocking, with an interrupt callback: a camera that is open but silent must not
    // hold the worker (and a stop) for ever in a device read.
    ctx->input_ctx.reset(avformat_alloc_context());
    if (ctx->input_ctx == nullptr) {
        Print("cannot initialize input device!\n");
        return 1;
    }
    ctx->input_ctx->flags |= AVFMT_FLAG_NONBLOCK;
    ctx->input_ctx->interrupt_callback.callback = &stream::input_interrupt_callback;
    ctx->input_ctx->interrupt_callback.opaque = ctx;
    ctx->input_setup = true;
    ctx->last_frame_us = now_us();
    // On failure FFmpeg frees the context and leaves null behind.
    int result = avformat_open_input(Lend(ctx->input_ctx), device_name, ctx->input_format,
                                     Lend(options));
    if (result != 0) {
        ctx->input_setup = false;
        Print("cannot initialize input device!\n");
        return 1;
    }

    AVFormatContext* input = ctx->input_ctx.get();
    ctx->last_frame_us = now_us();
    avformat_find_stream_info(input, nullptr);
    ctx->input_setup = false;
    if (now_us() - ctx->last_frame_us > stall_timeout_us()) {
        LOG_ERROR << "Camera " << device_name << " is open but delivered no frame within "
                  << stall_timeout_us() / 1000 << " ms, ending the stream.";
        return 1;
    }
    if (input->nb_streams == 0) {
        // Nothing to decode; the decoder step below reports it.
        ctx->decoder = nullptr;
    } else {
        ctx->decoder = avcodec_find_decoder(input->streams[0]->codecpar->codec_id);
    }
    ctx->input_stream = avformat_new_stream(input, ctx->decoder);
    ctx->decoder_ctx.reset(avcodec_alloc_context3(ctx->decoder));
    if (ctx->decoder_ctx == nullptr) {
        Print("cannot initialize video decoder!\n");
        return 1;
    }

    Dictionary decoder_options;
    av_dict_set(Lend(decoder_options), "framerate", fps_text.c_str(), 0);
    av_dict_set(Lend(decoder_options), "preset", "superfast", 0);
    if (input->nb_streams > 0) {
        avcodec_parameters_to_context(ctx->decoder_ctx.get(), input->streams[0]->codecpar);
    }
    result = avcodec_open2(ctx->decoder_ctx.get(), ctx->decoder, Lend(decoder_options));
    if (result != 0) {
        Print("cannot initialize video decoder!\n");
        return 1;
    }
    return 0;
}

int stream::init_output_avformat_context(stream_ctx_t* ctx, const char* output_format) {
    const int result =
        avformat_alloc_output_context2(Lend(ctx->output_ctx), nullptr, output_format, nullptr);
    if (result < 0 || ctx->output_ctx == nullptr) {
        Print("cannot initialize output format context!\n");
        return 1;
    }
    // Every blocking operation on the output asks this callback whether to give up.
    ctx->output_ctx->interrupt_callback.callback = &stream::interrupt_callback;
    ctx->output_ctx->interrupt_callback.opaque = ctx;
    return 0;
}

int stream::init_io_context(stream_ctx_t* ctx, const char* output_path) {
    Dictionary options;
    // The protocol layer's own limit for operations that report "try again".
    av_dict_set(Lend(options), "rw_timeout", std::to_string(io_timeout_us()).c_str(), 0);
    begin_output_operation(ctx);
    AVFormatContext* output = ctx->output_ctx.get();
    const int result = avio_open2(&output->pb, output_path, AVIO_FLAG_WRITE,
                                  &output->interrupt_callback, Lend(options));
    if (result < 0) {
        Print("could not open IO context!\n");
        return 1;
    }
    return 0;
}

void stream::set_codec_params(stream_ctx_t* ctx, int width, int height, int fps) {
    AVCodecContext* codec = ctx->encoder_ctx.get();
    if (codec == nullptr) return;
    codec->width = width;
    codec->height = height;
    codec->codec_id = AV_CODEC_ID_H264;
    codec->codec_tag = 0;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->gop_size = 12;
    codec->framerate = AVRational{fps, 1};
    codec->time_base = AVRational{1, fps};
    if (settings_.bitrate_kbps > 0) {
        // x264's VBV: the quality still comes from its constant-rate factor, but no second of
        // stream exceeds the cap by more than the one-second buffer, so two cameras can share
        // an uplink with room left for the photo uploads. Zero latency stays: VBV needs no
        // look-ahead, every frame still leaves the encoder as its own packet at once.
        const int64_t bits_per_second = static_cast<int64_t>(settings_.bitrate_kbps) * 1000;
        codec->rc_max_rate = bits_per_second;
        codec->rc_buffer_size = static_cast<int>(bits_per_second);
    }
    if (ctx->output_ctx->oformat->flags & AVFMT_GLOBALHEADER) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
}

int stream::init_codec_stream(stream_ctx_t* ctx) {
    if (ctx->output_stream == nullptr || ctx->encoder_ctx == nullptr ||
        avcodec_parameters_from_context(ctx->output_stream->codecpar, ctx->encoder_ctx.get()) < 0) {
        Print("could not initialize stream codec parameters!\n");
        return 1;
    }
    Dictionary options;
    av_dict_set(Lend(options), "profile", "high", 0);
    av_dict_set(Lend(options), "preset", "superfast", 0);
    av_dict_set(Lend(options), "tune", "zerolatency", 0);
    const int result = avcodec_open2(ctx->encoder_ctx.get(), ctx->encoder, Lend(options));
    if (result != 0) {
        Print("could not open video encoder!\n");
        return 1;
    }
    return 0;
}

// A run that ends during setup: release, clear both flags, no "done.".
void stream::end_run(std::unique_ptr<stream_ctx_t> ctx) {
    begin_output_operation(ctx.get());  // closing the output may still flush through the callback
    ctx.reset();
    stop_requested.store(false);
    streaming.store(false);
}

void stream::stream_video(const char* device_name, const char* output_path,
                          const char* output_format, int width, int height, int fps) {
    streaming.store(true);
    avdevice_register_all();
    avformat_network_init();

    static std::once_flag logHook;
    std::call_once(logHook, []() { av_log_set_callback(&LogFfmpeg); });

    auto ctx = std::make_unique<stream_ctx_t>();
    ctx->owner = this;
    ctx->output_path.reset(CopyString(output_path));
    ctx->output_format.reset(CopyString(output_format));

    if (init_device_and_input_context(ctx.get(), get_device_family(), device_name, width, height,
                                      fps) != 0) {
        end_run(std::move(ctx));
        return;
    }
    if (init_output_avformat_context(ctx.get(), output_format) != 0) {
        end_run(std::move(ctx));
        return;
    }
    if (init_io_context(ctx.get(), output_path) != 0) {
        end_run(std::move(ctx));
        return;
    }

    ctx->encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    ctx->output_stream = avformat_new_stream(ctx->output_ctx.get(), ctx->encoder);
    ctx->encoder_ctx.reset(avcodec_alloc_context3(ctx->encoder));
    set_codec_params(ctx.get(), width, height, fps);
    init_codec_stream(ctx.get());  // a failure here shows at the header or at the first frame

    // The global header (SPS/PPS) that opening the encoder produced; the stream gets its own
    // copy, released with the output context.
    if (ctx->output_stream != nullptr && ctx->encoder_ctx != nullptr &&
        ctx->encoder_ctx->extradata != nullptr && ctx->encoder_ctx->extradata_size > 0) {
        AVCodecParameters* par = ctx->output_stream->codecpar;
        const int size = ctx->encoder_ctx->extradata_size;
        av_freep(&par->extradata);
        par->extradata_size = 0;
        par->extradata =
            static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata != nullptr) {
            std::memcpy(par->extradata, ctx->encoder_ctx->extradata, static_cast<size_t>(size));
            par->extradata_size = size;
        }
    }

    begin_output_operation(ctx.get());
    if (avformat_write_header(ctx->output_ctx.get(), nullptr) < 0) {
        Print("could not write header to ouput context!\n");
        end_run(std::move(ctx));
        return;
    }

    AVCodecContext* encoder_ctx = ctx->encoder_ctx.get();
    ctx->output_frame.reset(av_frame_alloc());
    ctx->packet.reset(av_packet_alloc());
    const int picture_size = av_image_get_buffer_size(encoder_ctx->pix_fmt, encoder_ctx->width,
                                                      encoder_ctx->height, 32);
    if (picture_size > 0) {
        ctx->picture.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(picture_size))));
    }
    if (ctx->output_frame == nullptr || ctx->packet == nullptr || ctx->picture == nullptr) {
        Print("could not allocate output frame!\n");
        end_run(std::move(ctx));
        return;
    }
    AVFrame* output_frame = ctx->output_frame.get();
    av_image_fill_arrays(output_frame->data, output_frame->linesize, ctx->picture.get(),
                         AV_PIX_FMT_YUV420P, encoder_ctx->width, encoder_ctx->height, 1);
    output_frame->width = width;
    output_frame->height = height;
    output_frame->format = encoder_ctx->pix_fmt;

    AVCodecContext* decoder_ctx = ctx->decoder_ctx.get();
    ctx->scaler.reset(sws_getContext(decoder_ctx->width, decoder_ctx->height, decoder_ctx->pix_fmt,
                                     encoder_ctx->width, encoder_ctx->height, encoder_ctx->pix_fmt,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (ctx->scaler == nullptr) {
        Print("could not initialize sample scaler!");
        end_run(std::move(ctx));
        return;
    }

    AVPacket* packet = ctx->packet.get();
    // Per pass: owned for the pass, released on every way out of it.
    std::unique_ptr<AVFrame, FrameFree> input_frame;
    int64_t frame_count = 0;
    ctx->last_frame_us = now_us();
    for (;;) {
        if (stop_requested.load()) {
            break;
        }
        const int read = av_read_frame(ctx->input_ctx.get(), packet);
        if (read < 0) {
            if (read == AVERROR(EAGAIN)) {
                if (now_us() - ctx->last_frame_us > stall_timeout_us()) {
                    LOG_ERROR << "Camera " << device_name << " delivered no frame for "
                              << stall_timeout_us() / 1000 << " ms, ending the stream.";
                    break;
                }
                std::this_thread::sleep_for(ReadRetryWait(now_us() - ctx->last_frame_us, fps));
                continue;
            }
            // The camera is gone (unplugged, I/O error): end the run so that the controller
            // can replace the stream.
            Print("error reading frame from input context!\n");
            break;
        }

        ctx->last_frame_us = now_us();
        input_frame.reset(av_frame_alloc());
        if (input_frame == nullptr) {
            Print("error receiving frame from input codec context!\n");
            break;
        }
        if (avcodec_send_packet(decoder_ctx, packet) != 0) {
            Print("error sending packet to input codec context!\n");
            break;
        }
        if (avcodec_receive_frame(decoder_ctx, input_frame.get()) != 0) {
            Print("error receiving frame from input codec context!\n");
            break;
        }
        av_packet_unref(packet);

        sws_scale(ctx->scaler.get(), input_frame->data, input_frame->linesize, 0,
                  decoder_ctx->height, output_frame->data, output_frame->linesize);
        input_frame.reset();

        output_frame->pts = frame_count;
        if (avcodec_send_frame(encoder_ctx, output_frame) != 0) {
            Print("error sending frame to output codec context!\n");
            break;
        }
        ++frame_count;
        if (avcodec_receive_packet(encoder_ctx, packet) != 0) {
            Print("error receiving packet from output codec context!\n");
            break;
        }
        packet->pts = av_rescale_q(packet->pts, encoder_ctx->time_base, ctx->output_stream->time_base);
        packet->dts = av_rescale_q(packet->dts, encoder_ctx->time_base, ctx->output_stream->time_base);

        begin_output_operation(ctx.get());
        if (av_interleaved_write_frame(ctx->output_ctx.get(), packet) < 0) {
            // The endpoint has gone away: encoding on would only feed the void.
            Print("error writing packet to output context!\n");
            break;
        }
        av_packet_unref(packet);
    }
    input_frame.reset();

    // A packet still holding a camera buffer gives it back while the camera is open.
    ctx->packet.reset();

    // The fixed order: trailer, output closed, camera closed, then everything else.
    begin_output_operation(ctx.get());
    av_write_trailer(ctx->output_ctx.get());
    ctx->output_frame.reset();
    begin_output_operation(ctx.get());
    ctx->output_ctx.reset();
    ctx->input_ctx.reset();
    ctx.reset();

    stop_requested.store(false);
    streaming.store(false);
    Print("done.\n");
}

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

#include "service/stream.h"
#include "utils/logger.h"

namespace {

std::atomic<int64_t> ioTimeoutUs{10 * 1000 * 1000};
std::atomic<int64_t> stallTimeoutUs{10 * 1000 * 1000};

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

}  // namespace

void stream::set_io_timeout(std::chrono::milliseconds timeout) {
    ioTimeoutUs = static_cast<int64_t>(timeout.count()) * 1000;
}

void stream::set_stall_timeout(std::chrono::milliseconds timeout) {
    stallTimeoutUs = static_cast<int64_t>(timeout.count()) * 1000;
}

int64_t stream::now_us() { return av_gettime_relative(); }

// Called by libavformat, on the worker thread, while the input waits for the camera.
int stream::input_interrupt_callback(void* opaque) {
    auto* ctx = static_cast<stream_ctx_t*>(opaque);
    const int64_t silent = now_us() - ctx->last_frame_us;
    if (ctx->owner->stop_requested.load() && silent > kStopGraceUs) {
        return 1;  // stopping: the format is known from the device already
    }
    if (silent > stallTimeoutUs.load()) {
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
    if (waited > ioTimeoutUs.load()) {
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

    AVDictionary* options = nullptr;
    av_dict_set(&options, "video_size", size_text.c_str(), 0);
    av_dict_set(&options, "framerate", fps_text.c_str(), 0);
    av_dict_set(&options, "pixel_format", "uyvy422", 0);
    av_dict_set(&options, "probesize", "7000000", 0);
    // Non-blocking, with an interrupt callback: a camera that is open but silent must not
    // hold the worker (and a stop) for ever in a device read.
    ctx->input_ctx = avformat_alloc_context();
    if (ctx->input_ctx == nullptr) {
        av_dict_free(&options);
        Print("cannot initialize input device!\n");
        return 1;
    }
    ctx->input_ctx->flags |= AVFMT_FLAG_NONBLOCK;
    ctx->input_ctx->interrupt_callback.callback = &stream::input_interrupt_callback;
    ctx->input_ctx->interrupt_callback.opaque = ctx;
    ctx->input_setup = true;
    ctx->last_frame_us = now_us();
    int result = avformat_open_input(&ctx->input_ctx, device_name, ctx->input_format, &options);
    av_dict_free(&options);
    if (result != 0) {
        ctx->input_setup = false;
        Print("cannot initialize input device!\n");
        return 1;
    }

    ctx->last_frame_us = now_us();
    avformat_find_stream_info(ctx->input_ctx, nullptr);
    ctx->input_setup = false;
    if (now_us() - ctx->last_frame_us > stallTimeoutUs.load()) {
        LOG_ERROR << "Camera " << device_name << " is open but delivered no frame within "
                  << stallTimeoutUs.load() / 1000 << " ms, ending the stream.";
        return 1;
    }
    if (ctx->input_ctx->nb_streams == 0) {
        // Nothing to decode; the decoder step below reports it.
        ctx->decoder = nullptr;
    } else {
        ctx->decoder = avcodec_find_decoder(ctx->input_ctx->streams[0]->codecpar->codec_id);
    }
    ctx->input_stream = avformat_new_stream(ctx->input_ctx, ctx->decoder);
    ctx->decoder_ctx = avcodec_alloc_context3(ctx->decoder);
    if (ctx->decoder_ctx == nullptr) {
        Print("cannot initialize video decoder!\n");
        return 1;
    }

    AVDictionary* decoder_options = nullptr;
    av_dict_set(&decoder_options, "framerate", fps_text.c_str(), 0);
    av_dict_set(&decoder_options, "preset", "superfast", 0);
    if (ctx->input_ctx->nb_streams > 0) {
        avcodec_parameters_to_context(ctx->decoder_ctx, ctx->input_ctx->streams[0]->codecpar);
    }
    result = avcodec_open2(ctx->decoder_ctx, ctx->decoder, &decoder_options);
    av_dict_free(&decoder_options);
    if (result != 0) {
        Print("cannot initialize video decoder!\n");
        return 1;
    }
    return 0;
}

int stream::init_output_avformat_context(stream_ctx_t* ctx, const char* output_format) {
    if (avformat_alloc_output_context2(&ctx->output_ctx, nullptr, output_format, nullptr) < 0 ||
        ctx->output_ctx == nullptr) {
        Print("cannot initialize output format context!\n");
        return 1;
    }
    // Every blocking operation on the output asks this callback whether to give up.
    ctx->output_ctx->interrupt_callback.callback = &stream::interrupt_callback;
    ctx->output_ctx->interrupt_callback.opaque = ctx;
    return 0;
}

int stream::init_io_context(stream_ctx_t* ctx, const char* output_path) {
    AVDictionary* options = nullptr;
    // The protocol layer's own limit for operations that report "try again".
    av_dict_set(&options, "rw_timeout", std::to_string(ioTimeoutUs.load()).c_str(), 0);
    begin_output_operation(ctx);
    int result = avio_open2(&ctx->output_ctx->pb, output_path, AVIO_FLAG_WRITE,
                            &ctx->output_ctx->interrupt_callback, &options);
    av_dict_free(&options);
    if (result < 0) {
        Print("could not open IO context!\n");
        return 1;
    }
    return 0;
}

void stream::set_codec_params(stream_ctx_t* ctx, int width, int height, int fps) {
    AVCodecContext* codec = ctx->encoder_ctx;
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
    if (ctx->output_ctx->oformat->flags & AVFMT_GLOBALHEADER) {
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
}

int stream::init_codec_stream(stream_ctx_t* ctx) {
    if (ctx->output_stream == nullptr || ctx->encoder_ctx == nullptr ||
        avcodec_parameters_from_context(ctx->output_stream->codecpar, ctx->encoder_ctx) < 0) {
        Print("could not initialize stream codec parameters!\n");
        return 1;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "profile", "high", 0);
    av_dict_set(&options, "preset", "superfast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    int result = avcodec_open2(ctx->encoder_ctx, ctx->encoder, &options);
    av_dict_free(&options);
    if (result != 0) {
        Print("could not open video encoder!\n");
        return 1;
    }
    return 0;
}

void stream::release_context(stream_ctx_t* ctx) {
    if (ctx == nullptr) return;
    sws_freeContext(ctx->scaler);
    av_freep(&ctx->picture);
    av_frame_free(&ctx->output_frame);
    av_packet_free(&ctx->packet);
    avcodec_free_context(&ctx->encoder_ctx);
    avcodec_free_context(&ctx->decoder_ctx);
    if (ctx->output_ctx != nullptr) {
        if (ctx->output_ctx->pb != nullptr) {
            avio_closep(&ctx->output_ctx->pb);
        }
        avformat_free_context(ctx->output_ctx);
        ctx->output_ctx = nullptr;
    }
    avformat_close_input(&ctx->input_ctx);
    std::free(ctx->output_path);
    std::free(ctx->output_format);
    delete ctx;
}

// A run that ends during setup: release, clear both flags, no "done.".
void stream::end_run(stream_ctx_t* ctx) {
    begin_output_operation(ctx);  // closing the output may still flush through the callback
    release_context(ctx);
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

    auto* ctx = new stream_ctx_t();
    ctx->owner = this;
    ctx->output_path = CopyString(output_path);
    ctx->output_format = CopyString(output_format);

    if (init_device_and_input_context(ctx, get_device_family(), device_name, width, height, fps) !=
        0) {
        end_run(ctx);
        return;
    }
    if (init_output_avformat_context(ctx, output_format) != 0) {
        end_run(ctx);
        return;
    }
    if (init_io_context(ctx, output_path) != 0) {
        end_run(ctx);
        return;
    }

    ctx->encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    ctx->output_stream = avformat_new_stream(ctx->output_ctx, ctx->encoder);
    ctx->encoder_ctx = avcodec_alloc_context3(ctx->encoder);
    set_codec_params(ctx, width, height, fps);
    init_codec_stream(ctx);  // a failure here shows at the header or at the first frame

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

    begin_output_operation(ctx);
    if (avformat_write_header(ctx->output_ctx, nullptr) < 0) {
        Print("could not write header to ouput context!\n");
        end_run(ctx);
        return;
    }

    AVCodecContext* encoder_ctx = ctx->encoder_ctx;
    ctx->output_frame = av_frame_alloc();
    ctx->packet = av_packet_alloc();
    const int picture_size = av_image_get_buffer_size(encoder_ctx->pix_fmt, encoder_ctx->width,
                                                      encoder_ctx->height, 32);
    if (picture_size > 0) {
        ctx->picture = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(picture_size)));
    }
    if (ctx->output_frame == nullptr || ctx->packet == nullptr || ctx->picture == nullptr) {
        Print("could not allocate output frame!\n");
        end_run(ctx);
        return;
    }
    AVFrame* output_frame = ctx->output_frame;
    av_image_fill_arrays(output_frame->data, output_frame->linesize, ctx->picture,
                         AV_PIX_FMT_YUV420P, encoder_ctx->width, encoder_ctx->height, 1);
    output_frame->width = width;
    output_frame->height = height;
    output_frame->format = encoder_ctx->pix_fmt;

    AVCodecContext* decoder_ctx = ctx->decoder_ctx;
    ctx->scaler = sws_getContext(decoder_ctx->width, decoder_ctx->height, decoder_ctx->pix_fmt,
                                 encoder_ctx->width, encoder_ctx->height, encoder_ctx->pix_fmt,
                                 SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (ctx->scaler == nullptr) {
        Print("could not initialize sample scaler!");
        end_run(ctx);
        return;
    }

    AVPacket* packet = ctx->packet;
    int64_t frame_count = 0;
    ctx->last_frame_us = now_us();
    for (;;) {
        if (stop_requested.load()) {
            break;
        }
        const int read = av_read_frame(ctx->input_ctx, packet);
        if (read < 0) {
            if (read == AVERROR(EAGAIN)) {
                if (now_us() - ctx->last_frame_us > stallTimeoutUs.load()) {
                    LOG_ERROR << "Camera " << device_name << " delivered no frame for "
                              << stallTimeoutUs.load() / 1000 << " ms, ending the stream.";
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
        AVFrame* input_frame = av_frame_alloc();
        if (input_frame == nullptr) {
            Print("error receiving frame from input codec context!\n");
            break;
        }
        if (avcodec_send_packet(decoder_ctx, packet) != 0) {
            Print("error sending packet to input codec context!\n");
            av_frame_free(&input_frame);
            break;
        }
        if (avcodec_receive_frame(decoder_ctx, input_frame) != 0) {
            Print("error receiving frame from input codec context!\n");
            av_frame_free(&input_frame);
            break;
        }
        av_packet_unref(packet);

        sws_scale(ctx->scaler, input_frame->data, input_frame->linesize, 0, decoder_ctx->height,
                  output_frame->data, output_frame->linesize);
        av_frame_free(&input_frame);

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

        begin_output_operation(ctx);
        if (av_interleaved_write_frame(ctx->output_ctx, packet) < 0) {
            // The endpoint has gone away: encoding on would only feed the void.
            Print("error writing packet to output context!\n");
            break;
        }
        av_packet_unref(packet);
    }

    // A packet still holding a camera buffer gives it back while the camera is open.
    av_packet_free(&ctx->packet);

    begin_output_operation(ctx);
    av_write_trailer(ctx->output_ctx);
    av_frame_free(&ctx->output_frame);
    begin_output_operation(ctx);
    avio_closep(&ctx->output_ctx->pb);
    avformat_free_context(ctx->output_ctx);
    ctx->output_ctx = nullptr;
    avformat_close_input(&ctx->input_ctx);
    release_context(ctx);

    stop_requested.store(false);
    streaming.store(false);
    Print("done.\n");
}

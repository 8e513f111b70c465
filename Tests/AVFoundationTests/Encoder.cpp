#include "Encoder.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace avfoundation::testing {

namespace {

void check(int r, const char* what) {
    if (r < 0) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(r));
}

}  // namespace

void encodeAudioFile(const std::filesystem::path& path, const std::string& encoderName,
                     const std::vector<std::vector<float>>& channels, int sampleRate) {
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
    if (!codec) throw std::runtime_error("no encoder " + encoderName);
    AVFormatContext* format = nullptr;
    check(avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()), "output context");
    AVStream* stream = avformat_new_stream(format, nullptr);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    const int channelCount = static_cast<int>(channels.size());
    av_channel_layout_default(&context->ch_layout, channelCount);
    context->sample_rate = sampleRate;
    context->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    context->bit_rate = 128000;
    context->time_base = {1, sampleRate};
    if (format->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(context, codec, nullptr), "open encoder");
    check(avcodec_parameters_from_context(stream->codecpar, context), "parameters");
    stream->time_base = context->time_base;
    check(avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE), "open file");
    check(avformat_write_header(format, nullptr), "header");

    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    const int frameSize = context->frame_size > 0 ? context->frame_size : 1024;
    const size_t total = channels[0].size();
    auto drain = [&] {
        while (avcodec_receive_packet(context, packet) == 0) {
            av_packet_rescale_ts(packet, context->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check(av_interleaved_write_frame(format, packet), "write");
        }
    };
    for (size_t start = 0; start < total; start += frameSize) {
        const int n = static_cast<int>(std::min<size_t>(frameSize, total - start));
        frame->nb_samples = n;
        frame->format = context->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        frame->sample_rate = sampleRate;
        frame->pts = static_cast<int64_t>(start);
        check(av_frame_get_buffer(frame, 0), "frame buffer");
        const bool planar = av_sample_fmt_is_planar(context->sample_fmt);
        for (int c = 0; c < channelCount; ++c) {
            for (int i = 0; i < n; ++i) {
                const float v = channels[c][start + i];
                const size_t index = planar ? i : static_cast<size_t>(i) * channelCount + c;
                uint8_t* plane = frame->extended_data[planar ? c : 0];
                switch (av_get_packed_sample_fmt(context->sample_fmt)) {
                    case AV_SAMPLE_FMT_S16:
                        reinterpret_cast<int16_t*>(plane)[index] = static_cast<int16_t>(std::lrint(std::clamp(v, -1.0f, 0.99997f) * 32768));
                        break;
                    case AV_SAMPLE_FMT_S32:
                        reinterpret_cast<int32_t*>(plane)[index] = static_cast<int32_t>(std::lrint(std::clamp(v, -1.0f, 0.99997f) * 2147483648.0));
                        break;
                    default: reinterpret_cast<float*>(plane)[index] = v; break;
                }
            }
        }
        check(avcodec_send_frame(context, frame), "encode");
        av_frame_unref(frame);
        drain();
    }
    check(avcodec_send_frame(context, nullptr), "flush");
    drain();
    check(av_write_trailer(format), "trailer");
    avio_closep(&format->pb);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    avformat_free_context(format);
}

}  // namespace avfoundation::testing

#include "Platform/AVFoundation/AVAudioFile.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include "Platform/AVFoundation/AVFoundationError.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/intreadwrite.h>
}

static_assert(std::endian::native == std::endian::little, "WAV writing assumes a little-endian host");

namespace avfoundation {

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Decode errors tolerated before a stream counts as undecodable: a few damaged packets in a long
// file are skipped, as players do.
constexpr int kMaxDecodeErrors = 1000;

AVAudioCommonFormat commonFormatOf(AVSampleFormat format) {
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_S16: return AVAudioCommonFormat::pcmFormatInt16;
        case AV_SAMPLE_FMT_S32: return AVAudioCommonFormat::pcmFormatInt32;
        case AV_SAMPLE_FMT_FLT: return AVAudioCommonFormat::pcmFormatFloat32;
        case AV_SAMPLE_FMT_DBL: return AVAudioCommonFormat::pcmFormatFloat64;
        default: return AVAudioCommonFormat::otherFormat;
    }
}

// Converts `count` frames starting at frame `from` of a decoded frame into float channels.
template <class T, class Convert>
void convertSamples(const AVFrame& frame, bool planar, int channels, int from, int count, float* const* out,
                    size_t outOffset, Convert convert) {
    if (planar) {
        for (int c = 0; c < channels; ++c) {
            const T* src = reinterpret_cast<const T*>(frame.extended_data[c]) + from;
            float* dst = out[c] + outOffset;
            for (int i = 0; i < count; ++i) dst[i] = convert(src[i]);
        }
    } else {
        const T* src = reinterpret_cast<const T*>(frame.extended_data[0]) + static_cast<size_t>(from) * channels;
        for (int c = 0; c < channels; ++c) {
            float* dst = out[c] + outOffset;
            for (int i = 0; i < count; ++i) dst[i] = convert(src[static_cast<size_t>(i) * channels + c]);
        }
    }
}

void convertFrame(const AVFrame& frame, int channels, int from, int count, float* const* out, size_t outOffset) {
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format);
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            convertSamples<uint8_t>(frame, planar, channels, from, count, out, outOffset,
                                    [](uint8_t v) { return (static_cast<float>(v) - 128.0f) * (1.0f / 128.0f); });
            break;
        case AV_SAMPLE_FMT_S16:
            convertSamples<int16_t>(frame, planar, channels, from, count, out, outOffset,
                                    [](int16_t v) { return static_cast<float>(v) * (1.0f / 32768.0f); });
            break;
        case AV_SAMPLE_FMT_S32:
            convertSamples<int32_t>(frame, planar, channels, from, count, out, outOffset, [](int32_t v) {
                return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
            });
            break;
        case AV_SAMPLE_FMT_S64:
            convertSamples<int64_t>(frame, planar, channels, from, count, out, outOffset, [](int64_t v) {
                return static_cast<float>(static_cast<double>(v) * (1.0 / 9223372036854775808.0));
            });
            break;
        case AV_SAMPLE_FMT_FLT:
            convertSamples<float>(frame, planar, channels, from, count, out, outOffset, [](float v) { return v; });
            break;
        case AV_SAMPLE_FMT_DBL:
            convertSamples<double>(frame, planar, channels, from, count, out, outOffset,
                                   [](double v) { return static_cast<float>(v); });
            break;
        default:
            throw AVAudioError(AVAudioError::Case::readFailed,
                               std::string("Unsupported decoded sample format ") +
                                   (av_get_sample_fmt_name(format) ? av_get_sample_fmt_name(format) : "?"));
    }
}

}  // namespace

// ---- Reading

struct AVAudioFile::Reader {
    std::string path;
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int streamIndex = -1;
    int sampleRate = 0;
    int channels = 0;
    bool exactPCM = false;     // constant bytes per sample: the demuxer seeks sample-exactly
    bool flushSent = false;    // the decoder was told the input ended
    bool framePending = false; // `frame` holds frames not yet handed out, from frameOffset on
    int frameOffset = 0;
    int64_t decodedPosition = 0;  // the file frame at frame[frameOffset]
    int decodeErrors = 0;
    int64_t length = 0;

    ~Reader() { closeStreams(); }

    void closeStreams() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
    }

    [[noreturn]] void fail(AVAudioError::Case errorCase, const std::string& why) const {
        throw AVAudioError(errorCase, "The audio file \"" + path + "\" " + why);
    }

    void open() {
        // The library's own console chatter is off: what goes wrong reaches the caller as an error.
        static const bool quiet = [] {
            av_log_set_level(AV_LOG_QUIET);
            return true;
        }();
        (void)quiet;
        closeStreams();
        int r = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
        if (r < 0) fail(AVAudioError::Case::cannotOpenFile, "could not be opened: " + avError(r));
        r = avformat_find_stream_info(format, nullptr);
        if (r < 0) fail(AVAudioError::Case::cannotOpenFile, "could not be read: " + avError(r));
        const AVCodec* codec = nullptr;
        streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (streamIndex < 0 || !codec) fail(AVAudioError::Case::cannotOpenFile, "holds no audio stream that can be decoded");
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (static_cast<int>(i) != streamIndex) format->streams[i]->discard = AVDISCARD_ALL;
        }
        decoder = avcodec_alloc_context3(codec);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!decoder || !packet || !frame) fail(AVAudioError::Case::cannotOpenFile, "could not be opened: out of memory");
        AVStream* stream = format->streams[streamIndex];
        r = avcodec_parameters_to_context(decoder, stream->codecpar);
        if (r >= 0) {
            decoder->thread_count = 1;
            decoder->pkt_timebase = stream->time_base;
            r = avcodec_open2(decoder, codec, nullptr);
        }
        if (r < 0) fail(AVAudioError::Case::cannotOpenFile, "could not be decoded: " + avError(r));
        flushSent = false;
        framePending = false;
        frameOffset = 0;
        decodedPosition = 0;
    }

    // Frames the file holds. Constant-size PCM trusts the container's duration; everything else
    // sums the packets' durations (demuxing only, no decoding) less the priming and padding the
    // demuxer marks for removal, bounded by the container's own duration when that is not a
    // guess from the bit rate. Reading to the end corrects what is still off.
    int64_t measureLength() {
        AVStream* stream = format->streams[streamIndex];
        const AVRational perSample{1, sampleRate};
        if (exactPCM && stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            return av_rescale_q(stream->duration, stream->time_base, perSample);
        }
        int64_t total = 0;
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == streamIndex) {
                int64_t duration = packet->duration > 0 ? av_rescale_q(packet->duration, stream->time_base, perSample)
                                                        : av_get_audio_frame_duration2(stream->codecpar, packet->size);
                size_t size = 0;
                const uint8_t* skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
                if (skip && size >= 8) duration -= static_cast<int64_t>(AV_RL32(skip)) + AV_RL32(skip + 4);
                total += std::max<int64_t>(duration, 0);
            }
            av_packet_unref(packet);
        }
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0 &&
            format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
            total = std::min(total, av_rescale_q(stream->duration, stream->time_base, perSample));
        }
        open();  // back to the first frame, with the demuxer and decoder exactly as new
        return total;
    }

    // The next decoded frame into `frame`; false at the end of the stream.
    bool decodeNext() {
        av_frame_unref(frame);
        framePending = false;
        frameOffset = 0;
        for (;;) {
            int r = avcodec_receive_frame(decoder, frame);
            if (r == 0) {
                if (frame->ch_layout.nb_channels != channels || frame->sample_rate != sampleRate) {
                    av_frame_unref(frame);
                    fail(AVAudioError::Case::invalidFile, "changes its sample rate or channel count midway");
                }
                if (frame->nb_samples <= 0) continue;
                framePending = true;
                return true;
            }
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) {
                if (++decodeErrors > kMaxDecodeErrors) fail(AVAudioError::Case::readFailed, "could not be decoded: " + avError(r));
                continue;
            }
            if (flushSent) return false;
            r = av_read_frame(format, packet);
            if (r < 0) {
                // The end of the file, or damage the demuxer cannot get past: drain what is decoded.
                if (r != AVERROR_EOF) ++decodeErrors;
                avcodec_send_packet(decoder, nullptr);
                flushSent = true;
                continue;
            }
            if (packet->stream_index != streamIndex) {
                av_packet_unref(packet);
                continue;
            }
            r = avcodec_send_packet(decoder, packet);
            av_packet_unref(packet);
            if (r < 0 && r != AVERROR(EAGAIN) && ++decodeErrors > kMaxDecodeErrors) {
                fail(AVAudioError::Case::readFailed, "could not be decoded: " + avError(r));
            }
        }
    }

    // Drops decoded frames until `target`; false when the stream ends first.
    bool skipTo(int64_t target) {
        while (decodedPosition < target) {
            if (!framePending && !decodeNext()) return false;
            const int64_t available = frame->nb_samples - frameOffset;
            const int64_t skip = std::min(available, target - decodedPosition);
            frameOffset += static_cast<int>(skip);
            decodedPosition += skip;
            if (frameOffset >= frame->nb_samples) framePending = false;
        }
        return true;
    }

    // Constant-size PCM: let the demuxer jump, then place the first frame by its timestamp.
    bool seekPCM(int64_t target) {
        AVStream* stream = format->streams[streamIndex];
        const AVRational perSample{1, sampleRate};
        const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        const int64_t timestamp = start + av_rescale_q(target, perSample, stream->time_base);
        if (av_seek_frame(format, streamIndex, timestamp, AVSEEK_FLAG_BACKWARD) < 0) return false;
        avcodec_flush_buffers(decoder);
        flushSent = false;
        framePending = false;
        if (!decodeNext()) return false;
        const int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
        if (pts == AV_NOPTS_VALUE) return false;
        const int64_t position = av_rescale_q(pts - start, stream->time_base, perSample);
        if (position < 0 || position > target) return false;
        decodedPosition = position;
        return skipTo(target);
    }

    // Puts the decoder at `target`; false when the file ends before it.
    bool seek(int64_t target) {
        if (target == decodedPosition) return true;
        const bool far = target > decodedPosition + int64_t{10} * sampleRate;
        if (exactPCM && (target < decodedPosition || far)) {
            if (seekPCM(target)) return true;
            open();
        } else if (target < decodedPosition) {
            open();
        }
        return skipTo(target);
    }

    // Copies up to `count` frames at `position` into the channels; returns how many.
    uint32_t read(int64_t position, uint32_t count, float* const* out) {
        if (position < 0 || position >= length || count == 0) return 0;
        count = static_cast<uint32_t>(std::min<int64_t>(count, length - position));
        if (!seek(position)) {
            length = std::min(length, decodedPosition);  // the stream ends before the position
            return 0;
        }
        const int errorsBefore = decodeErrors;
        uint32_t got = 0;
        while (got < count) {
            if (!framePending && !decodeNext()) break;
            const int take = static_cast<int>(std::min<int64_t>(frame->nb_samples - frameOffset, count - got));
            convertFrame(*frame, channels, frameOffset, take, out, got);
            got += static_cast<uint32_t>(take);
            frameOffset += take;
            decodedPosition += take;
            if (frameOffset >= frame->nb_samples) framePending = false;
        }
        if (got == 0 && decodeErrors > errorsBefore) fail(AVAudioError::Case::readFailed, "could not be decoded");
        // The stream ended before the measured length: from now on the length is what it holds.
        if (got < count && !framePending) length = decodedPosition;
        return got;
    }
};

AVAudioFile::AVAudioFile(const std::filesystem::path& forReading) : url_(forReading), reader_(std::make_unique<Reader>()) {
    Reader& r = *reader_;
    r.path = forReading.string();
    r.open();
    r.sampleRate = r.decoder->sample_rate;
    r.channels = r.decoder->ch_layout.nb_channels;
    auto processing = AVAudioFormat::standard(r.sampleRate, r.channels > 0 ? static_cast<uint32_t>(r.channels) : 0);
    if (r.sampleRate <= 0 || !processing) r.fail(AVAudioError::Case::invalidFile, "has no usable sample rate or channel count");
    processingFormat_ = *processing;
    fileFormat_ = AVAudioFormat(commonFormatOf(r.decoder->sample_fmt), r.sampleRate, static_cast<uint32_t>(r.channels), true);
    r.exactPCM = av_get_exact_bits_per_sample(r.decoder->codec_id) > 0;
    r.length = r.measureLength();
}

// ---- Writing (WAV)

struct AVAudioFile::Writer {
    std::filesystem::path target;
    std::filesystem::path temporary;
    std::FILE* file = nullptr;
    Settings settings;
    uint32_t bytesPerSample = 2;
    uint64_t dataBytes = 0;
    std::vector<char> scratch;

    ~Writer() {
        if (file) {
            std::fclose(file);
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
        }
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw AVAudioError(AVAudioError::Case::writeFailed, "The audio file \"" + target.string() + "\" " + why);
    }

    bool isFloat() const {
        return settings.fileFormat == AVAudioCommonFormat::pcmFormatFloat32 ||
               settings.fileFormat == AVAudioCommonFormat::pcmFormatFloat64;
    }

    // RIFF header with fmt (and, for float data, fact) chunk; sizes are patched on close.
    std::vector<char> header(uint64_t frames) const {
        std::vector<char> h;
        auto put = [&](const void* p, size_t n) { h.insert(h.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n); };
        auto u32 = [&](uint32_t v) { put(&v, 4); };
        auto u16 = [&](uint16_t v) { put(&v, 2); };
        const uint16_t channels = static_cast<uint16_t>(settings.channelCount);
        const uint32_t rate = static_cast<uint32_t>(std::lround(settings.sampleRate));
        const uint32_t fmtSize = isFloat() ? 18 : 16;
        const uint32_t factSize = isFloat() ? 12 : 0;
        put("RIFF", 4);
        u32(static_cast<uint32_t>(4 + 8 + fmtSize + factSize + 8 + dataBytes));
        put("WAVE", 4);
        put("fmt ", 4);
        u32(fmtSize);
        u16(isFloat() ? 3 : 1);
        u16(channels);
        u32(rate);
        u32(rate * channels * bytesPerSample);
        u16(static_cast<uint16_t>(channels * bytesPerSample));
        u16(static_cast<uint16_t>(bytesPerSample * 8));
        if (isFloat()) {
            u16(0);
            put("fact", 4);
            u32(4);
            u32(static_cast<uint32_t>(frames));
        }
        put("data", 4);
        u32(static_cast<uint32_t>(dataBytes));
        return h;
    }
};

AVAudioFile::AVAudioFile(const std::filesystem::path& forWriting, const Settings& settings)
    : url_(forWriting), writer_(std::make_unique<Writer>()) {
    Writer& w = *writer_;
    w.target = forWriting;
    w.settings = settings;
    AVAudioFormat onDisk(settings.fileFormat, settings.sampleRate, settings.channelCount, true);
    auto processing = AVAudioFormat::standard(settings.sampleRate, settings.channelCount);
    if (!onDisk.isValid() || !processing || settings.channelCount > 65535 || settings.sampleRate >= 4294967295.0) {
        throw AVAudioError(AVAudioError::Case::invalidArgument, "Unsupported settings for a WAV file: " + onDisk.description());
    }
    fileFormat_ = onDisk;
    processingFormat_ = *processing;
    w.bytesPerSample = onDisk.bytesPerSample();
    std::string pattern = (forWriting.parent_path() / ("." + forWriting.filename().string() + ".XXXXXX")).string();
    if (forWriting.parent_path().empty()) pattern = "." + forWriting.filename().string() + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) w.fail("could not be created: " + std::string(std::strerror(errno)));
    w.temporary = name.data();
    w.file = ::fdopen(fd, "wb");
    if (!w.file) {
        ::close(fd);
        std::error_code ignored;
        std::filesystem::remove(w.temporary, ignored);
        w.fail("could not be created");
    }
    const auto h = w.header(0);
    if (std::fwrite(h.data(), 1, h.size(), w.file) != h.size()) w.fail("could not be written");
}

AVAudioFile::~AVAudioFile() {
    if (writer_ && writer_->file) {
        try {
            close();
        } catch (...) {
            // The temporary file is removed by the writer; nothing half-written is left behind.
        }
    }
}

void AVAudioFile::write(const AVAudioPCMBuffer& from) {
    if (!writer_ || !writer_->file) {
        throw AVAudioError(AVAudioError::Case::invalidArgument, "The audio file \"" + url_.string() + "\" is not open for writing");
    }
    if (from.format() != processingFormat_) {
        throw AVAudioError(AVAudioError::Case::invalidArgument,
                           "A buffer of format " + from.format().description() + " cannot be written to a file of " +
                               processingFormat_.description());
    }
    Writer& w = *writer_;
    const uint32_t frames = from.frameLength();
    const uint32_t channels = processingFormat_.channelCount();
    const size_t bytes = static_cast<size_t>(frames) * channels * w.bytesPerSample;
    if (w.dataBytes + bytes > std::numeric_limits<uint32_t>::max() - 64) w.fail("would exceed the 4 GiB limit of WAV");
    w.scratch.resize(bytes);
    const float* const* data = from.floatChannelData();
    char* out = w.scratch.data();
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < channels; ++c) {
            const float v = data[c][i];
            switch (w.settings.fileFormat) {
                case AVAudioCommonFormat::pcmFormatInt16: {
                    const int16_t s = static_cast<int16_t>(std::clamp(std::lrint(static_cast<double>(v) * 32768.0), -32768L, 32767L));
                    std::memcpy(out, &s, 2);
                    break;
                }
                case AVAudioCommonFormat::pcmFormatInt32: {
                    const double scaled = std::clamp(static_cast<double>(v) * 2147483648.0, -2147483648.0, 2147483647.0);
                    const int32_t s = static_cast<int32_t>(std::lrint(scaled));
                    std::memcpy(out, &s, 4);
                    break;
                }
                case AVAudioCommonFormat::pcmFormatFloat64: {
                    const double d = v;
                    std::memcpy(out, &d, 8);
                    break;
                }
                default: std::memcpy(out, &v, 4); break;
            }
            out += w.bytesPerSample;
        }
    }
    if (bytes > 0 && std::fwrite(w.scratch.data(), 1, bytes, w.file) != bytes) w.fail("could not be written");
    w.dataBytes += bytes;
    position_ += frames;
}

void AVAudioFile::close() {
    if (!writer_ || !writer_->file) return;
    Writer& w = *writer_;
    const uint64_t frames = w.dataBytes / (static_cast<uint64_t>(w.bytesPerSample) * w.settings.channelCount);
    const auto h = w.header(frames);
    bool ok = std::fseek(w.file, 0, SEEK_SET) == 0 && std::fwrite(h.data(), 1, h.size(), w.file) == h.size() &&
              std::fflush(w.file) == 0 && ::fsync(::fileno(w.file)) == 0;
    ok = (std::fclose(w.file) == 0) && ok;
    w.file = nullptr;
    std::error_code ec;
    if (ok) std::filesystem::rename(w.temporary, w.target, ec);
    if (!ok || ec) {
        std::filesystem::remove(w.temporary, ec);
        w.fail("could not be written");
    }
}

// ---- Common

const std::filesystem::path& AVAudioFile::url() const { return url_; }
const AVAudioFormat& AVAudioFile::fileFormat() const { return fileFormat_; }
const AVAudioFormat& AVAudioFile::processingFormat() const { return processingFormat_; }
int64_t AVAudioFile::length() const { return reader_ ? reader_->length : position_; }
int64_t AVAudioFile::framePosition() const { return position_; }
void AVAudioFile::setFramePosition(int64_t framePosition) {
    if (reader_) position_ = framePosition;
}

void AVAudioFile::read(AVAudioPCMBuffer& into) { read(into, into.frameCapacity()); }

void AVAudioFile::read(AVAudioPCMBuffer& into, uint32_t frameCount) {
    if (!reader_) {
        throw AVAudioError(AVAudioError::Case::invalidArgument, "The audio file \"" + url_.string() + "\" is not open for reading");
    }
    if (into.format() != processingFormat_) {
        throw AVAudioError(AVAudioError::Case::invalidArgument,
                           "A buffer of format " + into.format().description() + " cannot receive frames of " +
                               processingFormat_.description());
    }
    into.setFrameLength(0);
    const uint32_t count = std::min(frameCount, into.frameCapacity());
    const uint32_t got = reader_->read(position_, count, into.floatChannelData());
    into.setFrameLength(got);
    position_ += got;
}

}  // namespace avfoundation

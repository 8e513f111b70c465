// The audio platform layer: vector routines, WAV writing, decoding and sample-exact seeking in every
// container the tests can make, resampling continuity, and the engine's tap.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <random>

#include "Encoder.hpp"
#include "Platform/AVFoundation/AVAudioConverter.hpp"
#include "Platform/AVFoundation/AVAudioEngine.hpp"
#include "Platform/AVFoundation/AVAudioFile.hpp"
#include "Platform/AVFoundation/AVFoundationError.hpp"
#include "Platform/Accelerate/vDSP.hpp"

using namespace avfoundation;
namespace fs = std::filesystem;

namespace {

class Folder {
public:
    Folder() {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() / ("avfoundation-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::vector<std::vector<float>> testSignal(int channels, size_t frames, double rate) {
    std::vector<std::vector<float>> out(channels, std::vector<float>(frames));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    for (int c = 0; c < channels; ++c) {
        for (size_t i = 0; i < frames; ++i) {
            out[c][i] = 0.4f * std::sin(2 * M_PI * (300.0 + 200 * c) * i / rate) + noise(random);
        }
    }
    return out;
}

std::shared_ptr<AVAudioPCMBuffer> bufferOf(const std::vector<std::vector<float>>& channels, double rate) {
    auto buffer = AVAudioPCMBuffer::make(*AVAudioFormat::standard(rate, static_cast<uint32_t>(channels.size())),
                                         static_cast<uint32_t>(channels[0].size()));
    for (size_t c = 0; c < channels.size(); ++c) std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData()[c]);
    buffer->setFrameLength(static_cast<uint32_t>(channels[0].size()));
    return buffer;
}

std::vector<std::vector<float>> readAll(AVAudioFile& file, uint32_t chunk) {
    std::vector<std::vector<float>> out(file.processingFormat().channelCount());
    auto buffer = AVAudioPCMBuffer::make(file.processingFormat(), chunk);
    for (;;) {
        file.read(*buffer);
        if (buffer->frameLength() == 0) break;
        for (size_t c = 0; c < out.size(); ++c) {
            out[c].insert(out[c].end(), buffer->floatChannelData()[c], buffer->floatChannelData()[c] + buffer->frameLength());
        }
    }
    return out;
}

}  // namespace

TEST(vDSP, RoutinesMatchPlainLoopsAtEveryLength) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    for (size_t n : {0, 1, 7, 15, 16, 17, 33, 1000, 100003}) {
        SCOPED_TRACE(n);
        std::vector<float> a(n), b(n), c(n);
        for (size_t i = 0; i < n; ++i) a[i] = value(random), b[i] = value(random);
        double squares = 0;
        float largest = 0, smallest = n ? INFINITY : 0;
        for (float v : a) {
            squares += static_cast<double>(v) * v;
            largest = std::max(largest, std::fabs(v));
            smallest = std::min(smallest, std::fabs(v));
        }
        EXPECT_NEAR(accelerate::vDSP::rmsqv(a.data(), n), n ? std::sqrt(squares / n) : 0.0, 1e-5);
        EXPECT_EQ(accelerate::vDSP::maxmgv(a.data(), n), largest);
        EXPECT_EQ(accelerate::vDSP::minmgv(a.data(), n), smallest);
        accelerate::vDSP::vadd(a.data(), b.data(), c.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(c[i], a[i] + b[i]);
        accelerate::vDSP::vsmul(a.data(), 0.3f, c.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(c[i], a[i] * 0.3f);
        accelerate::vDSP::mmov(a.data(), c.data(), n);
        EXPECT_EQ(c, a);
        accelerate::vDSP::vclr(c.data(), n);
        EXPECT_EQ(c, std::vector<float>(n, 0.0f));
    }
}

TEST(AudioFile, WavFilesRoundTripInEverySampleType) {
    Folder folder;
    const auto signal = testSignal(2, 5000, 22050);
    for (auto format : {AVAudioCommonFormat::pcmFormatInt16, AVAudioCommonFormat::pcmFormatInt32,
                        AVAudioCommonFormat::pcmFormatFloat32, AVAudioCommonFormat::pcmFormatFloat64}) {
        const auto path = folder / ("tone-" + std::to_string(static_cast<int>(format)) + ".wav");
        {
            AVAudioFile writer(path, {22050, 2, format});
            writer.write(*bufferOf(signal, 22050));
            EXPECT_FALSE(fs::exists(path)) << "nothing appears before the file is complete";
            writer.close();
        }
        AVAudioFile reader(path);
        EXPECT_EQ(reader.fileFormat().commonFormat(), format);
        EXPECT_EQ(reader.processingFormat(), *AVAudioFormat::standard(22050, 2));
        EXPECT_EQ(reader.length(), 5000);
        const auto back = readAll(reader, 777);
        const double tolerance = format == AVAudioCommonFormat::pcmFormatInt16 ? 1.0 / 32768 : 1e-7;
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(back[c].size(), 5000u);
            for (size_t i = 0; i < 5000; ++i) ASSERT_NEAR(back[c][i], signal[c][i], tolerance);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 4) << "no temporary files left";
    EXPECT_THROW(AVAudioFile(folder / "missing-folder" / "x.wav", {16000, 1}), AVAudioError);
    AVAudioFile writer(folder / "mismatch.wav", {16000, 1});
    EXPECT_THROW(writer.write(*bufferOf(signal, 22050)), AVAudioError);
}

TEST(AudioFile, EveryContainerDecodesAndSeeksSampleExactly) {
    Folder folder;
    struct Case {
        std::string name;
        std::string encoder;
        int rate;
        int channels;
        bool lossless;
    };
    const std::vector<Case> cases = {{"a.wav", "", 44100, 2, true},         {"a.flac", "flac", 44100, 2, true},
                                     {"a.mp3", "libmp3lame", 44100, 2, false}, {"a.ogg", "libvorbis", 32000, 1, false},
                                     {"a.opus", "libopus", 48000, 2, false},   {"a.m4a", "aac", 24000, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t frames = static_cast<size_t>(c.rate) * 3 + 123;
        const auto signal = testSignal(c.channels, frames, c.rate);
        const auto path = folder / c.name;
        if (c.encoder.empty()) {
            AVAudioFile writer(path, {static_cast<double>(c.rate), static_cast<uint32_t>(c.channels), AVAudioCommonFormat::pcmFormatInt16});
            writer.write(*bufferOf(signal, c.rate));
        } else {
            try {
                avfoundation::testing::encodeAudioFile(path, c.encoder, signal, c.rate);
            } catch (const std::exception& e) {
                GTEST_LOG_(INFO) << "skipping " << c.name << ": " << e.what();
                continue;
            }
        }
        AVAudioFile file(path);
        EXPECT_EQ(file.fileFormat().sampleRate(), c.rate);
        EXPECT_EQ(file.fileFormat().channelCount(), static_cast<uint32_t>(c.channels));
        const auto whole = readAll(file, 4096);
        EXPECT_EQ(static_cast<int64_t>(whole[0].size()), file.length()) << "the length is what reading yields";
        if (c.lossless) {
            EXPECT_EQ(file.length(), static_cast<int64_t>(frames));
        } else {
            EXPECT_NEAR(static_cast<double>(file.length()), static_cast<double>(frames), 0.05 * c.rate);
        }
        // Jump around, backwards and forwards: each read matches the straight decode exactly.
        auto buffer = AVAudioPCMBuffer::make(file.processingFormat(), 1000);
        for (int64_t position : {int64_t{0}, file.length() / 2, int64_t{17}, file.length() - 10, int64_t{c.rate + 5}, int64_t{3}}) {
            file.setFramePosition(position);
            file.read(*buffer);
            const int64_t expected = std::min<int64_t>(1000, file.length() - position);
            ASSERT_EQ(buffer->frameLength(), expected) << "at " << position;
            EXPECT_EQ(file.framePosition(), position + expected);
            for (int ch = 0; ch < c.channels; ++ch) {
                ASSERT_TRUE(std::equal(buffer->floatChannelData()[ch], buffer->floatChannelData()[ch] + expected,
                                       whole[ch].begin() + position))
                    << "at " << position << " channel " << ch;
            }
        }
        file.setFramePosition(file.length() + 5);
        file.read(*buffer);
        EXPECT_EQ(buffer->frameLength(), 0u);
    }
}

TEST(AudioConverter, AStreamConvertedBufferByBufferEqualsOneConversion) {
    const double from = 44100, to = 16000;
    const auto signal = testSignal(1, 44100, from)[0];
    auto oneShot = [&] {
        auto converter = AVAudioConverter::make(*AVAudioFormat::standard(from, 1), *AVAudioFormat::standard(to, 1));
        auto out = AVAudioPCMBuffer::make(converter->outputFormat(), 20000);
        bool fed = false;
        std::optional<AVAudioError> error;
        auto status = converter->convert(*out, error, [&](uint32_t, AVAudioConverterInputStatus& s) {
            s = fed ? AVAudioConverterInputStatus::endOfStream : AVAudioConverterInputStatus::haveData;
            const bool first = !fed;
            fed = true;
            return first ? bufferOf({signal}, from) : nullptr;
        });
        EXPECT_EQ(status, AVAudioConverterOutputStatus::endOfStream);
        return std::vector<float>(out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
    }();
    EXPECT_NEAR(static_cast<double>(oneShot.size()), 16000.0, 1.0) << "each input frame is used once";

    auto converter = AVAudioConverter::make(*AVAudioFormat::standard(from, 2), *AVAudioFormat::standard(to, 1));
    std::vector<float> streamed;
    size_t offset = 0, step = 0;
    const size_t sizes[] = {441, 1, 4096, 1000, 33};
    while (offset < signal.size()) {
        const size_t n = std::min(sizes[step++ % std::size(sizes)], signal.size() - offset);
        // The second channel is dropped: from two channels to one, the first is taken.
        auto piece = bufferOf({std::vector<float>(signal.begin() + offset, signal.begin() + offset + n),
                               std::vector<float>(n, 0.9f)}, from);
        offset += n;
        auto out = AVAudioPCMBuffer::make(converter->outputFormat(), static_cast<uint32_t>(n));
        bool fed = false;
        std::optional<AVAudioError> error;
        for (;;) {
            auto status = converter->convert(*out, error, [&](uint32_t, AVAudioConverterInputStatus& s) {
                s = fed ? AVAudioConverterInputStatus::noDataNow : AVAudioConverterInputStatus::haveData;
                const bool first = !fed;
                fed = true;
                return first ? piece : nullptr;
            });
            streamed.insert(streamed.end(), out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
            if (status != AVAudioConverterOutputStatus::haveData) break;  // a full output: ask again
        }
    }
    ASSERT_GT(streamed.size(), 15000u);
    ASSERT_LE(streamed.size(), oneShot.size());
    for (size_t i = 0; i < streamed.size(); ++i) ASSERT_NEAR(streamed[i], oneShot[i], 1e-5) << "sample " << i;

    EXPECT_FALSE(AVAudioConverter::make(*AVAudioFormat::standard(from, 1), *AVAudioFormat::standard(to, 2)));
    auto same = AVAudioConverter::make(*AVAudioFormat::standard(to, 1), *AVAudioFormat::standard(to, 1));
    ASSERT_TRUE(same);
}

TEST(AudioEngine, TheTapReceivesTheDevicesAudioUntilRemoved) {
    auto backend = std::make_shared<FakeAudioInputBackend>(
        std::vector<AudioDeviceInfo>{{1, "Line In", 4, 48000}, {2, "Output", 0, 48000}}, 1);
    AVAudioEngine engine(backend);
    auto& node = engine.inputNode();
    EXPECT_EQ(node.outputFormat(0), *AVAudioFormat::standard(48000, 2)) << "two channels at most";
    EXPECT_NE(node.setCurrentDevice(2), 0) << "an output-only device cannot be chosen";
    std::vector<std::shared_ptr<AVAudioPCMBuffer>> tapped;
    std::vector<int64_t> times;
    node.installTap(0, 4096, node.outputFormat(0), [&](const std::shared_ptr<AVAudioPCMBuffer>& b, const AVAudioTime& t) {
        tapped.push_back(b);
        times.push_back(t.sampleTime);
    });
    EXPECT_THROW(node.installTap(0, 4096, std::nullopt, [](auto&, auto&) {}), AVAudioError);
    engine.start();
    EXPECT_EQ(backend->requestedFramesPerBuffer(), 4096u);
    backend->deliver({1, 2, 3, 4, 5, 6});
    backend->deliver({7, 8});
    ASSERT_EQ(tapped.size(), 2u);
    EXPECT_EQ(tapped[0]->frameLength(), 3u);
    EXPECT_EQ(tapped[0]->floatChannelData()[0][2], 5.0f);
    EXPECT_EQ(tapped[0]->floatChannelData()[1][2], 6.0f);
    EXPECT_EQ(times, (std::vector<int64_t>{0, 3}));
    node.removeTap(0);
    backend->deliver({9, 10});
    EXPECT_EQ(tapped.size(), 2u);
    engine.stop();
    EXPECT_FALSE(backend->isRunning());

    // No input device: no usable format, and a start that wants input fails cleanly.
    auto empty = std::make_shared<FakeAudioInputBackend>();
    AVAudioEngine silent(empty);
    EXPECT_FALSE(silent.inputNode().inputFormat(0).isValid());
    silent.inputNode().installTap(0, 1024, std::nullopt, [](auto&, auto&) {});
    EXPECT_THROW(silent.start(), AVAudioError);
    EXPECT_FALSE(silent.isRunning());
}

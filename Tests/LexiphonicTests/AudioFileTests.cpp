// Audio files to 16 kHz mono samples: direct reads, chunked resampling, channel handling, model
// windows, batches, and damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <numeric>

#include "AudioTestSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "LogCapture.hpp"
#include "Platform/AVFoundation/AVFoundationError.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using avfoundation::AVAudioFormat;
using avfoundation::AVAudioPCMBuffer;

namespace {

double correlation(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t n = std::min(a.size(), b.size());
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

// The frames a whole-file load yields: each read chunk resampled on its own to the rounded length,
// all of it capped by the capacity the file's duration gives.
int64_t expectedLoadedFrames(int64_t fileFrames, double rate, int64_t readSize) {
    const auto capacity = static_cast<int64_t>(std::trunc(static_cast<double>(fileFrames) / rate * 16000));
    int64_t total = 0;
    for (int64_t p = 0; p < fileFrames; p += readSize) {
        const double exact = 16000.0 * static_cast<double>(std::min(readSize, fileFrames - p)) / rate;
        total += static_cast<int64_t>(exact == std::trunc(exact) ? exact : std::max(1.0, std::nearbyint(exact)));
    }
    return std::min(capacity, total);
}

AudioBuffer planarBuffer(const std::vector<std::vector<float>>& channels, double rate = 16000) {
    auto buffer = AVAudioPCMBuffer::make(*AVAudioFormat::standard(rate, static_cast<uint32_t>(channels.size())),
                                         static_cast<uint32_t>(channels[0].size()));
    for (size_t c = 0; c < channels.size(); ++c) std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData()[c]);
    buffer->setFrameLength(static_cast<uint32_t>(channels[0].size()));
    return buffer;
}

std::vector<float> channel0(const AVAudioPCMBuffer& buffer) {
    const float* p = buffer.floatChannelData()[0];
    return std::vector<float>(p, p + buffer.frameLength());
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

}  // namespace

TEST(AudioFiles, SixteenKilohertzMonoIsReadDirectlyAndRangesAreExact) {
    SKIP_WITHOUT_SPEECH();
    const auto original = speechSamples();
    ASSERT_EQ(original.size(), 176000u);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(speechPath()), original);

    LogCapture log(pellux::Logging::LogLevel::debug);
    auto buffer = AudioProcessor::loadAudio(std::string(speechPath()), AudioInputConfig::SumChannels{}, 1.0, 2.5);
    EXPECT_EQ(channel0(*buffer), std::vector<float>(original.begin() + 16000, original.begin() + 40000));
    EXPECT_FALSE(contains(log.messages, "Resampling")) << "a 16 kHz mono file needs no converter";
    EXPECT_TRUE(contains(log.messages,
                         "Audio source details - Sample Rate: 16000.0 Hz, Channel Count: 1, Frame Length: 176000, Duration: 11.0s"));
    EXPECT_TRUE(contains(log.messages,
                         "Audio buffer details - Sample Rate: 16000.0 Hz, Channel Count: 1, Frame Length: 24000, Duration: 1.5s"));
}

TEST(AudioFiles, OtherRatesAndChannelCountsAreResampledChunkByChunk) {
    SKIP_WITHOUT_SPEECH();
    const auto original = speechSamples();
    TemporaryFolder folder;
    struct Case {
        double rate;
        int channels;
        std::optional<uint32_t> readSize;
    };
    for (const Case& c : {Case{44100, 2, std::nullopt}, Case{44100, 2, 10000}, Case{48000, 1, 4800}, Case{8000, 1, 7777},
                          Case{16000, 2, std::nullopt}, Case{22050, 3, 65536}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        const auto channels = speechAt(c.rate, c.channels);
        const auto path = folder / ("speech-" + std::to_string(static_cast<int>(c.rate)) + "-" + std::to_string(c.channels) + ".wav");
        writeWav(path, channels, c.rate);
        const auto frames = static_cast<int64_t>(channels[0].size());
        auto buffer = AudioProcessor::loadAudio(path.string(), AudioInputConfig::SumChannels{}, 0.0, std::nullopt, c.readSize);
        EXPECT_EQ(buffer->format(), *AVAudioFormat::standard(16000, 1));
        EXPECT_EQ(buffer->frameLength(), expectedLoadedFrames(frames, c.rate, c.readSize.value_or(1323000)));
        // The louder channel's level survives the sum, and the speech is the same speech: no chunk
        // repeated, dropped or shifted. (Read sizes whose chunks do not resample to whole frames
        // drift by the rounding, a fraction of a sample per chunk: the default size does not.)
        const double chunkFrames = 16000.0 * c.readSize.value_or(1323000) / c.rate;
        if (chunkFrames != std::trunc(chunkFrames)) continue;
        const auto loaded = channel0(*buffer);
        EXPECT_GT(correlation(loaded, original), 0.99);
        const float peakLoaded = *std::max_element(loaded.begin(), loaded.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        const float peakOriginal = *std::max_element(original.begin(), original.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_NEAR(std::fabs(peakLoaded), std::fabs(peakOriginal), 0.1 * std::fabs(peakOriginal));
    }
}

TEST(AudioFiles, DownMixFollowsTheChannelMode) {
    const std::vector<float> a{0.5f, -0.25f, 0.1f, 0.0f};
    const std::vector<float> b{-0.2f, 0.4f, 0.3f, -0.1f};
    auto stereo = [&] { return planarBuffer({a, b}); };
    {
        LogCapture log(pellux::Logging::LogLevel::debug);
        EXPECT_EQ(channel0(*AudioProcessor::convertToMono(stereo(), AudioInputConfig::SumChannels{std::vector<int64_t>{5}})), a);
        EXPECT_TRUE(contains(log.messages, "No valid channel indices provided, defaulting to first channel"));
    }
    EXPECT_EQ(channel0(*AudioProcessor::convertToMono(stereo(), AudioInputConfig::SpecificChannel{-1})), a);
    EXPECT_EQ(channel0(*AudioProcessor::convertToMono(stereo(), AudioInputConfig::SpecificChannel{7})), a);
    EXPECT_EQ(channel0(*AudioProcessor::convertToMono(stereo(), AudioInputConfig::SpecificChannel{1})), b);
    auto mono = planarBuffer({a});
    EXPECT_EQ(AudioProcessor::convertToMono(mono, AudioInputConfig::SumChannels{}), mono);

    // Sums are rescaled to the loudest selected channel's peak: computed here by the same rule.
    auto expectSum = [&](const AudioInputConfig::SumChannels& mode, const std::vector<std::vector<float>>& selected) {
        std::vector<float> sum(a.size(), 0.0f);
        float peakIn = 0;
        for (const auto& ch : selected) {
            for (size_t i = 0; i < sum.size(); ++i) {
                sum[i] += ch[i];
                peakIn = std::max(peakIn, std::fabs(ch[i]));
            }
        }
        float peakSum = 0;
        for (float v : sum) peakSum = std::max(peakSum, std::fabs(v));
        const float scale = peakIn / std::max(peakSum, 1e-4f);
        const auto got = channel0(*AudioProcessor::convertToMono(stereo(), mode));
        for (size_t i = 0; i < sum.size(); ++i) EXPECT_FLOAT_EQ(got[i], sum[i] * scale) << "frame " << i;
    };
    expectSum(AudioInputConfig::SumChannels{}, {a, b});
    expectSum(AudioInputConfig::SumChannels{std::vector<int64_t>{}}, {a, b});
    expectSum(AudioInputConfig::SumChannels{std::vector<int64_t>{1, 1}}, {b, b});
    expectSum(AudioInputConfig::SumChannels{std::vector<int64_t>{9, 0, -1}}, {a});

    const std::vector<float> peakHalf{0.5f, -0.3f, 0.2f};
    EXPECT_EQ(channel0(*AudioProcessor::convertToMono(planarBuffer({peakHalf, peakHalf}), AudioInputConfig::SumChannels{})), peakHalf);
    const std::vector<float> silent(3, 0.0f);
    EXPECT_EQ(channel0(*AudioProcessor::convertToMono(planarBuffer({silent, silent}), AudioInputConfig::SumChannels{})), silent);
}

TEST(AudioFiles, ResampledCapacityIsRoundedToTheNewRate) {
    struct Case {
        double rate;
        uint32_t frames;
        uint32_t capacity;
        bool rounded;
    };
    for (const Case& c : {Case{44100, 1000, 363, true}, Case{48000, 1600, 533, true}, Case{48000, 4800, 1600, false},
                          Case{8000, 3, 6, false}, Case{44100, 1, 1, true}}) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames at " + std::to_string(c.rate));
        std::vector<float> tone(c.frames);
        for (uint32_t i = 0; i < c.frames; ++i) tone[i] = 0.5f * std::sin(2 * M_PI * 440 * i / c.rate);
        LogCapture log(pellux::Logging::LogLevel::debug);
        auto out = AudioProcessor::resampleAudio(planarBuffer({tone}, c.rate), 16000, 1);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->frameCapacity(), c.capacity);
        EXPECT_LE(out->frameLength(), c.capacity);
        EXPECT_GE(out->frameLength() + 1, c.capacity);
        EXPECT_EQ(contains(log.messages, "Rounding buffer frame capacity from "), c.rounded);
    }
}

TEST(AudioFiles, ABufferIsResampledOnceWithItsTrueEnding) {
    // A 48 kHz tone resampled to 16 kHz must come out as the same tone to its last sample; feeding
    // the input a second time to fill the output would put the tone's beginning at the end.
    const double frequency = 250;
    std::vector<float> tone(4800);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(2 * M_PI * frequency * i / 48000.0);
    auto converter = avfoundation::AVAudioConverter::make(*AVAudioFormat::standard(48000, 1), *AVAudioFormat::standard(16000, 1));
    auto out = AudioProcessor::resampleBuffer(planarBuffer({tone}, 48000), *converter);
    ASSERT_EQ(out->frameLength(), 1600u);
    const auto got = channel0(*out);
    for (size_t i = 40; i < 1560; ++i) {
        ASSERT_NEAR(got[i], 0.5 * std::sin(2 * M_PI * frequency * i / 16000.0), 0.01) << "sample " << i;
    }
}

TEST(AudioFiles, AppendingChecksFormatsRangesAndSpace) {
    auto destination = AVAudioPCMBuffer::make(*AVAudioFormat::standard(16000, 1), 5);
    auto source = planarBuffer({{1, 2, 3, 4}});
    LogCapture log(pellux::Logging::LogLevel::debug);
    EXPECT_FALSE(appendContents(*destination, *planarBuffer({{1}}, 8000), 0, 1));
    EXPECT_TRUE(contains(log.messages, "Format mismatch"));
    EXPECT_FALSE(appendContents(*destination, *source, 2, 3));
    EXPECT_TRUE(contains(log.messages, "Insufficient audio in buffer"));
    EXPECT_TRUE(appendContents(*destination, *source, 1, 3));
    EXPECT_TRUE(appendContents(*destination, *source, 0, 4));
    EXPECT_TRUE(contains(log.messages, "Insufficient space in buffer, reducing frame count to fit"));
    EXPECT_EQ(channel0(*destination), (std::vector<float>{2, 3, 4, 1, 2}));
}

TEST(AudioFiles, WindowsArePaddedOrTrimmed) {
    std::vector<float> samples(100);
    std::iota(samples.begin(), samples.end(), 1.0f);
    auto window = AudioProcessing::padOrTrimAudio(samples, 0, 480000);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->shape(), (std::vector<int64_t>{480000}));
    EXPECT_EQ(window->dataType(), coreml::MLMultiArrayDataType::float32);
    const float* w = window->data<float>();
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), w));
    EXPECT_TRUE(std::all_of(w + 100, w + 480000, [](float v) { return v == 0; }));

    auto trimmed = AudioProcessor().padOrTrim(samples, 90, 5);
    EXPECT_EQ(trimmed->floatValues(), (std::vector<float>{91, 92, 93, 94, 95}));
    auto tail = AudioProcessing::padOrTrimAudio(samples, 98, 4);
    EXPECT_EQ(tail->floatValues(), (std::vector<float>{99, 100, 0, 0}));

    LogCapture log(pellux::Logging::LogLevel::error);
    EXPECT_FALSE(AudioProcessing::padOrTrimAudio(samples, 100, 10));
    EXPECT_FALSE(AudioProcessing::padOrTrimAudio(samples, -1, 10));
    EXPECT_FALSE(AudioProcessing::padOrTrimAudio(samples, 0, 0));
    EXPECT_TRUE(contains(log.messages, "startIndex is outside the buffer size"));
}

TEST(AudioFiles, BufferToArrayCopiesChannelZeroAndClearsIt) {
    std::vector<float> samples(2500);
    std::iota(samples.begin(), samples.end(), 1.0f);
    auto buffer = planarBuffer({samples, samples});
    EXPECT_EQ(AudioProcessor::convertBufferToArray(*buffer, 1024), samples);
    EXPECT_EQ(channel0(*buffer), std::vector<float>(2500, 0.0f));
    const float* second = buffer->floatChannelData()[1];
    EXPECT_EQ(std::vector<float>(second, second + 2500), samples);
}

TEST(AudioFiles, RangesOutsideTheFileGiveEmptyOrCutResults) {
    SKIP_WITHOUT_SPEECH();
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(speechPath(), AudioInputConfig::SumChannels{}, 11.0).empty());
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(speechPath(), AudioInputConfig::SumChannels{}, 50.0).empty());
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(speechPath(), AudioInputConfig::SumChannels{}, 5.0, 4.0).empty());
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(speechPath(), AudioInputConfig::SumChannels{}, 10.0, 99.0).size(), 16000u);
    EXPECT_EQ(AudioProcessor::loadAudio(std::string(speechPath()), AudioInputConfig::SumChannels{}, 20.0, 30.0)->frameLength(), 0u);
    EXPECT_EQ(AudioProcessor::loadAudio(std::string(speechPath()), AudioInputConfig::SumChannels{}, std::nan(""), 1.0)->frameLength(),
              16000u);
    try {
        AudioProcessor::loadAudio(std::string(speechPath()), AudioInputConfig::SumChannels{}, 0.0, std::nullopt, 0u);
        FAIL() << "a read size of 0 must fail";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), WhisperError::Case::loadAudioFailed);
    }
}

TEST(AudioFiles, LongFilesAreReadInTenMinuteSlices) {
    TemporaryFolder folder;
    const double rate = 8000;
    std::vector<float> tone(static_cast<size_t>(25 * 60 * rate));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = (i / 8000) % 2 ? 0.25f : -0.25f;
    writeWav(folder / "long.wav", {tone}, rate, avfoundation::AVAudioCommonFormat::pcmFormatInt16);
    LogCapture log(pellux::Logging::LogLevel::debug);
    const auto samples = AudioProcessor::loadAudioAsFloatArray((folder / "long.wav").string());
    EXPECT_EQ(samples.size(), 25u * 60 * 16000);
    std::vector<std::string> slices;
    for (const auto& m : log.messages) {
        if (m.rfind("Resampling ", 0) == 0 && m.find("seconds of audio") != std::string::npos) slices.push_back(m);
    }
    EXPECT_EQ(slices, (std::vector<std::string>{"Resampling 600.00 seconds of audio", "Resampling 600.00 seconds of audio",
                                                "Resampling 300.00 seconds of audio"}));
}

TEST(AudioFiles, BatchesKeepInputOrderAndIsolateFailures) {
    SKIP_WITHOUT_SPEECH();
    const std::string missing = "/nonexistent/missing.wav";
    const auto results = AudioProcessor::loadAudio(std::vector<std::string>{speechPath(), missing, speechPath()});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(std::get<std::vector<float>>(results[0]).size(), 176000u);
    EXPECT_EQ(std::get<std::vector<float>>(results[2]).size(), 176000u);
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(results[1]));
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), WhisperError::Case::loadAudioFailed);
        EXPECT_EQ(e.message(), "Resource path does not exist " + missing);
    }
}

TEST(AudioFiles, DamagedFilesFailCleanlyOrYieldWhatTheyHold) {
    TemporaryFolder folder;
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(folder / name, std::ios::binary) << bytes;
        return (folder / name).string();
    };
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (const auto& path : {write("empty.wav", ""), write("text.wav", "hello, this is not audio"), write("noise.mp3", noise),
                             write("noise.flac", "fLaC" + noise)}) {
        SCOPED_TRACE(path);
        EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(path), avfoundation::AVAudioError);
    }
    // A few bytes whose header claims 288 channels at 1.14 GHz are refused at once, not resampled for minutes.
    auto le = [](uint32_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
        return out;
    };
    const std::string hostile = "RIFF" + le(36 + 96, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(288, 2) +
                                le(1140000000u, 4) + le(1140000000u, 4) + le(576, 2) + le(16, 2) + "data" +
                                le(96, 4) + std::string(96, '\x11');
    EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(write("hostile.wav", hostile)), avfoundation::AVAudioError);

    // A header with no frames is an empty recording.
    writeWav(folder / "silent.wav", {{}}, 44100);
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray((folder / "silent.wav").string()).empty());

    // A file cut short of what its header promises yields the frames it still holds, and the
    // chunked reader stops at the cut instead of asking for the missing frames again and again.
    std::vector<float> tone(44100 * 4);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * std::sin(i * 0.05f);
    writeWav(folder / "cut.wav", {tone, tone}, 44100, avfoundation::AVAudioCommonFormat::pcmFormatInt16);
    std::filesystem::resize_file(folder / "cut.wav", 44 + 44100 * 4);  // one second of two 16-bit channels
    for (uint32_t readSize : {1000u, 1323000u}) {
        auto buffer = AudioProcessor::loadAudio((folder / "cut.wav").string(), AudioInputConfig::SumChannels{}, 0.0,
                                                std::nullopt, readSize);
        EXPECT_NEAR(buffer->frameLength(), 16000, 16) << "read size " << readSize;
    }
}

TEST(AudioFiles, RatesBelowTheFloorAreRefusedAtOpen) {
    // 20 kB of 8-bit samples whose header claims 1 Hz would become 320 M samples at 16 kHz.
    TemporaryFolder folder;
    auto le = [](uint32_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
        return out;
    };
    auto wav = [&](uint32_t rate, uint32_t frames) {
        const auto path = folder / ("rate" + std::to_string(rate) + ".wav");
        std::ofstream(path, std::ios::binary) << "RIFF" + le(36 + frames, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
                                                     le(rate, 4) + le(rate, 4) + le(1, 2) + le(8, 2) + "data" +
                                                     le(frames, 4) + std::string(frames, '\x90');
        return path.string();
    };
    const auto message = [](uint32_t rate) {
        return WhisperError::loadAudioFailed("Audio file sample rate of " + std::to_string(rate) +
                                             ".0 Hz is below the lowest supported, 1000.0 Hz");
    };
    for (uint32_t rate : {1u, 999u}) {
        SCOPED_TRACE(rate);
        const auto path = wav(rate, 20000);
        for (const auto& load : std::vector<std::function<void()>>{
                 [&] { AudioProcessor::loadAudioAsFloatArray(path); },
                 [&] { AudioProcessor::loadAudio(path, AudioInputConfig::SumChannels{}); }}) {
            try {
                load();
                ADD_FAILURE() << "a " << rate << " Hz file was read";
            } catch (const WhisperError& error) {
                EXPECT_EQ(error, message(rate));
            }
        }
    }
    // At the floor a file is read, at 16 samples per frame.
    EXPECT_NEAR(static_cast<double>(AudioProcessor::loadAudioAsFloatArray(wav(1000, 2000)).size()), 32000, 16);
}

TEST(AudioFiles, ChannelModeCodingUsesOneKey) {
    auto encoded = [](const ChannelMode& mode) {
        foundation::JSONWriter writer;
        encode(mode, writer);
        return writer.str();
    };
    EXPECT_EQ(encoded(AudioInputConfig::SumChannels{}), R"({"sumChannels":{}})");
    EXPECT_EQ(encoded(AudioInputConfig::SumChannels{std::vector<int64_t>{0, 2}}), R"({"sumChannels":{"_0":[0,2]}})");
    EXPECT_EQ(encoded(AudioInputConfig::SpecificChannel{3}), R"({"specificChannel":{"_0":3}})");
    auto decoded = [](const std::string& json) { return decodeChannelMode(coding::parseDocument(json).root()); };
    EXPECT_EQ(decoded(R"({"sumChannels":{}})"), ChannelMode(AudioInputConfig::SumChannels{}));
    EXPECT_EQ(decoded(R"({"sumChannels":{"_0":[1]}, "x": 2})"), ChannelMode(AudioInputConfig::SumChannels{std::vector<int64_t>{1}}));
    EXPECT_EQ(decoded(R"({"specificChannel":{"_0":2}})"), ChannelMode(AudioInputConfig::SpecificChannel{2}));
    for (const char* bad : {"{}", R"({"other": 1})", R"({"sumChannels":{}, "specificChannel":{"_0":1}})"}) {
        try {
            decoded(bad);
            FAIL() << bad;
        } catch (const foundation::DecodingError& e) {
            EXPECT_EQ(e.kind(), foundation::DecodingError::Case::typeMismatch);
            EXPECT_EQ(e.debugDescription(), "Invalid number of keys found, expected one.");
        }
    }
    EXPECT_THROW(decoded(R"({"specificChannel":{}})"), foundation::DecodingError);
    EXPECT_EQ(description(ChannelMode(AudioInputConfig::SumChannels{})), "sumChannels(nil)");
}

TEST(AudioFiles, EveryFrameOfAFileIsLoadedWhateverItsLength) {
    // Lengths whose duration in seconds, times the rate, comes back a hair below the length.
    TemporaryFolder folder;
    for (int64_t frames : {16002, 16005, 16019}) {
        std::vector<float> ramp(static_cast<size_t>(frames));
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i % 1000) / 1000.0f;
        const auto path = folder / ("odd-" + std::to_string(frames) + ".wav");
        writeWav(path, {ramp}, 16000);
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string()), ramp) << frames << " frames";
    }
}

TEST(AudioFiles, AWaveformImageTakesEachSampleAsOnePixel) {
    const std::vector<float> samples = {0.5f, -0.25f, 1.0f, 0.0f, -1.0f, 0.125f, 9.0f};
    const auto bytesOf = [&](size_t count) {
        const auto* raw = reinterpret_cast<const uint8_t*>(samples.data());
        return std::vector<uint8_t>(raw, raw + count * sizeof(float));
    };
    // The size is truncated to whole pixels; samples beyond them are left out.
    const auto image = AudioProcessor::createWaveformImage(samples, {3.9, 2.2});
    EXPECT_EQ(image.width(), 3);
    EXPECT_EQ(image.height(), 2);
    EXPECT_EQ(image.bytesPerRow(), 12);
    EXPECT_EQ(image.bitsPerComponent(), 8);
    EXPECT_EQ(image.bitsPerPixel(), 32);
    EXPECT_EQ(image.pixelFormat(), corevideo::CGImagePixelFormat::premultipliedFirst32Little);
    EXPECT_EQ(image.colorSpace(), corevideo::CGColorSpace::deviceRGB);
    EXPECT_FALSE(image.shouldInterpolate());
    EXPECT_EQ(image.bytes(), bytesOf(6));
    EXPECT_EQ(AudioProcessor::createWaveformImage(samples, {7, 1}).bytes(), bytesOf(7));

    // Sizes and sample lists that make no image fail with an error, never with a short read.
    struct Case {
        size_t samples;
        corevideo::CGSize size;
    };
    for (const Case& c : {Case{7, {0, 2}}, Case{7, {3, 0.5}}, Case{7, {-2, 2}}, Case{7, {std::nan(""), 1}},
                          Case{7, {INFINITY, 1}}, Case{7, {1, 1e300}}, Case{7, {4e18, 4e18}}, Case{7, {1e12, 1e12}},
                          Case{5, {3, 2}},
                          Case{0, {1, 1}}}) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples, " + std::to_string(c.size.width) + " x " +
                     std::to_string(c.size.height));
        try {
            AudioProcessor::createWaveformImage(std::span<const float>(samples).first(c.samples), c.size);
            ADD_FAILURE() << "expected an error";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.errorCase(), WhisperError::Case::audioProcessingFailed);
            EXPECT_EQ(e.message().rfind("No waveform image of " + std::to_string(c.samples) + " samples: ", 0), 0u) << e.message();
        }
    }
}

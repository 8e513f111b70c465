// The window loop over a scripted decoder: every window decodes the same scripted tokens, so segments,
// seeks, fallbacks and progress are exact.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <thread>

#include "DecodingTestSupport.hpp"
#include "LogCapture.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Audio/AudioStreamTranscriber.hpp"
#include "Lexiphonic/Core/Text/SegmentSeeker.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Lexiphonic/Core/TranscribeTask.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;

namespace {

using Tokens = std::vector<int64_t>;
constexpr int64_t X = 0;  // a position the forced prompt fills

// Stand-ins for the front-end models: the shapes the scripted decoder expects.
class FakeFeatureExtractor : public FeatureExtracting {
public:
    std::optional<int64_t> melCount() const override { return 80; }
    std::optional<int64_t> windowSamples() const override { return 480000; }
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(std::shared_ptr<MLMultiArray> audio, std::stop_token) override {
        windows.push_back(audio->shape()[0]);
        return MLMultiArray::make({1, 80, 1, 8}, MLMultiArrayDataType::float16);
    }
    std::vector<int64_t> windows;
};

class FakeAudioEncoder : public AudioEncoding {
public:
    std::optional<int64_t> embedSize() const override { return 6; }
    std::shared_ptr<AudioEncoderOutputType> encodeFeatures(std::shared_ptr<MLMultiArray>, std::stop_token) override {
        ++calls;
        return MLMultiArray::make({1, 6, 1, 8}, MLMultiArrayDataType::float16);
    }
    std::atomic<int> calls{0};
};

// A seeker that never moves the seek and finds no segments.
class StuckSeeker : public SegmentSeeker {
public:
    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult&, const DecodingOptions&, int64_t, int64_t currentSeek, int64_t, int64_t, int64_t, int64_t,
        const WhisperTokenizer&) override {
        return {currentSeek, std::nullopt};
    }
};

class TranscribeTaskTest : public ::testing::Test {
protected:
    std::shared_ptr<TranscribeTask> taskFor(const ScriptedDecoder& script, std::shared_ptr<SegmentSeeking> seeker = nullptr) {
        const auto folder = scratch.path() / ("TextDecoder" + std::to_string(models++) + ".mlmodelc");
        script.write(folder);
        decoder = std::make_shared<TextDecoder>([](std::function<void()> job) { job(); });
        decoder->loadModel(folder, coreml::MLComputeUnits::cpuOnly, false);
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(true);
        auto processor = std::make_shared<AudioProcessor>(std::make_shared<avfoundation::FakeAudioInputBackend>());
        return std::make_shared<TranscribeTask>(TranscriptionTimings(), nullptr, processor, encoder, extractor,
                                                seeker ? seeker : std::make_shared<SegmentSeeker>(), decoder, tokenizer);
    }

    static DecodingOptions options() {
        DecodingOptions o;
        o.usePrefillCache = false;
        return o;
    }

    TemporaryFolder scratch;
    int models = 0;
    std::shared_ptr<FakeWhisperTokenizer> tokenizer = std::make_shared<FakeWhisperTokenizer>();
    std::shared_ptr<FakeFeatureExtractor> extractor = std::make_shared<FakeFeatureExtractor>();
    std::shared_ptr<FakeAudioEncoder> encoder = std::make_shared<FakeAudioEncoder>();
    std::shared_ptr<TextDecoder> decoder;
};

// Two segments per window (0-1 s, then text ending without a timestamp, which the seeker closes at
// 1 s): the seek moves a whole window.
ScriptedDecoder twoSegments() {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, T(1.0), T(1.0), 101, 102, kEnd};
    return script;
}

}  // namespace

TEST_F(TranscribeTaskTest, WindowsSegmentsAndProgress) {
    auto task = taskFor(twoSegments());
    std::vector<std::vector<TranscriptionSegment>> discovered;
    task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& s) { discovered.push_back(s); });
    std::vector<float> audio(75 * 16000, 0.0f);  // 30 s + 30 s + 15 s

    auto result = task->run(audio, options());
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 6u);
    const float starts[] = {0, 1, 30, 31, 60, 61};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(segments[i].start, starts[i]) << i;
        EXPECT_FLOAT_EQ(segments[i].end, i % 2 == 0 ? starts[i] + 1 : starts[i]) << i;
        EXPECT_EQ(segments[i].id, static_cast<int64_t>(i));
    }
    EXPECT_EQ(segments[4].seek, 960000);
    EXPECT_EQ(discovered.size(), 3u);
    EXPECT_EQ(result->text(), "w100 w101 w102 w100 w101 w102 w100 w101 w102");
    EXPECT_EQ(result->language(), "en");
    const auto timings = result->timings();
    EXPECT_EQ(timings.totalDecodingWindows, 3);
    EXPECT_EQ(timings.totalEncodingRuns, 3);
    EXPECT_EQ(timings.totalDecodingFallbacks, 0);
    EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, 75);
    EXPECT_EQ(task->progress()->totalUnitCount(), 75 * 16000);
    EXPECT_EQ(task->progress()->completedUnitCount(), 75 * 16000);
    // Each window is padded to the model window; the last is cut to the audio's end first.
    EXPECT_EQ(extractor->windows, (std::vector<int64_t>{480000, 480000, 480000}));
}

TEST_F(TranscribeTaskTest, ShortAndClippedAudio) {
    struct Case {
        const char* name;
        size_t samples;
        std::vector<float> clips;
        size_t windows;
    };
    const std::vector<Case> cases = {
        {"empty", 0, {}, 0},
        {"one second is within the clip padding", 16000, {}, 0},
        {"one and a half seconds", 24000, {}, 1},
        {"clips inside the audio", 20 * 16000, {2, 5, 10}, 2},
        // A clip past the end of the audio is cut to it rather than making the window size negative.
        {"clip past the audio", 20 * 16000, {40, 50}, 0},
        {"clip running past the end", 20 * 16000, {15, 90}, 1},
    };
    // A seek limit at the top of the integer range does not overflow.
    {
        auto task = taskFor(twoSegments());
        DecodingOptions o = options();
        o.maxWindowSeek = std::numeric_limits<int64_t>::max();
        EXPECT_EQ(task->run(std::vector<float>(45 * 16000, 0.0f), o)->segments().size(), 4u);
    }
    for (const auto& c : cases) {
        auto task = taskFor(twoSegments());
        DecodingOptions o = options();
        o.clipTimestamps = c.clips;
        const int before = encoder->calls;
        std::vector<float> audio(c.samples, 0.0f);
        std::shared_ptr<TranscriptionResult> result;
        ASSERT_NO_THROW(result = task->run(audio, o)) << c.name;
        EXPECT_EQ(static_cast<size_t>(encoder->calls - before), c.windows) << c.name;
        EXPECT_EQ(result->segments().size(), 2 * c.windows) << c.name;
        if (c.windows == 0) {
            EXPECT_EQ(result->text(), "") << c.name;
            EXPECT_EQ(result->language(), "en") << c.name;
        }
    }
}

TEST_F(TranscribeTaskTest, TemperatureFallback) {
    // Fifty repeats of one token compress far beyond the threshold: every attempt asks for a fallback.
    ScriptedDecoder repetitive;
    repetitive.tokens = {X, X, X};
    repetitive.tokens.insert(repetitive.tokens.end(), 50, 100);
    repetitive.tokens.push_back(kEnd);
    for (int64_t fallbackCount : {5, 0, -3}) {
        auto task = taskFor(repetitive);
        DecodingOptions o = options();
        o.withoutTimestamps = true;
        o.temperatureFallbackCount = fallbackCount;
        LogCapture log(pellux::Logging::LogLevel::info);
        auto result = task->run(std::vector<float>(5 * 16000, 0.0f), o);
        const int64_t attempts = std::max<int64_t>(fallbackCount, 0) + 1;
        size_t fallbackLines = 0;
        for (const auto& m : log.messages) fallbackLines += m.rfind("Fallback #", 0) == 0;
        EXPECT_EQ(fallbackLines, static_cast<size_t>(attempts)) << fallbackCount;
        EXPECT_EQ(result->timings().totalDecodingFallbacks, static_cast<double>(attempts - 1));
        ASSERT_EQ(result->segments().size(), 1u);
        EXPECT_FLOAT_EQ(result->segments()[0].temperature, fallbackCount > 0 ? 1.0f : 0.0f);
    }
    EXPECT_EQ(TranscribeTask::fallbackTemperatures(0, 0.2f, 5).size(), 6u);
    EXPECT_EQ(static_cast<float>(TranscribeTask::fallbackTemperatures(0, 0.2f, 5)[1]), 0.19995117f);
    EXPECT_EQ(TranscribeTask::fallbackTemperatures(0, 0.2f, std::numeric_limits<int64_t>::max()).size(), 101u);
}

TEST_F(TranscribeTaskTest, AWindowThatDoesNotMoveTheSeekIsNotDecodedAgain) {
    auto task = taskFor(twoSegments(), std::make_shared<StuckSeeker>());
    auto result = task->run(std::vector<float>(45 * 16000, 0.0f), options());
    EXPECT_EQ(encoder->calls, 2);
    EXPECT_TRUE(result->segments().empty());
    EXPECT_EQ(task->progress()->completedUnitCount(), 45 * 16000);
}

TEST_F(TranscribeTaskTest, TextAfterAPairAtTheWindowStartIsKept) {
    // Every window reads prompt, <|0.00|><|0.00|>, " w100", end: its last timestamp is its start, so
    // the next window starts at its end, and the text after the pair must not be lost on the way.
    ScriptedDecoder script;
    script.tokens = {X, X, X, T(0), 100, kEnd};
    auto task = taskFor(script);
    auto result = task->run(std::vector<float>(45 * 16000, 0.0f), options());
    EXPECT_EQ(encoder->calls, 2);
    EXPECT_EQ(result->text(), "w100 w100");
    ASSERT_EQ(result->segments().size(), 4u);
    EXPECT_EQ(result->segments()[1].tokens, (Tokens{T(0), 100, kEnd}));
    EXPECT_FLOAT_EQ(result->segments()[3].start, 30);
}

TEST_F(TranscribeTaskTest, AnUnsureLanguageSlotCostsNoFallback) {
    // Without a prefilled prompt the model's prediction at the language slot is discarded: its doubt
    // must not send the window to a second attempt at temperature 0.2.
    ScriptedDecoder script = twoSegments();
    script.peaks.assign(script.tokens.size(), 20);
    script.peaks[0] = 9;
    auto task = taskFor(script);
    auto result = task->run(std::vector<float>(20 * 16000, 0.0f), options());
    EXPECT_EQ(result->timings().totalDecodingFallbacks, 0);
    EXPECT_EQ(result->timings().totalDecodingLoops, static_cast<int64_t>(script.tokens.size()));
    ASSERT_FALSE(result->segments().empty());
    EXPECT_EQ(result->segments().front().temperature, 0);
    EXPECT_EQ(result->text(), "w100 w101 w102");
}

TEST_F(TranscribeTaskTest, AWindowWithoutSegmentsLeavesThePromptForTheNext) {
    // The first window is silent for the stuck seeker; the inputs must still be back at the prompt,
    // so the second window decodes exactly as the first does.
    class FirstWindowSilent : public SegmentSeeker {
    public:
        std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
            const DecodingResult& r, const DecodingOptions& o, int64_t count, int64_t seek, int64_t size, int64_t rate,
            int64_t timeToken, int64_t special, const WhisperTokenizer& t) override {
            tokens.push_back(r.tokens);
            auto found = SegmentSeeker::findSeekPointAndSegments(r, o, count, seek, size, rate, timeToken, special, t);
            if (seek == 0) found.second.reset();
            return found;
        }
        std::vector<Tokens> tokens;
    };
    auto seeker = std::make_shared<FirstWindowSilent>();
    auto task = taskFor(twoSegments(), seeker);
    auto result = task->run(std::vector<float>(45 * 16000, 0.0f), options());
    ASSERT_EQ(seeker->tokens.size(), 2u);
    EXPECT_EQ(seeker->tokens[0], seeker->tokens[1]);
    ASSERT_EQ(result->segments().size(), 2u);
    EXPECT_FLOAT_EQ(result->segments()[0].start, 30);
}

TEST_F(TranscribeTaskTest, WordTimestampsAndMaxWindowSeek) {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, 101, T(1.0), T(1.0), 102, 103, kEnd};
    script.frameOf = {0, 0, 0, 0, 1, 2, 2, 3, 4, 5};
    auto task = taskFor(script);
    DecodingOptions o = options();
    o.wordTimestamps = true;
    o.maxWindowSeek = 16000 * 10;
    auto result = task->run(std::vector<float>(35 * 16000, 0.0f), o);
    const auto segments = result->segments();
    ASSERT_FALSE(segments.empty());
    // The seek is held to 10 s per window: windows start at 0, 10, 20 and 30.
    EXPECT_EQ(encoder->calls, 4);
    for (const auto& segment : segments) {
        EXPECT_LT(segment.start, segment.end);
        ASSERT_TRUE(segment.words.has_value());
        for (const auto& word : *segment.words) EXPECT_GE(word.start, static_cast<float>(segment.seek) / 16000);
    }
}

TEST_F(TranscribeTaskTest, CallbackWindowIdsAndEarlyStop) {
    auto task = taskFor(twoSegments());
    std::vector<int64_t> windowIds;
    auto result = task->run(std::vector<float>(45 * 16000, 0.0f), options(), [&](const TranscriptionProgress& p) {
        windowIds.push_back(p.windowId);
        return std::optional<bool>();
    });
    ASSERT_FALSE(windowIds.empty());
    EXPECT_EQ(windowIds.front(), 0);
    EXPECT_EQ(windowIds.back(), 1);

    // Stopping every window at its first report leaves less text than the script holds.
    auto stopped = taskFor(twoSegments());
    auto early = stopped->run(std::vector<float>(20 * 16000, 0.0f), options(),
                              [](const TranscriptionProgress&) { return std::optional<bool>(false); });
    EXPECT_LT(early->text().size(), std::string("w100 w101 w102").size());
}

TEST_F(TranscribeTaskTest, VerboseFollowsTheLogLevel) {
    class Recording : public SegmentSeeker {
    public:
        std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
            const DecodingResult& r, const DecodingOptions& o, int64_t count, int64_t seek, int64_t size, int64_t rate,
            int64_t timeToken, int64_t special, const WhisperTokenizer& t) override {
            verbose.push_back(o.verbose);
            return SegmentSeeker::findSeekPointAndSegments(r, o, count, seek, size, rate, timeToken, special, t);
        }
        std::vector<bool> verbose;
    };
    auto seeker = std::make_shared<Recording>();
    auto task = taskFor(twoSegments(), seeker);
    DecodingOptions o = options();
    o.verbose = true;
    pellux::Logging::shared().setLogLevel(pellux::Logging::LogLevel::none);
    task->run(std::vector<float>(5 * 16000, 0.0f), o);
    {
        LogCapture log(pellux::Logging::LogLevel::error);
        task->run(std::vector<float>(5 * 16000, 0.0f), std::nullopt);
    }
    EXPECT_EQ(seeker->verbose, (std::vector<bool>{false, true}));
}

// ---- Streaming over the fake microphone

namespace {

class StreamingTest : public TranscribeTaskTest {
protected:
    std::shared_ptr<AudioStreamTranscriber> transcriber(std::shared_ptr<avfoundation::FakeAudioInputBackend> backend) {
        taskFor(twoSegments());  // loads the scripted decoder
        AudioStreamTranscriber::Params p;
        p.audioEncoder = encoder;
        p.featureExtractor = extractor;
        p.segmentSeeker = std::make_shared<SegmentSeeker>();
        p.textDecoder = decoder;
        p.tokenizer = tokenizer;
        p.audioProcessor = std::make_shared<AudioProcessor>(backend);
        p.decodingOptions = options();
        p.requiredSegmentsForConfirmation = 1;
        p.useVAD = false;
        p.requestRecordPermission = [] { return true; };
        return std::make_shared<AudioStreamTranscriber>(std::move(p));
    }

    static std::shared_ptr<avfoundation::FakeAudioInputBackend> microphone() {
        return std::make_shared<avfoundation::FakeAudioInputBackend>(
            std::vector<avfoundation::AudioDeviceInfo>{{1, "microphone", 1, 16000}}, 1);
    }

    template <class Condition>
    static bool waitFor(Condition condition) {
        for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return condition();
    }
};

}  // namespace

TEST_F(StreamingTest, ConfirmsSegmentsAsAudioArrives) {
    auto backend = microphone();
    auto stream = transcriber(backend);
    std::thread loop([&] { stream->startStreamTranscription(); });
    ASSERT_TRUE(waitFor([&] { return backend->isRunning(); }));
    EXPECT_TRUE(stream->state().isRecording);
    backend->deliver(std::vector<float>(24000, 0.01f));  // 1.5 s

    ASSERT_TRUE(waitFor([&] { return !stream->state().confirmedSegments.empty(); }));
    const auto state = stream->state();
    // Two segments per pass, one kept back: the first (0-1 s) is confirmed, the next pass starts at 1 s.
    EXPECT_EQ(state.confirmedSegments.size(), 1u);
    EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 1.0f);
    EXPECT_EQ(state.unconfirmedSegments.size(), 1u);
    EXPECT_EQ(state.lastBufferSize, 24000);
    EXPECT_FALSE(state.bufferEnergy.empty());

    stream->stopStreamTranscription();
    loop.join();
    EXPECT_FALSE(stream->state().isRecording);

    // A new start is a new recording: nothing of the old one's positions carries over.
    std::thread again([&] { stream->startStreamTranscription(); });
    ASSERT_TRUE(waitFor([&] { return backend->isRunning(); }));
    EXPECT_EQ(stream->state().lastBufferSize, 0);
    EXPECT_TRUE(stream->state().confirmedSegments.empty());
    EXPECT_EQ(stream->state().lastConfirmedSegmentEndSeconds, 0.0f);
    stream->stopStreamTranscription();
    again.join();
}

TEST_F(StreamingTest, ACaptureThatCannotStartLeavesTheTranscriberIdle) {
    auto backend = microphone();
    backend->failOpening(1);
    auto stream = transcriber(backend);
    EXPECT_ANY_THROW(stream->startStreamTranscription());
    EXPECT_FALSE(stream->state().isRecording);
    // So a later start tries again rather than returning at once.
    EXPECT_ANY_THROW(stream->startStreamTranscription());
}

TEST(StreamingEarlyStop, Rules) {
    TranscriptionProgress repetitive;
    repetitive.tokens = std::vector<int64_t>(100, 100);
    DecodingOptions options;
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(repetitive, options, 60), std::optional<bool>(false));
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(repetitive, options, 200), std::nullopt);
    // Without a threshold the tail is not measured, so ordinary windows are not all stopped.
    options.compressionRatioThreshold.reset();
    TranscriptionProgress varied;
    for (int64_t i = 0; i < 100; ++i) varied.tokens.push_back(i);
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(varied, options, 60), std::nullopt);
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(repetitive, options, 60), std::nullopt);
    varied.avgLogprob = -2.0f;
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(varied, options, 60), std::optional<bool>(false));
}

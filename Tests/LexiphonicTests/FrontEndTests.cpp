// The mel and encoder stages on generated test models and real speech, their shape queries,
// failures, cancellation and signposts.
#include <gtest/gtest.h>

#include <cmath>
#include <stop_token>

#include "AudioTestSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/AudioEncoder.hpp"
#include "Lexiphonic/Core/FeatureExtractor.hpp"
#include "Lexiphonic/Utilities/Logging.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;

namespace {

class FrontEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TemporaryFolder();
        coreml::whisper::TestModelOptions options;
        options.writeTokenizer = false;
        coreml::whisper::writeTestModel(folder_->path(), options);
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void TearDown() override {
        pellux::Signposts::setEnabled(false);
        pellux::Logging::shared().setSystemLogSink(nullptr);
    }
    static std::filesystem::path model(const std::string& name) { return folder_->path() / (name + ".mlmodelc"); }
    static void loadStages(FeatureExtractor& mel, AudioEncoder& encoder) {
        mel.loadModel(model("MelSpectrogram"), coreml::MLComputeUnits::cpuOnly, false);
        encoder.loadModel(model("AudioEncoder"), coreml::MLComputeUnits::cpuOnly, false);
    }

    // Records signposts while they are enabled.
    std::shared_ptr<pellux::InMemoryLogSink> recordSignposts() {
        auto sink = std::make_shared<pellux::InMemoryLogSink>();
        pellux::Logging::shared().setSystemLogSink(sink);
        pellux::Signposts::setEnabled(true);
        return sink;
    }

    static TemporaryFolder* folder_;
};

TemporaryFolder* FrontEnd::folder_ = nullptr;

template <class Body>
void expectWhisperError(WhisperError::Case errorCase, const std::string& message, Body body) {
    try {
        body();
        ADD_FAILURE() << "expected " << message;
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), errorCase);
        EXPECT_EQ(e.message(), message);
    }
}

}  // namespace

TEST_F(FrontEnd, SpeechBecomesMelFeaturesAndEmbeddings) {
    SKIP_WITHOUT_SPEECH();
    FeatureExtractor mel;
    AudioEncoder encoder;
    loadStages(mel, encoder);
    EXPECT_EQ(mel.windowSamples(), 480000);
    EXPECT_EQ(mel.melCount(), 80);
    EXPECT_EQ(encoder.embedSize(), 64);
    EXPECT_EQ(encoder.sequenceLength(), 1500);

    AudioProcessor processor;
    const auto speech = AudioProcessor::loadAudioAsFloatArray(speechPath());
    auto window = processor.padOrTrim(speech, 0, *mel.windowSamples());
    auto features = mel.logMelSpectrogram(window);
    ASSERT_TRUE(features);
    EXPECT_EQ(features->shape(), (std::vector<int64_t>{1, 80, 1, 3000}));
    const auto values = features->floatValues();
    EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); }));
    // 11 s of speech fill the first 1,100 frames; the zero padding after them is flat and lower.
    auto frameMean = [&](int64_t from, int64_t to) {
        double sum = 0;
        for (int64_t m = 0; m < 80; ++m) {
            for (int64_t t = from; t < to; ++t) sum += values[static_cast<size_t>(m * 3000 + t)];
        }
        return sum / (80.0 * static_cast<double>(to - from));
    };
    EXPECT_GT(frameMean(0, 1100), frameMean(1200, 3000) + 0.1);

    auto embeddings = encoder.encodeFeatures(features);
    ASSERT_TRUE(embeddings);
    EXPECT_EQ(embeddings->shape(), (std::vector<int64_t>{1, 64, 1, 1500}));
    const auto embedded = embeddings->floatValues();
    EXPECT_TRUE(std::all_of(embedded.begin(), embedded.end(), [](float v) { return std::isfinite(v); }));
    // The stages are stateless: the same window gives the same output.
    EXPECT_EQ(encoder.encodeFeatures(mel.logMelSpectrogram(window))->floatValues(), embedded);
}

TEST_F(FrontEnd, StagesWithoutAModelAnswerNothingAndRefuseToPredict) {
    FeatureExtractor mel;
    AudioEncoder encoder;
    EXPECT_EQ(mel.windowSamples(), std::nullopt);
    EXPECT_EQ(mel.melCount(), std::nullopt);
    EXPECT_EQ(encoder.embedSize(), std::nullopt);
    EXPECT_EQ(encoder.sequenceLength(), std::nullopt);
    auto window = AudioProcessing::padOrTrimAudio(std::vector<float>(10, 0.1f), 0, 480000);
    expectWhisperError(WhisperError::Case::modelsUnavailable, "Models are unavailable", [&] { mel.logMelSpectrogram(window); });
    expectWhisperError(WhisperError::Case::modelsUnavailable, "Models are unavailable", [&] { encoder.encodeFeatures(window); });
    // The input check comes first, model or not.
    expectWhisperError(WhisperError::Case::audioProcessingFailed, "FeatureExtractor input must be MLMultiArray",
                       [&] { mel.logMelSpectrogram(nullptr); });
    expectWhisperError(WhisperError::Case::audioProcessingFailed, "AudioEncoder input must be MLMultiArray",
                       [&] { encoder.encodeFeatures(nullptr); });

    // A model that lacks the feature a query reads answers nothing.
    TemporaryFolder folder;
    coreml::ModelFolderWriter("identity")
        .addInput("samples", coreml::MLMultiArrayDataType::float32, {16})
        .addOutput("copy", coreml::MLMultiArrayDataType::float32, {16})
        .write(folder / "Other.mlmodelc");
    mel.loadModel(folder / "Other.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    EXPECT_EQ(mel.windowSamples(), std::nullopt);
    EXPECT_EQ(mel.melCount(), std::nullopt);
}

TEST_F(FrontEnd, CancelledCallsStopBeforeTheModelAndItsInterval) {
    FeatureExtractor mel;
    AudioEncoder encoder;
    loadStages(mel, encoder);
    std::stop_source stop;
    stop.request_stop();
    auto window = AudioProcessing::padOrTrimAudio(std::vector<float>(10, 0.1f), 0, 480000);
    auto sink = recordSignposts();
    EXPECT_THROW(mel.logMelSpectrogram(window, stop.get_token()), foundation::CancellationError);
    EXPECT_THROW(encoder.encodeFeatures(window, stop.get_token()), foundation::CancellationError);
    EXPECT_TRUE(sink->signposts().empty());
}

TEST_F(FrontEnd, PredictionsAreBracketedBySignpostsEvenWhenTheyFail) {
    FeatureExtractor mel;
    AudioEncoder encoder;
    loadStages(mel, encoder);
    auto sink = recordSignposts();
    auto features = mel.logMelSpectrogram(AudioProcessing::padOrTrimAudio(std::vector<float>(10, 0.1f), 0, 480000));
    // A window of the wrong length makes the prediction fail; the interval still closes.
    EXPECT_ANY_THROW(mel.logMelSpectrogram(AudioProcessing::padOrTrimAudio(std::vector<float>(10, 0.1f), 0, 16000)));
    encoder.encodeFeatures(features);
    const auto events = sink->signposts();
    ASSERT_EQ(events.size(), 6u);
    const std::pair<const char*, const char*> expected[] = {
        {"ExtractAudioFeatures", "FeatureExtractor"}, {"ExtractAudioFeatures", "FeatureExtractor"},
        {"ExtractAudioFeatures", "FeatureExtractor"}, {"ExtractAudioFeatures", "FeatureExtractor"},
        {"EncodeAudio", "AudioEncoding"},             {"EncodeAudio", "AudioEncoding"}};
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].name, expected[i].first);
        EXPECT_EQ(events[i].category, expected[i].second);
        EXPECT_EQ(events[i].phase, i % 2 == 0 ? pellux::SignpostPhase::begin : pellux::SignpostPhase::end);
        EXPECT_EQ(events[i].id, events[i - i % 2].id);
        EXPECT_EQ(events[i].message, "");
    }
}

TEST_F(FrontEnd, EndingAnIntervalTwiceIsReportedAndDisabledSignpostsDoNothing) {
    const auto& signposter = LogCategories::TranscribeTask::signposter();
    EXPECT_EQ(LogCategories::TranscribeTask::logger().category, "TranscribeTask");
    EXPECT_EQ(LogCategories::AudioEncoding::logger().subsystem, LogCategories::FeatureExtractor::logger().subsystem);

    auto quiet = beginSignpost("Decode", signposter);
    endSignpost("Decode", quiet, signposter);
    EXPECT_TRUE(quiet.isOpen) << "disabled signposts leave the state as it was";

    auto sink = recordSignposts();
    auto interval = beginSignpost("TranscribeAudio", signposter);
    endSignpost("TranscribeAudio", interval, signposter);
    endSignpost("TranscribeAudio", interval, signposter);
    const auto events = sink->signposts();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].message, "");
    EXPECT_EQ(events[2].message, "[Error] Interval already ended");
    EXPECT_EQ(events[2].id, events[0].id);
}

// The speech module's engine over a tiny random-weight model served by the loopback hub under the
// variant the app asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "HubServer/HubServer.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Quorvel/LexiphonicEngine.hpp"

namespace {

namespace fs = std::filesystem;
using quorvel::LexiphonicEngine;

// Records what reaches the facade, then transcribes as the facade does.
class RecordingFacade : public lexiphonic::Lexiphonic {
public:
    lexiphonic::TranscriptionResults transcribe(std::span<const float> audioArray,
                                                const std::optional<lexiphonic::DecodingOptions>& decodeOptions,
                                                const lexiphonic::TranscriptionCallback& callback,
                                                const lexiphonic::SegmentDiscoveryCallback& segmentCallback) override {
        sampleCounts.push_back(audioArray.size());
        options.push_back(decodeOptions);
        return Lexiphonic::transcribe(audioArray, decodeOptions, callback, segmentCallback);
    }
    std::vector<size_t> sampleCounts;
    std::vector<std::optional<lexiphonic::DecodingOptions>> options;
};

// The speech samples at `rate` (by linear interpolation), as the recorder would hand them over.
std::shared_ptr<avfoundation::AVAudioPCMBuffer> recording(const std::vector<float>& samples16k, double rate) {
    const auto frames = static_cast<uint32_t>(samples16k.size() * rate / 16000);
    auto buffer = avfoundation::AVAudioPCMBuffer::make(*avfoundation::AVAudioFormat::standard(rate, 1), frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const double at = i * 16000.0 / rate;
        const auto j = static_cast<size_t>(at);
        const float next = j + 1 < samples16k.size() ? samples16k[j + 1] : samples16k[j];
        buffer->floatChannelData()[0][i] = static_cast<float>(samples16k[j] + (next - samples16k[j]) * (at - j));
    }
    buffer->setFrameLength(frames);
    return buffer;
}

class LexiphonicEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(QUORVEL_SPEECH)) GTEST_SKIP() << "the build made no speech clip (espeak-ng and sox are missing)";
        samples = lexiphonic::AudioProcessor::loadAudioAsFloatArray(QUORVEL_SPEECH);
        samples.resize(16000 * 4);  // the first words are enough
    }
    void serveModel() {
        coreml::whisper::writeTestModel(repos.path() / "pelluxinc/lexiphonic-coreml" /
                                        (std::string("openai_whisper-") + LexiphonicEngine::modelVariant));
    }
    LexiphonicEngine::FacadeFactory factory() {
        return [this] {
            lexiphonic::LexiphonicConfig::Params params;
            params.model = LexiphonicEngine::modelVariant;
            params.downloadBase = cache.path();
            params.modelEndpoint = server.baseURL();
            params.logLevel = pellux::Logging::LogLevel::error;
            facade = RecordingFacade::create<RecordingFacade>(std::move(params));
            return std::static_pointer_cast<lexiphonic::Lexiphonic>(facade);
        };
    }

    std::vector<float> samples;
    hubtest::TemporaryFolder repos, cache;
    hubtest::HubServer server{{.root = repos.path()}};
    std::shared_ptr<RecordingFacade> facade;
    std::vector<std::string> lines;
    quorvel::PrintLine print = [this](const std::string& line) { lines.push_back(line); };
};

TEST_F(LexiphonicEngineTest, MadeOnFirstUseKeptAfterAndFedSixteenKilohertzInTheLocalesLanguage) {
    serveModel();
    LexiphonicEngine engine("ru-RU", print, factory());
    EXPECT_FALSE(engine.pipe());

    // Three times the engine's rate reaches the facade as a third as many samples.
    auto fast = recording(samples, 48000);
    engine.transcribe(*fast);
    ASSERT_TRUE(engine.pipe());
    EXPECT_EQ(lines, (std::vector<std::string>{"[Quorvel] Loading Lexiphonic model (first use, downloading ~1.5 GB)...",
                                               "[Quorvel] Lexiphonic model loaded."}));
    ASSERT_EQ(facade->sampleCounts.size(), 1u);
    EXPECT_NEAR(static_cast<double>(facade->sampleCounts[0]), fast->frameLength() / 3.0, 16);
    // Russian is asked for: the engine's defaults would decode a Russian dictation as English.
    ASSERT_TRUE(facade->options[0]);
    EXPECT_EQ(facade->options[0]->language, "ru");

    // The second dictation keeps the facade and says nothing; a 16 kHz recording goes as it is.
    const auto kept = engine.pipe();
    auto exact = recording(samples, 16000);
    engine.transcribe(*exact);
    EXPECT_EQ(engine.pipe(), kept);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(facade->sampleCounts[1], exact->frameLength());
}

TEST_F(LexiphonicEngineTest, AFailedDownloadLeavesNoFacadeAndTheNextDictationTriesAgain) {
    LexiphonicEngine engine("ru-RU", print, factory());
    auto audio = recording(samples, 16000);
    EXPECT_ANY_THROW(engine.transcribe(*audio));  // nothing served yet
    EXPECT_FALSE(engine.pipe());
    serveModel();
    engine.transcribe(*audio);
    EXPECT_TRUE(engine.pipe());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Quorvel] Loading Lexiphonic model (first use, downloading ~1.5 GB)..."), 2);
}

TEST(LexiphonicEngineLanguage, FromTheLocaleIdentifier) {
    EXPECT_EQ(LexiphonicEngine::languageOf("ru-RU"), "ru");
    EXPECT_EQ(LexiphonicEngine::languageOf("en_US"), "en");
    EXPECT_EQ(LexiphonicEngine::languageOf("DE"), "de");
    EXPECT_EQ(LexiphonicEngine::languageOf(""), std::nullopt);
}

}  // namespace

#include <gtest/gtest.h>

#include <future>

#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/Foundation/Text.hpp"
#include "PlatformFakes/FakeSpeech.hpp"
#include "Quorvel/Transcriber.hpp"
#include "TemporaryHome.hpp"

namespace {

using quorvel::Transcriber;
using quorvel::TranscriberError;

TEST(HallucinationFilter, DropsTheKnownPhrasesExactlyAndTrimsEverythingElse) {
    namespace t = foundation::text;
    const std::string decomposed = t::normalized("Подписывайтесь на канал!", t::NormalizationForm::nfd);
    ASSERT_NE(decomposed, "Подписывайтесь на канал!");
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"  Thank you.  ", ""},
        {"you", ""},
        {"\n you \t", ""},
        {"Thank you", "Thank you"},
        {"You", "You"},
        {"Спасибо.", ""},
        {"Спасибо", "Спасибо"},
        {"Субтитры сделал Qwelmarn", ""},
        {"Редактор субтитров Ворлепс", ""},
        {"Продолжение следует...", ""},
        {"Продолжение следует…", "Продолжение следует…"},  // one ellipsis character is not three stops
        {"Спасибо за просмотр!", ""},
        {"Thanks for watching!", ""},
        {decomposed, ""},  // the same text composed differently is the same phrase
        {"", ""},
        {" \n\t\u00A0\u3000", ""},
        {"\u3000Привет, мир\u00A0\n", "Привет, мир"},
        {"Thank you. Thank you.", "Thank you. Thank you."},
    };
    for (const auto& c : cases) EXPECT_EQ(Transcriber::filterHallucinations(c.text), c.expected) << c.text;
}

TEST(TranscriberError, DescriptionsAndDefaultTextualForms) {
    EXPECT_EQ(TranscriberError::lexiphonicFailed("No audio data").localizedDescription(), "Lexiphonic error: No audio data");
    EXPECT_EQ(TranscriberError::lexiphonicFailed("No audio data").describe(), R"(lexiphonicFailed("No audio data"))");
    EXPECT_EQ(TranscriberError::notAvailable().localizedDescription(), "Speech recognition not available");
    EXPECT_EQ(TranscriberError::notAvailable().describe(), "notAvailable");
    EXPECT_EQ(TranscriberError::notAuthorized().localizedDescription(), "Speech recognition not authorized");
    EXPECT_STREQ(TranscriberError::notAuthorized().what(), "notAuthorized");
}

class ModuleEngine : public quorvel::TranscriberEngine {
public:
    std::string transcribe(const avfoundation::AVAudioPCMBuffer&) override { return "module"; }
};

class TranscriberTest : public ::testing::Test {
protected:
    std::unique_ptr<Transcriber> make() {
        return std::make_unique<Transcriber>(
            "ru-RU", Transcriber::Services{speech, executor,
                                           [this](const std::string& locale) {
                                               moduleLocales.push_back(locale);
                                               return std::make_shared<ModuleEngine>();
                                           },
                                           temporary.path(), [this](const std::string& line) { lines.push_back(line); }});
    }
    std::shared_ptr<avfoundation::AVAudioPCMBuffer> recording(uint32_t frames = 1600) {
        auto buffer = avfoundation::AVAudioPCMBuffer::make(*avfoundation::AVAudioFormat::standard(16000, 1), frames);
        buffer->setFrameLength(frames);
        for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData()[0][i] = 0.01f * static_cast<float>(i % 7);
        return buffer;
    }
    // Transcribes on another thread, as the dictation does, while this thread runs the main executor.
    std::string transcribe(quorvel::TranscriberEngine& engine) {
        auto buffer = recording();
        auto result = std::async(std::launch::async, [&] { return engine.transcribe(*buffer); });
        while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) executor.drain();
        return result.get();
    }
    size_t leftoverRecordings() const {
        size_t count = 0;
        for (auto& entry : std::filesystem::directory_iterator(temporary.path()))
            count += entry.path().filename().string().starts_with("quorvel_");
        return count;
    }
    std::shared_ptr<fakes::FakeSpeechRecognizer> addRecognizer() {
        auto recognizer = std::make_shared<fakes::FakeSpeechRecognizer>();
        speech.recognizers["ru-RU"] = recognizer;
        return recognizer;
    }
    static fakes::FakeSpeechRecognizer::Call result(std::string text, bool isFinal) {
        return {speech::SFSpeechRecognitionResult{{std::move(text)}, isFinal}, nullptr};
    }

    foundation::ManualExecutor executor;
    fakes::FakeSpeechRecognition speech;
    quorveltests::TemporaryHome temporary;
    std::vector<std::string> lines;
    std::vector<std::string> moduleLocales;
};

TEST_F(TranscriberTest, WithoutAnOnDeviceRecogniserTheSpeechModuleEngineIsChosen) {
    auto transcriber = make();
    EXPECT_EQ(lines, std::vector<std::string>{"[Quorvel] macOS <26 → Lexiphonic (will download ~1.5 GB model on first use)"});
    EXPECT_EQ(moduleLocales, std::vector<std::string>{"ru-RU"});
    EXPECT_NE(dynamic_cast<ModuleEngine*>(transcriber->engine().get()), nullptr);

    // A recogniser that cannot work on the device is no better than none.
    lines.clear();
    addRecognizer()->supportsOnDevice = false;
    EXPECT_NE(dynamic_cast<ModuleEngine*>(make()->engine().get()), nullptr);
}

TEST_F(TranscriberTest, PlatformEngineReturnsTheFirstFinalResultAndLeavesNoFileBehind) {
    auto recognizer = addRecognizer();
    auto transcriber = make();
    EXPECT_EQ(lines, std::vector<std::string>{"[Quorvel] macOS 26+ detected → Apple Speech (on-device, 0 MB)"});
    EXPECT_TRUE(moduleLocales.empty());

    recognizer->calls = {{std::nullopt, nullptr}, result("При", false), result("Привет, мир", true),
                         result("later", true), {std::nullopt, std::make_exception_ptr(std::runtime_error("late"))}};
    EXPECT_EQ(transcribe(*transcriber->engine()), "Привет, мир");
    EXPECT_EQ(leftoverRecordings(), 0u);
    ASSERT_EQ(recognizer->seen().size(), 1u);
    const auto seen = recognizer->seen()[0];
    EXPECT_TRUE(seen.request.requiresOnDeviceRecognition);
    EXPECT_FALSE(seen.request.shouldReportPartialResults);
    EXPECT_EQ(seen.request.url.parent_path(), temporary.path());
    const std::string name = seen.request.url.filename().string();
    EXPECT_TRUE(name.starts_with("quorvel_") && name.ends_with(".wav") && name.size() == 8 + 36 + 4) << name;
    // A WAVE file of 1600 32-bit float samples.
    ASSERT_TRUE(seen.fileSize);
    EXPECT_GE(*seen.fileSize, 44u + 1600 * 4);
    EXPECT_EQ(speech.requestCount(), 1);
}

TEST_F(TranscriberTest, PlatformEngineFailuresAreThrownAndTheFileIsRemoved) {
    auto recognizer = addRecognizer();
    auto transcriber = make();
    auto& engine = *transcriber->engine();
    auto expectError = [&](const std::string& described) {
        try {
            transcribe(engine);
            ADD_FAILURE() << "no error, expected " << described;
        } catch (const std::exception& error) {
            EXPECT_EQ(quorvel::describeError(error), described);
        }
        EXPECT_EQ(leftoverRecordings(), 0u);
    };

    recognizer->calls = {result("partial", false), {std::nullopt, std::make_exception_ptr(std::runtime_error("No speech detected"))},
                         result("too late", true)};
    expectError("No speech detected");

    speech.answer = speech::SFSpeechRecognizerAuthorizationStatus::denied;
    expectError("notAuthorized");
    speech.answer = speech::SFSpeechRecognizerAuthorizationStatus::authorized;

    recognizer->available = false;
    expectError("notAvailable");
    speech.recognizers.clear();  // the locale lost its recogniser
    expectError("notAvailable");
}

}  // namespace

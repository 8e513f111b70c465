// A speech-module engine whose model fails is not kept: the next dictation makes the facade again.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "HubServer/HubServer.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Quorvel/LexiphonicEngine.hpp"

namespace {

using quorvel::LexiphonicEngine;

// A facade whose model fails to run, as a damaged weights file makes it.
class DamagedFacade : public lexiphonic::Lexiphonic {
public:
    lexiphonic::TranscriptionResults transcribe(std::span<const float>, const std::optional<lexiphonic::DecodingOptions>&,
                                                const lexiphonic::TranscriptionCallback&,
                                                const lexiphonic::SegmentDiscoveryCallback&) override {
        throw std::runtime_error("weights.bin is shorter than its tensor table");
    }
};

TEST(LexiphonicEngineRecovery, AFacadeWhoseModelFailedIsDroppedAndTheNextDictationMakesANewOne) {
    hubtest::TemporaryFolder repos, cache;
    coreml::whisper::writeTestModel(repos.path() / "pelluxinc/lexiphonic-coreml" /
                                    (std::string("openai_whisper-") + LexiphonicEngine::modelVariant));
    hubtest::HubServer server({.root = repos.path()});
    int made = 0;
    const auto factory = [&]() -> std::shared_ptr<lexiphonic::Lexiphonic> {
        lexiphonic::LexiphonicConfig::Params params;
        params.model = LexiphonicEngine::modelVariant;
        params.downloadBase = cache.path();
        params.modelEndpoint = server.baseURL();
        params.logLevel = pellux::Logging::LogLevel::error;
        // The first facade's model is damaged; the one made after it is sound.
        if (made++ == 0) return DamagedFacade::create<DamagedFacade>(std::move(params));
        return lexiphonic::Lexiphonic::create(std::move(params));
    };
    std::vector<std::string> lines;
    LexiphonicEngine engine("en-US", [&](const std::string& line) { lines.push_back(line); }, factory);

    // One second of a quiet tone at the engine's rate.
    auto audio = avfoundation::AVAudioPCMBuffer::make(*avfoundation::AVAudioFormat::standard(16000, 1), 16000);
    for (uint32_t i = 0; i < 16000; ++i) audio->floatChannelData()[0][i] = 0.1f * std::sin(i * 0.1f);
    audio->setFrameLength(16000);

    EXPECT_THROW(engine.transcribe(*audio), std::runtime_error);
    EXPECT_FALSE(engine.pipe());
    EXPECT_NO_THROW(engine.transcribe(*audio));
    EXPECT_EQ(made, 2);
    EXPECT_TRUE(engine.pipe());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Quorvel] Lexiphonic model loaded."), 2);
}

}  // namespace

// Loading and unloading while transcriptions run: a transcription keeps the models it started with,
// and an unload waits for it. Run under ThreadSanitizer as well: the fault was a data race.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Lexiphonic.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

using namespace lexiphonic;
using pellux::ModelState;

namespace {

// A tiny random-weight model folder used in place, and 45 s of noise: two windows.
class ModelLifetimeTest : public ::testing::Test {
protected:
    void SetUp() override { coreml::whisper::writeTestModel(scratch.path() / "model"); }

    std::shared_ptr<Lexiphonic> facade() {
        LexiphonicConfig::Params p;
        p.modelFolder = (scratch.path() / "model").string();
        p.download = false;
        p.load = true;
        p.verbose = false;
        p.audioProcessor = std::make_shared<AudioProcessor>(std::make_shared<avfoundation::FakeAudioInputBackend>());
        return Lexiphonic::create(LexiphonicConfig(std::move(p)));
    }

    static std::vector<float> noise() {
        std::vector<float> samples(45 * 16000);
        uint32_t state = 7;
        for (float& s : samples) {
            state = state * 1664525u + 1013904223u;
            s = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 0.2f - 0.1f;
        }
        return samples;
    }

    static DecodingOptions options() {
        DecodingOptions o;
        o.temperatureFallbackCount = 0;
        o.sampleLength = 24;  // short windows: the test is about ordering, not text
        return o;
    }

    lexiphonic::testing::TemporaryFolder scratch;
};

}  // namespace

TEST_F(ModelLifetimeTest, UnloadingWaitsForTheTranscriptionInFlight) {
    auto lexiphonic = facade();
    const auto audio = noise();
    const auto reference = lexiphonic->transcribe(std::span<const float>(audio), options());
    ASSERT_TRUE(reference);

    std::mutex mutex;
    std::condition_variable changed;
    bool firstWindowDone = false, unloadCalled = false;
    std::vector<std::string> events;
    auto record = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    };

    std::shared_ptr<TranscriptionResult> result;
    std::exception_ptr failure;
    std::thread transcription([&] {
        try {
            auto results = lexiphonic->transcribe(audio, options(), {}, [&](const std::vector<TranscriptionSegment>&) {
                std::unique_lock lock(mutex);
                events.push_back("window");
                if (firstWindowDone) return;
                firstWindowDone = true;
                changed.notify_all();
                // Go on with the second window only once the unload has been asked for.
                changed.wait(lock, [&] { return unloadCalled; });
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            });
            result = results.front();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return firstWindowDone; });
        unloadCalled = true;
        changed.notify_all();
    }
    lexiphonic->unloadModels();
    record("unloaded");
    transcription.join();

    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            FAIL() << "the transcription failed: " << error.what();
        }
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text(), reference->text());
    EXPECT_EQ(result->segments(), reference->segments());
    EXPECT_EQ(events, (std::vector<std::string>{"window", "window", "unloaded"}));
    EXPECT_EQ(lexiphonic->modelState(), ModelState::unloaded);

    // The next transcription loads the models again.
    const auto again = lexiphonic->transcribe(std::span<const float>(audio), options());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text(), reference->text());
}

TEST_F(ModelLifetimeTest, UnloadingWhileAWindowDecodesWaitsForTheTranscription) {
    // Another thread unloads while the decoder is stepping through the first window.
    auto lexiphonic = facade();
    const auto audio = noise();
    const auto reference = lexiphonic->transcribe(std::span<const float>(audio), options());
    ASSERT_TRUE(reference);

    std::mutex mutex;
    std::thread unloader;
    std::promise<void> unloaderStarted;
    bool asked = false;
    std::shared_ptr<TranscriptionResult> result;
    std::string failure;
    try {
        result = lexiphonic->transcribe(std::span<const float>(audio), options(), [&](const TranscriptionProgress&) {
            std::lock_guard lock(mutex);
            if (!asked) {
                asked = true;
                unloader = std::thread([&] { lexiphonic->unloadModels(); });
                unloaderStarted.set_value();
            }
            return std::optional<bool>();
        });
    } catch (const std::exception& error) {
        failure = error.what();
    }
    unloaderStarted.get_future().wait();
    {
        std::lock_guard lock(mutex);
        unloader.join();
    }
    EXPECT_EQ(failure, "");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text(), reference->text());
    EXPECT_EQ(lexiphonic->modelState(), ModelState::unloaded);
}

TEST_F(ModelLifetimeTest, ATranscriptionCannotUnloadItsOwnModels) {
    // Waiting for itself would hang: the request is refused, and the transcription goes on.
    auto lexiphonic = facade();
    const auto audio = noise();
    std::vector<std::string> refusals;
    auto results = lexiphonic->transcribe(audio, options(), {}, [&](const std::vector<TranscriptionSegment>&) {
        try {
            lexiphonic->unloadModels();
        } catch (const WhisperError& error) {
            refusals.push_back(error.message());
        }
    });
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(refusals, std::vector<std::string>(2, "Models cannot be loaded or unloaded by a transcription that uses them"));
    EXPECT_EQ(lexiphonic->modelState(), ModelState::loaded);
}

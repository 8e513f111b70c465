// The app's life on a desktop: it needs a display, runs once per display, and a signal at any moment
// of a dictation (recording, loading, encoding, decoding, pasting) ends it cleanly: exit status 0, no
// sanitizer report, what the user said kept.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>

#include <X11/Xlib.h>

#include "DesktopTests/DesktopSession.hpp"
#include "DesktopTests/DesktopTestSupport.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A sanitized app runs slower; the waits for its answers stretch with it.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

// Seconds of speech-like sound (noise shaped into syllables) as a 16 kHz mono 16-bit WAV file.
void writeSpeechLikeWav(const fs::path& path, int seconds) {
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0, 0.2f);
    std::string samples;
    for (int i = 0; i < seconds * 16000; ++i) {
        const float envelope = 0.5f + 0.5f * std::sin(i * 2 * 3.14159f * 4 / 16000);
        const float value = std::clamp(envelope * (noise(random) + 0.3f * std::sin(i * 2 * 3.14159f * 180 / 16000)), -1.0f, 1.0f);
        const auto sample = static_cast<int16_t>(value * 32000);
        samples.append(reinterpret_cast<const char*>(&sample), 2);
    }
    const auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    std::ofstream(path, std::ios::binary) << "RIFF" << u32(36 + static_cast<uint32_t>(samples.size())) << "WAVEfmt " << u32(16)
                                          << u16(1) << u16(1) << u32(16000) << u32(32000) << u16(2) << u16(16) << "data"
                                          << u32(static_cast<uint32_t>(samples.size())) << samples;
}

// The app's environment on the test's display, with no session bus (nothing to talk to in a test).
std::map<std::string, std::string> appEnvironment(const fs::path& home, const std::string& endpoint = {}) {
    std::map<std::string, std::string> environment{{"DISPLAY", desktoptest::desktopSession()->name()},
                                                   {"HOME", home.string()},
                                                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    if (!endpoint.empty()) environment["BM_ENDPOINT"] = endpoint;
    return environment;
}

// The path a "... kept in <path>" line of the log names, if there is one.
std::optional<fs::path> keptPath(const std::string& log) {
    const std::string marker = "recording is kept in ";
    const auto at = log.find(marker);
    if (at == std::string::npos) return std::nullopt;
    const auto start = at + marker.size();
    return fs::path(log.substr(start, log.find('\n', start) - start));
}

bool sanitizerReported(const std::string& log) {
    return log.find("Sanitizer") != std::string::npos || log.find("runtime error:") != std::string::npos ||
           log.find("corrupted") != std::string::npos || log.find("double free") != std::string::npos;
}

TEST(AppLifecycle, WithoutADisplayTheAppSaysSoAndExitsOne) {
    hubtest::TemporaryFolder home;
    desktoptest::AppProcess app(QUORVEL_APP, {{"HOME", home.path().string()}}, home.path() / "app.log");
    EXPECT_EQ(app.waitForExit(10s * kSlowdown), 1) << app.log();
    EXPECT_EQ(app.log().rfind("[Quorvel] No X11 display", 0), 0u) << app.log();
}

TEST(AppLifecycle, ASecondInstanceSaysAnotherQuorvelIsRunningAndExitsOne) {
    REQUIRE_DESKTOP();
    hubtest::TemporaryFolder home;
    const auto environment = appEnvironment(home.path());
    desktoptest::AppProcess first(QUORVEL_APP, environment, home.path() / "first.log");
    ASSERT_TRUE(first.waitForLine("[Quorvel] Ready.", 10s * kSlowdown)) << first.log();
    desktoptest::AppProcess second(QUORVEL_APP, environment, home.path() / "second.log");
    EXPECT_EQ(second.waitForExit(10s * kSlowdown), 1) << second.log();
    EXPECT_NE(second.log().find("[Quorvel] Another Quorvel is running"), std::string::npos) << second.log();
    // The first one keeps running and still ends cleanly.
    EXPECT_FALSE(first.waitForExit(200ms));
    EXPECT_EQ(first.terminate(5s * kSlowdown), 0) << first.log();
}

TEST(AppLifecycle, WithTheHubUnreachableTheRecordingIsKeptBesideTheTranscripts) {
    REQUIRE_DESKTOP();
    const std::string displayName = desktoptest::desktopSession()->name();
    hubtest::TemporaryFolder home;
    writeSpeechLikeWav(home.path() / "speech.wav", 4);
    desktoptest::FedMicrophone microphone(home.path(), home.path() / "speech.wav");
    ASSERT_TRUE(microphone.ready());
    // Port 9 (discard) has no listener on the loopback interface: the connection is refused at once.
    desktoptest::AppProcess app(QUORVEL_APP, appEnvironment(home.path(), "http://127.0.0.1:9"), home.path() / "app.log");
    ASSERT_TRUE(app.waitForLine("[Quorvel] Ready.", 10s * kSlowdown)) << app.log();
    Display* typist = XOpenDisplay(displayName.c_str());
    ASSERT_TRUE(typist);
    desktoptest::pressKey(typist, {"Alt_L"}, "space");
    std::this_thread::sleep_for(1500ms);
    desktoptest::pressKey(typist, {"Alt_L"}, "space");
    XCloseDisplay(typist);
    ASSERT_TRUE(app.waitForLine("[Quorvel] The recording is kept in ", 20s * kSlowdown)) << app.log();
    const std::string log = app.log();
    const auto kept = keptPath(log);
    ASSERT_TRUE(kept) << log;
    const fs::path wav = *kept;
    EXPECT_EQ(wav.parent_path(), home.path() / "Transcripts" / "failed-dictations");
    EXPECT_GT(fs::file_size(wav), 16000u);  // about a second and a half of 32-bit samples at the device's rate
    EXPECT_NE(log.find("[Quorvel] Error: "), std::string::npos) << log;
    EXPECT_EQ(app.terminate(5s * kSlowdown), 0) << log;
}

TEST(AppLifecycle, ASignalAtAnyMomentOfADictationEndsTheAppCleanlyAndKeepsWhatWasSaid) {
    REQUIRE_DESKTOP();
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a whole dictation under ThreadSanitizer outlasts the test's time limit";
#endif
    const std::string displayName = desktoptest::desktopSession()->name();
    hubtest::TemporaryFolder repos, home;
    coreml::whisper::TestModelOptions model;
    model.seed = 26;
    coreml::whisper::writeTestModel(repos.path() / "pelluxinc/lexiphonic-coreml/openai_whisper-large-v3-turbo", model);
    hubtest::HubServer server({.root = repos.path(), .lifetime = std::chrono::seconds(120 * kSlowdown)});
    writeSpeechLikeWav(home.path() / "speech.wav", 8);
    desktoptest::FedMicrophone microphone(home.path(), home.path() / "speech.wav");
    ASSERT_TRUE(microphone.ready());
    Display* typist = XOpenDisplay(displayName.c_str());
    ASSERT_TRUE(typist);

    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    constexpr int tries = 10 - 2 * (kSlowdown - 1) / 2;  // fewer under a sanitizer, to stay near a minute
    int kept = 0;
    for (int i = 0; i < tries; ++i) {
        desktoptest::AppProcess app(QUORVEL_APP, appEnvironment(home.path(), server.baseURL()),
                                    home.path() / ("app" + std::to_string(i) + ".log"));
        ASSERT_TRUE(app.waitForLine("[Quorvel] Ready.", 10s * kSlowdown)) << app.log();
        desktoptest::pressKey(typist, {"Alt_L"}, "space");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 1500)(random)));
        // Every fourth try ends the recording itself; the others at a random moment of the transcription
        // (the first also downloads the model) or of the paste.
        if (i % 4 != 3) {
            desktoptest::pressKey(typist, {"Alt_L"}, "space");
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 2500 * kSlowdown)(random)));
        }
        const int number = signals[i % 3];
        const auto status = app.signal(number, 30s * kSlowdown);
        const std::string log = app.log();
        EXPECT_EQ(status, 0) << "signal " << number << " in try " << i << "\n" << log;
        EXPECT_FALSE(sanitizerReported(log)) << log;
        // A dictation cut short says where it kept what was said, and it is there.
        if (const auto path = keptPath(log)) {
            EXPECT_TRUE(fs::exists(*path)) << log;
            ++kept;
        }
    }
    XCloseDisplay(typist);
    EXPECT_GT(kept, 0) << "no try was cut short while recording or transcribing";
}

}  // namespace

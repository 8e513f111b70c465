// Whole dictations through the fakes, in virtual time: hotkey, recording, transcription by a fake
// engine, paste, transcript, and back to idle.
#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <mutex>
#include <variant>

#include "Platform/AVFoundation/AVAudioFile.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/URLError.hpp"
#include "PlatformFakes/FakeAppKit.hpp"
#include "PlatformFakes/FakeQuartz.hpp"
#include "PlatformFakes/FakeSpeech.hpp"
#include "PlatformFakes/FakeSystem.hpp"
#include "Quorvel/AppDelegate.hpp"
#include "TemporaryHome.hpp"

namespace {

using namespace std::chrono_literals;
using quorvel::AppDelegate;
using quorvel::AppState;
using quorvel::HotkeyCombo;
namespace fs = std::filesystem;

// The speech module's engine as the dictation sees it: answers from a script, optionally held back
// until the test lets it go.
class ScriptedEngine : public quorvel::TranscriberEngine {
public:
    struct Heard {
        uint32_t frames;
        double sampleRate;
        uint32_t channels;
    };
    std::string transcribe(const avfoundation::AVAudioPCMBuffer& audio) override {
        std::shared_future<void> gate;
        std::variant<std::string, std::exception_ptr> answer = std::string();
        {
            std::lock_guard lock(mutex_);
            heard_.push_back({audio.frameLength(), audio.format().sampleRate(), audio.format().channelCount()});
            gate = gate_;
            if (!answers_.empty()) {
                answer = answers_.front();
                answers_.pop_front();
            }
        }
        if (gate.valid()) gate.wait();
        if (auto* error = std::get_if<std::exception_ptr>(&answer)) std::rethrow_exception(*error);
        return std::get<std::string>(answer);
    }
    void answer(std::variant<std::string, std::exception_ptr> next) {
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(next));
    }
    void hold(std::shared_future<void> gate) {
        std::lock_guard lock(mutex_);
        gate_ = std::move(gate);
    }
    std::vector<Heard> heard() const {
        std::lock_guard lock(mutex_);
        return heard_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::variant<std::string, std::exception_ptr>> answers_;
    std::shared_future<void> gate_;
    std::vector<Heard> heard_;
};

class DictationTest : public ::testing::Test {
protected:
    AppDelegate::Services services() {
        return {executor, pool, application, statusBar, workspace, pasteboard, windows, alerts, monitors, events, speech,
                notifications, microphone, accessibility, defaults, audio,
                [this](const std::string& locale) {
                    moduleLocales.push_back(locale);
                    return engine;
                },
                home.path(), home.path(), clock, [this](const std::string& line) {
                    std::lock_guard lock(linesMutex);
                    lines.push_back(line);
                }};
    }
    // Launches the app as its entry point does and lets the onboarding finish.
    std::shared_ptr<AppDelegate> launch() {
        auto delegate = AppDelegate::make(services());
        application.setDelegate(delegate);
        application.setActivationPolicy(appkit::NSApplicationActivationPolicy::accessory);
        application.run();
        runUntil([&] { return printed("[Quorvel] Ready. Press Option+Space to dictate."); });
        return delegate;
    }
    // Runs the main loop until the condition holds; work on the pool posts back to it.
    void runUntil(const std::function<bool()>& condition) {
        for (int i = 0; i < 2000; ++i) {
            executor.drain();
            if (condition()) return;
            executor.waitForPost(5ms);
        }
        FAIL() << "condition not met";
    }
    bool printed(const std::string& line) {
        std::lock_guard lock(linesMutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    void press(const HotkeyCombo& combo = HotkeyCombo{}) {
        EXPECT_FALSE(events.keyDown(combo.keyCode, combo.modifiers)) << "the hotkey reaches no application";
        executor.drain();
    }
    void speak(size_t frameCount, float value = 0.1f) { ASSERT_TRUE(audio->deliver(std::vector<float>(frameCount, value))); }
    void dictate(std::variant<std::string, std::exception_ptr> answer, size_t frameCount = 4800) {
        engine->answer(std::move(answer));
        press();
        if (frameCount) speak(frameCount);
        press();
        runUntil([&] { return delegate->state() == AppState::idle; });
    }
    std::vector<std::string> transcripts() const { return quorveltests::fileNames(home.path() / "Transcripts" / "dictations"); }
    const appkit::NSMenu& menu() const { return *statusBar.items.at(0)->menu(); }
    const appkit::NSMenu& hotkeyMenu() const { return *delegate->hotkeyMenuItem()->submenu(); }
    std::vector<bool> checks() const {
        std::vector<bool> on;
        for (auto& item : hotkeyMenu().items()) on.push_back(item->state() == appkit::NSControlStateValue::on);
        return on;
    }
    appkit::NSMenuItem& menuItem(const appkit::NSMenu& in, const std::string& title) const {
        for (auto& item : in.items())
            if (item->title() == title) return *item;
        throw std::runtime_error("no menu item " + title);
    }

    foundation::ManualExecutor executor;
    foundation::TaskPool pool{2};
    fakes::FakeApplication application;
    fakes::FakeStatusBar statusBar;
    fakes::FakeWorkspace workspace;
    fakes::FakePasteboard pasteboard;
    fakes::FakeWindowServer windows;
    fakes::FakeAlerts alerts;
    fakes::FakeEventMonitors monitors;
    fakes::FakeEventServices events;
    fakes::FakeSpeechRecognition speech;
    fakes::FakeNotificationCenter notifications;
    fakes::FakeAudioCaptureAuthorization microphone;
    fakes::FakeAccessibilityTrust accessibility;
    fakes::InMemoryUserDefaults defaults;
    std::shared_ptr<avfoundation::FakeAudioInputBackend> audio = std::make_shared<avfoundation::FakeAudioInputBackend>(
        std::vector<avfoundation::AudioDeviceInfo>{{1, "Built-in Microphone", 1, 48000}}, 1);
    std::shared_ptr<ScriptedEngine> engine = std::make_shared<ScriptedEngine>();
    quorveltests::TemporaryHome home;
    // 2024-07-01 12:34:56 UTC.
    std::shared_ptr<foundation::FixedClock> clock =
        std::make_shared<foundation::FixedClock>(foundation::dateFromTimeIntervalSince1970(1719837296));
    std::mutex linesMutex;
    std::vector<std::string> lines;
    std::vector<std::string> moduleLocales;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(DictationTest, LaunchPrintsItsLinesAndBuildsTheStatusMenu) {
    delegate = launch();
    EXPECT_EQ(lines, (std::vector<std::string>{"[Quorvel] macOS <26 → Lexiphonic (will download ~1.5 GB model on first use)",
                                               "[Quorvel] Starting...", "[Quorvel] Ready. Press Option+Space to dictate."}));
    EXPECT_EQ(moduleLocales, std::vector<std::string>{"ru-RU"});
    EXPECT_EQ(application.activationPolicy, appkit::NSApplicationActivationPolicy::accessory);
    EXPECT_EQ(notifications.delivered.size(), 1u);
    for (const char* folder : {"dictations", "calls", "calls/audio"}) EXPECT_TRUE(fs::is_directory(home.path() / "Transcripts" / folder));

    ASSERT_EQ(statusBar.items.size(), 1u);
    const auto& item = *statusBar.items[0];
    EXPECT_EQ(item.length(), appkit::NSVariableStatusItemLength);
    EXPECT_EQ(item.image(), (appkit::NSImage{"mic.fill", "Quorvel", {16, 16}, true}));
    std::vector<std::string> titles;
    for (auto& entry : menu().items()) titles.push_back(entry->isSeparatorItem() ? "-" : entry->title());
    EXPECT_EQ(titles, (std::vector<std::string>{"Dictate  (⌥Space)", "Record Call", "-", "Hotkey: ⌥Space", "-",
                                                "Open Transcripts", "-", "Quit Quorvel"}));
    EXPECT_EQ(menu().items().back()->keyEquivalent(), "q");
    titles.clear();
    for (auto& entry : hotkeyMenu().items()) titles.push_back(entry->isSeparatorItem() ? "-" : entry->title());
    EXPECT_EQ(titles, (std::vector<std::string>{"⌥ Space (Option+Space)", "⌘⇧R (Cmd+Shift+R)", "F5", "-", "Record Custom..."}));
    EXPECT_EQ(checks(), (std::vector<bool>{true, false, false, false, false}));
    EXPECT_TRUE(windows.panels.empty());  // the overlay is made on the first dictation
}

TEST_F(DictationTest, TheEntryPointRunsTheAppAsAnAccessoryWithItsDelegate) {
    bool launchedWithDelegate = false, ready = false;
    fakes::FakeApplication entryApplication;
    auto entryServices = services();
    entryServices.print = [&](const std::string& line) {
        if (line == "[Quorvel] Starting...") launchedWithDelegate = entryApplication.delegate() != nullptr;
        ready = ready || line == "[Quorvel] Ready. Press Option+Space to dictate.";
    };
    quorvel::runApplication(entryApplication, entryServices);
    EXPECT_TRUE(launchedWithDelegate);
    EXPECT_EQ(entryApplication.activationPolicy, appkit::NSApplicationActivationPolicy::accessory);
    runUntil([&] { return ready; });
}

TEST_F(DictationTest, AWholeDictationFromHotkeyToPastedTextAndTranscript) {
    delegate = launch();
    pasteboard.setString("abc", appkit::NSPasteboardTypeString);
    workspace.frontmostApplication = "TextEdit";
    engine->answer(std::string("  Привет, мир.\n"));
    std::promise<void> release;  // holds the engine so the transcribing state can be seen
    engine->hold(release.get_future().share());

    press();
    EXPECT_EQ(delegate->state(), AppState::recording);
    EXPECT_EQ(statusBar.items[0]->image()->symbolName, "mic.badge.plus");
    EXPECT_EQ(statusBar.items[0]->image()->accessibilityDescription, "Recording");
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Stop Dictation  (⌥ Space)");
    ASSERT_EQ(windows.panels.size(), 1u);
    EXPECT_TRUE(windows.panels[0]->isVisible());
    EXPECT_EQ(delegate->overlay().mode(), quorvel::OverlayMode::recording);

    speak(24000, 0.05f);  // half a second at 48 kHz, level 0.4
    executor.advance(100ms);
    EXPECT_GT(delegate->overlay().smoothLevels()[0], 0.1f);
    workspace.frontmostApplication = "Notes";  // the user moved on; the transcript still names the start

    press();
    EXPECT_EQ(delegate->state(), AppState::transcribing);
    EXPECT_EQ(statusBar.items[0]->image()->symbolName, "ellipsis.circle");
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Transcribing...");
    EXPECT_EQ(delegate->overlay().mode(), quorvel::OverlayMode::loading);
    EXPECT_TRUE(windows.panels[0]->isVisible());

    release.set_value();
    runUntil([&] { return delegate->state() == AppState::idle; });
    ASSERT_EQ(engine->heard().size(), 1u);
    EXPECT_EQ(engine->heard()[0].frames, 24000u);
    EXPECT_EQ(engine->heard()[0].sampleRate, 48000);
    EXPECT_EQ(engine->heard()[0].channels, 1u);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "Привет, мир.");
    ASSERT_EQ(events.posted.size(), 2u);
    EXPECT_EQ(events.posted[0].event.flags, 0x100000u);
    EXPECT_EQ(statusBar.items[0]->image()->symbolName, "mic.fill");
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (⌥Space)");
    EXPECT_FALSE(windows.panels[0]->isVisible());
    EXPECT_FALSE(delegate->overlay().isAnimating());

    const auto file = home.path() / "Transcripts" / "dictations" / (foundation::formatDate(clock->now(), "yyyy-MM-dd_HH-mm-ss") + ".md");
    EXPECT_EQ(foundation::readFile(file),
              "---\ntype: dictation\ndate: 2024-07-01T12:34:56Z\nsource_app: TextEdit\n---\n\nПривет, мир.");

    executor.advance(100ms);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "abc");

    // A second dictation in the same second keeps the first transcript.
    dictate(std::string("again"));
    EXPECT_EQ(transcripts().size(), 2u);
}

TEST_F(DictationTest, ThreeQuickPressesStartStopAndAreIgnoredWhileTranscribing) {
    delegate = launch();
    std::promise<void> release;
    engine->hold(release.get_future().share());
    engine->answer(std::string("one"));

    press();
    speak(480);
    press();
    press();  // while transcribing: nothing happens
    EXPECT_EQ(delegate->state(), AppState::transcribing);
    EXPECT_FALSE(audio->isRunning());
    runUntil([&] { return engine->heard().size() == 1; });
    EXPECT_EQ(delegate->state(), AppState::transcribing);

    release.set_value();
    runUntil([&] { return delegate->state() == AppState::idle; });
    EXPECT_EQ(engine->heard().size(), 1u);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "one");
    // The menu entry runs the same step.
    delegate->dictateMenuItem()->performAction();
    EXPECT_EQ(delegate->state(), AppState::recording);
}

TEST_F(DictationTest, EmptyOrHallucinatedResultsAndSilentRecordingsDeliverNothing) {
    delegate = launch();
    pasteboard.setString("keep", appkit::NSPasteboardTypeString);
    for (const char* text : {"", "  \n\t", "Thank you.", " you ", "Спасибо."}) {
        dictate(std::string(text));
        EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (⌥Space)") << text;
        EXPECT_FALSE(windows.panels[0]->isVisible()) << text;
    }
    dictate(std::string("never asked"), 0);  // nothing was recorded: the engine is not asked
    EXPECT_EQ(engine->heard().size(), 5u);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "keep");
    EXPECT_TRUE(events.posted.empty());
    EXPECT_TRUE(transcripts().empty());
    EXPECT_EQ(lines.size(), 3u);  // no error lines
}

TEST_F(DictationTest, AFailedDictationKeepsTheRecordingAndTellsTheUserWhatFailedAndWhere) {
    delegate = launch();
    // Each way a dictation fails: an unreachable hub, a damaged model, the engine's own error.
    const std::pair<std::exception_ptr, std::string> failures[] = {
        {std::make_exception_ptr(foundation::URLError(foundation::URLError::Code::cannotConnectToHost, "http://127.0.0.1:9/")),
         "Could not connect to the server."},
        {std::make_exception_ptr(std::runtime_error("weights.bin is shorter than its tensor table")),
         "weights.bin is shorter than its tensor table"},
        {std::make_exception_ptr(quorvel::TranscriberError::lexiphonicFailed("No audio data")), "Lexiphonic error: No audio data"},
    };
    const fs::path kept = home.path() / "Transcripts" / "failed-dictations";
    const size_t before = notifications.delivered.size();  // the onboarding's
    const std::string stem = foundation::formatDate(clock->now(), "yyyy-MM-dd_HH-mm-ss");
    for (size_t i = 0; i < std::size(failures); ++i) {
        SCOPED_TRACE(failures[i].second);
        dictate(failures[i].first, 4800 * (i + 1));
        EXPECT_EQ(delegate->state(), AppState::idle);
        EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (⌥Space)");
        EXPECT_TRUE(transcripts().empty());
        EXPECT_TRUE(alerts.shown.empty());

        // The speech is on disk, named as a transcript of that second would be, and reads back whole.
        const fs::path wav = kept / (i == 0 ? stem + ".wav" : stem + "_" + std::to_string(i + 1) + ".wav");
        ASSERT_TRUE(fs::exists(wav));
        avfoundation::AVAudioFile file(wav);
        EXPECT_EQ(file.length(), static_cast<int64_t>(4800 * (i + 1)));
        EXPECT_EQ(file.processingFormat().sampleRate(), 48000);
        EXPECT_TRUE(printed("[Quorvel] The recording is kept in " + wav.string()));

        ASSERT_EQ(notifications.delivered.size(), before + i + 1);
        EXPECT_EQ(notifications.delivered.back().title, "Dictation failed");
        EXPECT_EQ(notifications.delivered.back().informativeText, failures[i].second + "\nThe recording is kept in " + wav.string());
    }
    EXPECT_TRUE(printed(R"([Quorvel] Error: lexiphonicFailed("No audio data"))"));
    EXPECT_EQ(quorveltests::fileNames(kept).size(), 3u);  // nothing half-written beside them

    // The next dictation works.
    dictate(std::string("works"));
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "works");
    EXPECT_EQ(notifications.delivered.size(), before + 3);
}

TEST_F(DictationTest, WithoutAMicrophoneTheAppStaysIdleAndSaysWhy) {
    audio = std::make_shared<avfoundation::FakeAudioInputBackend>();
    delegate = launch();
    const size_t before = notifications.delivered.size();  // the onboarding's
    press();
    EXPECT_TRUE(printed(R"([Quorvel] Failed to start recording: engineStartFailed("No audio input device is available"))"));
    EXPECT_EQ(delegate->state(), AppState::idle);
    EXPECT_TRUE(windows.panels.empty() || !windows.panels[0]->isVisible());
    EXPECT_EQ(statusBar.items[0]->image()->symbolName, "mic.fill");
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (⌥Space)");
    ASSERT_EQ(notifications.delivered.size(), before + 1);
    EXPECT_EQ(notifications.delivered.back().title, "Quorvel cannot record");
    EXPECT_NE(notifications.delivered.back().informativeText.find("No audio input device is available"), std::string::npos);
    // Every press says so again; nothing is transcribed.
    press();
    EXPECT_EQ(delegate->state(), AppState::idle);
    EXPECT_EQ(notifications.delivered.size(), before + 2);
    EXPECT_TRUE(engine->heard().empty());
}

TEST_F(DictationTest, TheAppsEndWhileRecordingKeepsTheRecording) {
    delegate = launch();
    press();
    speak(9600);
    EXPECT_TRUE(delegate->applicationWillTerminate(1s));
    EXPECT_FALSE(audio->isRunning());
    EXPECT_EQ(delegate->state(), AppState::idle);
    const auto kept = quorveltests::fileNames(home.path() / "Transcripts" / "failed-dictations");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(avfoundation::AVAudioFile(home.path() / "Transcripts" / "failed-dictations" / kept[0]).length(), 9600);
}

// Works until asked to stop through the job's stop token, as the speech engine's steps do.
class StoppableEngine : public quorvel::TranscriberEngine {
public:
    std::string transcribe(const avfoundation::AVAudioPCMBuffer&) override {
        entered.set_value();
        // Ten seconds without a stop request is a failure, not a hang.
        for (int i = 0; i < 10000 && !foundation::isCancelled(); ++i) std::this_thread::sleep_for(1ms);
        if (!foundation::isCancelled()) return "never stopped";
        std::this_thread::sleep_for(50ms);  // the step under way finishes
        stoppedCleanly = true;
        throw foundation::CancellationError();
    }
    std::promise<void> entered;
    std::atomic<bool> stoppedCleanly{false};
};

TEST_F(DictationTest, TheAppsEndWhileTranscribingStopsTheEngineWaitsForItAndKeepsTheRecording) {
    auto stoppable = std::make_shared<StoppableEngine>();
    auto services = this->services();
    services.makeModuleEngine = [stoppable](const std::string&) { return stoppable; };
    delegate = AppDelegate::make(std::move(services));
    delegate->applicationDidFinishLaunching();
    executor.drain();
    press();
    speak(4800);
    press();
    executor.drain();
    ASSERT_EQ(delegate->state(), AppState::transcribing);
    stoppable->entered.get_future().wait();

    // Only when the worker has let go does the end go on: nothing it uses may be destroyed under it.
    EXPECT_TRUE(delegate->applicationWillTerminate(5s));
    EXPECT_TRUE(stoppable->stoppedCleanly);
    EXPECT_EQ(quorveltests::fileNames(home.path() / "Transcripts" / "failed-dictations").size(), 1u);
    EXPECT_TRUE(transcripts().empty());
    // The dictation's own end, posted by the worker, finds nothing left to do.
    executor.drain();
    for (const auto& shown : notifications.delivered) EXPECT_NE(shown.title, "Dictation failed");
}

TEST_F(DictationTest, TheAppsEndAfterTheTextArrivedSavesTheTranscript) {
    delegate = launch();
    engine->answer(std::string("kept words"));
    press();
    speak(4800);
    press();
    // The worker is done and has posted the delivery, which the ended loop will never run.
    executor.drain();
    for (int i = 0; i < 400 && executor.pendingJobs() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(delegate->applicationWillTerminate(1s));
    EXPECT_EQ(transcripts().size(), 1u);
    EXPECT_FALSE(fs::exists(home.path() / "Transcripts" / "failed-dictations"));
}

TEST_F(DictationTest, AHotkeyChangeShowsAtOnceIsSavedAndIsReloadedAtTheNextLaunch) {
    delegate = launch();
    menuItem(hotkeyMenu(), "F5").performAction();
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (F5)");
    EXPECT_EQ(delegate->hotkeyMenuItem()->title(), "Hotkey: F5");
    EXPECT_EQ(checks(), (std::vector<bool>{false, false, true, false, false}));
    EXPECT_EQ(defaults.data("quorvel_hotkey"), R"({"keyCode":96,"modifiers":0})");
    EXPECT_TRUE(events.keyDown(49, HotkeyCombo::option));  // Option+Space is free again

    engine->answer(std::string("via F5"));
    press({96, 0});
    speak(480);
    press({96, HotkeyCombo::shift});  // extra modifiers still match
    runUntil([&] { return delegate->state() == AppState::idle; });
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (F5)");

    // The next launch reads the saved choice.
    delegate.reset();
    statusBar.items.clear();
    delegate = launch();
    EXPECT_EQ(delegate->hotkey().combo, (HotkeyCombo{96, 0}));
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (F5)");
    EXPECT_EQ(checks(), (std::vector<bool>{false, false, true, false, false}));
    EXPECT_EQ(events.liveTapCount(), 1u);  // the first launch's tap went with its manager
}

TEST_F(DictationTest, CustomHotkeysCheckAPresetOnlyWhenEqualToIt) {
    delegate = launch();
    auto record = [&](appkit::NSEvent key) {
        alerts.answer(appkit::NSAlertSecondButtonReturn, [&, key](const appkit::NSAlert&) { monitors.deliver(key); });
        menuItem(hotkeyMenu(), "Record Custom...").performAction();
    };
    record({appkit::NSEventType::keyDown, 50, HotkeyCombo::control | HotkeyCombo::option});
    EXPECT_EQ(delegate->dictateMenuItem()->title(), "Dictate  (⌃⌥Key(50))");
    EXPECT_EQ(checks(), (std::vector<bool>{false, false, false, false, false}));
    record({appkit::NSEventType::keyDown, 15, HotkeyCombo::command | HotkeyCombo::shift});
    EXPECT_EQ(delegate->hotkeyMenuItem()->title(), "Hotkey: ⇧⌘R");
    EXPECT_EQ(checks(), (std::vector<bool>{false, true, false, false, false}));
    EXPECT_EQ(defaults.data("quorvel_hotkey"), R"({"keyCode":15,"modifiers":1179648})");
}

TEST_F(DictationTest, OtherMenuEntries) {
    delegate = launch();
    menuItem(menu(), "Record Call").performAction();
    EXPECT_EQ(delegate->state(), AppState::idle);
    menuItem(menu(), "Open Transcripts").performAction();
    EXPECT_EQ(workspace.openedFiles, std::vector<fs::path>{home.path() / "Transcripts"});
    EXPECT_FALSE(application.terminated);
    menuItem(menu(), "Quit Quorvel").performAction();
    EXPECT_TRUE(application.terminated);
}

TEST_F(DictationTest, RefusedPermissionsAreExplainedAndTheAppStillStarts) {
    microphone.grant = false;
    speech.answer = speech::SFSpeechRecognizerAuthorizationStatus::denied;
    accessibility.trusted = false;
    events.refuseTaps = true;
    alerts.answer(appkit::NSAlertFirstButtonReturn);
    delegate = launch();
    EXPECT_EQ(alerts.shown.size(), 3u);
    EXPECT_EQ(workspace.openedURLs.size(), 1u);
    EXPECT_TRUE(notifications.delivered.empty());
    EXPECT_TRUE(printed("[Quorvel] Failed to create event tap. Check Accessibility permissions."));
    // The menu still works without the hotkey.
    delegate->dictateMenuItem()->performAction();
    EXPECT_EQ(delegate->state(), AppState::recording);
}

TEST_F(DictationTest, WithAnOnDeviceRecogniserThePlatformEngineTranscribes) {
    auto recognizer = std::make_shared<fakes::FakeSpeechRecognizer>();
    recognizer->calls = {{speech::SFSpeechRecognitionResult{{"Добрый день"}, true}, nullptr}};
    speech.recognizers["ru-RU"] = recognizer;
    delegate = launch();
    EXPECT_TRUE(printed("[Quorvel] macOS 26+ detected → Apple Speech (on-device, 0 MB)"));
    EXPECT_TRUE(moduleLocales.empty());
    press();
    speak(4800);
    press();
    runUntil([&] { return delegate->state() == AppState::idle; });
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "Добрый день");
    EXPECT_EQ(transcripts().size(), 1u);
}

}  // namespace

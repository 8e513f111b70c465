#pragma once
// The application delegate: owns every component for the life of the process, builds the status menu,
// and runs the idle → recording → transcribing state machine that turns two presses of the hotkey
// into one dictation (record, transcribe, deliver, save). What the user said is never lost: the
// recording of a dictation that fails, or that the app's end cuts short, is kept as a WAV file.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/AppKit/NSAlert.hpp"
#include "Platform/AppKit/NSApplication.hpp"
#include "Platform/AppKit/NSEvent.hpp"
#include "Platform/AppKit/NSMenu.hpp"
#include "Platform/AppKit/NSPasteboard.hpp"
#include "Platform/AppKit/NSStatusBar.hpp"
#include "Platform/AppKit/NSWorkspace.hpp"
#include "Platform/AppKit/Views.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/TaskPool.hpp"
#include "Platform/Foundation/UserDefaults.hpp"
#include "Platform/Notifications/NSUserNotification.hpp"
#include "Platform/Privacy/Privacy.hpp"
#include "Platform/Quartz/CGEvent.hpp"
#include "Platform/Speech/SFSpeechRecognizer.hpp"
#include "Quorvel/Console.hpp"
#include "Quorvel/HotkeyManager.hpp"
#include "Quorvel/Injector.hpp"
#include "Quorvel/Onboarding.hpp"
#include "Quorvel/Overlay.hpp"
#include "Quorvel/Recorder.hpp"
#include "Quorvel/Storage.hpp"
#include "Quorvel/Transcriber.hpp"

namespace quorvel {

enum class AppState { idle, recording, transcribing };

class AppDelegate : public appkit::NSApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    // What the app runs on. Every service outlives the delegate and the work it has started.
    struct Services {
        foundation::MainExecutor& mainExecutor;
        foundation::TaskPool& taskPool;
        appkit::NSApplication& application;
        appkit::NSStatusBar& statusBar;
        appkit::NSWorkspace& workspace;
        appkit::NSPasteboard& pasteboard;
        appkit::WindowServer& windowServer;
        appkit::AlertPresenting& alerts;
        appkit::EventMonitoring& eventMonitors;
        quartz::EventServices& events;
        speech::SpeechRecognition& speech;
        notifications::NSUserNotificationCenter& notifications;
        privacy::AudioCaptureAuthorization& microphone;
        privacy::AccessibilityTrust& accessibility;
        foundation::UserDefaults& defaults;
        std::shared_ptr<avfoundation::AudioInputBackend> audioInput;
        Transcriber::ModuleEngineFactory makeModuleEngine;
        std::filesystem::path homeDirectory;
        std::filesystem::path temporaryDirectory;
        std::shared_ptr<foundation::Clock> clock;
        PrintLine print;
        // The primary selection, where the desktop has one (the classic X terminals paste it).
        appkit::NSPasteboard* selectionPasteboard = nullptr;
    };

    // Builds the components in order: recorder, transcriber (which picks its engine and says which),
    // injector, transcript storage (which makes its folders), overlay, hotkey manager, onboarding.
    static std::shared_ptr<AppDelegate> make(Services services);

    void applicationDidFinishLaunching() override;

    // Menu actions, on the main thread.
    void toggleDictation();
    void toggleCallRecording() {}
    void selectHotkeyPreset(const appkit::NSMenuItem& sender);
    void recordCustomHotkey();
    void openTranscripts();
    void quit();

    // Main thread, once the event loop has ended (the quit entry, or SIGTERM, SIGINT or SIGHUP as at
    // logout): stops the dictation under way through the engine's stop flags and waits up to
    // `patience` for its worker to let go of everything it uses; the recording is kept (or the
    // transcript, when the text had already arrived). False when the worker is still busy after that
    // time: the process must then end without running its exit handlers.
    bool applicationWillTerminate(std::chrono::milliseconds patience);

    AppState state() const { return state_; }
    const std::shared_ptr<appkit::NSStatusItem>& statusItem() const { return statusItem_; }
    const std::shared_ptr<appkit::NSMenuItem>& dictateMenuItem() const { return dictateMenuItem_; }
    const std::shared_ptr<appkit::NSMenuItem>& callMenuItem() const { return callMenuItem_; }
    const std::shared_ptr<appkit::NSMenuItem>& hotkeyMenuItem() const { return hotkeyMenuItem_; }
    Recorder& recorder() { return *recorder_; }
    Transcriber& transcriber() { return *transcriber_; }
    TranscriptStorage& storage() { return *storage_; }
    Overlay& overlay() { return *overlay_; }
    HotkeyManager& hotkey() { return *hotkey_; }

    // Use make(); public only for make_shared.
    struct Token {};
    AppDelegate(Token, Services services);

private:
    void buildMenu();
    void updateHotkeyMenu();
    void resetMenubar();
    void setStatusIcon(const char* symbolName, const char* description);
    struct Dictation;
    void runDictation(const std::shared_ptr<Dictation>& dictation);
    void finishDictation(const std::shared_ptr<Dictation>& dictation);
    // The recording goes to the audio folder; the user hears what failed and where the audio is.
    void keepFailedRecording(const Dictation& dictation, const std::exception_ptr& error);
    void reportNoRecording(const std::string& reason);
    // A menu action that reaches the delegate only while it exists.
    appkit::NSMenuItem::Action action(void (AppDelegate::*method)());

    Services services_;
    std::shared_ptr<appkit::NSStatusItem> statusItem_;
    AppState state_ = AppState::idle;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Transcriber> transcriber_;
    std::unique_ptr<Injector> injector_;
    std::unique_ptr<TranscriptStorage> storage_;
    std::unique_ptr<Overlay> overlay_;
    std::unique_ptr<HotkeyManager> hotkey_;
    std::unique_ptr<Onboarding> onboarding_;
    std::optional<std::string> dictationSourceApp_;
    std::shared_ptr<Dictation> dictation_;  // from the stop of a recording to the end of its delivery
    std::shared_ptr<appkit::NSMenuItem> dictateMenuItem_;
    std::shared_ptr<appkit::NSMenuItem> callMenuItem_;
    std::shared_ptr<appkit::NSMenuItem> hotkeyMenuItem_;
};

// The entry point's work: makes the delegate, installs it, hides the app from the Dock and runs the
// event loop until the application terminates, then lets the delegate wind down. The delegate lives as
// long as the loop runs. False when work was still running after `patience` (see applicationWillTerminate).
bool runApplication(appkit::NSApplication& application, AppDelegate::Services services,
                    std::chrono::milliseconds patience = std::chrono::seconds(10));

}  // namespace quorvel

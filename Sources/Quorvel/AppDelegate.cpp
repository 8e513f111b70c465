#include "Quorvel/AppDelegate.hpp"

#include <any>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <utility>

#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/Text.hpp"

namespace quorvel {

struct AppDelegate::Dictation {
    std::shared_ptr<avfoundation::AVAudioPCMBuffer> buffer;
    std::optional<std::string> sourceApp;
    std::stop_source stop;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;  // handed to a worker
    bool done = false;     // the worker holds nothing any more
    std::string text;
    std::exception_ptr error;
};

namespace {

// What the user is told: the error's own wording, not its case name.
std::string userDescription(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const foundation::Error& own) {
        return own.localizedDescription();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "Unknown error";
    }
}

appkit::NSImage statusIcon(const char* symbolName, const char* description) {
    auto image = appkit::NSImage::systemSymbol(symbolName, description);
    image.size = appkit::NSSize{16, 16};
    image.isTemplate = true;
    return image;
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::make(Services services) {
    return std::make_shared<AppDelegate>(Token{}, std::move(services));
}

AppDelegate::AppDelegate(Token, Services services) : services_(std::move(services)) {
    auto& s = services_;
    recorder_ = std::make_unique<Recorder>(s.audioInput, s.print);
    transcriber_ = std::make_unique<Transcriber>(
        "ru-RU", Transcriber::Services{s.speech, s.mainExecutor, s.makeModuleEngine, s.temporaryDirectory, s.print});
    injector_ = std::make_unique<Injector>(s.pasteboard, s.events, s.mainExecutor, &s.workspace, s.selectionPasteboard);
    storage_ = std::make_unique<TranscriptStorage>(s.homeDirectory, s.clock);
    overlay_ = std::make_unique<Overlay>(s.windowServer, s.mainExecutor);
    hotkey_ = std::make_unique<HotkeyManager>(s.events, s.defaults, s.mainExecutor, s.print);
    onboarding_ = std::make_unique<Onboarding>(
        Onboarding::Services{s.microphone, s.speech, s.accessibility, s.alerts, s.workspace, s.notifications, s.mainExecutor});
}

appkit::NSMenuItem::Action AppDelegate::action(void (AppDelegate::*method)()) {
    return [weak = weak_from_this(), method](appkit::NSMenuItem&) {
        if (auto self = weak.lock()) ((*self).*method)();
    };
}

void AppDelegate::applicationDidFinishLaunching() {
    services_.print("[Quorvel] Starting...");
    statusItem_ = services_.statusBar.statusItem(appkit::NSVariableStatusItemLength);
    setStatusIcon("mic.fill", "Quorvel");
    buildMenu();

    hotkey_->callback = [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->toggleDictation();
    };
    hotkey_->loadSaved();
    updateHotkeyMenu();
    hotkey_->startTap();

    // The audio thread reaches the overlay only through its level lock.
    recorder_->onAudioLevel = [weak = weak_from_this()](float level) {
        if (auto self = weak.lock()) self->overlay_->setCurrentLevel(level);
    };

    // The completion holds the delegate, so the onboarding it owns outlives the sequence.
    services_.mainExecutor.post([self = shared_from_this()] {
        self->onboarding_->runIfNeeded([self] { self->services_.print("[Quorvel] Ready. Press Option+Space to dictate."); });
    });
}

void AppDelegate::buildMenu() {
    auto menu = appkit::NSMenu::make();
    dictateMenuItem_ = appkit::NSMenuItem::make("Dictate  (" + hotkey_->combo.displayName() + ")",
                                                action(&AppDelegate::toggleDictation));
    menu->addItem(dictateMenuItem_);
    callMenuItem_ = appkit::NSMenuItem::make("Record Call", action(&AppDelegate::toggleCallRecording));
    menu->addItem(callMenuItem_);
    menu->addItem(appkit::NSMenuItem::separatorItem());

    hotkeyMenuItem_ = appkit::NSMenuItem::make("Hotkey: " + hotkey_->combo.displayName());
    auto submenu = appkit::NSMenu::make();
    for (const auto& preset : HotkeyPreset::all()) {
        auto item = appkit::NSMenuItem::make(preset.title, [weak = weak_from_this()](appkit::NSMenuItem& sender) {
            if (auto self = weak.lock()) self->selectHotkeyPreset(sender);
        });
        item->setRepresentedObject(preset.combo);
        item->setState(preset.combo == hotkey_->combo ? appkit::NSControlStateValue::on : appkit::NSControlStateValue::off);
        submenu->addItem(item);
    }
    submenu->addItem(appkit::NSMenuItem::separatorItem());
    submenu->addItem(appkit::NSMenuItem::make("Record Custom...", action(&AppDelegate::recordCustomHotkey)));
    hotkeyMenuItem_->setSubmenu(submenu);
    menu->addItem(hotkeyMenuItem_);
    menu->addItem(appkit::NSMenuItem::separatorItem());

    menu->addItem(appkit::NSMenuItem::make("Open Transcripts", action(&AppDelegate::openTranscripts)));
    menu->addItem(appkit::NSMenuItem::separatorItem());
    menu->addItem(appkit::NSMenuItem::make("Quit Quorvel", action(&AppDelegate::quit), "q"));
    statusItem_->setMenu(menu);
}

void AppDelegate::setStatusIcon(const char* symbolName, const char* description) {
    if (statusItem_) statusItem_->setImage(statusIcon(symbolName, description));
}

void AppDelegate::updateHotkeyMenu() {
    const std::string name = hotkey_->combo.displayName();
    if (hotkeyMenuItem_) hotkeyMenuItem_->setTitle("Hotkey: " + name);
    if (dictateMenuItem_) dictateMenuItem_->setTitle("Dictate  (" + name + ")");
    if (!hotkeyMenuItem_ || !hotkeyMenuItem_->submenu()) return;
    for (const auto& item : hotkeyMenuItem_->submenu()->items()) {
        const auto* combo = std::any_cast<HotkeyCombo>(&item->representedObject());
        if (!combo) continue;
        item->setState(*combo == hotkey_->combo ? appkit::NSControlStateValue::on : appkit::NSControlStateValue::off);
    }
}

void AppDelegate::resetMenubar() {
    setStatusIcon("mic.fill", "Quorvel");
    if (dictateMenuItem_) dictateMenuItem_->setTitle("Dictate  (" + hotkey_->combo.displayName() + ")");
}

void AppDelegate::selectHotkeyPreset(const appkit::NSMenuItem& sender) {
    const auto* combo = std::any_cast<HotkeyCombo>(&sender.representedObject());
    if (!combo) return;
    hotkey_->combo = *combo;
    hotkey_->save();
    updateHotkeyMenu();
}

void AppDelegate::recordCustomHotkey() {
    auto captured = quorvel::recordCustomHotkey(services_.alerts, services_.eventMonitors, hotkey_->combo);
    if (!captured) return;
    hotkey_->combo = *captured;
    hotkey_->save();
    updateHotkeyMenu();
}

void AppDelegate::openTranscripts() { services_.workspace.open(storage_->baseDir()); }

void AppDelegate::quit() { services_.application.terminate(); }

void AppDelegate::toggleDictation() {
    switch (state_) {
        case AppState::idle: {
            dictationSourceApp_ = services_.workspace.frontmostApplicationName();
            // Without a microphone there is nothing to record: no recording state, and the user hears why.
            if (!recorder_->startMic()) {
                reportNoRecording(recorder_->startFailure());
                break;
            }
            overlay_->show(OverlayMode::recording);
            state_ = AppState::recording;
            setStatusIcon("mic.badge.plus", "Recording");
            if (dictateMenuItem_) dictateMenuItem_->setTitle("Stop Dictation  (⌥ Space)");
            break;
        }
        case AppState::recording: {
            dictation_ = std::make_shared<Dictation>();
            dictation_->buffer = recorder_->stop();
            dictation_->sourceApp = dictationSourceApp_;
            overlay_->show(OverlayMode::loading);
            state_ = AppState::transcribing;
            setStatusIcon("ellipsis.circle", "Transcribing");
            if (dictateMenuItem_) dictateMenuItem_->setTitle("Transcribing...");
            services_.mainExecutor.post([self = shared_from_this(), dictation = dictation_] { self->runDictation(dictation); });
            break;
        }
        case AppState::transcribing:
            // One dictation at a time: the press is ignored.
            break;
    }
}

void AppDelegate::reportNoRecording(const std::string& reason) {
    services_.notifications.deliver({"Quorvel cannot record",
                                     "No microphone could be opened (" + reason +
                                         "). Connect or enable one in the sound settings, then dictate again."});
}

void AppDelegate::runDictation(const std::shared_ptr<Dictation>& dictation) {
    if (dictation != dictation_) return;  // the app ended meanwhile and kept the recording
    if (!dictation->buffer) {
        finishDictation(dictation);
        return;
    }
    {
        std::lock_guard lock(dictation->mutex);
        dictation->started = true;
    }
    // The engine works on the pool; the menu and the overlay stay live meanwhile.
    services_.taskPool.post([self = shared_from_this(), engine = transcriber_->engine(), dictation]() mutable {
        std::string text;
        std::exception_ptr error;
        try {
            foundation::CancellationScope scope(dictation->stop.get_token());
            text = engine->transcribe(*dictation->buffer);
        } catch (...) {
            error = std::current_exception();
        }
        engine.reset();
        {
            std::lock_guard lock(dictation->mutex);
            dictation->text = std::move(text);
            dictation->error = std::move(error);
        }
        // Everything moves to the main thread: nothing of the result stays behind on the pool. The
        // worker lets go of the delegate before it says it is done, for the end of the app waits on that.
        auto& executor = self->services_.mainExecutor;
        executor.post([self = std::move(self), dictation] { self->finishDictation(dictation); });
        {
            std::lock_guard lock(dictation->mutex);
            dictation->done = true;
        }
        dictation->changed.notify_all();
    });
}

void AppDelegate::finishDictation(const std::shared_ptr<Dictation>& dictation) {
    if (dictation != dictation_) return;  // the app ended meanwhile and kept what there was
    dictation_.reset();
    std::string text;
    std::exception_ptr error;
    {
        std::lock_guard lock(dictation->mutex);
        text = dictation->text;
        error = dictation->error;
    }
    if (error) {
        services_.print("[Quorvel] Error: " + describeError(error));
        keepFailedRecording(*dictation, error);
    } else {
        const std::string filtered = Transcriber::filterHallucinations(text);
        if (!foundation::text::trimmingWhitespaceAndNewlines(filtered).empty()) {
            injector_->inject(filtered);
            storage_->saveDictation(filtered, dictation->sourceApp);
        }
    }
    overlay_->hide();
    state_ = AppState::idle;
    resetMenubar();
}

void AppDelegate::keepFailedRecording(const Dictation& dictation, const std::exception_ptr& error) {
    const auto kept = storage_->saveDictationAudio(*dictation.buffer);
    if (kept) services_.print("[Quorvel] The recording is kept in " + kept->string());
    services_.notifications.deliver(
        {"Dictation failed", userDescription(error) + "\n" +
                                 (kept ? "The recording is kept in " + kept->string() : std::string("The recording could not be saved."))});
}

bool AppDelegate::applicationWillTerminate(std::chrono::milliseconds patience) {
    bool stopped = true;
    if (state_ == AppState::recording) {
        if (auto buffer = recorder_->stop()) {
            if (auto kept = storage_->saveDictationAudio(*buffer))
                services_.print("[Quorvel] Quitting while recording: the recording is kept in " + kept->string());
        }
    } else if (auto dictation = std::exchange(dictation_, nullptr)) {
        dictation->stop.request_stop();
        std::unique_lock lock(dictation->mutex);
        if (dictation->started)
            stopped = dictation->changed.wait_for(lock, patience, [&] { return dictation->done; });
        const bool transcribed = stopped && dictation->started && !dictation->error;
        const std::string text = transcribed ? Transcriber::filterHallucinations(dictation->text) : std::string();
        lock.unlock();
        if (transcribed) {
            // The text arrived but was never delivered: it is saved, there is no one to paste it to.
            if (!text.empty()) storage_->saveDictation(text, dictation->sourceApp);
        } else if (dictation->buffer) {
            if (auto kept = storage_->saveDictationAudio(*dictation->buffer))
                services_.print("[Quorvel] Quitting while transcribing: the recording is kept in " + kept->string());
        }
    }
    overlay_->hide();
    state_ = AppState::idle;
    return stopped;
}

bool runApplication(appkit::NSApplication& application, AppDelegate::Services services, std::chrono::milliseconds patience) {
    auto delegate = AppDelegate::make(std::move(services));
    application.setDelegate(delegate);
    application.setActivationPolicy(appkit::NSApplicationActivationPolicy::accessory);
    application.run();
    return delegate->applicationWillTerminate(patience);
}

}  // namespace quorvel

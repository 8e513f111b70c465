#include "Quorvel/AppDelegate.hpp"

#include <any>

#include "Platform/Foundation/Text.hpp"

namespace quorvel {

namespace {

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
    injector_ = std::make_unique<Injector>(s.pasteboard, s.events, s.mainExecutor);
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
            recorder_->startMic();
            overlay_->show(OverlayMode::recording);
            state_ = AppState::recording;
            setStatusIcon("mic.badge.plus", "Recording");
            if (dictateMenuItem_) dictateMenuItem_->setTitle("Stop Dictation  (⌥ Space)");
            break;
        }
        case AppState::recording: {
            auto buffer = recorder_->stop();
            overlay_->show(OverlayMode::loading);
            state_ = AppState::transcribing;
            setStatusIcon("ellipsis.circle", "Transcribing");
            if (dictateMenuItem_) dictateMenuItem_->setTitle("Transcribing...");
            services_.mainExecutor.post([self = shared_from_this(), buffer = std::move(buffer), source = dictationSourceApp_] {
                self->runDictation(buffer, source);
            });
            break;
        }
        case AppState::transcribing:
            // One dictation at a time: the press is ignored.
            break;
    }
}

void AppDelegate::runDictation(std::shared_ptr<avfoundation::AVAudioPCMBuffer> buffer,
                               std::optional<std::string> sourceApp) {
    if (!buffer) {
        finishDictation({}, nullptr, sourceApp);
        return;
    }
    // The engine works on the pool; the menu and the overlay stay live meanwhile.
    services_.taskPool.post([self = shared_from_this(), engine = transcriber_->engine(), buffer = std::move(buffer),
                             sourceApp = std::move(sourceApp)]() mutable {
        std::string text;
        std::exception_ptr error;
        try {
            text = engine->transcribe(*buffer);
        } catch (...) {
            error = std::current_exception();
        }
        // Everything moves to the main thread: nothing of the result stays behind on the pool.
        auto& executor = self->services_.mainExecutor;
        executor.post([self = std::move(self), text = std::move(text), error = std::move(error), sourceApp = std::move(sourceApp)] {
            self->finishDictation(text, error, sourceApp);
        });
    });
}

void AppDelegate::finishDictation(const std::string& text, const std::exception_ptr& error,
                                  const std::optional<std::string>& sourceApp) {
    if (error) {
        services_.print("[Quorvel] Error: " + describeError(error));
    } else {
        const std::string filtered = Transcriber::filterHallucinations(text);
        if (!foundation::text::trimmingWhitespaceAndNewlines(filtered).empty()) {
            injector_->inject(filtered);
            storage_->saveDictation(filtered, sourceApp);
        }
    }
    overlay_->hide();
    state_ = AppState::idle;
    resetMenubar();
}

void runApplication(appkit::NSApplication& application, AppDelegate::Services services) {
    auto delegate = AppDelegate::make(std::move(services));
    application.setDelegate(delegate);
    application.setActivationPolicy(appkit::NSApplicationActivationPolicy::accessory);
    application.run();
}

}  // namespace quorvel

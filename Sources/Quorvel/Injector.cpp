#include "Quorvel/Injector.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace quorvel {

namespace {

// Window classes of terminal emulators, lower case. The classic X terminals paste the primary
// selection with Shift+Insert and take Control+V as a literal ^V.
constexpr std::array<std::string_view, 8> shiftInsertTerminals{"xterm", "uxterm", "urxvt", "rxvt", "rxvt-unicode",
                                                               "st", "st-256color", "aterm"};
// The rest paste the clipboard with Control+Shift+V.
constexpr std::array<std::string_view, 22> controlShiftVTerminals{
    "gnome-terminal", "gnome-terminal-server", "kgx", "ptyxis", "konsole", "xfce4-terminal", "mate-terminal", "lxterminal",
    "qterminal", "terminator", "tilix", "guake", "tilda", "sakura", "terminology", "kitty", "alacritty", "wezterm",
    "org.wezfurlong.wezterm", "foot", "deepin-terminal", "cool-retro-term"};

constexpr quartz::CGEventFlags shiftMask = 0x20000;
constexpr quartz::CGEventFlags commandMask = 0x100000;

void restore(appkit::NSPasteboard& pasteboard, const std::vector<appkit::NSPasteboardItem>& items) {
    pasteboard.clearContents();
    if (!items.empty()) pasteboard.writeObjects(items);
}

}  // namespace

Injector::Injector(appkit::NSPasteboard& pasteboard, quartz::EventServices& events, foundation::MainExecutor& mainExecutor,
                   appkit::NSWorkspace* workspace, appkit::NSPasteboard* selection)
    : pasteboard_(pasteboard), events_(events), mainExecutor_(mainExecutor), workspace_(workspace), selection_(selection) {}

PasteKeystroke Injector::keystrokeFor(const std::optional<std::string>& application) {
    if (!application) return PasteKeystroke::commandV;
    std::string name = *application;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });
    const auto among = [&](const auto& names) { return std::find(names.begin(), names.end(), name) != names.end(); };
    if (among(shiftInsertTerminals)) return PasteKeystroke::shiftInsert;
    if (among(controlShiftVTerminals)) return PasteKeystroke::commandShiftV;
    return PasteKeystroke::commandV;
}

void Injector::inject(const std::string& text) {
    // What the pasteboard holds while an earlier paste waits is that paste's text, not the user's.
    if (pending_) settle(*pending_);
    pending_.reset();
    // The window that gets the keystroke is the one in front now, not the one of the dictation's start.
    const auto keystroke = keystrokeFor(workspace_ ? workspace_->frontmostApplicationName() : std::nullopt);
    auto previous = pasteboard_.pasteboardItems();
    pasteboard_.clearContents();
    pasteboard_.setString(text, appkit::NSPasteboardTypeString);
    const bool toSelection = keystroke == PasteKeystroke::shiftInsert && selection_;
    std::vector<appkit::NSPasteboardItem> previousSelection;
    if (toSelection) {
        previousSelection = selection_->pasteboardItems();
        selection_->clearContents();
        selection_->setString(text, appkit::NSPasteboardTypeString);
    }

    const quartz::CGKeyCode key = keystroke == PasteKeystroke::shiftInsert ? insertKeyCode : vKeyCode;
    auto keyDown = events_.createKeyboardEvent(key, true);
    auto keyUp = events_.createKeyboardEvent(key, false);
    if (!keyDown || !keyUp) return;
    switch (keystroke) {
        case PasteKeystroke::commandV: keyDown->flags = commandMask; break;
        case PasteKeystroke::commandShiftV: keyDown->flags = commandMask | shiftMask; break;
        case PasteKeystroke::shiftInsert: keyDown->flags = shiftMask; break;
    }
    events_.post(quartz::CGEventTapLocation::hidEventTap, *keyDown);
    events_.post(quartz::CGEventTapLocation::hidEventTap, *keyUp);

    pending_ = std::make_shared<PendingRestore>(PendingRestore{
        &pasteboard_, std::move(previous), toSelection ? selection_ : nullptr, std::move(previousSelection),
        toSelection ? selection_ : &pasteboard_, static_cast<int>(restorePatience / restoreDelay)});
    watch(mainExecutor_, pending_);
}

void Injector::watch(foundation::MainExecutor& executor, std::shared_ptr<PendingRestore> pending) {
    executor.scheduleAfter(restoreDelay, [&executor, pending = std::move(pending)]() mutable {
        if (pending->done) return;
        if (pending->watched->delivery() == appkit::NSPasteboardDelivery::waiting && --pending->looksLeft > 0) {
            watch(executor, std::move(pending));
            return;
        }
        settle(*pending);
    });
}

void Injector::settle(PendingRestore& pending) {
    if (pending.done) return;
    pending.done = true;
    // What another application put there since is the user's newer copy: it stays.
    if (pending.pasteboard->delivery() != appkit::NSPasteboardDelivery::replaced) restore(*pending.pasteboard, pending.previous);
    if (pending.selection && pending.selection->delivery() != appkit::NSPasteboardDelivery::replaced)
        restore(*pending.selection, pending.previousSelection);
}

}  // namespace quorvel

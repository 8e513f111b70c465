#pragma once
// Delivery of a dictation: the text is put on the general pasteboard and pasted with a synthetic
// keystroke into whatever application is in front; 0.1 s later the pasteboard gets back what it held.
// An X selection is not a store: the text is handed to the window only when the window asks for it,
// and a busy window may ask later than that. So while such a pasteboard reports that no reader has
// taken the text, the restore waits (looking every 0.1 s, for up to restorePatience); contents
// another application put there meanwhile are left alone.
// The keystroke is the one the focused window pastes with: Command-V (Control+V on the desktop) in
// text fields, Command-Shift-V in the terminal emulators that paste with Control+Shift+V, and
// Shift+Insert in the classic X terminals, which paste the primary selection: that selection then
// carries the text too, and gets its own contents back with the pasteboard.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/NSPasteboard.hpp"
#include "Platform/AppKit/NSWorkspace.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Quartz/CGEvent.hpp"

namespace quorvel {

enum class PasteKeystroke { commandV, commandShiftV, shiftInsert };

class Injector {
public:
    // The services outlive the injector and its pending restore. Without `workspace` every window gets
    // Command-V; without `selection` the primary selection is left alone.
    Injector(appkit::NSPasteboard& pasteboard, quartz::EventServices& events, foundation::MainExecutor& mainExecutor,
             appkit::NSWorkspace* workspace = nullptr, appkit::NSPasteboard* selection = nullptr);

    // Main thread. Every item the pasteboard held, in every type (text, an image, a file list), is put
    // back; when the keystroke cannot be made the text stays on the pasteboard for a manual paste. A
    // restore still waiting from the paste before is done first.
    void inject(const std::string& text);

    // The keystroke that pastes into a window of this application (its window class, any case).
    static PasteKeystroke keystrokeFor(const std::optional<std::string>& application);

    static constexpr quartz::CGKeyCode vKeyCode = 9;
    static constexpr quartz::CGKeyCode insertKeyCode = 114;  // Help on Apple keyboards, where PCs have Insert
    static constexpr auto restoreDelay = std::chrono::milliseconds(100);
    static constexpr auto restorePatience = std::chrono::seconds(5);

    struct PendingRestore {
        appkit::NSPasteboard* pasteboard;
        std::vector<appkit::NSPasteboardItem> previous;
        appkit::NSPasteboard* selection;  // null when the paste left the primary selection alone
        std::vector<appkit::NSPasteboardItem> previousSelection;
        appkit::NSPasteboard* watched;  // the one the keystroke pastes from
        int looksLeft;
        bool done = false;
    };

private:
    static void watch(foundation::MainExecutor& executor, std::shared_ptr<PendingRestore> pending);
    static void settle(PendingRestore& pending);

    appkit::NSPasteboard& pasteboard_;
    quartz::EventServices& events_;
    foundation::MainExecutor& mainExecutor_;
    appkit::NSWorkspace* workspace_;
    appkit::NSPasteboard* selection_;
    std::shared_ptr<PendingRestore> pending_;
};

}  // namespace quorvel

#include "Quorvel/Injector.hpp"

namespace quorvel {

Injector::Injector(appkit::NSPasteboard& pasteboard, quartz::EventServices& events, foundation::MainExecutor& mainExecutor)
    : pasteboard_(pasteboard), events_(events), mainExecutor_(mainExecutor) {}

void Injector::inject(const std::string& text) {
    auto previous = pasteboard_.pasteboardItems();
    pasteboard_.clearContents();
    pasteboard_.setString(text, appkit::NSPasteboardTypeString);

    auto keyDown = events_.createKeyboardEvent(vKeyCode, true);
    auto keyUp = events_.createKeyboardEvent(vKeyCode, false);
    if (!keyDown || !keyUp) return;
    keyDown->flags = quartz::kCGEventFlagMaskCommand;
    events_.post(quartz::CGEventTapLocation::hidEventTap, *keyDown);
    events_.post(quartz::CGEventTapLocation::hidEventTap, *keyUp);

    mainExecutor_.scheduleAfter(restoreDelay, [&pasteboard = pasteboard_, previous = std::move(previous)] {
        pasteboard.clearContents();
        if (!previous.empty()) pasteboard.writeObjects(previous);
    });
}

}  // namespace quorvel

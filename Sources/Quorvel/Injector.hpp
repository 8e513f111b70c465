#pragma once
// Delivery of a dictation: the text is put on the general pasteboard and pasted with a synthetic
// Command-V into whatever application is in front; 0.1 s later the pasteboard gets back what it held.
#include <string>

#include "Platform/AppKit/NSPasteboard.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Quartz/CGEvent.hpp"

namespace quorvel {

class Injector {
public:
    // The services outlive the injector and its pending restore.
    Injector(appkit::NSPasteboard& pasteboard, quartz::EventServices& events, foundation::MainExecutor& mainExecutor);

    // Main thread. Every item the pasteboard held, in every type (text, an image, a file list), is put
    // back; when the keystroke cannot be made the text stays on the pasteboard for a manual paste.
    void inject(const std::string& text);

    static constexpr quartz::CGKeyCode vKeyCode = 9;
    static constexpr auto restoreDelay = std::chrono::milliseconds(100);

private:
    appkit::NSPasteboard& pasteboard_;
    quartz::EventServices& events_;
    foundation::MainExecutor& mainExecutor_;
};

}  // namespace quorvel

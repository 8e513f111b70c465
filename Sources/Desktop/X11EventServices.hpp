#pragma once
// Keyboard events on X11. The "tap" grabs the watched key on the root window (XGrabKey) with its
// modifiers, every combination of extra modifiers (held extras still match) and of the lock modifiers
// (Caps Lock, Num Lock), and grabs again when the watched key changes. A combination that another
// client already holds is reported once on standard error; the menu still works. Synthetic key
// events go through XTest. Also the workspace: the active window's application, and opening files
// and URLs with xdg-open.
#include <memory>

#include "Platform/AppKit/NSWorkspace.hpp"
#include "Platform/Quartz/CGEvent.hpp"

namespace desktop {

class X11EventServices : public quartz::EventServices {
public:
    // GTK is initialised on an X11 display.
    X11EventServices();
    std::shared_ptr<quartz::CFMachPort> tapCreate(quartz::CGEventTapLocation location, quartz::CGEventTapPlacement placement,
                                                  quartz::CGEventTapOptions options, quartz::CGEventMask eventsOfInterest,
                                                  quartz::CGEventTapCallBack callback) override;
    // Nothing for a key this desktop has no keysym for, or without XTest.
    std::optional<quartz::CGEvent> createKeyboardEvent(quartz::CGKeyCode virtualKey, bool keyDown) override;
    // A key-down presses the modifiers of its flags, then the key; the next key-up of the same key
    // releases the key, then those modifiers.
    void post(quartz::CGEventTapLocation tap, const quartz::CGEvent& event) override;

private:
    bool hasXTest_ = false;
    std::vector<unsigned int> heldModifierKeycodes_;
};

class X11Workspace : public appkit::NSWorkspace {
public:
    // The class name (WM_CLASS) of the active window (_NET_ACTIVE_WINDOW), or without a window manager
    // of the window with the keyboard focus, as the user knows the app.
    std::optional<std::string> frontmostApplicationName() const override;
    bool open(const std::filesystem::path& file) override;
    bool openURL(std::string_view url) override;
};

}  // namespace desktop

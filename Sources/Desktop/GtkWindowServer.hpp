#pragma once
// Screens and floating panels on GTK. The main screen is the primary monitor; a panel is an
// undecorated, keep-above, click-through window that never takes focus, placed on the primary monitor
// with the platform's bottom-left origin, translucent where a compositor runs. It draws its content
// view's layers (rounded rectangles in grey) with cairo, 30 times a second while it is on the screen,
// so the layers' current values are what the user sees.
#include "Platform/AppKit/Views.hpp"

namespace desktop {

class GtkWindowServer : public appkit::WindowServer {
public:
    std::optional<appkit::NSScreen> mainScreen() const override;
    std::shared_ptr<appkit::NSPanel> makePanel(appkit::NSRect contentRect, appkit::NSWindowStyleMask styleMask,
                                               appkit::NSBackingStoreType backing, bool defer) override;
};

}  // namespace desktop

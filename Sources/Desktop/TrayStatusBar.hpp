#pragma once
// The status bar as a tray icon (StatusNotifierItem through AyatanaAppIndicator, which falls back to
// an XEmbed icon where no watcher runs). The item's menu is mirrored into a GTK menu, rebuilt in a
// later turn of the loop whenever the menu or one of its items changes.
#include <memory>

#include "Platform/AppKit/NSStatusBar.hpp"

namespace desktop {

class TrayStatusBar : public appkit::NSStatusBar {
public:
    std::shared_ptr<appkit::NSStatusItem> statusItem(appkit::CGFloat length) override;
};

// The freedesktop icon name shown for one of the app's symbol names.
const char* trayIconName(const std::string& symbolName);

}  // namespace desktop

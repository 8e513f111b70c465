#pragma once
// The system status bar and its items. A backend derives from NSStatusItem to show what is set.
#include <memory>
#include <optional>

#include "Platform/AppKit/Geometry.hpp"
#include "Platform/AppKit/NSImage.hpp"
#include "Platform/AppKit/NSMenu.hpp"

namespace appkit {

inline constexpr CGFloat NSVariableStatusItemLength = -1;

class NSStatusItem {
public:
    explicit NSStatusItem(CGFloat length) : length_(length) {}
    virtual ~NSStatusItem() = default;

    CGFloat length() const { return length_; }
    // The image of the item's button.
    const std::optional<NSImage>& image() const { return image_; }
    virtual void setImage(NSImage image) { image_ = std::move(image); }
    const std::shared_ptr<NSMenu>& menu() const { return menu_; }
    virtual void setMenu(std::shared_ptr<NSMenu> menu) { menu_ = std::move(menu); }

private:
    CGFloat length_;
    std::optional<NSImage> image_;
    std::shared_ptr<NSMenu> menu_;
};

class NSStatusBar {
public:
    virtual ~NSStatusBar() = default;
    // A new item in the system status bar; it stays there while the result is held.
    virtual std::shared_ptr<NSStatusItem> statusItem(CGFloat length) = 0;
};

}  // namespace appkit

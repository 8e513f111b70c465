#pragma once
// The small view and layer model the overlay and the alerts are made of, screens, and floating panels.
// Views and layers are plain main-thread objects; a backend draws them from their current values.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/AppKit/Geometry.hpp"

namespace appkit {

class CALayer {
public:
    NSRect frame;
    CGFloat cornerRadius = 0;
    bool masksToBounds = false;
    std::optional<NSColor> backgroundColor;
    CGFloat borderWidth = 0;
    std::optional<NSColor> borderColor;
    // Keys whose changes are never animated implicitly ("position", "bounds", ...).
    std::set<std::string> disabledActions;
    std::vector<std::shared_ptr<CALayer>> sublayers;

    void addSublayer(std::shared_ptr<CALayer> layer) { sublayers.push_back(std::move(layer)); }
};

class NSView {
public:
    explicit NSView(NSRect frame = {}) : frame(frame) {}
    virtual ~NSView() = default;

    NSRect frame;
    bool wantsLayer = false;
    std::shared_ptr<CALayer> layer;  // present once wantsLayer was set through makeLayerBacked()
    std::vector<std::shared_ptr<NSView>> subviews;

    // Sets wantsLayer and gives the view its backing layer, the size of the view.
    CALayer& makeLayerBacked();
    void addSubview(std::shared_ptr<NSView> view) { subviews.push_back(std::move(view)); }
};

class NSVisualEffectView : public NSView {
public:
    enum class Material { titlebar, menu, popover, sidebar, headerView, sheet, windowBackground, hudWindow };
    enum class BlendingMode { behindWindow, withinWindow };
    enum class State { followsWindowActiveState, active, inactive };

    using NSView::NSView;
    Material material = Material::windowBackground;
    BlendingMode blendingMode = BlendingMode::behindWindow;
    State state = State::followsWindowActiveState;
};

enum class NSTextAlignment { left, center, right, justified, natural };

class NSTextField : public NSView {
public:
    using NSView::NSView;
    bool isEditable = true;
    NSTextAlignment alignment = NSTextAlignment::natural;
    std::string placeholderString;

    const std::string& stringValue() const { return stringValue_; }
    // Reported to the backend, which shows the new text at once (also during a modal session).
    void setStringValue(std::string value) {
        stringValue_ = std::move(value);
        if (onChange) onChange();
    }
    std::function<void()> onChange;

private:
    std::string stringValue_;
};

struct NSScreen {
    NSRect frame;
};

using NSWindowStyleMask = uint64_t;
inline constexpr NSWindowStyleMask NSWindowStyleMaskBorderless = 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskNonactivatingPanel = 1 << 7;

enum class NSBackingStoreType { retained, nonretained, buffered };

using NSWindowCollectionBehavior = uint64_t;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorCanJoinAllSpaces = 1 << 0;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorStationary = 1 << 4;

// A panel: a borderless window of its own. A backend derives from it to put it on the screen.
class NSPanel {
public:
    NSPanel(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing, bool defer)
        : contentRect(contentRect), styleMask(styleMask), backing(backing), defer(defer) {}
    virtual ~NSPanel() = default;

    const NSRect contentRect;
    const NSWindowStyleMask styleMask;
    const NSBackingStoreType backing;
    const bool defer;
    int64_t level = 0;
    bool isOpaque = true;
    NSColor backgroundColor{1, 1};
    bool hasShadow = true;
    bool ignoresMouseEvents = false;
    NSWindowCollectionBehavior collectionBehavior = 0;
    std::shared_ptr<NSView> contentView = std::make_shared<NSView>(NSRect(0, 0, contentRect.size.width, contentRect.size.height));

    // In front of every window, whichever application is active.
    virtual void orderFrontRegardless() { visible_ = true; }
    virtual void orderOut() { visible_ = false; }
    bool isVisible() const { return visible_; }

private:
    bool visible_ = false;
};

// The screens and the windows on them.
class WindowServer {
public:
    virtual ~WindowServer() = default;
    // The screen with the key window or the menu bar; nothing on a machine without a display.
    virtual std::optional<NSScreen> mainScreen() const = 0;
    virtual std::shared_ptr<NSPanel> makePanel(NSRect contentRect, NSWindowStyleMask styleMask,
                                               NSBackingStoreType backing, bool defer) = 0;
};

}  // namespace appkit

#include "Desktop/X11EventServices.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Desktop/KeyCodes.hpp"

namespace desktop {

namespace {

Display* xDisplay() { return gdk_x11_get_default_xdisplay(); }

// The modifier mask that Num Lock sets on this server (Mod2 on nearly every keyboard).
unsigned int numLockMask(Display* display) {
    unsigned int mask = 0;
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(display);
    if (map && numLock) {
        for (int modifier = 0; modifier < 8; ++modifier)
            for (int k = 0; k < map->max_keypermod; ++k)
                if (map->modifiermap[modifier * map->max_keypermod + k] == numLock) mask = 1u << modifier;
    }
    if (map) XFreeModifiermap(map);
    return mask ? mask : Mod2Mask;
}

std::string chordName(unsigned long keysym, unsigned int modifiers) {
    std::string name;
    if (modifiers & ControlMask) name += "Control+";
    if (modifiers & Mod1Mask) name += "Alt+";
    if (modifiers & ShiftMask) name += "Shift+";
    if (modifiers & Mod4Mask) name += "Super+";
    const char* key = XKeysymToString(keysym);
    return name + (key ? key : "?");
}

class X11Tap : public quartz::CFMachPort {
public:
    X11Tap(quartz::CGEventMask mask, quartz::CGEventTapCallBack callback) : mask_(mask), callback_(std::move(callback)) {}
    ~X11Tap() override { invalidate(); }

    void addToMainRunLoop() override {
        if (filtering_ || invalid_) return;
        gdk_window_add_filter(nullptr, filter, this);
        filtering_ = true;
    }
    void enable(bool enabled) override { enabled_ = enabled; }
    void invalidate() override {
        if (invalid_) return;
        invalid_ = true;
        ungrab();
        if (filtering_) gdk_window_remove_filter(nullptr, filter, this);
        filtering_ = false;
    }

    void watchKey(quartz::CGKeyCode keyCode, quartz::CGEventFlags flags) override {
        if (invalid_) return;
        if (watched_ && watchedKey_ == keyCode && watchedFlags_ == flags) return;
        ungrab();
        watched_ = true;
        watchedKey_ = keyCode;
        watchedFlags_ = flags;
        grab();
    }

private:
    void grab() {
        Display* display = xDisplay();
        auto keysym = keysymForKeyCode(watchedKey_);
        const KeyCode keycode = keysym ? XKeysymToKeycode(display, *keysym) : 0;
        if (!keycode) {
            std::fprintf(stderr, "[Quorvel] The hotkey's key (code %u) has no key on this keyboard; use the menu to dictate.\n",
                         static_cast<unsigned>(watchedKey_));
            return;
        }
        grabbedKeycode_ = keycode;
        const unsigned int required = xModifiersForFlags(watchedFlags_);
        const unsigned int extras = (ShiftMask | ControlMask | Mod1Mask | Mod4Mask) & ~required;
        const unsigned int locks[] = {0u, LockMask, numLockMask(display), LockMask | numLockMask(display)};
        Window root = DefaultRootWindow(display);

        GdkDisplay* gdkDisplay = gdk_display_get_default();
        gdk_x11_display_error_trap_push(gdkDisplay);
        // Every subset of the extra modifiers, by walking the submasks of `extras`.
        for (unsigned int extra = extras;; extra = (extra - 1) & extras) {
            for (unsigned int lock : locks)
                XGrabKey(display, keycode, required | extra | lock, root, False, GrabModeAsync, GrabModeAsync);
            if (extra == 0) break;
        }
        XSync(display, False);
        if (gdk_x11_display_error_trap_pop(gdkDisplay) != 0) {
            std::fprintf(stderr, "[Quorvel] The hotkey %s is held by another application; use the menu to dictate.\n",
                         chordName(*keysym, required).c_str());
        }
    }

    void ungrab() {
        if (!grabbedKeycode_) return;
        Display* display = xDisplay();
        GdkDisplay* gdkDisplay = gdk_display_get_default();
        gdk_x11_display_error_trap_push(gdkDisplay);
        XUngrabKey(display, grabbedKeycode_, AnyModifier, DefaultRootWindow(display));
        XSync(display, False);
        gdk_x11_display_error_trap_pop_ignored(gdkDisplay);
        grabbedKeycode_ = 0;
    }

    static GdkFilterReturn filter(GdkXEvent* native, GdkEvent*, gpointer data) {
        auto* self = static_cast<X11Tap*>(data);
        auto* event = static_cast<XEvent*>(native);
        if ((event->type != KeyPress && event->type != KeyRelease) || !self->grabbedKeycode_ ||
            event->xkey.keycode != self->grabbedKeycode_ || event->xkey.window != DefaultRootWindow(event->xkey.display))
            return GDK_FILTER_CONTINUE;
        // The grab already kept the key from every other client; key releases have nothing to do.
        if (event->type == KeyRelease) return GDK_FILTER_REMOVE;
        const auto type = quartz::CGEventType::keyDown;
        if (self->enabled_ && (self->mask_ & quartz::CGEventMaskBit(type)) && self->callback_) {
            const quartz::CGEvent key{type, self->watchedKey_, flagsForXModifiers(event->xkey.state)};
            self->callback_(type, key);
        }
        return GDK_FILTER_REMOVE;
    }

    quartz::CGEventMask mask_;
    quartz::CGEventTapCallBack callback_;
    bool enabled_ = false;
    bool filtering_ = false;
    bool invalid_ = false;
    bool watched_ = false;
    quartz::CGKeyCode watchedKey_ = 0;
    quartz::CGEventFlags watchedFlags_ = 0;
    unsigned int grabbedKeycode_ = 0;
};

}  // namespace

X11EventServices::X11EventServices() {
    int event = 0, error = 0, major = 0, minor = 0;
    hasXTest_ = GDK_IS_X11_DISPLAY(gdk_display_get_default()) && XTestQueryExtension(xDisplay(), &event, &error, &major, &minor);
}

std::shared_ptr<quartz::CFMachPort> X11EventServices::tapCreate(quartz::CGEventTapLocation, quartz::CGEventTapPlacement,
                                                                quartz::CGEventTapOptions, quartz::CGEventMask eventsOfInterest,
                                                                quartz::CGEventTapCallBack callback) {
    return std::make_shared<X11Tap>(eventsOfInterest, std::move(callback));
}

std::optional<quartz::CGEvent> X11EventServices::createKeyboardEvent(quartz::CGKeyCode virtualKey, bool keyDown) {
    if (!hasXTest_ || !keysymForKeyCode(virtualKey)) return std::nullopt;
    return quartz::CGEvent{keyDown ? quartz::CGEventType::keyDown : quartz::CGEventType::keyUp, virtualKey, 0};
}

void X11EventServices::post(quartz::CGEventTapLocation, const quartz::CGEvent& event) {
    Display* display = xDisplay();
    auto keysym = keysymForKeyCode(event.keyboardEventKeycode);
    const KeyCode keycode = keysym ? XKeysymToKeycode(display, *keysym) : 0;
    if (!keycode || !hasXTest_) return;
    if (event.type == quartz::CGEventType::keyDown) {
        const unsigned int modifiers = xModifiersForFlags(event.flags);
        const std::pair<unsigned int, KeySym> modifierKeys[] = {
            {ControlMask, XK_Control_L}, {ShiftMask, XK_Shift_L}, {Mod1Mask, XK_Alt_L}, {Mod4Mask, XK_Super_L}};
        for (auto [mask, sym] : modifierKeys) {
            if (!(modifiers & mask)) continue;
            if (KeyCode code = XKeysymToKeycode(display, sym)) {
                XTestFakeKeyEvent(display, code, True, CurrentTime);
                heldModifierKeycodes_.push_back(code);
            }
        }
        XTestFakeKeyEvent(display, keycode, True, CurrentTime);
    } else if (event.type == quartz::CGEventType::keyUp) {
        XTestFakeKeyEvent(display, keycode, False, CurrentTime);
        for (auto it = heldModifierKeycodes_.rbegin(); it != heldModifierKeycodes_.rend(); ++it)
            XTestFakeKeyEvent(display, *it, False, CurrentTime);
        heldModifierKeycodes_.clear();
    }
    XFlush(display);
}

namespace {

// The class name of the window or of its nearest ancestor that has one (the focus may be on a child).
std::optional<std::string> classOf(Display* display, Window window) {
    for (int depth = 0; window != None && depth < 32; ++depth) {
        XClassHint hint{nullptr, nullptr};
        if (XGetClassHint(display, window, &hint)) {
            std::optional<std::string> name;
            if (hint.res_class && *hint.res_class) name = hint.res_class;
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
            if (name) return name;
        }
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) break;
        if (children) XFree(children);
        if (parent == root) break;
        window = parent;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> X11Workspace::frontmostApplicationName() const {
    Display* display = xDisplay();
    GdkDisplay* gdkDisplay = gdk_display_get_default();
    gdk_x11_display_error_trap_push(gdkDisplay);
    Window active = None;
    // The window manager's active window; without one, the window that has the keyboard focus.
    const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
    if (activeAtom != None) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, DefaultRootWindow(display), activeAtom, 0, 1, False, XA_WINDOW, &type, &format,
                               &count, &remaining, &data) == Success &&
            data && count == 1 && format == 32)
            active = *reinterpret_cast<Window*>(data);
        if (data) XFree(data);
    }
    if (active == None) {
        int revert = 0;
        XGetInputFocus(display, &active, &revert);
        if (active == PointerRoot) active = None;
    }
    auto name = active != None ? classOf(display, active) : std::nullopt;
    gdk_x11_display_error_trap_pop_ignored(gdkDisplay);
    return name;
}

namespace {

bool xdgOpen(const std::string& target) {
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(target.c_str()), nullptr};
    GError* error = nullptr;
    const bool started = g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, &error);
    if (error) g_error_free(error);
    return started;
}

}  // namespace

bool X11Workspace::open(const std::filesystem::path& file) { return xdgOpen(file.string()); }

bool X11Workspace::openURL(std::string_view url) { return xdgOpen(std::string(url)); }

}  // namespace desktop

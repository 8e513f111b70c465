// The desktop backends on a virtual X server: the main loop as executor, the hotkey grabs, the
// clipboard and the synthetic paste.
// GoogleTest first: the X headers define macros (None, Bool) that its names would run into.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>

#include <atomic>
#include <memory>
#include <thread>

#include "Desktop/GLibMainExecutor.hpp"
#include "Desktop/GtkApplication.hpp"
#include "Desktop/GtkPasteboard.hpp"
#include "Desktop/KeyCodes.hpp"
#include "Desktop/X11EventServices.hpp"
#include "DesktopTests/DesktopSession.hpp"
#include "DesktopTests/DesktopTestSupport.hpp"

namespace {

using namespace std::chrono_literals;
using desktoptest::desktopSession;
using desktoptest::spinFor;
using desktoptest::spinUntil;

TEST(GLibMainExecutor, PostedJobsAreDeferredAndRunInOrderTimersFireAndCancel) {
    desktop::GLibMainExecutor executor;
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());  // never inline, even on the main thread
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    int repeats = 0, once = 0, cancelled = 0;
    const auto start = executor.now();
    auto repeating = executor.scheduleRepeating(10ms, [&] { ++repeats; });
    executor.scheduleAfter(30ms, [&] { ++once; });
    auto doomed = executor.scheduleAfter(20ms, [&] { ++cancelled; });
    executor.cancel(doomed);
    ASSERT_TRUE(spinUntil([&] { return once == 1 && repeats >= 3; }));
    EXPECT_GE(executor.now() - start, 30ms);
    executor.cancel(repeating);
    const int seen = repeats;
    spinFor(50ms);
    EXPECT_EQ(repeats, seen);
    EXPECT_EQ(cancelled, 0);
    executor.cancel(repeating);  // twice, or unknown: nothing
    executor.cancel(12345);

    // From another thread: the loop wakes up and runs the job on its own thread.
    EXPECT_TRUE(executor.isMainThread());
    std::atomic<bool> onMain{false}, ran{false};
    std::thread([&] {
        EXPECT_FALSE(executor.isMainThread());
        executor.post([&] {
            onMain = executor.isMainThread();
            ran = true;
        });
    }).join();
    ASSERT_TRUE(spinUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain);
}

TEST(KeyCodes, NamedKeysAndModifiersRoundTrip) {
    for (int64_t code : {0, 9, 15, 36, 48, 49, 51, 53, 96, 111, 122, 126}) {
        auto keysym = desktop::keysymForKeyCode(code);
        ASSERT_TRUE(keysym) << code;
        EXPECT_EQ(desktop::keyCodeForKeysym(*keysym), code);
    }
    EXPECT_EQ(desktop::keyCodeForKeysym(XK_R), 15);  // shifted letters name the same key
    EXPECT_FALSE(desktop::keysymForKeyCode(52));
    for (uint64_t flags : {0x0ull, 0x20000ull, 0x120000ull, 0x1E0000ull})
        EXPECT_EQ(desktop::flagsForXModifiers(desktop::xModifiersForFlags(flags)), flags);
    EXPECT_EQ(desktop::xModifiersForFlags(0x100000), static_cast<unsigned>(ControlMask));  // Command+V pastes with Control
    EXPECT_EQ(desktop::flagsForXModifiers(LockMask | Mod2Mask), 0u);
}

class HotkeyGrab : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_DESKTOP();
        typist = XOpenDisplay(desktopSession()->name().c_str());
        ASSERT_TRUE(typist);
        events = std::make_unique<desktop::X11EventServices>();
        tap = events->tapCreate(quartz::CGEventTapLocation::sessionEventTap, quartz::CGEventTapPlacement::headInsertEventTap,
                               quartz::CGEventTapOptions::defaultTap, quartz::CGEventMaskBit(quartz::CGEventType::keyDown),
                               [this](quartz::CGEventType, const quartz::CGEvent& event) {
                                   seen.push_back(event);
                                   return std::optional<quartz::CGEvent>();
                               });
        tap->addToMainRunLoop();
        tap->enable(true);
    }
    void TearDown() override {
        if (tap) tap->invalidate();
        if (typist) XCloseDisplay(typist);
    }
    // Types the chord and gives the tap time to see it.
    size_t type(const std::vector<std::string>& modifiers, const std::string& key) {
        const size_t before = seen.size();
        desktoptest::pressKey(typist, modifiers, key);
        spinUntil([&] { return seen.size() > before; }, 500ms);
        return seen.size() - before;
    }

    std::unique_ptr<desktop::X11EventServices> events;
    std::shared_ptr<quartz::CFMachPort> tap;
    std::vector<quartz::CGEvent> seen;
    Display* typist = nullptr;
};

TEST_F(HotkeyGrab, TheWatchedChordWithExtraAndLockModifiersIsSeenAndRegrabbedOnChange) {
    tap->watchKey(49, 0x80000);  // Option+Space
    ASSERT_EQ(type({"Alt_L"}, "space"), 1u);
    EXPECT_EQ(seen.back().type, quartz::CGEventType::keyDown);
    EXPECT_EQ(seen.back().keyboardEventKeycode, 49);
    EXPECT_EQ(seen.back().flags & 0x80000, 0x80000u);
    EXPECT_EQ(type({"Alt_L", "Control_L"}, "space"), 1u);  // an extra modifier still matches
    EXPECT_EQ(type({}, "space"), 0u);                      // the bare key is not the hotkey

    desktoptest::pressKey(typist, {}, "Caps_Lock");
    EXPECT_EQ(type({"Alt_L"}, "space"), 1u) << "Caps Lock on";
    desktoptest::pressKey(typist, {}, "Caps_Lock");
    desktoptest::pressKey(typist, {}, "Num_Lock");
    EXPECT_EQ(type({"Alt_L"}, "space"), 1u) << "Num Lock on";
    desktoptest::pressKey(typist, {}, "Num_Lock");

    tap->watchKey(96, 0);  // F5, any modifiers
    EXPECT_EQ(type({"Alt_L"}, "space"), 0u);
    EXPECT_EQ(type({}, "F5"), 1u);
    EXPECT_EQ(seen.back().keyboardEventKeycode, 96);
    EXPECT_EQ(type({"Shift_L"}, "F5"), 1u);

    tap->enable(false);
    EXPECT_EQ(type({}, "F5"), 0u);
}

TEST_F(HotkeyGrab, AChordAnotherClientHoldsIsReportedOnceAndNotSeen) {
    const Window root = DefaultRootWindow(typist);
    XGrabKey(typist, XKeysymToKeycode(typist, XK_r), ControlMask | ShiftMask, root, False, GrabModeAsync, GrabModeAsync);
    XSync(typist, False);
    testing::internal::CaptureStderr();
    tap->watchKey(15, 0x120000);  // Command+Shift+R is Control+Shift+R here
    tap->watchKey(15, 0x120000);  // the same chord again: nothing new
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "[Quorvel] The hotkey Control+Shift+r is held by another application; use the menu to dictate.\n");
    XUngrabKey(typist, AnyKey, AnyModifier, root);
    XSync(typist, False);
}

TEST(Clipboard, EveryTargetIsSavedAndRestoredAndCommandVPastesIt) {
    REQUIRE_DESKTOP();
    desktop::GtkPasteboard pasteboard;
    appkit::NSPasteboardItem rich;
    rich.setData("text/html", "<b>abc</b>");
    rich.setData("UTF8_STRING", "abc");
    ASSERT_TRUE(pasteboard.writeObjects({rich}));
    auto saved = pasteboard.pasteboardItems();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].data("text/html"), "<b>abc</b>");
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "abc");

    // What the paste does: the dictated text replaces it, a synthetic Command+V pastes it into the
    // focused window, then the saved targets come back.
    const int64_t changes = pasteboard.changeCount();
    EXPECT_GT(pasteboard.clearContents(), changes);
    EXPECT_FALSE(pasteboard.string(appkit::NSPasteboardTypeString));
    ASSERT_TRUE(pasteboard.setString("dictated — текст", appkit::NSPasteboardTypeString));

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(window), entry);
    gtk_widget_show_all(window);
    ASSERT_TRUE(spinUntil([&] { return gtk_widget_get_mapped(window); }));
    gdk_window_focus(gtk_widget_get_window(window), GDK_CURRENT_TIME);
    gtk_widget_grab_focus(entry);
    spinFor(100ms);

    desktop::X11EventServices events;
    auto down = events.createKeyboardEvent(9, true);
    auto up = events.createKeyboardEvent(9, false);
    ASSERT_TRUE(down && up);
    down->flags = 0x100000;
    events.post(quartz::CGEventTapLocation::hidEventTap, *down);
    events.post(quartz::CGEventTapLocation::hidEventTap, *up);
    EXPECT_TRUE(spinUntil([&] { return std::string(gtk_entry_get_text(GTK_ENTRY(entry))) == "dictated — текст"; }))
        << gtk_entry_get_text(GTK_ENTRY(entry));

    pasteboard.clearContents();
    pasteboard.writeObjects(saved);
    auto restored = pasteboard.pasteboardItems();
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored[0].data("text/html"), "<b>abc</b>");
    EXPECT_EQ(restored[0].data("UTF8_STRING"), "abc");
    gtk_widget_destroy(window);
}

}  // namespace

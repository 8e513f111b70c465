// A dictation pasted by the app's injector over the real desktop backends reaches a GTK entry and an
// xterm (which takes Control+V as a literal ^V and pastes the primary selection on Shift+Insert), and
// the clipboard and the primary selection get their contents back afterwards.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "Desktop/GLibMainExecutor.hpp"
#include "Desktop/GtkPasteboard.hpp"
#include "Desktop/X11EventServices.hpp"
#include "DesktopTests/DesktopSession.hpp"
#include "DesktopTests/DesktopTestSupport.hpp"
#include "HubServer/HubServer.hpp"
#include "Quorvel/Injector.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktoptest::spinFor;
using desktoptest::spinUntil;

// The top-level window of the given class, once it is mapped.
Window mappedWindowOfClass(Display* display, const std::string& windowClass) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = None;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return None;
    for (unsigned int i = 0; i < count && found == None; ++i) {
        XClassHint hint{nullptr, nullptr};
        if (!XGetClassHint(display, children[i], &hint)) continue;
        XWindowAttributes attributes;
        if (hint.res_class && windowClass == hint.res_class && XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable)
            found = children[i];
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    if (children) XFree(children);
    return found;
}

// Without a window manager the test gives the focus, and puts the pointer there too.
void focus(Display* display, Window window) {
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    XWarpPointer(display, None, window, 0, 0, 0, 0, attributes.width / 2, attributes.height / 2);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

// Asks for `selection` as UTF8_STRING over a connection of its own, as another application does,
// while this process's main loop serves the request: the text, or nullopt when none was given.
std::optional<std::string> readSelection(Display* reader, const char* selection) {
    const Window window = XCreateSimpleWindow(reader, DefaultRootWindow(reader), 0, 0, 1, 1, 0, 0, 0);
    const Atom property = XInternAtom(reader, "QUORVEL_TEST_READ", False);
    XConvertSelection(reader, XInternAtom(reader, selection, False), XInternAtom(reader, "UTF8_STRING", False), property,
                      window, CurrentTime);
    XFlush(reader);
    std::optional<std::string> text;
    bool answered = false;
    spinUntil([&] {
        while (!answered && XPending(reader)) {
            XEvent event;
            XNextEvent(reader, &event);
            if (event.type != SelectionNotify) continue;
            answered = true;
            if (event.xselection.property == None) break;
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(reader, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &items,
                                   &after, &data) == Success &&
                data)
                text = std::string(reinterpret_cast<const char*>(data), items);
            if (data) XFree(data);
        }
        return answered;
    });
    XDestroyWindow(reader, window);
    XFlush(reader);
    return text;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PasteTarget, TheTextReachesAGtkEntryAndAnXtermAndBothSelectionsComeBack) {
    REQUIRE_DESKTOP();
    const auto xterm = desktoptest::findProgram("xterm");
    if (!xterm) GTEST_SKIP() << "xterm is not installed (scripts/setup.sh installs it)";
    Display* display = gdk_x11_get_default_xdisplay();

    desktop::GLibMainExecutor executor;
    desktop::GtkPasteboard clipboard;
    desktop::GtkPasteboard primary(desktop::GtkPasteboard::Selection::primary);
    desktop::X11EventServices events;
    desktop::X11Workspace workspace;
    quorvel::Injector injector(clipboard, events, executor, &workspace, &primary);
    const auto bothComeBack = [&] {
        return clipboard.string(appkit::NSPasteboardTypeString) == "copied before" &&
               primary.string(appkit::NSPasteboardTypeString) == "selected before";
    };

    // A GTK entry pastes with Control+V.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(window), entry);
    gtk_widget_show_all(window);
    ASSERT_TRUE(spinUntil([&] { return gtk_widget_get_mapped(window); }));
    focus(display, GDK_WINDOW_XID(gtk_widget_get_window(window)));
    gtk_widget_grab_focus(entry);
    spinFor(100ms);
    clipboard.setString("copied before", appkit::NSPasteboardTypeString);
    primary.setString("selected before", appkit::NSPasteboardTypeString);
    injector.inject("dictated into GTK");
    EXPECT_TRUE(spinUntil([&] { return std::string(gtk_entry_get_text(GTK_ENTRY(entry))) == "dictated into GTK"; }))
        << gtk_entry_get_text(GTK_ENTRY(entry));
    EXPECT_TRUE(spinUntil(bothComeBack));

    // An xterm whose shell hands every byte it gets to a file at once.
    hubtest::TemporaryFolder folder;
    const fs::path typed = folder.path() / "typed";
    const std::string text = "dictated into xterm";
    desktoptest::AppProcess terminal(
        *xterm, {{"DISPLAY", desktoptest::desktopSession()->name()}}, folder.path() / "xterm.log",
        {"-geometry", "80x10+0+300", "-e", "sh", "-c", "stty -icanon -echo; head -c " + std::to_string(text.size()) + " > " + typed.string()});
    Window terminalWindow = None;
    ASSERT_TRUE(spinUntil([&] { return (terminalWindow = mappedWindowOfClass(display, "XTerm")) != None; }, 10s))
        << terminal.log();
    spinFor(300ms);  // the shell has set its terminal up
    focus(display, terminalWindow);
    spinFor(100ms);
    injector.inject(text);
    EXPECT_TRUE(spinUntil([&] { return readFile(typed) == text; }, 5s)) << "typed: \"" << readFile(typed) << "\"";
    EXPECT_TRUE(spinUntil(bothComeBack));
    gtk_widget_destroy(window);
}

// An X selection is handed over only when a reader asks. A window that asks long after the keystroke
// (a busy one) still gets the dictated text, and the clipboard gets its own contents back after it.
TEST(PasteTarget, AWindowThatAsksLateStillGetsTheText) {
    REQUIRE_DESKTOP();
    Display* reader = XOpenDisplay(desktoptest::desktopSession()->name().c_str());
    ASSERT_TRUE(reader);
    desktop::GLibMainExecutor executor;
    desktop::GtkPasteboard clipboard;
    desktop::X11EventServices events;
    quorvel::Injector injector(clipboard, events, executor);
    clipboard.setString("copied before", appkit::NSPasteboardTypeString);
    injector.inject("dictated, read late");
    EXPECT_EQ(clipboard.delivery(), appkit::NSPasteboardDelivery::waiting);
    spinFor(400ms);
    EXPECT_EQ(readSelection(reader, "CLIPBOARD"), "dictated, read late");
    EXPECT_TRUE(spinUntil([&] { return clipboard.string(appkit::NSPasteboardTypeString) == "copied before"; }));

    // Another application taking the clipboard over is seen, and our own next contents wait again.
    clipboard.setString("ours", appkit::NSPasteboardTypeString);
    EXPECT_EQ(clipboard.delivery(), appkit::NSPasteboardDelivery::waiting);
    const Window owner = XCreateSimpleWindow(reader, DefaultRootWindow(reader), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(reader, XInternAtom(reader, "CLIPBOARD", False), owner, CurrentTime);
    XFlush(reader);
    EXPECT_TRUE(spinUntil([&] { return clipboard.delivery() == appkit::NSPasteboardDelivery::replaced; }));
    XDestroyWindow(reader, owner);
    XCloseDisplay(reader);
    clipboard.setString("ours again", appkit::NSPasteboardTypeString);
    EXPECT_EQ(clipboard.delivery(), appkit::NSPasteboardDelivery::waiting);
}

}  // namespace

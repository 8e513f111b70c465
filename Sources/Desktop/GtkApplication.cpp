#include "Desktop/GtkApplication.hpp"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

namespace desktop {

namespace {

gboolean onSignal(gpointer data) {
    static_cast<GtkApplication*>(data)->terminate();
    return G_SOURCE_CONTINUE;
}

}  // namespace

bool claimSingleInstance() {
    Display* display = gdk_x11_get_default_xdisplay();
    const Atom name = XInternAtom(display, "_QUORVEL_INSTANCE", False);
    // The selection stays ours as long as this connection is open, and goes with the process however it ends.
    const Window owner = XCreateSimpleWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0, 0);
    XGrabServer(display);  // no other instance can look between our look and our claim
    const bool free = XGetSelectionOwner(display, name) == None;
    if (free) XSetSelectionOwner(display, name, owner, CurrentTime);
    XUngrabServer(display);
    XSync(display, False);
    return free && XGetSelectionOwner(display, name) == owner;
}

bool openDisplay() {
    // The backends speak X11 (key grabs, XTest, the active window), so GTK is held to it.
    gdk_set_allowed_backends("x11");
    return gtk_init_check(nullptr, nullptr);
}

GtkApplication::GtkApplication(foundation::MainExecutor& mainExecutor) : mainExecutor_(mainExecutor) {
    // GLib's handlers only note the signal; the loop then ends in its own turn, so nothing unsafe runs
    // in the handler. Installed at once, so that a signal during start-up also ends the app cleanly; a
    // second one while the app winds down is noted and changes nothing.
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) signalSources_.push_back(g_unix_signal_add(signal, onSignal, this));
}

GtkApplication::~GtkApplication() {
    // Removing the last source puts the default action back; the app is ending already, so a further
    // signal is ignored rather than cutting its end short.
    for (guint source : signalSources_) g_source_remove(source);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) std::signal(signal, SIG_IGN);
}

void GtkApplication::run() {
    if (terminated_) return;
    mainExecutor_.post([delegate = delegate_] {
        if (auto live = delegate.lock()) live->applicationDidFinishLaunching();
    });
    gtk_main();
}

void GtkApplication::terminate() {
    terminated_ = true;
    if (gtk_main_level() > 0) gtk_main_quit();
}

}  // namespace desktop

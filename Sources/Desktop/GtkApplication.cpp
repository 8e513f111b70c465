#include "Desktop/GtkApplication.hpp"

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

bool openDisplay() {
    // The backends speak X11 (key grabs, XTest, the active window), so GTK is held to it.
    gdk_set_allowed_backends("x11");
    return gtk_init_check(nullptr, nullptr);
}

void GtkApplication::run() {
    if (terminated_) return;
    const guint term = g_unix_signal_add(SIGTERM, onSignal, this);
    const guint interrupt = g_unix_signal_add(SIGINT, onSignal, this);
    mainExecutor_.post([delegate = delegate_] {
        if (auto live = delegate.lock()) live->applicationDidFinishLaunching();
    });
    gtk_main();
    g_source_remove(term);
    g_source_remove(interrupt);
}

void GtkApplication::terminate() {
    terminated_ = true;
    if (gtk_main_level() > 0) gtk_main_quit();
}

}  // namespace desktop

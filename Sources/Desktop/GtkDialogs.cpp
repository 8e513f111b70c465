#include "Desktop/GtkDialogs.hpp"

#include <gtk/gtk.h>
#include <libnotify/notify.h>

#include <cstdio>

#include "Desktop/KeyCodes.hpp"
#include "Platform/AppKit/Views.hpp"

namespace desktop {

namespace {

GtkMessageType messageType(appkit::NSAlertStyle style) {
    switch (style) {
        case appkit::NSAlertStyle::informational: return GTK_MESSAGE_INFO;
        case appkit::NSAlertStyle::critical: return GTK_MESSAGE_ERROR;
        case appkit::NSAlertStyle::warning: break;
    }
    return GTK_MESSAGE_WARNING;
}

gboolean onKeyPress(GtkWidget*, GdkEventKey* key, gpointer data) {
    auto* dialogs = static_cast<GtkDialogs*>(data);
    if (isModifierKeysym(key->keyval)) return FALSE;
    // Keys are named by their unshifted symbol, as a key code names the physical key.
    guint keyval = key->keyval;
    GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_display_get_default());
    guint* keyvals = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keycode(keymap, key->hardware_keycode, nullptr, &keyvals, &count) && count > 0)
        keyval = keyvals[0];
    g_free(keyvals);
    auto keyCode = keyCodeForKeysym(keyval);
    if (!keyCode) keyCode = keyCodeForKeysym(key->keyval);
    if (!keyCode) return FALSE;
    const appkit::NSEvent event{appkit::NSEventType::keyDown, static_cast<uint16_t>(*keyCode), flagsForXModifiers(key->state)};
    return dialogs->deliver(event) ? FALSE : TRUE;
}

}  // namespace

appkit::NSModalResponse GtkDialogs::runModal(const appkit::NSAlert& alert) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, messageType(alert.alertStyle), GTK_BUTTONS_NONE,
                                               "%s", alert.messageText.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), "Quorvel");
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    // The first button is the default and sits at the trailing end, as GTK places primary buttons.
    std::vector<std::string> buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (size_t i = buttons.size(); i-- > 0;)
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<gint>(i));
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);

    auto field = std::dynamic_pointer_cast<appkit::NSTextField>(alert.accessoryView);
    if (field) {
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_placeholder_text(GTK_ENTRY(entry), field->placeholderString.c_str());
        gtk_entry_set_text(GTK_ENTRY(entry), field->stringValue().c_str());
        gtk_editable_set_editable(GTK_EDITABLE(entry), field->isEditable);
        gtk_entry_set_alignment(GTK_ENTRY(entry), field->alignment == appkit::NSTextAlignment::center ? 0.5f : 0.0f);
        gtk_widget_set_size_request(entry, static_cast<gint>(field->frame.size.width), static_cast<gint>(field->frame.size.height));
        gtk_box_pack_start(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))), entry, FALSE, FALSE, 0);
        gtk_widget_show(entry);
        field->onChange = [entry, weak = std::weak_ptr<appkit::NSTextField>(field)] {
            if (auto live = weak.lock()) gtk_entry_set_text(GTK_ENTRY(entry), live->stringValue().c_str());
        };
    }
    // Key presses reach the monitors before the dialog's own keys (Return, Escape) act.
    g_signal_connect(dialog, "key-press-event", G_CALLBACK(onKeyPress), this);

    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (field) field->onChange = nullptr;
    gtk_widget_destroy(dialog);
    if (response >= 0 && static_cast<size_t>(response) < buttons.size()) return appkit::NSAlertFirstButtonReturn + response;
    return NSModalResponseAbort;
}

appkit::EventMonitoring::MonitorID GtkDialogs::addLocalMonitorForEvents(appkit::NSEventMask mask, Handler handler) {
    const MonitorID id = next_++;
    monitors_.emplace(id, Monitor{mask, std::move(handler)});
    return id;
}

std::optional<appkit::NSEvent> GtkDialogs::deliver(const appkit::NSEvent& event) {
    std::optional<appkit::NSEvent> current = event;
    const auto bit = appkit::NSEventMask{1} << static_cast<uint32_t>(event.type);
    // A copy: a handler may remove monitors.
    auto monitors = monitors_;
    for (auto& [id, monitor] : monitors) {
        if (!(monitor.mask & bit)) continue;
        current = monitor.handler(*current);
        if (!current) return std::nullopt;
    }
    return current;
}

LibnotifyNotificationCenter::LibnotifyNotificationCenter() { ready_ = notify_init("Quorvel"); }

LibnotifyNotificationCenter::~LibnotifyNotificationCenter() {
    if (ready_) notify_uninit();
}

void LibnotifyNotificationCenter::deliver(const notifications::NSUserNotification& notification) {
    GError* error = nullptr;
    bool shown = false;
    if (ready_) {
        NotifyNotification* note =
            notify_notification_new(notification.title.c_str(), notification.informativeText.c_str(), "audio-input-microphone");
        shown = notify_notification_show(note, &error);
        g_object_unref(note);
    }
    if (!shown && !warned_) {
        warned_ = true;
        std::fprintf(stderr, "[Quorvel] Notification not shown (%s): %s\n", error ? error->message : "no notification service",
                     notification.title.c_str());
    }
    if (error) g_error_free(error);
}

}  // namespace desktop

#pragma once
// Alerts as modal GTK message dialogs, application-local key monitors that see the key presses of
// those dialogs (the custom-hotkey dialog records keys this way), and notifications through libnotify.
#include <map>

#include "Platform/AppKit/NSAlert.hpp"
#include "Platform/AppKit/NSEvent.hpp"
#include "Platform/Notifications/NSUserNotification.hpp"

namespace desktop {

class GtkDialogs : public appkit::AlertPresenting, public appkit::EventMonitoring {
public:
    // Answers NSAlertFirstButtonReturn + the button's index; closing the dialog without a button
    // answers NSModalResponseAbort, which is no button.
    appkit::NSModalResponse runModal(const appkit::NSAlert& alert) override;
    MonitorID addLocalMonitorForEvents(appkit::NSEventMask mask, Handler handler) override;
    void removeMonitor(MonitorID monitor) override { monitors_.erase(monitor); }

    // Runs a key-down through the monitors in the order they were added; nothing when consumed.
    std::optional<appkit::NSEvent> deliver(const appkit::NSEvent& event);

private:
    struct Monitor {
        appkit::NSEventMask mask;
        Handler handler;
    };
    std::map<MonitorID, Monitor> monitors_;
    MonitorID next_ = 1;
};

inline constexpr appkit::NSModalResponse NSModalResponseAbort = -1001;

class LibnotifyNotificationCenter : public notifications::NSUserNotificationCenter {
public:
    LibnotifyNotificationCenter();
    ~LibnotifyNotificationCenter() override;
    // Without a notification service the notification is lost, said once on standard error.
    void deliver(const notifications::NSUserNotification& notification) override;

private:
    bool ready_ = false;
    bool warned_ = false;
};

}  // namespace desktop

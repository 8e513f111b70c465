#pragma once
// User notifications: a title and an informative text, delivered at once by the default centre.
#include <string>

namespace notifications {

struct NSUserNotification {
    std::string title;
    std::string informativeText;
};

class NSUserNotificationCenter {
public:
    virtual ~NSUserNotificationCenter() = default;
    virtual void deliver(const NSUserNotification& notification) = 0;
};

}  // namespace notifications

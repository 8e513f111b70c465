#pragma once
// The application object: its delegate, activation policy and event loop.
#include <memory>

namespace appkit {

class NSApplicationDelegate {
public:
    virtual ~NSApplicationDelegate() = default;
    // Once, on the main thread, when the event loop has started.
    virtual void applicationDidFinishLaunching() {}
};

enum class NSApplicationActivationPolicy { regular, accessory, prohibited };

class NSApplication {
public:
    virtual ~NSApplication() = default;
    // Held weakly, as the platform does; the caller keeps the delegate alive.
    virtual void setDelegate(std::weak_ptr<NSApplicationDelegate> delegate) = 0;
    virtual bool setActivationPolicy(NSApplicationActivationPolicy policy) = 0;
    // Runs the main event loop on the calling thread until terminate().
    virtual void run() = 0;
    virtual void terminate() = 0;
};

}  // namespace appkit

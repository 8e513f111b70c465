#pragma once
// Key events as the application sees them, and application-local event monitors.
#include <cstdint>
#include <functional>
#include <optional>

namespace appkit {

enum class NSEventType : uint32_t { keyDown = 10, keyUp = 11, flagsChanged = 12 };
using NSEventMask = uint64_t;
inline constexpr NSEventMask NSEventMaskKeyDown = NSEventMask{1} << static_cast<uint32_t>(NSEventType::keyDown);

// Device-independent modifier bits.
using NSEventModifierFlags = uint64_t;
inline constexpr NSEventModifierFlags NSEventModifierFlagShift = 1 << 17;
inline constexpr NSEventModifierFlags NSEventModifierFlagControl = 1 << 18;
inline constexpr NSEventModifierFlags NSEventModifierFlagOption = 1 << 19;
inline constexpr NSEventModifierFlags NSEventModifierFlagCommand = 1 << 20;
inline constexpr NSEventModifierFlags NSEventModifierFlagDeviceIndependentFlagsMask = 0xffff0000;

struct NSEvent {
    NSEventType type = NSEventType::keyDown;
    uint16_t keyCode = 0;  // virtual key code
    NSEventModifierFlags modifierFlags = 0;
    bool operator==(const NSEvent&) const = default;
};

class EventMonitoring {
public:
    using MonitorID = uint64_t;
    // Returns the event to deliver (possibly changed), or nothing to consume it.
    using Handler = std::function<std::optional<NSEvent>(const NSEvent&)>;

    virtual ~EventMonitoring() = default;
    // Sees the matching events this application receives (also during a modal session), on the main thread.
    virtual MonitorID addLocalMonitorForEvents(NSEventMask mask, Handler handler) = 0;
    virtual void removeMonitor(MonitorID monitor) = 0;
};

}  // namespace appkit

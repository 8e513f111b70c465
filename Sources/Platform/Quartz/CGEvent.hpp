#pragma once
// Quartz event services: session-wide event taps, and synthetic keyboard events posted as if typed.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quartz {

using CGKeyCode = uint16_t;  // virtual key code
using CGEventFlags = uint64_t;
using CGEventMask = uint64_t;

inline constexpr CGEventFlags kCGEventFlagMaskShift = 0x20000;
inline constexpr CGEventFlags kCGEventFlagMaskControl = 0x40000;
inline constexpr CGEventFlags kCGEventFlagMaskAlternate = 0x80000;
inline constexpr CGEventFlags kCGEventFlagMaskCommand = 0x100000;

enum class CGEventType : uint32_t {
    null = 0,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    // Notices, not events: the system switched the tap off.
    tapDisabledByTimeout = 0xFFFFFFFE,
    tapDisabledByUserInput = 0xFFFFFFFF,
};

// The notices have no bit: they reach every tap.
inline constexpr CGEventMask CGEventMaskBit(CGEventType type) {
    const auto bit = static_cast<uint32_t>(type);
    return bit < 64 ? CGEventMask{1} << bit : 0;
}

struct CGEvent {
    CGEventType type = CGEventType::null;
    int64_t keyboardEventKeycode = 0;  // the keyboard event's key-code field
    CGEventFlags flags = 0;
    bool operator==(const CGEvent&) const = default;
};

enum class CGEventTapLocation { hidEventTap, sessionEventTap, annotatedSessionEventTap };
enum class CGEventTapPlacement { headInsertEventTap, tailAppendEventTap };
enum class CGEventTapOptions { defaultTap, listenOnly };

// Called for every event the tap sees: returns the event to pass on, or nothing to swallow it.
using CGEventTapCallBack = std::function<std::optional<CGEvent>(CGEventType type, const CGEvent& event)>;

// An installed tap. It sees events only once added to the main run loop and enabled; invalidating
// it (or dropping the last reference) removes it, and its callback is never called again.
class CFMachPort {
public:
    virtual ~CFMachPort() = default;
    // Makes a run-loop source for the port and adds it to the main run loop in the common modes.
    virtual void addToMainRunLoop() = 0;
    virtual void enable(bool enabled) = 0;
    virtual void invalidate() = 0;
    // The key and modifiers its owner acts on. A tap that cannot see every key (a desktop where keys
    // are grabbed one by one) watches this one; a tap that sees all keys ignores it.
    virtual void watchKey(CGKeyCode, CGEventFlags) {}
};

class EventServices {
public:
    virtual ~EventServices() = default;
    // Nothing when the system refuses the tap (no permission to watch the keyboard).
    virtual std::shared_ptr<CFMachPort> tapCreate(CGEventTapLocation location, CGEventTapPlacement placement,
                                                  CGEventTapOptions options, CGEventMask eventsOfInterest,
                                                  CGEventTapCallBack callback) = 0;
    // A key-down or key-up of the virtual key, without an event source; nothing when it cannot be made.
    virtual std::optional<CGEvent> createKeyboardEvent(CGKeyCode virtualKey, bool keyDown) = 0;
    virtual void post(CGEventTapLocation tap, const CGEvent& event) = 0;
};

}  // namespace quartz

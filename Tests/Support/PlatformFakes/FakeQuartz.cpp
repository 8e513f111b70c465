#include "PlatformFakes/FakeQuartz.hpp"

#include <algorithm>

namespace fakes {

struct FakeEventServices::Tap : quartz::CFMachPort {
    quartz::CGEventTapLocation location;
    quartz::CGEventTapOptions options;
    quartz::CGEventMask mask;
    quartz::CGEventTapCallBack callback;
    bool inRunLoop = false;
    bool enabled = false;
    bool valid = true;

    void addToMainRunLoop() override { inRunLoop = true; }
    void enable(bool on) override { enabled = on; }
    void invalidate() override {
        valid = false;
        callback = nullptr;
    }
};

std::shared_ptr<quartz::CFMachPort> FakeEventServices::tapCreate(quartz::CGEventTapLocation location,
                                                                 quartz::CGEventTapPlacement placement,
                                                                 quartz::CGEventTapOptions options,
                                                                 quartz::CGEventMask eventsOfInterest,
                                                                 quartz::CGEventTapCallBack callback) {
    if (refuseTaps) return nullptr;
    auto tap = std::make_shared<Tap>();
    tap->location = location;
    tap->options = options;
    tap->mask = eventsOfInterest;
    tap->callback = std::move(callback);
    if (placement == quartz::CGEventTapPlacement::headInsertEventTap)
        taps_.insert(taps_.begin(), tap);
    else
        taps_.push_back(tap);
    return tap;
}

std::optional<quartz::CGEvent> FakeEventServices::createKeyboardEvent(quartz::CGKeyCode virtualKey, bool keyDown) {
    if (failEventCreation) return std::nullopt;
    return quartz::CGEvent{keyDown ? quartz::CGEventType::keyDown : quartz::CGEventType::keyUp, virtualKey, 0};
}

std::optional<quartz::CGEvent> FakeEventServices::deliver(const quartz::CGEvent& event) {
    std::optional<quartz::CGEvent> current = event;
    // A copy: a callback may install or drop taps.
    auto taps = taps_;
    for (auto& weak : taps) {
        auto tap = weak.lock();
        if (!tap || !tap->valid || !tap->inRunLoop || !tap->enabled || !tap->callback) continue;
        // The notices that a tap was disabled reach it whatever it asked for.
        const bool notice = current->type == quartz::CGEventType::tapDisabledByTimeout ||
                            current->type == quartz::CGEventType::tapDisabledByUserInput;
        if (!notice && !(tap->mask & quartz::CGEventMaskBit(current->type))) continue;
        auto callback = tap->callback;
        auto result = callback(current->type, *current);
        if (tap->options == quartz::CGEventTapOptions::listenOnly) continue;
        current = result;
        if (!current) break;
    }
    return current;
}

size_t FakeEventServices::liveTapCount() const {
    return static_cast<size_t>(std::count_if(taps_.begin(), taps_.end(), [](const std::weak_ptr<Tap>& weak) {
        auto tap = weak.lock();
        return tap && tap->valid;
    }));
}

}  // namespace fakes

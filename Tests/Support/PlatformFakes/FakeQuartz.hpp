#pragma once
// In-memory Quartz event services: taps that see the events a test types, and a record of the posted
// synthetic events.
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Quartz/CGEvent.hpp"

namespace fakes {

class FakeEventServices : public quartz::EventServices {
public:
    std::shared_ptr<quartz::CFMachPort> tapCreate(quartz::CGEventTapLocation location,
                                                  quartz::CGEventTapPlacement placement,
                                                  quartz::CGEventTapOptions options, quartz::CGEventMask eventsOfInterest,
                                                  quartz::CGEventTapCallBack callback) override;
    std::optional<quartz::CGEvent> createKeyboardEvent(quartz::CGKeyCode virtualKey, bool keyDown) override;
    void post(quartz::CGEventTapLocation tap, const quartz::CGEvent& event) override {
        posted.push_back({tap, event});
    }

    // Runs an event through every live, enabled tap that asked for its type, the most recent first;
    // nothing when a tap swallowed it.
    std::optional<quartz::CGEvent> deliver(const quartz::CGEvent& event);
    std::optional<quartz::CGEvent> keyDown(int64_t keyCode, quartz::CGEventFlags flags = 0) {
        return deliver({quartz::CGEventType::keyDown, keyCode, flags});
    }
    // Taps that are installed and not invalidated.
    size_t liveTapCount() const;

    bool refuseTaps = false;
    bool failEventCreation = false;
    struct Posted {
        quartz::CGEventTapLocation tap;
        quartz::CGEvent event;
    };
    std::vector<Posted> posted;

    struct Tap;

private:
    std::vector<std::weak_ptr<Tap>> taps_;
};

}  // namespace fakes

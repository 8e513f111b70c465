#pragma once
// Modal alerts: what they say and which buttons they have; a presenter runs them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/Views.hpp"

namespace appkit {

using NSModalResponse = int64_t;
inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;
inline constexpr NSModalResponse NSAlertSecondButtonReturn = 1001;
inline constexpr NSModalResponse NSAlertThirdButtonReturn = 1002;

enum class NSAlertStyle { warning, informational, critical };

struct NSAlert {
    std::string messageText;
    std::string informativeText;
    NSAlertStyle alertStyle = NSAlertStyle::warning;
    std::vector<std::string> buttons;  // left to right in reading order; the first is the default
    std::shared_ptr<NSView> accessoryView;

    void addButton(std::string title) { buttons.push_back(std::move(title)); }
};

class AlertPresenting {
public:
    virtual ~AlertPresenting() = default;
    // Shows the alert and runs a modal session on the main thread until a button is chosen; the
    // answer is NSAlertFirstButtonReturn + the button's index.
    virtual NSModalResponse runModal(const NSAlert& alert) = 0;
};

}  // namespace appkit

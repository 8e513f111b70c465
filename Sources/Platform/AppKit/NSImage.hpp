#pragma once
// A symbol image by name, as the status item shows it.
#include <string>

#include "Platform/AppKit/Geometry.hpp"

namespace appkit {

struct NSImage {
    std::string symbolName;
    std::string accessibilityDescription;
    NSSize size;
    // Drawn in the menu bar's own colour rather than its own colours.
    bool isTemplate = false;

    static NSImage systemSymbol(std::string name, std::string accessibilityDescription) {
        return NSImage{std::move(name), std::move(accessibilityDescription), NSSize{}, false};
    }
    bool operator==(const NSImage&) const = default;
};

}  // namespace appkit

#include "Platform/AppKit/NSPasteboard.hpp"

namespace appkit {

std::vector<NSPasteboardType> NSPasteboardItem::types() const {
    std::vector<NSPasteboardType> result;
    result.reserve(entries.size());
    for (auto& entry : entries) result.push_back(entry.first);
    return result;
}

std::optional<std::string> NSPasteboardItem::data(std::string_view type) const {
    for (auto& [name, bytes] : entries)
        if (name == type) return bytes;
    return std::nullopt;
}

void NSPasteboardItem::setData(std::string_view type, std::string bytes) {
    for (auto& [name, existing] : entries) {
        if (name == type) {
            existing = std::move(bytes);
            return;
        }
    }
    entries.emplace_back(std::string(type), std::move(bytes));
}

}  // namespace appkit

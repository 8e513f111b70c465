#pragma once
// The general pasteboard: items, each holding its data in one or more types.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace appkit {

using NSPasteboardType = std::string;
inline const NSPasteboardType NSPasteboardTypeString = "public.utf8-plain-text";

// One item and its representations in declared order (text, rich text, an image, a file URL...).
struct NSPasteboardItem {
    std::vector<std::pair<NSPasteboardType, std::string>> entries;

    std::vector<NSPasteboardType> types() const;
    std::optional<std::string> data(std::string_view type) const;
    void setData(std::string_view type, std::string data);
    bool operator==(const NSPasteboardItem&) const = default;
};

// Where the contents last set on a pasteboard stand with the applications that read it.
enum class NSPasteboardDelivery {
    stored,    // the pasteboard keeps its own copy: a reader may come at any time
    waiting,   // handed out only when a reader asks (an X selection), and no reader has yet
    read,      // handed out at least once
    replaced,  // another application has put its own contents there since
};

class NSPasteboard {
public:
    virtual ~NSPasteboard() = default;
    // Counts every change of ownership; each clearContents() adds one.
    virtual int64_t changeCount() const = 0;
    // Empties the pasteboard; returns the new change count.
    virtual int64_t clearContents() = 0;
    // The string of the first item that has the type.
    virtual std::optional<std::string> string(std::string_view type) const = 0;
    virtual bool setString(std::string_view text, std::string_view type) = 0;
    // Copies of every item with all of its types.
    virtual std::vector<NSPasteboardItem> pasteboardItems() const = 0;
    // Adds the items after those already there.
    virtual bool writeObjects(const std::vector<NSPasteboardItem>& items) = 0;
    // Of the contents last set here. A pasteboard that stores its contents has nothing to report.
    virtual NSPasteboardDelivery delivery() const { return NSPasteboardDelivery::stored; }
};

}  // namespace appkit

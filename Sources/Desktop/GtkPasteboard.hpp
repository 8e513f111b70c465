#pragma once
// The general pasteboard as the CLIPBOARD selection (or, made so, the PRIMARY selection that X
// terminals paste with Shift+Insert). Reading asks the owner for every target it
// offers (the X meta targets aside), so a save and restore gives back exactly what was there; each
// item type is an X target name, and the plain-text type is UTF-8 text. The data stays in this
// process and is handed to each reader that asks, so delivery() can tell whether one has.
#include <memory>

#include "Platform/AppKit/NSPasteboard.hpp"

typedef struct _GtkClipboard GtkClipboard;

namespace desktop {

class GtkPasteboard : public appkit::NSPasteboard {
public:
    enum class Selection { clipboard, primary };
    explicit GtkPasteboard(Selection selection = Selection::clipboard);

    int64_t changeCount() const override { return changeCount_; }
    int64_t clearContents() override;
    std::optional<std::string> string(std::string_view type) const override;
    bool setString(std::string_view text, std::string_view type) override;
    std::vector<appkit::NSPasteboardItem> pasteboardItems() const override;
    // The clipboard holds one item at a time: the items' types are offered together, the first
    // item's data winning for a type that several carry.
    bool writeObjects(const std::vector<appkit::NSPasteboardItem>& items) override;
    appkit::NSPasteboardDelivery delivery() const override;

    // What the data offered to X shares with the pasteboard (it may outlive it, until GTK drops it).
    struct Holding {
        uint64_t generation = 0;  // of the contents set last; each change adds one
        bool held = false;        // those contents are ours and on offer
        int64_t reads = 0;        // times a reader was handed them
        bool replaced = false;    // another client took the selection from them
    };

private:
    GtkClipboard* clipboard() const;
    // Offers the item's types, the plain-text type as every text target X readers ask for.
    bool offer(appkit::NSPasteboardItem item);
    Selection selection_;
    int64_t changeCount_ = 0;
    std::shared_ptr<Holding> holding_ = std::make_shared<Holding>();
};

}  // namespace desktop

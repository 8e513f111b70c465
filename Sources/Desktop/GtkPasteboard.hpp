#pragma once
// The general pasteboard as the CLIPBOARD selection (or, made so, the PRIMARY selection that X
// terminals paste with Shift+Insert). Reading asks the owner for every target it
// offers (the X meta targets aside), so a save and restore gives back exactly what was there; each
// item type is an X target name, and the plain-text type is UTF-8 text.
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

private:
    GtkClipboard* clipboard() const;
    Selection selection_;
    int64_t changeCount_ = 0;
};

}  // namespace desktop

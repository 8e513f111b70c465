#include "Desktop/GtkPasteboard.hpp"

#include <gtk/gtk.h>

#include <memory>

namespace desktop {

namespace {

bool isTextType(std::string_view type) {
    return type == appkit::NSPasteboardTypeString || type == "UTF8_STRING" || type == "text/plain;charset=utf-8";
}

// Targets that describe the selection rather than hold its data.
bool isMetaTarget(std::string_view name) {
    return name == "TARGETS" || name == "TIMESTAMP" || name == "MULTIPLE" || name == "SAVE_TARGETS" ||
           name == "DELETE" || name == "INSERT_PROPERTY" || name == "INSERT_SELECTION";
}

// The info of the text targets, beside each other type's index among the item's entries.
constexpr guint kTextInfo = G_MAXUINT;

struct Offered {
    std::shared_ptr<GtkPasteboard::Holding> holding;
    uint64_t generation = 0;
    appkit::NSPasteboardItem item;

    bool current() const { return holding->held && holding->generation == generation; }
};

void provide(GtkClipboard*, GtkSelectionData* selection, guint index, gpointer data) {
    auto* offered = static_cast<Offered*>(data);
    if (index == kTextInfo) {
        const auto text = offered->item.data(appkit::NSPasteboardTypeString);
        if (!text) return;
        gtk_selection_data_set_text(selection, text->data(), static_cast<gint>(text->size()));
    } else {
        if (index >= offered->item.entries.size()) return;
        const auto& bytes = offered->item.entries[index].second;
        gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                               reinterpret_cast<const guchar*>(bytes.data()), static_cast<gint>(bytes.size()));
    }
    if (offered->current()) ++offered->holding->reads;
}

void release(GtkClipboard*, gpointer data) {
    std::unique_ptr<Offered> offered(static_cast<Offered*>(data));
    // Dropped while still on offer: another client took the selection (our own changes move the
    // generation on first).
    if (offered->current()) {
        offered->holding->held = false;
        offered->holding->replaced = true;
    }
}

}  // namespace

GtkPasteboard::GtkPasteboard(Selection selection) : selection_(selection) {}

GtkClipboard* GtkPasteboard::clipboard() const {
    return gtk_clipboard_get(selection_ == Selection::primary ? GDK_SELECTION_PRIMARY : GDK_SELECTION_CLIPBOARD);
}

int64_t GtkPasteboard::clearContents() {
    *holding_ = Holding{holding_->generation + 1};
    gtk_clipboard_clear(clipboard());
    // Owned by another client, the selection is emptied by giving it no owner at all.
    gtk_selection_owner_set(nullptr, selection_ == Selection::primary ? GDK_SELECTION_PRIMARY : GDK_SELECTION_CLIPBOARD,
                            GDK_CURRENT_TIME);
    return ++changeCount_;
}

std::optional<std::string> GtkPasteboard::string(std::string_view type) const {
    if (!isTextType(type)) {
        for (auto& item : pasteboardItems())
            if (auto data = item.data(type)) return data;
        return std::nullopt;
    }
    gchar* text = gtk_clipboard_wait_for_text(clipboard());
    if (!text) return std::nullopt;
    std::string result(text);
    g_free(text);
    return result;
}

bool GtkPasteboard::setString(std::string_view text, std::string_view type) {
    if (!isTextType(type)) {
        appkit::NSPasteboardItem item;
        item.setData(type, std::string(text));
        return writeObjects({item});
    }
    appkit::NSPasteboardItem item;
    item.setData(appkit::NSPasteboardTypeString, std::string(text));
    const bool owned = offer(std::move(item));
    ++changeCount_;
    return owned;
}

std::vector<appkit::NSPasteboardItem> GtkPasteboard::pasteboardItems() const {
    GdkAtom* targets = nullptr;
    gint count = 0;
    if (!gtk_clipboard_wait_for_targets(clipboard(), &targets, &count) || count == 0) {
        g_free(targets);
        return {};
    }
    appkit::NSPasteboardItem item;
    for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(targets[i]);
        const std::string target = name ? name : "";
        g_free(name);
        if (target.empty() || isMetaTarget(target) || item.data(target)) continue;
        GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard(), targets[i]);
        if (!selection) continue;
        const gint length = gtk_selection_data_get_length(selection);
        if (length >= 0) {
            const guchar* bytes = gtk_selection_data_get_data(selection);
            item.entries.emplace_back(target, std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
        }
        gtk_selection_data_free(selection);
    }
    g_free(targets);
    if (item.entries.empty()) return {};
    return {item};
}

bool GtkPasteboard::writeObjects(const std::vector<appkit::NSPasteboardItem>& items) {
    appkit::NSPasteboardItem merged;
    for (auto& item : items)
        for (auto& [type, bytes] : item.entries)
            if (!merged.data(type)) merged.entries.emplace_back(type, bytes);
    if (merged.entries.empty()) return true;
    const bool owned = offer(std::move(merged));
    ++changeCount_;
    return owned;
}

bool GtkPasteboard::offer(appkit::NSPasteboardItem item) {
    *holding_ = Holding{holding_->generation + 1};
    auto offered = std::make_unique<Offered>(Offered{holding_, holding_->generation, std::move(item)});
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    const auto& entries = offered->item.entries;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].first == appkit::NSPasteboardTypeString)
            gtk_target_list_add_text_targets(list, kTextInfo);
        else
            gtk_target_list_add(list, gdk_atom_intern(entries[i].first.c_str(), FALSE), 0, static_cast<guint>(i));
    }
    gint count = 0;
    GtkTargetEntry* targets = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    Offered* raw = offered.release();
    const bool owned = gtk_clipboard_set_with_data(clipboard(), targets, static_cast<guint>(count), provide, release, raw);
    gtk_target_table_free(targets, count);
    if (owned)
        holding_->held = true;
    else
        delete raw;
    return owned;
}

appkit::NSPasteboardDelivery GtkPasteboard::delivery() const {
    if (holding_->replaced) return appkit::NSPasteboardDelivery::replaced;
    // Nothing of ours on offer: nothing to wait for.
    if (!holding_->held) return appkit::NSPasteboardDelivery::stored;
    return holding_->reads > 0 ? appkit::NSPasteboardDelivery::read : appkit::NSPasteboardDelivery::waiting;
}

}  // namespace desktop

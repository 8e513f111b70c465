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

struct Offered {
    appkit::NSPasteboardItem item;
};

void provide(GtkClipboard*, GtkSelectionData* selection, guint index, gpointer data) {
    auto* offered = static_cast<Offered*>(data);
    if (index >= offered->item.entries.size()) return;
    const auto& bytes = offered->item.entries[index].second;
    gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                           reinterpret_cast<const guchar*>(bytes.data()), static_cast<gint>(bytes.size()));
}

void release(GtkClipboard*, gpointer data) { delete static_cast<Offered*>(data); }

}  // namespace

GtkPasteboard::GtkPasteboard(Selection selection) : selection_(selection) {}

GtkClipboard* GtkPasteboard::clipboard() const {
    return gtk_clipboard_get(selection_ == Selection::primary ? GDK_SELECTION_PRIMARY : GDK_SELECTION_CLIPBOARD);
}

int64_t GtkPasteboard::clearContents() {
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
    gtk_clipboard_set_text(clipboard(), text.data(), static_cast<gint>(text.size()));
    ++changeCount_;
    return true;
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
    auto offered = std::make_unique<Offered>();
    for (auto& item : items)
        for (auto& [type, bytes] : item.entries)
            if (!offered->item.data(type)) offered->item.entries.emplace_back(type, bytes);
    if (offered->item.entries.empty()) return true;
    std::vector<GtkTargetEntry> targets;
    targets.reserve(offered->item.entries.size());
    for (size_t i = 0; i < offered->item.entries.size(); ++i)
        targets.push_back(GtkTargetEntry{const_cast<gchar*>(offered->item.entries[i].first.c_str()), 0, static_cast<guint>(i)});
    Offered* raw = offered.release();
    const bool owned = gtk_clipboard_set_with_data(clipboard(), targets.data(), static_cast<guint>(targets.size()), provide,
                                                   release, raw);
    if (!owned) delete raw;
    ++changeCount_;
    return owned;
}

}  // namespace desktop

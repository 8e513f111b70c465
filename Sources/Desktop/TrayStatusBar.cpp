#include "Desktop/TrayStatusBar.hpp"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <string>

namespace desktop {

namespace {

class TrayStatusItem : public appkit::NSStatusItem, public std::enable_shared_from_this<TrayStatusItem> {
public:
    explicit TrayStatusItem(appkit::CGFloat length) : NSStatusItem(length) {
        indicator_ = app_indicator_new("quorvel", trayIconName("mic.fill"), APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
        app_indicator_set_title(indicator_, "Quorvel");
        // An indicator without a menu is not shown at all.
        GtkWidget* placeholder = gtk_menu_new();
        app_indicator_set_menu(indicator_, GTK_MENU(placeholder));
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    }

    ~TrayStatusItem() override {
        if (rebuild_) g_source_remove(rebuild_);
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
        g_object_unref(indicator_);
    }

    void setImage(appkit::NSImage image) override {
        app_indicator_set_icon_full(indicator_, trayIconName(image.symbolName), image.accessibilityDescription.c_str());
        NSStatusItem::setImage(std::move(image));
    }

    void setMenu(std::shared_ptr<appkit::NSMenu> menu) override {
        NSStatusItem::setMenu(menu);
        observe(menu);
        scheduleRebuild();
    }

private:
    void observe(const std::shared_ptr<appkit::NSMenu>& menu) {
        if (!menu) return;
        menu->setOnChange([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->scheduleRebuild();
        });
        for (auto& item : menu->items()) observe(item->submenu());
    }

    // Coalesced, and never while a GTK item's own activation is still on the stack.
    void scheduleRebuild() {
        if (rebuild_) return;
        rebuild_ = g_idle_add(
            [](gpointer data) -> gboolean {
                auto* self = static_cast<TrayStatusItem*>(data);
                self->rebuild_ = 0;
                self->rebuild();
                return G_SOURCE_REMOVE;
            },
            this);
    }

    void rebuild() {
        if (!menu()) return;
        observe(menu());  // submenus set after the menu was attached
        GtkWidget* built = buildMenu(*menu());
        app_indicator_set_menu(indicator_, GTK_MENU(built));
    }

    static GtkWidget* buildMenu(const appkit::NSMenu& menu) {
        GtkWidget* gtkMenu = gtk_menu_new();
        for (const auto& item : menu.items()) {
            GtkWidget* widget;
            if (item->isSeparatorItem()) {
                widget = gtk_separator_menu_item_new();
            } else if (item->representedObject().has_value()) {
                // Items that carry a value are choices: they show their on/off state.
                widget = gtk_check_menu_item_new_with_label(item->title().c_str());
                gtk_check_menu_item_set_draw_as_radio(GTK_CHECK_MENU_ITEM(widget), TRUE);
                gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), item->state() == appkit::NSControlStateValue::on);
            } else {
                widget = gtk_menu_item_new_with_label(item->title().c_str());
            }
            if (item->submenu()) gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), buildMenu(*item->submenu()));
            if (item->hasAction()) {
                // The widget keeps the item alive; the choice runs in a later turn, after GTK is done
                // with the widget (the action may rebuild this very menu).
                auto* held = new std::shared_ptr<appkit::NSMenuItem>(item);
                g_object_set_data_full(G_OBJECT(widget), "quorvel-item", held,
                                       [](gpointer data) { delete static_cast<std::shared_ptr<appkit::NSMenuItem>*>(data); });
                g_signal_connect(widget, "activate", G_CALLBACK(+[](GtkMenuItem* widget, gpointer) {
                                     auto* held = static_cast<std::shared_ptr<appkit::NSMenuItem>*>(
                                         g_object_get_data(G_OBJECT(widget), "quorvel-item"));
                                     if (!held) return;
                                     auto* pending = new std::shared_ptr<appkit::NSMenuItem>(*held);
                                     g_idle_add_full(
                                         G_PRIORITY_DEFAULT,
                                         [](gpointer data) -> gboolean {
                                             (*static_cast<std::shared_ptr<appkit::NSMenuItem>*>(data))->performAction();
                                             return G_SOURCE_REMOVE;
                                         },
                                         pending, [](gpointer data) { delete static_cast<std::shared_ptr<appkit::NSMenuItem>*>(data); });
                                 }),
                                 nullptr);
            }
            gtk_widget_show(widget);
            gtk_menu_shell_append(GTK_MENU_SHELL(gtkMenu), widget);
        }
        return gtkMenu;
    }

    AppIndicator* indicator_ = nullptr;
    guint rebuild_ = 0;
};

}  // namespace

const char* trayIconName(const std::string& symbolName) {
    if (symbolName == "mic.badge.plus") return "media-record";
    if (symbolName == "ellipsis.circle") return "view-refresh";
    return "audio-input-microphone";
}

std::shared_ptr<appkit::NSStatusItem> TrayStatusBar::statusItem(appkit::CGFloat length) {
    return std::make_shared<TrayStatusItem>(length);
}

}  // namespace desktop

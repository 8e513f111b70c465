#pragma once
// Menus and their items. Items are shared objects that their owner may change at any time; every change
// is reported to the menu that holds the item, so a backend can redraw it.
#include <any>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace appkit {

class NSMenu;

enum class NSControlStateValue { off, on, mixed };

class NSMenuItem {
public:
    // The target-action pair: what choosing the item runs, with the item as sender.
    using Action = std::function<void(NSMenuItem& sender)>;

    static std::shared_ptr<NSMenuItem> make(std::string title, Action action = {}, std::string keyEquivalent = "");
    static std::shared_ptr<NSMenuItem> separatorItem();

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    bool hasAction() const { return static_cast<bool>(action_); }
    const std::any& representedObject() const { return representedObject_; }
    void setRepresentedObject(std::any object);
    NSControlStateValue state() const { return state_; }
    void setState(NSControlStateValue state);
    const std::shared_ptr<NSMenu>& submenu() const { return submenu_; }
    void setSubmenu(std::shared_ptr<NSMenu> submenu);
    bool isSeparatorItem() const { return separator_; }

    // What the user's choice does: runs the action, if any.
    void performAction();

private:
    friend class NSMenu;
    void changed();

    std::string title_;
    Action action_;
    std::string keyEquivalent_;
    std::any representedObject_;
    NSControlStateValue state_ = NSControlStateValue::off;
    std::shared_ptr<NSMenu> submenu_;
    bool separator_ = false;
    std::weak_ptr<NSMenu> menu_;
};

class NSMenu : public std::enable_shared_from_this<NSMenu> {
public:
    static std::shared_ptr<NSMenu> make(std::string title = "");

    const std::string& title() const { return title_; }
    const std::vector<std::shared_ptr<NSMenuItem>>& items() const { return items_; }
    void addItem(std::shared_ptr<NSMenuItem> item);
    // Called on the main thread after an item is added or one of the items changes.
    void setOnChange(std::function<void()> observer) { onChange_ = std::move(observer); }

private:
    friend class NSMenuItem;
    void notifyChange() {
        if (onChange_) onChange_();
    }

    std::string title_;
    std::vector<std::shared_ptr<NSMenuItem>> items_;
    std::function<void()> onChange_;
};

}  // namespace appkit

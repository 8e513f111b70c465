#include "Platform/AppKit/NSMenu.hpp"

namespace appkit {

std::shared_ptr<NSMenuItem> NSMenuItem::make(std::string title, Action action, std::string keyEquivalent) {
    auto item = std::make_shared<NSMenuItem>();
    item->title_ = std::move(title);
    item->action_ = std::move(action);
    item->keyEquivalent_ = std::move(keyEquivalent);
    return item;
}

std::shared_ptr<NSMenuItem> NSMenuItem::separatorItem() {
    auto item = std::make_shared<NSMenuItem>();
    item->separator_ = true;
    return item;
}

void NSMenuItem::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

void NSMenuItem::setRepresentedObject(std::any object) {
    representedObject_ = std::move(object);
    changed();
}

void NSMenuItem::setState(NSControlStateValue state) {
    state_ = state;
    changed();
}

void NSMenuItem::setSubmenu(std::shared_ptr<NSMenu> submenu) {
    submenu_ = std::move(submenu);
    changed();
}

void NSMenuItem::performAction() {
    // A copy, so an action that replaces the item's action does not destroy itself while it runs.
    if (auto action = action_) action(*this);
}

void NSMenuItem::changed() {
    if (auto menu = menu_.lock()) menu->notifyChange();
}

std::shared_ptr<NSMenu> NSMenu::make(std::string title) {
    auto menu = std::make_shared<NSMenu>();
    menu->title_ = std::move(title);
    return menu;
}

void NSMenu::addItem(std::shared_ptr<NSMenuItem> item) {
    item->menu_ = weak_from_this();
    items_.push_back(std::move(item));
    notifyChange();
}

}  // namespace appkit

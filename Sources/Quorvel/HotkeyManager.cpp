#include "Quorvel/HotkeyManager.hpp"

#include <array>
#include <utility>

#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace quorvel {

namespace {

// Virtual key codes of the named keys; no other key has a name.
constexpr std::array<std::pair<int64_t, std::string_view>, 43> keyNames{{
    {0, "A"},  {1, "S"},  {2, "D"},  {3, "F"},  {4, "H"},  {5, "G"},  {6, "Z"},  {7, "X"},  {8, "C"},
    {9, "V"},  {11, "B"}, {12, "Q"}, {13, "W"}, {14, "E"}, {15, "R"}, {16, "Y"}, {17, "T"}, {31, "O"},
    {32, "U"}, {34, "I"}, {35, "P"}, {37, "L"}, {38, "J"}, {40, "K"}, {45, "N"}, {46, "M"},
    {49, "Space"}, {36, "Return"}, {48, "Tab"}, {51, "Delete"}, {53, "Esc"},
    {122, "F1"}, {120, "F2"}, {99, "F3"}, {118, "F4"}, {96, "F5"}, {97, "F6"}, {98, "F7"}, {100, "F8"},
    {101, "F9"}, {109, "F10"}, {103, "F11"}, {111, "F12"},
}};

}  // namespace

std::string HotkeyCombo::keyName(int64_t keyCode) {
    for (auto& [code, name] : keyNames)
        if (code == keyCode) return std::string(name);
    return "Key(" + std::to_string(keyCode) + ")";
}

std::string HotkeyCombo::displayName() const {
    std::string name;
    if (modifiers & control) name += "⌃";
    if (modifiers & option) name += "⌥";
    if (modifiers & shift) name += "⇧";
    if (modifiers & command) name += "⌘";
    return name + keyName(keyCode);
}

std::string HotkeyCombo::encode() const {
    foundation::JSONWriter writer;
    writer.beginObject().field("keyCode", keyCode).field("modifiers", modifiers).endObject();
    return writer.str();
}

HotkeyCombo HotkeyCombo::decode(std::string_view json) {
    using foundation::DecodingError;
    try {
        auto document = foundation::JSONDocument::parse(json);
        auto root = document.root();
        if (!root.isObject())
            throw DecodingError(DecodingError::Case::typeMismatch, "Expected to decode a dictionary.");
        auto member = [&](std::string_view key) {
            auto value = root.member(key);
            if (!value.exists())
                throw DecodingError(DecodingError::Case::keyNotFound, {std::string(key)},
                                    "No value associated with key \"" + std::string(key) + "\".");
            if (!value.isNumber())
                throw DecodingError(DecodingError::Case::typeMismatch, {std::string(key)},
                                    "Expected to decode a number.");
            return value;
        };
        auto keyCodeValue = member("keyCode");
        auto modifiersValue = member("modifiers");
        HotkeyCombo combo;
        try {
            combo.keyCode = keyCodeValue.asInt64();
        } catch (const foundation::JSONError& error) {
            throw DecodingError(DecodingError::Case::dataCorrupted, {"keyCode"}, error.localizedDescription());
        }
        try {
            combo.modifiers = modifiersValue.asUInt64();
        } catch (const foundation::JSONError& error) {
            throw DecodingError(DecodingError::Case::dataCorrupted, {"modifiers"}, error.localizedDescription());
        }
        return combo;
    } catch (const foundation::JSONError&) {
        throw DecodingError(DecodingError::Case::dataCorrupted, "The given data was not valid JSON.");
    }
}

const std::vector<HotkeyPreset>& HotkeyPreset::all() {
    static const std::vector<HotkeyPreset> presets{
        {"⌥ Space (Option+Space)", HotkeyCombo{49, HotkeyCombo::option}},
        {"⌘⇧R (Cmd+Shift+R)", HotkeyCombo{15, HotkeyCombo::command | HotkeyCombo::shift}},
        {"F5", HotkeyCombo{96, 0}},
    };
    return presets;
}

HotkeyManager::HotkeyManager(quartz::EventServices& events, foundation::UserDefaults& defaults,
                             foundation::MainExecutor& mainExecutor, PrintLine print)
    : events_(events), defaults_(defaults), mainExecutor_(mainExecutor), print_(std::move(print)) {}

HotkeyManager::~HotkeyManager() {
    if (tap_) tap_->invalidate();
}

void HotkeyManager::loadSaved() {
    auto data = defaults_.data(hotkeyDefaultsKey);
    if (!data) return;
    try {
        combo = HotkeyCombo::decode(*data);
    } catch (const foundation::DecodingError&) {
        // A damaged value keeps the current hotkey.
    }
}

void HotkeyManager::save() {
    defaults_.setData(hotkeyDefaultsKey, combo.encode());
    // Every change of the hotkey is saved: the tap hears of it here.
    watchCombo();
}

void HotkeyManager::watchCombo() {
    if (tap_ && combo.keyCode >= 0 && combo.keyCode <= 0xFFFF)
        tap_->watchKey(static_cast<quartz::CGKeyCode>(combo.keyCode), combo.modifiers);
}

void HotkeyManager::startTap() {
    if (tap_) return;
    tap_ = events_.tapCreate(quartz::CGEventTapLocation::sessionEventTap, quartz::CGEventTapPlacement::headInsertEventTap,
                             quartz::CGEventTapOptions::defaultTap, quartz::CGEventMaskBit(quartz::CGEventType::keyDown),
                             [this](quartz::CGEventType type, const quartz::CGEvent& event) {
                                 return handleEvent(type, event);
                             });
    if (!tap_) {
        print_("[Quorvel] Failed to create event tap. Check Accessibility permissions.");
        return;
    }
    tap_->addToMainRunLoop();
    tap_->enable(true);
    watchCombo();
}

std::optional<quartz::CGEvent> HotkeyManager::handleEvent(quartz::CGEventType type, const quartz::CGEvent& event) {
    if (type != quartz::CGEventType::keyDown) return event;
    // Extra modifiers held down do not stop a match; a combo without modifiers matches with any.
    const uint64_t held = event.flags & HotkeyCombo::modifierMask;
    const bool matches =
        event.keyboardEventKeycode == combo.keyCode && (combo.modifiers == 0 || (held & combo.modifiers) == combo.modifiers);
    if (!matches) return event;
    mainExecutor_.post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired()) return;
        if (auto run = callback) run();
    });
    return std::nullopt;
}

std::optional<HotkeyCombo> recordCustomHotkey(appkit::AlertPresenting& alerts, appkit::EventMonitoring& monitors,
                                              const HotkeyCombo& current) {
    appkit::NSAlert alert;
    alert.messageText = "Record Custom Hotkey";
    alert.informativeText = "Press the key combination you want to use, then click Save.\n\nCurrent: " + current.displayName();
    alert.addButton("Cancel");
    alert.addButton("Save");
    auto field = std::make_shared<appkit::NSTextField>(appkit::NSRect(0, 0, 250, 24));
    field->placeholderString = "Click here and press your hotkey...";
    field->isEditable = false;
    field->alignment = appkit::NSTextAlignment::center;
    alert.accessoryView = field;

    std::optional<HotkeyCombo> captured;
    auto monitor = monitors.addLocalMonitorForEvents(appkit::NSEventMaskKeyDown, [&](const appkit::NSEvent& event) {
        captured = HotkeyCombo{event.keyCode, event.modifierFlags & HotkeyCombo::modifierMask};
        field->setStringValue(captured->displayName());
        return std::optional<appkit::NSEvent>();
    });
    const appkit::NSModalResponse response = alerts.runModal(alert);
    monitors.removeMonitor(monitor);
    if (response == appkit::NSAlertSecondButtonReturn && captured) return captured;
    return std::nullopt;
}

}  // namespace quorvel

#pragma once
// The global hotkey: its value and name, the presets, the saved choice, the session-wide key tap that
// swallows it, and the dialog that records a custom combination.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/AppKit/NSAlert.hpp"
#include "Platform/AppKit/NSEvent.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/UserDefaults.hpp"
#include "Platform/Quartz/CGEvent.hpp"
#include "Quorvel/Console.hpp"

namespace quorvel {

struct HotkeyCombo {
    // Device-independent modifier bits; the only ones a combo ever holds.
    static constexpr uint64_t shift = 0x20000;
    static constexpr uint64_t control = 0x40000;
    static constexpr uint64_t option = 0x80000;
    static constexpr uint64_t command = 0x100000;
    static constexpr uint64_t modifierMask = 0x1E0000;

    int64_t keyCode = 49;  // virtual key code; 49 is Space
    uint64_t modifiers = option;

    // Modifier glyphs in the order ⌃⌥⇧⌘, then the key's name: "⌥Space".
    std::string displayName() const;
    // The key's name, or "Key(<code>)" for a key without one.
    static std::string keyName(int64_t keyCode);

    // {"keyCode":49,"modifiers":524288}
    std::string encode() const;
    // Throws foundation::DecodingError when the text is not such an object or a member is missing,
    // not an integer, or out of range; other members are ignored.
    static HotkeyCombo decode(std::string_view json);

    bool operator==(const HotkeyCombo&) const = default;
};

struct HotkeyPreset {
    std::string title;
    HotkeyCombo combo;
    static const std::vector<HotkeyPreset>& all();
};

// The user-defaults key of the saved hotkey.
inline constexpr std::string_view hotkeyDefaultsKey = "quorvel_hotkey";

class HotkeyManager {
public:
    // The services outlive the manager.
    HotkeyManager(quartz::EventServices& events, foundation::UserDefaults& defaults, foundation::MainExecutor& mainExecutor,
                  PrintLine print);
    // Removes the tap, so the event system never calls into a destroyed manager.
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    // What a press of the hotkey runs, in a later turn of the main loop.
    std::function<void()> callback;
    HotkeyCombo combo;

    // The saved hotkey becomes current when it exists and decodes; otherwise nothing changes.
    void loadSaved();
    void save();
    // Installs the key-down tap; without permission to watch the keyboard it prints why and the hotkey
    // stays inactive.
    void startTap();
    bool hasTap() const { return tap_ != nullptr; }

private:
    void watchCombo();
    std::optional<quartz::CGEvent> handleEvent(quartz::CGEventType type, const quartz::CGEvent& event);

    quartz::EventServices& events_;
    foundation::UserDefaults& defaults_;
    foundation::MainExecutor& mainExecutor_;
    PrintLine print_;
    std::shared_ptr<quartz::CFMachPort> tap_;
    // Callbacks queued on the main loop check this token, so none reaches a destroyed manager.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The "Record Custom Hotkey" dialog: while it is open every key-down of the application is captured
// and consumed. Returns the captured combination when the user saves after pressing a key.
std::optional<HotkeyCombo> recordCustomHotkey(appkit::AlertPresenting& alerts, appkit::EventMonitoring& monitors,
                                              const HotkeyCombo& current);

}  // namespace quorvel

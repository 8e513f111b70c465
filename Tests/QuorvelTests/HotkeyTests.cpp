#include <gtest/gtest.h>

#include "Platform/Foundation/DecodingError.hpp"
#include "PlatformFakes/FakeAppKit.hpp"
#include "PlatformFakes/FakeQuartz.hpp"
#include "PlatformFakes/FakeSystem.hpp"
#include "Quorvel/HotkeyManager.hpp"

namespace {

using quorvel::HotkeyCombo;
using quorvel::HotkeyManager;
using quorvel::HotkeyPreset;
constexpr uint64_t shift = HotkeyCombo::shift, control = HotkeyCombo::control, option = HotkeyCombo::option,
                   command = HotkeyCombo::command;

TEST(HotkeyCombo, DisplayNamesPutModifierGlyphsInFixedOrderBeforeTheKey) {
    struct Case {
        HotkeyCombo combo;
        const char* name;
    };
    const Case cases[] = {
        {HotkeyCombo{}, "⌥Space"},
        {{15, command | shift}, "⇧⌘R"},
        {{96, 0}, "F5"},
        {{50, control | option}, "⌃⌥Key(50)"},
        {{0, command | shift | option | control}, "⌃⌥⇧⌘A"},
        {{122, 0}, "F1"},
        {{111, 0}, "F12"},
        {{53, 0}, "Esc"},
        {{10, 0}, "Key(10)"},
        {{-1, 0}, "Key(-1)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.combo.displayName(), c.name) << c.combo.keyCode;
    int named = 0;
    for (int64_t code = -5; code < 200; ++code) named += HotkeyCombo::keyName(code).rfind("Key(", 0) != 0;
    EXPECT_EQ(named, 43);
}

TEST(HotkeyCombo, PresetsAndDefault) {
    EXPECT_EQ(HotkeyCombo{}, (HotkeyCombo{49, 0x80000}));
    const auto& presets = HotkeyPreset::all();
    ASSERT_EQ(presets.size(), 3u);
    EXPECT_EQ(presets[0].title, "⌥ Space (Option+Space)");
    EXPECT_EQ(presets[0].combo, (HotkeyCombo{49, 0x80000}));
    EXPECT_EQ(presets[1].title, "⌘⇧R (Cmd+Shift+R)");
    EXPECT_EQ(presets[1].combo, (HotkeyCombo{15, 0x120000}));
    EXPECT_EQ(presets[2].title, "F5");
    EXPECT_EQ(presets[2].combo, (HotkeyCombo{96, 0}));
}

TEST(HotkeyCombo, EncodesAsJSONAndDecodesOnlyWholeIntegerMembers) {
    EXPECT_EQ(HotkeyCombo{}.encode(), R"({"keyCode":49,"modifiers":524288})");
    EXPECT_EQ(HotkeyCombo::decode(R"({"modifiers":1179648,"extra":[1],"keyCode":15})"), (HotkeyCombo{15, 0x120000}));
    for (const char* bad : {"", "nonsense", "[49, 524288]", R"({"keyCode":49})", R"({"modifiers":0})",
                            R"({"keyCode":"49","modifiers":0})", R"({"keyCode":49,"modifiers":-1})",
                            R"({"keyCode":49.5,"modifiers":0})", R"({"keyCode":49,"modifiers":null})",
                            R"({"keyCode":1e30,"modifiers":0})"})
        EXPECT_THROW(HotkeyCombo::decode(bad), foundation::DecodingError) << bad;
}

class HotkeyManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<HotkeyManager> makeManager() {
        auto manager = std::make_unique<HotkeyManager>(events, defaults, executor,
                                                       [this](const std::string& line) { lines.push_back(line); });
        manager->callback = [this] { ++toggles; };
        return manager;
    }

    foundation::ManualExecutor executor;
    fakes::FakeEventServices events;
    fakes::InMemoryUserDefaults defaults;
    std::vector<std::string> lines;
    int toggles = 0;
};

TEST_F(HotkeyManagerTest, MatchingKeyDownsAreSwallowedAndToggleInALaterTurnOfTheMainLoop) {
    auto manager = makeManager();
    manager->startTap();
    ASSERT_TRUE(manager->hasTap());
    struct Case {
        HotkeyCombo combo;
        int64_t key;
        uint64_t flags;
        bool swallowed;
    };
    const Case cases[] = {
        {HotkeyCombo{}, 49, option, true},
        {HotkeyCombo{}, 49, option | command, true},  // extra modifiers still match
        {HotkeyCombo{}, 49, 0, false},
        {HotkeyCombo{}, 49, command, false},
        {HotkeyCombo{}, 48, option, false},
        {HotkeyCombo{}, 49, option | 0x100, true},    // bits outside the four modifiers are ignored
        {{96, 0}, 96, shift, true},                   // a combo without modifiers matches with any
        {{96, 0}, 96, 0, true},
        {{15, command | shift}, 15, command, false},
        {{15, command | shift}, 15, command | shift | control, true},
    };
    for (const auto& c : cases) {
        manager->combo = c.combo;  // read at every event, no new tap needed
        toggles = 0;
        auto passed = events.keyDown(c.key, c.flags);
        EXPECT_EQ(!passed.has_value(), c.swallowed) << c.combo.displayName() << " key " << c.key << " flags " << c.flags;
        EXPECT_EQ(toggles, 0) << "the toggle waits for the main loop";
        executor.drain();
        EXPECT_EQ(toggles, c.swallowed ? 1 : 0) << c.combo.displayName();
    }
    // The matching key-up, and the notice that the system disabled the tap, pass unchanged.
    manager->combo = HotkeyCombo{};
    toggles = 0;
    for (auto type : {quartz::CGEventType::keyUp, quartz::CGEventType::tapDisabledByTimeout}) {
        const quartz::CGEvent event{type, 49, option};
        EXPECT_EQ(events.deliver(event), event);
    }
    executor.drain();
    EXPECT_EQ(toggles, 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(HotkeyManagerTest, ARefusedTapIsReportedOnceAndLeavesTheHotkeyInactive) {
    events.refuseTaps = true;
    auto manager = makeManager();
    manager->startTap();
    EXPECT_FALSE(manager->hasTap());
    EXPECT_EQ(lines, std::vector<std::string>{"[Quorvel] Failed to create event tap. Check Accessibility permissions."});
    EXPECT_TRUE(events.keyDown(49, option).has_value());
}

TEST_F(HotkeyManagerTest, DestroyingTheManagerRemovesItsTapAndDropsQueuedToggles) {
    auto manager = makeManager();
    manager->startTap();
    EXPECT_EQ(events.liveTapCount(), 1u);
    EXPECT_FALSE(events.keyDown(49, option).has_value());  // a toggle is queued
    manager.reset();
    EXPECT_EQ(events.liveTapCount(), 0u);
    EXPECT_TRUE(events.keyDown(49, option).has_value());
    executor.drain();
    EXPECT_EQ(toggles, 0);
}

TEST_F(HotkeyManagerTest, SavedHotkeyPersistsAndDamagedValuesKeepTheCurrentOne) {
    auto manager = makeManager();
    manager->combo = HotkeyCombo{96, 0};
    manager->save();
    EXPECT_EQ(defaults.data("quorvel_hotkey"), R"({"keyCode":96,"modifiers":0})");
    auto reloaded = makeManager();
    EXPECT_EQ(reloaded->combo, HotkeyCombo{});
    reloaded->loadSaved();
    EXPECT_EQ(reloaded->combo, (HotkeyCombo{96, 0}));

    for (const char* damaged : {"", "{", R"({"keyCode":96})", "\xFF\xFE"}) {
        defaults.setData("quorvel_hotkey", damaged);
        auto fresh = makeManager();
        fresh->loadSaved();
        EXPECT_EQ(fresh->combo, HotkeyCombo{}) << damaged;
    }
}

class CustomHotkeyDialogTest : public ::testing::Test {
protected:
    // Answers the dialog with `response` after the keys are pressed during its modal session.
    std::optional<HotkeyCombo> run(appkit::NSModalResponse response, std::vector<appkit::NSEvent> keys) {
        alerts.answer(response, [this, keys](const appkit::NSAlert& alert) {
            auto& field = dynamic_cast<appkit::NSTextField&>(*alert.accessoryView);
            for (auto& key : keys) {
                consumed.push_back(!monitors.deliver(key).has_value());
                shownTexts.push_back(field.stringValue());
            }
        });
        return quorvel::recordCustomHotkey(alerts, monitors, HotkeyCombo{});
    }
    static appkit::NSEvent key(uint16_t code, uint64_t flags = 0) { return {appkit::NSEventType::keyDown, code, flags}; }

    fakes::FakeAlerts alerts;
    fakes::FakeEventMonitors monitors;
    std::vector<bool> consumed;
    std::vector<std::string> shownTexts;
};

TEST_F(CustomHotkeyDialogTest, CapturesTheLastKeyDownWithItsModifiersAndConsumesEveryKey) {
    // Return and Escape are captured like any key; the last one before Save wins. Caps Lock (0x10000)
    // and device-dependent bits are dropped.
    auto combo = run(appkit::NSAlertSecondButtonReturn, {key(36), key(53), key(15, command | shift | 0x10000 | 0x8)});
    EXPECT_EQ(combo, (HotkeyCombo{15, 0x120000}));
    EXPECT_EQ(consumed, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(shownTexts, (std::vector<std::string>{"Return", "Esc", "⇧⌘R"}));
    EXPECT_EQ(monitors.monitorCount(), 0u);

    ASSERT_EQ(alerts.shown.size(), 1u);
    const auto& alert = alerts.shown[0];
    EXPECT_EQ(alert.messageText, "Record Custom Hotkey");
    EXPECT_EQ(alert.informativeText, "Press the key combination you want to use, then click Save.\n\nCurrent: ⌥Space");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Cancel", "Save"}));
    auto& field = dynamic_cast<appkit::NSTextField&>(*alert.accessoryView);
    EXPECT_EQ(field.frame, appkit::NSRect(0, 0, 250, 24));
    EXPECT_EQ(field.placeholderString, "Click here and press your hotkey...");
    EXPECT_FALSE(field.isEditable);
    EXPECT_EQ(field.alignment, appkit::NSTextAlignment::center);
}

TEST_F(CustomHotkeyDialogTest, CancelOrSaveWithoutAKeyChangesNothing) {
    EXPECT_EQ(run(appkit::NSAlertFirstButtonReturn, {key(96)}), std::nullopt);
    EXPECT_EQ(run(appkit::NSAlertSecondButtonReturn, {}), std::nullopt);
    EXPECT_EQ(monitors.monitorCount(), 0u);
    // Outside the dialog nothing is captured any more.
    EXPECT_TRUE(monitors.deliver(key(1)).has_value());
}

}  // namespace

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "PlatformFakes/FakeAppKit.hpp"
#include "Quorvel/Overlay.hpp"

namespace {

using namespace std::chrono_literals;
using quorvel::Overlay;
using quorvel::OverlayMode;

class OverlayTest : public ::testing::Test {
protected:
    // One animation frame (the first comes at once, then every 1/30 s).
    void frames(int count) {
        for (int i = 0; i < count; ++i) executor.advance(std::chrono::nanoseconds(1'000'000'000 / 30));
    }
    double barHeight(int i) const { return overlay.bars()[static_cast<size_t>(i)]->frame.size.height; }

    foundation::ManualExecutor executor;
    fakes::FakeWindowServer windows;
    Overlay overlay{windows, executor};
};

TEST_F(OverlayTest, FirstShowMakesAFloatingPillWithThirtyTwoMinimumBars) {
    windows.screen = appkit::NSScreen{appkit::NSRect(0, 0, 1920, 1080)};
    overlay.show(OverlayMode::recording);
    ASSERT_EQ(windows.panels.size(), 1u);
    auto& panel = *windows.panels[0];
    EXPECT_EQ(panel.contentRect, appkit::NSRect(880, 140, 160, 56));
    EXPECT_EQ(panel.styleMask, appkit::NSWindowStyleMaskNonactivatingPanel);
    EXPECT_EQ(panel.level, 1000);
    EXPECT_FALSE(panel.isOpaque);
    EXPECT_EQ(panel.backgroundColor, appkit::NSColor::clear());
    EXPECT_TRUE(panel.ignoresMouseEvents);
    EXPECT_EQ(panel.collectionBehavior, 17u);
    EXPECT_TRUE(panel.isVisible());
    ASSERT_EQ(panel.contentView->subviews.size(), 1u);
    auto& effect = dynamic_cast<appkit::NSVisualEffectView&>(*panel.contentView->subviews[0]);
    EXPECT_EQ(effect.material, appkit::NSVisualEffectView::Material::hudWindow);
    EXPECT_EQ(effect.layer->borderColor, (appkit::NSColor{1, 0.4}));
    EXPECT_EQ(effect.layer->sublayers.size(), 32u);

    ASSERT_EQ(overlay.bars().size(), 32u);
    for (int i = 0; i < 32; ++i) {
        const auto& bar = *overlay.bars()[static_cast<size_t>(i)];
        EXPECT_NEAR(bar.frame.origin.x, 29.4 + 3.2 * i, 1e-9);
        EXPECT_EQ(bar.frame.origin.y, 25);
        EXPECT_EQ(bar.frame.size, (appkit::NSSize{2, 6}));
        EXPECT_EQ(bar.backgroundColor, (appkit::NSColor{0.25, 0.6}));
        EXPECT_EQ(bar.disabledActions.size(), 4u);
    }
    // A second show reuses the panel and keeps the running animation and its frame count.
    frames(3);
    const auto tick = overlay.tick();
    overlay.show(OverlayMode::loading);
    EXPECT_EQ(windows.panels.size(), 1u);
    EXPECT_EQ(overlay.tick(), tick);
    EXPECT_EQ(executor.pendingTimers(), 1u);
}

TEST_F(OverlayTest, RecordingBarsFollowTheLevelRisingFastAndFallingSlowly) {
    overlay.show(OverlayMode::recording);
    frames(60);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(barHeight(i), 6);  // silence: minimum height

    overlay.setCurrentLevel(1);
    frames(1);
    for (int i = 0; i < 32; ++i) {
        // From 0 towards a target of at least 0.7: 40 % of the way in one frame.
        const float target = std::clamp(1.0f + 0.3f * std::sin(0.5f * static_cast<float>(i) + 0.3f * static_cast<float>(overlay.tick())), 0.0f, 1.0f);
        EXPECT_FLOAT_EQ(overlay.smoothLevels()[static_cast<size_t>(i)], target * 0.4f) << i;
    }
    frames(120);
    for (int i = 0; i < 32; ++i) {
        EXPECT_GE(barHeight(i), 6 + 34 * 0.7 - 1e-3);
        EXPECT_LE(barHeight(i), 40 + 1e-9);
        const auto& color = *overlay.bars()[static_cast<size_t>(i)]->backgroundColor;
        EXPECT_NEAR(color.alpha, 0.4 + 0.5 * overlay.smoothLevels()[static_cast<size_t>(i)], 1e-6);
    }

    overlay.setCurrentLevel(0);
    const float before = overlay.smoothLevels()[0];
    frames(1);
    EXPECT_FLOAT_EQ(overlay.smoothLevels()[0], before - before * 0.12f);
    // A NaN level (a broken input) reads as silence.
    overlay.setCurrentLevel(std::numeric_limits<float>::quiet_NaN());
    frames(200);
    for (float s : overlay.smoothLevels()) EXPECT_LT(s, 1e-6f);
}

TEST_F(OverlayTest, LoadingWaveStaysBetweenItsBoundsWhateverTheLevel) {
    overlay.setCurrentLevel(1);
    overlay.show(OverlayMode::loading);
    for (int round = 0; round < 100; ++round) {
        frames(1);
        for (int i = 0; i < 32; ++i) {
            const float t = static_cast<float>(overlay.tick());
            const float target = 0.15f + 0.35f * (std::sin(0.15f * t - 0.35f * static_cast<float>(i)) + 1.0f) * 0.5f;
            EXPECT_GE(target, 0.15f);
            EXPECT_LE(target, 0.5f);
        }
    }
    for (float s : overlay.smoothLevels()) {
        EXPECT_GE(s, 0.1f);
        EXPECT_LE(s, 0.5f);
    }
}

TEST_F(OverlayTest, HideStopsTheAnimationAndTheNextShowStartsFromTheKeptHeights) {
    overlay.setCurrentLevel(0.5f);
    overlay.show(OverlayMode::recording);
    frames(10);
    overlay.hide();
    EXPECT_FALSE(windows.panels[0]->isVisible());
    EXPECT_FALSE(overlay.isAnimating());
    EXPECT_EQ(executor.pendingTimers(), 0u);
    const auto kept = overlay.smoothLevels();
    frames(10);
    EXPECT_EQ(overlay.smoothLevels(), kept);

    overlay.show(OverlayMode::recording);
    EXPECT_EQ(overlay.tick(), 0);
    EXPECT_TRUE(windows.panels[0]->isVisible());
    EXPECT_EQ(windows.panels.size(), 1u);
    EXPECT_EQ(overlay.smoothLevels(), kept);
    executor.advance(0ns);
    EXPECT_EQ(overlay.tick(), 1);
}

TEST_F(OverlayTest, WithoutAScreenNothingIsMadeAndTheAnimationTouchesNothing) {
    windows.screen.reset();
    overlay.setCurrentLevel(1);
    overlay.show(OverlayMode::recording);
    frames(5);
    EXPECT_TRUE(windows.panels.empty());
    EXPECT_TRUE(overlay.bars().empty());
    EXPECT_GT(overlay.tick(), 0);
    overlay.hide();
}

}  // namespace

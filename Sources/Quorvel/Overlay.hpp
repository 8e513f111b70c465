#pragma once
// The floating level display: a pill near the bottom of the main screen with 32 bars that follow the
// microphone level while recording and run a travelling wave while the engine transcribes.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/AppKit/Views.hpp"
#include "Platform/Foundation/MainExecutor.hpp"

namespace quorvel {

enum class OverlayMode { recording, loading };

class Overlay {
public:
    static constexpr int barCount = 32;
    static constexpr appkit::CGFloat pillWidth = 160;
    static constexpr appkit::CGFloat pillHeight = 56;
    static constexpr appkit::CGFloat pillRadius = 28;
    static constexpr appkit::CGFloat barWidth = 2;
    static constexpr appkit::CGFloat barGap = 1.2;
    static constexpr appkit::CGFloat barMinHeight = 6;
    static constexpr appkit::CGFloat barMaxHeight = 40;

    // The services outlive the overlay. Everything but setCurrentLevel runs on the main executor.
    Overlay(appkit::WindowServer& windowServer, foundation::MainExecutor& mainExecutor);
    ~Overlay();
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;

    // Sets the mode, makes the panel on first use, brings it to the front and runs the animation (a
    // running animation keeps going; only what the bars do changes).
    void show(OverlayMode mode);
    // Stops the animation and takes the panel off the screen; the bars keep their heights.
    void hide();
    // From the audio thread: the latest level, 0...1 (NaN counts as silence).
    void setCurrentLevel(float level);

    OverlayMode mode() const { return mode_; }
    const std::shared_ptr<appkit::NSPanel>& panel() const { return panel_; }
    const std::vector<std::shared_ptr<appkit::CALayer>>& bars() const { return bars_; }
    const std::vector<float>& smoothLevels() const { return smoothLevels_; }
    int64_t tick() const { return tick_; }
    bool isAnimating() const { return timer_.has_value(); }

private:
    void createPanelIfNeeded();
    void startAnimation();
    void animationTick();
    float currentLevel() const;
    static appkit::CGFloat barX(int index);

    appkit::WindowServer& windowServer_;
    foundation::MainExecutor& mainExecutor_;
    std::shared_ptr<appkit::NSPanel> panel_;
    std::vector<std::shared_ptr<appkit::CALayer>> bars_;
    // The repeating timer and the immediate first frame, both cancelled by hide().
    struct Timer {
        foundation::MainExecutor::TimerID repeating;
        foundation::MainExecutor::TimerID first;
    };
    std::optional<Timer> timer_;
    OverlayMode mode_ = OverlayMode::recording;
    std::vector<float> smoothLevels_ = std::vector<float>(barCount, 0.0f);
    int64_t tick_ = 0;
    mutable std::mutex levelLock_;
    float currentLevel_ = 0;
};

}  // namespace quorvel

#include "Quorvel/Overlay.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel {

namespace {

const appkit::NSColor barColor{0.25, 0.6};

}  // namespace

Overlay::Overlay(appkit::WindowServer& windowServer, foundation::MainExecutor& mainExecutor)
    : windowServer_(windowServer), mainExecutor_(mainExecutor) {}

Overlay::~Overlay() {
    if (timer_) {
        mainExecutor_.cancel(timer_->repeating);
        mainExecutor_.cancel(timer_->first);
    }
}

appkit::CGFloat Overlay::barX(int index) {
    const appkit::CGFloat span = barCount * barWidth + (barCount - 1) * barGap;
    return (pillWidth - span) / 2 + (barWidth + barGap) * index;
}

void Overlay::show(OverlayMode mode) {
    mode_ = mode;
    createPanelIfNeeded();
    if (panel_) panel_->orderFrontRegardless();
    startAnimation();
}

void Overlay::hide() {
    if (timer_) {
        mainExecutor_.cancel(timer_->repeating);
        mainExecutor_.cancel(timer_->first);
        timer_.reset();
    }
    if (panel_) panel_->orderOut();
}

void Overlay::setCurrentLevel(float level) {
    level = std::isnan(level) ? 0.0f : std::clamp(level, 0.0f, 1.0f);
    std::lock_guard lock(levelLock_);
    currentLevel_ = level;
}

float Overlay::currentLevel() const {
    std::lock_guard lock(levelLock_);
    return currentLevel_;
}

void Overlay::createPanelIfNeeded() {
    if (panel_) return;
    auto screen = windowServer_.mainScreen();
    if (!screen) return;

    auto panel = windowServer_.makePanel(
        appkit::NSRect((screen->frame.size.width - pillWidth) / 2, 140, pillWidth, pillHeight),
        appkit::NSWindowStyleMaskNonactivatingPanel, appkit::NSBackingStoreType::buffered, false);
    panel->level = 1000;
    panel->isOpaque = false;
    panel->backgroundColor = appkit::NSColor::clear();
    panel->hasShadow = true;
    panel->ignoresMouseEvents = true;
    panel->collectionBehavior = appkit::NSWindowCollectionBehaviorCanJoinAllSpaces | appkit::NSWindowCollectionBehaviorStationary;

    auto& content = panel->contentView->makeLayerBacked();
    content.cornerRadius = pillRadius;
    content.masksToBounds = true;

    auto effect = std::make_shared<appkit::NSVisualEffectView>(appkit::NSRect(0, 0, pillWidth, pillHeight));
    effect->material = appkit::NSVisualEffectView::Material::hudWindow;
    effect->blendingMode = appkit::NSVisualEffectView::BlendingMode::behindWindow;
    effect->state = appkit::NSVisualEffectView::State::active;
    auto& effectLayer = effect->makeLayerBacked();
    effectLayer.cornerRadius = pillRadius;
    effectLayer.masksToBounds = true;
    effectLayer.borderWidth = 1;
    effectLayer.borderColor = appkit::NSColor::whiteColor().withAlphaComponent(0.4);
    panel->contentView->addSubview(effect);

    bars_.clear();
    for (int i = 0; i < barCount; ++i) {
        auto bar = std::make_shared<appkit::CALayer>();
        bar->frame = appkit::NSRect(barX(i), (pillHeight - barMinHeight) / 2, barWidth, barMinHeight);
        bar->cornerRadius = 1;
        bar->backgroundColor = barColor;
        // Bars move every frame; implicit animations would only lag behind.
        bar->disabledActions = {"position", "bounds", "frame", "backgroundColor"};
        effectLayer.addSublayer(bar);
        bars_.push_back(std::move(bar));
    }
    panel_ = std::move(panel);
    std::fill(smoothLevels_.begin(), smoothLevels_.end(), 0.0f);
}

void Overlay::startAnimation() {
    if (timer_) return;
    tick_ = 0;
    // 30 frames per second, the first one at once. Both die with the overlay (the destructor cancels them).
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / 30);
    timer_ = Timer{mainExecutor_.scheduleRepeating(interval, [this] { animationTick(); }),
                   mainExecutor_.scheduleAfter(std::chrono::nanoseconds(0), [this] { animationTick(); })};
}

void Overlay::animationTick() {
    ++tick_;
    const float level = currentLevel();
    const float t = static_cast<float>(tick_);
    // Without a screen there are no bars to move.
    const int count = static_cast<int>(std::min<size_t>(bars_.size(), barCount));
    for (int i = 0; i < count; ++i) {
        const float fi = static_cast<float>(i);
        float target;
        if (mode_ == OverlayMode::loading) {
            target = 0.15f + 0.35f * (std::sin(0.15f * t - 0.35f * fi) + 1.0f) * 0.5f;
        } else {
            const float v = level + level * 0.3f * std::sin(0.5f * fi + 0.3f * t);
            target = std::clamp(v, 0.0f, 1.0f);
        }
        // Bars rise fast and fall slowly.
        float& smooth = smoothLevels_[static_cast<size_t>(i)];
        const float d = target - smooth;
        smooth += d > 0 ? d * 0.4f : d * 0.12f;

        const appkit::CGFloat s = smooth;
        const appkit::CGFloat height = barMinHeight + (barMaxHeight - barMinHeight) * s;
        auto& bar = *bars_[static_cast<size_t>(i)];
        bar.frame = appkit::NSRect(barX(i), (pillHeight - height) / 2, barWidth, height);
        bar.backgroundColor = appkit::NSColor{barColor.white, 0.4 + 0.5 * s};
    }
}

}  // namespace quorvel

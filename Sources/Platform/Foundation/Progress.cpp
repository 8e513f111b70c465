#include "Platform/Foundation/Progress.hpp"

#include <algorithm>

namespace foundation {

int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(int64_t count) {
    std::lock_guard lock(mutex_);
    total_ = count;
}

int64_t Progress::completedLocked() const {
    int64_t completed = completed_;
    // Children are locked after their parent, never the other way round.
    for (const Child& child : children_)
        if (child.progress->isFinished()) completed += child.pendingUnitCount;
    return completed;
}

int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedLocked();
}

void Progress::setCompletedUnitCount(int64_t count) {
    std::lock_guard lock(mutex_);
    completed_ = count;
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (total_ <= 0) return 0;
    double done = static_cast<double>(completed_);
    for (const Child& child : children_)
        done += std::min(1.0, child.progress->fractionCompleted()) * static_cast<double>(child.pendingUnitCount);
    return std::clamp(done / static_cast<double>(total_), 0.0, 1.0);
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return total_ > 0 && completedLocked() >= total_;
}

void Progress::addChild(std::shared_ptr<Progress> child, int64_t pendingUnitCount) {
    std::lock_guard lock(mutex_);
    children_.push_back({std::move(child), pendingUnitCount});
}

std::optional<double> Progress::throughput() const {
    std::lock_guard lock(mutex_);
    return throughput_;
}

void Progress::setThroughput(std::optional<double> bytesPerSecond) {
    std::lock_guard lock(mutex_);
    throughput_ = bytesPerSecond;
}

}  // namespace foundation

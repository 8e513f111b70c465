#pragma once
// The platform's progress object: a count of units done out of a total, with children that each stand for
// a number of the parent's units, and a small store for the throughput. Safe to read from any thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace foundation {

class Progress {
public:
    explicit Progress(int64_t totalUnitCount = 0) : total_(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    int64_t totalUnitCount() const;
    void setTotalUnitCount(int64_t count);
    // Own units plus the pending units of every finished child.
    int64_t completedUnitCount() const;
    void setCompletedUnitCount(int64_t count);
    // Done units over the total, unfinished children counted in proportion to their own fraction;
    // 0 for a total of 0, never above 1.
    double fractionCompleted() const;
    bool isFinished() const;

    // `child` stands for `pendingUnitCount` of this object's units.
    void addChild(std::shared_ptr<Progress> child, int64_t pendingUnitCount);

    // The value under the throughput key of the user information (bytes per second).
    std::optional<double> throughput() const;
    void setThroughput(std::optional<double> bytesPerSecond);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        int64_t pendingUnitCount;
    };
    int64_t completedLocked() const;

    mutable std::mutex mutex_;
    int64_t total_;
    int64_t completed_ = 0;
    std::vector<Child> children_;
    std::optional<double> throughput_;
};

}  // namespace foundation

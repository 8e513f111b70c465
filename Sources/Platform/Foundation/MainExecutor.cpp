#include "Platform/Foundation/MainExecutor.hpp"

namespace foundation {

namespace {

// The executor whose drain() or advance() is running on this thread, if any.
thread_local const ManualExecutor* runningExecutor = nullptr;

class RunningScope {
public:
    explicit RunningScope(const ManualExecutor* executor) : previous_(runningExecutor) { runningExecutor = executor; }
    ~RunningScope() { runningExecutor = previous_; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    const ManualExecutor* previous_;
};

}  // namespace

ManualExecutor::ManualExecutor() : owner_(std::this_thread::get_id()) {}

void ManualExecutor::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    posted_.notify_all();
}

MainExecutor::TimerID ManualExecutor::scheduleAfter(Duration delay, std::function<void()> job) {
    std::lock_guard lock(mutex_);
    const TimerID id = nextTimer_++;
    timers_.emplace(id, Timer{std::move(job), Duration{0}});
    schedule_.emplace(std::make_tuple(now_ + std::max(delay, Duration{0}), sequence_++), id);
    return id;
}

MainExecutor::TimerID ManualExecutor::scheduleRepeating(Duration interval, std::function<void()> job) {
    // A zero interval would make advance() loop forever at one instant.
    interval = std::max(interval, Duration{1});
    std::lock_guard lock(mutex_);
    const TimerID id = nextTimer_++;
    timers_.emplace(id, Timer{std::move(job), interval});
    schedule_.emplace(std::make_tuple(now_ + interval, sequence_++), id);
    return id;
}

void ManualExecutor::cancel(TimerID timer) {
    std::lock_guard lock(mutex_);
    if (timers_.erase(timer) == 0) return;
    for (auto it = schedule_.begin(); it != schedule_.end(); ++it) {
        if (it->second == timer) {
            schedule_.erase(it);
            break;
        }
    }
}

MainExecutor::Duration ManualExecutor::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualExecutor::isMainThread() const {
    return runningExecutor == this || std::this_thread::get_id() == owner_;
}

void ManualExecutor::drain() {
    RunningScope scope(this);
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void ManualExecutor::advance(Duration by) {
    RunningScope scope(this);
    Duration target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + std::max(by, Duration{0});
    }
    drain();
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            if (schedule_.empty()) break;
            auto first = schedule_.begin();
            const Duration deadline = std::get<0>(first->first);
            if (deadline > target) break;
            const TimerID id = first->second;
            schedule_.erase(first);
            now_ = std::max(now_, deadline);
            auto timer = timers_.find(id);
            if (timer == timers_.end()) continue;
            if (timer->second.interval > Duration{0}) {
                // Re-armed before running, so the job can cancel its own timer.
                schedule_.emplace(std::make_tuple(deadline + timer->second.interval, sequence_++), id);
                job = timer->second.job;
            } else {
                job = std::move(timer->second.job);
                timers_.erase(timer);
            }
        }
        job();
        drain();
    }
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
}

bool ManualExecutor::waitForPost(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, timeout, [&] { return !jobs_.empty(); });
}

size_t ManualExecutor::pendingJobs() const {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

size_t ManualExecutor::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

}  // namespace foundation

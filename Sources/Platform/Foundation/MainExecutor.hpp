#pragma once
// The main actor: one serial executor for the app's logic, timers included. The app runs it on the
// GLib main loop; tests drive a ManualExecutor in virtual time.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

namespace foundation {

class MainExecutor {
public:
    using TimerID = uint64_t;
    using Duration = std::chrono::nanoseconds;

    virtual ~MainExecutor() = default;
    // Runs the job on the main executor, after the jobs posted before it. Safe from any thread.
    virtual void post(std::function<void()> job) = 0;
    // Runs the job once, `delay` from now.
    virtual TimerID scheduleAfter(Duration delay, std::function<void()> job) = 0;
    // Runs the job every `interval` from now until cancelled.
    virtual TimerID scheduleRepeating(Duration interval, std::function<void()> job) = 0;
    // Cancelling an unknown or finished timer does nothing.
    virtual void cancel(TimerID timer) = 0;
    // Monotonic time of this executor.
    virtual Duration now() const = 0;
    // True while called on the executor's own thread.
    virtual bool isMainThread() const = 0;
};

// A virtual-time executor for tests. Nothing runs until the test calls drain() or advance().
// Posted jobs run in FIFO order; due timers run in deadline order (ties in scheduling order).
class ManualExecutor : public MainExecutor {
public:
    ManualExecutor();
    void post(std::function<void()> job) override;
    TimerID scheduleAfter(Duration delay, std::function<void()> job) override;
    TimerID scheduleRepeating(Duration interval, std::function<void()> job) override;
    void cancel(TimerID timer) override;
    Duration now() const override;
    bool isMainThread() const override;

    // Runs posted jobs (and those they post) until none is left; time does not move.
    void drain();
    // Moves virtual time forward by `by`, running every timer that falls due on the way at its
    // deadline, and draining posted jobs before and after each timer.
    void advance(Duration by);
    // Blocks (real time) until a job has been posted from another thread or the timeout passes;
    // for tests whose work finishes on a pool thread and then posts back.
    bool waitForPost(std::chrono::milliseconds timeout);
    size_t pendingJobs() const;
    size_t pendingTimers() const;

private:
    struct Timer {
        std::function<void()> job;
        Duration interval{0};  // 0: one-shot
    };
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::tuple<Duration, uint64_t>, TimerID> schedule_;  // (deadline, sequence) -> timer
    std::map<TimerID, Timer> timers_;
    Duration now_{0};
    uint64_t sequence_ = 0;
    TimerID nextTimer_ = 1;
    std::thread::id owner_;
    bool running_ = false;
};

}  // namespace foundation

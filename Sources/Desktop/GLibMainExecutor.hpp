#pragma once
// The main actor on the GLib main loop of the default context: posted jobs and timers are GLib sources
// dispatched by the loop, so a job posted from the main thread itself runs in a later turn, never inline.
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/Foundation/MainExecutor.hpp"

typedef struct _GSource GSource;

namespace desktop {

class GLibMainExecutor : public foundation::MainExecutor {
public:
    // Made on the thread that runs the loop.
    GLibMainExecutor();
    ~GLibMainExecutor() override;
    GLibMainExecutor(const GLibMainExecutor&) = delete;
    GLibMainExecutor& operator=(const GLibMainExecutor&) = delete;

    void post(std::function<void()> job) override;
    TimerID scheduleAfter(Duration delay, std::function<void()> job) override;
    TimerID scheduleRepeating(Duration interval, std::function<void()> job) override;
    void cancel(TimerID timer) override;
    Duration now() const override;
    bool isMainThread() const override;

    struct Timer;

private:
    TimerID schedule(Duration delay, bool repeating, std::function<void()> job);
    friend struct Timer;
    void forget(TimerID timer);

    std::thread::id owner_;
    std::mutex mutex_;
    std::map<TimerID, GSource*> timers_;
    TimerID next_ = 1;
};

}  // namespace desktop

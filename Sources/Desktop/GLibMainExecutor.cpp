#include "Desktop/GLibMainExecutor.hpp"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace desktop {

namespace {

// An exception must not unwind through the loop's C frames: it is reported and the loop goes on.
void runGuarded(const std::function<void()>& job) {
    try {
        job();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "[Quorvel] Unhandled error on the main loop: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "[Quorvel] Unhandled error on the main loop\n");
    }
}

gboolean runPosted(gpointer data) {
    runGuarded(*static_cast<std::function<void()>*>(data));
    return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

struct GLibMainExecutor::Timer {
    GLibMainExecutor* executor;
    TimerID id;
    bool repeating;
    std::function<void()> job;

    static gboolean fire(gpointer data) {
        auto* timer = static_cast<Timer*>(data);
        if (!timer->repeating) timer->executor->forget(timer->id);
        runGuarded(timer->job);
        return timer->repeating ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }
    static void destroy(gpointer data) { delete static_cast<Timer*>(data); }
};

GLibMainExecutor::GLibMainExecutor() : owner_(std::this_thread::get_id()) {}

GLibMainExecutor::~GLibMainExecutor() {
    std::lock_guard lock(mutex_);
    for (auto& [id, source] : timers_) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    timers_.clear();
}

void GLibMainExecutor::post(std::function<void()> job) {
    // Default priority, so posted jobs and timers keep their order and input handling stays fair.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runPosted, new std::function<void()>(std::move(job)), deletePosted);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

foundation::MainExecutor::TimerID GLibMainExecutor::schedule(Duration delay, bool repeating, std::function<void()> job) {
    const auto milliseconds = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(delay).count());
    GSource* source = g_timeout_source_new(static_cast<guint>(std::min<int64_t>(milliseconds, G_MAXUINT)));
    std::lock_guard lock(mutex_);
    const TimerID id = next_++;
    g_source_set_callback(source, Timer::fire, new Timer{this, id, repeating, std::move(job)}, Timer::destroy);
    timers_.emplace(id, source);
    g_source_attach(source, nullptr);
    return id;
}

foundation::MainExecutor::TimerID GLibMainExecutor::scheduleAfter(Duration delay, std::function<void()> job) {
    return schedule(delay, false, std::move(job));
}

foundation::MainExecutor::TimerID GLibMainExecutor::scheduleRepeating(Duration interval, std::function<void()> job) {
    return schedule(interval, true, std::move(job));
}

void GLibMainExecutor::cancel(TimerID timer) {
    GSource* source = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = timers_.find(timer);
        if (found == timers_.end()) return;
        source = found->second;
        timers_.erase(found);
    }
    g_source_destroy(source);
    g_source_unref(source);
}

void GLibMainExecutor::forget(TimerID timer) {
    GSource* source = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = timers_.find(timer);
        if (found == timers_.end()) return;
        source = found->second;
        timers_.erase(found);
    }
    g_source_unref(source);
}

foundation::MainExecutor::Duration GLibMainExecutor::now() const {
    return std::chrono::microseconds(g_get_monotonic_time());
}

bool GLibMainExecutor::isMainThread() const { return std::this_thread::get_id() == owner_; }

}  // namespace desktop

#include "Platform/Foundation/TaskPool.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace foundation {

struct TaskPool::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    std::vector<std::thread> threads;
    bool stopping = false;

    // Set on each worker thread to the pool that owns it.
    static thread_local const Impl* currentPool;

    std::function<void()> pop(std::unique_lock<std::mutex>&) {
        auto job = std::move(queue.front());
        queue.pop_front();
        return job;
    }

    static void run(std::function<void()>& job) {
        try {
            job();
        } catch (const std::exception& error) {
            // A posted job has no one to report to; submit() jobs keep their errors in the future.
            std::fprintf(stderr, "TaskPool: a job ended with an error: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "TaskPool: a job ended with an unknown error\n");
        }
    }

    void work() {
        currentPool = this;
        for (;;) {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;  // stopping, and nothing left to run
            auto job = pop(lock);
            lock.unlock();
            run(job);
        }
    }
};

thread_local const TaskPool::Impl* TaskPool::Impl::currentPool = nullptr;

TaskPool::TaskPool(size_t threadCount) : impl_(std::make_unique<Impl>()) {
    // A pool without threads would never run what is posted to it.
    const size_t count = std::max<size_t>(threadCount, 1);
    impl_->threads.reserve(count);
    for (size_t i = 0; i < count; ++i) impl_->threads.emplace_back([impl = impl_.get()] { impl->work(); });
}

TaskPool::~TaskPool() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    for (auto& thread : impl_->threads) thread.join();
}

TaskPool& TaskPool::shared() {
    // Never destroyed: jobs still running at exit must not find their pool gone, and exit must
    // not wait for long work such as a transcription.
    static TaskPool* pool = new TaskPool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

size_t TaskPool::threadCount() const { return impl_->threads.size(); }

void TaskPool::post(std::function<void()> job) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->queue.push_back(std::move(job));
    }
    impl_->wake.notify_one();
}

bool TaskPool::isWorkerThread() const { return Impl::currentPool == impl_.get(); }

bool TaskPool::runOneQueuedJob() {
    std::unique_lock lock(impl_->mutex);
    if (impl_->queue.empty()) return false;
    auto job = impl_->pop(lock);
    lock.unlock();
    Impl::run(job);
    return true;
}

}  // namespace foundation

#pragma once
// The process-wide pool of worker threads on which asynchronous work runs, and task groups on it.
#include <cstddef>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <type_traits>
#include <vector>

namespace foundation {

class TaskPool {
public:
    explicit TaskPool(size_t threadCount);
    // Runs what is still queued, then joins the threads.
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    // The shared pool: one thread per core, at least two.
    static TaskPool& shared();

    size_t threadCount() const;
    void post(std::function<void()> job);

    template <class F>
    auto submit(F&& f) -> std::future<std::invoke_result_t<F>> {
        using R = std::invoke_result_t<F>;
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(f));
        auto future = task->get_future();
        post([task] { (*task)(); });
        return future;
    }

    // True on one of this pool's threads.
    bool isWorkerThread() const;
    // Runs one queued job on the calling thread; false when the queue was empty.
    bool runOneQueuedJob();

    // Waits for a result. On one of this pool's threads it keeps running queued jobs while it waits,
    // so work queued behind the waiter is never starved.
    template <class T>
    T await(std::future<T>& future) {
        if (isWorkerThread()) {
            while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                if (!runOneQueuedJob()) future.wait_for(std::chrono::microseconds(200));
            }
        }
        return future.get();
    }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A task group: every child runs on the pool; the results come back in input order once all have
// finished. When children throw, the error of the first failing child in input order is rethrown,
// after all children have ended.
template <class T>
std::vector<T> runTaskGroup(TaskPool& pool, std::vector<std::function<T()>> children) {
    std::vector<std::future<T>> futures;
    futures.reserve(children.size());
    for (auto& child : children) futures.push_back(pool.submit(std::move(child)));
    std::vector<T> results;
    results.reserve(futures.size());
    std::exception_ptr firstError;
    for (auto& f : futures) {
        try {
            results.push_back(pool.await(f));
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
    }
    if (firstError) std::rethrow_exception(firstError);
    return results;
}

}  // namespace foundation

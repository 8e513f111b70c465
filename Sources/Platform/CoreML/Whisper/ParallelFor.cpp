#include "Platform/CoreML/Whisper/ParallelFor.hpp"

#include <cblas.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace coreml::whisper {
namespace {

struct Job {
    RangeFunction fn = nullptr;
    void* context = nullptr;
    size_t count = 0;
    size_t chunk = 1;
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};   // items finished
    std::atomic<int> helpersWanted{0};
    bool moreSoon = false;
    // The caller and every helper that picked the job up. Jobs are recycled, never freed, so a
    // helper that arrives after the last chunk only finds nothing left to do; the caller waits for
    // finished chunks, not for helpers that were descheduled before they claimed one.
    std::atomic<int> references{0};
};

class Pool {
public:
    Pool() {
        unsigned n = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 1; i < n; ++i) threads_.emplace_back([this] { workerLoop(); });
    }
    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }
    size_t workerCount() const { return threads_.size(); }

    Job* acquire() {
        std::lock_guard lock(mutex_);
        if (spare_.empty()) {
            jobs_.push_back(std::make_unique<Job>());
            return jobs_.back().get();
        }
        Job* j = spare_.back();
        spare_.pop_back();
        return j;
    }

    void release(Job* job) {
        if (job->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(mutex_);
            spare_.push_back(job);
        }
    }

    void run(Job& job, int helpers) {
        job.references.store(1, std::memory_order_relaxed);
        job.helpersWanted.store(helpers, std::memory_order_relaxed);
        int toWake;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
            generation_.fetch_add(1, std::memory_order_release);
            // Helpers that are spinning see the new generation themselves; wake only sleepers.
            toWake = std::min(helpers, sleepers_);
        }
        for (int i = 0; i < toWake; ++i) wake_.notify_one();
        work(job);
        {
            std::lock_guard lock(mutex_);
            auto it = std::find(queue_.begin(), queue_.end(), &job);
            if (it != queue_.end()) queue_.erase(it);
        }
        while (job.done.load(std::memory_order_acquire) < job.count) _mm_pause();
        release(&job);
    }

private:
    static void work(Job& job) {
        for (;;) {
            size_t b = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
            if (b >= job.count) return;
            size_t e = std::min(job.count, b + job.chunk);
            job.fn(job.context, b, e);
            job.done.fetch_add(e - b, std::memory_order_acq_rel);
        }
    }
    void workerLoop() {
        bool spinFirst = false, yieldFirst = false;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    if (stopping_) return;
                    if (!queue_.empty()) {
                        job = queue_.front();
                        if (job->helpersWanted.fetch_sub(1, std::memory_order_relaxed) <= 1) queue_.erase(queue_.begin());
                        job->references.fetch_add(1, std::memory_order_acq_rel);
                        break;
                    }
                    if (spinFirst) {
                        // Decoder steps issue many short loops in a row: stay awake for the next one.
                        spinFirst = false;
                        const uint64_t seen = generation_.load(std::memory_order_acquire);
                        lock.unlock();
                        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
                        while (generation_.load(std::memory_order_acquire) == seen &&
                               std::chrono::steady_clock::now() < until)
                            for (int i = 0; i < 64; ++i) _mm_pause();
                        lock.lock();
                        continue;
                    }
                    if (yieldFirst) {
                        // Between the encoder's products: stay reachable without holding a core that
                        // OpenBLAS's threads need (yielding gives way to them).
                        yieldFirst = false;
                        const uint64_t seen = generation_.load(std::memory_order_acquire);
                        lock.unlock();
                        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(2000);
                        while (generation_.load(std::memory_order_acquire) == seen &&
                               std::chrono::steady_clock::now() < until)
                            std::this_thread::yield();
                        lock.lock();
                        continue;
                    }
                    ++sleepers_;
                    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                    --sleepers_;
                }
            }
            spinFirst = job->moreSoon;
            yieldFirst = !job->moreSoon;
            work(*job);
            release(job);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Job*> queue_;  // capacity is kept, so steady use allocates nothing
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<Job*> spare_;
    std::atomic<uint64_t> generation_{0};
    bool stopping_ = false;
    int sleepers_ = 0;
    std::vector<std::thread> threads_;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

}  // namespace

int kernelThreadCount() {
    int n = openblas_get_num_threads();
    return std::max(1, n);
}

void parallelForRaw(size_t count, size_t grain, RangeFunction fn, void* context, bool moreSoon) {
    if (count == 0) return;
    grain = std::max<size_t>(grain, 1);
    int threads = std::min<int>(kernelThreadCount(), static_cast<int>(pool().workerCount()) + 1);
    size_t maxChunks = (count + grain - 1) / grain;
    if (threads <= 1 || maxChunks <= 1) {
        fn(context, 0, count);
        return;
    }
    threads = static_cast<int>(std::min<size_t>(threads, maxChunks));
    Job& job = *pool().acquire();
    job.fn = fn;
    job.context = context;
    job.count = count;
    job.moreSoon = moreSoon;
    // A few chunks per thread balances uneven rows without much bookkeeping.
    size_t chunks = std::min(maxChunks, static_cast<size_t>(threads) * 4);
    job.chunk = (count + chunks - 1) / chunks;
    job.next.store(0, std::memory_order_relaxed);
    job.done.store(0, std::memory_order_relaxed);
    pool().run(job, threads - 1);
}

}  // namespace coreml::whisper

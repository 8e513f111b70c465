#include "Platform/CoreML/Whisper/ParallelFor.hpp"

#include <immintrin.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace coreml::whisper {
namespace {

void futexWait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void futexWake(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Per thread, about what it reads in the couple of microseconds between two loops.
constexpr size_t kNextReadBytes = 8192;

// Thread `self` of `parts`: the first kNextReadBytes of its share of `next`, into L2. Prefetches
// never fault, so memory freed meanwhile does no harm.
void prefetchShare(const NextReads& next, size_t self, size_t parts) {
    const size_t total = next.bytes[0] + next.bytes[1] + next.bytes[2];
    if (total == 0) return;
    size_t from = total / parts * self, left = std::min(kNextReadBytes, total / parts);
    for (int i = 0; i < 3 && left > 0; ++i) {
        if (from >= next.bytes[i]) {
            from -= next.bytes[i];
            continue;
        }
        const char* p = static_cast<const char*>(next.base[i]) + from;
        const size_t n = std::min(left, next.bytes[i] - from);
        for (size_t off = 0; off < n; off += 64) _mm_prefetch(p + off, _MM_HINT_T1);
        left -= n;
        from = 0;
    }
}

// One loop at a time runs on the helpers; it is published through `epoch_` (odd while the caller
// rewrites the fields, even once they are valid). The items are cut into one contiguous range per
// taking part thread; each thread takes chunks from the front of its own range, then from the
// others' (so a helper the system has not run yet delays nothing: its range is taken by the rest).
// Own ranges keep each thread on one forward stream of memory and its claims on a cache line no
// other thread writes until the end; one shared counter for every chunk left a microsecond gap
// between chunks on eight threads. A helper announces itself in its own `inside` flag and then
// re-reads the epoch, so the caller never rewrites fields a helper is reading (one shared counter
// had every helper take the same cache line in turn on the way in and out of a loop). No locks: a condition variable's
// wake-up and its signal (which may itself block in glibc) cost more than a whole loop of a decoder
// step.
class Pool {
public:
    Pool() {
        unsigned n = std::max(1u, std::thread::hardware_concurrency());
        helpers_ = std::vector<Helper>(n - 1);
        ranges_ = std::vector<Range>(n);
        for (unsigned i = 0; i + 1 < n; ++i) threads_.emplace_back([this, i] { helperLoop(i); });
    }
    ~Pool() {
        stopping_.store(true, std::memory_order_seq_cst);
        epoch_.fetch_add(2, std::memory_order_seq_cst);
        for (auto& h : helpers_) {
            h.signal.fetch_add(1, std::memory_order_seq_cst);
            futexWake(&h.signal);
        }
        for (auto& t : threads_) t.join();
    }
    size_t helperCount() const { return helpers_.size(); }

    // Runs the loop with up to `helpers` helpers, or returns false when another loop holds the pool
    // (a second prediction at the same time, or a loop started from inside a loop).
    bool run(RangeFunction fn, void* context, size_t count, size_t chunk, int helpers, bool moreSoon,
             const NextReads* next) {
        if (busy_.exchange(true, std::memory_order_acquire)) return false;
        epoch_.fetch_add(1, std::memory_order_seq_cst);  // odd: fields being written
        for (const Helper& h : helpers_)
            while (h.inside.load(std::memory_order_seq_cst) != 0) _mm_pause();
        fn_ = fn;
        context_ = context;
        count_ = count;
        chunk_ = chunk;
        wanted_ = helpers;
        moreSoon_ = moreSoon;
        next_ = next ? *next : NextReads{};
        const size_t parts = static_cast<size_t>(helpers) + 1;
        for (size_t i = 0; i < parts; ++i) {
            ranges_[i].next.store(count * i / parts, std::memory_order_relaxed);
            ranges_[i].end = count * (i + 1) / parts;
        }
        done_.store(0, std::memory_order_relaxed);
        epoch_.fetch_add(1, std::memory_order_seq_cst);  // even: published
        for (int i = 0; i < helpers; ++i) {
            Helper& h = helpers_[static_cast<size_t>(i)];
            if (h.sleeping.load(std::memory_order_seq_cst)) {
                h.signal.fetch_add(1, std::memory_order_seq_cst);
                futexWake(&h.signal);
            }
        }
        work(0);
        prefetchShare(next_, 0, parts);
        // A join that takes longer than some tens of microseconds is usually waiting on a helper the
        // system took off its core: yield then, so that helper gets the core back sooner.
        for (unsigned spins = 0; done_.load(std::memory_order_acquire) < count; ++spins) {
            if (spins < 1024)
                _mm_pause();
            else
                sched_yield();
        }
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    struct alignas(64) Helper {
        std::atomic<uint32_t> signal{0};
        std::atomic<uint32_t> sleeping{0};
        // Set while this helper reads the published loop; a line of its own, as the caller reads
        // `sleeping` on every start.
        alignas(64) std::atomic<uint32_t> inside{0};
    };

    struct alignas(64) Range {
        std::atomic<size_t> next{0};
        size_t end = 0;
    };

    // Thread `self` (0 the caller, i + 1 helper i): its own range, then the others' in turn.
    void work(size_t self) {
        const size_t parts = static_cast<size_t>(wanted_) + 1, chunk = chunk_;
        size_t finished = 0;
        for (size_t k = 0; k < parts; ++k) {
            Range& range = ranges_[(self + k) % parts];
            // A plain read first: at the end of a loop every thread looks at every range, and
            // claiming on a range already used up would pull its line from core to core.
            if (k != 0 && range.next.load(std::memory_order_relaxed) >= range.end) continue;
            for (;;) {
                const size_t b = range.next.fetch_add(chunk, std::memory_order_relaxed);
                if (b >= range.end) break;
                const size_t e = std::min(range.end, b + chunk);
                fn_(context_, b, e);
                finished += e - b;
            }
        }
        if (finished != 0) done_.fetch_add(finished, std::memory_order_acq_rel);
    }

    void helperLoop(unsigned index) {
        Helper& self = helpers_[index];
        uint32_t seen = epoch_.load(std::memory_order_acquire);
        // Spin this long after a loop before sleeping: a decoder step's loops follow each other
        // within microseconds, while the encoder's leave the cores to OpenBLAS in between.
        auto spinFor = std::chrono::microseconds(50);
        for (;;) {
            auto until = std::chrono::steady_clock::now() + spinFor;
            uint32_t e;
            for (;;) {
                for (int i = 0; i < 32; ++i) {
                    e = epoch_.load(std::memory_order_acquire);
                    if (e != seen) break;
                    _mm_pause();
                }
                if (e != seen) break;
                if (std::chrono::steady_clock::now() < until) continue;
                const uint32_t signal = self.signal.load(std::memory_order_seq_cst);
                self.sleeping.store(1, std::memory_order_seq_cst);
                // A helper that starts only after the pool began stopping has already taken the
                // final epoch as seen: without this check it would sleep through the last wake-up.
                if (stopping_.load(std::memory_order_seq_cst)) return;
                if (epoch_.load(std::memory_order_seq_cst) == seen) futexWait(&self.signal, signal);
                self.sleeping.store(0, std::memory_order_relaxed);
            }
            if (stopping_.load(std::memory_order_acquire)) return;
            if (e & 1) continue;  // being written; look again
            self.inside.store(1, std::memory_order_seq_cst);
            if (epoch_.load(std::memory_order_seq_cst) != e) {
                self.inside.store(0, std::memory_order_release);
                continue;
            }
            seen = e;
            if (static_cast<int>(index) < wanted_) {
                spinFor = std::chrono::microseconds(moreSoon_ ? 2000 : 50);
                work(index + 1);
                const NextReads next = next_;
                const size_t parts = static_cast<size_t>(wanted_) + 1;
                self.inside.store(0, std::memory_order_release);
                prefetchShare(next, index + 1, parts);
                continue;
            }
            self.inside.store(0, std::memory_order_release);
        }
    }

    std::vector<Helper> helpers_;
    std::vector<Range> ranges_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> busy_{false};
    alignas(64) std::atomic<uint32_t> epoch_{0};
    // The published loop.
    alignas(64) RangeFunction fn_ = nullptr;
    void* context_ = nullptr;
    size_t count_ = 0, chunk_ = 1;
    int wanted_ = 0;
    bool moreSoon_ = false;
    NextReads next_;
    alignas(64) std::atomic<size_t> done_{0};
};

Pool& pool() {
    static Pool instance;
    return instance;
}

}  // namespace

namespace {
std::atomic<int> threadSetting{0};

int allowedCpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}
}  // namespace

int kernelThreadCount() {
    const int set = threadSetting.load(std::memory_order_relaxed);
    if (set > 0) return set;
    static const int cpus = allowedCpus();
    return cpus;
}

void setKernelThreadCount(int threads) { threadSetting.store(std::max(0, threads), std::memory_order_relaxed); }

void parallelForRaw(size_t count, size_t grain, RangeFunction fn, void* context, bool moreSoon,
                    const NextReads* next) {
    if (count == 0) return;
    grain = std::max<size_t>(grain, 1);
    int threads = std::min<int>(kernelThreadCount(), static_cast<int>(pool().helperCount()) + 1);
    size_t maxChunks = (count + grain - 1) / grain;
    if (threads <= 1 || maxChunks <= 1) {
        fn(context, 0, count);
        return;
    }
    threads = static_cast<int>(std::min<size_t>(threads, maxChunks));
    // A few chunks per thread balances uneven rows without much bookkeeping.
    size_t chunks = std::min(maxChunks, static_cast<size_t>(threads) * 4);
    size_t chunk = (count + chunks - 1) / chunks;
    if (!pool().run(fn, context, count, chunk, threads - 1, moreSoon, next)) fn(context, 0, count);
}

void parallelTasksRaw(size_t count, RangeFunction fn, void* context, const NextReads* next) {
    if (count == 0) return;
    const int threads = static_cast<int>(std::min<size_t>(
        {static_cast<size_t>(kernelThreadCount()), pool().helperCount() + 1, count}));
    if (threads <= 1 || !pool().run(fn, context, count, 1, threads - 1, false, next)) fn(context, 0, count);
}

}  // namespace coreml::whisper

#include "Platform/CoreML/Whisper/ParallelFor.hpp"

#include <fcntl.h>
#include <immintrin.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
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
// Waits as one of the waiters `bits` names, so that a wake-up can pass over the others.
void futexWaitAs(std::atomic<uint32_t>* word, uint32_t expected, uint32_t bits) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, expected, nullptr, nullptr, bits);
}
void futexWakeOnly(std::atomic<uint32_t>* word, uint32_t bits) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_BITSET_PRIVATE, INT_MAX, nullptr, nullptr, bits);
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
// rewrites the fields, even once they are valid; a helper that read the fields checks the epoch again
// and drops what it read if it moved). The items are cut into chunks and the chunks into one
// contiguous range per taking part thread; each thread claims chunks from the front of its own range,
// then from the others' (so a helper the system has not run yet delays nothing: its range is taken
// by the rest). Own ranges keep each thread on one forward stream of memory and its claims on a cache
// line no other thread writes until the end; one shared counter for every chunk left a microsecond gap
// between chunks on eight threads. Each range's counter carries the loop's epoch beside the next
// chunk, and a claim is a compare-and-swap of both: a helper still looking at a loop that has ended
// can claim nothing of the next one, so the caller publishes the next loop without waiting for any
// helper to leave (waiting there was waiting on whichever helper the system had just taken off its
// core). No locks: a condition variable's wake-up and its signal cost more than a whole loop of a
// decoder step.
//
// On a busy machine a spinning thread takes a core from a thread with work, its own helpers'
// included, and a helper the system took off its core holds its chunk until it runs again. So while
// the machine lacks a core for each of its threads (the runnable count in /proc/loadavg, looked at
// every few milliseconds) no thread spins longer than kContendedSpin before it sleeps: the helpers on
// the epoch, the caller in the join on the count of chunks done, woken by whichever thread finishes
// last. Not much shorter, though: a thread woken on a taken core waits for the one running there to
// end its turn, and sleeping after a few microseconds had every loop of a decoder step pay that wait
// (the base model's step beside eight busy processes took twice as long). The pool never pins its
// threads: the system moves them to free cores.
//
// With no core idle, the system wakes a sleeping helper on the core it last ran on, and a helper that
// once ran on the caller's core (or on another helper's) stays there: each wake-up then takes that
// core from the caller for the helper's part of the loop, and the caller waits a whole time slice
// behind the other processes to get it back. So a helper woken where another thread of the loop runs
// steps aside first (see stepAside).
class Pool {
public:
    explicit Pool(unsigned threads) : ranges_(threads) {
        helperCount_ = threads - 1;
        for (auto& cpu : cpus_) cpu.store(-1, std::memory_order_relaxed);
        for (unsigned i = 0; i + 1 < threads; ++i) threads_.emplace_back([this, i] { helperLoop(i); });
    }
    // Only once no loop runs and none can start (see PoolOwner): then the helpers are only waiting.
    ~Pool() {
        stopping_.store(true, std::memory_order_seq_cst);
        epoch_.fetch_add(2, std::memory_order_seq_cst);
        futexWake(&epoch_);
        for (auto& t : threads_) t.join();
        if (loadavg_ >= 0) close(loadavg_);
    }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Runs the loop on the caller and up to `helpers` helpers. The caller holds loopRunning.
    void run(RangeFunction fn, void* context, size_t count, size_t chunk, int helpers, bool moreSoon,
             const NextReads* next) {
        watchLoad(helpers + 1);
        const uint32_t odd = epoch_.load(std::memory_order_relaxed) + 1, tag = odd + 1;
        epoch_.store(odd, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        const size_t parts = static_cast<size_t>(helpers) + 1, chunks = (count + chunk - 1) / chunk;
        job_.fn.store(fn, std::memory_order_relaxed);
        job_.context.store(context, std::memory_order_relaxed);
        job_.count.store(count, std::memory_order_relaxed);
        job_.chunk.store(chunk, std::memory_order_relaxed);
        job_.chunks.store(chunks, std::memory_order_relaxed);
        job_.parts.store(parts, std::memory_order_relaxed);
        job_.moreSoon.store(moreSoon, std::memory_order_relaxed);
        cpus_[0].store(sched_getcpu(), std::memory_order_relaxed);
        const NextReads reads = next ? *next : NextReads{};
        for (int i = 0; i < 3; ++i) {
            job_.nextBase[i].store(reads.base[i], std::memory_order_relaxed);
            job_.nextBytes[i].store(reads.bytes[i], std::memory_order_relaxed);
        }
        for (size_t i = 0; i < parts; ++i)
            ranges_[i].word.store(uint64_t{tag} << 32 | (chunks * i / parts), std::memory_order_relaxed);
        done_.store(0, std::memory_order_relaxed);
        joinSleeping_.store(0, std::memory_order_relaxed);
        epoch_.store(tag, std::memory_order_seq_cst);
        // Only the helpers taking part: on a busy machine the others would wake only to take a core
        // from someone and sleep again.
        if (sleepers_.load(std::memory_order_seq_cst) != 0) futexWakeOnly(&epoch_, helperBits(helpers));

        const Job job{fn, context, count, chunk, chunks, parts, moreSoon, reads};
        work(job, tag, 0);
        prefetchShare(reads, 0, parts);
        join(static_cast<uint32_t>(chunks));
    }

private:
    struct alignas(64) Range {
        // The loop's epoch in the high half, the next chunk to claim in the low half.
        std::atomic<uint64_t> word{0};
    };

    struct Job {
        RangeFunction fn;
        void* context;
        size_t count, chunk, chunks, parts;
        bool moreSoon;
        NextReads next;
    };

    // The published loop, written only while the epoch is odd; atomics, as a helper may read them
    // while the caller writes the next loop (it then drops what it read).
    struct PublishedJob {
        std::atomic<RangeFunction> fn{nullptr};
        std::atomic<void*> context{nullptr};
        std::atomic<size_t> count{0}, chunk{1}, chunks{0}, parts{1};
        std::atomic<bool> moreSoon{false};
        std::atomic<const void*> nextBase[3] = {nullptr, nullptr, nullptr};
        std::atomic<size_t> nextBytes[3] = {0, 0, 0};
    };

    // Thread `self` of a loop of `parts`, just woken: when another thread of the loop is on its core,
    // it moves to a core none of them is on, by leaving those cores out of its affinity for a moment
    // and then putting back the affinity it had: no thread stays pinned, and the system picks which of
    // the other cores it runs on.
    void stepAside(size_t self, size_t parts) {
        const int here = sched_getcpu();
        if (here < 0) return;
        bool shared = false;
        for (size_t i = 0; i < parts && !shared; ++i)
            shared = i != self && cpus_[i].load(std::memory_order_relaxed) == here;
        if (!shared) return;
        cpu_set_t allowed, elsewhere;
        if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
        elsewhere = allowed;
        for (size_t i = 0; i < parts; ++i) {
            const int cpu = cpus_[i].load(std::memory_order_relaxed);
            if (i != self && cpu >= 0 && cpu < CPU_SETSIZE) CPU_CLR(cpu, &elsewhere);
        }
        if (CPU_COUNT(&elsewhere) == 0) return;
        if (sched_setaffinity(0, sizeof elsewhere, &elsewhere) == 0) sched_setaffinity(0, sizeof allowed, &allowed);
    }

    // The futex bit helper `index` waits as; helpers 32 apart share one.
    static uint32_t helperBit(unsigned index) { return uint32_t{1} << (index % 32); }
    static uint32_t helperBits(int helpers) { return helpers >= 32 ? ~uint32_t{0} : (uint32_t{1} << helpers) - 1; }

    // The loop published as epoch `e`, or false when the caller has moved on meanwhile.
    bool read(uint32_t e, Job& job) const {
        job.fn = job_.fn.load(std::memory_order_relaxed);
        job.context = job_.context.load(std::memory_order_relaxed);
        job.count = job_.count.load(std::memory_order_relaxed);
        job.chunk = job_.chunk.load(std::memory_order_relaxed);
        job.chunks = job_.chunks.load(std::memory_order_relaxed);
        job.parts = job_.parts.load(std::memory_order_relaxed);
        job.moreSoon = job_.moreSoon.load(std::memory_order_relaxed);
        for (int i = 0; i < 3; ++i) {
            job.next.base[i] = job_.nextBase[i].load(std::memory_order_relaxed);
            job.next.bytes[i] = job_.nextBytes[i].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        return epoch_.load(std::memory_order_relaxed) == e;
    }

    // Thread `self` (0 the caller, i + 1 helper i): its own range, then the others' in turn, until
    // every chunk is claimed or the loop `tag` is over.
    void work(const Job& job, uint32_t tag, size_t self) {
        for (size_t k = 0; k < job.parts; ++k) {
            const size_t r = (self + k) % job.parts, end = job.chunks * (r + 1) / job.parts;
            std::atomic<uint64_t>& word = ranges_[r].word;
            // A plain read first: at the end of a loop every thread looks at every range, and
            // claiming on a range already used up would pull its line from core to core.
            uint64_t w = word.load(std::memory_order_relaxed);
            uint32_t finished = 0;
            for (;;) {
                if (static_cast<uint32_t>(w >> 32) != tag) return;  // ended, and the next one published
                const size_t c = static_cast<uint32_t>(w);
                if (c >= end) break;
                if (!word.compare_exchange_weak(w, w + 1, std::memory_order_relaxed)) continue;
                const size_t b = c * job.chunk;
                job.fn(job.context, b, std::min(job.count, b + job.chunk));
                ++finished;
                w = word.load(std::memory_order_relaxed);
            }
            // Counted per range, so that a thread taken off its core while it looks through the
            // others' ranges holds up nothing it has done.
            if (finished != 0 &&
                done_.fetch_add(finished, std::memory_order_seq_cst) + finished == job.chunks &&
                joinSleeping_.load(std::memory_order_seq_cst) != 0)
                futexWake(&done_);
        }
    }

    // Waits until all `chunks` are done: spinning a while when the machine has a core to spare,
    // then asleep until the thread that finishes the last chunk wakes it.
    void join(uint32_t chunks) {
        const auto spinFor = contended_.load(std::memory_order_relaxed) ? kContendedSpin : kJoinSpin;
        auto until = std::chrono::steady_clock::time_point::min();
        for (unsigned spins = 0;; ++spins) {
            const uint32_t done = done_.load(std::memory_order_acquire);
            if (done == chunks) return;
            if (spins < 64) {
                _mm_pause();
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (until == std::chrono::steady_clock::time_point::min()) until = now + spinFor;
            if (now < until) {
                for (int i = 0; i < 16; ++i) _mm_pause();
                continue;
            }
            joinSleeping_.store(1, std::memory_order_seq_cst);
            if (done_.load(std::memory_order_seq_cst) == done) futexWait(&done_, done);
        }
    }

    void helperLoop(unsigned index) {
        // Nothing is published as epoch 0: a helper the system starts only while a loop runs (or
        // while the pool stops) still takes part in it.
        uint32_t seen = 0;
        bool slept = false;
        // Spin this long after a loop before sleeping: a decoder step's loops follow each other
        // within microseconds, while the encoder's leave gaps between them.
        auto spinFor = kHelperSpin;
        for (;;) {
            const uint32_t e =
                waitForEpoch(index, seen, contended_.load(std::memory_order_relaxed) ? kContendedSpin : spinFor, slept);
            if (stopping_.load(std::memory_order_acquire)) return;
            if ((e & 1) != 0) {  // being written: look again once it is published
                waitForEpoch(index, e, kContendedSpin, slept);
                continue;
            }
            Job job;
            if (!read(e, job)) continue;
            seen = e;
            if (index + 1 >= job.parts) continue;
            spinFor = job.moreSoon ? kHelperSpinMoreSoon : kHelperSpin;
            if (slept) stepAside(index + 1, job.parts);
            slept = false;
            cpus_[index + 1].store(sched_getcpu(), std::memory_order_relaxed);
            work(job, e, index + 1);
            prefetchShare(job.next, index + 1, job.parts);
        }
    }

    // The epoch once it is no longer `seen` (or the pool stops): spinning for `spinFor`, then
    // asleep until woken (`slept` is then set).
    uint32_t waitForEpoch(unsigned index, uint32_t seen, std::chrono::microseconds spinFor, bool& slept) {
        const auto until = std::chrono::steady_clock::now() + spinFor;
        for (;;) {
            for (int i = 0; i < 32; ++i) {
                const uint32_t e = epoch_.load(std::memory_order_acquire);
                if (e != seen) return e;
                _mm_pause();
            }
            if (std::chrono::steady_clock::now() < until) continue;
            // Asleep it holds no core: a helper woken on this one need not step aside for it.
            cpus_[index + 1].store(-1, std::memory_order_relaxed);
            slept = true;
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            while (epoch_.load(std::memory_order_seq_cst) == seen && !stopping_.load(std::memory_order_seq_cst))
                futexWaitAs(&epoch_, seen, helperBit(index));
            sleepers_.fetch_sub(1, std::memory_order_relaxed);
            return epoch_.load(std::memory_order_acquire);
        }
    }

    // Every few milliseconds, whether the machine lacks a core for each of the loop's `threads`
    // beside the other runnable threads (the pool's own awake ones counted out: a spinning helper
    // is runnable too). One more runnable thread than cores is let pass, and it takes two looks in
    // a row to change the verdict: a helper on its way to sleep still counts as runnable.
    void watchLoad(int threads) {
        const auto now = std::chrono::steady_clock::now();
        if (now < nextLoadCheck_) return;
        nextLoadCheck_ = now + std::chrono::milliseconds(4);
        const int running = runnableThreads();
        if (running < 0) return;
        const int ours = 1 + static_cast<int>(helperCount_) - static_cast<int>(sleepers_.load(std::memory_order_relaxed));
        const int others = running - ours;
        const bool lacking = others + threads > onlineCpus_ + 1;
        if (lacking == lastLook_) contended_.store(lacking, std::memory_order_relaxed);
        lastLook_ = lacking;
    }

    // Runnable threads on the machine just now, or -1 when that cannot be read.
    int runnableThreads() {
        if (loadavg_ == kNotOpened) {
            loadavg_ = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
            if (loadavg_ < 0) loadavg_ = kUnreadable;
        }
        char text[128];
        const ssize_t n = loadavg_ < 0 ? -1 : pread(loadavg_, text, sizeof text - 1, 0);
        if (n <= 0) return -1;
        text[n] = '\0';
        // "0.52 0.58 0.59 3/467 12345": the fourth field's first number.
        const char* p = text;
        for (int field = 0; field < 3 && p; ++field) {
            p = std::strchr(p, ' ');
            if (p) ++p;
        }
        return p ? std::atoi(p) : -1;
    }

    static constexpr std::chrono::microseconds kHelperSpin{50}, kHelperSpinMoreSoon{2000}, kJoinSpin{200},
        kContendedSpin{200};

    std::vector<Range> ranges_;
    // The core each thread (0 the caller) was on when it last started its part of a loop; -1 while a
    // helper sleeps. Read only to decide whether to step aside, so a stale value costs nothing.
    std::vector<std::atomic<int>> cpus_ = std::vector<std::atomic<int>>(ranges_.size());
    std::vector<std::thread> threads_;
    size_t helperCount_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> contended_{false};
    const int onlineCpus_ = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    // Touched by the caller only.
    std::chrono::steady_clock::time_point nextLoadCheck_{};
    static constexpr int kNotOpened = -1, kUnreadable = -2;
    int loadavg_ = kNotOpened;
    bool lastLook_ = false;
    alignas(64) std::atomic<uint32_t> epoch_{0};
    std::atomic<uint32_t> sleepers_{0};
    alignas(64) PublishedJob job_;
    alignas(64) std::atomic<uint32_t> done_{0};
    std::atomic<uint32_t> joinSleeping_{0};
};

// Whether a loop runs on the pool. Trivially destructible, so still valid while and after the pool
// is destroyed at exit: a loop that finds it taken runs on its caller alone.
std::atomic<bool> loopRunning{false};

int allowedCpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// One thread for each CPU the process may run on when the pool starts.
int poolThreads() {
    static const int threads = allowedCpus();
    return threads;
}

// Owns the pool for the process's lifetime. At exit it waits for a loop still running (a
// transcription the app did not stop in time), then holds `loopRunning` for good, so that loops
// started later run on their callers and no helper is inside a loop while the statics go. A loop
// that does not end within a couple of seconds keeps the pool alive: leaking it beats freeing what
// its threads still read.
struct PoolOwner {
    Pool* pool = new Pool(static_cast<unsigned>(poolThreads()));
    ~PoolOwner() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (loopRunning.exchange(true, std::memory_order_acquire)) {
            if (std::chrono::steady_clock::now() > until) return;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        delete pool;
    }
};

// Runs the loop on the pool unless another loop holds it (a second prediction at the same time, a
// loop started from inside a loop, or the process exiting); false then.
bool runOnPool(RangeFunction fn, void* context, size_t count, size_t chunk, int helpers, bool moreSoon,
               const NextReads* next) {
    if (loopRunning.exchange(true, std::memory_order_acquire)) return false;
    static PoolOwner owner;
    owner.pool->run(fn, context, count, chunk, helpers, moreSoon, next);
    loopRunning.store(false, std::memory_order_release);
    return true;
}

std::atomic<int> threadSetting{0};

}  // namespace

int kernelThreadCount() {
    const int set = threadSetting.load(std::memory_order_relaxed);
    return set > 0 ? set : poolThreads();
}

void setKernelThreadCount(int threads) { threadSetting.store(std::max(0, threads), std::memory_order_relaxed); }

void parallelForRaw(size_t count, size_t grain, RangeFunction fn, void* context, bool moreSoon,
                    const NextReads* next) {
    if (count == 0) return;
    grain = std::max<size_t>(grain, 1);
    int threads = std::min(kernelThreadCount(), poolThreads());
    size_t maxChunks = (count + grain - 1) / grain;
    if (threads <= 1 || maxChunks <= 1) {
        fn(context, 0, count);
        return;
    }
    threads = static_cast<int>(std::min<size_t>(threads, maxChunks));
    // A few chunks per thread balances uneven rows without much bookkeeping.
    size_t chunks = std::min(maxChunks, static_cast<size_t>(threads) * 4);
    size_t chunk = (count + chunks - 1) / chunks;
    if (!runOnPool(fn, context, count, chunk, threads - 1, moreSoon, next)) fn(context, 0, count);
}

void parallelTasksRaw(size_t count, RangeFunction fn, void* context, const NextReads* next) {
    if (count == 0) return;
    const int threads = static_cast<int>(
        std::min<size_t>({static_cast<size_t>(kernelThreadCount()), static_cast<size_t>(poolThreads()), count}));
    // Chunks are counted in 32 bits; more tasks than that go in runs of several.
    const size_t chunk = std::max<size_t>(1, count >> 31);
    if (threads <= 1 || !runOnPool(fn, context, count, chunk, threads - 1, false, next)) fn(context, 0, count);
}

}  // namespace coreml::whisper

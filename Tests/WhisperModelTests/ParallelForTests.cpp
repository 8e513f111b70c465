// The kernels' fork-join loop: every item exactly once, a thread held up in one chunk holds up
// nothing else, no more threads than the process has CPUs, and a clean exit while loops run.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace {

using namespace coreml::whisper;

struct ThreadSetting {
    explicit ThreadSetting(int threads) : before_(kernelThreadCount()) { setKernelThreadCount(threads); }
    ~ThreadSetting() { setKernelThreadCount(before_); }
    int before_;
};

TEST(WhisperParallelFor, RunsEveryItemOnceWhateverTheCountGrainAndThreads) {
    for (int threads : {1, 2, 3, 8})
        for (size_t count : {1u, 7u, 8u, 9u, 100u, 1001u})
            for (size_t grain : {1u, 3u, 64u})
                for (bool tasks : {false, true}) {
                    SCOPED_TRACE(testing::Message() << threads << " threads, " << count << " items, grain " << grain
                                                    << (tasks ? ", tasks" : ""));
                    ThreadSetting setting(threads);
                    std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[count]());
                    std::atomic<bool> inRange{true};
                    auto body = [&](size_t b, size_t e) {
                        if (b >= e || e > count) inRange = false;
                        for (size_t i = b; i < e && i < count; ++i) runs[i].fetch_add(1);
                    };
                    if (tasks)
                        parallelTasks(count, body);
                    else
                        parallelFor(count, grain, body, grain == 3);
                    EXPECT_TRUE(inRange);
                    size_t once = 0;
                    for (size_t i = 0; i < count; ++i) once += runs[i].load() == 1;
                    EXPECT_EQ(once, count);
                }
}

// The items are cut into one range per thread; a thread stuck in its first chunk must leave the
// rest of its range to the others, or a helper the system stops running would stall the loop.
TEST(WhisperParallelFor, AThreadHeldInOneChunkLeavesTheRestOfItsRangeToTheOthers) {
    for (int threads : {2, 8}) {
        SCOPED_TRACE(threads);
        ThreadSetting setting(threads);
        const size_t count = 800;
        std::atomic<size_t> finished{0};
        std::atomic<bool> othersFinished{false};
        // The chunk that starts the last thread's range waits (up to far longer than the loop needs)
        // until every other chunk is done.
        const size_t held = count * static_cast<size_t>(threads - 1) / static_cast<size_t>(threads);
        parallelFor(count, 1, [&](size_t b, size_t e) {
            if (b <= held && held < e) {
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (finished.load() < count - (e - b) && std::chrono::steady_clock::now() < until)
                    std::this_thread::yield();
                othersFinished = finished.load() == count - (e - b);
            }
            finished.fetch_add(e - b);
        });
        EXPECT_TRUE(othersFinished);
        EXPECT_EQ(finished.load(), count);
    }
}

// The pool starts one thread per CPU the process may run on, so `taskset` bounds the kernels even
// where the engine asks for more threads.
TEST(WhisperParallelForDeathTest, RunsOnNoMoreThreadsThanTheProcessMayUseCpus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 3) GTEST_SKIP() << "needs three CPUs";
    EXPECT_EXIT(
        {
            // A fresh process: the pool starts on its first loop, after the mask is narrowed.
            cpu_set_t two;
            CPU_ZERO(&two);
            for (int cpu = 0, kept = 0; kept < 2; ++cpu) {
                if (!CPU_ISSET(cpu, &allowed)) continue;
                CPU_SET(cpu, &two);
                ++kept;
            }
            sched_setaffinity(0, sizeof two, &two);
            setKernelThreadCount(8);
            std::mutex lock;
            std::set<std::thread::id> threads;
            // Chunks that take a while, so that every helper there is gets some.
            parallelFor(64, 1, [&](size_t, size_t) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                std::lock_guard<std::mutex> hold(lock);
                threads.insert(std::this_thread::get_id());
            });
            std::exit(threads.size() <= 2 ? 0 : 10 + static_cast<int>(threads.size()));
        },
        testing::ExitedWithCode(0), "");
}

// Every thread of this process on `cpus`.
void placeEveryThread(const cpu_set_t& cpus) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return;
    while (dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') sched_setaffinity(std::atoi(entry->d_name), sizeof cpus, &cpus);
    closedir(tasks);
}

// The child process of the test below; exits 0 when the helper did its part on `b`.
[[noreturn]] void runBesideTheCallersCore(int a, int b) {
    setKernelThreadCount(2);
    parallelFor(2, 1, [](size_t, size_t) {});  // the pool starts, its helpers free to go anywhere
    cpu_set_t onlyA, onlyB, both;
    CPU_ZERO(&onlyA);
    CPU_ZERO(&onlyB);
    CPU_SET(a, &onlyA);
    CPU_SET(b, &onlyB);
    CPU_OR(&both, &onlyA, &onlyB);
    // Every thread's last core is `a`: a loop runs there, then the helpers sleep.
    placeEveryThread(onlyA);
    parallelFor(2, 1, [](size_t, size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    placeEveryThread(both);
    sched_setaffinity(0, sizeof onlyA, &onlyA);
    std::atomic<bool> stop{false};
    std::thread spinner([&] {
        sched_setaffinity(0, sizeof onlyB, &onlyB);
        while (!stop.load(std::memory_order_relaxed)) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Two chunks, one per thread: the caller's waits until the helper has done the other.
    std::atomic<int> helperCpu{-1};
    parallelFor(2, 1, [&](size_t begin, size_t) {
        if (begin == 1) {
            helperCpu.store(sched_getcpu());
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (helperCpu.load() < 0 && std::chrono::steady_clock::now() < until) {
        }
    });
    stop = true;
    spinner.join();
    const int cpu = helperCpu.load();
    std::exit(cpu == b ? 0 : cpu == a ? 2 : 3);
}

// With no core idle the system wakes a helper on the core it last ran on. A helper that last ran
// on the caller's core would take it from the caller at every loop, so the woken helper moves to
// another core. Here the caller keeps core `a`, a spinning thread keeps `b` busy, and the helper,
// last run on `a` and allowed both, must do its part on `b`.
TEST(WhisperParallelForDeathTest, AHelperWokenOnTheCallersCoreMovesOffIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "needs two CPUs";
    int a = -1, b = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE && b < 0; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) (a < 0 ? a : b) = cpu;
    EXPECT_EXIT(runBesideTheCallersCore(a, b), testing::ExitedWithCode(0), "");
}

// At exit the pool's static goes while other threads may still start loops (the app stops its
// transcriptions first, but nothing here may rely on that): loops finish on their callers, and no
// thread touches the pool once it is gone.
TEST(WhisperParallelForDeathTest, ExitingWhileOtherThreadsRunLoopsIsClean) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setKernelThreadCount(8);
            std::atomic<int> started{0};
            for (int t = 0; t < 3; ++t)
                std::thread([&started] {
                    std::vector<float> values(4096);
                    started.fetch_add(1);
                    for (;;) {
                        parallelFor(values.size(), 64, [&](size_t b, size_t e) {
                            for (size_t i = b; i < e; ++i) values[i] += 1.0f;
                        });
                        parallelTasks(16, [&](size_t b, size_t e) {
                            for (size_t i = b * 256; i < e * 256; ++i) values[i] -= 1.0f;
                        });
                        if (values[4095] != 0.0f) std::abort();
                    }
                }).detach();
            while (started.load() < 3) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace

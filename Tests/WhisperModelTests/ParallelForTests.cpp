// The kernels' fork-join loop: every item exactly once, and a thread held up in one chunk holds up
// nothing else.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
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

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/TaskPool.hpp"

namespace {

using namespace std::chrono_literals;
using foundation::ManualExecutor;
using foundation::TaskPool;

// Waits with a bound so a deadlock fails the test instead of hanging it.
template <class T>
T getWithin(std::future<T>& future, std::chrono::seconds limit = 10s) {
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out: deadlock?";
        std::abort();
    }
    return future.get();
}

TEST(TaskPool, RunsJobsInOrderAndFinishesTheQueueWhenDestroyed) {
    std::vector<int> order;
    std::atomic<bool> onWorker{true};
    {
        TaskPool pool(1);
        EXPECT_EQ(pool.threadCount(), 1u);
        EXPECT_FALSE(pool.isWorkerThread());
        pool.post([] { std::this_thread::sleep_for(20ms); });  // keeps the rest queued at destruction
        for (int i = 0; i < 50; ++i)
            pool.post([&, i] {
                order.push_back(i);
                if (!pool.isWorkerThread()) onWorker = false;
            });
    }
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(onWorker);

    TaskPool a(1), b(1);
    auto crossCheck = a.submit([&] { return std::make_pair(a.isWorkerThread(), b.isWorkerThread()); });
    EXPECT_EQ(getWithin(crossCheck), std::make_pair(true, false));
}

TEST(TaskPool, ErrorsStayWithTheirJobs) {
    TaskPool pool(1);
    pool.post([] { throw std::runtime_error("posted job fails"); });  // must not take the worker down
    auto failing = pool.submit([]() -> int { throw std::runtime_error("boom"); });
    auto fine = pool.submit([] { return 7; });
    EXPECT_THROW(getWithin(failing), std::runtime_error);
    EXPECT_EQ(getWithin(fine), 7);
}

TEST(TaskPool, CallerCanRunQueuedJobsItself) {
    TaskPool pool(1);
    std::promise<void> release, started;
    auto blocker = release.get_future().share();
    pool.post([blocker, &started] {
        started.set_value();
        blocker.wait();
    });
    started.get_future().wait();
    std::thread::id ranOn;
    pool.post([&] { ranOn = std::this_thread::get_id(); });
    // The single worker is busy, so the job can only have been run by this thread.
    EXPECT_TRUE(pool.runOneQueuedJob());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(pool.runOneQueuedJob());
    release.set_value();
}

TEST(TaskPool, SharedPoolIsCreatedOnce) {
    std::vector<std::future<TaskPool*>> callers;
    for (int i = 0; i < 8; ++i) callers.push_back(std::async(std::launch::async, [] { return &TaskPool::shared(); }));
    std::set<TaskPool*> pools;
    for (auto& c : callers) pools.insert(c.get());
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_GE((*pools.begin())->threadCount(), 2u);
    EXPECT_GE((*pools.begin())->threadCount(), std::thread::hardware_concurrency());
}

TEST(TaskGroup, NestedGroupsOnOneThreadDoNotDeadlockAndKeepInputOrder) {
    TaskPool pool(1);
    auto outer = pool.submit([&] {
        std::vector<std::function<std::vector<int>()>> children;
        for (int i = 0; i < 4; ++i)
            children.push_back([&pool, i] {
                std::vector<std::function<int()>> grandchildren;
                for (int j = 0; j < 3; ++j)
                    grandchildren.push_back([i, j] {
                        std::this_thread::sleep_for(std::chrono::milliseconds((3 - j)));
                        return i * 10 + j;
                    });
                return foundation::runTaskGroup(pool, std::move(grandchildren));
            });
        return foundation::runTaskGroup(pool, std::move(children));
    });
    auto result = getWithin(outer);
    ASSERT_EQ(result.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(result[i], (std::vector<int>{i * 10, i * 10 + 1, i * 10 + 2}));
}

TEST(TaskGroup, FirstErrorInInputOrderReachesTheCallerAfterAllChildrenEnd) {
    TaskPool pool(4);
    std::atomic<bool> lastFinished{false};
    std::vector<std::function<int()>> children{
        [] { return 1; },
        []() -> int {
            std::this_thread::sleep_for(20ms);
            throw std::runtime_error("first");
        },
        []() -> int { throw std::logic_error("second"); },
        [&] {
            std::this_thread::sleep_for(40ms);
            lastFinished = true;
            return 4;
        },
    };
    try {
        foundation::runTaskGroup(pool, std::move(children));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "first");
    }
    EXPECT_TRUE(lastFinished);
}

TEST(ManualExecutor, PostedJobsRunInOrderOnlyWhenDrained) {
    ManualExecutor executor;
    std::vector<std::string> log;
    executor.post([&] {
        log.push_back("a");
        executor.post([&] { log.push_back("c"); });
    });
    executor.post([&] { log.push_back(executor.isMainThread() ? "b-main" : "b-other"); });
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(executor.pendingJobs(), 2u);
    executor.drain();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b-main", "c"}));
    EXPECT_EQ(executor.now(), ManualExecutor::Duration{0});

    // Another thread is the main thread only while it drives the executor.
    auto other = std::async(std::launch::async, [&] {
        bool before = executor.isMainThread();
        bool during = false;
        executor.post([&] { during = executor.isMainThread(); });
        executor.drain();
        return std::make_pair(before, during);
    });
    EXPECT_EQ(getWithin(other), std::make_pair(false, true));
    EXPECT_TRUE(executor.isMainThread());  // the creating thread
}

TEST(ManualExecutor, TimersRunAtTheirDeadlinesInOrder) {
    ManualExecutor executor;
    std::vector<std::string> log;
    auto stamp = [&](const std::string& name) {
        log.push_back(name + "@" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(executor.now()).count()));
    };
    executor.scheduleAfter(30ms, [&] { stamp("A"); });
    executor.scheduleAfter(10ms, [&] {
        stamp("B");
        executor.post([&] { stamp("posted"); });  // runs before the next timer
    });
    executor.scheduleAfter(10ms, [&] { stamp("C"); });  // same deadline: scheduling order
    int ticks = 0;
    executor.scheduleRepeating(10ms, [&] { stamp("R" + std::to_string(++ticks)); });
    auto cancelled = executor.scheduleAfter(20ms, [&] { stamp("cancelled"); });
    executor.cancel(cancelled);
    executor.cancel(9999);  // unknown: nothing happens

    executor.advance(35ms);
    EXPECT_EQ(log, (std::vector<std::string>{"B@10", "posted@10", "C@10", "R1@10", "R2@20", "A@30", "R3@30"}));
    EXPECT_EQ(executor.now(), ManualExecutor::Duration{35ms});
    EXPECT_EQ(executor.pendingTimers(), 1u);  // the repeating timer

    log.clear();
    executor.advance(5ms);  // the repeating timer keeps its phase: next at 40
    EXPECT_EQ(log, std::vector<std::string>{"R4@40"});
}

TEST(ManualExecutor, RepeatingTimerCanCancelItself) {
    ManualExecutor executor;
    int runs = 0;
    ManualExecutor::TimerID id = 0;
    id = executor.scheduleRepeating(1s, [&] {
        if (++runs == 3) executor.cancel(id);
    });
    executor.advance(10s);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST(ManualExecutor, WaitsForWorkPostedFromAnotherThread) {
    ManualExecutor executor;
    EXPECT_FALSE(executor.waitForPost(10ms));
    std::atomic<bool> ranOnMain{false};
    auto result = TaskPool::shared().submit([&] {
        std::this_thread::sleep_for(20ms);
        executor.post([&] { ranOnMain = executor.isMainThread(); });
    });
    EXPECT_TRUE(executor.waitForPost(10000ms));
    executor.drain();
    EXPECT_TRUE(ranOnMain);
    getWithin(result);
}

}  // namespace

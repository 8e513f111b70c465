#include "PelluxCore/Logging.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "PelluxCore/ModelState.hpp"

namespace pellux {
namespace {

using LogLevel = Logging::LogLevel;

struct Described {
    std::string description() const { return "Described(7)"; }
};

// Installs an in-memory system log and restores the process-wide state afterwards.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousSink_ = Logging::shared().setSystemLogSink(sink_);
        Logging::shared().setLoggingCallback(nullptr);
        Logging::shared().setLogLevel(LogLevel::none);
    }
    void TearDown() override {
        Logging::shared().setLoggingCallback(nullptr);
        Logging::shared().setLogLevel(LogLevel::none);
        Signposts::setEnabled(false);
        Logging::shared().setSystemLogSink(previousSink_);
    }
    // Collects callback messages.
    void captureMessages() {
        Logging::shared().setLoggingCallback([this](const std::string& message) {
            std::lock_guard guard(mutex_);
            messages_.push_back(message);
        });
    }
    std::vector<std::string> messages() {
        std::lock_guard guard(mutex_);
        return messages_;
    }

    std::shared_ptr<InMemoryLogSink> sink_ = std::make_shared<InMemoryLogSink>();
    std::shared_ptr<LogSink> previousSink_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

TEST_F(LoggingTest, GatesWriteOnlyAtOrAboveTheLevel) {
    struct Case {
        LogLevel level;
        std::vector<std::string> written;
    };
    const std::vector<Case> cases = {
        {LogLevel::none, {}},
        {LogLevel::error, {"E"}},
        {LogLevel::info, {"I", "E"}},
        {LogLevel::debug, {"D", "I", "E"}},
    };
    for (const auto& c : cases) {
        messages_.clear();
        captureMessages();
        Logging::shared().setLogLevel(c.level);
        Logging::debug("D");
        Logging::info("I");
        Logging::error("E");
        EXPECT_EQ(messages(), c.written) << "level " << Logging::rawValue(c.level);
    }
    // With the initial level and no callback, the system log stays empty too.
    Logging::shared().setLoggingCallback(nullptr);
    Logging::shared().setLogLevel(LogLevel::none);
    Logging::error("nothing");
    EXPECT_TRUE(sink_->entries().empty());
}

TEST_F(LoggingTest, ItemsAreRenderedAsPrintWouldAndJoinedWithoutTerminator) {
    captureMessages();
    Logging::shared().setLogLevel(LogLevel::debug);
    Logging::debug("text", 42, 2.5, 0.1f, 1.0, true, Described{}, ModelState::prewarmed);
    Logging::info(Logging::Format{", ", "<END>"}, "a", int64_t{-3}, std::optional<std::string>("x"),
                  std::optional<int>(), std::vector<std::string>{"p", "q"});
    Logging::error();
    EXPECT_THAT(messages(), ::testing::ElementsAre("text 42 2.5 0.1 1.0 true Described(7) Specialized",
                                                   "a, -3, Optional(\"x\"), nil, [\"p\", \"q\"]", ""));
}

TEST_F(LoggingTest, WithoutCallbackMessagesGoToTheSystemLogWithTheGateType) {
    Logging::shared().setLogLevel(LogLevel::debug);
    Logging::debug("one", 1);
    Logging::info("two");
    Logging::error("three");
    Logging::shared().log(LogType::fault, Logging::Format{}, "four");
    // A callback takes over; removing it sends messages to the system log again.
    captureMessages();
    Logging::error("to callback");
    Logging::shared().setLoggingCallback(nullptr);
    Logging::error("back");

    const auto entries = sink_->entries();
    ASSERT_EQ(entries.size(), 5u);
    const std::vector<std::pair<LogType, std::string>> expected = {
        {LogType::debug, "one 1"}, {LogType::info, "two"}, {LogType::error, "three"},
        {LogType::fault, "four"},  {LogType::error, "back"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].type, expected[i].first);
        EXPECT_EQ(entries[i].message, expected[i].second);
        EXPECT_EQ(entries[i].category, "Pellux");
        EXPECT_EQ(entries[i].subsystem, Logging::subsystem());
    }
    EXPECT_THAT(messages(), ::testing::ElementsAre("to callback"));
}

TEST(LogLevelTest, RawValues) {
    EXPECT_EQ(Logging::logLevelFromRawValue(0), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(5), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(-1), std::nullopt);
    const std::vector<LogLevel> levels = {LogLevel::debug, LogLevel::info, LogLevel::error, LogLevel::none};
    for (int64_t raw = 1; raw <= 4; ++raw) {
        EXPECT_EQ(Logging::logLevelFromRawValue(raw), levels[static_cast<size_t>(raw - 1)]);
        EXPECT_EQ(Logging::rawValue(levels[static_cast<size_t>(raw - 1)]), raw);
    }
}

TEST(LoggingFormatTest, TimeWithPercentage) {
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 10, 2000), "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 0, 2000), "  500.00 ms /      0 runs (    0.00 ms/run) 25.00%");
    // A zero pipeline duration is not guarded: the percentage shows the infinite value.
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 1, 0), "  500.00 ms /      1 runs (  500.00 ms/run)   inf%");
}

TEST_F(LoggingTest, MemoryUsageIsLoggedOnlyAtDebug) {
    EXPECT_GT(getMemoryUsage(), 0u);
    captureMessages();
    Logging::shared().setLogLevel(LogLevel::info);
    logCurrentMemoryUsage("before");
    EXPECT_TRUE(messages().empty());
    Logging::shared().setLogLevel(LogLevel::debug);
    Logging::logCurrentMemoryUsage("after");
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_THAT(messages()[0], ::testing::MatchesRegex("after - Memory usage: [0-9]+ MB"));
}

// A callback may log again or replace itself: it is called outside any lock.
TEST_F(LoggingTest, CallbackMayLogAndReplaceItself) {
    Logging::shared().setLogLevel(LogLevel::debug);
    std::vector<std::string> seen;
    Logging::shared().setLoggingCallback([&seen](const std::string& message) {
        seen.push_back(message);
        Logging::shared().setLoggingCallback([&seen](const std::string& next) { seen.push_back("second:" + next); });
        Logging::info("from inside");
    });
    Logging::info("first");
    EXPECT_THAT(seen, ::testing::ElementsAre("first", "second:from inside"));
}

TEST_F(LoggingTest, LevelAndCallbackChangeWhileOtherThreadsLog) {
    std::atomic<bool> stop{false};
    std::atomic<int64_t> delivered{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&] {
            while (!stop.load()) {
                Logging::debug("d", 1);
                Logging::info("i", 2.5);
                Logging::error("e");
            }
        });
    }
    const std::vector<LogLevel> levels = {LogLevel::debug, LogLevel::info, LogLevel::error, LogLevel::none};
    for (int round = 0; round < 2000; ++round) {
        Logging::shared().setLogLevel(levels[static_cast<size_t>(round) % levels.size()]);
        if (round % 3 == 0) {
            Logging::shared().setLoggingCallback(nullptr);
        } else {
            Logging::shared().setLoggingCallback([&delivered](const std::string&) { delivered.fetch_add(1); });
        }
        (void)Logging::shared().loggingCallback();
    }
    stop.store(true);
    for (auto& thread : loggers) thread.join();
    for (const auto& entry : sink_->entries()) EXPECT_THAT(entry.message, ::testing::AnyOf("d 1", "i 2.5", "e"));
}

TEST_F(LoggingTest, SignpostsAreSilentUntilEnabled) {
    EXPECT_EQ(Signposts::beginInterval("Decode"), 0u);
    { SignpostInterval interval("TranscribeAudio"); }
    EXPECT_TRUE(sink_->signposts().empty());

    Signposts::setEnabled(true);
    const uint64_t id = Signposts::beginInterval("Decode");
    EXPECT_NE(id, 0u);
    Signposts::endInterval("Decode", id);
    { SignpostInterval interval(std::string("TranscribeAudio")); }
    const auto events = sink_->signposts();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].phase, SignpostPhase::begin);
    EXPECT_EQ(events[1].phase, SignpostPhase::end);
    EXPECT_EQ(events[1].id, id);
    EXPECT_EQ(events[2].name, "TranscribeAudio");
    EXPECT_EQ(events[3].name, "TranscribeAudio");
    EXPECT_EQ(events[3].id, events[2].id);
}

}  // namespace
}  // namespace pellux

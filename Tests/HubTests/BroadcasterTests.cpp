#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "Hub/Broadcaster.hpp"

namespace {

using hub::Broadcaster;

Broadcaster<int> makeBroadcaster() {
    return Broadcaster<int>([] { return std::optional<int>(0); });
}

std::vector<int> take(Broadcaster<int>::Stream& stream, size_t count) {
    std::vector<int> seen;
    while (seen.size() < count) seen.push_back(*stream.next());
    return seen;
}

TEST(Broadcaster, ANewcomerGetsTheLatestStateThenEveryLaterOne) {
    auto broadcaster = makeBroadcaster();
    auto early = broadcaster.subscribe();
    for (int state : {1, 2, 3}) broadcaster.broadcast(state);
    auto late = broadcaster.subscribe();
    broadcaster.broadcast(4);
    EXPECT_EQ(take(early, 4), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(take(early, 1), (std::vector<int>{4}));
    EXPECT_EQ(take(late, 2), (std::vector<int>{3, 4}));

    Broadcaster<int> silent([] { return std::optional<int>(); });
    auto nothingYet = silent.subscribe();
    silent.broadcast(7);
    EXPECT_EQ(take(nothingYet, 1), (std::vector<int>{7})) << "no initial state to replay";
}

TEST(Broadcaster, SubscribersLeaveWhenTheirStreamGoesAndTheRestKeepReceiving) {
    auto broadcaster = makeBroadcaster();
    auto staying = broadcaster.subscribe();
    {
        auto leaving = broadcaster.subscribe();
        EXPECT_EQ(broadcaster.subscriberCount(), 2u);
    }
    EXPECT_EQ(broadcaster.subscriberCount(), 1u);
    broadcaster.broadcast(5);
    EXPECT_EQ(take(staying, 2), (std::vector<int>{0, 5}));

    auto none = makeBroadcaster();
    none.broadcast(9);
    EXPECT_EQ(none.latestState(), 9);
    auto newcomer = none.subscribe();
    EXPECT_EQ(take(newcomer, 1), (std::vector<int>{9}));
}

TEST(Broadcaster, AWaitingReaderStopsOnItsTokenOrWhenTheBroadcasterGoes) {
    auto broadcaster = std::make_unique<Broadcaster<int>>([] { return std::optional<int>(); });
    auto stream = broadcaster->subscribe();
    std::stop_source stop;
    auto waiting = std::async(std::launch::async, [&] { return stream.next(stop.get_token()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
    EXPECT_EQ(waiting.get(), std::nullopt);

    broadcaster->broadcast(1);
    broadcaster.reset();
    EXPECT_EQ(stream.next(), 1) << "what was broadcast before the end is still delivered";
    EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(Broadcaster, ConcurrentReadersSeeTheSameOrder) {
    auto broadcaster = makeBroadcaster();
    std::vector<Broadcaster<int>::Stream> streams;
    for (int i = 0; i < 4; ++i) streams.push_back(broadcaster.subscribe());
    std::vector<std::future<std::vector<int>>> readers;
    for (auto& stream : streams)
        readers.push_back(std::async(std::launch::async, [&stream] { return take(stream, 1001); }));
    for (int state = 1; state <= 1000; ++state) broadcaster.broadcast(state);
    std::vector<int> expected(1001);
    for (int i = 0; i <= 1000; ++i) expected[i] = i;
    for (auto& reader : readers) EXPECT_EQ(reader.get(), expected);
}

}  // namespace

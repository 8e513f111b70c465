#include "PelluxCore/ConcurrencyUtilities.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PelluxCore/ModelState.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace pellux {
namespace {

TEST(UnfairLockTest, ReturnsTheResultAndReleasesTheLockWhenTheBodyThrows) {
    auto lock = std::make_shared<UnfairLock>();
    EXPECT_EQ(lock->withLock([] { return 7; }), 7);
    try {
        lock->withLock([]() -> int { throw foundation::RuntimeError("boom"); });
        FAIL() << "the error must pass through";
    } catch (const foundation::RuntimeError& error) {
        EXPECT_STREQ(error.what(), "boom");
    }
    // Taken again from another thread, so a lock left held would hang instead of failing silently.
    std::thread other([&] { EXPECT_EQ(lock->withLock([] { return std::string("again"); }), "again"); });
    other.join();
}

TEST(PropertyLockTest, ConcurrentModifyLosesNoUpdate) {
    PropertyLock<int64_t> counter(0);
    PropertyLock<std::vector<int>> list;
    constexpr int threads = 8;
    constexpr int increments = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < increments; ++i) {
                counter.modify([](int64_t& value) { ++value; });
                if (i % 100 == 0) list.modify([t](std::vector<int>& values) { values.push_back(t); });
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(counter.wrappedValue(), int64_t{threads} * increments);
    EXPECT_EQ(list.wrappedValue().size(), static_cast<size_t>(threads * increments / 100));
    EXPECT_EQ(counter.modify([](int64_t& value) { return value * 2; }), int64_t{2} * threads * increments);
}

TEST(PropertyLockTest, ReadsAndWritesFromManyThreadsSeeWholeValues) {
    const std::string a(200, 'a');
    const std::string b(300, 'b');
    PropertyLock<std::string> text(a);
    std::atomic<bool> torn{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2 == 0) {
                    text.setWrappedValue(i % 2 ? a : b);
                } else {
                    const std::string seen = text.wrappedValue();
                    if (seen != a && seen != b) torn = true;
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_FALSE(torn.load());
}

TEST(PropertyLockTest, CopySharesTheLockButHoldsItsOwnValue) {
    PropertyLock<std::string> original(std::string("first"));
    PropertyLock<std::string> copy = original;
    EXPECT_EQ(copy.lock(), original.lock());
    copy.setWrappedValue("second");
    EXPECT_EQ(original.wrappedValue(), "first");
    EXPECT_EQ(copy.wrappedValue(), "second");
    // Assignment between wrappers that share a lock must not take it twice.
    original = copy;
    EXPECT_EQ(original.wrappedValue(), "second");
}

// Encodes `wrapped` and `bare` in the same position of an object and returns both texts.
template <class T>
std::pair<std::string, std::string> encodeBoth(const PropertyLock<T>& wrapped, void (*bare)(foundation::JSONWriter&)) {
    foundation::JSONWriter wrappedWriter;
    wrappedWriter.beginObject().key("v");
    wrapped.encode(wrappedWriter);
    wrappedWriter.endObject();
    foundation::JSONWriter bareWriter;
    bareWriter.beginObject().key("v");
    bare(bareWriter);
    bareWriter.endObject();
    return {wrappedWriter.str(), bareWriter.str()};
}

struct Point {
    int64_t x = 0;
    int64_t y = 0;
    void encode(foundation::JSONWriter& writer) const { writer.beginObject().field("x", x).field("y", y).endObject(); }
    static Point decode(const foundation::JSONValue& json) {
        return {json.member("x").asInt64(), json.member("y").asInt64()};
    }
};

TEST(PropertyLockTest, EncodesAndDecodesExactlyAsTheBareValue) {
    const std::string text = "caf\u00e9 / \"quoted\"";
    auto [wrappedText, bareText] = encodeBoth(PropertyLock<std::string>(text), +[](foundation::JSONWriter& w) {
        w.value(std::string("caf\u00e9 / \"quoted\""));
    });
    EXPECT_EQ(wrappedText, bareText);

    auto [wrappedNone, bareNone] =
        encodeBoth(PropertyLock<std::optional<double>>(), +[](foundation::JSONWriter& w) { w.null(); });
    EXPECT_EQ(wrappedNone, bareNone);

    auto [wrappedPoint, barePoint] =
        encodeBoth(PropertyLock<Point>(Point{1, -2}), +[](foundation::JSONWriter& w) { Point{1, -2}.encode(w); });
    EXPECT_EQ(wrappedPoint, barePoint);

    auto [wrappedList, bareList] = encodeBoth(PropertyLock<std::vector<float>>(std::vector<float>{0.1f, 2.0f}),
                                              +[](foundation::JSONWriter& w) {
                                                  w.beginArray().value(0.1f).value(2.0f).endArray();
                                              });
    EXPECT_EQ(wrappedList, bareList);

    // Decoding what the bare value wrote gives a wrapper with the same value and a lock of its own.
    const auto document = foundation::JSONDocument::parse(wrappedText);
    const auto decoded = PropertyLock<std::string>::decode(document.root().member("v"));
    EXPECT_EQ(decoded.wrappedValue(), text);
    EXPECT_NE(decoded.lock(), nullptr);
    EXPECT_EQ(PropertyLock<Point>::decode(foundation::JSONDocument::parse(wrappedPoint).root().member("v"))
                  .wrappedValue()
                  .y,
              -2);
    EXPECT_EQ(PropertyLock<std::optional<double>>::decode(foundation::JSONDocument::parse("null").root()).wrappedValue(),
              std::nullopt);
    // A decoding error passes through and no wrapper is made.
    EXPECT_THROW(PropertyLock<std::string>::decode(foundation::JSONDocument::parse("12").root()), foundation::JSONError);
    EXPECT_THROW(PropertyLock<int8_t>::decode(foundation::JSONDocument::parse("300").root()), foundation::JSONError);
}

TEST(EarlyStopActorTest, FlagsPerIdentifier) {
    EarlyStopActor actor;
    const foundation::UUID window;
    const foundation::UUID other;
    EXPECT_FALSE(actor.get(window));
    EXPECT_EQ(actor.remove(window), std::nullopt);
    actor.set(true, window);
    actor.set(false, window);
    actor.set(true, window);
    EXPECT_TRUE(actor.get(window));
    EXPECT_FALSE(actor.get(other));
    EXPECT_EQ(actor.remove(window), std::optional<bool>(true));
    EXPECT_FALSE(actor.get(window));
    EXPECT_EQ(actor.remove(window), std::nullopt);
}

TEST(EarlyStopActorTest, StopRequestFromAnotherThreadBecomesVisible) {
    auto actor = std::make_shared<EarlyStopActor>();
    const foundation::UUID window;
    actor->set(false, window);
    std::thread requester([actor, window] { actor->set(true, window); });
    while (!actor->get(window)) std::this_thread::yield();
    requester.join();
    EXPECT_EQ(actor->remove(window), std::optional<bool>(true));
}

TEST(ModelStateTest, DescriptionsAndBusyStates) {
    struct Case {
        ModelState state;
        const char* description;
        bool busy;
    };
    const Case cases[] = {
        {ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(description(c.state), c.description);
        EXPECT_EQ(isBusy(c.state), c.busy) << c.description;
    }
}

TEST(ConcurrencyUtilitiesTest, ActiveProcessorCountIsPositive) {
    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

}  // namespace
}  // namespace pellux

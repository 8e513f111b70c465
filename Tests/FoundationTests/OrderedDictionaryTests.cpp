#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Foundation/OrderedDictionary.hpp"

namespace {

using foundation::OrderedDictionary;

std::vector<std::string> flatten(const OrderedDictionary<int>& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(k + "=" + std::to_string(v));
    return out;
}

TEST(OrderedDictionary, KeepsInsertionOrderThroughReplaceAndErase) {
    OrderedDictionary<int> d{{"z", 1}, {"a", 2}, {"m", 3}, {"a", 9}};  // a repeated key replaces in place
    EXPECT_EQ(flatten(d), (std::vector<std::string>{"z=1", "a=9", "m=3"}));

    d.set("z", 10);
    d.set("b", 4);
    EXPECT_EQ(flatten(d), (std::vector<std::string>{"z=10", "a=9", "m=3", "b=4"}));

    // Erasing closes the gap and the lookups of later keys still find their values.
    EXPECT_TRUE(d.erase("a"));
    EXPECT_FALSE(d.erase("a"));
    EXPECT_EQ(flatten(d), (std::vector<std::string>{"z=10", "m=3", "b=4"}));
    ASSERT_NE(d.find("b"), nullptr);
    EXPECT_EQ(*d.find("b"), 4);
    EXPECT_EQ(*d.find("m"), 3);
    EXPECT_EQ(d.at(1).first, "m");
    EXPECT_EQ(d.find("a"), nullptr);

    // A key inserted again after removal goes to the end.
    d.set("a", 5);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "m", "b", "a"}));

    for (auto& entry : d) entry.second *= 2;
    EXPECT_EQ(*d.find("z"), 20);

    EXPECT_THROW((void)d.at(4), std::out_of_range);
    d.clear();
    EXPECT_TRUE(d.empty());
    EXPECT_FALSE(d.contains("z"));
}

TEST(OrderedDictionary, InsertNewRejectsDuplicatesAndEqualityIsOrderSensitive) {
    OrderedDictionary<int> d;
    EXPECT_TRUE(d.insertNew("k", 1));
    EXPECT_FALSE(d.insertNew("k", 2));
    EXPECT_EQ(*d.find("k"), 1);

    OrderedDictionary<int> ab{{"a", 1}, {"b", 2}};
    OrderedDictionary<int> ba{{"b", 2}, {"a", 1}};
    EXPECT_FALSE(ab == ba);
    EXPECT_TRUE(ab == (OrderedDictionary<int>{{"a", 1}, {"b", 2}}));
}

}  // namespace

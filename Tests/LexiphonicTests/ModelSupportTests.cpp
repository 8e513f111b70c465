#include <gtest/gtest.h>

#include <algorithm>

#include "Lexiphonic/Core/Models/ModelSupport.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"
#include "LogCapture.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"

using namespace lexiphonic;
using lexiphonic::testing::LogCapture;

namespace {

// Captures what the engine logs at the given level, and restores silence afterwards.

ModelSupportConfig readTable(const std::string& json) {
    auto document = foundation::JSONDocument::parse(json);
    return ModelSupportConfig::decode(document.root());
}

std::vector<std::string> firstIdentifiers(const ModelSupportConfig& table) {
    std::vector<std::string> out;
    for (const auto& row : table.deviceSupports) out.push_back(row.identifiers.empty() ? "" : row.identifiers.front());
    return out;
}

const ModelSupportConfig& builtIn() { return Constants::fallbackModelSupportConfig(); }

}  // namespace

TEST(ModelVariantTests, NamesAndLanguages) {
    ASSERT_EQ(allModelVariants.size(), 11u);
    std::vector<std::string> names;
    for (auto v : allModelVariants) names.emplace_back(description(v));
    EXPECT_EQ(names, (std::vector<std::string>{"tiny", "tiny.en", "base", "base.en", "small", "small.en", "medium",
                                                "medium.en", "large", "large-v2", "large-v3"}));
    EXPECT_EQ(std::count_if(allModelVariants.begin(), allModelVariants.end(), [](auto v) { return !isMultilingual(v); }),
              4);
    EXPECT_FALSE(isMultilingual(ModelVariant::mediumEn));
    EXPECT_TRUE(isMultilingual(ModelVariant::largev3));
}

TEST(ModelSupportTests, BuiltInTableIsCompleted) {
    const auto& table = builtIn();
    EXPECT_EQ(table.repoName, "lexiphonic-coreml-fallback");
    EXPECT_EQ(table.repoVersion, "0.4");
    ASSERT_EQ(table.deviceSupports.size(), 6u);
    ASSERT_EQ(table.knownModels.size(), 22u);
    EXPECT_EQ(std::vector<std::string>(table.knownModels.begin(), table.knownModels.begin() + 4),
              (std::vector<std::string>{"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny",
                                        "openai_whisper-tiny.en"}));
    EXPECT_EQ(table.knownModels[14], "openai_whisper-large-v2");
    EXPECT_EQ(table.knownModels.back(), "openai_whisper-large-v3-v20240930_turbo");
    EXPECT_EQ(Constants::knownModels(), table.knownModels);

    // Disabled lists: the known names outside each row, in known-model order.
    const auto& row5 = table.deviceSupports[4].models;
    EXPECT_EQ(row5.disabled.size(), 16u);
    std::vector<std::string> expected;
    for (const auto& name : table.knownModels)
        if (std::find(row5.supported.begin(), row5.supported.end(), name) == row5.supported.end()) expected.push_back(name);
    EXPECT_EQ(row5.disabled, expected);
    EXPECT_TRUE(table.deviceSupports[3].models.disabled.empty());

    EXPECT_FALSE(table.defaultSupport.chips);
    EXPECT_TRUE(table.defaultSupport.identifiers.empty());
    EXPECT_EQ(table.defaultSupport.models, (ModelSupport{"openai_whisper-base", table.knownModels, {}}));
}

TEST(ModelSupportTests, LookupByLongestIdentifierPrefix) {
    const auto& table = builtIn();
    struct Case {
        std::string device;
        int row;  // 1-based built-in row, 0 for the default support
    };
    const std::vector<Case> cases = {
        {"MacBookPro18,3", 3}, {"Mac14,2", 4},  {"iPad13,10", 3}, {"iPad13,1", 5}, {"iPad13,11", 3},
        {"iPad15,7", 2},       {"iPad16,5", 4}, {"Watch8,1", 1},  {"iPhone10,3", 0}, {"mac14,2", 0}, {"", 0},
    };
    for (const auto& c : cases) {
        auto expected = c.row == 0 ? table.defaultSupport.models : table.deviceSupports[c.row - 1].models;
        EXPECT_EQ(table.modelSupport(c.device), expected) << c.device;
    }
    EXPECT_EQ(table.deviceSupports[2].models.default_, "openai_whisper-large-v3-v20240930_626MB");
}

TEST(ModelSupportTests, LookupLogsTheMatchOrTheFallback) {
    LogCapture capture(pellux::Logging::LogLevel::debug);
    builtIn().modelSupport("Watch8,1");
    builtIn().modelSupport("iPhone10,3");
    ASSERT_EQ(capture.messages.size(), 2u);
    EXPECT_EQ(capture.messages[0],
              "Matched Watch8,1 to devices: [\"iPhone11\", \"iPhone12\", \"iPad12,1\", \"iPad12,2\", \"Watch7\", \"Watch8\"]");
    EXPECT_EQ(capture.messages[1], "No device support found for iPhone10,3, using default");
}

TEST(ModelSupportTests, ReadTableMergesWithBuiltInRows) {
    auto merged = readTable(R"({"name":"lexiphonic-coreml","version":"1","device_support":[
        {"chips":"M","identifiers":["Mac14"],"models":{"default":"x","supported":["x"]}}]})");
    EXPECT_EQ(firstIdentifiers(merged), (std::vector<std::string>{"Mac14", "iPhone11", "iPhone15", "MacBookPro17,1",
                                                                  "iPhone13", "iPhone14"}));
    const auto& first = merged.deviceSupports[0];
    EXPECT_EQ(first.chips, "M");
    EXPECT_EQ(first.identifiers, std::vector<std::string>{"Mac14"});
    EXPECT_EQ(first.models.default_, "x");
    ASSERT_EQ(first.models.supported.size(), 23u);
    EXPECT_EQ(first.models.supported[0], "x");
    EXPECT_TRUE(std::equal(first.models.supported.begin() + 1, first.models.supported.end(),
                           builtIn().deviceSupports[3].models.supported.begin()));
    EXPECT_EQ(merged.knownModels.front(), "x");
    EXPECT_EQ(merged.deviceSupports[1].models.supported, builtIn().deviceSupports[0].models.supported);

    // Only the first built-in row in built-in order that shares an identifier contributes, and every
    // built-in row with a shared identifier is left out.
    auto twoMatches = readTable(R"({"name":"coreml","version":"1","device_support":[
        {"identifiers":["iPad13,1","Mac14"],"models":{"default":"y","supported":["y"]}}]})");
    EXPECT_EQ(firstIdentifiers(twoMatches),
              (std::vector<std::string>{"iPad13,1", "iPhone11", "iPhone15", "MacBookPro17,1", "iPhone14"}));
    EXPECT_EQ(twoMatches.deviceSupports[0].models.supported.size(), 23u);

    // No rows: the built-in rows, unchanged and in order.
    auto empty = readTable(R"({"name":"lexiphonic-coreml","version":"1","device_support":[]})");
    EXPECT_EQ(empty.deviceSupports, builtIn().deviceSupports);
}

TEST(ModelSupportTests, ReadTableOutsideTheBuiltInNameStandsAlone) {
    auto own = readTable(R"({"name":"other-models","version":"2","device_support":[
        {"identifiers":["Mac14"],"models":{"default":"a","supported":["a","b"]}},
        {"chips":null,"identifiers":[],"models":{"default":"c","supported":["c","a"]}}]})");
    ASSERT_EQ(own.deviceSupports.size(), 2u);
    EXPECT_FALSE(own.deviceSupports[1].chips);
    EXPECT_EQ(own.knownModels, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(own.deviceSupports[0].models.disabled, std::vector<std::string>{"c"});
    EXPECT_EQ(own.defaultSupport.models.supported, own.knownModels);
    // A row without identifiers matches no device.
    EXPECT_EQ(own.modelSupport("iPhone1,1").default_, "openai_whisper-base");
    EXPECT_EQ(own.modelSupport("Mac14,2").default_, "a");

    ModelSupportConfig none("t", "1", {}, false);
    EXPECT_TRUE(none.knownModels.empty());
    EXPECT_EQ(none.modelSupport("Mac14,2"), (ModelSupport{"openai_whisper-base", {}, {}}));
}

TEST(ModelSupportTests, ThePairFormKeepsTheDefaultAndTheDisabledModels) {
    const auto own = readTable(R"({"name":"other-models","version":"2","device_support":[
        {"identifiers":["Mac14"],"models":{"default":"a","supported":["a","b"]}},
        {"identifiers":["iPhone"],"models":{"default":"c","supported":["c"]}}]})");
    EXPECT_EQ(modelSupportPair("Mac14,2", own), (DefaultAndDisabledModels{"a", {"c"}}));
    EXPECT_EQ(modelSupportPair("iPhone15,3", own), (DefaultAndDisabledModels{"c", {"a", "b"}}));
    // Without a table, the built-in one.
    for (const char* device : {"iPhone15,3", "Mac14,2", "Unknown1,1"}) {
        const auto support = builtIn().modelSupport(device);
        EXPECT_EQ(modelSupportPair(device), (DefaultAndDisabledModels{support.default_, support.disabled})) << device;
    }
}

TEST(ModelSupportTests, EncodedFormAndReadingFailures) {
    ModelSupportConfig table("n/a", "1", {{std::nullopt, {"A"}, {"d", {"d"}, {}}}, {"M1", {"B"}, {"e", {"e"}, {}}}},
                             false);
    foundation::JSONWriter writer;
    table.encode(writer);
    EXPECT_EQ(writer.str(),
              R"({"name":"n\/a","version":"1","device_support":[{"identifiers":["A"],"models":{"default":"d","supported":["d"]}},)"
              R"({"chips":"M1","identifiers":["B"],"models":{"default":"e","supported":["e"]}}]})");

    struct Case {
        std::string json;
        DecodingError::Case expected;
    };
    const std::vector<Case> cases = {
        {R"({"name":"n","version":"1","device_support":[{"models":{"default":"d","supported":[]}}]})",
         DecodingError::Case::keyNotFound},
        {R"({"name":"n","version":"1","device_support":[{"identifiers":["A"],"models":{"default":"d"}}]})",
         DecodingError::Case::keyNotFound},
        {R"({"name":"n","device_support":[]})", DecodingError::Case::keyNotFound},
        {R"({"name":"n","version":1,"device_support":[]})", DecodingError::Case::typeMismatch},
        {R"({"name":"n","version":"1","device_support":{}})", DecodingError::Case::typeMismatch},
    };
    for (const auto& c : cases) {
        try {
            readTable(c.json);
            ADD_FAILURE() << "read without error: " << c.json;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.expected) << c.json;
        }
    }
}

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Hub/YYJSONParser.hpp"

using hub::BinaryDistinctString;
using hub::Config;
using hub::YYJSONParser::ParseError;
using hub::YYJSONParser::parseToConfig;

namespace {

TEST(JSONReader, NumbersKeepTheDocumentsKind) {
    struct Case {
        const char* json;
        Config::Kind kind;
    };
    const Case cases[] = {
        {"1", Config::Kind::integer},
        {"-1", Config::Kind::integer},
        {"9223372036854775807", Config::Kind::integer},
        {"-9223372036854775808", Config::Kind::integer},
        {"9223372036854775808", Config::Kind::floating},
        {"18446744073709551615", Config::Kind::floating},
        {"1.0", Config::Kind::floating},
        {"1e3", Config::Kind::floating},
        {"\"text\"", Config::Kind::string},
        {"true", Config::Kind::boolean},
        {"null", Config::Kind::null},
    };
    for (const auto& c : cases) EXPECT_EQ(parseToConfig(c.json).kind(), c.kind) << c.json;
    EXPECT_EQ(parseToConfig("9223372036854775807").integer(), INT64_MAX);
    EXPECT_EQ(parseToConfig("18446744073709551615").floating(), 18446744073709551615.0f);
    EXPECT_EQ(parseToConfig("0.1").floating(), 0.1f);
    EXPECT_EQ(parseToConfig("1e300").floating(), INFINITY);  // rounded to the float range
    EXPECT_EQ(parseToConfig("3.4028235e38").floating(), 3.4028235e38f);
}

TEST(JSONReader, InfinityAndNaNLiterals) {
    Config values = parseToConfig("[Infinity, -Infinity, NaN]");
    EXPECT_EQ(values[0].floating(), INFINITY);
    EXPECT_EQ(values[1].floating(), -INFINITY);
    EXPECT_TRUE(std::isnan(*values[2].floating()));
}

TEST(JSONReader, StringsKeepAnEscapedNul) {
    Config config = parseToConfig(R"({"a\u0000b": "x\u0000y", "plain": "caf\u00e9"})");
    const Config::Dictionary& entries = *config.dictionary();
    ASSERT_EQ(entries.size(), 2u);
    auto found = entries.find(BinaryDistinctString(std::u16string(u"a\0b", 3)));
    ASSERT_NE(found, entries.end());
    EXPECT_EQ(found->second.string(), std::string("x\0y", 3));
    EXPECT_EQ(config["plain"].string(), "caf\xC3\xA9");
}

TEST(JSONReader, ObjectsKeepTheLastDuplicateAndDistinctCompositions) {
    Config config = parseToConfig("{\"k\": 1, \"k\": 2, \"\xC3\xA9\": 3, \"e\xCC\x81\": 4}");
    EXPECT_EQ(config.dictionary()->size(), 3u);
    EXPECT_EQ(config["k"].integer(), 2);
    EXPECT_EQ(config[BinaryDistinctString(u"\u00E9")].integer(), 3);
    EXPECT_EQ(config[BinaryDistinctString(u"e\u0301")].integer(), 4);
}

TEST(JSONReader, ArraysKeepDocumentOrder) {
    Config config = parseToConfig(R"([3, "a", [true], {"k": null}])");
    EXPECT_EQ(config.description(), "[[3, \"a\", [[true]], {[k: null]}]]");
}

TEST(JSONReader, Failures) {
    try {
        parseToConfig("");
        FAIL();
    } catch (const ParseError& error) {
        EXPECT_EQ(error.errorCase(), ParseError::Case::readFailed);
        EXPECT_EQ(error.code(), 0u);
        EXPECT_EQ(error.position(), 0);
        EXPECT_EQ(error.localizedDescription(), "yyjson read failed (code 0) at position 0: empty data");
    }
    const char* malformed[] = {"{\"a\": }", "[1, 2,]", "// c\n1", "\"\xFF\"", "{\"a\" 1}", "[1] x"};
    for (const char* json : malformed) {
        try {
            parseToConfig(json);
            FAIL() << json;
        } catch (const ParseError& error) {
            EXPECT_EQ(error.errorCase(), ParseError::Case::readFailed) << json;
            EXPECT_NE(error.code(), 0u) << json;
            EXPECT_TRUE(error.localizedDescription().starts_with(
                "yyjson read failed (code " + std::to_string(error.code()) + ") at position " +
                std::to_string(error.position()) + ": "))
                << error.localizedDescription();
        }
    }
    EXPECT_EQ(ParseError::nullDocument().localizedDescription(), "yyjson returned null document");
}

TEST(JSONReader, NestingIsBounded) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(parseToConfig(nested(hub::YYJSONParser::maxNestingDepth)));
    EXPECT_THROW(parseToConfig(nested(hub::YYJSONParser::maxNestingDepth + 1)), ParseError);
    EXPECT_THROW(parseToConfig(nested(1'000'000)), ParseError);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "Platform/Foundation/JSON.hpp"

namespace {

using foundation::JSONDocument;
using foundation::JSONError;
using foundation::JSONType;
using foundation::JSONWriter;
using foundation::jsonQuoted;

TEST(JSONWriter, EscapesStringsLikeThePlatformEncoder) {
    struct Case {
        std::string input;
        bool escapeSlashes;
        std::string expected;
    };
    const Case cases[] = {
        {"", true, R"("")"},
        {"a/b", true, R"("a\/b")"},
        {"a/b", false, R"("a/b")"},
        {"say \"hi\" \\ there", true, R"("say \"hi\" \\ there")"},
        {"\b\f\n\r\t", true, R"("\b\f\n\r\t")"},
        // Escapes at either end of a run of plain characters and between runs.
        {"/path/to\"x\"\n", true, R"("\/path\/to\"x\"\n")"},
        {"\\plain text run\\", false, R"("\\plain text run\\")"},
        {std::string("\x01\x1f\0x", 4), true, R"("\u0001\u001f\u0000x")"},
        // DEL and non-ASCII text (accent, CJK, emoji, line separator) stay raw UTF-8.
        {"\x7f caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80 \xE2\x80\xA8", true,
         "\"\x7f caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80 \xE2\x80\xA8\""},
        // Ill-formed UTF-8 never reaches the output: one U+FFFD per maximal ill-formed subpart.
        {"a\xFF" "b", true, "\"a\xEF\xBF\xBD" "b\""},
        {"\xE6\x97", true, "\"\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", true, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jsonQuoted(c.input, c.escapeSlashes), c.expected) << c.input;
        // Keys follow the same rules as values.
        JSONWriter writer(JSONWriter::Options{.pretty = false, .sortedKeys = false, .escapeSlashes = c.escapeSlashes});
        writer.beginObject().field(c.input, c.input).endObject();
        EXPECT_EQ(writer.str(), "{" + c.expected + ":" + c.expected + "}");
    }
}

// Plain text is scanned eight bytes at a time: each character that needs care, at every offset of a
// text longer than two words, comes out as it does alone.
TEST(JSONWriter, EscapesAtEveryOffsetOfALongText) {
    struct Case {
        std::string character;
        std::string slashEscaped, slashKept;
    };
    const Case cases[] = {
        {"\"", "\\\"", "\\\""}, {"\\", "\\\\", "\\\\"}, {"/", "\\/", "/"}, {"\n", "\\n", "\\n"},
        {std::string(1, '\0'), "\\u0000", "\\u0000"}, {"\x1f", "\\u001f", "\\u001f"}, {" ", " ", " "},
        {"\x7f", "\x7f", "\x7f"}, {"!", "!", "!"}, {"~", "~", "~"}, {"\xC3\xA9", "\xC3\xA9", "\xC3\xA9"},
        {"\xFF", "\xEF\xBF\xBD", "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        for (size_t at = 0; at <= 20; ++at) {
            std::string input = std::string(at, 'a') + c.character + std::string(20 - at, 'b');
            std::string tail = std::string(20 - at, 'b') + "\"";
            EXPECT_EQ(jsonQuoted(input, true), "\"" + std::string(at, 'a') + c.slashEscaped + tail) << at;
            EXPECT_EQ(jsonQuoted(input, false), "\"" + std::string(at, 'a') + c.slashKept + tail) << at;
        }
    }
}

TEST(JSONWriter, PrintsNumbersInTheirShortestForm) {
    struct DoubleCase {
        double value;
        const char* expected;
    };
    const DoubleCase doubles[] = {
        {1.0, "1"},       {-3.0, "-3"},        {0.0, "0"},          {-0.0, "-0"},
        {0.5, "0.5"},     {0.1, "0.1"},        {1e-05, "1e-05"},    {1e16, "1e+16"},
        {123456789.0, "123456789"},            {9007199254740992.0, "9.007199254740992e+15"},
        {-2.5, "-2.5"},   {1.2345e20, "1.2345e+20"},
    };
    for (const auto& c : doubles) {
        JSONWriter writer;
        writer.value(c.value);
        EXPECT_EQ(writer.str(), c.expected) << c.expected;
    }
    struct FloatCase {
        float value;
        const char* expected;
    };
    const FloatCase floats[] = {{0.1f, "0.1"}, {1.0f, "1"}, {-0.25f, "-0.25"}, {16777216.0f, "1.6777216e+07"}};
    for (const auto& c : floats) {
        JSONWriter writer;
        writer.value(c.value);
        EXPECT_EQ(writer.str(), c.expected) << c.expected;
    }
    JSONWriter integers;
    integers.beginArray()
        .value(std::numeric_limits<int64_t>::min())
        .value(std::numeric_limits<uint64_t>::max())
        .value(7)
        .value(true)
        .null()
        .endArray();
    EXPECT_EQ(integers.str(), "[-9223372036854775808,18446744073709551615,7,true,null]");
}

TEST(JSONWriter, RefusesNonFiniteNumbers) {
    struct Case {
        std::function<void(JSONWriter&)> write;
        const char* message;
    };
    const Case cases[] = {
        {[](JSONWriter& w) { w.value(std::nan("")); }, "Unable to encode nan directly in JSON."},
        {[](JSONWriter& w) { w.value(HUGE_VAL); }, "Unable to encode inf directly in JSON."},
        {[](JSONWriter& w) { w.value(-HUGE_VALF); }, "Unable to encode -inf directly in JSON."},
    };
    for (const auto& c : cases) {
        JSONWriter writer;
        writer.beginArray();
        try {
            c.write(writer);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const JSONError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

// A small record with nesting, empty containers and an absent optional, in declared order.
JSONWriter& writeSample(JSONWriter& w) {
    std::optional<int> absent;
    std::optional<std::string> present = "x/y";
    return w.beginObject()
        .field("zeta", 1)
        .field("alpha", "text")
        .field("absent", absent)
        .field("path", present)
        .key("list").beginArray().value(1).value(0.5).beginArray().endArray().endArray()
        .key("empty").beginObject().endObject()
        .key("nested").beginObject().field("flag", false).key("none").null().endObject()
        .endObject();
}

TEST(JSONWriter, CompactAndPrettyLayoutsKeepDeclaredKeyOrder) {
    JSONWriter compact;
    EXPECT_EQ(writeSample(compact).str(),
              R"({"zeta":1,"alpha":"text","path":"x\/y","list":[1,0.5,[]],"empty":{},"nested":{"flag":false,"none":null}})");

    JSONWriter pretty(JSONWriter::Options{.pretty = true});
    EXPECT_EQ(writeSample(pretty).str(),
              "{\n"
              "  \"zeta\" : 1,\n"
              "  \"alpha\" : \"text\",\n"
              "  \"path\" : \"x\\/y\",\n"
              "  \"list\" : [\n"
              "    1,\n"
              "    0.5,\n"
              "    []\n"
              "  ],\n"
              "  \"empty\" : {},\n"
              "  \"nested\" : {\n"
              "    \"flag\" : false,\n"
              "    \"none\" : null\n"
              "  }\n"
              "}");

    JSONWriter sorted(JSONWriter::Options{.sortedKeys = true});
    EXPECT_EQ(writeSample(sorted).str(),
              R"({"alpha":"text","empty":{},"list":[1,0.5,[]],"nested":{"flag":false,"none":null},"path":"x\/y","zeta":1})");
}

TEST(JSONWriter, RawFragmentsAreInsertedAsOneValueAndReindented) {
    const std::string fragment = R"({"b" : [1.50, -0], "a":"x\/y", "e":[]})";
    JSONWriter compact;
    compact.beginArray().raw(fragment).value(2).endArray();
    // Number text is kept as written; strings are re-escaped with the writer's rules.
    EXPECT_EQ(compact.str(), R"([{"b":[1.50,-0],"a":"x\/y","e":[]},2])");

    JSONWriter pretty(JSONWriter::Options{.pretty = true, .sortedKeys = false, .escapeSlashes = false});
    pretty.beginObject().key("inner").raw(fragment).endObject();
    EXPECT_EQ(pretty.str(),
              "{\n"
              "  \"inner\" : {\n"
              "    \"b\" : [\n"
              "      1.50,\n"
              "      -0\n"
              "    ],\n"
              "    \"a\" : \"x/y\",\n"
              "    \"e\" : []\n"
              "  }\n"
              "}");

    JSONWriter bad;
    EXPECT_THROW(bad.raw("{\"a\":"), JSONError);
    // Numbers the reader refuses are refused here too, so the writer's output always reads back.
    for (const char* number : {"1e400", "[-1e999]", "{\"x\":1e309}"}) {
        JSONWriter overflow;
        EXPECT_THROW(overflow.raw(number), JSONError) << number;
        EXPECT_THROW(foundation::JSONDocument::parse(number), JSONError) << number;
    }
}

TEST(JSONWriter, MisuseIsReportedInsteadOfWritingBrokenJSON) {
    const std::function<void(JSONWriter&)> cases[] = {
        [](JSONWriter& w) { w.beginObject(); },                          // left open
        [](JSONWriter& w) { w.beginObject().key("a"); },                 // key without value
        [](JSONWriter& w) { w.beginObject().key("a").endObject(); },     // key without value, closed
        [](JSONWriter& w) { w.beginObject().value(1); },                 // value without key
        [](JSONWriter& w) { w.beginObject().beginArray(); },             // container without key
        [](JSONWriter& w) { w.beginObject().key("a").key("b"); },        // two keys
        [](JSONWriter& w) { w.beginArray().key("a"); },                  // key in an array
        [](JSONWriter& w) { w.beginArray().endObject(); },               // mismatched close
        [](JSONWriter& w) { w.endArray(); },                             // nothing open
        [](JSONWriter& w) { w.value(1).value(2); },                      // two top-level values
        [](JSONWriter&) {},                                              // nothing written
    };
    int index = 0;
    for (const auto& misuse : cases) {
        JSONWriter writer;
        EXPECT_THROW(
            {
                misuse(writer);
                (void)writer.str();
            },
            JSONError)
            << "case " << index;
        ++index;
    }
}

TEST(JSONDocument, ReadsValuesInOrderWithDuplicateKeysKept) {
    auto doc = JSONDocument::parse(
        R"({"b":1,"a":"caf\u00e9 \ud83d\ude00","b":2,"list":[true,null,1.5,-7,18446744073709551615],"o":{}})");
    auto root = doc.root();
    ASSERT_TRUE(root.isObject());
    EXPECT_EQ(root.size(), 5u);

    auto members = root.members();
    std::vector<std::string> keys;
    for (const auto& [k, v] : members) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "b", "list", "o"}));
    EXPECT_EQ(members[2].second.asInt64(), 2);
    EXPECT_EQ(root.member("b").asInt64(), 1);  // the first of the duplicates
    EXPECT_FALSE(root.member("missing").exists());
    EXPECT_EQ(root.member("a").asString(), "caf\xC3\xA9 \xF0\x9F\x98\x80");

    auto list = root.member("list").items();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_TRUE(list[0].asBool());
    EXPECT_TRUE(list[1].isNull());
    EXPECT_EQ(list[2].type(), JSONType::number);
    EXPECT_DOUBLE_EQ(list[2].asDouble(), 1.5);
    EXPECT_EQ(list[3].type(), JSONType::integer);
    EXPECT_DOUBLE_EQ(list[3].asDouble(), -7.0);
    EXPECT_TRUE(list[4].isInteger());
    EXPECT_EQ(root.member("list")[3].asInt64(), -7);
    EXPECT_EQ(root.member("o").size(), 0u);
}

TEST(JSONDocument, TypedAccessorsNameExpectedAndActualTypes) {
    auto doc = JSONDocument::parse(R"([1, 1.5, 2.0, 1e300, 18446744073709551615, "s", null, {}])");
    auto v = doc.root();
    struct Case {
        std::function<void()> read;
        std::string message;
    };
    const Case cases[] = {
        {[&] { (void)v[5].asInt64(); }, "Expected integer but found string."},
        {[&] { (void)v[0].asString(); }, "Expected string but found integer."},
        {[&] { (void)v[6].asBool(); }, "Expected boolean but found null."},
        {[&] { (void)v[7].items(); }, "Expected array but found object."},
        {[&] { (void)v.members(); }, "Expected object but found array."},
        {[&] { (void)v[1].asInt64(); }, "Expected integer but found number 1.5."},
        {[&] { (void)v[3].asInt64(); }, "Expected integer but found number 1e+300."},
        {[&] { (void)v[4].asInt64(); }, "Expected integer but found number 18446744073709551615 out of range."},
        {[&] { (void)v[7].member("x").asDouble(); }, "Expected number but found nothing."},
        {[&] { (void)v[8]; }, "Index 8 out of range for an array of 8 elements."},
    };
    for (const auto& c : cases) {
        try {
            c.read();
            ADD_FAILURE() << "no error, expected: " << c.message;
        } catch (const JSONError& error) {
            EXPECT_EQ(error.what(), c.message);
        }
    }
    EXPECT_EQ(v[2].asInt64(), 2);  // an integral real reads as an integer
    EXPECT_FALSE(v[2].isInteger());
}

TEST(JSONDocument, UnsignedIntegersCoverTheWholeRangeAndRejectNegatives) {
    auto doc = JSONDocument::parse(R"([0, 18446744073709551615, 2.0, -1, 1.5, 1.8446744073709552e19, "1"])");
    auto v = doc.root();
    EXPECT_EQ(v[0].asUInt64(), 0u);
    EXPECT_EQ(v[1].asUInt64(), 18446744073709551615u);
    EXPECT_EQ(v[2].asUInt64(), 2u);
    for (size_t bad : {3, 4, 5, 6}) EXPECT_THROW((void)v[bad].asUInt64(), JSONError) << bad;
}

TEST(JSONDocument, InfinityAndNaNOnlyWhenAsked) {
    const std::string text = "[Infinity, -Infinity, NaN]";
    try {
        (void)JSONDocument::parse(text);
        ADD_FAILURE() << "parsed without the flag";
    } catch (const JSONError& error) {
        EXPECT_NE(std::string(error.what()).find("at byte 1"), std::string::npos) << error.what();
    }
    auto doc = JSONDocument::parse(text, JSONDocument::ReadOptions{.allowInfAndNaN = true});
    auto items = doc.root().items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].asDouble(), HUGE_VAL);
    EXPECT_EQ(items[1].asDouble(), -HUGE_VAL);
    EXPECT_TRUE(std::isnan(items[2].asDouble()));

    for (const char* bad : {"", "{", "[1,]", "{\"a\":1} x", "\"\xFF\""}) EXPECT_THROW(JSONDocument::parse(bad), JSONError) << bad;
}

TEST(JSONDocument, WriterOutputReadsBackUnchanged) {
    const std::string tricky = std::string("a/\"\\\b\f\n\r\t\x01\0z \xC3\xA9\xF0\x9F\x98\x80", 19);
    JSONWriter writer(JSONWriter::Options{.pretty = true});
    writer.beginObject().field(tricky, tricky).field("d", 0.1).field("f", 0.1f).endObject();
    auto doc = JSONDocument::parse(writer.str());
    auto members = doc.root().members();
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].first, tricky);
    EXPECT_EQ(members[0].second.asString(), tricky);
    EXPECT_EQ(members[1].second.asDouble(), 0.1);
    EXPECT_EQ(static_cast<float>(members[2].second.asDouble()), 0.1f);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>

#include "Hub/Config.hpp"
#include "Hub/YYJSONParser.hpp"
#include "Jinja/Value.hpp"
#include "Platform/Foundation/JSON.hpp"

using hub::BinaryDistinctString;
using hub::Config;

namespace hub {
void PrintTo(const Config& config, std::ostream* out) { *out << config.description(); }
}  // namespace hub

namespace {

Config parse(std::string_view json) { return hub::YYJSONParser::parseToConfig(json); }

TEST(Config, MemberLookupTriesTheNameThenItsSnakeCase) {
    Config config = parse(R"({"model_type": "bert", "modelType2": 1, "model_type2": 2, "n": {"add_prefix_space": true}})");
    EXPECT_EQ(config["modelType"].string(), "bert");
    EXPECT_EQ(config["model_type"].string(), "bert");
    EXPECT_EQ(config["modelType2"].integer(), 1);  // the name as written wins
    EXPECT_EQ(config["n"]["addPrefixSpace"].boolean(), true);
    EXPECT_TRUE(config["absent"].isNull());
    EXPECT_TRUE(config["n"]["absent"]["deeper"].isNull());

    // On a value that is not a dictionary: null, and nothing for the optional form.
    Config text("x");
    EXPECT_TRUE(text["modelType"].isNull());
    EXPECT_EQ(text.dynamicMember("modelType"), std::nullopt);
    ASSERT_TRUE(config.dynamicMember("absent").has_value());
    EXPECT_TRUE(config.dynamicMember("absent")->isNull());

    Config items = parse(R"([10, 20])");
    EXPECT_EQ(items[1].integer(), 20);
    EXPECT_TRUE(items[2].isNull());
    EXPECT_TRUE(items[-1].isNull());
    EXPECT_EQ(items[uint32_t{0}].integer(), 10);
}

TEST(Config, UncamelCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"modelType", "model_type"},  {"tokenizerClass", "tokenizer_class"}, {"addBOSToken", "add_bostoken"},
        {"XMLParser", "xmlparser"},   {"a1B", "a1_b"},                       {"plain_name", "plain_name"},
        {"\xC3\xA9t\xC3\x89", "\xC3\xA9t_\xC3\xA9"},  // éTÉ: non-ASCII capitals too
    };
    for (auto [camel, snake] : cases)
        EXPECT_EQ(Config::uncamelCase(camel).string(), snake) << camel;
}

TEST(Config, TypedReadersNeverFail) {
    struct Case {
        Config value;
        std::optional<bool> boolean;
    };
    const Case booleans[] = {
        {Config(true), true},   {Config(false), false},   {Config("TRUE"), true}, {Config("F"), false},
        {Config("t"), true},    {Config("0"), false},     {Config("yes"), std::nullopt},
        {Config(1), true},      {Config(2), false},       {Config(-1), false},    {Config(0), false},
        {Config(1.0f), std::nullopt}, {Config(), std::nullopt}, {Config(Config::Array{}), std::nullopt},
    };
    for (const auto& c : booleans) EXPECT_EQ(c.value.boolean(), c.boolean) << c.value.description();

    EXPECT_EQ(Config(1.5f).integer(), std::nullopt);
    EXPECT_EQ(Config(7).integer(9), 7);
    EXPECT_EQ(Config("7").integer(9), 9);
    EXPECT_EQ(Config((int64_t{1} << 24) + 1).floating(), 16777216.0f);
    EXPECT_EQ(Config("x").floating(2.5f), 2.5f);
    EXPECT_EQ(Config(3).string("d"), "d");
    EXPECT_EQ(Config(true).boolean(false), true);

    Config mixed = parse(R"(["a", 1, "b", null])");
    EXPECT_EQ(mixed.get<std::vector<std::string>>(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config(1).get<std::vector<std::string>>(std::vector<std::string>{"z"}), std::vector<std::string>{"z"});
    auto ids = parse(R"({"a": 1, "b": "2", "c": 3})").get<hub::BinaryDistinctDictionary<int64_t>>();
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(ids->size(), 2u);
    EXPECT_EQ(ids->at(BinaryDistinctString("c")), 3);
}

TEST(Config, TokenRule) {
    EXPECT_EQ(parse(R"(["[CLS]", 101])").token(), (Config::Token{101, BinaryDistinctString("[CLS]")}));
    EXPECT_EQ(parse(R"([101, "[CLS]"])").token(), std::nullopt);
    EXPECT_EQ(parse(R"(["[CLS]", -1])").token(), std::nullopt);
    EXPECT_EQ(parse(R"(["[CLS]", 101, 1])").token(), std::nullopt);
    Config token(Config::Token{101, BinaryDistinctString("[CLS]")});
    EXPECT_EQ(token.token(), (Config::Token{101, BinaryDistinctString("[CLS]")}));
    EXPECT_EQ(token.description(), "(101, [CLS])");
}

TEST(Config, LooseEquality) {
    struct Case {
        Config a, b;
        bool equal;
    };
    const Case cases[] = {
        {Config(1), Config(1.0f), true},          {Config(1), Config(true), true},
        {Config(2), Config(false), true},         {Config(1.0f), Config(true), false},
        {Config("1"), Config(1), false},          {Config("1"), Config(true), true},
        {Config("t"), Config(true), true},        {Config(NAN), Config(NAN), false},
        {Config(), Config(), true},               {Config(), Config(0), false},
        {Config("a"), Config("a"), true},         {Config(BinaryDistinctString(u"\u00E9")), Config("e\xCC\x81"), false},
        {parse(R"({"a": 1, "b": [1, "x"]})"), parse(R"({"b": [1.0, "x"], "a": true})"), true},
        {parse(R"({"a": 1})"), parse(R"({"a": 1, "b": 2})"), false},
        {parse(R"([1, 2])"), parse(R"([1, 3])"), false},
        {Config(Config::Token{1, "a"}), Config(Config::Token{1, "a"}), true},
        {Config(Config::Token{1, "a"}), parse(R"(["a", 1])"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " vs " << c.a.description();
    }
    EXPECT_EQ(Config(0.0f).hash(), Config(-0.0f).hash());
    EXPECT_EQ(parse(R"({"a": 1, "b": 2})").hash(), parse(R"({"b": 2, "a": 1})").hash());
    EXPECT_NE(Config(1).hash(), Config(true).hash());
}

TEST(Config, Description) {
    EXPECT_EQ(Config("a\"b").description(), "\"a\"b\"");
    EXPECT_EQ(Config(Config::Dictionary{}).description(), "{[:]}");
    EXPECT_EQ(Config(Config::Array{}).description(), "[[]]");
    EXPECT_EQ(Config(Config::Array{1, 2}).description(), "[[1, 2]]");
    EXPECT_EQ(Config(1.0f).description(), "1.0");
    EXPECT_EQ(Config(0.1f).description(), "0.1");
    EXPECT_EQ(Config(false).description(), "false");
    EXPECT_EQ(Config().description(), "null");
    EXPECT_EQ(parse(R"({"b": null, "a": [1]})").description(), "{[a: [[1]], b: null]}");
}

TEST(Config, ConstructionFromPairsKeepsTheLaterValue) {
    Config config(Config::Pairs{{"a", 1}, {"b", "x"}, {"a", 2}});
    EXPECT_EQ(config.dictionary()->size(), 2u);
    EXPECT_EQ(config["a"].integer(), 2);
    EXPECT_EQ(Config(std::map<std::string, Config>{{"k", true}})["k"].boolean(), true);
}

TEST(Config, PlatformTreesKeepBooleansAndNumberKinds) {
    auto document = foundation::JSONDocument::parse(R"({"flag": true, "n": 3, "x": 0.1, "s": "a", "list": [false, null]})");
    Config config = Config::convertToBinaryDistinctKeys(document.root());
    EXPECT_EQ(config["flag"].kind(), Config::Kind::boolean);
    EXPECT_EQ(config["list"][0].kind(), Config::Kind::boolean);
    EXPECT_TRUE(config["list"][1].isNull());
    EXPECT_EQ(config["n"].kind(), Config::Kind::integer);
    EXPECT_EQ(config["x"].floating(), 0.1f);
    EXPECT_EQ(config["s"].string(), "a");
}

TEST(Config, CopiesShareNodesAndEditsCopyOnWrite) {
    Config original = parse(R"({"vocab": {"a": 0, "b": 1}, "merges": ["a b"]})");
    Config copy = original;
    EXPECT_EQ(copy.dictionary(), original.dictionary());  // the same node, no deep copy

    copy.set("added", 5);
    EXPECT_NE(copy.dictionary(), original.dictionary());
    EXPECT_TRUE(original["added"].isNull());
    EXPECT_EQ(copy["added"].integer(), 5);
    // The untouched sub-values are still shared after the top-level copy.
    EXPECT_EQ(copy["vocab"].dictionary(), original["vocab"].dictionary());

    Config vocab = copy["vocab"];
    vocab.mutableDictionary()->insert_or_assign(BinaryDistinctString("c"), Config(2));
    EXPECT_EQ(vocab.dictionary()->size(), 3u);
    EXPECT_EQ(original["vocab"].dictionary()->size(), 2u);

    Config merges = original["merges"];
    merges.mutableArray()->push_back("b c");
    EXPECT_EQ(original["merges"].array()->size(), 1u);

    // A sole owner edits in place.
    const Config::Array* before = merges.array();
    merges.mutableArray()->push_back("c d");
    EXPECT_EQ(merges.array(), before);

    Config scalar(3);
    EXPECT_EQ(scalar.mutableDictionary(), nullptr);
    scalar.set("k", "v");
    EXPECT_EQ(scalar.description(), "{[k: \"v\"]}");
}

TEST(Config, EncodeAndDecode) {
    Config config(Config::Pairs{{"s", "text"},
                                {"i", 3},
                                {"f", 1.5f},
                                {"b", true},
                                {"n", Config()},
                                {"t", Config(Config::Token{101, "[CLS]"})},
                                {"a", Config(Config::Array{"x", 1})},
                                {"p", Config(Config::Array{1, "x"})}});
    foundation::JSONWriter writer;
    config.encode(writer);
    EXPECT_EQ(writer.str(), R"({"a":["x",1],"b":true,"f":1.5,"i":3,"n":null,"p":[1,"x"],"s":"text","t":[101,"[CLS]"]})");

    Config decoded = Config::decode(foundation::JSONDocument::parse(writer.str()).root());
    EXPECT_EQ(decoded["t"].kind(), Config::Kind::token);
    EXPECT_EQ(decoded["a"].kind(), Config::Kind::array);  // ["x", 1] order is no token
    EXPECT_EQ(decoded["p"].kind(), Config::Kind::token);  // [1, "x"] reads as one
    EXPECT_EQ(decoded["p"].token(), (Config::Token{1, "x"}));
    EXPECT_EQ(decoded["i"].kind(), Config::Kind::integer);
    EXPECT_EQ(decoded["f"].kind(), Config::Kind::floating);
    EXPECT_EQ(decoded["b"].kind(), Config::Kind::boolean);
    EXPECT_TRUE(decoded["n"].isNull());
    decoded.set("p", Config(Config::Array{1, "x"}));
    EXPECT_EQ(decoded, config);

    // A number beyond the float range reads as nothing else, so it decodes as null.
    EXPECT_TRUE(Config::decode(foundation::JSONDocument::parse("[1e300]").root())[0].isNull());

    foundation::JSONWriter nanWriter;
    EXPECT_THROW(Config(NAN).encode(nanWriter), foundation::JSONError);
}

TEST(Config, JinjaValue) {
    Config config = parse(R"({"b": [1, 0.1, true, null], "a": "x", "t": 1})");
    jinja::Value value = config.jinjaValue();
    ASSERT_TRUE(value.isObject());
    const auto& object = value.asObject();
    EXPECT_EQ(object.keys(), (std::vector<std::string>{"a", "b", "t"}));
    const auto& list = object.find("b")->asArray();
    EXPECT_TRUE(list[0].isInt());
    EXPECT_EQ(list[1].asDouble(), 0.1);  // the float's shortest text, not its exact value
    EXPECT_TRUE(list[2].isBoolean());
    EXPECT_TRUE(list[3].isNull());

    jinja::Value token = Config(Config::Token{101, "[CLS]"}).jinjaValue();
    EXPECT_EQ(token.asObject().find("101")->asString(), "[CLS]");

    // Keys that differ only in composition are one template key; the later one (in key order) wins.
    Config::Dictionary composed{{BinaryDistinctString(u"e\u0301"), Config(1)}, {BinaryDistinctString(u"\u00E9"), Config(2)}};
    jinja::Value merged = Config(composed).jinjaValue();
    ASSERT_EQ(merged.asObject().size(), 1u);
    EXPECT_EQ(merged.asObject().at(0).second.asInt(), 2);
}

}  // namespace

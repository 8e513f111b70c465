#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_set>

#include "Jinja/AST.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/Lexer.hpp"
#include "Jinja/Parser.hpp"
#include "Jinja/Value.hpp"

using namespace jinja;

namespace {

Value fn() {
    return Value(BuiltinFunction([](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { return Value(); }));
}

std::string runtimeMessage(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const JinjaError& e) {
        EXPECT_EQ(e.kind(), JinjaError::Case::runtime);
        return e.message();
    }
    return "no error";
}

std::string json(const Value& value) {
    foundation::JSONWriter writer;
    value.encode(writer);
    return writer.str();
}

Value decode(const std::string& text) { return Value::decode(foundation::JSONDocument::parse(text).root()); }

TEST(ValueTests, PrintedForms) {
    EXPECT_EQ(Value::null().description(), "");
    EXPECT_EQ(Value::undefined().description(), "");
    EXPECT_EQ(Value(2.0).description(), "2.0");
    EXPECT_EQ(Value(-0.0).description(), "-0.0");
    EXPECT_EQ(Value(100).description(), "100");
    EXPECT_EQ(Value(1e-05).description(), "1e-05");
    EXPECT_EQ(Value(std::numeric_limits<double>::infinity()).description(), "inf");
    EXPECT_EQ(Value(ValueArray{}).description(), "[]");
    EXPECT_EQ(Value(ValueObject{}).description(), "{}");
    EXPECT_EQ(Value(ValueArray{Value("it's"), Value::null(), fn()}).description(), "['it's', , [Function]]");
    EXPECT_EQ(Value::object({{"k", Value(ValueArray{Value("v")})}}).description(), "{k: ['v']}");
}

TEST(ValueTests, Truthiness) {
    EXPECT_FALSE(Value(0.0).isTruthy());
    EXPECT_FALSE(Value(-0.0).isTruthy());
    EXPECT_TRUE(Value(std::nan("")).isTruthy());
    EXPECT_FALSE(Value("").isTruthy());
    EXPECT_TRUE(fn().isTruthy());
    EXPECT_FALSE(Value::null().isTruthy());
    EXPECT_FALSE(Value::undefined().isTruthy());
    EXPECT_FALSE(Value(ValueObject{}).isTruthy());
}

TEST(ValueTests, EquivalenceEqualityAndHashing) {
    EXPECT_TRUE(Value(1).isEquivalent(Value(1.0)));
    EXPECT_FALSE(Value(1) == Value(1.0));
    EXPECT_FALSE(Value(std::nan("")).isEquivalent(Value(std::nan(""))));
    Value ab = Value::object({{"a", Value(1)}, {"b", Value(2)}});
    Value ba = Value::object({{"b", Value(2)}, {"a", Value(1)}});
    EXPECT_FALSE(ab.isEquivalent(ba));
    EXPECT_FALSE(ab == ba);
    Value f = fn();
    EXPECT_FALSE(f.isEquivalent(f));
    EXPECT_FALSE(f == f);
    EXPECT_TRUE(Value::null().isEquivalent(Value::null()));
    EXPECT_FALSE(Value::null().isEquivalent(Value::undefined()));
    // Canonically equivalent text is equal, and hashes alike.
    EXPECT_TRUE(Value("\xC3\xA9") == Value("e\xCC\x81"));
    EXPECT_EQ(Value("\xC3\xA9").hash(), Value("e\xCC\x81").hash());
    EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());

    std::unordered_set<Value, ValueHash> set = {Value(1), Value(1.0), Value(1), Value("\xC3\xA9"), Value("e\xCC\x81")};
    EXPECT_EQ(set.size(), 3u);
}

TEST(ValueTests, Containment) {
    EXPECT_TRUE(Value::null().isContained(Value(ValueArray{Value::null()})));
    EXPECT_FALSE(Value::null().isContained(Value(ValueArray{Value::undefined()})));
    EXPECT_FALSE(Value(1).isContained(Value(ValueArray{Value(1.0)})));
    EXPECT_TRUE(Value("").isContained(Value("abc")));
    EXPECT_FALSE(Value(1).isContained(Value("1")));
    EXPECT_TRUE(Value("a").isContained(Value::object({{"a", Value(1)}})));
    EXPECT_FALSE(Value(1).isContained(Value::object({{"1", Value(1)}})));
    EXPECT_FALSE(Value("x").isContained(Value::null()));
    EXPECT_FALSE(fn().isContained(Value(ValueArray{fn()})));
    EXPECT_EQ(runtimeMessage([] { Value(1).isContained(Value(5)); }), "'in' operator requires iterable on right side (5)");
}

TEST(ValueTests, Ordering) {
    EXPECT_EQ(Value("a").compare(Value("b")), -1);
    EXPECT_EQ(Value(2).compare(Value(1.5)), 1);
    EXPECT_EQ(Value(std::nan("")).compare(Value(1)), 0);
    EXPECT_EQ(Value("\xC3\xA9").compare(Value("e\xCC\x81")), 0);
    EXPECT_EQ(runtimeMessage([] { Value(ValueArray{}).compare(Value(ValueArray{})); }),
              "Cannot compare values of different types ([] and [])");
}

TEST(ValueTests, CheckedArithmeticHelpers) {
    EXPECT_EQ(checkedIntFromDouble(-7.9), -7);
    EXPECT_EQ(runtimeMessage([] { checkedIntFromDouble(9.3e18); }), integerOverflowMessage);
    EXPECT_EQ(runtimeMessage([] { checkedIntFromDouble(std::nan("")); }), integerOverflowMessage);
    EXPECT_EQ(runtimeMessage([] { Value(std::numeric_limits<int64_t>::min()).floorDivide(Value(-1)); }), integerOverflowMessage);
    EXPECT_EQ(Value(std::numeric_limits<int64_t>::min()).modulo(Value(-1)), Value(0));
}

TEST(ValueTests, ConversionFromHostData) {
    std::vector<std::optional<std::any>> list = {std::any(int64_t{1}), std::nullopt, std::any(std::string("s"))};
    std::map<std::string, std::optional<std::any>> dict = {{"b", std::any(2.5f)}, {"a", std::any(list)}};
    Value converted = Value::fromAny(std::any(dict));
    EXPECT_EQ(converted.description(), "{a: [1, , 's'], b: 2.5}");
    EXPECT_TRUE(Value::fromAny(std::nullopt).isNull());
    std::vector<std::any> bad = {std::any(1), std::any(std::vector<int>{1})};
    EXPECT_EQ(runtimeMessage([&] { Value::fromAny(std::any(bad)); }), "Cannot convert value of type Optional<Any> to Jinja Value");
}

TEST(ValueTests, DictionaryLiteralKeepsFirstPlaceAndLastValue) {
    Value v = Value::object({{"a", Value(1)}, {"b", Value(2)}, {"a", Value(3)}});
    EXPECT_EQ(v.description(), "{a: 3, b: 2}");
}

TEST(ValueTests, CopiesAreIndependent) {
    Value a = Value(ValueArray{Value(1)});
    Value b = a;
    b.mutableArray().push_back(Value(2));
    EXPECT_EQ(a.description(), "[1]");
    EXPECT_EQ(b.description(), "[1, 2]");
}

TEST(ValueTests, JSONForm) {
    EXPECT_EQ(json(Value::object({{"z", Value(1)}, {"a", Value(ValueArray{Value(true), Value::null(), Value(0.5)})}})),
              "{\"z\":1,\"a\":[true,null,0.5]}");
    try {
        json(Value::object({{"list", Value(ValueArray{Value(1), fn()})}}));
        FAIL() << "a function value must not encode";
    } catch (const EncodingError& e) {
        EXPECT_EQ(e.debugDescription(), "Cannot encode function values");
        EXPECT_EQ(e.codingPath(), (std::vector<std::string>{"list", "Index 1"}));
    }
    Value decoded = decode("{\"b\": 1, \"a\": [1.5, \"x\", null, false]}");
    EXPECT_EQ(decoded.description(), "{a: [1.5, 'x', , false], b: 1}");
}

Macro macroOf(const std::string& source) {
    auto nodes = Parser::parse(Lexer::tokenize(source));
    auto m = nodes.at(0).as<Statement>()->as<Statement::Macro>();
    return Macro{m->name, m->parameters, m->defaults, m->body};
}

TEST(ValueTests, MacroValuesWriteTheirDefinition) {
    Value macro(macroOf("{% macro m(a, b=1) %}x{% endmacro %}"));
    EXPECT_EQ(macro.description(), "[Macro m]");
    EXPECT_EQ(json(macro),
              "{\"name\":\"m\",\"parameters\":[\"a\",\"b\"],\"defaults\":{\"b\":{\"integer\":{\"_0\":1}}},"
              "\"body\":[{\"text\":{\"_0\":\"x\"}}]}");
}

// --- Keyed form of syntax trees

std::string keyed(const Expression& e) {
    foundation::JSONWriter writer;
    e.encode(writer);
    return writer.str();
}

Expression expression(const std::string& source) {
    auto nodes = Parser::parse(Lexer::tokenize("{{ " + source + " }}"));
    return *nodes.at(0).as<Expression>();
}

std::string decodingFailure(const std::string& text) {
    try {
        Expression::decode(foundation::JSONDocument::parse(text).root());
    } catch (const DecodingError& e) {
        return e.debugDescription();
    }
    return "no error";
}

TEST(KeyedFormTests, Writing) {
    EXPECT_EQ(keyed(Expression(Expression::Null{})), "{\"null\":{}}");
    EXPECT_EQ(keyed(expression("{a: 1, b: 2}")),
              "{\"object\":{\"_0\":[\"a\",{\"integer\":{\"_0\":1}},\"b\",{\"integer\":{\"_0\":2}}]}}");
    EXPECT_EQ(keyed(expression("f(k=1)")),
              "{\"call\":{\"_0\":{\"identifier\":{\"_0\":\"f\"}},\"_1\":[],\"_2\":{\"k\":{\"integer\":{\"_0\":1}}}}}");
    EXPECT_EQ(keyed(expression("a not in b")),
              "{\"binary\":{\"_0\":\"not in\",\"_1\":{\"identifier\":{\"_0\":\"a\"}},\"_2\":{\"identifier\":{\"_0\":\"b\"}}}}");
    EXPECT_EQ(keyed(expression("a if b")).find("alternate"), std::string::npos);
    foundation::JSONWriter writer;
    Statement(Statement::Break{}).encode(writer);
    EXPECT_EQ(writer.str(), "{\"break\":{}}");
}

TEST(KeyedFormTests, RoundTripOfWholeTemplates) {
    const std::string source =
        "{% macro m(a, b=[1, 2.5]) %}{{ caller(a) }}{% endmacro %}{# c #}"
        "{% for k, v in x | dictsort if v is not none %}{{ loop.index0 ~ k[1:-1:2] }}{% else %}e{% endfor %}"
        "{% call(z) m(1, b=none) %}{{ -z if z else +z }}{% endcall %}{% set ns.a, t = 1, (2,) %}"
        "{% set blk %}{% filter upper %}u{% endfilter %}{% endset %}{% generation %}g{% endgeneration %}"
        "{% if not a %}{% break %}{% elif b %}{% continue %}{% endif %}{{ f(*xs, k=y) }}";
    auto nodes = Parser::parse(Lexer::tokenize(source));
    for (const auto& node : nodes) {
        foundation::JSONWriter writer;
        node.encode(writer);
        Node back = Node::decode(foundation::JSONDocument::parse(writer.str()).root());
        EXPECT_EQ(back, node) << writer.str();
    }
    Macro macro = macroOf("{% macro m(a, c=3, b=2) %}x{% endmacro %}");
    foundation::JSONWriter writer;
    macro.encode(writer);
    Macro back = Macro::decode(foundation::JSONDocument::parse(writer.str()).root());
    EXPECT_EQ(back.defaults.size(), 2u);
    EXPECT_EQ(back.parameters, macro.parameters);
}

TEST(KeyedFormTests, ReadingIsLenientButExact) {
    EXPECT_EQ(Expression::decode(foundation::JSONDocument::parse("{\"null\": {\"x\": 1}}").root()), Expression(Expression::Null{}));
    EXPECT_EQ(Expression::decode(foundation::JSONDocument::parse("{\"string\": {\"_0\": \"a\"}, \"extra\": 1}").root()),
              Expression(Expression::String{"a"}));
    Expression ternary = Expression::decode(foundation::JSONDocument::parse(
        "{\"ternary\": {\"_0\": {\"null\": {}}, \"test\": {\"null\": {}}, \"alternate\": null}}").root());
    EXPECT_FALSE(ternary.as<Expression::Ternary>()->alternate.has_value());

    EXPECT_EQ(decodingFailure("{}"), "Invalid number of keys found, expected one.");
    EXPECT_EQ(decodingFailure("{\"string\": {\"_0\": \"a\"}, \"number\": {\"_0\": 1}}"), "Invalid number of keys found, expected one.");
    EXPECT_EQ(decodingFailure("{\"object\": {\"_0\": [\"a\"]}}"), "Unkeyed container reached end before value in key-value pair");
    EXPECT_EQ(decodingFailure("{\"object\": {\"_0\": [\"a\", {\"null\": {}}, \"a\", {\"null\": {}}]}}"), "Duplicate key at offset 2");
    EXPECT_NE(decodingFailure("{\"unary\": {\"_0\": \"!\", \"_1\": {\"null\": {}}}}"), "no error");
    EXPECT_NE(decodingFailure("{\"string\": {}}"), "no error");
    EXPECT_NE(decodingFailure("[1]"), "no error");
}

}  // namespace

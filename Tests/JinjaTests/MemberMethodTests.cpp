#include <gtest/gtest.h>

#include "BuiltinSupport.hpp"
#include "Jinja/PropertyMembers.hpp"

namespace jinja {
namespace {

using testing::expectGolden;

TEST(MemberMethodTests, StringCaseAndStripping) {
    expectGolden({
        {R"({{ "a b".upper() }}|{{ s.upper() }}|{{ "ÀB c".lower() }}|{{ "hello wORLD\tx".title() }})",
         R"({"s": "Straße"})", "A B|STRASSE|àb c|Hello World\tX"},
        {"[{{ s.strip() }}]|[{{ t.lstrip() }}]|[{{ t.rstrip() }}]", R"({"s": "  x \n", "t": "  x "})",
         "[x]|[x ]|[  x]"},
        {R"({{ "xxhixx".strip("x") }}|[{{ s.strip() }}])", R"({"s": "\u00a0\u2003y\u3000"})", "xxhixx|[y]"},
        {"{{ s.upper(x=1) }}", R"({"s": "a"})", "error: Unexpected keyword argument 'x' for filter."},
    });
}

TEST(MemberMethodTests, StringSplit) {
    expectGolden({
        {"{{ s.split() }}", R"({"s": " a  b\tc "})", "['a', 'b\tc']"},
        {R"({{ "a b c".split(none, 1) }}|{{ "a,b,,c".split(",") }}|{{ "a,b,c".split(",", 1) }})", "{}",
         "['a', 'b', 'c']|['a', 'b', '', 'c']|['a', 'b,c']"},
        {R"({{ "a,b,c".split(",", 0) }}|{{ "a,b,c".split(",", -5) }}|{{ "abc".split(",") }}|{{ "a--b".split("--") }})",
         "{}", "['a,b,c']|['a', 'b', 'c']|['abc']|['a', 'b']"},
        {R"({{ "a b".split(maxsplit=1, separator=" ") }})", "{}", "['a', 'b']"},
    });
}

TEST(MemberMethodTests, StringReplace) {
    expectGolden({
        {R"({{ "aaa".replace("a", "b") }}|{{ "aaa".replace("a", "b", 2) }}|{{ "aaa".replace("a", "b", 0) }})", "{}",
         "bbb|bba|aaa"},
        // With a limit each search starts again at the start, so inserted text can be replaced.
        {R"({{ "aaa".replace("a", "b", -2) }}|{{ "ab".replace("a", "xa", 2) }}|{{ "ab".replace("a", "xa") }})", "{}",
         "bbb|xxab|xab"},
        {R"({{ "abc".replace("", "-") }}|{{ "abc".replace("", "-", 2) }}|{{ s.replace("", "|") }})",
         R"({"s": "e\u0301x"})", "-a-b-c-|-a-bc||e\u0301|x|"},
        {R"({{ "abc".replace(1, 2) }})", "{}", "error: replace() requires 'old' and 'new' string arguments"},
        {R"({{ "abc".replace("a") }})", "{}", "error: Missing required argument 'new' for filter."},
    });
}

TEST(MemberMethodTests, StringPrefixAndSuffix) {
    expectGolden({
        {R"({{ "abc".startswith("ab") }}|{{ "abc".startswith("") }}|{{ "abc".endswith("bc") }}|{{ "abc".endswith("b") }})",
         "{}", "true|true|true|false"},
        // Characters compare by canonical equivalence: a decomposed é matches a composed one.
        {R"({{ s.endswith(t) }}|{{ s.startswith("cafe") }})", R"({"s": "cafe\u0301", "t": "\u00e9"})", "true|false"},
        {R"({{ "abc".startswith(1) }})", "{}", "error: startswith() requires a string prefix"},
        {R"({{ "abc".endswith(none) }})", "{}", "error: endswith() requires a string suffix"},
        {R"({{ "abc".startswith() }})", "{}", "error: Missing required argument 'prefix' for filter."},
    });
}

TEST(MemberMethodTests, ObjectMethodsAndEntries) {
    const char* d = R"({"d": {"a": 1, "keys": 2}, "n": {"1": "x", "": "empty", "z": null}})";
    expectGolden({
        {"{{ d.keys() }}|{{ d.keys }}|{{ d.a }}|[{{ d.b }}]|{{ d['keys'] }}", d, "['a', 'keys']|[Function]|1|[]|2"},
        {"{{ d.items() }}|{{ d.values() }}", d, "[['a', 1], ['keys', 2]]|[1, 2]"},
        {"{{ d.get('a') }}|[{{ d.get('z') }}]|{{ d.get('z', 0) }}|{{ n.get(1) }}|{{ n.get(none) }}", d,
         "1|[]|0|x|empty"},
        {"{{ n.get('z', 5) is none }}|{{ n.z is none }}", d, "true|true"},
        {"{{ d.get() }}", d, "error: Missing required argument 'key' for filter."},
        {"{% for k, v in d.items() %}{{ k }}={{ v }};{% endfor %}", d, "a=1;keys=2;"},
    });
}

TEST(MemberMethodTests, OtherValuesHaveNoMembers) {
    expectGolden({
        {R"([{{ [1, 2].append }}]|[{{ (5).upper }}]|[{{ "abc".foo }}]|[{{ nope.x.y }}])", "{}", "[]|[]|[]|[]"},
        {"{{ [1].append(2) }}", "{}", "error: Cannot call non-function value"},
        // A bound method keeps the receiver it was taken from.
        {R"({% set s = "a" %}{% set f = s.upper %}{% set s = "b" %}{{ f() }})", "{}", "A"},
    });
    EXPECT_TRUE(PropertyMembers::evaluate(Value(ValueArray{}), "items").isUndefined());
    EXPECT_TRUE(PropertyMembers::evaluateStringProperty("x", "Upper").isUndefined());
    EXPECT_TRUE(PropertyMembers::evaluate(Value("x"), "lower").isFunction());
}

}  // namespace
}  // namespace jinja

#include <gtest/gtest.h>

#include "BuiltinSupport.hpp"
#include "Jinja/Tests.hpp"

namespace jinja {
namespace {

using testing::expectGolden;

// Each row renders a list of test outcomes as 1 (true) and 0 (false).
TEST(BuiltinTestTests, TableHoldsEveryNameWithAliases) {
    EXPECT_EQ(Tests::builtIn().size(), 39u);
    expectGolden({
        // Operator-named tests are reached through the test-driven filters.
        {"{{ 1 is eq 1.0 }}|{{ 1 is equalto 1.0 }}|{{ [1, 2.0, 3] | select('==', 2) }}|{{ 1 is ne 2 }}", "{}",
         "true|true|[2.0]|true"},
        {"{{ [1, 2] | reject('!=', 1) }}|{{ [1, 2, 3] | select('>', 1) }}|{{ [1, 2, 3] | select('<=', 2) }}", "{}",
         "[1]|[2, 3]|[1, 2]"},
    });
}

TEST(BuiltinTestTests, KindTests) {
    expectGolden({
        {"{{ none is defined }}|{{ nope is defined }}|{{ nope is undefined }}|{{ none is none }}", "{}",
         "true|false|true|true"},
        {"{{ 1.0 is integer }}|{{ 1.0 is number }}|{{ true is number }}|{{ 1.0 is float }}|{{ 1 is float }}", "{}",
         "false|true|false|true|false"},
        {"{{ {} is iterable }}|{{ {} is sequence }}|{{ '' is sequence }}|{{ {} is mapping }}|{{ [] is mapping }}", "{}",
         "true|false|true|true|false"},
        {"{{ 1 is true }}|{{ [] is false }}|{{ true is true }}|{{ false is false }}|{{ false is boolean }}", "{}",
         "false|false|true|true|true"},
        {"{{ 'a' is string }}|{{ 1 is string }}|{{ range is callable }}|{{ 'a' is callable }}|{{ x is escaped }}",
         "{}", "true|false|true|false|false"},
        {"{% macro m() %}{% endmacro %}{{ m is callable }}|{{ cycler(1).next is callable }}", "{}", "true|true"},
    });
}

TEST(BuiltinTestTests, NumberTests) {
    expectGolden({
        {"{{ (-4) is even }}|{{ 4.0 is even }}|{{ (-3.0) is odd }}|{{ (-3) is odd }}|{{ 0 is even }}", "{}",
         "true|true|true|true|true"},
        {"{{ 2.5 is even }}|{{ 2.5 is odd }}|{{ '2' is even }}|{{ none is odd }}", "{}", "false|false|false|false"},
        {R"({{ ("inf" | float) is even }}|{{ ("nan" | float) is odd }})", "{}", "false|false"},
        {"{{ 10 is divisibleby(0) }}|{{ 10 is divisibleby(0.0) }}|{{ 7.5 is divisibleby(2.5) }}", "{}",
         "false|false|true"},
        {"{{ 10 is divisibleby('2') }}|{{ 9 is divisibleby 3 }}|{{ 10 is divisibleby(3) }}|{{ n is divisibleby(-1) }}",
         R"({"n": -9223372036854775808})", "false|true|false|true"},
        {"{{ 4 is divisibleby }}", "{}", "error: Missing required argument 'divisor' for filter."},
    });
}

TEST(BuiltinTestTests, StringAndTableTests) {
    expectGolden({
        {"{{ 'abc' is lower }}|{{ 'Abc' is lower }}|{{ '123' is lower }}|{{ '123' is upper }}|{{ 'ÀB' is upper }}",
         "{}", "true|false|true|true|true"},
        // "filter" is a keyword, so the filter test is reached through select.
        {"{{ ['count', 'd', 'upper', 3, 'nosuch'] | select('filter') }}|{{ '==' is test }}|{{ 'upper' is test }}",
         "{}", "['count', 'd', 'upper']|true|true"},
        {"{% set nosuch = cycler(1).next %}{{ ['nosuch'] | select('filter') }}|{{ 'upper' is not test }}", "{}",
         "[]|false"},
    });
}

TEST(BuiltinTestTests, ComparisonTests) {
    expectGolden({
        {"{{ 2 is gt 1 }}|{{ 2 is gt 2 }}|{{ 2 is ge 2.0 }}|{{ 'a' is lt 'b' }}|{{ 1 is le 0 }}", "{}",
         "true|false|true|true|false"},
        {"{{ 3 is greaterthan 1 }}|{{ 3 is lessthan 1 }}|{{ [3, 4, 5] | select('>=', 4) }}|{{ [3, 4] | select('<', 4) }}",
         "{}", "true|false|[4, 5]|[3]"},
        // gt and friends drop a failed comparison; sameas and in report it.
        {"{{ 1 is gt('a') }}|{{ 1 is sameas(1.0) }}|{{ 'a' is sameas 'a' }}", "{}", "false|true|true"},
        {"{{ 1 is sameas('a') }}", "{}", "error: Cannot compare values of different types (1 and a)"},
        {"{{ true is sameas(true) }}", "{}", "error: Cannot compare values of different types (true and true)"},
        {"{{ 4 is eq }}", "{}", "error: Missing required argument 'b' for filter."},
        {"{{ [1] is eq([1]) }}|{{ {'a': 1} is ne({'a': 1}) }}", "{}", "true|false"},
        // "in" is a keyword, so the in test is reached through select.
        {"{{ ['b', '', 1] | select('in', 'abc') }}|{{ ['k', 1] | select('in', {'k': 0, '1': 0}) }}", "{}",
         "['b']|['k']"},
        {"{{ [2, 3] | select('in', [1, 2.0]) }}|{{ [1] | select('in', [1, 'a']) }}|{{ [1] | select('in', 5) }}", "{}",
         "[2]|[1]|[]"},
        {"{{ [2] | select('in', ['a', 2]) }}", "{}", "error: Cannot compare values of different types (a and 2)"},
        {"{{ [s] | select('in', t) | length }}", R"({"s": "e\u0301", "t": "caf\u00e9"})", "1"},
    });
}

TEST(BuiltinTestTests, HostCallsBindKeywords) {
    KeywordArguments keywords;
    keywords.set("b", Value(2));
    EXPECT_TRUE(Tests::eq({Value(2)}, keywords, nullptr));
    keywords.set("c", Value(2));
    try {
        Tests::eq({Value(2)}, keywords, nullptr);
        FAIL() << "expected a binding error";
    } catch (const JinjaError& error) {
        EXPECT_EQ(error.message(), "Unexpected keyword argument 'c' for filter.");
    }
}

}  // namespace
}  // namespace jinja

// The render's short cuts against the rules they stand in for: ASCII text paths against the Unicode
// ones, loop members answered from the loop position against the whole loop object, values read in
// place against template code that changes them, the scope tables, and tojson against the JSON writer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "BuiltinSupport.hpp"
#include "Jinja/AST.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/Lexer.hpp"
#include "Jinja/Parser.hpp"
#include "Jinja/Template.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {
namespace {

namespace text = foundation::text;
using testing::expectGolden;
using testing::render;

TEST(FastPathTests, WhitespaceTableIsUnicodeWhiteSpace) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::string utf8 = text::fromScalar(c);
        bool whitespace = text::isWhitespaceOrNewline(c);
        ASSERT_EQ(fastText::whitespaceLengthAt(utf8, 0) > 0, whitespace) << static_cast<uint32_t>(c);
        if (whitespace) {
            ASSERT_EQ(fastText::whitespaceLengthBefore(utf8, utf8.size()), utf8.size());
        }
    }
}

TEST(FastPathTests, TrimAgreesWithThePlatformTrim) {
    const std::vector<std::string> inputs = {
        "", " ", "plain", "  both ends \t\n", "\r\n line \r\n", "\x0B\x0C" "x" "\x0B\x0C", "\x1Fx\x1F",
        "\xC2\xA0nbsp\xC2\xA0",                  // U+00A0
        "\xE3\x80\x80ideographic\xE3\x80\x80",   // U+3000
        "\xC2\x85nel\xE2\x80\xA8",               // U+0085, U+2028
        "\xE2\x80\x8Bzero width\xE2\x80\x8B",    // U+200B is not white space
        " caf\xC3\xA9 ", "\xF0\x9F\x98\x8A smile \xF0\x9F\x98\x8A",
        " \xC2", "\xE2\x80 ", " \xFF ", "\xC2 \xA0",  // ill-formed bytes at the ends stay
        "\xE2\x80\x80\xE2\x80\x8A", " \xE1\x9A\x80 x \xE2\x81\x9F ",
    };
    for (const auto& input : inputs) {
        EXPECT_EQ(fastText::trimmed(input), text::trimmingWhitespaceAndNewlines(input)) << input;
        EXPECT_EQ(render("{{ s | trim }}|{{ s.strip() }}", R"({"s": )" + foundation::jsonQuoted(text::repairedUTF8(input)) + "}"),
                  fastText::trimmed(text::repairedUTF8(input)) + "|" + fastText::trimmed(text::repairedUTF8(input)));
    }
}

TEST(FastPathTests, ASCIICharactersAndCaseAgreeWithUnicode) {
    std::string ascii;
    for (int c = 1; c < 128; ++c) ascii += static_cast<char>(c);
    const std::vector<std::string> inputs = {"", "abc", "a\r\nb", "\r\r\n\n", "\n\r", "\r", ascii, "x\r\n"};
    for (const auto& input : inputs) {
        EXPECT_EQ(fastText::characterCount(input), text::characterCount(input)) << input;
        EXPECT_EQ(fastText::characterBoundaries(input), text::characterBoundaries(input)) << input;
        EXPECT_EQ(fastText::uppercased(input), text::uppercased(input)) << input;
        EXPECT_EQ(fastText::lowercased(input), text::lowercased(input)) << input;
    }
    EXPECT_EQ(render("{{ s | length }}{{ s[1] | length }}{{ s | upper }}", R"({"s": "a\r\nb"})"), "31A\r\nB");
}

TEST(FastPathTests, LoopMembersAgreeWithTheWholeLoopObject) {
    expectGolden({
        {"{% for x in 'ab' %}{{ loop.index }}{{ loop.index0 }}{{ loop.first }}{{ loop.last }}{{ loop.length }}"
         "{{ loop.revindex }}{{ loop.revindex0 }}={{ loop['index'] }}{{ loop.index0 + 0 }}{{ loop.keys() | join(',') }}"
         "{{ loop | length }}{{ loop.cycle is defined }}{{ loop.nothing is defined }};{% endfor %}",
         "{}",
         "10truefalse221=10index,index0,first,last,length,revindex,revindex0,cycle8truefalse;"
         "21falsetrue210=21index,index0,first,last,length,revindex,revindex0,cycle8truefalse;"},
        // A write of "loop" holds until the next item binds the loop object again.
        {"{% for x in [1, 2] %}{{ loop.index }}{% set loop = 'mine' %}{{ loop }}{% endfor %}", "{}", "1mine2mine"},
        {"{% for loop in [7, 8] %}{{ loop.index }}{% endfor %}", "{}", "12"},
        {"{% for x in [1, 2] %}{% set loop.tag = x %}{{ loop.tag }}{{ loop.index }}{% endfor %}", "{}", "1122"},
        // A loop object kept from an earlier item keeps that item's position.
        {"{% for x in [1, 2, 3] %}{% if loop.first %}{% set kept = loop %}{% endif %}{{ kept.index }}{{ kept.last }}"
         "{% endfor %}",
         "{}", "1false1false1false"},
        {"{% for a in [1, 2] %}{% for b in [1] %}{{ loop.length }}{% endfor %}{{ loop.length }}{% endfor %}", "{}", "1212"},
        {"{% macro m() %}{{ loop.index }}{% endmacro %}{% for x in [1, 2] %}{{ m() }}{% endfor %}", "{}", "12"},
    });
}

TEST(FastPathTests, LoopVariableIsBoundInPlace) {
    expectGolden({
        {"{% for m in ['a', 'b'] %}{{ m }}{% set m = 'x' %}{{ m }}{% endfor %}", "{}", "axbx"},
        // Changing an item's member changes the loop scope's copy, never the context.
        {"{% for m in ms %}{% set m.a = 9 %}{{ m.a }}{% endfor %}{{ ms[0].a }}", R"({"ms": [{"a": 1}]})", "91"},
        {"{% for m in ms %}{% for m in m.inner %}{{ m }}{% endfor %}{{ m.name }}{% endfor %}",
         R"({"ms": [{"name": "n", "inner": [1, 2]}]})", "12n"},
        {"{% for c, d in 'ab' %}{{ c }}{{ d is defined }}{% endfor %}", "{}", "afalsebfalse"},
    });
}

TEST(FastPathTests, ValuesReadInPlaceSurviveTemplateCode) {
    // A host function that rewrites the scope it is called from and grows it until its variables move.
    Value rewrite(BuiltinFunction([](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr& env) {
        env->set("v", Value("changed"));
        for (int i = 0; i < 64; ++i) env->set("filler" + std::to_string(i), Value(i));
        return Value("");
    }));
    Template::Context context;
    context.set("f", rewrite);
    context.set("v", Value("original and long enough to live on the heap"));
    EXPECT_EQ(Template("{{ v ~ f() ~ v }}").render(context), "original and long enough to live on the heapchanged");
    EXPECT_EQ(Template("{% for i in [1] %}{% set v = 'kept, and long enough to live on the heap' %}"
                       "{{ v ~ '|' ~ f() ~ v }}{{ v | replace('x', f()) }}{% endfor %}")
                  .render(context),
              "kept, and long enough to live on the heap|changedchanged");
    expectGolden({
        {"{% set ns = namespace(a='first') %}{% macro bump() %}{% set ns.a = 'second' %}{% endmacro %}"
         "{{ ns.a ~ bump() ~ ns.a }}{{ ns.a == bump() ~ 'second' }}",
         "{}", "firstsecondtrue"},
        {"{{ 'a' + 1 }}{{ 1 + 'a' }}{{ ([1] + [2]) ~ 'x' }}{{ none ~ 'x' }}{{ s | trim ~ s | trim }}",
         R"({"s": "  t  "})", "a11a[1, 2]xxtt"},
        {"{{ 1 ~ 2 }}", "{}", "error: Cannot concatenate values of different types (1 and 2)"},
    });
}

TEST(FastPathTests, OperandsReadInPlaceAgreeWithFullEvaluation) {
    expectGolden({
        // A variable set to a part of its own text, of a loop item, or of a value of another kind.
        {"{% set x = '  long enough to live on the heap, surely  ' %}{% set x = x | trim %}[{{ x }}]", "{}",
         "[long enough to live on the heap, surely]"},
        {"{% for m in ['  a  ', ' b '] %}{% set m = m | trim %}[{{ m }}]{% endfor %}", "{}", "[a][b]"},
        {"{% set x = 1 %}{% set x = s | trim %}{{ x }}{% set y = n | trim %}[{{ y }}]", R"({"s": "  t ", "n": 5})", "t[]"},
        // A variable set to a part of its own value.
        {"{% set x = {'inner': {'v': 1}} %}{% set x = x.inner %}{{ x.v }}{% set x = x['v'] %}{{ x }}", "{}", "11"},
        {"{% set x = {'s': 'a text long enough to live on the heap'} %}{% set x = x.s %}{{ x }}", "{}",
         "a text long enough to live on the heap"},
        {"{% for m in [{'a': 'A'}, {'a': 'B'}] %}{% set m = m.a %}{{ m }}{% set n = m %}{% endfor %}{{ n }}", "{}", "AB"},
        // Operators and choices over loop members and literals.
        {"{% for i in [7, 8, 9] %}{{ loop.index0 % 2 }}{{ loop.revindex - 1 }}{{ 10 // loop.index }}{{ loop.index0 < 1 }}"
         "{% endfor %}",
         "{}", "0210true115false003false"},
        {"{% for i in [1, 2] %}{{ 'f' if loop.first else 'n' }}{{ 'L' if loop.last }}{% endfor %}", "{}", "fnL"},
        {"{{ 1 % 0 }}", "{}", "error: Modulo by zero"},
        {"{{ 'a' if x.y.z else 'b' }}{{ nothing | trim }}|{{ 5 | string }}", "{}", "b|5"},
        {"{% for loop in [1] %}{{ loop.index }}{% endfor %}", "{}", "1"},
        // Literal comparisons keep canonical equivalence; comparisons compare as booleans.
        {"{{ s == 'caf\u00e9' }}{{ k == 'K' }}{{ n == 5.0 }}{{ (1 == 1) != (2 == 3) }}{{ m.role != 'user' }}",
         R"({"s": "cafe\u0301", "k": "\u212A", "n": 5, "m": {"role": "user"}})", "truetruetruetruefalse"},
        {"{% for m in ms %}{{ m.content is string }}{{ m.missing is defined }}{{ m['content'] is not string }}{% endfor %}",
         R"({"ms": [{"content": "x"}, {"content": [1]}]})", "truefalsefalsefalsefalsetrue"},
        {"{% set s = '  x  ' %}{{ s | trim ~ '|' ~ (s | trim) }}{{ 'p' ~ s | string ~ 'q' }}", "{}", "x|xp  x  q"},
    });
    // A function bound under a filter's name replaces the built-in also where the operand reads in place.
    Template::Context context;
    context.set("trim", Value(BuiltinFunction([](const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
        return Value("<" + args.at(0).description() + ">");
    })));
    context.set("s", Value(" a "));
    EXPECT_EQ(Template("{{ s | trim }}{% set t = s | trim %}{{ t }}{{ 'x' ~ s | trim }}").render(context), "< a >< a >x< a >");
}

TEST(FastPathTests, FailedConcatenationLeavesTheOutputAsItWas) {
    Template t("{{ 'a' ~ 'b' ~ nothing.f() }}");
    std::string output = "before";
    EXPECT_THROW(Interpreter::interpret(t.nodes(), Environment::make(), output), JinjaError);
    EXPECT_EQ(output, "before");
}

TEST(FastPathTests, ScopeFunctionsShadowBuiltInsFromAnyDepth) {
    Value shout(BuiltinFunction([](const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
        return Value("<" + args.at(0).description() + ">");
    }));
    Template::Context context;
    context.set("upper", shout);
    EXPECT_EQ(Template("{% macro m() %}{{ 'b' | upper }}{% endmacro %}{% for x in ['a'] %}{{ x | upper }}{{ m() }}"
                       "{% set upper = 'not a function' %}{{ x | upper }}{% endfor %}")
                  .render(context),
              "<a><b>A");
    // A value reached through a writable view may have become a function.
    auto env = Environment::make();
    env->set("f", Value(1));
    *env->variables.find("f") = shout;
    EXPECT_EQ(Interpreter::interpret(Template("{{ 'x' | f }}{{ 'x' is f }}").nodes(), env), "<x>true");
}

TEST(FastPathTests, LargeScopesFindEveryName) {
    auto env = Environment::make();
    for (int i = 0; i < 40; ++i) env->set("name" + std::to_string(i), Value(i));
    for (int i = 0; i < 40; i += 3) EXPECT_TRUE(env->variables.erase("name" + std::to_string(i)));
    for (int i = 0; i < 40; ++i) {
        Value found = env->lookup("name" + std::to_string(i));
        if (i % 3 == 0)
            EXPECT_TRUE(found.isUndefined()) << i;
        else
            EXPECT_EQ(found, Value(i)) << i;
    }
    EXPECT_TRUE(env->lookup("range").isFunction());
}

TEST(FastPathTests, RendersFromSeveralThreadsAgree) {
    // The slices share the context's items, which every thread reads at once.
    Template t("{% for m in messages %}{{ loop.index }}:{{ m.role | upper }}={{ m.content | trim }};{% endfor %}"
               "{% for m in messages[1:] %}{{ m.role }}{% endfor %}{{ messages[1:] | tojson }}{{ messages[1:] | sort(attribute='role') | length }}");
    Template::Context context = testing::context(
        R"({"messages": [{"role": "user", "content": " Hi "}, {"role": "assistant", "content": "Hello\n"}]})");
    const std::string expected = t.render(context);
    std::vector<std::string> outputs(4);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < outputs.size(); ++k) {
        threads.emplace_back([&, k] {
            for (int i = 0; i < 200; ++i) outputs[k] = t.render(context);
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& output : outputs) EXPECT_EQ(output, expected);
}

// tojson written straight from the value against the text the shared writer builds, in both layouts
// and with ensure_ascii on and off.
TEST(FastPathTests, TojsonMatchesTheWriterPath) {
    auto decoded = [](const std::string& json) { return Value::decode(foundation::JSONDocument::parse(json).root()); };
    auto nodes = Parser::parse(Lexer::tokenize("{% macro m(a, b=1) %}x{% endmacro %}"));
    auto m = nodes.at(0).as<Statement>()->as<Statement::Macro>();
    Value macro(Macro{m->name, m->parameters, m->defaults, m->body});
    Value function = Value::function([](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) {
        return Value::null();
    });
    const double inf = std::numeric_limits<double>::infinity();
    const Value values[] = {
        Value::null(), Value::undefined(), Value(true), Value(false), Value(0), Value(-42),
        Value(std::numeric_limits<int64_t>::min()), Value(1.0), Value(0.1), Value(-2.5), Value(1e-05), Value(1e16),
        Value(1.2345e20), Value(5e-324), Value(inf), Value(-inf), Value(std::nan("")),
        Value(""), Value("plain"), Value("a/b \"q\" \\ </tag>"), Value(std::string("\b\f\n\r\t\x01\x1f\x7f\0!", 11)),
        Value("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80 \xE2\x80\xA8"), Value("a\xFF" "b"), Value("\xED\xA0\x80"),
        decoded("[]"), decoded("{}"), decoded("[[], {}, [[]], {\"a\": {}}]"),
        decoded(R"({"name": "get_weather", "description": "Weather / city", "parameters": {"type": "object",
                    "properties": {"city": {"type": "string"}, "days": {"type": "integer", "default": 3}},
                    "required": ["city"], "strict": true, "scale": 0.5}, "z": null, "a": -1})"),
        decoded(R"({"\u00e9t\u00e9": ["\ud83d\ude00", 1.5], "k/\"": {"x\n": [null]}})"),
        Value(ValueArray{Value(1), Value(ValueArray{Value(inf)})}),
        Value(ValueArray{Value("\xC3\xA9"), function}),
        Value(ValueObject{{"f", function}}), function, macro,
        Value(ValueArray{Value(1), macro, Value("\xC3\xA9")}),
        Value(ValueArray{macro, function}),
    };
    for (const Value& value : values) {
        for (bool pretty : {false, true}) {
            for (bool ensureASCII : {true, false}) {
                EXPECT_EQ(Filters::jsonText(value, pretty, ensureASCII),
                          Filters::jsonTextThroughWriter(value, pretty, ensureASCII))
                    << value.description() << " pretty " << pretty << " ensure_ascii " << ensureASCII;
            }
        }
    }
    // Both layouts once as literal text, so the pair cannot drift together unnoticed.
    Value nested = decoded(R"({"a": [1, "\u00e9/"], "b": {}})");
    EXPECT_EQ(Filters::jsonText(nested, false, true), R"({"a":[1,"\u00e9\/"],"b":{}})");
    EXPECT_EQ(Filters::jsonText(nested, true, false), "{\n  \"a\" : [\n    1,\n    \"\xC3\xA9\\/\"\n  ],\n  \"b\" : {}\n}");
}

}  // namespace
}  // namespace jinja

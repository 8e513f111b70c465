// Golden table of the language's main paths: template, context, expected output or exact error text.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Jinja/Error.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/Template.hpp"

using namespace jinja;

namespace {

struct Golden {
    const char* name;
    std::string source;
    std::vector<std::pair<std::string, Value>> context;
    std::string expected;  // the output, or the error's full description when `fails`
    bool fails = false;
};

Golden ok(const char* name, std::string source, std::string expected,
          std::vector<std::pair<std::string, Value>> context = {}) {
    return {name, std::move(source), std::move(context), std::move(expected), false};
}

Golden error(const char* name, std::string source, std::string expected,
             std::vector<std::pair<std::string, Value>> context = {}) {
    return {name, std::move(source), std::move(context), std::move(expected), true};
}

std::string runGolden(const Golden& g) {
    Template::Context context;
    for (const auto& [key, value] : g.context) context.set(key, value);
    try {
        return Template(g.source).render(context);
    } catch (const JinjaError& e) {
        return "!" + e.errorDescription();
    }
}

Value upperFunction() {
    return Value(BuiltinFunction([](const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
        return Value("<" + (args.empty() ? std::string() : args[0].description()) + ">");
    }));
}

Value collectFunction() {
    // Shows what reached the callee: positional values, then keyword names in order.
    return Value(BuiltinFunction([](const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
        std::string out = Value(args).description();
        for (const auto& [key, value] : kwargs) out += " " + key + "=" + value.description();
        return Value(out);
    }));
}

// A host function used as a call-block target: it finds "caller" in the scope it is handed.
Value callsCaller() {
    return Value(BuiltinFunction([](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr& env) {
        Value caller = env->lookup("caller");
        return Value(caller.asFunction()({Value("arg")}, KeywordArguments(), env).description() + "!");
    }));
}

std::vector<Golden> goldenCases() {
    const std::string m = "{% macro m(a, b=2) %}{{ a }}-{{ b }}{% endmacro %}";
    return {
        // Output and printed forms.
        ok("text", "Hello {{ name }}!", "Hello World!", {{"name", Value("World")}}),
        ok("missingAndNone", "[{{ missing }}{{ none }}{{ missing.x.y }}]", "[]"),
        ok("printedForms", "{{ [\"a\", 1, [true, \"b\"], {\"k\": \"v\"}] }}", "['a', 1, [true, 'b'], {k: v}]"),
        ok("doubles", "{{ 4 / 2 }} {{ 2.0 }} {{ -0.0 }} {{ 0.00001 }} {{ 7 / 2 }} {{ 3. }}", "2.0 2.0 -0.0 1e-05 3.5 3.0"),
        ok("comment", "a{# note -#}b", "ab"),
        // Operators and precedence.
        ok("arithmetic", "{{ 7 // 2 }} {{ -7 // 2 }} {{ -7.5 // 2 }} {{ -7 % 3 }} {{ 7 % -3 }} {{ 2 ** 10 }} {{ 2 ** -2 }}",
           "3 -3 -4 -1 1 1024 0.25"),
        ok("precedence", "{{ 2 ** 3 ** 2 }} {{ -2 ** 2 }} {{ 1 + 2 * 3 }}", "64 4 7"),
        ok("filterPrecedence", "{{ 2 * 3 | upper }} {{ 1 ~ 2 | upper }}", "<6> 1<2>", {{"upper", upperFunction()}}),
        ok("mixedAdd", "{{ 1 + 'a' }} {{ 'x' + 1.5 }} {{ [1] + 'x' }} {{ none + 'x' }}", "1a x1.5 [1]x x"),
        ok("repeat", "{{ 'ab' * 3 }}|{{ 3 * 'c' }}|{{ 'z' * 0 }}|{{ 'z' * -2 }}", "ababab|ccc||"),
        ok("concat", "{{ 1 ~ '2' }} {{ 'a' 'b' ~ 'c' }} {{ name '!' }}", "12 abc x!", {{"name", Value("x")}}),
        ok("comparisons", "{{ 1 == 1.0 }} {{ 'b' in 'abc' }} {{ 1 in [1.0] }} {{ 'a' not in {'a': 1} }} {{ 'b' < 'c' }}",
           "true true false false true"),
        ok("shortCircuit", "{{ none or 'x' }}|{{ '' or 0 }}|{{ 1 and 'y' }}|{{ [] and f() }}", "x|0|y|[]"),
        ok("ternary", "[{{ 'a' if false }}][{{ 'a' if true }}][{{ 'a' if 0 else 'b' }}]", "[][a][b]"),
        ok("unary", "{{ -x }} {{ +3 }} {{ not 0 }} {{ not not 1 }}", "-2.5 3 true true", {{"x", Value(2.5)}}),
        // Members, indexing and slicing.
        ok("indexing", "{{ 'abc'[-1] }}|{{ 'abc'[3] }}|{{ [1, 2, 3][-1] }}|{{ {'a': 1}['a'] }}|{{ {'a': 1}[0] }}",
           "c||3|1|"),
        ok("slices", "{{ 'hello'[1:3] }} {{ 'hello'[::-1] }} {{ [1, 2, 3][:-1] }} {{ [1, 2, 3][1.5:] }} {{ [1, 2, 3][::2.0] }}",
           "el olleh [1, 2] [1, 2, 3] [1, 2, 3]"),
        ok("slicePhase", "{{ [0, 1, 2, 3, 4][-8::2] }} {{ [1, 2, 3][10::-1] }} {{ [1, 2, 3][-10:2] }}",
           "[1, 3] [3, 2, 1] [1, 2]"),
        ok("slicesOfSlices",
           "{% set a = [1, 2, 3, 4, 5] %}{% set b = a[1:] %}{% set c = b[1:-1] %}{{ c }} {{ b[::-1] }} {{ c[5:] }} "
           "{{ a[3:1] }} {{ b | length }} {{ c == [3, 4] }} {{ b + c }} {{ c[0] }}{{ c[-1] }} {{ a }} {{ b[-2:][1:] }}",
           "[3, 4] [5, 4, 3, 2] [] [] 4 true [2, 3, 4, 5, 3, 4] 34 [1, 2, 3, 4, 5] [5]"),
        ok("loopOverSlice", "{% for x in a[1:3] %}{{ loop.index }}/{{ loop.length }}={{ x }}{{ ',' if not loop.last }}{% endfor %}"
           "{% for x in a[5:] %}{{ x }}{% else %} none{% endfor %}{% for x in a[1:][::2] %} {{ x }}{% endfor %}",
           "1/2=b,2/2=c none b d", {{"a", Value(ValueArray{Value("a"), Value("b"), Value("c"), Value("d")})}}),
        ok("hugeSliceStart", "{{ [1, 2, 3][-1000000000003::1000] }}", "[1]"),
        ok("graphemeIndex", "{{ s[1] }}|{{ s[-1] }}|{{ s[1:] }}", "e\xCC\x81|z|e\xCC\x81z", {{"s", Value("ae\xCC\x81z")}}),
        // Calls.
        ok("splat", "{{ f(*[1, 2], 3, k=4, j=5) }}", "[1, 2, 3] k=4 j=5", {{"f", collectFunction()}}),
        ok("scopeFilterFirst", "{{ 'x' | upper }}", "<x>", {{"upper", upperFunction()}}),
        // Statements.
        ok("ifElif", "{% if a %}x{% elif b %}y{% else %}z{% endif %}", "y", {{"a", Value(false)}, {"b", Value(1)}}),
        ok("setScopes", "{% set x = 1 %}{% for i in [1] %}{% set x = 2 %}{% endfor %}{{ x }}"
                        "{% if true %}{% set x = 3 %}{% endif %}{{ x }}", "13"),
        ok("tupleSet", "{% set a, b = 1, 2 %}{{ a }}{{ b }}", "12"),
        ok("blockSet", "{% set t %}a{{ 1 }}{% endset %}{{ t }}{{ t is string }}", "a1true"),
        ok("memberSetCarriesOut", "{% set ns = {'n': 0} %}{% for i in [1, 2] %}{% set ns.n = ns.n + i %}{% endfor %}{{ ns.n }}",
           "3"),
        ok("memberSetOnUndefined", "{% set u.x = 1 %}{% set d = {} %}{% set d.x.y = 1 %}{{ d }}", "{}"),
        // Loops.
        ok("forElse", "{% for x in [] %}a{% else %}b{% endfor %}|{% for x in [1, 2] if x > 5 %}a{% else %}b{% endfor %}", "b|"),
        ok("loopObject", "{% for x in [1, 2, 3] if x != 2 %}{{ loop.index }}/{{ loop.length }}{{ loop.last }};{% endfor %}",
           "1/3false;3/3true;"),
        ok("loopCycle", "{% for x in 'abc' %}{{ loop.cycle('odd', 'even') }}{{ loop.cycle() }} {% endfor %}", "odd even odd "),
        ok("objectLoop", "{% for k in {'a': 1, 'b': 2} %}{{ k }}{% endfor %}{% for k, v, w in {'a': 1} %}{{ k }}={{ v }}{{ w }}{% endfor %}",
           "aba=1"),
        ok("tupleLoop", "{% for a, b in [[1], [2, 3, 4]] %}[{{ a }},{{ b }}]{% endfor %}", "[1,][2,3]"),
        ok("graphemeLoop", "{% for c in s %}{{ loop.index }}{% endfor %}", "12345", {{"s", Value("abe\xCC\x81""cd")}}),
        ok("breakContinue", "{% for x in [1, 2, 3] %}{% if x == 2 %}{% break %}{% endif %}{{ x }}{% endfor %}|"
                            "{% for x in 'abc' %}{% if x == 'b' %}{% continue %}{% endif %}{{ x }}{% endfor %}", "1|ac"),
        ok("innerBreak", "{% for a in [1, 2] %}{% for b in [1, 2] %}{% break %}{% endfor %}{{ a }}{% endfor %}", "12"),
        ok("sharedLoopScope", "{% for i in [1, 2] %}{% if i == 1 %}{% set seen = 'y' %}{% endif %}{{ seen }}{% endfor %}", "yy"),
        ok("filterBlock", "{% filter upper %}ab{% endfilter %}", "<ab>", {{"upper", upperFunction()}}),
        ok("generation", "{% generation %}g{% endgeneration %}", "g"),
        // Macros and call blocks.
        ok("macroArgs", m + "{{ m(1) }} {{ m(1, 3) }} {{ m(b=5, a=4) }} {{ m(1, 2, 3) }} {{ m() }}", "1-2 1-3 4-5 1-2 -2"),
        ok("macroDynamicScope", m + "{% set a = 'x' %}{{ m() }}", "x-2"),
        ok("macroExtraKeyword", "{% macro m(a) %}{{ c }}{% endmacro %}{{ m(1, c=9) }}", "9"),
        ok("macroLocalSet", "{% set t = 0 %}{% macro m() %}{% set t = 1 %}{% endmacro %}{{ m() }}{{ t }}", "0"),
        ok("macroPrinted", m + "{{ m }}", "[Macro m]"),
        ok("callBlock", "{% macro box() %}[{{ caller() }}]{% endmacro %}{% call box() %}hi{% endcall %}", "[hi]"),
        ok("callerArgs", "{% macro each(items) %}{% for i in items %}{{ caller(i) }}{% endfor %}{% endmacro %}"
                         "{% call(x) each([1, 2]) %}({{ x }}){% endcall %}", "(1)(2)"),
        ok("callerFallsBackToScope", "{% set x = 'outer' %}{% macro m() %}{{ caller() }}{% endmacro %}"
                                     "{% call(x) m() %}{{ x }}{% endcall %}", "outer"),
        ok("breakCrossesMacro", "{% macro stop() %}{% break %}{% endmacro %}{% for i in [1, 2] %}{{ i }}{{ stop() }}{% endfor %}",
           "1"),
        ok("defaultsEvaluatedPerCall", "{% macro m(a=x) %}{{ a }}{% endmacro %}{% set x = 1 %}{{ m() }}{% set x = 2 %}{{ m() }}",
           "12"),
        ok("macroInLoopIsLocal", "{% for i in [1] %}{% macro k() %}{% endmacro %}{{ k }}{% endfor %}[{{ k }}]", "[Macro k][]"),
        ok("callBlockOnFunction", "{% call(v) f() %}<{{ v }}>{% endcall %}", "<arg>!", {{"f", callsCaller()}}),
        ok("recursiveMacro", "{% macro f(n) %}{% if n > 0 %}{{ n }}{{ f(n - 1) }}{% endif %}{% endmacro %}{{ f(3) }}", "321"),
        // Whitespace control.
        ok("dashMarkers", "a  {%- if true -%}  b  {%- endif %}", "ab"),
        ok("textLooksLikeCloser", "a #} b", "a #} b"),

        // Runtime errors.
        error("unknownFilter", "{{ 1 | nosuch }}", "Runtime error: Unknown filter: nosuch"),
        error("unknownTest", "{{ 1 is nosuch }}", "Runtime error: Unknown test: nosuch"),
        error("notIterable", "{% for x in missing %}{% endfor %}", "Runtime error: Cannot iterate over non-iterable value"),
        error("callNonFunction", "{{ 'a'() }}", "Runtime error: Cannot call non-function value"),
        error("splatNonArray", "{{ f(*'ab') }}", "Runtime error: Cannot unpack non-array value", {{"f", collectFunction()}}),
        error("splatOutsideCall", "{{ *x }}", "Runtime error: Unpacking operator can only be used in function calls"),
        error("negateString", "{{ -'a' }}", "Runtime error: Cannot negate non-numeric value"),
        error("plusString", "{{ +'a' }}", "Runtime error: Cannot apply unary plus to non-numeric value"),
        error("sliceStep", "{{ [1, 2, 3][::0] }}", "Runtime error: Slice step cannot be zero"),
        error("sliceNumber", "{{ 5[1:] }}", "Runtime error: Slice requires array or string"),
        error("addBooleans", "{{ true + false }}", "Runtime error: Cannot add values of different types (true and false)"),
        error("concatInts", "{{ 1 ~ 2 }}", "Runtime error: Cannot concatenate values of different types (1 and 2)"),
        error("multiplyStrings", "{{ 'a' * 'b' }}", "Runtime error: Cannot multiply values of these types (a and b)"),
        error("moduloZero", "{{ 7 % 0 }}", "Runtime error: Modulo by zero"),
        error("moduloDouble", "{{ 7.0 % 2 }}", "Runtime error: Modulo operation requires integers (7.0 and 2)"),
        error("divideZero", "{{ 1 / -0.0 }}", "Runtime error: Division by zero"),
        error("divideString", "{{ 'a' / 0 }}", "Runtime error: Cannot divide non-numeric values (a and 0)"),
        error("compareBooleans", "{{ true < false }}", "Runtime error: Cannot compare values of different types (true and false)"),
        error("inNumber", "{{ 1 in 5 }}", "Runtime error: 'in' operator requires iterable on right side (5)"),
        error("tupleMismatch", "{% set a, b = [1] %}", "Runtime error: Tuple assignment mismatch: 2 variables and 1 values."),
        error("tupleNonArray", "{% set a, b = 5 %}", "Runtime error: Cannot unpack non-array value for tuple assignment."),
        error("computedKey", "{% set d = {} %}{% set d[1] = 2 %}", "Runtime error: Computed property key must be a string"),
        error("invalidTarget", "{% set 1 = 2 %}", "Runtime error: Invalid target for assignment: integer(1)"),
        error("filterBlockCall", "{% filter center(9) %}x{% endfilter %}", "Runtime error: Invalid filter expression in filter statement"),
        error("filterBlockUnknown", "{% filter nosuch %}x{% endfilter %}", "Runtime error: Unknown filter: nosuch"),
        error("callBlockUndefined", "{% call nothing() %}x{% endcall %}", "Runtime error: Cannot call non-function value"),
        error("callerParameter", "{% macro m() %}{{ caller(1) }}{% endmacro %}{% call(1) m() %}x{% endcall %}",
              "Runtime error: Caller parameter must be an identifier"),
        error("failingDefault", "{% macro m(a=1 / 0) %}{% endmacro %}{{ m(5) }}", "Runtime error: Division by zero"),
        // Integer overflow never wraps.
        error("overflowAdd", "{{ 9223372036854775807 + 1 }}", "Runtime error: Integer overflow"),
        error("overflowMultiply", "{{ 4611686018427387904 * 2 }}", "Runtime error: Integer overflow"),
        error("overflowNegate", "{{ -(-9223372036854775807 - 1) }}", "Runtime error: Integer overflow"),
        error("overflowFloorDivide", "{{ (-9223372036854775807 - 1) // -1 }}", "Runtime error: Integer overflow"),
        error("overflowPower", "{{ 10 ** 30 }}", "Runtime error: Integer overflow"),
        error("overflowDoubleFloor", "{{ 10.0 ** 300 // 1 }}", "Runtime error: Integer overflow"),
        ok("smallestModuloMinusOne", "{{ (-9223372036854775807 - 1) % -1 }}", "0"),
        // Lexer and parser errors reach the caller unchanged.
        error("lexerError", "{{ a ? b }}", "Lexer error: Unexpected character '?' at position 5"),
        error("parserError", "{% if a %}x", "Parser error: Unclosed if statement"),
    };
}

// Shown in test listings instead of the case's raw bytes.
void PrintTo(const Golden& g, std::ostream* os) { *os << g.source; }

class GoldenTest : public testing::TestWithParam<Golden> {};

TEST_P(GoldenTest, RendersAsExpected) {
    const Golden& g = GetParam();
    std::string result = runGolden(g);
    if (g.fails)
        EXPECT_EQ(result, "!" + g.expected) << g.source;
    else
        EXPECT_EQ(result, g.expected) << g.source;
}

INSTANTIATE_TEST_SUITE_P(Language, GoldenTest, testing::ValuesIn(goldenCases()),
                         [](const testing::TestParamInfo<Golden>& info) { return std::string(info.param.name); });

// break outside a loop is not a JinjaError: it leaves the render as the control-flow signal.
TEST(InterpreterTests, BreakOutsideLoopLeavesRender) {
    EXPECT_THROW(Template("a{% break %}").render({}), ControlFlow);
}

TEST(InterpreterTests, ScopeChainWrites) {
    auto root = Environment::make();
    auto middle = Environment::make(root);
    auto leaf = Environment::make(middle);
    middle->set("m", Value(1));
    leaf->setInChain("fresh", Value(2));
    leaf->setInChain("m", Value(3));
    EXPECT_TRUE(root->variables.contains("fresh"));
    EXPECT_FALSE(leaf->variables.contains("fresh"));
    EXPECT_EQ(middle->lookup("m"), Value(3));
    EXPECT_TRUE(leaf->lookup("nothing").isUndefined());
}

TEST(InterpreterTests, RootScopeGlobalsReplaceInitialEntries) {
    Environment::Variables initial;
    initial.set("range", Value(1));
    auto root = Environment::make(nullptr, initial);
    EXPECT_TRUE(root->lookup("range").isFunction());
    auto child = Environment::make(root, initial);
    EXPECT_EQ(child->variables.size(), 1u);
    EXPECT_EQ(child->lookup("range"), Value(1));
}

TEST(InterpreterTests, InterpretOnlyReadsTheGivenScope) {
    auto env = Environment::make();
    env->set("x", Value("v"));
    Template t("{{ x }}{% set y = 1 %}");
    EXPECT_EQ(Interpreter::interpret(t.nodes(), env), "v");
    EXPECT_FALSE(env->variables.contains("y"));
}

}  // namespace

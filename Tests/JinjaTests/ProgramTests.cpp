// The lowered program against the plain interpreter: every template renders to the same output, or
// fails with the same error, both ways.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BuiltinSupport.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/Program.hpp"
#include "Jinja/Template.hpp"

namespace jinja {
namespace {

// The output, or the kind and message of the failure.
template <class Render>
std::string outcome(Render render) {
    try {
        return "output: " + render();
    } catch (const JinjaError& error) {
        return "error: " + error.message();
    } catch (const TemplateException& exception) {
        return "exception: " + exception.message().value_or("nil");
    } catch (const ControlFlow& flow) {
        return "control flow: " + flow.describe();
    }
}

Template::Context contextWithFunctions(const char* json) {
    Template::Context context = testing::context(json);
    // A function under a filter's and a test's name stands in for the built-in one.
    context.set("shout", Value::function([](const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
        return Value("<" + (args.empty() ? std::string() : args[0].description()) + ">");
    }));
    return context;
}

struct Case {
    const char* source;
    const char* context;
    bool withFunctions = true;  // the context holds `shout` besides
};

const Case cases[] = {
    // Chat-template shapes.
    // An inner loop runs once per outer item; what one run set must not be seen by the next.
    {"{% for a in [1, 2, 3] %}{% for b in [1, 2] %}{{ t }}{% if b == a %}{% set t = b %}{% endif %}{{ t }},{% endfor %}"
     "{{ loop.index }}{{ t }};{% endfor %}{% for c in [] %}{% else %}{{ t }}e{% endfor %}",
     "{}"},
    {"{% macro m() %}{{ caller() }}{% endmacro %}{% set ns = namespace(k=[]) %}{% for a in [1, 2] %}"
     "{% call m() %}{{ a }}{% endcall %}{% for b in [a] %}{% set ns.k = ns.k + [b] %}{% endfor %}{% endfor %}{{ ns.k }}",
     "{}"},
    {"{% set rest = messages[1:] %}{% set tail = rest[1:] %}{% for m in rest %}{{ m.role }}{% for t in tail[loop.index0:] %}"
     "[{{ t.content | trim }}]{% endfor %}{{ '|' if not loop.last }}{% endfor %}{{ rest[::-1] | length }}{{ messages | length }}",
     R"({"messages": [{"role": "system", "content": " s "}, {"role": "user", "content": " u "}, {"role": "model", "content": "m"}]})"},
    {"{% for m in messages %}{% if (m['role'] == 'user') != (loop.index0 % 2 == 0) %}{{ raise_exception('alternate') }}"
     "{% endif %}{% if loop.first and sys != '' %}{% set c = '<<' + sys + '>>' + m['content'] | trim %}{% else %}"
     "{% set c = m['content'] | trim %}{% endif %}{% if m['role'] == 'user' %}{{ '[I] ' + c + ' [/I]' }}"
     "{% elif m['role'] == 'assistant' %}{{ ' ' + c + ' ' + eos }}{% endif %}{% endfor %}",
     R"({"messages": [{"role": "user", "content": " hi "}, {"role": "assistant", "content": "yo\n"}], "sys": "s", "eos": "</s>"})"},
    {"{% for m in messages %}{% if (m['role'] == 'user') != (loop.index0 % 2 == 0) %}{{ raise_exception('alternate') }}"
     "{% endif %}{{ m.content }}{% endfor %}",
     R"({"messages": [{"role": "user", "content": "a"}, {"role": "user", "content": "b"}]})"},
    {"{% for m in messages[1:] %}{{ '<' + m.role + '\n' + (p if loop.first else '') }}{% if m['content'] is string %}"
     "{{ m['content'] | trim }}{% elif m['content'] is iterable %}{% for i in m['content'] %}{% if i['type'] == 'image' %}"
     "[img]{% elif i['type'] == 'text' %}{{ i['text'] | trim }}{% endif %}{% endfor %}{% else %}{{ raise_exception('bad') }}"
     "{% endif %}{% endfor %}{{ messages[0]['content'] | trim }}|{{ messages[-1].role }}|{{ messages[9].role }}",
     R"({"p": "P", "messages": [{"role": "system", "content": " s "}, {"role": "user", "content": [{"type": "image"},
        {"type": "text", "text": " t "}]}, {"role": "model", "content": "z"}]})"},
    {"{% for m in messages %}{% if loop.first or (messages[loop.index0 - 1].role != 'tool') %}<{% endif %}{{ m.role }}"
     "{% if loop.last or (messages[loop.index0 + 1].role != 'tool') %}>{% endif %}{% endfor %}",
     R"({"messages": [{"role": "tool"}, {"role": "tool"}, {"role": "user"}, {"role": "tool"}]})"},
    // Loop members and the loop object read whole, shadowed or assigned.
    {"{% for x in 'ab' %}{{ loop.index }}{{ loop.revindex }}{{ loop.revindex0 }}{{ loop.length }}{{ loop.last }}"
     "{{ loop.cycle('p', 'q') }}{{ loop['index0'] }}{{ loop.nothing }}{% endfor %}", "{}"},
    {"{% for x in [1] %}{{ loop | length }}{{ loop.keys() | list | length }}{% endfor %}", "{}"},
    {"{% for x in [1, 2] %}{% set loop = 'mine' %}{{ loop }}{{ loop.first }}{% endfor %}", "{}"},
    {"{% for loop in [7] %}{{ loop }}{% endfor %}{% for x in [3] %}{% set x = x + 1 %}{{ x }}{% endfor %}", "{}"},
    {"{% for x in [1] %}{{ loop.index0 + 9223372036854775807 == 1 }}{% endfor %}", "{}"},
    {"{% for x in [1] %}{{ loop.index0 - 9223372036854775807 - 2 == 1 }}{% endfor %}", "{}"},
    {"{% for x in [1] %}{{ loop.index % 0 == 0 }}{% endfor %}", "{}"},
    {"{% for x in [1, 2, 3] %}{{ loop.index % -1 == 0 }}{{ -7 % 2 == -1 }}{% endfor %}", "{}"},
    // Shadowing of names, globals, filters and tests.
    {"{{ name }}{% for name in ['inner'] %}{{ name }}{% set name = 'set' %}{{ name }}{% endfor %}{{ name }}", R"({"name": "outer"})"},
    {"{{ range is defined }}{% set range = 3 %}{{ range }}", R"({"range": 1})"},
    {"{{ 'x' | shout }}{% set trim = shout %}{{ ' y ' | trim }}{{ ' z ' is shout }}{% for shout in [1] %}{{ 'w' | trim }}{% endfor %}",
     "{}"},
    {"{% set string = shout %}{{ 'a' is string }}{% if 'a' is string %}yes{% endif %}", "{}"},
    {"{% macro m(x) %}[{{ x | trim }}]{% endmacro %}{% set trim = m %}{{ ' a ' | trim }}{{ m(' b ') }}", "{}"},
    // Comparisons with literals: canonical equivalence, numbers and other kinds.
    {"{{ k == 'K' }}{{ k != 'K' }}{% if e == 'caf\u00e9' %}eq{% endif %}{{ n == 1 }}{{ n == 1.0 }}{{ f == 2 }}{{ u == none }}"
     "{{ b == true }}{{ s == 1 }}",
     R"({"k": "\u212a", "e": "cafe\u0301", "n": 1, "f": 2.0, "b": true, "s": "1"})"},
    {"{{ d['caf\u00e9'] }}|{{ d['cafe\u0301'] }}|{{ d.items }}|{{ d.get('x') }}|{{ s.upper() }}|{{ s[0] }}|{{ n.x }}|{{ u.x }}",
     R"({"d": {"café": 1, "x": 2}, "s": "abc", "n": 3})"},
    // An entry against an ASCII literal: equivalent texts of other bytes, shorter and longer texts,
    // other kinds, missing entries and items that are not objects.
    {"{% for m in ms %}{{ m.r == 'K' }}{{ m['r'] != 'Ka' }}{{ m.r == '' }}{% if m.r == 'user' %}u{% endif %}|{% endfor %}",
     R"({"ms": [{"r": "\u212a"}, {"r": "\u212aa"}, {"r": "K"}, {"r": "k"}, {"r": "use"}, {"r": "users"}, {"r": ""},
        {"r": 1}, {"x": "K"}, "K", [1], null]})"},
    // Loop counts against int literals, also with the loop object shadowed or a loop item called loop.
    {"{% for x in 'abcde' %}{{ loop.index0 % 2 == 0 }}{{ loop.revindex0 % 3 == 1 }}{{ loop.length == 5 }}"
     "{{ loop.index == 2 }}{{ loop.revindex % 2 == 1 }}{{ loop.index0 % 2 == 1.0 }}{% endfor %}",
     "{}"},
    {"{% for x in [1, 2] %}{% set loop = {'index0': 3} %}{{ loop.index0 % 2 == 1 }}{{ loop.index0 == 3 }}{% endfor %}"
     "{% for loop in [{'index0': 4}, {}, 5] %}{{ loop.index0 % 2 == 0 }}{{ loop.index0 == 4 }}{% endfor %}",
     "{}"},
    // The tests that look at the kind alone, and functions standing in for them.
    {"{% for v in [1, 1.5, 'a', [1], {'k': 1}, none, true, shout] %}{{ v is string }}{{ v is not mapping }}"
     "{{ v is iterable }}{{ v is none }}{{ v is defined }}{{ v is number }}{{ v is integer }}{{ v is boolean }};{% endfor %}"
     "{{ nothing is undefined }}{{ nothing is defined }}{% for string in [shout] %}{{ 'a' is string }}{% endfor %}"
     "{% for trim in [shout] %}{{ ' a ' | trim }}{% endfor %}{{ ' b ' | trim }}",
     "{}"},
    // Concatenation: printed forms, failures, ternaries and tests inside.
    {"{{ 'a' + 1 + none + 2.5 + u + (x if x else 'no') + (b is defined) | string }}{{ 'a' ~ [1] ~ {'k': 'v'} }}", R"({"b": 1})"},
    {"{% set t = 'a' + n + (m | trim) %}{{ t }}{{ t | length }}{{ 'x' + 1 * 'y' }}", R"({"n": 1, "m": " m "})"},
    {"{{ s | trim + '|' + n }}{{ n | trim + 'x' }}{{ u | trim ~ 'x' }}{% set t = s | trim ~ n %}{{ t }}{{ l | trim + 'x' }}"
     "{% set trim = shout %}{{ s | trim + '!' }}",
     R"({"s": " a ", "n": 1, "l": [1]})"},
    {"{{ 1 + 'a' }}", "{}"},
    {"{{ 'a' + undefined_call() }}", "{}"},
    // Loops over objects, strings, nothing, with else, break, continue, a test and tuples; nesting.
    {"{% for k in d %}{{ k }}={{ d[k] }};{% endfor %}{% for c in 'h\u00e9\U0001F600' %}{{ c }}|{% endfor %}"
     "{% for x in [] %}no{% else %}empty{% endfor %}",
     R"({"d": {"b": 1, "a": 2}})"},
    {"{% for x in 5 %}{% endfor %}", "{}"},
    {"{% for x in [1, 2, 3, 4] %}{% if x == 2 %}{% continue %}{% endif %}{% if x == 4 %}{% break %}{% endif %}{{ x }}"
     "{% for y in [x, x] %}{{ loop.index }}{{ y }}{% endfor %}{% endfor %}{% for x in [1, 2] if x > 1 %}{{ x }}{% endfor %}"
     "{% for a, b in [[1, 2], [3]] %}{{ a }}{{ b }}{% endfor %}",
     "{}"},
    {"{% break %}", "{}"},
    // Macros, call blocks, namespaces, filter blocks and set blocks among lowered steps.
    {"{% set ns = namespace(n=0) %}{% for x in [1, 2] %}{% set ns.n = ns.n + x %}{% endfor %}{{ ns.n }}"
     "{% macro greet(who='you') %}hi {{ who | trim }}{% if caller %}{{ caller() }}{% endif %}{% endmacro %}"
     "{{ greet(' me ') }}{% call greet() %}!{% endcall %}{% filter upper %}{{ 'up' }}{% endfilter %}"
     "{% set block %}{{ 1 + 1 }}{% endset %}{{ block }}",
     "{}"},
    // A caller kept past the end of its loop: its scope is gone, also when later loops run.
    {"{% set ns = namespace(c=none) %}{% macro keep() %}{% set ns.c = caller %}{% endmacro %}{% for a in [1] %}"
     "{% call keep() %}{{ a }}{% endcall %}{% endfor %}{% for b in [2] %}{{ b }}{% endfor %}{{ ns.c is defined }}{{ ns.c() }}",
     "{}"},
    // Raised errors inside lowered steps, and errors of the operands.
    {"{% for m in ['a'] %}{% if m == 'a' %}{{ raise_exception('raised ' + m) }}{% endif %}{% endfor %}", "{}"},
    {"{{ messages[0]['role'] == 'system' }}{{ (messages | first)['role'] }}", R"({"messages": []})"},
    {"{% if (x | int) == 1 and not y %}one{% endif %}{{ x | trim == '1' }}{{ (x | trim) == '1' }}", R"({"x": " 1 "})"},
    {"{% if 'a' in d and d.a == 1 %}in{% endif %}{% if d is mapping and d.a is number %}map{% endif %}", R"({"d": {"a": 1}})"},
    // Trimming texts that start or end with ASCII, white space or not, or with other scalars.
    {"{% for t in ts %}[{{ t | trim }}]{{ t | trim + '|' }}{% endfor %}",
     R"({"ts": ["a", "ab", "a b", " a", "a\n", "\u00a0a\u3000", "\u00e9", "a\u00a0", "\u2003a", "\t", "", "x\u0085"]})"},
    // Slices with literal bounds, of arrays, strings and what cannot be sliced.
    {"{{ xs[1:] }}{{ xs[:2] }}{{ xs[-2:] }}{{ xs[-9:9] }}{{ xs[3:1] }}{{ xs[:] }}{{ xs[:-1] }}{{ s[1:] }}{{ s[-2:] }}"
     "{{ d.xs[1:] }}{{ u[1:] | length }}{% for x in xs[1:] %}{{ x }}{% endfor %}{% set xs = xs[1:] %}{{ xs[1:] }}"
     "{% set xs = 'abc' %}{{ xs[1:] }}{{ xs[1:] | length }}",
     R"({"xs": [1, 2, 3], "s": "héllo", "d": {"xs": [4, 5]}})"},
    {"{{ xs[-9223372036854775807:9223372036854775807] }}{{ n[1:] }}", R"({"xs": [1, 2], "n": 5})"},
    // An entry read again within one loop pass, after a set, a nested loop or an interpreted step
    // that may have bound the name anew or changed the object.
    {"{% for m in ms %}{% if m.r == 'a' %}A{% endif %}{{ m['r'] | trim }}{% set m = n %}{% if m['r'] == 'b' %}B{% endif %}"
     "{{ m.r }}{% for m in [{'r': ' x '}] %}{{ m.r | trim }}{% endfor %}{% if m.r is string %}{{ m.r }}{% endif %}|{% endfor %}",
     R"({"ms": [{"r": "a"}, {"r": " c "}], "n": {"r": "b"}})"},
    {"{% set ns = namespace(r='a') %}{% if ns.r == 'a' %}A{% endif %}{% set ns.r = ' b ' %}{% if ns.r == 'a' %}A{% endif %}"
     "{{ ns.r | trim }}{% set ns = namespace(r=' c ') %}{{ ns.r | trim }}{% if d['cafe\u0301'] == 1 %}e{% endif %}{{ d.k }}"
     "{{ d['caf\u00e9'] == 1 }}{{ d['cafe\u0301'] }}{% set d = {'k': 'K'} %}{{ d.k == 'K' }}",
     R"({"d": {"café": 1, "k": 2}})"},
    // A render that starts without any function: functions bound later, as variables, loop items or
    // arguments, stand in for filters and tests from then on.
    {"{{ ' a ' | trim }}{{ 'x' is string }}{% set trim = range %}{{ 3 | trim }}{% set string = range %}{{ 2 is string }}"
     "{% if 2 is string %}yes{% endif %}",
     "{}", false},
    {"{% for x in [' a ', ' b '] %}{{ x | trim }}{% if x is string %}s{% endif %}{% if loop.first %}{% set trim = range %}"
     "{{ 2 | trim }}{% endif %}{% endfor %}{{ ' c ' | trim }}{% for trim in [1, range] %}{{ ' d ' | trim ~ '|' }}{% endfor %}",
     "{}", false},
    {"{% for m in ms %}{% for string in m %}{{ 'k' is string }}{{ ' e ' | trim }}{% endfor %}{% endfor %}"
     "{% macro f(trim) %}{{ 2 | trim }}{% endmacro %}{{ f(range) }}{{ ' f ' | trim }}",
     R"({"ms": [[1], [2, 3]]})", false},
};

class ProgramAgreesWithInterpreter : public ::testing::TestWithParam<Case> {};

TEST_P(ProgramAgreesWithInterpreter, SameOutputOrError) {
    const Case& c = GetParam();
    Template::Context context = c.withFunctions ? contextWithFunctions(c.context) : testing::context(c.context);
    const std::string compiled = outcome([&] { return Template(c.source).render(context); });
    const std::string interpreted = outcome([&] {
        Template parsed(c.source);
        return Interpreter::interpret(parsed.nodes(), Environment::make(nullptr, Environment::Variables(context)));
    });
    EXPECT_EQ(compiled, interpreted) << c.source;
}

INSTANTIATE_TEST_SUITE_P(Templates, ProgramAgreesWithInterpreter, ::testing::ValuesIn(cases));

// A function called inside loops may keep the scopes it was called with, weakly: each must expire
// with its render, never come back as the scope of a later loop. Called as a function, as a filter,
// as a test and through `map`, from loops whose other steps are all lowered.
TEST(ProgramTests, ScopesKeptByAFunctionExpireWithTheRender) {
    std::vector<std::weak_ptr<Environment>> kept;
    Template::Context context = testing::context(R"({"xs": [1, 2]})");
    context.set("keep", Value::function([&kept](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr& env) {
        for (EnvironmentPtr scope = env; scope; scope = scope->parent()) kept.push_back(scope);
        return Value(true);
    }));
    for (const char* source : {"{% for x in xs %}{% for y in xs %}{{ keep() }}{% endfor %}{% endfor %}",
                               "{% set trim = keep %}{% for x in xs %}{{ x | trim }}{% endfor %}",
                               "{% for x in xs %}{% if x is keep %}{{ x }}{% endif %}{% endfor %}",
                               "{% for x in xs %}{{ xs | map('keep') | list }}{% endfor %}"}) {
        kept.clear();
        EXPECT_FALSE(Template(source).render(context).empty()) << source;
        // Later loops on this thread, which take up any scope given back.
        Template("{% for a in xs %}{% for b in xs %}{{ b }}{% endfor %}{% endfor %}").render(context);
        ASSERT_FALSE(kept.empty()) << source;
        for (const auto& scope : kept) EXPECT_TRUE(scope.expired()) << source;
    }
}

// Names hashed while compiling (such as "loop") and while rendering agree, whatever their length.
TEST(ProgramTests, NameHashesAgreeAtCompileAndRunTime) {
    constexpr uint32_t compiled[] = {ScopeVariables::hashName(""), ScopeVariables::hashName("loop"),
                                     ScopeVariables::hashName("messages"), ScopeVariables::hashName("add_generation_prompt")};
    const std::string names[] = {"", "loop", "messages", "add_generation_prompt"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(ScopeVariables::hashName(names[i]), compiled[i]) << names[i];
}

// The chat-template statements become steps of their own; what has no step of its own is rendered by
// the interpreter as a whole node.
TEST(ProgramTests, LowersTheChatTemplateShapes) {
    EXPECT_EQ(Program(Template("{% for m in messages[1:] %}{% if m.role == 'user' %}{% set c = m.content | trim %}"
                               "{{ '[' + c + ']' }}{% elif loop.first %}{{ m['content'] }}{% endif %}{% endfor %}")
                          .nodes())
                  .interpretedNodeCount(),
              0u);
    EXPECT_EQ(Program(Template("{% macro m() %}{% endmacro %}{% for a, b in x %}{% endfor %}{{ m() }}").nodes())
                  .interpretedNodeCount(),
              3u);
}

}  // namespace
}  // namespace jinja

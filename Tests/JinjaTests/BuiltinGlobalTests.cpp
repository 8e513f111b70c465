#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <thread>

#include "BuiltinSupport.hpp"
#include "Jinja/Globals.hpp"
#include "Jinja/Utilities.hpp"

namespace jinja {
namespace {

using testing::expectGolden;
using testing::render;

TEST(BuiltinGlobalTests, TableInOrder) {
    std::vector<std::string> names;
    for (const auto& [name, value] : Globals::builtIn()) {
        names.push_back(name);
        EXPECT_TRUE(value.isFunction()) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"raise_exception", "range", "lipsum", "dict", "cycler", "joiner",
                                               "namespace", "strftime_now"}));
    // A context entry cannot replace a global.
    EXPECT_EQ(render("{{ range(2) }}", R"({"range": 1})"), "[0, 1]");
}

TEST(BuiltinGlobalTests, Range) {
    expectGolden({
        {"{{ range(3) }}|{{ range(1, 4) }}|{{ range(0, 10, 3) }}|{{ range(5, 0, -2) }}", "{}",
         "[0, 1, 2]|[1, 2, 3]|[0, 3, 6, 9]|[5, 3, 1]"},
        {"{{ range(0) }}|{{ range(-2) }}|{{ range(3, 1) }}|{{ range(1, 5, -1) }}|{{ range(3, foo=1) }}", "{}",
         "[]|[]|[]|[]|[0, 1, 2]"},
        {"{{ range(stop=3) }}", "{}", "error: range() takes 1 to 3 arguments"},
        {"{{ range() }}", "{}", "error: range() takes 1 to 3 arguments"},
        {"{{ range(1, 2, 3, 4) }}", "{}", "error: range() takes 1 to 3 arguments"},
        {"{{ range(1.5) }}", "{}", "error: range() stop argument must be an integer"},
        {"{{ range(1, '5') }}", "{}", "error: range() arguments must be integers"},
        {"{{ range(1, 5, 1.0) }}", "{}", "error: range() arguments must be integers"},
        {"{{ range(1, 5, 0) }}", "{}", "error: range() step argument must not be zero"},
        // Ends of the 64-bit range neither overflow nor loop; huge ranges hit the size bound.
        {"{{ range(a, b, c) }}", R"({"a": 9223372036854775805, "b": 9223372036854775807, "c": 1000})",
         "[9223372036854775805]"},
        {"{{ range(a, b, c) }}", R"({"a": -9223372036854775807, "b": 9223372036854775807, "c": 9223372036854775807})",
         "[-9223372036854775807, 0]"},
        {"{{ range(100000000000) }}", "{}", "error: Result exceeds the size limit"},
    });
}

TEST(BuiltinGlobalTests, Lipsum) {
    RandomSource::seed(42);
    std::string text = render("{{ lipsum(2, false, 3, 3) }}");
    auto split = text.find("\n\n");
    ASSERT_NE(split, std::string::npos) << text;
    for (const std::string& paragraph : {text.substr(0, split), text.substr(split + 2)}) {
        EXPECT_TRUE(paragraph[0] >= 'A' && paragraph[0] <= 'Z') << paragraph;
        EXPECT_EQ(paragraph.back(), '.');
        EXPECT_EQ(std::count(paragraph.begin(), paragraph.end(), ' '), 2) << paragraph;
    }
    RandomSource::seed(42);
    EXPECT_EQ(render("{{ lipsum(2, false, 3, 3) }}"), text);
    std::string html = render("{{ lipsum(3, min=1, max=2) }}");
    EXPECT_EQ(std::count(html.begin(), html.end(), '\n'), 2);
    EXPECT_EQ(html.substr(0, 3), "<p>");
    expectGolden({
        {"{{ lipsum(1, min=0, max=0) }}|{{ lipsum(0) }}|{{ lipsum(1, false, 0, 0) }}", "{}", "<p>.</p>||."},
        {"{{ lipsum('2') }}", "{}", "error: Invalid arguments for lipsum()"},
        {"{{ lipsum(html=1) }}", "{}", "error: Invalid arguments for lipsum()"},
        {"{{ lipsum(1, min=5, max=2) }}", "{}", "error: Invalid arguments for lipsum()"},
        {"{{ lipsum(-1) }}", "{}", "error: Invalid arguments for lipsum()"},
        {"{{ lipsum(100000, max=100000) }}", "{}", "error: Result exceeds the size limit"},
        {"{{ lipsum(x=1) }}", "{}", "error: Unexpected keyword argument 'x' for filter."},
    });
}

TEST(BuiltinGlobalTests, DictAndNamespace) {
    expectGolden({
        {"{{ dict(a=1, b=2) }}|{{ dict() }}|{{ dict(1, 2) }}|{{ namespace(x='y') }}", "{}", "{a: 1, b: 2}|{}|{}|{x: y}"},
        {"{% set ns = namespace(n=0) %}{% for i in [1, 2] %}{% set ns.n = ns.n + i %}{% endfor %}{{ ns.n }}", "{}", "3"},
    });
}

TEST(BuiltinGlobalTests, CyclerAndJoiner) {
    expectGolden({
        {"{% set c = cycler('x', 'y') %}{{ c.next() }}{{ c.next() }}{{ c.next() }}{{ c.reset() }}{{ c.next() }}"
         "{{ c.current }}",
         "{}", "xyxxx"},
        {"{% set c = cycler('x', 'y') %}{% set d = c %}{{ c.next() }}{{ d.next() }}", "{}", "xy"},
        {"{{ cycler() }}", "{}", "error: cycler() requires at least one argument"},
        {"{% set j = joiner() %}[{{ j() }}]{{ j() }}{{ j() }}|{% set k = joiner('|') %}{{ k() }}{{ k() }}", "{}",
         "[], , ||"},
        {"{{ joiner(1) }}", "{}", "error: joiner separator must be a string"},
        {"{{ joiner(x=1) }}", "{}", "error: Unexpected keyword argument 'x' for filter."},
    });
}

TEST(BuiltinGlobalTests, CyclerAndJoinerAreSafeAcrossThreads) {
    KeywordArguments none;
    Value cycler = Globals::cycler({Value("x"), Value("y"), Value("z")}, none, nullptr);
    BuiltinFunction next = cycler.asObject().find("next")->asFunction();
    BuiltinFunction joiner = Globals::joiner({}, none, nullptr).asFunction();

    constexpr int threads = 8;
    constexpr int callsPerThread = 3000;
    std::vector<std::map<std::string, int>> counts(threads);
    std::vector<int> emptyJoins(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < callsPerThread; ++i) {
                ++counts[t][next({}, none, nullptr).asString()];
                if (joiner({}, none, nullptr).asString().empty()) ++emptyJoins[t];
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::map<std::string, int> total;
    int empty = 0;
    for (int t = 0; t < threads; ++t) {
        for (const auto& [item, count] : counts[t]) total[item] += count;
        empty += emptyJoins[t];
    }
    // Every call advanced the cycle exactly once, and exactly one joiner call came first.
    EXPECT_EQ(total["x"], threads * callsPerThread / 3);
    EXPECT_EQ(total["y"], threads * callsPerThread / 3);
    EXPECT_EQ(total["z"], threads * callsPerThread / 3);
    EXPECT_EQ(empty, 1);
}

TEST(BuiltinGlobalTests, RaiseException) {
    expectGolden({
        {"before{{ raise_exception('bad input') }}", "{}", "exception: bad input"},
        {"{% for i in [1] %}{{ raise_exception() }}{% endfor %}|{{ raise_exception(3) }}", "{}", "exception: nil"},
        {"{{ raise_exception(3) }}", "{}", "exception: nil"},
    });
}

TEST(BuiltinGlobalTests, StrftimeFormatsTheDate) {
    // 2024-03-05 07:08:09 UTC, read back in the local zone the formatter uses.
    foundation::Date date = foundation::dateFromTimeIntervalSince1970(1709622489.0);
    std::time_t seconds = 1709622489;
    std::tm local{};
    localtime_r(&seconds, &local);
    char expected[64];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(formatStrftime(date, "%Y-%m-%d %H:%M:%S"), expected);
    std::strftime(expected, sizeof expected, "at %H h, %y/%j %A %B %b %a", &local);
    EXPECT_EQ(formatStrftime(date, "at %H h, %y/%j %A %B %b %a"), expected);
    EXPECT_EQ(formatStrftime(date, "%Q 100% %%"), "%Q 100% %");
    EXPECT_EQ(formatStrftime(date, "it's %Y"), std::string("it's ") + std::to_string(local.tm_year + 1900));
    EXPECT_EQ(formatStrftime(date, ""), "");
}

TEST(BuiltinGlobalTests, StrftimeNow) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string year = std::to_string(local.tm_year + 1900);
    EXPECT_EQ(render("{{ strftime_now('%Y') }}"), year);
    expectGolden({
        {"{{ strftime_now('%Q') }}|{{ strftime_now('100%') }}|{{ strftime_now('%%') }}", "{}", "%Q|100%|%"},
        {"{{ strftime_now() }}", "{}", "error: strftime_now takes exactly 1 argument"},
        {"{{ strftime_now('%Y', '%m') }}", "{}", "error: strftime_now takes exactly 1 argument"},
        {"{{ strftime_now(format='%Y') }}", "{}", "error: strftime_now takes exactly 1 argument"},
        {"{{ strftime_now(5) }}", "{}", "error: strftime_now format argument must be a string"},
    });
}

}  // namespace
}  // namespace jinja

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Jinja/Error.hpp"
#include "Jinja/Template.hpp"

using namespace jinja;

namespace {

std::string render(const std::string& source, Template::Options options, const Template::Context& context = {}) {
    return Template(source, options).render(context);
}

Template::Options lstrip() {
    Template::Options options;
    options.lstripBlocks = true;
    return options;
}

Template::Options trim() {
    Template::Options options;
    options.trimBlocks = true;
    return options;
}

TEST(TemplateTests, OptionsOffLeaveTextUnchanged) {
    EXPECT_EQ(Template::applyOptions("  {% if x %}\n  {# c #}\r\n", Template::Options()), "  {% if x %}\n  {# c #}\r\n");
}

TEST(TemplateTests, LstripBlocks) {
    EXPECT_EQ(Template::applyOptions("  \t{% if x %}", lstrip()), "{% if x %}");
    EXPECT_EQ(Template::applyOptions("  {{ x }}", lstrip()), "  {{ x }}");
    EXPECT_EQ(Template::applyOptions("a {% if x %}", lstrip()), "a {% if x %}");
    EXPECT_EQ(Template::applyOptions("x\n   {# c #}\n", lstrip()), "x\n{# c #}\n");
    EXPECT_EQ(render("<ul>\n    {% for i in [1, 2] %}\n<li>{{ i }}</li>\n    {% endfor %}\n</ul>", lstrip()),
              "<ul>\n\n<li>1</li>\n\n<li>2</li>\n\n</ul>");
}

// Windows line ends stay one line break each (and every other line end is kept as written).
TEST(TemplateTests, LstripBlocksKeepsCarriageReturnLineFeedAsOneBreak) {
    EXPECT_EQ(Template::applyOptions("a\r\n  {% if true %}b{% endif %}\r\nc", lstrip()), "a\r\n{% if true %}b{% endif %}\r\nc");
    EXPECT_EQ(render("a\r\n  {% if true %}b{% endif %}\r\nc", lstrip()), "a\r\nb\r\nc");
    EXPECT_EQ(Template::applyOptions("a\r  {% x %}\xE2\x80\xA8 {% y %}", lstrip()), "a\r{% x %}\xE2\x80\xA8{% y %}");
}

TEST(TemplateTests, TrimBlocks) {
    EXPECT_EQ(render("{% if true %}\ny{% endif %}", trim()), render("{% if true %}y{% endif %}", Template::Options()));
    EXPECT_EQ(render("{% if true %} \ny{% endif %}", trim()), " \ny");
    EXPECT_EQ(render("{# c #}\n\nz", trim()), "\nz");
    EXPECT_EQ(render("{{ 1 }}\nz", trim()), "1\nz");
}

TEST(TemplateTests, GlobalsWinOverContextEntries) {
    Template::Context context;
    context.set("range", Value(1));
    context.set("name", Value("n"));
    EXPECT_EQ(Template("{{ range }} {{ name }}").render(context), "[Function] n");
}

TEST(TemplateTests, EnvironmentReceivesTheContextOnly) {
    auto env = Environment::make();
    env->set("name", Value("old"));
    env->set("kept", Value("k"));
    Template::Context context;
    context.set("name", Value("new"));
    EXPECT_EQ(Template("{{ name }} {{ kept }}{% set made = 1 %}").render(context, env), "new k");
    EXPECT_EQ(env->lookup("name"), Value("new"));
    EXPECT_FALSE(env->variables.contains("made"));
}

TEST(TemplateTests, FailuresProduceNoTemplateAndNoOutput) {
    EXPECT_THROW(Template("{% if %}"), JinjaError);
    EXPECT_THROW(Template("{{ 'x"), JinjaError);
    Template failing("partial {{ 1 / 0 }}");
    EXPECT_THROW(failing.render({}), JinjaError);
}

TEST(TemplateTests, RenderingsAreIndependent) {
    Template t("{% set ns = {'n': 0} %}{% for x in items %}{% set ns.n = ns.n + x %}{% endfor %}{{ who }}={{ ns.n }}");
    Template::Context first;
    first.set("items", Value(ValueArray{Value(1), Value(2)}));
    first.set("who", Value("a"));
    EXPECT_EQ(t.render(first), "a=3");
    EXPECT_EQ(t.render(first), "a=3");
}

// One compiled template rendered from many threads at once, each with its own context.
TEST(TemplateTests, ConcurrentRenderingOfOneTemplate) {
    const Template t(
        "{% macro row(i) %}<{{ i }}:{{ caller() }}>{% endmacro %}"
        "{% for i in items %}{% call row(i) %}{{ who }}{% endcall %}{% endfor %}");
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&, k] {
            Template::Context context;
            context.set("who", Value("t" + std::to_string(k)));
            context.set("items", Value(ValueArray{Value(1), Value(2), Value(3)}));
            std::string expected;
            for (int i = 1; i <= 3; ++i) expected += "<" + std::to_string(i) + ":t" + std::to_string(k) + ">";
            for (int round = 0; round < 300; ++round)
                if (t.render(context) != expected) ++mismatches[k];
        });
    }
    for (auto& thread : threads) thread.join();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(mismatches[k], 0) << k;
}

TEST(TemplateTests, EqualityAndHashing) {
    EXPECT_EQ(Template("a{{ b }}"), Template("a{{ b }}"));
    EXPECT_EQ(Template("a{{ b }}").hash(), Template("a{{ b }}").hash());
    EXPECT_FALSE(Template("a{{ b }}") == Template("a{{ c }}"));
    EXPECT_EQ(lstrip(), lstrip());
    EXPECT_FALSE(lstrip() == trim());
    EXPECT_NE(lstrip().hash(), trim().hash());
}

}  // namespace

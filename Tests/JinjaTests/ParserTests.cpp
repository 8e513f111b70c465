#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Jinja/Error.hpp"
#include "Jinja/Lexer.hpp"
#include "Jinja/Parser.hpp"
#include "Platform/Foundation/Numbers.hpp"

using namespace jinja;

namespace {

std::vector<Node> parse(const std::string& text) { return Parser::parse(Lexer::tokenize(text)); }

// A compact prefix rendering of an expression tree, so precedence reads at a glance.
std::string sexpr(const Expression& e) {
    using E = Expression;
    auto list = [](const std::vector<Expression>& items) {
        std::string out;
        for (const auto& item : items) out += " " + sexpr(item);
        return out;
    };
    switch (e.kind()) {
        case E::Case::string: return "'" + e.as<E::String>()->value + "'";
        case E::Case::number: return foundation::formatDouble(e.as<E::Number>()->value);
        case E::Case::integer: return std::to_string(e.as<E::Integer>()->value);
        case E::Case::boolean: return e.as<E::Boolean>()->value ? "true" : "false";
        case E::Case::null: return "null";
        case E::Case::array: return "[" + list(e.as<E::Array>()->elements) + "]";
        case E::Case::tuple: return "(tuple" + list(e.as<E::Tuple>()->elements) + ")";
        case E::Case::object: {
            std::string out = "{";
            for (const auto& [k, v] : e.as<E::Object>()->entries) out += " " + k + ":" + sexpr(v);
            return out + "}";
        }
        case E::Case::identifier: return e.as<E::Identifier>()->name;
        case E::Case::unary: return "(" + std::string(E::rawValue(e.as<E::Unary>()->op)) + " " + sexpr(e.as<E::Unary>()->operand) + ")";
        case E::Case::binary: {
            auto b = e.as<E::Binary>();
            return "(" + std::string(E::rawValue(b->op)) + " " + sexpr(b->left) + " " + sexpr(b->right) + ")";
        }
        case E::Case::ternary: {
            auto t = e.as<E::Ternary>();
            return "(if " + sexpr(t->test) + " " + sexpr(t->value) + (t->alternate ? " " + sexpr(*t->alternate) : "") + ")";
        }
        case E::Case::call: {
            auto c = e.as<E::Call>();
            std::string out = "(call " + sexpr(c->callee) + list(c->args);
            for (const auto& [k, v] : c->kwargs) out += " " + k + "=" + sexpr(v);
            return out + ")";
        }
        case E::Case::member: {
            auto m = e.as<E::Member>();
            return std::string(m->computed ? "(at " : "(. ") + sexpr(m->object) + " " + sexpr(m->property) + ")";
        }
        case E::Case::slice: {
            auto s = e.as<E::Slice>();
            auto part = [](const std::optional<Expression>& p) { return p ? sexpr(*p) : std::string("_"); };
            return "(slice " + sexpr(s->value) + " " + part(s->start) + " " + part(s->stop) + " " + part(s->step) + ")";
        }
        case E::Case::filter: {
            auto f = e.as<E::Filter>();
            std::string out = "(| " + sexpr(f->operand) + " " + f->name + list(f->args);
            for (const auto& [k, v] : f->kwargs) out += " " + k + "=" + sexpr(v);
            return out + ")";
        }
        case E::Case::test: {
            auto t = e.as<E::Test>();
            return std::string(t->negated ? "(is-not " : "(is ") + sexpr(t->operand) + " " + t->name + list(t->args) + ")";
        }
    }
    return "?";
}

std::string expr(const std::string& source) {
    auto nodes = parse("{{ " + source + " }}");
    EXPECT_EQ(nodes.size(), 1u);
    return sexpr(*nodes.at(0).as<Expression>());
}

std::string parserError(const std::string& text) {
    try {
        parse(text);
    } catch (const JinjaError& e) {
        EXPECT_EQ(e.kind(), JinjaError::Case::parser);
        return e.message();
    }
    return "no error";
}

TEST(ParserTests, Precedence) {
    struct Case { const char* source; const char* tree; };
    const Case cases[] = {
        {"a + b | upper", "(+ a (| b upper))"},
        {"2 * 3 | string", "(| (* 2 3) string)"},
        {"2 ** 3 ** 2", "(** (** 2 3) 2)"},
        {"-2 ** 2", "(** (- 2) 2)"},
        {"\"a\" \"b\" ~ c", "(~ (~ 'a' 'b') c)"},
        {"x \"y\"", "(~ x 'y')"},
        {"f (1)", "(call f 1)"},
        {"a < b < c", "(< (< a b) c)"},
        {"a not in b", "(not in a b)"},
        {"not a in b", "(not (in a b))"},
        {"not not x", "(not (not x))"},
        {"a or b and c", "(or a (and b c))"},
        {"x is not none", "(is-not x none)"},
        {"x is true", "(is x true)"},
        {"x is divisibleby(3)", "(is x divisibleby 3)"},
        {"x is divisibleby 3", "(is x divisibleby 3)"},
        {"x is defined == true", "(== (is x defined) true)"},
        {"a if b else c if d", "(if b a (if d c))"},
        {"x[1]", "(at x 1)"},
        {"x[:]", "(slice x _ _ _)"},
        {"x[1:]", "(slice x 1 _ _)"},
        {"x[:-1]", "(slice x _ (- 1) _)"},
        {"x[::2]", "(slice x _ _ 2)"},
        {"a.b.c(1, k=2)", "(call (. (. a b) c) 1 k=2)"},
        {"*a.b", "(. (* a) b)"},
        {"(1)", "1"},
        {"(1,)", "(tuple 1)"},
        {"()", "(tuple)"},
        {"[1, 2,]", "[ 1 2]"},
        {"{a: 1, 'b': 2, a: 3,}", "{ a:3 b:2}"},
        {"f(x=1, 2, x=3)", "(call f 2 x=3)"},
        {"99999999999999999999", "0"},
        {"1.5", "1.5"},
        {"True and true", "(and true true)"},
        {"items | join(', ', attribute='n')", "(| items join ', ' attribute='n')"},
        {"if.for", "(. if for)"},
    };
    for (const auto& c : cases) EXPECT_EQ(expr(c.source), c.tree) << c.source;
}

TEST(ParserTests, NodeListsMergeTextAndKeepComments) {
    EXPECT_TRUE(parse("").empty());
    EXPECT_EQ(parse("{{ a }}{{ b }}").size(), 2u);
    EXPECT_EQ(parse("a{# c #}b").size(), 3u);
    auto merged = parse("a #} b");
    EXPECT_EQ(merged.size(), 1u);
    auto textInBody = parse("{% if a %}x{# c #}y{% endif %}");
    EXPECT_EQ(textInBody[0].as<Statement>()->as<Statement::If>()->body.size(), 3u);
}

TEST(ParserTests, Statements) {
    auto ifChain = parse("{% if a %}x{% elif b %}y{% else %}z{% endif %}");
    ASSERT_EQ(ifChain.size(), 1u);
    auto outer = ifChain[0].as<Statement>()->as<Statement::If>();
    ASSERT_EQ(outer->alternate.size(), 1u);
    auto inner = outer->alternate[0].as<Statement>()->as<Statement::If>();
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->alternate[0], Node::text("z"));

    auto loopNodes = parse("{% for a, b in pairs | sort if a %}{% endfor %}");
    auto loop = loopNodes[0].as<Statement>()->as<Statement::For>();
    EXPECT_EQ(loop->loopVar, Statement::LoopVar::tuple({"a", "b"}));
    EXPECT_EQ(sexpr(loop->iterable), "(| pairs sort)");
    EXPECT_EQ(sexpr(*loop->test), "a");

    auto setNodes = parse("{% set a, b = 1, 2 %}");
    auto set = setNodes[0].as<Statement>()->as<Statement::Set>();
    EXPECT_EQ(sexpr(set->target), "(tuple a b)");
    EXPECT_EQ(sexpr(*set->value), "(tuple 1 2)");
    auto blockNodes = parse("{% set x %}t{% endset %}");
    auto block = blockNodes[0].as<Statement>()->as<Statement::Set>();
    EXPECT_FALSE(block->value.has_value());
    EXPECT_EQ(block->body.size(), 1u);

    auto macroNodes = parse("{% macro m(a, b=1, c) %}{% endmacro %}");
    auto macro = macroNodes[0].as<Statement>()->as<Statement::Macro>();
    EXPECT_EQ(macro->parameters, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(macro->defaults.keys(), (std::vector<std::string>{"b"}));

    auto callArgs = [](const std::string& text) {
        auto nodes = parse(text);
        return nodes[0].as<Statement>()->as<Statement::Call>()->callerArgs;
    };
    EXPECT_FALSE(callArgs("{% call m() %}{% endcall %}").has_value());
    EXPECT_EQ(callArgs("{% call() m() %}{% endcall %}")->size(), 0u);
    EXPECT_EQ(callArgs("{% call(a, k=1) m() %}{% endcall %}")->size(), 1u);
}

TEST(ParserTests, ErrorMessages) {
    struct Case { const char* source; const char* message; };
    const Case cases[] = {
        {"{% if a %}x", "Unclosed if statement"},
        {"{% for x in y %}x", "Unclosed for loop"},
        {"{% set x %}x", "Expected '{%' for endset.. Got eof instead"},
        {"{% endif %}", "Unknown statement: endif"},
        {"{% for x in y %}{% elif c %}{% endfor %}", "Unknown statement: elif"},
        {"{% for a in x + y %}{% endfor %}", "Expected '%}' after for loop.. Got plus instead"},
        {"{{ x is in y }}", "Expected test name but found in."},
        {"{{ x[] }}", "Invalid subscript"},
        {"{{ x[1::] }}", "Unexpected token for primary expression: closeBracket"},
        {"{{ f(1,) }}", "Unexpected token for primary expression: closeParen"},
        {"{{ {1: 2} }}", "Expected string literal or identifier for object key. Got number instead"},
        {"{{ {'a': 1,", "Expected string literal or identifier for object key. Got eof instead"},
        {"{{ a", "Expected '}}' after expression.. Got eof instead"},
        {"}}", "Unexpected token type: closeExpression"},
        {"{% macro 1() %}", "Expected identifier but found number."},
        {"{% if a %}{% else %}{% endfor %}", "Unknown statement: endfor"},
        {"{% if a %}{% else %}", "Expected '{%' for endif.. Got eof instead"},
        {"{%  %}", "Unknown statement: %}"},
        {"{% %}", "Unknown statement: %}"},
    };
    for (const auto& c : cases) EXPECT_EQ(parserError(c.source), c.message) << c.source;
}

TEST(ParserTests, SyntaxTreeEqualityAndHashing) {
    auto first = [](const std::string& source) {
        auto nodes = parse("{{ " + source + " }}");
        return *nodes[0].as<Expression>();
    };
    EXPECT_NE(first("{'a': 1, 'b': 2}"), first("{'b': 2, 'a': 1}"));
    EXPECT_EQ(first("f(a=1, b=2)"), first("f(b=2, a=1)"));
    EXPECT_EQ(first("f(a=1, b=2)").hash(), first("f(b=2, a=1)").hash());
    EXPECT_EQ(Expression(Expression::Number{0.0}), Expression(Expression::Number{-0.0}));
    EXPECT_EQ(Expression(Expression::Number{0.0}).hash(), Expression(Expression::Number{-0.0}).hash());
    EXPECT_NE(Expression(Expression::Number{1.0}), Expression(Expression::Integer{1}));
    EXPECT_NE(first("a if b"), first("a if b else none"));
    EXPECT_NE(first("x[::1]"), first("x[1:]"));
    EXPECT_NE(parse("{% set x = 1 %}")[0], parse("{% set x %}{% endset %}")[0]);
    EXPECT_EQ(parse("{% macro m(a=1, b=2) %}{% endmacro %}")[0], parse("{% macro m(a=1, b=2) %}{% endmacro %}")[0]);
    EXPECT_NE(parse("{% macro m(a=1, b=2) %}{% endmacro %}")[0], parse("{% macro m(b=2, a=1) %}{% endmacro %}")[0]);
    // Canonically equivalent names are the same name.
    EXPECT_EQ(first("'\xC3\xA9'"), first("'e\xCC\x81'"));
    EXPECT_EQ(first("'\xC3\xA9'").hash(), first("'e\xCC\x81'").hash());
}

TEST(ParserTests, OperatorRawValues) {
    EXPECT_EQ(Expression::binaryOp("not in"), Expression::BinaryOp::notIn);
    EXPECT_FALSE(Expression::binaryOp("notin").has_value());
    EXPECT_FALSE(Expression::binaryOp("not  in").has_value());
    EXPECT_FALSE(Expression::unaryOp("Not").has_value());
    EXPECT_EQ(Expression::allUnaryOps().size(), 4u);
    EXPECT_EQ(Expression::allBinaryOps().size(), 18u);
    EXPECT_EQ(Expression::allBinaryOps().back(), Expression::BinaryOp::notIn);
}

}  // namespace

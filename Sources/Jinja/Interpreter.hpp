#pragma once
// Rendering of syntax trees: expressions, statements, loops, macros and call blocks.
#include <string>
#include <vector>

#include "Jinja/AST.hpp"
#include "Jinja/Environment.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Jinja/Value.hpp"

namespace jinja {
class Program;
}

namespace jinja::Interpreter {

// Renders a node list in a fresh root scope made from `environment`'s own variables (which is only read).
std::string interpret(const std::vector<Node>& nodes, const EnvironmentPtr& environment);
// Renders the nodes in `env`, appending to `output`.
void interpret(const std::vector<Node>& nodes, const EnvironmentPtr& env, std::string& output);
// Runs a lowered program as one render (the same stack bounds as interpret).
void interpret(const Program& program, const EnvironmentPtr& env, std::string& output);
void interpretNode(const Node& node, const EnvironmentPtr& env, std::string& output);
void executeStatementWithOutput(const Statement& statement, const EnvironmentPtr& env, std::string& output);
void assign(const Expression& target, const Value& value, const EnvironmentPtr& env);

Value evaluateExpression(const Expression& expression, const EnvironmentPtr& env);
// Whether the expression's value is truthy (as an if statement tests it).
bool evaluateCondition(const Expression& expression, const EnvironmentPtr& env);
// One string value per Character of the text (what a for loop walks over a string).
std::vector<Value> characterValues(const std::string& text);
// Throws the call depth error once rendering came too close to the end of this thread's stack.
void ensureStackRoom();
// Runs the test `name` (scope function first, then the built-in tests); args hold the tested value first.
bool evaluateTest(const std::string& name, const std::vector<Value>& args, const EnvironmentPtr& env);
Value evaluateUnaryValue(Expression::UnaryOp op, const Value& value);
Value evaluateBinaryValues(Expression::BinaryOp op, const Value& left, const Value& right);
Value evaluateComputedMember(const Value& container, const Value& key);

Value callMacro(const Macro& macro, const std::vector<Value>& arguments, const KeywordArguments& keywordArguments,
                const EnvironmentPtr& env);

// Appends rendered text, within the bound on a render's output.
inline void appendChecked(std::string& output, std::string_view text) {
    if (output.size() + text.size() > limits::maxOutputBytes) throw JinjaError::runtime(sizeLimitMessage);
    output += text;
}

// The entry stored under exactly `key`. Objects of a few entries are scanned: cheaper than hashing.
[[gnu::always_inline]] inline const Value* entryNamed(const ValueObject& object, std::string_view key) {
    if (object.size() > 8) return object.find(key);
    for (const auto& [name, value] : object)
        if (fastText::sameBytes(name, key)) return &value;
    return nullptr;
}

// Nesting bound for macro and caller calls within one render.
inline constexpr int maxCallDepth = 200;

}  // namespace jinja::Interpreter

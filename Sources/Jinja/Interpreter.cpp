#include "Jinja/Interpreter.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "Jinja/Error.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/PropertyMembers.hpp"
#include "Jinja/Tests.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Interpreter {

namespace {

__extension__ typedef __int128 Wide;

// Rendering recurses through expressions, statements and macro calls. Besides the fixed bounds on
// nesting and call depth, it refuses to go deeper once one render has used a fixed share of this
// thread's stack (or the stack is nearly exhausted), so no template can overflow the stack of whatever
// thread renders it. The main thread's reported size is only an upper bound, hence the share.
struct StackFacts {
    uintptr_t limit = 0;           // lowest frame address allowed at all
    uintptr_t budget = 1 << 20;    // bytes one render may use below its entry frame
};

StackFacts stackFacts() {
    StackFacts facts;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return facts;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0 && size > 0) {
        facts.limit = reinterpret_cast<uintptr_t>(base) + std::min<size_t>(size / 4, 512 * 1024);
        // Sanitizer-instrumented frames are several times larger; the limit above still guards the end.
#if defined(__SANITIZE_ADDRESS__)
        constexpr size_t frameScale = 4;
#else
        constexpr size_t frameScale = 1;
#endif
        facts.budget = std::min<size_t>(size / 4, 2 * 1024 * 1024) * frameScale;
    }
    pthread_attr_destroy(&attr);
    return facts;
}

thread_local uintptr_t renderEntry = 0;

void ensureStackRoom() {
    static thread_local const StackFacts facts = stackFacts();
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    bool exhausted = facts.limit != 0 && here < facts.limit;
    bool overBudget = renderEntry != 0 && renderEntry > here && renderEntry - here > facts.budget;
    if (exhausted || overBudget) throw JinjaError::runtime("Maximum call depth exceeded");
}

// Marks the outermost rendering call on this thread.
class RenderEntry {
public:
    explicit RenderEntry(uintptr_t frame) : owner_(renderEntry == 0) {
        if (owner_) renderEntry = frame;
    }
    ~RenderEntry() {
        if (owner_) renderEntry = 0;
    }
    RenderEntry(const RenderEntry&) = delete;
    RenderEntry& operator=(const RenderEntry&) = delete;

private:
    bool owner_;
};

void appendChecked(std::string& output, std::string_view text) {
    if (output.size() + text.size() > limits::maxOutputBytes) throw JinjaError::runtime(sizeLimitMessage);
    output += text;
}

std::vector<Value> characterValues(const std::string& text) {
    std::vector<size_t> bounds = foundation::text::characterBoundaries(text);
    std::vector<Value> items;
    if (bounds.size() < 2) return items;
    items.reserve(bounds.size() - 1);
    for (size_t i = 0; i + 1 < bounds.size(); ++i) items.emplace_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
    return items;
}

std::vector<Value> evaluateArguments(const std::vector<Expression>& args, const EnvironmentPtr& env, bool expandSplat) {
    std::vector<Value> values;
    values.reserve(args.size());
    for (const auto& arg : args) {
        auto unary = arg.as<Expression::Unary>();
        if (expandSplat && unary && unary->op == Expression::UnaryOp::splat) {
            Value spread = evaluateExpression(unary->operand, env);
            if (!spread.isArray()) throw JinjaError::runtime("Cannot unpack non-array value");
            const auto& items = spread.asArray();
            limits::ensureArraySize(values.size() + items.size());
            values.insert(values.end(), items.begin(), items.end());
        } else {
            values.push_back(evaluateExpression(arg, env));
        }
    }
    return values;
}

KeywordArguments evaluateKeywords(const Expression::Keywords& kwargs, const EnvironmentPtr& env) {
    KeywordArguments values;
    for (const auto& [name, expression] : kwargs) values.set(name, evaluateExpression(expression, env));
    return values;
}

// A filter by name: a function bound in the scope chain first, then the built-in table.
Value applyFilter(const std::string& name, const std::vector<Value>& args, const KeywordArguments& kwargs,
                  const EnvironmentPtr& env) {
    Value bound = env->lookup(name);
    if (bound.isFunction()) return bound.asFunction()(args, kwargs, env);
    const auto& table = Filters::builtIn();
    if (auto it = table.find(name); it != table.end()) return it->second(args, kwargs, env);
    throw JinjaError::runtime("Unknown filter: " + name);
}

Value evaluateSlice(const Value& value, const std::optional<Expression>& startExpr,
                    const std::optional<Expression>& stopExpr, const std::optional<Expression>& stepExpr,
                    const EnvironmentPtr& env) {
    std::optional<Value> start, stop, step;
    if (startExpr) start = evaluateExpression(*startExpr, env);
    if (stopExpr) stop = evaluateExpression(*stopExpr, env);
    if (stepExpr) step = evaluateExpression(*stepExpr, env);

    Wide stride = 1;
    if (step && step->isInt()) {
        if (step->asInt() == 0) throw JinjaError::runtime("Slice step cannot be zero");
        stride = step->asInt();
    }
    if (!value.isString() && !value.isArray()) throw JinjaError::runtime("Slice requires array or string");

    std::vector<Value> characters;
    const std::vector<Value>* items = nullptr;
    if (value.isString()) {
        characters = characterValues(value.asString());
        items = &characters;
    } else {
        items = &value.asArray();
    }
    const Wide n = static_cast<Wide>(items->size());
    const bool forwards = stride > 0;

    Wide first = forwards ? 0 : n - 1;
    Wide last = forwards ? n : -1;
    if (start && start->isInt()) first = start->asInt() < 0 ? start->asInt() + n : start->asInt();
    if (stop && stop->isInt()) last = stop->asInt() < 0 ? stop->asInt() + n : stop->asInt();

    // Walk first, first+stride, ... while before `last`, taking the indices inside the value; indices
    // outside it are jumped over arithmetically.
    std::vector<Value> taken;
    Wide i = first;
    if (forwards) {
        Wide end = std::min(last, n);
        if (i < 0 && i < end) i += ((-i + stride - 1) / stride) * stride;
        for (; i < end; i += stride) taken.push_back((*items)[static_cast<size_t>(i)]);
    } else {
        Wide end = std::max(last, Wide(-1));
        if (i > n - 1 && i > end) i -= ((i - (n - 1) + (-stride) - 1) / (-stride)) * (-stride);
        for (; i > end && i >= 0; i += stride) taken.push_back((*items)[static_cast<size_t>(i)]);
    }

    if (value.isString()) {
        std::string text;
        for (const auto& c : taken) text += c.asString();
        return Value(std::move(text));
    }
    return Value(std::move(taken));
}

Value makeLoopObject(int64_t index, int64_t totalCount) {
    ValueObject loop;
    loop.set("index", Value(index + 1));
    loop.set("index0", Value(index));
    loop.set("first", Value(index == 0));
    loop.set("last", Value(index + 1 == totalCount));
    loop.set("length", Value(totalCount));
    loop.set("revindex", Value(totalCount - index));
    loop.set("revindex0", Value(totalCount - index - 1));
    loop.set("cycle", Value(BuiltinFunction([index](const std::vector<Value>& args, const KeywordArguments&,
                                                     const EnvironmentPtr&) -> Value {
                 if (args.empty()) return Value(std::string());
                 return args[static_cast<size_t>(index) % args.size()];
             })));
    return Value(std::move(loop));
}

void renderInto(const std::vector<Node>& nodes, const EnvironmentPtr& env, std::string& output) {
    for (const auto& node : nodes) interpretNode(node, env, output);
}

void executeFor(const Statement::For& loop, const EnvironmentPtr& env, std::string& output) {
    Value iterable = evaluateExpression(loop.iterable, env);
    std::vector<Value> characters;
    const std::vector<Value>* arrayItems = nullptr;
    const ValueObject* objectItems = nullptr;
    size_t count = 0;
    switch (iterable.kind()) {
        case Value::Kind::array:
            arrayItems = &iterable.asArray();
            count = arrayItems->size();
            break;
        case Value::Kind::object:
            objectItems = &iterable.asObject();
            count = objectItems->size();
            break;
        case Value::Kind::string:
            characters = characterValues(iterable.asString());
            arrayItems = &characters;
            count = characters.size();
            break;
        default: throw JinjaError::runtime("Cannot iterate over non-iterable value");
    }
    if (count == 0) {
        renderInto(loop.defaultBlock, env, output);
        return;
    }

    EnvironmentPtr scope = Environment::make(env);
    const auto& names = loop.loopVar.names;
    const bool tuple = loop.loopVar.kind == Statement::LoopVar::Case::tuple;
    for (size_t i = 0; i < count; ++i) {
        if (objectItems) {
            const auto& [key, entry] = objectItems->at(i);
            if (!tuple) {
                scope->set(names[0], Value(key));
            } else {
                for (size_t k = 0; k < names.size(); ++k)
                    scope->set(names[k], k == 0 ? Value(key) : k == 1 ? entry : Value::undefined());
            }
        } else {
            const Value& item = (*arrayItems)[i];
            if (!tuple) {
                scope->set(names[0], item);
            } else if (iterable.isString()) {
                for (size_t k = 0; k < names.size(); ++k) scope->set(names[k], k == 0 ? item : Value::undefined());
            } else if (item.isArray()) {
                const auto& parts = item.asArray();
                for (size_t k = 0; k < names.size(); ++k)
                    scope->set(names[k], k < parts.size() ? parts[k] : Value::undefined());
            }
            // An item that is not an array binds nothing: the names keep what an earlier item bound.
        }
        scope->set("loop", makeLoopObject(static_cast<int64_t>(i), static_cast<int64_t>(count)));
        if (loop.test && !evaluateExpression(*loop.test, scope).isTruthy()) continue;
        try {
            renderInto(loop.body, scope, output);
        } catch (const ControlFlow& flow) {
            if (flow.kind() == ControlFlow::Case::break_) break;
        }
    }
}

void executeFilterBlock(const Statement::Filter& block, const EnvironmentPtr& env, std::string& output) {
    std::string body;
    renderInto(block.body, env, body);
    std::string name;
    std::vector<Value> args{Value(std::move(body))};
    if (auto identifier = block.filterExpr.as<Expression::Identifier>()) {
        name = identifier->name;
    } else if (auto filter = block.filterExpr.as<Expression::Filter>()) {
        name = filter->name;
        for (const auto& arg : filter->args) args.push_back(evaluateExpression(arg, env));
    } else {
        throw JinjaError::runtime("Invalid filter expression in filter statement");
    }
    Value result = applyFilter(name, args, KeywordArguments(), env);
    appendChecked(output, result.description());
}

}  // namespace

// Defined in Macro.cpp.
void executeMacroStatement(const Statement::Macro& statement, const EnvironmentPtr& env);
void executeCallStatement(const Statement::Call& statement, const EnvironmentPtr& env, std::string& output);

// ---------------------------------------------------------------------------------------------
// Statements

std::string interpret(const std::vector<Node>& nodes, const EnvironmentPtr& environment) {
    Environment::Variables initial = environment ? environment->variables : Environment::Variables();
    EnvironmentPtr root = Environment::make(nullptr, std::move(initial));
    std::string output;
    output.reserve(1024);
    interpret(nodes, root, output);
    return output;
}

void interpret(const std::vector<Node>& nodes, const EnvironmentPtr& env, std::string& output) {
    RenderEntry entry(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    renderInto(nodes, env, output);
}

void interpretNode(const Node& node, const EnvironmentPtr& env, std::string& output) {
    ensureStackRoom();
    switch (node.kind()) {
        case Node::Case::text: appendChecked(output, node.as<Node::Text>()->value); return;
        case Node::Case::expression: {
            Value value = evaluateExpression(*node.as<Expression>(), env);
            if (value.isString())
                appendChecked(output, value.asString());
            else
                appendChecked(output, value.description());
            return;
        }
        case Node::Case::statement: executeStatementWithOutput(*node.as<Statement>(), env, output); return;
        case Node::Case::comment: return;
    }
}

void executeStatementWithOutput(const Statement& statement, const EnvironmentPtr& env, std::string& output) {
    switch (statement.kind()) {
        case Statement::Case::program: renderInto(statement.as<Statement::Program>()->nodes, env, output); return;
        case Statement::Case::generation: renderInto(statement.as<Statement::Generation>()->nodes, env, output); return;
        case Statement::Case::if_: {
            auto s = statement.as<Statement::If>();
            renderInto(evaluateExpression(s->condition, env).isTruthy() ? s->body : s->alternate, env, output);
            return;
        }
        case Statement::Case::set: {
            auto s = statement.as<Statement::Set>();
            if (s->value) {
                assign(s->target, evaluateExpression(*s->value, env), env);
            } else {
                std::string text;
                renderInto(s->body, env, text);
                assign(s->target, Value(std::move(text)), env);
            }
            return;
        }
        case Statement::Case::for_: executeFor(*statement.as<Statement::For>(), env, output); return;
        case Statement::Case::macro: executeMacroStatement(*statement.as<Statement::Macro>(), env); return;
        case Statement::Case::break_: throw ControlFlow(ControlFlow::Case::break_);
        case Statement::Case::continue_: throw ControlFlow(ControlFlow::Case::continue_);
        case Statement::Case::call: executeCallStatement(*statement.as<Statement::Call>(), env, output); return;
        case Statement::Case::filter: executeFilterBlock(*statement.as<Statement::Filter>(), env, output); return;
    }
}

void assign(const Expression& target, const Value& value, const EnvironmentPtr& env) {
    if (auto identifier = target.as<Expression::Identifier>()) {
        env->set(identifier->name, value);
        return;
    }
    if (auto tuple = target.as<Expression::Tuple>()) {
        if (!value.isArray()) throw JinjaError::runtime("Cannot unpack non-array value for tuple assignment.");
        const auto& items = value.asArray();
        if (items.size() != tuple->elements.size())
            throw JinjaError::runtime("Tuple assignment mismatch: " + std::to_string(tuple->elements.size()) +
                                      " variables and " + std::to_string(items.size()) + " values.");
        for (size_t i = 0; i < items.size(); ++i) assign(tuple->elements[i], items[i], env);
        return;
    }
    if (auto member = target.as<Expression::Member>()) {
        Value object = evaluateExpression(member->object, env);
        std::string key;
        if (member->computed) {
            Value k = evaluateExpression(member->property, env);
            if (!k.isString()) throw JinjaError::runtime("Computed property key must be a string");
            key = k.asString();
        } else {
            auto name = member->property.as<Expression::Identifier>();
            if (!name) throw JinjaError::runtime("Property assignment requires identifier");
            key = name->name;
        }
        if (!object.isObject()) return;
        object.mutableObject().set(key, value);
        if (object.nestingDepth() > limits::maxNestingDepth) throw JinjaError::runtime(sizeLimitMessage);
        if (auto owner = member->object.as<Expression::Identifier>()) env->setInChain(owner->name, std::move(object));
        return;
    }
    throw JinjaError::runtime("Invalid target for assignment: " + target.debugDescription());
}

// ---------------------------------------------------------------------------------------------
// Expressions

Value evaluateExpression(const Expression& expression, const EnvironmentPtr& env) {
    ensureStackRoom();
    using E = Expression;
    switch (expression.kind()) {
        case E::Case::string: return Value(expression.as<E::String>()->value);
        case E::Case::number: return Value(expression.as<E::Number>()->value);
        case E::Case::integer: return Value(expression.as<E::Integer>()->value);
        case E::Case::boolean: return Value(expression.as<E::Boolean>()->value);
        case E::Case::null: return Value::null();
        case E::Case::array:
        case E::Case::tuple: {
            const auto& elements = expression.kind() == E::Case::array ? expression.as<E::Array>()->elements
                                                                       : expression.as<E::Tuple>()->elements;
            ValueArray items;
            items.reserve(elements.size());
            for (const auto& element : elements) items.push_back(evaluateExpression(element, env));
            return Value(std::move(items));
        }
        case E::Case::object: {
            ValueObject entries;
            for (const auto& [key, element] : expression.as<E::Object>()->entries)
                entries.set(key, evaluateExpression(element, env));
            return Value(std::move(entries));
        }
        case E::Case::identifier: return env->lookup(expression.as<E::Identifier>()->name);
        case E::Case::unary: {
            auto u = expression.as<E::Unary>();
            return evaluateUnaryValue(u->op, evaluateExpression(u->operand, env));
        }
        case E::Case::binary: {
            auto b = expression.as<E::Binary>();
            if (b->op == E::BinaryOp::and_) {
                Value left = evaluateExpression(b->left, env);
                return left.isTruthy() ? evaluateExpression(b->right, env) : left;
            }
            if (b->op == E::BinaryOp::or_) {
                Value left = evaluateExpression(b->left, env);
                return left.isTruthy() ? left : evaluateExpression(b->right, env);
            }
            Value left = evaluateExpression(b->left, env);
            Value right = evaluateExpression(b->right, env);
            return evaluateBinaryValues(b->op, left, right);
        }
        case E::Case::ternary: {
            auto t = expression.as<E::Ternary>();
            if (evaluateExpression(t->test, env).isTruthy()) return evaluateExpression(t->value, env);
            return t->alternate ? evaluateExpression(*t->alternate, env) : Value::null();
        }
        case E::Case::call: {
            auto c = expression.as<E::Call>();
            Value callee = evaluateExpression(c->callee, env);
            std::vector<Value> args = evaluateArguments(c->args, env, true);
            KeywordArguments kwargs = evaluateKeywords(c->kwargs, env);
            if (callee.isFunction()) return callee.asFunction()(args, kwargs, env);
            if (callee.isMacro()) return callMacro(callee.asMacro(), args, kwargs, env);
            throw JinjaError::runtime("Cannot call non-function value");
        }
        case E::Case::member: {
            auto m = expression.as<E::Member>();
            Value object = evaluateExpression(m->object, env);
            if (m->computed) return evaluateComputedMember(object, evaluateExpression(m->property, env));
            auto name = m->property.as<E::Identifier>();
            if (!name) throw JinjaError::runtime("Property access requires identifier");
            return PropertyMembers::evaluate(object, name->name);
        }
        case E::Case::slice: {
            auto s = expression.as<E::Slice>();
            Value value = evaluateExpression(s->value, env);
            return evaluateSlice(value, s->start, s->stop, s->step, env);
        }
        case E::Case::filter: {
            auto f = expression.as<E::Filter>();
            std::vector<Value> args{evaluateExpression(f->operand, env)};
            std::vector<Value> rest = evaluateArguments(f->args, env, false);
            args.insert(args.end(), rest.begin(), rest.end());
            KeywordArguments kwargs = evaluateKeywords(f->kwargs, env);
            return applyFilter(f->name, args, kwargs, env);
        }
        case E::Case::test: {
            auto t = expression.as<E::Test>();
            std::vector<Value> args{evaluateExpression(t->operand, env)};
            for (const auto& arg : t->args) args.push_back(evaluateExpression(arg, env));
            bool outcome = evaluateTest(t->name, args, env);
            return Value(t->negated ? !outcome : outcome);
        }
    }
    return Value::undefined();
}

bool evaluateTest(const std::string& name, const std::vector<Value>& args, const EnvironmentPtr& env) {
    Value bound = env->lookup(name);
    if (bound.isFunction()) {
        Value result = bound.asFunction()(args, KeywordArguments(), env);
        return result.isBoolean() ? result.asBool() : result.isTruthy();
    }
    const auto& table = Tests::builtIn();
    if (auto it = table.find(name); it != table.end()) return it->second(args, KeywordArguments(), env);
    throw JinjaError::runtime("Unknown test: " + name);
}

Value evaluateUnaryValue(Expression::UnaryOp op, const Value& value) {
    switch (op) {
        case Expression::UnaryOp::not_: return Value(!value.isTruthy());
        case Expression::UnaryOp::minus:
            if (value.isInt()) return Value(checkedNegate(value.asInt()));
            if (value.isDouble()) return Value(-value.asDouble());
            throw JinjaError::runtime("Cannot negate non-numeric value");
        case Expression::UnaryOp::plus:
            if (value.isNumber()) return value;
            throw JinjaError::runtime("Cannot apply unary plus to non-numeric value");
        case Expression::UnaryOp::splat: throw JinjaError::runtime("Unpacking operator can only be used in function calls");
    }
    return Value::undefined();
}

Value evaluateBinaryValues(Expression::BinaryOp op, const Value& left, const Value& right) {
    using Op = Expression::BinaryOp;
    switch (op) {
        case Op::add: return left.add(right);
        case Op::subtract: return left.subtract(right);
        case Op::multiply: return left.multiply(right);
        case Op::divide: return left.divide(right);
        case Op::floorDivide: return left.floorDivide(right);
        case Op::power: return left.power(right);
        case Op::modulo: return left.modulo(right);
        case Op::concat: return left.concatenate(right);
        case Op::equal: return Value(left.isEquivalent(right));
        case Op::notEqual: return Value(!left.isEquivalent(right));
        case Op::less: return Value(left.compare(right) < 0);
        case Op::lessEqual: return Value(left.compare(right) <= 0);
        case Op::greater: return Value(left.compare(right) > 0);
        case Op::greaterEqual: return Value(left.compare(right) >= 0);
        case Op::in: return Value(left.isContained(right));
        case Op::notIn: return Value(!left.isContained(right));
        case Op::and_: return left.isTruthy() ? right : left;
        case Op::or_: return left.isTruthy() ? left : right;
    }
    return Value::undefined();
}

Value evaluateComputedMember(const Value& container, const Value& key) {
    if (container.isString() && key.isInt()) {
        const std::string& text = container.asString();
        std::vector<size_t> bounds = foundation::text::characterBoundaries(text);
        Wide n = bounds.empty() ? 0 : static_cast<Wide>(bounds.size() - 1);
        Wide i = key.asInt();
        if (i < 0) i += n;
        if (i < 0 || i >= n) return Value::undefined();
        auto at = static_cast<size_t>(i);
        return Value(text.substr(bounds[at], bounds[at + 1] - bounds[at]));
    }
    if (container.isArray() && key.isInt()) {
        const auto& items = container.asArray();
        Wide i = key.asInt();
        if (i < 0) i += static_cast<Wide>(items.size());
        if (i < 0 || i >= static_cast<Wide>(items.size())) return Value::undefined();
        return items[static_cast<size_t>(i)];
    }
    if (container.isObject() && key.isString()) {
        const Value* entry = findEntry(container.asObject(), key.asString());
        return entry ? *entry : Value::undefined();
    }
    return Value::undefined();
}

}  // namespace jinja::Interpreter

#include "Jinja/Interpreter.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "Jinja/BuiltinCalls.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/ExpressionFacts.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/Program.hpp"
#include "Jinja/PropertyMembers.hpp"
#include "Jinja/Tests.hpp"
#include "Jinja/TextFastPaths.hpp"
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

// The lowest frame address rendering may reach on this thread now: the end of the usable stack, raised
// to the budget below the outermost render's entry while one runs. 0 until this thread looked it up.
thread_local uintptr_t stackFloor = 0;
thread_local uintptr_t stackLimit = 0;
thread_local uintptr_t stackBudget = 0;
thread_local bool stackKnown = false;
thread_local uintptr_t renderEntry = 0;

[[gnu::noinline]] void learnStack() {
    StackFacts facts = stackFacts();
    stackLimit = facts.limit;
    stackBudget = facts.budget;
    stackFloor = facts.limit;
    stackKnown = true;
}

// Every public entry point calls this before it recurses.
inline void prepareStack() {
    if (!stackKnown) [[unlikely]]
        learnStack();
}

inline void ensureStackRoomHere() {
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (here < stackFloor) [[unlikely]]
        throw JinjaError::runtime("Maximum call depth exceeded");
}

// Marks the outermost rendering call on this thread.
class RenderEntry {
public:
    explicit RenderEntry(uintptr_t frame) : owner_(renderEntry == 0) {
        prepareStack();
        if (!owner_) return;
        renderEntry = frame;
        uintptr_t budgetFloor = frame > stackBudget ? frame - stackBudget : 0;
        stackFloor = std::max(stackLimit, budgetFloor);
    }
    ~RenderEntry() {
        if (!owner_) return;
        renderEntry = 0;
        stackFloor = stackLimit;
    }
    RenderEntry(const RenderEntry&) = delete;
    RenderEntry& operator=(const RenderEntry&) = delete;

private:
    bool owner_;
};

// Constant-initialised, so that they are there before any code runs.
constinit const Value undefinedConstant;

inline const Value& undefinedValue() { return undefinedConstant; }

// What evaluating an expression gives: a value of its own, or a view of a value that lives elsewhere
// (a literal of the template, a scope's variable, an element or entry inside a container), so that
// reading a constant, a variable or a member copies nothing.
//
// A view of a scope's value stays valid while no template code runs; before evaluating anything that
// may run template code (a call, a filter or a test, which may be a function bound in the scope) while
// a view is still needed, `keep()` turns the view into a value of its own. A view into a container
// this operand owns needs nothing: the operand keeps the container alive.
class Operand {
public:
    Operand() : view_(&undefinedValue()) {}
    Operand(Value value) : own_(std::move(value)) {}
    static Operand viewOf(const Value& value) { return Operand(&value, true); }
    // A value that outlives the render (a literal of the template, a shared constant).
    static Operand constant(const Value& value) { return Operand(&value, false); }
    Operand(Operand&&) = default;
    Operand& operator=(Operand&&) = default;
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;

    // The value; a part of a string (narrowText) becomes a string value of its own first.
    const Value& get() const {
        if (part_) [[unlikely]]
            makePartValue();
        return view_ ? *view_ : own_;
    }
    const Value* operator->() const { return &get(); }

    // The text of a string value (or of the part of one), read in place.
    std::optional<std::string_view> text() const {
        if (part_) return std::string_view(part_, partSize_);
        const Value& value = view_ ? *view_ : own_;
        if (value.isString()) return std::string_view(value.asString());
        return std::nullopt;
    }

    // Narrows to a value inside the current one's array or object.
    void narrow(const Value& inner) { view_ = &inner; }
    // Narrows a string value to a part of it, read in place where it stays put (a string this operand
    // only views); a string held here itself is cut into a new one.
    void narrowText(std::string_view part) {
        if (!view_) {
            own_ = Value(std::string(part));
            return;
        }
        part_ = part.data();
        partSize_ = part.size();
    }
    void keep() {
        if (!borrowed_) return;
        if (part_) {
            makePartValue();
            return;
        }
        own_ = *view_;
        view_ = nullptr;
        borrowed_ = false;
    }
    Value take() && {
        if (part_) return Value(std::string(part_, partSize_));
        if (view_) return *view_;
        return std::move(own_);
    }

private:
    Operand(const Value* view, bool borrowed) : view_(view), borrowed_(borrowed) {}
    [[gnu::noinline]] void makePartValue() const {
        own_ = Value(std::string(part_, partSize_));
        view_ = nullptr;
        borrowed_ = false;
        part_ = nullptr;
    }

    mutable Value own_;                    // the value, or the container a view points into
    mutable const Value* view_ = nullptr;  // null: the value is own_
    mutable const char* part_ = nullptr;   // when set, the value is this part of the string *view_
    size_t partSize_ = 0;
    mutable bool borrowed_ = false;        // view_ points outside own_, into something template code may change
};

constinit const Value trueValue(true);
constinit const Value falseValue(false);

const Value& booleanValue(bool b) { return b ? trueValue : falseValue; }

bool runsNoCode(const Expression& expression) { return expression.facts().runsNoCode; }

bool allRunNoCode(const std::vector<Expression>& expressions) {
    for (const auto& expression : expressions)
        if (!runsNoCode(expression)) return false;
    return true;
}

bool allRunNoCode(const Expression::Keywords& keywords) {
    for (const auto& [name, expression] : keywords)
        if (!runsNoCode(expression)) return false;
    return true;
}

Operand evaluate(const Expression& expression, const EnvironmentPtr& env);
// Whether the expression's value is truthy, without making the value where that can be avoided.
bool holds(const Expression& expression, const EnvironmentPtr& env);

// A few argument values without a heap allocation for the usual counts.
class ArgumentValues {
public:
    void push(Value value) {
        if (count_ < inline_.size()) {
            inline_[count_++] = std::move(value);
            return;
        }
        if (spill_.empty()) spill_.assign(std::make_move_iterator(inline_.begin()), std::make_move_iterator(inline_.end()));
        spill_.push_back(std::move(value));
        ++count_;
    }
    std::span<const Value> span() const {
        if (spill_.empty()) return std::span<const Value>(inline_.data(), count_);
        return std::span<const Value>(spill_);
    }

private:
    std::array<Value, 4> inline_;
    std::vector<Value> spill_;
    size_t count_ = 0;
};


std::vector<Value> evaluateArguments(const std::vector<Expression>& args, const EnvironmentPtr& env, bool expandSplat) {
    std::vector<Value> values;
    values.reserve(args.size());
    for (const auto& arg : args) {
        auto unary = arg.as<Expression::Unary>();
        if (expandSplat && unary && unary->op == Expression::UnaryOp::splat) {
            Operand spread = evaluate(unary->operand, env);
            if (!spread->isArray()) throw JinjaError::runtime("Cannot unpack non-array value");
            const auto& items = spread->asArray();
            limits::ensureArraySize(values.size() + items.size());
            values.insert(values.end(), items.begin(), items.end());
        } else {
            values.push_back(evaluate(arg, env).take());
        }
    }
    return values;
}

KeywordArguments evaluateKeywords(const Expression::Keywords& kwargs, const EnvironmentPtr& env) {
    KeywordArguments values;
    for (const auto& [name, expression] : kwargs) values.set(name, evaluate(expression, env).take());
    return values;
}

// A function bound in the scope chain under `name`, which then stands in for the built-in filter or
// test of that name.
const Value* scopeFunction(const std::string& name, uint32_t hash, const EnvironmentPtr& env) {
    return env->function(name, hash);
}

// A filter by name: a function bound in the scope chain first, then the built-in filter (`filter`,
// found beforehand, or null when there is none of that name).
Operand applyFilter(const std::string& name, uint32_t hash, const Filters::FilterEntry* filter, Operand& input,
                    std::span<const Value> arguments, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    if (const Value* bound = scopeFunction(name, hash, env)) {
        Value function = *bound;  // the call may rebind the name
        std::vector<Value> args;
        args.reserve(arguments.size() + 1);
        args.push_back(std::move(input).take());
        args.insert(args.end(), arguments.begin(), arguments.end());
        env->lendToFunction(function);
        return Operand(function.asFunction()(args, kwargs, env));
    }
    if (!filter) throw JinjaError::runtime("Unknown filter: " + name);
    if (filter->runsTemplateCode) input.keep();
    Filters::FilterCall call{&input.get(), arguments, kwargs, env};
    if (filter->part) {
        if (auto part = filter->part(call)) {
            input.narrowText(*part);
            return std::move(input);
        }
    }
    return Operand(filter->body(call));
}

[[gnu::noinline]] Operand evaluateFilter(const Expression& expression, const EnvironmentPtr& env) {
    const auto& f = *expression.as<Expression::Filter>();
    const auto& facts = expression.facts();
    Operand input = evaluate(f.operand, env);
    if (f.args.empty() && f.kwargs.empty())
        return applyFilter(f.name, facts.nameHash, facts.filter, input, {}, Filters::noKeywords(), env);
    if (!allRunNoCode(f.args) || !allRunNoCode(f.kwargs)) input.keep();
    ArgumentValues arguments;
    for (const auto& arg : f.args) arguments.push(evaluate(arg, env).take());
    if (f.kwargs.empty())
        return applyFilter(f.name, facts.nameHash, facts.filter, input, arguments.span(), Filters::noKeywords(), env);
    KeywordArguments kwargs = evaluateKeywords(f.kwargs, env);
    return applyFilter(f.name, facts.nameHash, facts.filter, input, arguments.span(), kwargs, env);
}

bool runTestExpression(const Expression& expression, Operand& input, std::span<const Value> arguments,
                       const EnvironmentPtr& env) {
    const auto& t = *expression.as<Expression::Test>();
    const auto& facts = expression.facts();
    if (scopeFunction(t.name, facts.nameHash, env)) {
        std::vector<Value> args;
        args.push_back(std::move(input).take());
        args.insert(args.end(), arguments.begin(), arguments.end());
        return evaluateTest(t.name, args, env);
    }
    if (!facts.test) throw JinjaError::runtime("Unknown test: " + t.name);
    return facts.test(Tests::TestCall{&input.get(), arguments, Filters::noKeywords(), env});
}

bool evaluateTestExpression(const Expression& expression, const EnvironmentPtr& env) {
    const auto& t = *expression.as<Expression::Test>();
    Operand input = evaluate(t.operand, env);
    if (t.args.empty()) return runTestExpression(expression, input, {}, env);
    if (!allRunNoCode(t.args)) input.keep();
    ArgumentValues arguments;
    for (const auto& arg : t.args) arguments.push(evaluate(arg, env).take());
    return runTestExpression(expression, input, arguments.span(), env);
}

Value evaluateSlice(const Value& value, const std::optional<Expression>& startExpr,
                    const std::optional<Expression>& stopExpr, const std::optional<Expression>& stepExpr,
                    const EnvironmentPtr& env) {
    std::optional<Value> start, stop, step;
    if (startExpr) start = evaluate(*startExpr, env).take();
    if (stopExpr) stop = evaluate(*stopExpr, env).take();
    if (stepExpr) step = evaluate(*stepExpr, env).take();

    Wide stride = 1;
    if (step && step->isInt()) {
        if (step->asInt() == 0) throw JinjaError::runtime("Slice step cannot be zero");
        stride = step->asInt();
    }
    if (!value.isString() && !value.isArray()) throw JinjaError::runtime("Slice requires array or string");

    std::vector<Value> characters;
    std::span<const Value> items;
    if (value.isString()) {
        characters = characterValues(value.asString());
        items = characters;
    } else {
        items = value.arrayItems();
    }
    const Wide n = static_cast<Wide>(items.size());
    const bool forwards = stride > 0;

    Wide first = forwards ? 0 : n - 1;
    Wide last = forwards ? n : -1;
    if (start && start->isInt()) first = start->asInt() < 0 ? start->asInt() + n : start->asInt();
    if (stop && stop->isInt()) last = stop->asInt() < 0 ? stop->asInt() + n : stop->asInt();

    // Walk first, first+stride, ... while before `last`, taking the indices inside the value; indices
    // outside it are jumped over arithmetically.
    if (value.isArray() && stride == 1) {
        // A run of neighbouring items: shared with the source rather than copied.
        Wide begin = std::max(first, Wide(0));
        Wide end = std::min(last, n);
        if (end <= begin) return Value(ValueArray{});
        return value.arraySlice(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
    }
    std::vector<Value> taken;
    Wide i = first;
    if (forwards && first >= 0 && stride == 1 && std::min(last, n) > first) taken.reserve(static_cast<size_t>(std::min(last, n) - first));
    if (forwards) {
        Wide end = std::min(last, n);
        if (i < 0 && i < end) i += ((-i + stride - 1) / stride) * stride;
        for (; i < end; i += stride) taken.push_back(items[static_cast<size_t>(i)]);
    } else {
        Wide end = std::max(last, Wide(-1));
        if (i > n - 1 && i > end) i -= ((i - (n - 1) + (-stride) - 1) / (-stride)) * (-stride);
        for (; i > end && i >= 0; i += stride) taken.push_back(items[static_cast<size_t>(i)]);
    }

    if (value.isString()) {
        std::string text;
        for (const auto& c : taken) text += c.asString();
        return Value(std::move(text));
    }
    return Value(std::move(taken));
}

// `object.name` on an evaluated object.
Operand memberOf(Operand object, std::string_view name) {
    const Value& receiver = object.get();
    if (receiver.isObject()) {
        if (name == "items" || name == "get" || name == "keys" || name == "values")
            return Operand(PropertyMembers::evaluate(receiver, name));
        const Value* entry = entryNamed(receiver.asObject(), name);
        if (!entry) return Operand();
        object.narrow(*entry);
        return object;
    }
    if (receiver.isString()) return Operand(PropertyMembers::evaluateStringProperty(receiver.asString(), name));
    return Operand();
}

// `container[key]` on an evaluated container: elements and entries are viewed in place.
Operand computedMemberOf(Operand container, const Value& key) {
    const Value& c = container.get();
    if (c.isArray() && key.isInt()) {
        const auto& items = c.asArray();
        Wide i = key.asInt();
        if (i < 0) i += static_cast<Wide>(items.size());
        if (i < 0 || i >= static_cast<Wide>(items.size())) return Operand();
        container.narrow(items[static_cast<size_t>(i)]);
        return container;
    }
    if (c.isObject() && key.isString()) {
        const std::string& name = key.asString();
        const Value* entry = entryNamed(c.asObject(), name);
        if (!entry && !fastText::isASCII(name)) entry = findEntry(c.asObject(), name);
        if (!entry) return Operand();
        container.narrow(*entry);
        return container;
    }
    return Operand(evaluateComputedMember(c, key));
}

// `name.key` or `name['key']` (a literal key) on whatever the name is bound to.
[[gnu::noinline]] Operand evaluateMemberOf(const Expression& expression, Environment::Binding binding) {
    const auto& m = *expression.as<Expression::Member>();
    if (m.computed) {
        const Value& key = m.property.facts().constant;
        if (binding.loop) return Operand(evaluateComputedMember(binding.loop->object(), key));
        return Operand(evaluateComputedMember(binding.value ? *binding.value : undefinedValue(), key));
    }
    if (binding.loop) {
        int position = expression.facts().loopMember;
        return Operand(position >= 0 ? binding.loop->member(position) : binding.loop->member(expression.facts().key));
    }
    if (!binding.value) return Operand();
    return memberOf(Operand::viewOf(*binding.value), expression.facts().key);
}

[[gnu::noinline]] Operand evaluateMember(const Expression& expression, const EnvironmentPtr& env) {
    const auto& m = *expression.as<Expression::Member>();
    if (m.computed) {
        // `name['key']`: the entry read in place, with nothing evaluated in between.
        auto owner = m.object.as<Expression::Identifier>();
        if (owner && m.property.kind() == Expression::Case::string) {
            Environment::Binding binding = env->resolve(owner->name, m.object.facts().nameHash);
            const Value& key = m.property.facts().constant;
            if (binding.value && binding.value->isObject()) {
                const std::string& name = key.asString();
                const Value* entry = entryNamed(binding.value->asObject(), name);
                if (!entry && !fastText::isASCII(name)) entry = findEntry(binding.value->asObject(), name);
                return entry ? Operand::viewOf(*entry) : Operand();
            }
            if (binding.loop) return Operand(evaluateComputedMember(binding.loop->object(), key));
            return Operand(evaluateComputedMember(binding.value ? *binding.value : undefinedValue(), key));
        }
        Operand object = evaluate(m.object, env);
        if (!runsNoCode(m.property)) object.keep();
        Operand key = evaluate(m.property, env);
        return computedMemberOf(std::move(object), key.get());
    }
    // `loop.name` reads the member straight from the loop position.
    if (auto owner = m.object.as<Expression::Identifier>()) {
        Environment::Binding binding = env->resolve(owner->name, m.object.facts().nameHash);
        auto name = m.property.as<Expression::Identifier>();
        if (!name) throw JinjaError::runtime("Property access requires identifier");
        if (binding.loop) {
            int position = expression.facts().loopMember;
            return Operand(position >= 0 ? binding.loop->member(position) : binding.loop->member(name->name));
        }
        if (!binding.value) return Operand();
        return memberOf(Operand::viewOf(*binding.value), name->name);
    }
    Operand object = evaluate(m.object, env);
    auto name = m.property.as<Expression::Identifier>();
    if (!name) throw JinjaError::runtime("Property access requires identifier");
    return memberOf(std::move(object), name->name);
}

const Value* quickArithmetic(const Expression& expression, const EnvironmentPtr& env, Value& scratch);
const Value* quickChoice(const Expression& expression, const EnvironmentPtr& env, Value& scratch);

[[gnu::noinline]] const Value* quickName(const Expression::Facts& facts, const Environment& env) {
    Environment::Binding binding = env.resolve(*facts.name, facts.nameHash);
    if (binding.value) return binding.value;
    return binding.loop ? nullptr : &undefinedValue();
}

[[gnu::noinline]] const Value* quickMember(const Expression::Facts& facts, const Environment& env, Value& scratch) {
    Environment::Binding binding = env.resolve(*facts.name, facts.nameHash);
    if (binding.value) {
        if (!binding.value->isObject() || facts.keyIsMethod) return nullptr;
        const ValueObject& object = binding.value->asObject();
        const Value* entry = entryNamed(object, facts.key);
        if (!entry && facts.computedKey && !facts.keyIsASCII) entry = findEntry(object, facts.key);
        return entry ? entry : &undefinedValue();
    }
    if (binding.loop && facts.loopMember >= 0) {
        scratch = binding.loop->member(facts.loopMember);
        return &scratch;
    }
    return nullptr;
}

// The value of an expression of one of the shapes that run no template code (a literal, a variable, an
// entry of a variable by a literal key, a member of the loop object, and operators and choices over
// these), read in place where it lives or made in `scratch`; null for every other expression, which
// the caller then evaluates in full (reading a name twice costs nothing but time). A view into a scope
// stays valid until template code runs.
inline const Value* quickView(const Expression& expression, const EnvironmentPtr& env, Value& scratch) {
    using Shape = Expression::Facts::Shape;
    const auto& facts = expression.facts();
    switch (facts.shape) {
        case Shape::literal: return &facts.constant;
        case Shape::name: return quickName(facts, *env);
        case Shape::nameMember: return quickMember(facts, *env, scratch);
        case Shape::arithmetic: return quickArithmetic(expression, env, scratch);
        case Shape::choice: return quickChoice(expression, env, scratch);
        case Shape::textPart:
        case Shape::other: break;
    }
    return nullptr;
}

[[gnu::noinline]] const Value* quickArithmetic(const Expression& expression, const EnvironmentPtr& env, Value& scratch) {
    const auto& b = *expression.as<Expression::Binary>();
    Value leftScratch, rightScratch;
    const Value* left = quickView(b.left, env, leftScratch);
    if (!left) return nullptr;
    const Value* right = quickView(b.right, env, rightScratch);
    if (!right) return nullptr;
    scratch = evaluateBinaryValues(b.op, *left, *right);
    return &scratch;
}

[[gnu::noinline]] const Value* quickChoice(const Expression& expression, const EnvironmentPtr& env, Value& scratch) {
    const auto& t = *expression.as<Expression::Ternary>();
    if (holds(t.test, env)) return quickView(t.value, env, scratch);
    if (t.alternate) return quickView(*t.alternate, env, scratch);
    static const Value null = Value::null();
    return &null;
}

// `operand | trim` and the like: the part of the operand's text the built-in filter gives, when the
// operand reads in place, is a string, and no function of the filter's name is bound in the scope.
std::optional<std::string_view> quickPart(const Expression& expression, const EnvironmentPtr& env, Value& scratch) {
    const auto& f = *expression.as<Expression::Filter>();
    const auto& facts = expression.facts();
    const Value* input = quickView(f.operand, env, scratch);
    if (!input || !input->isString() || scopeFunction(f.name, facts.nameHash, env)) return std::nullopt;
    return facts.filter->part(Filters::FilterCall{input, {}, Filters::noKeywords(), env});
}

// The text of a quick expression whose value is a string (or of a text part); nothing otherwise.
std::optional<std::string_view> quickText(const Expression& expression, const EnvironmentPtr& env, Value& scratch) {
    if (expression.facts().shape == Expression::Facts::Shape::textPart) return quickPart(expression, env, scratch);
    const Value* value = quickView(expression, env, scratch);
    if (value && value->isString()) return std::string_view(value->asString());
    return std::nullopt;
}

bool isConcatenation(const Expression& expression) {
    auto b = expression.as<Expression::Binary>();
    return b && (b->op == Expression::BinaryOp::add || b->op == Expression::BinaryOp::concat);
}

// A chain of + and ~ such as a + b ~ c + d (left operands nest). Once one side of a step is a string,
// both + and ~ join the printed forms, so from there on every operand is appended to one string in place
// instead of building a new string per step. The operands are evaluated in the same order, and each
// step fails as the operator would.
//
// `out` receives the text of a string result, from its current end; otherwise the result is returned.
std::optional<Value> evaluateConcatenation(const Expression& top, const EnvironmentPtr& env, std::string& out) {
    // The steps from the outermost in; chains are short, so they usually fit on the stack.
    std::array<const Expression::Binary*, 16> few;
    std::vector<const Expression::Binary*> many;
    size_t count = 0;
    const Expression* leftmost = &top;
    while (isConcatenation(*leftmost)) {
        auto b = leftmost->as<Expression::Binary>();
        if (count < few.size()) {
            few[count] = b;
        } else {
            if (many.empty()) many.assign(few.begin(), few.end());
            many.push_back(b);
        }
        ++count;
        leftmost = &b->left;
    }
    const Expression::Binary* const* steps = many.empty() ? few.data() : many.data();

    const size_t start = out.size();
    bool joining = false;  // the running result is the text in `out` from `start`
    Operand running;
    Value scratch;
    if (auto text = quickText(*leftmost, env, scratch)) {
        if (text->size() > limits::maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
        out += *text;
        joining = true;
    } else {
        running = evaluate(*leftmost, env);
    }
    auto append = [&](const Operand& operand) {
        if (auto text = operand.text()) {
            if (out.size() - start + text->size() > limits::maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
            out += *text;
        } else {
            std::string printed = operand->description();
            if (out.size() - start + printed.size() > limits::maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
            out += printed;
        }
    };
    for (size_t i = count; i-- > 0;) {
        const Expression& rightExpression = steps[i]->right;
        if (joining) {
            if (auto text = quickText(rightExpression, env, scratch)) {
                if (out.size() - start + text->size() > limits::maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
                out += *text;
                continue;
            }
        }
        if (!joining && !runsNoCode(rightExpression)) running.keep();
        Operand right = evaluate(rightExpression, env);
        if (joining) {
            append(right);
        } else if (running.text() || right.text()) {
            append(running);
            append(right);
            joining = true;
        } else {
            running = Operand(evaluateBinaryValues(steps[i]->op, running.get(), right.get()));
        }
    }
    if (joining) return std::nullopt;
    return std::move(running).take();
}

void renderNode(const Node& node, const EnvironmentPtr& env, std::string& output);

void renderInto(const std::vector<Node>& nodes, const EnvironmentPtr& env, std::string& output) {
    for (const auto& node : nodes) renderNode(node, env, output);
}

[[gnu::noinline]] void executeFor(const Statement::For& loop, const EnvironmentPtr& env, std::string& output) {
    Value iterable = evaluate(loop.iterable, env).take();
    const bool stringItems = iterable.isString();
    size_t count = 0;
    switch (iterable.kind()) {
        case Value::Kind::array: count = iterable.arrayItems().size(); break;
        case Value::Kind::object: count = iterable.asObject().size(); break;
        case Value::Kind::string:
            // One string per Character, made before the first item so that the count is known.
            iterable = Value(characterValues(iterable.asString()));
            count = iterable.asArray().size();
            break;
        default: throw JinjaError::runtime("Cannot iterate over non-iterable value");
    }
    if (count == 0) {
        renderInto(loop.defaultBlock, env, output);
        return;
    }

    EnvironmentPtr scope = Environment::make(env);
    // The items stay alive, and unchanged, with the loop scope; the loop variable views them in place.
    const Value& items = scope->keepItems(std::move(iterable));
    const std::span<const Value> arrayItems = items.isArray() ? items.arrayItems() : std::span<const Value>();
    const ValueObject* objectItems = items.isObject() ? &items.asObject() : nullptr;
    const auto& names = loop.loopVar.names;
    std::vector<uint32_t> hashes;
    hashes.reserve(names.size());
    for (const auto& name : names) hashes.push_back(ScopeVariables::hashName(name));
    auto bind = [&](size_t k, const Value& value) { scope->set(names[k], hashes[k], value); };
    const bool tuple = loop.loopVar.kind == Statement::LoopVar::Case::tuple;
    for (size_t i = 0; i < count; ++i) {
        if (objectItems) {
            const auto& [key, entry] = objectItems->at(i);
            if (!tuple) {
                bind(0, Value(key));
            } else {
                for (size_t k = 0; k < names.size(); ++k) bind(k, k == 0 ? Value(key) : k == 1 ? entry : Value::undefined());
            }
        } else {
            const Value& item = arrayItems[i];
            if (!tuple) {
                if (i == 0)
                    scope->bindItem(names[0], hashes[0], &item);
                else
                    scope->rebindItem(&item);
            } else if (stringItems) {
                for (size_t k = 0; k < names.size(); ++k) bind(k, k == 0 ? item : Value::undefined());
            } else if (item.isArray()) {
                const auto& parts = item.asArray();
                for (size_t k = 0; k < names.size(); ++k) bind(k, k < parts.size() ? parts[k] : Value::undefined());
            }
            // An item that is not an array binds nothing: the names keep what an earlier item bound.
        }
        scope->bindLoop(static_cast<int64_t>(i), static_cast<int64_t>(count));
        if (loop.test && !holds(*loop.test, scope)) continue;
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
    ArgumentValues arguments;
    if (auto identifier = block.filterExpr.as<Expression::Identifier>()) {
        name = identifier->name;
    } else if (auto filter = block.filterExpr.as<Expression::Filter>()) {
        name = filter->name;
        for (const auto& arg : filter->args) arguments.push(evaluate(arg, env).take());
    } else {
        throw JinjaError::runtime("Invalid filter expression in filter statement");
    }
    Operand input(Value(std::move(body)));
    Operand result = applyFilter(name, ScopeVariables::hashName(name), Filters::find(name), input, arguments.span(),
                                 Filters::noKeywords(), env);
    appendChecked(output, result->isString() ? result->asString() : result->description());
}

// Assignment with a value the caller hands over.
void assignValue(const Expression& target, Value value, const EnvironmentPtr& env) {
    if (auto identifier = target.as<Expression::Identifier>()) {
        env->set(identifier->name, target.facts().nameHash, std::move(value));
        return;
    }
    assign(target, value, env);
}

// The compound cases, each out of line so that evaluating a literal or a name stays cheap.

[[gnu::noinline]] Operand evaluateCollection(const Expression& expression, const EnvironmentPtr& env) {
    using E = Expression;
    if (auto object = expression.as<E::Object>()) {
        ValueObject entries;
        for (const auto& [key, element] : object->entries) entries.set(key, evaluate(element, env).take());
        return Operand(Value(std::move(entries)));
    }
    const auto& elements =
        expression.kind() == E::Case::array ? expression.as<E::Array>()->elements : expression.as<E::Tuple>()->elements;
    ValueArray items;
    items.reserve(elements.size());
    for (const auto& element : elements) items.push_back(evaluate(element, env).take());
    return Operand(Value(std::move(items)));
}

[[gnu::noinline]] Operand evaluateUnary(const Expression::Unary& u, const EnvironmentPtr& env) {
    if (u.op == Expression::UnaryOp::not_) return Operand::constant(booleanValue(!holds(u.operand, env)));
    Operand operand = evaluate(u.operand, env);
    return Operand(evaluateUnaryValue(u.op, operand.get()));
}

// `left == right`. Two strings compare in place: the same bytes are equal, different ASCII texts are
// not, and anything else goes to canonical equivalence. Two comparisons compare as booleans, and a
// literal on the right is known to be ASCII or an int before rendering.
bool equalsLiteral(const Expression::Binary& b, const EnvironmentPtr& env);

bool equalOperands(const Expression::Binary& b, const EnvironmentPtr& env) {
    const auto& rightFacts = b.right.facts();
    if (rightFacts.yieldsBoolean && b.left.facts().yieldsBoolean) {
        bool left = holds(b.left, env);
        return left == holds(b.right, env);
    }
    if (rightFacts.literal) return equalsLiteral(b, env);
    Operand left = evaluate(b.left, env);
    if (!rightFacts.runsNoCode) left.keep();
    Operand right = evaluate(b.right, env);
    auto l = left.text();
    auto r = l ? right.text() : std::nullopt;
    if (l && r && fastText::sameBytes(*l, *r)) return true;
    if (l && r && fastText::isASCII(*l) && fastText::isASCII(*r)) return false;
    return left->isEquivalent(right.get());
}

// `left == literal`.
bool equalsLiteral(const Expression::Binary& b, const EnvironmentPtr& env) {
    const auto& rightFacts = b.right.facts();
    {
        const Value& literal = rightFacts.constant;
        Value scratch;
        if (const Value* left = quickView(b.left, env, scratch)) {
            if (literal.isString() && left->isString()) {
                const std::string& text = left->asString();
                if (fastText::sameBytes(text, literal.asString())) return true;
                if (rightFacts.asciiText && fastText::isASCII(text)) return false;
            } else if (literal.isInt() && left->isInt()) {
                return left->asInt() == literal.asInt();
            }
            return left->isEquivalent(literal);
        }
        Operand left = evaluate(b.left, env);
        if (literal.isString()) {
            if (auto text = left.text()) {
                if (fastText::sameBytes(*text, literal.asString())) return true;
                if (rightFacts.asciiText && fastText::isASCII(*text)) return false;
            }
        } else if (literal.isInt() && left->isInt()) {
            return left->asInt() == literal.asInt();
        }
        return left->isEquivalent(literal);
    }
}

[[gnu::noinline]] bool compoundHolds(const Expression& expression, const EnvironmentPtr& env) {
    using E = Expression;
    ensureStackRoomHere();
    switch (expression.kind()) {
        case E::Case::binary: {
            const auto& b = *expression.as<E::Binary>();
            switch (b.op) {
                case E::BinaryOp::and_: return holds(b.left, env) && holds(b.right, env);
                case E::BinaryOp::or_: return holds(b.left, env) || holds(b.right, env);
                case E::BinaryOp::equal: return equalOperands(b, env);
                case E::BinaryOp::notEqual: return !equalOperands(b, env);
                default: break;
            }
            break;
        }
        case E::Case::unary: {
            const auto& u = *expression.as<E::Unary>();
            if (u.op == E::UnaryOp::not_) return !holds(u.operand, env);
            break;
        }
        case E::Case::test: {
            const auto& t = *expression.as<E::Test>();
            const auto& facts = expression.facts();
            if (t.args.empty() && facts.test) {
                Value scratch;
                const Value* input = quickView(t.operand, env, scratch);
                if (input && !scopeFunction(t.name, facts.nameHash, env))
                    return facts.test(Tests::TestCall{input, {}, Filters::noKeywords(), env}) != t.negated;
            }
            return evaluateTestExpression(expression, env) != t.negated;
        }
        default: break;
    }
    return evaluate(expression, env)->isTruthy();
}

bool holds(const Expression& expression, const EnvironmentPtr& env) {
    using Shape = Expression::Facts::Shape;
    using Comparison = Expression::Facts::Comparison;
    const auto& facts = expression.facts();
    if (facts.comparison != Comparison::none) {
        // The usual conditions, without the general dispatch.
        const auto& b = *expression.as<Expression::Binary>();
        const bool negated = b.op == Expression::BinaryOp::notEqual;
        if (facts.comparison == Comparison::withLiteral) return equalsLiteral(b, env) != negated;
        ensureStackRoomHere();
        bool left = holds(b.left, env);
        return (left == holds(b.right, env)) != negated;
    }
    if (facts.shape == Shape::other || facts.shape == Shape::textPart) return compoundHolds(expression, env);
    Value scratch;
    if (const Value* value = quickView(expression, env, scratch)) return value->isTruthy();
    return evaluate(expression, env)->isTruthy();
}

[[gnu::noinline]] Operand evaluateBinary(const Expression& expression, const EnvironmentPtr& env) {
    using E = Expression;
    auto b = expression.as<E::Binary>();
    if (b->op == E::BinaryOp::and_) {
        Operand left = evaluate(b->left, env);
        return left->isTruthy() ? evaluate(b->right, env) : std::move(left);
    }
    if (b->op == E::BinaryOp::or_) {
        Operand left = evaluate(b->left, env);
        return left->isTruthy() ? std::move(left) : evaluate(b->right, env);
    }
    if (b->op == E::BinaryOp::add || b->op == E::BinaryOp::concat) {
        std::string text;
        if (auto value = evaluateConcatenation(expression, env, text)) return Operand(std::move(*value));
        return Operand(Value(std::move(text)));
    }
    if (b->op == E::BinaryOp::equal) return Operand::constant(booleanValue(equalOperands(*b, env)));
    if (b->op == E::BinaryOp::notEqual) return Operand::constant(booleanValue(!equalOperands(*b, env)));
    Value leftScratch, rightScratch;
    if (const Value* left = quickView(b->left, env, leftScratch))
        if (const Value* right = quickView(b->right, env, rightScratch))
            return Operand(evaluateBinaryValues(b->op, *left, *right));
    Operand left = evaluate(b->left, env);
    if (!runsNoCode(b->right)) left.keep();
    Operand right = evaluate(b->right, env);
    return Operand(evaluateBinaryValues(b->op, left.get(), right.get()));
}

[[gnu::noinline]] Operand evaluateTernary(const Expression::Ternary& t, const EnvironmentPtr& env) {
    if (holds(t.test, env)) return evaluate(t.value, env);
    return t.alternate ? evaluate(*t.alternate, env) : Operand(Value::null());
}

[[gnu::noinline]] Operand evaluateCall(const Expression::Call& c, const EnvironmentPtr& env) {
    Operand callee = evaluate(c.callee, env);
    callee.keep();  // the call runs template code
    std::vector<Value> args = evaluateArguments(c.args, env, true);
    KeywordArguments kwargs = evaluateKeywords(c.kwargs, env);
    if (callee->isFunction()) {
        env->lendToFunction(callee.get());
        return Operand(callee->asFunction()(args, kwargs, env));
    }
    if (callee->isMacro()) return Operand(callMacro(callee->asMacro(), args, kwargs, env));
    throw JinjaError::runtime("Cannot call non-function value");
}

[[gnu::noinline]] Operand evaluateSliceExpression(const Expression::Slice& s, const EnvironmentPtr& env) {
    Operand value = evaluate(s.value, env);
    if ((s.start && !runsNoCode(*s.start)) || (s.stop && !runsNoCode(*s.stop)) || (s.step && !runsNoCode(*s.step)))
        value.keep();
    return Operand(evaluateSlice(value.get(), s.start, s.stop, s.step, env));
}

[[gnu::noinline]] Operand evaluateTestOperand(const Expression& expression, const EnvironmentPtr& env) {
    bool outcome = evaluateTestExpression(expression, env);
    return Operand::constant(booleanValue(expression.as<Expression::Test>()->negated ? !outcome : outcome));
}

Operand evaluate(const Expression& expression, const EnvironmentPtr& env) {
    using E = Expression;
    const auto& facts = expression.facts();
    switch (facts.shape) {
        case E::Facts::Shape::literal: return Operand::constant(facts.constant);
        case E::Facts::Shape::name: {
            Environment::Binding binding = env->resolve(*facts.name, facts.nameHash);
            if (binding.value) return Operand::viewOf(*binding.value);
            if (binding.loop) return Operand(binding.loop->object());
            return Operand();
        }
        case E::Facts::Shape::nameMember: {
            // An entry of an object variable, read in place.
            Environment::Binding binding = env->resolve(*facts.name, facts.nameHash);
            if (binding.value && binding.value->isObject() && !facts.keyIsMethod) {
                const ValueObject& object = binding.value->asObject();
                const Value* entry = entryNamed(object, facts.key);
                if (!entry && facts.computedKey && !facts.keyIsASCII) entry = findEntry(object, facts.key);
                return entry ? Operand::viewOf(*entry) : Operand();
            }
            return evaluateMemberOf(expression, binding);
        }
        case E::Facts::Shape::arithmetic:
        case E::Facts::Shape::choice: {
            Value scratch;
            if (const Value* value = quickView(expression, env, scratch))
                return value == &scratch ? Operand(std::move(scratch)) : Operand::viewOf(*value);
            break;
        }
        case E::Facts::Shape::textPart:
        case E::Facts::Shape::other: break;
    }
    ensureStackRoomHere();
    switch (expression.kind()) {
        case E::Case::array:
        case E::Case::tuple:
        case E::Case::object: return evaluateCollection(expression, env);
        case E::Case::unary: return evaluateUnary(*expression.as<E::Unary>(), env);
        case E::Case::binary: return evaluateBinary(expression, env);
        case E::Case::ternary: return evaluateTernary(*expression.as<E::Ternary>(), env);
        case E::Case::call: return evaluateCall(*expression.as<E::Call>(), env);
        case E::Case::member: return evaluateMember(expression, env);
        case E::Case::slice: return evaluateSliceExpression(*expression.as<E::Slice>(), env);
        case E::Case::filter: return evaluateFilter(expression, env);
        case E::Case::test: return evaluateTestOperand(expression, env);
        default: break;
    }
    return Operand();
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

void interpret(const Program& program, const EnvironmentPtr& env, std::string& output) {
    RenderEntry entry(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    program.run(env, output);
}

void ensureStackRoom() {
    prepareStack();
    ensureStackRoomHere();
}

std::vector<Value> characterValues(const std::string& text) {
    std::vector<size_t> bounds = fastText::characterBoundaries(text);
    std::vector<Value> items;
    if (bounds.size() < 2) return items;
    items.reserve(bounds.size() - 1);
    for (size_t i = 0; i + 1 < bounds.size(); ++i) items.emplace_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
    return items;
}

namespace {

void executeStatement(const Statement& statement, const EnvironmentPtr& env, std::string& output);

// Out of line, so that rendering text and a plain output expression stays cheap.
[[gnu::noinline]] void renderConcatenation(const Expression& expression, const EnvironmentPtr& env, std::string& output) {
    // Joined straight into the output; a failure leaves the output as it was.
    const size_t mark = output.size();
    try {
        if (auto value = evaluateConcatenation(expression, env, output))
            appendChecked(output, value->isString() ? value->asString() : value->description());
        else if (output.size() > limits::maxOutputBytes)
            throw JinjaError::runtime(sizeLimitMessage);
    } catch (...) {
        output.resize(mark);
        throw;
    }
}

void renderExpression(const Expression& expression, const EnvironmentPtr& env, std::string& output) {
    if (auto literal = expression.as<Expression::String>()) {
        appendChecked(output, literal->value);
        return;
    }
    if (isConcatenation(expression)) {
        renderConcatenation(expression, env, output);
        return;
    }
    Value scratch;
    if (expression.facts().shape == Expression::Facts::Shape::textPart) {
        if (auto part = quickPart(expression, env, scratch)) {
            appendChecked(output, *part);
            return;
        }
    } else if (const Value* value = quickView(expression, env, scratch)) {
        if (value->isString())
            appendChecked(output, value->asString());
        else
            appendChecked(output, value->description());
        return;
    }
    Operand value = evaluate(expression, env);
    if (auto text = value.text())
        appendChecked(output, *text);
    else
        appendChecked(output, value->description());
}

void renderNode(const Node& node, const EnvironmentPtr& env, std::string& output) {
    ensureStackRoomHere();
    switch (node.kind()) {
        case Node::Case::text: appendChecked(output, node.as<Node::Text>()->value); return;
        case Node::Case::expression: renderExpression(*node.as<Expression>(), env, output); return;
        case Node::Case::statement: {
            // An if statement picks its branch here; a branch that is a lone if statement (an elif) is
            // followed in the same frame.
            const Statement* statement = node.as<Statement>();
            while (auto s = statement->as<Statement::If>()) {
                const std::vector<Node>& branch = holds(s->condition, env) ? s->body : s->alternate;
                const Statement* inner = branch.size() == 1 ? branch[0].as<Statement>() : nullptr;
                if (!inner || inner->kind() != Statement::Case::if_) {
                    renderInto(branch, env, output);
                    return;
                }
                statement = inner;
            }
            executeStatement(*statement, env, output);
            return;
        }
        case Node::Case::comment: return;
    }
}

[[gnu::noinline]] void executeSet(const Statement::Set& s, const EnvironmentPtr& env) {
    if (s.value) {
        Value scratch;
        if (s.value->facts().shape == Expression::Facts::Shape::textPart) {
            if (auto part = quickPart(*s.value, env, scratch)) {
                if (auto identifier = s.target.as<Expression::Identifier>())
                    env->setText(identifier->name, s.target.facts().nameHash, *part);
                else
                    assignValue(s.target, Value(std::string(*part)), env);
                return;
            }
        } else if (const Value* value = quickView(*s.value, env, scratch)) {
            auto identifier = s.target.as<Expression::Identifier>();
            if (value == &scratch)
                assignValue(s.target, std::move(scratch), env);
            else if (identifier)
                env->set(identifier->name, s.target.facts().nameHash, *value);  // assigned over the old value
            else
                assignValue(s.target, Value(*value), env);
            return;
        }
        assignValue(s.target, evaluate(*s.value, env).take(), env);
        return;
    }
    std::string text;
    renderInto(s.body, env, text);
    assignValue(s.target, Value(std::move(text)), env);
}

void executeStatement(const Statement& statement, const EnvironmentPtr& env, std::string& output) {
    switch (statement.kind()) {
        case Statement::Case::program: renderInto(statement.as<Statement::Program>()->nodes, env, output); return;
        case Statement::Case::generation: renderInto(statement.as<Statement::Generation>()->nodes, env, output); return;
        case Statement::Case::if_: {
            auto s = statement.as<Statement::If>();
            renderInto(holds(s->condition, env) ? s->body : s->alternate, env, output);
            return;
        }
        case Statement::Case::set: executeSet(*statement.as<Statement::Set>(), env); return;
        case Statement::Case::for_: executeFor(*statement.as<Statement::For>(), env, output); return;
        case Statement::Case::macro: executeMacroStatement(*statement.as<Statement::Macro>(), env); return;
        case Statement::Case::break_: throw ControlFlow(ControlFlow::Case::break_);
        case Statement::Case::continue_: throw ControlFlow(ControlFlow::Case::continue_);
        case Statement::Case::call: executeCallStatement(*statement.as<Statement::Call>(), env, output); return;
        case Statement::Case::filter: executeFilterBlock(*statement.as<Statement::Filter>(), env, output); return;
    }
}

}  // namespace

void interpretNode(const Node& node, const EnvironmentPtr& env, std::string& output) {
    prepareStack();
    renderNode(node, env, output);
}

void executeStatementWithOutput(const Statement& statement, const EnvironmentPtr& env, std::string& output) {
    prepareStack();
    executeStatement(statement, env, output);
}

void assign(const Expression& target, const Value& value, const EnvironmentPtr& env) {
    prepareStack();
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
    prepareStack();
    return evaluate(expression, env).take();
}

bool evaluateCondition(const Expression& expression, const EnvironmentPtr& env) {
    prepareStack();
    return holds(expression, env);
}

bool evaluateTest(const std::string& name, const std::vector<Value>& args, const EnvironmentPtr& env) {
    if (const Value* bound = scopeFunction(name, ScopeVariables::hashName(name), env)) {
        Value function = *bound;  // the call may rebind the name
        env->lendToFunction(function);
        Value result = function.asFunction()(args, KeywordArguments(), env);
        return result.isBoolean() ? result.asBool() : result.isTruthy();
    }
    Tests::TestBody test = Tests::find(name);
    if (!test) throw JinjaError::runtime("Unknown test: " + name);
    return test(Tests::TestCall::of(args, Filters::noKeywords(), env));
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
        std::vector<size_t> bounds = fastText::characterBoundaries(text);
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

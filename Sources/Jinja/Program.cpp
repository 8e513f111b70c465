#include "Jinja/Program.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

#include "Jinja/BuiltinCalls.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/ExpressionFacts.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/Globals.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/Tests.hpp"
#include "Jinja/TextFastPaths.hpp"

namespace jinja {

// Every operation reads the scope only: none runs template code, except `generic`, which hands its
// expression to the interpreter. A value an operation views in a scope is used before anything else
// is evaluated, so no template code can change it in between.
struct Program::Operation {
    enum class Kind : uint8_t {
        constant,        // constant
        name,            // name, nameHash
        nameKey,         // `name.key` / `name['key']`: name, nameHash, key, loopMember
        member,          // `a.key`, `a['key']` or `a[index]` where a runs no template code: a, key / constant
        textPart,        // `a | trim` and the like, without arguments: a, filter, nameHash
        concatenation,   // a string literal followed by `+` or `~` and more operands: parts
        equalsLiteral,   // `a == literal` (negated: !=): a, constant
        booleansEqual,   // `a == b` of two conditions (negated: !=): a, b
        and_,            // a, b (conditions only)
        or_,             // a, b (conditions only)
        not_,            // a
        test,            // `a is name` without arguments: a, test, nameHash
        arithmetic,      // `a op b` of names, entries and literals: a, b, op
        choice,          // `a if b else c`: a, b, c (c absent: null)
        slice,           // `a[start:stop]` with int literals or nothing for the bounds: a, sliceStart/sliceStop
        generic          // anything else: the interpreter evaluates the expression
    };
    static constexpr uint32_t none = UINT32_MAX;

    Kind kind = Kind::generic;
    bool negated = false;
    bool computedKey = false;
    bool keyIsASCII = false;
    bool asciiText = false;
    bool globalName = false;
    bool entryText = false;   // equalsLiteral: `name.key == 'ASCII text'`
    bool trims = false;       // textPart: the built-in trim
    bool leadingPart = false; // concatenation: the first part is a textPart, joined only when it gives text
    // equalsLiteral with an int literal: `loop.count == n` or `loop.count % divisor == n`, where
    // loopCount is the operation reading the count and divisor is 0 for none.
    uint32_t loopCount = none;
    int64_t divisor = 0;  // textPart and test: a built-in global has the filter's or test's name
    int8_t loopMember = -1;
    // nameKey: the number of the entry `name.key` reads, the same for every read of that name and
    // key (0: not remembered, see Runner::objectEntry).
    uint32_t entry = 0;
    bool hasStart = false, hasStop = false;  // slice
    int64_t sliceStart = 0, sliceStop = 0;
    // test: bit (1 << Value::Kind) of every kind of value the built-in test holds for, when it looks at
    // the kind alone; 0 for the others.
    uint16_t kindsPassing = 0;
    Expression::BinaryOp op = Expression::BinaryOp::add;
    uint32_t nameHash = 0;
    uint32_t a = none, b = none, c = none;
    std::vector<uint32_t> parts;
    const Expression* expression = nullptr;
    std::string_view name;  // of a string in the tree, one per distinct name (see intern)
    std::string_view key;
    Value constant;
    const Filters::FilterEntry* filter = nullptr;
    Tests::TestBody test = nullptr;
};

struct Program::Step {
    enum class Kind : uint8_t {
        text,        // text
        output,      // operation
        jumpUnless,  // operation; continue at target when it does not hold
        jump,        // target
        for_,        // operation (the items), name, nameHash; body [this + 1, target), else [target, end)
        set,         // name, nameHash = operation
        interpret    // node, rendered by the interpreter
    };
    Kind kind = Kind::interpret;
    uint32_t operation = Operation::none;
    uint32_t target = 0;
    uint32_t end = 0;
    uint32_t nameHash = 0;
    bool reusableScope = false;         // for_: no step of the loop is left to the interpreter
    const std::string* text = nullptr;  // text; name for set and for_
    const Node* node = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Lowering

class ProgramBuilder {
public:
    explicit ProgramBuilder(Program& program) : program_(program) {}

    void lower(const std::vector<Node>& nodes) {
        for (const auto& node : nodes) lowerNode(node);
    }

private:
    using Op = Program::Operation;
    using Step = Program::Step;
    using E = Expression;
    // Deeper expressions are left to the interpreter, which bounds its own recursion.
    static constexpr int maxDepth = 32;

    uint32_t add(Op op) {
        program_.operations_.push_back(std::move(op));
        return static_cast<uint32_t>(program_.operations_.size() - 1);
    }
    uint32_t addStep(Step step) {
        program_.steps_.push_back(step);
        return static_cast<uint32_t>(program_.steps_.size() - 1);
    }
    uint32_t here() const { return static_cast<uint32_t>(program_.steps_.size()); }

    // One string per distinct name, so that a loop item bound under a name is recognised by the
    // string's address (see Environment::bindItemNamed).
    const std::string* intern(const std::string* name) {
        return names_.try_emplace(std::string_view(*name), name).first->second;
    }

    // `loop.count == n` / `loop.count % d == n` (d a positive int literal), for the int members of the
    // loop position.
    void markLoopCount(Op& op) const {
        const auto& ops = program_.operations_;
        auto isCount = [&](uint32_t index) {
            const Op& leaf = ops[index];
            return leaf.kind == Op::Kind::nameKey && leaf.loopMember >= 0 && leaf.loopMember != 2 && leaf.loopMember != 3 &&
                   leaf.loopMember <= 6;
        };
        const Op& operand = ops[op.a];
        if (isCount(op.a)) {
            op.loopCount = op.a;
        } else if (operand.kind == Op::Kind::arithmetic && operand.op == E::BinaryOp::modulo && isCount(operand.a) &&
                   ops[operand.b].kind == Op::Kind::constant && ops[operand.b].constant.isInt() &&
                   ops[operand.b].constant.asInt() > 0) {
            op.loopCount = operand.a;
            op.divisor = ops[operand.b].constant.asInt();
        }
    }

    // One spelling per distinct key of `name.key` reads, so that reads of the same entry are
    // numbered alike (see Operation::entry).
    std::string_view internKey(std::string_view key) { return keys_.try_emplace(key, key).first->second; }

    static bool isGlobalName(const std::string& name) { return Globals::builtIn().find(name) != nullptr; }

    // The built-in tests that look only at the kind of the tested value, and the kinds they hold for.
    static uint16_t kindsPassing(std::string_view test) {
        using K = Value::Kind;
        auto bit = [](K kind) { return static_cast<uint16_t>(1u << static_cast<unsigned>(kind)); };
        if (test == "string") return bit(K::string);
        if (test == "mapping") return bit(K::object);
        if (test == "iterable") return bit(K::string) | bit(K::array) | bit(K::object);
        if (test == "none") return bit(K::null);
        if (test == "undefined") return bit(K::undefined);
        if (test == "defined") return static_cast<uint16_t>(~bit(K::undefined) & 0x3FF);
        if (test == "number") return bit(K::int_) | bit(K::double_);
        if (test == "integer") return bit(K::int_);
        if (test == "boolean") return bit(K::boolean);
        return 0;
    }

    uint32_t generic(const Expression& expression) {
        Op op;
        op.kind = Op::Kind::generic;
        op.expression = &expression;
        return add(std::move(op));
    }

    static bool intLiteralOrNothing(const std::optional<Expression>& bound) {
        return !bound || (bound->facts().shape == E::Facts::Shape::literal && bound->facts().constant.isInt());
    }

    // Read in place without running anything: what the interpreter's quick views cover.
    static bool simple(const Expression& expression) {
        using Shape = E::Facts::Shape;
        Shape shape = expression.facts().shape;
        return shape == Shape::literal || shape == Shape::name || shape == Shape::nameMember;
    }

    // An expression in a place where its value is wanted.
    uint32_t value(const Expression& expression, int depth) {
        using Shape = E::Facts::Shape;
        const auto& facts = expression.facts();
        if (depth > maxDepth) return generic(expression);
        Op op;
        op.expression = &expression;
        switch (facts.shape) {
            case Shape::literal:
                op.kind = Op::Kind::constant;
                op.constant = facts.constant;
                return add(std::move(op));
            case Shape::name:
                op.kind = Op::Kind::name;
                op.name = *intern(facts.name);
                op.nameHash = facts.nameHash;
                return add(std::move(op));
            case Shape::nameMember:
                if (facts.keyIsMethod) break;
                op.kind = Op::Kind::nameKey;
                op.name = *intern(facts.name);
                op.nameHash = facts.nameHash;
                op.key = internKey(facts.key);
                op.computedKey = facts.computedKey;
                op.keyIsASCII = facts.keyIsASCII;
                // `x.k` and `x['k']` read the same entry only where the key has no other spelling.
                if (op.keyIsASCII) op.entry = entries_.try_emplace({op.name.data(), op.key.data()}, entries_.size() + 1).first->second;
                op.loopMember = expression.facts().loopMember;
                if (facts.computedKey) op.loopMember = -1;
                return add(std::move(op));
            case Shape::textPart: {
                const auto& f = *expression.as<E::Filter>();
                op.kind = Op::Kind::textPart;
                op.filter = facts.filter;
                op.nameHash = facts.nameHash;
                op.name = *intern(&f.name);
                op.globalName = isGlobalName(f.name);
                op.trims = facts.filter->part == &Filters::parts::trim;
                op.a = value(f.operand, depth + 1);
                return add(std::move(op));
            }
            case Shape::arithmetic: {
                const auto& b = *expression.as<E::Binary>();
                op.kind = Op::Kind::arithmetic;
                op.op = b.op;
                op.a = value(b.left, depth + 1);
                op.b = value(b.right, depth + 1);
                return add(std::move(op));
            }
            case Shape::choice: {
                const auto& t = *expression.as<E::Ternary>();
                op.kind = Op::Kind::choice;
                op.a = value(t.value, depth + 1);
                op.b = condition(t.test, depth + 1);
                if (t.alternate) op.c = value(*t.alternate, depth + 1);
                return add(std::move(op));
            }
            case Shape::other: break;
        }
        if (auto f = expression.as<E::Filter>(); f && facts.filter && facts.filter->part && f->args.empty() &&
                                                   f->kwargs.empty() && f->operand.facts().runsNoCode) {
            // As the text part above, over an operand read again in full where no part applies.
            op.kind = Op::Kind::textPart;
            op.filter = facts.filter;
            op.nameHash = facts.nameHash;
            op.name = *intern(&f->name);
            op.globalName = isGlobalName(f->name);
            op.trims = facts.filter->part == &Filters::parts::trim;
            op.a = value(f->operand, depth + 1);
            return add(std::move(op));
        }
        if (auto m = expression.as<E::Member>(); m && m->object.facts().runsNoCode) {
            auto dotted = m->property.as<E::Identifier>();
            const auto& key = m->property.facts();
            bool literalKey = m->computed && (m->property.as<E::String>() || m->property.as<E::Integer>());
            if ((dotted && !m->computed && dotted->name != "items" && dotted->name != "get" && dotted->name != "keys" &&
                 dotted->name != "values") ||
                literalKey) {
                op.kind = Op::Kind::member;
                op.computedKey = m->computed;
                if (dotted && !m->computed) op.key = dotted->name;
                if (literalKey) op.constant = key.constant;
                if (auto text = m->property.as<E::String>(); text && m->computed) op.key = text->value;  // in the tree: stays put
                op.keyIsASCII = fastText::isASCII(op.key);
                op.a = value(m->object, depth + 1);
                return add(std::move(op));
            }
        }
        if (auto s = expression.as<E::Slice>(); s && !s->step && simple(s->value) && intLiteralOrNothing(s->start) &&
                                                intLiteralOrNothing(s->stop)) {
            op.kind = Op::Kind::slice;
            op.hasStart = s->start.has_value();
            op.hasStop = s->stop.has_value();
            if (op.hasStart) op.sliceStart = s->start->facts().constant.asInt();
            if (op.hasStop) op.sliceStop = s->stop->facts().constant.asInt();
            op.a = value(s->value, depth + 1);
            return add(std::move(op));
        }
        if (auto concatenation = lowerConcatenation(expression, depth)) return *concatenation;
        if (facts.yieldsBoolean) return condition(expression, depth);
        return generic(expression);
    }

    // A chain of + and ~ whose leftmost operand is a string literal, or a text part such as
    // `x | trim` (which the step checks to be a string first): every step joins printed forms.
    std::optional<uint32_t> lowerConcatenation(const Expression& expression, int depth) {
        std::vector<const Expression*> operands;
        const Expression* leftmost = &expression;
        for (auto b = leftmost->as<E::Binary>(); b && (b->op == E::BinaryOp::add || b->op == E::BinaryOp::concat);
             b = leftmost->as<E::Binary>()) {
            operands.push_back(&b->right);
            leftmost = &b->left;
        }
        if (operands.empty()) return std::nullopt;
        Op op;
        op.kind = Op::Kind::concatenation;
        op.expression = &expression;
        if (!leftmost->as<E::String>()) {
            uint32_t first = value(*leftmost, depth + 1);
            if (program_.operations_[first].kind != Op::Kind::textPart) return std::nullopt;
            op.leadingPart = true;
            op.parts.push_back(first);
        } else {
            operands.push_back(leftmost);
        }
        for (auto it = operands.rbegin(); it != operands.rend(); ++it) op.parts.push_back(value(**it, depth + 1));
        return add(std::move(op));
    }

    // An expression in a place where only its truth is wanted.
    uint32_t condition(const Expression& expression, int depth) {
        using Comparison = E::Facts::Comparison;
        const auto& facts = expression.facts();
        if (depth > maxDepth) return generic(expression);
        Op op;
        op.expression = &expression;
        if (facts.comparison != Comparison::none) {
            const auto& b = *expression.as<E::Binary>();
            op.negated = b.op == E::BinaryOp::notEqual;
            if (facts.comparison == Comparison::withLiteral) {
                op.kind = Op::Kind::equalsLiteral;
                op.constant = b.right.facts().constant;
                op.asciiText = b.right.facts().asciiText;
                op.a = value(b.left, depth + 1);
                op.entryText = op.asciiText && op.constant.isString() && program_.operations_[op.a].kind == Op::Kind::nameKey;
                if (op.constant.isInt()) markLoopCount(op);
            } else {
                op.kind = Op::Kind::booleansEqual;
                op.a = condition(b.left, depth + 1);
                op.b = condition(b.right, depth + 1);
            }
            return add(std::move(op));
        }
        if (auto b = expression.as<E::Binary>(); b && (b->op == E::BinaryOp::and_ || b->op == E::BinaryOp::or_)) {
            op.kind = b->op == E::BinaryOp::and_ ? Op::Kind::and_ : Op::Kind::or_;
            op.a = condition(b->left, depth + 1);
            op.b = condition(b->right, depth + 1);
            return add(std::move(op));
        }
        if (auto u = expression.as<E::Unary>(); u && u->op == E::UnaryOp::not_) {
            op.kind = Op::Kind::not_;
            op.a = condition(u->operand, depth + 1);
            return add(std::move(op));
        }
        if (auto t = expression.as<E::Test>(); t && t->args.empty() && facts.test && simple(t->operand)) {
            op.kind = Op::Kind::test;
            op.negated = t->negated;
            op.test = facts.test;
            op.nameHash = facts.nameHash;
            op.name = *intern(&t->name);
            op.globalName = isGlobalName(t->name);
            op.kindsPassing = kindsPassing(t->name);
            op.a = value(t->operand, depth + 1);
            return add(std::move(op));
        }
        if (facts.yieldsBoolean) return generic(expression);
        return value(expression, depth);
    }

    void lowerNode(const Node& node) {
        switch (node.kind()) {
            case Node::Case::comment: return;
            case Node::Case::text: {
                const auto& text = node.as<Node::Text>()->value;
                if (!text.empty()) addStep({.kind = Step::Kind::text, .text = &text});
                return;
            }
            case Node::Case::expression: {
                const Expression& expression = *node.as<Expression>();
                if (auto literal = expression.as<E::String>()) {
                    // Output of a string literal is output of its text.
                    if (!literal->value.empty()) addStep({.kind = Step::Kind::text, .text = &literal->value});
                    return;
                }
                uint32_t operation = value(expression, 0);
                if (program_.operations_[operation].kind == Op::Kind::generic) break;
                addStep({.kind = Step::Kind::output, .operation = operation});
                return;
            }
            case Node::Case::statement:
                if (lowerStatement(*node.as<Statement>())) return;
                break;
        }
        addStep({.kind = Step::Kind::interpret, .node = &node});
    }

    bool lowerStatement(const Statement& statement) {
        if (auto s = statement.as<Statement::If>()) {
            uint32_t branch = addStep({.kind = Step::Kind::jumpUnless, .operation = condition(s->condition, 0)});
            lower(s->body);
            if (s->alternate.empty()) {
                program_.steps_[branch].target = here();
                return true;
            }
            uint32_t skip = addStep({.kind = Step::Kind::jump});
            program_.steps_[branch].target = here();
            lower(s->alternate);
            program_.steps_[skip].target = here();
            return true;
        }
        if (auto s = statement.as<Statement::Set>()) {
            auto identifier = s->target.as<E::Identifier>();
            if (!identifier || !s->value) return false;
            addStep({.kind = Step::Kind::set,
                     .operation = value(*s->value, 0),
                     .nameHash = s->target.facts().nameHash,
                     .text = intern(&identifier->name)});
            return true;
        }
        if (auto s = statement.as<Statement::For>()) {
            if (s->loopVar.kind != Statement::LoopVar::Case::single || s->test) return false;
            const std::string& name = s->loopVar.names[0];
            uint32_t loop = addStep({.kind = Step::Kind::for_,
                                     .operation = value(s->iterable, 0),
                                     .nameHash = ScopeVariables::hashName(name),
                                     .text = intern(&name)});
            lower(s->body);
            program_.steps_[loop].target = here();
            lower(s->defaultBlock);
            program_.steps_[loop].end = here();
            // Only an interpreted call block holds a scope weakly (an output, such as a call of
            // raise_exception, never does); without one, a loop scope that nothing holds when the
            // loop ends can serve the next loop.
            bool reusable = true;
            for (uint32_t i = loop + 1; i < here(); ++i) {
                const Step& inner = program_.steps_[i];
                reusable = reusable && (inner.kind != Step::Kind::interpret || inner.node->kind() == Node::Case::expression);
            }
            program_.steps_[loop].reusableScope = reusable;
            return true;
        }
        return false;
    }

    Program& program_;
    std::unordered_map<std::string_view, const std::string*> names_;
    std::unordered_map<std::string_view, std::string_view> keys_;
    struct PairHash {
        size_t operator()(const std::pair<const char*, const char*>& p) const {
            return std::hash<const char*>()(p.first) * 31 + std::hash<const char*>()(p.second);
        }
    };
    std::unordered_map<std::pair<const char*, const char*>, uint32_t, PairHash> entries_;
};

Program::Program(const std::vector<Node>& nodes) : roots_(nodes) {
    ProgramBuilder(*this).lower(roots_);
    // An entry that only one read names is never read again: not worth remembering.
    std::unordered_map<uint32_t, uint32_t> reads;
    for (const auto& op : operations_)
        if (op.entry) ++reads[op.entry];
    for (auto& op : operations_)
        if (op.entry && reads[op.entry] < 2) op.entry = 0;
}

Program::~Program() = default;

size_t Program::interpretedNodeCount() const {
    size_t count = 0;
    for (const auto& step : steps_) count += step.kind == Step::Kind::interpret;
    return count;
}

// ---------------------------------------------------------------------------------------------
// Running

namespace {

using Op = Program::Operation;
using Interpreter::appendChecked;
using Interpreter::entryNamed;

// The count of function bindings (see functionBindings) at the start of this thread's current
// render, when its scope chain held no function then; never equal to the count otherwise.
thread_local uint64_t functionFreeSince = UINT64_MAX;

// No function can stand in for a built-in filter or test of a name no built-in global has.
[[gnu::always_inline]] inline bool noFunctionBound() { return functionBindings == functionFreeSince; }

constinit const Value undefinedConstant;
constinit const Value trueValue(true);
constinit const Value falseValue(false);

class Runner {
public:
    Runner(const std::vector<Op>& operations, const EnvironmentPtr& env) : ops_(operations.data()), env_(env), scope_(env.get()) {}

    // The operation's value, viewed where it lives or made in `scratch`.
    const Value* view(uint32_t index, Value& scratch) const {
        const Op& op = ops_[index];
        switch (op.kind) {
            case Op::Kind::constant: return &op.constant;
            case Op::Kind::name: {
                Environment::Binding binding = scope_->resolve(op.name, op.nameHash);
                if (binding.value) return binding.value;
                if (binding.loop) {
                    scratch = binding.loop->object();
                    return &scratch;
                }
                return &undefinedConstant;
            }
            case Op::Kind::nameKey: return entry(op, scratch);
            case Op::Kind::member: {
                // The object is read again in full only where these cases do not apply.
                Value objectScratch;
                const Value* object = view(op.a, objectScratch);
                const Value* found = nullptr;
                if (object->isObject() && (!op.computedKey || op.constant.isString())) {
                    found = entryNamed(object->asObject(), op.key);
                    if (!found && op.computedKey && !op.keyIsASCII) found = findEntry(object->asObject(), op.key);
                    if (!found) found = &undefinedConstant;
                } else if (object->isArray() && op.constant.isInt()) {
                    const ValueArray& items = object->asArray();
                    int64_t at = op.constant.asInt();
                    if (at < 0) at += static_cast<int64_t>(items.size());
                    found = at >= 0 && at < static_cast<int64_t>(items.size()) ? &items[static_cast<size_t>(at)] : &undefinedConstant;
                } else {
                    return evaluated(op, scratch);
                }
                if (object != &objectScratch) return found;
                scratch = Value(*found);
                return &scratch;
            }
            case Op::Kind::textPart: {
                if (auto part = textPart(op)) {
                    scratch = Value(*part);
                    return &scratch;
                }
                return evaluated(op, scratch);
            }
            case Op::Kind::concatenation: {
                std::string text;
                if (!appendParts(op, text)) break;
                scratch = Value(std::move(text));
                return &scratch;
            }
            case Op::Kind::equalsLiteral:
            case Op::Kind::booleansEqual:
            case Op::Kind::not_:
            case Op::Kind::test: return holds(index) ? &trueValue : &falseValue;
            case Op::Kind::arithmetic: {
                Value leftScratch, rightScratch;
                const Value* left = view(op.a, leftScratch);
                const Value* right = view(op.b, rightScratch);
                scratch = Interpreter::evaluateBinaryValues(op.op, *left, *right);
                return &scratch;
            }
            case Op::Kind::slice: {
                // Neighbouring items of an array, shared with it, as the interpreter takes them; anything
                // else (a string, an error) is the interpreter's.
                Value sourceScratch;
                const Value* source = view(op.a, sourceScratch);
                if (!source->isArray()) return evaluated(op, scratch);
                __extension__ typedef __int128 Wide;  // a bound plus the length never overflows
                const Wide n = static_cast<Wide>(source->arrayItems().size());
                Wide first = op.hasStart ? (op.sliceStart < 0 ? op.sliceStart + n : Wide(op.sliceStart)) : 0;
                Wide last = op.hasStop ? (op.sliceStop < 0 ? op.sliceStop + n : Wide(op.sliceStop)) : n;
                Wide begin = std::max(first, Wide(0));
                Wide end = std::min(last, n);
                scratch = end <= begin ? Value(ValueArray{})
                                       : source->arraySlice(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
                return &scratch;
            }
            case Op::Kind::choice: {
                if (holds(op.b)) return view(op.a, scratch);
                if (op.c != Op::none) return view(op.c, scratch);
                scratch = Value::null();
                return &scratch;
            }
            case Op::Kind::and_:
            case Op::Kind::or_:
            case Op::Kind::generic: break;
        }
        return evaluated(op, scratch);
    }

    // As holds, with the comparison with a literal (the usual test of an if) tested in place.
    [[gnu::always_inline]] bool test(uint32_t index) const {
        const Op& op = ops_[index];
        if (op.kind == Op::Kind::equalsLiteral) return equalsLiteral(op) != op.negated;
        return holds(index);
    }

    bool holds(uint32_t index) const {
        const Op& op = ops_[index];
        switch (op.kind) {
            case Op::Kind::nameKey: {
                // loop.first, loop.last and loop.index0 straight from the loop position.
                if (op.loopMember >= 1 && op.loopMember <= 3) {
                    Environment::Binding binding = scope_->resolve(op.name, op.nameHash);
                    if (binding.loop) {
                        const auto& loop = *binding.loop;
                        return op.loopMember == 1 ? loop.index != 0 : op.loopMember == 2 ? loop.index == 0 : loop.index + 1 == loop.length;
                    }
                }
                Value scratch;
                return entry(op, scratch)->isTruthy();
            }
            case Op::Kind::equalsLiteral: return equalsLiteral(op) != op.negated;
            case Op::Kind::booleansEqual: {
                bool left = comparison(op.a);
                return (left == comparison(op.b)) != op.negated;
            }
            case Op::Kind::and_: return holds(op.a) && holds(op.b);
            case Op::Kind::or_: return holds(op.a) || holds(op.b);
            case Op::Kind::not_: return !holds(op.a);
            case Op::Kind::test: {
                Value scratch;
                const Op& operand = ops_[op.a];
                const Value* input = operand.kind == Op::Kind::nameKey ? entry(operand, scratch) : view(op.a, scratch);
                if (shadowed(op)) {
                    forget();
                    return Interpreter::evaluateCondition(*op.expression, env_);
                }
                if (op.kindsPassing) return ((op.kindsPassing >> static_cast<unsigned>(input->kind())) & 1) != op.negated;
                return op.test(Tests::TestCall{input, {}, Filters::noKeywords(), env_}) != op.negated;
            }
            case Op::Kind::generic: forget(); return Interpreter::evaluateCondition(*op.expression, env_);
            default: {
                Value scratch;
                return view(index, scratch)->isTruthy();
            }
        }
    }

    // Appends the printed form of the operation's value (output of `{{ }}`).
    void print(uint32_t index, std::string& output) const {
        const Op& op = ops_[index];
        if (op.kind == Op::Kind::concatenation) {
            // Joined straight into the output; a failure leaves the output as it was.
            const size_t mark = output.size();
            try {
                bool joined = appendParts(op, output, mark);
                if (output.size() > limits::maxOutputBytes) throw JinjaError::runtime(sizeLimitMessage);
                if (joined) return;
            } catch (...) {
                output.resize(mark);
                throw;
            }
        }
        if (op.kind == Op::Kind::textPart) {
            if (auto part = textPart(op)) {
                appendChecked(output, *part);
                return;
            }
        }
        Value scratch;
        const Value* value = op.kind == Op::Kind::nameKey ? entry(op, scratch) : view(index, scratch);
        appendChecked(output, value->isString() ? std::string_view(value->asString()) : std::string_view(value->description()));
    }

    // Forgets the entry objectEntry read last: from here on a name may be bound anew or an object
    // changed (a set, a nested loop, an interpreted step or expression).
    void forget() const { lastEntryNumber_ = forgotten; }

    // Assigns the operation's value to a name of the scope.
    void assign(uint32_t index, const std::string& name, uint32_t hash) const {
        const Op& op = ops_[index];
        if (op.kind == Op::Kind::textPart) {
            if (auto part = textPart(op)) {
                scope_->setText(name, hash, *part);
                return;
            }
        }
        Value scratch;
        const Value* value = op.kind == Op::Kind::nameKey ? entry(op, scratch) : view(index, scratch);
        if (value == &scratch)
            scope_->set(name, hash, std::move(scratch));
        else if (value->isString())
            scope_->setText(name, hash, value->asString());  // into the variable's own string storage
        else
            scope_->set(name, hash, *value);
    }

private:
    // `name.key` / `name['key']`: the entry read in place, or the member of the loop position.
    [[gnu::always_inline]] const Value* entry(const Op& op, Value& scratch) const {
        if (const Value* found = objectEntry(op)) return found;
        Environment::Binding binding = scope_->resolve(op.name, op.nameHash);
        if (binding.loop && op.loopMember >= 0) {
            scratch = binding.loop->member(op.loopMember);
            return &scratch;
        }
        return evaluated(op, scratch);
    }

    // `name.key` of the object bound to the name: the entry, undefined when absent; null when the name
    // is bound to something else. The same entry read again before forget() is the one found last.
    [[gnu::always_inline]] const Value* objectEntry(const Op& op) const {
        if (op.entry == lastEntryNumber_) return lastEntry_;
        Environment::Binding binding = scope_->resolve(op.name, op.nameHash);
        if (!binding.value || !binding.value->isObject()) return nullptr;
        const ValueObject& object = binding.value->asObject();
        const Value* entry = entryNamed(object, op.key);
        if (!entry && op.computedKey && !op.keyIsASCII) entry = findEntry(object, op.key);
        if (!entry) entry = &undefinedConstant;
        if (op.entry) {
            lastEntryNumber_ = op.entry;
            lastEntry_ = entry;
        }
        return entry;
    }

    // A condition that is usually a comparison with a literal, tested without another dispatch.
    [[gnu::always_inline]] bool comparison(uint32_t index) const {
        const Op& op = ops_[index];
        if (op.kind == Op::Kind::equalsLiteral) return equalsLiteral(op) != op.negated;
        return holds(index);
    }

    // The int of a literal or of a loop count, without a value; false for anything else.
    [[gnu::always_inline]] bool leafInteger(const Op& op, int64_t& out) const {
        if (op.kind == Op::Kind::constant) {
            if (!op.constant.isInt()) return false;
            out = op.constant.asInt();
            return true;
        }
        if (op.kind != Op::Kind::nameKey || op.loopMember < 0 || op.loopMember == 2 || op.loopMember == 3 || op.loopMember > 6)
            return false;
        Environment::Binding binding = scope_->resolve(op.name, op.nameHash);
        if (!binding.loop) return false;
        const auto& loop = *binding.loop;
        switch (op.loopMember) {
            case 0: out = loop.index + 1; return true;
            case 1: out = loop.index; return true;
            case 4: out = loop.length; return true;
            case 5: out = loop.length - loop.index; return true;
            default: out = loop.length - loop.index - 1; return true;
        }
    }

    // The int an operation gives, made without a value: int literals, the loop position's counts, and
    // +, - and % of these where no error can arise. False for anything else, which then takes the
    // general path (reading names twice changes nothing).
    bool integer(uint32_t index, int64_t& out) const {
        const Op& op = ops_[index];
        switch (op.kind) {
            case Op::Kind::constant:
            case Op::Kind::nameKey: return leafInteger(op, out);
            case Op::Kind::arithmetic: {
                int64_t left, right;
                const Op& a = ops_[op.a];
                const Op& b = ops_[op.b];
                if (!(a.kind == Op::Kind::arithmetic ? integer(op.a, left) : leafInteger(a, left))) return false;
                if (!(b.kind == Op::Kind::arithmetic ? integer(op.b, right) : leafInteger(b, right))) return false;
                switch (op.op) {
                    case Expression::BinaryOp::add: return !__builtin_add_overflow(left, right, &out);
                    case Expression::BinaryOp::subtract: return !__builtin_sub_overflow(left, right, &out);
                    case Expression::BinaryOp::modulo:
                        if (right <= 0) return false;
                        out = left % right;
                        return true;
                    default: return false;
                }
            }
            default: return false;
        }
    }

    // Whether a function value bound to the filter's or test's name stands in for the built-in.
    bool shadowed(const Op& op) const {
        if (op.globalName) return scope_->function(op.name, op.nameHash) != nullptr;
        return !noFunctionBound() && scope_->functionNotGlobal(op.name, op.nameHash) != nullptr;
    }

    [[gnu::noinline]] const Value* evaluated(const Op& op, Value& scratch) const {
        forget();  // the interpreter may run template code
        scratch = Interpreter::evaluateExpression(*op.expression, env_);
        return &scratch;
    }

    // The part of the operand's text the built-in filter gives, when the operand is a string and no
    // function of the filter's name is bound in the scope; nothing otherwise.
    std::optional<std::string_view> textPart(const Op& op) const {
        Value scratch;
        const Op& operand = ops_[op.a];
        const Value* input = operand.kind == Op::Kind::nameKey ? entry(operand, scratch) : view(op.a, scratch);
        if (!input->isString() || input == &scratch || shadowed(op)) return std::nullopt;
        if (op.trims) return fastText::trimmedView(input->asString());
        return op.filter->part(Filters::FilterCall{input, {}, Filters::noKeywords(), env_});
    }

    // `left == literal`: the same bytes are equal, different ASCII texts are not, anything else is
    // canonical equivalence.
    [[gnu::always_inline]] bool equalsLiteral(const Op& op) const {
        if (op.entryText) {
            // A text entry against an ASCII literal. A text canonically equivalent to an ASCII text
            // has at least as many bytes, and as many only when it is those bytes: every scalar
            // decomposes to one scalar or more, and a scalar beyond ASCII takes two bytes or more.
            if (const Value* entry = objectEntry(ops_[op.a])) {
                if (entry->isString()) {
                    const std::string& text = entry->asString();
                    const std::string& literal = op.constant.asString();
                    if (text.size() <= literal.size()) return text.size() == literal.size() && fastText::sameBytes(text, literal);
                    if (fastText::isASCII(text)) return false;
                    return entry->isEquivalent(op.constant);
                }
            }
        } else if (op.loopCount != Op::none) {
            const Op& leaf = ops_[op.loopCount];
            Environment::Binding binding = scope_->resolve(leaf.name, leaf.nameHash);
            if (binding.loop) {
                // Every count is at least 0, so % is the same on both sides of the language.
                int64_t count = countOf(*binding.loop, leaf.loopMember);
                if (op.divisor) count %= op.divisor;
                return count == op.constant.asInt();
            }
        }
        return equalsLiteralInGeneral(op);
    }

    static int64_t countOf(const Environment::LoopPosition& loop, int member) {
        switch (member) {
            case 0: return loop.index + 1;
            case 1: return loop.index;
            case 4: return loop.length;
            case 5: return loop.length - loop.index;
            default: return loop.length - loop.index - 1;
        }
    }

    [[gnu::noinline]] bool equalsLiteralInGeneral(const Op& op) const {
        const Value& literal = op.constant;
        const Op& operand = ops_[op.a];
        int64_t number;
        if (literal.isInt() && operand.kind != Op::Kind::nameKey && integer(op.a, number)) return number == literal.asInt();
        Value scratch;
        const Value* left = operand.kind == Op::Kind::nameKey ? entry(operand, scratch) : view(op.a, scratch);
        if (literal.isString() && left->isString()) {
            const std::string& text = left->asString();
            if (fastText::sameBytes(text, literal.asString())) return true;
            if (op.asciiText && fastText::isASCII(text)) return false;
        } else if (literal.isInt() && left->isInt()) {
            return left->asInt() == literal.asInt();
        }
        return left->isEquivalent(literal);
    }

    // The operands' printed forms appended to `out`; the joined text, from `start`, stays within the
    // string size bound.
    // False, with nothing appended, when a leading text part does not apply (the operand is not a
    // string, or a function stands in for the filter); the interpreter then evaluates the whole.
    bool appendParts(const Op& op, std::string& out, size_t start = 0) const {
        auto part = op.parts.begin();
        if (op.leadingPart) {
            auto piece = textPart(ops_[*part]);
            if (!piece) return false;
            appendPart(*piece, out, start);
            ++part;
        }
        for (; part != op.parts.end(); ++part) appendPrinted(*part, out, start);
        return true;
    }

    // One operand's printed form; a choice appends the operand it picks.
    [[gnu::always_inline]] void appendPrinted(uint32_t part, std::string& out, size_t start) const {
        for (;;) {
            const Op& p = ops_[part];
            switch (p.kind) {
                case Op::Kind::constant:
                    if (!p.constant.isString()) break;
                    appendPart(p.constant.asString(), out, start);
                    return;
                case Op::Kind::name: {
                    // A variable holding a string, read in place.
                    Environment::Binding binding = scope_->resolve(p.name, p.nameHash);
                    if (!binding.value || !binding.value->isString()) break;
                    appendPart(binding.value->asString(), out, start);
                    return;
                }
                case Op::Kind::textPart:
                    if (auto piece = textPart(p)) {
                        appendPart(*piece, out, start);
                        return;
                    }
                    break;
                case Op::Kind::choice:
                    if (holds(p.b)) {
                        part = p.a;
                        continue;
                    }
                    if (p.c == Op::none) break;
                    part = p.c;
                    continue;
                default: break;
            }
            Value scratch;
            const Value* value = view(part, scratch);
            if (value->isString())
                appendPart(value->asString(), out, start);
            else
                appendPart(value->description(), out, start);
            return;
        }
    }

    static void appendPart(std::string_view text, std::string& out, size_t start) {
        if (out.size() - start + text.size() > limits::maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
        out.append(text.data(), text.size());
    }

    const Op* ops_;
    const EnvironmentPtr& env_;
    Environment* scope_;  // env_'s scope, read without going through the pointer each time
    // The entry objectEntry found last, and its number (forgotten: none; never 0, the number of
    // reads that are not remembered).
    static constexpr uint32_t forgotten = UINT32_MAX;
    mutable uint32_t lastEntryNumber_ = forgotten;
    mutable const Value* lastEntry_ = nullptr;
};

}  // namespace

void Program::run(const EnvironmentPtr& env, std::string& output) const {
    // A render inside this one (a function may render a template) keeps its own mark; any function it
    // binds leaves the count changed for this one.
    struct Mark {
        uint64_t saved = functionFreeSince;
        ~Mark() { functionFreeSince = saved; }
    } mark;
    functionFreeSince = env->chainMayHoldFunction() ? UINT64_MAX : functionBindings;
    runRange(0, static_cast<uint32_t>(steps_.size()), env, output);
}

void Program::runRange(uint32_t begin, uint32_t end, const EnvironmentPtr& env, std::string& output) const {
    Runner runner(operations_, env);
    for (uint32_t pc = begin; pc < end;) {
        const Step& step = steps_[pc];
        switch (step.kind) {
            case Step::Kind::text: appendChecked(output, *step.text); ++pc; break;
            case Step::Kind::output: runner.print(step.operation, output); ++pc; break;
            case Step::Kind::jumpUnless: pc = runner.test(step.operation) ? pc + 1 : step.target; break;
            case Step::Kind::jump: pc = step.target; break;
            case Step::Kind::set:
                runner.assign(step.operation, *step.text, step.nameHash);
                runner.forget();
                ++pc;
                break;
            case Step::Kind::for_:
                runFor(step, env, output);
                runner.forget();
                pc = step.end;
                break;
            case Step::Kind::interpret:
                runner.forget();
                Interpreter::interpretNode(*step.node, env, output);
                ++pc;
                break;
        }
    }
}

void Program::runFor(const Step& step, const EnvironmentPtr& env, std::string& output) const {
    Interpreter::ensureStackRoom();
    const auto index = static_cast<uint32_t>(&step - steps_.data());
    Value iterable;
    {
        Value scratch;
        const Value* items = Runner(operations_, env).view(step.operation, scratch);
        iterable = items == &scratch ? std::move(scratch) : *items;
    }
    size_t count = 0;
    switch (iterable.kind()) {
        case Value::Kind::array: count = iterable.arrayItems().size(); break;
        case Value::Kind::object: count = iterable.asObject().size(); break;
        case Value::Kind::string:
            // One string per Character, made before the first item so that the count is known.
            iterable = Value(Interpreter::characterValues(iterable.asString()));
            count = iterable.asArray().size();
            break;
        default: throw JinjaError::runtime("Cannot iterate over non-iterable value");
    }
    if (count == 0) {
        runRange(step.target, step.end, env, output);
        return;
    }
    struct Scope {
        EnvironmentPtr pointer;
        bool reusable;
        ~Scope() {
            if (reusable) Environment::giveBackLoopScope(std::move(pointer));
        }
    } held{step.reusableScope ? Environment::makeLoopScope(env) : Environment::make(env), step.reusableScope};
    const EnvironmentPtr& scope = held.pointer;
    // The items stay alive, and unchanged, with the loop scope; the loop variable views them in place.
    const Value& items = scope->keepItems(std::move(iterable));
    const std::span<const Value> arrayItems = items.isArray() ? items.arrayItems() : std::span<const Value>();
    const ValueObject* objectItems = items.isObject() ? &items.asObject() : nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (objectItems) {
            scope->set(*step.text, step.nameHash, Value(objectItems->at(i).first));
        } else if (i == 0) {
            scope->bindItemNamed(*step.text, step.nameHash, &arrayItems[i]);
        } else {
            scope->rebindItem(&arrayItems[i]);
        }
        scope->bindLoop(static_cast<int64_t>(i), static_cast<int64_t>(count));
        try {
            runRange(index + 1, step.target, scope, output);
        } catch (const ControlFlow& flow) {
            if (flow.kind() == ControlFlow::Case::break_) break;
        }
    }
}

}  // namespace jinja

#include "Jinja/AST.hpp"

#include <array>
#include <unordered_map>

#include "Jinja/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {

// ---------------------------------------------------------------------------------------------
// Hashing helpers

void hashCombine(size_t& seed, size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

size_t hashText(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return std::hash<std::string>{}(foundation::text::normalized(text, foundation::text::NormalizationForm::nfc));
    return std::hash<std::string_view>{}(text);
}

namespace {

bool textEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return foundation::text::canonicallyEqual(a, b);
}

size_t hashDouble(double d) {
    if (d == 0.0) return 0;
    return std::hash<double>{}(d);
}

template <class T>
bool listEqual(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i])) return false;
    return true;
}

bool stringListEqual(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!textEqual(a[i], b[i])) return false;
    return true;
}

template <class T>
bool optionalEqual(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || *a == *b;
}

bool orderedEqual(const Expression::Entries& a, const Expression::Entries& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto& x = a.at(i);
        const auto& y = b.at(i);
        if (!textEqual(x.first, y.first) || !(x.second == y.second)) return false;
    }
    return true;
}

bool unorderedEqual(const Expression::Keywords& a, const Expression::Keywords& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const Expression* other = b.find(key);
        if (!other || !(value == *other)) return false;
    }
    return true;
}

template <class T>
void hashList(size_t& seed, const std::vector<T>& list) {
    hashCombine(seed, list.size());
    for (const auto& item : list) hashCombine(seed, item.hash());
}

void hashStrings(size_t& seed, const std::vector<std::string>& list) {
    hashCombine(seed, list.size());
    for (const auto& item : list) hashCombine(seed, hashText(item));
}

template <class T>
void hashOptional(size_t& seed, const std::optional<T>& value) {
    hashCombine(seed, value ? 1 : 0);
    if (value) hashCombine(seed, value->hash());
}

void hashOrdered(size_t& seed, const Expression::Entries& map) {
    hashCombine(seed, map.size());
    for (const auto& [key, value] : map) {
        hashCombine(seed, hashText(key));
        hashCombine(seed, value.hash());
    }
}

void hashUnordered(size_t& seed, const Expression::Keywords& map) {
    size_t combined = 0;
    for (const auto& [key, value] : map) {
        size_t pair = 0;
        hashCombine(pair, hashText(key));
        hashCombine(pair, value.hash());
        combined ^= pair;
    }
    hashCombine(seed, combined);
}

constexpr std::array<std::string_view, 4> unaryRaw = {"not", "-", "+", "*"};
constexpr std::array<std::string_view, 18> binaryRaw = {"+",  "-",  "*", "/",  "//", "**",  "%",   "~",  "==",
                                                        "!=", "<",  "<=", ">", ">=", "and", "or", "in", "not in"};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Operators

std::string_view Expression::rawValue(UnaryOp op) { return unaryRaw[static_cast<size_t>(op)]; }
std::string_view Expression::rawValue(BinaryOp op) { return binaryRaw[static_cast<size_t>(op)]; }

std::optional<Expression::UnaryOp> Expression::unaryOp(std::string_view raw) {
    for (size_t i = 0; i < unaryRaw.size(); ++i)
        if (unaryRaw[i] == raw) return static_cast<UnaryOp>(i);
    return std::nullopt;
}

std::optional<Expression::BinaryOp> Expression::binaryOp(std::string_view raw) {
    for (size_t i = 0; i < binaryRaw.size(); ++i)
        if (binaryRaw[i] == raw) return static_cast<BinaryOp>(i);
    return std::nullopt;
}

const std::vector<Expression::UnaryOp>& Expression::allUnaryOps() {
    static const std::vector<UnaryOp> all = {UnaryOp::not_, UnaryOp::minus, UnaryOp::plus, UnaryOp::splat};
    return all;
}

const std::vector<Expression::BinaryOp>& Expression::allBinaryOps() {
    static const std::vector<BinaryOp> all = [] {
        std::vector<BinaryOp> ops;
        for (size_t i = 0; i < binaryRaw.size(); ++i) ops.push_back(static_cast<BinaryOp>(i));
        return ops;
    }();
    return all;
}

// ---------------------------------------------------------------------------------------------
// Equality

bool operator==(const Expression& a, const Expression& b) {
    if (a.box_ == b.box_) return true;
    if (a.kind() != b.kind()) return false;
    using E = Expression;
    switch (a.kind()) {
        case E::Case::string: return textEqual(a.as<E::String>()->value, b.as<E::String>()->value);
        case E::Case::number: return a.as<E::Number>()->value == b.as<E::Number>()->value;
        case E::Case::integer: return a.as<E::Integer>()->value == b.as<E::Integer>()->value;
        case E::Case::boolean: return a.as<E::Boolean>()->value == b.as<E::Boolean>()->value;
        case E::Case::null: return true;
        case E::Case::array: return listEqual(a.as<E::Array>()->elements, b.as<E::Array>()->elements);
        case E::Case::tuple: return listEqual(a.as<E::Tuple>()->elements, b.as<E::Tuple>()->elements);
        case E::Case::object: return orderedEqual(a.as<E::Object>()->entries, b.as<E::Object>()->entries);
        case E::Case::identifier: return textEqual(a.as<E::Identifier>()->name, b.as<E::Identifier>()->name);
        case E::Case::unary: {
            auto x = a.as<E::Unary>(), y = b.as<E::Unary>();
            return x->op == y->op && x->operand == y->operand;
        }
        case E::Case::binary: {
            auto x = a.as<E::Binary>(), y = b.as<E::Binary>();
            return x->op == y->op && x->left == y->left && x->right == y->right;
        }
        case E::Case::ternary: {
            auto x = a.as<E::Ternary>(), y = b.as<E::Ternary>();
            return x->value == y->value && x->test == y->test && optionalEqual(x->alternate, y->alternate);
        }
        case E::Case::call: {
            auto x = a.as<E::Call>(), y = b.as<E::Call>();
            return x->callee == y->callee && listEqual(x->args, y->args) && unorderedEqual(x->kwargs, y->kwargs);
        }
        case E::Case::member: {
            auto x = a.as<E::Member>(), y = b.as<E::Member>();
            return x->object == y->object && x->property == y->property && x->computed == y->computed;
        }
        case E::Case::slice: {
            auto x = a.as<E::Slice>(), y = b.as<E::Slice>();
            return x->value == y->value && optionalEqual(x->start, y->start) && optionalEqual(x->stop, y->stop) &&
                   optionalEqual(x->step, y->step);
        }
        case E::Case::filter: {
            auto x = a.as<E::Filter>(), y = b.as<E::Filter>();
            return x->operand == y->operand && textEqual(x->name, y->name) && listEqual(x->args, y->args) &&
                   unorderedEqual(x->kwargs, y->kwargs);
        }
        case E::Case::test: {
            auto x = a.as<E::Test>(), y = b.as<E::Test>();
            return x->operand == y->operand && textEqual(x->name, y->name) && listEqual(x->args, y->args) &&
                   x->negated == y->negated;
        }
    }
    return false;
}

bool operator==(const Statement::LoopVar& a, const Statement::LoopVar& b) {
    return a.kind == b.kind && stringListEqual(a.names, b.names);
}

bool operator==(const Statement& a, const Statement& b) {
    if (a.box_ == b.box_) return true;
    if (a.kind() != b.kind()) return false;
    using S = Statement;
    switch (a.kind()) {
        case S::Case::program: return listEqual(a.as<S::Program>()->nodes, b.as<S::Program>()->nodes);
        case S::Case::set: {
            auto x = a.as<S::Set>(), y = b.as<S::Set>();
            return x->target == y->target && optionalEqual(x->value, y->value) && listEqual(x->body, y->body);
        }
        case S::Case::if_: {
            auto x = a.as<S::If>(), y = b.as<S::If>();
            return x->condition == y->condition && listEqual(x->body, y->body) && listEqual(x->alternate, y->alternate);
        }
        case S::Case::for_: {
            auto x = a.as<S::For>(), y = b.as<S::For>();
            return x->loopVar == y->loopVar && x->iterable == y->iterable && listEqual(x->body, y->body) &&
                   listEqual(x->defaultBlock, y->defaultBlock) && optionalEqual(x->test, y->test);
        }
        case S::Case::macro: {
            auto x = a.as<S::Macro>(), y = b.as<S::Macro>();
            return textEqual(x->name, y->name) && stringListEqual(x->parameters, y->parameters) &&
                   orderedEqual(x->defaults, y->defaults) && listEqual(x->body, y->body);
        }
        case S::Case::break_:
        case S::Case::continue_: return true;
        case S::Case::call: {
            auto x = a.as<S::Call>(), y = b.as<S::Call>();
            if (!(x->callable == y->callable) || x->callerArgs.has_value() != y->callerArgs.has_value()) return false;
            if (x->callerArgs && !listEqual(*x->callerArgs, *y->callerArgs)) return false;
            return listEqual(x->body, y->body);
        }
        case S::Case::filter: {
            auto x = a.as<S::Filter>(), y = b.as<S::Filter>();
            return x->filterExpr == y->filterExpr && listEqual(x->body, y->body);
        }
        case S::Case::generation: return listEqual(a.as<S::Generation>()->nodes, b.as<S::Generation>()->nodes);
    }
    return false;
}

bool operator==(const Node& a, const Node& b) {
    if (a.box_ == b.box_) return true;
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Node::Case::text: return textEqual(a.as<Node::Text>()->value, b.as<Node::Text>()->value);
        case Node::Case::expression: return *a.as<Expression>() == *b.as<Expression>();
        case Node::Case::statement: return *a.as<Statement>() == *b.as<Statement>();
        case Node::Case::comment: return textEqual(a.as<Node::Comment>()->value, b.as<Node::Comment>()->value);
    }
    return false;
}

bool operator==(const Macro& a, const Macro& b) {
    return textEqual(a.name, b.name) && stringListEqual(a.parameters, b.parameters) &&
           orderedEqual(a.defaults, b.defaults) && listEqual(a.body, b.body);
}

// ---------------------------------------------------------------------------------------------
// Hashing

size_t Expression::hash() const {
    size_t seed = 0;
    hashCombine(seed, static_cast<size_t>(kind()));
    switch (kind()) {
        case Case::string: hashCombine(seed, hashText(as<String>()->value)); break;
        case Case::number: hashCombine(seed, hashDouble(as<Number>()->value)); break;
        case Case::integer: hashCombine(seed, std::hash<int64_t>{}(as<Integer>()->value)); break;
        case Case::boolean: hashCombine(seed, as<Boolean>()->value ? 1 : 0); break;
        case Case::null: break;
        case Case::array: hashList(seed, as<Array>()->elements); break;
        case Case::tuple: hashList(seed, as<Tuple>()->elements); break;
        case Case::object: hashOrdered(seed, as<Object>()->entries); break;
        case Case::identifier: hashCombine(seed, hashText(as<Identifier>()->name)); break;
        case Case::unary:
            hashCombine(seed, std::hash<std::string_view>{}(rawValue(as<Unary>()->op)));
            hashCombine(seed, as<Unary>()->operand.hash());
            break;
        case Case::binary: {
            auto b = as<Binary>();
            hashCombine(seed, std::hash<std::string_view>{}(rawValue(b->op)));
            hashCombine(seed, b->left.hash());
            hashCombine(seed, b->right.hash());
            break;
        }
        case Case::ternary: {
            auto t = as<Ternary>();
            hashCombine(seed, t->value.hash());
            hashCombine(seed, t->test.hash());
            hashOptional(seed, t->alternate);
            break;
        }
        case Case::call: {
            auto c = as<Call>();
            hashCombine(seed, c->callee.hash());
            hashList(seed, c->args);
            hashUnordered(seed, c->kwargs);
            break;
        }
        case Case::member: {
            auto m = as<Member>();
            hashCombine(seed, m->object.hash());
            hashCombine(seed, m->property.hash());
            hashCombine(seed, m->computed ? 1 : 0);
            break;
        }
        case Case::slice: {
            auto s = as<Slice>();
            hashCombine(seed, s->value.hash());
            hashOptional(seed, s->start);
            hashOptional(seed, s->stop);
            hashOptional(seed, s->step);
            break;
        }
        case Case::filter: {
            auto f = as<Filter>();
            hashCombine(seed, f->operand.hash());
            hashCombine(seed, hashText(f->name));
            hashList(seed, f->args);
            hashUnordered(seed, f->kwargs);
            break;
        }
        case Case::test: {
            auto t = as<Test>();
            hashCombine(seed, t->operand.hash());
            hashCombine(seed, hashText(t->name));
            hashList(seed, t->args);
            hashCombine(seed, t->negated ? 1 : 0);
            break;
        }
    }
    return seed;
}

size_t Statement::LoopVar::hash() const {
    size_t seed = 0;
    hashCombine(seed, static_cast<size_t>(kind));
    if (kind == Case::single && names.size() == 1)
        hashCombine(seed, hashText(names[0]));
    else
        hashStrings(seed, names);
    return seed;
}

size_t Statement::hash() const {
    size_t seed = 0;
    hashCombine(seed, static_cast<size_t>(kind()));
    switch (kind()) {
        case Case::program: hashList(seed, as<Program>()->nodes); break;
        case Case::set: {
            auto s = as<Set>();
            hashCombine(seed, s->target.hash());
            hashOptional(seed, s->value);
            hashList(seed, s->body);
            break;
        }
        case Case::if_: {
            auto s = as<If>();
            hashCombine(seed, s->condition.hash());
            hashList(seed, s->body);
            hashList(seed, s->alternate);
            break;
        }
        case Case::for_: {
            auto s = as<For>();
            hashCombine(seed, s->loopVar.hash());
            hashCombine(seed, s->iterable.hash());
            hashList(seed, s->body);
            hashList(seed, s->defaultBlock);
            hashOptional(seed, s->test);
            break;
        }
        case Case::macro: {
            auto s = as<Macro>();
            hashCombine(seed, hashText(s->name));
            hashStrings(seed, s->parameters);
            hashOrdered(seed, s->defaults);
            hashList(seed, s->body);
            break;
        }
        case Case::break_:
        case Case::continue_: break;
        case Case::call: {
            auto s = as<Call>();
            hashCombine(seed, s->callable.hash());
            hashCombine(seed, s->callerArgs ? 1 : 0);
            if (s->callerArgs) hashList(seed, *s->callerArgs);
            hashList(seed, s->body);
            break;
        }
        case Case::filter: {
            auto s = as<Filter>();
            hashCombine(seed, s->filterExpr.hash());
            hashList(seed, s->body);
            break;
        }
        case Case::generation: hashList(seed, as<Generation>()->nodes); break;
    }
    return seed;
}

size_t Node::hash() const {
    size_t seed = 0;
    hashCombine(seed, static_cast<size_t>(kind()));
    switch (kind()) {
        case Case::text: hashCombine(seed, hashText(as<Text>()->value)); break;
        case Case::expression: hashCombine(seed, as<Expression>()->hash()); break;
        case Case::statement: hashCombine(seed, as<Statement>()->hash()); break;
        case Case::comment: hashCombine(seed, hashText(as<Comment>()->value)); break;
    }
    return seed;
}

size_t Macro::hash() const {
    size_t seed = 0;
    hashCombine(seed, hashText(name));
    hashStrings(seed, parameters);
    hashOrdered(seed, defaults);
    hashList(seed, body);
    return seed;
}

// ---------------------------------------------------------------------------------------------
// Debug rendering (used in "Invalid target for assignment: " messages)

std::string Expression::debugDescription() const {
    switch (kind()) {
        case Case::string: return "string(" + foundation::debugQuoted(as<String>()->value) + ")";
        case Case::number: return "number(" + foundation::formatDouble(as<Number>()->value) + ")";
        case Case::integer: return "integer(" + std::to_string(as<Integer>()->value) + ")";
        case Case::boolean: return std::string("boolean(") + (as<Boolean>()->value ? "true" : "false") + ")";
        case Case::null: return "null";
        case Case::array: return "array(" + std::to_string(as<Array>()->elements.size()) + " elements)";
        case Case::tuple: return "tuple(" + std::to_string(as<Tuple>()->elements.size()) + " elements)";
        case Case::object: return "object(" + std::to_string(as<Object>()->entries.size()) + " entries)";
        case Case::identifier: return "identifier(" + foundation::debugQuoted(as<Identifier>()->name) + ")";
        case Case::unary: return "unary(" + std::string(rawValue(as<Unary>()->op)) + ")";
        case Case::binary: return "binary(" + std::string(rawValue(as<Binary>()->op)) + ")";
        case Case::ternary: return "ternary";
        case Case::call: return "call";
        case Case::member: return "member";
        case Case::slice: return "slice";
        case Case::filter: return "filter(" + foundation::debugQuoted(as<Filter>()->name) + ")";
        case Case::test: return "test(" + foundation::debugQuoted(as<Test>()->name) + ")";
    }
    return "expression";
}

}  // namespace jinja

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


// ---------------------------------------------------------------------------------------------
// Keyed form: each enumeration value is {"<case>": {payload members}}; unlabelled payload elements
// are named "_<position>".

namespace {

using foundation::JSONType;
using foundation::JSONValue;
using foundation::JSONWriter;

constexpr std::array<std::string_view, 17> expressionCases = {
    "string", "number", "integer", "boolean", "null", "array", "tuple", "object", "identifier",
    "unary", "binary", "ternary", "call", "member", "slice", "filter", "test"};
constexpr std::array<std::string_view, 10> statementCases = {
    "program", "set", "if", "for", "macro", "break", "continue", "call", "filter", "generation"};
constexpr std::array<std::string_view, 4> nodeCases = {"text", "expression", "statement", "comment"};
constexpr std::array<std::string_view, 2> loopVarCases = {"single", "tuple"};

template <class T>
void writeList(JSONWriter& w, const std::vector<T>& list) {
    w.beginArray();
    for (const auto& item : list) item.encode(w);
    w.endArray();
}

void writeStrings(JSONWriter& w, const std::vector<std::string>& list) {
    w.beginArray();
    for (const auto& item : list) w.value(item);
    w.endArray();
}

void writeOrdered(JSONWriter& w, const Expression::Entries& map) {
    w.beginArray();
    for (const auto& [key, value] : map) {
        w.value(key);
        value.encode(w);
    }
    w.endArray();
}

void writeKeyed(JSONWriter& w, const Expression::Keywords& map) {
    w.beginObject();
    for (const auto& [key, value] : map) {
        w.key(key);
        value.encode(w);
    }
    w.endObject();
}

const char* typeDescription(const JSONValue& json) {
    if (!json.exists()) return "nothing";
    switch (json.type()) {
        case JSONType::null: return "null";
        case JSONType::boolean: return "Bool";
        case JSONType::integer:
        case JSONType::number: return "Number";
        case JSONType::string: return "String";
        case JSONType::array: return "Array";
        case JSONType::object: return "Dictionary";
    }
    return "nothing";
}

// Reads with a coding path for the errors it throws.
class Reader {
public:
    [[noreturn]] void fail(DecodingError::Case kind, std::string description) const {
        throw DecodingError(kind, path_, std::move(description));
    }
    [[noreturn]] void mismatch(const char* expected, const JSONValue& found) const {
        fail(DecodingError::Case::typeMismatch,
             std::string("Expected to decode ") + expected + " but found " + typeDescription(found) + " instead.");
    }

    void push(std::string key) { path_.push_back(std::move(key)); }
    void pop() { path_.pop_back(); }

    JSONValue object(const JSONValue& json) const {
        if (!json.exists() || !json.isObject()) mismatch("Dictionary<String, Any>", json);
        return json;
    }
    JSONValue array(const JSONValue& json) const {
        if (!json.exists() || !json.isArray()) mismatch("Array<Any>", json);
        return json;
    }

    // The one recognised case member of an enumeration value: its index and its payload container.
    template <size_t N>
    std::pair<size_t, JSONValue> enumeration(const JSONValue& json, const std::array<std::string_view, N>& cases,
                                             const char* typeName) {
        JSONValue container = object(json);
        std::optional<std::pair<size_t, JSONValue>> found;
        size_t count = 0;
        std::string name;
        for (const auto& [key, value] : container.members()) {
            for (size_t i = 0; i < N; ++i) {
                if (cases[i] == key) {
                    ++count;
                    found = std::make_pair(i, value);
                    name = key;
                }
            }
        }
        if (count != 1)
            fail(DecodingError::Case::typeMismatch, "Invalid number of keys found, expected one.");
        (void)typeName;
        push(name);
        JSONValue payload = object(found->second);
        pop();
        return {found->first, payload};
    }

    JSONValue required(const JSONValue& container, const std::string& key, const char* typeName) {
        JSONValue value = container.member(key);
        if (!value.exists())
            fail(DecodingError::Case::keyNotFound, "No value associated with key \"" + key + "\".");
        if (value.isNull()) {
            push(key);
            fail(DecodingError::Case::valueNotFound, std::string("Expected ") + typeName + " value but found null instead.");
        }
        return value;
    }

    std::string string(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "String");
        push(key);
        if (!v.isString()) mismatch("String", v);
        pop();
        return v.asString();
    }
    int64_t integer(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Int");
        push(key);
        if (!v.isInteger()) mismatch("Int", v);
        int64_t result;
        try {
            result = v.asInt64();
        } catch (const foundation::JSONError&) {
            fail(DecodingError::Case::dataCorrupted, "Parsed JSON number does not fit in Int.");
        }
        pop();
        return result;
    }
    double number(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Double");
        push(key);
        if (!v.isNumber()) mismatch("Double", v);
        pop();
        return v.asDouble();
    }
    bool boolean(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Bool");
        push(key);
        if (!v.isBool()) mismatch("Bool", v);
        pop();
        return v.asBool();
    }

    Expression expression(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Expression");
        push(key);
        Expression e = readExpression(v);
        pop();
        return e;
    }
    std::optional<Expression> optionalExpression(const JSONValue& container, const std::string& key) {
        JSONValue v = container.member(key);
        if (!v.exists() || v.isNull()) return std::nullopt;
        push(key);
        Expression e = readExpression(v);
        pop();
        return e;
    }
    std::vector<Expression> expressions(const JSONValue& json) {
        std::vector<Expression> list;
        size_t index = 0;
        for (const auto& item : array(json).items()) {
            push("Index " + std::to_string(index++));
            list.push_back(readExpression(item));
            pop();
        }
        return list;
    }
    std::vector<Expression> expressions(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Array<Expression>");
        push(key);
        auto list = expressions(v);
        pop();
        return list;
    }
    std::vector<Node> nodes(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Array<Node>");
        push(key);
        std::vector<Node> list;
        size_t index = 0;
        for (const auto& item : array(v).items()) {
            push("Index " + std::to_string(index++));
            list.push_back(readNode(item));
            pop();
        }
        pop();
        return list;
    }
    std::vector<std::string> strings(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Array<String>");
        push(key);
        std::vector<std::string> list;
        size_t index = 0;
        for (const auto& item : array(v).items()) {
            push("Index " + std::to_string(index++));
            if (!item.isString()) mismatch("String", item);
            list.push_back(item.asString());
            pop();
        }
        pop();
        return list;
    }
    Expression::Entries ordered(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Array<Any>");
        push(key);
        auto items = array(v).items();
        Expression::Entries map;
        for (size_t i = 0; i < items.size(); i += 2) {
            if (!items[i].isString()) {
                push("Index " + std::to_string(i));
                mismatch("String", items[i]);
            }
            std::string name = items[i].asString();
            if (map.contains(name))
                fail(DecodingError::Case::dataCorrupted, "Duplicate key at offset " + std::to_string(i));
            if (i + 1 >= items.size())
                fail(DecodingError::Case::dataCorrupted, "Unkeyed container reached end before value in key-value pair");
            push("Index " + std::to_string(i + 1));
            map.set(name, readExpression(items[i + 1]));
            pop();
        }
        pop();
        return map;
    }
    Expression::Keywords keyed(const JSONValue& container, const std::string& key) {
        JSONValue v = required(container, key, "Dictionary<String, Expression>");
        push(key);
        Expression::Keywords map;
        for (const auto& [name, item] : object(v).members()) {
            push(name);
            map.set(name, readExpression(item));
            pop();
        }
        pop();
        return map;
    }
    template <class Op>
    Op op(const JSONValue& container, const std::string& key, std::optional<Op> (*parse)(std::string_view)) {
        std::string raw = string(container, key);
        auto result = parse(raw);
        if (!result) {
            push(key);
            fail(DecodingError::Case::dataCorrupted, "Cannot initialize operator from invalid String value " + raw);
        }
        return *result;
    }

    Expression readExpression(const JSONValue& json);
    Statement readStatement(const JSONValue& json);
    Node readNode(const JSONValue& json);
    Statement::LoopVar readLoopVar(const JSONValue& json);
    Macro readMacro(const JSONValue& json);

    size_t depth = 0;

private:
    std::vector<std::string> path_;
};

// Bounds how deeply a keyed form read from outside may nest.
class ReadDepth {
public:
    explicit ReadDepth(Reader& reader) : reader_(reader) {
        if (++reader_.depth > 1000) reader_.fail(DecodingError::Case::dataCorrupted, "Nesting is too deep");
    }
    ~ReadDepth() { --reader_.depth; }
    ReadDepth(const ReadDepth&) = delete;
    ReadDepth& operator=(const ReadDepth&) = delete;

private:
    Reader& reader_;
};

Expression Reader::readExpression(const JSONValue& json) {
    ReadDepth guard(*this);
    auto [index, p] = enumeration(json, expressionCases, "Expression");
    push(std::string(expressionCases[index]));
    using E = Expression;
    std::optional<Expression> result;
    switch (static_cast<E::Case>(index)) {
        case E::Case::string: result = E(E::String{string(p, "_0")}); break;
        case E::Case::number: result = E(E::Number{number(p, "_0")}); break;
        case E::Case::integer: result = E(E::Integer{integer(p, "_0")}); break;
        case E::Case::boolean: result = E(E::Boolean{boolean(p, "_0")}); break;
        case E::Case::null: result = E(E::Null{}); break;
        case E::Case::array: result = E(E::Array{expressions(p, "_0")}); break;
        case E::Case::tuple: result = E(E::Tuple{expressions(p, "_0")}); break;
        case E::Case::object: result = E(E::Object{ordered(p, "_0")}); break;
        case E::Case::identifier: result = E(E::Identifier{string(p, "_0")}); break;
        case E::Case::unary: {
            auto o = op<E::UnaryOp>(p, "_0", &E::unaryOp);
            result = E(E::Unary{o, expression(p, "_1")});
            break;
        }
        case E::Case::binary: {
            auto o = op<E::BinaryOp>(p, "_0", &E::binaryOp);
            Expression left = expression(p, "_1");
            result = E(E::Binary{o, std::move(left), expression(p, "_2")});
            break;
        }
        case E::Case::ternary: {
            Expression value = expression(p, "_0");
            Expression test = expression(p, "test");
            result = E(E::Ternary{std::move(value), std::move(test), optionalExpression(p, "alternate")});
            break;
        }
        case E::Case::call: {
            Expression callee = expression(p, "_0");
            auto args = expressions(p, "_1");
            result = E(E::Call{std::move(callee), std::move(args), keyed(p, "_2")});
            break;
        }
        case E::Case::member: {
            Expression object = expression(p, "_0");
            Expression property = expression(p, "_1");
            result = E(E::Member{std::move(object), std::move(property), boolean(p, "computed")});
            break;
        }
        case E::Case::slice: {
            Expression value = expression(p, "_0");
            auto start = optionalExpression(p, "start");
            auto stop = optionalExpression(p, "stop");
            result = E(E::Slice{std::move(value), std::move(start), std::move(stop), optionalExpression(p, "step")});
            break;
        }
        case E::Case::filter: {
            Expression operand = expression(p, "_0");
            std::string name = string(p, "_1");
            auto args = expressions(p, "_2");
            result = E(E::Filter{std::move(operand), std::move(name), std::move(args), keyed(p, "_3")});
            break;
        }
        case E::Case::test: {
            Expression operand = expression(p, "_0");
            std::string name = string(p, "_1");
            auto args = expressions(p, "_2");
            result = E(E::Test{std::move(operand), std::move(name), std::move(args), boolean(p, "negated")});
            break;
        }
    }
    pop();
    return *result;
}

Statement::LoopVar Reader::readLoopVar(const JSONValue& json) {
    auto [index, p] = enumeration(json, loopVarCases, "LoopVar");
    push(std::string(loopVarCases[index]));
    Statement::LoopVar result;
    if (index == 0) {
        result = Statement::LoopVar::single(string(p, "_0"));
    } else {
        result = Statement::LoopVar::tuple(strings(p, "_0"));
    }
    pop();
    return result;
}

Statement Reader::readStatement(const JSONValue& json) {
    ReadDepth guard(*this);
    auto [index, p] = enumeration(json, statementCases, "Statement");
    push(std::string(statementCases[index]));
    using S = Statement;
    std::optional<Statement> result;
    switch (static_cast<S::Case>(index)) {
        case S::Case::program: result = S(S::Program{nodes(p, "_0")}); break;
        case S::Case::set: {
            Expression target = expression(p, "target");
            auto value = optionalExpression(p, "value");
            result = S(S::Set{std::move(target), std::move(value), nodes(p, "body")});
            break;
        }
        case S::Case::if_: {
            Expression condition = expression(p, "_0");
            auto body = nodes(p, "_1");
            result = S(S::If{std::move(condition), std::move(body), nodes(p, "_2")});
            break;
        }
        case S::Case::for_: {
            JSONValue loopVarJSON = required(p, "_0", "LoopVar");
            push("_0");
            auto loopVar = readLoopVar(loopVarJSON);
            pop();
            Expression iterable = expression(p, "_1");
            auto body = nodes(p, "_2");
            auto elseBody = nodes(p, "_3");
            result = S(S::For{std::move(loopVar), std::move(iterable), std::move(body), std::move(elseBody),
                              optionalExpression(p, "test")});
            break;
        }
        case S::Case::macro: {
            std::string name = string(p, "_0");
            auto parameters = strings(p, "_1");
            auto defaults = ordered(p, "_2");
            result = S(S::Macro{std::move(name), std::move(parameters), std::move(defaults), nodes(p, "_3")});
            break;
        }
        case S::Case::break_: result = S(S::Break{}); break;
        case S::Case::continue_: result = S(S::Continue{}); break;
        case S::Case::call: {
            Expression callable = expression(p, "callable");
            std::optional<std::vector<Expression>> callerArgs;
            JSONValue args = p.member("callerArgs");
            if (args.exists() && !args.isNull()) {
                push("callerArgs");
                callerArgs = expressions(args);
                pop();
            }
            result = S(S::Call{std::move(callable), std::move(callerArgs), nodes(p, "body")});
            break;
        }
        case S::Case::filter: {
            Expression filterExpr = expression(p, "filterExpr");
            result = S(S::Filter{std::move(filterExpr), nodes(p, "body")});
            break;
        }
        case S::Case::generation: result = S(S::Generation{nodes(p, "_0")}); break;
    }
    pop();
    return *result;
}

Node Reader::readNode(const JSONValue& json) {
    ReadDepth guard(*this);
    auto [index, p] = enumeration(json, nodeCases, "Node");
    push(std::string(nodeCases[index]));
    std::optional<Node> result;
    switch (static_cast<Node::Case>(index)) {
        case Node::Case::text: result = Node::text(string(p, "_0")); break;
        case Node::Case::expression: result = Node(expression(p, "_0")); break;
        case Node::Case::statement: {
            JSONValue v = required(p, "_0", "Statement");
            push("_0");
            result = Node(readStatement(v));
            pop();
            break;
        }
        case Node::Case::comment: result = Node::comment(string(p, "_0")); break;
    }
    pop();
    return *result;
}

Macro Reader::readMacro(const JSONValue& json) {
    JSONValue container = object(json);
    Macro macro;
    macro.name = string(container, "name");
    macro.parameters = strings(container, "parameters");
    macro.defaults = keyed(container, "defaults");
    macro.body = nodes(container, "body");
    return macro;
}

}  // namespace

void Expression::encode(JSONWriter& w) const {
    w.beginObject();
    w.key(expressionCases[static_cast<size_t>(kind())]);
    w.beginObject();
    switch (kind()) {
        case Case::string: w.field("_0", as<String>()->value); break;
        case Case::number: w.field("_0", as<Number>()->value); break;
        case Case::integer: w.field("_0", as<Integer>()->value); break;
        case Case::boolean: w.field("_0", as<Boolean>()->value); break;
        case Case::null: break;
        case Case::array: w.key("_0"); writeList(w, as<Array>()->elements); break;
        case Case::tuple: w.key("_0"); writeList(w, as<Tuple>()->elements); break;
        case Case::object: w.key("_0"); writeOrdered(w, as<Object>()->entries); break;
        case Case::identifier: w.field("_0", as<Identifier>()->name); break;
        case Case::unary:
            w.field("_0", rawValue(as<Unary>()->op));
            w.key("_1");
            as<Unary>()->operand.encode(w);
            break;
        case Case::binary: {
            auto b = as<Binary>();
            w.field("_0", rawValue(b->op));
            w.key("_1");
            b->left.encode(w);
            w.key("_2");
            b->right.encode(w);
            break;
        }
        case Case::ternary: {
            auto t = as<Ternary>();
            w.key("_0");
            t->value.encode(w);
            w.key("test");
            t->test.encode(w);
            if (t->alternate) {
                w.key("alternate");
                t->alternate->encode(w);
            }
            break;
        }
        case Case::call: {
            auto c = as<Call>();
            w.key("_0");
            c->callee.encode(w);
            w.key("_1");
            writeList(w, c->args);
            w.key("_2");
            writeKeyed(w, c->kwargs);
            break;
        }
        case Case::member: {
            auto m = as<Member>();
            w.key("_0");
            m->object.encode(w);
            w.key("_1");
            m->property.encode(w);
            w.field("computed", m->computed);
            break;
        }
        case Case::slice: {
            auto s = as<Slice>();
            w.key("_0");
            s->value.encode(w);
            if (s->start) { w.key("start"); s->start->encode(w); }
            if (s->stop) { w.key("stop"); s->stop->encode(w); }
            if (s->step) { w.key("step"); s->step->encode(w); }
            break;
        }
        case Case::filter: {
            auto f = as<Filter>();
            w.key("_0");
            f->operand.encode(w);
            w.field("_1", f->name);
            w.key("_2");
            writeList(w, f->args);
            w.key("_3");
            writeKeyed(w, f->kwargs);
            break;
        }
        case Case::test: {
            auto t = as<Test>();
            w.key("_0");
            t->operand.encode(w);
            w.field("_1", t->name);
            w.key("_2");
            writeList(w, t->args);
            w.field("negated", t->negated);
            break;
        }
    }
    w.endObject();
    w.endObject();
}

void Statement::LoopVar::encode(JSONWriter& w) const {
    w.beginObject();
    w.key(loopVarCases[static_cast<size_t>(kind)]);
    w.beginObject();
    w.key("_0");
    if (kind == Case::single && names.size() == 1)
        w.value(names[0]);
    else
        writeStrings(w, names);
    w.endObject();
    w.endObject();
}

void Statement::encode(JSONWriter& w) const {
    w.beginObject();
    w.key(statementCases[static_cast<size_t>(kind())]);
    w.beginObject();
    switch (kind()) {
        case Case::program: w.key("_0"); writeList(w, as<Program>()->nodes); break;
        case Case::set: {
            auto s = as<Set>();
            w.key("target");
            s->target.encode(w);
            if (s->value) { w.key("value"); s->value->encode(w); }
            w.key("body");
            writeList(w, s->body);
            break;
        }
        case Case::if_: {
            auto s = as<If>();
            w.key("_0");
            s->condition.encode(w);
            w.key("_1");
            writeList(w, s->body);
            w.key("_2");
            writeList(w, s->alternate);
            break;
        }
        case Case::for_: {
            auto s = as<For>();
            w.key("_0");
            s->loopVar.encode(w);
            w.key("_1");
            s->iterable.encode(w);
            w.key("_2");
            writeList(w, s->body);
            w.key("_3");
            writeList(w, s->defaultBlock);
            if (s->test) { w.key("test"); s->test->encode(w); }
            break;
        }
        case Case::macro: {
            auto s = as<Macro>();
            w.field("_0", s->name);
            w.key("_1");
            writeStrings(w, s->parameters);
            w.key("_2");
            writeOrdered(w, s->defaults);
            w.key("_3");
            writeList(w, s->body);
            break;
        }
        case Case::break_:
        case Case::continue_: break;
        case Case::call: {
            auto s = as<Call>();
            w.key("callable");
            s->callable.encode(w);
            if (s->callerArgs) { w.key("callerArgs"); writeList(w, *s->callerArgs); }
            w.key("body");
            writeList(w, s->body);
            break;
        }
        case Case::filter: {
            auto s = as<Filter>();
            w.key("filterExpr");
            s->filterExpr.encode(w);
            w.key("body");
            writeList(w, s->body);
            break;
        }
        case Case::generation: w.key("_0"); writeList(w, as<Generation>()->nodes); break;
    }
    w.endObject();
    w.endObject();
}

void Node::encode(JSONWriter& w) const {
    w.beginObject();
    w.key(nodeCases[static_cast<size_t>(kind())]);
    w.beginObject();
    switch (kind()) {
        case Case::text: w.field("_0", as<Text>()->value); break;
        case Case::expression: w.key("_0"); as<Expression>()->encode(w); break;
        case Case::statement: w.key("_0"); as<Statement>()->encode(w); break;
        case Case::comment: w.field("_0", as<Comment>()->value); break;
    }
    w.endObject();
    w.endObject();
}

void Macro::encode(JSONWriter& w) const {
    w.beginObject();
    w.field("name", name);
    w.key("parameters");
    writeStrings(w, parameters);
    w.key("defaults");
    writeKeyed(w, defaults);
    w.key("body");
    writeList(w, body);
    w.endObject();
}

Expression Expression::decode(const JSONValue& json) { return Reader().readExpression(json); }
Statement Statement::decode(const JSONValue& json) { return Reader().readStatement(json); }
Node Node::decode(const JSONValue& json) { return Reader().readNode(json); }
Statement::LoopVar Statement::LoopVar::decode(const JSONValue& json) { return Reader().readLoopVar(json); }
Macro Macro::decode(const JSONValue& json) { return Reader().readMacro(json); }

}  // namespace jinja

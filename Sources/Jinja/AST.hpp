#pragma once
// The syntax tree of a compiled template and the record of a defined macro. Every node is immutable
// and boxed, so copying shares the subtree.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/OrderedDictionary.hpp"

namespace jinja {

class Node;
class Statement;

class Expression {
public:
    enum class UnaryOp { not_, minus, plus, splat };
    enum class BinaryOp {
        add, subtract, multiply, divide, floorDivide, power, modulo, concat,
        equal, notEqual, less, lessEqual, greater, greaterEqual, and_, or_, in, notIn
    };
    static std::string_view rawValue(UnaryOp op);
    static std::string_view rawValue(BinaryOp op);
    static std::optional<UnaryOp> unaryOp(std::string_view rawValue);
    static std::optional<BinaryOp> binaryOp(std::string_view rawValue);
    static const std::vector<UnaryOp>& allUnaryOps();
    static const std::vector<BinaryOp>& allBinaryOps();

    enum class Case {
        string, number, integer, boolean, null, array, tuple, object, identifier,
        unary, binary, ternary, call, member, slice, filter, test
    };
    // Keyword arguments keep source order; their equality ignores order.
    using Keywords = foundation::OrderedDictionary<Expression>;
    using Entries = foundation::OrderedDictionary<Expression>;

    struct String;
    struct Number;
    struct Integer;
    struct Boolean;
    struct Null;
    struct Array;
    struct Tuple;
    struct Object;
    struct Identifier;
    struct Unary;
    struct Binary;
    struct Ternary;
    struct Call;
    struct Member;
    struct Slice;
    struct Filter;
    struct Test;
    struct Payload;

    template <class T>
    Expression(T payload);

    Case kind() const;
    const Payload& payload() const { return *box_; }
    template <class T>
    const T* as() const;

    friend bool operator==(const Expression& a, const Expression& b);
    friend bool operator!=(const Expression& a, const Expression& b) { return !(a == b); }
    size_t hash() const;

    // Keyed form: {"<case>": {payload members}}.
    void encode(foundation::JSONWriter& writer) const;
    static Expression decode(const foundation::JSONValue& json);

    // A short readable rendering for messages.
    std::string debugDescription() const;

    // What rendering needs to know of this expression beyond its payload (a literal as a value, a
    // name's hash, the built-in a filter or test names, whether evaluating it can run template code),
    // worked out once when the expression is built. Defined by the interpreter.
    struct Facts;
    const Facts& facts() const { return *facts_; }

private:
    struct Built {};
    Expression(Payload payload, Built);

    std::shared_ptr<const Payload> box_;
    const Facts* facts_;  // lives beside the payload, in the allocation box_ keeps
};

struct Expression::String { std::string value; };
struct Expression::Number { double value; };
struct Expression::Integer { int64_t value; };
struct Expression::Boolean { bool value; };
struct Expression::Null {};
struct Expression::Array { std::vector<Expression> elements; };
struct Expression::Tuple { std::vector<Expression> elements; };
struct Expression::Object { Entries entries; };
struct Expression::Identifier { std::string name; };
struct Expression::Unary { UnaryOp op; Expression operand; };
struct Expression::Binary { BinaryOp op; Expression left; Expression right; };
struct Expression::Ternary { Expression value; Expression test; std::optional<Expression> alternate; };
struct Expression::Call { Expression callee; std::vector<Expression> args; Keywords kwargs; };
struct Expression::Member { Expression object; Expression property; bool computed; };
struct Expression::Slice {
    Expression value;
    std::optional<Expression> start;
    std::optional<Expression> stop;
    std::optional<Expression> step;
};
struct Expression::Filter { Expression operand; std::string name; std::vector<Expression> args; Keywords kwargs; };
struct Expression::Test { Expression operand; std::string name; std::vector<Expression> args; bool negated; };

struct Expression::Payload
    : std::variant<String, Number, Integer, Boolean, Null, Array, Tuple, Object, Identifier, Unary, Binary,
                   Ternary, Call, Member, Slice, Filter, Test> {
    using variant::variant;
};

template <class T>
Expression::Expression(T payload) : Expression(Payload(std::move(payload)), Built{}) {}

inline Expression::Case Expression::kind() const { return static_cast<Case>(box_->index()); }

template <class T>
const T* Expression::as() const {
    return std::get_if<T>(static_cast<const Payload::variant*>(box_.get()));
}

class Statement {
public:
    enum class Case { program, set, if_, for_, macro, break_, continue_, call, filter, generation };

    struct LoopVar {
        enum class Case { single, tuple };
        Case kind = Case::single;
        std::vector<std::string> names;  // one name for single, two or more for tuple
        static LoopVar single(std::string name) { return {Case::single, {std::move(name)}}; }
        static LoopVar tuple(std::vector<std::string> names) { return {Case::tuple, std::move(names)}; }
        friend bool operator==(const LoopVar& a, const LoopVar& b);
        size_t hash() const;
        void encode(foundation::JSONWriter& writer) const;
        static LoopVar decode(const foundation::JSONValue& json);
    };

    struct Program;
    struct Set;
    struct If;
    struct For;
    struct Macro;
    struct Break;
    struct Continue;
    struct Call;
    struct Filter;
    struct Generation;
    struct Payload;

    template <class T>
    Statement(T payload);

    Case kind() const;
    const Payload& payload() const { return *box_; }
    template <class T>
    const T* as() const;

    friend bool operator==(const Statement& a, const Statement& b);
    friend bool operator!=(const Statement& a, const Statement& b) { return !(a == b); }
    size_t hash() const;

    void encode(foundation::JSONWriter& writer) const;
    static Statement decode(const foundation::JSONValue& json);

private:
    std::shared_ptr<const Payload> box_;
};

class Node {
public:
    enum class Case { text, expression, statement, comment };
    struct Text { std::string value; };
    struct Comment { std::string value; };
    using Payload = std::variant<Text, Expression, Statement, Comment>;

    Node(Text text) : box_(std::make_shared<const Payload>(std::move(text))) {}
    Node(Expression expression) : box_(std::make_shared<const Payload>(std::move(expression))) {}
    Node(Statement statement) : box_(std::make_shared<const Payload>(std::move(statement))) {}
    Node(Comment comment) : box_(std::make_shared<const Payload>(std::move(comment))) {}
    static Node text(std::string value) { return Node(Text{std::move(value)}); }
    static Node comment(std::string value) { return Node(Comment{std::move(value)}); }

    Case kind() const { return static_cast<Case>(box_->index()); }
    const Payload& payload() const { return *box_; }
    template <class T>
    const T* as() const { return std::get_if<T>(box_.get()); }

    friend bool operator==(const Node& a, const Node& b);
    friend bool operator!=(const Node& a, const Node& b) { return !(a == b); }
    size_t hash() const;

    void encode(foundation::JSONWriter& writer) const;
    static Node decode(const foundation::JSONValue& json);

private:
    std::shared_ptr<const Payload> box_;
};

struct Statement::Program { std::vector<Node> nodes; };
struct Statement::Set { Expression target; std::optional<Expression> value; std::vector<Node> body; };
struct Statement::If { Expression condition; std::vector<Node> body; std::vector<Node> alternate; };
struct Statement::For {
    LoopVar loopVar;
    Expression iterable;
    std::vector<Node> body;
    std::vector<Node> defaultBlock;  // the else-body
    std::optional<Expression> test;
};
struct Statement::Macro {
    std::string name;
    std::vector<std::string> parameters;
    Expression::Entries defaults;
    std::vector<Node> body;
};
struct Statement::Break {};
struct Statement::Continue {};
struct Statement::Call { Expression callable; std::optional<std::vector<Expression>> callerArgs; std::vector<Node> body; };
struct Statement::Filter { Expression filterExpr; std::vector<Node> body; };
struct Statement::Generation { std::vector<Node> nodes; };

struct Statement::Payload
    : std::variant<Program, Set, If, For, Macro, Break, Continue, Call, Filter, Generation> {
    using variant::variant;
};

template <class T>
Statement::Statement(T payload) : box_(std::make_shared<const Payload>(std::move(payload))) {}

inline Statement::Case Statement::kind() const { return static_cast<Case>(box_->index()); }

template <class T>
const T* Statement::as() const {
    return std::get_if<T>(static_cast<const Payload::variant*>(box_.get()));
}

// A macro defined while rendering: name, parameters in order, unevaluated defaults, body.
struct Macro {
    std::string name;
    std::vector<std::string> parameters;
    Expression::Entries defaults;
    std::vector<Node> body;

    friend bool operator==(const Macro& a, const Macro& b);
    friend bool operator!=(const Macro& a, const Macro& b) { return !(a == b); }
    size_t hash() const;

    // {"name", "parameters", "defaults" (keyed container), "body"}.
    void encode(foundation::JSONWriter& writer) const;
    static Macro decode(const foundation::JSONValue& json);
};

// Hashing of text consistent with canonical-equivalence equality.
size_t hashText(std::string_view text);
void hashCombine(size_t& seed, size_t value);

}  // namespace jinja

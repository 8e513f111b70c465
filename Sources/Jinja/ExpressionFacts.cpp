#include "Jinja/ExpressionFacts.hpp"

#include <memory>

#include "Jinja/Environment.hpp"
#include "Jinja/TextFastPaths.hpp"

namespace jinja {

namespace {

struct Box {
    Expression::Payload payload;
    Expression::Facts facts;
};

template <class List>
bool allRunNoCode(const List& expressions) {
    for (const auto& expression : expressions)
        if (!expression.facts().runsNoCode) return false;
    return true;
}

bool runNoCode(const std::optional<Expression>& expression) { return !expression || expression->facts().runsNoCode; }

// Read in place without running anything: a literal, a name or an entry by a literal key.
bool simple(const Expression& expression) {
    using Shape = Expression::Facts::Shape;
    Shape shape = expression.facts().shape;
    return shape == Shape::literal || shape == Shape::name || shape == Shape::nameMember;
}

void examine(const Expression::Payload& payload, Expression::Facts& facts) {
    using E = Expression;
    std::visit(
        [&facts](const auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, E::String> || std::is_same_v<T, E::Number> ||
                          std::is_same_v<T, E::Integer> || std::is_same_v<T, E::Boolean>) {
                facts.constant = Value(p.value);
                facts.runsNoCode = true;
                facts.literal = true;
                facts.shape = Expression::Facts::Shape::literal;
                if constexpr (std::is_same_v<T, E::String>) facts.asciiText = fastText::isASCII(p.value);
            } else if constexpr (std::is_same_v<T, E::Null>) {
                facts.constant = Value::null();
                facts.runsNoCode = true;
                facts.literal = true;
                facts.shape = Expression::Facts::Shape::literal;
            } else if constexpr (std::is_same_v<T, E::Identifier>) {
                facts.nameHash = ScopeVariables::hashName(p.name);
                facts.runsNoCode = true;
                facts.name = &p.name;
                facts.shape = Expression::Facts::Shape::name;
            } else if constexpr (std::is_same_v<T, E::Array> || std::is_same_v<T, E::Tuple>) {
                facts.runsNoCode = allRunNoCode(p.elements);
            } else if constexpr (std::is_same_v<T, E::Object>) {
                facts.runsNoCode = true;
                for (const auto& [key, element] : p.entries) facts.runsNoCode = facts.runsNoCode && element.facts().runsNoCode;
            } else if constexpr (std::is_same_v<T, E::Unary>) {
                facts.runsNoCode = p.operand.facts().runsNoCode;
                facts.yieldsBoolean = p.op == E::UnaryOp::not_;
            } else if constexpr (std::is_same_v<T, E::Binary>) {
                facts.runsNoCode = p.left.facts().runsNoCode && p.right.facts().runsNoCode;
                using Op = E::BinaryOp;
                facts.yieldsBoolean = p.op == Op::equal || p.op == Op::notEqual || p.op == Op::less ||
                                      p.op == Op::lessEqual || p.op == Op::greater || p.op == Op::greaterEqual ||
                                      p.op == Op::in || p.op == Op::notIn;
                if (p.op == Op::equal || p.op == Op::notEqual) {
                    using Comparison = Expression::Facts::Comparison;
                    if (p.right.facts().yieldsBoolean && p.left.facts().yieldsBoolean)
                        facts.comparison = Comparison::ofBooleans;
                    else if (p.right.facts().literal)
                        facts.comparison = Comparison::withLiteral;
                }
                if (p.op != Op::and_ && p.op != Op::or_ && p.op != Op::equal && p.op != Op::notEqual &&
                    p.op != Op::add && p.op != Op::concat && simple(p.left) && simple(p.right))
                    facts.shape = Expression::Facts::Shape::arithmetic;
            } else if constexpr (std::is_same_v<T, E::Ternary>) {
                facts.runsNoCode = p.test.facts().runsNoCode && p.value.facts().runsNoCode && runNoCode(p.alternate);
                if (p.test.facts().runsNoCode && simple(p.value) && (!p.alternate || simple(*p.alternate)))
                    facts.shape = Expression::Facts::Shape::choice;
            } else if constexpr (std::is_same_v<T, E::Member>) {
                facts.runsNoCode = p.object.facts().runsNoCode && (!p.computed || p.property.facts().runsNoCode);
                if (auto name = p.property.template as<E::Identifier>(); name && !p.computed)
                    facts.loopMember = static_cast<int8_t>(Environment::LoopPosition::memberNamed(name->name));
                // `name.key` and `name['key']` read the entry in place in one step.
                auto owner = p.object.template as<E::Identifier>();
                auto dotted = p.property.template as<E::Identifier>();
                auto literalKey = p.property.template as<E::String>();
                if (owner && ((dotted && !p.computed) || (literalKey && p.computed))) {
                    facts.shape = Expression::Facts::Shape::nameMember;
                    facts.name = &owner->name;
                    facts.nameHash = p.object.facts().nameHash;
                    facts.key = dotted ? std::string_view(dotted->name) : std::string_view(literalKey->value);
                    facts.computedKey = p.computed;
                    facts.keyIsASCII = fastText::isASCII(facts.key);
                    facts.keyIsMethod = !p.computed && (facts.key == "items" || facts.key == "get" ||
                                                        facts.key == "keys" || facts.key == "values");
                }
            } else if constexpr (std::is_same_v<T, E::Slice>) {
                facts.runsNoCode =
                    p.value.facts().runsNoCode && runNoCode(p.start) && runNoCode(p.stop) && runNoCode(p.step);
            } else if constexpr (std::is_same_v<T, E::Filter>) {
                facts.nameHash = ScopeVariables::hashName(p.name);
                facts.filter = Filters::find(p.name);
                if (facts.filter && facts.filter->part && p.args.empty() && p.kwargs.empty() && simple(p.operand))
                    facts.shape = Expression::Facts::Shape::textPart;
            } else if constexpr (std::is_same_v<T, E::Test>) {
                facts.nameHash = ScopeVariables::hashName(p.name);
                facts.test = Tests::find(p.name);
                facts.yieldsBoolean = true;
            }
            // A call runs template code.
        },
        static_cast<const Expression::Payload::variant&>(payload));
}

}  // namespace

Expression::Expression(Payload payload, Built) {
    auto box = std::make_shared<Box>(Box{std::move(payload), {}});
    examine(box->payload, box->facts);
    facts_ = &box->facts;
    box_ = std::shared_ptr<const Payload>(box, &box->payload);
}

}  // namespace jinja

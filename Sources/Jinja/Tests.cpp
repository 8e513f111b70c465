#include "Jinja/Tests.hpp"

#include <cmath>

#include "Jinja/Filters.hpp"
#include "Jinja/Utilities.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Tests {

namespace text = foundation::text;

namespace {

const ParameterList& valueParameter() {
    static const ParameterList parameters({"value"});
    return parameters;
}

const ParameterList& comparisonParameters() {
    static const ParameterList parameters({"a", "b"});
    return parameters;
}

// Binds the single tested value.
Value boundValue(const std::vector<Value>& args, const KeywordArguments& kwargs) {
    return boundArgument(valueParameter().bind(args, kwargs), "value");
}

// a.compare(to: b), or nothing when the pair has no order.
std::optional<int> comparison(const std::vector<Value>& args, const KeywordArguments& kwargs) {
    auto bound = comparisonParameters().bind(args, kwargs);
    try {
        return boundArgument(bound, "a").compare(boundArgument(bound, "b"));
    } catch (const JinjaError&) {
        return std::nullopt;
    }
}

}  // namespace

bool defined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return !boundValue(args, kwargs).isUndefined();
}
bool undefined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isUndefined();
}
bool none(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isNull();
}
bool string(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isString();
}
bool number(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isNumber();
}
bool boolean(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isBoolean();
}
bool iterable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isIterable();
}

bool even(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    if (value.isInt()) return (value.asInt() & 1) == 0;
    if (value.isDouble()) {
        double d = value.asDouble();
        return std::isfinite(d) && std::fmod(d, 2.0) == 0.0;
    }
    return false;
}

bool odd(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    if (value.isInt()) return (value.asInt() & 1) == 1;
    if (value.isDouble()) {
        double d = value.asDouble();
        return std::isfinite(d) && d == std::trunc(d) && std::fmod(d, 2.0) != 0.0;
    }
    return false;
}

bool divisibleby(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters({"value", "divisor"});
    auto bound = parameters.bind(args, kwargs);
    const Value& value = boundArgument(bound, "value");
    const Value& divisor = boundArgument(bound, "divisor");
    if (value.isInt() && divisor.isInt()) {
        int64_t d = divisor.asInt();
        if (d == 0) return false;
        if (d == -1) return true;  // every integer; also keeps INT64_MIN % -1 from trapping
        return value.asInt() % d == 0;
    }
    if (value.isNumber() && divisor.isNumber()) {
        double d = divisor.asDouble();
        if (d == 0.0) return false;
        return std::fmod(value.asDouble(), d) == 0.0;
    }
    return false;
}

bool mapping(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isObject();
}
bool callable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isFunction() || value.isMacro();
}
bool integer(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isInt();
}
bool true_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isBoolean() && value.asBool();
}
bool false_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isBoolean() && !value.asBool();
}

bool lower(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    if (!value.isString()) return false;
    return text::canonicallyEqual(value.asString(), text::lowercased(value.asString()));
}
bool upper(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    if (!value.isString()) return false;
    return text::canonicallyEqual(value.asString(), text::uppercased(value.asString()));
}

bool float_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return boundValue(args, kwargs).isDouble();
}
bool sequence(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isString() || value.isArray();
}
bool escaped(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    boundValue(args, kwargs);
    return false;  // no string is ever marked as already escaped
}

bool filter(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isString() && Filters::builtIn().count(value.asString()) > 0;
}
bool test(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    Value value = boundValue(args, kwargs);
    return value.isString() && builtIn().count(value.asString()) > 0;
}

bool sameas(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto bound = comparisonParameters().bind(args, kwargs);
    return boundArgument(bound, "a").compare(boundArgument(bound, "b")) == 0;
}

bool in_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters({"value", "container"});
    auto bound = parameters.bind(args, kwargs);
    const Value& value = boundArgument(bound, "value");
    const Value& container = boundArgument(bound, "container");
    if (container.isString()) {
        if (!value.isString() || value.asString().empty()) return false;
        // Canonically equivalent spellings match: search the composed forms.
        using Form = text::NormalizationForm;
        return text::normalized(container.asString(), Form::nfc).find(text::normalized(value.asString(), Form::nfc)) !=
               std::string::npos;
    }
    if (container.isObject()) return value.isString() && container.asObject().contains(value.asString());
    if (container.isArray()) {
        for (const auto& item : container.asArray()) {
            if (item.compare(value) == 0) return true;
        }
        return false;
    }
    return false;
}

bool eq(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto bound = comparisonParameters().bind(args, kwargs);
    return boundArgument(bound, "a").isEquivalent(boundArgument(bound, "b"));
}
bool ne(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto bound = comparisonParameters().bind(args, kwargs);
    return !boundArgument(bound, "a").isEquivalent(boundArgument(bound, "b"));
}
bool gt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto result = comparison(args, kwargs);
    return result && *result > 0;
}
bool ge(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto result = comparison(args, kwargs);
    return result && *result >= 0;
}
bool lt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto result = comparison(args, kwargs);
    return result && *result < 0;
}
bool le(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    auto result = comparison(args, kwargs);
    return result && *result <= 0;
}

const std::unordered_map<std::string, TestFunction>& builtIn() {
    static const std::unordered_map<std::string, TestFunction> table = {
        {"defined", defined},     {"undefined", undefined},   {"none", none},
        {"string", string},       {"number", number},         {"boolean", boolean},
        {"iterable", iterable},   {"even", even},             {"odd", odd},
        {"divisibleby", divisibleby}, {"mapping", mapping},   {"callable", callable},
        {"integer", integer},     {"true", true_},            {"false", false_},
        {"lower", lower},         {"upper", upper},           {"float", float_},
        {"sequence", sequence},   {"escaped", escaped},       {"filter", filter},
        {"test", test},           {"sameas", sameas},         {"in", in_},
        {"eq", eq},               {"==", eq},                 {"equalto", eq},
        {"ne", ne},               {"!=", ne},                 {"gt", gt},
        {">", gt},                {"greaterthan", gt},        {"ge", ge},
        {">=", ge},               {"lt", lt},                 {"<", lt},
        {"lessthan", lt},         {"le", le},                 {"<=", le},
    };
    return table;
}

}  // namespace jinja::Tests

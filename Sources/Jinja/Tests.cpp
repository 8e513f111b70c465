#include "Jinja/Tests.hpp"

#include <cmath>

#include "Jinja/BuiltinCalls.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/Utilities.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Tests {

namespace text = foundation::text;

namespace calls {
bool defined(const TestCall& call);
bool undefined(const TestCall& call);
bool none(const TestCall& call);
bool string(const TestCall& call);
bool number(const TestCall& call);
bool boolean(const TestCall& call);
bool iterable(const TestCall& call);
bool even(const TestCall& call);
bool odd(const TestCall& call);
bool divisibleby(const TestCall& call);
bool mapping(const TestCall& call);
bool callable(const TestCall& call);
bool integer(const TestCall& call);
bool true_(const TestCall& call);
bool false_(const TestCall& call);
bool lower(const TestCall& call);
bool upper(const TestCall& call);
bool float_(const TestCall& call);
bool sequence(const TestCall& call);
bool escaped(const TestCall& call);
bool filter(const TestCall& call);
bool test(const TestCall& call);
bool sameas(const TestCall& call);
bool in_(const TestCall& call);
bool eq(const TestCall& call);
bool ne(const TestCall& call);
bool gt(const TestCall& call);
bool ge(const TestCall& call);
bool lt(const TestCall& call);
bool le(const TestCall& call);
}  // namespace calls

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
const Value& boundValue(const TestCall& call) {
    // The usual call, the tested value alone, binds nothing else.
    if (call.input && call.arguments.empty() && call.kwargs.empty()) return *call.input;
    return boundArgument(call.bind(valueParameter()), "value");
}

// a.compare(to: b), or nothing when the pair has no order.
std::optional<int> comparison(const TestCall& call) {
    auto bound = call.bind(comparisonParameters());
    try {
        return boundArgument(bound, "a").compare(boundArgument(bound, "b"));
    } catch (const JinjaError&) {
        return std::nullopt;
    }
}

}  // namespace

bool calls::defined(const TestCall& call) {
    return !boundValue(call).isUndefined();
}
bool calls::undefined(const TestCall& call) {
    return boundValue(call).isUndefined();
}
bool calls::none(const TestCall& call) {
    return boundValue(call).isNull();
}
bool calls::string(const TestCall& call) {
    return boundValue(call).isString();
}
bool calls::number(const TestCall& call) {
    return boundValue(call).isNumber();
}
bool calls::boolean(const TestCall& call) {
    return boundValue(call).isBoolean();
}
bool calls::iterable(const TestCall& call) {
    return boundValue(call).isIterable();
}

bool calls::even(const TestCall& call) {
    const Value& value = boundValue(call);
    if (value.isInt()) return (value.asInt() & 1) == 0;
    if (value.isDouble()) {
        double d = value.asDouble();
        return std::isfinite(d) && std::fmod(d, 2.0) == 0.0;
    }
    return false;
}

bool calls::odd(const TestCall& call) {
    const Value& value = boundValue(call);
    if (value.isInt()) return (value.asInt() & 1) == 1;
    if (value.isDouble()) {
        double d = value.asDouble();
        return std::isfinite(d) && d == std::trunc(d) && std::fmod(d, 2.0) != 0.0;
    }
    return false;
}

bool calls::divisibleby(const TestCall& call) {
    static const ParameterList parameters({"value", "divisor"});
    auto bound = call.bind(parameters);
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

bool calls::mapping(const TestCall& call) {
    return boundValue(call).isObject();
}
bool calls::callable(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isFunction() || value.isMacro();
}
bool calls::integer(const TestCall& call) {
    return boundValue(call).isInt();
}
bool calls::true_(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isBoolean() && value.asBool();
}
bool calls::false_(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isBoolean() && !value.asBool();
}

bool calls::lower(const TestCall& call) {
    const Value& value = boundValue(call);
    if (!value.isString()) return false;
    return text::canonicallyEqual(value.asString(), fastText::lowercased(value.asString()));
}
bool calls::upper(const TestCall& call) {
    const Value& value = boundValue(call);
    if (!value.isString()) return false;
    return text::canonicallyEqual(value.asString(), fastText::uppercased(value.asString()));
}

bool calls::float_(const TestCall& call) {
    return boundValue(call).isDouble();
}
bool calls::sequence(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isString() || value.isArray();
}
bool calls::escaped(const TestCall& call) {
    boundValue(call);
    return false;  // no string is ever marked as already escaped
}

bool calls::filter(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isString() && Filters::find(value.asString()) != nullptr;
}
bool calls::test(const TestCall& call) {
    const Value& value = boundValue(call);
    return value.isString() && find(value.asString()) != nullptr;
}

bool calls::sameas(const TestCall& call) {
    auto bound = call.bind(comparisonParameters());
    return boundArgument(bound, "a").compare(boundArgument(bound, "b")) == 0;
}

bool calls::in_(const TestCall& call) {
    static const ParameterList parameters({"value", "container"});
    auto bound = call.bind(parameters);
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

bool calls::eq(const TestCall& call) {
    auto bound = call.bind(comparisonParameters());
    return boundArgument(bound, "a").isEquivalent(boundArgument(bound, "b"));
}
bool calls::ne(const TestCall& call) {
    auto bound = call.bind(comparisonParameters());
    return !boundArgument(bound, "a").isEquivalent(boundArgument(bound, "b"));
}
bool calls::gt(const TestCall& call) {
    auto result = comparison(call);
    return result && *result > 0;
}
bool calls::ge(const TestCall& call) {
    auto result = comparison(call);
    return result && *result >= 0;
}
bool calls::lt(const TestCall& call) {
    auto result = comparison(call);
    return result && *result < 0;
}
bool calls::le(const TestCall& call) {
    auto result = comparison(call);
    return result && *result <= 0;
}

namespace {

const std::unordered_map<std::string_view, TestBody>& entries() {
    static const std::unordered_map<std::string_view, TestBody> table = {
        {"defined", calls::defined},
        {"undefined", calls::undefined},
        {"none", calls::none},
        {"string", calls::string},
        {"number", calls::number},
        {"boolean", calls::boolean},
        {"iterable", calls::iterable},
        {"even", calls::even},
        {"odd", calls::odd},
        {"divisibleby", calls::divisibleby},
        {"mapping", calls::mapping},
        {"callable", calls::callable},
        {"integer", calls::integer},
        {"true", calls::true_},
        {"false", calls::false_},
        {"lower", calls::lower},
        {"upper", calls::upper},
        {"float", calls::float_},
        {"sequence", calls::sequence},
        {"escaped", calls::escaped},
        {"filter", calls::filter},
        {"test", calls::test},
        {"sameas", calls::sameas},
        {"in", calls::in_},
        {"eq", calls::eq},
        {"==", calls::eq},
        {"equalto", calls::eq},
        {"ne", calls::ne},
        {"!=", calls::ne},
        {"gt", calls::gt},
        {">", calls::gt},
        {"greaterthan", calls::gt},
        {"ge", calls::ge},
        {">=", calls::ge},
        {"lt", calls::lt},
        {"<", calls::lt},
        {"lessthan", calls::lt},
        {"le", calls::le},
        {"<=", calls::le},
    };
    return table;
}

}  // namespace

TestBody find(std::string_view name) {
    const auto& table = entries();
    auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
}

const std::unordered_map<std::string, TestFunction>& builtIn() {
    static const std::unordered_map<std::string, TestFunction> table = {
        {"defined", defined},
        {"undefined", undefined},
        {"none", none},
        {"string", string},
        {"number", number},
        {"boolean", boolean},
        {"iterable", iterable},
        {"even", even},
        {"odd", odd},
        {"divisibleby", divisibleby},
        {"mapping", mapping},
        {"callable", callable},
        {"integer", integer},
        {"true", true_},
        {"false", false_},
        {"lower", lower},
        {"upper", upper},
        {"float", float_},
        {"sequence", sequence},
        {"escaped", escaped},
        {"filter", filter},
        {"test", test},
        {"sameas", sameas},
        {"in", in_},
        {"eq", eq},
        {"==", eq},
        {"equalto", eq},
        {"ne", ne},
        {"!=", ne},
        {"gt", gt},
        {">", gt},
        {"greaterthan", gt},
        {"ge", ge},
        {">=", ge},
        {"lt", lt},
        {"<", lt},
        {"lessthan", lt},
        {"le", le},
        {"<=", le},
    };
    return table;
}

bool defined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::defined(TestCall::of(args, kwargs, env));
}
bool undefined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::undefined(TestCall::of(args, kwargs, env));
}
bool none(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::none(TestCall::of(args, kwargs, env));
}
bool string(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::string(TestCall::of(args, kwargs, env));
}
bool number(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::number(TestCall::of(args, kwargs, env));
}
bool boolean(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::boolean(TestCall::of(args, kwargs, env));
}
bool iterable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::iterable(TestCall::of(args, kwargs, env));
}
bool even(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::even(TestCall::of(args, kwargs, env));
}
bool odd(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::odd(TestCall::of(args, kwargs, env));
}
bool divisibleby(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::divisibleby(TestCall::of(args, kwargs, env));
}
bool mapping(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::mapping(TestCall::of(args, kwargs, env));
}
bool callable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::callable(TestCall::of(args, kwargs, env));
}
bool integer(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::integer(TestCall::of(args, kwargs, env));
}
bool true_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::true_(TestCall::of(args, kwargs, env));
}
bool false_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::false_(TestCall::of(args, kwargs, env));
}
bool lower(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::lower(TestCall::of(args, kwargs, env));
}
bool upper(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::upper(TestCall::of(args, kwargs, env));
}
bool float_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::float_(TestCall::of(args, kwargs, env));
}
bool sequence(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::sequence(TestCall::of(args, kwargs, env));
}
bool escaped(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::escaped(TestCall::of(args, kwargs, env));
}
bool filter(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::filter(TestCall::of(args, kwargs, env));
}
bool test(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::test(TestCall::of(args, kwargs, env));
}
bool sameas(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::sameas(TestCall::of(args, kwargs, env));
}
bool in_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::in_(TestCall::of(args, kwargs, env));
}
bool eq(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::eq(TestCall::of(args, kwargs, env));
}
bool ne(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::ne(TestCall::of(args, kwargs, env));
}
bool gt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::gt(TestCall::of(args, kwargs, env));
}
bool ge(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::ge(TestCall::of(args, kwargs, env));
}
bool lt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::lt(TestCall::of(args, kwargs, env));
}
bool le(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::le(TestCall::of(args, kwargs, env));
}

}  // namespace jinja::Tests

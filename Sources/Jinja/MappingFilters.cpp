// Mapping and attribute filters: default (d), groupby, map, select, reject, selectattr, rejectattr, attr,
// dictsort and items.
#include <algorithm>

#include "Jinja/Error.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/PropertyMembers.hpp"
#include "Jinja/Tests.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

namespace {

// Runs a test by name: through the interpreter when there is a scope (a function value in scope
// first), else straight from the built-in tests.
bool runTest(const std::string& name, const Args& arguments, const EnvironmentPtr& env) {
    if (env) return Interpreter::evaluateTest(name, arguments, env);
    auto it = Tests::builtIn().find(name);
    if (it == Tests::builtIn().end()) throw JinjaError::runtime("Unknown test: " + name);
    return it->second(arguments, KeywordArguments(), env);
}

}  // namespace

Value calls::default_(const FilterCall& call) {
    static const ParameterList parameters({"default_value", "boolean"}, {{"boolean", Value(false)}});
    auto bound = call.bind(parameters);
    Value input = !call.input ? Value::undefined() : *call.input;
    if (input.isUndefined()) return boundArgument(bound, "default_value");
    if (boundArgument(bound, "boolean").isTruthy() && input.isBoolean() && !input.asBool()) {
        return boundArgument(bound, "default_value");
    }
    return input;
}

Value calls::groupby(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"attribute", "default", "case_sensitive"},
        {{"default", Value::null()}, {"case_sensitive", Value(false)}});
    auto bound = call.bind(parameters);
    const Value& attribute = boundArgument(bound, "attribute");
    if (!attribute.isString()) throw JinjaError::runtime("groupby filter requires attribute parameter");
    const Value& fallback = boundArgument(bound, "default");
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();

    struct KeyedItem {
        Value item;
        Value displayKey;
        Value normalized;
    };
    std::vector<KeyedItem> keyed;
    for (const auto& item : call.input->asArray()) {
        Value key = attributeLookup(item, attribute.asString());
        if (key.isUndefined()) key = fallback;
        Value normalized = key.isString() && !caseSensitive ? Value(fastText::lowercased(key.asString())) : key;
        keyed.push_back({item, key, normalized});
    }
    auto stringOrder = [](const std::string& x, const std::string& y) {
        int result = Value(x).compare(Value(y));
        return result < 0 ? -1 : (result == 0 ? 0 : 1);
    };
    // Never fails: pairs without an order fall back to their printed forms.
    auto compare = [&](const Value& x, const Value& y) -> int {
        if (x.isString() && y.isString()) {
            if (caseSensitive) return stringOrder(x.asString(), y.asString());
            return stringOrder(fastText::lowercased(x.asString()), fastText::lowercased(y.asString()));
        }
        try {
            return x.compare(y);
        } catch (const JinjaError&) {
            return stringOrder(x.description(), y.description());
        }
    };
    keyed = stableSorted(std::move(keyed),
                         [&](const KeyedItem& a, const KeyedItem& b) { return compare(a.normalized, b.normalized); });

    struct Group {
        Value grouper;
        Value normalized;
        ValueArray list;
    };
    std::vector<Group> groups;
    for (auto& entry : keyed) {
        if (!groups.empty() && entry.normalized.isEquivalent(groups.back().normalized)) {
            groups.back().list.push_back(std::move(entry.item));
        } else {
            groups.push_back({entry.displayKey, entry.normalized, ValueArray{entry.item}});
        }
    }
    ValueArray result;
    result.reserve(groups.size());
    for (auto& group : groups) {
        ValueObject object;
        object.set("grouper", std::move(group.grouper));
        object.set("list", Value(std::move(group.list)));
        result.emplace_back(std::move(object));
    }
    return Value(std::move(result));
}

Value calls::map(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"filterName", "attribute", "default"},
        {{"filterName", Value::null()}, {"attribute", Value::null()}, {"default", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& filterName = boundArgument(bound, "filterName");
    const auto& items = call.input->asArray();
    ValueArray result;
    result.reserve(items.size());
    if (filterName.isString()) {
        const std::string& name = filterName.asString();
        for (const auto& item : items) {
            Value scoped = call.env ? call.env->lookup(name) : Value::undefined();
            if (scoped.isFunction()) {
                call.env->lendToFunction(scoped);
                result.push_back(scoped.asFunction()(Args{item}, KeywordArguments(), call.env));
                continue;
            }
            const FilterEntry* filter = find(name);
            if (!filter) throw JinjaError::runtime("Unknown filter: " + name);
            result.push_back(filter->body(FilterCall{&item, {}, noKeywords(), call.env}));
        }
        return Value(std::move(result));
    }
    const Value& attribute = boundArgument(bound, "attribute");
    if (attribute.isNull()) return Value(ValueArray{});
    const Value& fallback = boundArgument(bound, "default");
    for (const auto& item : items) {
        Value value;
        if (attribute.isString()) value = attributeLookup(item, attribute.asString());
        else if (attribute.isInt()) value = integerAttributeLookup(item, attribute.asInt());
        result.push_back(value.isUndefined() ? fallback : value);
    }
    return Value(std::move(result));
}

namespace {
Value selectOrReject(const FilterCall& call, bool keepWhen) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"testname"}, {{"testname", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& testName = boundArgument(bound, "testname");
    ValueArray kept;
    for (const auto& item : call.input->asArray()) {
        bool outcome;
        if (testName.isString()) {
            Args testArguments{item};
            for (size_t i = 1; i < call.arguments.size(); ++i) testArguments.push_back(call.arguments[i]);
            outcome = runTest(testName.asString(), testArguments, call.env);
        } else {
            outcome = item.isTruthy();
        }
        if (outcome == keepWhen) kept.push_back(item);
    }
    return Value(std::move(kept));
}

Value selectOrRejectAttribute(const FilterCall& call, bool keepWhen, const char* attributeMessage) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"attribute", "testname"}, {{"testname", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& attribute = boundArgument(bound, "attribute");
    if (!attribute.isString()) throw JinjaError::runtime(attributeMessage);
    const Value& testName = boundArgument(bound, "testname");
    ValueArray kept;
    for (const auto& item : call.input->asArray()) {
        Value value = attributeLookup(item, attribute.asString());
        bool outcome;
        if (testName.isString()) {
            Args testArguments{value};
            for (size_t i = 2; i < call.arguments.size(); ++i) testArguments.push_back(call.arguments[i]);
            outcome = runTest(testName.asString(), testArguments, call.env);
        } else {
            outcome = value.isTruthy();
        }
        if (outcome == keepWhen) kept.push_back(item);
    }
    return Value(std::move(kept));
}
}  // namespace

Value calls::select(const FilterCall& call) {
    return selectOrReject(call, true);
}

Value calls::reject(const FilterCall& call) {
    return selectOrReject(call, false);
}

Value calls::selectattr(const FilterCall& call) {
    return selectOrRejectAttribute(call, true, "selectattr filter requires attribute parameter");
}

Value calls::rejectattr(const FilterCall& call) {
    return selectOrRejectAttribute(call, false, "rejectattr filter requires attribute parameter");
}

Value calls::attr(const FilterCall& call) {
    if (!call.input) return Value::undefined();
    static const ParameterList parameters({"attribute"});
    auto bound = call.bind(parameters);
    const Value& attribute = boundArgument(bound, "attribute");
    if (!attribute.isString()) throw JinjaError::runtime("attr filter requires attribute parameter");
    const Value& input = *call.input;
    // Strings and objects have members; every other input gives undefined.
    return PropertyMembers::evaluate(input, attribute.asString());
}

Value calls::dictsort(const FilterCall& call) {
    if (!call.input || !call.input->isObject()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"case_sensitive", "by", "reverse"},
        {{"case_sensitive", Value(false)}, {"by", Value("key")}, {"reverse", Value(false)}});
    auto bound = call.bind(parameters);
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& by = boundArgument(bound, "by");
    bool byValue = by.isString() && by.asString() == "value";
    bool reversed = boundArgument(bound, "reverse").isTruthy();

    struct Entry {
        std::string sortText;
        std::string key;
        Value value;
    };
    std::vector<Entry> entries;
    for (const auto& [key, value] : call.input->asObject()) {
        std::string sortText = byValue ? value.description() : key;
        // Without case sensitivity, texts that differ only in case compare equal.
        if (!caseSensitive) sortText = text::caseFolded(sortText);
        entries.push_back({std::move(sortText), key, value});
    }
    entries = stableSorted(std::move(entries), [reversed](const Entry& a, const Entry& b) {
        int order = text::canonicalCompare(a.sortText, b.sortText);
        order = order < 0 ? -1 : (order == 0 ? 0 : 1);
        return reversed ? -order : order;
    });
    ValueArray pairs;
    pairs.reserve(entries.size());
    for (auto& entry : entries) pairs.emplace_back(ValueArray{Value(entry.key), std::move(entry.value)});
    return Value(std::move(pairs));
}

Value calls::items(const FilterCall& call) {
    if (!call.input) return Value(ValueArray{});
    call.bind(noParameters());
    if (!call.input->isObject()) return Value(ValueArray{});
    ValueArray pairs;
    pairs.reserve(call.input->asObject().size());
    for (const auto& [key, value] : call.input->asObject()) pairs.emplace_back(ValueArray{Value(key), value});
    return Value(std::move(pairs));
}

}  // namespace jinja::Filters

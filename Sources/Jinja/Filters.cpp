#include "Jinja/Filters.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <optional>
#include <span>
#include <unordered_set>

#include "Jinja/Error.hpp"
#include "Jinja/Interpreter.hpp"
#include "Jinja/PropertyMembers.hpp"
#include "Jinja/Tests.hpp"
#include "Jinja/Utilities.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

namespace {

using Args = std::vector<Value>;

// The call's own positional arguments: everything after the input.
std::span<const Value> afterInput(const Args& args) {
    if (args.empty()) return {};
    return std::span<const Value>(args).subspan(1);
}

BoundArguments bindAfterInput(const ParameterList& parameters, const Args& args, const KeywordArguments& kwargs) {
    return parameters.bind(afterInput(args), kwargs);
}

const ParameterList& noParameters() {
    static const ParameterList parameters;
    return parameters;
}

std::vector<size_t> boundariesOf(std::string_view s) {
    if (s.empty()) return {0};
    return text::characterBoundaries(s);
}

Value stringValues(const std::vector<std::string>& pieces) {
    limits::ensureArraySize(pieces.size());
    ValueArray items;
    items.reserve(pieces.size());
    for (const auto& piece : pieces) items.emplace_back(piece);
    return Value(std::move(items));
}

// The ordering of two values used by sort, max and min: strings case-folded unless case-sensitive,
// everything else through Value::compare (which throws for pairs without an order).
int orderValues(const Value& a, const Value& b, bool caseSensitive) {
    if (a.isString() && b.isString() && !caseSensitive) {
        Value lowerA(text::lowercased(a.asString()));
        Value lowerB(text::lowercased(b.asString()));
        int result = lowerA.compare(lowerB);
        return result < 0 ? -1 : (result == 0 ? 0 : 1);
    }
    return a.compare(b);
}

// A stable merge sort whose comparison may throw; an inconsistent comparison (NaN) can never make it
// read outside the array.
template <class T, class Compare>
std::vector<T> stableSorted(std::vector<T> items, Compare compare) {
    std::vector<T> buffer(items.size());
    for (size_t width = 1; width < items.size(); width *= 2) {
        for (size_t low = 0; low < items.size(); low += 2 * width) {
            size_t middle = std::min(low + width, items.size());
            size_t high = std::min(low + 2 * width, items.size());
            size_t i = low, j = middle, k = low;
            while (i < middle && j < high) {
                // Take from the right run only when it sorts strictly before the left one.
                if (compare(items[j], items[i]) < 0) buffer[k++] = items[j++];
                else buffer[k++] = items[i++];
            }
            while (i < middle) buffer[k++] = items[i++];
            while (j < high) buffer[k++] = items[j++];
        }
        items.swap(buffer);
    }
    return items;
}

// The value printed or compared for an item under join's and unique's attribute rules.
Value attributeValue(const Value& item, const Value& attribute) {
    if (attribute.isNull()) return item;
    if (attribute.isString()) return attributeLookup(item, attribute.asString());
    if (attribute.isInt()) return integerAttributeLookup(item, attribute.asInt());
    return Value::undefined();
}

// Runs a test by name: through the interpreter when there is a scope (a function value in scope
// first), else straight from the built-in tests.
bool runTest(const std::string& name, const Args& arguments, const EnvironmentPtr& env) {
    if (env) return Interpreter::evaluateTest(name, arguments, env);
    auto it = Tests::builtIn().find(name);
    if (it == Tests::builtIn().end()) throw JinjaError::runtime("Unknown test: " + name);
    return it->second(arguments, KeywordArguments(), env);
}

bool isNewlineScalar(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The platform's whitespace set: space separators (Zs) and the tab.
bool isSpaceOrTab(char32_t c) { return c == '\t' || (text::isWhitespace(c) && text::generalCategory(c) == "Zs"); }

// The platform's whitespace-and-newline set: separators (Z*), the tab, U+000A to U+000D and U+0085.
bool isSeparatorOrNewline(char32_t c) {
    if (c == '\t' || isNewlineScalar(c)) return true;
    std::string category = text::generalCategory(c);
    return !category.empty() && category[0] == 'Z';
}

// Splits at every scalar for which `isSeparator` holds; empty pieces are kept.
std::vector<std::string> splitAtScalars(std::string_view s, bool (*isSeparator)(char32_t)) {
    std::vector<std::string> pieces;
    std::u32string current;
    for (char32_t c : text::toScalars(s)) {
        if (isSeparator(c)) {
            pieces.push_back(text::fromScalars(current));
            current.clear();
        } else {
            current += c;
        }
    }
    pieces.push_back(text::fromScalars(current));
    return pieces;
}

std::string attributeEscaped(std::string_view s) {
    std::string result;
    result.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            default: result += c;
        }
        if (result.size() > limits::maxStringBytes) limits::ensureStringSize(result.size());
    }
    return result;
}

// Percent-encodes every byte outside the ASCII characters that `allowed` accepts.
std::string percentEncoded(std::string_view s, bool (*allowed)(char)) {
    static const char* hex = "0123456789ABCDEF";
    std::string result;
    for (char c : s) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && allowed(c)) {
            result += c;
        } else {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0x0F];
        }
        if (result.size() > limits::maxStringBytes) limits::ensureStringSize(result.size());
    }
    return result;
}

bool isUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// What a query may hold unencoded.
bool isQueryAllowed(char c) {
    if (isUnreserved(c)) return true;
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';':
        case '=': case ':': case '@': case '/': case '?':
            return true;
        default: return false;
    }
}

// A query item's name or value: the query set without the characters that would change how the
// query reads (& separates items, = separates name and value, + reads as a space, # ends the query).
bool isQueryItemAllowed(char c) { return isQueryAllowed(c) && c != '&' && c != '=' && c != '+'; }

}  // namespace

// MARK: - Sequence filters

Value length(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    bindAfterInput(noParameters(), args, kwargs);
    static const char* message = "length filter requires string, array, or object";
    if (args.empty()) throw JinjaError::runtime(message);
    const Value& input = args[0];
    if (input.isString()) return Value(static_cast<int64_t>(text::characterCount(input.asString())));
    if (input.isArray()) return Value(static_cast<int64_t>(input.asArray().size()));
    if (input.isObject()) return Value(static_cast<int64_t>(input.asObject().size()));
    if (input.isUndefined()) return Value(0);
    throw JinjaError::runtime(message);
}

Value join(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) throw JinjaError::runtime("join filter requires array");
    static const ParameterList parameters({"separator", "attribute"},
                                          {{"separator", Value("")}, {"attribute", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& separator = boundArgument(bound, "separator");
    if (!separator.isString()) throw JinjaError::runtime("join filter requires string separator");
    const Value& attribute = boundArgument(bound, "attribute");
    std::string result;
    bool first = true;
    for (const auto& item : args[0].asArray()) {
        if (!first) result += separator.asString();
        first = false;
        result += attributeValue(item, attribute).description();
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

namespace {
// first and last: the Character or item at one end, undefined when there is none.
Value endOf(const Args& args, const KeywordArguments& kwargs, bool last, const char* filterName) {
    if (args.empty()) return Value::undefined();
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isString()) {
        const std::string& whole = input.asString();
        if (whole.empty()) return Value::undefined();
        auto bounds = boundariesOf(whole);
        return Value(last ? whole.substr(bounds[bounds.size() - 2]) : whole.substr(0, bounds[1]));
    }
    if (input.isArray()) {
        if (input.asArray().empty()) return Value::undefined();
        return last ? input.asArray().back() : input.asArray().front();
    }
    throw JinjaError::runtime(std::string(filterName) + " filter requires array or string");
}
}  // namespace

Value first(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return endOf(args, kwargs, false, "first");
}

Value last(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return endOf(args, kwargs, true, "last");
}

Value random(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value::undefined();
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isString() && !input.asString().empty()) {
        auto characters = characterViews(input.asString());
        return Value(characters[RandomSource::uniform(characters.size())]);
    }
    if (input.isArray() && !input.asArray().empty()) {
        return input.asArray()[RandomSource::uniform(input.asArray().size())];
    }
    if (input.isObject() && !input.asObject().empty()) {
        return Value(input.asObject().at(RandomSource::uniform(input.asObject().size())).first);
    }
    return Value::undefined();
}

Value reverse(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value::undefined();
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isString()) {
        auto characters = characterViews(input.asString());
        std::string result;
        result.reserve(input.asString().size());
        for (auto it = characters.rbegin(); it != characters.rend(); ++it) result.append(*it);
        return Value(std::move(result));
    }
    if (input.isArray()) {
        ValueArray items(input.asArray().rbegin(), input.asArray().rend());
        return Value(std::move(items));
    }
    throw JinjaError::runtime("reverse filter requires array or string");
}

Value sort(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"reverse", "case_sensitive", "attribute"},
        {{"reverse", Value(false)}, {"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    bool reversed = boundArgument(bound, "reverse").isTruthy();
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");

    std::vector<std::string> keys;
    if (attribute.isString()) {
        for (const auto& piece : text::split(attribute.asString(), ",")) {
            std::string key = text::trimmingWhitespaceAndNewlines(piece);
            if (!key.empty()) keys.push_back(std::move(key));
        }
    }
    ValueArray items = args[0].asArray();
    if (keys.empty()) {
        items = stableSorted(std::move(items), [caseSensitive](const Value& a, const Value& b) {
            return orderValues(a, b, caseSensitive);
        });
    } else {
        // One stable pass per key, from the last key back to the first.
        for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
            const std::string& name = *key;
            items = stableSorted(std::move(items), [&name, caseSensitive](const Value& a, const Value& b) {
                return orderValues(attributeLookup(a, name), attributeLookup(b, name), caseSensitive);
            });
        }
    }
    if (reversed) std::reverse(items.begin(), items.end());
    return Value(std::move(items));
}

Value slice(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"numSlices", "fillWith"}, {{"fillWith", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& numSlices = boundArgument(bound, "numSlices");
    if (!numSlices.isInt() || numSlices.asInt() <= 0) {
        throw JinjaError::runtime("slice filter requires positive integer numSlices parameter");
    }
    const Value& fillWith = boundArgument(bound, "fillWith");
    const auto& items = args[0].asArray();
    if (static_cast<uint64_t>(numSlices.asInt()) > limits::maxArrayCount) {
        limits::ensureArraySize(limits::maxArrayCount + 1);
    }
    size_t slices = static_cast<size_t>(numSlices.asInt());
    size_t n = items.size();
    size_t rows = (n + slices - 1) / slices;
    limits::ensureArraySize(rows * slices);
    std::vector<ValueArray> result(slices);
    for (size_t r = 0; r < rows; ++r) {
        for (size_t j = 0; j < slices; ++j) {
            size_t index = r * slices + j;
            result[j].push_back(index < n ? items[index] : fillWith);
        }
    }
    ValueArray values;
    values.reserve(slices);
    for (auto& slice : result) values.emplace_back(std::move(slice));
    return Value(std::move(values));
}

Value list(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(ValueArray{});
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isObject()) {
        ValueArray values;
        values.reserve(input.asObject().size());
        for (const auto& entry : input.asObject()) values.push_back(entry.second);
        return Value(std::move(values));
    }
    if (input.isArray()) return input;
    if (input.isString()) {
        // Check the count before one string per Character is made.
        const std::string& s = input.asString();
        if (s.size() > limits::maxArrayCount) limits::ensureArraySize(text::characterCount(s));
        return stringValues(text::characters(s));
    }
    return Value(ValueArray{});
}

namespace {
Value extreme(const Args& args, const KeywordArguments& kwargs, bool wantMax) {
    if (args.empty() || !args[0].isArray()) return Value::undefined();
    static const ParameterList parameters({"case_sensitive", "attribute"},
                                          {{"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");
    const auto& items = args[0].asArray();
    if (items.empty()) return Value::undefined();
    size_t best = 0;
    for (size_t i = 1; i < items.size(); ++i) {
        if (attribute.isString()) {
            Value bestValue = attributeLookup(items[best], attribute.asString());
            Value itemValue = attributeLookup(items[i], attribute.asString());
            int order = wantMax ? orderValues(bestValue, itemValue, caseSensitive)
                                : orderValues(itemValue, bestValue, caseSensitive);
            if (order == -1) best = i;
        } else {
            try {
                int order = wantMax ? orderValues(items[best], items[i], caseSensitive)
                                    : orderValues(items[i], items[best], caseSensitive);
                if (order == -1) best = i;
            } catch (const JinjaError&) {
                // A pair without an order is passed over.
            }
        }
    }
    return items[best];
}
}  // namespace

Value max(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) { return extreme(args, kwargs, true); }

Value min(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    return extreme(args, kwargs, false);
}

Value batch(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"batchSize", "fillWith"}, {{"fillWith", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& batchSize = boundArgument(bound, "batchSize");
    if (!batchSize.isInt() || batchSize.asInt() <= 0) {
        throw JinjaError::runtime("batch filter requires positive integer batchSize parameter");
    }
    const Value& fillWith = boundArgument(bound, "fillWith");
    const auto& items = args[0].asArray();
    uint64_t size = static_cast<uint64_t>(batchSize.asInt());
    // Only a padded last batch can be larger than the input.
    if (!items.empty() && items.size() % size != 0 && size > limits::maxArrayCount) {
        limits::ensureArraySize(limits::maxArrayCount + 1);
    }
    ValueArray result;
    ValueArray current;
    for (const auto& item : items) {
        current.push_back(item);
        if (current.size() == size) {
            result.emplace_back(std::move(current));
            current = ValueArray{};
        }
    }
    if (!current.empty()) {
        while (current.size() < size) current.push_back(fillWith);
        result.emplace_back(std::move(current));
    }
    return Value(std::move(result));
}

Value sum(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(0);
    static const ParameterList parameters({"attribute", "start"}, {{"attribute", Value::null()}, {"start", Value(0)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& attribute = boundArgument(bound, "attribute");
    const auto& items = args[0].asArray();
    ValueArray looked;
    const ValueArray* values = &items;
    if (attribute.isString()) {
        looked.reserve(items.size());
        for (const auto& item : items) looked.push_back(attributeLookup(item, attribute.asString()));
        values = &looked;
    }
    Value total = boundArgument(bound, "start");
    for (const auto& value : *values) total = total.add(value);
    return total;
}

Value unique(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"case_sensitive", "attribute"},
                                          {{"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");
    std::unordered_set<Value, ValueHash> seen;
    ValueArray kept;
    for (const auto& item : args[0].asArray()) {
        Value key = attributeValue(item, attribute);
        if (key.isString() && !caseSensitive) key = Value(text::lowercased(key.asString()));
        if (seen.insert(std::move(key)).second) kept.push_back(item);
    }
    return Value(std::move(kept));
}

// MARK: - Mapping and attribute filters

Value default_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters({"default_value", "boolean"}, {{"boolean", Value(false)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    Value input = args.empty() ? Value::undefined() : args[0];
    if (input.isUndefined()) return boundArgument(bound, "default_value");
    if (boundArgument(bound, "boolean").isTruthy() && input.isBoolean() && !input.asBool()) {
        return boundArgument(bound, "default_value");
    }
    return input;
}

Value groupby(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"attribute", "default", "case_sensitive"},
        {{"default", Value::null()}, {"case_sensitive", Value(false)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
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
    for (const auto& item : args[0].asArray()) {
        Value key = attributeLookup(item, attribute.asString());
        if (key.isUndefined()) key = fallback;
        Value normalized = key.isString() && !caseSensitive ? Value(text::lowercased(key.asString())) : key;
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
            return stringOrder(text::lowercased(x.asString()), text::lowercased(y.asString()));
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

Value map(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"filterName", "attribute", "default"},
        {{"filterName", Value::null()}, {"attribute", Value::null()}, {"default", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& filterName = boundArgument(bound, "filterName");
    const auto& items = args[0].asArray();
    ValueArray result;
    result.reserve(items.size());
    if (filterName.isString()) {
        const std::string& name = filterName.asString();
        for (const auto& item : items) {
            Value scoped = env ? env->lookup(name) : Value::undefined();
            if (scoped.isFunction()) {
                result.push_back(scoped.asFunction()(Args{item}, KeywordArguments(), env));
                continue;
            }
            auto it = builtIn().find(name);
            if (it == builtIn().end()) throw JinjaError::runtime("Unknown filter: " + name);
            result.push_back(it->second(Args{item}, KeywordArguments(), env));
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
Value selectOrReject(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env, bool keepWhen) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"testname"}, {{"testname", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& testName = boundArgument(bound, "testname");
    ValueArray kept;
    for (const auto& item : args[0].asArray()) {
        bool outcome;
        if (testName.isString()) {
            Args testArguments{item};
            for (size_t i = 2; i < args.size(); ++i) testArguments.push_back(args[i]);
            outcome = runTest(testName.asString(), testArguments, env);
        } else {
            outcome = item.isTruthy();
        }
        if (outcome == keepWhen) kept.push_back(item);
    }
    return Value(std::move(kept));
}

Value selectOrRejectAttribute(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env,
                              bool keepWhen, const char* attributeMessage) {
    if (args.empty() || !args[0].isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"attribute", "testname"}, {{"testname", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& attribute = boundArgument(bound, "attribute");
    if (!attribute.isString()) throw JinjaError::runtime(attributeMessage);
    const Value& testName = boundArgument(bound, "testname");
    ValueArray kept;
    for (const auto& item : args[0].asArray()) {
        Value value = attributeLookup(item, attribute.asString());
        bool outcome;
        if (testName.isString()) {
            Args testArguments{value};
            for (size_t i = 3; i < args.size(); ++i) testArguments.push_back(args[i]);
            outcome = runTest(testName.asString(), testArguments, env);
        } else {
            outcome = value.isTruthy();
        }
        if (outcome == keepWhen) kept.push_back(item);
    }
    return Value(std::move(kept));
}
}  // namespace

Value select(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return selectOrReject(args, kwargs, env, true);
}

Value reject(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return selectOrReject(args, kwargs, env, false);
}

Value selectattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return selectOrRejectAttribute(args, kwargs, env, true, "selectattr filter requires attribute parameter");
}

Value rejectattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return selectOrRejectAttribute(args, kwargs, env, false, "rejectattr filter requires attribute parameter");
}

Value attr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value::undefined();
    static const ParameterList parameters({"attribute"});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& attribute = boundArgument(bound, "attribute");
    if (!attribute.isString()) throw JinjaError::runtime("attr filter requires attribute parameter");
    const Value& input = args[0];
    // Strings and objects have members; every other input gives undefined.
    return PropertyMembers::evaluate(input, attribute.asString());
}

Value dictsort(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isObject()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"case_sensitive", "by", "reverse"},
        {{"case_sensitive", Value(false)}, {"by", Value("key")}, {"reverse", Value(false)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
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
    for (const auto& [key, value] : args[0].asObject()) {
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

Value items(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(ValueArray{});
    bindAfterInput(noParameters(), args, kwargs);
    if (!args[0].isObject()) return Value(ValueArray{});
    ValueArray pairs;
    pairs.reserve(args[0].asObject().size());
    for (const auto& [key, value] : args[0].asObject()) pairs.emplace_back(ValueArray{Value(key), value});
    return Value(std::move(pairs));
}

// MARK: - String filters

Value upper(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) throw JinjaError::runtime("upper filter requires string");
    bindAfterInput(noParameters(), args, kwargs);
    return Value(text::uppercased(args[0].asString()));
}

Value lower(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) throw JinjaError::runtime("lower filter requires string");
    bindAfterInput(noParameters(), args, kwargs);
    return Value(text::lowercased(args[0].asString()));
}

Value capitalize(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    const std::string& input = args[0].asString();
    if (input.empty()) return Value("");
    auto bounds = boundariesOf(input);
    return Value(text::uppercased(input.substr(0, bounds[1])) + text::lowercased(input.substr(bounds[1])));
}

Value title(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    return Value(capitalizedWords(args[0].asString()));
}

Value trim(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    static const ParameterList parameters({"chars"}, {{"chars", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& chars = boundArgument(bound, "chars");
    const std::string& input = args[0].asString();
    if (!chars.isString() || chars.asString().empty()) return Value(text::trimmingWhitespaceAndNewlines(input));
    std::u32string set = text::toScalars(chars.asString());
    std::u32string scalars = text::toScalars(input);
    size_t start = 0;
    size_t end = scalars.size();
    while (start < end && set.find(scalars[start]) != std::u32string::npos) ++start;
    while (end > start && set.find(scalars[end - 1]) != std::u32string::npos) --end;
    return Value(text::fromScalars(std::u32string_view(scalars).substr(start, end - start)));
}

Value replace(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    if (!args[0].isString()) return args[0];
    static const ParameterList parameters({"old", "new", "count"}, {{"count", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& old = boundArgument(bound, "old");
    const Value& replacement = boundArgument(bound, "new");
    if (!old.isString() || !replacement.isString()) {
        throw JinjaError::runtime("replace() requires 'old' and 'new' string arguments.");
    }
    const Value& count = boundArgument(bound, "count");
    std::optional<int64_t> limit;
    if (count.isInt()) limit = count.asInt();
    const std::string& input = args[0].asString();
    if (old.asString().empty()) {
        return Value(insertingAtCharacterBoundaries(input, replacement.asString(), limit));
    }
    std::string result;
    size_t position = 0;
    int64_t made = 0;
    while (!limit || made < *limit) {
        size_t found = input.find(old.asString(), position);
        if (found == std::string::npos) break;
        result.append(input, position, found - position);
        result += replacement.asString();
        limits::ensureStringSize(result.size());
        position = found + old.asString().size();
        ++made;
    }
    result.append(input, position, std::string::npos);
    return Value(std::move(result));
}

Value indent(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    static const ParameterList parameters(
        {"width", "first", "blank"}, {{"width", Value(4)}, {"first", Value(false)}, {"blank", Value(false)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& width = boundArgument(bound, "width");
    bool indentFirst = boundArgument(bound, "first").isTruthy();
    bool blank = boundArgument(bound, "blank").isTruthy();
    std::string indentation = "    ";
    if (width.isInt()) {
        if (width.asInt() < 0) throw JinjaError::runtime("indent filter requires a non-negative width");
        limits::ensureStringSize(static_cast<uint64_t>(width.asInt()) > limits::maxStringBytes
                                     ? limits::maxStringBytes + 1
                                     : static_cast<size_t>(width.asInt()));
        indentation = std::string(static_cast<size_t>(width.asInt()), ' ');
    } else if (width.isString()) {
        indentation = width.asString();
    }
    // Lines end at a line feed that is a Character of its own (CR LF is one Character, not a line feed).
    const std::string& input = args[0].asString();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\n' && !(i > 0 && input[i - 1] == '\r')) {
            lines.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    lines.push_back(input.substr(start));
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) result += '\n';
        bool indentLine = i == 0 ? indentFirst && (!lines[i].empty() || blank) : (!lines[i].empty() || blank);
        if (indentLine) result += indentation;
        result += lines[i];
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

Value center(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    if (!args[0].isString()) return args[0];
    static const ParameterList parameters({"width"});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& width = boundArgument(bound, "width");
    if (!width.isInt()) throw JinjaError::runtime("center filter requires width parameter");
    const std::string& input = args[0].asString();
    int64_t count = static_cast<int64_t>(text::characterCount(input));
    if (width.asInt() <= count) return args[0];
    uint64_t spare = static_cast<uint64_t>(width.asInt()) - static_cast<uint64_t>(count);
    if (spare > limits::maxStringBytes) limits::ensureStringSize(limits::maxStringBytes + 1);
    limits::ensureStringSize(input.size() + static_cast<size_t>(spare));
    size_t left = static_cast<size_t>(spare / 2);
    size_t right = static_cast<size_t>(spare) - left;
    return Value(std::string(left, ' ') + input + std::string(right, ' '));
}

Value wordwrap(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    static const ParameterList parameters(
        {"width", "break_long_words", "wrapstring", "break_on_hyphens"},
        {{"width", Value(79)}, {"break_long_words", Value(true)}, {"wrapstring", Value::null()},
         {"break_on_hyphens", Value(true)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& widthValue = boundArgument(bound, "width");
    int64_t width = widthValue.isInt() ? widthValue.asInt() : 79;
    // A width below one cannot hold any piece of a word: chunking would never make progress.
    if (width < 1) throw JinjaError::runtime("wordwrap filter requires a positive width");
    const Value& wrapValue = boundArgument(bound, "wrapstring");
    std::string wrapString = wrapValue.isString() ? wrapValue.asString() : "\n";
    bool breakLongWords = boundArgument(bound, "break_long_words").isTruthy();
    bool breakOnHyphens = boundArgument(bound, "break_on_hyphens").isTruthy();
    size_t limit = static_cast<size_t>(width);

    std::vector<std::string> lines;
    std::string current;
    size_t currentLength = 0;
    auto flushLine = [&] {
        if (current.empty()) return;
        lines.push_back(std::move(current));
        current.clear();
        currentLength = 0;
    };
    auto splitToken = [&](const std::string& word) {
        std::vector<std::string> pieces;
        if (!breakLongWords || text::characterCount(word) <= limit) {
            pieces.push_back(word);
            return pieces;
        }
        std::vector<std::string> parts;
        if (breakOnHyphens && word.find('-') != std::string::npos) {
            parts = text::split(word, "-");
            for (size_t i = 0; i + 1 < parts.size(); ++i) parts[i] += '-';
        } else {
            parts.push_back(word);
        }
        for (const auto& part : parts) {
            auto characters = text::characters(part);
            if (characters.size() <= limit) {
                pieces.push_back(part);
                continue;
            }
            for (size_t i = 0; i < characters.size(); i += limit) {
                std::string chunk;
                for (size_t j = i; j < std::min(i + limit, characters.size()); ++j) chunk += characters[j];
                pieces.push_back(std::move(chunk));
            }
        }
        return pieces;
    };

    for (const auto& paragraph : splitAtScalars(args[0].asString(), isNewlineScalar)) {
        current.clear();
        currentLength = 0;
        for (const auto& word : splitAtScalars(paragraph, isSpaceOrTab)) {
            if (word.empty()) continue;
            for (auto& piece : splitToken(word)) {
                size_t pieceLength = text::characterCount(piece);
                if (current.empty()) {
                    current = std::move(piece);
                    currentLength = pieceLength;
                } else if (currentLength + 1 + pieceLength <= limit) {
                    current += ' ';
                    current += piece;
                    currentLength += 1 + pieceLength;
                } else {
                    flushLine();
                    current = std::move(piece);
                    currentLength = pieceLength;
                }
            }
        }
        flushLine();
    }
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) result += wrapString;
        result += lines[i];
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

Value wordcount(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value(0);
    bindAfterInput(noParameters(), args, kwargs);
    int64_t count = 0;
    bool inWord = false;
    for (std::string_view character : characterViews(args[0].asString())) {
        bool space = isCharacterWhitespace(character);
        if (!space && !inWord) ++count;
        inWord = !space;
    }
    return Value(count);
}

Value truncate(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    static const ParameterList parameters(
        {"length", "killwords", "end", "leeway"},
        {{"length", Value(255)}, {"killwords", Value(false)}, {"end", Value("...")}, {"leeway", Value(5)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& lengthValue = boundArgument(bound, "length");
    const Value& leewayValue = boundArgument(bound, "leeway");
    const Value& endValue = boundArgument(bound, "end");
    int64_t length = lengthValue.isInt() ? lengthValue.asInt() : 255;
    int64_t leeway = leewayValue.isInt() ? std::max<int64_t>(leewayValue.asInt(), 0) : 5;
    std::string ending = endValue.isString() ? endValue.asString() : "...";
    bool killwords = boundArgument(bound, "killwords").isTruthy();

    const std::string& input = args[0].asString();
    auto characters = characterViews(input);
    int64_t count = static_cast<int64_t>(characters.size());
    int64_t allowed = 0;
    if (__builtin_add_overflow(length, leeway, &allowed)) allowed = INT64_MAX;
    if (count <= allowed) return args[0];
    if (length < 0) throw JinjaError::runtime("truncate filter requires a non-negative length");
    size_t kept = static_cast<size_t>(length);
    if (!killwords) {
        for (size_t i = kept; i > 0; --i) {
            if (isCharacterWhitespace(characters[i - 1])) {
                kept = i - 1;
                break;
            }
        }
    }
    std::string result;
    for (size_t i = 0; i < kept; ++i) result.append(characters[i]);
    return Value(result + ending);
}

Value format(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    if (args.size() == 1 || !args[0].isString()) return args[0];
    bindAfterInput(noParameters(), args, kwargs);
    auto characters = characterViews(args[0].asString());
    size_t next = 1;
    std::string result;
    for (size_t i = 0; i < characters.size(); ++i) {
        std::string_view character = characters[i];
        if (character != "%" || next >= args.size()) {
            result.append(character);
            continue;
        }
        if (i + 1 >= characters.size()) {
            result.append(character);
            break;
        }
        if (characters[i + 1] == "s") {
            result += args[next++].description();
            limits::ensureStringSize(result.size());
        } else {
            result.append(character);
            result.append(characters[i + 1]);
        }
        ++i;
    }
    return Value(std::move(result));
}

Value string(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    return Value(args[0].description());
}

// MARK: - Markup and URL filters

Value forceescape(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    return Value(htmlEscaped(args[0].asString()));
}

Value escape(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    bindAfterInput(noParameters(), args, kwargs);
    return forceescape(args, kwargs, env);
}

Value safe(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    bindAfterInput(noParameters(), args, kwargs);
    if (args.empty()) return Value("");
    return args[0];
}

Value striptags(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    static const text::Regex tags("<[^>]+>");
    std::string stripped = tags.replacingMatches(args[0].asString(), "");
    std::string result;
    for (const auto& piece : splitAtScalars(stripped, isSeparatorOrNewline)) {
        if (piece.empty()) continue;
        if (!result.empty()) result += ' ';
        result += piece;
    }
    return Value(std::move(result));
}

Value xmlattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isObject()) return Value("");
    static const ParameterList parameters({"autospace"}, {{"autospace", Value(true)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    std::string result;
    for (const auto& [key, value] : args[0].asObject()) {
        if (value.isNull() || value.isUndefined()) continue;
        if (key.find_first_of(" />=") != std::string::npos) {
            throw JinjaError::runtime("Invalid character in XML attribute key: '" + key + "'");
        }
        if (!result.empty()) result += ' ';
        result += key + "=\"" + attributeEscaped(value.description()) + "\"";
    }
    if (boundArgument(bound, "autospace").isTruthy() && !result.empty()) result = " " + result;
    return Value(std::move(result));
}

Value urlencode(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isObject()) {
        std::string result;
        for (const auto& [key, value] : input.asObject()) {
            if (!result.empty()) result += '&';
            result += percentEncoded(key, isQueryItemAllowed);
            result += '=';
            result += percentEncoded(value.description(), isQueryItemAllowed);
        }
        return Value(std::move(result));
    }
    if (input.isString()) return Value(percentEncoded(input.asString(), isQueryAllowed));
    return Value("");
}

Value urlize(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty() || !args[0].isString()) return Value("");
    static const ParameterList parameters(
        {"trim_url_limit", "nofollow", "target", "rel", "extra_schemes"},
        {{"trim_url_limit", Value::null()}, {"nofollow", Value(false)}, {"target", Value::null()},
         {"rel", Value::null()}, {"extra_schemes", Value::null()}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& limitValue = boundArgument(bound, "trim_url_limit");
    std::optional<size_t> limit;
    // A negative limit shows nothing of the address but the ellipsis.
    if (limitValue.isInt()) limit = static_cast<size_t>(std::max<int64_t>(limitValue.asInt(), 0));
    bool nofollow = boundArgument(bound, "nofollow").isTruthy();
    const Value& target = boundArgument(bound, "target");
    const Value& rel = boundArgument(bound, "rel");
    std::vector<std::string> schemes = {"http", "https", "mailto"};
    const Value& extra = boundArgument(bound, "extra_schemes");
    if (extra.isArray()) {
        for (const auto& scheme : extra.asArray()) {
            if (scheme.isString()) schemes.push_back(text::lowercased(scheme.asString()));
        }
    }
    auto buildAttributes = [&] {
        std::string attributes;
        if (nofollow) attributes += " rel=\"nofollow\"";
        if (target.isString()) attributes += " target=\"" + htmlEscaped(target.asString()) + "\"";
        if (rel.isString()) attributes += " rel=\"" + htmlEscaped(rel.asString()) + "\"";
        return attributes;
    };
    auto isLeading = [](char32_t c) { return c == '(' || c == '['; };
    auto isTrailing = [](char32_t c) {
        return c == '.' || c == ',' || c == ':' || c == ';' || c == '!' || c == '?' || c == ')' || c == '"' ||
               c == ']';
    };

    static const text::Regex runs("\\S+");
    const std::string& input = args[0].asString();
    std::string result;
    size_t copied = 0;
    for (const auto& match : runs.allMatches(input)) {
        result.append(input, copied, match.range.location - copied);
        copied = match.range.location + match.range.length;
        std::string run = input.substr(match.range.location, match.range.length);

        std::string word = run;
        std::string lead;
        std::string trail;
        while (!word.empty()) {
            std::u32string scalars = text::toScalars(word);
            if (!isLeading(scalars.front())) break;
            lead += text::fromScalar(scalars.front());
            auto bounds = boundariesOf(word);
            word = word.substr(bounds[1]);
        }
        while (!word.empty()) {
            std::u32string scalars = text::toScalars(word);
            if (!isTrailing(scalars.back())) break;
            trail = text::fromScalar(scalars.back()) + trail;
            auto bounds = boundariesOf(word);
            word = word.substr(0, bounds[bounds.size() - 2]);
        }
        if (word.empty()) {
            result += run;
            continue;
        }
        std::string lower = text::lowercased(word);
        bool hasAt = word.find('@') != std::string::npos;
        std::optional<std::string> href;
        if (text::hasPrefix(lower, "http://") || text::hasPrefix(lower, "https://")) {
            href = word;
        } else if (text::hasPrefix(lower, "www.")) {
            href = hasAt ? "mailto:" + word : "https://" + word;
        } else if (text::hasPrefix(lower, "mailto:")) {
            href = word;
        } else if (hasAt) {
            href = "mailto:" + word;
        } else if (word.find(':') != std::string::npos) {
            for (const auto& piece : text::split(lower, ":")) {
                if (piece.empty()) continue;
                if (std::find(schemes.begin(), schemes.end(), piece) != schemes.end()) href = word;
                break;
            }
        }
        if (!href) {
            result += run;
            continue;
        }
        std::string linkText = word;
        if (limit) {
            auto characters = text::characters(word);
            if (characters.size() > *limit) {
                linkText.clear();
                for (size_t i = 0; i < *limit; ++i) linkText += characters[i];
                linkText += "...";
            }
        }
        result += lead;
        result += "<a href=\"" + htmlEscaped(*href) + "\"" + buildAttributes() + ">" + htmlEscaped(linkText) + "</a>";
        result += trail;
        limits::ensureStringSize(result.size());
    }
    result.append(input, copied, std::string::npos);
    return Value(std::move(result));
}

Value filesizeformat(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    static const ParameterList parameters({"binary"}, {{"binary", Value(false)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& input = args[0];
    if (!input.isNumber()) return Value("");
    double size = input.asDouble();
    if (!std::isfinite(size)) throw JinjaError::runtime("filesizeformat filter requires a finite size");
    bool binary = boundArgument(bound, "binary").isTruthy();
    double base = binary ? 1024.0 : 1000.0;
    if (size < base) return Value(std::to_string(checkedIntFromDouble(size)) + " Bytes");
    double exponent = std::log(size) / std::log(base);
    int index = exponent >= 8.0 ? 8 : std::max(1, static_cast<int>(exponent));
    double number = size / std::pow(base, index);
    const char* units = binary ? "KMGTPEZY" : "kMGTPEZY";
    return Value(foundation::format("%.1f", number) + " " + units[index - 1] + (binary ? "iB" : "B"));
}

// MARK: - Conversion and serialisation filters

Value abs(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(0);
    bindAfterInput(noParameters(), args, kwargs);
    const Value& input = args[0];
    if (input.isInt()) return Value(input.asInt() < 0 ? checkedNegate(input.asInt()) : input.asInt());
    if (input.isDouble()) return Value(std::fabs(input.asDouble()));
    throw JinjaError::runtime("abs filter requires number or integer");
}

namespace {
// The whole text read as a double in the C locale; leading or trailing white space fails.
std::optional<double> parseWholeDouble(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char c = s.front();
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') return std::nullopt;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char* end = nullptr;
    double value = strtod_l(s.c_str(), &end, cLocale);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return value;
}

// An optional sign, then one or more digits of `base` and nothing else, within 64 bits.
std::optional<int64_t> parseInteger(std::string_view s, int base) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    // Accumulate as a negative number so the smallest int64 is reachable.
    int64_t value = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'z') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'Z') digit = c - 'A' + 10;
        else return std::nullopt;
        if (digit >= base) return std::nullopt;
        if (__builtin_mul_overflow(value, static_cast<int64_t>(base), &value)) return std::nullopt;
        if (__builtin_sub_overflow(value, static_cast<int64_t>(digit), &value)) return std::nullopt;
    }
    if (negative) return value;
    if (value == INT64_MIN) return std::nullopt;
    return -value;
}

std::optional<int64_t> parseIntegerText(const std::string& input, int64_t base) {
    std::string t = text::trimmingWhitespaceAndNewlines(input);
    if (t.size() >= 2 && t[0] == '0') {
        char marker = t[1];
        int prefixBase = 0;
        if (marker == 'b' || marker == 'B') prefixBase = 2;
        if (marker == 'o' || marker == 'O') prefixBase = 8;
        if (marker == 'x' || marker == 'X') prefixBase = 16;
        if (prefixBase != 0) return parseInteger(std::string_view(t).substr(2), prefixBase);
    }
    if (base >= 2 && base <= 36 && base != 10 && !t.empty()) {
        if (auto value = parseInteger(t, static_cast<int>(base))) return value;
    }
    return parseInteger(t, 10);
}

void appendPrettyPrinted(std::string& out, const Value& value, size_t depth) {
    std::string prefix(depth * 2, ' ');
    if (value.isString()) {
        out += '"';
        out += value.asString();
        out += '"';
    } else if (value.isArray()) {
        const auto& items = value.asArray();
        if (items.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        for (size_t i = 0; i < items.size(); ++i) {
            if (i > 0) out += ",\n";
            out += prefix + "  ";
            appendPrettyPrinted(out, items[i], depth + 1);
        }
        out += "\n" + prefix + "]";
    } else if (value.isObject()) {
        const auto& entries = value.asObject();
        if (entries.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, entry] : entries) {
            if (!first) out += ",\n";
            first = false;
            out += prefix + "  \"" + key + "\": ";
            appendPrettyPrinted(out, entry, depth + 1);
        }
        out += "\n" + prefix + "}";
    } else {
        out += value.description();
    }
    limits::ensureStringSize(out.size());
}

// Every UTF-16 code unit at or above 128 written as \uXXXX with lower-case hexadecimal digits.
std::string escapeNonASCII(std::string_view json) {
    static const char* hex = "0123456789abcdef";
    std::string result;
    result.reserve(json.size());
    for (char16_t unit : text::toUTF16(json)) {
        if (unit < 128) {
            result += static_cast<char>(unit);
        } else {
            result += "\\u";
            result += hex[(unit >> 12) & 0xF];
            result += hex[(unit >> 8) & 0xF];
            result += hex[(unit >> 4) & 0xF];
            result += hex[unit & 0xF];
        }
        if (result.size() > limits::maxStringBytes) limits::ensureStringSize(result.size());
    }
    return result;
}
}  // namespace

Value float_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(0.0);
    static const ParameterList parameters({"default"}, {{"default", Value(0.0)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& input = args[0];
    if (input.isInt()) return Value(static_cast<double>(input.asInt()));
    if (input.isDouble()) return input;
    if (input.isString()) {
        if (auto value = parseWholeDouble(input.asString())) return Value(*value);
    }
    return boundArgument(bound, "default");
}

Value int_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(0);
    ParameterList parameters({"default", "base"}, {{"default", Value(0)}, {"base", Value(10)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& baseValue = boundArgument(bound, "base");
    int64_t base = baseValue.isInt() ? baseValue.asInt() : 10;
    const Value& input = args[0];
    if (input.isInt()) return input;
    if (input.isDouble()) return Value(checkedIntFromDouble(input.asDouble()));
    if (input.isString()) {
        if (auto value = parseIntegerText(input.asString(), base)) return Value(*value);
    }
    return boundArgument(bound, "default");
}

Value round(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value(0.0);
    static const ParameterList parameters({"precision", "method"},
                                          {{"precision", Value(0)}, {"method", Value("common")}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& input = args[0];
    if (!input.isNumber()) return input;
    double d = input.asDouble();
    const Value& precisionValue = boundArgument(bound, "precision");
    const Value& methodValue = boundArgument(bound, "method");
    double precision = precisionValue.isInt() ? static_cast<double>(precisionValue.asInt()) : 0.0;
    std::string method = methodValue.isString() ? methodValue.asString() : "common";
    double factor = std::pow(10.0, precision);
    if (method == "common") return Value(std::round(d * factor) / factor);
    if (method == "ceil") return Value(std::ceil(d * factor) / factor);
    if (method == "floor") return Value(std::floor(d * factor) / factor);
    return Value(d);
}

Value tojson(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("null");
    static const ParameterList parameters({"indent", "ensure_ascii"},
                                          {{"indent", Value::null()}, {"ensure_ascii", Value(true)}});
    auto bound = bindAfterInput(parameters, args, kwargs);
    const Value& indentValue = boundArgument(bound, "indent");
    foundation::JSONWriter::Options options;
    options.pretty = indentValue.isInt() && indentValue.asInt() >= 1;
    std::string json;
    try {
        foundation::JSONWriter writer(options);
        args[0].encode(writer);
        json = writer.str();
    } catch (const foundation::Error&) {
        // A function value or a non-finite number anywhere makes the whole result null.
        json = "null";
    }
    if (!text::isValidUTF8(json)) json = "null";
    if (boundArgument(bound, "ensure_ascii").isTruthy()) json = escapeNonASCII(json);
    return Value(std::move(json));
}

Value pprint(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    if (args.empty()) return Value("");
    bindAfterInput(noParameters(), args, kwargs);
    std::string out;
    appendPrettyPrinted(out, args[0], 0);
    return Value(std::move(out));
}

// MARK: - The table

const std::unordered_map<std::string, BuiltinFunction>& builtIn() {
    static const std::unordered_map<std::string, BuiltinFunction> table = {
        {"upper", upper},
        {"lower", lower},
        {"length", length},
        {"count", length},
        {"join", join},
        {"default", default_},
        {"d", default_},
        {"first", first},
        {"last", last},
        {"random", random},
        {"reverse", reverse},
        {"sort", sort},
        {"groupby", groupby},
        {"slice", slice},
        {"map", map},
        {"select", select},
        {"reject", reject},
        {"selectattr", selectattr},
        {"rejectattr", rejectattr},
        {"attr", attr},
        {"dictsort", dictsort},
        {"forceescape", forceescape},
        {"safe", safe},
        {"striptags", striptags},
        {"format", format},
        {"wordwrap", wordwrap},
        {"filesizeformat", filesizeformat},
        {"xmlattr", xmlattr},
        {"string", string},
        {"trim", trim},
        {"escape", escape},
        {"e", escape},
        {"tojson", tojson},
        {"abs", abs},
        {"capitalize", capitalize},
        {"center", center},
        {"float", float_},
        {"int", int_},
        {"list", list},
        {"max", max},
        {"min", min},
        {"round", round},
        {"title", title},
        {"wordcount", wordcount},
        {"replace", replace},
        {"urlencode", urlencode},
        {"batch", batch},
        {"sum", sum},
        {"truncate", truncate},
        {"unique", unique},
        {"indent", indent},
        {"items", items},
        {"pprint", pprint},
        {"urlize", urlize},
    };
    return table;
}

}  // namespace jinja::Filters

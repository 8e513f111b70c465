// Sequence filters: length (count), first, last, random, reverse, sort, slice, batch, join, list, unique,
// max, min and sum.
#include <algorithm>
#include <unordered_set>

#include "Jinja/Error.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

namespace {

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
        Value lowerA(fastText::lowercased(a.asString()));
        Value lowerB(fastText::lowercased(b.asString()));
        int result = lowerA.compare(lowerB);
        return result < 0 ? -1 : (result == 0 ? 0 : 1);
    }
    return a.compare(b);
}

// The value printed or compared for an item under join's and unique's attribute rules.
Value attributeValue(const Value& item, const Value& attribute) {
    if (attribute.isNull()) return item;
    if (attribute.isString()) return attributeLookup(item, attribute.asString());
    if (attribute.isInt()) return integerAttributeLookup(item, attribute.asInt());
    return Value::undefined();
}

}  // namespace

Value calls::length(const FilterCall& call) {
    call.bind(noParameters());
    static const char* message = "length filter requires string, array, or object";
    if (!call.input) throw JinjaError::runtime(message);
    const Value& input = *call.input;
    if (input.isString()) return Value(static_cast<int64_t>(fastText::characterCount(input.asString())));
    if (input.isArray()) return Value(static_cast<int64_t>(input.asArray().size()));
    if (input.isObject()) return Value(static_cast<int64_t>(input.asObject().size()));
    if (input.isUndefined()) return Value(0);
    throw JinjaError::runtime(message);
}

Value calls::join(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) throw JinjaError::runtime("join filter requires array");
    static const ParameterList parameters({"separator", "attribute"},
                                          {{"separator", Value("")}, {"attribute", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& separator = boundArgument(bound, "separator");
    if (!separator.isString()) throw JinjaError::runtime("join filter requires string separator");
    const Value& attribute = boundArgument(bound, "attribute");
    std::string result;
    bool first = true;
    for (const auto& item : call.input->asArray()) {
        if (!first) result += separator.asString();
        first = false;
        result += attributeValue(item, attribute).description();
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

namespace {
// first and last: the Character or item at one end, undefined when there is none.
Value endOf(const FilterCall& call, bool last, const char* filterName) {
    if (!call.input) return Value::undefined();
    call.bind(noParameters());
    const Value& input = *call.input;
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

Value calls::first(const FilterCall& call) {
    return endOf(call, false, "first");
}

Value calls::last(const FilterCall& call) {
    return endOf(call, true, "last");
}

Value calls::random(const FilterCall& call) {
    if (!call.input) return Value::undefined();
    call.bind(noParameters());
    const Value& input = *call.input;
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

Value calls::reverse(const FilterCall& call) {
    if (!call.input) return Value::undefined();
    call.bind(noParameters());
    const Value& input = *call.input;
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

Value calls::sort(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters(
        {"reverse", "case_sensitive", "attribute"},
        {{"reverse", Value(false)}, {"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = call.bind(parameters);
    bool reversed = boundArgument(bound, "reverse").isTruthy();
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");

    std::vector<std::string> keys;
    if (attribute.isString()) {
        for (const auto& piece : text::split(attribute.asString(), ",")) {
            std::string key = fastText::trimmed(piece);
            if (!key.empty()) keys.push_back(std::move(key));
        }
    }
    ValueArray items = call.input->asArray();
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

Value calls::slice(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"numSlices", "fillWith"}, {{"fillWith", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& numSlices = boundArgument(bound, "numSlices");
    if (!numSlices.isInt() || numSlices.asInt() <= 0) {
        throw JinjaError::runtime("slice filter requires positive integer numSlices parameter");
    }
    const Value& fillWith = boundArgument(bound, "fillWith");
    const auto& items = call.input->asArray();
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

Value calls::list(const FilterCall& call) {
    if (!call.input) return Value(ValueArray{});
    call.bind(noParameters());
    const Value& input = *call.input;
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
Value extreme(const FilterCall& call, bool wantMax) {
    if (!call.input || !call.input->isArray()) return Value::undefined();
    static const ParameterList parameters({"case_sensitive", "attribute"},
                                          {{"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = call.bind(parameters);
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");
    const auto& items = call.input->asArray();
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

Value calls::max(const FilterCall& call) { return extreme(call, true); }

Value calls::min(const FilterCall& call) {
    return extreme(call, false);
}

Value calls::batch(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"batchSize", "fillWith"}, {{"fillWith", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& batchSize = boundArgument(bound, "batchSize");
    if (!batchSize.isInt() || batchSize.asInt() <= 0) {
        throw JinjaError::runtime("batch filter requires positive integer batchSize parameter");
    }
    const Value& fillWith = boundArgument(bound, "fillWith");
    const auto& items = call.input->asArray();
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

Value calls::sum(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(0);
    static const ParameterList parameters({"attribute", "start"}, {{"attribute", Value::null()}, {"start", Value(0)}});
    auto bound = call.bind(parameters);
    const Value& attribute = boundArgument(bound, "attribute");
    const auto& items = call.input->asArray();
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

Value calls::unique(const FilterCall& call) {
    if (!call.input || !call.input->isArray()) return Value(ValueArray{});
    static const ParameterList parameters({"case_sensitive", "attribute"},
                                          {{"case_sensitive", Value(false)}, {"attribute", Value::null()}});
    auto bound = call.bind(parameters);
    bool caseSensitive = boundArgument(bound, "case_sensitive").isTruthy();
    const Value& attribute = boundArgument(bound, "attribute");
    std::unordered_set<Value, ValueHash> seen;
    ValueArray kept;
    for (const auto& item : call.input->asArray()) {
        Value key = attributeValue(item, attribute);
        if (key.isString() && !caseSensitive) key = Value(fastText::lowercased(key.asString()));
        if (seen.insert(std::move(key)).second) kept.push_back(item);
    }
    return Value(std::move(kept));
}

}  // namespace jinja::Filters

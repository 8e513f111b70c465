#include "Jinja/PropertyMembers.hpp"

#include <optional>
#include <vector>

#include "Jinja/Utilities.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::PropertyMembers {

namespace text = foundation::text;

namespace {

std::string lstripped(const std::string& s) {
    auto bounds = fastText::characterBoundaries(s);
    size_t start = 0;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        if (!isCharacterWhitespace(std::string_view(s).substr(bounds[i], bounds[i + 1] - bounds[i]))) break;
        start = bounds[i + 1];
    }
    return s.substr(start);
}

std::string rstripped(const std::string& s) {
    auto bounds = fastText::characterBoundaries(s);
    size_t end = s.size();
    for (size_t i = bounds.size(); i >= 2; --i) {
        if (!isCharacterWhitespace(std::string_view(s).substr(bounds[i - 2], bounds[i - 1] - bounds[i - 2]))) break;
        end = bounds[i - 2];
    }
    return s.substr(0, end);
}

std::vector<std::string> split(const std::string& string, const std::optional<std::string>& separator,
                               std::optional<int64_t> limit) {
    std::vector<std::string> pieces;
    if (!separator) {
        for (auto& piece : text::split(string, " ")) {
            if (!piece.empty()) pieces.push_back(std::move(piece));
        }
        return pieces;
    }
    if (separator->empty()) {
        // An empty separator splits nothing: the whole string is the only piece.
        pieces.push_back(string);
        return pieces;
    }
    if (!limit) return text::split(string, *separator);
    std::string_view rest = string;
    for (int64_t n = 0; n < *limit; ++n) {
        size_t found = rest.find(*separator);
        if (found == std::string_view::npos) break;
        pieces.emplace_back(rest.substr(0, found));
        rest.remove_prefix(found + separator->size());
    }
    pieces.emplace_back(rest);
    return pieces;
}

std::string replaced(const std::string& receiver, const std::string& old, const std::string& replacement,
                     std::optional<int64_t> limit) {
    if (old.empty()) return insertingAtCharacterBoundaries(receiver, replacement, limit);
    if (!limit) {
        std::string result;
        size_t position = 0;
        while (true) {
            size_t found = receiver.find(old, position);
            if (found == std::string::npos) break;
            result.append(receiver, position, found - position);
            result += replacement;
            limits::ensureStringSize(result.size());
            position = found + old.size();
        }
        result.append(receiver, position, std::string::npos);
        return result;
    }
    // Each search starts again from the start of the current text.
    std::string current = receiver;
    for (int64_t n = 0; n < *limit; ++n) {
        size_t found = current.find(old);
        if (found == std::string::npos) break;
        current.replace(found, old.size(), replacement);
        limits::ensureStringSize(current.size());
    }
    return current;
}

// Whether the first (or last) characters of `s` are canonically equivalent to `affix`.
bool hasCharacterAffix(const std::string& s, const std::string& affix, bool atStart) {
    if (affix.empty()) return true;
    size_t count = fastText::characterCount(affix);
    std::vector<size_t> bounds = fastText::characterBoundaries(s);
    size_t characters = bounds.size() - 1;
    if (count > characters) return false;
    std::string_view view(s);
    std::string_view part = atStart ? view.substr(0, bounds[count])
                                    : view.substr(bounds[characters - count]);
    return text::canonicallyEqual(part, affix);
}

std::optional<int64_t> nonNegativeLimit(const Value& value) {
    if (value.isInt() && value.asInt() >= 0) return value.asInt();
    return std::nullopt;
}

Value stringArray(std::vector<std::string> pieces) {
    limits::ensureArraySize(pieces.size());
    ValueArray items;
    items.reserve(pieces.size());
    for (auto& piece : pieces) items.emplace_back(std::move(piece));
    return Value(std::move(items));
}

using StringMethod = Value (*)(const std::string& receiver, const BoundValues& bound);

struct StringMethodEntry {
    const char* name;
    ParameterList parameters;
    StringMethod body;
};

const std::vector<StringMethodEntry>& stringMethods() {
    static const std::vector<StringMethodEntry> methods = {
        {"upper", {}, [](const std::string& s, const BoundValues&) { return Value(fastText::uppercased(s)); }},
        {"lower", {}, [](const std::string& s, const BoundValues&) { return Value(fastText::lowercased(s)); }},
        {"title", {}, [](const std::string& s, const BoundValues&) { return Value(capitalizedWords(s)); }},
        {"strip", {},
         [](const std::string& s, const BoundValues&) { return Value(fastText::trimmed(s)); }},
        {"lstrip", {}, [](const std::string& s, const BoundValues&) { return Value(lstripped(s)); }},
        {"rstrip", {}, [](const std::string& s, const BoundValues&) { return Value(rstripped(s)); }},
        {"split",
         ParameterList({"separator", "maxsplit"}, {{"separator", Value::null()}, {"maxsplit", Value(-1)}}),
         [](const std::string& s, const BoundValues& bound) {
             const Value& separator = boundArgument(bound, "separator");
             std::optional<std::string> sep;
             if (separator.isString()) sep = separator.asString();
             return stringArray(split(s, sep, nonNegativeLimit(boundArgument(bound, "maxsplit"))));
         }},
        {"replace",
         ParameterList({"old", "new", "count"}, {{"count", Value(-1)}}),
         [](const std::string& s, const BoundValues& bound) {
             const Value& old = boundArgument(bound, "old");
             const Value& replacement = boundArgument(bound, "new");
             if (!old.isString() || !replacement.isString()) {
                 throw JinjaError::runtime("replace() requires 'old' and 'new' string arguments");
             }
             return Value(replaced(s, old.asString(), replacement.asString(),
                                   nonNegativeLimit(boundArgument(bound, "count"))));
         }},
        {"startswith",
         ParameterList({"prefix"}),
         [](const std::string& s, const BoundValues& bound) {
             const Value& prefix = boundArgument(bound, "prefix");
             if (!prefix.isString()) throw JinjaError::runtime("startswith() requires a string prefix");
             return Value(hasCharacterAffix(s, prefix.asString(), true));
         }},
        {"endswith",
         ParameterList({"suffix"}),
         [](const std::string& s, const BoundValues& bound) {
             const Value& suffix = boundArgument(bound, "suffix");
             if (!suffix.isString()) throw JinjaError::runtime("endswith() requires a string suffix");
             return Value(hasCharacterAffix(s, suffix.asString(), false));
         }},
    };
    return methods;
}

using ObjectMethod = Value (*)(const ValueObject& receiver, const BoundValues& bound);

struct ObjectMethodEntry {
    const char* name;
    ParameterList parameters;
    ObjectMethod body;
};

const std::vector<ObjectMethodEntry>& objectMethods() {
    static const std::vector<ObjectMethodEntry> methods = {
        {"items", {},
         [](const ValueObject& object, const BoundValues&) {
             ValueArray pairs;
             pairs.reserve(object.size());
             for (const auto& [key, value] : object) pairs.emplace_back(ValueArray{Value(key), value});
             return Value(std::move(pairs));
         }},
        {"get",
         ParameterList({"key", "default"}, {{"default", Value::null()}}),
         [](const ValueObject& object, const BoundValues& bound) {
             const Value& key = boundArgument(bound, "key");
             std::string keyText = key.isString() ? key.asString() : key.description();
             if (const Value* entry = object.find(keyText)) return *entry;
             return boundArgument(bound, "default");
         }},
        {"keys", {},
         [](const ValueObject& object, const BoundValues&) {
             ValueArray keys;
             keys.reserve(object.size());
             for (const auto& entry : object) keys.emplace_back(entry.first);
             return Value(std::move(keys));
         }},
        {"values", {},
         [](const ValueObject& object, const BoundValues&) {
             ValueArray values;
             values.reserve(object.size());
             for (const auto& entry : object) values.push_back(entry.second);
             return Value(std::move(values));
         }},
    };
    return methods;
}

// Object methods hold their receiver as a value, so taking one shares the entries instead of copying them.
Value boundObjectMember(Value receiver, std::string_view name) {
    for (const auto& method : objectMethods()) {
        if (name != method.name) continue;
        const ObjectMethodEntry* entry = &method;  // the table lives until the process ends
        return Value::function([entry, receiver = std::move(receiver)](const std::vector<Value>& args,
                                                                       const KeywordArguments& kwargs,
                                                                       const EnvironmentPtr&) {
            return entry->body(receiver.asObject(), entry->parameters.bind(args, kwargs));
        });
    }
    return Value::undefined();
}

bool isObjectMethod(std::string_view name) {
    return name == "items" || name == "get" || name == "keys" || name == "values";
}

}  // namespace

Value evaluate(const Value& receiver, std::string_view name) {
    if (receiver.isObject()) {
        if (isObjectMethod(name)) return boundObjectMember(receiver, name);
        if (const Value* entry = receiver.asObject().find(name)) return *entry;
        return Value::undefined();
    }
    if (receiver.isString()) return evaluateStringProperty(receiver.asString(), name);
    return Value::undefined();
}

Value evaluateStringProperty(const std::string& receiver, std::string_view name) {
    for (const auto& method : stringMethods()) {
        if (name != method.name) continue;
        const StringMethodEntry* entry = &method;  // the table lives until the process ends
        return Value::function([entry, receiver](const std::vector<Value>& args, const KeywordArguments& kwargs,
                                                 const EnvironmentPtr&) {
            return entry->body(receiver, entry->parameters.bind(args, kwargs));
        });
    }
    return Value::undefined();
}

Value evaluateObjectProperty(const ValueObject& receiver, std::string_view name) {
    if (isObjectMethod(name)) return boundObjectMember(Value(receiver), name);
    if (const Value* entry = receiver.find(name)) return *entry;
    return Value::undefined();
}

}  // namespace jinja::PropertyMembers

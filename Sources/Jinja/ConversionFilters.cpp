// Conversion and serialisation filters: abs, float, int, round, tojson and pprint.
#include <charconv>
#include <cmath>
#include <locale.h>
#include <optional>

#include "Jinja/Error.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

Value calls::abs(const FilterCall& call) {
    if (!call.input) return Value(0);
    call.bind(noParameters());
    const Value& input = *call.input;
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
    std::string t = fastText::trimmed(input);
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
    if (fastText::isASCII(json)) return std::string(json);
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

Value calls::float_(const FilterCall& call) {
    if (!call.input) return Value(0.0);
    static const ParameterList parameters({"default"}, {{"default", Value(0.0)}});
    auto bound = call.bind(parameters);
    const Value& input = *call.input;
    if (input.isInt()) return Value(static_cast<double>(input.asInt()));
    if (input.isDouble()) return input;
    if (input.isString()) {
        if (auto value = parseWholeDouble(input.asString())) return Value(*value);
    }
    return boundArgument(bound, "default");
}

Value calls::int_(const FilterCall& call) {
    if (!call.input) return Value(0);
    static const ParameterList parameters({"default", "base"}, {{"default", Value(0)}, {"base", Value(10)}});
    auto bound = call.bind(parameters);
    const Value& baseValue = boundArgument(bound, "base");
    int64_t base = baseValue.isInt() ? baseValue.asInt() : 10;
    const Value& input = *call.input;
    if (input.isInt()) return input;
    if (input.isDouble()) return Value(checkedIntFromDouble(input.asDouble()));
    if (input.isString()) {
        if (auto value = parseIntegerText(input.asString(), base)) return Value(*value);
    }
    return boundArgument(bound, "default");
}

Value calls::round(const FilterCall& call) {
    if (!call.input) return Value(0.0);
    static const ParameterList parameters({"precision", "method"},
                                          {{"precision", Value(0)}, {"method", Value("common")}});
    auto bound = call.bind(parameters);
    const Value& input = *call.input;
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

namespace {
enum class DirectJSON { written, null_, needsWriter };

// The writer's layout written straight into `out`: compact, or two spaces per level with "key" : value.
// A function value or a non-finite number makes the whole text null; a macro describes itself
// through the writer.
DirectJSON appendJSON(std::string& out, const Value& value, bool pretty, size_t indent) {
    switch (value.kind()) {
        case Value::Kind::boolean: out += value.asBool() ? "true" : "false"; return DirectJSON::written;
        case Value::Kind::int_: {
            char buffer[24];
            auto end = std::to_chars(buffer, buffer + sizeof buffer, value.asInt()).ptr;
            out.append(buffer, end);
            return DirectJSON::written;
        }
        case Value::Kind::double_:
            if (!std::isfinite(value.asDouble())) return DirectJSON::null_;
            out += foundation::jsonNumberText(value.asDouble());
            return DirectJSON::written;
        case Value::Kind::string:
            out += '"';
            foundation::appendJSONEscaped(out, value.asString());
            out += '"';
            return DirectJSON::written;
        case Value::Kind::array:
        case Value::Kind::object: {
            const bool isObject = value.isObject();
            const size_t count = isObject ? value.asObject().size() : value.asArray().size();
            out += isObject ? '{' : '[';
            if (count == 0) {
                out += isObject ? '}' : ']';
                return DirectJSON::written;
            }
            auto separate = [&](bool first) {
                if (!first) out += ',';
                if (pretty) {
                    out += '\n';
                    out.append(indent + 2, ' ');
                }
            };
            bool first = true;
            if (isObject) {
                for (const auto& [key, item] : value.asObject()) {
                    separate(first);
                    first = false;
                    out += '"';
                    foundation::appendJSONEscaped(out, key);
                    out += pretty ? "\" : " : "\":";
                    if (auto result = appendJSON(out, item, pretty, indent + 2); result != DirectJSON::written) return result;
                }
            } else {
                for (const auto& item : value.asArray()) {
                    separate(first);
                    first = false;
                    if (auto result = appendJSON(out, item, pretty, indent + 2); result != DirectJSON::written) return result;
                }
            }
            if (pretty) {
                out += '\n';
                out.append(indent, ' ');
            }
            out += isObject ? '}' : ']';
            return DirectJSON::written;
        }
        case Value::Kind::function: return DirectJSON::null_;
        case Value::Kind::macro: return DirectJSON::needsWriter;
        case Value::Kind::null:
        case Value::Kind::undefined: out += "null"; return DirectJSON::written;
    }
    return DirectJSON::needsWriter;
}

std::string writerJSON(const Value& value, bool pretty) {
    foundation::JSONWriter::Options options;
    options.pretty = pretty;
    try {
        foundation::JSONWriter writer(options);
        value.encode(writer);
        return writer.str();
    } catch (const foundation::Error&) {
        // A function value or a non-finite number anywhere makes the whole result null.
        return "null";
    }
}

// The writer's text as tojson hands it out: null unless valid UTF-8, non-ASCII escaped on request.
std::string finishJSON(std::string json, bool ensureASCII) {
    // ASCII text is valid UTF-8 and has nothing to escape.
    if (!fastText::isASCII(json)) {
        if (!text::isValidUTF8(json)) json = "null";
        if (ensureASCII) json = escapeNonASCII(json);
    }
    return json;
}
}  // namespace

std::string jsonText(const Value& value, bool pretty, bool ensureASCII) {
    std::string json;
    switch (appendJSON(json, value, pretty, 0)) {
        case DirectJSON::written: break;
        case DirectJSON::null_: return "null";
        case DirectJSON::needsWriter: json = writerJSON(value, pretty); break;
    }
    return finishJSON(std::move(json), ensureASCII);
}

std::string jsonTextThroughWriter(const Value& value, bool pretty, bool ensureASCII) {
    return finishJSON(writerJSON(value, pretty), ensureASCII);
}

Value calls::tojson(const FilterCall& call) {
    if (!call.input) return Value("null");
    static const ParameterList parameters({"indent", "ensure_ascii"},
                                          {{"indent", Value::null()}, {"ensure_ascii", Value(true)}});
    auto bound = call.bind(parameters);
    const Value& indentValue = boundArgument(bound, "indent");
    bool pretty = indentValue.isInt() && indentValue.asInt() >= 1;
    return Value(jsonText(*call.input, pretty, boundArgument(bound, "ensure_ascii").isTruthy()));
}

Value calls::pprint(const FilterCall& call) {
    if (!call.input) return Value("");
    call.bind(noParameters());
    std::string out;
    appendPrettyPrinted(out, *call.input, 0);
    return Value(std::move(out));
}

}  // namespace jinja::Filters

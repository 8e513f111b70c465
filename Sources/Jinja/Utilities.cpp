#include "Jinja/Utilities.hpp"

#include <algorithm>
#include <mutex>
#include <random>

#include "Jinja/PropertyMembers.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {

namespace {

const Value& undefinedValue() {
    static const Value undefined;
    return undefined;
}

// The binder's rules over `count` declared names; `positional(i)` is the i-th positional value (of
// `positionalCount`), `defaultAt(i)` the default of parameter i or null, and `out` receives one
// pointer per parameter.
template <class Positional, class DefaultAt>
void bindValues(std::span<const std::string> names, size_t positionalCount, Positional positional,
                const KeywordArguments& kwargs, DefaultAt defaultAt, const Value** out) {
    for (size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
    size_t bound = std::min(positionalCount, names.size());  // surplus positional values are ignored
    for (size_t i = 0; i < bound; ++i) {
        if (!kwargs.empty() && kwargs.contains(names[i])) {
            throw JinjaError::runtime("Argument '" + names[i] + "' passed both positionally and as keyword.");
        }
        out[i] = &positional(i);
    }
    for (const auto& [key, value] : kwargs) {
        size_t index = 0;
        while (index < names.size() && names[index] != key) ++index;
        if (index == names.size()) throw JinjaError::runtime("Unexpected keyword argument '" + key + "' for filter.");
        if (out[index]) throw JinjaError::runtime("Argument '" + key + "' passed both positionally and as keyword.");
        out[index] = &value;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (out[i]) continue;
        out[i] = defaultAt(i);
        if (!out[i]) throw JinjaError::runtime("Missing required argument '" + names[i] + "' for filter.");
    }
}

}  // namespace

BoundArguments resolveCallArguments(std::span<const Value> args, const KeywordArguments& kwargs,
                                    const std::vector<std::string>& parameters, const ArgumentDefaults& defaults) {
    std::vector<const Value*> values(parameters.size());
    bindValues(
        parameters, args.size(), [&](size_t i) -> const Value& { return args[i]; }, kwargs,
        [&](size_t i) { return defaults.find(parameters[i]); }, values.data());
    BoundArguments result;
    for (size_t i = 0; i < parameters.size(); ++i) result.set(parameters[i], *values[i]);
    return result;
}

ParameterList::ParameterList(std::vector<std::string> names, std::vector<std::pair<std::string, Value>> defaults)
    : names(std::move(names)) {
    if (this->names.size() > BoundValues::capacity) throw JinjaError::runtime("Too many parameters in a declaration");
    for (const auto& [name, value] : defaults) this->defaults.set(name, value);
    defaultAt_.reserve(this->names.size());
    for (const auto& name : this->names) {
        const Value* fallback = this->defaults.find(name);
        defaultAt_.push_back(fallback ? std::optional<Value>(*fallback) : std::nullopt);
    }
}

BoundValues ParameterList::bind(std::span<const Value> args, const KeywordArguments& kwargs, const Value* first) const {
    BoundValues bound;
    bound.parameters_ = this;
    size_t offset = first ? 1 : 0;
    bindValues(
        names, args.size() + offset,
        [&](size_t i) -> const Value& { return first && i == 0 ? *first : args[i - offset]; }, kwargs,
        [&](size_t i) { return defaultAt_[i] ? &*defaultAt_[i] : nullptr; }, bound.values_.data());
    return bound;
}

const Value& BoundValues::operator[](std::string_view name) const {
    const auto& names = parameters_->names;
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return *values_[i];
    // Only reachable through a built-in reading a name it did not declare.
    return undefinedValue();
}

const Value& boundArgument(const BoundArguments& bound, std::string_view name) {
    if (const Value* value = bound.find(name)) return *value;
    return undefinedValue();
}

Value attributeLookup(const Value& item, std::string_view name) { return PropertyMembers::evaluate(item, name); }

Value integerAttributeLookup(const Value& item, int64_t n) {
    if (item.isObject()) {
        if (const Value* entry = item.asObject().find(std::to_string(n))) return *entry;
        return Value::undefined();
    }
    if (item.isArray()) {
        const auto& items = item.asArray();
        if (n >= 0 && static_cast<uint64_t>(n) < items.size()) return items[static_cast<size_t>(n)];
        return Value::undefined();
    }
    return Value::undefined();
}

namespace RandomSource {
namespace {
struct Generator {
    std::mutex mutex;
    std::mt19937_64 engine{std::random_device{}()};
};
Generator& generator() {
    static Generator shared;
    return shared;
}
}  // namespace

uint64_t uniform(uint64_t upperBound) {
    if (upperBound == 0) return 0;
    auto& g = generator();
    std::lock_guard lock(g.mutex);
    return std::uniform_int_distribution<uint64_t>(0, upperBound - 1)(g.engine);
}

int64_t uniformInRange(int64_t low, int64_t high) {
    if (high <= low) return low;
    auto& g = generator();
    std::lock_guard lock(g.mutex);
    return std::uniform_int_distribution<int64_t>(low, high)(g.engine);
}

void seed(uint64_t seed) {
    auto& g = generator();
    std::lock_guard lock(g.mutex);
    g.engine.seed(seed);
}
}  // namespace RandomSource

namespace {
// strftime directives and the date-format patterns that print them.
const char* patternForDirective(char directive) {
    switch (directive) {
        case 'a': return "EEE";
        case 'A': return "EEEE";
        case 'b': return "MMM";
        case 'B': return "MMMM";
        case 'c': return "EEE MMM d HH:mm:ss yyyy";
        case 'd': return "dd";
        case 'H': return "HH";
        case 'I': return "h";
        case 'j': return "DDD";
        case 'm': return "MM";
        case 'M': return "mm";
        case 'p': return "a";
        case 'S': return "ss";
        case 'U': return "ww";
        case 'w': return "e";
        case 'W': return "ww";
        case 'x': return "MM/dd/yyyy";
        case 'X': return "HH:mm:ss";
        case 'y': return "yy";
        case 'Y': return "yyyy";
        case 'z': return "Z";
        case 'Z': return "zzz";
        default: return nullptr;
    }
}

// Literal text in a date-format pattern: quoted, with a single quote written as two.
void appendQuotedLiteral(std::string& pattern, std::string& literal) {
    if (literal.empty()) return;
    pattern += '\'';
    for (char c : literal) {
        if (c == '\'') pattern += "''";
        else pattern += c;
    }
    pattern += '\'';
    literal.clear();
}
}  // namespace

std::string formatStrftime(foundation::Date date, std::string_view format) {
    std::string pattern;
    std::string literal;
    size_t i = 0;
    while (i < format.size()) {
        size_t percent = format.find('%', i);
        if (percent == std::string_view::npos) {
            literal.append(format.substr(i));
            break;
        }
        literal.append(format.substr(i, percent - i));
        i = percent + 1;
        if (i >= format.size()) {
            literal += '%';
            break;
        }
        char directive = format[i];
        ++i;
        if (directive == '%') {
            // Printed as a bare "%"; carried as literal text so the pattern never reads it as a field.
            literal += '%';
        } else if (const char* field = patternForDirective(directive)) {
            appendQuotedLiteral(pattern, literal);
            pattern += field;
        } else {
            literal += '%';
            literal += directive;
        }
    }
    appendQuotedLiteral(pattern, literal);
    if (pattern.empty()) return "";
    return foundation::formatDate(date, pattern);
}

std::string htmlEscaped(std::string_view text) {
    size_t size = text.size();
    for (char c : text) {
        if (c == '&' || c == '"' || c == '\'') size += 4;
        else if (c == '<' || c == '>') size += 3;
    }
    limits::ensureStringSize(size);
    std::string result;
    result.reserve(size);
    for (char c : text) {
        switch (c) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&#34;"; break;
            case '\'': result += "&#39;"; break;
            default: result += c;
        }
    }
    return result;
}

std::vector<std::string_view> characterViews(std::string_view text) {
    std::vector<std::string_view> views;
    if (text.empty()) return views;
    auto bounds = fastText::characterBoundaries(text);
    views.reserve(bounds.size() - 1);
    for (size_t i = 0; i + 1 < bounds.size(); ++i) views.push_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
    return views;
}

bool isCharacterWhitespace(std::string_view character) { return fastText::whitespaceLengthAt(character, 0) > 0; }

std::string capitalizedWords(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    bool atWordStart = true;
    for (std::string_view character : characterViews(text)) {
        if (isCharacterWhitespace(character)) {
            result.append(character);
            atWordStart = true;
        } else if (atWordStart) {
            result += fastText::uppercased(character);
            atWordStart = false;
        } else {
            result += fastText::lowercased(character);
        }
    }
    return result;
}

std::string insertingAtCharacterBoundaries(std::string_view text, std::string_view insertion,
                                           std::optional<int64_t> limit) {
    std::vector<size_t> bounds = fastText::characterBoundaries(text);
    std::string result;
    int64_t inserted = 0;
    size_t previous = 0;
    for (size_t boundary : bounds) {
        result.append(text.substr(previous, boundary - previous));
        previous = boundary;
        if (!limit || inserted < *limit) {
            result.append(insertion);
            ++inserted;
            limits::ensureStringSize(result.size());
        }
    }
    result.append(text.substr(previous));
    return result;
}

}  // namespace jinja

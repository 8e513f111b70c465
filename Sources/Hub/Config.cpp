#include "Hub/Config.hpp"

#include <yyjson.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "Hub/YYJSONParser.hpp"
#include "Jinja/Value.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace hub {

namespace text = foundation::text;

namespace {

// The nearest float, without the undefined behaviour of casting a finite double beyond the float
// range: those round to the largest float or to infinity as IEEE rounding would.
float nearestFloat(double d) {
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
        const double halfwayToInfinity = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        float magnitude = std::fabs(d) >= halfwayToInfinity ? INFINITY : FLT_MAX;
        return d < 0 ? -magnitude : magnitude;
    }
    return static_cast<float>(d);
}

// hash_combine with a 64-bit mix.
void feed(size_t& seed, uint64_t value) {
    value += 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    value ^= value >> 31;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 29;
    seed ^= value;
}

// Equal units hash equally; the string's own hash already covers its length and every unit.
void feedUnits(size_t& seed, const BinaryDistinctString& s) { feed(seed, s.hash()); }

// Entries of a dictionary ordered by their keys' units, for output that does not depend on hashing.
std::vector<const Config::Dictionary::value_type*> sortedEntries(const Config::Dictionary& dictionary) {
    std::vector<const Config::Dictionary::value_type*> entries;
    entries.reserve(dictionary.size());
    for (const auto& entry : dictionary) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    return entries;
}

std::string_view stringOf(yyjson_val* v) { return std::string_view(yyjson_get_str(v), yyjson_get_len(v)); }

bool isUppercaseLetter(char32_t c) {
    if (c < 0x80) return c >= U'A' && c <= U'Z';
    std::string category = text::generalCategory(c);
    return category == "Lu" || category == "Lt";
}

}  // namespace

// yyjson's strings are well-formed UTF-8 (it rejects invalid bytes and unpaired surrogate escapes),
// so they are stored without another check. By length, not up to the first NUL: "a\u0000b" keeps
// all three characters.
BinaryDistinctString Config::textOf(yyjson_val* v) {
    return BinaryDistinctString(BinaryDistinctString::Encoded{}, std::string(stringOf(v)));
}

void Config::assignText(yyjson_val* v) {
    value_.storage_.emplace<BinaryDistinctString>().units_.assign(stringOf(v));
}

// The JSON tree rules shared by the JSON reader and the platform-tree constructor.
Config Config::fromTree(yyjson_val* v, int depth) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_BOOL:
            return Config(yyjson_get_bool(v));
        case YYJSON_TYPE_NUM:
            switch (yyjson_get_subtype(v)) {
                case YYJSON_SUBTYPE_SINT:
                    return Config(yyjson_get_sint(v));
                case YYJSON_SUBTYPE_UINT: {
                    uint64_t u = yyjson_get_uint(v);
                    if (u <= static_cast<uint64_t>(INT64_MAX)) return Config(static_cast<int64_t>(u));
                    return Config(static_cast<float>(u));
                }
                default:
                    return Config(nearestFloat(yyjson_get_real(v)));
            }
        case YYJSON_TYPE_STR: {
            Config text;
            text.assignText(v);
            return text;
        }
        case YYJSON_TYPE_ARR: {
            if (depth >= YYJSONParser::maxNestingDepth) break;
            Config::Array items;
            items.reserve(yyjson_arr_size(v));
            size_t index, count;
            yyjson_val* element;
            // Strings (a merge list's entries) are made in place.
            yyjson_arr_foreach(v, index, count, element) {
                if (yyjson_is_str(element)) {
                    items.emplace_back().assignText(element);
                } else {
                    items.push_back(fromTree(element, depth + 1));
                }
            }
            return Config(std::move(items));
        }
        case YYJSON_TYPE_OBJ: {
            if (depth >= YYJSONParser::maxNestingDepth) break;
            Config::Dictionary entries;
            entries.reserve(yyjson_obj_size(v));
            size_t index, count;
            yyjson_val *key, *value;
            yyjson_obj_foreach(v, index, count, key, value) {
                entries.insert_or_assign(textOf(key), fromTree(value, depth + 1));
            }
            return Config(std::move(entries));
        }
        default:
            return Config();
    }
    throw YYJSONParser::ParseError::readFailed(
        0, "nesting deeper than " + std::to_string(YYJSONParser::maxNestingDepth) + " levels", 0);
}

// The decoding rules; a value deeper than the nesting bound decodes as null.
Config Config::decodeTree(yyjson_val* v, int depth) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_NULL:
            return Config();
        case YYJSON_TYPE_NUM: {
            uint8_t subtype = yyjson_get_subtype(v);
            if (subtype == YYJSON_SUBTYPE_SINT) return Config(yyjson_get_sint(v));
            if (subtype == YYJSON_SUBTYPE_UINT && yyjson_get_uint(v) <= static_cast<uint64_t>(INT64_MAX))
                return Config(static_cast<int64_t>(yyjson_get_uint(v)));
            double d = subtype == YYJSON_SUBTYPE_UINT ? static_cast<double>(yyjson_get_uint(v)) : yyjson_get_real(v);
            // A finite number beyond the float range is no float; nothing else reads a number.
            if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) return Config();
            return Config(static_cast<float>(d));
        }
        case YYJSON_TYPE_BOOL:
            return Config(yyjson_get_bool(v));
        case YYJSON_TYPE_STR:
            return Config(textOf(v));
        case YYJSON_TYPE_ARR: {
            if (depth >= YYJSONParser::maxNestingDepth) return Config();
            if (yyjson_arr_size(v) == 2) {
                yyjson_val* id = yyjson_arr_get_first(v);
                yyjson_val* textValue = yyjson_arr_get_last(v);
                if (yyjson_is_uint(id) && yyjson_is_str(textValue))
                    return Config(Config::Token{yyjson_get_uint(id), textOf(textValue)});
            }
            Config::Array items;
            items.reserve(yyjson_arr_size(v));
            size_t index, count;
            yyjson_val* element;
            yyjson_arr_foreach(v, index, count, element) { items.push_back(decodeTree(element, depth + 1)); }
            return Config(std::move(items));
        }
        case YYJSON_TYPE_OBJ: {
            if (depth >= YYJSONParser::maxNestingDepth) return Config();
            Config::Dictionary entries;
            entries.reserve(yyjson_obj_size(v));
            size_t index, count;
            yyjson_val *key, *value;
            yyjson_obj_foreach(v, index, count, key, value) {
                entries.insert_or_assign(textOf(key), decodeTree(value, depth + 1));
            }
            return Config(std::move(entries));
        }
        default:
            return Config();
    }
}

// --- Data

const Config::Dictionary* Config::Data::dictionaryPayload() const {
    auto* node = std::get_if<std::shared_ptr<Dictionary>>(&storage_);
    return node ? node->get() : nullptr;
}

const Config::Array* Config::Data::arrayPayload() const {
    auto* node = std::get_if<std::shared_ptr<Array>>(&storage_);
    return node ? node->get() : nullptr;
}

const Config::Token* Config::Data::tokenPayload() const {
    auto* node = std::get_if<std::shared_ptr<const Token>>(&storage_);
    return node ? node->get() : nullptr;
}

std::optional<std::string> Config::Data::string() const {
    if (auto* s = stringPayload()) return s->string();
    return std::nullopt;
}

std::optional<int64_t> Config::Data::integer() const {
    if (auto* i = std::get_if<int64_t>(&storage_)) return *i;
    return std::nullopt;
}

std::optional<bool> Config::Data::boolean() const {
    switch (kind()) {
        case Kind::boolean:
            return std::get<bool>(storage_);
        case Kind::integer:
            return std::get<int64_t>(storage_) == 1;
        case Kind::string: {
            // Longer texts cannot lower-case to one of the six answers.
            if (std::get<BinaryDistinctString>(storage_).units_.size() > 16) return std::nullopt;
            std::string lowered = text::lowercased(std::get<BinaryDistinctString>(storage_).string());
            if (lowered == "true" || lowered == "t" || lowered == "1") return true;
            if (lowered == "false" || lowered == "f" || lowered == "0") return false;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::optional<float> Config::Data::floating() const {
    if (auto* f = std::get_if<float>(&storage_)) return *f;
    if (auto* i = std::get_if<int64_t>(&storage_)) return static_cast<float>(*i);
    return std::nullopt;
}

bool operator==(const Config::Data& a, const Config::Data& b) {
    using Kind = Config::Kind;
    Kind ka = a.kind();
    Kind kb = b.kind();
    if (ka == Kind::boolean || kb == Kind::boolean) {
        const Config::Data& other = ka == Kind::boolean ? b : a;
        bool flag = std::get<bool>((ka == Kind::boolean ? a : b).storage_);
        std::optional<bool> coerced = other.boolean();
        return coerced && *coerced == flag;
    }
    if (ka == Kind::integer && kb == Kind::floating)
        return static_cast<float>(std::get<int64_t>(a.storage_)) == std::get<float>(b.storage_);
    if (ka == Kind::floating && kb == Kind::integer) return b == a;
    if (ka != kb) return false;
    switch (ka) {
        case Kind::string:
            return *a.stringPayload() == *b.stringPayload();
        case Kind::integer:
            return std::get<int64_t>(a.storage_) == std::get<int64_t>(b.storage_);
        case Kind::floating:
            return std::get<float>(a.storage_) == std::get<float>(b.storage_);
        case Kind::dictionary: {
            const auto& left = *a.dictionaryPayload();
            const auto& right = *b.dictionaryPayload();
            if (&left == &right) return true;
            if (left.size() != right.size()) return false;
            for (const auto& [key, value] : left) {
                auto found = right.find(key);
                if (found == right.end() || !(value == found->second)) return false;
            }
            return true;
        }
        case Kind::array: {
            const auto& left = *a.arrayPayload();
            const auto& right = *b.arrayPayload();
            if (&left == &right) return true;
            if (left.size() != right.size()) return false;
            for (size_t k = 0; k < left.size(); ++k)
                if (!(left[k] == right[k])) return false;
            return true;
        }
        case Kind::token:
            return *a.tokenPayload() == *b.tokenPayload();
        case Kind::null:
            return true;
        case Kind::boolean:
            break;
    }
    return false;
}

size_t Config::Data::hash() const {
    size_t seed = 0;
    switch (kind()) {
        case Kind::string:
            feed(seed, 1);
            feedUnits(seed, *stringPayload());
            break;
        case Kind::integer:
            feed(seed, 2);
            feed(seed, static_cast<uint64_t>(std::get<int64_t>(storage_)));
            break;
        case Kind::boolean:
            feed(seed, 3);
            feed(seed, std::get<bool>(storage_) ? 1 : 0);
            break;
        case Kind::floating: {
            feed(seed, 4);
            float f = std::get<float>(storage_);
            uint32_t bits = 0;
            if (f != 0.0f) std::memcpy(&bits, &f, sizeof bits);  // both zeros feed 0
            feed(seed, bits);
            break;
        }
        case Kind::dictionary: {
            feed(seed, 5);
            // Order-independent: a sum of per-entry hashes.
            uint64_t combined = 0;
            for (const auto& [key, value] : *dictionaryPayload()) {
                size_t entry = 0;
                feedUnits(entry, key);
                feed(entry, value.hash());
                combined += entry;
            }
            feed(seed, combined);
            break;
        }
        case Kind::array:
            feed(seed, 6);
            for (const Config& element : *arrayPayload()) feed(seed, element.hash());
            break;
        case Kind::token: {
            feed(seed, 7);
            const Token& token = *tokenPayload();
            feed(seed, token.first);
            feedUnits(seed, token.second);
            break;
        }
        case Kind::null:
            feed(seed, 0);
            break;
    }
    return seed;
}

std::string Config::Data::description() const {
    switch (kind()) {
        case Kind::string:
            return '"' + stringPayload()->string() + '"';
        case Kind::integer:
            return std::to_string(std::get<int64_t>(storage_));
        case Kind::boolean:
            return std::get<bool>(storage_) ? "true" : "false";
        case Kind::floating:
            return foundation::formatFloat(std::get<float>(storage_));
        case Kind::dictionary: {
            const Dictionary& dictionary = *dictionaryPayload();
            if (dictionary.empty()) return "{[:]}";
            std::string out = "{[";
            bool first = true;
            for (const auto* entry : sortedEntries(dictionary)) {
                if (!first) out += ", ";
                first = false;
                out += entry->first.string() + ": " + entry->second.description();
            }
            return out + "]}";
        }
        case Kind::array: {
            std::string out = "[[";
            bool first = true;
            for (const Config& element : *arrayPayload()) {
                if (!first) out += ", ";
                first = false;
                out += element.description();
            }
            return out + "]]";
        }
        case Kind::token: {
            const Token& token = *tokenPayload();
            return "(" + std::to_string(token.first) + ", " + token.second.string() + ")";
        }
        case Kind::null:
            break;
    }
    return "null";
}

// --- Construction

Config::Config(BinaryDistinctString text) : value_(std::move(text)) {}
Config::Config(std::string_view text) : value_(BinaryDistinctString(text)) {}
Config::Config(bool flag) : value_(flag) {}
Config::Config(float number) : value_(number) {}
Config::Config(Array items) : value_(std::make_shared<Array>(std::move(items))) {}
Config::Config(Dictionary entries) : value_(std::make_shared<Dictionary>(std::move(entries))) {}
Config::Config(Token token) : value_(std::make_shared<const Token>(std::move(token))) {}

Config::Config(Pairs pairs) {
    Dictionary entries;
    entries.reserve(pairs.size());
    for (auto& [key, value] : pairs) entries.insert_or_assign(std::move(key), std::move(value));
    *this = Config(std::move(entries));
}

Config::Config(const std::map<std::string, Config>& entries) {
    Dictionary converted;
    converted.reserve(entries.size());
    for (const auto& [key, value] : entries) converted.insert_or_assign(BinaryDistinctString(key), value);
    *this = Config(std::move(converted));
}

Config::Config(const std::unordered_map<std::string, Config>& entries) {
    Dictionary converted;
    converted.reserve(entries.size());
    for (const auto& [key, value] : entries) converted.insert_or_assign(BinaryDistinctString(key), value);
    *this = Config(std::move(converted));
}

Config::Config(const foundation::JSONValue& tree) {
    if (tree.exists()) *this = fromTree(tree.raw(), 0);
}

Config Config::convertToBinaryDistinctKeys(const foundation::JSONValue& tree) { return Config(tree); }

// --- Readers

std::string Config::string(std::string_view defaultValue) const {
    if (auto s = string()) return std::move(*s);
    return std::string(defaultValue);
}

std::optional<BinaryDistinctString> Config::binaryDistinctString() const {
    if (auto* s = value_.stringPayload()) return *s;
    return std::nullopt;
}

BinaryDistinctString Config::binaryDistinctString(const BinaryDistinctString& defaultValue) const {
    if (auto* s = value_.stringPayload()) return *s;
    return defaultValue;
}

Config::Dictionary Config::dictionary(const Dictionary& defaultValue) const {
    if (auto* d = dictionary()) return *d;
    return defaultValue;
}

Config::Array Config::array(const Array& defaultValue) const {
    if (auto* a = array()) return *a;
    return defaultValue;
}

std::optional<Config::Token> Config::token() const {
    if (auto* t = value_.tokenPayload()) return *t;
    if (auto* items = array(); items && items->size() == 2) {
        const BinaryDistinctString* textValue = (*items)[0].value_.stringPayload();
        std::optional<int64_t> id = (*items)[1].integer();
        // An id is unsigned: a negative integer is no id.
        if (textValue && id && *id >= 0) return Token{static_cast<uint64_t>(*id), *textValue};
    }
    return std::nullopt;
}

template <>
std::optional<std::string> Config::get<std::string>() const {
    return string();
}
template <>
std::optional<BinaryDistinctString> Config::get<BinaryDistinctString>() const {
    return binaryDistinctString();
}
template <>
std::optional<int64_t> Config::get<int64_t>() const {
    return integer();
}
template <>
std::optional<bool> Config::get<bool>() const {
    return boolean();
}
template <>
std::optional<float> Config::get<float>() const {
    return floating();
}
template <>
std::optional<Config::Dictionary> Config::get<Config::Dictionary>() const {
    if (auto* d = dictionary()) return *d;
    return std::nullopt;
}
template <>
std::optional<Config::Array> Config::get<Config::Array>() const {
    if (auto* a = array()) return *a;
    return std::nullopt;
}
template <>
std::optional<Config::Token> Config::get<Config::Token>() const {
    return token();
}
template <>
std::optional<std::vector<std::string>> Config::get<std::vector<std::string>>() const {
    const Array* items = array();
    if (!items) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(items->size());
    for (const Config& item : *items)
        if (auto* s = item.value_.stringPayload()) out.push_back(s->string());
    return out;
}
template <>
std::optional<std::vector<BinaryDistinctString>> Config::get<std::vector<BinaryDistinctString>>() const {
    const Array* items = array();
    if (!items) return std::nullopt;
    std::vector<BinaryDistinctString> out;
    out.reserve(items->size());
    for (const Config& item : *items)
        if (auto* s = item.value_.stringPayload()) out.push_back(*s);
    return out;
}
template <>
std::optional<BinaryDistinctDictionary<int64_t>> Config::get<BinaryDistinctDictionary<int64_t>>() const {
    const Dictionary* entries = dictionary();
    if (!entries) return std::nullopt;
    BinaryDistinctDictionary<int64_t> out;
    out.reserve(entries->size());
    for (const auto& [key, value] : *entries)
        if (auto i = value.integer()) out.emplace(key, *i);
    return out;
}

// --- Lookups

const Config* Config::find(const BinaryDistinctString& key) const {
    const Dictionary* entries = dictionary();
    if (!entries) return nullptr;
    if (auto found = entries->find(key); found != entries->end()) return &found->second;
    BinaryDistinctString snake = uncamelCase(key);
    if (snake == key) return nullptr;
    if (auto found = entries->find(snake); found != entries->end()) return &found->second;
    return nullptr;
}

Config Config::operator[](const BinaryDistinctString& key) const {
    const Config* found = find(key);
    return found ? *found : Config();
}

Config Config::element(uint64_t index) const {
    const Array* items = array();
    if (!items || index >= items->size()) return Config();
    return (*items)[static_cast<size_t>(index)];
}

std::optional<Config> Config::dynamicMember(const BinaryDistinctString& name) const {
    if (!isDictionary()) return std::nullopt;
    return (*this)[name];
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::string& stored = key.units_;
    bool previousNotUpper = false;
    if (std::all_of(stored.begin(), stored.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string out;
        out.reserve(stored.size() + 4);
        for (char c : stored) {
            if (c >= 'A' && c <= 'Z') {
                if (previousNotUpper) out += '_';
                out += static_cast<char>(c - 'A' + 'a');
                previousNotUpper = false;
            } else {
                out += c;
                previousNotUpper = true;
            }
        }
        return BinaryDistinctString(std::move(out));
    }
    // Walk the scalars of the units; anything that is not an upper-case letter (an unpaired
    // surrogate included) is kept unit for unit.
    std::u16string units = key.value();
    std::u16string out;
    for (size_t k = 0; k < units.size(); ++k) {
        char32_t c = units[k];
        size_t width = 1;
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[k + 1] - 0xDC00);
            width = 2;
        }
        if (isUppercaseLetter(c)) {
            if (previousNotUpper) out += u'_';
            out += text::toUTF16(text::lowercased(text::fromScalar(c)));
            previousNotUpper = false;
        } else {
            out.append(units, k, width);
            previousNotUpper = true;
        }
        k += width - 1;
    }
    return BinaryDistinctString(std::u16string_view(out));
}

// --- Copy-on-write edits

Config::Dictionary* Config::mutableDictionary() {
    auto* node = std::get_if<std::shared_ptr<Dictionary>>(&value_.storage_);
    if (!node) return nullptr;
    if (node->use_count() > 1) *node = std::make_shared<Dictionary>(**node);
    return node->get();
}

Config::Array* Config::mutableArray() {
    auto* node = std::get_if<std::shared_ptr<Array>>(&value_.storage_);
    if (!node) return nullptr;
    if (node->use_count() > 1) *node = std::make_shared<Array>(**node);
    return node->get();
}

void Config::set(const BinaryDistinctString& key, Config entry) {
    if (!isDictionary()) *this = Config(Dictionary{});
    mutableDictionary()->insert_or_assign(key, std::move(entry));
}

// --- Encoding and decoding

void Config::encode(foundation::JSONWriter& writer) const {
    switch (kind()) {
        case Kind::string:
            writer.value(value_.stringPayload()->string());
            break;
        case Kind::integer:
            writer.value(std::get<int64_t>(value_.storage_));
            break;
        case Kind::boolean:
            writer.value(std::get<bool>(value_.storage_));
            break;
        case Kind::floating:
            writer.value(std::get<float>(value_.storage_));
            break;
        case Kind::dictionary:
            writer.beginObject();
            for (const auto* entry : sortedEntries(*dictionary())) {
                writer.key(entry->first.string());
                entry->second.encode(writer);
            }
            writer.endObject();
            break;
        case Kind::array:
            writer.beginArray();
            for (const Config& element : *array()) element.encode(writer);
            writer.endArray();
            break;
        case Kind::token: {
            const Token& token = *value_.tokenPayload();
            writer.beginArray().value(token.first).value(token.second.string()).endArray();
            break;
        }
        case Kind::null:
            writer.null();
            break;
    }
}

Config Config::decode(const foundation::JSONValue& json) {
    if (!json.exists()) return Config();
    return decodeTree(json.raw(), 0);
}

// --- Template values

jinja::Value Config::jinjaValue() const {
    switch (kind()) {
        case Kind::string:
            return jinja::Value(value_.stringPayload()->string());
        case Kind::integer:
            return jinja::Value(std::get<int64_t>(value_.storage_));
        case Kind::boolean:
            return jinja::Value(std::get<bool>(value_.storage_));
        case Kind::floating: {
            float f = std::get<float>(value_.storage_);
            // The double the float's shortest text names: 0.1f becomes 0.1, not 0.100000001490116.
            if (auto d = foundation::parseDouble(foundation::formatFloat(f))) return jinja::Value(*d);
            return jinja::Value(static_cast<double>(f));
        }
        case Kind::dictionary: {
            // Template keys are texts compared by canonical equivalence: keys that differ only in
            // composition merge into the first one's place, the later value winning.
            std::vector<std::pair<std::string, jinja::Value>> pairs;
            std::unordered_map<std::string, size_t> positionByNormalizedKey;
            for (const auto* entry : sortedEntries(*dictionary())) {
                std::string key = entry->first.string();
                bool ascii = std::all_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
                std::string normalizedKey = ascii ? key : text::normalized(key, text::NormalizationForm::nfc);
                jinja::Value converted = entry->second.jinjaValue();
                auto [found, inserted] = positionByNormalizedKey.emplace(std::move(normalizedKey), pairs.size());
                if (inserted) {
                    pairs.emplace_back(std::move(key), std::move(converted));
                } else {
                    pairs[found->second].second = std::move(converted);
                }
            }
            return jinja::Value::object(std::move(pairs));
        }
        case Kind::array: {
            jinja::ValueArray items;
            items.reserve(array()->size());
            for (const Config& element : *array()) items.push_back(element.jinjaValue());
            return jinja::Value(std::move(items));
        }
        case Kind::token: {
            const Token& token = *value_.tokenPayload();
            return jinja::Value::object({{std::to_string(token.first), jinja::Value(token.second.string())}});
        }
        case Kind::null:
            break;
    }
    return jinja::Value::null();
}

// --- ConfigError

ConfigError::ConfigError(Case errorCase) : case_(errorCase) {}

ConfigError ConfigError::typeMismatch(Config::Data expected, Config::Data actual) {
    ConfigError error(Case::typeMismatch);
    error.expected_ = std::move(expected);
    error.actual_ = std::move(actual);
    error.setWhat(error.describe());
    return error;
}

ConfigError ConfigError::typeConversionFailed(std::any value, std::string targetType) {
    ConfigError error(Case::typeConversionFailed);
    error.value_ = std::move(value);
    error.targetType_ = std::move(targetType);
    error.setWhat(error.describe());
    return error;
}

std::string ConfigError::localizedDescription() const { return describe(); }

std::string ConfigError::describe() const {
    if (case_ == Case::typeMismatch)
        return "typeMismatch(expected: " + expected_->description() + ", actual: " + actual_->description() + ")";
    return "typeConversionFailed(value: " + std::string(value_.type().name()) + ", targetType: " + targetType_ + ")";
}

}  // namespace hub

#pragma once
// Config: the dynamic value that model and tokenizer JSON files are read into.
//
// A Config is cheap to copy: dictionaries, arrays and tokens are shared immutable nodes, so copying
// a 100k-entry vocabulary copies one pointer. The mutable accessors copy a node only while another
// Config still shares it (copy on write), so an edited copy never changes the original.
//
// Lookups by name try the name as written, then its snake_case form: `config["modelType"]` finds
// "model_type". Readers never fail: a value of another kind yields nothing (or the given default).
#include <any>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "Hub/BinaryDistinct.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace jinja {
class Value;
}

namespace hub {

class Config {
public:
    using Dictionary = BinaryDistinctDictionary<Config>;
    using Array = std::vector<Config>;
    // (id, text).
    using Token = std::pair<uint64_t, BinaryDistinctString>;
    // (key, value) pairs of the dictionary literal; a key given twice keeps the later value.
    using Pairs = std::vector<std::pair<BinaryDistinctString, Config>>;

    // The cases, in declared order.
    enum class Kind : uint8_t { string, integer, boolean, floating, dictionary, array, token, null };

    // The enumeration a Config holds. Equality, hashing and the text form are those of Config.
    class Data {
    public:
        Kind kind() const { return static_cast<Kind>(storage_.index()); }

        std::optional<std::string> string() const;
        std::optional<int64_t> integer() const;
        std::optional<bool> boolean() const;   // the coercion of Config::boolean()
        std::optional<float> floating() const;  // an integer converted to the nearest float

        // Payload access without copies; null when the value is of another kind.
        const BinaryDistinctString* stringPayload() const { return std::get_if<BinaryDistinctString>(&storage_); }
        const Dictionary* dictionaryPayload() const;
        const Array* arrayPayload() const;
        const Token* tokenPayload() const;

        std::string description() const;
        size_t hash() const;
        friend bool operator==(const Data& a, const Data& b);

    private:
        friend class Config;
        struct Null {};
        // Nodes are shared between copies and never changed while shared (see mutableDictionary).
        using Storage = std::variant<BinaryDistinctString, int64_t, bool, float, std::shared_ptr<Dictionary>,
                                     std::shared_ptr<Array>, std::shared_ptr<const Token>, Null>;
        Data() : storage_(Null{}) {}
        template <class T>
            requires(!std::same_as<std::remove_cvref_t<T>, Data>)
        explicit Data(T&& payload) : storage_(std::forward<T>(payload)) {}
        Storage storage_;
    };

    // --- Construction. The default value is null.
    Config() = default;
    Config(BinaryDistinctString text);
    Config(std::string_view text);
    Config(const std::string& text) : Config(std::string_view(text)) {}
    Config(const char* text) : Config(std::string_view(text)) {}
    template <class T>
        requires std::integral<T> && (!std::same_as<T, bool>) && (!std::same_as<T, char>)
    Config(T integer) : value_(static_cast<int64_t>(integer)) {}
    Config(bool flag);
    Config(float number);
    // Rounded to the nearest float.
    Config(double number) : Config(static_cast<float>(number)) {}
    Config(Array items);
    Config(Dictionary entries);
    Config(Pairs pairs);
    Config(Token token);
    // Maps keyed by text (the platform's string-keyed dictionaries).
    Config(const std::map<std::string, Config>& entries);
    Config(const std::unordered_map<std::string, Config>& entries);
    // A JSON tree read by the platform JSON reader, converted by the tree rules (an integer stays an
    // integer, a real becomes a float, true and false stay booleans).
    explicit Config(const foundation::JSONValue& tree);
    // The same conversion under the name the hub client uses for server answers.
    static Config convertToBinaryDistinctKeys(const foundation::JSONValue& tree);

    static Config null() { return Config(); }

    // --- The stored enumeration.
    const Data& value() const { return value_; }
    Kind kind() const { return value_.kind(); }
    bool isNull() const { return kind() == Kind::null; }
    bool isString() const { return kind() == Kind::string; }
    bool isInteger() const { return kind() == Kind::integer; }
    bool isBoolean() const { return kind() == Kind::boolean; }
    bool isFloating() const { return kind() == Kind::floating; }
    bool isDictionary() const { return kind() == Kind::dictionary; }
    bool isArray() const { return kind() == Kind::array; }
    bool isToken() const { return kind() == Kind::token; }

    // --- Typed readers.
    std::optional<std::string> string() const { return value_.string(); }
    std::string string(std::string_view defaultValue) const;
    std::optional<BinaryDistinctString> binaryDistinctString() const;
    BinaryDistinctString binaryDistinctString(const BinaryDistinctString& defaultValue) const;
    // The payload of an integer only (a float yields nothing).
    std::optional<int64_t> integer() const { return value_.integer(); }
    int64_t integer(int64_t defaultValue) const { return integer().value_or(defaultValue); }
    // A boolean as is; the integer 1 true and every other integer false; the texts "true", "t", "1"
    // and "false", "f", "0" in any case; nothing for everything else.
    std::optional<bool> boolean() const { return value_.boolean(); }
    bool boolean(bool defaultValue) const { return boolean().value_or(defaultValue); }
    // A float as is, an integer converted to the nearest float.
    std::optional<float> floating() const { return value_.floating(); }
    float floating(float defaultValue) const { return floating().value_or(defaultValue); }
    // The map or the list itself, without copying; null when the value is of another kind.
    const Dictionary* dictionary() const { return value_.dictionaryPayload(); }
    Dictionary dictionary(const Dictionary& defaultValue) const;
    const Array* array() const { return value_.arrayPayload(); }
    Array array(const Array& defaultValue) const;
    // A token, or an array of exactly [text, non-negative integer], as (id, text).
    std::optional<Token> token() const;
    Token token(const Token& defaultValue) const { return token().value_or(defaultValue); }

    // Other spellings of the readers.
    std::optional<std::string> stringValue() const { return string(); }
    std::optional<int64_t> intValue() const { return integer(); }
    std::optional<bool> boolValue() const { return boolean(); }
    const Array* arrayValue() const { return array(); }
    std::optional<Token> tokenValue() const { return token(); }

    // get<T>() for T = std::string, BinaryDistinctString, int64_t, bool, float, Dictionary, Array,
    // Token, std::vector<std::string> and std::vector<BinaryDistinctString> (the string elements of an
    // array, others skipped), BinaryDistinctDictionary<int64_t> (the integer entries of a dictionary).
    template <class T>
    std::optional<T> get() const;
    template <class T>
    T get(const T& defaultValue) const {
        std::optional<T> found = get<T>();
        return found ? std::move(*found) : defaultValue;
    }

    // --- Lookups; never fail.
    // On a dictionary: the value under the key as written, else under uncamelCase(key), else null.
    // Null on any other kind.
    Config operator[](const BinaryDistinctString& key) const;
    // The element at the index of an array, else null.
    template <class I>
        requires std::integral<I> && (!std::same_as<I, bool>)
    Config operator[](I index) const {
        if constexpr (std::is_signed_v<I>) {
            if (index < 0) return Config();
        }
        return element(static_cast<uint64_t>(index));
    }
    // The same lookup by name with an optional result: nothing when the value is not a dictionary,
    // null when it is but lacks the key.
    std::optional<Config> dynamicMember(const BinaryDistinctString& name) const;
    // The stored entry itself, without copying (the same two-step lookup); null when absent.
    const Config* find(const BinaryDistinctString& key) const;

    // camelCase to snake_case: an underscore before each upper-case letter that follows a
    // non-upper-case scalar, and the letter lower-cased (modelType -> model_type, XMLParser -> xmlparser).
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    // --- Copy-on-write edits. Each copies the shared node first when another Config shares it.
    // The dictionary or the list to change in place; null when the value is of another kind.
    Dictionary* mutableDictionary();
    Array* mutableArray();
    // Sets the entry of a dictionary (adding or replacing); a value of any other kind first becomes
    // an empty dictionary.
    void set(const BinaryDistinctString& key, Config entry);

    // --- Comparison, hashing, text (loose across the scalar kinds: 1 == 1.0, 1 == true, "t" == true).
    friend bool operator==(const Config& a, const Config& b) { return a.value_ == b.value_; }
    size_t hash() const { return value_.hash(); }
    std::string description() const { return value_.description(); }

    // --- Encoding: each kind as its JSON form (a token as [id, "text"]; dictionary keys sorted by
    // their units so the output is stable). A non-finite float is the writer's error.
    void encode(foundation::JSONWriter& writer) const;
    // Decoding never fails: null, integer, float, boolean, string; then a two-element array of a
    // non-negative integer and a string is a token; other arrays and objects by element; else null.
    static Config decode(const foundation::JSONValue& json);

    // --- Template values: objects keyed by text (canonically equivalent keys merge, the later one
    // in key order winning), keys in ascending order; a token is {"<id>": "text"}; a float is the
    // double read back from its shortest text (0.1f gives 0.1).
    jinja::Value jinjaValue() const;

private:
    Config element(uint64_t index) const;
    static Config fromTree(yyjson_val* v, int depth);
    static Config decodeTree(yyjson_val* v, int depth);
    static BinaryDistinctString textOf(yyjson_val* v);
    // Makes this value the JSON string's text, copying its bytes once and moving nothing.
    void assignText(yyjson_val* v);

    Data value_;
};

// An error type of the configuration values. Nothing in the hub client raises it; it is kept for
// callers that report a value of an unexpected kind or a failed conversion.
class ConfigError : public foundation::Error {
public:
    enum class Case { typeMismatch, typeConversionFailed };

    static ConfigError typeMismatch(Config::Data expected, Config::Data actual);
    // `targetType` names the type that could not be produced.
    static ConfigError typeConversionFailed(std::any value, std::string targetType);

    Case errorCase() const { return case_; }
    const std::optional<Config::Data>& expected() const { return expected_; }
    const std::optional<Config::Data>& actual() const { return actual_; }
    const std::any& value() const { return value_; }
    const std::string& targetType() const { return targetType_; }

    std::string localizedDescription() const override;
    std::string describe() const override;

private:
    explicit ConfigError(Case errorCase);

    Case case_;
    std::optional<Config::Data> expected_;
    std::optional<Config::Data> actual_;
    std::any value_;
    std::string targetType_;
};

// --- get<T>() specialisations.
template <>
std::optional<std::string> Config::get<std::string>() const;
template <>
std::optional<BinaryDistinctString> Config::get<BinaryDistinctString>() const;
template <>
std::optional<int64_t> Config::get<int64_t>() const;
template <>
std::optional<bool> Config::get<bool>() const;
template <>
std::optional<float> Config::get<float>() const;
template <>
std::optional<Config::Dictionary> Config::get<Config::Dictionary>() const;
template <>
std::optional<Config::Array> Config::get<Config::Array>() const;
template <>
std::optional<Config::Token> Config::get<Config::Token>() const;
template <>
std::optional<std::vector<std::string>> Config::get<std::vector<std::string>>() const;
template <>
std::optional<std::vector<BinaryDistinctString>> Config::get<std::vector<BinaryDistinctString>>() const;
template <>
std::optional<BinaryDistinctDictionary<int64_t>> Config::get<BinaryDistinctDictionary<int64_t>>() const;

}  // namespace hub

template <>
struct std::hash<hub::Config> {
    size_t operator()(const hub::Config& c) const { return c.hash(); }
};

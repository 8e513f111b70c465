#pragma once
// JSON: reading over yyjson, and the one ordered writer every encodable type uses.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Foundation/Error.hpp"

struct yyjson_doc;
struct yyjson_val;

namespace foundation {

class JSONError : public RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

enum class JSONType { null, boolean, integer, number, string, array, object };

// A read-only view of one value inside a JSONDocument; valid while the document lives.
class JSONValue {
public:
    JSONValue() = default;
    explicit JSONValue(yyjson_val* v) : v_(v) {}

    bool exists() const { return v_ != nullptr; }
    JSONType type() const;
    bool isNull() const;
    bool isBool() const;
    bool isString() const;
    bool isNumber() const;   // integer or real
    bool isInteger() const;  // written without fraction or exponent and fits in int64/uint64
    bool isArray() const;
    bool isObject() const;

    // Typed accessors throw JSONError naming the expected type.
    bool asBool() const;
    int64_t asInt64() const;  // also an integral real within range
    uint64_t asUInt64() const;  // a non-negative integer (or integral real) within range
    double asDouble() const;  // any number
    std::string asString() const;
    std::string_view asStringView() const;

    size_t size() const;                // array length or member count
    JSONValue operator[](size_t index) const;
    std::vector<JSONValue> items() const;                              // array elements in order
    std::vector<std::pair<std::string, JSONValue>> members() const;    // object members in order (duplicates kept)
    JSONValue member(std::string_view key) const;                      // first member with the key; !exists() when absent

    yyjson_val* raw() const { return v_; }

private:
    yyjson_val* v_ = nullptr;
};

class JSONDocument {
public:
    struct ReadOptions {
        bool allowInfAndNaN = false;  // literals Infinity, -Infinity, NaN
    };
    // Throws JSONError with the reader's message and byte position.
    static JSONDocument parse(std::string_view text);
    static JSONDocument parse(std::string_view text, ReadOptions options);
    JSONValue root() const;

private:
    std::shared_ptr<yyjson_doc> doc_;
};

// The ordered writer. Keys come out in the order written; absent optionals are simply not written
// by the encoders. Output follows the platform encoder's defaults: compact with no spaces, "/" escaped
// as "\/", non-ASCII written as UTF-8; the pretty form indents by two spaces and writes "key" : value,
// empty containers as [] and {}. Doubles print in shortest round-trip form, integral values without a
// fraction ("1", "0.5", "1e-05"); floats through their own shortest form ("0.1"). A non-finite number
// throws JSONError("Unable to encode <value> directly in JSON.").
class JSONWriter {
public:
    struct Options {
        bool pretty = false;
        bool sortedKeys = false;  // only for callers that ask for it; default is declared order
        bool escapeSlashes = true;
    };
    JSONWriter();
    explicit JSONWriter(Options options);
    ~JSONWriter();
    JSONWriter(JSONWriter&&) noexcept;
    JSONWriter& operator=(JSONWriter&&) noexcept;

    JSONWriter& beginObject();
    JSONWriter& endObject();
    JSONWriter& beginArray();
    JSONWriter& endArray();
    JSONWriter& key(std::string_view name);
    JSONWriter& value(std::string_view text);
    JSONWriter& value(const char* text) { return value(std::string_view(text)); }
    JSONWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JSONWriter& value(bool flag);
    JSONWriter& value(int64_t number);
    JSONWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JSONWriter& value(uint64_t number);
    JSONWriter& value(double number);
    JSONWriter& value(float number);
    JSONWriter& null();
    // Inserts an already-encoded JSON fragment as one value (re-indented when pretty).
    JSONWriter& raw(std::string_view json);
    template <class T>
    JSONWriter& field(std::string_view name, const T& v) { key(name); return value(v); }
    template <class T>
    JSONWriter& field(std::string_view name, const std::optional<T>& v) {
        if (v) { key(name); value(*v); }
        return *this;
    }

    // The finished text; throws JSONError when containers are left open.
    std::string str() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Escapes a string as a JSON string literal with the writer's rules (quotes included).
std::string jsonQuoted(std::string_view text, bool escapeSlashes = true);
// The same escapes appended to `out`, without the quotes.
void appendJSONEscaped(std::string& out, std::string_view text, bool escapeSlashes = true);
// A finite Double as the writer prints it ("1", "0.5", "1e-05").
std::string jsonNumberText(double number);

}  // namespace foundation

#pragma once
// The one dynamic value of the template language.
#include <any>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/OrderedDictionary.hpp"

namespace jinja {

class Value;
class Environment;
struct Macro;

using EnvironmentPtr = std::shared_ptr<Environment>;
using ValueArray = std::vector<Value>;
// Objects keep their keys in insertion order.
using ValueObject = foundation::OrderedDictionary<Value>;
// Keyword arguments arrive in source order, so nothing depends on hashing.
using KeywordArguments = foundation::OrderedDictionary<Value>;

// The callable of a function value and the shape of every filter, global and member method:
// positional values, keyword values and the current scope in, one value out (or a thrown error).
// Callables may be shared between threads; one that keeps state guards it itself.
using BuiltinFunction =
    std::function<Value(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env)>;

// Bounds that keep one operation from exhausting memory; exceeding one is a runtime error with
// `sizeLimitMessage`.
namespace limits {
inline constexpr size_t maxStringBytes = size_t{32} * 1024 * 1024;
inline constexpr size_t maxArrayCount = size_t{2} * 1024 * 1024;
inline constexpr size_t maxOutputBytes = size_t{64} * 1024 * 1024;
inline constexpr uint32_t maxNestingDepth = 512;
// Throw JinjaError.runtime(sizeLimitMessage) when a result would exceed the bound.
void ensureStringSize(size_t bytes);
void ensureArraySize(size_t count);
}  // namespace limits

// Checked 64-bit arithmetic: throw JinjaError.runtime(integerOverflowMessage) on overflow.
int64_t checkedAdd(int64_t a, int64_t b);
int64_t checkedSubtract(int64_t a, int64_t b);
int64_t checkedMultiply(int64_t a, int64_t b);
int64_t checkedNegate(int64_t a);
// A double converted to an int: the value truncated toward zero; NaN, infinities and values out of
// range throw the overflow error.
int64_t checkedIntFromDouble(double value);

class Value {
public:
    enum class Kind { boolean, int_, double_, string, array, object, function, macro, null, undefined };

    // The default value is undefined (what a missing name yields).
    constexpr Value() noexcept : kind_(Kind::undefined), raw_(0) {}
    // One full-width store: a byte stored over a zeroed word would stall the next copy's word-wide load.
    constexpr Value(bool b) noexcept : kind_(Kind::boolean), raw_(b ? 1u : 0u) {}
    Value(int i) noexcept : kind_(Kind::int_), integer_(i) {}
    Value(long i) noexcept : kind_(Kind::int_), integer_(i) {}
    Value(long long i) noexcept : kind_(Kind::int_), integer_(i) {}
    Value(double d) noexcept : kind_(Kind::double_), double_(d) {}
    Value(float f) noexcept : kind_(Kind::double_), double_(f) {}
    Value(std::string s) : kind_(Kind::string), string_(std::move(s)) {}
    Value(std::string_view s) : kind_(Kind::string), string_(s) {}
    Value(const char* s) : kind_(Kind::string), string_(s) {}
    Value(ValueArray items);
    Value(ValueObject entries);
    Value(BuiltinFunction function);
    Value(const Macro& macro);
    Value(std::shared_ptr<const Macro> macro);

    Value(const Value& other) : kind_(other.kind_) {
        if (isScalar(kind_))
            raw_ = other.raw_;
        else
            copyPayload(other);
    }
    Value(Value&& other) noexcept : kind_(other.kind_) {
        if (isScalar(kind_))
            raw_ = other.raw_;
        else
            movePayload(std::move(other));
    }
    Value& operator=(const Value& other) {
        if (this == &other) return *this;
        if (isScalar(kind_) && isScalar(other.kind_)) {
            kind_ = other.kind_;
            raw_ = other.raw_;
            return *this;
        }
        if (kind_ == other.kind_) {
            assignPayload(other);
            return *this;
        }
        Value copy(other);
        return *this = std::move(copy);
    }
    [[gnu::always_inline]] Value& operator=(Value&& other) noexcept {
        if (this == &other) return *this;
        if (!isScalar(kind_)) destroyPayload();
        kind_ = other.kind_;
        if (isScalar(kind_))
            raw_ = other.raw_;
        else
            movePayload(std::move(other));
        return *this;
    }
    ~Value() {
        if (!isScalar(kind_)) [[unlikely]]
            destroyPayload();
    }

    static Value null() { return Value(NullTag{}); }
    static Value undefined() { return Value(); }
    // The literal initialisers.
    static Value array(ValueArray items) { return Value(std::move(items)); }
    // A dictionary literal: pairs set in order, so a repeated key keeps its first place and last value.
    static Value object(std::vector<std::pair<std::string, Value>> pairs);
    static Value function(BuiltinFunction function) { return Value(std::move(function)); }

    // Conversion of untyped host data (absent, Value, std::string, const char*, int64_t, int, double,
    // float, bool, vectors of std::any / std::optional<std::any>, string-keyed std::map /
    // std::unordered_map / OrderedDictionary of std::any / std::optional<std::any>, Macro). Anything
    // else throws JinjaError.runtime "Cannot convert value of type Optional<Any> to Jinja Value".
    static Value fromAny(const std::optional<std::any>& host);

    Kind kind() const { return kind_; }
    bool isBoolean() const { return kind() == Kind::boolean; }
    bool isInt() const { return kind() == Kind::int_; }
    bool isDouble() const { return kind() == Kind::double_; }
    bool isNumber() const { return isInt() || isDouble(); }
    bool isString() const { return kind() == Kind::string; }
    bool isArray() const { return kind() == Kind::array; }
    bool isObject() const { return kind() == Kind::object; }
    bool isFunction() const { return kind() == Kind::function; }
    bool isMacro() const { return kind() == Kind::macro; }
    bool isNull() const { return kind() == Kind::null; }
    bool isUndefined() const { return kind() == Kind::undefined; }
    bool isIterable() const { return isString() || isArray() || isObject(); }

    // Payload access; asking for the wrong case throws JinjaError.runtime.
    bool asBool() const {
        if (kind_ != Kind::boolean) wrongCase("a boolean");
        return boolean_;
    }
    int64_t asInt() const {
        if (kind_ != Kind::int_) wrongCase("an int");
        return integer_;
    }
    double asDouble() const {  // the int taken as a double for an int
        if (kind_ == Kind::double_) return double_;
        if (kind_ == Kind::int_) return static_cast<double>(integer_);
        wrongCase("a number");
    }
    const std::string& asString() const {
        if (kind_ != Kind::string) wrongCase("a string");
        return string_;
    }
    const ValueArray& asArray() const;
    // The items of an array without copying a slice's shared items into a vector of its own.
    std::span<const Value> arrayItems() const;
    // `[begin, begin + count)` of this array's items, sharing them rather than copying; the range
    // lies within the items.
    Value arraySlice(size_t begin, size_t count) const;
    const ValueObject& asObject() const;  // inline below: entries are read on every member access
    const BuiltinFunction& asFunction() const;
    const Macro& asMacro() const;
    const std::shared_ptr<const Macro>& macroPointer() const;
    // Copy-on-write access for in-place changes; other copies are not affected.
    ValueArray& mutableArray();
    ValueObject& mutableObject();
    // Becomes the string `text`, reusing this value's own string storage when it is a string already
    // (`text` may be a part of that string).
    void assignString(std::string_view text) {
        if (kind_ == Kind::string)
            string_.assign(text.data(), text.size());
        else
            *this = Value(text);
    }

    // The printed form that output writes.
    std::string description() const;
    bool isTruthy() const {
        switch (kind_) {
            case Kind::boolean: return boolean_;
            case Kind::int_: return integer_ != 0;
            case Kind::double_: return double_ != 0.0;
            case Kind::string: return !string_.empty();
            case Kind::null:
            case Kind::undefined: return false;
            default: return containerTruthy();
        }
    }

    // The language's == (1 and 1.0 are equivalent; a function is equivalent to nothing).
    bool isEquivalent(const Value& other) const;
    // Strict equality: same case, IEEE doubles, function values never equal.
    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }
    // Agrees with ==.
    size_t hash() const;

    // -1, 0 or 1; throws for pairs that have no order.
    int compare(const Value& other) const;

    Value add(const Value& other) const;
    Value subtract(const Value& other) const;
    Value multiply(const Value& other) const;
    Value divide(const Value& other) const;
    Value floorDivide(const Value& other) const;
    Value power(const Value& other) const;
    Value modulo(const Value& other) const;
    Value concatenate(const Value& other) const;
    // `*this in container`.
    bool isContained(const Value& container) const;

    // JSON form. Objects keep their key order. A function value throws EncodingError
    // "Cannot encode function values"; the writer's own errors (non-finite numbers) pass through.
    void encode(foundation::JSONWriter& writer) const;
    // Reading: null, string, integer, double, boolean, array, object (keys sorted ascending).
    static Value decode(const foundation::JSONValue& json);

private:
    struct NullTag {};
    explicit Value(NullTag) noexcept : kind_(Kind::null), raw_(0) {}

    struct ArrayBox;
    struct ObjectBox;

    // Booleans, numbers, null and undefined live in raw_ and copy as plain bytes.
    static constexpr bool isScalar(Kind kind) {
        return kind == Kind::boolean || kind == Kind::int_ || kind == Kind::double_ || kind == Kind::null ||
               kind == Kind::undefined;
    }
    // Out of line: the inline parts above handle the scalars.
    void copyPayload(const Value& other);
    void assignPayload(const Value& other);  // same kind, not a scalar
    // Leaves `other` undefined; what is left of its payload (an empty string, a null pointer) holds
    // nothing to release.
    void movePayload(Value&& other) noexcept;
    void destroyPayload() noexcept;
    [[noreturn]] static void wrongCase(const char* wanted);
    bool containerTruthy() const;  // arrays, objects, functions and macros

    Kind kind_;
    union {
        uint64_t raw_;
        bool boolean_;
        int64_t integer_;
        double double_;
        std::string string_;
        std::shared_ptr<ArrayBox> array_;
        std::shared_ptr<ObjectBox> object_;
        std::shared_ptr<const BuiltinFunction> function_;
        std::shared_ptr<const Macro> macro_;
    };

public:
    // How deeply arrays and objects nest inside this value (0 for a scalar). Values nest at most
    // `limits::maxNestingDepth` levels; building a deeper one throws JinjaError.runtime(sizeLimitMessage).
    uint32_t nestingDepth() const;
};

// Each box caches how deeply it nests; 0 means "not known" (after a change through a mutable accessor).
// The cache is atomic because one value may be read by several renders at once.
struct Value::ObjectBox {
    ValueObject entries;
    std::atomic<uint32_t> depth{0};
    ObjectBox() = default;
    ObjectBox(const ObjectBox& other) : entries(other.entries) {}
};

inline const ValueObject& Value::asObject() const {
    if (kind_ != Kind::object) wrongCase("an object");
    return object_->entries;
}

struct ValueHash {
    size_t operator()(const Value& v) const { return v.hash(); }
};

// The entry stored under `key`, comparing keys by canonical equivalence; null when absent.
const Value* findEntry(const ValueObject& object, std::string_view key);

// Name of a kind as used in messages and debugging ("string", "int", ...).
std::string kindName(Value::Kind kind);

}  // namespace jinja

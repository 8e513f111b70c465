#include "Jinja/Value.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>

#include "Jinja/AST.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {

// ---------------------------------------------------------------------------------------------
// Limits and checked arithmetic

void limits::ensureStringSize(size_t bytes) {
    if (bytes > maxStringBytes) throw JinjaError::runtime(sizeLimitMessage);
}

void limits::ensureArraySize(size_t count) {
    if (count > maxArrayCount) throw JinjaError::runtime(sizeLimitMessage);
}

int64_t checkedAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) throw JinjaError::runtime(integerOverflowMessage);
    return r;
}

int64_t checkedSubtract(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) throw JinjaError::runtime(integerOverflowMessage);
    return r;
}

int64_t checkedMultiply(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw JinjaError::runtime(integerOverflowMessage);
    return r;
}

int64_t checkedNegate(int64_t a) {
    if (a == std::numeric_limits<int64_t>::min()) throw JinjaError::runtime(integerOverflowMessage);
    return -a;
}

int64_t checkedIntFromDouble(double value) {
    // 2^63 is exactly representable; every double below it in magnitude converts without loss of range.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0)
        throw JinjaError::runtime(integerOverflowMessage);
    return static_cast<int64_t>(value);
}

// ---------------------------------------------------------------------------------------------
// Storage

// Each box caches how deeply it nests; 0 means "not known" (after a change through a mutable accessor).
// The cache is atomic because one value may be read by several renders at once.
// A slice shares the items of the array it was taken from (`source`, never itself a slice) and copies
// them into `items` only when a caller asks for the vector itself; the source is never changed while
// shared, since changing goes through a copy once a box has more than one owner.
struct Value::ArrayBox {
    ValueArray items;
    std::atomic<uint32_t> depth{0};
    std::shared_ptr<const ArrayBox> source;
    size_t offset = 0, length = 0;
    mutable std::once_flag copied;  // one box may be read by several renders at once
    ArrayBox() = default;
    ArrayBox(const ArrayBox& other) : items(other.all()) {}

    std::span<const Value> view() const {
        if (source) return std::span<const Value>(source->items).subspan(offset, length);
        return items;
    }
    const ValueArray& all() const {
        if (source) std::call_once(copied, [this] {
            auto shared = view();
            const_cast<ValueArray&>(items).assign(shared.begin(), shared.end());
        });
        return items;
    }
};

void Value::wrongCase(const char* wanted) { throw JinjaError::runtime(std::string("Value is not ") + wanted); }

void Value::copyPayload(const Value& other) {
    switch (kind_) {
        case Kind::string: new (&string_) std::string(other.string_); return;
        case Kind::array: new (&array_) std::shared_ptr<ArrayBox>(other.array_); return;
        case Kind::object: new (&object_) std::shared_ptr<ObjectBox>(other.object_); return;
        case Kind::function: new (&function_) std::shared_ptr<const BuiltinFunction>(other.function_); return;
        case Kind::macro: new (&macro_) std::shared_ptr<const Macro>(other.macro_); return;
        default: raw_ = other.raw_; return;
    }
}

void Value::assignPayload(const Value& other) {
    switch (kind_) {
        case Kind::string: string_ = other.string_; return;
        case Kind::array: array_ = other.array_; return;
        case Kind::object: object_ = other.object_; return;
        case Kind::function: function_ = other.function_; return;
        case Kind::macro: macro_ = other.macro_; return;
        default: raw_ = other.raw_; return;
    }
}

void Value::movePayload(Value&& other) noexcept {
    switch (kind_) {
        case Kind::string: new (&string_) std::string(std::move(other.string_)); break;
        case Kind::array: new (&array_) std::shared_ptr<ArrayBox>(std::move(other.array_)); break;
        case Kind::object: new (&object_) std::shared_ptr<ObjectBox>(std::move(other.object_)); break;
        case Kind::function: new (&function_) std::shared_ptr<const BuiltinFunction>(std::move(other.function_)); break;
        case Kind::macro: new (&macro_) std::shared_ptr<const Macro>(std::move(other.macro_)); break;
        default: raw_ = other.raw_; return;
    }
    other.kind_ = Kind::undefined;
}

void Value::destroyPayload() noexcept {
    switch (kind_) {
        case Kind::string: string_.~basic_string(); return;
        case Kind::array: array_.~shared_ptr(); return;
        case Kind::object: object_.~shared_ptr(); return;
        case Kind::function: function_.~shared_ptr(); return;
        case Kind::macro: macro_.~shared_ptr(); return;
        default: return;
    }
}

namespace {

using fastText::isASCII;

bool textEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isASCII(a) && isASCII(b)) return false;
    return foundation::text::canonicallyEqual(a, b);
}

int textCompare(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) {
        int c = a.compare(b);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    int c = foundation::text::canonicalCompare(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

uint32_t depthOfItems(std::span<const Value> items) {
    uint32_t d = 0;
    for (const auto& item : items) d = std::max(d, item.nestingDepth());
    return d + 1;
}

uint32_t depthOfEntries(const ValueObject& entries) {
    uint32_t d = 0;
    for (const auto& entry : entries) d = std::max(d, entry.second.nestingDepth());
    return d + 1;
}

void ensureDepth(uint32_t depth) {
    if (depth > limits::maxNestingDepth) throw JinjaError::runtime(sizeLimitMessage);
}

}  // namespace

Value::Value(ValueArray items) : kind_(Kind::undefined), raw_(0) {
    limits::ensureArraySize(items.size());
    uint32_t depth = depthOfItems(items);
    ensureDepth(depth);
    auto box = std::make_shared<ArrayBox>();
    box->items = std::move(items);
    box->depth.store(depth, std::memory_order_relaxed);
    new (&array_) std::shared_ptr<ArrayBox>(std::move(box));
    kind_ = Kind::array;
}

Value::Value(ValueObject entries) : kind_(Kind::undefined), raw_(0) {
    uint32_t depth = depthOfEntries(entries);
    ensureDepth(depth);
    auto box = std::make_shared<ObjectBox>();
    box->entries = std::move(entries);
    box->depth.store(depth, std::memory_order_relaxed);
    new (&object_) std::shared_ptr<ObjectBox>(std::move(box));
    kind_ = Kind::object;
}

Value::Value(BuiltinFunction function)
    : kind_(Kind::function), function_(std::make_shared<const BuiltinFunction>(std::move(function))) {}

Value::Value(const Macro& macro) : kind_(Kind::macro), macro_(std::make_shared<const Macro>(macro)) {}

Value::Value(std::shared_ptr<const Macro> macro) : kind_(Kind::null), raw_(0) {
    if (!macro) return;
    new (&macro_) std::shared_ptr<const Macro>(std::move(macro));
    kind_ = Kind::macro;
}

Value Value::object(std::vector<std::pair<std::string, Value>> pairs) {
    ValueObject entries;
    for (auto& pair : pairs) entries.set(std::move(pair.first), std::move(pair.second));
    return Value(std::move(entries));
}

uint32_t Value::nestingDepth() const {
    if (kind_ == Kind::array) {
        uint32_t depth = array_->depth.load(std::memory_order_relaxed);
        if (depth == 0) {
            depth = depthOfItems(array_->view());
            array_->depth.store(depth, std::memory_order_relaxed);
        }
        return depth;
    }
    if (kind_ == Kind::object) {
        uint32_t depth = object_->depth.load(std::memory_order_relaxed);
        if (depth == 0) {
            depth = depthOfEntries(object_->entries);
            object_->depth.store(depth, std::memory_order_relaxed);
        }
        return depth;
    }
    return 0;
}

const ValueArray& Value::asArray() const {
    if (kind_ != Kind::array) wrongCase("an array");
    return array_->all();
}

std::span<const Value> Value::arrayItems() const {
    if (kind_ != Kind::array) wrongCase("an array");
    return array_->view();
}

Value Value::arraySlice(size_t begin, size_t count) const {
    if (kind_ != Kind::array) wrongCase("an array");
    if (count == 0) return Value(ValueArray{});
    auto box = std::make_shared<ArrayBox>();
    box->source = array_->source ? array_->source : std::shared_ptr<const ArrayBox>(array_);
    box->offset = array_->offset + begin;
    box->length = count;
    Value slice;
    new (&slice.array_) std::shared_ptr<ArrayBox>(std::move(box));
    slice.kind_ = Kind::array;
    return slice;
}

const BuiltinFunction& Value::asFunction() const {
    if (kind_ != Kind::function) wrongCase("a function");
    return *function_;
}

const Macro& Value::asMacro() const { return *macroPointer(); }

const std::shared_ptr<const Macro>& Value::macroPointer() const {
    if (kind_ != Kind::macro) wrongCase("a macro");
    return macro_;
}

ValueArray& Value::mutableArray() {
    if (kind_ != Kind::array) wrongCase("an array");
    if (array_.use_count() > 1 || array_->source) array_ = std::make_shared<ArrayBox>(*array_);
    array_->depth.store(0, std::memory_order_relaxed);
    return array_->items;
}

ValueObject& Value::mutableObject() {
    if (kind_ != Kind::object) wrongCase("an object");
    if (object_.use_count() > 1) object_ = std::make_shared<ObjectBox>(*object_);
    object_->depth.store(0, std::memory_order_relaxed);
    return object_->entries;
}

// ---------------------------------------------------------------------------------------------
// Printed form and truthiness

namespace {
void appendDescription(const Value& value, std::string& out) {
    switch (value.kind()) {
        case Value::Kind::boolean: out += value.asBool() ? "true" : "false"; return;
        case Value::Kind::int_: out += std::to_string(value.asInt()); return;
        case Value::Kind::double_: out += foundation::formatDouble(value.asDouble()); return;
        case Value::Kind::string: out += value.asString(); return;
        case Value::Kind::array: {
            out += "[";
            bool first = true;
            for (const auto& item : value.asArray()) {
                if (!first) out += ", ";
                first = false;
                if (item.isString()) {
                    out += "'";
                    out += item.asString();
                    out += "'";
                } else {
                    appendDescription(item, out);
                }
            }
            out += "]";
            return;
        }
        case Value::Kind::object: {
            out += "{";
            bool first = true;
            for (const auto& [key, item] : value.asObject()) {
                if (!first) out += ", ";
                first = false;
                out += key;
                out += ": ";
                appendDescription(item, out);
            }
            out += "}";
            return;
        }
        case Value::Kind::function: out += "[Function]"; return;
        case Value::Kind::macro:
            out += "[Macro ";
            out += value.asMacro().name;
            out += "]";
            return;
        case Value::Kind::null:
        case Value::Kind::undefined: return;
    }
}
}  // namespace

std::string Value::description() const {
    if (kind_ == Kind::string) return string_;
    std::string out;
    appendDescription(*this, out);
    return out;
}

bool Value::containerTruthy() const {
    switch (kind()) {
        case Kind::array: return !asArray().empty();
        case Kind::object: return !asObject().empty();
        case Kind::function:
        case Kind::macro: return true;
        default: return isTruthy();
    }
}

// ---------------------------------------------------------------------------------------------
// Sameness

bool Value::isEquivalent(const Value& other) const {
    if (isNumber() && other.isNumber()) {
        if (isInt() && other.isInt()) return asInt() == other.asInt();
        return asDouble() == other.asDouble();
    }
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case Kind::boolean: return asBool() == other.asBool();
        case Kind::string: return textEqual(asString(), other.asString());
        case Kind::array: {
            const auto& a = asArray();
            const auto& b = other.asArray();
            if (a.size() != b.size()) return false;
            for (size_t i = 0; i < a.size(); ++i)
                if (!a[i].isEquivalent(b[i])) return false;
            return true;
        }
        case Kind::object: {
            const auto& a = asObject();
            const auto& b = other.asObject();
            if (a.size() != b.size()) return false;
            auto ia = a.begin();
            auto ib = b.begin();
            for (; ia != a.end(); ++ia, ++ib)
                if (!textEqual(ia->first, ib->first) || !ia->second.isEquivalent(ib->second)) return false;
            return true;
        }
        case Kind::macro: return asMacro() == other.asMacro();
        case Kind::null:
        case Kind::undefined: return true;
        default: return false;
    }
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::boolean: return a.asBool() == b.asBool();
        case Value::Kind::int_: return a.asInt() == b.asInt();
        case Value::Kind::double_: return a.asDouble() == b.asDouble();
        case Value::Kind::string: return textEqual(a.asString(), b.asString());
        case Value::Kind::array: {
            const auto& x = a.asArray();
            const auto& y = b.asArray();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!(x[i] == y[i])) return false;
            return true;
        }
        case Value::Kind::object: {
            const auto& x = a.asObject();
            const auto& y = b.asObject();
            if (x.size() != y.size()) return false;
            auto ix = x.begin();
            auto iy = y.begin();
            for (; ix != x.end(); ++ix, ++iy)
                if (!textEqual(ix->first, iy->first) || !(ix->second == iy->second)) return false;
            return true;
        }
        case Value::Kind::macro: return a.asMacro() == b.asMacro();
        case Value::Kind::function: return false;
        case Value::Kind::null:
        case Value::Kind::undefined: return true;
    }
    return false;
}

size_t Value::hash() const {
    size_t seed = 0;
    switch (kind()) {
        case Kind::boolean: hashCombine(seed, asBool() ? 1 : 0); break;
        case Kind::int_: hashCombine(seed, std::hash<int64_t>{}(asInt())); break;
        case Kind::double_: {
            double d = asDouble();
            if (d == 0.0) d = 0.0;
            hashCombine(seed, std::hash<double>{}(d));
            break;
        }
        case Kind::string: hashCombine(seed, hashText(asString())); break;
        case Kind::array:
            hashCombine(seed, asArray().size());
            for (const auto& item : asArray()) hashCombine(seed, item.hash());
            break;
        case Kind::object:
            hashCombine(seed, asObject().size());
            for (const auto& [key, item] : asObject()) {
                hashCombine(seed, hashText(key));
                hashCombine(seed, item.hash());
            }
            break;
        case Kind::macro: hashCombine(seed, asMacro().hash()); break;
        case Kind::function:
        case Kind::null:
        case Kind::undefined: hashCombine(seed, 0); break;
    }
    return seed;
}

// ---------------------------------------------------------------------------------------------
// Ordering and operators

namespace {
[[noreturn]] void operandError(const char* prefix, const Value& l, const Value& r) {
    throw JinjaError::runtime(std::string(prefix) + l.description() + " and " + r.description() + ")");
}

bool isZero(const Value& v) { return v.isInt() ? v.asInt() == 0 : v.asDouble() == 0.0; }

Value checkedString(std::string s) {
    limits::ensureStringSize(s.size());
    return Value(std::move(s));
}

std::string joinedChecked(std::string_view a, std::string_view b) {
    limits::ensureStringSize(a.size() + b.size());
    std::string s;
    s.reserve(a.size() + b.size());
    s += a;
    s += b;
    return s;
}

Value repeated(const std::string& s, int64_t count) {
    if (count <= 0 || s.empty()) return Value(std::string());
    if (static_cast<uint64_t>(count) > limits::maxStringBytes / s.size()) throw JinjaError::runtime(sizeLimitMessage);
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) out += s;
    return Value(std::move(out));
}
}  // namespace

int Value::compare(const Value& other) const {
    if (isInt() && other.isInt()) {
        int64_t a = asInt(), b = other.asInt();
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    if (isNumber() && other.isNumber()) {
        double a = asDouble(), b = other.asDouble();
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    if (isString() && other.isString()) return textEqual(asString(), other.asString()) ? 0 : textCompare(asString(), other.asString());
    operandError("Cannot compare values of different types (", *this, other);
}

Value Value::add(const Value& other) const {
    if (isInt() && other.isInt()) return Value(checkedAdd(asInt(), other.asInt()));
    if (isNumber() && other.isNumber()) return Value(asDouble() + other.asDouble());
    if (isString()) return checkedString(joinedChecked(asString(), other.description()));
    if (other.isString()) return checkedString(joinedChecked(description(), other.asString()));
    if (isArray() && other.isArray()) {
        const auto& a = asArray();
        const auto& b = other.asArray();
        limits::ensureArraySize(a.size() + b.size());
        ValueArray items;
        items.reserve(a.size() + b.size());
        items.insert(items.end(), a.begin(), a.end());
        items.insert(items.end(), b.begin(), b.end());
        return Value(std::move(items));
    }
    operandError("Cannot add values of different types (", *this, other);
}

Value Value::subtract(const Value& other) const {
    if (isInt() && other.isInt()) return Value(checkedSubtract(asInt(), other.asInt()));
    if (isNumber() && other.isNumber()) return Value(asDouble() - other.asDouble());
    operandError("Cannot subtract non-numeric values (", *this, other);
}

Value Value::multiply(const Value& other) const {
    if (isString() && other.isInt()) return repeated(asString(), other.asInt());
    if (isInt() && other.isString()) return repeated(other.asString(), asInt());
    if (isInt() && other.isInt()) return Value(checkedMultiply(asInt(), other.asInt()));
    if (isNumber() && other.isNumber()) return Value(asDouble() * other.asDouble());
    operandError("Cannot multiply values of these types (", *this, other);
}

Value Value::divide(const Value& other) const {
    if (!isNumber() || !other.isNumber()) operandError("Cannot divide non-numeric values (", *this, other);
    if (isZero(other)) throw JinjaError::runtime("Division by zero");
    return Value(asDouble() / other.asDouble());
}

Value Value::floorDivide(const Value& other) const {
    if (!isNumber() || !other.isNumber()) operandError("Cannot floor divide non-numeric values (", *this, other);
    if (isZero(other)) throw JinjaError::runtime("Division by zero");
    if (isInt() && other.isInt()) {
        if (asInt() == std::numeric_limits<int64_t>::min() && other.asInt() == -1)
            throw JinjaError::runtime(integerOverflowMessage);
        return Value(asInt() / other.asInt());
    }
    return Value(checkedIntFromDouble(std::floor(asDouble() / other.asDouble())));
}

Value Value::power(const Value& other) const {
    if (isInt() && other.isInt()) {
        if (other.asInt() >= 0) return Value(checkedIntFromDouble(std::pow(asDouble(), other.asDouble())));
        return Value(std::pow(asDouble(), other.asDouble()));
    }
    if (isNumber() && other.isNumber()) return Value(std::pow(asDouble(), other.asDouble()));
    operandError("Cannot raise non-numeric values to a power (", *this, other);
}

Value Value::modulo(const Value& other) const {
    if (isInt() && other.isInt()) {
        if (other.asInt() == 0) throw JinjaError::runtime("Modulo by zero");
        if (other.asInt() == -1) return Value(int64_t{0});  // also the smallest int, whose quotient overflows
        return Value(asInt() % other.asInt());
    }
    operandError("Modulo operation requires integers (", *this, other);
}

Value Value::concatenate(const Value& other) const {
    if (isString() && other.isString()) return checkedString(joinedChecked(asString(), other.asString()));
    if (isString()) return checkedString(joinedChecked(asString(), other.description()));
    if (other.isString()) return checkedString(joinedChecked(description(), other.asString()));
    operandError("Cannot concatenate values of different types (", *this, other);
}

bool Value::isContained(const Value& container) const {
    switch (container.kind()) {
        case Kind::object:
            if (!isString()) return false;
            return findEntry(container.asObject(), asString()) != nullptr;
        case Kind::string: {
            if (!isString()) return false;
            const std::string& needle = asString();
            if (needle.empty()) return true;
            const std::string& haystack = container.asString();
            if (isASCII(needle) && isASCII(haystack)) return haystack.find(needle) != std::string::npos;
            using foundation::text::NormalizationForm;
            return foundation::text::normalized(haystack, NormalizationForm::nfc)
                       .find(foundation::text::normalized(needle, NormalizationForm::nfc)) != std::string::npos;
        }
        case Kind::array:
            for (const auto& item : container.asArray())
                if (item == *this) return true;
            return false;
        case Kind::null:
        case Kind::undefined: return false;
        default:
            throw JinjaError::runtime("'in' operator requires iterable on right side (" + container.description() + ")");
    }
}

// ---------------------------------------------------------------------------------------------
// Host data

namespace {
[[noreturn]] void notConvertible() { throw JinjaError::runtime("Cannot convert value of type Optional<Any> to Jinja Value"); }

template <class Map>
Value objectFromMap(const Map& map) {
    ValueObject entries;
    for (const auto& [key, item] : map) entries.set(key, Value::fromAny(item));
    return Value(std::move(entries));
}

Value fromPresent(const std::any& host) {
    if (auto v = std::any_cast<Value>(&host)) return *v;
    if (auto s = std::any_cast<std::string>(&host)) return Value(*s);
    if (auto s = std::any_cast<const char*>(&host)) return *s ? Value(*s) : Value::null();
    if (auto s = std::any_cast<std::string_view>(&host)) return Value(*s);
    if (auto i = std::any_cast<int64_t>(&host)) return Value(*i);
    if (auto i = std::any_cast<long long>(&host)) return Value(*i);
    if (auto i = std::any_cast<int>(&host)) return Value(*i);
    if (auto d = std::any_cast<double>(&host)) return Value(*d);
    if (auto f = std::any_cast<float>(&host)) return Value(*f);
    if (auto b = std::any_cast<bool>(&host)) return Value(*b);
    if (auto list = std::any_cast<std::vector<std::optional<std::any>>>(&host)) {
        limits::ensureArraySize(list->size());
        ValueArray items;
        items.reserve(list->size());
        for (const auto& item : *list) items.push_back(Value::fromAny(item));
        return Value(std::move(items));
    }
    if (auto list = std::any_cast<std::vector<std::any>>(&host)) {
        limits::ensureArraySize(list->size());
        ValueArray items;
        items.reserve(list->size());
        for (const auto& item : *list) items.push_back(Value::fromAny(item));
        return Value(std::move(items));
    }
    if (auto list = std::any_cast<ValueArray>(&host)) return Value(*list);
    if (auto map = std::any_cast<std::map<std::string, std::optional<std::any>>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<std::map<std::string, std::any>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<std::unordered_map<std::string, std::optional<std::any>>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<std::unordered_map<std::string, std::any>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<foundation::OrderedDictionary<std::optional<std::any>>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<foundation::OrderedDictionary<std::any>>(&host)) return objectFromMap(*map);
    if (auto map = std::any_cast<ValueObject>(&host)) return Value(*map);
    if (auto macro = std::any_cast<Macro>(&host)) return Value(*macro);
    if (auto nested = std::any_cast<std::optional<std::any>>(&host)) return Value::fromAny(*nested);
    notConvertible();
}
}  // namespace

Value Value::fromAny(const std::optional<std::any>& host) {
    if (!host || !host->has_value()) return Value::null();
    return fromPresent(*host);
}

// ---------------------------------------------------------------------------------------------
// JSON form

namespace {
// One step of the way from the encoded value down to the one being written: an array index or an
// object key. Turned into the coding path's text only when encoding fails.
struct PathStep {
    const std::string* key;  // null for an array element
    size_t index;
};

std::vector<std::string> codingPath(const std::vector<PathStep>& steps) {
    std::vector<std::string> path;
    path.reserve(steps.size());
    for (const auto& step : steps) path.push_back(step.key ? *step.key : "Index " + std::to_string(step.index));
    return path;
}

void encodeValue(const Value& value, foundation::JSONWriter& writer, std::vector<PathStep>& path) {
    switch (value.kind()) {
        case Value::Kind::boolean: writer.value(value.asBool()); return;
        case Value::Kind::int_: writer.value(value.asInt()); return;
        case Value::Kind::double_: writer.value(value.asDouble()); return;
        case Value::Kind::string: writer.value(value.asString()); return;
        case Value::Kind::array: {
            writer.beginArray();
            size_t index = 0;
            for (const auto& item : value.asArray()) {
                path.push_back({nullptr, index++});
                encodeValue(item, writer, path);
                path.pop_back();
            }
            writer.endArray();
            return;
        }
        case Value::Kind::object:
            writer.beginObject();
            for (const auto& [key, item] : value.asObject()) {
                writer.key(key);
                path.push_back({&key, 0});
                encodeValue(item, writer, path);
                path.pop_back();
            }
            writer.endObject();
            return;
        case Value::Kind::function:
            throw EncodingError(EncodingError::Case::invalidValue, codingPath(path), "Cannot encode function values");
        case Value::Kind::macro: value.asMacro().encode(writer); return;
        case Value::Kind::null:
        case Value::Kind::undefined: writer.null(); return;
    }
}

Value decodeValue(const foundation::JSONValue& json, uint32_t depth) {
    if (depth > limits::maxNestingDepth) throw JinjaError::runtime(sizeLimitMessage);
    using foundation::JSONType;
    switch (json.type()) {
        case JSONType::null: return Value::null();
        case JSONType::string: return Value(json.asString());
        case JSONType::integer:
            try {
                return Value(json.asInt64());
            } catch (const foundation::JSONError&) {
                return Value(json.asDouble());
            }
        case JSONType::number: return Value(json.asDouble());
        case JSONType::boolean: return Value(json.asBool());
        case JSONType::array: {
            ValueArray items;
            for (const auto& item : json.items()) items.push_back(decodeValue(item, depth + 1));
            return Value(std::move(items));
        }
        case JSONType::object: {
            std::map<std::string, Value, bool (*)(const std::string&, const std::string&)> sorted(
                [](const std::string& a, const std::string& b) { return textCompare(a, b) < 0; });
            for (const auto& [key, item] : json.members()) sorted.insert_or_assign(key, decodeValue(item, depth + 1));
            ValueObject entries;
            for (auto& [key, item] : sorted) entries.set(key, std::move(item));
            return Value(std::move(entries));
        }
    }
    throw DecodingError(DecodingError::Case::typeMismatch, {}, "Cannot decode Value from any supported container type");
}
}  // namespace

void Value::encode(foundation::JSONWriter& writer) const {
    std::vector<PathStep> path;
    encodeValue(*this, writer, path);
}

Value Value::decode(const foundation::JSONValue& json) {
    if (!json.exists())
        throw DecodingError(DecodingError::Case::typeMismatch, {}, "Cannot decode Value from any supported container type");
    return decodeValue(json, 0);
}

const Value* findEntry(const ValueObject& object, std::string_view key) {
    if (const Value* value = object.find(key)) return value;
    if (isASCII(key)) return nullptr;
    for (const auto& entry : object)
        if (textEqual(entry.first, key)) return &entry.second;
    return nullptr;
}

std::string kindName(Value::Kind kind) {
    switch (kind) {
        case Value::Kind::boolean: return "boolean";
        case Value::Kind::int_: return "int";
        case Value::Kind::double_: return "double";
        case Value::Kind::string: return "string";
        case Value::Kind::array: return "array";
        case Value::Kind::object: return "object";
        case Value::Kind::function: return "function";
        case Value::Kind::macro: return "macro";
        case Value::Kind::null: return "null";
        case Value::Kind::undefined: return "undefined";
    }
    return "undefined";
}

}  // namespace jinja

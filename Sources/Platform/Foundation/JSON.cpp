#include "Platform/Foundation/JSON.hpp"

#include <yyjson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "Platform/Foundation/Numbers.hpp"

namespace foundation {

namespace {

const char* typeName(JSONType type) {
    switch (type) {
        case JSONType::null: return "null";
        case JSONType::boolean: return "boolean";
        case JSONType::integer: return "integer";
        case JSONType::number: return "number";
        case JSONType::string: return "string";
        case JSONType::array: return "array";
        case JSONType::object: return "object";
    }
    return "unknown";
}

[[noreturn]] void throwMismatch(const char* expected, const JSONValue& actual) {
    std::string found = actual.exists() ? typeName(actual.type()) : "nothing";
    throw JSONError(std::string("Expected ") + expected + " but found " + found + ".");
}

// Bytes that stand for themselves inside a JSON string: printable ASCII but the quote and the
// backslash; the slash only when it is not escaped.
inline bool isPlainByte(unsigned char c, bool escapeSlashes) {
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && (c != '/' || !escapeSlashes);
}

// The end of the run of plain bytes from `i`, eight bytes at a time. Each flag below is exact in the
// lowest byte it marks (a borrow only spills into higher bytes), so the first marked byte is the first
// byte to escape.
size_t plainRunEnd(const unsigned char* p, size_t i, size_t n, bool escapeSlashes) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto zeroBytes = [](uint64_t v) { return (v - ones) & ~v & highs; };
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        uint64_t marks = (w & highs) | ((w - ones * 0x20) & ~w & highs) | zeroBytes(w ^ (ones * '"')) |
                         zeroBytes(w ^ (ones * '\\'));
        if (escapeSlashes) marks |= zeroBytes(w ^ (ones * '/'));
        if (marks != 0) return i + static_cast<size_t>(std::countr_zero(marks)) / 8;
    }
    while (i < n && isPlainByte(p[i], escapeSlashes)) ++i;
    return i;
}

}  // namespace

// Ill-formed UTF-8 becomes U+FFFD so the output is always valid JSON (each maximal ill-formed
// subpart is replaced once). Runs of plain bytes are copied at once.
void appendJSONEscaped(std::string& out, std::string_view text, bool escapeSlashes) {
    static const char* const hex = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        i = plainRunEnd(p, i, n, escapeSlashes);
        if (i > start) out.append(text.data() + start, i - start);
        if (i == n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '/': out += "\\/"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
            }
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        }
        size_t valid = 1;
        if (length != 0) {
            while (valid < length && i + valid < n) {
                unsigned char b = p[i + valid];
                bool ok = valid == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
                if (!ok) break;
                ++valid;
            }
        }
        if (length != 0 && valid == length) {
            out.append(text.data() + i, length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += valid;
    }
}

namespace {

// The platform prints an integral Double without its ".0" in JSON ("1", "-3", "1e+16").
std::string numberText(std::string text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
    return text;
}

struct Node {
    enum Kind : uint8_t { scalar, array, object };
    Kind kind = scalar;
    std::string text;               // encoded scalar
    std::vector<std::string> keys;  // object member keys, parallel to children
    std::vector<Node> children;
};

constexpr int maxRawDepth = 1000;

// yyjson_doc_free is forced inline, so it cannot serve as a deleter by address.
struct DocumentFree {
    void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};

Node nodeFromYY(yyjson_val* v, bool escapeSlashes, int depth) {
    if (depth > maxRawDepth) throw JSONError("JSON fragment is nested too deeply.");
    Node node;
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_NULL: node.text = "null"; break;
        case YYJSON_TYPE_BOOL: node.text = yyjson_get_bool(v) ? "true" : "false"; break;
        case YYJSON_TYPE_RAW: node.text.assign(yyjson_get_raw(v), yyjson_get_len(v)); break;
        case YYJSON_TYPE_NUM:
            // Not reached with NUMBER_AS_RAW, kept for completeness.
            if (yyjson_is_uint(v)) node.text = std::to_string(yyjson_get_uint(v));
            else if (yyjson_is_sint(v)) node.text = std::to_string(yyjson_get_sint(v));
            else node.text = numberText(formatDouble(yyjson_get_real(v)));
            break;
        case YYJSON_TYPE_STR:
            node.text = jsonQuoted(std::string_view(yyjson_get_str(v), yyjson_get_len(v)), escapeSlashes);
            break;
        case YYJSON_TYPE_ARR: {
            node.kind = Node::array;
            size_t idx, max;
            yyjson_val* item;
            yyjson_arr_foreach(v, idx, max, item) node.children.push_back(nodeFromYY(item, escapeSlashes, depth + 1));
            break;
        }
        case YYJSON_TYPE_OBJ: {
            node.kind = Node::object;
            size_t idx, max;
            yyjson_val *k, *item;
            yyjson_obj_foreach(v, idx, max, k, item) {
                node.keys.emplace_back(yyjson_get_str(k), yyjson_get_len(k));
                node.children.push_back(nodeFromYY(item, escapeSlashes, depth + 1));
            }
            break;
        }
        default: throw JSONError("Unsupported value in JSON fragment.");
    }
    return node;
}

}  // namespace

// MARK: - Reading

JSONType JSONValue::type() const {
    if (!v_) throw JSONError("Expected a value but found nothing.");
    switch (yyjson_get_type(v_)) {
        case YYJSON_TYPE_NULL: return JSONType::null;
        case YYJSON_TYPE_BOOL: return JSONType::boolean;
        case YYJSON_TYPE_NUM: return yyjson_is_real(v_) ? JSONType::number : JSONType::integer;
        case YYJSON_TYPE_RAW: return JSONType::number;
        case YYJSON_TYPE_STR: return JSONType::string;
        case YYJSON_TYPE_ARR: return JSONType::array;
        case YYJSON_TYPE_OBJ: return JSONType::object;
        default: throw JSONError("Unknown JSON value type.");
    }
}

bool JSONValue::isNull() const { return v_ && yyjson_is_null(v_); }
bool JSONValue::isBool() const { return v_ && yyjson_is_bool(v_); }
bool JSONValue::isString() const { return v_ && yyjson_is_str(v_); }
bool JSONValue::isNumber() const { return v_ && yyjson_is_num(v_); }
bool JSONValue::isInteger() const { return v_ && yyjson_is_int(v_); }
bool JSONValue::isArray() const { return v_ && yyjson_is_arr(v_); }
bool JSONValue::isObject() const { return v_ && yyjson_is_obj(v_); }

bool JSONValue::asBool() const {
    if (!isBool()) throwMismatch("boolean", *this);
    return yyjson_get_bool(v_);
}

int64_t JSONValue::asInt64() const {
    if (!isNumber()) throwMismatch("integer", *this);
    if (yyjson_is_sint(v_)) return yyjson_get_sint(v_);
    if (yyjson_is_uint(v_)) {
        uint64_t u = yyjson_get_uint(v_);
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            throw JSONError("Expected integer but found number " + std::to_string(u) + " out of range.");
        return static_cast<int64_t>(u);
    }
    double d = yyjson_get_real(v_);
    // 2^63 is exactly representable; the range is [-2^63, 2^63).
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return static_cast<int64_t>(d);
    throw JSONError("Expected integer but found number " + formatDouble(d) + ".");
}

uint64_t JSONValue::asUInt64() const {
    if (!isNumber()) throwMismatch("integer", *this);
    if (yyjson_is_uint(v_)) return yyjson_get_uint(v_);
    if (yyjson_is_sint(v_)) {
        int64_t i = yyjson_get_sint(v_);
        if (i < 0) throw JSONError("Expected unsigned integer but found number " + std::to_string(i) + ".");
        return static_cast<uint64_t>(i);
    }
    double d = yyjson_get_real(v_);
    // 2^64 is exactly representable; the range is [0, 2^64).
    if (std::isfinite(d) && std::trunc(d) == d && d >= 0.0 && d < 18446744073709551616.0)
        return static_cast<uint64_t>(d);
    throw JSONError("Expected unsigned integer but found number " + formatDouble(d) + ".");
}

double JSONValue::asDouble() const {
    if (!isNumber()) throwMismatch("number", *this);
    return yyjson_get_num(v_);
}

std::string JSONValue::asString() const { return std::string(asStringView()); }

std::string_view JSONValue::asStringView() const {
    if (!isString()) throwMismatch("string", *this);
    return std::string_view(yyjson_get_str(v_), yyjson_get_len(v_));
}

size_t JSONValue::size() const {
    if (!isArray() && !isObject()) throwMismatch("array or object", *this);
    return yyjson_get_len(v_);
}

JSONValue JSONValue::operator[](size_t index) const {
    if (!isArray()) throwMismatch("array", *this);
    size_t count = yyjson_arr_size(v_);
    if (index >= count)
        throw JSONError("Index " + std::to_string(index) + " out of range for an array of " + std::to_string(count) +
                        " elements.");
    return JSONValue(yyjson_arr_get(v_, index));
}

std::vector<JSONValue> JSONValue::items() const {
    if (!isArray()) throwMismatch("array", *this);
    std::vector<JSONValue> result;
    result.reserve(yyjson_arr_size(v_));
    size_t idx, max;
    yyjson_val* item;
    yyjson_arr_foreach(v_, idx, max, item) result.emplace_back(item);
    return result;
}

std::vector<std::pair<std::string, JSONValue>> JSONValue::members() const {
    if (!isObject()) throwMismatch("object", *this);
    std::vector<std::pair<std::string, JSONValue>> result;
    result.reserve(yyjson_obj_size(v_));
    size_t idx, max;
    yyjson_val *k, *item;
    yyjson_obj_foreach(v_, idx, max, k, item) {
        result.emplace_back(std::string(yyjson_get_str(k), yyjson_get_len(k)), JSONValue(item));
    }
    return result;
}

JSONValue JSONValue::member(std::string_view key) const {
    if (!isObject()) throwMismatch("object", *this);
    return JSONValue(yyjson_obj_getn(v_, key.data(), key.size()));
}

JSONDocument JSONDocument::parse(std::string_view text) { return parse(text, ReadOptions{}); }

JSONDocument JSONDocument::parse(std::string_view text, ReadOptions options) {
    yyjson_read_flag flags = YYJSON_READ_NOFLAG;
    if (options.allowInfAndNaN) flags |= YYJSON_READ_ALLOW_INF_AND_NAN;
    yyjson_read_err err{};
    // Without the in-situ flag the reader never writes to its input.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(text.data()), text.size(), flags, nullptr, &err);
    if (!doc) {
        throw JSONError(std::string(err.msg ? err.msg : "invalid JSON") + " at byte " + std::to_string(err.pos) + ".");
    }
    JSONDocument result;
    result.doc_ = std::shared_ptr<yyjson_doc>(doc, DocumentFree{});
    return result;
}

JSONValue JSONDocument::root() const { return JSONValue(doc_ ? yyjson_doc_get_root(doc_.get()) : nullptr); }

// MARK: - Writing

struct JSONWriter::Impl {
    struct Open {
        Node node;
        std::optional<std::string> pendingKey;
    };
    Options options;
    std::vector<Open> stack;
    std::optional<Node> root;

    void add(Node node) {
        if (stack.empty()) {
            if (root) throw JSONError("JSON writer: a second top-level value.");
            root = std::move(node);
            return;
        }
        Open& top = stack.back();
        if (top.node.kind == Node::object) {
            if (!top.pendingKey) throw JSONError("JSON writer: an object member without a key.");
            top.node.keys.push_back(std::move(*top.pendingKey));
            top.pendingKey.reset();
        }
        top.node.children.push_back(std::move(node));
    }

    void addScalar(std::string text) {
        Node node;
        node.text = std::move(text);
        add(std::move(node));
    }

    void begin(Node::Kind kind) {
        if (stack.empty() && root) throw JSONError("JSON writer: a second top-level value.");
        if (!stack.empty() && stack.back().node.kind == Node::object && !stack.back().pendingKey)
            throw JSONError("JSON writer: an object member without a key.");
        Open open;
        open.node.kind = kind;
        stack.push_back(std::move(open));
    }

    void end(Node::Kind kind) {
        if (stack.empty() || stack.back().node.kind != kind)
            throw JSONError(kind == Node::object ? "JSON writer: endObject without an open object."
                                                 : "JSON writer: endArray without an open array.");
        if (stack.back().pendingKey) throw JSONError("JSON writer: key \"" + *stack.back().pendingKey + "\" has no value.");
        Node node = std::move(stack.back().node);
        stack.pop_back();
        if (kind == Node::object && options.sortedKeys) sortMembers(node);
        // The parent's pending key, checked in begin, is taken by add.
        add(std::move(node));
    }

    static void sortMembers(Node& node) {
        std::vector<size_t> order(node.keys.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return node.keys[a] < node.keys[b]; });
        std::vector<std::string> keys;
        std::vector<Node> children;
        keys.reserve(order.size());
        children.reserve(order.size());
        for (size_t i : order) {
            keys.push_back(std::move(node.keys[i]));
            children.push_back(std::move(node.children[i]));
        }
        node.keys = std::move(keys);
        node.children = std::move(children);
    }

    void sortTree(Node& node) const {
        for (auto& child : node.children) sortTree(child);
        if (node.kind == Node::object) sortMembers(node);
    }

    void write(const Node& node, size_t indent, std::string& out) const {
        if (node.kind == Node::scalar) {
            out += node.text;
            return;
        }
        const bool isObject = node.kind == Node::object;
        const char open = isObject ? '{' : '[';
        const char close = isObject ? '}' : ']';
        out += open;
        if (node.children.empty()) {
            out += close;
            return;
        }
        for (size_t i = 0; i < node.children.size(); ++i) {
            if (i > 0) out += ',';
            if (options.pretty) {
                out += '\n';
                out.append(indent + 2, ' ');
            }
            if (isObject) {
                out += '"';
                appendJSONEscaped(out, node.keys[i], options.escapeSlashes);
                out += options.pretty ? "\" : " : "\":";
            }
            write(node.children[i], indent + 2, out);
        }
        if (options.pretty) {
            out += '\n';
            out.append(indent, ' ');
        }
        out += close;
    }
};

JSONWriter::JSONWriter() : JSONWriter(Options{}) {}
JSONWriter::JSONWriter(Options options) : impl_(std::make_unique<Impl>()) { impl_->options = options; }
JSONWriter::~JSONWriter() = default;
JSONWriter::JSONWriter(JSONWriter&&) noexcept = default;
JSONWriter& JSONWriter::operator=(JSONWriter&&) noexcept = default;

JSONWriter& JSONWriter::beginObject() {
    impl_->begin(Node::object);
    return *this;
}
JSONWriter& JSONWriter::endObject() {
    impl_->end(Node::object);
    return *this;
}
JSONWriter& JSONWriter::beginArray() {
    impl_->begin(Node::array);
    return *this;
}
JSONWriter& JSONWriter::endArray() {
    impl_->end(Node::array);
    return *this;
}

JSONWriter& JSONWriter::key(std::string_view name) {
    if (impl_->stack.empty() || impl_->stack.back().node.kind != Node::object)
        throw JSONError("JSON writer: key \"" + std::string(name) + "\" outside an object.");
    auto& pending = impl_->stack.back().pendingKey;
    if (pending) throw JSONError("JSON writer: key \"" + *pending + "\" has no value.");
    pending = std::string(name);
    return *this;
}

JSONWriter& JSONWriter::value(std::string_view text) {
    impl_->addScalar(jsonQuoted(text, impl_->options.escapeSlashes));
    return *this;
}
JSONWriter& JSONWriter::value(bool flag) {
    impl_->addScalar(flag ? "true" : "false");
    return *this;
}
JSONWriter& JSONWriter::value(int64_t number) {
    impl_->addScalar(std::to_string(number));
    return *this;
}
JSONWriter& JSONWriter::value(uint64_t number) {
    impl_->addScalar(std::to_string(number));
    return *this;
}
JSONWriter& JSONWriter::value(double number) {
    if (!std::isfinite(number)) throw JSONError("Unable to encode " + formatDouble(number) + " directly in JSON.");
    impl_->addScalar(jsonNumberText(number));
    return *this;
}
JSONWriter& JSONWriter::value(float number) {
    if (!std::isfinite(number)) throw JSONError("Unable to encode " + formatFloat(number) + " directly in JSON.");
    impl_->addScalar(numberText(formatFloat(number)));
    return *this;
}
JSONWriter& JSONWriter::null() {
    impl_->addScalar("null");
    return *this;
}

JSONWriter& JSONWriter::raw(std::string_view json) {
    yyjson_read_err err{};
    // Read once as the reader does, so that nothing it would refuse (a number past the double range
    // such as 1e400) is written; then again keeping the number texts as they stand.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(json.data()), json.size(), YYJSON_READ_NOFLAG, nullptr, &err);
    if (doc) {
        yyjson_doc_free(doc);
        doc = yyjson_read_opts(const_cast<char*>(json.data()), json.size(), YYJSON_READ_NUMBER_AS_RAW, nullptr, &err);
    }
    if (!doc)
        throw JSONError("JSON writer: invalid fragment: " + std::string(err.msg ? err.msg : "invalid JSON") +
                        " at byte " + std::to_string(err.pos) + ".");
    std::unique_ptr<yyjson_doc, DocumentFree> guard(doc);
    Node node = nodeFromYY(yyjson_doc_get_root(doc), impl_->options.escapeSlashes, 0);
    if (impl_->options.sortedKeys) impl_->sortTree(node);
    impl_->add(std::move(node));
    return *this;
}

std::string JSONWriter::str() const {
    if (!impl_->stack.empty()) {
        const auto& top = impl_->stack.back();
        if (top.pendingKey) throw JSONError("JSON writer: key \"" + *top.pendingKey + "\" has no value.");
        throw JSONError("JSON writer: " + std::to_string(impl_->stack.size()) + " container(s) left open.");
    }
    if (!impl_->root) throw JSONError("JSON writer: nothing was written.");
    std::string out;
    impl_->write(*impl_->root, 0, out);
    return out;
}

std::string jsonNumberText(double number) { return numberText(formatDouble(number)); }

std::string jsonQuoted(std::string_view text, bool escapeSlashes) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    appendJSONEscaped(out, text, escapeSlashes);
    out += '"';
    return out;
}

}  // namespace foundation

#pragma once
// Reading the engine's encoded records: typed access to JSON members with the decoder's error kinds
// (a missing required key, a value of the wrong type, a value that cannot be represented), and the
// list writer the records share.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

using foundation::DecodingError;

namespace coding {

// The object itself, or a type mismatch naming `typeName`.
void requireObject(const foundation::JSONValue& value, std::string_view typeName);
void requireArray(const foundation::JSONValue& value, std::string_view typeName);

// A required member: keyNotFound when missing, valueNotFound when null.
foundation::JSONValue required(const foundation::JSONValue& object, std::string_view key);
// An optional member: nothing when missing or null.
std::optional<foundation::JSONValue> optional(const foundation::JSONValue& object, std::string_view key);
// An optional member read by `read` (readFloat, readIntArray, ...): nothing when missing or null.
template <class Read>
auto readOptional(const foundation::JSONValue& object, std::string_view key, Read read)
    -> std::optional<decltype(read(object))> {
    if (auto member = optional(object, key)) return read(*member);
    return std::nullopt;
}

bool readBool(const foundation::JSONValue& value);
int64_t readInt(const foundation::JSONValue& value);
float readFloat(const foundation::JSONValue& value);
double readDouble(const foundation::JSONValue& value);
std::string readString(const foundation::JSONValue& value);
std::vector<int64_t> readIntArray(const foundation::JSONValue& value);
std::vector<float> readFloatArray(const foundation::JSONValue& value);
std::vector<std::string> readStringArray(const foundation::JSONValue& value);

// An array of records, each read by `decode`; a type mismatch naming `typeName` when it is not an array.
template <class Decode>
auto readList(const foundation::JSONValue& value, std::string_view typeName, Decode decode) {
    requireArray(value, typeName);
    std::vector<decltype(decode(value))> out;
    out.reserve(value.size());
    for (const auto& item : value.items()) out.push_back(decode(item));
    return out;
}

// `key` and an array of plain values.
template <class T>
void writeList(foundation::JSONWriter& writer, std::string_view key, const std::vector<T>& values) {
    writer.key(key).beginArray();
    for (const auto& v : values) writer.value(v);
    writer.endArray();
}

// Parses a whole document; a syntax error becomes dataCorrupted.
foundation::JSONDocument parseDocument(std::string_view text);

}  // namespace coding
}  // namespace lexiphonic

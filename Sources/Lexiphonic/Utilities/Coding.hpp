#pragma once
// Reading the engine's encoded records: typed access to JSON members with the decoder's error kinds
// (a missing required key, a value of the wrong type, a value that cannot be represented).
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

bool readBool(const foundation::JSONValue& value);
int64_t readInt(const foundation::JSONValue& value);
float readFloat(const foundation::JSONValue& value);
double readDouble(const foundation::JSONValue& value);
std::string readString(const foundation::JSONValue& value);
std::vector<int64_t> readIntArray(const foundation::JSONValue& value);
std::vector<float> readFloatArray(const foundation::JSONValue& value);
std::vector<std::string> readStringArray(const foundation::JSONValue& value);

// Parses a whole document; a syntax error becomes dataCorrupted.
foundation::JSONDocument parseDocument(std::string_view text);

}  // namespace coding
}  // namespace lexiphonic

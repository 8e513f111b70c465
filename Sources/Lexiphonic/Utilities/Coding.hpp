#pragma once
// Reading the engine's encoded records: typed access to JSON members with the decoder's error kinds
// (a missing required key, a value of the wrong type, a value that cannot be represented).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

class DecodingError : public foundation::Error {
public:
    enum class Case { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
    DecodingError(Case kind, std::string debugDescription);
    Case kind() const { return kind_; }
    const std::string& debugDescription() const { return debugDescription_; }
    std::string localizedDescription() const override;
    std::string describe() const override;

private:
    Case kind_;
    std::string debugDescription_;
};

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

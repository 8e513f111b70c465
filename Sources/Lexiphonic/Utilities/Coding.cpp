#include "Lexiphonic/Utilities/Coding.hpp"

#include <cfloat>
#include <cmath>

namespace lexiphonic {

namespace {
const char* typeWord(const foundation::JSONValue& value) {
    switch (value.type()) {
        case foundation::JSONType::null: return "null";
        case foundation::JSONType::boolean: return "bool";
        case foundation::JSONType::integer:
        case foundation::JSONType::number: return "number";
        case foundation::JSONType::string: return "a string";
        case foundation::JSONType::array: return "an array";
        case foundation::JSONType::object: return "a dictionary";
    }
    return "a value";
}

[[noreturn]] void mismatch(std::string_view expected, const foundation::JSONValue& found) {
    throw DecodingError(DecodingError::Case::typeMismatch,
                        "Expected to decode " + std::string(expected) + " but found " + typeWord(found) + " instead.");
}
}  // namespace

namespace coding {

void requireObject(const foundation::JSONValue& value, std::string_view typeName) {
    if (!value.exists() || !value.isObject()) mismatch(std::string(typeName) + " (a dictionary)", value);
}

void requireArray(const foundation::JSONValue& value, std::string_view typeName) {
    if (!value.exists() || !value.isArray()) mismatch(std::string(typeName) + " (an array)", value);
}

foundation::JSONValue required(const foundation::JSONValue& object, std::string_view key) {
    auto member = object.member(key);
    if (!member.exists())
        throw DecodingError(DecodingError::Case::keyNotFound,
                            "No value associated with key \"" + std::string(key) + "\".");
    if (member.isNull())
        throw DecodingError(DecodingError::Case::valueNotFound,
                            "Expected a value for key \"" + std::string(key) + "\" but found null instead.");
    return member;
}

std::optional<foundation::JSONValue> optional(const foundation::JSONValue& object, std::string_view key) {
    auto member = object.member(key);
    if (!member.exists() || member.isNull()) return std::nullopt;
    return member;
}

bool readBool(const foundation::JSONValue& value) {
    if (!value.isBool()) mismatch("Bool", value);
    return value.asBool();
}

int64_t readInt(const foundation::JSONValue& value) {
    if (!value.isNumber()) mismatch("Int", value);
    if (value.isInteger()) {
        try {
            return value.asInt64();
        } catch (const foundation::JSONError&) {
        }
    } else {
        double d = value.asDouble();
        // An integral real within range reads as an integer, as the platform decoder allows.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<int64_t>(d);
    }
    throw DecodingError(DecodingError::Case::dataCorrupted, "Parsed JSON number does not fit in Int.");
}

double readDouble(const foundation::JSONValue& value) {
    if (!value.isNumber()) mismatch("Double", value);
    return value.asDouble();
}

float readFloat(const foundation::JSONValue& value) {
    if (!value.isNumber()) mismatch("Float", value);
    double d = value.asDouble();
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX))
        throw DecodingError(DecodingError::Case::dataCorrupted, "Parsed JSON number does not fit in Float.");
    return static_cast<float>(d);
}

std::string readString(const foundation::JSONValue& value) {
    if (!value.isString()) mismatch("String", value);
    return value.asString();
}

std::vector<int64_t> readIntArray(const foundation::JSONValue& value) {
    return readList(value, "Array<Int>", readInt);
}

std::vector<float> readFloatArray(const foundation::JSONValue& value) {
    return readList(value, "Array<Float>", readFloat);
}

std::vector<std::string> readStringArray(const foundation::JSONValue& value) {
    return readList(value, "Array<String>", readString);
}

foundation::JSONDocument parseDocument(std::string_view text) {
    try {
        return foundation::JSONDocument::parse(text);
    } catch (const foundation::JSONError& error) {
        throw DecodingError(DecodingError::Case::dataCorrupted,
                            "The given data was not valid JSON. " + error.localizedDescription());
    }
}

}  // namespace coding
}  // namespace lexiphonic

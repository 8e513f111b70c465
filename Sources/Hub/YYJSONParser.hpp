#pragma once
// Reads the bytes of a JSON file straight into a Config, in one pass over yyjson's tree.
#include <cstdint>
#include <string>
#include <string_view>

#include "Hub/Config.hpp"
#include "Platform/Foundation/Error.hpp"

namespace hub {

namespace YYJSONParser {

class ParseError : public foundation::Error {
public:
    enum class Case { readFailed, nullDocument };

    // The reader's error code, message and byte offset.
    static ParseError readFailed(uint32_t code, std::string message, int64_t position);
    static ParseError nullDocument();

    Case errorCase() const { return case_; }
    uint32_t code() const { return code_; }
    const std::string& message() const { return message_; }
    int64_t position() const { return position_; }

    // "yyjson read failed (code 2) at position 7: ..." or "yyjson returned null document".
    std::string localizedDescription() const override;
    // readFailed(code: 2, message: "...", position: 7) or nullDocument.
    std::string describe() const override;

private:
    ParseError(Case errorCase, uint32_t code, std::string message, int64_t position);

    Case case_;
    uint32_t code_;
    std::string message_;
    int64_t position_;
};

// Deepest nesting of arrays and objects accepted; deeper documents fail with readFailed.
inline constexpr int maxNestingDepth = 512;

// Numbers keep the kind the document writes: 1 is an integer, 1.0, 1e3, Infinity and NaN are floats,
// an unsigned integer above 2^63 - 1 becomes a float. Strings keep their full text, an escaped NUL
// included. A key given twice keeps its last value. Throws ParseError.
Config parseToConfig(std::string_view data);

}  // namespace YYJSONParser

}  // namespace hub

#pragma once
// Inline tokenizer definitions for the model and tokenizer tests.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Hub/YYJSONParser.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Tokenizers/ByteEncoder.hpp"

namespace tokenizers::testing {

inline hub::Config json(std::string_view text) { return hub::YYJSONParser::parseToConfig(text); }

inline std::string jsonString(std::string_view text) { return foundation::jsonQuoted(text); }

// A byte-level BPE "tokenizer.json" in the style of GPT-2: the 256 byte characters (ids 0-255), then one
// token per merge (ids from 256, merges written in plain text and converted to the byte alphabet), the
// given added-token entries (a JSON array's items) and the byte-level stages.
inline std::string byteLevelDefinition(const std::vector<std::pair<std::string, std::string>>& merges = {},
                                       std::string_view addedTokens = "") {
    auto encoded = [](std::string_view text) {
        std::string out;
        appendByteEncoded(out, text);
        return out;
    };
    std::string vocab;
    for (int byte = 0; byte < 256; ++byte) {
        vocab += (byte ? "," : "") + jsonString(byteEncoder()[static_cast<size_t>(byte)]) + ":" + std::to_string(byte);
    }
    std::string mergeList;
    int id = 256;
    for (const auto& [left, right] : merges) {
        vocab += "," + jsonString(encoded(left + right)) + ":" + std::to_string(id++);
        mergeList += (mergeList.empty() ? "" : ",") + jsonString(encoded(left) + " " + encoded(right));
    }
    return R"({"added_tokens": [)" + std::string(addedTokens) + R"(],
        "normalizer": null,
        "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false, "trim_offsets": true, "use_regex": true},
        "post_processor": {"type": "ByteLevel", "trim_offsets": false},
        "decoder": {"type": "ByteLevel"},
        "model": {"type": "BPE", "vocab": {)" +
           vocab + R"(}, "merges": [)" + mergeList + "]}}";
}

}  // namespace tokenizers::testing

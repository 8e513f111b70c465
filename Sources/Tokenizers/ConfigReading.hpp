#pragma once
// Small readers of tokenizer files shared by the models and the pre-trained tokenizer.
#include <optional>
#include <string>

#include "Hub/Config.hpp"

namespace tokenizers {

// A special token written as its text, or as an added-token dictionary whose "content" is the text.
inline std::optional<std::string> tokenContent(const hub::Config& value) {
    if (auto text = value.string()) {
        return text;
    }
    if (value.isDictionary()) {
        return value["content"].string();
    }
    return std::nullopt;
}

}  // namespace tokenizers

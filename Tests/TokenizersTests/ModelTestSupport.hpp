#pragma once
// Inline tokenizer definitions for the model and tokenizer tests.
#include <string_view>

#include "Hub/YYJSONParser.hpp"

namespace tokenizers::testing {

inline hub::Config json(std::string_view text) { return hub::YYJSONParser::parseToConfig(text); }

}  // namespace tokenizers::testing

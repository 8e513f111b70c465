#pragma once
// Inline tokenizer definitions for tests: JSON text read into a configuration value.
#include <string_view>

#include "Hub/Config.hpp"
#include "Hub/YYJSONParser.hpp"

namespace tokenizers::testing {

inline hub::Config json(std::string_view text) { return hub::YYJSONParser::parseToConfig(text); }

}  // namespace tokenizers::testing

#pragma once
// Inline tokenizer definitions for tests: JSON text read into a configuration value.
#include <string_view>

#include "Hub/Config.hpp"

namespace tokenizers::testing {

inline hub::Config json(std::string_view text) { return hub::parseJSON(text); }

}  // namespace tokenizers::testing

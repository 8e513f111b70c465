#pragma once
// Template text to tokens, after the "-" whitespace-control rewrites.
#include <string>
#include <string_view>
#include <vector>

#include "Jinja/Token.hpp"

namespace jinja::Lexer {

// Always ends with exactly one eof token; throws JinjaError.lexer with a Character position.
std::vector<Token> tokenize(std::string_view text);
// The whitespace-control rewrites: "-%}" / "-}}" eat white space after them, "{%-" / "{{-" before them.
std::string preprocess(std::string_view text);

}  // namespace jinja::Lexer

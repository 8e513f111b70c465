#pragma once
// Template text to tokens, after the "-" whitespace-control rewrites.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Jinja/Token.hpp"

namespace jinja::Lexer {

// Always ends with exactly one eof token; throws JinjaError.lexer with a Character position.
std::vector<Token> tokenize(std::string_view text);
// The 30 keywords (case-sensitive) and the 16 operator spellings, built once and only read afterwards.
const std::unordered_map<std::string_view, Token::Kind>& keywords();
const std::unordered_map<std::string_view, Token::Kind>& operators();
// The whitespace-control rewrites: "-%}" / "-}}" eat white space after them, "{%-" / "{{-" before them.
std::string preprocess(std::string_view text);

}  // namespace jinja::Lexer

#pragma once
// Tokens to the syntax tree: a recursive-descent parser with one token of look-ahead.
#include <vector>

#include "Jinja/AST.hpp"
#include "Jinja/Token.hpp"

namespace jinja::Parser {

// Throws JinjaError.parser; the first error ends the parse.
std::vector<Node> parse(const std::vector<Token>& tokens);

// How deeply statements and expressions may nest (also bounds operator chains, whose trees are as
// deep as they are long); deeper templates fail with "Template nesting is too deep".
inline constexpr int maxNestingDepth = 400;

}  // namespace jinja::Parser

#include "Jinja/Token.hpp"

#include <array>

namespace jinja {

namespace {
constexpr std::array<std::string_view, 61> names = {
    "text", "openExpression", "closeExpression", "openStatement", "closeStatement", "string", "number", "boolean",
    "null", "identifier", "openParen", "closeParen", "openBracket", "closeBracket", "openBrace", "closeBrace",
    "comma", "dot", "colon", "pipe", "equals", "plus", "minus", "multiply", "divide", "floorDivide", "power",
    "modulo", "concat", "equal", "notEqual", "less", "lessEqual", "greater", "greaterEqual", "and", "or", "not",
    "in", "notIn", "is", "if", "else", "elif", "endif", "for", "endfor", "set", "endset", "macro", "endmacro",
    "break", "continue", "call", "endcall", "filter", "endfilter", "generation", "endgeneration", "comment", "eof"};
}  // namespace

std::string_view kindName(Token::Kind kind) { return names[static_cast<size_t>(kind)]; }

const std::vector<Token::Kind>& allTokenKinds() {
    static const std::vector<Token::Kind> all = [] {
        std::vector<Token::Kind> kinds;
        for (size_t i = 0; i < names.size(); ++i) kinds.push_back(static_cast<Token::Kind>(i));
        return kinds;
    }();
    return all;
}

void Token::encode(foundation::JSONWriter& writer) const {
    writer.beginObject();
    writer.key("kind").beginObject().key(kindName(kind)).beginObject().endObject().endObject();
    writer.field("value", value);
    writer.field("position", position);
    writer.endObject();
}

}  // namespace jinja

#pragma once
// The tokens the lexer cuts from template text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/JSON.hpp"

namespace jinja {

struct Token {
    enum class Kind {
        text, openExpression, closeExpression, openStatement, closeStatement, string, number, boolean, null,
        identifier, openParen, closeParen, openBracket, closeBracket, openBrace, closeBrace, comma, dot, colon,
        pipe, equals, plus, minus, multiply, divide, floorDivide, power, modulo, concat, equal, notEqual, less,
        lessEqual, greater, greaterEqual, and_, or_, not_, in, notIn, is, if_, else_, elif, endif, for_, endfor,
        set, endset, macro, endmacro, break_, continue_, call, endcall, filter, endfilter, generation,
        endgeneration, comment, eof
    };

    Kind kind = Kind::eof;
    std::string value;
    // Offset in Characters of the token's first Character in the rewritten text.
    int64_t position = 0;

    Token() = default;
    Token(Kind kind, std::string_view value, int64_t position) : kind(kind), value(value), position(position) {}

    friend bool operator==(const Token& a, const Token& b) {
        return a.kind == b.kind && a.value == b.value && a.position == b.position;
    }

    // {"kind": {"<name>": {}}, "value": ..., "position": ...}
    void encode(foundation::JSONWriter& writer) const;
};

// The kind's case name as shown in parser messages ("eof", "closeStatement", "and", ...).
std::string_view kindName(Token::Kind kind);
const std::vector<Token::Kind>& allTokenKinds();

}  // namespace jinja

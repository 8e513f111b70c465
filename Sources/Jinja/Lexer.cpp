#include "Jinja/Lexer.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <unordered_map>

#include "Jinja/Error.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Lexer {

namespace {

using foundation::text::isWhitespaceOrNewline;

// --- Whitespace control, done by hand in linear passes over scalars (equivalent to the eight
// regular-expression rewrites, but without their quadratic cost on long runs of white space).

bool startsWith(const std::u32string& s, size_t at, std::u32string_view marker) {
    return at + marker.size() <= s.size() && std::u32string_view(s).substr(at, marker.size()) == marker;
}

size_t endOfWhitespace(const std::u32string& s, size_t from) {
    while (from < s.size() && isWhitespaceOrNewline(s[from])) ++from;
    return from;
}

// `-%}\s*` -> "%}"
std::u32string stripAfter(const std::u32string& s, std::u32string_view marker, std::u32string_view replacement) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        if (startsWith(s, i, marker)) {
            out += replacement;
            i = endOfWhitespace(s, i + marker.size());
        } else {
            out += s[i++];
        }
    }
    return out;
}

// `\{\s+\{%-` -> "{ {%", then `([^\{])\s*\{%-` -> "$1{%", then `^\s*\{%-` -> "{%".
std::u32string stripBefore(const std::u32string& input, std::u32string_view marker, std::u32string_view replacement) {
    std::u32string s;
    s.reserve(input.size());
    for (size_t i = 0; i < input.size();) {
        if (input[i] == U'{' && i + 1 < input.size() && isWhitespaceOrNewline(input[i + 1])) {
            size_t j = endOfWhitespace(input, i + 1);
            if (startsWith(input, j, marker)) {
                s += U"{ ";
                s += replacement;
                i = j + marker.size();
                continue;
            }
        }
        s += input[i++];
    }

    std::u32string t;
    t.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        if (s[i] != U'{') {
            size_t j = endOfWhitespace(s, i + 1);
            if (startsWith(s, j, marker)) {
                t += s[i];
                t += replacement;
                i = j + marker.size();
                continue;
            }
            // No position inside this run of white space can start a match either.
            t.append(s, i, j - i);
            i = j;
            continue;
        }
        t += s[i++];
    }

    size_t j = endOfWhitespace(t, 0);
    if (startsWith(t, j, marker)) t.replace(0, j + marker.size(), replacement);
    return t;
}

// --- Character classes of a Character, by its first scalar.

// The first scalar of a Character (the text is well-formed UTF-8 after the rewrites).
char32_t firstScalar(std::string_view character) {
    if (character.empty()) return U'\uFFFD';
    auto byte = [&](size_t i) { return static_cast<unsigned char>(character[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80) return lead;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || character.size() < length) return U'\uFFFD';
    char32_t scalar = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) scalar = (scalar << 6) | (byte(i) & 0x3F);
    return scalar;
}

bool isSpace(char32_t c) { return isWhitespaceOrNewline(c); }
bool isAlphabetic(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC); }
bool isNumeric(char32_t c) {
    return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// The rewritten text cut into Characters.
struct Source {
    std::string text;
    std::vector<size_t> bounds;  // byte offset of every Character boundary

    size_t count() const { return bounds.size() - 1; }
    std::string_view at(size_t i) const { return std::string_view(text).substr(bounds[i], bounds[i + 1] - bounds[i]); }
    std::string_view slice(size_t from, size_t to) const {
        return std::string_view(text).substr(bounds[from], bounds[to] - bounds[from]);
    }
    bool is(size_t i, std::string_view c) const { return i < count() && at(i) == c; }
};

struct Scan {
    Token token;
    size_t next;
};

bool isStopPair(const Source& src, size_t i) {
    if (i + 1 >= src.count()) return false;
    std::string_view c = src.at(i), n = src.at(i + 1);
    return (c == "{" && (n == "{" || n == "%" || n == "#")) || (c == "}" && n == "}") || (c == "%" && n == "}") ||
           (c == "#" && n == "}");
}

Scan textToken(const Source& src, size_t i) {
    size_t start = i;
    // Standing on a pair that no other rule takes ("#}", or "}}" while braces are open): take it as
    // text, so scanning always moves on.
    if (isStopPair(src, i)) i += 2;
    while (i < src.count() && !isStopPair(src, i)) ++i;
    return {Token(Token::Kind::text, src.slice(start, i), static_cast<int64_t>(start)), i};
}

Scan commentToken(const Source& src, size_t i) {
    size_t start = i;
    i += 2;
    size_t contentStart = i;
    while (i < src.count()) {
        if (src.at(i) == "#" && src.is(i + 1, "}"))
            return {Token(Token::Kind::comment, src.slice(contentStart, i), static_cast<int64_t>(start)), i + 2};
        ++i;
    }
    throw JinjaError::lexer("Unclosed comment at position " + std::to_string(start));
}

Scan stringToken(const Source& src, size_t i, std::string_view delimiter) {
    size_t start = i;
    ++i;
    std::string value;
    while (i < src.count()) {
        std::string_view c = src.at(i);
        if (c == delimiter) return {Token(Token::Kind::string, value, static_cast<int64_t>(start)), i + 1};
        if (c == "\\") {
            if (i + 1 >= src.count()) break;
            std::string_view e = src.at(i + 1);
            if (e == "n") value += '\n';
            else if (e == "t") value += '\t';
            else if (e == "r") value += '\r';
            else if (e == "b") value += '\b';
            else if (e == "f") value += '\f';
            else if (e == "v") value += '\v';
            else value += e;
            i += 2;
            continue;
        }
        value += c;
        ++i;
    }
    throw JinjaError::lexer("Unclosed string at position " + std::to_string(start));
}

Scan numberToken(const Source& src, size_t i) {
    size_t start = i;
    bool seenDot = false;
    while (i < src.count()) {
        std::string_view c = src.at(i);
        if (c == "." && !seenDot) {
            seenDot = true;
        } else if (!isNumeric(firstScalar(c))) {
            break;
        }
        ++i;
    }
    return {Token(Token::Kind::number, src.slice(start, i), static_cast<int64_t>(start)), i};
}

Scan identifierToken(const Source& src, size_t i) {
    size_t start = i;
    while (i < src.count()) {
        std::string_view c = src.at(i);
        char32_t s = firstScalar(c);
        if (!(isAlphabetic(s) || isNumeric(s) || c == "_")) break;
        ++i;
    }
    std::string_view word = src.slice(start, i);
    auto it = keywords().find(word);
    Token::Kind kind = it == keywords().end() ? Token::Kind::identifier : it->second;
    return {Token(kind, word, static_cast<int64_t>(start)), i};
}

Scan extractToken(const Source& src, size_t i, bool inTag, int depth) {
    using K = Token::Kind;
    std::string_view c = src.at(i);
    auto position = static_cast<int64_t>(i);
    bool hasNext = i + 1 < src.count();
    std::string_view next = hasNext ? src.at(i + 1) : std::string_view();

    if (c == "{" && hasNext) {
        if (next == "{") return {Token(K::openExpression, "{{", position), i + 2};
        if (next == "%") return {Token(K::openStatement, "{%", position), i + 2};
        if (next == "#") return commentToken(src, i);
    }
    if (c == "}" && next == "}" && depth == 0) return {Token(K::closeExpression, "}}", position), i + 2};
    if (c == "%" && next == "}") return {Token(K::closeStatement, "%}", position), i + 2};
    if (!inTag) return textToken(src, i);

    static const std::unordered_map<std::string_view, K> punctuation = {
        {"(", K::openParen}, {")", K::closeParen}, {"[", K::openBracket}, {"]", K::closeBracket},
        {"{", K::openBrace}, {"}", K::closeBrace}, {",", K::comma}, {".", K::dot}, {":", K::colon}, {"|", K::pipe}};
    if (auto p = punctuation.find(c); p != punctuation.end()) return {Token(p->second, c, position), i + 1};

    if (hasNext) {
        std::string pair = std::string(c) + std::string(next);
        if (auto op = operators().find(pair); op != operators().end())
            return {Token(op->second, src.slice(i, i + 2), position), i + 2};
    }
    if (auto op = operators().find(c); op != operators().end()) return {Token(op->second, c, position), i + 1};

    if (c == "'" || c == "\"") return stringToken(src, i, c);
    char32_t s = firstScalar(c);
    if (isNumeric(s)) return numberToken(src, i);
    if (isAlphabetic(s) || c == "_") return identifierToken(src, i);
    throw JinjaError::lexer("Unexpected character '" + std::string(c) + "' at position " + std::to_string(i));
}

}  // namespace

const std::unordered_map<std::string_view, Token::Kind>& keywords() {
    using K = Token::Kind;
    static const std::unordered_map<std::string_view, Token::Kind> table = {
        {"if", K::if_}, {"else", K::else_}, {"elif", K::elif}, {"endif", K::endif}, {"for", K::for_},
        {"endfor", K::endfor}, {"in", K::in}, {"not", K::not_}, {"and", K::and_}, {"or", K::or_},
        {"set", K::set}, {"endset", K::endset}, {"macro", K::macro}, {"endmacro", K::endmacro},
        {"true", K::boolean}, {"false", K::boolean}, {"null", K::null}, {"none", K::null}, {"break", K::break_},
        {"is", K::is}, {"continue", K::continue_}, {"call", K::call}, {"endcall", K::endcall},
        {"filter", K::filter}, {"endfilter", K::endfilter}, {"generation", K::generation},
        {"endgeneration", K::endgeneration}, {"True", K::boolean}, {"False", K::boolean}, {"None", K::null}};
    return table;
}

const std::unordered_map<std::string_view, Token::Kind>& operators() {
    using K = Token::Kind;
    static const std::unordered_map<std::string_view, Token::Kind> table = {
        {"+", K::plus}, {"-", K::minus}, {"*", K::multiply}, {"/", K::divide}, {"//", K::floorDivide},
        {"**", K::power}, {"%", K::modulo}, {"~", K::concat}, {"==", K::equal}, {"!=", K::notEqual},
        {"<", K::less}, {"<=", K::lessEqual}, {">", K::greater}, {">=", K::greaterEqual}, {"=", K::equals},
        {"|", K::pipe}};
    return table;
}

std::string preprocess(std::string_view text) {
    bool hasMarker = text.find("-%}") != std::string_view::npos || text.find("-}}") != std::string_view::npos ||
                     text.find("{%-") != std::string_view::npos || text.find("{{-") != std::string_view::npos;
    if (!hasMarker) return std::string(text);
    std::u32string s = foundation::text::toScalars(foundation::text::repairedUTF8(text));
    s = stripAfter(s, U"-%}", U"%}");
    s = stripAfter(s, U"-}}", U"}}");
    s = stripBefore(s, U"{%-", U"{%");
    s = stripBefore(s, U"{{-", U"{{");
    return foundation::text::fromScalars(s);
}

std::vector<Token> tokenize(std::string_view input) {
    Source src;
    // Ill-formed UTF-8 is repaired first, so every Character below is well-formed.
    src.text = preprocess(foundation::text::isValidUTF8(input) ? std::string(input) : foundation::text::repairedUTF8(input));
    src.bounds = foundation::text::characterBoundaries(src.text);
    if (src.bounds.empty()) src.bounds.push_back(0);

    std::vector<Token> tokens;
    tokens.reserve(std::min<size_t>(src.count() / 4, 1 << 16));
    size_t i = 0;
    bool inTag = false;
    int depth = 0;
    while (i < src.count()) {
        if (inTag) {
            while (i < src.count() && isSpace(firstScalar(src.at(i)))) ++i;
            if (i >= src.count()) break;
        }
        Scan scan = extractToken(src, i, inTag, depth);
        i = scan.next;
        switch (scan.token.kind) {
            case Token::Kind::text:
                if (scan.token.value.empty()) continue;
                break;
            case Token::Kind::openExpression:
            case Token::Kind::openStatement:
                depth = 0;
                inTag = true;
                break;
            case Token::Kind::closeExpression:
            case Token::Kind::closeStatement: inTag = false; break;
            case Token::Kind::openBrace: ++depth; break;
            case Token::Kind::closeBrace: --depth; break;
            default: break;
        }
        tokens.push_back(std::move(scan.token));
    }
    tokens.emplace_back(Token::Kind::eof, "", static_cast<int64_t>(src.count()));
    return tokens;
}

}  // namespace jinja::Lexer

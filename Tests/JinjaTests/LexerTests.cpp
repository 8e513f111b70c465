#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Jinja/Error.hpp"
#include "Jinja/Lexer.hpp"

using namespace jinja;
using K = Token::Kind;

namespace {

std::vector<K> kinds(const std::string& text) {
    std::vector<K> result;
    for (const auto& token : Lexer::tokenize(text)) result.push_back(token.kind);
    return result;
}

std::string lexerError(const std::string& text) {
    try {
        Lexer::tokenize(text);
    } catch (const JinjaError& e) {
        EXPECT_EQ(e.kind(), JinjaError::Case::lexer);
        return e.message();
    }
    return "no error";
}

TEST(LexerTests, EmptyTextGivesOneEndToken) {
    auto tokens = Lexer::tokenize("");
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0], Token(K::eof, "", 0));
}

TEST(LexerTests, TextAndExpressionTokensWithPositions) {
    auto tokens = Lexer::tokenize("Hello {{ name }}!");
    std::vector<Token> expected = {Token(K::text, "Hello ", 0),      Token(K::openExpression, "{{", 6),
                                   Token(K::identifier, "name", 9),  Token(K::closeExpression, "}}", 14),
                                   Token(K::text, "!", 16),          Token(K::eof, "", 17)};
    EXPECT_EQ(tokens, expected);
}

TEST(LexerTests, PositionsCountCharacters) {
    // e + combining acute is one Character, and so is CR LF.
    EXPECT_EQ(Lexer::tokenize("e\xCC\x81{{ x }}")[1].position, 1);
    EXPECT_EQ(Lexer::tokenize("\r\n{{ x }}")[1].position, 1);
    EXPECT_EQ(lexerError("{{ \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD ? }}"), "Unexpected character '\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD' at position 3");
}

TEST(LexerTests, WhitespaceControlRewrites) {
    EXPECT_EQ(Lexer::preprocess("a  {%- if x -%}  b"), "a{% if x %}b");
    EXPECT_EQ(Lexer::preprocess("x {{- y -}}\n\n z"), "x{{ y }}z");
    EXPECT_EQ(Lexer::preprocess("{  {%- x %}"), "{ {% x %}");
    // At the very start, white space before the marker keeps its first character.
    EXPECT_EQ(Lexer::preprocess("  \n{%- x %}"), " {% x %}");
    EXPECT_EQ(Lexer::preprocess("{%- x %}"), "{% x %}");
    // Comments have no markers; "+" is an ordinary operator.
    EXPECT_EQ(Lexer::preprocess("a {#- c -#} b"), "a {#- c -#} b");
}

TEST(LexerTests, OperatorsAndPunctuation) {
    EXPECT_EQ(kinds("{{ a // b ** c <= d == e =< f }}"),
              (std::vector<K>{K::openExpression, K::identifier, K::floorDivide, K::identifier, K::power, K::identifier,
                              K::lessEqual, K::identifier, K::equal, K::identifier, K::equals, K::less, K::identifier,
                              K::closeExpression, K::eof}));
    EXPECT_EQ(kinds("{{x|upper}}"),
              (std::vector<K>{K::openExpression, K::identifier, K::pipe, K::identifier, K::closeExpression, K::eof}));
    EXPECT_EQ(kinds("{% if a not in b %}"),
              (std::vector<K>{K::openStatement, K::if_, K::identifier, K::not_, K::in, K::identifier,
                              K::closeStatement, K::eof}));
}

TEST(LexerTests, BracesInsideExpressions) {
    std::vector<K> expected = {K::openExpression, K::openBrace, K::string, K::colon, K::openBrace, K::string,
                               K::colon, K::number, K::closeBrace, K::closeBrace, K::closeExpression, K::eof};
    EXPECT_EQ(kinds("{{ {'a': {'b': 1}} }}"), expected);
    EXPECT_EQ(kinds("{{ {'a': {'b': 1}}}}"), expected);
}

TEST(LexerTests, StringsNumbersAndWords) {
    auto tokens = Lexer::tokenize(R"({{ 'it\'s' "\q" 'say "hi"' 1.2.3 1e5 True none _x9 }})");
    std::vector<std::pair<K, std::string>> expected = {
        {K::string, "it's"}, {K::string, "q"}, {K::string, "say \"hi\""}, {K::number, "1.2"}, {K::dot, "."},
        {K::number, "3"}, {K::number, "1"}, {K::identifier, "e5"}, {K::boolean, "True"}, {K::null, "none"},
        {K::identifier, "_x9"}};
    ASSERT_EQ(tokens.size(), expected.size() + 3);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(tokens[i + 1].kind, expected[i].first) << i;
        EXPECT_EQ(tokens[i + 1].value, expected[i].second) << i;
    }
    EXPECT_EQ(Lexer::tokenize(R"({{ "a\nb\t" }})")[1].value, "a\nb\t");
}

TEST(LexerTests, CommentsKeepTheirTextAndDoNotChangeTheTagState) {
    auto tokens = Lexer::tokenize("{{ a {# c #} }}x");
    EXPECT_EQ(tokens[2], Token(K::comment, " c ", 5));
    EXPECT_EQ(tokens[3].kind, K::closeExpression);
    EXPECT_EQ(tokens[4], Token(K::text, "x", 15));
}

TEST(LexerTests, Tables) {
    EXPECT_EQ(Lexer::keywords().size(), 30u);
    EXPECT_EQ(Lexer::keywords().at("None"), K::null);
    EXPECT_EQ(Lexer::operators().size(), 16u);
    EXPECT_EQ(allTokenKinds().size(), 61u);
    EXPECT_EQ(kindName(K::notIn), "notIn");
}

TEST(LexerTests, Errors) {
    EXPECT_EQ(lexerError("{{ 'abc"), "Unclosed string at position 3");
    EXPECT_EQ(lexerError("{{ 'abc\\"), "Unclosed string at position 3");
    EXPECT_EQ(lexerError("{# never closed"), "Unclosed comment at position 0");
    EXPECT_EQ(lexerError("{{ a ? b }}"), "Unexpected character '?' at position 5");
    EXPECT_EQ(lexerError("{% a ! b %}"), "Unexpected character '!' at position 5");
}

// Closers in plain text must never stall the scanner.
TEST(LexerTests, ClosersInPlainTextAlwaysAdvance) {
    EXPECT_EQ(kinds("a }} b %} c"), (std::vector<K>{K::text, K::closeExpression, K::text, K::closeStatement, K::text, K::eof}));
    auto tokens = Lexer::tokenize("a #} b");
    EXPECT_EQ(tokens[0], Token(K::text, "a ", 0));
    EXPECT_EQ(tokens[1], Token(K::text, "#} b", 2));
    EXPECT_EQ(Lexer::tokenize("#}")[0], Token(K::text, "#}", 0));
    // A statement that leaves a brace open: the following "}}" is plain text.
    auto unbalanced = Lexer::tokenize("{% { %}a}}b");
    EXPECT_EQ(unbalanced[unbalanced.size() - 2], Token(K::text, "}}b", 8));
}

}  // namespace

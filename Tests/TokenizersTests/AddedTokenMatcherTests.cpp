#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/AddedTokenMatcher.hpp"

using namespace tokenizers;
namespace text = foundation::text;
using Sections = std::vector<std::pair<std::string, bool>>;

namespace {

// The straightforward cutter: one alternation of the escaped tokens, longest first in Characters (file order
// among equal lengths), "\s*" around lstrip and rstrip tokens, and the token itself in a capture group.
Sections referenceSplit(std::vector<AddedTokenPattern> tokens, std::string_view input) {
    std::erase_if(tokens, [](const AddedTokenPattern& token) { return token.content.empty(); });
    if (tokens.empty()) {
        return {{std::string(input), false}};
    }
    std::stable_sort(tokens.begin(), tokens.end(), [](const AddedTokenPattern& a, const AddedTokenPattern& b) {
        return text::characterCount(a.content) > text::characterCount(b.content);
    });
    std::string pattern;
    for (const AddedTokenPattern& token : tokens) {
        pattern += pattern.empty() ? "" : "|";
        pattern += token.lstrip ? "\\s*(" : "(";
        pattern += text::Regex::escapedPattern(token.content);
        pattern += token.rstrip ? ")\\s*" : ")";
    }
    Sections sections;
    size_t position = 0;
    text::Regex(pattern).forEachMatch(input, [&](const text::Regex::Match& match) {
        if (match.range.location > position) {
            sections.emplace_back(input.substr(position, match.range.location - position), false);
        }
        for (auto group = match.groups.rbegin(); group != match.groups.rend(); ++group) {
            if (*group) {
                sections.emplace_back(input.substr((*group)->location, (*group)->length), true);
                break;
            }
        }
        position = match.range.location + match.range.length;
        return true;
    });
    if (position < input.size() || sections.empty()) {
        sections.emplace_back(input.substr(position), false);
    }
    return sections;
}

Sections matcherSplit(const AddedTokenMatcher& matcher, std::string_view input) {
    std::vector<std::pair<std::string_view, bool>> views;
    matcher.split(input, views);
    Sections sections;
    for (const auto& [section, isToken] : views) {
        sections.emplace_back(section, isToken);
    }
    return sections;
}

std::string describe(const std::vector<AddedTokenPattern>& tokens) {
    std::string out;
    for (const AddedTokenPattern& token : tokens) {
        out += "[" + token.content + (token.lstrip ? "|l" : "") + (token.rstrip ? "|r" : "") + "] ";
    }
    return out;
}

// White space of every kind "\s" knows, and characters that look like it but are not.
const std::vector<std::string> spaces = {" ", "\t", "\n", "\r\n", "\u00A0", "\u0085", "\u2028", "\u3000",
                                         "\u200B", "\u001C", "\u180E", "\uFEFF"};

}  // namespace

TEST(AddedTokenMatcher, CasesOfTheRule) {
    struct Case {
        std::vector<AddedTokenPattern> tokens;
        std::string text;
        Sections sections;
    };
    const std::vector<Case> cases = {
        // Longest first, in Characters; equal lengths keep the file's order, even inside a Character.
        {{{"<a>"}, {"<a>b"}}, "x<a>b<a>", {{"x", false}, {"<a>b", true}, {"<a>", true}}},
        {{{"x"}, {"x\u0301"}}, "x\u0301", {{"x", true}, {"\u0301", false}}},
        {{{"ab"}, {"\u00e9"}}, "\u00e9ab", {{"\u00e9", true}, {"ab", true}}},
        // lstrip swallows the white space before the token, as late in it as the token occurs.
        {{{"<m>", true}}, "hi \u3000\t<m>", {{"hi", false}, {"<m>", true}}},
        {{{" <m>", true}}, "a   <m>", {{"a", false}, {" <m>", true}}},
        // An lstrip token after white space wins over an earlier-listed token further on.
        {{{"<xy>"}, {"<m>", true}}, " <m><xy>", {{"<m>", true}, {"<xy>", true}}},
        // rstrip swallows the white space after it; without flags white space stays in the sections.
        {{{"<m>", false, true}}, "<m> \n x", {{"<m>", true}, {"x", false}}},
        {{{"<m>"}}, " <m> ", {{" ", false}, {"<m>", true}, {" ", false}}},
        {{{""}}, "abc", {{"abc", false}}},
        {{}, "", {{"", false}}},
        {{{"<m>"}}, "", {{"", false}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matcherSplit(AddedTokenMatcher(c.tokens), c.text), c.sections) << describe(c.tokens) << c.text;
        EXPECT_EQ(referenceSplit(c.tokens, c.text), c.sections) << describe(c.tokens) << c.text;
    }
}

// Small random definitions over a few letters and white space, where tokens overlap, share starts, begin or
// end with white space and carry random strip flags: the matcher cuts every text as the alternation does.
TEST(AddedTokenMatcher, CutsLikeTheAlternationOnRandomDefinitions) {
    std::mt19937 random(7);
    const std::vector<std::string> letters = {"<", ">", "a", "b", "\u00e9", "e\u0301", " ", "\n", "\u3000"};
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    for (int trial = 0; trial < 1500; ++trial) {
        std::vector<AddedTokenPattern> tokens(1 + random() % 10);
        for (AddedTokenPattern& token : tokens) {
            for (size_t k = 1 + random() % 4; k > 0; --k) {
                token.content += pick(letters);
            }
            token.lstrip = random() % 3 == 0;
            token.rstrip = random() % 3 == 0;
        }
        AddedTokenMatcher matcher(tokens);
        for (int t = 0; t < 4; ++t) {
            std::string input;
            for (size_t k = random() % 24; k > 0; --k) {
                input += random() % 3 ? pick(letters) : pick(spaces);
            }
            ASSERT_EQ(matcherSplit(matcher, input), referenceSplit(tokens, input)) << describe(tokens) << "on " << input;
        }
    }
}

// A definition of thousands of added tokens, shaped like a large model's (reserved and unused tokens, turn
// markers, a few that strip white space), on texts dense in near misses, tags and white space.
TEST(AddedTokenMatcher, CutsLikeTheAlternationWithThousandsOfTokens) {
    std::vector<AddedTokenPattern> tokens;
    for (int k = 0; k < 1000; ++k) {
        tokens.push_back({"<unused" + std::to_string(k) + ">"});
        tokens.push_back({"<|reserved_" + std::to_string(k) + "|>", k % 97 == 0, k % 89 == 0});
    }
    for (const char* tag : {"<start_of_turn>", "<end_of_turn>", "<mask>", "\n\n", "<\xEF\xBD\x9C" "end\xEF\xBD\x9C>"}) {
        tokens.push_back({tag, std::string_view(tag) == "<mask>", std::string_view(tag) == "<end_of_turn>"});
    }
    AddedTokenMatcher matcher(tokens);
    std::mt19937 random(3);
    const std::vector<std::string> pieces = {"<unused1", "<unused12>", "<unused", "<|reserved_97|>", "<|reserved_1",
                                             "<start_of_turn>", "<end_of_turn>", "<mask>", "<|reserved_178|>",
                                             "<", "a<b ", "word", "\xEF\xBD\x9C", "<\xEF\xBD\x9C" "end\xEF\xBD\x9C>"};
    for (int t = 0; t < 8; ++t) {
        std::string input;
        for (size_t k = 20 + random() % 20; k > 0; --k) {
            input += random() % 2 ? pieces[random() % pieces.size()] : spaces[random() % spaces.size()];
        }
        ASSERT_EQ(matcherSplit(matcher, input), referenceSplit(tokens, input)) << input;
    }
}

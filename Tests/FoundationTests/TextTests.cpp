#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Text.hpp"

namespace {

using namespace foundation::text;

// Sample texts where bytes, scalars, UTF-16 units and Characters all differ.
const std::string cafeComposed = "caf\xC3\xA9";       // é as U+00E9
const std::string cafeDecomposed = "cafe\xCC\x81";    // e + U+0301
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // 👨‍👩‍👧
const std::string flags = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";            // 🇩🇪🇫🇷
const std::string replacement = "\xEF\xBF\xBD";

TEST(TextCounts, EveryUnitDiffersOnAccentsEmojiAndFlags) {
    struct Case {
        std::string text;
        size_t bytes, scalars, utf16, characters;
    };
    const Case cases[] = {
        {"", 0, 0, 0, 0},
        {"abc", 3, 3, 3, 3},
        {cafeComposed, 5, 4, 4, 4},
        {cafeDecomposed, 6, 5, 5, 4},
        {family, 18, 5, 8, 1},
        {flags, 16, 4, 8, 2},
        {"a\r\nb", 4, 4, 4, 3},  // CR LF is one Character
        {"\xE0\xA4\xA8\xE0\xA4\xBF", 6, 2, 2, 1},  // Devanagari NA + vowel sign I
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text.size(), c.bytes) << c.text;
        EXPECT_EQ(scalarCount(c.text), c.scalars) << c.text;
        EXPECT_EQ(utf16Count(c.text), c.utf16) << c.text;
        EXPECT_EQ(characterCount(c.text), c.characters) << c.text;
    }
}

TEST(TextCharacters, SplitsAtGraphemeBoundariesInBytes) {
    std::string text = cafeDecomposed + " " + family + flags + "\r\n";
    EXPECT_EQ(characters(text), (std::vector<std::string>{"c", "a", "f", "e\xCC\x81", " ", family,
                                                          flags.substr(0, 8), flags.substr(8), "\r\n"}));
    EXPECT_EQ(characterBoundaries("a\xC3\xA9z"), (std::vector<size_t>{0, 1, 3, 4}));
    EXPECT_EQ(characterBoundaries(""), (std::vector<size_t>{0}));
    EXPECT_TRUE(characters("").empty());
}

// Text without marks or joiners is broken without ICU's iterator; a trailing decomposed é forces the
// iterator on the same text, and both must agree.
TEST(TextCharacters, PlainTextAgreesWithTheFullRules) {
    const std::vector<std::string> texts = {
        "plain ascii\ttext", "a\r\nb\r\r\n\n", "\x01\x7F\xC2\x85\xC2\xAD", "Привет, мир", "世界と日本語",
        "\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "\xC4\xA0hello\xC4\x8A", "\xC3\xA9t\xC3\xA9",
    };
    for (const std::string& text : texts) {
        std::vector<size_t> full = characterBoundaries(text + "e\xCC\x81");
        ASSERT_EQ(full.back(), text.size() + 3) << text;
        full.pop_back();
        EXPECT_EQ(characterBoundaries(text), full) << text;
    }
    std::vector<size_t> reused{7, 8, 9};
    characterBoundaries("ab", reused);
    EXPECT_EQ(reused, (std::vector<size_t>{0, 1, 2}));
}

TEST(TextCharacters, BreakIteratorPerThread) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::string text = (t % 2 ? family : cafeDecomposed) + flags;
            size_t expected = t % 2 ? 3 : 6;
            for (int k = 0; k < 500; ++k) {
                if (characterCount(text) != expected) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(TextEncoding, IllFormedUTF8IsRepairedPerMaximalSubpart) {
    struct Case {
        std::string input;
        std::string repaired;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"a\xFF" "b", "a" + replacement + "b"},
        {"\xE2\x82", replacement},                     // truncated 3-byte sequence: one subpart
        {"\xE2\x82" "A", replacement + "A"},
        {"\xC0\xAF", replacement + replacement},        // overlong: no valid prefix, one per byte
        {"\xED\xA0\x80", replacement + replacement + replacement},  // encoded surrogate
        {"\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},  // above U+10FFFF
        {"\xF0\x9F\x98", replacement},
        {"\x80\x80", replacement + replacement},
        {family, family},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(repairedUTF8(c.input), c.repaired);
        EXPECT_EQ(isValidUTF8(c.input), c.input == c.repaired);
        EXPECT_EQ(fromScalars(toScalars(c.input)), c.repaired);
    }
    // Functions reading scalars count a repaired subpart as one scalar.
    EXPECT_EQ(scalarCount("\xE2\x82" "A"), 2u);
    EXPECT_EQ(toScalars("\xE2\x82" "A"), (std::u32string{0xFFFD, U'A'}));
}

TEST(TextEncoding, ScalarsUTF16AndLatin1RoundTrip) {
    EXPECT_EQ(toScalars(cafeComposed), U"caf\u00E9");
    EXPECT_EQ(toUTF16("a\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xD83D, 0xDE00}));
    EXPECT_EQ(fromUTF16(std::u16string{u'a', 0xD83D, 0xDE00}), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(fromUTF16(std::u16string{0xD83D, u'x', 0xDE00}), replacement + "x" + replacement);
    EXPECT_EQ(fromScalars(std::u32string{U'a', 0xD800, 0x110000}), "a" + replacement + replacement);
    EXPECT_EQ(fromScalar(0x1F600), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fromLatin1("caf\xE9 \xA0"), "caf\xC3\xA9 \xC2\xA0");
}

TEST(TextNormalization, FormsAndCanonicalEquality) {
    EXPECT_EQ(normalized(cafeDecomposed, NormalizationForm::nfc), cafeComposed);
    EXPECT_EQ(normalized(cafeComposed, NormalizationForm::nfd), cafeDecomposed);
    EXPECT_EQ(normalized("\xEF\xAC\x81", NormalizationForm::nfkc), "fi");  // the ligature U+FB01
    EXPECT_EQ(normalized("\xEF\xAC\x81", NormalizationForm::nfc), "\xEF\xAC\x81");
    EXPECT_EQ(normalized("\xE2\x91\xA0", NormalizationForm::nfkd), "1");  // circled digit one
    EXPECT_EQ(normalized("a\xFF", NormalizationForm::nfc), "a" + replacement);

    EXPECT_TRUE(canonicallyEqual(cafeComposed, cafeDecomposed));
    EXPECT_FALSE(canonicallyEqual("\xEF\xAC\x81", "fi"));  // compatibility forms stay distinct
    EXPECT_EQ(canonicalCompare(cafeComposed, cafeDecomposed), 0);
    EXPECT_LT(canonicalCompare("cafe", cafeDecomposed), 0);
    EXPECT_GT(canonicalCompare("z", cafeDecomposed), 0);
    // Combining marks in a different order but canonically equivalent.
    EXPECT_TRUE(canonicallyEqual("q\xCC\x87\xCC\xA3", "q\xCC\xA3\xCC\x87"));
}

TEST(TextProperties, UnicodeSetsNeverTheCLocale) {
    for (char32_t c : {U' ', U'\t', char32_t{0xA0}, char32_t{0x3000}, char32_t{0x2009}, char32_t{0x1680}}) {
        EXPECT_TRUE(isWhitespace(c)) << std::hex << static_cast<uint32_t>(c);
        EXPECT_FALSE(isNewline(c)) << std::hex << static_cast<uint32_t>(c);
    }
    for (char32_t c : {U'\n', U'\r', char32_t{0x0B}, char32_t{0x0C}, char32_t{0x85}, char32_t{0x2028},
                       char32_t{0x2029}}) {
        EXPECT_TRUE(isNewline(c)) << std::hex << static_cast<uint32_t>(c);
        EXPECT_FALSE(isWhitespace(c)) << std::hex << static_cast<uint32_t>(c);
        EXPECT_TRUE(isWhitespaceOrNewline(c)) << std::hex << static_cast<uint32_t>(c);
    }
    for (char32_t c : {U'a', char32_t{0x200B}, char32_t{0xFEFF}, char32_t{0x1C}}) {
        EXPECT_FALSE(isWhitespaceOrNewline(c)) << std::hex << static_cast<uint32_t>(c);  // zero-width space and BOM are not white space
    }
    EXPECT_TRUE(isLetter(0x416));  // Ж
    EXPECT_TRUE(isUppercase(0x416));
    EXPECT_TRUE(isLowercase(0xDF));
    EXPECT_TRUE(isDecimalDigit(0x663));  // Arabic-Indic three
    EXPECT_TRUE(isNumber(0xBD));         // ½
    EXPECT_FALSE(isDecimalDigit(0xBD));
    EXPECT_TRUE(isAlphanumeric(0x301));
    EXPECT_TRUE(isMark(0x301));
    EXPECT_TRUE(isPunctuation(0xBF));  // ¿
    EXPECT_TRUE(isSymbol(0x20AC));     // €
    EXPECT_TRUE(isControl(0x85));
    EXPECT_FALSE(isControl(0x200B));
    EXPECT_EQ(generalCategory(U'A'), "Lu");
    EXPECT_EQ(generalCategory(0x3000), "Zs");
    EXPECT_EQ(generalCategory(0x1F600), "So");
    EXPECT_EQ(generalCategory(0x10FFFF), "Cn");
}

TEST(TextTrimming, UnicodeWhiteSpaceAtBothEnds) {
    std::string padded = "\xC2\xA0\xE3\x80\x80 \t" + cafeDecomposed + " x\xE2\x80\xA8\n";
    EXPECT_EQ(trimmingWhitespaceAndNewlines(padded), cafeDecomposed + " x");
    EXPECT_EQ(trimmingWhitespace(padded), cafeDecomposed + " x\xE2\x80\xA8\n");
    EXPECT_EQ(trimmingWhitespaceAndNewlines(" \n\xE2\x80\xA9 "), "");
    EXPECT_EQ(trimmingWhitespaceAndNewlines(""), "");
    EXPECT_EQ(trimmingCharacters("--a-b--", [](char32_t c) { return c == U'-'; }), "a-b");
}

TEST(TextCase, FullUnicodeMapping) {
    EXPECT_EQ(uppercased("stra\xC3\x9F" "e"), "STRASSE");
    EXPECT_EQ(lowercased("\xD0\x96\xD0\x98\xD0\x97\xD0\x9D\xD0\xAC"), "\xD0\xB6\xD0\xB8\xD0\xB7\xD0\xBD\xD1\x8C");  // ЖИЗНЬ
    EXPECT_EQ(lowercased("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(lowercased("I"), "i");  // root locale: no dotless i
    EXPECT_EQ(uppercased("i"), "I");
    EXPECT_EQ(lowercased("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x82");  // final sigma
    EXPECT_EQ(titlecased("hello wORLD"), "Hello World");
    EXPECT_EQ(caseFolded("Stra\xC3\x9F" "e"), "strasse");
    EXPECT_EQ(uppercased(cafeDecomposed), "CAFE\xCC\x81");
}

TEST(TextSearching, SplitReplaceJoinOnBytes) {
    EXPECT_EQ(split("a,,b,", ","), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(split("", ","), (std::vector<std::string>{""}));
    EXPECT_EQ(split("a=>b=>c", "=>"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split("abc", ""), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(replacingAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replacingAll("abc", "", "x"), "abc");
    EXPECT_EQ(replacingAll(cafeComposed + cafeComposed, "\xC3\xA9", "e"), "cafecafe");
    EXPECT_EQ(joined({"a", "", "b"}, ", "), "a, , b");
    EXPECT_EQ(joined({}, ","), "");
    EXPECT_TRUE(hasPrefix(cafeComposed, "caf"));
    EXPECT_TRUE(hasSuffix(cafeComposed, "\xC3\xA9"));
    EXPECT_FALSE(hasSuffix(cafeDecomposed, "\xC3\xA9"));  // bytes, not Characters
    EXPECT_FALSE(hasPrefix("ab", "abc"));
}

TEST(Regex, GroupsAndByteOffsetsInMultibyteText) {
    Regex regex("(\\p{L}+)(\\d+)?");
    EXPECT_EQ(regex.captureGroupCount(), 2u);
    std::string subject = "\xD0\xB4\xD0\xB0 caf\xC3\xA9" "42";  // "да café42"
    auto matches = regex.allMatches(subject);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].range.location, 0u);
    EXPECT_EQ(matches[0].range.length, 4u);
    ASSERT_EQ(matches[0].groups.size(), 2u);
    EXPECT_FALSE(matches[0].groups[1].has_value());  // the digits took no part
    EXPECT_EQ(matches[1].range.location, 5u);
    EXPECT_EQ(matches[1].range.length, 7u);
    ASSERT_TRUE(matches[1].groups[1].has_value());
    EXPECT_EQ(matches[1].groups[1]->location, 10u);
    EXPECT_EQ(matches[1].groups[1]->length, 2u);

    auto second = regex.firstMatch(subject, 4);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->range.location, 5u);
    EXPECT_FALSE(regex.firstMatch(subject, subject.size()));
    EXPECT_FALSE(regex.firstMatch(subject, subject.size() + 10));

    // Scalars outside the BMP (two UTF-16 units, four bytes) before and around the match.
    auto afterEmoji = Regex("(?<=(.))b+(\\S)").firstMatch(family + "abb" + flags);
    ASSERT_TRUE(afterEmoji);
    EXPECT_EQ(afterEmoji->range.location, 19u);
    EXPECT_EQ(afterEmoji->range.length, 6u);
    EXPECT_EQ(afterEmoji->groups[0]->location, 18u);  // captured inside the look-behind, before the match
    EXPECT_EQ(afterEmoji->groups[1]->location, 21u);
    EXPECT_EQ(afterEmoji->groups[1]->length, 4u);
    EXPECT_EQ(Regex("b").firstMatch(family + "abb", 19)->range.location, 19u);
    EXPECT_EQ(Regex("b").firstMatch(family + "abb", 20)->range.location, 20u);

    // Offsets stay byte offsets into the original bytes after an ill-formed subpart.
    auto afterBadBytes = regex.firstMatch("\xE2\x82 \xFF" "ab7");
    ASSERT_TRUE(afterBadBytes);
    EXPECT_EQ(afterBadBytes->range.location, 4u);
    EXPECT_EQ(afterBadBytes->range.length, 3u);

    // An empty-matching pattern still advances, one scalar at a time.
    EXPECT_EQ(Regex("x*").allMatches("\xC3\xA9\xC3\xA9").size(), 3u);
}

TEST(Regex, WholeMatchContainsReplaceAndOptions) {
    Regex number("-?\\d+(\\.\\d+)?");
    EXPECT_TRUE(number.matchesWhole("-3.25"));
    EXPECT_FALSE(number.matchesWhole("3.25 s"));
    EXPECT_TRUE(number.contains("t = 3.25 s"));
    EXPECT_FALSE(number.contains("none"));

    EXPECT_EQ(Regex("(\\w+)@(\\w+)").replacingMatches("\xC3\xA9@x, a@b", "$2 at $1"),
              "x at \xC3\xA9, b at a");
    EXPECT_EQ(Regex("\\s+").replacingMatches("a \xE3\x80\x80 b\xC2\xA0" "c", " "), "a b c");
    EXPECT_EQ(Regex("q").replacingMatches("abc", "x"), "abc");
    EXPECT_THROW(Regex("(a)").replacingMatches("a", "$3"), foundation::Error);

    Regex::Options insensitive;
    insensitive.caseInsensitive = true;
    EXPECT_TRUE(Regex("STRASSE", insensitive).matchesWhole("strasse"));
    Regex::Options lines;
    lines.anchorsMatchLines = true;
    EXPECT_EQ(Regex("^\\w", lines).allMatches("a\nb\nc").size(), 3u);
    EXPECT_EQ(Regex("^\\w").allMatches("a\nb\nc").size(), 1u);
    Regex::Options dotAll;
    dotAll.dotMatchesLineSeparators = true;
    EXPECT_TRUE(Regex("a.b", dotAll).matchesWhole("a\nb"));
    EXPECT_FALSE(Regex("a.b").matchesWhole("a\nb"));
    Regex::Options comments;
    comments.allowCommentsAndWhitespace = true;
    EXPECT_TRUE(Regex("a b # letters", comments).matchesWhole("ab"));
}

TEST(Regex, BadPatternThrowsWithTheICUErrorName) {
    try {
        Regex broken("(unclosed");
        FAIL() << "compiled";
    } catch (const foundation::Error& e) {
        EXPECT_NE(std::string(e.what()).find("U_REGEX_"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Regex("a{2,1}"), foundation::Error);
}

TEST(Regex, EscapedPatternMatchesItselfLiterally) {
    const std::string texts[] = {"a.b*c+?", "[x](y){2}^$|\\/", "- # & ~ \t\n", "caf\xC3\xA9 (1)", ""};
    Regex::Options comments;
    comments.allowCommentsAndWhitespace = true;
    for (const auto& text : texts) {
        std::string escaped = Regex::escapedPattern(text);
        EXPECT_TRUE(Regex(escaped).matchesWhole(text)) << escaped;
        EXPECT_TRUE(Regex(escaped, comments).matchesWhole(text)) << escaped;
        if (!text.empty()) {
            EXPECT_TRUE(Regex("[" + escaped + "]*").matchesWhole(text)) << escaped;  // also inside a set
        }
    }
    EXPECT_FALSE(Regex(Regex::escapedPattern("a.c")).matchesWhole("abc"));
}

TEST(Regex, OneCompiledPatternSharedByManyThreads) {
    const Regex regex("(\\p{L}+)-(\\d+)");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::string subject = std::string(static_cast<size_t>(t), ' ') + "\xC3\xA9t\xC3\xA9-" +
                                  std::to_string(t) + " x-1";
            for (int k = 0; k < 300; ++k) {
                auto matches = regex.allMatches(subject);
                if (matches.size() != 2 || matches[0].range.location != static_cast<size_t>(t) ||
                    matches[0].groups[1]->location != static_cast<size_t>(t) + 6 ||
                    regex.replacingMatches(subject, "$2") != std::string(static_cast<size_t>(t), ' ') +
                                                                 std::to_string(t) + " 1") {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Regex, ForEachMatchStreamsStopsAndNests) {
    const Regex regex("\\p{L}+");
    std::vector<std::string> words;
    std::vector<std::string> inner;
    const std::string subject = "Привет, мир! 中文 a";
    regex.forEachMatch(subject, [&](const Regex::Match& m) {
        words.emplace_back(subject.substr(m.range.location, m.range.length));
        // The same pattern searched again inside the visit gets its own matcher.
        regex.forEachMatch("x y", [&](const Regex::Match& n) {
            inner.emplace_back(std::string("x y").substr(n.range.location, n.range.length));
            return true;
        });
        return words.size() < 3;
    });
    EXPECT_EQ(words, (std::vector<std::string>{"Привет", "мир", "中文"}));
    EXPECT_EQ(inner.size(), 6u);
    // Many patterns in turn on one thread: cached matchers are replaced, never mixed up.
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < 40; ++k) {
            Regex numbered("a{" + std::to_string(k + 1) + "}");
            std::string text(static_cast<size_t>(k + 1), 'a');
            EXPECT_TRUE(numbered.matchesWhole(text)) << k;
            EXPECT_FALSE(numbered.matchesWhole(text + "a")) << k;
        }
    }
    EXPECT_EQ(regex.allMatches(subject).size(), 4u);
}

TEST(Regex, MovedRegexKeepsWorking) {
    Regex a("b+");
    Regex b(std::move(a));
    EXPECT_EQ(b.pattern(), "b+");
    EXPECT_TRUE(b.contains("abbc"));
    Regex c("x");
    c = std::move(b);
    EXPECT_TRUE(c.contains("abbc"));
}

}  // namespace

#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/PreTokenizer.hpp"
#include "Tokenizers/String+PreTokenization.hpp"
#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Pieces = std::vector<std::string>;

namespace {

std::unique_ptr<PreTokenizer> build(std::string_view definition) {
    return PreTokenizerFactory::fromConfig(json(definition));
}

Pieces run(std::string_view definition, std::string_view text, PreTokenizerOptions options = {}) {
    auto preTokenizer = build(definition);
    if (!preTokenizer) return {std::string(text)};
    return preTokenizer->preTokenize(text, options);
}

std::string byteLevel(std::string_view text) {
    std::string out;
    appendByteEncoded(out, text);
    return out;
}

const std::string metaspace = "\xE2\x96\x81";  // U+2581

}  // namespace

// --- Text helpers

TEST(TextSplitting, CutAtSeparatorAndDelimiterBehaviours) {
    EXPECT_EQ(split("a-b--c", "-", SearchOptions::literal, true, true), (Pieces{"a", "-", "b", "-", "-", "c"}));
    EXPECT_EQ(split("a-b--c", "-", SearchOptions::literal, false, true), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(split("", "-", SearchOptions::literal, true, true), Pieces{});
    EXPECT_EQ(split("abc", "-", SearchOptions::literal, true, true), Pieces{"abc"});
    EXPECT_EQ(split("-a-", "-", SearchOptions::literal, false, false), (Pieces{"", "a", ""}));

    struct Case {
        SplitDelimiterBehavior behavior;
        Pieces expected;
    };
    const std::string text = "__a_b__c_";
    for (const auto& c : std::vector<Case>{
             {SplitDelimiterBehavior::removed, {"a", "b", "c"}},
             {SplitDelimiterBehavior::isolated, {"_", "_", "a", "_", "b", "_", "_", "c", "_"}},
             {SplitDelimiterBehavior::mergedWithPrevious, {"_", "_", "a_", "b_", "_", "c_"}},
             {SplitDelimiterBehavior::mergedWithNext, {"_", "_a", "_b", "_", "_c", "_"}},
         }) {
        EXPECT_EQ(split(text, "_", SearchOptions::literal, c.behavior), c.expected) << static_cast<int>(c.behavior);
    }
}

TEST(TextSplitting, EmptyMatchesEndAndYieldNoEmptyPieces) {
    // A pattern that matches the empty text everywhere must still end and cut nothing into empty pieces.
    auto found = ranges("ab", "x*", SearchOptions::regularExpression);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[2].location, 2u);
    EXPECT_EQ(split("ab", "x*", SearchOptions::regularExpression, true, true), (Pieces{"a", "b"}));
    // Every match opens a piece, the empty ones included.
    EXPECT_EQ(split("aXb", "X?", SearchOptions::regularExpression, SplitDelimiterBehavior::mergedWithNext),
              (Pieces{"a", "X", "b"}));
    EXPECT_EQ(split("abc", "", SearchOptions::literal, true, true), Pieces{"abc"});
    EXPECT_EQ(split("é中", "", SearchOptions::regularExpression, SplitDelimiterBehavior::mergedWithPrevious),
              (Pieces{"é", "中"}));
}

TEST(TextSplitting, SplitByRegexKeepsTheLastGroupThatTookPart) {
    foundation::text::Regex regex("\\s*(X)|(Y)\\s*");
    EXPECT_EQ(split("a X b", regex), (Pieces{"a", "X", " b"}));
    EXPECT_EQ(split("aY  b", regex), (Pieces{"a", "Y", "b"}));
    EXPECT_EQ(split("", regex), Pieces{""});
    EXPECT_EQ(split("none", regex), Pieces{"none"});
    EXPECT_EQ(split("X", foundation::text::Regex("X")), Pieces{"X"});  // no group: the whole match
}

TEST(TextSplitting, WhitespaceCharacterRuns) {
    EXPECT_EQ(leadingWhitespaceCharacters("  a"), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(leadingWhitespaceCharacters("a "), (std::vector<size_t>{0}));
    EXPECT_EQ(trailingWhitespaceCharacters("a\r\n\t"), (std::vector<size_t>{4, 3, 1}));  // CR LF is one Character
    // A space carrying a combining mark is one Character that starts with white space.
    EXPECT_EQ(trailingWhitespaceCharacters("a \xCC\x81"), (std::vector<size_t>{4, 1}));
    EXPECT_EQ(leadingWhitespaceCharacters("\xE3\x80\x80x"), (std::vector<size_t>{0, 3}));  // ideographic space
}

// --- Pre-tokenizers

TEST(PreTokenizer, MissingOrUntypedSectionsGiveNone) {
    EXPECT_EQ(PreTokenizerFactory::fromConfig(std::nullopt), nullptr);
    EXPECT_EQ(PreTokenizerFactory::fromConfig(json("null")), nullptr);
    EXPECT_EQ(build(R"({"add_prefix_space": true})"), nullptr);
    EXPECT_EQ(build(R"({"type": 3})"), nullptr);
}

TEST(PreTokenizer, RejectedDefinitions) {
    struct Case {
        std::string definition;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Foo"})", "Unsupported PreTokenizer type: Foo"},
             {R"({"type": ""})", "Unsupported PreTokenizer type: "},
             {R"({"type": "Sequence"})", "No pretokenizers in Sequence"},
             {R"({"type": "Sequence", "pretokenizers": {}})", "No pretokenizers in Sequence"},
             {R"({"type": "Sequence", "pretokenizers": [{"type": "Bar"}]})", "Unsupported PreTokenizer type: Bar"},
             {R"({"type": "Split", "pattern": {"Regex": "(unclosed"}})", "Cannot build regexp from (unclosed"},
         }) {
        try {
            build(c.definition);
            ADD_FAILURE() << c.definition;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
            EXPECT_EQ(error.localizedDescription(), c.message);
        }
    }
}

TEST(PreTokenizer, NestingOfSequencesIsBounded) {
    auto nested = [](int depth) {
        std::string definition = R"({"type": "Whitespace"})";
        for (int k = 0; k < depth; ++k) {
            definition = R"({"type": "Sequence", "pretokenizers": [)" + definition + "]}";
        }
        return definition;
    };
    EXPECT_EQ(run(nested(20), " a b"), (Pieces{"a", "b"}));
    try {
        build(nested(100));
        ADD_FAILURE() << "a definition nested 100 deep was built";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.localizedDescription(), "PreTokenizer sections nested too deeply");
    }
    EXPECT_EQ(run(nested(3), "c d"), (Pieces{"c", "d"}));  // the depth count is back to zero after a failure
}

TEST(PreTokenizer, MatchingPreTokenizers) {
    struct Case {
        std::string definition;
        std::string text;
        Pieces expected;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Whitespace"})", "  a  b ", {"a", "b"}},
             {R"({"type": "WhitespaceSplit"})", "  a\u3000b\n", {"a", "b"}},
             {R"({"type": "Punctuation"})", "Hi, you!", {"Hi", ",", " you", "!"}},
             {R"({"type": "BertPreTokenizer"})", "Hi, you!", {"Hi", ",", "you", "!"}},
             {R"({"type": "BertPreTokenizer"})", "Привет,  мир...", {"Привет", ",", "мир", ".", ".", "."}},
             {R"({"type": "Digits"})", "abc123", {"abc", "123"}},
             {R"({"type": "Digits", "individual_digits": true})", "abc123", {"abc", "1", "2", "3"}},
             {R"({"type": "Digits"})", "x٣٤y", {"x", "٣٤", "y"}},
         }) {
        EXPECT_EQ(run(c.definition, c.text), c.expected) << c.definition << " on " << c.text;
    }
}

TEST(PreTokenizer, ByteLevel) {
    EXPECT_EQ(run(R"({"type": "ByteLevel"})", "Hello world"), (Pieces{"Hello", byteLevel(" world")}));
    EXPECT_EQ(byteLevel(" world"), "\xC4\xA0world");
    EXPECT_EQ(run(R"({"type": "ByteLevel", "add_prefix_space": true})", "Hello world"),
              (Pieces{byteLevel(" Hello"), byteLevel(" world")}));
    EXPECT_EQ(run(R"({"type": "ByteLevel", "use_regex": false})", "Hello world"), Pieces{byteLevel("Hello world")});
    EXPECT_EQ(run(R"({"type": "ByteLevel"})", "I'm Привет  42 😀!!  \n"),
              (Pieces{"I", "'m", byteLevel(" Привет"), byteLevel(" "), byteLevel(" 42"), byteLevel(" 😀!!"),
                      byteLevel("  \n")}));
    EXPECT_EQ(run(R"({"type": "ByteLevel"})", ""), Pieces{});
}

TEST(PreTokenizer, ByteLevelSearchesTheSameMatchesAsItsExpression) {
    ByteLevelPreTokenizer preTokenizer(json(R"({"use_regex": true})"));
    foundation::text::Regex written(preTokenizer.RE());
    const std::string text =
        "It's 'twas y'all'd've — we'RE ' s 'S  x\t\t\n\n 12,345.6 ٣٤ Привет,мир! 中文字 😀👍🏽 a\u0301 ' ' 'll'll   ";
    Pieces expected;
    written.forEachMatch(text, [&](const foundation::text::Regex::Match& m) {
        expected.push_back(byteLevel(text.substr(m.range.location, m.range.length)));
        return true;
    });
    EXPECT_EQ(preTokenizer.preTokenize(text, {}), expected);
}

TEST(PreTokenizer, Split) {
    EXPECT_EQ(run(R"({"type": "Split", "pattern": {"String": "-"}})", "a-b--c"), (Pieces{"a", "-", "b", "-", "-", "c"}));
    EXPECT_EQ(run(R"({"type": "Split", "pattern": {"String": "-"}, "invert": true})", "a-b--c"),
              (Pieces{"a", "b", "c"}));
    EXPECT_EQ(run(R"({"type": "Split", "pattern": {"Regex": "-"}, "invert": true})", "a-b--c"),
              (Pieces{"a", "-", "b", "-", "-", "c"}));
    EXPECT_EQ(run(R"({"type": "Split", "pattern": {}})", "a-b"), Pieces{"a-b"});
    // The shape of today's split patterns: case-insensitive contractions, Unicode classes, a lookahead.
    const std::string modern =
        R"({"type": "Split", "behavior": "Isolated", "invert": false, "pattern": {"Regex":)"
        R"( "(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}{1,3}| ?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+"}})";
    EXPECT_EQ(run(modern, "He'LL pay 12345 руб.\n\n  ok"),
              (Pieces{"He", "'LL", " pay", " ", "123", "45", " руб", ".\n\n", " ", " ok"}));
    EXPECT_EQ(run(modern, "中文😀😀"), (Pieces{"中文", "😀😀"}));
}

TEST(PreTokenizer, Metaspace) {
    EXPECT_EQ(run(R"({"type": "Metaspace"})", "Hello world"), (Pieces{" Hello", " world"}));
    const std::string first = R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"})";
    PreTokenizerOptions firstSection{PreTokenizerOption::firstSection};
    EXPECT_EQ(run(first, "Hello world", firstSection), (Pieces{metaspace + "Hello", metaspace + "world"}));
    EXPECT_EQ(run(first, "Hello world"), (Pieces{"Hello", metaspace + "world"}));
    EXPECT_EQ(run(first, metaspace + "Hi", firstSection), Pieces{metaspace + "Hi"});
    EXPECT_EQ(run(first, "a  b", firstSection), (Pieces{metaspace + "a", metaspace, metaspace + "b"}));
    EXPECT_EQ(run(R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": false})", "a b"),
              (Pieces{"a", metaspace + "b"}));
    EXPECT_EQ(run(R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "whatever"})", "a"),
              Pieces{metaspace + "a"});
    // The replacement is text, not a pattern: "." and "|" cut only where they stand.
    EXPECT_EQ(run(R"({"type": "Metaspace", "replacement": ".", "prepend_scheme": "never"})", "ab cd"),
              (Pieces{"ab", ".cd"}));
    EXPECT_EQ(run(R"({"type": "Metaspace", "replacement": "|", "prepend_scheme": "never"})", "x y"),
              (Pieces{"x", "|y"}));
    MetaspacePreTokenizer plain(json(R"({"replacement": "▁"})"));
    EXPECT_FALSE(plain.addPrefixSpace());
    EXPECT_EQ(plain.prependScheme(), MetaspacePreTokenizer::PrependScheme::always);
    EXPECT_EQ(plain.stringReplacement(), metaspace);
}

TEST(PreTokenizer, Sequence) {
    EXPECT_EQ(run(R"({"type": "Sequence", "pretokenizers": []})", "a b"), Pieces{"a b"});
    const std::string sequence = R"({"type": "Sequence", "pretokenizers": [
        null, {"no_type": 1}, {"type": "WhitespaceSplit"}, {"type": "Punctuation"}, {"type": "Digits", "individual_digits": true}]})";
    EXPECT_EQ(run(sequence, "Hi,  you42!"), (Pieces{"Hi", ",", "you", "4", "2", "!"}));
    auto preTokenizer = build(sequence);
    EXPECT_EQ(preTokenizer->preTokenize(Pieces{"a,b", "c"}, {}), (Pieces{"a", ",", "b", "c"}));
    EXPECT_EQ((*preTokenizer)("x1"), (Pieces{"x", "1"}));
}

TEST(PreTokenizer, OneInstanceServesManyThreads) {
    auto preTokenizer = build(R"({"type": "Sequence", "pretokenizers": [{"type": "Split", "pattern": {"Regex": "\\s+"}},
        {"type": "ByteLevel", "use_regex": true}]})");
    const Pieces expected = preTokenizer->preTokenize("Hello, мир 😀", {});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int k = 0; k < 500; ++k) {
                if (preTokenizer->preTokenize("Hello, мир 😀", {}) != expected) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

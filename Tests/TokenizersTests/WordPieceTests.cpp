#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Tokenizers/BertTokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

const char* vocabulary = R"({"[UNK]": 0, "[CLS]": 1, "[SEP]": 2, "a": 3, "b": 4, "ab": 5, "##b": 6, "##c": 7,
    "un": 8, "##aff": 9, "##able": 10, ",": 11, "!": 12, "中": 13, "cafe": 14, "café": 15, "CAFÉ": 16,
    "[": 17, "]": 18, "cls": 19, "привет": 20, "мир": 21, "😀": 22, "x": 23, "##x": 24})";

BertTokenizer bert(std::string_view config = "{}", std::string_view vocab = vocabulary) {
    return BertTokenizer(json(config), json(R"({"model": {"vocab": )" + std::string(vocab) + "}}"), {});
}

}  // namespace

TEST(WordPiece, WordsAndPieces) {
    BertTokenizer lower = bert();
    BertTokenizer cased = bert(R"({"do_lower_case": false})");
    struct Case {
        const BertTokenizer& model;
        std::string text;
        Tokens tokens;
    };
    const std::vector<Case> cases = {
        {lower, "unaffable ab", {"un", "##aff", "##able", "ab"}},
        {lower, "a中b", {"a", "中", "b"}},                        // a Chinese Character is a word of its own
        {lower, "CAFÉ", {"cafe"}},                                // accents folded, then lower-cased
        {cased, "CAFÉ", {"CAFÉ"}},
        {lower, "[CLS] x [SEP]", {"[CLS]", "x", "[SEP]"}},        // never split, case kept
        {lower, "[cls]", {"[", "cls", "]"}},
        {lower, "a,", {"a", ","}},
        {lower, ",!,", {",", "!", ","}},
        {lower, "a\nb", {"[UNK]"}},                               // line breaks do not separate words
        {lower, "a\tb\u00A0ab", {"a", "b", "ab"}},                // tab and no-break space do
        {lower, "abc", {"ab", "##c"}},
        {lower, "ad", {"[UNK]"}},                                 // no partial pieces before [UNK]
        {lower, "Привет, МИР 😀", {"привет", ",", "мир", "😀"}},
        {lower, "", {}},
        {lower, "   ", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.model.tokenize(c.text), c.tokens) << c.text;
    }
    Tokens hundred(100, "##x");  // a word of exactly 100 Characters is still cut
    hundred[0] = "x";
    EXPECT_EQ(lower.tokenize(std::string(100, 'x')), hundred);
    EXPECT_EQ(lower.tokenize(std::string(101, 'x')), (Tokens{"[UNK]"}));
}

// The vocabulary compares as text: a decomposed spelling finds the composed entry (and the reverse), keeps its
// own spelling as the piece, and converts to that entry's id.
TEST(WordPiece, CanonicallyEquivalentSpellingsAreOneEntry) {
    BertTokenizer cased = bert(R"({"do_lower_case": false})",
                               R"({"[UNK]": 0, "CAF\u00c9": 1, "x": 2, "##e\u0301": 3, "\u00f1": 4})");
    struct Case {
        std::string text;
        Tokens tokens;
        std::vector<int64_t> ids;
    };
    const std::vector<Case> cases = {
        {"CAFE\u0301", {"CAFE\u0301"}, {1}},
        {"CAF\u00c9", {"CAF\u00c9"}, {1}},
        {"x\u00e9", {"x", "##\u00e9"}, {2, 3}},
        {"n\u0303 \u00f1", {"n\u0303", "\u00f1"}, {4, 4}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cased.tokenize(c.text), c.tokens) << c.text;
        std::vector<int64_t> ids;
        for (const std::string& token : c.tokens) {
            ids.push_back(cased.convertTokenToId(token).value_or(-1));
        }
        EXPECT_EQ(ids, c.ids) << c.text;
    }
}

TEST(WordPiece, ConfigurationAndIds) {
    BertTokenizer model(json(R"({"bos_token": {"content": "[CLS]"}, "eos_token": "[SEP]", "fuse_unk": "true",
                                 "handle_chinese_chars": false})"),
                        json(R"({"model": {"vocab": {"[UNK]": 0, "[SEP]": 1, "a": 2, "中": 3, "bad": 1.5},
                                 "merges": ["a b"]},
                                 "added_tokens": [{"id": 9, "content": "a"}, {"id": "x", "content": "b"}]})"),
                        {{"[SEP]", 10}});
    EXPECT_EQ(model.bosToken(), std::nullopt);  // a dictionary is not a plain token here
    EXPECT_EQ(model.eosToken(), "[SEP]");
    EXPECT_EQ(model.eosTokenId(), 10);
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_FALSE(model.tokenizeChineseChars());
    EXPECT_EQ(model.unknownToken(), "[UNK]");
    EXPECT_EQ(model.unknownTokenId(), 0);
    EXPECT_EQ(model.convertTokenToId("a"), 9);
    EXPECT_EQ(model.convertTokenToId("bad"), 0);
    EXPECT_EQ(model.convertTokenToId("b"), 0);
    EXPECT_EQ(model.convertIdToToken(9), "a");
    EXPECT_EQ(model.convertIdToToken(42), std::nullopt);
    EXPECT_EQ(model.tokenize("a中"), (Tokens{"[UNK]"}));  // not spaced, so one uncovered word

    // Without "[UNK]" in the vocabulary, uncovered words still say "[UNK]", which has no id.
    BertTokenizer bare = bert("{}", R"({"a": 0})");
    EXPECT_EQ(bare.tokenize("b"), (Tokens{"[UNK]"}));
    EXPECT_EQ(bare.unknownTokenId(), std::nullopt);
    EXPECT_EQ(bare.convertTokenToId("[UNK]"), std::nullopt);

    try {
        BertTokenizer(json("{}"), json(R"({"model": {"vocab": ["a"]}})"), {});
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.errorCase(), TokenizerError::Case::missingVocab);
    }
}

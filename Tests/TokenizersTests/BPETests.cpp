#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ModelTestSupport.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/BPETokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

BPETokenizer model(std::string_view vocab, std::string_view merges, std::string_view config = "{}",
                   const AddedTokens& added = {}) {
    std::string data = R"({"model": {"type": "BPE", "vocab": )" + std::string(vocab) + R"(, "merges": )" +
                       std::string(merges) + "}}";
    return BPETokenizer(json(config), json(data), added);
}

}  // namespace

TEST(BPETokenizer, MergeListSpellings) {
    auto merges = BPETokenizer::mergesFromConfig(json(R"([["a", "b"], "c d", "e  f", ["g", 1, "h"], 7, "x"])"));
    ASSERT_TRUE(merges);
    EXPECT_EQ(*merges, (std::vector<Tokens>{{"a", "b"}, {"c", "d"}, {"e", "", "f"}, {"g", "h"}, {"x"}}));
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(json("null")));
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(json(R"({"a": "b"})")));

    // A string merge and an array merge of the same pair: the later position wins. The doubled space gives an
    // empty part, which never matches, and a one-part merge has no pair.
    BPETokenizer bpe = model(R"({"a": 0, "b": 1, "ab": 2})", R"(["a b", ["a", "b"], "a  b", "ab"])");
    EXPECT_EQ(bpe.bpeRank({"a", "b"}), 1);
    EXPECT_EQ(bpe.bpeRank({"a", ""}), std::nullopt);
    EXPECT_EQ(bpe.tokenize("ab"), (Tokens{"ab"}));
}

TEST(BPETokenizer, MergesAndByteTokens) {
    BPETokenizer bpe = model(R"({"x": 0, "xx": 1, "<unk>": 2, "h": 3, "i": 4, "hi": 5, "<0x41>": 6})",
                             R"(["x x", "h i", "< u", "<u n", "<un k", "<unk >"])", R"({"unk_token": "<unk>"})");
    struct Case {
        std::string piece;
        Tokens tokens;
    };
    const std::vector<Case> cases = {
        {"xxx", {"xx", "x"}},                 // overlapping occurrences merge from the left
        {"xxxx", {"xx", "xx"}},
        {"hi", {"hi"}},
        {"x", {"x"}},                         // one Character: looked up unchanged
        {"", {}},
        {" ", {}},                            // spaces inside a piece vanish
        {"h i", {"h", "i"}},
        {"\xC3\xA9", {"<0xC3>", "<0xA9>"}},   // outside the vocabulary: one byte token per UTF-8 byte
        {"A", {"<0x41>"}},
        {"<unk>", {"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}},  // the unknown token is no token
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bpe.tokenize(c.piece), c.tokens) << c.piece;
    }
    EXPECT_EQ(bpe.bpe("xxx"), "xx x");
    EXPECT_EQ(BPETokenizer::hexaEncode("\n"), (Tokens{"<0x0A>"}));
}

TEST(BPETokenizer, ConversionsAndSpecialTokens) {
    BPETokenizer withUnknown =
        model(R"({"<unk>": 0, "<s>": 1, "a": 2, "b": 3})", "[]",
              R"({"unk_token": {"content": "<unk>", "lstrip": false}, "bos_token": "<s>", "eos_token": "</s>",
                  "fuse_unk": true})",
              {{"b", 7}, {"new", 8}});
    EXPECT_EQ(withUnknown.unknownTokenId(), 0);
    EXPECT_EQ(withUnknown.bosTokenId(), 1);
    EXPECT_EQ(withUnknown.eosToken(), "</s>");
    EXPECT_EQ(withUnknown.eosTokenId(), std::nullopt);
    EXPECT_TRUE(withUnknown.fuseUnknownTokens());
    EXPECT_EQ(withUnknown.convertTokenToId("zzz"), 0);
    // An added token takes over its content's id in both directions.
    EXPECT_EQ(withUnknown.convertTokenToId("b"), 7);
    EXPECT_EQ(withUnknown.convertIdToToken(7), "b");
    EXPECT_EQ(withUnknown.convertIdToToken(3), std::nullopt);
    EXPECT_EQ(withUnknown.convertIdToToken(8), "new");
    EXPECT_EQ(withUnknown.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(withUnknown.convertIdToToken(1'000'000'000'000), std::nullopt);

    // An unknown token missing from the vocabulary has no id.
    BPETokenizer withoutUnknown = model(R"({"a": 0, "big": 5000000000})", "[]", R"({"unk_token": "<unk>"})");
    EXPECT_EQ(withoutUnknown.unknownToken(), "<unk>");
    EXPECT_EQ(withoutUnknown.unknownTokenId(), std::nullopt);
    EXPECT_EQ(withoutUnknown.convertTokenToId("zzz"), std::nullopt);
    EXPECT_EQ(withoutUnknown.convertIdToToken(5000000000), "big");
    EXPECT_FALSE(withoutUnknown.fuseUnknownTokens());
}

TEST(BPETokenizer, RefusedDefinitions) {
    try {
        model(R"({"a": 0})", "null");
        FAIL() << "no merges accepted";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
        EXPECT_EQ(error.localizedDescription(), "BPETokenizer requires merges");
    }
    for (std::string_view vocab : {"null", "[]", "3"}) {
        try {
            model(vocab, "[]");
            FAIL() << vocab;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.errorCase(), TokenizerError::Case::missingVocab);
        }
    }
    try {
        BPETokenizer(json("{}"), json("{}"), {});
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
    }
}

// Merges compare by exact code units, as the vocabulary does: a merge written with a decomposed é applies to a
// decomposed é only, so a merge never yields a spelling that the vocabulary lacks.
TEST(BPETokenizer, MergePairsCompareExactly) {
    const std::string decomposed = "e\xCC\x81";
    const std::string precomposed = "\xC3\xA9";
    BPETokenizer bpe = model(R"({"t": 0, "t\u00e9": 1, "te\u0301": 2})", "[\"t " + decomposed + "\"]");
    EXPECT_EQ(bpe.bpeRank({"t", decomposed}), 0);
    EXPECT_EQ(bpe.bpeRank({"t", precomposed}), std::nullopt);
    EXPECT_FALSE((BytePair{"t", precomposed} == BytePair{"t", decomposed}));
    EXPECT_EQ(bpe.tokenize("t" + decomposed), (Tokens{"t" + decomposed}));
    EXPECT_EQ(bpe.tokenize("t" + precomposed), (Tokens{"t", "<0xC3>", "<0xA9>"}));
    // Cyrillic, CJK and emoji Characters merge like any other.
    BPETokenizer words = model(R"({"мир": 0, "世界": 1, "👍🏽": 2, "ми": 3})",
                               R"(["м и", "ми р", "世 界", "👍 🏽"])");
    EXPECT_EQ(words.tokenize("мир"), (Tokens{"мир"}));
    EXPECT_EQ(words.tokenize("世界"), (Tokens{"世界"}));
    // The thumb with a skin tone is one Character, so no merge splits or joins it: it is looked up whole.
    EXPECT_EQ(words.tokenize("👍🏽"), (Tokens{"👍🏽"}));
}

// The merge loop against a literal rendering of its definition (lowest-ranked pair, every occurrence rewritten
// left to right, repeat), on random merge lists and pieces short enough for the scan and long enough for
// the heap.
TEST(BPETokenizer, AgreesWithTheReferenceMergeLoop) {
    std::mt19937 random(7);
    const std::string alphabet = "abcd";
    auto reference = [](const std::map<std::pair<std::string, std::string>, size_t>& ranks, const std::string& piece) {
        std::vector<std::string> word;
        for (char c : piece) {
            word.emplace_back(1, c);
        }
        while (word.size() > 1) {
            std::optional<std::pair<size_t, std::pair<std::string, std::string>>> best;
            for (size_t i = 0; i + 1 < word.size(); ++i) {
                auto it = ranks.find({word[i], word[i + 1]});
                if (it != ranks.end() && (!best || it->second < best->first)) {
                    best = {it->second, it->first};
                }
            }
            if (!best) {
                break;
            }
            std::vector<std::string> rewritten;
            for (size_t i = 0; i < word.size();) {
                if (i + 1 < word.size() && word[i] == best->second.first && word[i + 1] == best->second.second) {
                    rewritten.push_back(word[i] + word[i + 1]);
                    i += 2;
                } else {
                    rewritten.push_back(word[i++]);
                }
            }
            word = rewritten;
        }
        return word;
    };
    for (int round = 0; round < 40; ++round) {
        // Random merges over growing symbols, in random order, so ranks need not follow the order of learning.
        std::vector<std::string> symbols = {"a", "b", "c", "d"};
        std::vector<std::pair<std::string, std::string>> pairs;
        for (int k = 0; k < 30; ++k) {
            const std::string& left = symbols[random() % symbols.size()];
            const std::string& right = symbols[random() % symbols.size()];
            pairs.emplace_back(left, right);
            if (left.size() + right.size() < 6) {
                symbols.push_back(left + right);
            }
        }
        std::shuffle(pairs.begin(), pairs.end(), random);
        std::map<std::pair<std::string, std::string>, size_t> ranks;
        std::string merges = "[";
        std::string vocab = "{";
        for (size_t rank = 0; rank < pairs.size(); ++rank) {
            ranks[pairs[rank]] = rank;
            merges += (rank ? ",\"" : "\"") + pairs[rank].first + " " + pairs[rank].second + "\"";
        }
        for (size_t k = 0; k < symbols.size(); ++k) {
            vocab += (k ? ",\"" : "\"") + symbols[k] + "\":" + std::to_string(k);
        }
        BPETokenizer bpe = model(vocab + "}", merges + "]");
        for (size_t length : {2, 5, 17, 48, 49, 120}) {
            std::string piece;
            for (size_t k = 0; k < length; ++k) {
                piece += alphabet[random() % alphabet.size()];
            }
            std::vector<std::string> expected = reference(ranks, piece);
            EXPECT_EQ(bpe.bpe(piece), foundation::text::joined(expected, " ")) << piece;
        }
    }
}

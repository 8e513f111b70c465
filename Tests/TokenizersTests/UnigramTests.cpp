#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Tokenizers/TokenLattice.hpp"
#include "Tokenizers/Trie.hpp"
#include "Tokenizers/UnigramTokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

UnigramTokenizer unigram(std::string_view vocab, std::string_view unkId = "0", std::string_view config = "{}") {
    return UnigramTokenizer(json(config),
                            json(R"({"model": {"type": "Unigram", "unk_id": )" + std::string(unkId) +
                                 R"(, "vocab": )" + std::string(vocab) + "}}"),
                            {});
}

void expectMalformed(std::string_view vocab, std::string_view unkId, TokenizerError::Case expected) {
    try {
        unigram(vocab, unkId);
        FAIL() << vocab << " unk " << unkId;
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.errorCase(), expected) << vocab;
    }
}

}  // namespace

TEST(Unigram, BestPathByScore) {
    UnigramTokenizer model = unigram(R"([["<unk>", 0], ["a", -1], ["b", -2], ["ab", -2.5]])");
    EXPECT_FLOAT_EQ(model.minScore(), -2.5f);
    EXPECT_FLOAT_EQ(model.unknownTokenScore(), -12.5f);
    EXPECT_EQ(model.unknownToken(), "<unk>");
    EXPECT_EQ(model.tokenize("ab"), (Tokens{"ab"}));  // -2.5 beats -3 for a then b
    EXPECT_EQ(model.tokenize("abc"), (Tokens{"ab", "c"}));
    EXPECT_EQ(model.convertTokenToId("c"), 0);
    EXPECT_EQ(model.tokenize(""), (Tokens{}));
    EXPECT_TRUE(model.fuseUnknownTokens());

    // A tie goes to the node that starts earliest, the longest piece.
    EXPECT_EQ(unigram(R"([["<unk>", 0], ["a", -1], ["b", -1], ["ab", -2]])").tokenize("ab"), (Tokens{"ab"}));
    // Pieces of different lengths combine along the best path.
    EXPECT_EQ(unigram(R"([["<unk>", 0], ["a", -20], ["ab", -1]])").tokenize("aab"), (Tokens{"a", "ab"}));
}

TEST(Unigram, PiecesAreWholeCharacters) {
    UnigramTokenizer model = unigram(
        R"([["<unk>", 0], ["▁", -1], ["▁при", -2], ["вет", -2], ["世界", -1], ["e", -1], ["👍", -1], ["▁мир", -3]])");
    EXPECT_EQ(model.tokenize("▁привет▁мир"), (Tokens{"▁при", "вет", "▁мир"}));
    EXPECT_EQ(model.tokenize("世界"), (Tokens{"世界"}));
    // The piece "e" does not match inside the Character e + U+0301, nor 👍 inside 👍🏽.
    EXPECT_EQ(model.tokenize("e\xCC\x81"), (Tokens{"e\xCC\x81"}));
    EXPECT_EQ(model.convertTokenToId("e\xCC\x81"), 0);
    EXPECT_EQ(model.tokenize("👍🏽👍"), (Tokens{"👍🏽", "👍"}));
}

TEST(Unigram, SpecialTokensAndIds) {
    UnigramTokenizer model =
        unigram(R"([["<pad>", 0], ["</s>", 0], ["<unk>", 0], [" ", 1000], ["x", 2000]])", "2",
                R"({"eos_token": "</s>"})");
    EXPECT_FLOAT_EQ(model.minScore(), 0);
    EXPECT_EQ(model.bosToken(), " ");
    EXPECT_EQ(model.bosTokenId(), 3);
    EXPECT_EQ(model.eosTokenId(), 1);
    EXPECT_EQ(model.unknownTokenId(), 2);
    EXPECT_EQ(model.convertIdToToken(4), "x");
    EXPECT_EQ(model.convertIdToToken(5), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);

    UnigramTokenizer high = unigram(R"([["<unk>", 1000], ["x", 1001]])");
    EXPECT_FLOAT_EQ(high.minScore(), 999);
    EXPECT_FLOAT_EQ(high.unknownTokenScore(), 989);
    EXPECT_EQ(high.bosTokenId(), std::nullopt);
    EXPECT_EQ(high.eosToken(), std::nullopt);
}

TEST(Unigram, RefusedVocabularies) {
    using Case = TokenizerError::Case;
    expectMalformed(R"({"a": 1})", "0", Case::missingVocab);
    expectMalformed(R"([["a", "b"]])", "0", Case::malformedVocab);
    expectMalformed(R"([[]])", "0", Case::malformedVocab);
    expectMalformed(R"([[1, 2]])", "0", Case::malformedVocab);
    expectMalformed(R"(["a"])", "0", Case::malformedVocab);
    expectMalformed(R"([["a", 0]])", "null", Case::malformedVocab);
    expectMalformed(R"([["a", 0]])", "1", Case::malformedVocab);   // names no piece
    expectMalformed(R"([["a", 0]])", "-1", Case::malformedVocab);
    expectMalformed(R"([["a", 0], ["a", -1]])", "0", Case::malformedVocab);  // a piece listed twice
}

TEST(Unigram, TrieAndLattice) {
    Trie<char> trie;
    trie.append(std::vector<std::string>{"a", "abc", "ab", "b"});
    std::string text = "abcd";
    auto search = trie.commonPrefixSearch(std::span<const char>(text.data(), text.size()));
    std::vector<std::string> found;
    while (const std::vector<char>* prefix = search.next()) {
        found.emplace_back(prefix->begin(), prefix->end());
    }
    EXPECT_EQ(found, (std::vector<std::string>{"a", "ab", "abc"}));

    TokenLattice lattice("ab", 1, 2);
    lattice.insert(0, 1, -1, 10);
    lattice.insert(1, 1, -1, 11);
    lattice.insert(0, 2, -3, 12);
    lattice.insert(1, 5, 0, 13);  // beyond the sentence: ignored
    auto path = lattice.viterbi();
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[1].tokenId, 11);
    EXPECT_EQ(path[1].description(),
              "TokenLatticeNode(tokenId: 11, startOffset: 1, length: 1, score: -1.0, prev: true, backtraceScore: -2.0)");
    EXPECT_EQ(lattice.tokens(), (Tokens{"a", "b"}));
    // A position where no node begins leaves no path.
    TokenLattice gap("ab", 0, 0);
    gap.insert(0, 1, -1, 1);
    EXPECT_TRUE(gap.viterbi().empty());
}

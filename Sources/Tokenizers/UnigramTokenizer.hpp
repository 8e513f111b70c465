#pragma once
// The Unigram model: a vocabulary of scored pieces, a trie that finds every piece starting at a position,
// and the best path through the lattice of those matches by summed scores.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tokenizers/Tokenizer.hpp"
#include "Tokenizers/Trie.hpp"
#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

class UnigramTokenizer : public PreTrainedTokenizerModel {
public:
    struct SentencePieceToken {
        std::string token;
        float score = 0;
    };

    // Throws TokenizerError.missingVocab or malformedVocab.
    UnigramTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                     const AddedTokens& addedTokens);

    std::vector<std::string> tokenize(std::string_view text) const override;
    std::optional<int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return std::string(" "); }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

    float unknownTokenScore() const { return unknownPiece_.score; }
    float minScore() const { return minScore_; }
    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }

private:
    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int64_t> unknownTokenId_;
    float minScore_ = 999;
    StringMap<int64_t> tokensToIds_;
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    // Pieces by their UTF-8 bytes; a match counts only where it ends on a Character boundary of the text,
    // which makes it a match of whole Characters. pieceAtNode_ names the piece that ends at a leaf.
    Trie<char> trie_;
    std::vector<int32_t> pieceAtNode_;
};

// The Unigram model under the class name that T5 tokenizers give.
class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace tokenizers

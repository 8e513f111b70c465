#pragma once
// The byte-pair-encoding model: one pre-tokenized piece becomes vocabulary symbols by merging, again and
// again, the adjacent pair of symbols with the best rank; a symbol outside the vocabulary becomes one byte
// token ("<0xE9>") per UTF-8 byte.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tokenizers/Tokenizer.hpp"
#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

// Two adjacent symbols. Pairs compare by exact code units, as the vocabulary does: a merge must produce the
// very spelling the vocabulary holds, or the merged symbol would fall back to byte tokens.
struct BytePair {
    std::string a;
    std::string b;

    friend bool operator==(const BytePair& x, const BytePair& y);
    size_t hash() const;
};

class BPETokenizer : public PreTrainedTokenizerModel {
public:
    // Throws TokenizerError.missingVocab, or invalidDefinition("BPETokenizer requires merges").
    BPETokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens);

    // The merge list of a "merges" value: each element a list of strings, or one string cut at every space
    // (empty parts kept). Nothing when the value is not an array.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(const hub::Config& merges);

    int64_t vocabCount() const { return static_cast<int64_t>(vocabulary_.size()); }

    std::vector<std::string> tokenize(std::string_view text) const override;
    std::optional<int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownToken_; }
    std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    // One piece merged, its symbols joined by single spaces.
    std::string bpe(std::string_view token) const;
    // One byte token per UTF-8 byte of the text.
    static std::vector<std::string> hexaEncode(std::string_view text);
    // The text's bytes written in the byte-level alphabet, one character per byte.
    static std::vector<std::string> byteEncode(std::string_view text);
    // The rank of a mergeable pair: its position in the merge list.
    std::optional<int64_t> bpeRank(const BytePair& pair) const;

private:
    struct Merge {
        uint32_t rank;
        uint32_t merged;  // the symbol the pair becomes
    };

    uint32_t internSymbol(std::string_view symbol);
    uint32_t symbolId(std::string_view symbol) const;  // noSymbol for a text no merge mentions
    uint32_t symbolOf(std::string_view character) const;
    // The symbols of a piece after every merge, as byte ranges [start, end) of the piece.
    void merge(std::string_view piece, std::vector<std::pair<uint32_t, uint32_t>>& symbols) const;
    void appendTokens(std::string_view symbol, std::vector<std::string>& out) const;

    Vocabulary vocabulary_;
    // Merge symbols by their exact text: a vocabulary token's place in the vocabulary, or for other texts
    // extraSymbolBase_ and up; pairs of symbol ids map to their rank and result.
    StringMap<uint32_t> extraSymbols_;
    uint32_t extraSymbolBase_ = 0;
    std::vector<uint32_t> scalarSymbols_;  // symbol of each one-scalar character below scalarTableSize
    PairMap<Merge> ranks_;

    std::optional<std::string> bosToken_;
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    std::optional<std::string> unknownToken_;
    std::optional<int64_t> unknownTokenId_;
    bool fuseUnknownTokens_ = false;
};

}  // namespace tokenizers

#pragma once
// The WordPiece model: text is cut into words at white space and punctuation, and every word into the
// longest vocabulary pieces from the left, continuation pieces carrying "##". A word that cannot be covered
// becomes "[UNK]". Words and pieces count Characters (extended grapheme clusters).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Tokenizers/Tokenizer.hpp"
#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

// Splits text into words at white space (the space separators and the tab) and punctuation.
class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase) : doLowerCase_(doLowerCase) {}

    std::vector<std::string> tokenize(std::string_view text) const;

    bool doLowerCase() const { return doLowerCase_; }
    static const std::vector<std::string>& neverSplit();

private:
    bool doLowerCase_;
};

// Cuts one word into the longest vocabulary pieces from the left.
class WordpieceTokenizer {
public:
    static constexpr size_t maxInputCharsPerWord = 100;
    static constexpr std::string_view unkToken = "[UNK]";

    explicit WordpieceTokenizer(std::shared_ptr<const Vocabulary> vocab) : vocab_(std::move(vocab)) {}

    std::vector<std::string> tokenize(std::string_view word) const;

private:
    std::shared_ptr<const Vocabulary> vocab_;
};

class BertTokenizer : public PreTrainedTokenizerModel {
public:
    struct Params {
        std::unordered_map<std::string, int64_t> vocab;
        std::optional<std::vector<std::string>> merges;  // accepted and not used
        bool tokenizeChineseChars = true;
        std::optional<std::string> bosToken;
        std::optional<std::string> eosToken;
        bool fuseUnknownTokens = false;
        bool doLowerCase = true;
    };

    explicit BertTokenizer(Params params);
    // Throws TokenizerError.missingVocab.
    BertTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens);

    std::vector<std::string> tokenize(std::string_view text) const override;
    std::optional<int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return std::string(WordpieceTokenizer::unkToken); }
    std::optional<int64_t> unknownTokenId() const override { return vocab_->id(WordpieceTokenizer::unkToken); }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    static constexpr int64_t maxLen = 512;
    bool tokenizeChineseChars() const { return tokenizeChineseChars_; }
    const BasicTokenizer& basicTokenizer() const { return basicTokenizer_; }
    const WordpieceTokenizer& wordpieceTokenizer() const { return wordpieceTokenizer_; }

private:
    BertTokenizer(std::shared_ptr<Vocabulary> vocab, const Params& settings);

    std::shared_ptr<const Vocabulary> vocab_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
    std::optional<std::string> bosToken_;
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    bool fuseUnknownTokens_;
};

}  // namespace tokenizers

#pragma once
// A tokenizer-library tokenizer seen as a Whisper tokenizer: its special token ids (with the fixed
// ids of a Whisper vocabulary where it lacks a token), its language tokens and the split of a
// window's ids into words. Immutable once built; safe to share between threads.
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace lexiphonic {

class WhisperTokenizerWrapper : public WhisperTokenizer {
public:
    // `at` is the folder the tokenizer came from, kept as given.
    WhisperTokenizerWrapper(std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
                            std::optional<std::filesystem::path> at = std::nullopt);

    const std::shared_ptr<const tokenizers::Tokenizer>& tokenizer() const { return tokenizer_; }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

    std::vector<int64_t> encode(const std::string& text) const override;
    std::string decode(const std::vector<int64_t>& tokens) const override;
    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }

    // Text in a script written without spaces between words (Chinese, Japanese, Thai, Lao, Burmese,
    // Cantonese) is split into its characters, other text at spaces and punctuation.
    WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const override;
    // Groups consecutive ids until their text is complete (no character cut in the middle); an
    // incomplete group at the very end is dropped.
    virtual WordTokens splitTokensOnUnicode(const std::vector<int64_t>& tokens) const;
    // Joins the complete groups into words that start at a space, a lone punctuation mark or a
    // special token.
    virtual WordTokens splitTokensOnSpaces(const std::vector<int64_t>& tokens) const;

private:
    std::shared_ptr<const tokenizers::Tokenizer> tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<int64_t> allLanguageTokens_;
};

}  // namespace lexiphonic

#pragma once
// The engine's view of a tokenizer: text to ids and back, the fixed special tokens of a Whisper
// vocabulary, its language tokens and the split of a window's ids into words.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lexiphonic {

// The special token ids. Each default is the id used when the tokenizer does not know the token's
// text. `endToken` and `specialTokenBegin` are looked up by the same text and are always equal.
struct SpecialTokens {
    int64_t endToken = 50257;                // "<|endoftext|>"
    int64_t englishToken = 50259;            // "<|en|>"
    int64_t noSpeechToken = 50362;           // "<|nospeech|>"
    int64_t noTimestampsToken = 50363;       // "<|notimestamps|>"
    int64_t specialTokenBegin = 50257;       // every id from here on is special, every id below is text
    int64_t startOfPreviousToken = 50361;    // "<|startofprev|>"
    int64_t startOfTranscriptToken = 50258;  // "<|startoftranscript|>"
    int64_t timeTokenBegin = 50364;          // "<|0.00|>"; each id above adds 0.02 s
    int64_t transcribeToken = 50359;         // "<|transcribe|>"
    int64_t translateToken = 50358;          // "<|translate|>"
    int64_t whitespaceToken = 220;           // " "

    bool operator==(const SpecialTokens&) const = default;
};

// A window's ids cut into words; both lists have one entry per word.
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<int64_t>> wordTokens;
};

class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;
    virtual std::vector<int64_t> encode(const std::string& text) const = 0;
    // Special tokens are kept in the text.
    virtual std::string decode(const std::vector<int64_t>& tokens) const = 0;
    virtual std::optional<int64_t> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    // Ids of the language tokens, all above specialTokenBegin.
    virtual const std::set<int64_t>& allLanguageTokens() const = 0;
    virtual WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const = 0;
};

}  // namespace lexiphonic

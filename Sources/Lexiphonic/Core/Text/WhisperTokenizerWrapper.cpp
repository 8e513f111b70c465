#include "Lexiphonic/Core/Text/WhisperTokenizerWrapper.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "Lexiphonic/Utilities/Constants.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Platform/NaturalLanguage/NLLanguageRecognizer.hpp"

namespace lexiphonic {
namespace {

namespace text = foundation::text;

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::array<std::string_view, 6> kUnsegmentedLanguages{"zh", "ja", "th", "lo", "my", "yue"};

// The index of the Character that holds byte `offset`.
size_t characterIndexAt(std::string_view utf8, size_t offset) {
    const auto boundaries = text::characterBoundaries(utf8);
    return static_cast<size_t>(std::upper_bound(boundaries.begin(), boundaries.end(), offset) - boundaries.begin()) - 1;
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(std::shared_ptr<const tokenizers::Tokenizer> tokenizer,
                                                 std::optional<std::filesystem::path> at)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(at)) {
    auto id = [this](std::string_view token, int64_t fixed) { return tokenizer_->convertTokenToId(token).value_or(fixed); };
    const SpecialTokens fixed;
    specialTokens_.endToken = id("<|endoftext|>", fixed.endToken);
    specialTokens_.englishToken = id("<|en|>", fixed.englishToken);
    specialTokens_.noSpeechToken = id("<|nospeech|>", fixed.noSpeechToken);
    specialTokens_.noTimestampsToken = id("<|notimestamps|>", fixed.noTimestampsToken);
    specialTokens_.specialTokenBegin = id("<|endoftext|>", fixed.specialTokenBegin);
    specialTokens_.startOfPreviousToken = id("<|startofprev|>", fixed.startOfPreviousToken);
    specialTokens_.startOfTranscriptToken = id("<|startoftranscript|>", fixed.startOfTranscriptToken);
    specialTokens_.timeTokenBegin = id("<|0.00|>", fixed.timeTokenBegin);
    specialTokens_.transcribeToken = id("<|transcribe|>", fixed.transcribeToken);
    specialTokens_.translateToken = id("<|translate|>", fixed.translateToken);
    specialTokens_.whitespaceToken = id(" ", fixed.whitespaceToken);

    for (const auto& [name, code] : Constants::languages()) {
        const auto language = tokenizer_->convertTokenToId("<|" + code + "|>");
        if (language && *language > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*language);
    }
}

std::vector<int64_t> WhisperTokenizerWrapper::encode(const std::string& text) const { return tokenizer_->encode(text); }

std::string WhisperTokenizerWrapper::decode(const std::vector<int64_t>& tokens) const { return tokenizer_->decode(tokens); }

std::optional<int64_t> WhisperTokenizerWrapper::convertTokenToId(const std::string& token) const {
    return tokenizer_->convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int64_t id) const {
    return tokenizer_->convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int64_t>& tokenIds) const {
    std::vector<int64_t> textTokens;
    for (int64_t id : tokenIds)
        if (id < specialTokens_.specialTokenBegin) textTokens.push_back(id);
    naturallanguage::NLLanguageRecognizer recognizer;
    recognizer.processString(decode(textTokens));
    const auto language = recognizer.dominantLanguage();
    const bool unsegmented =
        language && std::find(kUnsegmentedLanguages.begin(), kUnsegmentedLanguages.end(), *language) != kUnsegmentedLanguages.end();
    return unsegmented ? splitTokensOnUnicode(tokenIds) : splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int64_t>& tokens) const {
    const std::vector<std::string> fullText = text::characters(decode(tokens));
    WordTokens split;
    std::vector<int64_t> group;
    size_t offset = 0;  // in Characters
    for (int64_t id : tokens) {
        group.push_back(id);
        std::string piece = decode(group);
        const size_t replacement = piece.find(kReplacementCharacter);
        // A replacement character that the whole text holds at the same place is real, not a cut.
        bool complete = replacement == std::string::npos;
        if (!complete) {
            const size_t at = offset + characterIndexAt(piece, replacement);
            complete = at < fullText.size() && fullText[at] == kReplacementCharacter;
        }
        if (!complete) continue;
        offset += text::characterCount(piece);
        split.words.push_back(std::move(piece));
        split.wordTokens.push_back(std::move(group));
        group.clear();
    }
    return split;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int64_t>& tokens) const {
    const WordTokens pieces = splitTokensOnUnicode(tokens);
    WordTokens split;
    for (size_t i = 0; i < pieces.words.size(); ++i) {
        const std::string& piece = pieces.words[i];
        const std::vector<int64_t>& ids = pieces.wordTokens[i];
        const std::u32string trimmed = text::toScalars(text::trimmingWhitespace(piece));
        const bool startsWord = split.words.empty() || ids.front() >= specialTokens_.specialTokenBegin ||
                                piece.starts_with(' ') || (trimmed.size() == 1 && text::isPunctuation(trimmed.front()));
        if (startsWord) {
            split.words.push_back(piece);
            split.wordTokens.push_back(ids);
        } else {
            split.words.back() += piece;
            split.wordTokens.back().insert(split.wordTokens.back().end(), ids.begin(), ids.end());
        }
    }
    return split;
}

}  // namespace lexiphonic

#include "Tokenizers/BertTokenizer.hpp"

#include <unicode/uchar.h>

#include <algorithm>

#include "Platform/Foundation/Text.hpp"

namespace tokenizers {

namespace text = foundation::text;

namespace {

char32_t firstScalar(std::string_view character) {
    std::u32string scalars = text::toScalars(character.substr(0, std::min<size_t>(character.size(), 4)));
    return scalars.empty() ? 0 : scalars[0];
}

bool isChineseChar(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

bool isPunctuation(char32_t c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E) || text::isPunctuation(c);
}

// The space separators and the tab; line breaks are not among them.
bool isWordSeparator(char32_t c) { return c == 0x09 || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR; }

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// Accents and other diacritical marks removed, letter case kept: the nonspacing marks of the canonical
// decomposition are dropped and the rest recomposed.
std::string foldingDiacritics(std::string_view s) {
    if (isASCII(s)) {
        return std::string(s);
    }
    std::u32string scalars = text::toScalars(text::normalized(s, text::NormalizationForm::nfd));
    std::erase_if(scalars, [](char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_NON_SPACING_MARK; });
    return text::normalized(text::fromScalars(scalars), text::NormalizationForm::nfc);
}

// The vocabulary compares tokens as text: its keys are NFC, and a token is looked up by its NFC form, so a
// decomposed spelling finds the composed entry. Text made only of scalars below U+0300 is already NFC.
std::string_view vocabularyKey(std::string_view token, std::string& buffer) {
    if (std::all_of(token.begin(), token.end(), [](char c) { return static_cast<uint8_t>(c) < 0xCC; })) {
        return token;
    }
    buffer = text::normalized(token, text::NormalizationForm::nfc);
    return buffer;
}

const int64_t* findText(const Vocabulary& vocab, std::string_view token) {
    std::string buffer;
    return vocab.find(vocabularyKey(token, buffer));
}

void setText(Vocabulary& vocab, std::string_view token, int64_t id) {
    std::string buffer;
    vocab.set(vocabularyKey(token, buffer), id);
}

}  // namespace

// --- BasicTokenizer

const std::vector<std::string>& BasicTokenizer::neverSplit() {
    static const std::vector<std::string> tokens = {"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};
    return tokens;
}

std::vector<std::string> BasicTokenizer::tokenize(std::string_view input) const {
    std::string folded = doLowerCase_ ? foldingDiacritics(input) : std::string(input);
    std::vector<std::string> words;
    std::vector<size_t> boundaries;
    auto handlePart = [&](std::string_view part) {
        if (part.empty()) {
            return;
        }
        const auto& keep = neverSplit();
        if (std::find(keep.begin(), keep.end(), part) != keep.end()) {
            words.emplace_back(part);
            return;
        }
        std::string cased = doLowerCase_ ? text::lowercased(part) : std::string(part);
        text::characterBoundaries(cased, boundaries);
        std::string word;
        for (size_t k = 1; k < boundaries.size(); ++k) {
            std::string_view character(cased.data() + boundaries[k - 1], boundaries[k] - boundaries[k - 1]);
            if (isPunctuation(firstScalar(character))) {
                if (!word.empty()) {
                    words.push_back(std::move(word));
                    word.clear();
                }
                words.emplace_back(character);
            } else {
                word.append(character);
            }
        }
        if (!word.empty()) {
            words.push_back(std::move(word));
        }
    };
    // Cut at separator scalars.
    std::u32string scalars = text::toScalars(folded);
    std::u32string part;
    for (char32_t c : scalars) {
        if (isWordSeparator(c)) {
            handlePart(text::fromScalars(part));
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    handlePart(text::fromScalars(part));
    return words;
}

// --- WordpieceTokenizer

std::vector<std::string> WordpieceTokenizer::tokenize(std::string_view word) const {
    std::vector<size_t> boundaries = text::characterBoundaries(word);
    size_t count = boundaries.size() - 1;
    if (count > maxInputCharsPerWord) {
        return {std::string(unkToken)};
    }
    std::vector<std::string> pieces;
    std::string candidate;
    size_t start = 0;
    while (start < count) {
        size_t end = count;
        bool found = false;
        for (; end > start; --end) {
            candidate.assign(start > 0 ? "##" : "");
            candidate.append(word.substr(boundaries[start], boundaries[end] - boundaries[start]));
            if (findText(*vocab_, candidate)) {
                found = true;
                break;
            }
        }
        if (!found) {
            return {std::string(unkToken)};
        }
        pieces.push_back(candidate);
        start = end;
    }
    return pieces;
}

// --- BertTokenizer

BertTokenizer::BertTokenizer(Params params)
    : BertTokenizer(
          [&] {
              auto vocab = std::make_shared<Vocabulary>();
              vocab->reserve(params.vocab.size());
              for (auto& [token, id] : params.vocab) {
                  setText(*vocab, token, id);
              }
              return vocab;
          }(),
          params) {}

BertTokenizer::BertTokenizer(std::shared_ptr<Vocabulary> vocab, const Params& settings)
    : basicTokenizer_(settings.doLowerCase),
      wordpieceTokenizer_(vocab),
      tokenizeChineseChars_(settings.tokenizeChineseChars),
      bosToken_(settings.bosToken),
      eosToken_(settings.eosToken),
      fuseUnknownTokens_(settings.fuseUnknownTokens) {
    vocab->finish();
    auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int64_t> {
        const int64_t* id = token ? findText(*vocab, *token) : nullptr;
        return id ? std::optional<int64_t>(*id) : std::nullopt;
    };
    bosTokenId_ = idOf(bosToken_);
    eosTokenId_ = idOf(eosToken_);
    vocab_ = std::move(vocab);
}

BertTokenizer::BertTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                             const AddedTokens& addedTokens)
    : BertTokenizer(
          [&] {
              const hub::Config::Dictionary* entries = tokenizerData["model"]["vocab"].dictionary();
              if (!entries) {
                  throw TokenizerError::missingVocab();
              }
              auto vocab = std::make_shared<Vocabulary>();
              vocab->reserve(entries->size() + addedTokens.size());
              for (const auto& [key, value] : *entries) {
                  if (auto id = value.integer()) {
                      setText(*vocab, key.string(), *id);
                  }
              }
              if (const hub::Config::Array* added = tokenizerData["addedTokens"].array()) {
                  for (const hub::Config& entry : *added) {
                      auto id = entry["id"].integer();
                      auto content = entry["content"].string();
                      if (id && content) {
                          setText(*vocab, *content, *id);
                      }
                  }
              }
              for (const auto& [content, id] : addedTokens) {
                  setText(*vocab, content, id);
              }
              return vocab;
          }(),
          Params{
              .vocab = {},
              .merges = tokenizerData["model"]["merges"].get<std::vector<std::string>>(),
              .tokenizeChineseChars = tokenizerConfig["handleChineseChars"].boolean(true),
              .bosToken = tokenizerConfig["bosToken"].string(),
              .eosToken = tokenizerConfig["eosToken"].string(),
              .fuseUnknownTokens = tokenizerConfig["fuseUnk"].boolean(false),
              .doLowerCase = tokenizerConfig["doLowerCase"].boolean(true),
          }) {}

std::vector<std::string> BertTokenizer::tokenize(std::string_view input) const {
    std::string spaced;
    if (tokenizeChineseChars_ && !std::all_of(input.begin(), input.end(), [](char c) {
            return static_cast<uint8_t>(c) < 0xE3;  // every listed range starts at U+3400 or above
        })) {
        std::vector<size_t> boundaries = text::characterBoundaries(input);
        for (size_t k = 1; k < boundaries.size(); ++k) {
            std::string_view character = input.substr(boundaries[k - 1], boundaries[k] - boundaries[k - 1]);
            if (isChineseChar(firstScalar(character))) {
                spaced += ' ';
                spaced.append(character);
                spaced += ' ';
            } else {
                spaced.append(character);
            }
        }
        input = spaced;
    }
    std::vector<std::string> pieces;
    for (const std::string& word : basicTokenizer_.tokenize(input)) {
        for (std::string& piece : wordpieceTokenizer_.tokenize(word)) {
            pieces.push_back(std::move(piece));
        }
    }
    return pieces;
}

std::optional<int64_t> BertTokenizer::convertTokenToId(std::string_view token) const {
    if (const int64_t* id = findText(*vocab_, token)) {
        return *id;
    }
    return unknownTokenId();
}

std::optional<std::string> BertTokenizer::convertIdToToken(int64_t id) const {
    if (std::optional<std::string_view> token = vocab_->token(id)) {
        return std::string(*token);
    }
    return std::nullopt;
}

}  // namespace tokenizers

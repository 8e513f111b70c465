#include "Tokenizers/PreTokenizer.hpp"

#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace tokenizers {

namespace text = foundation::text;

std::optional<PreTokenizerType> preTokenizerType(std::string_view rawValue) {
    static constexpr std::pair<std::string_view, PreTokenizerType> names[] = {
        {"Sequence", PreTokenizerType::sequence},
        {"ByteLevel", PreTokenizerType::byteLevel},
        {"Punctuation", PreTokenizerType::punctuation},
        {"Digits", PreTokenizerType::digits},
        {"Split", PreTokenizerType::split},
        {"Whitespace", PreTokenizerType::whitespace},
        {"WhitespaceSplit", PreTokenizerType::whitespaceSplit},
        {"Metaspace", PreTokenizerType::metaspace},
        {"BertPreTokenizer", PreTokenizerType::bertPreTokenizer},
        {"", PreTokenizerType::empty},
    };
    for (const auto& [name, type] : names) {
        if (name == rawValue) return type;
    }
    return std::nullopt;
}

std::vector<std::string> PreTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
    std::vector<std::string> pieces;
    appendPreTokens(pieces, text, options);
    return pieces;
}

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   PreTokenizerOptions options) const {
    std::vector<std::string> pieces;
    for (const auto& text : texts) {
        appendPreTokens(pieces, text, options);
    }
    return pieces;
}

std::unique_ptr<PreTokenizer> PreTokenizerFactory::fromConfig(const std::optional<hub::Config>& config) {
    if (!config) {
        return nullptr;
    }
    auto typeName = (*config)["type"].string();
    if (!typeName) {
        return nullptr;
    }
    auto type = preTokenizerType(*typeName);
    if (!type || *type == PreTokenizerType::empty) {
        throw TokenizerError::invalidDefinition("Unsupported PreTokenizer type: " + *typeName);
    }
    SectionNesting nesting("PreTokenizer");
    switch (*type) {
        case PreTokenizerType::sequence: return std::make_unique<PreTokenizerSequence>(*config);
        case PreTokenizerType::byteLevel: return std::make_unique<ByteLevelPreTokenizer>(*config);
        case PreTokenizerType::punctuation: return std::make_unique<PunctuationPreTokenizer>(*config);
        case PreTokenizerType::digits: return std::make_unique<DigitsPreTokenizer>(*config);
        case PreTokenizerType::split: return std::make_unique<SplitPreTokenizer>(*config);
        case PreTokenizerType::whitespace:
        case PreTokenizerType::whitespaceSplit: return std::make_unique<WhitespacePreTokenizer>(*config);
        case PreTokenizerType::metaspace: return std::make_unique<MetaspacePreTokenizer>(*config);
        case PreTokenizerType::bertPreTokenizer: return std::make_unique<BertPreTokenizer>(*config);
        case PreTokenizerType::empty: break;
    }
    throw TokenizerError::invalidDefinition("Unsupported PreTokenizer type: " + *typeName);
}

std::optional<StringSplitPattern> StringSplitPattern::from(const hub::Config& config) {
    if (auto literal = config["pattern"]["String"].string()) {
        return StringSplitPattern::string(*literal);
    }
    if (auto regex = config["pattern"]["Regex"].string()) {
        return StringSplitPattern::regexp(*regex);
    }
    return std::nullopt;
}

// --- Pre-tokenizers that keep the matches of a fixed expression

namespace {

// The fixed expressions, each compiled once per process on first use.
constexpr std::string_view bertPattern =
    "[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+"
    "|[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
constexpr std::string_view punctuationPattern =
    "[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+"
    "|[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
constexpr std::string_view whitespacePattern = "\\S+";
constexpr std::string_view digitsPattern = "[^\\d]+|\\d+";
constexpr std::string_view individualDigitsPattern = "[^\\d]+|\\d";

template <const std::string_view& pattern>
const text::Regex& fixedRegex() {
    static const text::Regex regex(pattern);
    return regex;
}

}  // namespace

void MatchingPreTokenizer::appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                           PreTokenizerOptions) const {
    compiled_.forEachMatch(text, [&](const text::Regex::Match& match) {
        pieces.emplace_back(text.substr(match.range.location, match.range.length));
        return true;
    });
}

BertPreTokenizer::BertPreTokenizer(const hub::Config&)
    : MatchingPreTokenizer(std::string(bertPattern), fixedRegex<bertPattern>()) {}

WhitespacePreTokenizer::WhitespacePreTokenizer(const hub::Config&)
    : MatchingPreTokenizer(std::string(whitespacePattern), fixedRegex<whitespacePattern>()) {}

PunctuationPreTokenizer::PunctuationPreTokenizer(const hub::Config&)
    : MatchingPreTokenizer(std::string(punctuationPattern), fixedRegex<punctuationPattern>()) {}

DigitsPreTokenizer::DigitsPreTokenizer(const hub::Config& config)
    : DigitsPreTokenizer(config["individualDigits"].boolean().value_or(false)) {}

DigitsPreTokenizer::DigitsPreTokenizer(bool individualDigits)
    : MatchingPreTokenizer(std::string(individualDigits ? individualDigitsPattern : digitsPattern),
                           individualDigits ? fixedRegex<individualDigitsPattern>() : fixedRegex<digitsPattern>()) {}

// --- Sequence

PreTokenizerSequence::PreTokenizerSequence(const hub::Config& config) {
    auto sections = config["pretokenizers"].array();
    if (!sections) {
        throw TokenizerError::invalidDefinition("No pretokenizers in Sequence");
    }
    for (const auto& section : *sections) {
        if (auto preTokenizer = PreTokenizerFactory::fromConfig(section)) {
            preTokenizers_.push_back(std::move(preTokenizer));
        }
    }
}

void PreTokenizerSequence::appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                           PreTokenizerOptions options) const {
    if (preTokenizers_.empty()) {
        pieces.emplace_back(text);
        return;
    }
    if (preTokenizers_.size() == 1) {
        preTokenizers_.front()->appendPreTokens(pieces, text, options);
        return;
    }
    std::vector<std::string> current;
    preTokenizers_.front()->appendPreTokens(current, text, options);
    std::vector<std::string> next;
    for (size_t k = 1; k < preTokenizers_.size(); ++k) {
        bool last = k + 1 == preTokenizers_.size();
        std::vector<std::string>& target = last ? pieces : next;
        for (const auto& piece : current) {
            preTokenizers_[k]->appendPreTokens(target, piece, options);
        }
        if (!last) {
            current.swap(next);
            next.clear();
        }
    }
}

// --- ByteLevel

namespace {

// "'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+" with the contractions sharing
// their apostrophe: the same matches, but ICU tries the alternatives one by one, and most positions now fail
// at one test instead of seven.
constexpr std::string_view byteLevelPattern =
    "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";
constexpr std::string_view byteLevelSearchPattern =
    "'(?:s|t|re|ve|m|ll|d)| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";

}  // namespace

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const hub::Config& config)
    : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)),
      trimOffsets_(config["trimOffsets"].boolean().value_or(true)),
      useRegex_(config["useRegex"].boolean().value_or(true)),
      RE_(byteLevelPattern) {}

void ByteLevelPreTokenizer::appendPiece(std::vector<std::string>& pieces, std::string_view piece) const {
    std::string& encoded = pieces.emplace_back();
    encoded.reserve(2 * piece.size() + 2);
    if (addPrefixSpace_ && (piece.empty() || piece.front() != ' ')) {
        appendByteEncoded(encoded, " ");
    }
    appendByteEncoded(encoded, piece);
}

void ByteLevelPreTokenizer::appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                            PreTokenizerOptions) const {
    if (!useRegex_) {
        appendPiece(pieces, text);
        return;
    }
    fixedRegex<byteLevelSearchPattern>().forEachMatch(text, [&](const text::Regex::Match& match) {
        appendPiece(pieces, text.substr(match.range.location, match.range.length));
        return true;
    });
}

// --- Split

SplitPreTokenizer::SplitPreTokenizer(const hub::Config& config)
    : pattern_(StringSplitPattern::from(config)), invert_(config["invert"].boolean().value_or(false)) {
    if (!pattern_) {
        return;
    }
    if (pattern_->kind() == StringSplitPattern::Case::string) {
        compiled_.emplace(pattern_->value(), SearchOptions::literal);
        return;
    }
    try {
        compiled_.emplace(pattern_->value(), SearchOptions::regularExpression);
    } catch (const foundation::RuntimeError&) {
        // A split that silently never happens would tokenize every text wrongly.
        throw TokenizerError::invalidDefinition("Cannot build regexp from " + pattern_->value());
    }
}

void SplitPreTokenizer::appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                        PreTokenizerOptions) const {
    if (!compiled_) {
        pieces.emplace_back(text);
        return;
    }
    // A literal separator is kept unless inverted; a regular-expression separator is always kept.
    bool includeSeparators = pattern_->kind() == StringSplitPattern::Case::regexp || !invert_;
    appendSplit(pieces, text, *compiled_, includeSeparators, true);
}

// --- Metaspace

namespace {

MetaspacePreTokenizer::PrependScheme prependSchemeOf(const hub::Config& config) {
    using Scheme = MetaspacePreTokenizer::PrependScheme;
    if (auto scheme = config["prependScheme"].string()) {
        if (*scheme == "first") return Scheme::first;
        if (*scheme == "never") return Scheme::never;
        return Scheme::always;
    }
    return config["addPrefixSpace"].boolean().value_or(true) ? Scheme::always : Scheme::never;
}

}  // namespace

MetaspacePreTokenizer::MetaspacePreTokenizer(const hub::Config& config)
    : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)),
      replacement_(config["replacement"].string().value_or(" ")),
      stringReplacement_(config["strRep"].string().value_or(replacement_)),
      prependScheme_(prependSchemeOf(config)),
      delimiter_(replacement_, SearchOptions::literal) {}

void MetaspacePreTokenizer::appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                            PreTokenizerOptions options) const {
    std::string replaced = text::replacingAll(text, " ", stringReplacement_);
    bool prepend = !text::hasPrefix(replaced, replacement_) &&
                   (prependScheme_ == PrependScheme::always ||
                    (prependScheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection)));
    if (prepend) {
        replaced.insert(0, stringReplacement_);
    }
    appendSplit(pieces, replaced, delimiter_, SplitDelimiterBehavior::mergedWithNext);
}

}  // namespace tokenizers

#include "Tokenizers/Normalizer.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include "Tokenizers/String+PreTokenization.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace tokenizers {

namespace text = foundation::text;

// --- Replacement patterns

namespace {

// The template in ICU's syntax: ICU rejects a dollar sign that does not name a group and a trailing backslash,
// both of which stand for themselves here.
std::string icuReplacementTemplate(std::string_view replacement) {
    std::string out;
    out.reserve(replacement.size());
    for (size_t i = 0; i < replacement.size(); ++i) {
        char c = replacement[i];
        if (c == '\\') {
            if (i + 1 < replacement.size()) {
                out += c;
                out += replacement[++i];
            } else {
                out += "\\\\";
            }
        } else if (c == '$' && !(i + 1 < replacement.size() && replacement[i + 1] >= '0' && replacement[i + 1] <= '9')) {
            out += "\\$";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

StringReplacePattern::StringReplacePattern(Case c, std::string pattern,
                                           std::shared_ptr<const foundation::text::Regex> regexp,
                                           std::string replacement)
    : case_(c), pattern_(std::move(pattern)), regexp_(std::move(regexp)), replacement_(std::move(replacement)) {
    if (case_ == Case::regexp) {
        icuTemplate_ = icuReplacementTemplate(replacement_);
    }
}

StringReplacePattern StringReplacePattern::regexp(std::shared_ptr<const foundation::text::Regex> regexp,
                                                  std::string replacement) {
    std::string pattern = regexp->pattern();
    return {Case::regexp, std::move(pattern), std::move(regexp), std::move(replacement)};
}

StringReplacePattern StringReplacePattern::string(std::string pattern, std::string replacement) {
    return {Case::string, std::move(pattern), nullptr, std::move(replacement)};
}

const std::string& StringReplacePattern::pattern() const { return pattern_; }

std::optional<StringReplacePattern> StringReplacePattern::from(const hub::Config& config) {
    auto replacement = config["content"].string();
    if (!replacement) {
        return std::nullopt;
    }
    if (auto literal = config["pattern"]["String"].string()) {
        return string(*literal, *replacement);
    }
    if (auto expression = config["pattern"]["Regex"].string()) {
        std::shared_ptr<const foundation::text::Regex> compiled;
        try {
            compiled = std::make_shared<const foundation::text::Regex>(*expression);
        } catch (const foundation::RuntimeError&) {
            throw TokenizerError::invalidDefinition("Cannot build regexp from " + *expression);
        }
        return regexp(std::move(compiled), *replacement);
    }
    return std::nullopt;
}

std::string StringReplacePattern::replace(std::string_view input) const {
    if (case_ == Case::string) {
        return text::replacingAll(input, pattern_, replacement_);
    }
    return regexp_->replacingMatches(input, icuTemplate_);
}

std::string applyReplacePattern(const std::optional<StringReplacePattern>& pattern, std::string_view input) {
    return pattern ? pattern->replace(input) : std::string(input);
}

// --- Factory

std::optional<NormalizerType> normalizerType(std::string_view rawValue) {
    static constexpr std::pair<std::string_view, NormalizerType> names[] = {
        {"Sequence", NormalizerType::sequence},
        {"Prepend", NormalizerType::prepend},
        {"Replace", NormalizerType::replace},
        {"Lowercase", NormalizerType::lowercase},
        {"NFD", NormalizerType::nfd},
        {"NFC", NormalizerType::nfc},
        {"NFKD", NormalizerType::nfkd},
        {"NFKC", NormalizerType::nfkc},
        {"Bert", NormalizerType::bert},
        {"BertNormalizer", NormalizerType::bertNormalizer},
        {"Precompiled", NormalizerType::precompiled},
        {"StripAccents", NormalizerType::stripAccents},
        {"Strip", NormalizerType::strip},
        {"", NormalizerType::empty},
    };
    for (const auto& [name, type] : names) {
        if (name == rawValue) return type;
    }
    return std::nullopt;
}

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const std::optional<hub::Config>& config) {
    if (!config) {
        return nullptr;
    }
    auto typeName = (*config)["type"].string();
    if (!typeName) {
        return nullptr;
    }
    auto type = normalizerType(*typeName);
    if (!type) {
        throw TokenizerError::invalidDefinition("Unsupported Normalizer type: " + *typeName);
    }
    SectionNesting nesting("Normalizer");
    switch (*type) {
        case NormalizerType::sequence: return std::make_unique<NormalizerSequence>(*config);
        case NormalizerType::prepend: return std::make_unique<PrependNormalizer>(*config);
        case NormalizerType::replace: return std::make_unique<ReplaceNormalizer>(*config);
        case NormalizerType::lowercase: return std::make_unique<LowercaseNormalizer>(*config);
        case NormalizerType::nfd: return std::make_unique<NFDNormalizer>(*config);
        case NormalizerType::nfc: return std::make_unique<NFCNormalizer>(*config);
        case NormalizerType::nfkd: return std::make_unique<NFKDNormalizer>(*config);
        case NormalizerType::nfkc: return std::make_unique<NFKCNormalizer>(*config);
        case NormalizerType::bert:
        case NormalizerType::bertNormalizer: return std::make_unique<BertNormalizer>(*config);
        case NormalizerType::precompiled: return std::make_unique<PrecompiledNormalizer>(*config);
        case NormalizerType::stripAccents: return std::make_unique<StripAccentsNormalizer>(*config);
        case NormalizerType::strip: return std::make_unique<StripNormalizer>(*config);
        case NormalizerType::empty: break;
    }
    throw TokenizerError::invalidDefinition("Unsupported Normalizer type: " + *typeName);
}

// --- Normalizers

NormalizerSequence::NormalizerSequence(const hub::Config& config) {
    auto sections = config["normalizers"].array();
    if (!sections) {
        throw TokenizerError::invalidDefinition("No normalizers in Sequence");
    }
    for (const auto& section : *sections) {
        if (auto normalizer = NormalizerFactory::fromConfig(section)) {
            normalizers_.push_back(std::move(normalizer));
        }
    }
}

std::string NormalizerSequence::normalize(std::string_view input) const {
    std::string result(input);
    for (const auto& normalizer : normalizers_) {
        result = normalizer->normalize(result);
    }
    return result;
}

PrependNormalizer::PrependNormalizer(const hub::Config& config) : prepend_(config["prepend"].string().value_or("")) {}

std::string PrependNormalizer::normalize(std::string_view input) const {
    std::string result;
    result.reserve(prepend_.size() + input.size());
    result += prepend_;
    result += input;
    return result;
}

ReplaceNormalizer::ReplaceNormalizer(const hub::Config& config) : pattern_(StringReplacePattern::from(config)) {}

std::string ReplaceNormalizer::normalize(std::string_view input) const { return applyReplacePattern(pattern_, input); }

namespace {

// Calls visit(scalar, start, end) for every scalar; ill-formed UTF-8 reads as U+FFFD.
template <typename Visit>
void forEachScalar(std::string_view utf8, Visit&& visit) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    size_t length = utf8.size();
    size_t i = 0;
    while (i < length) {
        size_t start = i;
        UChar32 c = 0;
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        visit(static_cast<char32_t>(c), start, i);
    }
}

// Each scalar lower-cased by itself (full mapping, no locale, no context): what the text's own
// lower-casing does, so a final capital sigma becomes the ordinary small sigma.
std::string lowercasedScalars(std::string_view input) {
    std::string out;
    out.reserve(input.size());
    forEachScalar(input, [&](char32_t c, size_t start, size_t end) {
        if (c < 0x80) {
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        } else if (c == 0xFFFD || !u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CHANGES_WHEN_LOWERCASED)) {
            out += c == 0xFFFD ? text::fromScalar(c) : std::string(input.substr(start, end - start));
        } else {
            UChar source[2];
            int32_t sourceLength = 0;
            U16_APPEND_UNSAFE(source, sourceLength, static_cast<UChar32>(c));
            UChar lowered[8];
            UErrorCode status = U_ZERO_ERROR;
            int32_t loweredLength = u_strToLower(lowered, 8, source, sourceLength, "", &status);
            if (U_FAILURE(status)) {
                out.append(input.substr(start, end - start));
            } else {
                out += text::fromUTF16(std::u16string_view(reinterpret_cast<const char16_t*>(lowered),
                                                           static_cast<size_t>(loweredLength)));
            }
        }
    });
    return out;
}

}  // namespace

std::string LowercaseNormalizer::normalize(std::string_view input) const { return lowercasedScalars(input); }

std::string NFDNormalizer::normalize(std::string_view input) const {
    return text::normalized(input, text::NormalizationForm::nfd);
}

std::string NFCNormalizer::normalize(std::string_view input) const {
    return text::normalized(input, text::NormalizationForm::nfc);
}

std::string NFKDNormalizer::normalize(std::string_view input) const {
    return text::normalized(input, text::NormalizationForm::nfkd);
}

std::string NFKCNormalizer::normalize(std::string_view input) const {
    return text::normalized(input, text::NormalizationForm::nfkc);
}

std::string StripAccentsNormalizer::normalize(std::string_view input) const {
    return text::normalized(input, text::NormalizationForm::nfkc);
}

// --- Bert

BertNormalizer::BertNormalizer(const hub::Config& config)
    : shouldCleanText_(config["cleanText"].boolean().value_or(true)),
      shouldHandleChineseChars_(config["handleChineseChars"].boolean().value_or(true)),
      shouldStripAccents_(config["stripAccents"].boolean().value_or(config["lowercase"].boolean().value_or(true))),
      shouldLowercase_(config["lowercase"].boolean().value_or(true)) {}

namespace {

// Tab, line feed and carriage return each become one space; CR LF is one Character and one space. They are
// controls, so no other scalar ever joins their Character.
std::string cleanedText(std::string_view input) {
    std::string out;
    out.reserve(input.size());
    for (size_t i = 0; i < input.size(); ++i) {
        char c = input[i];
        if (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n') {
            out += ' ';
            ++i;
        } else if (c == '\t' || c == '\n' || c == '\r') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool isChineseCharacter(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

// Every Character whose first scalar is a CJK ideograph gets a space on each side.
std::string spacedChineseCharacters(std::string_view input) {
    bool any = false;
    forEachScalar(input, [&](char32_t c, size_t, size_t) { any = any || isChineseCharacter(c); });
    if (!any) {
        return std::string(input);
    }
    std::vector<size_t> boundaries = text::characterBoundaries(input);
    std::string out;
    out.reserve(input.size() + input.size() / 2);
    for (size_t k = 0; k + 1 < boundaries.size(); ++k) {
        std::string_view character = input.substr(boundaries[k], boundaries[k + 1] - boundaries[k]);
        const auto* bytes = reinterpret_cast<const uint8_t*>(character.data());
        size_t i = 0;
        UChar32 first = 0;
        U8_NEXT_OR_FFFD(bytes, i, character.size(), first);
        if (isChineseCharacter(static_cast<char32_t>(first))) {
            out += ' ';
            out += character;
            out += ' ';
        } else {
            out += character;
        }
    }
    return out;
}

// Form D without the combining diacritical marks U+0300 to U+036F (UTF-8 CC 80 to CD AF); other marks stay.
std::string strippedAccents(std::string_view input) {
    std::string decomposed = text::normalized(input, text::NormalizationForm::nfd);
    std::string out;
    out.reserve(decomposed.size());
    for (size_t i = 0; i < decomposed.size(); ++i) {
        auto lead = static_cast<uint8_t>(decomposed[i]);
        if (i + 1 < decomposed.size()) {
            auto trail = static_cast<uint8_t>(decomposed[i + 1]);
            if (lead == 0xCC || (lead == 0xCD && trail <= 0xAF)) {
                ++i;
                continue;
            }
        }
        out += decomposed[i];
    }
    return out;
}

}  // namespace

std::string BertNormalizer::normalize(std::string_view input) const {
    std::string result(input);
    if (shouldCleanText_) result = cleanedText(result);
    if (shouldHandleChineseChars_) result = spacedChineseCharacters(result);
    if (shouldStripAccents_) result = strippedAccents(result);
    if (shouldLowercase_) result = lowercasedScalars(result);
    return result;
}

// --- Precompiled

namespace {

bool isDroppedControl(char32_t c) {
    return (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F ||
           c == 0x9F;
}

bool becomesSpace(char32_t c) {
    return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 || (c >= 0x200B && c <= 0x200F) ||
           c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF || c == 0xFFFD;
}

constexpr std::string_view fullwidthTilde = "\xEF\xBD\x9E";  // U+FF5E

}  // namespace

std::string PrecompiledNormalizer::normalize(std::string_view input) const {
    std::string rebuilt;
    rebuilt.reserve(input.size());
    bool hasTilde = false;
    forEachScalar(input, [&](char32_t c, size_t start, size_t end) {
        if (isDroppedControl(c)) {
            return;
        }
        if (becomesSpace(c)) {
            rebuilt += ' ';
            return;
        }
        hasTilde = hasTilde || c == 0xFF5E;
        rebuilt.append(input.substr(start, end - start));
    });
    if (!hasTilde) {
        return text::normalized(rebuilt, text::NormalizationForm::nfkc);
    }
    // Form KC would turn the fullwidth tilde into "~"; the pieces between tildes are normalized by themselves.
    static const SearchPattern tilde(fullwidthTilde, SearchOptions::literal);
    std::vector<std::string> pieces = split(rebuilt, tilde, false, true);
    std::string out;
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0) out += fullwidthTilde;
        out += text::normalized(pieces[k], text::NormalizationForm::nfkc);
    }
    return out;
}

// --- Strip

StripNormalizer::StripNormalizer(const hub::Config& config)
    : leftStrip_(config["stripLeft"].boolean().value_or(true)),
      rightStrip_(config["stripRight"].boolean().value_or(true)) {}

std::string StripNormalizer::normalize(std::string_view input) const {
    std::string_view result = input;
    if (leftStrip_) {
        result.remove_prefix(leadingWhitespaceCharacters(result).back());
    }
    if (rightStrip_) {
        result = result.substr(0, trailingWhitespaceCharacters(result).back());
    }
    return std::string(result);
}

}  // namespace tokenizers

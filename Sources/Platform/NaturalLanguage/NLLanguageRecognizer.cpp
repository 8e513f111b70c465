#include "Platform/NaturalLanguage/NLLanguageRecognizer.hpp"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include "Platform/Foundation/Text.hpp"

namespace naturallanguage {
namespace {

std::optional<std::string> languageOfScript(int script) {
    switch (script) {
        case USCRIPT_HIRAGANA:
        case USCRIPT_KATAKANA: return "ja";
        case USCRIPT_HAN: return "zh";
        case USCRIPT_HANGUL: return "ko";
        case USCRIPT_THAI: return "th";
        case USCRIPT_LAO: return "lo";
        case USCRIPT_MYANMAR: return "my";
        case USCRIPT_KHMER: return "km";
        case USCRIPT_TIBETAN: return "bo";
        case USCRIPT_GREEK: return "el";
        case USCRIPT_HEBREW: return "he";
        case USCRIPT_GEORGIAN: return "ka";
        case USCRIPT_ARMENIAN: return "hy";
        case USCRIPT_SINHALA: return "si";
        case USCRIPT_TAMIL: return "ta";
        case USCRIPT_TELUGU: return "te";
        case USCRIPT_KANNADA: return "kn";
        case USCRIPT_MALAYALAM: return "ml";
        case USCRIPT_GUJARATI: return "gu";
        case USCRIPT_GURMUKHI: return "pa";
        case USCRIPT_BENGALI: return "bn";
        case USCRIPT_ETHIOPIC: return "am";
        default: return std::nullopt;
    }
}

}  // namespace

void NLLanguageRecognizer::processString(std::string_view text) {
    for (char32_t c : foundation::text::toScalars(text)) {
        if (!u_isalpha(static_cast<UChar32>(c))) continue;
        UErrorCode status = U_ZERO_ERROR;
        int script = uscript_getScript(static_cast<UChar32>(c), &status);
        if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED) continue;
        // Japanese writes Han between its kana: count the kanji of a text with kana as Japanese.
        if (script == USCRIPT_KATAKANA) script = USCRIPT_HIRAGANA;
        firstSeen_.emplace(script, seen_++);
        ++letters_[script];
    }
}

std::optional<std::string> NLLanguageRecognizer::dominantLanguage() const {
    if (letters_.empty()) return std::nullopt;
    auto count = [&](int script) {
        const auto found = letters_.find(script);
        return found == letters_.end() ? size_t{0} : found->second;
    };
    int best = -1;
    size_t bestCount = 0;
    for (const auto& [script, letters] : letters_) {
        size_t weight = letters;
        if (script == USCRIPT_HIRAGANA) weight += count(USCRIPT_HAN);
        if (script == USCRIPT_HANGUL) weight += count(USCRIPT_HAN);
        if (weight > bestCount || (weight == bestCount && firstSeen_.at(script) < firstSeen_.at(best))) {
            best = script;
            bestCount = weight;
        }
    }
    return languageOfScript(best);
}

void NLLanguageRecognizer::reset() {
    letters_.clear();
    firstSeen_.clear();
    seen_ = 0;
}

}  // namespace naturallanguage

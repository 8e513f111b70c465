#include "Lexiphonic/Utilities/Extensions+Public.hpp"

#include "Lexiphonic/Utilities/Constants.hpp"
#include "PelluxCore/FoundationExtensions.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic {

namespace {
bool isSpecialTokenCharacter(char32_t c) { return Constants::specialTokenCharacters.find(c) != std::u32string_view::npos; }
bool isPunctuationScalar(char32_t c) { return foundation::text::isPunctuation(c); }
}  // namespace

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    return foundation::text::trimmingCharacters(text, &isSpecialTokenCharacter);
}

std::string normalized(std::string_view text) {
    namespace t = foundation::text;
    std::string lower = t::replacingAll(t::lowercased(text), "-", " ");
    // Hyphens became spaces before punctuation goes, so "well-known" keeps its two words.
    std::u32string kept;
    for (char32_t c : t::toScalars(lower))
        if (!isPunctuationScalar(c)) kept.push_back(c);
    std::string collapsed;
    bool lastWasSpace = false;
    for (char32_t c : kept) {
        if (c == U' ') {
            if (!lastWasSpace) collapsed += ' ';
            lastWasSpace = true;
        } else {
            collapsed += t::fromScalar(c);
            lastWasSpace = false;
        }
    }
    return t::trimmingWhitespaceAndNewlines(collapsed);
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
    for (const auto& s : segments)
        if (s.start == segment.start) return true;
    return false;
}

std::string resolveAbsolutePath(std::string_view path) { return pellux::resolveAbsolutePath(path); }

std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionBatchResult>& results) {
    std::vector<std::optional<TranscriptionResults>> out;
    out.reserve(results.size());
    for (const auto& result : results) {
        if (const auto* list = std::get_if<TranscriptionResults>(&result)) out.emplace_back(*list);
        else out.emplace_back(std::nullopt);
    }
    return out;
}

}  // namespace lexiphonic

#include "Jinja/FilterSupport.hpp"

#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

const KeywordArguments& noKeywords() {
    static const KeywordArguments none;
    return none;
}

const ParameterList& noParameters() {
    static const ParameterList parameters;
    return parameters;
}

std::vector<size_t> boundariesOf(std::string_view s) { return fastText::characterBoundaries(s); }

bool isNewlineScalar(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::vector<std::string> splitAtScalars(std::string_view s, bool (*isSeparator)(char32_t)) {
    std::vector<std::string> pieces;
    std::u32string current;
    for (char32_t c : text::toScalars(s)) {
        if (isSeparator(c)) {
            pieces.push_back(text::fromScalars(current));
            current.clear();
        } else {
            current += c;
        }
    }
    pieces.push_back(text::fromScalars(current));
    return pieces;
}

}  // namespace jinja::Filters

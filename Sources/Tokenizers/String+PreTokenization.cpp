#include "Tokenizers/String+PreTokenization.hpp"

#include <algorithm>

namespace tokenizers {

SearchPattern::SearchPattern(std::string_view pattern, SearchOptions options)
    : pattern_(pattern), options_(options) {
    if (options == SearchOptions::regularExpression) {
        regex_ = std::make_shared<const foundation::text::Regex>(pattern);
    }
}

void SearchPattern::forEachRange(std::string_view text, const std::function<bool(TextRange)>& visit) const {
    if (regex_) {
        regex_->forEachMatch(text, [&](const foundation::text::Regex::Match& match) { return visit(match.range); });
        return;
    }
    if (pattern_.empty()) {
        return;
    }
    for (size_t found = text.find(pattern_); found != std::string_view::npos;
         found = text.find(pattern_, found + pattern_.size())) {
        if (!visit({found, pattern_.size()})) {
            return;
        }
    }
}

std::vector<TextRange> ranges(std::string_view text, const SearchPattern& pattern) {
    std::vector<TextRange> found;
    pattern.forEachRange(text, [&](TextRange range) {
        found.push_back(range);
        return true;
    });
    return found;
}

std::vector<TextRange> ranges(std::string_view text, std::string_view pattern, SearchOptions options) {
    return ranges(text, SearchPattern(pattern, options));
}

namespace {

void appendPiece(std::vector<std::string>& pieces, std::string_view text, size_t start, size_t end,
                 bool keepEmpty) {
    if (end > start || keepEmpty) {
        pieces.emplace_back(text.substr(start, end - start));
    }
}

}  // namespace

void appendSplit(std::vector<std::string>& pieces, std::string_view text, const SearchPattern& separator,
                 bool includeSeparators, bool omittingEmptySubsequences) {
    bool keepEmpty = !omittingEmptySubsequences;
    size_t position = 0;
    separator.forEachRange(text, [&](TextRange match) {
        appendPiece(pieces, text, position, match.location, keepEmpty);
        if (includeSeparators && match.length > 0) {
            pieces.emplace_back(text.substr(match.location, match.length));
        }
        position = match.location + match.length;
        return true;
    });
    appendPiece(pieces, text, position, text.size(), keepEmpty);
}

void appendSplit(std::vector<std::string>& pieces, std::string_view text, const SearchPattern& delimiter,
                 SplitDelimiterBehavior behavior) {
    switch (behavior) {
        case SplitDelimiterBehavior::removed: appendSplit(pieces, text, delimiter, false, true); return;
        case SplitDelimiterBehavior::isolated: appendSplit(pieces, text, delimiter, true, true); return;
        case SplitDelimiterBehavior::mergedWithPrevious: {
            size_t start = 0;
            delimiter.forEachRange(text, [&](TextRange match) {
                size_t end = match.location + match.length;
                appendPiece(pieces, text, start, end, false);
                start = std::max(start, end);
                return true;
            });
            appendPiece(pieces, text, start, text.size(), false);
            return;
        }
        case SplitDelimiterBehavior::mergedWithNext: {
            size_t start = 0;
            delimiter.forEachRange(text, [&](TextRange match) {
                if (match.location > start) {
                    appendPiece(pieces, text, start, match.location, false);
                    start = match.location;
                }
                return true;
            });
            appendPiece(pieces, text, start, text.size(), false);
            return;
        }
    }
}

std::vector<std::string> split(std::string_view text, const SearchPattern& separator, bool includeSeparators,
                               bool omittingEmptySubsequences) {
    std::vector<std::string> pieces;
    appendSplit(pieces, text, separator, includeSeparators, omittingEmptySubsequences);
    return pieces;
}

std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               bool includeSeparators, bool omittingEmptySubsequences) {
    return split(text, SearchPattern(separator, options), includeSeparators, omittingEmptySubsequences);
}

std::vector<std::string> split(std::string_view text, const SearchPattern& delimiter,
                               SplitDelimiterBehavior behavior) {
    std::vector<std::string> pieces;
    appendSplit(pieces, text, delimiter, behavior);
    return pieces;
}

std::vector<std::string> split(std::string_view text, std::string_view delimiter, SearchOptions options,
                               SplitDelimiterBehavior behavior) {
    return split(text, SearchPattern(delimiter, options), behavior);
}

namespace {

char32_t firstScalar(std::string_view text, size_t offset) {
    std::u32string scalars = foundation::text::toScalars(text.substr(offset, std::min<size_t>(4, text.size() - offset)));
    return scalars.empty() ? U'\0' : scalars.front();
}

bool isASCIIWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::vector<size_t> leadingWhitespaceCharacters(std::string_view text) {
    std::vector<size_t> run{0};
    if (text.empty() || !foundation::text::isWhitespaceOrNewline(firstScalar(text, 0))) {
        return run;
    }
    std::vector<size_t> boundaries = foundation::text::characterBoundaries(text);
    for (size_t k = 0; k + 1 < boundaries.size(); ++k) {
        if (!foundation::text::isWhitespaceOrNewline(firstScalar(text, boundaries[k]))) {
            break;
        }
        run.push_back(boundaries[k + 1]);
    }
    return run;
}

std::vector<size_t> trailingWhitespaceCharacters(std::string_view text) {
    std::vector<size_t> run{text.size()};
    // A last byte that is ASCII but not white space ends a Character that does not start with white space.
    if (text.empty() || (static_cast<unsigned char>(text.back()) < 0x80 && !isASCIIWhitespace(text.back()))) {
        return run;
    }
    std::vector<size_t> boundaries = foundation::text::characterBoundaries(text);
    for (size_t k = boundaries.size() - 1; k > 0; --k) {
        if (!foundation::text::isWhitespaceOrNewline(firstScalar(text, boundaries[k - 1]))) {
            break;
        }
        run.push_back(boundaries[k - 1]);
    }
    return run;
}

std::vector<std::string> split(std::string_view text, const foundation::text::Regex& regex) {
    std::vector<std::string> pieces;
    size_t position = 0;
    bool matched = false;
    regex.forEachMatch(text, [&](const foundation::text::Regex::Match& match) {
        matched = true;
        appendPiece(pieces, text, position, match.range.location, false);
        TextRange kept = match.range;
        for (auto group = match.groups.rbegin(); group != match.groups.rend(); ++group) {
            if (*group) {
                kept = **group;
                break;
            }
        }
        appendPiece(pieces, text, kept.location, kept.location + kept.length, false);
        position = match.range.location + match.range.length;
        return true;
    });
    if (!matched) {
        return {std::string(text)};
    }
    appendPiece(pieces, text, position, text.size(), false);
    return pieces;
}

}  // namespace tokenizers

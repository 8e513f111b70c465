#pragma once
// Cutting text at the matches of a pattern: the helpers the pre-tokenizers share with the normalizers, the
// decoders and the pre-trained tokenizer. Texts are UTF-8; positions are byte offsets.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Text.hpp"

namespace tokenizers {

using TextRange = foundation::text::Regex::Range;

// How a pattern given as text is searched: as the exact text, or as an ICU regular expression.
enum class SearchOptions { literal, regularExpression };

enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// A pattern compiled once and searched any number of times, from any thread. Copies share the compiled form.
class SearchPattern {
public:
    // Throws foundation::RuntimeError for a regular expression that does not compile.
    SearchPattern(std::string_view pattern, SearchOptions options);

    const std::string& pattern() const { return pattern_; }
    SearchOptions options() const { return options_; }

    // Calls `visit` with every match, left to right. The next search starts at the end of a match; after an
    // empty match it starts one scalar later, so a pattern that matches the empty text still ends. Literal
    // text that is empty has no match. `visit` returns false to stop.
    void forEachRange(std::string_view text, const std::function<bool(TextRange)>& visit) const;

private:
    std::string pattern_;
    SearchOptions options_;
    std::shared_ptr<const foundation::text::Regex> regex_;  // for regularExpression
};

// Every match of `pattern` in `text`, in order.
std::vector<TextRange> ranges(std::string_view text, std::string_view pattern, SearchOptions options);
std::vector<TextRange> ranges(std::string_view text, const SearchPattern& pattern);

// The text cut at every match of `separator`; with `includeSeparators`, each match is a piece of its own.
// With `omittingEmptySubsequences` no piece is empty (empty matches are never pieces either).
std::vector<std::string> split(std::string_view text, std::string_view separator, SearchOptions options,
                               bool includeSeparators, bool omittingEmptySubsequences);
std::vector<std::string> split(std::string_view text, const SearchPattern& separator, bool includeSeparators,
                               bool omittingEmptySubsequences);

// The text cut at every match of `delimiter`, which is dropped, kept as a piece of its own, closes the piece
// before it or opens the piece after it. No piece is empty.
std::vector<std::string> split(std::string_view text, std::string_view delimiter, SearchOptions options,
                               SplitDelimiterBehavior behavior);
std::vector<std::string> split(std::string_view text, const SearchPattern& delimiter, SplitDelimiterBehavior behavior);

// The text cut at every match of `regex`: the text between matches (when not empty), and for each match the
// text of its highest-numbered capture group that took part (the whole match when none did; nothing when that
// text is empty). Without a match the whole text is the one piece, even when it is empty.
std::vector<std::string> split(std::string_view text, const foundation::text::Regex& regex);

// The Characters of the leading run of white-space Characters (those whose first scalar has the Unicode
// White_Space property) as byte offsets of their boundaries: {0} without such a run, else {0, end of the
// first, ..., end of the run}.
std::vector<size_t> leadingWhitespaceCharacters(std::string_view text);
// The same for the trailing run, walking back from the end: {size, start of the last, ..., start of the run}.
std::vector<size_t> trailingWhitespaceCharacters(std::string_view text);

// The appending forms behind the functions above, for callers that gather the pieces of many texts.
void appendSplit(std::vector<std::string>& pieces, std::string_view text, const SearchPattern& separator,
                 bool includeSeparators, bool omittingEmptySubsequences);
void appendSplit(std::vector<std::string>& pieces, std::string_view text, const SearchPattern& delimiter,
                 SplitDelimiterBehavior behavior);

}  // namespace tokenizers

#pragma once
// Text over ICU. std::string holds UTF-8; every function names the unit it counts in.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation::text {

// --- Encodings. Ill-formed UTF-8 is replaced by U+FFFD, one per maximal ill-formed subpart.
bool isValidUTF8(std::string_view bytes);
std::string repairedUTF8(std::string_view bytes);
std::string fromLatin1(std::string_view bytes);
std::u32string toScalars(std::string_view utf8);
std::string fromScalars(std::u32string_view scalars);
std::string fromScalar(char32_t scalar);
// Appends the UTF-8 form of any code point up to U+10FFFF, surrogates included (generalized UTF-8, for
// stored forms that must keep an unpaired UTF-16 surrogate); callers check the range.
void appendCodePoint(std::string& out, char32_t codePoint);
std::u16string toUTF16(std::string_view utf8);
std::string fromUTF16(std::u16string_view utf16);  // unpaired surrogates become U+FFFD

size_t scalarCount(std::string_view utf8);
size_t utf16Count(std::string_view utf8);

// --- Characters (extended grapheme clusters).
std::vector<std::string> characters(std::string_view utf8);
size_t characterCount(std::string_view utf8);
// Byte offsets of every Character boundary, starting with 0 and ending with utf8.size().
std::vector<size_t> characterBoundaries(std::string_view utf8);
// The same into a caller's buffer, so a hot loop reuses one allocation.
void characterBoundaries(std::string_view utf8, std::vector<size_t>& boundaries);

// --- Normalization and comparison.
enum class NormalizationForm { nfc, nfd, nfkc, nfkd };
std::string normalized(std::string_view utf8, NormalizationForm form);
// String equality as the system compares texts: canonical equivalence (equal NFC forms).
bool canonicallyEqual(std::string_view a, std::string_view b);
// Ordering by the scalars of the NFC forms (a total order consistent with canonicallyEqual).
int canonicalCompare(std::string_view a, std::string_view b);

// --- Character properties (Unicode, never the C locale).
bool isWhitespace(char32_t c);             // White_Space property minus the newlines
bool isNewline(char32_t c);                // LF VT FF CR NEL LS PS
bool isWhitespaceOrNewline(char32_t c);    // White_Space
bool isLetter(char32_t c);                 // L*
bool isUppercase(char32_t c);              // Uppercase property
bool isLowercase(char32_t c);              // Lowercase property
bool isNumber(char32_t c);                 // N*
bool isDecimalDigit(char32_t c);           // Nd
bool isAlphanumeric(char32_t c);           // L*, M*, N*
bool isPunctuation(char32_t c);            // P*
bool isSymbol(char32_t c);                 // S*
bool isControl(char32_t c);                // Cc
bool isMark(char32_t c);                   // M*
// Two-letter general category code ("Lu", "Nd", "Zs", ...).
std::string generalCategory(char32_t c);

// --- Trimming, case, searching (all on whole scalars).
std::string trimmingWhitespaceAndNewlines(std::string_view utf8);
std::string trimmingWhitespace(std::string_view utf8);
std::string trimmingCharacters(std::string_view utf8, bool (*drop)(char32_t));
std::string lowercased(std::string_view utf8);   // full Unicode case mapping, root locale
std::string uppercased(std::string_view utf8);
std::string titlecased(std::string_view utf8);   // ICU word titlecasing (first letter of each word)
std::string caseFolded(std::string_view utf8);
bool hasPrefix(std::string_view s, std::string_view prefix);  // bytes
bool hasSuffix(std::string_view s, std::string_view suffix);  // bytes
std::vector<std::string> split(std::string_view s, std::string_view separator);  // bytes; empty pieces kept
std::string replacingAll(std::string_view s, std::string_view target, std::string_view replacement);
std::string joined(const std::vector<std::string>& parts, std::string_view separator);

// --- Regular expressions in ICU syntax. One compiled pattern may be used from many threads: each call
// makes its own matcher. Offsets in results are byte offsets into the UTF-8 subject.
class Regex {
public:
    struct Options {
        bool caseInsensitive = false;
        bool dotMatchesLineSeparators = false;
        bool anchorsMatchLines = false;
        bool allowCommentsAndWhitespace = false;
    };
    struct Range {
        size_t location = 0;
        size_t length = 0;
    };
    struct Match {
        Range range;                              // the whole match
        std::vector<std::optional<Range>> groups; // capture groups 1...n (absent when a group took no part)
    };

    // Throws foundation::RuntimeError with ICU's error name on a bad pattern.
    explicit Regex(std::string_view pattern);
    Regex(std::string_view pattern, Options options);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    const std::string& pattern() const;
    size_t captureGroupCount() const;
    std::optional<Match> firstMatch(std::string_view subject, size_t fromByte = 0) const;
    std::vector<Match> allMatches(std::string_view subject) const;
    // Calls `visit` with each match in turn, without collecting them (the one Match is refilled); `visit`
    // returns false to stop the search.
    void forEachMatch(std::string_view subject, const std::function<bool(const Match&)>& visit) const;
    bool matchesWhole(std::string_view subject) const;
    bool contains(std::string_view subject) const;
    // Replaces every match; the template uses ICU's "$1" syntax.
    std::string replacingMatches(std::string_view subject, std::string_view replacementTemplate) const;
    // Escapes text so that it matches itself literally.
    static std::string escapedPattern(std::string_view text);

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace foundation::text

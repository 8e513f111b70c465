#include "Platform/Foundation/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <memory>

#include "Platform/Foundation/Error.hpp"

namespace foundation::text {

void appendCodePoint(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

const uint8_t* bytesOf(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void appendUTF8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = 0xFFFD;
    }
    appendCodePoint(out, c);
}

// Calls visit(scalar, startByte, endByte) for each scalar; ill-formed UTF-8 reads as U+FFFD, one per
// maximal ill-formed subpart (ICU's U8_NEXT follows that practice).
template <typename Visit>
void forEachScalar(std::string_view utf8, Visit&& visit) {
    const uint8_t* bytes = bytesOf(utf8);
    size_t length = utf8.size();
    size_t i = 0;
    while (i < length) {
        size_t start = i;
        UChar32 c = 0;
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        visit(static_cast<char32_t>(c), start, i);
    }
}

// Text that ICU's UTF-8 entry points can take as it is; ill-formed input is repaired first.
std::string_view wellFormed(std::string_view utf8, std::string& storage) {
    if (isValidUTF8(utf8)) {
        return utf8;
    }
    storage = repairedUTF8(utf8);
    return storage;
}

[[noreturn]] void throwICU(const char* what, UErrorCode status) {
    throw RuntimeError(std::string(what) + ": " + u_errorName(status));
}

icu::StringPiece piece(std::string_view s) {
    if (s.size() > static_cast<size_t>(INT32_MAX)) {
        throw RuntimeError("Text too long for Unicode processing");
    }
    return icu::StringPiece(s.data(), static_cast<int32_t>(s.size()));
}

// A UText over UTF-8 bytes whose native indices are byte offsets; closed when it goes out of scope.
class UTF8Text {
public:
    explicit UTF8Text(std::string_view utf8) {
        UErrorCode status = U_ZERO_ERROR;
        text_ = utext_openUTF8(&storage_, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
        if (U_FAILURE(status)) {
            throwICU("Cannot open text", status);
        }
    }
    ~UTF8Text() { utext_close(text_); }
    UTF8Text(const UTF8Text&) = delete;
    UTF8Text& operator=(const UTF8Text&) = delete;
    UText* get() { return text_; }

private:
    UText storage_ = UTEXT_INITIALIZER;
    UText* text_ = nullptr;
};

// Break iterators are not thread-safe: each thread keeps its own.
icu::BreakIterator& graphemeIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) {
            throwICU("Cannot create a character break iterator", status);
        }
        return made;
    }();
    return *iterator;
}

const icu::Normalizer2& normalizer(NormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    switch (form) {
        case NormalizationForm::nfc: n = icu::Normalizer2::getNFCInstance(status); break;
        case NormalizationForm::nfd: n = icu::Normalizer2::getNFDInstance(status); break;
        case NormalizationForm::nfkc: n = icu::Normalizer2::getNFKCInstance(status); break;
        case NormalizationForm::nfkd: n = icu::Normalizer2::getNFKDInstance(status); break;
    }
    if (U_FAILURE(status) || n == nullptr) {
        throwICU("Cannot load normalization data", status);
    }
    return *n;
}

bool inCategories(char32_t c, uint32_t mask) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & mask) != 0; }

}  // namespace

// --- Encodings

bool isValidUTF8(std::string_view bytes) {
    const uint8_t* s = bytesOf(bytes);
    size_t length = bytes.size();
    size_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::string repairedUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const uint8_t* s = bytesOf(bytes);
    size_t length = bytes.size();
    size_t i = 0;
    while (i < length) {
        size_t start = i;
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            out += "\xEF\xBF\xBD";
        } else {
            out.append(bytes.data() + start, i - start);
        }
    }
    return out;
}

std::string fromLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) {
        appendUTF8(out, b);
    }
    return out;
}

std::u32string toScalars(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    forEachScalar(utf8, [&](char32_t c, size_t, size_t) { out += c; });
    return out;
}

std::string fromScalars(std::u32string_view scalars) {
    std::string out;
    out.reserve(scalars.size());
    for (char32_t c : scalars) {
        appendUTF8(out, c);
    }
    return out;
}

std::string fromScalar(char32_t scalar) {
    std::string out;
    appendUTF8(out, scalar);
    return out;
}

std::u16string toUTF16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    forEachScalar(utf8, [&](char32_t c, size_t, size_t) {
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(U16_LEAD(c));
            out += static_cast<char16_t>(U16_TRAIL(c));
        }
    });
    return out;
}

std::string fromUTF16(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    size_t i = 0;
    size_t length = utf16.size();
    while (i < length) {
        char32_t c = utf16[i++];
        if (U16_IS_LEAD(c) && i < length && U16_IS_TRAIL(utf16[i])) {
            c = U16_GET_SUPPLEMENTARY(c, utf16[i]);
            ++i;
        } else if (U16_IS_SURROGATE(c)) {
            c = 0xFFFD;
        }
        appendUTF8(out, c);
    }
    return out;
}

size_t scalarCount(std::string_view utf8) {
    size_t count = 0;
    forEachScalar(utf8, [&](char32_t, size_t, size_t) { ++count; });
    return count;
}

size_t utf16Count(std::string_view utf8) {
    size_t count = 0;
    forEachScalar(utf8, [&](char32_t c, size_t, size_t) { count += c < 0x10000 ? 1 : 2; });
    return count;
}

// --- Characters

namespace {

// Most text (Latin, Cyrillic, Greek, CJK ideographs, byte-level token alphabets) holds only scalars that the
// grapheme rules never join to a neighbour, apart from CR LF. Such text is broken without ICU's iterator;
// false means some scalar needs the full rules (marks, joiners, jamo, regional indicators) or the text is
// ill-formed, and `boundaries` is then left for the iterator to fill.
bool simpleCharacterBoundaries(std::string_view utf8, std::vector<size_t>& boundaries) {
    const uint8_t* bytes = bytesOf(utf8);
    size_t length = utf8.size();
    size_t i = 0;
    bool afterCR = false;
    while (i < length) {
        size_t start = i;
        UChar32 c = bytes[i];
        if (c < 0x80) {
            ++i;
        } else {
            U8_NEXT(bytes, i, length, c);
            if (c < 0) {
                return false;
            }
            if (c >= 0x300) {
                auto kind = u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK);
                if (kind != U_GCB_OTHER && kind != U_GCB_CONTROL) {
                    return false;
                }
            }
        }
        if (start > 0 && !(afterCR && c == 0x0A)) {
            boundaries.push_back(start);
        }
        afterCR = c == 0x0D;
    }
    boundaries.push_back(length);
    return true;
}

}  // namespace

std::vector<size_t> characterBoundaries(std::string_view utf8) {
    std::vector<size_t> boundaries;
    characterBoundaries(utf8, boundaries);
    return boundaries;
}

void characterBoundaries(std::string_view utf8, std::vector<size_t>& boundaries) {
    boundaries.assign(1, 0);
    if (utf8.empty()) {
        return;
    }
    if (simpleCharacterBoundaries(utf8, boundaries)) {
        return;
    }
    boundaries.resize(1);
    if (utf8.size() > static_cast<size_t>(INT32_MAX)) {
        throw RuntimeError("Text too long to break into characters");  // break positions are 32-bit
    }
    UTF8Text text(utf8);
    icu::BreakIterator& iterator = graphemeIterator();
    UErrorCode status = U_ZERO_ERROR;
    iterator.setText(text.get(), status);
    if (U_FAILURE(status)) {
        throwICU("Cannot break text into characters", status);
    }
    for (int32_t b = iterator.next(); b != icu::BreakIterator::DONE; b = iterator.next()) {
        boundaries.push_back(static_cast<size_t>(b));
    }
    if (boundaries.back() != utf8.size()) {
        boundaries.push_back(utf8.size());
    }
    // Drop the iterator's reference to text that is about to go away.
    iterator.setText(icu::UnicodeString());
}

std::vector<std::string> characters(std::string_view utf8) {
    std::vector<size_t> boundaries = characterBoundaries(utf8);
    std::vector<std::string> out;
    out.reserve(boundaries.size() - 1);
    for (size_t k = 1; k < boundaries.size(); ++k) {
        out.emplace_back(utf8.substr(boundaries[k - 1], boundaries[k] - boundaries[k - 1]));
    }
    return out;
}

size_t characterCount(std::string_view utf8) { return characterBoundaries(utf8).size() - 1; }

// --- Normalization and comparison

std::string normalized(std::string_view utf8, NormalizationForm form) {
    std::string storage;
    std::string_view input = wellFormed(utf8, storage);
    std::string out;
    out.reserve(input.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    normalizer(form).normalizeUTF8(0, piece(input), sink, nullptr, status);
    if (U_FAILURE(status)) {
        throwICU("Cannot normalize text", status);
    }
    return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    return normalized(a, NormalizationForm::nfc) == normalized(b, NormalizationForm::nfc);
}

int canonicalCompare(std::string_view a, std::string_view b) {
    // UTF-8 byte order is scalar order.
    int order = normalized(a, NormalizationForm::nfc).compare(normalized(b, NormalizationForm::nfc));
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// --- Character properties

bool isNewline(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

bool isWhitespace(char32_t c) { return isWhitespaceOrNewline(c) && !isNewline(c); }

bool isLetter(char32_t c) { return inCategories(c, U_GC_L_MASK); }

bool isUppercase(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_UPPERCASE); }

bool isLowercase(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_LOWERCASE); }

bool isNumber(char32_t c) { return inCategories(c, U_GC_N_MASK); }

bool isDecimalDigit(char32_t c) { return inCategories(c, U_GC_ND_MASK); }

bool isAlphanumeric(char32_t c) { return inCategories(c, U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK); }

bool isPunctuation(char32_t c) { return inCategories(c, U_GC_P_MASK); }

bool isSymbol(char32_t c) { return inCategories(c, U_GC_S_MASK); }

bool isControl(char32_t c) { return inCategories(c, U_GC_CC_MASK); }

bool isMark(char32_t c) { return inCategories(c, U_GC_M_MASK); }

std::string generalCategory(char32_t c) {
    const char* name = u_getPropertyValueName(UCHAR_GENERAL_CATEGORY, u_charType(static_cast<UChar32>(c)),
                                              U_SHORT_PROPERTY_NAME);
    return name ? name : "Cn";
}

// --- Trimming, case, searching

std::string trimmingCharacters(std::string_view utf8, bool (*drop)(char32_t)) {
    size_t first = utf8.size();  // start of the first kept scalar
    size_t end = 0;              // end of the last kept scalar
    forEachScalar(utf8, [&](char32_t c, size_t start, size_t stop) {
        if (!drop(c)) {
            first = std::min(first, start);
            end = stop;
        }
    });
    if (first >= end) {
        return std::string();
    }
    return std::string(utf8.substr(first, end - first));
}

std::string trimmingWhitespaceAndNewlines(std::string_view utf8) {
    return trimmingCharacters(utf8, &isWhitespaceOrNewline);
}

std::string trimmingWhitespace(std::string_view utf8) { return trimmingCharacters(utf8, &isWhitespace); }

namespace {

enum class CaseOperation { lower, upper, title, fold };

std::string mapCase(std::string_view utf8, CaseOperation operation) {
    std::string storage;
    std::string_view input = wellFormed(utf8, storage);
    std::string out;
    out.reserve(input.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    const char* root = "";  // the root locale: no Turkish or Lithuanian special cases
    switch (operation) {
        case CaseOperation::lower:
            icu::CaseMap::utf8ToLower(root, 0, piece(input), sink, nullptr, status);
            break;
        case CaseOperation::upper:
            icu::CaseMap::utf8ToUpper(root, 0, piece(input), sink, nullptr, status);
            break;
        case CaseOperation::title:
            // A null iterator makes ICU open a word break iterator for this call alone.
            icu::CaseMap::utf8ToTitle(root, 0, nullptr, piece(input), sink, nullptr, status);
            break;
        case CaseOperation::fold:
            icu::CaseMap::utf8Fold(U_FOLD_CASE_DEFAULT, piece(input), sink, nullptr, status);
            break;
    }
    if (U_FAILURE(status)) {
        throwICU("Cannot map case", status);
    }
    return out;
}

}  // namespace

std::string lowercased(std::string_view utf8) { return mapCase(utf8, CaseOperation::lower); }
std::string uppercased(std::string_view utf8) { return mapCase(utf8, CaseOperation::upper); }
std::string titlecased(std::string_view utf8) { return mapCase(utf8, CaseOperation::title); }
std::string caseFolded(std::string_view utf8) { return mapCase(utf8, CaseOperation::fold); }

bool hasPrefix(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool hasSuffix(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::vector<std::string> split(std::string_view s, std::string_view separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.emplace_back(s);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        size_t found = s.find(separator, start);
        if (found == std::string_view::npos) {
            pieces.emplace_back(s.substr(start));
            return pieces;
        }
        pieces.emplace_back(s.substr(start, found - start));
        start = found + separator.size();
    }
}

std::string replacingAll(std::string_view s, std::string_view target, std::string_view replacement) {
    if (target.empty()) {
        return std::string(s);
    }
    std::string out;
    out.reserve(s.size());
    size_t start = 0;
    for (;;) {
        size_t found = s.find(target, start);
        if (found == std::string_view::npos) {
            out.append(s.substr(start));
            return out;
        }
        out.append(s.substr(start, found - start));
        out.append(replacement);
        start = found + target.size();
    }
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) {
            out.append(separator);
        }
        out += parts[k];
    }
    return out;
}

// --- Regex

struct Regex::Impl {
    std::string pattern;
    // Shared by every call; each search takes a matcher of its thread's cache (or a fresh one).
    std::shared_ptr<const icu::RegexPattern> compiled;
    uint64_t id = 0;  // unique per compiled pattern, so a cache entry can never be taken for another pattern
    size_t groupCount = 0;
};

namespace {

uint32_t flagsOf(const Regex::Options& options) {
    uint32_t flags = 0;
    if (options.caseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
    if (options.dotMatchesLineSeparators) flags |= UREGEX_DOTALL;
    if (options.anchorsMatchLines) flags |= UREGEX_MULTILINE;
    if (options.allowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
    return flags;
}

// Walks a well-formed UTF-8 text to turn UTF-16 indices into byte offsets. Queries come mostly in increasing
// order, so the walk is linear over a whole search; it can step back for groups inside a look-behind.
class OffsetMapper {
public:
    explicit OffsetMapper(std::string_view utf8) : utf8_(utf8) {}

    size_t byteOffset(int64_t utf16Index) {
        size_t target = static_cast<size_t>(std::max<int64_t>(utf16Index, 0));
        while (units_ < target && bytes_ < utf8_.size()) {
            stepForward();
        }
        while (units_ > target && bytes_ > 0) {
            stepBack();
        }
        return bytes_;
    }

    // A byte offset inside a scalar moves to the end of that scalar.
    size_t utf16Index(size_t byteOffset) {
        byteOffset = std::min(byteOffset, utf8_.size());
        while (bytes_ > byteOffset) {
            stepBack();
        }
        while (bytes_ < byteOffset) {
            stepForward();
        }
        return units_;
    }

private:
    void stepForward() {
        size_t length = 1 + static_cast<size_t>(U8_COUNT_TRAIL_BYTES(static_cast<uint8_t>(utf8_[bytes_])));
        units_ += length == 4 ? 2 : 1;
        bytes_ += length;
    }
    void stepBack() {
        size_t start = bytes_ - 1;
        while (start > 0 && U8_IS_TRAIL(static_cast<uint8_t>(utf8_[start]))) {
            --start;
        }
        units_ -= (bytes_ - start) == 4 ? 2 : 1;
        bytes_ = start;
    }

    std::string_view utf8_;  // well-formed
    size_t units_ = 0;
    size_t bytes_ = 0;
};

std::unique_ptr<icu::RegexMatcher> newMatcher(const icu::RegexPattern& pattern) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(status));
    if (U_FAILURE(status) || !matcher) {
        throwICU("Cannot create a regular expression matcher", status);
    }
    return matcher;
}

// A matcher costs a few hundred nanoseconds to make, as much as a search of a short text, so every thread keeps
// the matchers of the last patterns it used, each with its UTF-16 subject buffer. An entry keeps its pattern alive.
// A matcher serves one search at a time: a nested search with the same pattern on the same thread gets a fresh one.
class MatcherCache {
public:
    struct Entry {
        std::shared_ptr<const icu::RegexPattern> pattern;
        icu::UnicodeString subject;
        std::unique_ptr<icu::RegexMatcher> matcher;  // declared last: released before the text it reads
        uint64_t patternId = 0;
        bool inUse = false;
    };

    // An idle entry for the pattern, or nothing when its entry is busy.
    Entry* acquire(const std::shared_ptr<const icu::RegexPattern>& pattern, uint64_t patternId) {
        for (Entry& entry : entries_) {
            if (entry.patternId == patternId) {
                if (entry.inUse) {
                    return nullptr;
                }
                entry.inUse = true;
                return &entry;
            }
        }
        for (size_t tries = 0; tries < entries_.size(); ++tries) {
            Entry& entry = entries_[next_];
            next_ = (next_ + 1) % entries_.size();
            if (!entry.inUse) {
                entry.patternId = 0;
                entry.matcher.reset();
                entry.pattern.reset();
                entry.matcher = newMatcher(*pattern);
                entry.pattern = pattern;
                entry.patternId = patternId;
                entry.inUse = true;
                return &entry;
            }
        }
        return nullptr;
    }

private:
    std::array<Entry, 16> entries_;
    size_t next_ = 0;
};

thread_local MatcherCache matcherCache;

// One matcher for one call. Well-formed subjects are matched as UTF-16 (ICU's fast path) and positions mapped
// back to bytes; ill-formed ones through a UTF-8 UText, whose native indices are already byte offsets into the
// original bytes.
class SubjectMatcher {
public:
    SubjectMatcher(const std::shared_ptr<const icu::RegexPattern>& pattern, uint64_t patternId,
                   std::string_view subject)
        : mapper_(subject) {
        if (subject.size() <= static_cast<size_t>(INT32_MAX) && isValidUTF8(subject)) {
            entry_ = matcherCache.acquire(pattern, patternId);
            icu::UnicodeString& utf16 = entry_ ? entry_->subject : utf16_;
            if (!entry_) {
                matcher_ = newMatcher(*pattern);
            }
            int32_t capacity = static_cast<int32_t>(subject.size()) + 1;  // never more UTF-16 units than bytes
            UErrorCode status = U_ZERO_ERROR;
            int32_t length = 0;
            UChar* buffer = utf16.getBuffer(capacity);
            if (!buffer) {
                throwICU("Cannot convert text to UTF-16", U_MEMORY_ALLOCATION_ERROR);
            }
            u_strFromUTF8(buffer, capacity, &length, subject.data(), static_cast<int32_t>(subject.size()), &status);
            utf16.releaseBuffer(U_SUCCESS(status) ? length : 0);
            if (U_FAILURE(status)) {
                release();
                throwICU("Cannot convert text to UTF-16", status);
            }
            matcher().reset(utf16);
        } else {
            matcher_ = newMatcher(*pattern);
            text_ = std::make_unique<UTF8Text>(subject);
            matcher_->reset(text_->get());
        }
    }
    ~SubjectMatcher() { release(); }
    SubjectMatcher(const SubjectMatcher&) = delete;
    SubjectMatcher& operator=(const SubjectMatcher&) = delete;

    icu::RegexMatcher& matcher() { return entry_ ? *entry_->matcher : *matcher_; }
    icu::RegexMatcher& operator*() { return matcher(); }
    icu::RegexMatcher* operator->() { return &matcher(); }

    // The next match (after the previous one, or from a byte offset) or a match of the whole subject; a failure
    // of ICU throws `failure` with ICU's error name.
    bool find(const char* failure) {
        return checked(failure, [&](UErrorCode& status) { return matcher().find(status); });
    }
    bool find(size_t startByte, const char* failure) {
        int64_t start = fromByte(startByte);
        return checked(failure, [&](UErrorCode& status) { return matcher().find(start, status); });
    }
    bool matchesWhole(const char* failure) {
        return checked(failure, [&](UErrorCode& status) { return matcher().matches(status); });
    }

    size_t toByte(int64_t index) { return text_ ? static_cast<size_t>(index) : mapper_.byteOffset(index); }
    int64_t fromByte(size_t offset) {
        return text_ ? static_cast<int64_t>(offset) : static_cast<int64_t>(mapper_.utf16Index(offset));
    }

    Regex::Match currentMatch() {
        Regex::Match match;
        readMatch(match);
        return match;
    }

    // Fills `match` with the current match, reusing its storage.
    void readMatch(Regex::Match& match) {
        UErrorCode status = U_ZERO_ERROR;
        icu::RegexMatcher& m = matcher();
        int32_t groups = m.groupCount();
        match.groups.clear();
        match.groups.reserve(static_cast<size_t>(groups));
        size_t start = toByte(m.start64(status));
        size_t end = toByte(m.end64(status));
        match.range = {start, end - start};
        for (int32_t g = 1; g <= groups; ++g) {
            int64_t gs = m.start64(g, status);
            int64_t ge = m.end64(g, status);
            if (gs < 0) {
                match.groups.emplace_back(std::nullopt);
            } else {
                size_t groupStart = toByte(gs);
                size_t groupEnd = toByte(ge);
                match.groups.emplace_back(Regex::Range{groupStart, groupEnd - groupStart});
            }
        }
        if (U_FAILURE(status)) {
            throwICU("Cannot read a regular expression match", status);
        }
    }

private:
    void release() {
        if (entry_) {
            entry_->inUse = false;
            entry_ = nullptr;
        }
    }

    template <typename Step>
    static bool checked(const char* failure, Step step) {
        UErrorCode status = U_ZERO_ERROR;
        bool result = step(status);
        if (U_FAILURE(status)) {
            throwICU(failure, status);
        }
        return result;
    }

    OffsetMapper mapper_;
    MatcherCache::Entry* entry_ = nullptr;  // the thread's cached matcher, or nothing when matcher_ serves
    icu::UnicodeString utf16_;
    std::unique_ptr<UTF8Text> text_;
    std::unique_ptr<icu::RegexMatcher> matcher_;  // declared last: released before the text it reads
};

}  // namespace

Regex::Regex(std::string_view pattern) : Regex(pattern, Options{}) {}

Regex::Regex(std::string_view pattern, Options options) : impl_(new Impl) {
    std::unique_ptr<Impl> owner(impl_);
    impl_->pattern = std::string(pattern);
    std::string storage;
    std::string_view input = wellFormed(pattern, storage);
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(piece(input));
    impl_->compiled.reset(icu::RegexPattern::compile(source, flagsOf(options), parseError, status));
    if (U_FAILURE(status) || !impl_->compiled) {
        throw RuntimeError(u_errorName(status));
    }
    static std::atomic<uint64_t> lastId{0};
    impl_->id = ++lastId;
    impl_->groupCount = static_cast<size_t>(newMatcher(*impl_->compiled)->groupCount());
    owner.release();
}

Regex::~Regex() { delete impl_; }

Regex::Regex(Regex&& other) noexcept : impl_(other.impl_) { other.impl_ = nullptr; }

Regex& Regex::operator=(Regex&& other) noexcept {
    if (this != &other) {
        delete impl_;
        impl_ = other.impl_;
        other.impl_ = nullptr;
    }
    return *this;
}

const std::string& Regex::pattern() const {
    if (!impl_) {
        throw RuntimeError("Regex used after it was moved from");
    }
    return impl_->pattern;
}

size_t Regex::captureGroupCount() const {
    pattern();
    return impl_->groupCount;
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view subject, size_t fromByte) const {
    pattern();
    if (fromByte > subject.size()) {
        return std::nullopt;
    }
    SubjectMatcher matcher(impl_->compiled, impl_->id, subject);
    if (!matcher.find(fromByte, "Regular expression search failed")) {
        return std::nullopt;
    }
    return matcher.currentMatch();
}

std::vector<Regex::Match> Regex::allMatches(std::string_view subject) const {
    pattern();
    SubjectMatcher matcher(impl_->compiled, impl_->id, subject);
    std::vector<Match> matches;
    while (matcher.find("Regular expression search failed")) {
        matches.push_back(matcher.currentMatch());
    }
    return matches;
}

void Regex::forEachMatch(std::string_view subject, const std::function<bool(const Match&)>& visit) const {
    pattern();
    SubjectMatcher matcher(impl_->compiled, impl_->id, subject);
    Match match;
    while (matcher.find("Regular expression search failed")) {
        matcher.readMatch(match);
        if (!visit(match)) {
            break;
        }
    }
}

bool Regex::matchesWhole(std::string_view subject) const {
    pattern();
    SubjectMatcher matcher(impl_->compiled, impl_->id, subject);
    return matcher.matchesWhole("Regular expression match failed");
}

bool Regex::contains(std::string_view subject) const {
    pattern();
    SubjectMatcher matcher(impl_->compiled, impl_->id, subject);
    return matcher.find("Regular expression search failed");
}

std::string Regex::replacingMatches(std::string_view subject, std::string_view replacementTemplate) const {
    pattern();
    // Well-formed text survives the trip through ICU's UTF-16 result unchanged.
    std::string subjectStorage;
    std::string_view input = wellFormed(subject, subjectStorage);
    std::string templateStorage;
    icu::UnicodeString replacement =
        icu::UnicodeString::fromUTF8(piece(wellFormed(replacementTemplate, templateStorage)));
    SubjectMatcher matcher(impl_->compiled, impl_->id, input);
    icu::UnicodeString result;
    bool replacedAny = false;
    while (matcher.find("Regular expression replacement failed")) {
        UErrorCode status = U_ZERO_ERROR;
        matcher->appendReplacement(result, replacement, status);
        if (U_FAILURE(status)) {
            throw RuntimeError(std::string("Invalid replacement template: ") + u_errorName(status));
        }
        replacedAny = true;
    }
    if (!replacedAny) {
        return std::string(input);
    }
    matcher->appendTail(result);
    std::string out;
    result.toUTF8String(out);
    return out;
}

std::string Regex::escapedPattern(std::string_view text) {
    static constexpr std::string_view metacharacters = "\\*?+[](){}^$|./-#&~";
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        if (metacharacters.find(c) != std::string_view::npos) {
            out += '\\';
            out += c;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            // Quoted so that the text still matches itself when white space in patterns is ignored.
            static const char* hex = "0123456789ABCDEF";
            out += "\\x{";
            out += hex[(c >> 4) & 0xF];
            out += hex[c & 0xF];
            out += '}';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace foundation::text

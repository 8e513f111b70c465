#include "Hub/BinaryDistinct.hpp"

#include <cstring>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace hub {

namespace text = foundation::text;

namespace {

bool isASCII(std::string_view bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }


// The stored form of a unit sequence: a surrogate pair as its scalar, an unpaired surrogate alone.
std::string encodeUnits(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (size_t k = 0; k < units.size(); ++k) {
        char32_t c = units[k];
        if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[k + 1] - 0xDC00);
            ++k;
        }
        foundation::text::appendCodePoint(out, c);
    }
    return out;
}

// One scalar (or unpaired surrogate) of the stored form at `i`, advancing `i`.
char32_t decodeAt(std::string_view stored, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(stored[k])); };
    char32_t lead = byte(i);
    if (lead < 0x80) {
        i += 1;
        return lead;
    }
    if (lead < 0xE0) {
        char32_t c = ((lead & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return c;
    }
    if (lead < 0xF0) {
        char32_t c = ((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return c;
    }
    char32_t c = ((lead & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += 4;
    return c;
}

std::u16string decodeUnits(std::string_view stored) {
    std::u16string out;
    out.reserve(stored.size());
    size_t i = 0;
    while (i < stored.size()) {
        char32_t c = decodeAt(stored, i);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// An unpaired surrogate in the stored form: ED followed by A0...BF.
// Eight bytes at a time: ED is rare in text, and loading a vocabulary asks this of every token.
bool hasUnpairedSurrogate(std::string_view stored) {
    const size_t size = stored.size();
    const char* data = stored.data();
    size_t k = 0;
    for (; k + 8 <= size; k += 8) {
        uint64_t word;
        std::memcpy(&word, data + k, 8);
        uint64_t x = word ^ 0xEDEDEDEDEDEDEDEDull;
        // A zero byte of x marks an ED byte of the word.
        if (((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0) break;
    }
    for (; k + 1 < size; ++k)
        if (static_cast<unsigned char>(data[k]) == 0xED && static_cast<unsigned char>(data[k + 1]) >= 0xA0)
            return true;
    return false;
}

bool endsWithUnpairedLead(std::string_view stored) {
    return stored.size() >= 3 && static_cast<unsigned char>(stored[stored.size() - 3]) == 0xED &&
           static_cast<unsigned char>(stored[stored.size() - 2]) >= 0xA0 &&
           static_cast<unsigned char>(stored[stored.size() - 2]) <= 0xAF;
}

bool startsWithUnpairedTrail(std::string_view stored) {
    return stored.size() >= 3 && static_cast<unsigned char>(stored[0]) == 0xED &&
           static_cast<unsigned char>(stored[1]) >= 0xB0;
}

std::string wellFormed(std::string_view text) {
    if (isASCII(text) || text::isValidUTF8(text)) return std::string(text);
    return text::repairedUTF8(text);
}

[[noreturn]] void outOfBounds() { throw foundation::RuntimeError("Index out of bounds"); }

}  // namespace

// --- BinaryDistinctCharacter

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text) : bytes_(text::toUTF16(text)) {}

std::string BinaryDistinctCharacter::description() const {
    std::string out = "BinaryDistinctCharacter('" + text::fromUTF16(bytes_) + "', bytes: [";
    for (size_t k = 0; k < bytes_.size(); ++k) {
        if (k > 0) out += ", ";
        out += '"' + foundation::format("0x%02X", static_cast<unsigned>(bytes_[k])) + '"';
    }
    return out + "])";
}

// --- BinaryDistinctString

BinaryDistinctString::BinaryDistinctString(std::string_view text) : units_(wellFormed(text)) {}

BinaryDistinctString::BinaryDistinctString(std::string&& text) : units_(std::move(text)) {
    if (!isASCII(units_) && !text::isValidUTF8(units_)) units_ = text::repairedUTF8(units_);
}

BinaryDistinctString::BinaryDistinctString(std::u16string_view units) : units_(encodeUnits(units)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    std::u16string units;
    for (const auto& c : characters) units += c.bytes();
    units_ = encodeUnits(units);
}

std::u16string BinaryDistinctString::value() const {
    if (isASCII(units_)) return std::u16string(units_.begin(), units_.end());
    return decodeUnits(units_);
}

std::string_view BinaryDistinctString::string(std::string& buffer) const {
    if (!hasUnpairedSurrogate(units_)) return units_;
    buffer = string();
    return buffer;
}

std::string BinaryDistinctString::string() const {
    if (!hasUnpairedSurrogate(units_)) return units_;
    std::string out = units_;
    for (size_t k = 0; k + 2 < out.size(); ++k) {
        if (static_cast<unsigned char>(out[k]) == 0xED && static_cast<unsigned char>(out[k + 1]) >= 0xA0) {
            out.replace(k, 3, "\xEF\xBF\xBD");
            k += 2;
        }
    }
    return out;
}

std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b) {
    const std::string& x = a.units_;
    const std::string& y = b.units_;
    size_t n = std::min(x.size(), y.size());
    size_t i = 0;
    while (i < n && x[i] == y[i]) ++i;
    if (i == n) return x.size() <=> y.size();
    // Both differ inside the scalar that starts at the same place in both.
    size_t start = i;
    while (start > 0 && (static_cast<unsigned char>(x[start]) & 0xC0) == 0x80) --start;
    size_t ix = start, iy = start;
    char32_t cx = decodeAt(x, ix);
    char32_t cy = decodeAt(y, iy);
    // Scalars outside the surrogate range order the same as their units unless exactly one of them
    // needs a surrogate pair.
    if (!isSurrogate(cx) && !isSurrogate(cy) && (cx >= 0x10000) == (cy >= 0x10000)) return cx <=> cy;
    std::u16string ux = decodeUnits(std::string_view(x).substr(start));
    std::u16string uy = decodeUnits(std::string_view(y).substr(start));
    return ux.compare(uy) <=> 0;
}

BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b) {
    // An unpaired lead meeting an unpaired trail becomes one pair: join through the units.
    if (endsWithUnpairedLead(a.units_) && startsWithUnpairedTrail(b.units_))
        return BinaryDistinctString(std::u16string_view(a.value() + b.value()));
    return BinaryDistinctString(BinaryDistinctString::Encoded{}, a.units_ + b.units_);
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    if (prefix.units_.size() > units_.size() && !hasUnpairedSurrogate(prefix.units_)) return false;
    if (std::string_view(units_).starts_with(prefix.units_)) return true;
    // A prefix ending in an unpaired lead may end inside one of this string's pairs.
    return hasUnpairedSurrogate(prefix.units_) && value().starts_with(prefix.value());
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    if (suffix.units_.size() > units_.size() && !hasUnpairedSurrogate(suffix.units_)) return false;
    if (std::string_view(units_).ends_with(suffix.units_)) return true;
    return hasUnpairedSurrogate(suffix.units_) && value().ends_with(suffix.value());
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(text::lowercased(string()));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
    if (target.empty() || units_.empty()) return *this;
    if (isASCII(units_) && isASCII(target.units_)) {
        // ASCII text has no other canonically equivalent spelling.
        return BinaryDistinctString(text::replacingAll(units_, target.units_, replacement.string()));
    }
    // Match whole characters, each compared by canonical equivalence.
    std::vector<std::string> haystack = text::characters(string());
    std::vector<std::string> needle = text::characters(target.string());
    std::string replacementText = replacement.string();
    std::string out;
    size_t k = 0;
    while (k < haystack.size()) {
        bool matches = k + needle.size() <= haystack.size();
        for (size_t j = 0; matches && j < needle.size(); ++j) {
            matches = text::canonicallyEqual(haystack[k + j], needle[j]);
        }
        if (matches) {
            out += replacementText;
            k += needle.size();
        } else {
            out += haystack[k++];
        }
    }
    return BinaryDistinctString(std::move(out));
}

std::vector<size_t> BinaryDistinctString::characterOffsets() const {
    if (isASCII(units_)) {
        // Every ASCII unit is a character, except CR LF which is one.
        std::vector<size_t> offsets{0};
        for (size_t k = 1; k <= units_.size(); ++k) {
            if (k < units_.size() && units_[k - 1] == '\r' && units_[k] == '\n') continue;
            offsets.push_back(k);
        }
        return offsets;
    }
    // The decoded text has the same byte length: an unpaired surrogate and U+FFFD take three bytes each.
    return text::characterBoundaries(string());
}

int64_t BinaryDistinctString::count() const { return static_cast<int64_t>(characterOffsets().size()) - 1; }

int64_t BinaryDistinctString::index(int64_t i, int64_t offsetBy) const {
    int64_t result = i + offsetBy;
    if (result < 0 || result > count()) outOfBounds();
    return result;
}

std::optional<int64_t> BinaryDistinctString::index(int64_t i, int64_t offsetBy, int64_t limitedBy) const {
    int64_t result = i + offsetBy;
    if (result > limitedBy) return std::nullopt;
    return result;
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    std::vector<size_t> offsets = characterOffsets();
    std::vector<BinaryDistinctCharacter> out;
    out.reserve(offsets.size() - 1);
    for (size_t k = 1; k < offsets.size(); ++k) {
        out.emplace_back(std::u16string_view(
            decodeUnits(std::string_view(units_).substr(offsets[k - 1], offsets[k] - offsets[k - 1]))));
    }
    return out;
}

BinaryDistinctString BinaryDistinctString::substring(int64_t lower, int64_t upper) const {
    std::vector<size_t> offsets = characterOffsets();
    int64_t characterCount = static_cast<int64_t>(offsets.size()) - 1;
    if (lower < 0 || upper > characterCount || lower > upper) outOfBounds();
    size_t from = offsets[static_cast<size_t>(lower)];
    size_t to = offsets[static_cast<size_t>(upper)];
    return BinaryDistinctString(Encoded{}, units_.substr(from, to - from));
}

BinaryDistinctString BinaryDistinctString::substring(int64_t lower) const {
    std::vector<size_t> offsets = characterOffsets();
    int64_t characterCount = static_cast<int64_t>(offsets.size()) - 1;
    if (lower < 0 || lower > characterCount) outOfBounds();
    return BinaryDistinctString(Encoded{}, units_.substr(offsets[static_cast<size_t>(lower)]));
}

}  // namespace hub

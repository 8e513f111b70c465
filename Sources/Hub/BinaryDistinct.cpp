#include "Hub/BinaryDistinct.hpp"

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace hub {

namespace text = foundation::text;

namespace {

// Configuration keys and vocabulary entries are mostly ASCII: widen those directly.
std::u16string unitsOf(std::string_view utf8) {
    size_t i = 0;
    while (i < utf8.size() && static_cast<unsigned char>(utf8[i]) < 0x80) ++i;
    if (i == utf8.size()) return std::u16string(utf8.begin(), utf8.end());
    return text::toUTF16(utf8);
}

bool isASCII(std::u16string_view units) {
    for (char16_t u : units)
        if (u >= 0x80) return false;
    return true;
}

[[noreturn]] void outOfBounds() { throw foundation::RuntimeError("Index out of bounds"); }

}  // namespace

// --- BinaryDistinctCharacter

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text) : bytes_(unitsOf(text)) {}

std::string BinaryDistinctCharacter::description() const {
    std::string out = "BinaryDistinctCharacter('" + text::fromUTF16(bytes_) + "', bytes: [";
    for (size_t k = 0; k < bytes_.size(); ++k) {
        if (k > 0) out += ", ";
        out += '"' + foundation::format("0x%02X", static_cast<unsigned>(bytes_[k])) + '"';
    }
    return out + "])";
}

// --- BinaryDistinctString

BinaryDistinctString::BinaryDistinctString(std::string_view text) : value_(unitsOf(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& c : characters) value_ += c.bytes();
}

std::string BinaryDistinctString::string() const {
    if (isASCII(value_)) return std::string(value_.begin(), value_.end());
    return text::fromUTF16(value_);
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    if (prefix.value_.size() > value_.size()) return false;
    return std::u16string_view(value_).substr(0, prefix.value_.size()) == prefix.value_;
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    if (suffix.value_.size() > value_.size()) return false;
    return std::u16string_view(value_).substr(value_.size() - suffix.value_.size()) == suffix.value_;
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(text::lowercased(string()));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
    if (target.empty() || value_.empty()) return *this;
    if (isASCII(value_) && isASCII(target.value_)) {
        // ASCII text has no other canonically equivalent spelling.
        return BinaryDistinctString(text::replacingAll(string(), target.string(), replacement.string()));
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
    return BinaryDistinctString(out);
}

std::vector<size_t> BinaryDistinctString::characterUnitOffsets() const {
    std::vector<size_t> offsets;
    if (isASCII(value_)) {
        // Every ASCII unit is a character, except CR LF which is one.
        offsets.push_back(0);
        for (size_t k = 1; k <= value_.size(); ++k) {
            if (k < value_.size() && value_[k - 1] == u'\r' && value_[k] == u'\n') continue;
            offsets.push_back(k);
        }
        return offsets;
    }
    std::string utf8 = string();
    offsets.reserve(utf8.size() + 1);
    std::vector<size_t> byteBoundaries = text::characterBoundaries(utf8);
    // Walk the UTF-8 and the UTF-16 forms together to turn byte offsets into unit offsets. Decoding
    // replaced each unpaired surrogate unit by one U+FFFD, which keeps a one-to-one scalar walk.
    size_t byte = 0;
    size_t unit = 0;
    size_t next = 0;
    while (true) {
        while (next < byteBoundaries.size() && byteBoundaries[next] == byte) {
            offsets.push_back(unit);
            ++next;
        }
        if (byte >= utf8.size()) break;
        unsigned char lead = static_cast<unsigned char>(utf8[byte]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        byte += length;
        unit += length == 4 ? 2 : 1;
    }
    return offsets;
}

int64_t BinaryDistinctString::count() const {
    return static_cast<int64_t>(characterUnitOffsets().size()) - 1;
}

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
    std::vector<size_t> offsets = characterUnitOffsets();
    std::vector<BinaryDistinctCharacter> out;
    out.reserve(offsets.size() - 1);
    for (size_t k = 1; k < offsets.size(); ++k) {
        out.emplace_back(std::u16string_view(value_).substr(offsets[k - 1], offsets[k] - offsets[k - 1]));
    }
    return out;
}

BinaryDistinctString BinaryDistinctString::substring(int64_t lower, int64_t upper) const {
    std::vector<size_t> offsets = characterUnitOffsets();
    int64_t characterCount = static_cast<int64_t>(offsets.size()) - 1;
    if (lower < 0 || upper > characterCount || lower > upper) outOfBounds();
    size_t from = offsets[static_cast<size_t>(lower)];
    size_t to = offsets[static_cast<size_t>(upper)];
    return BinaryDistinctString(value_.substr(from, to - from));
}

BinaryDistinctString BinaryDistinctString::substring(int64_t lower) const {
    std::vector<size_t> offsets = characterUnitOffsets();
    int64_t characterCount = static_cast<int64_t>(offsets.size()) - 1;
    if (lower < 0 || lower > characterCount) outOfBounds();
    return BinaryDistinctString(value_.substr(offsets[static_cast<size_t>(lower)]));
}

}  // namespace hub

#pragma once
// Strings that compare, order and hash by their exact UTF-16 code units, never normalised: the
// precomposed é (U+00E9) and e + U+0301 stay two different keys of a configuration dictionary.
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hub {

class BinaryDistinctString;
class Config;

// One character (extended grapheme cluster) as its UTF-16 code units.
class BinaryDistinctCharacter {
public:
    // The text's UTF-16 units (ill-formed UTF-8 becomes U+FFFD).
    BinaryDistinctCharacter(std::string_view text);
    BinaryDistinctCharacter(const std::string& text) : BinaryDistinctCharacter(std::string_view(text)) {}
    BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}
    // Exactly these units.
    explicit BinaryDistinctCharacter(std::u16string_view bytes) : bytes_(bytes) {}

    const std::u16string& bytes() const { return bytes_; }
    // BinaryDistinctCharacter('é', bytes: ["0xE9"])
    std::string description() const;

    friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;

private:
    std::u16string bytes_;
};

class BinaryDistinctString {
public:
    BinaryDistinctString() = default;
    // From text: its UTF-16 units (ill-formed UTF-8, encoded surrogates included, becomes U+FFFD).
    BinaryDistinctString(std::string_view text);
    BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(std::string&& text);
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
    // Exactly these units, unpaired surrogates included.
    explicit BinaryDistinctString(std::u16string_view units);
    explicit BinaryDistinctString(const BinaryDistinctCharacter& character)
        : BinaryDistinctString(std::u16string_view(character.bytes())) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    // The UTF-16 code units.
    std::u16string value() const;
    bool empty() const { return units_.empty(); }

    // The text decoded from the units (UTF-8; an unpaired surrogate unit reads as U+FFFD).
    // nsString is the same text; description equals string.
    std::string string() const;
    // The same text without a copy: a view of the stored form, or of `buffer` holding the decoded text when
    // an unpaired surrogate must be replaced. Valid while both are unchanged.
    std::string_view string(std::string& buffer) const;
    std::string nsString() const { return string(); }
    std::string description() const { return string(); }

    // Equality, order and hash are those of the UTF-16 units: the first differing unit decides, a
    // proper prefix sorts first.
    friend bool operator==(const BinaryDistinctString& a, const BinaryDistinctString& b) {
        return a.units_ == b.units_;
    }
    friend std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b);
    size_t hash() const { return std::hash<std::string_view>{}(units_); }

    friend BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b);
    bool hasPrefix(const BinaryDistinctString& prefix) const;
    bool hasSuffix(const BinaryDistinctString& suffix) const;
    // Full Unicode case mapping of the decoded text (the length may change).
    BinaryDistinctString lowercased() const;
    // Replaces every occurrence of the target's text, matching whole characters by canonical
    // equivalence (the one operation that does not compare by units).
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // Positions count characters (extended grapheme clusters) of the decoded text: 0...count.
    int64_t count() const;
    int64_t startIndex() const { return 0; }
    int64_t endIndex() const { return count(); }
    // i + n; throws foundation::RuntimeError("Index out of bounds") outside 0...count.
    int64_t index(int64_t i, int64_t offsetBy) const;
    // i + n, or nothing when it lies above the limit.
    std::optional<int64_t> index(int64_t i, int64_t offsetBy, int64_t limitedBy) const;
    // The characters in order (the iteration of the string).
    std::vector<BinaryDistinctCharacter> characters() const;
    // The sub-string between two character positions; the open form runs to the end. Throws
    // foundation::RuntimeError("Index out of bounds") unless 0 <= lower <= upper <= count.
    BinaryDistinctString substring(int64_t lower, int64_t upper) const;
    BinaryDistinctString substring(int64_t lower) const;

private:
    friend class Config;
    struct Encoded {};
    BinaryDistinctString(Encoded, std::string units) : units_(std::move(units)) {}
    // Byte offset of each character boundary (0 ... units_.size()).
    std::vector<size_t> characterOffsets() const;

    // The units in their one-to-one 8-bit form: UTF-8, with an unpaired surrogate unit written as its
    // own three-byte sequence (a paired one always as part of a four-byte sequence). Well-formed text,
    // nearly every key, is stored exactly as its UTF-8, so reading and converting it costs nothing.
    std::string units_;
};

// Types a key can be given as: anything a BinaryDistinctString is made from.
template <class T>
concept StringConvertible = std::constructible_from<BinaryDistinctString, const T&>;

struct BinaryDistinctStringHash {
    size_t operator()(const BinaryDistinctString& s) const { return s.hash(); }
};

template <class Value>
using BinaryDistinctDictionary = std::unordered_map<BinaryDistinctString, Value, BinaryDistinctStringHash>;

// Adds the other dictionary's entries (its keys converted first): an absent key takes the incoming
// value, a present one strategy(current, incoming).
template <class Value, class OtherMap, class Strategy>
    requires StringConvertible<typename OtherMap::key_type>
void merge(BinaryDistinctDictionary<Value>& into, const OtherMap& other, Strategy strategy) {
    for (const auto& [key, incoming] : other) {
        BinaryDistinctString converted(key);
        auto found = into.find(converted);
        if (found == into.end()) {
            into.emplace(std::move(converted), incoming);
        } else {
            found->second = strategy(found->second, incoming);
        }
    }
}

template <class Value, class OtherMap, class Strategy>
    requires StringConvertible<typename OtherMap::key_type>
BinaryDistinctDictionary<Value> merging(const BinaryDistinctDictionary<Value>& dictionary, const OtherMap& other,
                                        Strategy strategy) {
    BinaryDistinctDictionary<Value> copy = dictionary;
    merge(copy, other, std::move(strategy));
    return copy;
}

}  // namespace hub

template <>
struct std::hash<hub::BinaryDistinctString> {
    size_t operator()(const hub::BinaryDistinctString& s) const { return s.hash(); }
};

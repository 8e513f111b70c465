#pragma once
// Look-up tables of the tokenization models. Vocabulary keys compare as exact UTF-8 bytes (the same as
// comparing exact UTF-16 code units).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokenizers {

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A map from text that string views look up without building a string.
template <class Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

// An open-addressing map from a 64-bit key (two 32-bit ids) to a small value, for the merge hot loop.
template <class Value>
class PairMap {
public:
    static uint64_t key(uint32_t a, uint32_t b) { return (uint64_t{a} << 32) | b; }

    void reserve(size_t count) {
        size_t capacity = std::bit_ceil(std::max<size_t>(16, count * 2));
        if (capacity > slots_.size()) {
            rehash(capacity);
        }
    }

    // Inserts or replaces.
    void set(uint64_t key, Value value) {
        if ((size_ + 1) * 2 > slots_.size()) {
            rehash(std::max<size_t>(16, slots_.size() * 2));
        }
        Slot& slot = find(key);
        if (slot.key != emptyKey) {
            slot.value = value;
            return;
        }
        slot.key = key;
        slot.value = value;
        ++size_;
    }

    const Value* get(uint64_t key) const {
        if (slots_.empty()) {
            return nullptr;
        }
        const Slot& slot = const_cast<PairMap*>(this)->find(key);
        return slot.key == emptyKey ? nullptr : &slot.value;
    }

    size_t size() const { return size_; }

private:
    static constexpr uint64_t emptyKey = ~uint64_t{0};  // both halves the "no symbol" id
    struct Slot {
        uint64_t key = emptyKey;
        Value value{};
    };

    Slot& find(uint64_t key) {
        size_t mask = slots_.size() - 1;
        size_t index = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
        while (slots_[index].key != emptyKey && slots_[index].key != key) {
            index = (index + 1) & mask;
        }
        return slots_[index];
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(capacity, Slot{});
        for (const Slot& slot : old) {
            if (slot.key != emptyKey) {
                find(slot.key) = slot;
            }
        }
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
};

// Token text to id and back. The inverse is a dense table when the ids are (nearly) 0..n-1, as they are in
// every tokenizer file, else a hash map.
class Vocabulary {
public:
    void reserve(size_t count) { ids_.reserve(count); }
    // Inserts or replaces the token's id. Call finish() after the last change.
    void set(std::string token, int64_t id);
    void finish();

    std::optional<int64_t> id(std::string_view token) const {
        auto it = ids_.find(token);
        if (it == ids_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    const int64_t* find(std::string_view token) const {
        auto it = ids_.find(token);
        return it == ids_.end() ? nullptr : &it->second;
    }
    // The token of an id, or null. When tokens share an id, one of them.
    const std::string* token(int64_t id) const {
        if (id >= 0 && static_cast<uint64_t>(id) < dense_.size()) {
            return dense_[static_cast<size_t>(id)];
        }
        if (sparse_.empty()) {
            return nullptr;
        }
        auto it = sparse_.find(id);
        return it == sparse_.end() ? nullptr : it->second;
    }
    size_t size() const { return ids_.size(); }
    const StringMap<int64_t>& entries() const { return ids_; }

private:
    StringMap<int64_t> ids_;
    std::vector<const std::string*> dense_;  // keys of ids_, whose addresses never move
    std::unordered_map<int64_t, const std::string*> sparse_;
};

}  // namespace tokenizers

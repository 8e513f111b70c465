#pragma once
// Look-up tables of the tokenization models. Keys compare as exact UTF-8 bytes (the same as comparing exact
// UTF-16 code units). The tables are flat (open addressing, keys in one arena), so a look-up on the encoding
// hot path is one inline hash and, almost always, one probe.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokenizers {

// A 32-bit hash spread over [0, size): tables of any size, not only powers of two, so a large one is not
// twice the memory it needs (fresh memory costs more to fault in than the probes it saves).
inline size_t rangeIndex(uint32_t hash, size_t size) { return static_cast<size_t>((uint64_t{hash} * size) >> 32); }

// A fast 64-bit hash of a short text (vocabulary tokens are mostly under 16 bytes).
inline uint64_t hashBytes(std::string_view s) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (s.size() * 0xC2B2AE3D27D4EB4Full);
    const char* p = s.data();
    size_t n = s.size();
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        h = (h ^ v) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        uint64_t v = 0;
        std::memcpy(&v, p, n);
        h = (h ^ v) * 0x94D049BB133111EBull;
        h ^= h >> 29;
    }
    h = (h ^ (h >> 32)) * 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
}

// Text to a small value. Inserting may move keys; string views of keys stay valid only while nothing is
// inserted.
template <class Value>
class StringMap {
public:
    // Room for `count` keys of `keyBytes` bytes in all without growing.
    void reserve(size_t count, size_t keyBytes = 0) {
        size_t capacity = std::max<size_t>(16, count * 4 / 3 + 1);
        if (capacity > slots_.size()) {
            rehash(capacity);
        }
        arena_.reserve(keyBytes);
    }

    // Inserts or replaces.
    void set(std::string_view key, Value value) {
        bool inserted = false;
        Value& stored = findOrInsert(key, value, inserted);
        stored = value;
    }

    // The value stored under the key; when there is none, `value` is stored first and `inserted` set.
    Value& findOrInsert(std::string_view key, Value value, bool& inserted) {
        // Up to three quarters full: a large vocabulary's table is fresh memory, which costs more to fault in
        // than the extra probes (each slot's hash rejects other keys unread).
        if ((size_ + 1) * 4 > slots_.size() * 3) {
            rehash(std::max<size_t>(16, slots_.size() * 2));
        }
        uint32_t hash = hash32(key);
        Slot& slot = slots_[probe(key, hash)];
        inserted = slot.length == emptyLength;
        if (inserted) {
            slot = Slot{hash, static_cast<uint32_t>(arena_.size()), static_cast<uint32_t>(key.size()), value};
            arena_.append(key);
            ++size_;
        }
        return slot.value;
    }

    const Value* find(std::string_view key) const {
        if (slots_.empty()) {
            return nullptr;
        }
        const Slot& slot = slots_[probe(key, hash32(key))];
        return slot.length == emptyLength ? nullptr : &slot.value;
    }

    size_t size() const { return size_; }

    // Calls visit(key, value, place) for every entry, in no particular order. The place names the entry for
    // keyAt() for as long as nothing is inserted.
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (size_t index = 0; index < slots_.size(); ++index) {
            const Slot& slot = slots_[index];
            if (slot.length != emptyLength) {
                visit(std::string_view(arena_).substr(slot.offset, slot.length), slot.value,
                      static_cast<uint32_t>(index));
            }
        }
    }

    // The place of a key (see forEach), or nothing.
    std::optional<uint32_t> placeOf(std::string_view key) const {
        if (slots_.empty()) {
            return std::nullopt;
        }
        auto place = static_cast<uint32_t>(probe(key, hash32(key)));
        return slots_[place].length == emptyLength ? std::nullopt : std::optional<uint32_t>(place);
    }
    // Places are below this count.
    size_t placeCount() const { return slots_.size(); }

    std::string_view keyAt(uint32_t place) const {
        const Slot& slot = slots_[place];
        return std::string_view(arena_).substr(slot.offset, slot.length);
    }

private:
    static constexpr uint32_t emptyLength = ~uint32_t{0};
    // The top half of the hash: its top bits pick the slot, all of it rejects most other keys unread.
    struct Slot {
        uint32_t hash = 0;
        uint32_t offset = 0;
        uint32_t length = emptyLength;
        Value value{};
    };

    static uint32_t hash32(std::string_view key) { return static_cast<uint32_t>(hashBytes(key) >> 32); }

    size_t probe(std::string_view key, uint32_t hash) const {
        size_t index = rangeIndex(hash, slots_.size());
        while (true) {
            const Slot& slot = slots_[index];
            if (slot.length == emptyLength ||
                (slot.hash == hash && slot.length == key.size() &&
                 std::memcmp(arena_.data() + slot.offset, key.data(), key.size()) == 0)) {
                return index;
            }
            index = index + 1 == slots_.size() ? 0 : index + 1;
        }
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(capacity, Slot{});
        for (const Slot& slot : old) {
            if (slot.length != emptyLength) {
                size_t index = rangeIndex(slot.hash, capacity);
                while (slots_[index].length != emptyLength) {
                    index = index + 1 == capacity ? 0 : index + 1;
                }
                slots_[index] = slot;
            }
        }
    }

    std::vector<Slot> slots_;
    std::string arena_;
    size_t size_ = 0;
};

// An open-addressing map from a 64-bit key (two 32-bit ids) to a small value, for the merge hot loop.
template <class Value>
class PairMap {
public:
    static uint64_t key(uint32_t a, uint32_t b) { return (uint64_t{a} << 32) | b; }

    void reserve(size_t count) {
        size_t capacity = std::max<size_t>(16, count * 5 / 3 + 1);
        if (capacity > slots_.size()) {
            rehash(capacity);
        }
    }

    // Inserts or replaces.
    void set(uint64_t key, Value value) {
        // Up to three fifths full: most look-ups on the hot path miss, and a miss probes until an empty slot.
        if ((size_ + 1) * 5 > slots_.size() * 3) {
            rehash(std::max<size_t>(16, slots_.size() * 2));
        }
        Slot& slot = slots_[probe(key)];
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
        const Slot& slot = slots_[probe(key)];
        return slot.key == emptyKey ? nullptr : &slot.value;
    }

    size_t size() const { return size_; }

private:
    static constexpr uint64_t emptyKey = ~uint64_t{0};  // both halves the "no symbol" id
    struct Slot {
        uint64_t key = emptyKey;
        Value value{};
    };

    size_t probe(uint64_t key) const {
        // Fibonacci hashing: the top bits of the product depend on every bit of the key.
        uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
        size_t index = rangeIndex(static_cast<uint32_t>(mixed >> 32), slots_.size());
        while (slots_[index].key != emptyKey && slots_[index].key != key) {
            index = index + 1 == slots_.size() ? 0 : index + 1;
        }
        return index;
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(capacity, Slot{});
        for (const Slot& slot : old) {
            if (slot.key != emptyKey) {
                slots_[probe(slot.key)] = slot;
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
    void reserve(size_t count, size_t keyBytes = 0) { ids_.reserve(count, keyBytes); }
    // Inserts or replaces the token's id. Call finish() after the last change.
    void set(std::string_view token, int64_t id) { ids_.set(token, id); }
    void finish();

    std::optional<int64_t> id(std::string_view token) const {
        const int64_t* found = ids_.find(token);
        return found ? std::optional<int64_t>(*found) : std::nullopt;
    }
    const int64_t* find(std::string_view token) const { return ids_.find(token); }
    // A number below placeCount() that names the token while the vocabulary stays unchanged, or nothing.
    std::optional<uint32_t> placeOf(std::string_view token) const { return ids_.placeOf(token); }
    size_t placeCount() const { return ids_.placeCount(); }
    // The token of an id. When tokens share an id, one of them.
    std::optional<std::string_view> token(int64_t id) const {
        if (id >= 0 && static_cast<uint64_t>(id) < dense_.size()) {
            uint32_t place = dense_[static_cast<size_t>(id)];
            return place != noPlace ? std::optional<std::string_view>(ids_.keyAt(place)) : std::nullopt;
        }
        auto it = sparse_.find(id);
        return it == sparse_.end() ? std::nullopt : std::optional<std::string_view>(it->second);
    }
    size_t size() const { return ids_.size(); }

private:
    static constexpr uint32_t noPlace = ~uint32_t{0};
    StringMap<int64_t> ids_;
    std::vector<uint32_t> dense_;  // the place in ids_ of each id's token, which no longer moves; noPlace for none
    std::unordered_map<int64_t, std::string_view> sparse_;
};

}  // namespace tokenizers

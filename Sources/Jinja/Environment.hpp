#pragma once
// A variable scope with a parent chain. Scopes are shared reference objects (EnvironmentPtr).
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "Jinja/TextFastPaths.hpp"
#include "Jinja/Value.hpp"

namespace jinja {

// How many times this thread has given a scope a function value (as a variable or a loop item),
// handed out a variable for writing, or lent a scope to a function from outside. A render that starts with no function in its scope chain and
// sees this count unchanged knows that no function can stand in for a built-in filter or test.
inline thread_local uint64_t functionBindings = 0;

// The variables of one scope: unique names in insertion order. A name is found by its hash without
// building a string, so a lookup allocates nothing; small scopes (loop, macro and caller scopes) are
// searched by a scan of their hashes, larger ones through an index.
class ScopeVariables {
public:
    using Element = std::pair<std::string, Value>;
    using const_iterator = std::vector<Element>::const_iterator;
    using iterator = std::vector<Element>::iterator;

    ScopeVariables() = default;
    ScopeVariables(std::initializer_list<Element> elements);
    // A context or an object's entries become variables (in their order).
    ScopeVariables(const foundation::OrderedDictionary<Value>& entries);

    size_t size() const { return elements_.size(); }
    bool empty() const { return elements_.empty(); }
    void reserve(size_t count) {
        elements_.reserve(count);
        hashes_.reserve(count);
    }
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    const Value* find(std::string_view name) const { return find(name, hashName(name)); }
    Value* find(std::string_view name) {
        functionBits_ = ~uint64_t{0};  // the caller may store a function through it
        ++functionBindings;
        return const_cast<Value*>(std::as_const(*this).find(name));
    }
    // `hash` is hashName(name), computed once for a whole scope chain.
    const Value* find(std::string_view name, uint32_t hash) const {
        size_t i = indexOf(name, hash);
        return i < elements_.size() ? &elements_[i].second : nullptr;
    }

    // Inserts at the end, or replaces the value in place when the name exists.
    void set(std::string_view name, Value value);
    void set(std::string_view name, uint32_t hash, const Value& value) { store(name, hash, value); }
    void set(std::string_view name, uint32_t hash, Value&& value) { store(name, hash, std::move(value)); }
    // Makes the variable the string `text`, reusing its string storage when it holds a string already.
    void setText(std::string_view name, uint32_t hash, std::string_view text) {
        size_t i = indexOf(name, hash);
        if (i < elements_.size())
            elements_[i].second.assignString(text);
        else
            store(name, hash, Value(text));
    }
    // Inserts only when absent; false for a name already present.
    bool insertNew(std::string_view name, Value value);
    bool erase(std::string_view name);
    void clear();

    std::vector<std::string> keys() const;
    const Element& at(size_t position) const { return elements_.at(position); }
    const_iterator begin() const { return elements_.begin(); }
    const_iterator end() const { return elements_.end(); }
    // Values may be changed through iteration; names must not be.
    iterator begin() {
        functionBits_ = ~uint64_t{0};
        ++functionBindings;
        return elements_.begin();
    }
    iterator end() { return elements_.end(); }

    // False when no function value is stored under a name of this hash (true may be a false alarm).
    bool mayHoldFunction(uint32_t hash) const { return (functionBits_ >> (hash & 63)) & 1; }
    bool mayHoldAnyFunction() const { return functionBits_ != 0; }

    friend bool operator==(const ScopeVariables& a, const ScopeVariables& b) { return a.elements_ == b.elements_; }

    static constexpr uint32_t hashName(std::string_view name) {
        // Eight bytes at a time with a multiplicative mix: names are short.
        uint64_t h = 0x9E3779B97F4A7C15ull ^ name.size();
        size_t i = 0;
        for (; i + 8 <= name.size(); i += 8) {
            h = (h ^ word8(name, i)) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        }
        h = (h ^ littleEndianWord(name, i, name.size() - i)) * 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 29;
        return static_cast<uint32_t>(h);
    }

private:
    // Eight bytes as a little-endian word: one load at run time (the machine is little-endian).
    static constexpr uint64_t word8(std::string_view text, size_t at) {
        static_assert(std::endian::native == std::endian::little);
        if (std::is_constant_evaluated()) return littleEndianWord(text, at, 8);
        uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        return word;
    }
    static constexpr uint64_t littleEndianWord(std::string_view text, size_t at, size_t count) {
        uint64_t word = 0;
        for (size_t k = 0; k < count; ++k) word |= static_cast<uint64_t>(static_cast<unsigned char>(text[at + k])) << (8 * k);
        return word;
    }
    template <class V>
    void store(std::string_view name, uint32_t hash, V&& value);
    // The position of the name, size() when absent. Names are compared only where the hashes agree.
    size_t indexOf(std::string_view name, uint32_t hash) const {
        const uint32_t* hashes = hashes_.data();
        const size_t count = hashes_.size();
        if (slots_.empty()) {
            for (size_t i = 0; i < count; ++i)
                if (hashes[i] == hash && sameName(i, name)) return i;
            return count;
        }
        const uint32_t* slots = slots_.data();
        const size_t mask = slots_.size() - 1;
        for (size_t slot = hash & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
            size_t i = slots[slot] - 1;
            if (hashes[i] == hash && sameName(i, name)) return i;
        }
        return count;
    }
    bool sameName(size_t position, std::string_view name) const { return fastText::sameBytes(elements_[position].first, name); }
    void rebuildIndex();

    std::vector<Element> elements_;
    std::vector<uint32_t> hashes_;  // parallel to elements_
    std::vector<uint32_t> slots_;   // open addressing over hashes_ (position + 1; 0 is free), large scopes only
    uint64_t functionBits_ = 0;     // bit (hash % 64) of every name that was given a function value
};

class Environment : public std::enable_shared_from_this<Environment> {
public:
    using Variables = ScopeVariables;

    // A scope whose variables start as `initial`. In a root scope (no parent) every built-in global is
    // visible under its name, in place of an initial entry of that name; a variable the template sets
    // later hides it.
    explicit Environment(EnvironmentPtr parent = nullptr, Variables initial = {});
    static EnvironmentPtr make(EnvironmentPtr parent = nullptr, Variables initial = {});
    // A scope for a loop body under `parent`: one that this thread gave back, else a new one.
    static EnvironmentPtr makeLoopScope(EnvironmentPtr parent);
    // Gives a loop scope back for a later makeLoopScope on this thread, when nothing else holds it.
    // The caller makes sure that nothing of the template holds it weakly either (nothing but a call
    // block does); a scope lent to a function is never given back.
    static void giveBackLoopScope(EnvironmentPtr&& scope);
    // `function` is about to be called with this scope. A function from outside may keep a weak
    // reference to it or to any scope above it, which must then expire with that scope rather than
    // see it serve another loop: the whole chain is marked. The built-in globals keep none.
    void lendToFunction(const Value& function) const;

    // The own binding, else the parent chain's, else the global of that name, else undefined. Never fails.
    Value operator[](std::string_view name) const { return lookup(name); }
    Value lookup(std::string_view name) const;
    // Writes into this scope's own variables.
    void set(std::string_view name, Value value);
    void set(std::string_view name, uint32_t hash, const Value& value);
    void set(std::string_view name, uint32_t hash, Value&& value);
    // Writes the string `text` into this scope's own variables (a part of the old value may be passed).
    void setText(std::string_view name, uint32_t hash, std::string_view text);
    // Writes into the nearest scope that already holds the name, else into the root scope.
    void setInChain(const std::string& name, Value value);

    const EnvironmentPtr& parent() const { return parent_; }

    Variables variables;
    bool lstripBlocks = false;  // kept for callers; the engine does not consult them
    bool trimBlocks = false;

    // --- The interpreter's side.

    // The position of a for statement's current item. The loop scope's "loop" variable is the loop
    // object of that position; it is built only when something reads it whole, its members are answered
    // from the position.
    struct LoopPosition {
        int64_t index = 0;   // zero-based, among all items
        int64_t length = 0;  // all items, also those the loop test skips

        // The loop object: index, index0, first, last, length, revindex, revindex0, cycle.
        Value object() const;
        // `loop.name`: the same as the member of the loop object.
        Value member(std::string_view name) const;
        // The eight members by position; memberNamed gives the position of a name, or -1.
        Value member(int position) const {
            switch (position) {
                case 0: return Value(index + 1);
                case 1: return Value(index);
                case 2: return Value(index == 0);
                case 3: return Value(index + 1 == length);
                case 4: return Value(length);
                case 5: return Value(length - index);
                case 6: return Value(length - index - 1);
                default: return cycle();
            }
        }
        static int memberNamed(std::string_view name);

    private:
        Value cycle() const;
    };
    // Binds "loop" to the loop object of this position (a later write of "loop" replaces it).
    void bindLoop(int64_t index, int64_t length);
    // The items a for statement walks, kept by its loop scope; the loop variable is bound to one of them
    // in place, without a copy (a later write of the name replaces it).
    const Value& keepItems(Value items) {
        items_ = std::move(items);
        return items_;
    }
    // The next item for the name bindItem bound last.
    void rebindItem(const Value* item) {
        if (item->isFunction()) ++functionBindings;
        item_ = item;
    }
    void bindItem(std::string_view name, uint32_t hash, const Value* item) {
        if (item->isFunction()) ++functionBindings;
        if (!item_ || itemHash_ != hash || !fastText::sameBytes(itemName_, name)) itemName_ = name;
        itemHash_ = hash;
        item_ = item;
        itemKey_ = nullptr;
    }
    // As bindItem, for a name that stays put for the whole render (a compiled template's own
    // string): a lookup passing that same string is answered without comparing the bytes.
    void bindItemNamed(const std::string& name, uint32_t hash, const Value* item) {
        bindItem(name, hash, item);
        itemKey_ = name.data();
    }

    // A name looked up through the chain: a variable's value (owned by its scope, valid until that
    // scope's variables change), or the position whose loop object the name stands for, or neither
    // (undefined).
    struct Binding {
        const Value* value = nullptr;
        const LoopPosition* loop = nullptr;
    };
    [[gnu::always_inline]] Binding resolve(std::string_view name, uint32_t hash) const {
        // The innermost loop's variable and "loop" are the names read most; "loop" wins when both match.
        if (loopBound_ && hash == loopHash && fastText::sameBytes(name, "loop")) return {nullptr, &loop_};
        if (isItem(name, hash)) return {item_, nullptr};
        return resolveInChain(name, hash);
    }
    Binding resolve(std::string_view name) const { return resolve(name, ScopeVariables::hashName(name)); }
    // The function value the name is bound to through the chain, or null (unbound, or bound to
    // something else): what may stand in for a built-in filter or test of that name.
    const Value* function(std::string_view name, uint32_t hash) const;
    // Whether any scope of the chain may hold a function value, as a variable or as its loop item.
    bool chainMayHoldFunction() const {
        for (const Environment* scope = this; scope; scope = scope->parent_.get())
            if (scope->variables.mayHoldAnyFunction() || (scope->item_ && scope->item_->isFunction())) return true;
        return false;
    }
    // The same for a name that no built-in global has: most scopes are passed over by one bit test.
    const Value* functionNotGlobal(std::string_view name, uint32_t hash) const {
        for (const Environment* scope = this; scope; scope = scope->parent_.get())
            if (scope->variables.mayHoldFunction(hash) || (scope->item_ && scope->item_->isFunction())) return function(name, hash);
        return nullptr;
    }

private:
    static constexpr uint32_t loopHash = ScopeVariables::hashName("loop");
    Binding resolveInChain(std::string_view name, uint32_t hash) const;
    [[gnu::always_inline]] bool isItem(std::string_view name, uint32_t hash) const {
        return item_ && itemHash_ == hash && (name.data() == itemKey_ || fastText::sameBytes(itemName_, name));
    }
    bool holds(std::string_view name) const;

    EnvironmentPtr parent_;
    LoopPosition loop_;
    bool loopBound_ = false;  // "loop" is the loop object of loop_
    mutable bool lent_ = false;  // handed to a function (see lendToFunction)
    Value items_;
    const Value* item_ = nullptr;  // when set, itemName_ stands for this element of items_
    std::string itemName_;
    const char* itemKey_ = nullptr;  // bindItemNamed's string, which spells itemName_
    uint32_t itemHash_ = 0;
};

}  // namespace jinja

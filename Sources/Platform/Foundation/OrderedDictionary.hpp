#pragma once
// An insertion-ordered dictionary with unique string keys: iteration follows insertion order,
// replacing a value keeps the key's place, removal closes the gap.
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace foundation {

template <class Value>
class OrderedDictionary {
public:
    using Element = std::pair<std::string, Value>;
    using const_iterator = typename std::vector<Element>::const_iterator;
    using iterator = typename std::vector<Element>::iterator;

    OrderedDictionary() = default;
    OrderedDictionary(std::initializer_list<Element> elements) {
        for (const auto& e : elements) set(e.first, e.second);
    }

    size_t size() const { return elements_.size(); }
    bool empty() const { return elements_.empty(); }
    bool contains(std::string_view key) const { return index_.find(std::string(key)) != index_.end(); }

    const Value* find(std::string_view key) const {
        auto it = index_.find(std::string(key));
        return it == index_.end() ? nullptr : &elements_[it->second].second;
    }
    Value* find(std::string_view key) {
        auto it = index_.find(std::string(key));
        return it == index_.end() ? nullptr : &elements_[it->second].second;
    }

    // Inserts at the end, or replaces the value in place when the key exists.
    void set(std::string key, Value value) {
        auto it = index_.find(key);
        if (it != index_.end()) {
            elements_[it->second].second = std::move(value);
            return;
        }
        index_.emplace(key, elements_.size());
        elements_.emplace_back(std::move(key), std::move(value));
    }
    // Inserts only when absent; returns false for a duplicate key (decoding rejects those).
    bool insertNew(std::string key, Value value) {
        if (contains(key)) return false;
        set(std::move(key), std::move(value));
        return true;
    }
    bool erase(std::string_view key) {
        auto it = index_.find(std::string(key));
        if (it == index_.end()) return false;
        size_t position = it->second;
        index_.erase(it);
        elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(position));
        for (auto& entry : index_)
            if (entry.second > position) --entry.second;
        return true;
    }
    void clear() {
        elements_.clear();
        index_.clear();
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> result;
        result.reserve(elements_.size());
        for (const auto& e : elements_) result.push_back(e.first);
        return result;
    }
    const Element& at(size_t position) const { return elements_.at(position); }

    const_iterator begin() const { return elements_.begin(); }
    const_iterator end() const { return elements_.end(); }
    // Values may be changed through iteration; keys must not be.
    iterator begin() { return elements_.begin(); }
    iterator end() { return elements_.end(); }

    friend bool operator==(const OrderedDictionary& a, const OrderedDictionary& b) {
        return a.elements_ == b.elements_;
    }

private:
    std::vector<Element> elements_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace foundation

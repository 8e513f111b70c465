#pragma once
// A prefix tree over sequences of elements. Nodes live in one vector and refer to each other by index, so
// a vocabulary of several hundred thousand pieces costs one allocation per node that has children, and
// dropping the trie never recurses.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tokenizers {

template <class Element>
class Trie {
public:
    struct TrieNode {
        bool isLeaf = false;
        // Sorted by element, so a lookup is a binary search.
        std::vector<std::pair<Element, uint32_t>> children;
    };

    Trie() : nodes_(1) {}

    // Adds one sequence; an empty sequence marks the root. Returns the index of the node it ends at.
    template <class Sequence>
    uint32_t insert(const Sequence& sequence) {
        uint32_t node = 0;
        for (const Element& element : sequence) {
            auto& children = nodes_[node].children;
            auto it = std::lower_bound(children.begin(), children.end(), element,
                                       [](const auto& child, const Element& e) { return child.first < e; });
            if (it != children.end() && it->first == element) {
                node = it->second;
                continue;
            }
            auto next = static_cast<uint32_t>(nodes_.size());
            children.insert(it, {element, next});
            nodes_.emplace_back();  // may reallocate: `children` is not used past this point
            node = next;
        }
        nodes_[node].isLeaf = true;
        return node;
    }

    template <class Sequences>
    void append(const Sequences& sequences) {
        for (const auto& sequence : sequences) {
            insert(sequence);
        }
    }

    const TrieNode& root() const { return nodes_[0]; }
    const TrieNode& node(uint32_t index) const { return nodes_[index]; }
    size_t nodeCount() const { return nodes_.size(); }

    // The child of `node` for `element`, if any.
    std::optional<uint32_t> child(uint32_t node, const Element& element) const {
        const auto& children = nodes_[node].children;
        auto it = std::lower_bound(children.begin(), children.end(), element,
                                   [](const auto& child, const Element& e) { return child.first < e; });
        if (it == children.end() || !(it->first == element)) {
            return std::nullopt;
        }
        return it->second;
    }

    // Walks `text` from the root and yields every consumed prefix that ends at a leaf, shortest first;
    // matching goes on past a leaf and stops at the first element without a child.
    class LeavesWithCommonPrefixIterator {
    public:
        LeavesWithCommonPrefixIterator(const Trie& trie, std::span<const Element> text) : trie_(&trie), text_(text) {}

        // The next prefix ending at a leaf (valid until the following call), or null when the walk ends.
        const std::vector<Element>* next() {
            while (position_ < text_.size() && !finished_) {
                const Element& element = text_[position_++];
                std::optional<uint32_t> child = trie_->child(node_, element);
                if (!child) {
                    finished_ = true;
                    break;
                }
                node_ = *child;
                seq_.push_back(element);
                if (trie_->node(node_).isLeaf) {
                    return &seq_;
                }
            }
            return nullptr;
        }

    private:
        const Trie* trie_;
        std::span<const Element> text_;
        uint32_t node_ = 0;
        size_t position_ = 0;
        bool finished_ = false;
        std::vector<Element> seq_;
    };

    LeavesWithCommonPrefixIterator commonPrefixSearch(std::span<const Element> text) const {
        return LeavesWithCommonPrefixIterator(*this, text);
    }

private:
    std::vector<TrieNode> nodes_;
};

}  // namespace tokenizers

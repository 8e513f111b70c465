#include "Tokenizers/TokenLattice.hpp"

#include <algorithm>

#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace tokenizers {

std::string TokenLatticeNode::description() const {
    return "TokenLatticeNode(tokenId: " + std::to_string(tokenId) + ", startOffset: " + std::to_string(startOffset) +
           ", length: " + std::to_string(length) + ", score: " + foundation::formatFloat(score) +
           ", prev: " + (prev ? "true" : "false") + ", backtraceScore: " + foundation::formatFloat(backtraceScore) +
           ")";
}

TokenLattice::TokenLattice(std::string sentence, int64_t bosTokenId, int64_t eosTokenId)
    : TokenLattice(sentence, foundation::text::characterBoundaries(sentence), bosTokenId, eosTokenId) {}

TokenLattice::TokenLattice(std::string sentence, std::vector<size_t> characterBoundaries, int64_t bosTokenId,
                           int64_t eosTokenId)
    : sentence_(std::move(sentence)),
      boundaries_(std::move(characterBoundaries)),
      bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
    auto len = static_cast<int64_t>(boundaries_.size() - 1);
    beginNodes_.resize(static_cast<size_t>(len) + 1);
    endNodes_.resize(static_cast<size_t>(len) + 1);
    nodes_.push_back(TokenLatticeNode{bosTokenId, 0, 0, 0, std::nullopt, 0});
    nodes_.push_back(TokenLatticeNode{eosTokenId, len, 0, 0, std::nullopt, 0});
    beginNodes_[static_cast<size_t>(len)].push_back(1);
    endNodes_[0].push_back(0);
}

void TokenLattice::insert(int64_t startOffset, int64_t length, float score, int64_t tokenId) {
    // A piece covers at least one Character of the sentence; anything else could only make the path cyclic.
    auto len = static_cast<int64_t>(boundaries_.size() - 1);
    if (startOffset < 0 || length < 1 || startOffset > len - length) {
        return;
    }
    size_t index = nodes_.size();
    nodes_.push_back(TokenLatticeNode{tokenId, startOffset, length, score, std::nullopt, 0});
    beginNodes_[static_cast<size_t>(startOffset)].push_back(index);
    endNodes_[static_cast<size_t>(startOffset + length)].push_back(index);
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
    size_t len = boundaries_.size() - 1;
    for (size_t p = 0; p <= len; ++p) {
        if (beginNodes_[p].empty()) {
            return {};
        }
        for (size_t r : beginNodes_[p]) {
            nodes_[r].prev.reset();
            std::optional<size_t> best;
            float bestScore = 0;
            for (size_t l : endNodes_[p]) {
                float score = nodes_[l].backtraceScore + nodes_[r].score;
                if (!best || score > bestScore) {
                    best = l;
                    bestScore = score;
                }
            }
            if (best) {
                nodes_[r].prev = best;
                nodes_[r].backtraceScore = bestScore;
            }
        }
    }
    std::vector<TokenLatticeNode> path;
    const TokenLatticeNode& end = nodes_[beginNodes_[len][0]];
    if (!end.prev) {
        return path;
    }
    for (size_t node = *end.prev; nodes_[node].prev; node = *nodes_[node].prev) {
        path.push_back(nodes_[node]);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::vector<std::string> TokenLattice::tokens() {
    std::vector<std::string> out;
    for (const TokenLatticeNode& node : viterbi()) {
        size_t begin = boundaries_[static_cast<size_t>(node.startOffset)];
        size_t end = boundaries_[static_cast<size_t>(node.startOffset + node.length)];
        out.emplace_back(sentence_.substr(begin, end - begin));
    }
    return out;
}

}  // namespace tokenizers

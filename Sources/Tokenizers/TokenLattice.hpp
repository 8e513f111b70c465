#pragma once
// The lattice of every vocabulary piece found in a sentence, and its best path by summed piece scores.
// Positions and lengths count Characters (extended grapheme clusters) of the sentence.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokenizers {

struct TokenLatticeNode {
    int64_t tokenId = 0;
    int64_t startOffset = 0;
    int64_t length = 0;
    float score = 0;
    // The best predecessor, an index into the lattice's `nodes`.
    std::optional<size_t> prev;
    float backtraceScore = 0;

    std::string description() const;
};

class TokenLattice {
public:
    TokenLattice(std::string sentence, int64_t bosTokenId, int64_t eosTokenId);
    // The same with the sentence's Character boundaries (byte offsets, first 0, last the byte count) known.
    TokenLattice(std::string sentence, std::vector<size_t> characterBoundaries, int64_t bosTokenId,
                 int64_t eosTokenId);

    // Offsets and lengths outside the sentence are ignored.
    void insert(int64_t startOffset, int64_t length, float score, int64_t tokenId);

    // The best path from the start of the sentence, without the begin and end nodes; empty when some
    // position has no node beginning there.
    std::vector<TokenLatticeNode> viterbi();

    // The best path's piece texts.
    std::vector<std::string> tokens();

    const std::string& sentence() const { return sentence_; }
    int64_t bosTokenId() const { return bosTokenId_; }
    int64_t eosTokenId() const { return eosTokenId_; }
    const std::vector<TokenLatticeNode>& nodes() const { return nodes_; }
    const std::vector<std::vector<size_t>>& beginNodes() const { return beginNodes_; }
    const std::vector<std::vector<size_t>>& endNodes() const { return endNodes_; }

private:
    std::string sentence_;
    std::vector<size_t> boundaries_;
    int64_t bosTokenId_;
    int64_t eosTokenId_;
    std::vector<TokenLatticeNode> nodes_;
    std::vector<std::vector<size_t>> beginNodes_;
    std::vector<std::vector<size_t>> endNodes_;
};

}  // namespace tokenizers

#include "Tokenizers/UnigramTokenizer.hpp"

#include <algorithm>

#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/TokenLattice.hpp"

namespace tokenizers {

UnigramTokenizer::UnigramTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                   const AddedTokens&) {
    hub::Config model = tokenizerData["model"];
    const hub::Config::Array* entries = model["vocab"].array();
    if (!entries) {
        throw TokenizerError::missingVocab();
    }
    vocab_.reserve(entries->size());
    for (const hub::Config& entry : *entries) {
        const hub::Config::Array* pair = entry.array();
        if (!pair || pair->empty()) {
            throw TokenizerError::malformedVocab();
        }
        std::optional<std::string> token = pair->front().string();
        const hub::Config& last = pair->back();
        std::optional<float> score = last.isInteger() || last.isFloating() ? last.floating() : std::nullopt;
        if (!token || !score) {
            throw TokenizerError::malformedVocab();
        }
        minScore_ = std::min(minScore_, *score);
        vocab_.push_back({std::move(*token), *score});
    }

    std::optional<int64_t> unknownId = model["unkId"].integer();
    // An unknown id that names no piece is as malformed as a missing one.
    if (!unknownId || *unknownId < 0 || static_cast<uint64_t>(*unknownId) >= vocab_.size()) {
        throw TokenizerError::malformedVocab();
    }
    unknownTokenId_ = unknownId;
    unknownPiece_ = {vocab_[static_cast<size_t>(*unknownId)].token, minScore_ - 10};

    tokensToIds_.reserve(vocab_.size());
    pieceAtNode_.reserve(vocab_.size() * 2);
    for (size_t id = 0; id < vocab_.size(); ++id) {
        // A piece listed twice would leave one of its ids unreachable: not a valid vocabulary.
        if (tokensToIds_.find(vocab_[id].token)) {
            throw TokenizerError::malformedVocab();
        }
        tokensToIds_.set(vocab_[id].token, static_cast<int64_t>(id));
        uint32_t node = trie_.insert(std::string_view(vocab_[id].token));
        if (pieceAtNode_.size() <= node) {
            pieceAtNode_.resize(std::max<size_t>(node + 1, pieceAtNode_.size() * 2), -1);
        }
        pieceAtNode_[node] = static_cast<int32_t>(id);
    }

    auto idOf = [&](const std::string& token) -> std::optional<int64_t> {
        const int64_t* found = tokensToIds_.find(token);
        return found ? std::optional<int64_t>(*found) : std::nullopt;
    };
    bosTokenId_ = idOf(" ");
    eosToken_ = tokenizerConfig["eosToken"].string();
    eosTokenId_ = eosToken_ ? idOf(*eosToken_) : std::nullopt;
}

std::vector<std::string> UnigramTokenizer::tokenize(std::string_view text) const {
    std::vector<size_t> boundaries = foundation::text::characterBoundaries(text);
    size_t length = boundaries.size() - 1;
    if (length == 0) {
        return {};
    }
    // Character index of each byte offset that is a boundary, -1 elsewhere.
    std::vector<int32_t> characterAt(text.size() + 1, -1);
    for (size_t k = 0; k <= length; ++k) {
        characterAt[boundaries[k]] = static_cast<int32_t>(k);
    }
    TokenLattice lattice(std::string(text), boundaries, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    for (size_t p = 0; p < length; ++p) {
        bool singleCharacter = false;
        uint32_t node = 0;
        for (size_t byte = boundaries[p]; byte < text.size(); ++byte) {
            std::optional<uint32_t> child = trie_.child(node, text[byte]);
            if (!child) {
                break;
            }
            node = *child;
            int32_t end = characterAt[byte + 1];
            if (!trie_.node(node).isLeaf || end < 0) {
                continue;
            }
            int32_t id = pieceAtNode_[node];
            auto pieceLength = static_cast<int64_t>(end) - static_cast<int64_t>(p);
            lattice.insert(static_cast<int64_t>(p), pieceLength, vocab_[static_cast<size_t>(id)].score, id);
            singleCharacter = singleCharacter || pieceLength == 1;
        }
        if (!singleCharacter) {
            lattice.insert(static_cast<int64_t>(p), 1, unknownPiece_.score, unknownTokenId_.value_or(0));
        }
    }
    return lattice.tokens();
}

std::optional<int64_t> UnigramTokenizer::convertTokenToId(std::string_view token) const {
    const int64_t* found = tokensToIds_.find(token);
    return found ? std::optional<int64_t>(*found) : unknownTokenId_;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int64_t id) const {
    if (id < 0 || static_cast<uint64_t>(id) >= vocab_.size()) {
        return std::nullopt;
    }
    return vocab_[static_cast<size_t>(id)].token;
}

}  // namespace tokenizers

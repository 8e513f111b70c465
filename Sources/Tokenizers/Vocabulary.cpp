#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

void Vocabulary::set(std::string token, int64_t id) {
    ids_.insert_or_assign(std::move(token), id);
}

void Vocabulary::finish() {
    dense_.clear();
    sparse_.clear();
    // Dense when the table stays within twice the entry count (plus slack for a few high special ids).
    size_t limit = ids_.size() * 2 + 1024;
    int64_t maxDense = -1;
    for (const auto& [token, id] : ids_) {
        if (id >= 0 && static_cast<uint64_t>(id) < limit) {
            maxDense = std::max(maxDense, id);
        }
    }
    dense_.assign(static_cast<size_t>(maxDense + 1), nullptr);
    for (const auto& [token, id] : ids_) {
        if (id >= 0 && id <= maxDense) {
            dense_[static_cast<size_t>(id)] = &token;
        } else {
            sparse_[id] = &token;
        }
    }
}

}  // namespace tokenizers

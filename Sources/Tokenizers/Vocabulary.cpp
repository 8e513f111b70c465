#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

void Vocabulary::finish() {
    dense_.clear();
    sparse_.clear();
    // Dense when the table stays within twice the entry count (plus slack for a few high special ids).
    size_t limit = ids_.size() * 2 + 1024;
    int64_t maxDense = -1;
    ids_.forEach([&](std::string_view, int64_t id, uint32_t) {
        if (id >= 0 && static_cast<uint64_t>(id) < limit) {
            maxDense = std::max(maxDense, id);
        }
    });
    dense_.assign(static_cast<size_t>(maxDense + 1), noPlace);
    ids_.forEach([&](std::string_view token, int64_t id, uint32_t place) {
        if (id >= 0 && id <= maxDense) {
            dense_[static_cast<size_t>(id)] = place;
        } else {
            sparse_[id] = token;
        }
    });
}

}  // namespace tokenizers

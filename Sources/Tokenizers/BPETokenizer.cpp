#include "Tokenizers/BPETokenizer.hpp"

#include <unicode/utf8.h>

#include <algorithm>
#include <deque>

#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/ConfigReading.hpp"

namespace tokenizers {

namespace text = foundation::text;

namespace {

constexpr uint32_t noSymbol = ~uint32_t{0};
constexpr uint32_t noRank = ~uint32_t{0};
// One-scalar symbols below this scalar are found through a table instead of a string hash.
constexpr char32_t scalarTableSize = 0x3000;
// Pieces up to this many Characters find the best pair by scanning; longer ones use a heap.
constexpr size_t scanLimit = 48;

// The scalar of a text that is exactly one scalar, else nothing. Read in place: loading asks this of every
// merge symbol.
std::optional<char32_t> singleScalar(std::string_view s) {
    if (s.empty() || s.size() > 4) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(s.data());
    size_t next = 0;
    UChar32 c = 0;
    U8_NEXT(data, next, s.size(), c);
    return c >= 0 && next == s.size() ? std::optional<char32_t>(static_cast<char32_t>(c)) : std::nullopt;
}

std::string hexaToken(uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string{'<', '0', 'x', digits[byte >> 4], digits[byte & 15], '>'};
}

// Per-thread buffers of the merge loop, so tokenizing a piece allocates nothing once warm.
struct MergeScratch {
    struct Symbol {
        uint32_t start;
        uint32_t end;
        uint32_t id;
        int32_t prev;
        int32_t next;
    };
    std::vector<size_t> boundaries;
    std::vector<Symbol> symbols;
    std::vector<uint32_t> pairRanks;  // rank of the pair (i, next(i)), or noRank
    std::vector<std::pair<uint32_t, int32_t>> heap;
    std::vector<int32_t> batch;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

MergeScratch& scratch() {
    thread_local MergeScratch buffers;
    return buffers;
}

}  // namespace

// --- BytePair

bool operator==(const BytePair& x, const BytePair& y) { return x.a == y.a && x.b == y.b; }

size_t BytePair::hash() const {
    size_t h = std::hash<std::string>{}(a);
    return h ^ (std::hash<std::string>{}(b) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
}

// --- Construction

namespace {

// Calls visit(parts, count) with the parts of each merge of a merge list, in order: an array's string
// elements, or a string cut at every space (empty parts kept). The parts view the Config's own texts (or a
// reused buffer in the rare case a text needs decoding), so reading a long list copies nothing. False when
// the value is not an array.
template <class Visit>
bool forEachMerge(const hub::Config& merges, Visit&& visit) {
    const hub::Config::Array* items = merges.array();
    if (!items) {
        return false;
    }
    std::vector<std::string_view> parts;
    // One buffer per part; a deque keeps the buffers (and views of them) in place as it grows.
    std::deque<std::string> buffers;
    auto part = [&](size_t index) -> std::string_view& {
        if (parts.size() <= index) {
            parts.resize(index + 1);
            buffers.resize(index + 1);
        }
        return parts[index];
    };
    for (const hub::Config& item : *items) {
        size_t count = 0;
        if (const hub::Config::Array* elements = item.array()) {
            for (const hub::Config& element : *elements) {
                if (const hub::BinaryDistinctString* s = element.value().stringPayload()) {
                    std::string_view& slot = part(count);
                    slot = s->string(buffers[count]);
                    ++count;
                }
            }
        } else if (const hub::BinaryDistinctString* s = item.value().stringPayload()) {
            std::string_view text = s->string(buffers.empty() ? buffers.emplace_back() : buffers.front());
            size_t start = 0;
            while (true) {
                size_t space = text.find(' ', start);
                size_t end = space == std::string_view::npos ? text.size() : space;
                part(count++) = text.substr(start, end - start);
                if (space == std::string_view::npos) {
                    break;
                }
                start = space + 1;
            }
        } else {
            continue;
        }
        visit(static_cast<const std::vector<std::string_view>&>(parts), count);
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const hub::Config& merges) {
    std::vector<std::vector<std::string>> out;
    if (!forEachMerge(merges, [&](const std::vector<std::string_view>& parts, size_t count) {
            out.emplace_back(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(count));
        })) {
        return std::nullopt;
    }
    return out;
}

BPETokenizer::BPETokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                           const AddedTokens& addedTokens) {
    hub::Config model = tokenizerData["model"];
    hub::Config merges = model["merges"];
    if (!merges.isArray()) {
        throw TokenizerError::invalidDefinition("BPETokenizer requires merges");
    }
    const hub::Config::Dictionary* vocab = model["vocab"].dictionary();
    if (!vocab) {
        throw TokenizerError::missingVocab();
    }

    // Room for long tokens: reserved pages that are never written cost nothing, growing copies the keys.
    vocabulary_.reserve(vocab->size() + addedTokens.size(), (vocab->size() + addedTokens.size()) * 24);
    std::string decoded;
    for (const auto& [key, value] : *vocab) {
        if (auto id = value.integer()) {
            vocabulary_.set(key.string(decoded), *id);
        }
    }
    for (const auto& [content, id] : addedTokens) {
        vocabulary_.set(content, id);
    }
    vocabulary_.finish();

    // Merge symbols are named by their exact text: a vocabulary token (as merge parts and results nearly
    // always are) by its place in the vocabulary, so no second table of the same texts is built; any other
    // text by a number after the places. Pairs of symbols map to the rank and the result.
    extraSymbolBase_ = static_cast<uint32_t>(vocabulary_.placeCount());
    scalarSymbols_.assign(scalarTableSize, noSymbol);
    ranks_.reserve(merges.array()->size());
    std::string joined;
    uint32_t rank = 0;
    forEachMerge(merges, [&](const std::vector<std::string_view>& parts, size_t count) {
        uint32_t position = rank++;
        // A merge without two parts has no pair; an empty part never meets a symbol, which is never empty.
        if (count < 2 || parts[0].empty() || parts[1].empty() || position == noRank) {
            return;
        }
        uint32_t a = internSymbol(parts[0]);
        uint32_t b = internSymbol(parts[1]);
        joined.assign(parts[0]).append(parts[1]);
        uint32_t merged = internSymbol(joined);
        ranks_.set(PairMap<Merge>::key(a, b), Merge{position, merged});
    });

    auto idOf = [&](const std::optional<std::string>& token) -> std::optional<int64_t> {
        return token ? vocabulary_.id(*token) : std::nullopt;
    };
    unknownToken_ = tokenContent(tokenizerConfig["unkToken"]);
    unknownTokenId_ = idOf(unknownToken_);
    eosToken_ = tokenContent(tokenizerConfig["eosToken"]);
    eosTokenId_ = idOf(eosToken_);
    bosToken_ = tokenContent(tokenizerConfig["bosToken"]);
    bosTokenId_ = idOf(bosToken_);
    fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean(false);
}

uint32_t BPETokenizer::internSymbol(std::string_view symbol) {
    uint32_t id = 0;
    if (std::optional<uint32_t> place = vocabulary_.placeOf(symbol)) {
        id = *place;
    } else {
        bool inserted = false;
        id = extraSymbols_.findOrInsert(symbol, extraSymbolBase_ + static_cast<uint32_t>(extraSymbols_.size()),
                                        inserted);
        if (id == noSymbol) {
            throw TokenizerError::invalidDefinition("BPETokenizer: too many merge symbols");
        }
    }
    if (auto scalar = singleScalar(symbol); scalar && *scalar < scalarTableSize) {
        scalarSymbols_[*scalar] = id;
    }
    return id;
}

uint32_t BPETokenizer::symbolId(std::string_view symbol) const {
    if (std::optional<uint32_t> place = vocabulary_.placeOf(symbol)) {
        return *place;
    }
    const uint32_t* found = extraSymbols_.find(symbol);
    return found ? *found : noSymbol;
}

// The merge symbol a Character of a piece stands for, by its exact spelling (as the vocabulary compares); noSymbol
// when no merge mentions it.
uint32_t BPETokenizer::symbolOf(std::string_view character) const {
    auto lead = static_cast<uint8_t>(character[0]);
    bool oneByte = character.size() == 1 && lead < 0x80;
    bool twoBytes = character.size() == 2 && lead >= 0xC2 && lead < 0xE0 &&
                    (static_cast<uint8_t>(character[1]) & 0xC0) == 0x80;
    if (oneByte || twoBytes) {
        char32_t scalar = character.size() == 1
                              ? lead
                              : (char32_t{lead & 0x1Fu} << 6) | (static_cast<uint8_t>(character[1]) & 0x3Fu);
        if (scalar < scalarTableSize) {
            return scalarSymbols_[scalar];
        }
    }
    return symbolId(character);
}

// --- Merging

// Repeatedly merges every occurrence, from the left, of the adjacent pair with the lowest rank, until no
// pair has a rank. Symbols are byte ranges of the piece, so the result is always the piece's own text.
void BPETokenizer::merge(std::string_view piece, std::vector<std::pair<uint32_t, uint32_t>>& out) const {
    out.clear();
    MergeScratch& buffers = scratch();
    text::characterBoundaries(piece, buffers.boundaries);
    const std::vector<size_t>& boundaries = buffers.boundaries;
    size_t count = boundaries.size() - 1;
    if (count < 2) {
        if (count == 1) {
            out.emplace_back(0, static_cast<uint32_t>(piece.size()));
        }
        return;
    }

    auto& symbols = buffers.symbols;
    auto& pairRanks = buffers.pairRanks;
    symbols.resize(count);
    pairRanks.resize(count);
    for (size_t i = 0; i < count; ++i) {
        auto start = static_cast<uint32_t>(boundaries[i]);
        auto end = static_cast<uint32_t>(boundaries[i + 1]);
        symbols[i] = {start, end, symbolOf(piece.substr(start, end - start)), static_cast<int32_t>(i) - 1,
                      i + 1 < count ? static_cast<int32_t>(i + 1) : -1};
    }
    auto rankAt = [&](int32_t i) -> uint32_t {
        int32_t next = symbols[static_cast<size_t>(i)].next;
        if (next < 0) {
            return noRank;
        }
        uint32_t a = symbols[static_cast<size_t>(i)].id;
        uint32_t b = symbols[static_cast<size_t>(next)].id;
        if (a == noSymbol || b == noSymbol) {
            return noRank;
        }
        const Merge* merge = ranks_.get(PairMap<Merge>::key(a, b));
        return merge ? merge->rank : noRank;
    };
    // Merges symbol i with its successor (whose pair has the given rank); returns the new pair ranks to
    // consider: of i with its new successor, and of i's predecessor with i.
    auto mergeAt = [&](int32_t i) {
        auto& left = symbols[static_cast<size_t>(i)];
        auto& right = symbols[static_cast<size_t>(left.next)];
        left.id = ranks_.get(PairMap<Merge>::key(left.id, right.id))->merged;
        left.end = right.end;
        left.next = right.next;
        if (right.next >= 0) {
            symbols[static_cast<size_t>(right.next)].prev = i;
        }
        right.prev = -2;  // consumed
        pairRanks[static_cast<size_t>(i)] = rankAt(i);
        if (left.prev >= 0) {
            pairRanks[static_cast<size_t>(left.prev)] = rankAt(left.prev);
        }
    };
    for (size_t i = 0; i < count; ++i) {
        pairRanks[i] = rankAt(static_cast<int32_t>(i));
    }

    if (count <= scanLimit) {
        // Short pieces: find the lowest rank by a scan, then merge its occurrences left to right. A merged
        // symbol is never followed by the same pair again (it differs from the pair's first symbol), so
        // refreshing ranks as we go equals rewriting the whole word first.
        while (true) {
            uint32_t best = noRank;
            for (int32_t i = 0; i >= 0; i = symbols[static_cast<size_t>(i)].next) {
                best = std::min(best, pairRanks[static_cast<size_t>(i)]);
            }
            if (best == noRank) {
                break;
            }
            for (int32_t i = 0; i >= 0; i = symbols[static_cast<size_t>(i)].next) {
                if (pairRanks[static_cast<size_t>(i)] == best) {
                    mergeAt(i);
                }
            }
        }
    } else {
        // Long pieces: a heap of (rank, position). All occurrences of the lowest rank are taken out together
        // and merged left to right before any pair they create is considered, as in the scan.
        auto& heap = buffers.heap;
        heap.clear();
        for (size_t i = 0; i < count; ++i) {
            if (pairRanks[i] != noRank) {
                heap.emplace_back(pairRanks[i], static_cast<int32_t>(i));
            }
        }
        auto later = std::greater<>();
        std::make_heap(heap.begin(), heap.end(), later);
        auto& batch = buffers.batch;
        while (!heap.empty()) {
            uint32_t rank = heap.front().first;
            batch.clear();
            while (!heap.empty() && heap.front().first == rank) {
                std::pop_heap(heap.begin(), heap.end(), later);
                batch.push_back(heap.back().second);
                heap.pop_back();
            }
            for (int32_t i : batch) {
                if (symbols[static_cast<size_t>(i)].prev == -2 || pairRanks[static_cast<size_t>(i)] != rank) {
                    continue;  // consumed, or its pair changed
                }
                mergeAt(i);
                for (int32_t j : {i, symbols[static_cast<size_t>(i)].prev}) {
                    if (j >= 0 && pairRanks[static_cast<size_t>(j)] != noRank) {
                        heap.emplace_back(pairRanks[static_cast<size_t>(j)], j);
                        std::push_heap(heap.begin(), heap.end(), later);
                    }
                }
            }
        }
    }
    for (int32_t i = 0; i >= 0; i = symbols[static_cast<size_t>(i)].next) {
        out.emplace_back(symbols[static_cast<size_t>(i)].start, symbols[static_cast<size_t>(i)].end);
    }
}

std::string BPETokenizer::bpe(std::string_view token) const {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    merge(token, ranges);
    std::string out;
    for (const auto& [start, end] : ranges) {
        if (!out.empty()) {
            out += ' ';
        }
        out.append(token.substr(start, end - start));
    }
    return out;
}

std::optional<int64_t> BPETokenizer::bpeRank(const BytePair& pair) const {
    uint32_t a = symbolId(pair.a);
    uint32_t b = symbolId(pair.b);
    if (a == noSymbol || b == noSymbol) {
        return std::nullopt;
    }
    const Merge* merge = ranks_.get(PairMap<Merge>::key(a, b));
    return merge ? std::optional<int64_t>(merge->rank) : std::nullopt;
}

// --- Tokenizing

std::vector<std::string> BPETokenizer::hexaEncode(std::string_view text) {
    std::vector<std::string> out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(hexaToken(static_cast<uint8_t>(c)));
    }
    return out;
}

std::vector<std::string> BPETokenizer::byteEncode(std::string_view text) {
    std::vector<std::string> out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(byteEncoder()[static_cast<uint8_t>(c)]);
    }
    return out;
}

// A merged symbol is a token when the vocabulary holds it under an id other than the unknown one; any other
// symbol becomes its byte tokens. Spaces inside a symbol separate tokens and vanish.
void BPETokenizer::appendTokens(std::string_view symbol, std::vector<std::string>& out) const {
    size_t start = 0;
    while (start < symbol.size()) {
        size_t space = symbol.find(' ', start);
        size_t end = space == std::string_view::npos ? symbol.size() : space;
        if (end > start) {
            std::string_view part = symbol.substr(start, end - start);
            const int64_t* id = vocabulary_.find(part);
            if (id && (!unknownTokenId_ || *id != *unknownTokenId_)) {
                out.emplace_back(part);
            } else {
                for (char c : part) {
                    out.push_back(hexaToken(static_cast<uint8_t>(c)));
                }
            }
        }
        start = end + 1;
    }
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
    std::vector<std::string> out;
    std::vector<std::pair<uint32_t, uint32_t>>& ranges = scratch().ranges;
    merge(text, ranges);
    for (const auto& [start, end] : ranges) {
        appendTokens(text.substr(start, end - start), out);
    }
    return out;
}

std::optional<int64_t> BPETokenizer::convertTokenToId(std::string_view token) const {
    if (const int64_t* id = vocabulary_.find(token)) {
        return *id;
    }
    return unknownTokenId_;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int64_t id) const {
    if (std::optional<std::string_view> token = vocabulary_.token(id)) {
        return std::string(*token);
    }
    return std::nullopt;
}

}  // namespace tokenizers

#include "Tokenizers/AddedTokenMatcher.hpp"

#include <unicode/utf8.h>

#include <algorithm>
#include <numeric>

#include "Platform/Foundation/Text.hpp"

namespace tokenizers {

namespace text = foundation::text;

namespace {

// Length in Characters, for the longest-first order. ASCII text without a carriage return has one Character
// per byte, which spares the break iterator for nearly every token of a large definition.
size_t characterLength(std::string_view s) {
    bool plain = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80 && c != '\r'; });
    return plain ? s.size() : text::characterCount(s);
}

// The bytes of the white-space character (the White_Space property, as "\s" means) at `position`, or 0.
size_t whitespaceLength(std::string_view text, size_t position) {
    auto lead = static_cast<uint8_t>(text[position]);
    if (lead < 0x80) {
        return (lead >= 0x09 && lead <= 0x0D) || lead == 0x20 ? 1 : 0;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    size_t next = position;
    UChar32 c = 0;
    U8_NEXT(data, next, text.size(), c);
    return c >= 0 && text::isWhitespaceOrNewline(static_cast<char32_t>(c)) ? next - position : 0;
}

// Lead bytes of the white-space characters (all of them lie in the Basic Multilingual Plane).
const std::vector<bool>& whitespaceLeadBytes() {
    static const std::vector<bool> leads = [] {
        std::vector<bool> out(256, false);
        for (char32_t c = 0; c < 0x10000; ++c) {
            if ((c < 0xD800 || c > 0xDFFF) && text::isWhitespaceOrNewline(c)) {
                out[static_cast<uint8_t>(text::fromScalar(c)[0])] = true;
            }
        }
        return out;
    }();
    return leads;
}

}  // namespace

AddedTokenMatcher::AddedTokenMatcher(std::vector<AddedTokenPattern> tokens) {
    std::erase_if(tokens, [](const AddedTokenPattern& token) { return token.content.empty(); });
    std::vector<size_t> lengths;
    lengths.reserve(tokens.size());
    size_t bytes = 0;
    for (const AddedTokenPattern& token : tokens) {
        lengths.push_back(characterLength(token.content));
        bytes += token.content.size();
    }
    std::vector<uint32_t> order(tokens.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return lengths[a] > lengths[b]; });

    contents_.reserve(bytes);
    for (uint32_t index : order) {
        contents_ += tokens[index].content;
    }
    alternatives_.reserve(tokens.size());
    size_t offset = 0;
    for (uint32_t index : order) {
        const AddedTokenPattern& token = tokens[index];
        alternatives_.push_back(
            {static_cast<uint32_t>(offset), static_cast<uint32_t>(token.content.size()), token.lstrip, token.rstrip});
        offset += token.content.size();
        hasLstrip_ = hasLstrip_ || token.lstrip;
    }

    // The trie, built from the contents in byte order: each content shares the path of its common prefix with
    // the one before it, so each node's edges are made in increasing byte order and only need grouping.
    std::vector<uint32_t> sorted(alternatives_.size());
    std::iota(sorted.begin(), sorted.end(), 0);
    std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
        return content(alternatives_[a]) < content(alternatives_[b]);
    });
    struct Made {
        uint32_t parent;
        uint8_t byte;
        uint32_t node;
    };
    std::vector<Made> made;
    made.reserve(bytes);
    nodes_.reserve(bytes + 1);
    nodes_.emplace_back();
    std::vector<uint32_t> path{0};  // the nodes along the previous content
    std::string_view previous;
    for (uint32_t index : sorted) {
        std::string_view token = content(alternatives_[index]);
        size_t common = 0;
        while (common < token.size() && common < previous.size() && token[common] == previous[common]) {
            ++common;
        }
        path.resize(common + 1);
        for (size_t depth = common; depth < token.size(); ++depth) {
            auto node = static_cast<uint32_t>(nodes_.size());
            nodes_.emplace_back();
            made.push_back({path.back(), static_cast<uint8_t>(token[depth]), node});
            path.push_back(node);
        }
        Node& end = nodes_[path.back()];
        end.bestAny = std::min(end.bestAny, index);
        if (alternatives_[index].lstrip) {
            end.bestLstrip = std::min(end.bestLstrip, index);
        }
        previous = token;
    }
    for (const Made& edge : made) {
        ++nodes_[edge.parent].edgeCount;
    }
    uint32_t first = 0;
    for (Node& node : nodes_) {
        node.firstEdge = first;
        first += node.edgeCount;
        node.edgeCount = 0;
    }
    edges_.resize(made.size());
    for (const Made& edge : made) {
        Node& parent = nodes_[edge.parent];
        edges_[parent.firstEdge + parent.edgeCount++] = {edge.byte, edge.node};
    }

    std::fill(std::begin(rootChildren_), std::end(rootChildren_), none);
    std::fill(std::begin(mayStart_), std::end(mayStart_), false);
    for (uint32_t k = 0; k < nodes_[0].edgeCount; ++k) {
        const Edge& edge = edges_[nodes_[0].firstEdge + k];
        rootChildren_[edge.byte] = edge.node;
        mayStart_[edge.byte] = true;
    }
    if (hasLstrip_) {
        const std::vector<bool>& leads = whitespaceLeadBytes();
        for (size_t byte = 0; byte < 256; ++byte) {
            mayStart_[byte] = mayStart_[byte] || leads[byte];
        }
    }
}

AddedTokenMatcher::Best AddedTokenMatcher::bestAt(std::string_view text, size_t position) const {
    Best best;
    if (position >= text.size()) {
        return best;
    }
    uint32_t node = rootChildren_[static_cast<uint8_t>(text[position])];
    size_t next = position + 1;
    while (node != none) {
        const Node& here = nodes_[node];
        best.any = std::min(best.any, here.bestAny);
        best.lstrip = std::min(best.lstrip, here.bestLstrip);
        if (next == text.size() || here.edgeCount == 0) {
            break;
        }
        auto byte = static_cast<uint8_t>(text[next++]);
        const Edge* begin = edges_.data() + here.firstEdge;
        const Edge* end = begin + here.edgeCount;
        const Edge* edge = std::lower_bound(begin, end, byte, [](const Edge& e, uint8_t b) { return e.byte < b; });
        node = edge != end && edge->byte == byte ? edge->node : none;
    }
    return best;
}

// The lstrip alternatives whose tokens begin inside one run of white space (after its first character) or
// right after it.
struct AddedTokenMatcher::WhitespaceRun {
    size_t start = 0;
    size_t end = 0;  // the first byte after the run
    // (position, first lstrip alternative beginning at this position or later in the run), by position
    std::vector<std::pair<size_t, uint32_t>> suffixBest;
};

bool AddedTokenMatcher::find(std::string_view text, size_t position, WhitespaceRun& run, Match& match) const {
    size_t size = text.size();
    for (size_t p = position; p < size; ++p) {
        while (p < size && !mayStart_[static_cast<uint8_t>(text[p])]) {
            ++p;
        }
        if (p == size) {
            break;
        }
        uint32_t winner = bestAt(text, p).any;
        size_t runEnd = p;
        if (hasLstrip_ && whitespaceLength(text, p) > 0) {
            if (p < run.start || p >= run.end) {
                run.start = p;
                run.end = p;
                run.suffixBest.clear();
                for (size_t length; run.end < size && (length = whitespaceLength(text, run.end)) > 0;) {
                    run.end += length;
                    if (uint32_t lstrip = bestAt(text, run.end).lstrip; lstrip != none) {
                        run.suffixBest.emplace_back(run.end, lstrip);
                    }
                }
                for (size_t k = run.suffixBest.size(); k-- > 1;) {
                    run.suffixBest[k - 1].second = std::min(run.suffixBest[k - 1].second, run.suffixBest[k].second);
                }
            }
            runEnd = run.end;
            // An lstrip token that begins after p within the run (or right after it) matches from p.
            auto later = std::upper_bound(run.suffixBest.begin(), run.suffixBest.end(), p,
                                          [](size_t q, const auto& entry) { return q < entry.first; });
            if (later != run.suffixBest.end()) {
                winner = std::min(winner, later->second);
            }
        }
        if (winner != none) {
            match = matchOf(text, p, runEnd, winner);
            return true;
        }
    }
    return false;
}

// The match of an alternative found at `start`. An lstrip token is taken at the last place in [start, runEnd]
// where it occurs, as a greedy run of white space in front of it would leave it.
AddedTokenMatcher::Match AddedTokenMatcher::matchOf(std::string_view text, size_t start, size_t runEnd,
                                                    uint32_t alternative) const {
    const Alternative& token = alternatives_[alternative];
    size_t tokenStart = start;
    if (token.lstrip) {
        for (size_t q = start; q <= runEnd;) {
            if (text.substr(q, token.length) == content(token)) {
                tokenStart = q;
            }
            size_t length = q < runEnd ? whitespaceLength(text, q) : 0;
            if (length == 0) {
                break;
            }
            q += length;
        }
    }
    size_t end = tokenStart + token.length;
    if (token.rstrip) {
        for (size_t length; end < text.size() && (length = whitespaceLength(text, end)) > 0;) {
            end += length;
        }
    }
    return {start, tokenStart, tokenStart + token.length, end};
}

void AddedTokenMatcher::split(std::string_view text, std::vector<std::pair<std::string_view, bool>>& sections) const {
    sections.clear();
    size_t position = 0;
    Match match{};
    WhitespaceRun run;
    while (position < text.size() && find(text, position, run, match)) {
        if (match.start > position) {
            sections.emplace_back(text.substr(position, match.start - position), false);
        }
        sections.emplace_back(text.substr(match.tokenStart, match.tokenEnd - match.tokenStart), true);
        position = match.end;
    }
    if (position < text.size() || sections.empty()) {
        sections.emplace_back(text.substr(position), false);
    }
}

}  // namespace tokenizers

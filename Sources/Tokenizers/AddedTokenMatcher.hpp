#pragma once
// Cuts text at a tokenizer's added tokens. The rule is that of one alternation tried at each position from the
// left: the alternatives are the tokens, longest first (in Characters; equal lengths keep the file's order), an
// lstrip token also matches after white space (which it swallows, the token taken as late in that white space
// as it occurs) and an rstrip token swallows the white space after it; at the first position where any
// alternative matches, the first matching alternative wins. Rather than running such an alternation (whose cost
// grows with the square of the token count at every "<" or line feed), one byte trie over the tokens gives,
// at each position, the best alternative that occurs there.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tokenizers {

struct AddedTokenPattern {
    std::string content;
    bool lstrip = false;
    bool rstrip = false;
};

class AddedTokenMatcher {
public:
    // The tokens in the file's order. Tokens with empty content take no part.
    explicit AddedTokenMatcher(std::vector<AddedTokenPattern> tokens);

    bool empty() const { return alternatives_.empty(); }

    // The text's sections, each with whether it is an added token: the text between tokens (when not empty)
    // and the tokens themselves, without the white space they swallow. A text without tokens is one section.
    void split(std::string_view text, std::vector<std::pair<std::string_view, bool>>& sections) const;

private:
    static constexpr uint32_t none = ~uint32_t{0};

    struct Alternative {
        uint32_t offset;  // of the content in contents_
        uint32_t length;  // bytes
        bool lstrip;
        bool rstrip;
    };
    struct Node {
        uint32_t firstEdge = 0;
        uint32_t edgeCount = 0;
        uint32_t bestAny = none;     // first alternative (of any kind) whose token ends here
        uint32_t bestLstrip = none;  // first lstrip alternative whose token ends here
    };
    struct Edge {
        uint8_t byte;
        uint32_t node;
    };
    struct Best {
        uint32_t any = none;
        uint32_t lstrip = none;
    };
    // A found token: where the match starts, where the token itself lies and where the match ends.
    struct Match {
        size_t start;
        size_t tokenStart;
        size_t tokenEnd;
        size_t end;
    };

    // The first alternatives whose tokens begin at `position`.
    Best bestAt(std::string_view text, size_t position) const;
    struct WhitespaceRun;
    // The first match at or after `position`, if any. `run` keeps what is known of the white space being
    // crossed, so that searching again within the same run does not scan it again.
    bool find(std::string_view text, size_t position, WhitespaceRun& run, Match& match) const;
    Match matchOf(std::string_view text, size_t start, size_t runEnd, uint32_t alternative) const;
    std::string_view content(const Alternative& alternative) const {
        return std::string_view(contents_).substr(alternative.offset, alternative.length);
    }

    std::string contents_;
    std::vector<Alternative> alternatives_;  // in match order
    std::vector<Node> nodes_;                // node 0 is the root
    std::vector<Edge> edges_;                // each node's edges, sorted by byte
    uint32_t rootChildren_[256];             // the root's child for each first byte, or none
    bool mayStart_[256];                     // bytes where a match may begin
    bool hasLstrip_ = false;
};

}  // namespace tokenizers

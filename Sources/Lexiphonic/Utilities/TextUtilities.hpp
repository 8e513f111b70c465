#pragma once
// How repetitive decoded output is: its raw size over its size after raw DEFLATE compression. A
// decoder stuck in a loop writes highly compressible output, so a high ratio.
#include <cstdint>
#include <string_view>
#include <vector>

namespace lexiphonic {

struct TextUtilities {
    // The tokens as little-endian 32-bit integers (4 bytes each). An empty list gives 0.
    static float compressionRatio(const std::vector<int64_t>& tokens);
    // The text's UTF-8 bytes; the empty text gives +infinity.
    static float compressionRatio(std::string_view text);
};

// The same as TextUtilities::compressionRatio.
float compressionRatio(const std::vector<int64_t>& tokens);
float compressionRatio(std::string_view text);

}  // namespace lexiphonic

#include "Lexiphonic/Utilities/TextUtilities.hpp"

#include <exception>
#include <limits>
#include <string>

#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Compression.hpp"

namespace lexiphonic {
namespace {

// A failed compression counts as endlessly repetitive, so a caller comparing with a threshold retries.
float ratioOf(std::string_view raw) {
    try {
        const std::string compressed = foundation::deflateRaw(raw);
        return static_cast<float>(raw.size()) / static_cast<float>(compressed.size());
    } catch (const foundation::Error& error) {
        pellux::Logging::debug("Compression error: " + error.localizedDescription());
    } catch (const std::exception& error) {
        pellux::Logging::debug(std::string("Compression error: ") + error.what());
    }
    return std::numeric_limits<float>::infinity();
}

}  // namespace

float TextUtilities::compressionRatio(const std::vector<int64_t>& tokens) {
    std::string raw(tokens.size() * 4, '\0');
    for (size_t i = 0; i < tokens.size(); ++i) {
        // Token ids fit 32 bits; the low four bytes, least significant first.
        const auto value = static_cast<uint32_t>(tokens[i]);
        for (size_t b = 0; b < 4; ++b) raw[i * 4 + b] = static_cast<char>((value >> (8 * b)) & 0xFF);
    }
    return ratioOf(raw);
}

float TextUtilities::compressionRatio(std::string_view text) {
    if (text.empty()) return std::numeric_limits<float>::infinity();
    return ratioOf(text);
}

float compressionRatio(const std::vector<int64_t>& tokens) { return TextUtilities::compressionRatio(tokens); }
float compressionRatio(std::string_view text) { return TextUtilities::compressionRatio(text); }

}  // namespace lexiphonic

#include "Tokenizers/ByteEncoder.hpp"

#include <string_view>

namespace tokenizers {

namespace {

// Bytes that are printable and not space keep their own code point; the other 68 take U+0100 onwards in
// ascending byte order.
constexpr bool keepsCodePoint(unsigned byte) {
    return (byte >= 0x21 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xAC) || (byte >= 0xAE && byte <= 0xFF);
}

struct Tables {
    std::array<char32_t, 256> scalars{};
    // UTF-8 of each byte's character: one or two bytes, since every scalar is below U+0800.
    std::array<std::array<char, 2>, 256> utf8{};
    std::array<uint8_t, 256> utf8Length{};
    static constexpr char32_t decodedLimit = 0x144;
    std::array<int16_t, decodedLimit> bytes{};  // scalar to byte, -1 outside the alphabet

    constexpr Tables() {
        for (auto& b : bytes) b = -1;
        char32_t next = 0x100;
        for (unsigned byte = 0; byte < 256; ++byte) {
            char32_t scalar = keepsCodePoint(byte) ? static_cast<char32_t>(byte) : next++;
            scalars[byte] = scalar;
            bytes[scalar] = static_cast<int16_t>(byte);
            if (scalar < 0x80) {
                utf8[byte] = {static_cast<char>(scalar), 0};
                utf8Length[byte] = 1;
            } else {
                utf8[byte] = {static_cast<char>(0xC0 | (scalar >> 6)), static_cast<char>(0x80 | (scalar & 0x3F))};
                utf8Length[byte] = 2;
            }
        }
    }
};

constexpr Tables tables;

}  // namespace

const std::array<std::string, 256>& byteEncoder() {
    static const std::array<std::string, 256> encoder = [] {
        std::array<std::string, 256> table;
        for (unsigned byte = 0; byte < 256; ++byte) {
            table[byte].assign(tables.utf8[byte].data(), tables.utf8Length[byte]);
        }
        return table;
    }();
    return encoder;
}

const std::unordered_map<std::string, uint8_t>& byteDecoder() {
    static const std::unordered_map<std::string, uint8_t> decoder = [] {
        std::unordered_map<std::string, uint8_t> table;
        table.reserve(256);
        const auto& encoder = byteEncoder();
        for (unsigned byte = 0; byte < 256; ++byte) {
            table.emplace(encoder[byte], static_cast<uint8_t>(byte));
        }
        return table;
    }();
    return decoder;
}

char32_t byteEncodedScalar(uint8_t byte) { return tables.scalars[byte]; }

std::optional<uint8_t> byteDecodedScalar(char32_t scalar) {
    if (scalar >= Tables::decodedLimit || tables.bytes[scalar] < 0) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(tables.bytes[scalar]);
}

void appendByteEncoded(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() * 2);
    for (char c : text) {
        auto byte = static_cast<uint8_t>(c);
        out.append(tables.utf8[byte].data(), tables.utf8Length[byte]);
    }
}

}  // namespace tokenizers

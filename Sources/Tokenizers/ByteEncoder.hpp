#pragma once
// The byte-level alphabet: every byte value stands for one visible, non-space character, so that arbitrary
// bytes can live inside a vocabulary of text tokens. Both tables are built once, on first use, by whichever
// thread comes first, and are read-only afterwards.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tokenizers {

// Byte value to its character, as UTF-8.
const std::array<std::string, 256>& byteEncoder();
// Character (as UTF-8) to its byte value: the inverse of byteEncoder.
const std::unordered_map<std::string, uint8_t>& byteDecoder();

// The character of a byte as a scalar; the mapping byteEncoder holds.
char32_t byteEncodedScalar(uint8_t byte);
// The byte a scalar stands for; nothing for a scalar outside the alphabet. The same mapping as byteDecoder,
// looked up without building a string.
std::optional<uint8_t> byteDecodedScalar(char32_t scalar);

// Appends the byte-level characters of the UTF-8 bytes of `text` to `out`.
void appendByteEncoded(std::string& out, std::string_view text);

}  // namespace tokenizers

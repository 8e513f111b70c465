#include "Platform/Foundation/UUID.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace foundation {

namespace {

// The kernel's CSPRNG: thread-safe, no state of our own to seed or lock.
void fillRandom(uint8_t* data, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(data + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<size_t>(got);
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

UUID::UUID() {
    fillRandom(bytes_.data(), bytes_.size());
    bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
    bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<uint8_t, 16> bytes{};
    size_t out = 0;
    for (size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0 || isDashPosition(i + 1)) return std::nullopt;
        bytes[out++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    static const char* const hex = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += hex[bytes_[i] >> 4];
        text += hex[bytes_[i] & 0xF];
    }
    return text;
}

}  // namespace foundation

size_t std::hash<foundation::UUID>::operator()(const foundation::UUID& id) const noexcept {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, id.bytes().data(), 8);
    std::memcpy(&b, id.bytes().data() + 8, 8);
    // Mix both halves so ids that differ in either half spread over the buckets.
    uint64_t h = a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6) + (a >> 2));
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<size_t>(h);
}

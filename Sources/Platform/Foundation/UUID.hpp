#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// A random (version 4) UUID; text form upper-case "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
class UUID {
public:
    UUID();  // a new random UUID
    explicit UUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}
    static std::optional<UUID> fromString(std::string_view text);  // either case accepted
    std::string uuidString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace foundation

template <>
struct std::hash<foundation::UUID> {
    size_t operator()(const foundation::UUID& id) const noexcept;
};

#pragma once
// The audio front end: how loaded audio's channels become one, and the stage's protocol.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lexiphonic {

struct AudioInputConfig {
    // Use one channel (an index outside the file's channels means channel 0), or add up the listed
    // channels (none or an empty list: all of them).
    struct SpecificChannel {
        int64_t channel = 0;
        bool operator==(const SpecificChannel&) const = default;
    };
    struct SumChannels {
        std::optional<std::vector<int64_t>> channels;
        bool operator==(const SumChannels&) const = default;
    };
    using ChannelMode = std::variant<SpecificChannel, SumChannels>;

    ChannelMode channelMode = SumChannels{};

    bool operator==(const AudioInputConfig&) const = default;
};

// Loads, converts and pads audio, and captures live input. The audio front end declares the
// operations; the engine configuration holds a replacement through this base.
class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;
};

}  // namespace lexiphonic

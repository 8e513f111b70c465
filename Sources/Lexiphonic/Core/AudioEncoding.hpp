#pragma once
// The audio encoder stage's protocol.
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

// What the encoder produces.
using AudioEncoderOutputType = coreml::MLMultiArray;

class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    // The embedding width; absent while no model is loaded.
    virtual std::optional<int64_t> embedSize() const = 0;
    // Log-mel features to encoder embeddings; nothing when the stage cannot produce them. A stop
    // request made before the call throws foundation::CancellationError.
    virtual std::shared_ptr<AudioEncoderOutputType> encodeFeatures(std::shared_ptr<coreml::MLMultiArray> features,
                                                                   std::stop_token stopToken = {}) = 0;
};

}  // namespace lexiphonic

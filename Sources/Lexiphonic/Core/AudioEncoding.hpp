#pragma once
// The audio encoder stage's protocol.
#include <cstdint>
#include <memory>
#include <optional>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    // The embedding width; absent while no model is loaded.
    virtual std::optional<int64_t> embedSize() const = 0;
    // Log-mel features to encoder embeddings; nothing when the stage cannot produce them.
    virtual std::shared_ptr<coreml::MLMultiArray> encodeFeatures(std::shared_ptr<coreml::MLMultiArray> features) = 0;
};

}  // namespace lexiphonic

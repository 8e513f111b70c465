#pragma once
// One logits filter of the text decoder.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;
    // Masks forbidden tokens of the [1, 1, vocabulary] logits in place and returns the same array;
    // `tokens` is the window's sequence so far.
    virtual std::shared_ptr<coreml::MLMultiArray> filterLogits(std::shared_ptr<coreml::MLMultiArray> logits,
                                                               const std::vector<int64_t>& tokens) = 0;
};

}  // namespace lexiphonic

#pragma once
// The text-decoder stage: the part of its protocol that the configuration and the decoder inputs rely
// on. Text decoding adds the token loop and language detection.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Lexiphonic/Core/LogitsFiltering.hpp"
#include "Lexiphonic/Core/Models/DecodingInputs.hpp"

namespace lexiphonic {

class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    // Dimensions of the loaded decoder model; absent while none is loaded.
    virtual std::optional<int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<int64_t> windowSize() const = 0;

    // Filters applied before the decoder's own; absent means none.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;

    // New decoder inputs for one transcription, prepared with the prompt's token ids.
    virtual std::shared_ptr<DecodingInputs> prepareDecoderInputs(const std::vector<int64_t>& withPrompt) = 0;
};

}  // namespace lexiphonic

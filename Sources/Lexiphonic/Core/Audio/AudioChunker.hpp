#pragma once
// Cutting long audio into model-window chunks at the middle of pauses, and moving each chunk's
// results back onto the whole recording's timeline.
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/Models/DecodingInputs.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/VoiceActivityDetector.hpp"

namespace lexiphonic {

// The transcription of one chunk: its results, or the error that stopped it.
using ChunkTranscription = std::variant<std::vector<std::shared_ptr<TranscriptionResult>>, std::exception_ptr>;

class AudioChunking {
public:
    virtual ~AudioChunking() = default;
    // Chunks of at most maxChunkLength samples, in time order. Throws WhisperError.
    virtual std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, int64_t maxChunkLength,
                                             const std::optional<DecodingOptions>& decodeOptions) = 0;

    // The successful chunks' results, each shifted by its chunk's offset (changed in place), in
    // order; a failed chunk is logged and left out. Throws foundation::RuntimeError when a result
    // has no chunk.
    std::vector<std::shared_ptr<TranscriptionResult>> updateSeekOffsetsForResults(
        const std::vector<ChunkTranscription>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const;
};

class VADAudioChunker : public AudioChunking {
public:
    // Without a detector the default EnergyVAD is used.
    explicit VADAudioChunker(int64_t windowPadding = 16000, std::shared_ptr<VoiceActivityDetector> vad = nullptr);

    int64_t windowPadding() const { return windowPadding_; }
    const std::shared_ptr<VoiceActivityDetector>& vad() const { return vad_; }

    std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, int64_t maxChunkLength,
                                     const std::optional<DecodingOptions>& decodeOptions) override;

private:
    // The start of the middle frame of the longest pause in the second half of the range, or
    // endIndex when the second half has no pause.
    int64_t splitOnMiddleOfLongestSilence(std::span<const float> audioArray, int64_t startIndex, int64_t endIndex) const;

    int64_t windowPadding_;
    std::shared_ptr<VoiceActivityDetector> vad_;
};

}  // namespace lexiphonic

#include "Lexiphonic/Core/Audio/AudioChunker.hpp"

#include <algorithm>
#include <functional>

#include "Lexiphonic/Core/Audio/EnergyVAD.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/TaskPool.hpp"

namespace lexiphonic {

using pellux::Logging;

namespace {

// Below this many chunks the copies are made in place.
constexpr size_t kParallelCopyChunks = 8;

std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const foundation::Error& e) {
        return e.describe();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

VADAudioChunker::VADAudioChunker(int64_t windowPadding, std::shared_ptr<VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>()) {}

int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(std::span<const float> audioArray, int64_t startIndex,
                                                       int64_t endIndex) const {
    const int64_t mid = startIndex + (endIndex - startIndex) / 2;
    const auto voiced = vad_->voiceActivity(audioArray.subspan(static_cast<size_t>(mid), static_cast<size_t>(endIndex - mid)));
    const auto silence = vad_->findLongestSilence(voiced);
    if (!silence) return endIndex;
    const int64_t middleFrame = silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
    return mid + middleFrame * vad_->frameLengthSamples();
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(std::span<const float> audioArray, int64_t maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) {
    const int64_t n = static_cast<int64_t>(audioArray.size());
    if (n <= maxChunkLength) return {AudioChunk{0, std::vector<float>(audioArray.begin(), audioArray.end())}};

    const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    // The cut points first (each depends on the one before), then the copies, which are
    // independent and, for long recordings, done side by side on the task pool.
    std::vector<SampleRange> ranges;
    for (const auto& clip : options.prepareSeekClips(n)) {
        int64_t seek = clip.start;
        while (seek < clip.end - windowPadding_) {
            if (seek >= n || seek < 0) throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
            int64_t chunkEnd = std::min(clip.end, n);
            if (seek + maxChunkLength < clip.end) {
                chunkEnd = splitOnMiddleOfLongestSilence(audioArray, seek, std::min(seek + maxChunkLength, n));
            }
            if (chunkEnd <= seek) break;
            if (Logging::passes(Logging::LogLevel::debug)) {
                Logging::debug("Found chunk from " + foundation::format("%.2f", static_cast<float>(seek) / 16000.0f) +
                               " to " + foundation::format("%.2f", static_cast<float>(chunkEnd) / 16000.0f));
            }
            ranges.push_back({seek, chunkEnd});
            seek = chunkEnd;
        }
    }
    auto copy = [audioArray](const SampleRange& r) {
        return AudioChunk{r.startIndex, std::vector<float>(audioArray.begin() + r.startIndex, audioArray.begin() + r.endIndex)};
    };
    std::vector<AudioChunk> chunks;
    if (ranges.size() < kParallelCopyChunks || foundation::TaskPool::shared().isWorkerThread()) {
        chunks.reserve(ranges.size());
        for (const auto& r : ranges) chunks.push_back(copy(r));
        return chunks;
    }
    std::vector<std::function<AudioChunk()>> children;
    children.reserve(ranges.size());
    for (const auto& r : ranges) children.push_back([copy, r] { return copy(r); });
    return foundation::runTaskGroup(foundation::TaskPool::shared(), std::move(children));
}

std::vector<std::shared_ptr<TranscriptionResult>> AudioChunking::updateSeekOffsetsForResults(
    const std::vector<ChunkTranscription>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const {
    std::vector<std::shared_ptr<TranscriptionResult>> updated;
    for (size_t i = 0; i < chunkedResults.size(); ++i) {
        if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
            Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " + describeError(*error));
            continue;
        }
        if (i >= audioChunks.size()) {
            throw foundation::RuntimeError("No audio chunk for the results of chunk " + std::to_string(i));
        }
        const float seconds = static_cast<float>(audioChunks[i].seekOffsetIndex) / 16000.0f;
        const auto sampleShift = static_cast<int64_t>(seconds * 16000.0f);
        for (const auto& result : std::get<0>(chunkedResults[i])) {
            if (!result) continue;
            auto segments = result->segments();
            for (auto& segment : segments) {
                segment.seek += sampleShift;
                segment.start += seconds;
                segment.end += seconds;
                if (segment.words) {
                    for (auto& word : *segment.words) {
                        word.start += seconds;
                        word.end += seconds;
                    }
                }
            }
            result->setSeekTime(seconds);
            result->setSegments(std::move(segments));
            updated.push_back(result);
        }
    }
    return updated;
}

}  // namespace lexiphonic

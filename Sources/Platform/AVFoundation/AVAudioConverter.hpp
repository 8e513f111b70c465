#pragma once
// Sample-rate conversion between 32-bit float PCM formats, over libsoxr. Input comes through a block
// the converter calls when it needs more; the resampler's state carries over from one convert call
// to the next until the block reports the end of the stream, so a stream converted buffer by buffer
// is continuous. Equal rates copy the samples through unchanged. Going from several channels to one
// takes the first channel.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/AVFoundation/AVAudioFormat.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/AVFoundation/AVFoundationError.hpp"

namespace avfoundation {

enum class AVAudioConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class AVAudioConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

// Asked for input, with the number of frames the converter could use; sets the status and returns
// a buffer in the converter's input format when the status is haveData.
using AVAudioConverterInputBlock =
    std::function<std::shared_ptr<AVAudioPCMBuffer>(uint32_t inNumberOfPackets, AVAudioConverterInputStatus& outStatus)>;

class AVAudioConverter {
public:
    // Null when either format is not 32-bit float PCM, when the output has more channels than the
    // input and more than one, when a format with several channels is interleaved, or when the
    // resampler cannot be built for the two rates.
    static std::shared_ptr<AVAudioConverter> make(const AVAudioFormat& from, const AVAudioFormat& to);
    ~AVAudioConverter();
    AVAudioConverter(const AVAudioConverter&) = delete;
    AVAudioConverter& operator=(const AVAudioConverter&) = delete;

    const AVAudioFormat& inputFormat() const { return inputFormat_; }
    const AVAudioFormat& outputFormat() const { return outputFormat_; }

    // Fills `output` (from frame 0) until it is full (haveData), the block has nothing for now
    // (inputRanDry), or the block reported the end of the stream and everything the resampler held
    // has been written (endOfStream). A buffer of the wrong format from the block, or an output
    // buffer of the wrong format, gives error with `outError` set. Input the block handed over is
    // used exactly once: what did not fit into a full output is kept for the next call.
    AVAudioConverterOutputStatus convert(AVAudioPCMBuffer& output, std::optional<AVAudioError>& outError,
                                         const AVAudioConverterInputBlock& inputBlock);
    // Forgets held input and resampler state; the next convert starts a new stream.
    void reset();

private:
    AVAudioConverter(const AVAudioFormat& from, const AVAudioFormat& to) : inputFormat_(from), outputFormat_(to) {}
    bool createResampler();

    AVAudioFormat inputFormat_;
    AVAudioFormat outputFormat_;
    void* soxr_ = nullptr;  // null for equal rates
    std::shared_ptr<AVAudioPCMBuffer> pending_;
    uint32_t pendingOffset_ = 0;
    bool inputEnded_ = false;
    bool streamEnded_ = false;
};

}  // namespace avfoundation

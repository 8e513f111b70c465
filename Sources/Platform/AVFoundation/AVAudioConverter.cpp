#include "Platform/AVFoundation/AVAudioConverter.hpp"

#include <algorithm>
#include <vector>

#include <soxr.h>

#include "Platform/Accelerate/vDSP.hpp"

namespace avfoundation {

namespace {

// Input is handed to the resampler in blocks of this many frames: given a whole long buffer at
// once it would first copy all of it into its own growing queue.
constexpr uint32_t kFeedFrames = 16384;

bool usable(const AVAudioFormat& f) {
    return f.isValid() && f.commonFormat() == AVAudioCommonFormat::pcmFormatFloat32 &&
           (!f.isInterleaved() || f.channelCount() == 1);
}

}  // namespace

std::shared_ptr<AVAudioConverter> AVAudioConverter::make(const AVAudioFormat& from, const AVAudioFormat& to) {
    if (!usable(from) || !usable(to)) return nullptr;
    if (to.channelCount() != from.channelCount() && to.channelCount() != 1) return nullptr;
    std::shared_ptr<AVAudioConverter> converter(new AVAudioConverter(from, to));
    if (!converter->createResampler()) return nullptr;
    return converter;
}

AVAudioConverter::~AVAudioConverter() {
    if (soxr_) soxr_delete(static_cast<soxr_t>(soxr_));
}

bool AVAudioConverter::createResampler() {
    if (soxr_) {
        soxr_delete(static_cast<soxr_t>(soxr_));
        soxr_ = nullptr;
    }
    if (inputFormat_.sampleRate() == outputFormat_.sampleRate()) return true;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_ = soxr_create(inputFormat_.sampleRate(), outputFormat_.sampleRate(), outputFormat_.channelCount(), &error,
                        &io, &quality, &runtime);
    return soxr_ && !error;
}

void AVAudioConverter::reset() {
    pending_.reset();
    pendingOffset_ = 0;
    inputEnded_ = false;
    streamEnded_ = false;
    if (soxr_) soxr_clear(static_cast<soxr_t>(soxr_));
}

AVAudioConverterOutputStatus AVAudioConverter::convert(AVAudioPCMBuffer& output, std::optional<AVAudioError>& outError,
                                                       const AVAudioConverterInputBlock& inputBlock) {
    outError.reset();
    if (output.format() != outputFormat_) {
        outError.emplace(AVAudioError::Case::invalidArgument,
                         "Output buffer of format " + output.format().description() + ", expected " +
                             outputFormat_.description());
        return AVAudioConverterOutputStatus::error;
    }
    if (streamEnded_) reset();
    output.setFrameLength(0);
    const uint32_t capacity = output.frameCapacity();
    const uint32_t channels = outputFormat_.channelCount();
    float* const* out = output.floatChannelData();
    uint32_t produced = 0;
    std::vector<const float*> inPointers(channels);
    std::vector<float*> outPointers(channels);
    auto finish = [&](AVAudioConverterOutputStatus status) {
        output.setFrameLength(produced);
        return status;
    };

    while (produced < capacity) {
        if (!pending_ && !inputEnded_) {
            AVAudioConverterInputStatus status = AVAudioConverterInputStatus::endOfStream;
            auto buffer = inputBlock(capacity - produced, status);
            if (status == AVAudioConverterInputStatus::noDataNow) {
                return finish(AVAudioConverterOutputStatus::inputRanDry);
            }
            if (status == AVAudioConverterInputStatus::haveData && buffer) {
                if (buffer->format() != inputFormat_) {
                    outError.emplace(AVAudioError::Case::invalidArgument,
                                     "Input buffer of format " + buffer->format().description() + ", expected " +
                                         inputFormat_.description());
                    return finish(AVAudioConverterOutputStatus::error);
                }
                if (buffer->frameLength() > 0) {
                    pending_ = std::move(buffer);
                    pendingOffset_ = 0;
                }
                continue;
            }
            inputEnded_ = true;
        }
        for (uint32_t c = 0; c < channels; ++c) outPointers[c] = out[c] + produced;
        if (pending_) {
            const uint32_t available = pending_->frameLength() - pendingOffset_;
            const float* const* in = pending_->floatChannelData();
            for (uint32_t c = 0; c < channels; ++c) inPointers[c] = in[c] + pendingOffset_;
            size_t used = 0, made = 0;
            if (!soxr_) {
                used = made = std::min(available, capacity - produced);
                for (uint32_t c = 0; c < channels; ++c) accelerate::vDSP::mmov(inPointers[c], outPointers[c], made);
            } else {
                soxr_error_t error = soxr_process(static_cast<soxr_t>(soxr_), inPointers.data(),
                                                  std::min(available, kFeedFrames), &used, outPointers.data(),
                                                  capacity - produced, &made);
                if (error) {
                    outError.emplace(AVAudioError::Case::readFailed, std::string("Resampling failed: ") + error);
                    return finish(AVAudioConverterOutputStatus::error);
                }
            }
            pendingOffset_ += static_cast<uint32_t>(used);
            produced += static_cast<uint32_t>(made);
            if (pendingOffset_ >= pending_->frameLength()) pending_.reset();
            continue;
        }
        // The input has ended: drain what the resampler still holds.
        size_t made = 0;
        if (soxr_) {
            soxr_error_t error = soxr_process(static_cast<soxr_t>(soxr_), nullptr, 0, nullptr, outPointers.data(),
                                              capacity - produced, &made);
            if (error) {
                outError.emplace(AVAudioError::Case::readFailed, std::string("Resampling failed: ") + error);
                return finish(AVAudioConverterOutputStatus::error);
            }
        }
        produced += static_cast<uint32_t>(made);
        if (made == 0) {
            streamEnded_ = true;
            return finish(AVAudioConverterOutputStatus::endOfStream);
        }
    }
    return finish(AVAudioConverterOutputStatus::haveData);
}

}  // namespace avfoundation

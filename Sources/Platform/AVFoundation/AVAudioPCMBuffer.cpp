#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"

#include <cstdlib>
#include <new>

#include "Platform/Foundation/Error.hpp"

namespace avfoundation {

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::make(const AVAudioFormat& format, uint32_t frameCapacity) {
    if (!format.isValid() || format.commonFormat() != AVAudioCommonFormat::pcmFormatFloat32) return nullptr;
    const size_t channels = format.channelCount();
    const size_t total = static_cast<size_t>(frameCapacity) * channels;
    std::shared_ptr<AVAudioPCMBuffer> buffer(new (std::nothrow) AVAudioPCMBuffer(format, frameCapacity));
    if (!buffer) return nullptr;
    // calloc: large buffers come as untouched zero pages, paid for only where they are written.
    buffer->storage_ = static_cast<float*>(std::calloc(total > 0 ? total : 1, sizeof(float)));
    if (!buffer->storage_) return nullptr;
    try {
        if (format.isInterleaved()) {
            buffer->channels_.push_back(buffer->storage_);
        } else {
            for (size_t c = 0; c < channels; ++c) buffer->channels_.push_back(buffer->storage_ + c * frameCapacity);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return buffer;
}

AVAudioPCMBuffer::~AVAudioPCMBuffer() { std::free(storage_); }

void AVAudioPCMBuffer::setFrameLength(uint32_t frameLength) {
    if (frameLength > frameCapacity_) {
        throw foundation::RuntimeError("frameLength " + std::to_string(frameLength) + " exceeds frameCapacity " +
                                       std::to_string(frameCapacity_));
    }
    frameLength_ = frameLength;
}

}  // namespace avfoundation

#include "Platform/CoreVideo/CVPixelBuffer.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace corevideo {

std::optional<size_t> bytesPerPixel(OSType pixelFormat) {
    switch (pixelFormat) {
        case kCVPixelFormatType_OneComponent16Half: return 2;
        case kCVPixelFormatType_OneComponent32Float: return 4;
        case kCVPixelFormatType_OneComponent8: return 1;
        default: return std::nullopt;
    }
}

namespace {

class HeapAllocator final : public CVAllocator {
public:
    std::shared_ptr<std::byte> allocate(size_t bytes) override {
        size_t rounded = (bytes + 63) / 64 * 64;
        void* memory = std::aligned_alloc(64, rounded == 0 ? 64 : rounded);
        if (!memory) return nullptr;
        std::memset(memory, 0, rounded == 0 ? 64 : rounded);
        return std::shared_ptr<std::byte>(static_cast<std::byte*>(memory), [](std::byte* p) { std::free(p); });
    }
};

}  // namespace

std::shared_ptr<CVAllocator> CVAllocator::defaultAllocator() {
    static const std::shared_ptr<CVAllocator> allocator = std::make_shared<HeapAllocator>();
    return allocator;
}

CVReturn CVPixelBuffer::create(const std::shared_ptr<CVAllocator>& allocator, size_t width, size_t height,
                               OSType pixelFormat, const CVPixelBufferAttributes& attributes,
                               std::shared_ptr<CVPixelBuffer>& out) {
    out.reset();
    auto pixelBytes = bytesPerPixel(pixelFormat);
    if (!pixelBytes) return kCVReturnInvalidPixelFormat;
    if (width == 0 || height == 0) return kCVReturnInvalidSize;
    constexpr size_t maxSize = std::numeric_limits<size_t>::max() / 2;
    if (width > maxSize / *pixelBytes) return kCVReturnInvalidSize;
    size_t bytesPerRow = width * *pixelBytes;
    if (height > maxSize / bytesPerRow) return kCVReturnInvalidSize;
    auto source = allocator ? allocator : CVAllocator::defaultAllocator();
    std::shared_ptr<std::byte> memory;
    try {
        memory = source->allocate(bytesPerRow * height);
    } catch (const std::bad_alloc&) {
        memory.reset();
    }
    if (!memory) return kCVReturnAllocationFailed;
    std::shared_ptr<CVPixelBuffer> buffer(new CVPixelBuffer());
    buffer->width_ = width;
    buffer->height_ = height;
    buffer->bytesPerRow_ = bytesPerRow;
    buffer->pixelFormat_ = pixelFormat;
    buffer->ioSurfaceBacked_ = attributes.ioSurfaceProperties.has_value();
    buffer->memory_ = std::move(memory);
    out = std::move(buffer);
    return kCVReturnSuccess;
}

}  // namespace corevideo

#pragma once
// Pixel buffers: a block of rows of pixels in one pixel format. Only what half-precision multi-arrays
// need: one-component formats, no row padding, memory owned by the buffer.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace corevideo {

using CVReturn = int32_t;
inline constexpr CVReturn kCVReturnSuccess = 0;
inline constexpr CVReturn kCVReturnError = -6660;
inline constexpr CVReturn kCVReturnInvalidArgument = -6661;
inline constexpr CVReturn kCVReturnAllocationFailed = -6662;
inline constexpr CVReturn kCVReturnInvalidPixelFormat = -6680;
inline constexpr CVReturn kCVReturnInvalidSize = -6681;

using OSType = uint32_t;
// 'L00h': one component, 16-bit IEEE half float.
inline constexpr OSType kCVPixelFormatType_OneComponent16Half = 0x4C303068;
// 'L00f': one component, 32-bit float.
inline constexpr OSType kCVPixelFormatType_OneComponent32Float = 0x4C303066;
// 'L008': one component, 8 bits.
inline constexpr OSType kCVPixelFormatType_OneComponent8 = 0x4C303038;

// Bytes per pixel of a supported format, or nothing.
std::optional<size_t> bytesPerPixel(OSType pixelFormat);

// Creation attributes. An IOSurface-properties entry (even empty) asks for a surface-backed buffer;
// here every buffer is plain process memory, and the request is only recorded.
struct CVPixelBufferAttributes {
    std::optional<std::map<std::string, std::string>> ioSurfaceProperties;
};

// Where buffer memory comes from. The default allocator uses the heap; tests pass one that refuses.
class CVAllocator {
public:
    virtual ~CVAllocator() = default;
    // Zero-filled memory of `bytes` bytes aligned to 64, or null when it cannot be had.
    virtual std::shared_ptr<std::byte> allocate(size_t bytes) = 0;
    static std::shared_ptr<CVAllocator> defaultAllocator();
};

class CVPixelBuffer {
public:
    // Creates a buffer of width x height pixels; rows are packed (bytesPerRow = width x bytes per pixel).
    // On failure `out` is left null and the status says why (zero or overflowing size, unknown format,
    // allocation refused). A null allocator means the default one.
    static CVReturn create(const std::shared_ptr<CVAllocator>& allocator, size_t width, size_t height,
                           OSType pixelFormat, const CVPixelBufferAttributes& attributes,
                           std::shared_ptr<CVPixelBuffer>& out);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    OSType pixelFormatType() const { return pixelFormat_; }
    size_t bytesPerRow() const { return bytesPerRow_; }
    size_t dataSize() const { return bytesPerRow_ * height_; }
    bool isIOSurfaceBacked() const { return ioSurfaceBacked_; }
    void* baseAddress() { return memory_.get(); }
    const void* baseAddress() const { return memory_.get(); }

    CVPixelBuffer(const CVPixelBuffer&) = delete;
    CVPixelBuffer& operator=(const CVPixelBuffer&) = delete;

private:
    CVPixelBuffer() = default;
    size_t width_ = 0;
    size_t height_ = 0;
    size_t bytesPerRow_ = 0;
    OSType pixelFormat_ = 0;
    bool ioSurfaceBacked_ = false;
    std::shared_ptr<std::byte> memory_;
};

}  // namespace corevideo

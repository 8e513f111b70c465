#pragma once
// Bitmap images: rows of pixels over bytes the image owns. Only what a waveform picture needs, one
// 32-bit RGB layout with alpha; nothing draws or decodes them.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace corevideo {

struct CGSize {
    double width = 0;
    double height = 0;
};

enum class CGColorSpace { deviceRGB };

// 8 bits per component, 32 bits per pixel, read as one 32-bit little-endian word per pixel with
// premultiplied alpha in its top byte: in memory blue, green, red, alpha.
enum class CGImagePixelFormat { premultipliedFirst32Little };

enum class CGColorRenderingIntent { defaultIntent };

class CGImage {
public:
    struct Params {
        int64_t width = 0;
        int64_t height = 0;
        int64_t bytesPerRow = 0;
        CGImagePixelFormat pixelFormat = CGImagePixelFormat::premultipliedFirst32Little;
        CGColorSpace colorSpace = CGColorSpace::deviceRGB;
        bool shouldInterpolate = false;
        CGColorRenderingIntent renderingIntent = CGColorRenderingIntent::defaultIntent;
    };

    // An image over `bytes`, of which it keeps the height x bytesPerRow it shows. Throws
    // std::invalid_argument when the sizes make no image (width or height below 1, rows shorter than
    // a row of pixels, a size that overflows) or the bytes are fewer than the image needs.
    CGImage(const Params& params, std::vector<uint8_t> bytes);

    int64_t width() const { return params_.width; }
    int64_t height() const { return params_.height; }
    int64_t bytesPerRow() const { return params_.bytesPerRow; }
    int64_t bitsPerComponent() const { return 8; }
    int64_t bitsPerPixel() const { return 32; }
    CGImagePixelFormat pixelFormat() const { return params_.pixelFormat; }
    CGColorSpace colorSpace() const { return params_.colorSpace; }
    bool shouldInterpolate() const { return params_.shouldInterpolate; }
    CGColorRenderingIntent renderingIntent() const { return params_.renderingIntent; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    Params params_;
    std::vector<uint8_t> bytes_;
};

}  // namespace corevideo

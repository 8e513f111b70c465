#include "Platform/CoreVideo/CGImage.hpp"

#include <limits>

namespace corevideo {

CGImage::CGImage(const Params& params, std::vector<uint8_t> bytes) : params_(params) {
    constexpr int64_t bytesPerPixel = 4;
    const auto describe = [&] {
        return std::to_string(params.width) + " x " + std::to_string(params.height) + " pixels, " +
               std::to_string(params.bytesPerRow) + " bytes per row";
    };
    if (params.width < 1 || params.height < 1 || params.width > std::numeric_limits<int64_t>::max() / bytesPerPixel)
        throw std::invalid_argument("An image of " + describe() + " has no pixels");
    if (params.bytesPerRow < params.width * bytesPerPixel)
        throw std::invalid_argument("An image of " + describe() + " has rows shorter than its pixels");
    if (params.height > std::numeric_limits<int64_t>::max() / params.bytesPerRow)
        throw std::invalid_argument("An image of " + describe() + " is too large");
    const int64_t needed = params.height * params.bytesPerRow;
    if (static_cast<uint64_t>(needed) > bytes.size())
        throw std::invalid_argument("An image of " + describe() + " needs " + std::to_string(needed) + " bytes, " +
                                    std::to_string(bytes.size()) + " given");
    bytes.resize(static_cast<size_t>(needed));
    bytes_ = std::move(bytes);
}

}  // namespace corevideo

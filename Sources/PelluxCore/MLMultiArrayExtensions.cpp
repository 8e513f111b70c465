#include "PelluxCore/MLMultiArrayExtensions.hpp"

#include <limits>

namespace pellux {

using coreml::MLMultiArray;
using coreml::MLMultiArrayError;

std::string MLMultiArrayCreationError::localizedDescription() const {
    return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
}

std::string MLMultiArrayCreationError::describe() const { return "pixelBufferFailed"; }

std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer(const std::vector<int64_t>& shape) {
    if (shape.empty()) return nullptr;
    for (int64_t d : shape)
        if (d <= 0) return nullptr;
    auto width = static_cast<uint64_t>(shape.back());
    uint64_t height = 1;
    for (size_t i = 0; i + 1 < shape.size(); ++i) {
        if (height > std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(shape[i])) return nullptr;
        height *= static_cast<uint64_t>(shape[i]);
    }
    corevideo::CVPixelBufferAttributes attributes;
    attributes.ioSurfaceProperties = std::map<std::string, std::string>{};
    std::shared_ptr<corevideo::CVPixelBuffer> buffer;
    auto status = corevideo::CVPixelBuffer::create(corevideo::CVAllocator::defaultAllocator(), width, height,
                                                   corevideo::kCVPixelFormatType_OneComponent16Half, attributes, buffer);
    if (status != corevideo::kCVReturnSuccess) return nullptr;
    return buffer;
}

namespace detail {

std::shared_ptr<MLMultiArray> makeHalfPrecisionArray(const std::vector<int64_t>& shape) {
    auto buffer = pixelBuffer(shape);
    if (!buffer) throw MLMultiArrayCreationError::pixelBufferFailed();
    return MLMultiArray::make(std::move(buffer), shape);
}

std::vector<int64_t> checkedOffsets(const MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes) {
    std::vector<int64_t> offsets;
    offsets.reserve(indexes.size());
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    for (const auto& index : indexes) {
        if (index.size() > shape.size())
            throw MLMultiArrayError("fill: index of rank " + std::to_string(index.size()) + " for an array of rank " +
                                    std::to_string(shape.size()));
        int64_t offset = 0;
        for (size_t i = 0; i < index.size(); ++i) {
            if (index[i] < 0 || index[i] >= shape[i])
                throw MLMultiArrayError("fill: index " + std::to_string(index[i]) + " outside dimension " +
                                        std::to_string(i) + " of size " + std::to_string(shape[i]));
            offset += index[i] * strides[i];
        }
        offsets.push_back(offset);
    }
    return offsets;
}

}  // namespace detail

std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<int64_t>& values, int64_t dims) {
    if (dims < 1) throw MLMultiArrayError("MLMultiArray.from needs at least one dimension, got " + std::to_string(dims));
    std::vector<int64_t> shape(static_cast<size_t>(dims), 1);
    shape.back() = static_cast<int64_t>(values.size());
    auto array = MLMultiArray::make(shape, coreml::MLMultiArrayDataType::int32);
    int32_t* data = array->data<int32_t>();
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] < std::numeric_limits<int32_t>::min() || values[i] > std::numeric_limits<int32_t>::max())
            throw MLMultiArrayError("MLMultiArray.from: " + std::to_string(values[i]) + " does not fit in 32 bits");
        data[i] = static_cast<int32_t>(values[i]);
    }
    return array;
}

int64_t linearOffset(const MLMultiArray& array, const std::vector<int64_t>& index,
                     const std::optional<std::vector<int64_t>>& strides) {
    const auto& used = strides ? *strides : array.strides();
    int64_t offset = 0;
    for (size_t i = 0; i < index.size() && i < used.size(); ++i) offset += index[i] * used[i];
    return offset;
}

void fillLastDimension(MLMultiArray& array, int64_t begin, int64_t end, coreml::Float16 value) {
    const auto& shape = array.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1)
        throw MLMultiArrayError("fillLastDimension needs an array of shape [1, 1, n]");
    if (begin < 0 || end < begin || end > shape[2])
        throw MLMultiArrayError("fillLastDimension: range " + std::to_string(begin) + "..<" + std::to_string(end) +
                                " outside the last dimension of " + std::to_string(shape[2]));
    auto* data = array.data<coreml::Float16>();
    int64_t stride = array.strides()[2];
    for (int64_t i = begin; i < end; ++i) data[i * stride] = value;
}

}  // namespace pellux

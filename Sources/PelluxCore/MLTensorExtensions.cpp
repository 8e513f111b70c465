#include "PelluxCore/MLTensorExtensions.hpp"

#include <algorithm>
#include <string>

namespace pellux {

using coreml::MLTensorScalarType;

namespace {

[[noreturn]] void unsupported(const coreml::MLTensor& tensor) {
    throw coreml::MLTensorError("Unsupported scalar type: " + std::string(coreml::scalarTypeName(tensor.scalarType())));
}

}  // namespace

std::vector<int64_t> toIntArray(const coreml::MLTensor& tensor) {
    if (tensor.scalarType() != MLTensorScalarType::int32) unsupported(tensor);
    auto scalars = tensor.scalars<int32_t>();
    return std::vector<int64_t>(scalars.begin(), scalars.end());
}

std::vector<float> toFloatArray(const coreml::MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLTensorScalarType::float32: return tensor.scalars<float>();
        case MLTensorScalarType::float16: {
            auto halves = tensor.scalars<coreml::Float16>();
            std::vector<float> result(halves.size());
            coreml::convertFloat16ToFloat32(halves.data(), result.data(), halves.size());
            return result;
        }
        case MLTensorScalarType::int32: {
            auto ints = tensor.scalars<int32_t>();
            return std::vector<float>(ints.begin(), ints.end());
        }
        default: unsupported(tensor);
    }
}

std::shared_ptr<coreml::MLMultiArray> toMLMultiArray(const coreml::MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLTensorScalarType::float32: {
            auto array = coreml::MLMultiArray::make(tensor.shape(), coreml::MLMultiArrayDataType::float32);
            auto values = tensor.scalars<float>();
            std::copy(values.begin(), values.end(), array->data<float>());
            return array;
        }
        case MLTensorScalarType::float16: {
            auto array = coreml::MLMultiArray::make(tensor.shape(), coreml::MLMultiArrayDataType::float16);
            auto values = tensor.scalars<coreml::Float16>();
            std::copy(values.begin(), values.end(), array->data<coreml::Float16>());
            return array;
        }
        case MLTensorScalarType::int32: {
            auto array = coreml::MLMultiArray::make(tensor.shape(), coreml::MLMultiArrayDataType::int32);
            auto values = tensor.scalars<int32_t>();
            std::copy(values.begin(), values.end(), array->data<int32_t>());
            return array;
        }
        default: unsupported(tensor);
    }
}

std::vector<int64_t> asIntArray(const coreml::MLTensor& tensor) { return toIntArray(tensor); }
std::vector<float> asFloatArray(const coreml::MLTensor& tensor) { return toFloatArray(tensor); }
std::shared_ptr<coreml::MLMultiArray> asMLMultiArray(const coreml::MLTensor& tensor) { return toMLMultiArray(tensor); }

}  // namespace pellux

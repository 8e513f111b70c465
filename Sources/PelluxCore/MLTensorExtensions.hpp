#pragma once
// Tensors to plain arrays and multi-arrays. The runtime's tensors are computed eagerly, so the
// blocking forms (as...) return at once and never wait on a pool thread.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreML/MLTensor.hpp"

namespace pellux {

// Int32 scalars widened to 64 bits. Other scalar types throw coreml::MLTensorError
// "Unsupported scalar type: <name>".
std::vector<int64_t> toIntArray(const coreml::MLTensor& tensor);
// Float, Float16 (widened) or Int32 (converted) scalars as floats; other types throw as above.
std::vector<float> toFloatArray(const coreml::MLTensor& tensor);
// A new multi-array of the tensor's shape and element type (Float, Float16, Int32); other types throw as above.
std::shared_ptr<coreml::MLMultiArray> toMLMultiArray(const coreml::MLTensor& tensor);

// The blocking forms, for synchronous callers.
std::vector<int64_t> asIntArray(const coreml::MLTensor& tensor);
std::vector<float> asFloatArray(const coreml::MLTensor& tensor);
std::shared_ptr<coreml::MLMultiArray> asMLMultiArray(const coreml::MLTensor& tensor);

}  // namespace pellux

#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

#include <cstring>

#include "Platform/CoreML/Whisper/Kernels.hpp"

namespace coreml::whisper {

namespace {
std::string shapeText(const std::vector<int64_t>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}
}  // namespace

TensorView checked(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape) {
    TensorView v = lookup(name);
    if (!v.data) throw WhisperModelError("Tensor " + name + " is missing");
    if (v.shape != shape)
        throw WhisperModelError("Tensor " + name + " has shape " + shapeText(v.shape) + ", expected " +
                                shapeText(shape));
    return v;
}

void copyFloat(const TensorView& view, float* out) {
    if (view.type == StoredType::float16)
        halfToFloatParallel(static_cast<const uint16_t*>(view.data), out, view.count());
    else
        std::memcpy(out, view.data, view.count() * sizeof(float));
}

std::vector<float> loadFloat(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape) {
    TensorView v = checked(lookup, name, shape);
    std::vector<float> out(v.count());
    copyFloat(v, out.data());
    return out;
}

const uint16_t* loadHalf(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape,
                         std::vector<uint16_t>& keep) {
    TensorView v = checked(lookup, name, shape);
    if (v.type == StoredType::float16) return static_cast<const uint16_t*>(v.data);
    keep.resize(v.count());
    floatToHalf(static_cast<const float*>(v.data), keep.data(), v.count());
    return keep.data();
}

}  // namespace coreml::whisper

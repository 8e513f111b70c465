#pragma once
// The reductions over a step's logits that the timestamp rule and the sampler need once per token:
// the maximum and the sum of exponentials over the whole vocabulary. A vector path runs where the CPU
// has AVX2 and FMA, a portable one elsewhere; both follow one contract.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic::logitsmath {

enum class Path { scalar, avx2 };

struct Kernels {
    // The largest value; NaN is skipped, -inf when there is none.
    float (*maxValue)(const float* values, size_t count);
    // The sum of exp(value - shift); NaN when a value is NaN. exp of a value below about -87.3 counts
    // as 0, so masked (-inf) entries add nothing.
    double (*sumExp)(const float* values, size_t count, float shift);
};

bool isSupported(Path path);
// The fastest path this CPU runs, chosen once.
Path bestPath();
// The kernels of a path; a path the CPU lacks gives the scalar kernels.
const Kernels& kernels(Path path);
const Kernels& kernels();

// All elements of a logits array as floats into `out` (resized), half precision widened in bulk.
void widen(const coreml::MLMultiArray& logits, std::vector<float>& out);

// The index of the first largest value; NaN is never chosen over a number, 0 when all are NaN.
size_t argmax(const float* values, size_t count, const Kernels& k = kernels());

}  // namespace lexiphonic::logitsmath

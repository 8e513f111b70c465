#include "Lexiphonic/Core/Text/LogitsMath.hpp"

#include <cmath>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "Platform/CoreML/Float16.hpp"

namespace lexiphonic::logitsmath {
namespace {

constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();
// Below this exp(x) is no longer a normal float: such terms are dropped on both paths.
constexpr float kExpLowerBound = -87.3365447505f;

float maxScalar(const float* x, size_t n) {
    float best = kNegativeInfinity;
    for (size_t i = 0; i < n; ++i)
        if (x[i] > best) best = x[i];
    return best;
}

double sumExpScalar(const float* x, size_t n, float shift) {
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
        float v = x[i] - shift;
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        if (v >= kExpLowerBound) total += std::exp(v);
    }
    return total;
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) inline __m256 exp8(__m256 x) {
    // Cephes' single-precision exponential: 2^n times a degree-5 polynomial on [-ln2/2, ln2/2].
    const __m256 zero = _mm256_cmp_ps(x, _mm256_set1_ps(kExpLowerBound), _CMP_LT_OQ);
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(kExpLowerBound)), _mm256_set1_ps(88.3762626647949f));
    __m256 n = _mm256_floor_ps(_mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f)));
    x = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    x = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), x);
    __m256 y = _mm256_set1_ps(1.9875691500e-4f);
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.3981999507e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(8.3334519073e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(4.1665795894e-2f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.6666665459e-1f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(5.0000001201e-1f));
    y = _mm256_fmadd_ps(y, _mm256_mul_ps(x, x), _mm256_add_ps(x, _mm256_set1_ps(1.0f)));
    __m256i e = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_andnot_ps(zero, _mm256_mul_ps(y, _mm256_castsi256_ps(e)));
}

__attribute__((target("avx2,fma"))) float maxAvx2(const float* x, size_t n) {
    // max_ps returns its second operand when either is NaN, so NaN never replaces a running maximum.
    __m256 m0 = _mm256_set1_ps(kNegativeInfinity), m1 = m0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        m0 = _mm256_max_ps(_mm256_loadu_ps(x + i), m0);
        m1 = _mm256_max_ps(_mm256_loadu_ps(x + i + 8), m1);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, _mm256_max_ps(m0, m1));
    float best = maxScalar(lanes, 8);
    float rest = maxScalar(x + i, n - i);
    return rest > best ? rest : best;
}

__attribute__((target("avx2,fma"))) double sumExpAvx2(const float* x, size_t n, float shift) {
    const __m256 s = _mm256_set1_ps(shift);
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, nan = a0;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256 v0 = _mm256_sub_ps(_mm256_loadu_ps(x + i), s);
        __m256 v1 = _mm256_sub_ps(_mm256_loadu_ps(x + i + 8), s);
        nan = _mm256_or_ps(nan, _mm256_cmp_ps(v0, v1, _CMP_UNORD_Q));
        a0 = _mm256_add_ps(a0, exp8(v0));
        a1 = _mm256_add_ps(a1, exp8(v1));
    }
    if (_mm256_movemask_ps(nan) != 0) return std::numeric_limits<double>::quiet_NaN();
    alignas(32) float lanes[16];
    _mm256_store_ps(lanes, a0);
    _mm256_store_ps(lanes + 8, a1);
    double total = 0;
    for (float lane : lanes) total += lane;
    return total + sumExpScalar(x + i, n - i, shift);
}
#endif

const Kernels scalarKernels{maxScalar, sumExpScalar};
#if defined(__x86_64__)
const Kernels avx2Kernels{maxAvx2, sumExpAvx2};
#endif

}  // namespace

bool isSupported(Path path) {
    if (path == Path::scalar) return true;
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2;
#else
    return false;
#endif
}

Path bestPath() {
    static const Path best = isSupported(Path::avx2) ? Path::avx2 : Path::scalar;
    return best;
}

const Kernels& kernels(Path path) {
#if defined(__x86_64__)
    if (path == Path::avx2 && isSupported(Path::avx2)) return avx2Kernels;
#endif
    (void)path;
    return scalarKernels;
}

const Kernels& kernels() { return kernels(bestPath()); }

void widen(const coreml::MLMultiArray& logits, std::vector<float>& out) {
    out.resize(static_cast<size_t>(logits.count()));
    if (logits.dataType() == coreml::MLMultiArrayDataType::float16) {
        coreml::convertFloat16ToFloat32(logits.data<coreml::Float16>(), out.data(), out.size());
    } else if (logits.dataType() == coreml::MLMultiArrayDataType::float32) {
        const float* data = logits.data<float>();
        out.assign(data, data + out.size());
    } else {
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(logits.value(static_cast<int64_t>(i)));
    }
}

size_t argmax(const float* values, size_t count, const Kernels& k) {
    const float best = k.maxValue(values, count);
    for (size_t i = 0; i < count; ++i)
        if (values[i] == best) return i;
    return 0;  // every value NaN
}

}  // namespace lexiphonic::logitsmath

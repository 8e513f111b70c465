#include "Platform/CoreML/Float16.hpp"

#include <cstring>
#if defined(__F16C__)
#include <immintrin.h>
#endif

namespace coreml {

void convertFloat16ToFloat32(const uint16_t* source, float* destination, size_t count) {
    size_t i = 0;
#if defined(__F16C__)
    for (; i + 8 <= count; i += 8) {
        __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm256_storeu_ps(destination + i, _mm256_cvtph_ps(halves));
    }
#endif
    for (; i < count; ++i) {
        Float16 h;
        std::memcpy(&h, source + i, 2);
        destination[i] = static_cast<float>(h);
    }
}

void convertFloat32ToFloat16(const float* source, uint16_t* destination, size_t count) {
    size_t i = 0;
#if defined(__F16C__)
    for (; i + 8 <= count; i += 8) {
        __m128i halves = _mm256_cvtps_ph(_mm256_loadu_ps(source + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), halves);
    }
#endif
    for (; i < count; ++i) {
        Float16 h = static_cast<Float16>(source[i]);
        std::memcpy(destination + i, &h, 2);
    }
}

void convertFloat16ToFloat32(const Float16* source, float* destination, size_t count) {
    convertFloat16ToFloat32(reinterpret_cast<const uint16_t*>(source), destination, count);
}

void convertFloat32ToFloat16(const float* source, Float16* destination, size_t count) {
    convertFloat32ToFloat16(source, reinterpret_cast<uint16_t*>(destination), count);
}

}  // namespace coreml

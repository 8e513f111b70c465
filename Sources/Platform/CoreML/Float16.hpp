#pragma once
// IEEE half precision as a native type, and F16C bulk conversions (round to nearest even).
#include <cstddef>
#include <cstdint>

namespace coreml {

using Float16 = _Float16;
static_assert(sizeof(Float16) == 2, "Float16 must be two bytes");

// Element-wise conversions of `count` values; source and destination must not overlap.
void convertFloat16ToFloat32(const Float16* source, float* destination, size_t count);
void convertFloat32ToFloat16(const float* source, Float16* destination, size_t count);
// The same over raw 16-bit patterns, for callers that store halves as uint16_t.
void convertFloat16ToFloat32(const uint16_t* source, float* destination, size_t count);
void convertFloat32ToFloat16(const float* source, uint16_t* destination, size_t count);

// One value, rounded to nearest even (NaN stays NaN, overflow becomes infinity).
inline Float16 toFloat16(float value) { return static_cast<Float16>(value); }
inline Float16 toFloat16(double value) { return static_cast<Float16>(value); }
inline float toFloat32(Float16 value) { return static_cast<float>(value); }

}  // namespace coreml

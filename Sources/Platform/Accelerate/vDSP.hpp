#pragma once
// Vector routines over contiguous float arrays: the subset of vDSP the audio front end needs.
// Every routine accepts n == 0. Reductions keep several independent partial results so the loops
// vectorise without reassociating a single accumulator; their results can therefore differ in the
// last bits from a strictly sequential loop.
#include <cstddef>

namespace accelerate::vDSP {

// Root mean square, sqrt(sum(a[i]^2) / n), accumulated in double; 0 for n == 0.
float rmsqv(const float* a, size_t n);
// Largest absolute value; 0 for n == 0.
float maxmgv(const float* a, size_t n);
// Smallest absolute value; 0 for n == 0.
float minmgv(const float* a, size_t n);
// Sum of squares accumulated in double.
double svesq(const float* a, size_t n);
// c[i] = a[i] + b[i]; c may alias a or b.
void vadd(const float* a, const float* b, float* c, size_t n);
// c[i] = a[i] * s; c may alias a.
void vsmul(const float* a, float s, float* c, size_t n);
// c[i] = 0.
void vclr(float* c, size_t n);
// c[i] = a[i]; the ranges must not overlap.
void mmov(const float* a, float* c, size_t n);

}  // namespace accelerate::vDSP

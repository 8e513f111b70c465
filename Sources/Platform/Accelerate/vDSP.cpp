#include "Platform/Accelerate/vDSP.hpp"

#include <cmath>
#include <cstring>

namespace accelerate::vDSP {

namespace {

// Independent partial results per reduction: wide enough for two AVX registers of floats.
constexpr size_t kLanes = 16;

}  // namespace

double svesq(const float* a, size_t n) {
    double acc[kLanes] = {};
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (size_t j = 0; j < kLanes; ++j) {
            const double v = a[i + j];
            acc[j] += v * v;
        }
    }
    double sum = 0;
    for (; i < n; ++i) sum += static_cast<double>(a[i]) * a[i];
    for (size_t j = 0; j < kLanes; ++j) sum += acc[j];
    return sum;
}

float rmsqv(const float* a, size_t n) {
    if (n == 0) return 0;
    return static_cast<float>(std::sqrt(svesq(a, n) / static_cast<double>(n)));
}

float maxmgv(const float* a, size_t n) {
    float m[kLanes] = {};
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (size_t j = 0; j < kLanes; ++j) {
            const float v = std::fabs(a[i + j]);
            m[j] = m[j] < v ? v : m[j];
        }
    }
    float result = 0;
    for (; i < n; ++i) result = std::fmax(result, std::fabs(a[i]));
    for (size_t j = 0; j < kLanes; ++j) result = std::fmax(result, m[j]);
    return result;
}

float minmgv(const float* a, size_t n) {
    if (n == 0) return 0;
    float m[kLanes];
    for (size_t j = 0; j < kLanes; ++j) m[j] = INFINITY;
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (size_t j = 0; j < kLanes; ++j) {
            const float v = std::fabs(a[i + j]);
            m[j] = v < m[j] ? v : m[j];
        }
    }
    float result = INFINITY;
    for (; i < n; ++i) result = std::fmin(result, std::fabs(a[i]));
    for (size_t j = 0; j < kLanes; ++j) result = std::fmin(result, m[j]);
    return result;
}

void vadd(const float* a, const float* b, float* c, size_t n) {
    for (size_t i = 0; i < n; ++i) c[i] = a[i] + b[i];
}

void vsmul(const float* a, float s, float* c, size_t n) {
    for (size_t i = 0; i < n; ++i) c[i] = a[i] * s;
}

void vclr(float* c, size_t n) {
    if (n > 0) std::memset(c, 0, n * sizeof(float));
}

void mmov(const float* a, float* c, size_t n) {
    if (n > 0) std::memcpy(c, a, n * sizeof(float));
}

}  // namespace accelerate::vDSP

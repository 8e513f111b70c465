#include "Platform/CoreML/Whisper/Kernels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

float halfToFloat(uint16_t h) { return _cvtsh_ss(h); }
uint16_t floatToHalf(float f) { return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT); }

void halfToFloat(const uint16_t* src, float* dst, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
    for (; i < count; ++i) dst[i] = _cvtsh_ss(src[i]);
}

void floatToHalf(const float* src, uint16_t* dst, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT));
    for (; i < count; ++i) dst[i] = _cvtss_sh(src[i], _MM_FROUND_TO_NEAREST_INT);
}

void halfToFloatParallel(const uint16_t* src, float* dst, size_t count) {
    parallelFor(count, 1 << 16, [&](size_t b, size_t e) { halfToFloat(src + b, dst + b, e - b); });
}

namespace {

inline float hsum(__m256 v) {
    __m128 lo = _mm256_castps256_ps128(v), hi = _mm256_extractf128_ps(v, 1);
    lo = _mm_add_ps(lo, hi);
    lo = _mm_add_ps(lo, _mm_movehl_ps(lo, lo));
    lo = _mm_add_ss(lo, _mm_shuffle_ps(lo, lo, 1));
    return _mm_cvtss_f32(lo);
}

// exp for 8 lanes: range reduction by ln 2 (split in two parts), degree-6 polynomial, scale by 2^n.
inline __m256 exp8(__m256 x) {
    const __m256 maxX = _mm256_set1_ps(88.3762626647949f), minX = _mm256_set1_ps(-87.3365447504f);
    x = _mm256_max_ps(_mm256_min_ps(x, maxX), minX);
    __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500E-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507E-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073E-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894E-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459E-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201E-1f));
    __m256 r2 = _mm256_mul_ps(r, r);
    p = _mm256_fmadd_ps(p, r2, _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    __m256i e = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(e));
}

// GELU(x) = x/2 (1 + erf(x/sqrt 2)); erf by a rational-exponential form with absolute error below 1.5e-7.
inline __m256 gelu8(__m256 x) {
    const __m256 half = _mm256_set1_ps(0.5f), one = _mm256_set1_ps(1.0f);
    __m256 z = _mm256_mul_ps(x, _mm256_set1_ps(0.70710678118654752f));
    __m256 signMask = _mm256_set1_ps(-0.0f);
    __m256 az = _mm256_andnot_ps(signMask, z);
    __m256 t = _mm256_div_ps(one, _mm256_fmadd_ps(_mm256_set1_ps(0.3275911f), az, one));
    __m256 poly = _mm256_set1_ps(1.061405429f);
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(-1.453152027f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(1.421413741f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(-0.284496736f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(0.254829592f));
    poly = _mm256_mul_ps(poly, t);
    __m256 e = exp8(_mm256_sub_ps(_mm256_setzero_ps(), _mm256_mul_ps(az, az)));
    __m256 erfAbs = _mm256_fnmadd_ps(poly, e, one);
    __m256 erfv = _mm256_or_ps(erfAbs, _mm256_and_ps(signMask, z));
    return _mm256_mul_ps(_mm256_mul_ps(half, x), _mm256_add_ps(one, erfv));
}

inline float geluScalar(float x) { return 0.5f * x * (1.0f + std::erf(x * 0.70710678118654752f)); }

}  // namespace

void layerNormRow(const float* x, float* y, size_t n, const float* weight, const float* bias) {
    // Two passes (mean, then centred variance) in double keep the result independent of vector
    // width. Eight double lanes rather than one chain: the decoder normalises a row three times a
    // layer with every other thread waiting, and one chain of dependent adds took microseconds.
    auto sumOf = [x, n](auto term) {
        __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd();
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            a0 = _mm256_add_pd(a0, term(_mm256_cvtps_pd(_mm_loadu_ps(x + i))));
            a1 = _mm256_add_pd(a1, term(_mm256_cvtps_pd(_mm_loadu_ps(x + i + 4))));
        }
        double lanes[4];
        _mm256_storeu_pd(lanes, _mm256_add_pd(a0, a1));
        double total = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        for (; i < n; ++i) {
            double v[4] = {x[i], 0, 0, 0};
            _mm256_storeu_pd(v, term(_mm256_loadu_pd(v)));
            total += v[0];
        }
        return total;
    };
    const double sum = sumOf([](__m256d v) { return v; });
    float mean = static_cast<float>(sum / static_cast<double>(n));
    const __m256d meanD = _mm256_set1_pd(static_cast<double>(mean));
    const double var = sumOf([meanD](__m256d v) {
        __m256d d = _mm256_sub_pd(v, meanD);
        return _mm256_mul_pd(d, d);
    });
    float inv = static_cast<float>(1.0 / std::sqrt(var / static_cast<double>(n) + 1e-5));
    size_t i = 0;
    __m256 vm = _mm256_set1_ps(mean), vi = _mm256_set1_ps(inv);
    for (; i + 8 <= n; i += 8) {
        __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), vm), vi);
        v = _mm256_add_ps(_mm256_mul_ps(v, _mm256_loadu_ps(weight + i)), _mm256_loadu_ps(bias + i));
        _mm256_storeu_ps(y + i, v);
    }
    for (; i < n; ++i) y[i] = (x[i] - mean) * inv * weight[i] + bias[i];
}

void layerNormRows(const float* x, float* y, size_t rows, size_t n, const float* weight, const float* bias) {
    parallelFor(rows, 16, [&](size_t b, size_t e) {
        for (size_t r = b; r < e; ++r) layerNormRow(x + r * n, y + r * n, n, weight, bias);
    });
}

void geluInPlace(float* x, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, gelu8(_mm256_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = geluScalar(x[i]);
}

void expInPlace(float* x, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, exp8(_mm256_loadu_ps(x + i)));
    if (i < n) {
        float tmp[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(tmp, x + i, (n - i) * sizeof(float));
        _mm256_storeu_ps(tmp, exp8(_mm256_loadu_ps(tmp)));
        std::memcpy(x + i, tmp, (n - i) * sizeof(float));
    }
}

float expMinusMax(float* x, size_t n, float* max) {
    if (n == 0) {
        *max = -INFINITY;
        return 0.0f;
    }
    // Vector maximum: a scalar chain here would cost more than the exponentials.
    __m256 vmax = _mm256_set1_ps(x[0]);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) vmax = _mm256_max_ps(vmax, _mm256_loadu_ps(x + i));
    float lanes[8];
    _mm256_storeu_ps(lanes, vmax);
    float m = lanes[0];
    for (int k = 1; k < 8; ++k) m = std::max(m, lanes[k]);
    for (; i < n; ++i) m = std::max(m, x[i]);
    i = 0;
    __m256 vm = _mm256_set1_ps(m), vs = _mm256_setzero_ps();
    for (; i + 8 <= n; i += 8) {
        __m256 v = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), vm));
        _mm256_storeu_ps(x + i, v);
        vs = _mm256_add_ps(vs, v);
    }
    float s = hsum(vs);
    if (i < n) {
        float tmp[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        size_t rest = n - i;
        for (size_t j = 0; j < rest; ++j) tmp[j] = x[i + j] - m;
        _mm256_storeu_ps(tmp, exp8(_mm256_loadu_ps(tmp)));
        for (size_t j = 0; j < rest; ++j) {
            x[i + j] = tmp[j];
            s += tmp[j];
        }
    }
    *max = m;
    return s;
}

namespace {

// exp for 16 lanes, as exp8; the encoder's softmax uses it through expMinusMaxOnPath.
__attribute__((target("avx512f"))) inline __m512 exp16(__m512 x) {
    x = _mm512_mask_max_ps(x, 0xFFFF, _mm512_mask_min_ps(x, 0xFFFF, x, _mm512_set1_ps(88.3762626647949f)),
                           _mm512_set1_ps(-87.3365447504f));
    const __m512 xl = _mm512_mul_ps(x, _mm512_set1_ps(1.44269504088896341f));
    const __m512 n = _mm512_mask_roundscale_ps(xl, 0xFFFF, xl, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(0.693359375f), x);
    r = _mm512_fnmadd_ps(n, _mm512_set1_ps(-2.12194440e-4f), r);
    __m512 p = _mm512_set1_ps(1.9875691500E-4f);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507E-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073E-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894E-2f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459E-1f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201E-1f));
    p = _mm512_fmadd_ps(p, _mm512_mul_ps(r, r), _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
    return _mm512_mask_scalef_ps(p, 0xFFFF, p, n);
}

// expMinusMax sixteen lanes at a time, the last ones masked: in the cross-attention the
// exponentials cost about a quarter of what scoring the frames does on eight lanes.
__attribute__((target("avx512f"))) float expMinusMaxWide(float* x, size_t n, float* max) {
    const size_t full = n & ~size_t(15);
    const __mmask16 tail = static_cast<__mmask16>((1u << (n - full)) - 1);
    __m512 vmax = _mm512_set1_ps(-INFINITY);
    for (size_t i = 0; i < full; i += 16) vmax = _mm512_mask_max_ps(vmax, 0xFFFF, vmax, _mm512_loadu_ps(x + i));
    vmax = _mm512_mask_max_ps(vmax, 0xFFFF, vmax, _mm512_mask_loadu_ps(_mm512_set1_ps(-INFINITY), tail, x + full));
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, vmax);
    float m = lanes[0];
    for (int k = 1; k < 16; ++k) m = std::max(m, lanes[k]);
    const __m512 vm = _mm512_set1_ps(m);
    __m512 sum = _mm512_setzero_ps();
    for (size_t i = 0; i < full; i += 16) {
        const __m512 e = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), vm));
        _mm512_storeu_ps(x + i, e);
        sum = _mm512_add_ps(sum, e);
    }
    const __m512 e = _mm512_maskz_mov_ps(tail, exp16(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + full), vm)));
    _mm512_mask_storeu_ps(x + full, tail, e);
    sum = _mm512_add_ps(sum, e);
    _mm512_store_ps(lanes, sum);
    float s = 0;
    for (int k = 0; k < 16; ++k) s += lanes[k];
    *max = m;
    return s;
}

}  // namespace

float expMinusMaxOnPath(GemmPath path, float* x, size_t n, float* max) {
    if (n != 0 && (path == GemmPath::avx512 || path == GemmPath::avx512bf16)) return expMinusMaxWide(x, n, max);
    return expMinusMax(x, n, max);
}

void softmaxRow(float* x, size_t n) {
    if (n == 0) return;
    float m;
    const float s = expMinusMax(x, n, &m);
    float inv = 1.0f / s;
    __m256 vi = _mm256_set1_ps(inv);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), vi));
    for (; i < n; ++i) x[i] *= inv;
}

float dot(const float* a, const float* b, size_t n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
        s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
    }
    for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
    float s = hsum(_mm256_add_ps(s0, s1));
    for (; i < n; ++i) s += a[i] * b[i];
    return s;
}

float dotHalf(const float* a, const uint16_t* b, size_t n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i),
                             _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))), s0);
        s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8),
                             _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 8))), s1);
    }
    for (; i + 8 <= n; i += 8)
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i),
                             _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))), s0);
    float s = hsum(_mm256_add_ps(s0, s1));
    for (; i < n; ++i) s += a[i] * _cvtsh_ss(b[i]);
    return s;
}

void axpyHalf(float a, const uint16_t* x, float* y, size_t n) {
    __m256 va = _mm256_set1_ps(a);
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(va, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i))),
                                                _mm256_loadu_ps(y + i)));
    for (; i < n; ++i) y[i] += a * _cvtsh_ss(x[i]);
}

namespace {

inline __m256 loadHalf8(const uint16_t* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }

// Runs Kernel<hd / Lanes> for head widths a multiple of Lanes, up to MaxBlocks blocks.
template <template <int> class Kernel, size_t Lanes, int MaxBlocks, class... Args>
bool dispatchBlocks(size_t hd, Args&&... args) {
    if (hd % Lanes != 0) return false;
    switch (hd / Lanes) {
#define WHISPER_BLOCK_CASE(b)                     \
    case b:                                       \
        if constexpr (b <= MaxBlocks) {           \
            Kernel<b>::run(args...);              \
            return true;                          \
        }                                         \
        return false;
        WHISPER_BLOCK_CASE(1) WHISPER_BLOCK_CASE(2) WHISPER_BLOCK_CASE(3) WHISPER_BLOCK_CASE(4)
        WHISPER_BLOCK_CASE(5) WHISPER_BLOCK_CASE(6) WHISPER_BLOCK_CASE(7) WHISPER_BLOCK_CASE(8)
        WHISPER_BLOCK_CASE(9) WHISPER_BLOCK_CASE(10) WHISPER_BLOCK_CASE(11) WHISPER_BLOCK_CASE(12)
        WHISPER_BLOCK_CASE(13) WHISPER_BLOCK_CASE(14) WHISPER_BLOCK_CASE(15) WHISPER_BLOCK_CASE(16)
#undef WHISPER_BLOCK_CASE
        default: return false;
    }
}

// How far ahead of the frames being attended to their keys and values are fetched.
constexpr size_t kAttendAheadBytes = 2048;

// Keys and values [from, from + length) of a piece `bytes` long, into L1.
inline void fetchAttendAhead(const uint16_t* keys, const uint16_t* values, size_t from, size_t bytes, size_t length) {
    for (size_t off = from; off < from + length && off < bytes; off += 64) {
        _mm_prefetch(reinterpret_cast<const char*>(keys) + off, _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(values) + off, _MM_HINT_T0);
    }
}

// One pass over a piece of a head (keys and values of eight frames at a time, the softmax kept
// running: its maximum so far, and the sum and weighted values rescaled whenever it grows). A pass
// over the keys and then one over the values left the memory idle while each started up and while
// the exponentials ran: two threads read the cross-attention at two thirds of the bandwidth.
template <int B>
float attendBlocks(const float* q, const uint16_t* keys, const uint16_t* values, size_t frames, float scale,
                   float* scores, float* out, float* max) {
    constexpr size_t hd = 8 * B, blockBytes = 8 * hd * sizeof(uint16_t);
    const size_t bytes = frames * hd * sizeof(uint16_t);
    fetchAttendAhead(keys, values, 0, bytes, kAttendAheadBytes);
    __m256 qv[B], acc[B];
    #pragma GCC unroll 16
    for (int j = 0; j < B; ++j) qv[j] = _mm256_loadu_ps(q + 8 * j), acc[j] = _mm256_setzero_ps();
    float top = -INFINITY;
    __m256 sum = _mm256_setzero_ps();
    alignas(32) float p[8];
    for (size_t n = 0; n < frames; n += 8) {
        const size_t count = std::min<size_t>(8, frames - n);
        const uint16_t* k = keys + n * hd;
        const uint16_t* v = values + n * hd;
        fetchAttendAhead(keys, values, n * hd * sizeof(uint16_t) + kAttendAheadBytes, bytes, blockBytes);
        __m256 a[8];
        #pragma GCC unroll 8
        for (int f = 0; f < 8; ++f) a[f] = _mm256_setzero_ps();
        for (size_t f = 0; f < count; ++f) {
            #pragma GCC unroll 16
            for (int j = 0; j < B; ++j) a[f] = _mm256_fmadd_ps(qv[j], loadHalf8(k + f * hd + 8 * j), a[f]);
        }
        // The eight totals in order: frames 0-3 in the low half of each horizontal sum, 4-7 in the high.
        const __m256 t0 = _mm256_hadd_ps(_mm256_hadd_ps(a[0], a[1]), _mm256_hadd_ps(a[2], a[3]));
        const __m256 t1 = _mm256_hadd_ps(_mm256_hadd_ps(a[4], a[5]), _mm256_hadd_ps(a[6], a[7]));
        const __m256 s = _mm256_mul_ps(_mm256_add_ps(_mm256_permute2f128_ps(t0, t1, 0x20), _mm256_permute2f128_ps(t0, t1, 0x31)),
                                       _mm256_set1_ps(scale));
        _mm256_store_ps(p, s);
        float blockTop = p[0];
        for (size_t f = 0; f < count; ++f) scores[n + f] = p[f], blockTop = std::max(blockTop, p[f]);
        if (blockTop > top) {
            const __m256 shrink = _mm256_set1_ps(std::exp(top - blockTop));
            #pragma GCC unroll 16
            for (int j = 0; j < B; ++j) acc[j] = _mm256_mul_ps(acc[j], shrink);
            sum = _mm256_mul_ps(sum, shrink);
            top = blockTop;
        }
        const __m256 live = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                                                                   _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
        const __m256 e = _mm256_and_ps(live, exp8(_mm256_sub_ps(s, _mm256_set1_ps(top))));
        sum = _mm256_add_ps(sum, e);
        _mm256_store_ps(p, e);
        for (size_t f = 0; f < count; ++f) {
            const __m256 pf = _mm256_set1_ps(p[f]);
            #pragma GCC unroll 16
            for (int j = 0; j < B; ++j) acc[j] = _mm256_fmadd_ps(pf, loadHalf8(v + f * hd + 8 * j), acc[j]);
        }
    }
    #pragma GCC unroll 16
    for (int j = 0; j < B; ++j) _mm256_storeu_ps(out + 8 * j, acc[j]);
    *max = top;
    return hsum(sum);
}

template <int B>
struct AttendKernel {
    static void run(float* total, const float* q, const uint16_t* k, const uint16_t* v, size_t frames, float scale,
                    float* scores, float* out, float* max) {
        *total = attendBlocks<B>(q, k, v, frames, scale, scores, out, max);
    }
};

// The same blocks sixteen lanes wide, for heads a multiple of 16: one conversion and one FMA per
// sixteen halves, where the eight-lane path spends its time converting (two threads scored at about
// 44 GB/s there, short of the bandwidth).
__attribute__((target("avx512f"))) inline __m512 loadHalf16(const uint16_t* p) {
    // The zero-masked form: the plain one trips g++ 12's uninitialised-value warning.
    return _mm512_maskz_cvtph_ps(__mmask16(0xFFFF), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Two vectors summed by 128-bit blocks: `Lo` and `Hi` pick which blocks of each are added.
template <int Lo, int Hi>
__attribute__((target("avx512f"))) inline __m512 foldBlocks(__m512 a, __m512 b) {
    return _mm512_add_ps(_mm512_mask_shuffle_f32x4(a, 0xFFFF, a, b, Lo), _mm512_mask_shuffle_f32x4(a, 0xFFFF, a, b, Hi));
}

// The totals of eight sums, in order, scaled, in the low eight lanes (a transpose as it adds, with
// the masked forms of the shuffles: g++ 12 warns on the plain ones, and on narrowing casts).
__attribute__((target("avx512f"))) inline __m512 eightTotals(const __m512* a, float scale) {
    // Halves: frame 2i in blocks 0-1, frame 2i+1 in blocks 2-3.
    const __m512 u0 = foldBlocks<0x44, 0xEE>(a[0], a[1]), u1 = foldBlocks<0x44, 0xEE>(a[2], a[3]);
    const __m512 u2 = foldBlocks<0x44, 0xEE>(a[4], a[5]), u3 = foldBlocks<0x44, 0xEE>(a[6], a[7]);
    // Quarters: block k holds four partial sums of frame k (w0) and frame 4 + k (w1).
    const __m512 w0 = foldBlocks<0x88, 0xDD>(u0, u1), w1 = foldBlocks<0x88, 0xDD>(u2, u3);
    __m512 t = _mm512_add_ps(_mm512_mask_unpacklo_ps(w0, 0xFFFF, w0, w1), _mm512_mask_unpackhi_ps(w0, 0xFFFF, w0, w1));
    t = _mm512_add_ps(t, _mm512_mask_permute_ps(t, 0xFFFF, t, 0x4E));
    // Block k: frame k's total in lane 0, frame 4 + k's in lane 1.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 0, 0, 0, 0, 0, 0, 0, 0);
    return _mm512_mul_ps(_mm512_mask_permutexvar_ps(t, 0xFFFF, order, t), _mm512_set1_ps(scale));
}


// The same on sixteen lanes, for heads a multiple of 16.
template <int B>
__attribute__((target("avx512f"))) float attendBlocks512(const float* q, const uint16_t* keys,
                                                          const uint16_t* values, size_t frames, float scale,
                                                          float* scores, float* out, float* max) {
    constexpr size_t hd = 16 * B, blockBytes = 8 * hd * sizeof(uint16_t);
    const size_t bytes = frames * hd * sizeof(uint16_t);
    fetchAttendAhead(keys, values, 0, bytes, kAttendAheadBytes);
    __m512 qv[B], acc[B];
    #pragma GCC unroll 8
    for (int j = 0; j < B; ++j) qv[j] = _mm512_loadu_ps(q + 16 * j), acc[j] = _mm512_setzero_ps();
    float top = -INFINITY;
    __m512 sum = _mm512_setzero_ps();
    alignas(64) float p[16];
    for (size_t n = 0; n < frames; n += 8) {
        const size_t count = std::min<size_t>(8, frames - n);
        const uint16_t* k = keys + n * hd;
        const uint16_t* v = values + n * hd;
        fetchAttendAhead(keys, values, n * hd * sizeof(uint16_t) + kAttendAheadBytes, bytes, blockBytes);
        __m512 a[8];
        #pragma GCC unroll 8
        for (int f = 0; f < 8; ++f) a[f] = _mm512_setzero_ps();
        if (count == 8) {
            #pragma GCC unroll 8
            for (int j = 0; j < B; ++j) {
                #pragma GCC unroll 8
                for (int f = 0; f < 8; ++f) a[f] = _mm512_fmadd_ps(qv[j], loadHalf16(k + f * hd + 16 * j), a[f]);
            }
        } else {
            for (size_t f = 0; f < count; ++f) {
                #pragma GCC unroll 8
                for (int j = 0; j < B; ++j) a[f] = _mm512_fmadd_ps(qv[j], loadHalf16(k + f * hd + 16 * j), a[f]);
            }
        }
        const __mmask16 lanes = static_cast<__mmask16>((1u << count) - 1);
        const __m512 s = eightTotals(a, scale);
        _mm512_mask_storeu_ps(scores + n, lanes, s);
        // The block's maximum from its low eight lanes (masked forms: g++ 12 warns on the plain ones).
        const __m512 masked = _mm512_mask_mov_ps(_mm512_set1_ps(-INFINITY), lanes, s);
        __m256 m8 = _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xF, _mm512_castps_pd(masked), 0));
        m8 = _mm256_max_ps(m8, _mm256_permute2f128_ps(m8, m8, 1));
        m8 = _mm256_max_ps(m8, _mm256_shuffle_ps(m8, m8, 0x4E));
        m8 = _mm256_max_ps(m8, _mm256_shuffle_ps(m8, m8, 0xB1));
        const float blockTop = _mm256_cvtss_f32(m8);
        if (blockTop > top) {
            const __m512 shrink = _mm512_set1_ps(std::exp(top - blockTop));
            #pragma GCC unroll 8
            for (int j = 0; j < B; ++j) acc[j] = _mm512_mul_ps(acc[j], shrink);
            sum = _mm512_mul_ps(sum, shrink);
            top = blockTop;
        }
        const __m512 e = _mm512_maskz_mov_ps(lanes, exp16(_mm512_sub_ps(s, _mm512_set1_ps(top))));
        sum = _mm512_add_ps(sum, e);
        _mm512_store_ps(p, e);
        if (count == 8) {
            #pragma GCC unroll 8
            for (int f = 0; f < 8; ++f) {
                const __m512 pf = _mm512_set1_ps(p[f]);
                #pragma GCC unroll 8
                for (int j = 0; j < B; ++j) acc[j] = _mm512_fmadd_ps(pf, loadHalf16(v + f * hd + 16 * j), acc[j]);
            }
        } else {
            for (size_t f = 0; f < count; ++f) {
                const __m512 pf = _mm512_set1_ps(p[f]);
                #pragma GCC unroll 8
                for (int j = 0; j < B; ++j) acc[j] = _mm512_fmadd_ps(pf, loadHalf16(v + f * hd + 16 * j), acc[j]);
            }
        }
    }
    #pragma GCC unroll 8
    for (int j = 0; j < B; ++j) _mm512_storeu_ps(out + 16 * j, acc[j]);
    *max = top;
    _mm512_store_ps(p, sum);
    float total = 0;
    for (float lane : p) total += lane;
    return total;
}

template <int B>
struct AttendKernel512 {
    static void run(float* total, const float* q, const uint16_t* k, const uint16_t* v, size_t frames, float scale,
                    float* scores, float* out, float* max) {
        *total = attendBlocks512<B>(q, k, v, frames, scale, scores, out, max);
    }
};

bool isWide(GemmPath path) { return path == GemmPath::avx512 || path == GemmPath::avx512bf16; }

}  // namespace

float attendHalfOnPath(GemmPath path, const float* q, const uint16_t* keys, const uint16_t* values, size_t frames,
                       size_t hd, float scale, float* scores, float* out, float* max) {
    float total = 0;
    if (frames != 0 && isWide(path) &&
        dispatchBlocks<AttendKernel512, 16, 8>(hd, &total, q, keys, values, frames, scale, scores, out, max))
        return total;
    if (frames != 0 && path != GemmPath::portable &&
        dispatchBlocks<AttendKernel, 8, 16>(hd, &total, q, keys, values, frames, scale, scores, out, max))
        return total;
    // Portable: the scores and their maximum, then the exponentials and the weighted values.
    *max = -INFINITY;
    for (size_t n = 0; n < frames; ++n) {
        scores[n] = dotHalf(q, keys + n * hd, hd) * scale;
        *max = std::max(*max, scores[n]);
    }
    std::fill(out, out + hd, 0.0f);
    for (size_t n = 0; n < frames; ++n) {
        const float e = std::exp(scores[n] - *max);
        total += e;
        axpyHalf(e, values + n * hd, out, hd);
    }
    return total;
}

float attendHalf(const float* q, const uint16_t* keys, const uint16_t* values, size_t frames, size_t hd, float scale,
                 float* scores, float* out, float* max) {
    return attendHalfOnPath(bestGemmPath(), q, keys, values, frames, hd, scale, scores, out, max);
}

// The sums stay in registers, 32 positions at a time: summing into memory row by row made every row
// wait on the store of the row before.
void columnScoresHalf(const float* q, const uint16_t* k, size_t rows, size_t stride, size_t count, float* scores) {
    size_t j = 0;
    for (; j + 32 <= count; j += 32) {
        __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
        for (size_t i = 0; i < rows; ++i) {
            const uint16_t* row = k + i * stride + j;
            const __m256 qi = _mm256_set1_ps(q[i]);
            s0 = _mm256_fmadd_ps(qi, loadHalf8(row), s0);
            s1 = _mm256_fmadd_ps(qi, loadHalf8(row + 8), s1);
            s2 = _mm256_fmadd_ps(qi, loadHalf8(row + 16), s2);
            s3 = _mm256_fmadd_ps(qi, loadHalf8(row + 24), s3);
        }
        _mm256_storeu_ps(scores + j, s0);
        _mm256_storeu_ps(scores + j + 8, s1);
        _mm256_storeu_ps(scores + j + 16, s2);
        _mm256_storeu_ps(scores + j + 24, s3);
    }
    for (; j + 8 <= count; j += 8) {
        // Even and odd rows apart: two chains of additions instead of one.
        __m256 s0 = _mm256_setzero_ps(), s1 = s0;
        size_t i = 0;
        for (; i + 2 <= rows; i += 2) {
            s0 = _mm256_fmadd_ps(_mm256_set1_ps(q[i]), loadHalf8(k + i * stride + j), s0);
            s1 = _mm256_fmadd_ps(_mm256_set1_ps(q[i + 1]), loadHalf8(k + (i + 1) * stride + j), s1);
        }
        if (i < rows) s0 = _mm256_fmadd_ps(_mm256_set1_ps(q[i]), loadHalf8(k + i * stride + j), s0);
        _mm256_storeu_ps(scores + j, _mm256_add_ps(s0, s1));
    }
    for (; j < count; ++j) {
        float sum = 0;
        for (size_t i = 0; i < rows; ++i) sum += q[i] * _cvtsh_ss(k[i * stride + j]);
        scores[j] = sum;
    }
}

// Four rows side by side: one row's sum alone is a chain of dependent additions.
void columnValuesHalf(const float* p, const uint16_t* v, size_t rows, size_t stride, size_t count, float* out) {
    size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const uint16_t* r = v + i * stride;
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        size_t j = 0;
        for (; j + 8 <= count; j += 8) {
            const __m256 pj = _mm256_loadu_ps(p + j);
            a0 = _mm256_fmadd_ps(pj, loadHalf8(r + j), a0);
            a1 = _mm256_fmadd_ps(pj, loadHalf8(r + stride + j), a1);
            a2 = _mm256_fmadd_ps(pj, loadHalf8(r + 2 * stride + j), a2);
            a3 = _mm256_fmadd_ps(pj, loadHalf8(r + 3 * stride + j), a3);
        }
        // [a0, a1, a2, a3] summed across their lanes.
        const __m256 h = _mm256_hadd_ps(_mm256_hadd_ps(a0, a1), _mm256_hadd_ps(a2, a3));
        float sums[4];
        _mm_storeu_ps(sums, _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1)));
        for (; j < count; ++j)
            for (size_t n = 0; n < 4; ++n) sums[n] += p[j] * _cvtsh_ss(r[n * stride + j]);
        for (size_t n = 0; n < 4; ++n) out[i + n] = sums[n];
    }
    for (; i < rows; ++i) {
        const uint16_t* row = v + i * stride;
        float sum = 0;
        for (size_t j = 0; j < count; ++j) sum += p[j] * _cvtsh_ss(row[j]);
        out[i] = sum;
    }
}

void axpy(float a, const float* x, float* y, size_t n) {
    __m256 va = _mm256_set1_ps(a);
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(va, _mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
    for (; i < n; ++i) y[i] += a * x[i];
}

namespace {
// How far ahead of the row being summed the weights are fetched, into L2: two threads streamed 48 GB/s
// fetching 2 KiB ahead into L1, 55 with no prefetch and 56-57 fetching 8-16 KiB ahead into L2 (a
// plain read: 60). Into L1, the prefetches hold the few L1 miss slots the loads need.
constexpr size_t kPrefetchBytes = 8192;
}

void gemvHalfRows(const uint16_t* w, const float* x, const float* bias, float* y, size_t rowBegin, size_t rowEnd,
                  size_t cols) {
    // One row at a time, front to back: the rows of a chunk are one contiguous run, and a single
    // forward stream is what the prefetchers follow best. Summing several rows side by side (to
    // share the loads of x) keeps that many streams open and was measured slower, since x stays in
    // L1 anyway. The prefetches run a fixed distance ahead in the run; the first stretch is asked
    // for all at once, so a chunk does not start with a miss on every line.
    const char* end = reinterpret_cast<const char*>(w + rowEnd * cols);
    const char* first = reinterpret_cast<const char*>(w + rowBegin * cols);
    for (const char* p = first; p < end && p < first + kPrefetchBytes; p += 64) _mm_prefetch(p, _MM_HINT_T1);
    for (size_t r = rowBegin; r < rowEnd; ++r) {
        const uint16_t* row = w + r * cols;
        const char* ahead = reinterpret_cast<const char*>(row) + kPrefetchBytes;
        __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
        size_t i = 0;
        for (; i + 32 <= cols; i += 32) {
            if (ahead + 2 * i < end) _mm_prefetch(ahead + 2 * i, _MM_HINT_T1);
            s0 = _mm256_fmadd_ps(loadHalf8(row + i), _mm256_loadu_ps(x + i), s0);
            s1 = _mm256_fmadd_ps(loadHalf8(row + i + 8), _mm256_loadu_ps(x + i + 8), s1);
            s2 = _mm256_fmadd_ps(loadHalf8(row + i + 16), _mm256_loadu_ps(x + i + 16), s2);
            s3 = _mm256_fmadd_ps(loadHalf8(row + i + 24), _mm256_loadu_ps(x + i + 24), s3);
        }
        for (; i + 8 <= cols; i += 8) s0 = _mm256_fmadd_ps(loadHalf8(row + i), _mm256_loadu_ps(x + i), s0);
        float t = hsum(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
        for (; i < cols; ++i) t += _cvtsh_ss(row[i]) * x[i];
        y[r] = t + (bias ? bias[r] : 0.0f);
    }
}

void gemvHalf(const uint16_t* w, const float* x, const float* bias, float* y, size_t rows, size_t cols) {
    gemvHalfThen(w, x, bias, y, rows, cols, RowsFunction{}, nullptr);
}

void gemvHalfThen(const uint16_t* w, const float* x, const float* bias, float* y, size_t rows, size_t cols,
                  RowsFunction finish, void* context, const NextReads* next) {
    // Groups of 8 rows, chunks of at least about 32 KiB of weights: the helpers spin between a
    // step's products, so even a d x d product is worth spreading over every thread.
    const size_t groups = (rows + 7) / 8;
    const size_t grain = std::max<size_t>(1, (size_t(1) << 14) / std::max<size_t>(8 * cols, 1));
    // Matrix-vector products come in quick succession (a decoder step): keep the helpers awake.
    parallelFor(groups, grain, [&](size_t b, size_t e) {
        const size_t r0 = 8 * b, r1 = std::min(rows, 8 * e);
        gemvHalfRows(w, x, bias, y, r0, r1, cols);
        if (finish) finish(context, r0, r1);
    }, true, next);
}

void matmulTransB(const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m, size_t n,
                  size_t k, float alpha, float beta) {
    matmulTransBThen(a, lda, b, ldb, c, ldc, m, n, k, alpha, beta, nullptr, nullptr);
}

void matmulTransBThen(const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m, size_t n,
                      size_t k, float alpha, float beta, BlockFunction finish, void* context) {
    matmulTransBOnPath(bestGemmPath(), a, lda, b, ldb, c, ldc, m, n, k, alpha, beta, finish, context);
}

void addBiasBlock(float* x, size_t ld, size_t r0, size_t r1, size_t c0, size_t c1, const float* bias) {
    for (size_t r = r0; r < r1; ++r) {
        float* row = x + r * ld;
        size_t i = c0;
        for (; i + 8 <= c1; i += 8)
            _mm256_storeu_ps(row + i, _mm256_add_ps(_mm256_loadu_ps(row + i), _mm256_loadu_ps(bias + i)));
        for (; i < c1; ++i) row[i] += bias[i];
    }
}

void addBiasGeluBlock(float* x, size_t ld, size_t r0, size_t r1, size_t c0, size_t c1, const float* bias) {
    for (size_t r = r0; r < r1; ++r) {
        float* row = x + r * ld;
        size_t i = c0;
        for (; i + 8 <= c1; i += 8)
            _mm256_storeu_ps(row + i, gelu8(_mm256_add_ps(_mm256_loadu_ps(row + i), _mm256_loadu_ps(bias + i))));
        for (; i < c1; ++i) row[i] = geluScalar(row[i] + bias[i]);
    }
}

}  // namespace coreml::whisper

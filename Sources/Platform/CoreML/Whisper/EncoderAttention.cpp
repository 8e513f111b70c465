#include "Platform/CoreML/Whisper/EncoderAttention.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

namespace {

// Query rows per task: a multiple of six and of twelve (the AVX-512 kernels' rows), and its scores
// (36 x frames) stay in the core's cache.
constexpr size_t kRowBlock = 36;

// Scores of R query rows against 16 keys at a time: keysT is [hd][stride] (keys transposed,
// zero-padded to a multiple of 16).
template <int R>
void scoreRows(const float* q, size_t ldq, const float* keysT, size_t stride, size_t hd, float scale, float* s,
               size_t lds) {
    const __m256 vs = _mm256_set1_ps(scale);
    for (size_t n0 = 0; n0 < stride; n0 += 16) {
        __m256 acc[R][2];
        #pragma GCC unroll 16
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
        const float* kt = keysT + n0;
        for (size_t c = 0; c < hd; ++c) {
            __m256 k0 = _mm256_loadu_ps(kt + c * stride), k1 = _mm256_loadu_ps(kt + c * stride + 8);
            #pragma GCC unroll 16
            for (int i = 0; i < R; ++i) {
                __m256 qb = _mm256_broadcast_ss(q + i * ldq + c);
                acc[i][0] = _mm256_fmadd_ps(qb, k0, acc[i][0]);
                acc[i][1] = _mm256_fmadd_ps(qb, k1, acc[i][1]);
            }
        }
        #pragma GCC unroll 16
        for (int i = 0; i < R; ++i) {
            _mm256_storeu_ps(s + i * lds + n0, _mm256_mul_ps(acc[i][0], vs));
            _mm256_storeu_ps(s + i * lds + n0 + 8, _mm256_mul_ps(acc[i][1], vs));
        }
    }
}

// out[i][c0 .. c0 + 8J) = sum_n p[i][n] v[n][c0 ...] for R rows; values is [frames][hd].
template <int R, int J>
void weighRows(const float* p, size_t ldp, const float* values, size_t frames, size_t hd, size_t c0, float* out,
               size_t ldo) {
    __m256 acc[R][J];
    #pragma GCC unroll 16
    for (int i = 0; i < R; ++i)
        #pragma GCC unroll 16
        for (int j = 0; j < J; ++j) acc[i][j] = _mm256_setzero_ps();
    for (size_t n = 0; n < frames; ++n) {
        const float* v = values + n * hd + c0;
        __m256 vv[J];
        #pragma GCC unroll 16
        for (int j = 0; j < J; ++j) vv[j] = _mm256_loadu_ps(v + 8 * j);
        #pragma GCC unroll 16
        for (int i = 0; i < R; ++i) {
            __m256 pb = _mm256_broadcast_ss(p + i * ldp + n);
            #pragma GCC unroll 16
            for (int j = 0; j < J; ++j) acc[i][j] = _mm256_fmadd_ps(pb, vv[j], acc[i][j]);
        }
    }
    #pragma GCC unroll 16
    for (int i = 0; i < R; ++i)
        #pragma GCC unroll 16
        for (int j = 0; j < J; ++j) _mm256_storeu_ps(out + i * ldo + c0 + 8 * j, acc[i][j]);
}

template <int R>
void weighAll(const float* p, size_t ldp, const float* values, size_t frames, size_t hd, float* out, size_t ldo) {
    // Two vectors of a value row per pass: with four rows that is 8 accumulators fed by 6 loads.
    const size_t vectorWidth = hd & ~size_t(7);
    for (size_t c0 = 0; c0 < vectorWidth; c0 += 16) {
        if (vectorWidth - c0 >= 16)
            weighRows<R, 2>(p, ldp, values, frames, hd, c0, out, ldo);
        else
            weighRows<R, 1>(p, ldp, values, frames, hd, c0, out, ldo);
    }
    // Heads whose width is not a multiple of 8 finish their last columns one by one.
    for (size_t c = vectorWidth; c < hd; ++c)
        for (int i = 0; i < R; ++i) {
            float sum = 0;
            for (size_t n = 0; n < frames; ++n) sum += p[i * ldp + n] * values[n * hd + c];
            out[i * ldo + c] = sum;
        }
}

// The same for heads stored as panels of 16 columns, [hd / 16][frames][16]: every frame's slice of a
// panel is one cache line, and six rows keep twelve accumulators busy.
template <int R>
void weighPanels(const float* p, size_t ldp, const float* panels, size_t frames, size_t hd, float* out, size_t ldo) {
    for (size_t c0 = 0; c0 < hd; c0 += 16) {
        const float* panel = panels + c0 * frames;
        __m256 acc[R][2];
        #pragma GCC unroll 16
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
        for (size_t n = 0; n < frames; ++n) {
            __m256 v0 = _mm256_loadu_ps(panel + n * 16), v1 = _mm256_loadu_ps(panel + n * 16 + 8);
            #pragma GCC unroll 16
            for (int i = 0; i < R; ++i) {
                __m256 pb = _mm256_broadcast_ss(p + i * ldp + n);
                acc[i][0] = _mm256_fmadd_ps(pb, v0, acc[i][0]);
                acc[i][1] = _mm256_fmadd_ps(pb, v1, acc[i][1]);
            }
        }
        #pragma GCC unroll 16
        for (int i = 0; i < R; ++i) {
            _mm256_storeu_ps(out + i * ldo + c0, acc[i][0]);
            _mm256_storeu_ps(out + i * ldo + c0 + 8, acc[i][1]);
        }
    }
}

// Runs Kernel<Max> over rows [r0, r1) in groups of Max, then Kernel<rest> once on the rest.
template <int R, template <int> class Kernel, class... Args>
void lastRows(size_t rest, size_t r, Args&&... args) {
    if constexpr (R > 0) {
        if (rest == static_cast<size_t>(R))
            Kernel<R>::run(r, args...);
        else
            lastRows<R - 1, Kernel>(rest, r, args...);
    }
}

template <int Max, template <int> class Kernel, class... Args>
void rowsAtATime(size_t r0, size_t r1, Args&&... args) {
    size_t r = r0;
    for (; r + Max <= r1; r += Max) Kernel<Max>::run(r, args...);
    lastRows<Max - 1, Kernel>(r1 - r, r, args...);
}

template <int R>
struct ScoreKernel {
    static void run(size_t r, size_t r0, const float* q, size_t ld, const float* kt, size_t stride, size_t hd,
                    float scale, float* sc) {
        scoreRows<R>(q + r * ld, ld, kt, stride, hd, scale, sc + (r - r0) * stride, stride);
    }
};

template <int R>
struct WeighKernel {
    static void run(size_t r, size_t r0, const float* sc, size_t stride, const float* vh, size_t T, size_t hd,
                    float* out, size_t d) {
        weighPanels<R>(sc + (r - r0) * stride, stride, vh, T, hd, out + r * d, d);
    }
};


// AVX-512: scores of R query rows (up to twelve) against 32 keys at a time; keysT as above with a
// stride that is a multiple of 32.
template <int R>
__attribute__((target("avx512f"))) void scoreRowsWide(const float* q, size_t ldq, const float* keysT, size_t stride,
                                                      size_t hd, float scale, float* s, size_t lds) {
    const __m512 vs = _mm512_set1_ps(scale);
    for (size_t n0 = 0; n0 < stride; n0 += 32) {
        __m512 acc[R][2];
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
        const float* kt = keysT + n0;
        for (size_t c = 0; c < hd; ++c) {
            const __m512 k0 = _mm512_loadu_ps(kt + c * stride), k1 = _mm512_loadu_ps(kt + c * stride + 16);
#pragma GCC unroll 12
            for (int i = 0; i < R; ++i) {
                const __m512 qb = _mm512_set1_ps(q[i * ldq + c]);
                acc[i][0] = _mm512_fmadd_ps(qb, k0, acc[i][0]);
                acc[i][1] = _mm512_fmadd_ps(qb, k1, acc[i][1]);
            }
        }
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) {
            _mm512_storeu_ps(s + i * lds + n0, _mm512_mul_ps(acc[i][0], vs));
            _mm512_storeu_ps(s + i * lds + n0 + 16, _mm512_mul_ps(acc[i][1], vs));
        }
    }
}

// AVX-512: values as panels of 32 columns, [hd / 32][frames][32], twelve rows at a time.
template <int R>
__attribute__((target("avx512f"))) void weighPanelsWide(const float* p, size_t ldp, const float* panels, size_t frames,
                                                        size_t hd, float* out, size_t ldo) {
    for (size_t c0 = 0; c0 < hd; c0 += 32) {
        const float* panel = panels + c0 * frames;
        __m512 acc[R][2];
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
        for (size_t n = 0; n < frames; ++n) {
            const __m512 v0 = _mm512_loadu_ps(panel + n * 32), v1 = _mm512_loadu_ps(panel + n * 32 + 16);
#pragma GCC unroll 12
            for (int i = 0; i < R; ++i) {
                const __m512 pb = _mm512_set1_ps(p[i * ldp + n]);
                acc[i][0] = _mm512_fmadd_ps(pb, v0, acc[i][0]);
                acc[i][1] = _mm512_fmadd_ps(pb, v1, acc[i][1]);
            }
        }
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) {
            _mm512_storeu_ps(out + i * ldo + c0, acc[i][0]);
            _mm512_storeu_ps(out + i * ldo + c0 + 16, acc[i][1]);
        }
    }
}

// Softmax of one row of n scores, sixteen lanes at a time (the last ones masked).
__attribute__((target("avx512f"))) void softmaxRowWide(float* x, size_t n) {
    float max;
    const __m512 inv = _mm512_set1_ps(1.0f / expMinusMaxOnPath(GemmPath::avx512, x, n, &max));
    const size_t full = n & ~size_t(15);
    const __mmask16 tail = static_cast<__mmask16>((1u << (n - full)) - 1);
    for (size_t i = 0; i < full; i += 16) _mm512_storeu_ps(x + i, _mm512_mul_ps(_mm512_loadu_ps(x + i), inv));
    _mm512_mask_storeu_ps(x + full, tail, _mm512_mul_ps(_mm512_maskz_loadu_ps(tail, x + full), inv));
}

// The reduced-precision path's attention: queries, keys, probabilities and values rounded to
// bfloat16 pairs (one 32-bit word per pair), products summed in single precision by the BF16
// dot-product instructions. Scores pair along the head's columns: keys as [hd / 2][stride] words,
// a query row as hd / 2 words. Weighing pairs along the frames: a probability row as words of two
// frames, values as panels of 32 columns, [hd / 32][frames / 2][32] words.
inline uint32_t pairBf16(float lo, float hi) { return bfloat16Bits(lo) | (uint32_t(bfloat16Bits(hi)) << 16); }

template <int R>
__attribute__((target("avx512f,avx512bf16"))) void scoreRowsBf16(const uint32_t* q, size_t ldq, const uint32_t* keys,
                                                                  size_t stride, size_t pairs, float scale, float* s,
                                                                  size_t lds) {
    const __m512 vs = _mm512_set1_ps(scale);
    for (size_t n0 = 0; n0 < stride; n0 += 32) {
        __m512 acc[R][2];
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
        const uint32_t* kt = keys + n0;
        for (size_t c = 0; c < pairs; ++c) {
            const __m512bh k0 = (__m512bh)_mm512_loadu_si512(kt + c * stride);
            const __m512bh k1 = (__m512bh)_mm512_loadu_si512(kt + c * stride + 16);
#pragma GCC unroll 12
            for (int i = 0; i < R; ++i) {
                const __m512bh qb = (__m512bh)_mm512_set1_epi32(static_cast<int>(q[i * ldq + c]));
                acc[i][0] = _mm512_dpbf16_ps(acc[i][0], qb, k0);
                acc[i][1] = _mm512_dpbf16_ps(acc[i][1], qb, k1);
            }
        }
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) {
            _mm512_storeu_ps(s + i * lds + n0, _mm512_mul_ps(acc[i][0], vs));
            _mm512_storeu_ps(s + i * lds + n0 + 16, _mm512_mul_ps(acc[i][1], vs));
        }
    }
}

template <int R>
__attribute__((target("avx512f,avx512bf16"))) void weighPanelsBf16(const uint32_t* p, size_t ldp, const uint32_t* panels,
                                                                    size_t framePairs, size_t hd, float* out,
                                                                    size_t ldo) {
    for (size_t c0 = 0; c0 < hd; c0 += 32) {
        const uint32_t* panel = panels + c0 * framePairs;
        __m512 acc[R][2];
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
        for (size_t n = 0; n < framePairs; ++n) {
            const __m512bh v0 = (__m512bh)_mm512_loadu_si512(panel + n * 32);
            const __m512bh v1 = (__m512bh)_mm512_loadu_si512(panel + n * 32 + 16);
#pragma GCC unroll 12
            for (int i = 0; i < R; ++i) {
                const __m512bh pb = (__m512bh)_mm512_set1_epi32(static_cast<int>(p[i * ldp + n]));
                acc[i][0] = _mm512_dpbf16_ps(acc[i][0], pb, v0);
                acc[i][1] = _mm512_dpbf16_ps(acc[i][1], pb, v1);
            }
        }
#pragma GCC unroll 12
        for (int i = 0; i < R; ++i) {
            _mm512_storeu_ps(out + i * ldo + c0, acc[i][0]);
            _mm512_storeu_ps(out + i * ldo + c0 + 16, acc[i][1]);
        }
    }
}

template <int R>
struct ScoreKernelBf16 {
    static void run(size_t r, size_t r0, const uint32_t* q, size_t ldq, const uint32_t* keys, size_t stride,
                    size_t pairs, float scale, float* sc) {
        scoreRowsBf16<R>(q + (r - r0) * ldq, ldq, keys, stride, pairs, scale, sc + (r - r0) * stride, stride);
    }
};

template <int R>
struct WeighKernelBf16 {
    static void run(size_t r, size_t r0, const uint32_t* p, size_t ldp, const uint32_t* vh, size_t framePairs,
                    size_t hd, float* out, size_t d) {
        weighPanelsBf16<R>(p + (r - r0) * ldp, ldp, vh, framePairs, hd, out + r * d, d);
    }
};

template <int R>
struct ScoreKernelWide {
    static void run(size_t r, size_t r0, const float* q, size_t ld, const float* kt, size_t stride, size_t hd,
                    float scale, float* sc) {
        scoreRowsWide<R>(q + r * ld, ld, kt, stride, hd, scale, sc + (r - r0) * stride, stride);
    }
};

template <int R>
struct WeighKernelWide {
    static void run(size_t r, size_t r0, const float* sc, size_t stride, const float* vh, size_t T, size_t hd,
                    float* out, size_t d) {
        weighPanelsWide<R>(sc + (r - r0) * stride, stride, vh, T, hd, out + r * d, d);
    }
};

void reducedPrecisionAttention(const float* qkv, size_t T, size_t d, size_t H, float* out, uint32_t* packed,
                               size_t stride) {
    const size_t hd = d / H, ld = 3 * d, pairs = hd / 2, framePairs = (T + 1) / 2;
    uint32_t* keys = packed;                        // [H][hd / 2][stride]
    uint32_t* values = packed + H * pairs * stride;  // [H][hd / 32][frames / 2][32]
    const size_t tiles = (T + 63) / 64;
    parallelFor(H * tiles, 1, [&](size_t b, size_t e) {
        for (size_t task = b; task < e; ++task) {
            const size_t h = task / tiles, n0 = (task % tiles) * 64, n1 = std::min(T, n0 + 64);
            uint32_t* kt = keys + h * pairs * stride;
            uint32_t* vh = values + h * hd * framePairs;
            for (size_t n = n0; n < n1; ++n) {
                const float* row = qkv + n * ld + d + h * hd;
                for (size_t c = 0; c < pairs; ++c) kt[c * stride + n] = pairBf16(row[2 * c], row[2 * c + 1]);
            }
            for (size_t n = n0; n < n1; n += 2) {
                const float* v = qkv + n * ld + 2 * d + h * hd;
                const float* next = n + 1 < T ? v + ld : nullptr;
                for (size_t c = 0; c < hd; ++c)
                    vh[(c / 32) * framePairs * 32 + (n / 2) * 32 + c % 32] = pairBf16(v[c], next ? next[c] : 0.0f);
            }
            if (n1 == T)
                for (size_t c = 0; c < pairs; ++c) std::fill(kt + c * stride + T, kt + (c + 1) * stride, 0u);
        }
    });
    const float scale = 1.0f / std::sqrt(static_cast<float>(hd));
    const size_t blocks = (T + kRowBlock - 1) / kRowBlock;
    parallelTasks(H * blocks, [&](size_t b, size_t e) {
        thread_local std::vector<float> scores;
        thread_local std::vector<uint32_t> words;
        scores.resize(kRowBlock * stride);
        words.resize(kRowBlock * (pairs + stride / 2));
        uint32_t* q = words.data();                       // [rows][hd / 2]
        uint32_t* p = words.data() + kRowBlock * pairs;   // [rows][stride / 2]
        for (size_t task = b; task < e; ++task) {
            const size_t h = task / blocks, r0 = (task % blocks) * kRowBlock, r1 = std::min(T, r0 + kRowBlock);
            float* sc = scores.data();
            for (size_t r = r0; r < r1; ++r) bfloat16Pairs(qkv + r * ld + h * hd, hd, q + (r - r0) * pairs);
            rowsAtATime<12, ScoreKernelBf16>(r0, r1, r0, q, pairs, keys + h * pairs * stride, stride, pairs, scale,
                                               sc);
            // Scores beyond the last frame are zero (zero keys) and stay so: their probabilities are 0.
            for (size_t r = r0; r < r1; ++r) {
                softmaxRowWide(sc + (r - r0) * stride, T);
                bfloat16Pairs(sc + (r - r0) * stride, 2 * framePairs, p + (r - r0) * (stride / 2));
            }
            rowsAtATime<12, WeighKernelBf16>(r0, r1, r0, p, stride / 2, values + h * hd * framePairs, framePairs,
                                               hd, out + h * hd, d);
        }
    });
}

}  // namespace

void encoderSelfAttention(const float* qkv, size_t T, size_t d, size_t H, float* out, std::vector<float>& packed,
                          GemmPath path) {
    const size_t hd = d / H, ld = 3 * d;
    // The AVX-512 kernels go with the AVX-512 products (Whisper's heads are 64 wide).
    const bool wide = (path == GemmPath::avx512 || path == GemmPath::avx512bf16) && hd % 32 == 0;
    const size_t stride = wide ? (T + 31) & ~size_t(31) : (T + 15) & ~size_t(15);
    // Heads 16 columns wide or a multiple of that keep their values as panels of 16 (or 32) columns.
    const size_t panelWidth = wide ? 32 : 16;
    const bool panels = hd % panelWidth == 0;
    packed.resize(H * hd * stride + H * T * hd);
    if (wide && isReducedPrecision(path)) {
        reducedPrecisionAttention(qkv, T, d, H, out, reinterpret_cast<uint32_t*>(packed.data()), stride);
        return;
    }
    float* keysT = packed.data();                  // [H][hd][stride]
    float* values = packed.data() + H * hd * stride;  // [H][T][hd], or [H][hd / 16][T][16]
    // Keys transposed per head (tiles keep the reads and writes in cache), values per head contiguous.
    const size_t tiles = (T + 63) / 64;
    parallelFor(H * tiles, 1, [&](size_t b, size_t e) {
        for (size_t task = b; task < e; ++task) {
            const size_t h = task / tiles, n0 = (task % tiles) * 64, n1 = std::min(T, n0 + 64);
            float* kt = keysT + h * hd * stride;
            float* vh = values + h * T * hd;
            for (size_t n = n0; n < n1; ++n) {
                const float* row = qkv + n * ld + d + h * hd;
                for (size_t c = 0; c < hd; ++c) kt[c * stride + n] = row[c];
                const float* v = qkv + n * ld + 2 * d + h * hd;
                if (panels)
                    for (size_t c0 = 0; c0 < hd; c0 += panelWidth)
                        std::copy(v + c0, v + c0 + panelWidth, vh + (c0 * T) + n * panelWidth);
                else
                    std::copy(v, v + hd, vh + n * hd);
            }
            if (n1 == T)
                for (size_t c = 0; c < hd; ++c) std::fill(kt + c * stride + T, kt + (c + 1) * stride, 0.0f);
        }
    });
    const float scale = 1.0f / std::sqrt(static_cast<float>(hd));
    const size_t blocks = (T + kRowBlock - 1) / kRowBlock;
    parallelTasks(H * blocks, [&](size_t b, size_t e) {
        thread_local std::vector<float> scores;
        scores.resize(kRowBlock * stride);
        for (size_t task = b; task < e; ++task) {
            const size_t h = task / blocks, r0 = (task % blocks) * kRowBlock, r1 = std::min(T, r0 + kRowBlock);
            const float* kt = keysT + h * hd * stride;
            const float* vh = values + h * T * hd;
            float* sc = scores.data();
            if (wide) {
                rowsAtATime<12, ScoreKernelWide>(r0, r1, r0, qkv + h * hd, ld, kt, stride, hd, scale, sc);
                for (size_t r = r0; r < r1; ++r) softmaxRowWide(sc + (r - r0) * stride, T);
                rowsAtATime<12, WeighKernelWide>(r0, r1, r0, sc, stride, vh, T, hd, out + h * hd, d);
                continue;
            }
            rowsAtATime<6, ScoreKernel>(r0, r1, r0, qkv + h * hd, ld, kt, stride, hd, scale, sc);
            for (size_t r = r0; r < r1; ++r) softmaxRow(sc + (r - r0) * stride, T);
            if (panels) {
                rowsAtATime<6, WeighKernel>(r0, r1, r0, sc, stride, vh, T, hd, out + h * hd, d);
            } else {
                size_t r = r0;
                for (; r + 4 <= r1; r += 4) weighAll<4>(sc + (r - r0) * stride, stride, vh, T, hd, out + r * d + h * hd, d);
                for (; r < r1; ++r) weighAll<1>(sc + (r - r0) * stride, stride, vh, T, hd, out + r * d + h * hd, d);
            }
        }
    });
}

}  // namespace coreml::whisper

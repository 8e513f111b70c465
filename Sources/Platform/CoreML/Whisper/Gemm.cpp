#include "Platform/CoreML/Whisper/Gemm.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

namespace {

// Micro-kernel: tile[MR, NR] = sum over kc of a column of the packed A panel (MR values per step)
// times a row of the packed B panel (NR values per step), accumulated in registers.
using MicroKernel = void (*)(size_t kc, const float* ap, const float* bp, float* tile);
// The same on full panels of A read in place (MR rows, leading dimension lda).
using DirectKernel = void (*)(size_t kc, const float* a, size_t lda, const float* bp, float* tile);
using UpdateFunction = void (*)(const float* tile, size_t nr, float* c, size_t ldc, size_t rows, size_t cols,
                                float alpha, float beta, bool first);
void updateTile(const float* tile, size_t nr, float* c, size_t ldc, size_t rows, size_t cols, float alpha, float beta,
                bool first);
void updateTileAvx512(const float* tile, size_t nr, float* c, size_t ldc, size_t rows, size_t cols, float alpha,
                      float beta, bool first);

struct PathShape {
    size_t mr, nr;  // register tile
    size_t kc;      // largest depth of a slice: one B micro-panel (kc x nr) stays near L1
    size_t mc;      // rows of C in one tile of work (its A block stays in L2)
    size_t ncPanels;  // most B micro-panels in one tile of work
    MicroKernel kernel;
    bool bf16 = false;  // panels hold pairs of bfloat16 along k, one 32-bit word per pair
    // Where set, full panels of A are read in place (for bf16: from A converted to pairs of
    // bfloat16 once per product, lda in words) instead of being packed.
    DirectKernel direct = nullptr;
    UpdateFunction update = nullptr;  // writes a tile into C (updateTile where unset)
    bool transposes = false;  // full single-precision B panels packed by 16 x 16 AVX-512 transposes
};

// Plain C++; the compiler vectorises what it can. The reference the others are checked against
// when forced, and the path for CPUs without AVX2.
template <size_t MR, size_t NR>
void kernelPortable(size_t kc, const float* ap, const float* bp, float* tile) {
    float acc[MR][NR] = {};
    for (size_t p = 0; p < kc; ++p) {
        for (size_t i = 0; i < MR; ++i)
            for (size_t j = 0; j < NR; ++j) acc[i][j] += ap[i] * bp[j];
        ap += MR;
        bp += NR;
    }
    for (size_t i = 0; i < MR; ++i)
        for (size_t j = 0; j < NR; ++j) tile[i * NR + j] = acc[i][j];
}

// 6 x 16: twelve accumulators, two B vectors and a broadcast in the sixteen YMM registers.
__attribute__((target("avx2,fma"))) void kernelAvx2(size_t kc, const float* ap, const float* bp, float* tile) {
    constexpr int MR = 6;
    __m256 c[MR][2];
#pragma GCC unroll 6
    for (int i = 0; i < MR; ++i) c[i][0] = c[i][1] = _mm256_setzero_ps();
    for (size_t p = 0; p < kc; ++p) {
        const __m256 b0 = _mm256_loadu_ps(bp), b1 = _mm256_loadu_ps(bp + 8);
#pragma GCC unroll 6
        for (int i = 0; i < MR; ++i) {
            const __m256 a = _mm256_broadcast_ss(ap + i);
            c[i][0] = _mm256_fmadd_ps(a, b0, c[i][0]);
            c[i][1] = _mm256_fmadd_ps(a, b1, c[i][1]);
        }
        ap += MR;
        bp += 16;
    }
#pragma GCC unroll 6
    for (int i = 0; i < MR; ++i) {
        _mm256_storeu_ps(tile + i * 16, c[i][0]);
        _mm256_storeu_ps(tile + i * 16 + 8, c[i][1]);
    }
}

// 12 x 32: twenty-four accumulators, two B vectors and a broadcast in the thirty-two ZMM registers.
__attribute__((target("avx512f"))) void kernelAvx512(size_t kc, const float* ap, const float* bp, float* tile) {
    constexpr int MR = 12;
    __m512 c[MR][2];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) c[i][0] = c[i][1] = _mm512_setzero_ps();
    for (size_t p = 0; p < kc; ++p) {
        _mm_prefetch(reinterpret_cast<const char*>(bp + 8 * 32), _MM_HINT_T0);
        const __m512 b0 = _mm512_loadu_ps(bp), b1 = _mm512_loadu_ps(bp + 16);
#pragma GCC unroll 12
        for (int i = 0; i < MR; ++i) {
            const __m512 a = _mm512_set1_ps(ap[i]);
            c[i][0] = _mm512_fmadd_ps(a, b0, c[i][0]);
            c[i][1] = _mm512_fmadd_ps(a, b1, c[i][1]);
        }
        ap += MR;
        bp += 32;
    }
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) {
        _mm512_storeu_ps(tile + i * 32, c[i][0]);
        _mm512_storeu_ps(tile + i * 32 + 16, c[i][1]);
    }
}

// 12 x 32 on bfloat16 pairs: each step takes two values of k, one dot-product instruction per
// accumulator. ap and bp hold 32-bit words, each a pair (even k low, odd k high); kc counts pairs.
__attribute__((target("avx512f,avx512bf16"))) void kernelAvx512Bf16(size_t kc, const float* apF, const float* bpF,
                                                                     float* tile) {
    constexpr int MR = 12;
    const int32_t* ap = reinterpret_cast<const int32_t*>(apF);
    const __m512i* bp = reinterpret_cast<const __m512i*>(bpF);
    __m512 c[MR][2];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) c[i][0] = c[i][1] = _mm512_setzero_ps();
    for (size_t p = 0; p < kc; ++p) {
        const __m512bh b0 = (__m512bh)_mm512_loadu_si512(bp), b1 = (__m512bh)_mm512_loadu_si512(bp + 1);
#pragma GCC unroll 12
        for (int i = 0; i < MR; ++i) {
            const __m512bh a = (__m512bh)_mm512_set1_epi32(ap[i]);
            c[i][0] = _mm512_dpbf16_ps(c[i][0], a, b0);
            c[i][1] = _mm512_dpbf16_ps(c[i][1], a, b1);
        }
        ap += MR;
        bp += 2;
    }
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) {
        _mm512_storeu_ps(tile + i * 32, c[i][0]);
        _mm512_storeu_ps(tile + i * 32 + 16, c[i][1]);
    }
}

// The same reading A where it lies (MR rows, leading dimension lda) instead of from a packed panel:
// A's rows are read once per B panel straight from cache, and packing them cost a fifth of the
// kernel's time for the encoder's narrow products.
__attribute__((target("avx512f"))) void kernelAvx512Direct(size_t kc, const float* a, size_t lda, const float* bp,
                                                            float* tile) {
    constexpr int MR = 12;
    const float* rows[MR];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) rows[i] = a + i * lda;
    __m512 c[MR][2];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) c[i][0] = c[i][1] = _mm512_setzero_ps();
    for (size_t p = 0; p < kc; ++p) {
        _mm_prefetch(reinterpret_cast<const char*>(bp + 8 * 32), _MM_HINT_T0);
        const __m512 b0 = _mm512_loadu_ps(bp), b1 = _mm512_loadu_ps(bp + 16);
#pragma GCC unroll 12
        for (int i = 0; i < MR; ++i) {
            const __m512 av = _mm512_set1_ps(rows[i][p]);
            c[i][0] = _mm512_fmadd_ps(av, b0, c[i][0]);
            c[i][1] = _mm512_fmadd_ps(av, b1, c[i][1]);
        }
        bp += 32;
    }
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) {
        _mm512_storeu_ps(tile + i * 32, c[i][0]);
        _mm512_storeu_ps(tile + i * 32 + 16, c[i][1]);
    }
}

// The bfloat16 kernel reading A where it lies, as pairs of bfloat16 (one 32-bit word per pair,
// lda in words): A is converted once per product, never packed.
__attribute__((target("avx512f,avx512bf16"))) void kernelAvx512Bf16Direct(size_t kc, const float* aF, size_t lda,
                                                                           const float* bpF, float* tile) {
    constexpr int MR = 12;
    const int32_t* rows[MR];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) rows[i] = reinterpret_cast<const int32_t*>(aF) + i * lda;
    const __m512i* bp = reinterpret_cast<const __m512i*>(bpF);
    __m512 c[MR][2];
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) c[i][0] = c[i][1] = _mm512_setzero_ps();
    for (size_t p = 0; p < kc; ++p) {
        _mm_prefetch(reinterpret_cast<const char*>(bp + 16), _MM_HINT_T0);
        const __m512bh b0 = (__m512bh)_mm512_loadu_si512(bp), b1 = (__m512bh)_mm512_loadu_si512(bp + 1);
#pragma GCC unroll 12
        for (int i = 0; i < MR; ++i) {
            const __m512bh a = (__m512bh)_mm512_set1_epi32(rows[i][p]);
            c[i][0] = _mm512_dpbf16_ps(c[i][0], a, b0);
            c[i][1] = _mm512_dpbf16_ps(c[i][1], a, b1);
        }
        bp += 2;
    }
#pragma GCC unroll 12
    for (int i = 0; i < MR; ++i) {
        _mm512_storeu_ps(tile + i * 32, c[i][0]);
        _mm512_storeu_ps(tile + i * 32 + 16, c[i][1]);
    }
}

const PathShape& shapeOf(GemmPath path) {
    static const PathShape portable{4, 16, 256, 64, 24, kernelPortable<4, 16>};
    static const PathShape avx2{6, 16, 384, 96, 24, kernelAvx2};
    static const PathShape avx512{12, 32, 384, 96, 12, kernelAvx512, false, kernelAvx512Direct, updateTileAvx512,
                                  true};
    // Half the bytes per value: twice the depth in the same cache footprint.
    static const PathShape avx512bf16{12, 32, 768, 96, 12, kernelAvx512Bf16, true, kernelAvx512Bf16Direct,
                                      updateTileAvx512};
    switch (path) {
        case GemmPath::avx512bf16: return avx512bf16;
        case GemmPath::avx2: return avx2;
        case GemmPath::avx512: return avx512;
        case GemmPath::portable: break;
    }
    return portable;
}

// Rows [0, rows) of src (row-major, leading dimension ld), columns [k0, k0 + kc), into panels of R
// rows stored column by column (R values per column), the last panel padded with zeros.
template <class T>
void packPanels(const T* src, size_t ld, size_t rows, size_t k0, size_t kc, size_t R, T* dst) {
    for (size_t r0 = 0; r0 < rows; r0 += R) {
        const size_t rr = std::min(R, rows - r0);
        for (size_t r = 0; r < rr; ++r) {
            const T* row = src + (r0 + r) * ld + k0;
            T* out = dst + r;
            for (size_t p = 0; p < kc; ++p) out[p * R] = row[p];
        }
        for (size_t r = rr; r < R; ++r)
            for (size_t p = 0; p < kc; ++p) dst[p * R + r] = T(0);
        dst += kc * R;
    }
}

// As bfloat16Pairs, word p going to out[p * stride]. A row's values in order are already its
// pairs, so 32 of them convert with one instruction.
__attribute__((target("avx512f,avx512bf16"))) void rowToBf16(const float* row, size_t kc, uint32_t* out,
                                                              size_t stride) {
    alignas(64) uint32_t words[16];
    size_t p = 0;
    for (; p + 32 <= kc; p += 32) {
        const __m512bh v = _mm512_cvtne2ps_pbh(_mm512_loadu_ps(row + p + 16), _mm512_loadu_ps(row + p));
        if (stride == 1) {
            _mm512_storeu_si512(out + p / 2, (__m512i)v);
            continue;
        }
        _mm512_store_si512(words, (__m512i)v);
#pragma GCC unroll 16
        for (size_t w = 0; w < 16; ++w) out[(p / 2 + w) * stride] = words[w];
    }
    for (; p + 1 < kc; p += 2) out[(p / 2) * stride] = bfloat16Bits(row[p]) | (uint32_t(bfloat16Bits(row[p + 1])) << 16);
    if (p < kc) out[(p / 2) * stride] = bfloat16Bits(row[p]);
}

// C = alpha * tile + beta * C on the first slice of k (C unread when beta is 0), C += alpha * tile
// on the others. One expression per element, multiply and add rounded apart in vectors and in the
// scalar tail alike, so a full and a partial tile round the same.
inline void updateScalar(const float* t, float* out, size_t j, size_t cols, float alpha, float beta, bool first) {
    if (!first)
        for (; j < cols; ++j) out[j] = out[j] + alpha * t[j];
    else if (beta == 0.0f)
        for (; j < cols; ++j) out[j] = alpha * t[j];
    else
        for (; j < cols; ++j) out[j] = alpha * t[j] + beta * out[j];
}

void updateTile(const float* tile, size_t nr, float* c, size_t ldc, size_t rows, size_t cols, float alpha, float beta,
                bool first) {
    const __m256 va = _mm256_set1_ps(alpha), vb = _mm256_set1_ps(beta);
    for (size_t i = 0; i < rows; ++i) {
        const float* t = tile + i * nr;
        float* out = c + i * ldc;
        size_t j = 0;
        for (; j + 8 <= cols; j += 8) {
            const __m256 at = _mm256_mul_ps(va, _mm256_loadu_ps(t + j));
            __m256 r;
            if (!first)
                r = _mm256_add_ps(_mm256_loadu_ps(out + j), at);
            else if (beta == 0.0f)
                r = at;
            else
                r = _mm256_add_ps(at, _mm256_mul_ps(vb, _mm256_loadu_ps(out + j)));
            _mm256_storeu_ps(out + j, r);
        }
        updateScalar(t, out, j, cols, alpha, beta, first);
    }
}

__attribute__((target("avx512f"))) void updateTileAvx512(const float* tile, size_t nr, float* c, size_t ldc,
                                                          size_t rows, size_t cols, float alpha, float beta,
                                                          bool first) {
    const __m512 va = _mm512_set1_ps(alpha), vb = _mm512_set1_ps(beta);
    for (size_t i = 0; i < rows; ++i) {
        const float* t = tile + i * nr;
        float* out = c + i * ldc;
        size_t j = 0;
        for (; j + 16 <= cols; j += 16) {
            const __m512 at = _mm512_mul_ps(va, _mm512_loadu_ps(t + j));
            __m512 r;
            if (!first)
                r = _mm512_add_ps(_mm512_loadu_ps(out + j), at);
            else if (beta == 0.0f)
                r = at;
            else
                r = _mm512_add_ps(at, _mm512_mul_ps(vb, _mm512_loadu_ps(out + j)));
            _mm512_storeu_ps(out + j, r);
        }
        updateScalar(t, out, j, cols, alpha, beta, first);
    }
}

// Buffers 64-byte aligned, grown on demand and kept.
struct PackBuffer {
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float, Free> data;
    size_t capacity = 0;
    float* get(size_t count) {
        if (count > capacity) {
            const size_t bytes = (count * sizeof(float) + 63) & ~size_t(63);
            data.reset();
            data.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
            if (!data) throw std::bad_alloc();
            capacity = count;
        }
        return data.get();
    }
};

// How a product on a path is cut along k, and where things lie in the packed B: panel after panel
// of nr rows, each holding its slices one after the other (kc x nr words per slice).
struct Plan {
    const PathShape& s;
    size_t k, sliceDepth, slices;
    Plan(const PathShape& shape, size_t depth) : s(shape), k(depth) {
        // Slices of equal depth: every pass over C costs a read and a write of it, so no thin last
        // slice. Even depths keep bfloat16 pairs inside one slice.
        slices = (k + s.kc - 1) / s.kc;
        sliceDepth = ((k + slices - 1) / slices + 3) & ~size_t(3);
        slices = (k + sliceDepth - 1) / sliceDepth;
    }
    size_t words(size_t kc) const { return s.bf16 ? (kc + 1) / 2 : kc; }
    size_t panelWords() const { return words(k) * s.nr; }
    size_t rowWords() const { return words(k); }
};

// Every lane written: GCC 12's plain forms of these start from an undefined vector and warn.
__attribute__((target("avx512f"))) inline __m512 unpackLo(__m512 a, __m512 b) {
    return _mm512_mask_unpacklo_ps(a, 0xFFFF, a, b);
}
__attribute__((target("avx512f"))) inline __m512 unpackHi(__m512 a, __m512 b) {
    return _mm512_mask_unpackhi_ps(a, 0xFFFF, a, b);
}
template <int Imm>
__attribute__((target("avx512f"))) inline __m512 lanes(__m512 a, __m512 b) {
    return _mm512_mask_shuffle_f32x4(a, 0xFFFF, a, b, Imm);
}
__attribute__((target("avx512f"))) inline __m512 halvesToFloats(const uint16_t* p) {
    const __m512 none = _mm512_setzero_ps();
    return _mm512_mask_cvtph_ps(none, 0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Sixteen rows of B, columns [k0, k0 + kc), into a panel with leading dimension ld (dst[p * ld + i]
// = row i, column k0 + p): 16 x 16 blocks transposed in registers, each row read in its own
// precision.
__attribute__((target("avx512f"))) void packSixteenRows(const GemmB::Row* rows, size_t k0, size_t kc, float* dst,
                                                         size_t ld) {
    size_t p = 0;
    for (; p + 16 <= kc; p += 16) {
        __m512 r[16], t[16];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i)
            r[i] = rows[i].half ? halvesToFloats(static_cast<const uint16_t*>(rows[i].data) + k0 + p)
                                : _mm512_loadu_ps(static_cast<const float*>(rows[i].data) + k0 + p);
        // Pairs of rows interleaved, then quadruples, per 128-bit lane: r[4q + j] holds column
        // 4 * lane + j of rows 4q .. 4q + 3.
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = unpackLo(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = unpackHi(r[2 * i], r[2 * i + 1]);
        }
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) {
            r[4 * q] = _mm512_shuffle_ps(t[4 * q], t[4 * q + 2], 0x44);
            r[4 * q + 1] = _mm512_shuffle_ps(t[4 * q], t[4 * q + 2], 0xEE);
            r[4 * q + 2] = _mm512_shuffle_ps(t[4 * q + 1], t[4 * q + 3], 0x44);
            r[4 * q + 3] = _mm512_shuffle_ps(t[4 * q + 1], t[4 * q + 3], 0xEE);
        }
        // Then the lanes: column 4 * lane + j gathers lane `lane` of r[j], r[4 + j], r[8 + j], r[12 + j].
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const __m512 u0 = lanes<0x88>(r[j], r[4 + j]), u1 = lanes<0xDD>(r[j], r[4 + j]);
            const __m512 u2 = lanes<0x88>(r[8 + j], r[12 + j]), u3 = lanes<0xDD>(r[8 + j], r[12 + j]);
            _mm512_storeu_ps(dst + (p + j) * ld, lanes<0x88>(u0, u2));
            _mm512_storeu_ps(dst + (p + 8 + j) * ld, lanes<0xDD>(u0, u2));
            _mm512_storeu_ps(dst + (p + 4 + j) * ld, lanes<0x88>(u1, u3));
            _mm512_storeu_ps(dst + (p + 12 + j) * ld, lanes<0xDD>(u1, u3));
        }
    }
    for (; p < kc; ++p)
        for (int i = 0; i < 16; ++i)
            dst[p * ld + i] = rows[i].half ? _cvtsh_ss(static_cast<const uint16_t*>(rows[i].data)[k0 + p])
                                           : static_cast<const float*>(rows[i].data)[k0 + p];
}

// Packs panels [p0, p1) of B (all slices) into `packed`.
void packB(const Plan& plan, const GemmB& b, size_t n, size_t p0, size_t p1, float* packed) {
    const PathShape& s = plan.s;
    float row[768];  // one row's slice converted from half precision (sliceDepth <= kc <= 768)
    for (size_t jp = p0; jp < p1; ++jp) {
        float* panel = packed + jp * plan.panelWords();
        const size_t r0 = jp * s.nr, rows = std::min(s.nr, n - r0);
        for (size_t pc = 0; pc < plan.k; pc += plan.sliceDepth) {
            const size_t kc = std::min(plan.sliceDepth, plan.k - pc), depth = plan.words(kc);
            float* dst = panel + plan.words(pc) * s.nr;
            if (s.transposes && rows == s.nr) {
                GemmB::Row sixteen[16];
                for (size_t g = 0; g < s.nr; g += 16) {
                    for (size_t i = 0; i < 16; ++i) sixteen[i] = b.row(r0 + g + i);
                    packSixteenRows(sixteen, pc, kc, dst + g, s.nr);
                }
                continue;
            }
            for (size_t r = 0; r < rows; ++r) {
                const GemmB::Row src = b.row(r0 + r);
                const float* values = static_cast<const float*>(src.data) + pc;
                if (src.half) {
                    halfToFloat(static_cast<const uint16_t*>(src.data) + pc, row, kc);
                    values = row;
                }
                if (s.bf16) {
                    rowToBf16(values, kc, reinterpret_cast<uint32_t*>(dst) + r, s.nr);
                } else {
                    float* out = dst + r;
                    for (size_t p = 0; p < kc; ++p) out[p * s.nr] = values[p];
                }
            }
            for (size_t r = rows; r < s.nr; ++r)
                for (size_t p = 0; p < depth; ++p) dst[p * s.nr + r] = 0.0f;
        }
    }
}

// One tile of C: rows [r0, r1) (at most s.mc), B panels [p0, p1). `aWords`, when set, is A as
// bfloat16 pairs (leading dimension plan.rowWords()).
void computeTile(const Plan& plan, const float* a, size_t lda, const uint32_t* aWords, const float* packed, float* c,
                 size_t ldc, size_t n, size_t r0, size_t r1, size_t p0, size_t p1, float alpha, float beta) {
    const PathShape& s = plan.s;
    thread_local PackBuffer aBuffer;
    alignas(64) float tile[12 * 32];
    const size_t rows = r1 - r0;
    // With a direct kernel only a last, partial panel of A is packed.
    const size_t fullRows = s.direct ? rows / s.mr * s.mr : 0;
    const size_t ldw = plan.rowWords();
    const UpdateFunction update = s.update ? s.update : updateTile;
    for (size_t pc = 0; pc < plan.k; pc += plan.sliceDepth) {
        const size_t kc = std::min(plan.sliceDepth, plan.k - pc), depth = plan.words(kc);
        const bool first = pc == 0;
        float* ap = nullptr;
        if (fullRows < rows) {
            ap = aBuffer.get((rows - fullRows + s.mr - 1) / s.mr * s.mr * depth);
            if (s.bf16)
                packPanels(aWords + (r0 + fullRows) * ldw, ldw, rows - fullRows, plan.words(pc), depth, s.mr,
                           reinterpret_cast<uint32_t*>(ap));
            else
                packPanels(a + (r0 + fullRows) * lda, lda, rows - fullRows, pc, kc, s.mr, ap);
        }
        for (size_t jp = p0; jp < p1; ++jp) {
            const size_t cols = std::min(s.nr, n - jp * s.nr);
            const float* bPanel = packed + jp * plan.panelWords() + plan.words(pc) * s.nr;
            for (size_t ir = 0; ir < rows; ir += s.mr) {
                const size_t rr = std::min(s.mr, rows - ir);
                // The C tile is fetched while the micro-kernel runs; it is cold otherwise.
                float* cTile = c + (r0 + ir) * ldc + jp * s.nr;
                for (size_t r = 0; r < rr; ++r)
                    for (size_t j = 0; j < cols; j += 16)
                        _mm_prefetch(reinterpret_cast<const char*>(cTile + r * ldc + j), _MM_HINT_T0);
                if (ir < fullRows) {
                    if (s.bf16)
                        s.direct(depth, reinterpret_cast<const float*>(aWords + (r0 + ir) * ldw + plan.words(pc)),
                                 ldw, bPanel, tile);
                    else
                        s.direct(kc, a + (r0 + ir) * lda + pc, lda, bPanel, tile);
                } else {
                    s.kernel(depth, ap + (ir - fullRows) * depth, bPanel, tile);
                }
                update(tile, s.nr, cTile, ldc, rr, cols, alpha, beta, first);
            }
        }
    }
}

// C = beta * C for an empty depth (C unread when beta is 0).
void scaleOnly(float* c, size_t ldc, size_t m, size_t n, float beta) {
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < n; ++j) c[i * ldc + j] = beta == 0.0f ? 0.0f : beta * c[i * ldc + j];
}

// The product, on the kernel threads or on the calling thread alone.
void product(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m, size_t n,
             size_t k, float alpha, float beta, BlockFunction finish, void* context, bool threaded) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        scaleOnly(c, ldc, m, n, beta);
        if (finish) finish(context, 0, m, 0, n);
        return;
    }
    const PathShape& s = shapeOf(path);
    const Plan plan(s, k);
    const size_t panels = (n + s.nr - 1) / s.nr;
    // Kept by the calling thread; the kernel threads only read them once filled.
    thread_local PackBuffer bShared, aShared;
    float* packed = bShared.get(panels * plan.panelWords());
    uint32_t* aWords = s.bf16 ? reinterpret_cast<uint32_t*>(aShared.get(m * plan.rowWords())) : nullptr;
    auto packSome = [&](size_t begin, size_t end) { packB(plan, b, n, begin, end, packed); };
    auto convertSome = [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r) rowToBf16(a + r * lda, k, aWords + r * plan.rowWords(), 1);
    };
    if (threaded) {
        parallelFor(panels, 1, packSome);
        if (aWords) parallelFor(m, 16, convertSome);
    } else {
        packSome(0, panels);
        if (aWords) convertSome(0, m);
    }

    // Tiles of at most s.mc rows and s.ncPanels panels; narrower ones where that leaves too few
    // tiles for the threads to share evenly (about eight each). Taken column block by column block,
    // so the threads at work at any moment share the same panels of B.
    const size_t rowBlocks = (m + s.mc - 1) / s.mc;
    size_t colBlocks = (panels + s.ncPanels - 1) / s.ncPanels;
    const size_t wanted = threaded ? 8 * static_cast<size_t>(kernelThreadCount()) : 1;
    while (rowBlocks * colBlocks < wanted && colBlocks < panels) ++colBlocks;
    const size_t panelsPerBlock = (panels + colBlocks - 1) / colBlocks;
    colBlocks = (panels + panelsPerBlock - 1) / panelsPerBlock;
    auto tiles = [&](size_t begin, size_t end) {
        for (size_t t = begin; t < end; ++t) {
            const size_t cb = t / rowBlocks, rb = t % rowBlocks;
            const size_t r0 = rb * s.mc, r1 = std::min(m, r0 + s.mc);
            const size_t p0 = cb * panelsPerBlock, p1 = std::min(panels, p0 + panelsPerBlock);
            computeTile(plan, a, lda, aWords, packed, c, ldc, n, r0, r1, p0, p1, alpha, beta);
            if (finish) finish(context, r0, r1, p0 * s.nr, std::min(n, p1 * s.nr));
        }
    };
    if (threaded)
        parallelTasks(rowBlocks * colBlocks, tiles);
    else
        tiles(0, rowBlocks * colBlocks);
}

}  // namespace

void bfloat16Pairs(const float* x, size_t n, uint32_t* out) { rowToBf16(x, n, out, 1); }

GemmB& GemmB::add(const void* b, size_t ld, size_t rows, bool half) {
    if (count_ == 3) throw std::length_error("GemmB holds at most three matrices");
    parts_[count_++] = Part{b, ld, rows, half};
    return *this;
}

const char* gemmPathName(GemmPath path) {
    switch (path) {
        case GemmPath::avx2: return "avx2";
        case GemmPath::avx512: return "avx512";
        case GemmPath::avx512bf16: return "avx512bf16";
        case GemmPath::portable: break;
    }
    return "portable";
}

const std::vector<GemmPath>& supportedGemmPaths() {
    // The compiler's CPUID probe also checks that the operating system saves the wide registers.
    static const std::vector<GemmPath> paths = [] {
        __builtin_cpu_init();
        std::vector<GemmPath> p{GemmPath::portable};
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) p.push_back(GemmPath::avx2);
        if (__builtin_cpu_supports("avx512f")) p.push_back(GemmPath::avx512);
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bf16")) p.push_back(GemmPath::avx512bf16);
        return p;
    }();
    return paths;
}

bool isReducedPrecision(GemmPath path) { return path == GemmPath::avx512bf16; }

GemmPath bestGemmPath() {
    static const GemmPath best = [] {
        GemmPath b = GemmPath::portable;
        for (GemmPath p : supportedGemmPaths())
            if (!isReducedPrecision(p)) b = p;
        return b;
    }();
    return best;
}

GemmPath reducedPrecisionGemmPath() {
    const auto& paths = supportedGemmPaths();
    return isReducedPrecision(paths.back()) ? paths.back() : bestGemmPath();
}

size_t gemmTileRows(GemmPath path) { return shapeOf(path).mr; }
size_t gemmTileColumns(GemmPath path) { return shapeOf(path).nr; }

void gemmTransB(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m, size_t n,
                size_t k, float alpha, float beta) {
    product(path, a, lda, b, c, ldc, m, n, k, alpha, beta, nullptr, nullptr, false);
}

void matmulTransBOnPath(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m,
                        size_t n, size_t k, float alpha, float beta, BlockFunction finish, void* context) {
    product(path, a, lda, b, c, ldc, m, n, k, alpha, beta, finish, context, true);
}

}  // namespace coreml::whisper

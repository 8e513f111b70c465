#include "Platform/CoreML/Whisper/Gemm.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace coreml::whisper {

namespace {

// Micro-kernel: tile[MR, NR] = sum over kc of a column of the packed A panel (MR values per step)
// times a row of the packed B panel (NR values per step), accumulated in registers.
using MicroKernel = void (*)(size_t kc, const float* ap, const float* bp, float* tile);
// The same on full panels of A read in place (MR rows, leading dimension lda).
using DirectKernel = void (*)(size_t kc, const float* a, size_t lda, const float* bp, float* tile);

struct PathShape {
    size_t mr, nr;  // register tile
    size_t kc;      // largest depth of a slice: one B micro-panel (kc x nr) stays near L1
    size_t mc;      // rows of A packed at once (kept in L2)
    size_t nc;      // columns of B packed at once
    MicroKernel kernel;
    bool bf16 = false;  // panels hold pairs of bfloat16 along k, one 32-bit word per pair
    DirectKernel direct = nullptr;  // where set, full panels of A are not packed
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

const PathShape& shapeOf(GemmPath path) {
    static const PathShape portable{4, 16, 256, 64, 512, kernelPortable<4, 16>};
    static const PathShape avx2{6, 16, 384, 96, 1024, kernelAvx2};
    static const PathShape avx512{12, 32, 384, 96, 1024, kernelAvx512, false, kernelAvx512Direct};
    // Half the bytes per value: twice the depth in the same cache footprint.
    static const PathShape avx512bf16{12, 32, 768, 96, 1024, kernelAvx512Bf16, true};
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
void packPanels(const float* src, size_t ld, size_t rows, size_t k0, size_t kc, size_t R, float* dst) {
    for (size_t r0 = 0; r0 < rows; r0 += R) {
        const size_t rr = std::min(R, rows - r0);
        for (size_t r = 0; r < rr; ++r) {
            const float* row = src + (r0 + r) * ld + k0;
            float* out = dst + r;
            for (size_t p = 0; p < kc; ++p) out[p * R] = row[p];
        }
        for (size_t r = rr; r < R; ++r)
            for (size_t p = 0; p < kc; ++p) dst[p * R + r] = 0.0f;
        dst += kc * R;
    }
}

// float -> bfloat16, round to nearest even (the values here are finite).
inline uint32_t toBf16(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return (bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16;
}

// As packPanels, rounded to bfloat16 and paired along k: word p of a row holds k = 2p (low half)
// and 2p + 1 (high half), an odd kc padded with zero. A row's values in order are already its
// pairs, so 32 of them convert with one instruction and go out as 16 words. Only called on CPUs
// with AVX512-BF16.
__attribute__((target("avx512f,avx512bf16"))) void packPanelsBf16(const float* src, size_t ld, size_t rows,
                                                                   size_t k0, size_t kc, size_t R, uint32_t* dst) {
    const size_t pairs = (kc + 1) / 2;
    alignas(64) uint32_t words[16];
    for (size_t r0 = 0; r0 < rows; r0 += R) {
        const size_t rr = std::min(R, rows - r0);
        for (size_t r = 0; r < rr; ++r) {
            const float* row = src + (r0 + r) * ld + k0;
            uint32_t* out = dst + r;
            size_t p = 0;
            for (; p + 32 <= kc; p += 32) {
                const __m512bh v = _mm512_cvtne2ps_pbh(_mm512_loadu_ps(row + p + 16), _mm512_loadu_ps(row + p));
                _mm512_store_si512(words, (__m512i)v);
#pragma GCC unroll 16
                for (size_t w = 0; w < 16; ++w) out[(p / 2 + w) * R] = words[w];
            }
            for (; p + 1 < kc; p += 2) out[(p / 2) * R] = toBf16(row[p]) | (toBf16(row[p + 1]) << 16);
            if (p < kc) out[(p / 2) * R] = toBf16(row[p]);
        }
        for (size_t r = rr; r < R; ++r)
            for (size_t p = 0; p < pairs; ++p) dst[p * R + r] = 0;
        dst += pairs * R;
    }
}

// C = alpha * tile + beta * C on the first slice of k (C unread when beta is 0), C += alpha * tile
// on the others. One expression per element, so a full and a partial tile round alike.
void updateTile(const float* tile, size_t nr, float* c, size_t ldc, size_t rows, size_t cols, float alpha, float beta,
                bool first) {
    for (size_t i = 0; i < rows; ++i) {
        const float* t = tile + i * nr;
        float* out = c + i * ldc;
        if (!first)
            for (size_t j = 0; j < cols; ++j) out[j] = out[j] + alpha * t[j];
        else if (beta == 0.0f)
            for (size_t j = 0; j < cols; ++j) out[j] = alpha * t[j];
        else
            for (size_t j = 0; j < cols; ++j) out[j] = alpha * t[j] + beta * out[j];
    }
}

// Packing buffers of the calling thread, 64-byte aligned, grown on demand and kept.
struct PackBuffer {
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float, Free> data;
    size_t capacity = 0;
    float* get(size_t count) {
        if (count > capacity) {
            const size_t bytes = (count * sizeof(float) + 63) & ~size_t(63);
            data.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
            if (!data) throw std::bad_alloc();
            capacity = count;
        }
        return data.get();
    }
};

}  // namespace

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

void gemmTransB(GemmPath path, const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m,
                size_t n, size_t k, float alpha, float beta) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        for (size_t i = 0; i < m; ++i)
            for (size_t j = 0; j < n; ++j) c[i * ldc + j] = beta == 0.0f ? 0.0f : beta * c[i * ldc + j];
        return;
    }
    const PathShape& s = shapeOf(path);
    // Slices of equal depth: every pass over C costs a read and a write of it, so no thin last slice.
    const size_t slices = (k + s.kc - 1) / s.kc;
    const size_t sliceDepth = ((k + slices - 1) / slices + 3) & ~size_t(3);
    thread_local PackBuffer aBuffer, bBuffer;
    alignas(64) float tile[12 * 32];
    for (size_t jc = 0; jc < n; jc += s.nc) {
        const size_t nc = std::min(s.nc, n - jc);
        const size_t ncPadded = (nc + s.nr - 1) / s.nr * s.nr;
        for (size_t pc = 0; pc < k; pc += sliceDepth) {
            const size_t kc = std::min(sliceDepth, k - pc);
            const bool first = pc == 0;
            // Words per packed column: kc floats, or kc / 2 bfloat16 pairs.
            const size_t depth = s.bf16 ? (kc + 1) / 2 : kc;
            float* bp = bBuffer.get(ncPadded * depth);
            if (s.bf16)
                packPanelsBf16(b + jc * ldb, ldb, nc, pc, kc, s.nr, reinterpret_cast<uint32_t*>(bp));
            else
                packPanels(b + jc * ldb, ldb, nc, pc, kc, s.nr, bp);
            for (size_t ic = 0; ic < m; ic += s.mc) {
                const size_t mc = std::min(s.mc, m - ic);
                const size_t mcPadded = (mc + s.mr - 1) / s.mr * s.mr;
                float* ap = aBuffer.get(mcPadded * depth);
                // With a direct kernel only a last, partial panel is packed (into the start of the buffer).
                const size_t fullRows = s.direct ? mc / s.mr * s.mr : 0;
                if (s.bf16)
                    packPanelsBf16(a + ic * lda, lda, mc, pc, kc, s.mr, reinterpret_cast<uint32_t*>(ap));
                else if (fullRows < mc)
                    packPanels(a + (ic + fullRows) * lda, lda, mc - fullRows, pc, kc, s.mr, ap);
                for (size_t jr = 0; jr < nc; jr += s.nr) {
                    const size_t cols = std::min(s.nr, nc - jr);
                    const float* bPanel = bp + jr * depth;
                    for (size_t ir = 0; ir < mc; ir += s.mr) {
                        const size_t rows = std::min(s.mr, mc - ir);
                        // The C tile is fetched while the micro-kernel runs; it is cold otherwise.
                        float* cTile = c + (ic + ir) * ldc + jc + jr;
                        for (size_t r = 0; r < rows; ++r)
                            for (size_t j = 0; j < cols; j += 16) _mm_prefetch(reinterpret_cast<const char*>(cTile + r * ldc + j), _MM_HINT_T0);
                        if (ir < fullRows)
                            s.direct(kc, a + (ic + ir) * lda + pc, lda, bPanel, tile);
                        else
                            s.kernel(depth, ap + (ir - fullRows) * depth, bPanel, tile);
                        updateTile(tile, s.nr, cTile, ldc, rows, cols, alpha, beta, first);
                    }
                }
            }
        }
    }
}

}  // namespace coreml::whisper

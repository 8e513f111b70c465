#pragma once
// Single-precision matrix products of our own: packed, cache-blocked, register-tiled micro-kernels,
// one per instruction set, the widest the CPU's feature flags allow picked at run time. A library's
// kernels are chosen from a table of processor models and fall back to slow generic code on any
// processor newer than its table; these depend on the feature flags only.
//
// Results depend on the path alone, never on how a product is cut into blocks or threads: every
// element of C is summed in the same order (k in fixed slices, each slice in order) whatever its
// place in a tile.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace coreml::whisper {

// avx512bf16 is the reduced-precision path: A and B rounded to bfloat16 (8 significant bits) as
// they are packed, products summed in single precision by the CPU's BF16 dot-product instructions.
enum class GemmPath { portable, avx2, avx512, avx512bf16 };

const char* gemmPathName(GemmPath path);
// The paths this CPU (and its operating system) can run: the single-precision ones, portable first,
// widest last, then the reduced-precision one where the CPU has it.
const std::vector<GemmPath>& supportedGemmPaths();
// The widest single-precision path: what products use unless a model asks for reduced precision.
GemmPath bestGemmPath();
// The reduced-precision path where the CPU has BF16 dot products, else bestGemmPath().
GemmPath reducedPrecisionGemmPath();
bool isReducedPrecision(GemmPath path);

// float -> bfloat16 bits, rounded to nearest even (the values here are finite).
inline uint16_t bfloat16Bits(float f) {
    uint32_t bits;
    __builtin_memcpy(&bits, &f, sizeof bits);
    return static_cast<uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

// n values as pairs of bfloat16: word p holds value 2p (low half) and 2p + 1 (high half), an odd n
// padded with zero. Only on CPUs with AVX512-BF16.
void bfloat16Pairs(const float* x, size_t n, uint32_t* out);

// Rows and columns of a path's register tile: block edges on these multiples avoid partial tiles.
size_t gemmTileRows(GemmPath path);
size_t gemmTileColumns(GemmPath path);

// Operand B of a product: n rows of k values, each row in single or half precision (IEEE F16, a
// layer's stored weights: converted while packed, so no single-precision copy of them is kept).
// Up to three matrices may be stacked (a layer's q, k and v weights as one [3d, d] operand).
class GemmB {
public:
    GemmB(const float* b, size_t ld) { stack(b, ld, SIZE_MAX); }
    GemmB(const uint16_t* b, size_t ld) { stack(b, ld, SIZE_MAX); }
    GemmB() = default;
    // Appends `rows` rows below the parts already there; the last part may leave rows at SIZE_MAX.
    GemmB& stack(const float* b, size_t ld, size_t rows) { return add(b, ld, rows, false); }
    GemmB& stack(const uint16_t* b, size_t ld, size_t rows) { return add(b, ld, rows, true); }

    struct Row {
        const void* data;
        bool half;
    };
    Row row(size_t r) const {
        int i = 0;
        while (i + 1 < count_ && r >= parts_[i].rows) r -= parts_[i++].rows;
        const Part& p = parts_[i];
        return {static_cast<const char*>(p.data) + r * p.ld * (p.half ? 2 : 4), p.half};
    }

private:
    struct Part {
        const void* data;
        size_t ld, rows;
        bool half;
    };
    GemmB& add(const void* b, size_t ld, size_t rows, bool half);
    Part parts_[3] = {};
    int count_ = 0;
};

// C[m, n] = alpha * A[m, k] . B[n, k]^T + beta * C on the calling thread. With beta == 0, C is not
// read. Leading dimensions in elements. `path` must be one of supportedGemmPaths().
void gemmTransB(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m, size_t n,
                size_t k, float alpha, float beta);
inline void gemmTransB(GemmPath path, const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc,
                       size_t m, size_t n, size_t k, float alpha, float beta) {
    gemmTransB(path, a, lda, GemmB(b, ldb), c, ldc, m, n, k, alpha, beta);
}
// B in half precision ([n, k] F16, e.g. a stored weight).
inline void gemmTransB(GemmPath path, const float* a, size_t lda, const uint16_t* b, size_t ldb, float* c, size_t ldc,
                       size_t m, size_t n, size_t k, float alpha, float beta) {
    gemmTransB(path, a, lda, GemmB(b, ldb), c, ldc, m, n, k, alpha, beta);
}

// The same spread over the kernel threads: B is packed once (in parallel), then C is cut into many
// more tiles than threads, taken one at a time, so no thread waits on a slower one for long. Then
// `finish(context, r0, r1, c0, c1)` runs on each tile of C (rows [r0, r1), columns [c0, c1)) by
// the thread that computed it, while the tile is still in its cache. The result is bit-identical
// to gemmTransB on the same path, whatever the thread count.
using BlockFunction = void (*)(void* context, size_t r0, size_t r1, size_t c0, size_t c1);
void matmulTransBOnPath(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m,
                        size_t n, size_t k, float alpha, float beta, BlockFunction finish = nullptr,
                        void* context = nullptr);
inline void matmulTransBOnPath(GemmPath path, const float* a, size_t lda, const float* b, size_t ldb, float* c,
                               size_t ldc, size_t m, size_t n, size_t k, float alpha, float beta,
                               BlockFunction finish = nullptr, void* context = nullptr) {
    matmulTransBOnPath(path, a, lda, GemmB(b, ldb), c, ldc, m, n, k, alpha, beta, finish, context);
}
// B in half precision ([n, k] F16, e.g. a stored weight).
inline void matmulTransBOnPath(GemmPath path, const float* a, size_t lda, const uint16_t* b, size_t ldb, float* c,
                               size_t ldc, size_t m, size_t n, size_t k, float alpha, float beta,
                               BlockFunction finish = nullptr, void* context = nullptr) {
    matmulTransBOnPath(path, a, lda, GemmB(b, ldb), c, ldc, m, n, k, alpha, beta, finish, context);
}

template <class F>
void matmulTransBOnPathThen(GemmPath path, const float* a, size_t lda, const GemmB& b, float* c, size_t ldc, size_t m,
                            size_t n, size_t k, float alpha, float beta, F&& finish) {
    using Body = std::remove_reference_t<F>;
    matmulTransBOnPath(
        path, a, lda, b, c, ldc, m, n, k, alpha, beta,
        [](void* ctx, size_t r0, size_t r1, size_t c0, size_t c1) { (*static_cast<Body*>(ctx))(r0, r1, c0, c1); },
        const_cast<void*>(static_cast<const void*>(&finish)));
}
template <class BT, class F>
void matmulTransBOnPathThen(GemmPath path, const float* a, size_t lda, const BT* b, size_t ldb, float* c, size_t ldc,
                            size_t m, size_t n, size_t k, float alpha, float beta, F&& finish) {
    matmulTransBOnPathThen(path, a, lda, GemmB(b, ldb), c, ldc, m, n, k, alpha, beta, std::forward<F>(finish));
}

}  // namespace coreml::whisper

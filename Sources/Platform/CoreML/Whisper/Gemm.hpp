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

// Rows and columns of a path's register tile: block edges on these multiples avoid partial tiles.
size_t gemmTileRows(GemmPath path);
size_t gemmTileColumns(GemmPath path);

// C[m, n] = alpha * A[m, k] . B[n, k]^T + beta * C on the calling thread. With beta == 0, C is not
// read. Leading dimensions in elements. `path` must be one of supportedGemmPaths().
void gemmTransB(GemmPath path, const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m,
                size_t n, size_t k, float alpha, float beta);

}  // namespace coreml::whisper

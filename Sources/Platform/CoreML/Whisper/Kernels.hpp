#pragma once
// Numeric building blocks of the Whisper architectures: half-precision conversion, layer norm,
// GELU, softmax, half-precision matrix-vector products and the threaded matrix products. All arithmetic
// is F32; for a given kernel thread count every routine gives the same result, however the work
// happens to be shared out.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Platform/CoreML/Whisper/Gemm.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

// IEEE half <-> float, round to nearest even.
float halfToFloat(uint16_t h);
uint16_t floatToHalf(float f);
void halfToFloat(const uint16_t* src, float* dst, size_t count);
void floatToHalf(const float* src, uint16_t* dst, size_t count);
// The same, spread over the kernel threads (for large arrays).
void halfToFloatParallel(const uint16_t* src, float* dst, size_t count);

// y = LayerNorm(x) * weight + bias over one row of n, eps 1e-5.
void layerNormRow(const float* x, float* y, size_t n, const float* weight, const float* bias);
// Rows of a [rows, n] matrix, in parallel.
void layerNormRows(const float* x, float* y, size_t rows, size_t n, const float* weight, const float* bias);

// Exact (erf) GELU in place.
void geluInPlace(float* x, size_t n);

// exp of n values (vectorised; relative error about 2e-7).
void expInPlace(float* x, size_t n);
// In-place softmax of one row; returns nothing. n may be 0.
void softmaxRow(float* x, size_t n);
// The unnormalised part of it: x[i] = exp(x[i] - max), returning the sum and setting *max (-inf
// for n = 0), so pieces of one row can be combined later.
float expMinusMax(float* x, size_t n, float* max);
// The same on a given path (one of supportedGemmPaths()); the sum differs between paths in the last bits.
float expMinusMaxOnPath(GemmPath path, float* x, size_t n, float* max);

// y[o] = sum_i W[o, i] x[i] (+ bias[o]) with W half precision [rows, cols] row-major. Serial.
void gemvHalfRows(const uint16_t* w, const float* x, const float* bias, float* y, size_t rowBegin, size_t rowEnd,
                  size_t cols);
// The same over all rows, spread over the kernel threads.
void gemvHalf(const uint16_t* w, const float* x, const float* bias, float* y, size_t rows, size_t cols);
// The same, then `finish(context, r0, r1)` on each run of rows [r0, r1) by the thread that computed
// it, while they are in its cache. r0 is a multiple of 8, and so is r1 unless it is `rows`.
using RowsFunction = void (*)(void* context, size_t r0, size_t r1);
// `next`: what the loop after this one reads (see NextReads).
void gemvHalfThen(const uint16_t* w, const float* x, const float* bias, float* y, size_t rows, size_t cols,
                  RowsFunction finish, void* context, const NextReads* next = nullptr);
template <class F>
void gemvHalfThen(const uint16_t* w, const float* x, const float* bias, float* y, size_t rows, size_t cols,
                  F&& finish, const NextReads* next = nullptr) {
    using Body = std::remove_reference_t<F>;
    gemvHalfThen(
        w, x, bias, y, rows, cols, [](void* ctx, size_t r0, size_t r1) { (*static_cast<Body*>(ctx))(r0, r1); },
        const_cast<void*>(static_cast<const void*>(&finish)), next);
}

// Softmax attention of q over a half-precision piece of keys and values laid out [frames, hd], the
// softmax left unnormalised: scores[n] = scale * q . K[n], *max = max_n scores[n], out = sum_n
// exp(scores[n] - *max) V[n]; returns sum_n exp(scores[n] - *max). Pieces of one head combine through
// their maxima and sums.
float attendHalf(const float* q, const uint16_t* keys, const uint16_t* values, size_t frames, size_t hd, float scale,
                 float* scores, float* out, float* max);
float attendHalfOnPath(GemmPath path, const float* q, const uint16_t* keys, const uint16_t* values, size_t frames,
                       size_t hd, float scale, float* scores, float* out, float* max);

// Attention against a half-precision block laid out [rows, stride] with the positions along the
// rows (the decoder's self-attention caches: one row per channel): scores[j] = sum_i q[i] K[i][j]
// and out[i] = sum_j p[j] V[i][j], for j < count. Nothing at or past `count` is read.
void columnScoresHalf(const float* q, const uint16_t* k, size_t rows, size_t stride, size_t count, float* scores);
void columnValuesHalf(const float* p, const uint16_t* v, size_t rows, size_t stride, size_t count, float* out);

float dot(const float* a, const float* b, size_t n);
// The same with b in half precision.
float dotHalf(const float* a, const uint16_t* b, size_t n);
// y += a * x with x in half precision.
void axpyHalf(float a, const uint16_t* x, float* y, size_t n);
// y += a * x
void axpy(float a, const float* x, float* y, size_t n);

// C[m, n] = alpha * A[m, k] . B[n, k]^T + beta * C (B given row-major as [n, k], i.e. a linear layer's
// weight). Leading dimensions in elements.
// On the widest single-precision path the CPU has (matmulTransBOnPath); the result depends on the
// path only.
void matmulTransB(const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m, size_t n,
                  size_t k, float alpha, float beta);

// The same, then `finish(context, r0, r1, c0, c1)` on each block of C (rows [r0, r1), columns
// [c0, c1)) by the thread that computed it, while the block is still in its cache.
void matmulTransBThen(const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m, size_t n,
                      size_t k, float alpha, float beta, BlockFunction finish, void* context);

template <class F>
void matmulTransBThen(const float* a, size_t lda, const float* b, size_t ldb, float* c, size_t ldc, size_t m, size_t n,
                      size_t k, float alpha, float beta, F&& finish) {
    using Body = std::remove_reference_t<F>;
    matmulTransBThen(
        a, lda, b, ldb, c, ldc, m, n, k, alpha, beta,
        [](void* ctx, size_t r0, size_t r1, size_t c0, size_t c1) { (*static_cast<Body*>(ctx))(r0, r1, c0, c1); },
        const_cast<void*>(static_cast<const void*>(&finish)));
}

// Finishing steps for a block of a [rows, ld] matrix: x += bias[c]; x = GELU(x + bias[c]).
void addBiasBlock(float* x, size_t ld, size_t r0, size_t r1, size_t c0, size_t c1, const float* bias);
void addBiasGeluBlock(float* x, size_t ld, size_t r0, size_t r1, size_t c0, size_t c1, const float* bias);

}  // namespace coreml::whisper

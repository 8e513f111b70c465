#pragma once
// The encoder's multi-head self-attention, computed in blocks of query rows so each block's scores
// stay in cache and every (head, block) pair is an independent task.
#include <cstddef>
#include <vector>

#include "Platform/CoreML/Whisper/Gemm.hpp"

namespace coreml::whisper {

// qkv: [frames, 3d] with q, k and v side by side (q already biased); out: [frames, d].
// `packed` is scratch (resized as needed). The kernels follow the products' `path`: AVX-512 ones
// with the AVX-512 paths, AVX2 ones otherwise.
void encoderSelfAttention(const float* qkv, size_t frames, size_t d, size_t heads, float* out,
                          std::vector<float>& packed, GemmPath path);

}  // namespace coreml::whisper

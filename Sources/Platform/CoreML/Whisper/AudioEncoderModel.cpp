#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "Platform/CoreML/Whisper/EncoderAttention.hpp"
#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

struct AudioEncoderModel::Layer {
    GemmB qkv, o, fc1, fc2;       // the stored matrices; q, k and v stacked as one [3d, d] operand
    std::vector<float> qkvBias;  // [3d], zero for k
    std::vector<float> oBias, fc1Bias, fc2Bias, ln1Weight, ln1Bias, ln2Weight, ln2Bias;
};

struct AudioEncoderModel::Scratch {
    // Buffers shared by stages that never overlap: the convolutions' im2col columns ([3000, 3 n_mels],
    // then [1500, 3d]) and the MLP's hidden layer [1500, 4d]; conv1's output [3000, d] and the
    // layers' q, k, v [1500, 3d].
    std::vector<float> wide, mid;
    std::vector<float> x;        // [1500, d]
    std::vector<float> xn;       // [1500, d]
    std::vector<float> attn;     // [1500, d]
    std::vector<float> packed;   // blocked attention's per-head keys and values
};

namespace {
// A stored matrix as a product's B operand, read in place.
GemmB operand(const TensorView& v, size_t ld, size_t rows = SIZE_MAX) {
    GemmB b;
    if (v.type == StoredType::float16)
        b.stack(static_cast<const uint16_t*>(v.data), ld, rows);
    else
        b.stack(static_cast<const float*>(v.data), ld, rows);
    return b;
}
GemmB& stackView(GemmB& b, const TensorView& v, size_t ld, size_t rows) {
    return v.type == StoredType::float16 ? b.stack(static_cast<const uint16_t*>(v.data), ld, rows)
                                         : b.stack(static_cast<const float*>(v.data), ld, rows);
}
}  // namespace

AudioEncoderModel::AudioEncoderModel(const EncoderDimensions& dims, const TensorLookup& t, GemmPath productPath)
    : dims_(dims), path_(productPath) {
    const int64_t d = dims.width, m = dims.melCount;
    if (d <= 0 || m <= 0 || dims.heads <= 0 || d % dims.heads != 0 || dims.layers < 0)
        throw WhisperModelError("Invalid encoder dimensions");
    conv1_ = operand(checked(t, "conv1.weight", {d, m, 3}), 3 * m);
    conv1Bias_ = loadFloat(t, "conv1.bias", {d});
    conv2_ = operand(checked(t, "conv2.weight", {d, d, 3}), 3 * d);
    conv2Bias_ = loadFloat(t, "conv2.bias", {d});
    positions_ = loadFloat(t, "embed_positions.weight", {kEncoderFrames, d});
    lnWeight_ = loadFloat(t, "layer_norm.weight", {d});
    lnBias_ = loadFloat(t, "layer_norm.bias", {d});
    layers_.resize(dims.layers);
    for (int l = 0; l < dims.layers; ++l) {
        Layer& L = layers_[l];
        std::string p = "layers." + std::to_string(l) + ".";
        const size_t ds = static_cast<size_t>(d);
        stackView(L.qkv, checked(t, p + "self_attn.q_proj.weight", {d, d}), ds, ds);
        stackView(L.qkv, checked(t, p + "self_attn.k_proj.weight", {d, d}), ds, ds);
        stackView(L.qkv, checked(t, p + "self_attn.v_proj.weight", {d, d}), ds, ds);
        L.o = operand(checked(t, p + "self_attn.out_proj.weight", {d, d}), ds);
        L.fc1 = operand(checked(t, p + "fc1.weight", {4 * d, d}), ds);
        L.fc2 = operand(checked(t, p + "fc2.weight", {d, 4 * d}), 4 * ds);
        L.qkvBias.assign(3 * d, 0.0f);
        auto qb = loadFloat(t, p + "self_attn.q_proj.bias", {d});
        auto vb = loadFloat(t, p + "self_attn.v_proj.bias", {d});
        std::copy(qb.begin(), qb.end(), L.qkvBias.begin());
        std::copy(vb.begin(), vb.end(), L.qkvBias.begin() + 2 * d);
        L.oBias = loadFloat(t, p + "self_attn.out_proj.bias", {d});
        L.fc1Bias = loadFloat(t, p + "fc1.bias", {4 * d});
        L.fc2Bias = loadFloat(t, p + "fc2.bias", {d});
        L.ln1Weight = loadFloat(t, p + "self_attn_layer_norm.weight", {d});
        L.ln1Bias = loadFloat(t, p + "self_attn_layer_norm.bias", {d});
        L.ln2Weight = loadFloat(t, p + "final_layer_norm.weight", {d});
        L.ln2Bias = loadFloat(t, p + "final_layer_norm.bias", {d});
    }
    const size_t ds = static_cast<size_t>(d), ms = static_cast<size_t>(m);
    const size_t wide = std::max({kMelFrames * 3 * ms, kEncoderFrames * 3 * ds, kEncoderFrames * 4 * ds});
    const size_t mid = std::max(kMelFrames * ds, kEncoderFrames * 3 * ds);
    scratch_ = std::make_unique<ScratchPool<Scratch>>(
        [ds, wide, mid] {
            auto s = std::make_unique<Scratch>();
            s->wide.resize(wide);
            s->mid.resize(mid);
            s->x.resize(kEncoderFrames * ds);
            s->xn.resize(kEncoderFrames * ds);
            s->attn.resize(kEncoderFrames * ds);
            return s;
        },
        (wide + mid + 3 * kEncoderFrames * ds) * sizeof(float));
}

AudioEncoderModel::~AudioEncoderModel() = default;

void AudioEncoderModel::encode(const uint16_t* mel, uint16_t* out) const {
    auto lease = scratch_->take();
    Scratch& s = *lease;
    const size_t d = dims_.width, m = dims_.melCount, H = dims_.heads;
    const size_t T1 = kMelFrames, T = kEncoderFrames;

    // conv1 (kernel 3, pad 1) as a product over columns[t] = x[t-1 .. t+1] per input channel, the
    // stored weight's own order (channel outer, tap inner). Built from the band-major features
    // 64 frames at a time, so the reads are rows and the writes stay in cache.
    const size_t tiles1 = (T1 + 63) / 64;
    parallelFor(tiles1, 1, [&](size_t b, size_t e) {
        float band[66];
        for (size_t tile = b; tile < e; ++tile) {
            const size_t t0 = tile * 64, t1 = std::min(T1, t0 + 64);
            // band[j] = x[t0 - 1 + j], zero beyond the ends.
            const size_t first = t0 == 0 ? 1 : 0, last = std::min(T1 - t0 + 1, t1 - t0 + 2);
            for (size_t c = 0; c < m; ++c) {
                band[0] = band[t1 - t0 + 1] = 0.0f;
                halfToFloat(mel + c * T1 + t0 - 1 + first, band + first, last - first);
                for (size_t t = t0; t < t1; ++t) {
                    float* col = s.wide.data() + t * 3 * m + 3 * c;
                    col[0] = band[t - t0];
                    col[1] = band[t - t0 + 1];
                    col[2] = band[t - t0 + 2];
                }
            }
        }
    });
    matmulTransBOnPathThen(bestGemmPath(), s.wide.data(), 3 * m, conv1_, s.mid.data(), d, T1, d, 3 * m, 1.0f, 0.0f,
                           [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                               addBiasGeluBlock(s.mid.data(), d, r0, r1, c0, c1, conv1Bias_.data());
                           });
    // conv2 (kernel 3, stride 2, pad 1): columns[t] = h[2t-1 .. 2t+1] per channel.
    parallelFor(T, 16, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) {
            float* col = s.wide.data() + t * 3 * d;
            const float* rows[3];
            for (int k = 0; k < 3; ++k) {
                const long src = 2 * static_cast<long>(t) + k - 1;
                rows[k] = src < 0 || src >= static_cast<long>(T1) ? nullptr : s.mid.data() + src * d;
            }
            for (size_t i = 0; i < d; ++i) {
                col[3 * i] = rows[0] ? rows[0][i] : 0.0f;
                col[3 * i + 1] = rows[1][i];
                col[3 * i + 2] = rows[2] ? rows[2][i] : 0.0f;
            }
        }
    });
    matmulTransBOnPathThen(bestGemmPath(), s.wide.data(), 3 * d, conv2_, s.x.data(), d, T, d, 3 * d, 1.0f, 0.0f,
                           [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                               addBiasGeluBlock(s.x.data(), d, r0, r1, c0, c1, conv2Bias_.data());
                               for (size_t t = r0; t < r1; ++t)
                                   axpy(1.0f, positions_.data() + t * d + c0, s.x.data() + t * d + c0, c1 - c0);
                           });

    for (const Layer& L : layers_) {
        layerNormRows(s.x.data(), s.xn.data(), T, d, L.ln1Weight.data(), L.ln1Bias.data());
        matmulTransBOnPathThen(path_, s.xn.data(), d, L.qkv, s.mid.data(), 3 * d, T, 3 * d, d, 1.0f, 0.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasBlock(s.mid.data(), 3 * d, r0, r1, c0, c1, L.qkvBias.data());
                               });
        encoderSelfAttention(s.mid.data(), T, d, H, s.attn.data(), s.packed, path_);
        // x += attn . Wo^T + bo
        matmulTransBOnPathThen(path_, s.attn.data(), d, L.o, s.x.data(), d, T, d, d, 1.0f, 1.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasBlock(s.x.data(), d, r0, r1, c0, c1, L.oBias.data());
                               });
        layerNormRows(s.x.data(), s.xn.data(), T, d, L.ln2Weight.data(), L.ln2Bias.data());
        matmulTransBOnPathThen(path_, s.xn.data(), d, L.fc1, s.wide.data(), 4 * d, T, 4 * d, d, 1.0f, 0.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasGeluBlock(s.wide.data(), 4 * d, r0, r1, c0, c1, L.fc1Bias.data());
                               });
        matmulTransBOnPathThen(path_, s.wide.data(), 4 * d, L.fc2, s.x.data(), d, T, d, 4 * d, 1.0f, 1.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasBlock(s.x.data(), d, r0, r1, c0, c1, L.fc2Bias.data());
                               });
    }
    layerNormRows(s.x.data(), s.xn.data(), T, d, lnWeight_.data(), lnBias_.data());
    // Channel-major output.
    parallelFor(d, 4, [&](size_t b, size_t e) {
        float row[kEncoderFrames];
        for (size_t c = b; c < e; ++c) {
            for (size_t t = 0; t < T; ++t) row[t] = s.xn[t * d + c];
            floatToHalf(row, out + c * T, T);
        }
    });
}

}  // namespace coreml::whisper

#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"

#include <cmath>
#include <cstring>

#include "Platform/CoreML/Whisper/EncoderAttention.hpp"
#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

struct AudioEncoderModel::Layer {
    // Stored views (used when the F32 copies are not kept).
    TensorView q, k, v, o, fc1, fc2;
    std::vector<float> qkv32, o32, fc132, fc232;  // kept F32 copies; qkv fused as [3d, d]
    std::vector<float> qkvBias;                   // [3d], zero for k
    std::vector<float> oBias, fc1Bias, fc2Bias, ln1Weight, ln1Bias, ln2Weight, ln2Bias;
};

struct AudioEncoderModel::Scratch {
    std::vector<float> melT;     // [3000, n_mels]
    std::vector<float> columns;  // im2col, [3000, 3 * max(n_mels, d)]
    std::vector<float> h1;       // [3000, d]
    std::vector<float> x;        // [1500, d]
    std::vector<float> xn;       // [1500, d]
    std::vector<float> qkv;      // [1500, 3d]
    std::vector<float> attn;     // [1500, d]
    std::vector<float> hidden;   // [1500, 4d]
    std::vector<float> packed;   // blocked attention's per-head keys and values
    std::vector<float> weights;  // one layer's matrices when not kept: 12 d^2
};

namespace {
// Conv weight [out, in, 3] -> [out, 3 * in] with the tap outermost, matching the im2col layout.
std::vector<float> tapMajor(const std::vector<float>& w, int out, int in) {
    std::vector<float> r(w.size());
    for (int o = 0; o < out; ++o)
        for (int i = 0; i < in; ++i)
            for (int k = 0; k < 3; ++k)
                r[(static_cast<size_t>(o) * 3 + k) * in + i] = w[(static_cast<size_t>(o) * in + i) * 3 + k];
    return r;
}
}  // namespace

AudioEncoderModel::AudioEncoderModel(const EncoderDimensions& dims, const TensorLookup& t, size_t keepFloatBudget,
                                     GemmPath productPath)
    : dims_(dims), path_(productPath) {
    const int64_t d = dims.width, m = dims.melCount;
    if (d <= 0 || m <= 0 || dims.heads <= 0 || d % dims.heads != 0 || dims.layers < 0)
        throw WhisperModelError("Invalid encoder dimensions");
    conv1_ = tapMajor(loadFloat(t, "conv1.weight", {d, m, 3}), int(d), int(m));
    conv1Bias_ = loadFloat(t, "conv1.bias", {d});
    conv2_ = tapMajor(loadFloat(t, "conv2.weight", {d, d, 3}), int(d), int(d));
    conv2Bias_ = loadFloat(t, "conv2.bias", {d});
    positions_ = loadFloat(t, "embed_positions.weight", {kEncoderFrames, d});
    lnWeight_ = loadFloat(t, "layer_norm.weight", {d});
    lnBias_ = loadFloat(t, "layer_norm.bias", {d});
    keepsFloat_ = static_cast<size_t>(dims.layers) * 12 * d * d * sizeof(float) <= keepFloatBudget;
    layers_.resize(dims.layers);
    for (int l = 0; l < dims.layers; ++l) {
        Layer& L = layers_[l];
        std::string p = "layers." + std::to_string(l) + ".";
        L.q = checked(t, p + "self_attn.q_proj.weight", {d, d});
        L.k = checked(t, p + "self_attn.k_proj.weight", {d, d});
        L.v = checked(t, p + "self_attn.v_proj.weight", {d, d});
        L.o = checked(t, p + "self_attn.out_proj.weight", {d, d});
        L.fc1 = checked(t, p + "fc1.weight", {4 * d, d});
        L.fc2 = checked(t, p + "fc2.weight", {d, 4 * d});
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
        if (keepsFloat_) {
            L.qkv32.resize(3 * d * d);
            copyFloat(L.q, L.qkv32.data());
            copyFloat(L.k, L.qkv32.data() + d * d);
            copyFloat(L.v, L.qkv32.data() + 2 * d * d);
            L.o32.resize(d * d);
            copyFloat(L.o, L.o32.data());
            L.fc132.resize(4 * d * d);
            copyFloat(L.fc1, L.fc132.data());
            L.fc232.resize(4 * d * d);
            copyFloat(L.fc2, L.fc232.data());
        }
    }
    const size_t ds = static_cast<size_t>(d), ms = static_cast<size_t>(m);
    const bool keeps = keepsFloat_;
    scratch_ = std::make_unique<ScratchPool<Scratch>>([ds, ms, keeps] {
        auto s = std::make_unique<Scratch>();
        s->melT.resize(kMelFrames * ms);
        s->columns.resize(static_cast<size_t>(kMelFrames) * 3 * std::max(ms, ds));
        s->h1.resize(kMelFrames * ds);
        s->x.resize(kEncoderFrames * ds);
        s->xn.resize(kEncoderFrames * ds);
        s->qkv.resize(kEncoderFrames * 3 * ds);
        s->attn.resize(kEncoderFrames * ds);
        s->hidden.resize(kEncoderFrames * 4 * ds);
        if (!keeps) s->weights.resize(12 * ds * ds);
        return s;
    });
}

AudioEncoderModel::~AudioEncoderModel() = default;

void AudioEncoderModel::layerMatrices(const Layer& L, Scratch& s, const float*& qkv, const float*& o,
                                      const float*& fc1, const float*& fc2) const {
    if (keepsFloat_) {
        qkv = L.qkv32.data();
        o = L.o32.data();
        fc1 = L.fc132.data();
        fc2 = L.fc232.data();
        return;
    }
    const size_t dd = static_cast<size_t>(dims_.width) * dims_.width;
    float* w = s.weights.data();
    copyFloat(L.q, w);
    copyFloat(L.k, w + dd);
    copyFloat(L.v, w + 2 * dd);
    copyFloat(L.o, w + 3 * dd);
    copyFloat(L.fc1, w + 4 * dd);
    copyFloat(L.fc2, w + 8 * dd);
    qkv = w;
    o = w + 3 * dd;
    fc1 = w + 4 * dd;
    fc2 = w + 8 * dd;
}

void AudioEncoderModel::encode(const uint16_t* mel, uint16_t* out) const {
    auto lease = scratch_->take();
    Scratch& s = *lease;
    const size_t d = dims_.width, m = dims_.melCount, H = dims_.heads;
    const size_t T1 = kMelFrames, T = kEncoderFrames;

    // Features to time-major F32.
    parallelFor(m, 4, [&](size_t b, size_t e) {
        float row[kMelFrames];
        for (size_t c = b; c < e; ++c) {
            halfToFloat(mel + c * T1, row, T1);
            for (size_t t = 0; t < T1; ++t) s.melT[t * m + c] = row[t];
        }
    });
    // conv1 (kernel 3, pad 1): columns[t] = [x[t-1], x[t], x[t+1]].
    parallelFor(T1, 64, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) {
            float* col = s.columns.data() + t * 3 * m;
            for (int k = 0; k < 3; ++k) {
                long src = static_cast<long>(t) + k - 1;
                if (src < 0 || src >= static_cast<long>(T1))
                    std::memset(col + k * m, 0, m * sizeof(float));
                else
                    std::memcpy(col + k * m, s.melT.data() + src * m, m * sizeof(float));
            }
        }
    });
    matmulTransBThen(s.columns.data(), 3 * m, conv1_.data(), 3 * m, s.h1.data(), d, T1, d, 3 * m, 1.0f, 0.0f,
                     [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                         addBiasGeluBlock(s.h1.data(), d, r0, r1, c0, c1, conv1Bias_.data());
                     });
    // conv2 (kernel 3, stride 2, pad 1): columns[t] = [h[2t-1], h[2t], h[2t+1]].
    parallelFor(T, 64, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) {
            float* col = s.columns.data() + t * 3 * d;
            for (int k = 0; k < 3; ++k) {
                long src = 2 * static_cast<long>(t) + k - 1;
                if (src < 0 || src >= static_cast<long>(T1))
                    std::memset(col + k * d, 0, d * sizeof(float));
                else
                    std::memcpy(col + k * d, s.h1.data() + src * d, d * sizeof(float));
            }
        }
    });
    matmulTransBThen(s.columns.data(), 3 * d, conv2_.data(), 3 * d, s.x.data(), d, T, d, 3 * d, 1.0f, 0.0f,
                     [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                         addBiasGeluBlock(s.x.data(), d, r0, r1, c0, c1, conv2Bias_.data());
                         for (size_t t = r0; t < r1; ++t)
                             axpy(1.0f, positions_.data() + t * d + c0, s.x.data() + t * d + c0, c1 - c0);
                     });

    for (const Layer& L : layers_) {
        const float *wqkv, *wo, *w1, *w2;
        layerMatrices(L, s, wqkv, wo, w1, w2);
        layerNormRows(s.x.data(), s.xn.data(), T, d, L.ln1Weight.data(), L.ln1Bias.data());
        matmulTransBOnPathThen(path_, s.xn.data(), d, wqkv, d, s.qkv.data(), 3 * d, T, 3 * d, d, 1.0f, 0.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasBlock(s.qkv.data(), 3 * d, r0, r1, c0, c1, L.qkvBias.data());
                               });
        encoderSelfAttention(s.qkv.data(), T, d, H, s.attn.data(), s.packed);
        // x += attn . Wo^T + bo
        matmulTransBOnPathThen(path_, s.attn.data(), d, wo, d, s.x.data(), d, T, d, d, 1.0f, 1.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasBlock(s.x.data(), d, r0, r1, c0, c1, L.oBias.data());
                               });
        layerNormRows(s.x.data(), s.xn.data(), T, d, L.ln2Weight.data(), L.ln2Bias.data());
        matmulTransBOnPathThen(path_, s.xn.data(), d, w1, d, s.hidden.data(), 4 * d, T, 4 * d, d, 1.0f, 0.0f,
                               [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                                   addBiasGeluBlock(s.hidden.data(), 4 * d, r0, r1, c0, c1, L.fc1Bias.data());
                               });
        matmulTransBOnPathThen(path_, s.hidden.data(), 4 * d, w2, 4 * d, s.x.data(), d, T, d, 4 * d, 1.0f, 1.0f,
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

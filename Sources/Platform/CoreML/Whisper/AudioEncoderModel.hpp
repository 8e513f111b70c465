#pragma once
// The audio encoder: [n_mels, 3000] log-mel features -> [d, 1500] embeddings.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/CoreML/Whisper/Gemm.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

namespace coreml::whisper {

constexpr int kEncoderFrames = 1500;

struct EncoderDimensions {
    int melCount = 80;
    int width = 384;  // d
    int heads = 6;
    int layers = 4;
};

class AudioEncoderModel {
public:
    // Tensors: conv1.{weight [d, n_mels, 3], bias}, conv2.{weight [d, d, 3], bias}, embed_positions.weight
    // [1500, d], layers.N.{self_attn.{q,k,v,out}_proj, self_attn_layer_norm, fc1, fc2, final_layer_norm}.*,
    // layer_norm.*. When the F32 copies of the layer matrices fit `keepFloatBudget` bytes they are
    // made once; otherwise each prediction converts one layer at a time from the stored halves.
    // The layers' products run on `productPath` (reducedPrecisionGemmPath() for models that may
    // trade precision for speed); the convolutions stay in single precision.
    AudioEncoderModel(const EncoderDimensions& dims, const TensorLookup& tensors,
                      size_t keepFloatBudget = size_t(768) << 20, GemmPath productPath = bestGemmPath());
    ~AudioEncoderModel();

    const EncoderDimensions& dimensions() const { return dims_; }
    GemmPath productPath() const { return path_; }
    // mel: melCount * 3000 halves (band-major); out: d * 1500 halves (channel-major).
    void encode(const uint16_t* mel, uint16_t* out) const;

private:
    struct Layer;
    struct Scratch;
    void layerMatrices(const Layer& layer, Scratch& s, const float*& qkv, const float*& o, const float*& fc1,
                       const float*& fc2) const;

    EncoderDimensions dims_;
    std::vector<float> conv1_, conv1Bias_, conv2_, conv2Bias_, positions_, lnWeight_, lnBias_;
    std::vector<Layer> layers_;
    bool keepsFloat_ = false;
    GemmPath path_;
    std::unique_ptr<ScratchPool<Scratch>> scratch_;
};

}  // namespace coreml::whisper

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
    // layer_norm.*. The weight matrices are read where they are stored (half precision, converted
    // as the products pack them), never copied. The layers' products run on `productPath`
    // (reducedPrecisionGemmPath() for models that may trade precision for speed); the convolutions
    // stay in single precision.
    AudioEncoderModel(const EncoderDimensions& dims, const TensorLookup& tensors, GemmPath productPath = bestGemmPath());
    ~AudioEncoderModel();

    const EncoderDimensions& dimensions() const { return dims_; }
    GemmPath productPath() const { return path_; }
    // mel: melCount * 3000 halves (band-major); out: d * 1500 halves (channel-major).
    void encode(const uint16_t* mel, uint16_t* out) const;

private:
    struct Layer;
    struct Scratch;
    EncoderDimensions dims_;
    GemmB conv1_, conv2_;  // [d, in * 3] as stored: input channel outer, tap inner
    std::vector<float> conv1Bias_, conv2Bias_, positions_, lnWeight_, lnBias_;
    std::vector<Layer> layers_;
    GemmPath path_;
    std::unique_ptr<ScratchPool<Scratch>> scratch_;
};

}  // namespace coreml::whisper

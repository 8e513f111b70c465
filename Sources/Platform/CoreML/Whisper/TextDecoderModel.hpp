#pragma once
// The text decoder, one token per call, with the caller holding the key-value cache.
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

namespace coreml::whisper {

struct DecoderDimensions {
    int width = 384;  // d
    int heads = 6;
    int layers = 4;
    int vocabularySize = 51865;
    int maxPositions = 448;  // rows of the learned position table
    int cacheLength = 224;   // S
    int encoderFrames = 1500;
};

// The keys and values of the cross-attention for one encoder output, half precision, each laid out
// [layer][head][frame][head dim] so a step reads every head's block contiguously.
struct CrossAttentionCache {
    // Whole huge pages, where the system grants them, for arrays of 2 MiB and more: a fresh cache is
    // tens of megabytes, and faulting it in 4 KiB at a time took twice as long as computing it.
    static constexpr size_t kLargeBytes = size_t(2) << 20;
    static void* allocateLarge(size_t bytes);
    static void freeLarge(void* p) noexcept;

    // New elements are left unset: the threads that compute the cache write all of it, and zeroing
    // it first on the calling thread took every page fault of tens of megabytes there, one by one
    // (up to seven times the computation itself, on a virtual machine).
    template <class T>
    struct Unset : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = Unset<U>;
        };
        T* allocate(size_t n) {
            if (n * sizeof(T) < kLargeBytes) return std::allocator<T>::allocate(n);
            return static_cast<T*>(allocateLarge(n * sizeof(T)));
        }
        void deallocate(T* p, size_t n) noexcept {
            if (n * sizeof(T) < kLargeBytes)
                std::allocator<T>::deallocate(p, n);
            else
                freeLarge(p);
        }
        template <class U>
        void construct(U* p) noexcept {
            ::new (static_cast<void*>(p)) U;
        }
        template <class U, class... A>
        void construct(U* p, A&&... a) {
            ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
        }
    };
    std::vector<uint16_t, Unset<uint16_t>> keys, values;
};

struct DecoderStepInput {
    int32_t token = 0;
    int32_t position = 0;               // t
    const uint16_t* keyCache = nullptr;    // [layers * d, S]
    const uint16_t* valueCache = nullptr;  // [layers * d, S]
    const uint16_t* paddingMask = nullptr; // [S]
};

struct DecoderStepOutput {
    uint16_t* logits = nullptr;        // [V]
    uint16_t* keyUpdates = nullptr;    // [layers * d]
    uint16_t* valueUpdates = nullptr;  // [layers * d]
    uint16_t* alignment = nullptr;     // [frames], optional
};

class TextDecoderModel {
public:
    // Tensors: embed_tokens.weight [V, d], embed_positions.weight [P, d], layers.N.{self_attn,
    // encoder_attn}.{q,k,v,out}_proj.* (k without bias), layers.N.{self_attn_layer_norm,
    // encoder_attn_layer_norm, fc1, fc2, final_layer_norm}.*, layer_norm.*.
    TextDecoderModel(const DecoderDimensions& dims, const TensorLookup& tensors,
                     std::vector<std::pair<int, int>> alignmentHeads);
    ~TextDecoderModel();

    const DecoderDimensions& dimensions() const { return dims_; }
    const std::vector<std::pair<int, int>>& alignmentHeads() const { return alignmentHeads_; }

    // Keys and values of the cross-attention for an encoder output ([d, frames] halves).
    std::shared_ptr<const CrossAttentionCache> crossAttention(const uint16_t* encoderOutput) const;
    // The same, remembered by the identity of the array that holds the encoder output: `identifier`
    // is unique for the life of the process and `owner` is that array (entries die with it), so a
    // freed array whose memory is reused is never mistaken for the old one. Thread-safe; a few
    // recent outputs are kept.
    std::shared_ptr<const CrossAttentionCache> crossAttention(const uint16_t* encoderOutput, uint64_t identifier,
                                                              const std::shared_ptr<const void>& owner) const;

    // One step. Throws WhisperModelError for a token or position out of range.
    void step(const DecoderStepInput& input, const CrossAttentionCache& cross, const DecoderStepOutput& output) const;

private:
    struct Layer;
    struct Scratch;
    struct CacheEntry;

    DecoderDimensions dims_;
    std::vector<std::pair<int, int>> alignmentHeads_;
    const uint16_t* tokens_ = nullptr;
    const uint16_t* positions_ = nullptr;
    std::vector<uint16_t> tokensKeep_, positionsKeep_;
    std::vector<Layer> layers_;
    std::vector<float> lnWeight_, lnBias_;
    std::unique_ptr<ScratchPool<Scratch>> scratch_;
    mutable std::mutex cacheMutex_;
    mutable std::vector<std::shared_ptr<CacheEntry>> cache_;
};

}  // namespace coreml::whisper

#include "Platform/CoreML/Whisper/TextDecoderModel.hpp"

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>

#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

namespace {
// Each head's cross-attention runs as this many pieces of the encoder frames, combined afterwards:
// whole heads left threads idle (6 heads on 8 threads, or 12 and 20 heads in two and three rounds
// on 8). Fixed rather than following the thread count, so the result does not depend on it.
constexpr size_t kCrossChunks = 4;
}  // namespace

struct TextDecoderModel::Layer {
    const uint16_t *q, *k, *v, *o, *crossQ, *crossK, *crossV, *crossO, *fc1, *fc2;
    std::vector<uint16_t> keep[10];
    std::vector<float> qBias, vBias, oBias, crossQBias, crossKVBias, crossOBias, fc1Bias, fc2Bias;
    std::vector<float> ln1Weight, ln1Bias, ln2Weight, ln2Bias, ln3Weight, ln3Bias;
};

struct TextDecoderModel::Scratch {
    std::vector<float> x, xn, qkv, attn, proj, hidden, logits, scores, headProbs, mask, crossParts;
    std::unique_ptr<std::atomic<size_t>[]> pending;
};

struct TextDecoderModel::CacheEntry {
    uint64_t identifier = 0;
    std::weak_ptr<const void> owner;
    uint64_t fingerprint = 0;
    std::shared_future<std::shared_ptr<const CrossAttentionCache>> value;
};

TextDecoderModel::TextDecoderModel(const DecoderDimensions& dims, const TensorLookup& t,
                                   std::vector<std::pair<int, int>> alignmentHeads)
    : dims_(dims), alignmentHeads_(std::move(alignmentHeads)) {
    const int64_t d = dims.width, V = dims.vocabularySize;
    if (d <= 0 || dims.heads <= 0 || d % dims.heads != 0 || dims.layers <= 0 || V <= 0 || dims.cacheLength <= 0 ||
        dims.maxPositions <= 0 || dims.encoderFrames <= 0)
        throw WhisperModelError("Invalid decoder dimensions");
    for (auto [l, h] : alignmentHeads_)
        if (l < 0 || l >= dims.layers || h < 0 || h >= dims.heads)
            throw WhisperModelError("Alignment head (" + std::to_string(l) + ", " + std::to_string(h) +
                                    ") is outside the decoder");
    tokens_ = loadHalf(t, "embed_tokens.weight", {V, d}, tokensKeep_);
    positions_ = loadHalf(t, "embed_positions.weight", {dims.maxPositions, d}, positionsKeep_);
    lnWeight_ = loadFloat(t, "layer_norm.weight", {d});
    lnBias_ = loadFloat(t, "layer_norm.bias", {d});
    layers_.resize(dims.layers);
    for (int l = 0; l < dims.layers; ++l) {
        Layer& L = layers_[l];
        std::string p = "layers." + std::to_string(l) + ".";
        L.q = loadHalf(t, p + "self_attn.q_proj.weight", {d, d}, L.keep[0]);
        L.k = loadHalf(t, p + "self_attn.k_proj.weight", {d, d}, L.keep[1]);
        L.v = loadHalf(t, p + "self_attn.v_proj.weight", {d, d}, L.keep[2]);
        L.o = loadHalf(t, p + "self_attn.out_proj.weight", {d, d}, L.keep[3]);
        L.crossQ = loadHalf(t, p + "encoder_attn.q_proj.weight", {d, d}, L.keep[4]);
        L.crossK = loadHalf(t, p + "encoder_attn.k_proj.weight", {d, d}, L.keep[5]);
        L.crossV = loadHalf(t, p + "encoder_attn.v_proj.weight", {d, d}, L.keep[6]);
        L.crossO = loadHalf(t, p + "encoder_attn.out_proj.weight", {d, d}, L.keep[7]);
        L.fc1 = loadHalf(t, p + "fc1.weight", {4 * d, d}, L.keep[8]);
        L.fc2 = loadHalf(t, p + "fc2.weight", {d, 4 * d}, L.keep[9]);
        L.qBias = loadFloat(t, p + "self_attn.q_proj.bias", {d});
        L.vBias = loadFloat(t, p + "self_attn.v_proj.bias", {d});
        L.oBias = loadFloat(t, p + "self_attn.out_proj.bias", {d});
        L.crossQBias = loadFloat(t, p + "encoder_attn.q_proj.bias", {d});
        L.crossOBias = loadFloat(t, p + "encoder_attn.out_proj.bias", {d});
        L.fc1Bias = loadFloat(t, p + "fc1.bias", {4 * d});
        L.fc2Bias = loadFloat(t, p + "fc2.bias", {d});
        L.ln1Weight = loadFloat(t, p + "self_attn_layer_norm.weight", {d});
        L.ln1Bias = loadFloat(t, p + "self_attn_layer_norm.bias", {d});
        L.ln2Weight = loadFloat(t, p + "encoder_attn_layer_norm.weight", {d});
        L.ln2Bias = loadFloat(t, p + "encoder_attn_layer_norm.bias", {d});
        L.ln3Weight = loadFloat(t, p + "final_layer_norm.weight", {d});
        L.ln3Bias = loadFloat(t, p + "final_layer_norm.bias", {d});
        // The keys have no bias: zeros beside the values' bias.
        L.crossKVBias.assign(2 * d, 0.0f);
        auto vb = loadFloat(t, p + "encoder_attn.v_proj.bias", {d});
        std::copy(vb.begin(), vb.end(), L.crossKVBias.begin() + d);
    }
    const size_t ds = d, Vs = V, H = dims.heads, frames = dims.encoderFrames, S = dims.cacheLength;
    scratch_ = std::make_unique<ScratchPool<Scratch>>([=] {
        auto s = std::make_unique<Scratch>();
        s->x.resize(ds);
        s->xn.resize(ds);
        s->qkv.resize(3 * ds);
        s->attn.resize(ds);
        s->proj.resize(ds);
        s->hidden.resize(4 * ds);
        s->logits.resize(Vs);
        s->scores.resize(H * std::max(frames, S + 1));
        s->headProbs.resize(frames);
        s->mask.resize(S);
        s->crossParts.resize(H * kCrossChunks * (ds / H + 2));
        s->pending.reset(new std::atomic<size_t>[H]);
        return s;
    });
}

TextDecoderModel::~TextDecoderModel() = default;

void* CrossAttentionCache::allocateLarge(size_t bytes) {
    const size_t rounded = (bytes + kLargeBytes - 1) / kLargeBytes * kLargeBytes;
    void* p = std::aligned_alloc(kLargeBytes, rounded);
    if (!p) throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without it the pages are 4 KiB
    return p;
}

void CrossAttentionCache::freeLarge(void* p) noexcept { std::free(p); }

std::shared_ptr<const CrossAttentionCache> TextDecoderModel::crossAttention(const uint16_t* encoderOutput) const {
    const size_t d = dims_.width, F = dims_.encoderFrames, L = dims_.layers, H = dims_.heads, hd = d / H;
    auto cache = std::make_shared<CrossAttentionCache>();
    cache->keys.resize(F * L * d);
    cache->values.resize(F * L * d);
    // Tasks of (a block of frames, a layer). Each takes its frames of the channel-major encoder
    // output as F32 rows, then, a few heads at a time, computes those heads' keys or values from
    // the stored half-precision weights (converted as the product packs them), biased and stored as
    // halves in the cache's [layer][head][frame][head dim] layout. Nothing the size of a whole
    // product or of the weights in single precision is held: the buffers are about a megabyte per
    // thread.
    constexpr size_t kFrames = 192;
    const size_t frameBlocks = (F + kFrames - 1) / kFrames;
    const size_t headsPerBlock = std::clamp<size_t>(64 / hd, 1, H);
    parallelFor(frameBlocks * L, 1, [&](size_t begin, size_t end) {
        std::vector<float> frames(kFrames * d), product(kFrames * headsPerBlock * hd);
        size_t framesHeld = SIZE_MAX;
        for (size_t task = begin; task < end; ++task) {
            const size_t l = task % L, n0 = (task / L) * kFrames, rows = std::min(kFrames, F - n0);
            if (framesHeld != n0) {
                // [d, F] halves -> [rows, d] floats, in tiles of 16 x 16.
                float tile[16][16];
                for (size_t c0 = 0; c0 < d; c0 += 16) {
                    const size_t cn = std::min<size_t>(16, d - c0);
                    for (size_t r0 = 0; r0 < rows; r0 += 16) {
                        const size_t rn = std::min<size_t>(16, rows - r0);
                        for (size_t c = 0; c < cn; ++c) halfToFloat(encoderOutput + (c0 + c) * F + n0 + r0, tile[c], rn);
                        for (size_t r = 0; r < rn; ++r)
                            for (size_t c = 0; c < cn; ++c) frames[(r0 + r) * d + c0 + c] = tile[c][r];
                    }
                }
                framesHeld = n0;
            }
            const Layer& Ly = layers_[l];
            for (size_t which = 0; which < 2; ++which) {
                const uint16_t* w = which == 0 ? Ly.crossK : Ly.crossV;
                const float* bias = Ly.crossKVBias.data() + which * d;
                uint16_t* out = (which == 0 ? cache->keys : cache->values).data();
                for (size_t h0 = 0; h0 < H; h0 += headsPerBlock) {
                    const size_t cols = std::min(headsPerBlock, H - h0) * hd;
                    gemmTransB(bestGemmPath(), frames.data(), d, w + h0 * hd * d, d, product.data(), cols, rows, cols, d,
                               1.0f, 0.0f);
                    addBiasBlock(product.data(), cols, 0, rows, 0, cols, bias + h0 * hd);
                    for (size_t c = 0; c < cols; c += hd) {
                        const size_t h = h0 + c / hd;
                        for (size_t n = 0; n < rows; ++n)
                            floatToHalf(product.data() + n * cols + c, out + ((l * H + h) * F + n0 + n) * hd, hd);
                    }
                }
            }
        }
    });
    return cache;
}

namespace {
// A cheap sample of the contents, so an array rewritten in place is not served stale keys.
uint64_t fingerprintOf(const uint16_t* data, size_t count) {
    uint64_t h = 1469598103934665603ull;
    const size_t samples = 257;
    for (size_t i = 0; i < samples; ++i) {
        size_t idx = (i * (count - 1)) / (samples - 1);
        h = (h ^ data[idx]) * 1099511628211ull;
    }
    return h;
}
}  // namespace

std::shared_ptr<const CrossAttentionCache> TextDecoderModel::crossAttention(
    const uint16_t* encoderOutput, uint64_t identifier, const std::shared_ptr<const void>& owner) const {
    const uint64_t fp = fingerprintOf(encoderOutput, static_cast<size_t>(dims_.width) * dims_.encoderFrames);
    std::shared_ptr<CacheEntry> entry;
    std::optional<std::promise<std::shared_ptr<const CrossAttentionCache>>> promise;
    bool compute = false;
    {
        std::lock_guard lock(cacheMutex_);
        // Entries whose arrays are gone can never match again.
        std::erase_if(cache_, [](const auto& e) { return e->owner.expired(); });
        for (auto& e : cache_) {
            if (e->identifier == identifier && e->fingerprint == fp) {
                entry = e;
                break;
            }
        }
        if (!entry) {
            entry = std::make_shared<CacheEntry>();
            entry->identifier = identifier;
            entry->owner = owner;
            entry->fingerprint = fp;
            promise.emplace();
            entry->value = promise->get_future().share();
            cache_.push_back(entry);
            if (cache_.size() > 4) cache_.erase(cache_.begin());
            compute = true;
        }
    }
    if (compute) {
        try {
            promise->set_value(crossAttention(encoderOutput));
        } catch (...) {
            promise->set_exception(std::current_exception());
            std::lock_guard lock(cacheMutex_);
            std::erase(cache_, entry);
        }
    }
    return entry->value.get();
}

namespace {

// Prefetches the first `count` halves of each of `rows` rows, into L2.
void prefetchRows(const uint16_t* base, size_t rows, size_t stride, size_t count) {
    for (size_t i = 0; i < rows; ++i) {
        const char* row = reinterpret_cast<const char*>(base + i * stride);
        for (size_t off = 0; off < count * 2; off += 64) _mm_prefetch(row + off, _MM_HINT_T1);
    }
}

}  // namespace

void TextDecoderModel::step(const DecoderStepInput& in, const CrossAttentionCache& cross,
                            const DecoderStepOutput& out) const {
    const size_t d = dims_.width, H = dims_.heads, hd = d / H, S = dims_.cacheLength, F = dims_.encoderFrames;
    const size_t V = dims_.vocabularySize, L = dims_.layers;
    if (in.token < 0 || static_cast<size_t>(in.token) >= V)
        throw WhisperModelError("Token id " + std::to_string(in.token) + " is outside the vocabulary");
    if (in.position < 0 || static_cast<size_t>(in.position) >= S ||
        in.position >= dims_.maxPositions)
        throw WhisperModelError("Cache length " + std::to_string(in.position) + " is outside the cache");
    if (cross.keys.size() != F * L * d || cross.values.size() != F * L * d)
        throw WhisperModelError("Cross-attention cache of another model");
    const size_t t = static_cast<size_t>(in.position);
    auto lease = scratch_->take();
    Scratch& s = *lease;
    const float scale = 1.0f / std::sqrt(static_cast<float>(hd));

    halfToFloat(tokens_ + static_cast<size_t>(in.token) * d, s.x.data(), d);
    halfToFloat(positions_ + t * d, s.proj.data(), d);
    axpy(1.0f, s.proj.data(), s.x.data(), d);
    float* mask = s.mask.data();
    halfToFloat(in.paddingMask, mask, t);

    std::fill(s.headProbs.begin(), s.headProbs.end(), 0.0f);
    const size_t scoreStride = std::max(F, S + 1);
    float* x = s.x.data();
    // x += y on rows [r0, r1): the residual added by the thread that computed y.
    auto residual = [x, &s](size_t r0, size_t r1) {
        for (size_t r = r0; r < r1; ++r) x[r] += s.proj[r];
    };
    // Seven loops over the kernel threads per layer, each split evenly over the threads: q, k and v
    // as one product (each head's self-attention run by the thread that completes its rows), the
    // output product, the cross-attention query, the cross-attention by pieces of heads (each head
    // combined by the thread that finishes its last piece), its output product, fc1 and fc2. Loops
    // by whole heads with their projections in front left threads idle whenever the heads did not
    // divide evenly among them.
    const uint16_t* qkvWeights[3] = {nullptr, nullptr, nullptr};
    const float* qkvBias[3] = {nullptr, nullptr, nullptr};
    const size_t qkvGrain = std::max<size_t>(1, (size_t(1) << 14) / std::max<size_t>(8 * d, 1));
    const size_t chunks = std::min<size_t>(kCrossChunks, F);
    const GemmPath path = bestGemmPath();
    float* parts = s.crossParts.data();  // per piece: hd outputs, then its maximum and sum
    const size_t partStride = hd + 2;
    // Per head: rows of q, k and v not yet made, then pieces of the cross-attention not yet done.
    std::atomic<size_t>* pending = s.pending.get();
    // Self-attention of head h of layer l over the cached positions before t and this step's key.
    auto selfAttention = [&](size_t l, size_t h) {
        const size_t row0 = l * d + h * hd;
        const float* q = s.qkv.data() + h * hd;
        const float* k = s.qkv.data() + d + h * hd;
        const float* v = s.qkv.data() + 2 * d + h * hd;
        float* sc = s.scores.data() + h * scoreStride;
        columnScoresHalf(q, in.keyCache + row0 * S, hd, S, t, sc);
        for (size_t j = 0; j < t; ++j) sc[j] = sc[j] * scale + mask[j];
        sc[t] = dot(q, k, hd) * scale;
        softmaxRow(sc, t + 1);
        float* o = s.attn.data() + h * hd;
        columnValuesHalf(sc, in.valueCache + row0 * S, hd, S, t, o);
        axpy(sc[t], v, o, hd);
    };
    // Head h's cross-attention output from its pieces; its probabilities too if it is an alignment
    // head of layer l.
    auto combineCross = [&](size_t l, size_t h) {
        const float* first = parts + h * chunks * partStride;
        float top = -INFINITY;
        for (size_t c = 0; c < chunks; ++c) top = std::max(top, first[c * partStride + hd]);
        float weights[kCrossChunks], total = 0;
        for (size_t c = 0; c < chunks; ++c) {
            weights[c] = std::exp(first[c * partStride + hd] - top);
            total += weights[c] * first[c * partStride + hd + 1];
        }
        float* o = s.attn.data() + h * hd;
        std::fill(o, o + hd, 0.0f);
        for (size_t c = 0; c < chunks; ++c) {
            weights[c] /= total;
            axpy(weights[c], first + c * partStride, o, hd);
        }
        bool alignment = false;
        for (auto [al, ah] : alignmentHeads_)
            alignment = alignment || (static_cast<size_t>(al) == l && static_cast<size_t>(ah) == h);
        if (out.alignment && alignment) {
            // The pieces left their scores as they were: the head's probabilities from all of them.
            float* sc = s.scores.data() + h * scoreStride;
            float highest;
            const float inv = 1.0f / expMinusMaxOnPath(path, sc, F, &highest);
            for (size_t n = 0; n < F; ++n) sc[n] *= inv;
        }
    };
    // What each loop's successor reads first, fetched by every thread as it finishes its share.
    auto weights = [](const uint16_t* w, size_t halves) {
        NextReads r;
        r.base[0] = w, r.bytes[0] = 2 * halves;
        return r;
    };
    auto qkvOf = [&](const Layer& Ly) {
        NextReads r;
        const uint16_t* w[3] = {Ly.q, Ly.k, Ly.v};
        for (int m = 0; m < 3; ++m) r.base[m] = w[m], r.bytes[m] = 2 * d * d;
        return r;
    };
    for (size_t l = 0; l < L; ++l) {
        const Layer& Ly = layers_[l];
        const NextReads toO = weights(Ly.o, d * d), toCrossQ = weights(Ly.crossQ, d * d),
                        toCross = weights(cross.keys.data() + l * H * F * hd, H * F * hd),
                        toCrossO = weights(Ly.crossO, d * d), toFc1 = weights(Ly.fc1, 4 * d * d),
                        toFc2 = weights(Ly.fc2, 4 * d * d),
                        toNext = l + 1 < L ? qkvOf(layers_[l + 1]) : weights(tokens_, V * d);
        layerNormRow(x, s.xn.data(), d, Ly.ln1Weight.data(), Ly.ln1Bias.data());
        qkvWeights[0] = Ly.q, qkvWeights[1] = Ly.k, qkvWeights[2] = Ly.v;
        qkvBias[0] = Ly.qBias.data(), qkvBias[2] = Ly.vBias.data();
        for (size_t h = 0; h < H; ++h) pending[h].store(3 * hd, std::memory_order_relaxed);
        // q, k and v: rows [0, 3d) in groups of 8, the new key and value stored as halves. The
        // thread that makes a head's last rows runs its attention at once: a loop of its own
        // cost a start and a join, and a second round wherever the heads outnumber the threads.
        parallelFor((3 * d + 7) / 8, qkvGrain, [&](size_t g0, size_t g1) {
            const size_t r0 = 8 * g0, r1 = std::min(3 * d, 8 * g1);
            for (size_t m = 0; m < 3; ++m) {
                const size_t a = std::max(r0, m * d), b = std::min(r1, (m + 1) * d);
                if (a >= b) continue;
                const size_t ra = a - m * d, rb = b - m * d;
                // The cached keys and values of these rows, for the attention: short rows far
                // apart, each a miss of its own if left until then.
                if (m > 0) prefetchRows((m == 1 ? in.keyCache : in.valueCache) + (l * d + ra) * S, rb - ra, S, t);
                gemvHalfRows(qkvWeights[m], s.xn.data(), qkvBias[m], s.qkv.data() + m * d, ra, rb, d);
                if (m > 0) floatToHalf(s.qkv.data() + a, (m == 1 ? out.keyUpdates : out.valueUpdates) + l * d + ra, rb - ra);
                for (size_t h = ra / hd; h * hd < rb; ++h) {
                    const size_t rows = std::min(rb, (h + 1) * hd) - std::max(ra, h * hd);
                    if (pending[h].fetch_sub(rows, std::memory_order_acq_rel) == rows) selfAttention(l, h);
                }
            }
        }, true, &toO);
        gemvHalfThen(Ly.o, s.attn.data(), Ly.oBias.data(), s.proj.data(), d, d, residual, &toCrossQ);

        // Cross-attention over the encoder output: each piece of a head keeps its unnormalised
        // weights, output, maximum and sum; the thread that finishes a head's last piece puts its
        // pieces on one scale (done after the loop, by the calling thread alone, that took longer
        // than any piece: the pieces sit in the other threads' caches).
        layerNormRow(x, s.xn.data(), d, Ly.ln2Weight.data(), Ly.ln2Bias.data());
        gemvHalfThen(Ly.crossQ, s.xn.data(), Ly.crossQBias.data(), s.qkv.data(), d, d, RowsFunction{}, nullptr, &toCross);
        for (size_t h = 0; h < H; ++h) pending[h].store(chunks, std::memory_order_relaxed);
        parallelTasks(H * chunks, [&](size_t b, size_t e) {
            for (size_t task = b; task < e; ++task) {
                const size_t h = task / chunks, c = task % chunks;
                const size_t f0 = F * c / chunks, f1 = F * (c + 1) / chunks;
                float* sc = s.scores.data() + h * scoreStride + f0;
                const float* q = s.qkv.data() + h * hd;
                const uint16_t* keys = cross.keys.data() + ((l * H + h) * F + f0) * hd;
                const uint16_t* values = cross.values.data() + ((l * H + h) * F + f0) * hd;
                float* part = parts + task * partStride;
                part[hd + 1] = attendHalfOnPath(path, q, keys, values, f1 - f0, hd, scale, sc, part, &part[hd]);
                if (pending[h].fetch_sub(1, std::memory_order_acq_rel) == 1) combineCross(l, h);
            }
        }, &toCrossO);
        if (out.alignment) {
            for (auto [al, ah] : alignmentHeads_)
                if (static_cast<size_t>(al) == l)
                    axpy(1.0f, s.scores.data() + static_cast<size_t>(ah) * scoreStride, s.headProbs.data(), F);
        }
        gemvHalfThen(Ly.crossO, s.attn.data(), Ly.crossOBias.data(), s.proj.data(), d, d, residual, &toFc1);

        // MLP.
        layerNormRow(x, s.xn.data(), d, Ly.ln3Weight.data(), Ly.ln3Bias.data());
        gemvHalfThen(Ly.fc1, s.xn.data(), Ly.fc1Bias.data(), s.hidden.data(), 4 * d, d,
                     [&](size_t r0, size_t r1) { geluInPlace(s.hidden.data() + r0, r1 - r0); }, &toFc2);
        gemvHalfThen(Ly.fc2, s.hidden.data(), Ly.fc2Bias.data(), s.proj.data(), d, 4 * d,
                     [&](size_t r0, size_t r1) {
                         residual(r0, r1);
                         // The next layer's cached keys and values, rows as many as this
                         // thread made here: its self-attention reads them as soon as its heads
                         // are made, and from memory they are a miss per short row.
                         if (l + 1 < L) {
                             prefetchRows(in.keyCache + ((l + 1) * d + r0) * S, r1 - r0, S, t);
                             prefetchRows(in.valueCache + ((l + 1) * d + r0) * S, r1 - r0, S, t);
                         }
                     },
                     &toNext);
    }
    layerNormRow(x, s.xn.data(), d, lnWeight_.data(), lnBias_.data());
    gemvHalfThen(tokens_, s.xn.data(), nullptr, s.logits.data(), V, d,
                 [&](size_t r0, size_t r1) { floatToHalf(s.logits.data() + r0, out.logits + r0, r1 - r0); });
    if (out.alignment) {
        float inv = alignmentHeads_.empty() ? 0.0f : 1.0f / static_cast<float>(alignmentHeads_.size());
        for (size_t n = 0; n < F; ++n) s.headProbs[n] *= inv;
        floatToHalf(s.headProbs.data(), out.alignment, F);
    }
}

}  // namespace coreml::whisper

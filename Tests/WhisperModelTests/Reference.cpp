#include "Reference.hpp"

#include <algorithm>
#include <cmath>

#include "Platform/CoreML/Float16.hpp"

namespace reference {

using coreml::whisper::WhisperModelConfig;

Weights roundedWeights(const WhisperModelConfig& config, const coreml::whisper::TensorSource& source) {
    Weights w;
    for (const auto& [name, shape] : coreml::whisper::whisperTensorShapes(config)) {
        auto values = source(name, shape);
        std::vector<double> r(values.size());
        for (size_t i = 0; i < values.size(); ++i) r[i] = static_cast<double>(coreml::toFloat16(values[i]));
        w[name] = std::move(r);
    }
    return w;
}

std::vector<double> melSpectrogram(const std::vector<float>& audio, const std::vector<float>& filters, int melCount) {
    const int n = static_cast<int>(audio.size()), nfft = 400, hop = 160, bins = 201, frames = 3000;
    const double pi = 3.14159265358979323846;
    std::vector<double> padded(n + nfft);
    for (int i = 0; i < n + nfft; ++i) {
        int p = i - nfft / 2;
        if (p < 0) p = -p;
        if (p >= n) p = 2 * (n - 1) - p;
        padded[i] = audio[p];
    }
    std::vector<double> window(nfft), cosTable(nfft), sinTable(nfft);
    for (int i = 0; i < nfft; ++i) {
        window[i] = 0.5 - 0.5 * std::cos(2 * pi * i / nfft);
        cosTable[i] = std::cos(2 * pi * i / nfft);
        sinTable[i] = std::sin(2 * pi * i / nfft);
    }
    std::vector<double> logMel(static_cast<size_t>(melCount) * frames);
    std::vector<double> power(bins);
    double maxValue = -1e300;
    for (int t = 0; t < frames; ++t) {
        for (int k = 0; k < bins; ++k) {
            double re = 0, im = 0;
            for (int i = 0; i < nfft; ++i) {
                double x = padded[t * hop + i] * window[i];
                re += x * cosTable[(k * i) % nfft];
                im -= x * sinTable[(k * i) % nfft];
            }
            power[k] = re * re + im * im;
        }
        for (int m = 0; m < melCount; ++m) {
            double s = 0;
            for (int k = 0; k < bins; ++k) s += filters[m * bins + k] * power[k];
            double l = std::log10(std::max(s, 1e-10));
            logMel[static_cast<size_t>(m) * frames + t] = l;
            maxValue = std::max(maxValue, l);
        }
    }
    for (auto& l : logMel) l = (std::max(l, maxValue - 8.0) + 4.0) / 4.0;
    return logMel;
}

namespace {

double gelu(double x) { return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0))); }

// rows x n, in place.
void layerNorm(std::vector<double>& x, int rows, int n, const std::vector<double>& g, const std::vector<double>& b,
               std::vector<double>& out) {
    out.assign(x.size(), 0);
    for (int r = 0; r < rows; ++r) {
        double mean = 0, var = 0;
        for (int i = 0; i < n; ++i) mean += x[r * n + i];
        mean /= n;
        for (int i = 0; i < n; ++i) var += (x[r * n + i] - mean) * (x[r * n + i] - mean);
        var /= n;
        for (int i = 0; i < n; ++i) out[r * n + i] = (x[r * n + i] - mean) / std::sqrt(var + 1e-5) * g[i] + b[i];
    }
}

// out[r, o] = sum_i x[r, i] W[o, i] + b[o]
std::vector<double> linear(const std::vector<double>& x, int rows, int in, const std::vector<double>& w, int out,
                           const std::vector<double>* b) {
    std::vector<double> y(static_cast<size_t>(rows) * out);
    for (int r = 0; r < rows; ++r)
        for (int o = 0; o < out; ++o) {
            double s = b ? (*b)[o] : 0.0;
            for (int i = 0; i < in; ++i) s += x[static_cast<size_t>(r) * in + i] * w[static_cast<size_t>(o) * in + i];
            y[static_cast<size_t>(r) * out + o] = s;
        }
    return y;
}

const std::vector<double>& get(const Weights& w, const std::string& name) { return w.at(name); }

// Full self-attention over rows x d with h heads (no mask).
std::vector<double> attention(const std::vector<double>& q, const std::vector<double>& k, const std::vector<double>& v,
                              int rowsQ, int rowsK, int d, int heads) {
    int hd = d / heads;
    std::vector<double> out(static_cast<size_t>(rowsQ) * d, 0);
    std::vector<double> s(rowsK);
    for (int h = 0; h < heads; ++h)
        for (int i = 0; i < rowsQ; ++i) {
            double m = -1e300;
            for (int j = 0; j < rowsK; ++j) {
                double dot = 0;
                for (int c = 0; c < hd; ++c)
                    dot += q[static_cast<size_t>(i) * d + h * hd + c] * k[static_cast<size_t>(j) * d + h * hd + c];
                s[j] = dot / std::sqrt(static_cast<double>(hd));
                m = std::max(m, s[j]);
            }
            double z = 0;
            for (int j = 0; j < rowsK; ++j) z += (s[j] = std::exp(s[j] - m));
            for (int j = 0; j < rowsK; ++j) {
                const double p = s[j] / z;
                for (int c = 0; c < hd; ++c) out[static_cast<size_t>(i) * d + h * hd + c] += p * v[static_cast<size_t>(j) * d + h * hd + c];
            }
        }
    return out;
}

}  // namespace

std::vector<double> encoder(const WhisperModelConfig& c, const Weights& w, const std::vector<double>& mel) {
    const int d = c.width, m = c.melCount, T1 = 3000, T = 1500;
    const auto& w1 = get(w, "encoder.conv1.weight");
    const auto& b1 = get(w, "encoder.conv1.bias");
    std::vector<double> h1(static_cast<size_t>(T1) * d);
    for (int t = 0; t < T1; ++t)
        for (int o = 0; o < d; ++o) {
            double s = b1[o];
            for (int i = 0; i < m; ++i)
                for (int k = 0; k < 3; ++k) {
                    int src = t + k - 1;
                    if (src >= 0 && src < T1) s += w1[(o * m + i) * 3 + k] * mel[static_cast<size_t>(i) * T1 + src];
                }
            h1[static_cast<size_t>(t) * d + o] = gelu(s);
        }
    const auto& w2 = get(w, "encoder.conv2.weight");
    const auto& b2 = get(w, "encoder.conv2.bias");
    const auto& pos = get(w, "encoder.embed_positions.weight");
    std::vector<double> x(static_cast<size_t>(T) * d);
    for (int t = 0; t < T; ++t)
        for (int o = 0; o < d; ++o) {
            double s = b2[o];
            for (int i = 0; i < d; ++i)
                for (int k = 0; k < 3; ++k) {
                    int src = 2 * t + k - 1;
                    if (src >= 0 && src < T1) s += w2[(static_cast<size_t>(o) * d + i) * 3 + k] * h1[static_cast<size_t>(src) * d + i];
                }
            x[static_cast<size_t>(t) * d + o] = gelu(s) + pos[static_cast<size_t>(t) * d + o];
        }
    std::vector<double> xn;
    for (int l = 0; l < c.encoderLayers; ++l) {
        std::string p = "encoder.layers." + std::to_string(l) + ".";
        layerNorm(x, T, d, get(w, p + "self_attn_layer_norm.weight"), get(w, p + "self_attn_layer_norm.bias"), xn);
        auto q = linear(xn, T, d, get(w, p + "self_attn.q_proj.weight"), d, &get(w, p + "self_attn.q_proj.bias"));
        auto k = linear(xn, T, d, get(w, p + "self_attn.k_proj.weight"), d, nullptr);
        auto v = linear(xn, T, d, get(w, p + "self_attn.v_proj.weight"), d, &get(w, p + "self_attn.v_proj.bias"));
        auto a = attention(q, k, v, T, T, d, c.encoderHeads);
        auto o = linear(a, T, d, get(w, p + "self_attn.out_proj.weight"), d, &get(w, p + "self_attn.out_proj.bias"));
        for (size_t i = 0; i < x.size(); ++i) x[i] += o[i];
        layerNorm(x, T, d, get(w, p + "final_layer_norm.weight"), get(w, p + "final_layer_norm.bias"), xn);
        auto hdn = linear(xn, T, d, get(w, p + "fc1.weight"), 4 * d, &get(w, p + "fc1.bias"));
        for (auto& e : hdn) e = gelu(e);
        auto f = linear(hdn, T, 4 * d, get(w, p + "fc2.weight"), d, &get(w, p + "fc2.bias"));
        for (size_t i = 0; i < x.size(); ++i) x[i] += f[i];
    }
    layerNorm(x, T, d, get(w, "encoder.layer_norm.weight"), get(w, "encoder.layer_norm.bias"), xn);
    std::vector<double> out(static_cast<size_t>(d) * T);
    for (int t = 0; t < T; ++t)
        for (int o = 0; o < d; ++o) out[static_cast<size_t>(o) * T + t] = xn[static_cast<size_t>(t) * d + o];
    return out;
}

StepResult decoderStep(const WhisperModelConfig& c, const Weights& w, int token, int t,
                       const std::vector<double>& keyCache, const std::vector<double>& valueCache,
                       const std::vector<double>& mask, const std::vector<double>& enc) {
    const int d = c.width, H = c.decoderHeads, hd = d / H, S = c.cacheLength, F = 1500, L = c.decoderLayers;
    StepResult r;
    r.keys.resize(static_cast<size_t>(L) * d);
    r.values.resize(static_cast<size_t>(L) * d);
    r.alignment.assign(F, 0.0);
    std::vector<double> encT(static_cast<size_t>(F) * d);
    for (int n = 0; n < F; ++n)
        for (int i = 0; i < d; ++i) encT[static_cast<size_t>(n) * d + i] = enc[static_cast<size_t>(i) * F + n];
    const auto& tok = get(w, "decoder.embed_tokens.weight");
    const auto& pos = get(w, "decoder.embed_positions.weight");
    std::vector<double> x(d), xn;
    for (int i = 0; i < d; ++i) x[i] = tok[static_cast<size_t>(token) * d + i] + pos[static_cast<size_t>(t) * d + i];
    for (int l = 0; l < L; ++l) {
        std::string p = "decoder.layers." + std::to_string(l) + ".";
        layerNorm(x, 1, d, get(w, p + "self_attn_layer_norm.weight"), get(w, p + "self_attn_layer_norm.bias"), xn);
        auto q = linear(xn, 1, d, get(w, p + "self_attn.q_proj.weight"), d, &get(w, p + "self_attn.q_proj.bias"));
        auto k = linear(xn, 1, d, get(w, p + "self_attn.k_proj.weight"), d, nullptr);
        auto v = linear(xn, 1, d, get(w, p + "self_attn.v_proj.weight"), d, &get(w, p + "self_attn.v_proj.bias"));
        for (int i = 0; i < d; ++i) {
            r.keys[static_cast<size_t>(l) * d + i] = k[i];
            r.values[static_cast<size_t>(l) * d + i] = v[i];
        }
        std::vector<double> a(d, 0.0);
        for (int h = 0; h < H; ++h) {
            std::vector<double> s(t + 1);
            for (int j = 0; j <= t; ++j) {
                double dot = 0;
                for (int c2 = 0; c2 < hd; ++c2) {
                    int row = l * d + h * hd + c2;
                    double kj = j < t ? keyCache[static_cast<size_t>(row) * S + j] : k[h * hd + c2];
                    dot += q[h * hd + c2] * kj;
                }
                s[j] = dot / std::sqrt(static_cast<double>(hd)) + (j < t ? mask[j] : 0.0);
            }
            double m = *std::max_element(s.begin(), s.end()), z = 0;
            for (auto& e : s) z += (e = std::exp(e - m));
            for (int j = 0; j <= t; ++j)
                for (int c2 = 0; c2 < hd; ++c2) {
                    int row = l * d + h * hd + c2;
                    double vj = j < t ? valueCache[static_cast<size_t>(row) * S + j] : v[h * hd + c2];
                    a[h * hd + c2] += s[j] / z * vj;
                }
        }
        auto o = linear(a, 1, d, get(w, p + "self_attn.out_proj.weight"), d, &get(w, p + "self_attn.out_proj.bias"));
        for (int i = 0; i < d; ++i) x[i] += o[i];

        layerNorm(x, 1, d, get(w, p + "encoder_attn_layer_norm.weight"), get(w, p + "encoder_attn_layer_norm.bias"), xn);
        auto cq = linear(xn, 1, d, get(w, p + "encoder_attn.q_proj.weight"), d, &get(w, p + "encoder_attn.q_proj.bias"));
        auto ck = linear(encT, F, d, get(w, p + "encoder_attn.k_proj.weight"), d, nullptr);
        auto cv = linear(encT, F, d, get(w, p + "encoder_attn.v_proj.weight"), d, &get(w, p + "encoder_attn.v_proj.bias"));
        std::vector<double> ca(d, 0.0);
        for (int h = 0; h < H; ++h) {
            std::vector<double> s(F);
            for (int n = 0; n < F; ++n) {
                double dot = 0;
                for (int c2 = 0; c2 < hd; ++c2) dot += cq[h * hd + c2] * ck[static_cast<size_t>(n) * d + h * hd + c2];
                s[n] = dot / std::sqrt(static_cast<double>(hd));
            }
            double m = *std::max_element(s.begin(), s.end()), z = 0;
            for (auto& e : s) z += (e = std::exp(e - m));
            for (auto& e : s) e /= z;
            for (int n = 0; n < F; ++n)
                for (int c2 = 0; c2 < hd; ++c2) ca[h * hd + c2] += s[n] * cv[static_cast<size_t>(n) * d + h * hd + c2];
            for (auto [al, ah] : c.alignmentHeads)
                if (al == l && ah == h)
                    for (int n = 0; n < F; ++n) r.alignment[n] += s[n] / static_cast<double>(c.alignmentHeads.size());
        }
        auto co = linear(ca, 1, d, get(w, p + "encoder_attn.out_proj.weight"), d, &get(w, p + "encoder_attn.out_proj.bias"));
        for (int i = 0; i < d; ++i) x[i] += co[i];

        layerNorm(x, 1, d, get(w, p + "final_layer_norm.weight"), get(w, p + "final_layer_norm.bias"), xn);
        auto hdn = linear(xn, 1, d, get(w, p + "fc1.weight"), 4 * d, &get(w, p + "fc1.bias"));
        for (auto& e : hdn) e = gelu(e);
        auto f = linear(hdn, 1, 4 * d, get(w, p + "fc2.weight"), d, &get(w, p + "fc2.bias"));
        for (int i = 0; i < d; ++i) x[i] += f[i];
    }
    layerNorm(x, 1, d, get(w, "decoder.layer_norm.weight"), get(w, "decoder.layer_norm.bias"), xn);
    r.logits = linear(xn, 1, d, tok, c.vocabularySize, nullptr);
    return r;
}

}  // namespace reference

// The hand-written kernels at the sizes the model tests do not reach: widths that are not a multiple
// of the vector length, short rows, odd head widths.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Platform/CoreML/Whisper/EncoderAttention.hpp"
#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

namespace {

using namespace coreml::whisper;

std::vector<float> randomFloats(size_t n, uint32_t seed, float scale = 1.0f) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-scale, scale);
    std::vector<float> v(n);
    for (auto& x : v) x = u(g);
    return v;
}

// Rounded to bfloat16 (nearest even), as the reduced-precision path rounds its inputs.
double bf16(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bits = (bits + 0x7FFFu + ((bits >> 16) & 1u)) & 0xFFFF0000u;
    std::memcpy(&f, &bits, sizeof bits);
    return f;
}

// Every path's attention kernels (AVX-512 ones, in single or reduced precision, for heads a multiple
// of 32 wide with the AVX-512 paths);
// frame counts that leave partial row groups and key blocks.
TEST(WhisperKernels, EncoderAttentionMatchesPlainLoops) {
    struct Case {
        size_t frames, d, heads;
    };
    for (GemmPath path : supportedGemmPaths())
    for (const Case& c : {Case{37, 30, 2}, Case{64, 64, 4}, Case{5, 24, 1}, Case{70, 128, 2}, Case{131, 64, 1}}) {
        SCOPED_TRACE(testing::Message() << gemmPathName(path) << ": " << c.frames << " frames, d " << c.d << ", "
                                        << c.heads << " heads");
        const size_t T = c.frames, d = c.d, H = c.heads, hd = d / H;
        auto qkv = randomFloats(T * 3 * d, 3, 2.0f);
        std::vector<float> out(T * d), packed;
        encoderSelfAttention(qkv.data(), T, d, H, out.data(), packed, path);
        // The reduced-precision kernels (heads a multiple of 32 wide) round q, k and v to bfloat16,
        // as the reference does here, and the probabilities too: at most 2^-9 of each weight, of
        // values below 2.
        const bool reduced = isReducedPrecision(path) && hd % 32 == 0;
        if (reduced)
            for (auto& x : qkv) x = static_cast<float>(bf16(x));
        double worst = 0;
        for (size_t h = 0; h < H; ++h)
            for (size_t i = 0; i < T; ++i) {
                std::vector<double> s(T);
                double m = -1e300, z = 0;
                for (size_t j = 0; j < T; ++j) {
                    double dot = 0;
                    for (size_t k = 0; k < hd; ++k) dot += double(qkv[i * 3 * d + h * hd + k]) * qkv[j * 3 * d + d + h * hd + k];
                    s[j] = dot / std::sqrt(double(hd));
                    m = std::max(m, s[j]);
                }
                for (auto& x : s) z += (x = std::exp(x - m));
                for (size_t k = 0; k < hd; ++k) {
                    double o = 0;
                    for (size_t j = 0; j < T; ++j) o += s[j] / z * qkv[j * 3 * d + 2 * d + h * hd + k];
                    worst = std::max(worst, std::abs(o - out[i * d + h * hd + k]));
                }
            }
        EXPECT_LT(worst, reduced ? 4e-3 : 1e-5);
    }
}

TEST(WhisperKernels, VectorKernelsHandleEveryTailLength) {
    for (size_t n : {1u, 7u, 8u, 13u, 45u, 64u, 100u}) {
        SCOPED_TRACE(n);
        auto x = randomFloats(n, 1, 5.0f), w = randomFloats(3 * n, 2);
        std::vector<uint16_t> wh(w.size());
        floatToHalf(w.data(), wh.data(), w.size());
        std::vector<float> bias = {0.5f, -0.25f, 1.0f}, y(3);
        gemvHalf(wh.data(), x.data(), bias.data(), y.data(), 3, n);
        for (size_t r = 0; r < 3; ++r) {
            double e = bias[r];
            for (size_t i = 0; i < n; ++i) e += double(halfToFloat(wh[r * n + i])) * x[i];
            EXPECT_NEAR(y[r], e, 1e-4 * (1 + std::abs(e)));
        }
        // Softmax against the textbook form; GELU is the erf form.
        auto s = x;
        softmaxRow(s.data(), n);
        const double top = *std::max_element(x.begin(), x.end());
        double z = 0;
        for (float v : x) z += std::exp(v - top);
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(s[i], std::exp(x[i] - top) / z, 1e-6);
        auto g = x;
        geluInPlace(g.data(), n);
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(g[i], 0.5 * x[i] * (1 + std::erf(x[i] / std::sqrt(2.0))), 1e-6);
    }
}

TEST(WhisperKernels, BlockedProductCoversEveryElementOnceWhateverTheShape) {
    // The product is cut into one block per kernel thread; shapes smaller than a block, odd edges and
    // a thread count that does not divide evenly must still give every element of C exactly once.
    struct Case {
        size_t m, n, k;
        int threads;
    };
    const int before = kernelThreadCount();
    for (const Case& c : {Case{1, 1, 1, 8}, Case{5, 40, 3, 8}, Case{37, 21, 17, 8}, Case{100, 300, 9, 3},
                          Case{1500, 70, 33, 7}, Case{64, 64, 64, 2}}) {
        SCOPED_TRACE(testing::Message() << c.m << " x " << c.n << " x " << c.k << ", " << c.threads << " threads");
        setKernelThreadCount(c.threads);
        auto a = randomFloats(c.m * c.k, 4), b = randomFloats(c.n * c.k, 5), bias = randomFloats(c.n, 6);
        std::vector<float> out(c.m * c.n, 2.0f);
        std::vector<int> visits(c.m * c.n, 0);
        matmulTransBThen(a.data(), c.k, b.data(), c.k, out.data(), c.n, c.m, c.n, c.k, 0.5f, 1.0f,
                         [&](size_t r0, size_t r1, size_t c0, size_t c1) {
                             addBiasBlock(out.data(), c.n, r0, r1, c0, c1, bias.data());
                             for (size_t r = r0; r < r1; ++r)
                                 for (size_t j = c0; j < c1; ++j) ++visits[r * c.n + j];
                         });
        EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<long>(visits.size()));
        double worst = 0;
        for (size_t r = 0; r < c.m; ++r)
            for (size_t j = 0; j < c.n; ++j) {
                double e = 2.0 + bias[j];
                for (size_t i = 0; i < c.k; ++i) e += 0.5 * double(a[r * c.k + i]) * b[j * c.k + i];
                worst = std::max(worst, std::abs(e - out[r * c.n + j]));
            }
        EXPECT_LT(worst, 1e-4);
    }
    setKernelThreadCount(before);
    EXPECT_EQ(kernelThreadCount(), before);
}

// Every product path this CPU runs, the portable one included, against a double-precision sum (of
// the inputs rounded to bfloat16 for the reduced-precision path: only the single-precision
// accumulation may differ, so a packing fault cannot hide in the rounding error).
// The shapes cross each blocking edge: partial register tiles, depth beyond one slice, rows beyond
// one packed block of A, columns beyond one packed block of B; and both C-update forms (beta 0
// must not read C, which holds NaN there).
TEST(WhisperKernels, EveryProductPathMatchesTheReference) {
    struct Case {
        size_t m, n, k;
        float alpha, beta;
    };
    const Case cases[] = {{1, 1, 1, 1.0f, 0.0f},      {13, 33, 7, 0.5f, 1.0f},     {25, 70, 300, 1.0f, 0.0f},
                          {130, 40, 513, 1.0f, 0.75f}, {12, 1100, 40, -2.0f, 0.0f}, {250, 48, 3, 1.0f, 1.0f}};
    for (GemmPath path : supportedGemmPaths())
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << gemmPathName(path) << ": " << c.m << " x " << c.n << " x " << c.k);
            const size_t ldc = c.n + 3;  // a C wider than the product: the columns beyond stay as they were
            auto a = randomFloats(c.m * c.k, 11), b = randomFloats(c.n * c.k, 12), c0 = randomFloats(c.m * ldc, 13);
            if (c.beta == 0.0f)
                for (size_t r = 0; r < c.m; ++r)
                    std::fill(c0.begin() + r * ldc, c0.begin() + r * ldc + c.n, std::nanf(""));
            auto out = c0;
            gemmTransB(path, a.data(), c.k, b.data(), c.k, out.data(), ldc, c.m, c.n, c.k, c.alpha, c.beta);
            double worst = 0;
            for (size_t r = 0; r < c.m; ++r) {
                for (size_t j = 0; j < c.n; ++j) {
                    double e = c.beta == 0.0f ? 0.0 : double(c.beta) * c0[r * ldc + j];
                    for (size_t i = 0; i < c.k; ++i)
                        e += isReducedPrecision(path) ? double(c.alpha) * bf16(a[r * c.k + i]) * bf16(b[j * c.k + i])
                                                      : double(c.alpha) * a[r * c.k + i] * b[j * c.k + i];
                    const double err = std::abs(e - out[r * ldc + j]);
                    worst = std::isnan(err) ? 1e30 : std::max(worst, err);
                }
                for (size_t j = c.n; j < ldc; ++j) ASSERT_EQ(out[r * ldc + j], c0[r * ldc + j]);
            }
            EXPECT_LT(worst, 2e-6 * std::sqrt(double(c.k)) * std::abs(c.alpha) * 4 + 1e-6);
        }
}

TEST(WhisperKernels, ThreadedProductsAreBitIdenticalWhateverTheThreadCount) {
    // Each element is summed in the same order however the product is cut up, so a model's output
    // does not change with the number of threads.
    const size_t m = 301, n = 200, k = 290;
    auto a = randomFloats(m * k, 21), b = randomFloats(n * k, 22);
    const int before = kernelThreadCount();
    for (GemmPath path : supportedGemmPaths()) {
        SCOPED_TRACE(gemmPathName(path));
        std::vector<float> single(m * n);
        gemmTransB(path, a.data(), k, b.data(), k, single.data(), n, m, n, k, 1.0f, 0.0f);
        for (int threads : {2, 3, 8}) {
            setKernelThreadCount(threads);
            std::vector<float> out(m * n);
            matmulTransBOnPath(path, a.data(), k, b.data(), k, out.data(), n, m, n, k, 1.0f, 0.0f);
            EXPECT_EQ(out, single) << threads << " threads";
        }
    }
    setKernelThreadCount(before);
}

TEST(WhisperKernels, HalfAndStackedOperandsGiveTheSameProductAsSinglePrecision) {
    // B in half precision is converted exactly while packed, and stacked matrices are read row by
    // row: on every path, alone or threaded, the product equals the one of the same values in a
    // single F32 matrix, bit for bit. Row counts cross panel edges inside the stack.
    const size_t m = 37, k = 530, rows[3] = {21, 40, 9}, n = 70;
    auto a = randomFloats(m * k, 31), b = randomFloats(n * k, 32);
    std::vector<uint16_t> half(n * k);
    floatToHalf(b.data(), half.data(), b.size());
    halfToFloat(half.data(), b.data(), b.size());  // b now holds exactly the half values
    const int before = kernelThreadCount();
    setKernelThreadCount(3);
    for (GemmPath path : supportedGemmPaths()) {
        SCOPED_TRACE(gemmPathName(path));
        std::vector<float> expected(m * n), out(m * n);
        gemmTransB(path, a.data(), k, b.data(), k, expected.data(), n, m, n, k, 1.0f, 0.0f);
        gemmTransB(path, a.data(), k, half.data(), k, out.data(), n, m, n, k, 1.0f, 0.0f);
        EXPECT_EQ(out, expected) << "half, one thread";
        std::fill(out.begin(), out.end(), 0.0f);
        matmulTransBOnPath(path, a.data(), k, half.data(), k, out.data(), n, m, n, k, 1.0f, 0.0f);
        EXPECT_EQ(out, expected) << "half, threaded";
        GemmB stacked;
        stacked.stack(half.data(), k, rows[0])
            .stack(b.data() + rows[0] * k, k, rows[1])
            .stack(half.data() + (rows[0] + rows[1]) * k, k, rows[2]);
        std::fill(out.begin(), out.end(), 0.0f);
        matmulTransBOnPath(path, a.data(), k, stacked, out.data(), n, m, n, k, 1.0f, 0.0f);
        EXPECT_EQ(out, expected) << "stacked, threaded";
    }
    setKernelThreadCount(before);
}

TEST(WhisperKernels, HalfConversionRoundsToNearestEven) {
    // 1 + 2^-11 lies halfway between 1 and the next half; ties go to the even mantissa.
    std::vector<float> values = {1.0f + 0x1p-11f, 1.0f + 3 * 0x1p-11f, 65520.0f, -0.0f, 6e-8f};
    std::vector<uint16_t> h(values.size());
    floatToHalf(values.data(), h.data(), values.size());
    EXPECT_EQ(h[0], 0x3C00);
    EXPECT_EQ(h[1], 0x3C02);
    EXPECT_EQ(h[2], 0x7C00);  // overflow to infinity
    EXPECT_EQ(h[3], 0x8000);
    EXPECT_EQ(h[4], 0x0001);  // smallest subnormal
}

// The decoder's products hand their rows to a finishing step (residual, GELU, conversion): every row
// exactly once, in runs starting at multiples of 8, with the same values as the plain product.
TEST(WhisperKernels, RowProductsFinishEveryRowOnce) {
    const int before = kernelThreadCount();
    for (int threads : {1, 3, 8})
        for (size_t rows : {5u, 37u, 3000u}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, " << rows << " rows");
            setKernelThreadCount(threads);
            const size_t cols = 50;
            auto x = randomFloats(cols, 3), w = randomFloats(rows * cols, 4), bias = randomFloats(rows, 5);
            std::vector<uint16_t> wh(w.size());
            floatToHalf(w.data(), wh.data(), w.size());
            std::vector<float> plain(rows), y(rows);
            gemvHalf(wh.data(), x.data(), bias.data(), plain.data(), rows, cols);
            std::vector<int> seen(rows, 0);
            std::atomic<bool> aligned{true};  // written by every thread that finishes rows
            gemvHalfThen(wh.data(), x.data(), bias.data(), y.data(), rows, cols, [&](size_t r0, size_t r1) {
                if (r0 % 8 != 0 || (r1 % 8 != 0 && r1 != rows)) aligned = false;
                for (size_t r = r0; r < r1; ++r) ++seen[r];
            });
            EXPECT_TRUE(aligned);
            EXPECT_EQ(seen, std::vector<int>(rows, 1));
            EXPECT_EQ(y, plain);
        }
    setKernelThreadCount(before);
}

// One-pass attention on every path this CPU runs, with the portable one forced, against a
// double-precision reference: head widths that take the sixteen-lane blocks, only the eight-lane
// ones, or neither, over frame counts that end inside a block. Keys grow along the frames in one
// case, so the running maximum rises block after block and every earlier sum is rescaled.
TEST(WhisperKernels, AttentionOnEveryPathMatchesReference) {
    for (GemmPath path : supportedGemmPaths())
        for (size_t hd : {8u, 20u, 48u, 64u, 128u})
            for (size_t frames : {1u, 7u, 8u, 13u, 21u, 375u})
                for (bool rising : {false, true}) {
                    SCOPED_TRACE(std::string(gemmPathName(path)) + " hd " + std::to_string(hd) + " frames " +
                                 std::to_string(frames) + (rising ? " rising" : ""));
                    auto q = randomFloats(hd, 8), k = randomFloats(frames * hd, 9), v = randomFloats(frames * hd, 10);
                    if (rising)
                        for (size_t n = 0; n < frames; ++n)
                            for (size_t i = 0; i < hd; ++i) k[n * hd + i] += q[i] * 8.0f * float(n) / float(frames);
                    std::vector<uint16_t> kh(k.size()), vh(v.size());
                    floatToHalf(k.data(), kh.data(), k.size());
                    floatToHalf(v.data(), vh.data(), v.size());
                    std::vector<float> scores(frames + 1, -7.0f), out(hd);
                    float max = 0;
                    const float sum = attendHalfOnPath(path, q.data(), kh.data(), vh.data(), frames, hd, 0.125f,
                                                       scores.data(), out.data(), &max);
                    std::vector<double> s(frames);
                    double top = -INFINITY;
                    for (size_t n = 0; n < frames; ++n) {
                        for (size_t i = 0; i < hd; ++i) s[n] += double(halfToFloat(kh[n * hd + i])) * q[i];
                        s[n] *= 0.125;
                        top = std::max(top, s[n]);
                        EXPECT_NEAR(scores[n], s[n], 1e-5 * (1 + std::abs(s[n]))) << n;
                    }
                    EXPECT_EQ(scores[frames], -7.0f);  // nothing written past the frames
                    EXPECT_NEAR(max, top, 1e-5 * (1 + std::abs(top)));
                    double total = 0;
                    for (size_t n = 0; n < frames; ++n) total += std::exp(s[n] - top);
                    EXPECT_NEAR(sum, total, 1e-5 * total);
                    for (size_t i = 0; i < hd; ++i) {
                        double e = 0;
                        for (size_t n = 0; n < frames; ++n) e += std::exp(s[n] - top) * halfToFloat(vh[n * hd + i]);
                        EXPECT_NEAR(out[i] / sum, e / total, 1e-5) << i;
                    }
                }
}

// The self-attention cache kernels (positions along the rows, one row per channel): every block
// width and tail, row counts that leave a partial group of four, and NaN past `count` in every row,
// which they must not read.
TEST(WhisperKernels, ColumnAttentionMatchesReferenceAndReadsNothingPastTheCount) {
    for (size_t rows : {1u, 3u, 4u, 7u, 64u})
        for (size_t count : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 50u, 99u}) {
            SCOPED_TRACE("rows " + std::to_string(rows) + " count " + std::to_string(count));
            const size_t stride = count + 11;
            auto q = randomFloats(rows, 12), p = randomFloats(count, 13), kv = randomFloats(2 * rows * stride, 14);
            std::vector<uint16_t> k(rows * stride), v(rows * stride);
            for (size_t i = 0; i < rows; ++i)
                for (size_t j = 0; j < stride; ++j) {
                    const bool past = j >= count;
                    k[i * stride + j] = floatToHalf(past ? NAN : kv[i * stride + j]);
                    v[i * stride + j] = floatToHalf(past ? NAN : kv[(rows + i) * stride + j]);
                }
            std::vector<float> scores(count + 1, -7.0f), out(rows);
            columnScoresHalf(q.data(), k.data(), rows, stride, count, scores.data());
            columnValuesHalf(p.data(), v.data(), rows, stride, count, out.data());
            for (size_t j = 0; j < count; ++j) {
                double e = 0;
                for (size_t i = 0; i < rows; ++i) e += double(q[i]) * halfToFloat(k[i * stride + j]);
                EXPECT_NEAR(scores[j], e, 1e-4) << j;
            }
            EXPECT_EQ(scores[count], -7.0f);
            for (size_t i = 0; i < rows; ++i) {
                double e = 0;
                for (size_t j = 0; j < count; ++j) e += double(p[j]) * halfToFloat(v[i * stride + j]);
                EXPECT_NEAR(out[i], e, 1e-4) << i;
            }
        }
}

// The unnormalised softmax piece on every path, over lengths that end inside a vector.
TEST(WhisperKernels, ExpMinusMaxOnEveryPathMatchesReference) {
    for (GemmPath path : supportedGemmPaths())
        for (size_t n : {1u, 7u, 16u, 17u, 375u}) {
            SCOPED_TRACE(std::string(gemmPathName(path)) + " n " + std::to_string(n));
            auto x = randomFloats(n + 1, 12, 8.0f);
            const float past = x[n];
            auto y = x;
            float max = 0;
            const float sum = expMinusMaxOnPath(path, y.data(), n, &max);
            EXPECT_EQ(max, *std::max_element(x.begin(), x.begin() + n));
            double total = 0;
            for (size_t i = 0; i < n; ++i) {
                const double e = std::exp(double(x[i]) - max);
                EXPECT_NEAR(y[i], e, 1e-6 * e) << i;
                total += e;
            }
            EXPECT_NEAR(sum, total, 1e-5 * total);
            EXPECT_EQ(y[n], past);  // nothing written past the row
        }
}

// A pool keeps small scratch objects for the next prediction and frees large ones.
TEST(WhisperKernels, ScratchPoolKeepsOnlySmallObjects) {
    for (size_t bytes : {size_t(1) << 20, kKeptScratchBytes + 1}) {
        int made = 0;
        ScratchPool<int> pool([&] { ++made; return std::make_unique<int>(0); }, bytes);
        { auto lease = pool.take(); }
        { auto lease = pool.take(); }
        EXPECT_EQ(made, bytes <= kKeptScratchBytes ? 1 : 2) << bytes;
    }
}

}  // namespace

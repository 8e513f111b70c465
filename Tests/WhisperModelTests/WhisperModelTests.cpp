// The Whisper architectures against the plain reference, through the ML runtime's public API.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/MLModelError.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/Gemm.hpp"
#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Reference.hpp"

namespace {

using namespace coreml;
using coreml::whisper::TestModelOptions;

std::filesystem::path freshFolder(const std::string& name) {
    auto p = std::filesystem::temp_directory_path() /
             ("whisper-tests-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(p);
    return p;
}

std::shared_ptr<MLMultiArray> halfArray(std::vector<int64_t> shape, const std::vector<double>& values) {
    auto a = MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16);
    auto* p = a->data<Float16>();
    for (size_t i = 0; i < values.size(); ++i) p[i] = toFloat16(values[i]);
    return a;
}

std::shared_ptr<MLMultiArray> intArray(std::vector<int64_t> shape, std::vector<int32_t> values) {
    auto a = MLMultiArray::make(std::move(shape), MLMultiArrayDataType::int32);
    std::copy(values.begin(), values.end(), a->data<int32_t>());
    return a;
}

std::vector<double> asDoubles(const MLMultiArray& a) {
    auto f = a.floatValues();
    return {f.begin(), f.end()};
}

std::shared_ptr<MLMultiArray> output(const MLFeatureProvider& p, const std::string& name) {
    auto v = p.featureValue(name);
    if (!v) return nullptr;
    return v->multiArrayValue();
}

double maxAbsDiff(const std::vector<double>& a, const std::vector<double>& b) {
    EXPECT_EQ(a.size(), b.size());
    double m = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) m = std::max(m, std::abs(a[i] - b[i]));
    return m;
}

double maxAbs(const std::vector<double>& a) {
    double m = 0;
    for (double x : a) m = std::max(m, std::abs(x));
    return m;
}

std::vector<double> randomValues(size_t n, double scale, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(-scale, scale);
    std::vector<double> v(n);
    for (auto& x : v) x = u(g);
    return v;
}

std::vector<float> testAudio() {
    std::vector<float> a(480000);
    std::mt19937 g(7);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (size_t i = 0; i < a.size(); ++i) {
        double t = static_cast<double>(i) / 16000.0;
        a[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 1234.5 * t) * std::sin(3 * t)) +
               noise(g);
    }
    // Distinct edges so the reflect padding shows.
    for (int i = 0; i < 300; ++i) {
        a[i] += 0.5f * static_cast<float>(i % 7) / 7.0f;
        a[a.size() - 1 - i] -= 0.4f * static_cast<float>(i % 5) / 5.0f;
    }
    return a;
}

class WhisperModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new std::filesystem::path(freshFolder("model"));
        options_ = new TestModelOptions();
        whisper::writeTestModel(*folder_, *options_);
        weights_ = new reference::Weights(reference::roundedWeights(
            options_->config, whisper::randomWeights(options_->config, options_->seed)));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*folder_);
        delete folder_;
        delete options_;
        delete weights_;
    }
    static std::shared_ptr<MLModel> load(const std::string& name) {
        return MLModel::load(*folder_ / (name + ".mlmodelc"));
    }
    static const whisper::WhisperModelConfig& config() { return options_->config; }

    // One decoder step through the runtime.
    struct Step {
        std::shared_ptr<MLMultiArray> logits, keys, values, alignment;
    };
    static Step step(const MLModel& model, int token, int t, const std::shared_ptr<MLMultiArray>& keyCache,
                     const std::shared_ptr<MLMultiArray>& valueCache, const std::shared_ptr<MLMultiArray>& mask,
                     const std::shared_ptr<MLMultiArray>& encoder) {
        const int S = config().cacheLength;
        std::vector<int32_t> update(S, 0);
        if (t >= 0 && t < S) update[t] = 1;
        MLDictionaryFeatureProvider in(std::map<std::string, std::shared_ptr<MLMultiArray>>{
            {"input_ids", intArray({1}, {token})},
            {"cache_length", intArray({1}, {t})},
            {"key_cache", keyCache},
            {"value_cache", valueCache},
            {"kv_cache_update_mask", intArray({1, S}, update)},
            {"encoder_output_embeds", encoder},
            {"decoder_key_padding_mask", mask}});
        auto out = model.prediction(in);
        return {output(*out, "logits"), output(*out, "key_cache_updates"), output(*out, "value_cache_updates"),
                output(*out, "alignment_heads_weights")};
    }

    static std::filesystem::path* folder_;
    static TestModelOptions* options_;
    static reference::Weights* weights_;
};
std::filesystem::path* WhisperModelTest::folder_ = nullptr;
TestModelOptions* WhisperModelTest::options_ = nullptr;
reference::Weights* WhisperModelTest::weights_ = nullptr;

TEST_F(WhisperModelTest, GeneratedFoldersDeclareTheEngineContract) {
    auto mel = load("MelSpectrogram");
    auto enc = load("AudioEncoder");
    auto dec = load("TextDecoder");
    const auto& c = config();
    const int64_t E = static_cast<int64_t>(c.decoderLayers) * c.width;
    auto shape = [](const MLModel& m, bool in, const std::string& name) {
        const auto& map = in ? m.modelDescription().inputDescriptionsByName : m.modelDescription().outputDescriptionsByName;
        return map.at(name).multiArrayConstraint->shape;
    };
    EXPECT_EQ(shape(*mel, true, "audio"), (std::vector<int64_t>{480000}));
    EXPECT_EQ(shape(*mel, false, "melspectrogram_features"), (std::vector<int64_t>{1, c.melCount, 1, 3000}));
    EXPECT_EQ(shape(*enc, false, "encoder_output_embeds"), (std::vector<int64_t>{1, c.width, 1, 1500}));
    EXPECT_EQ(shape(*dec, true, "key_cache"), (std::vector<int64_t>{1, E, 1, 224}));
    EXPECT_EQ(shape(*dec, false, "logits"), (std::vector<int64_t>{1, 1, 51865}));
    EXPECT_EQ(shape(*dec, false, "key_cache_updates"), (std::vector<int64_t>{1, E, 1, 1}));
    EXPECT_TRUE(dec->modelDescription().outputDescriptionsByName.at("alignment_heads_weights").isOptional);

    // The tokenizer puts Whisper's special tokens at their ids.
    auto doc = foundation::JSONDocument::parse(foundation::readFile(*folder_ / "tokenizer.json"));
    std::map<std::string, int64_t> ids;
    for (const auto& t : doc.root().member("added_tokens").items())
        ids[t.member("content").asString()] = t.member("id").asInt64();
    EXPECT_EQ(ids.at("<|endoftext|>"), 50257);
    EXPECT_EQ(ids.at("<|startoftranscript|>"), 50258);
    EXPECT_EQ(ids.at("<|en|>"), 50259);
    EXPECT_EQ(ids.at("<|su|>"), 50357);
    EXPECT_EQ(ids.at("<|translate|>"), 50358);
    EXPECT_EQ(ids.at("<|transcribe|>"), 50359);
    EXPECT_EQ(ids.at("<|notimestamps|>"), 50363);
    EXPECT_EQ(ids.at("<|0.00|>"), 50364);
    EXPECT_EQ(ids.at("<|30.00|>"), 51864);
    auto vocab = doc.root().member("model").member("vocab");
    EXPECT_EQ(vocab.size(), 50257u);
    EXPECT_EQ(vocab.member("!").asInt64(), 0);
    EXPECT_EQ(vocab.member("\u0120").asInt64(), 220);  // the space symbol "Ġ"
    EXPECT_TRUE(vocab.member("\u0120the").exists());
    EXPECT_TRUE(std::filesystem::exists(*folder_ / "tokenizer_config.json"));
}

TEST(WhisperTokenLayout, FollowsTheVocabularySize) {
    struct Case {
        int vocabulary;
        int endOfText, transcribe, firstTimestamp;
    };
    for (const Case& c : {Case{51864, 50256, 50358, 50363}, Case{51865, 50257, 50359, 50364},
                          Case{51866, 50257, 50360, 50365}}) {
        auto layout = whisper::whisperSpecialTokens(c.vocabulary);
        std::map<std::string, int> ids;
        for (const auto& [id, s] : layout.tokens) ids[s] = id;
        EXPECT_EQ(ids.at("<|endoftext|>"), c.endOfText) << c.vocabulary;
        EXPECT_EQ(ids.at("<|transcribe|>"), c.transcribe) << c.vocabulary;
        EXPECT_EQ(ids.at("<|0.00|>"), c.firstTimestamp) << c.vocabulary;
        EXPECT_EQ(layout.tokens.back().first, c.vocabulary - 1);
    }
    EXPECT_THROW(whisper::whisperSpecialTokens(1000), whisper::WhisperModelError);
}

TEST_F(WhisperModelTest, MelSpectrogramMatchesReference) {
    auto model = load("MelSpectrogram");
    auto audio = testAudio();
    auto run = [&](const std::vector<float>& samples) {
        auto a = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
        std::copy(samples.begin(), samples.end(), a->data<float>());
        auto out = model->prediction(MLDictionaryFeatureProvider(std::map<std::string, std::shared_ptr<MLMultiArray>>{{"audio", a}}));
        return asDoubles(*output(*out, "melspectrogram_features"));
    };
    auto filters = whisper::melFilterbank(config().melCount);
    auto expected = reference::melSpectrogram(audio, filters, config().melCount);
    auto got = run(audio);
    EXPECT_LT(maxAbsDiff(got, expected), 2e-2);
    // Mean error far below the worst case: the worst sits in the quietest bins.
    double sum = 0;
    for (size_t i = 0; i < got.size(); ++i) sum += std::abs(got[i] - expected[i]);
    EXPECT_LT(sum / got.size(), 2e-3);

    // Silence: every band sits at the floor, (log10(1e-10) + 4) / 4.
    auto silent = run(std::vector<float>(480000, 0.0f));
    for (double v : silent) ASSERT_EQ(v, -1.5);
}

// The encoder in single precision (cpuOnly) and on the reduced-precision path that the compute
// units asking for the accelerator get where the CPU has BF16 dot products (elsewhere they run in
// single precision too), each against the double-precision reference with its own bound.
TEST_F(WhisperModelTest, AudioEncoderMatchesReference) {
    const auto& c = config();
    auto melValues = randomValues(static_cast<size_t>(c.melCount) * 3000, 1.5, 11);
    auto mel = halfArray({1, c.melCount, 1, 3000}, melValues);
    auto expected = reference::encoder(c, *weights_, asDoubles(*mel));
    const double scale = std::max(1.0, maxAbs(expected));
    struct Case {
        MLComputeUnits units;
        double worst, mean;  // bounds relative to the largest output (measured: 4e-4 and 3e-5 in
                             // single precision, 4e-3 and 6e-4 on the BF16 path)
    };
    const bool reduced = whisper::isReducedPrecision(whisper::reducedPrecisionGemmPath());
    const double reducedWorst = reduced ? 1.5e-2 : 2e-2, reducedMean = reduced ? 3e-3 : 5e-4;
    for (const Case& k : {Case{MLComputeUnits::cpuOnly, 2e-2, 5e-4}, Case{MLComputeUnits::all, reducedWorst, reducedMean},
                          Case{MLComputeUnits::cpuAndNeuralEngine, reducedWorst, reducedMean}}) {
        SCOPED_TRACE(static_cast<int>(k.units));
        MLModelConfiguration configuration;
        configuration.computeUnits = k.units;
        auto model = MLModel::load(*folder_ / "AudioEncoder.mlmodelc", configuration);
        auto out = model->prediction(MLDictionaryFeatureProvider(
            std::map<std::string, std::shared_ptr<MLMultiArray>>{{"melspectrogram_features", mel}}));
        auto got = asDoubles(*output(*out, "encoder_output_embeds"));
        double sum = 0;
        for (size_t i = 0; i < got.size(); ++i) sum += std::abs(got[i] - expected[i]);
        EXPECT_LT(maxAbsDiff(got, expected), k.worst * scale);
        EXPECT_LT(sum / static_cast<double>(got.size()), k.mean * scale);
    }
}

// The encoder built directly on every product path this CPU runs (portable forced included), its
// weights read in place as stored in half precision, and once stored in single precision. Two heads
// 32 wide, so the AVX-512 paths run their own attention kernels (the shapes do not depend on heads).
TEST_F(WhisperModelTest, AudioEncoderOnEveryPathMatchesReference) {
    auto c = config();
    c.encoderHeads = 2;
    auto source = whisper::randomWeights(config(), options_->seed);
    std::map<std::string, std::vector<uint16_t>> halves;
    std::map<std::string, std::vector<float>> floats;
    std::map<std::string, std::vector<int64_t>> shapes;
    for (const auto& [name, shape] : whisper::whisperTensorShapes(c)) {
        if (name.rfind("encoder.", 0) != 0) continue;
        auto values = source(name, shape);
        auto& h = halves[name.substr(8)];
        h.resize(values.size());
        whisper::floatToHalf(values.data(), h.data(), values.size());
        auto& f = floats[name.substr(8)];
        f.resize(values.size());
        whisper::halfToFloat(h.data(), f.data(), h.size());
        shapes[name.substr(8)] = shape;
    }
    auto lookup = [&](bool half) {
        return [&, half](const std::string& name) {
            whisper::TensorView v;
            v.shape = shapes.at(name);
            v.type = half ? whisper::StoredType::float16 : whisper::StoredType::float32;
            v.data = half ? static_cast<const void*>(halves.at(name).data()) : floats.at(name).data();
            return v;
        };
    };
    auto melValues = randomValues(static_cast<size_t>(c.melCount) * 3000, 1.5, 11);
    std::vector<uint16_t> mel(melValues.size());
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = whisper::floatToHalf(static_cast<float>(melValues[i]));
    std::vector<double> melRounded(mel.size());
    for (size_t i = 0; i < mel.size(); ++i) melRounded[i] = whisper::halfToFloat(mel[i]);
    auto expected = reference::encoder(c, *weights_, melRounded);
    const double scale = std::max(1.0, maxAbs(expected));
    const whisper::EncoderDimensions dims{c.melCount, c.width, c.encoderHeads, c.encoderLayers};
    std::vector<std::pair<whisper::GemmPath, bool>> runs;
    for (auto path : whisper::supportedGemmPaths()) runs.emplace_back(path, true);
    runs.emplace_back(whisper::bestGemmPath(), false);
    for (const auto& [path, half] : runs) {
        SCOPED_TRACE(testing::Message() << whisper::gemmPathName(path) << (half ? ", half weights" : ", F32 weights"));
        whisper::AudioEncoderModel encoder(dims, lookup(half), path);
        std::vector<uint16_t> out(static_cast<size_t>(c.width) * 1500);
        encoder.encode(mel.data(), out.data());
        std::vector<double> got(out.size());
        double sum = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            got[i] = whisper::halfToFloat(out[i]);
            sum += std::abs(got[i] - expected[i]);
        }
        const bool reduced = whisper::isReducedPrecision(path);
        EXPECT_LT(maxAbsDiff(got, expected), (reduced ? 1.5e-2 : 2e-2) * scale);
        EXPECT_LT(sum / static_cast<double>(got.size()), (reduced ? 3e-3 : 5e-4) * scale);
    }
}

TEST_F(WhisperModelTest, ReducedPrecisionEncoderKeepsTheGreedyTokens) {
    // The same audio encoded in single precision and on the reduced-precision path, then twelve
    // greedy decoder steps on each: the tokens must not change.
    const auto& c = config();
    const int S = c.cacheLength, E = c.decoderLayers * c.width;
    auto mel = halfArray({1, c.melCount, 1, 3000}, randomValues(static_cast<size_t>(c.melCount) * 3000, 1.5, 23));
    auto decoder = load("TextDecoder");
    auto tokensFor = [&](MLComputeUnits units) {
        MLModelConfiguration configuration;
        configuration.computeUnits = units;
        auto encoder = MLModel::load(*folder_ / "AudioEncoder.mlmodelc", configuration);
        auto enc = output(*encoder->prediction(MLDictionaryFeatureProvider(
                              std::map<std::string, std::shared_ptr<MLMultiArray>>{{"melspectrogram_features", mel}})),
                          "encoder_output_embeds");
        auto keys = halfArray({1, E, 1, S}, {}), values = halfArray({1, E, 1, S}, {});
        std::vector<double> mask(S, -10000.0);
        std::vector<int> tokens;
        int token = 50258;
        for (int t = 0; t < std::min(12, S); ++t) {
            mask[t] = 0;
            auto r = step(*decoder, token, t, keys, values, halfArray({1, S}, mask), enc);
            auto logits = asDoubles(*r.logits);
            token = static_cast<int>(std::max_element(logits.begin(), logits.end()) - logits.begin());
            tokens.push_back(token);
            for (int row = 0; row < E; ++row) {
                keys->data<Float16>()[row * S + t] = r.keys->data<Float16>()[row];
                values->data<Float16>()[row * S + t] = r.values->data<Float16>()[row];
            }
        }
        return tokens;
    };
    EXPECT_EQ(tokensFor(MLComputeUnits::all), tokensFor(MLComputeUnits::cpuOnly));
}

// Runs `tokens` through the decoder with the engine's cache protocol and checks every step against
// the reference. With `stale`, cache positions after t hold NaN and the padding mask is 0 there,
// which a correct step never reads.
TEST_F(WhisperModelTest, TextDecoderFollowsTheCacheProtocol) {
    auto model = load("TextDecoder");
    const auto& c = config();
    const int S = c.cacheLength, E = c.decoderLayers * c.width;
    auto encValues = randomValues(static_cast<size_t>(c.width) * 1500, 2.0, 5);
    auto encoder = halfArray({1, c.width, 1, 1500}, encValues);
    auto encRounded = asDoubles(*encoder);
    const std::vector<int> tokens = {50258, 50259, 50359, 50364, 440, 17, 51864};

    std::vector<std::vector<double>> cleanLogits;
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "stale cache rows" : "clean cache");
        std::vector<double> keys(static_cast<size_t>(E) * S, stale ? NAN : 0.0), values = keys;
        std::vector<double> mask(S, stale ? 0.0 : -10000.0);
        for (size_t t = 0; t < tokens.size(); ++t) {
            mask[t] = 0;
            auto keyCache = halfArray({1, E, 1, S}, keys), valueCache = halfArray({1, E, 1, S}, values);
            auto maskArray = halfArray({1, S}, mask);
            auto r = step(*model, tokens[t], static_cast<int>(t), keyCache, valueCache, maskArray, encoder);
            ASSERT_TRUE(r.logits && r.keys && r.values && r.alignment);
            auto logits = asDoubles(*r.logits);
            if (!stale) {
                auto expected = reference::decoderStep(c, *weights_, tokens[t], static_cast<int>(t), asDoubles(*keyCache),
                                                       asDoubles(*valueCache), asDoubles(*maskArray), encRounded);
                EXPECT_LT(maxAbsDiff(logits, expected.logits), 1e-2 * std::max(1.0, maxAbs(expected.logits))) << t;
                EXPECT_LT(maxAbsDiff(asDoubles(*r.keys), expected.keys), 1e-2 * std::max(1.0, maxAbs(expected.keys)));
                EXPECT_LT(maxAbsDiff(asDoubles(*r.values), expected.values), 1e-2 * std::max(1.0, maxAbs(expected.values)));
                EXPECT_LT(maxAbsDiff(asDoubles(*r.alignment), expected.alignment), 1e-3);
                cleanLogits.push_back(logits);
            } else {
                // Bit-for-bit the clean run: nothing after t was read.
                EXPECT_EQ(logits, cleanLogits[t]) << t;
            }
            // The engine copies this step's updates into column t.
            auto k = asDoubles(*r.keys), v = asDoubles(*r.values);
            for (int row = 0; row < E; ++row) {
                keys[static_cast<size_t>(row) * S + t] = k[row];
                values[static_cast<size_t>(row) * S + t] = v[row];
            }
        }
    }
}

TEST_F(WhisperModelTest, ConcurrentPredictionsMatchSerialOnes) {
    auto encoderModel = load("AudioEncoder");
    auto decoder = load("TextDecoder");
    const auto& c = config();
    const int S = c.cacheLength, E = c.decoderLayers * c.width;
    std::vector<std::shared_ptr<MLMultiArray>> encoders;
    for (uint32_t i = 0; i < 3; ++i) encoders.push_back(halfArray({1, c.width, 1, 1500}, randomValues(c.width * 1500, 2.0, 100 + i)));
    auto mel = halfArray({1, c.melCount, 1, 3000}, randomValues(c.melCount * 3000, 1.5, 3));
    auto encode = [&] {
        auto out = encoderModel->prediction(MLDictionaryFeatureProvider(
            std::map<std::string, std::shared_ptr<MLMultiArray>>{{"melspectrogram_features", mel}}));
        return asDoubles(*output(*out, "encoder_output_embeds"));
    };
    // Four greedy steps on one encoder output, with the cache protocol.
    auto decode = [&](const std::shared_ptr<MLMultiArray>& enc) {
        auto keys = halfArray({1, E, 1, S}, {}), values = halfArray({1, E, 1, S}, {});
        std::vector<double> mask(S, -10000.0);
        std::vector<double> all;
        int token = 50258;
        for (int t = 0; t < 4; ++t) {
            mask[t] = 0;
            auto r = step(*decoder, token, t, keys, values, halfArray({1, S}, mask), enc);
            auto logits = asDoubles(*r.logits);
            all.insert(all.end(), logits.begin(), logits.end());
            token = static_cast<int>(std::max_element(logits.begin(), logits.end()) - logits.begin());
            for (int row = 0; row < E; ++row) {
                keys->data<Float16>()[row * S + t] = r.keys->data<Float16>()[row];
                values->data<Float16>()[row * S + t] = r.values->data<Float16>()[row];
            }
        }
        return all;
    };
    const auto encoded = encode();
    std::vector<std::vector<double>> serial;
    for (auto& e : encoders) serial.push_back(decode(e));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 2; ++round) {
                if (i == 0 && round == 0) {
                    if (encode() != encoded) ++mismatches;
                    continue;
                }
                size_t which = static_cast<size_t>(i + round) % encoders.size();
                if (decode(encoders[which]) != serial[which]) ++mismatches;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(WhisperModelTest, AnEncoderOutputRewrittenInPlaceIsNotServedStaleCrossAttention) {
    auto decoder = load("TextDecoder");
    const auto& c = config();
    const int S = c.cacheLength, E = c.decoderLayers * c.width;
    auto keys = halfArray({1, E, 1, S}, {}), values = halfArray({1, E, 1, S}, {});
    std::vector<double> mask(S, -10000.0);
    mask[0] = 0;
    auto enc = halfArray({1, c.width, 1, 1500}, randomValues(c.width * 1500, 2.0, 1));
    auto first = asDoubles(*step(*decoder, 50258, 0, keys, values, halfArray({1, S}, mask), enc).logits);
    auto other = randomValues(c.width * 1500, 2.0, 2);
    for (size_t i = 0; i < other.size(); ++i) enc->data<Float16>()[i] = toFloat16(other[i]);
    auto second = asDoubles(*step(*decoder, 50258, 0, keys, values, halfArray({1, S}, mask), enc).logits);
    auto fresh = halfArray({1, c.width, 1, 1500}, other);
    auto expected = asDoubles(*step(*decoder, 50258, 0, keys, values, halfArray({1, S}, mask), fresh).logits);
    EXPECT_NE(first, second);
    EXPECT_EQ(second, expected);
}

TEST_F(WhisperModelTest, OutOfRangeStepInputsFail) {
    auto decoder = load("TextDecoder");
    const auto& c = config();
    const int S = c.cacheLength, E = c.decoderLayers * c.width;
    auto keys = halfArray({1, E, 1, S}, {}), values = halfArray({1, E, 1, S}, {});
    auto mask = halfArray({1, S}, std::vector<double>(S, 0.0));
    auto enc = halfArray({1, c.width, 1, 1500}, {});
    struct Case {
        int token, t;
    };
    for (const Case& k : {Case{-1, 0}, Case{c.vocabularySize, 0}, Case{50258, -1}, Case{50258, S}}) {
        EXPECT_THROW(step(*decoder, k.token, k.t, keys, values, mask, enc), MLModelError) << k.token << " " << k.t;
    }
}

TEST(WhisperModelLoading, RefusesFoldersThatBreakTheContract) {
    auto folder = freshFolder("broken");
    TestModelOptions options;
    options.writeTokenizer = false;
    options.config.alignmentHeads.clear();
    whisper::writeTestModel(folder, options);
    // Without alignment heads the decoder has no alignment output and still loads.
    auto ok = MLModel::load(folder / "TextDecoder.mlmodelc");
    EXPECT_EQ(ok->modelDescription().outputDescriptionsByName.count("alignment_heads_weights"), 0u);

    // A mel model whose declared output disagrees with its band count, and one without its filters.
    ModelFolderWriter wrongShape("whisper.melSpectrogram");
    wrongShape.hyperParameters("{\"num_mel_bins\":80}");
    wrongShape.addInput("audio", MLMultiArrayDataType::float32, {480000});
    wrongShape.addOutput("melspectrogram_features", MLMultiArrayDataType::float16, {1, 128, 1, 3000});
    std::vector<float> filters(80 * 201, 0.0f);
    wrongShape.addTensor("mel_filters", filters, {80, 201});
    wrongShape.write(folder / "WrongShape.mlmodelc");
    ModelFolderWriter noFilters("whisper.melSpectrogram");
    noFilters.hyperParameters("{\"num_mel_bins\":80}");
    noFilters.addInput("audio", MLMultiArrayDataType::float32, {480000});
    noFilters.addOutput("melspectrogram_features", MLMultiArrayDataType::float16, {1, 80, 1, 3000});
    noFilters.write(folder / "NoFilters.mlmodelc");
    for (const char* name : {"WrongShape.mlmodelc", "NoFilters.mlmodelc"}) {
        try {
            MLModel::load(folder / name);
            ADD_FAILURE() << name << " loaded";
        } catch (const MLModelError& e) {
            EXPECT_EQ(e.errorCase(), MLModelError::Case::parameters) << e.describe();
        }
    }
    std::filesystem::remove_all(folder);
}

}  // namespace

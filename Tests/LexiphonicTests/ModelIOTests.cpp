#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Lexiphonic/Core/ModelInputsOutputs.hpp"
#include "Lexiphonic/Core/WhisperMLModel.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"

using namespace lexiphonic;
using namespace coreml;
namespace fs = std::filesystem;

namespace {

class ModelFolders {
public:
    ModelFolders() {
        static int counter = 0;
        root_ = fs::temp_directory_path() / ("model-io-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root_);
    }
    ~ModelFolders() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    // A decoder-shaped model whose outputs are produced by the scripted test architecture.
    fs::path decoder(const std::string& name, const std::string& produce) const {
        auto folder = root_ / (name + ".mlmodelc");
        ModelFolderWriter("scripted")
            .hyperParameters(R"({"value": 0.25, "produce": )" + produce + "}")
            .addInput("input_ids", MLMultiArrayDataType::int32, {1})
            .addOutput("logits", MLMultiArrayDataType::float16, {1, 1, 5})
            .addOutput("key_cache_updates", MLMultiArrayDataType::float16, {1, 4, 1, 1})
            .addOutput("value_cache_updates", MLMultiArrayDataType::float16, {1, 4, 1, 1})
            .addOutput("alignment_heads_weights", MLMultiArrayDataType::float16, {1, 6}, true)
            .write(folder);
        return folder;
    }

private:
    fs::path root_;
};

class Stage : public WhisperMLModel {
public:
    std::shared_ptr<MLModel> model() const override { return model_; }
    void setModel(std::shared_ptr<MLModel> model) override { model_ = std::move(model); }

private:
    std::shared_ptr<MLModel> model_;
};

MLMultiArrayPtr ints(std::vector<int64_t> shape) { return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::int32); }
MLMultiArrayPtr halves(std::vector<int64_t> shape) {
    return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16);
}

}  // namespace

TEST(ModelInputs, ExposeExactlyTheirFeatureNames) {
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    MelSpectrogramInput mel(audio);
    EXPECT_EQ(mel.featureNames(), (std::set<std::string>{"audio"}));
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue(), audio);
    EXPECT_FALSE(mel.featureValue("Audio").has_value());
    auto replacement = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    mel.audio = replacement;  // the value wraps the field's current array
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue(), replacement);

    TextDecoderInput decoder(ints({1}), ints({1}), halves({1, 4, 1, 8}), halves({1, 4, 1, 8}), ints({1, 8}),
                             halves({1, 4, 1, 3}), halves({1, 8}));
    const std::set<std::string> names{"input_ids",   "cache_length",          "key_cache",
                                      "value_cache", "kv_cache_update_mask", "encoder_output_embeds",
                                      "decoder_key_padding_mask"};
    EXPECT_EQ(decoder.featureNames(), names);
    for (const auto& name : names) EXPECT_NE(decoder.featureValue(name)->multiArrayValue(), nullptr) << name;
    EXPECT_EQ(decoder.featureValue("kv_cache_update_mask")->multiArrayValue(), decoder.kv_cache_update_mask);
    for (const char* other : {"audio", "Input_ids", "INPUT_IDS", "task", "logits", ""})
        EXPECT_FALSE(decoder.featureValue(other).has_value()) << other;

    AudioEncoderInput encoder(halves({1, 80, 1, 3000}));
    EXPECT_EQ(encoder.featureNames(), (std::set<std::string>{"melspectrogram_features"}));
    EXPECT_FALSE(encoder.featureValue("audio").has_value());
    TextDecoderCachePrefillInput prefill(ints({1}), ints({1}));
    EXPECT_EQ(prefill.featureNames(), (std::set<std::string>{"task", "language"}));
    EXPECT_FALSE(prefill.featureValue("Task").has_value());
}

TEST(ModelInputs, ShapedArraysBecomeArraysOfTheirElementType) {
    MLShapedArray<int32_t> one(std::vector<int32_t>{50258}, {1});
    MLShapedArray<float> cache(0.5f, {1, 2, 1, 3});
    TextDecoderInput decoder(one, MLShapedArray<int32_t>(std::vector<int32_t>{4}, {1}), cache, cache,
                             MLShapedArray<float>(1.0f, {1, 3}), MLShapedArray<float>(0.0f, {1, 2, 1, 2}),
                             MLShapedArray<float>(-10000.0f, {1, 3}));
    EXPECT_EQ(decoder.input_ids->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(decoder.input_ids->value(0), 50258.0);
    EXPECT_EQ(decoder.cache_length->value(0), 4.0);
    EXPECT_EQ(decoder.key_cache->dataType(), MLMultiArrayDataType::float32);
    EXPECT_EQ(decoder.key_cache->shape(), (std::vector<int64_t>{1, 2, 1, 3}));
    EXPECT_NE(decoder.key_cache, decoder.value_cache);  // each shaped array gets its own array
    EXPECT_EQ(decoder.decoder_key_padding_mask->value(2), -10000.0);

    MelSpectrogramInput mel(MLShapedArray<float>(std::vector<float>{0.1f, 0.2f}, {2}));
    EXPECT_EQ(mel.audio->dataType(), MLMultiArrayDataType::float32);
    EXPECT_EQ(AudioEncoderInput(MLShapedArray<float>(1.0f, {1, 2})).melspectrogram_features->dataType(),
              MLMultiArrayDataType::float32);
    TextDecoderCachePrefillInput prefill(MLShapedArray<int32_t>(std::vector<int32_t>{1}, {1}),
                                         MLShapedArray<int32_t>(std::vector<int32_t>{50259}, {1}));
    EXPECT_EQ(prefill.language->value(0), 50259.0);
    EXPECT_EQ(prefill.task->dataType(), MLMultiArrayDataType::int32);
}

TEST(ModelOutputs, ServeModelPredictionsAndToleratesAMissingAlignment) {
    ModelFolders folders;
    auto withAlignment = MLModel::load(folders.decoder("Full", R"(["logits", "key_cache_updates", "value_cache_updates", "alignment_heads_weights"])"));
    auto withoutAlignment = MLModel::load(folders.decoder("Lean", R"(["logits", "key_cache_updates", "value_cache_updates"])"));
    TextDecoderInput unused(ints({1}), ints({1}), nullptr, nullptr, nullptr, nullptr, nullptr);

    TextDecoderOutput full(withAlignment->prediction(unused));
    EXPECT_EQ(full.logits()->shape(), (std::vector<int64_t>{1, 1, 5}));
    EXPECT_EQ(full.logitsShapedArray()[4], static_cast<Float16>(0.25f));
    ASSERT_NE(full.alignment_heads_weights(), nullptr);
    EXPECT_EQ(full.alignment_heads_weightsShapedArray()->shape(), (std::vector<int64_t>{1, 6}));
    EXPECT_EQ(full.featureNames().size(), 4u);

    TextDecoderOutput lean(withoutAlignment->prediction(unused));
    EXPECT_EQ(lean.alignment_heads_weights(), nullptr);
    EXPECT_FALSE(lean.alignment_heads_weightsShapedArray().has_value());
    EXPECT_EQ(lean.key_cache_updatesShapedArray().shape(), (std::vector<int64_t>{1, 4, 1, 1}));
    EXPECT_EQ(lean.value_cache_updates()->count(), 4);
    EXPECT_EQ(lean.featureValue("logits")->multiArrayValue(), lean.logits());
    EXPECT_FALSE(lean.featureValue("Logits").has_value());
}

TEST(ModelOutputs, BuiltFromArraysAndReportingMissingFeatures) {
    auto logits = halves({1, 1, 5});
    TextDecoderOutput decoder(logits, halves({1, 4, 1, 1}), halves({1, 4, 1, 1}), ints({1}));
    EXPECT_EQ(decoder.featureNames(), (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_EQ(decoder.logits(), logits);
    EXPECT_EQ(decoder.alignment_heads_weights(), nullptr);

    auto mel = halves({1, 80, 1, 3000});
    EXPECT_EQ(MelSpectrogramOutput(mel).melspectrogramFeatures(), mel);
    EXPECT_EQ(MelSpectrogramOutput(mel).featureNames(), (std::set<std::string>{"melspectrogram_features"}));
    auto embeds = halves({1, 384, 1, 1500});
    EXPECT_EQ(AudioEncoderOutput(embeds).encoder_output_embedsShapedArray().shape(), embeds->shape());
    TextDecoderCachePrefillOutput prefill(halves({1, 4, 1, 3}), halves({1, 4, 1, 3}));
    EXPECT_EQ(prefill.featureNames(), (std::set<std::string>{"key_cache_prefill", "value_cache_prefill"}));
    EXPECT_EQ(prefill.value_cache_prefill()->shape(), (std::vector<int64_t>{1, 4, 1, 3}));

    // A provider that lacks a required feature, or holds something else under its name, gives an
    // error from the accessor instead of ending the process.
    auto empty = std::make_shared<MLDictionaryFeatureProvider>();
    auto wrongKind = std::make_shared<MLDictionaryFeatureProvider>(
        std::map<std::string, MLFeatureValue>{{"logits", MLFeatureValue(int64_t{3})}});
    auto expectMissing = [](const std::function<void()>& access, const std::string& feature) {
        try {
            access();
            ADD_FAILURE() << feature << ": no error";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.errorCase(), WhisperError::Case::transcriptionFailed);
            EXPECT_NE(e.message().find("\"" + feature + "\""), std::string::npos) << e.message();
        }
    };
    expectMissing([&] { TextDecoderOutput(wrongKind).logits(); }, "logits");
    expectMissing([&] { TextDecoderOutput(empty).value_cache_updatesShapedArray(); }, "value_cache_updates");
    expectMissing([&] { MelSpectrogramOutput(empty).melspectrogram_featuresShapedArray(); }, "melspectrogram_features");
    expectMissing([&] { AudioEncoderOutput(empty).encoder_output_embeds(); }, "encoder_output_embeds");
    expectMissing([&] { TextDecoderCachePrefillOutput(empty).key_cache_prefill(); }, "key_cache_prefill");
    EXPECT_EQ(TextDecoderOutput(empty).alignment_heads_weights(), nullptr);
}

TEST(WhisperMLModelTests, LoadsPrewarmsAndUnloads) {
    ModelFolders folders;
    auto folder = folders.decoder("TextDecoder", R"(["logits", "key_cache_updates", "value_cache_updates"])");
    Stage stage;
    EXPECT_EQ(stage.modelState(), pellux::ModelState::unloaded);

    stage.loadModel(folder, MLComputeUnits::cpuAndNeuralEngine, false);
    EXPECT_EQ(stage.modelState(), pellux::ModelState::loaded);
    EXPECT_EQ(stage.model()->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    auto held = stage.model();

    // A failed load reports the runtime's error and leaves the held model in place.
    EXPECT_THROW(stage.loadModel(folder.parent_path() / "Missing.mlmodelc", MLComputeUnits::all, false), MLModelError);
    EXPECT_EQ(stage.model(), held);

    // Prewarming loads and releases at once, even when a model was held before.
    stage.loadModel(folder, MLComputeUnits::all, true);
    EXPECT_EQ(stage.model(), nullptr);
    EXPECT_EQ(stage.modelState(), pellux::ModelState::unloaded);

    stage.loadModel(folder, MLComputeUnits::cpuOnly, false);
    stage.unloadModel();
    EXPECT_EQ(stage.modelState(), pellux::ModelState::unloaded);
    EXPECT_NE(held, nullptr);  // released only when its last holder lets go
    EXPECT_EQ(held.use_count(), 1);
}

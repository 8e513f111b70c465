// The checkpoint converter on a synthetic checkpoint laid out as the hosting service publishes it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <filesystem>

#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/ModelFile.hpp"
#include "Platform/CoreML/Whisper/Safetensors.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/CoreML/Whisper/WhisperCheckpointConverter.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace {

using namespace coreml;
using namespace coreml::whisper;

struct NamedTensor {
    std::string name, dtype;
    std::vector<int64_t> shape;
    std::string bytes;
};

std::string encode(const std::vector<float>& v, const std::string& dtype) {
    std::string out;
    for (float f : v) {
        if (dtype == "F32") {
            out.append(reinterpret_cast<const char*>(&f), 4);
        } else if (dtype == "F16") {
            Float16 h = toFloat16(f);
            out.append(reinterpret_cast<const char*>(&h), 2);
        } else {
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            uint16_t top = static_cast<uint16_t>(bits >> 16);
            out.append(reinterpret_cast<const char*>(&top), 2);
        }
    }
    return out;
}

// Decodes what encode() stored, as the checkpoint's reader must see it.
float stored(float f, const std::string& dtype) {
    if (dtype == "F32") return f;
    if (dtype == "F16") return toFloat32(toFloat16(f));
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    bits &= 0xFFFF0000u;
    std::memcpy(&f, &bits, 4);
    return f;
}

void writeSafetensors(const std::filesystem::path& path, const std::vector<NamedTensor>& tensors) {
    foundation::JSONWriter header;
    header.beginObject();
    header.key("__metadata__").beginObject().field("format", "pt").endObject();
    uint64_t offset = 0;
    std::string data;
    for (const auto& t : tensors) {
        header.key(t.name).beginObject().field("dtype", t.dtype);
        header.key("shape").beginArray();
        for (auto d : t.shape) header.value(d);
        header.endArray();
        header.key("data_offsets").beginArray().value(offset).value(offset + t.bytes.size()).endArray();
        header.endObject();
        offset += t.bytes.size();
        data += t.bytes;
    }
    header.endObject();
    std::string h = header.str();
    std::string file(8, '\0');
    uint64_t n = h.size();
    for (int i = 0; i < 8; ++i) file[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    foundation::writeFileAtomically(path, file + h + data);
}

class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() / ("whisper-convert-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root_);
        checkpoint_ = root_ / "whisper-tiny-synthetic";
        std::filesystem::create_directories(checkpoint_);
        tensors_.clear();
        dtypeOf_.clear();
        config_ = TestModelOptions::defaultTestConfig();
        config_.melCount = 16;
        config_.width = 32;
        config_.alignmentHeads = {{0, 1}, {1, 3}};
        source_ = randomWeights(config_, 9);
        // The three dtypes a checkpoint may use, spread over the tensors.
        const char* dtypes[] = {"F32", "F16", "BF16"};
        size_t i = 0;
        for (const auto& [name, shape] : whisperTensorShapes(config_)) {
            std::string dtype = dtypes[i++ % 3];
            dtypeOf_[name] = dtype;
            tensors_.push_back({"model." + name, dtype, shape, encode(source_(name, shape), dtype)});
        }
        // Checkpoints also carry the tied output projection; the converter ignores it.
        tensors_.push_back({"proj_out.weight", "F16", {4}, encode({1, 2, 3, 4}, "F16")});
        writeSafetensors(checkpoint_ / "model.safetensors", tensors_);

        foundation::JSONWriter cfg;
        cfg.beginObject()
            .field("d_model", config_.width)
            .field("encoder_layers", config_.encoderLayers)
            .field("encoder_attention_heads", config_.encoderHeads)
            .field("decoder_layers", config_.decoderLayers)
            .field("decoder_attention_heads", config_.decoderHeads)
            .field("num_mel_bins", config_.melCount)
            .field("vocab_size", config_.vocabularySize)
            .field("max_source_positions", 1500)
            .field("max_target_positions", config_.maxTargetPositions)
            .endObject();
        foundation::writeFileAtomically(checkpoint_ / "config.json", cfg.str());

        filters_ = melFilterbank(config_.melCount);  // [n_mels, 201]
        foundation::JSONWriter pre;
        pre.beginObject().key("mel_filters").beginArray();
        for (int k = 0; k < 201; ++k) {
            pre.beginArray();
            for (int m = 0; m < config_.melCount; ++m) pre.value(static_cast<double>(filters_[m * 201 + k]));
            pre.endArray();
        }
        pre.endArray().endObject();
        foundation::writeFileAtomically(checkpoint_ / "preprocessor_config.json", pre.str());

        foundation::JSONWriter gen;
        gen.beginObject().key("alignment_heads").beginArray();
        for (auto [l, h] : config_.alignmentHeads) gen.beginArray().value(l).value(h).endArray();
        gen.endArray().endObject();
        foundation::writeFileAtomically(checkpoint_ / "generation_config.json", gen.str());
        writeTinyTokenizer(checkpoint_, config_.vocabularySize);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

public:
    std::filesystem::path root_, checkpoint_;
    WhisperModelConfig config_;
    TensorSource source_;
    std::map<std::string, std::string> dtypeOf_;
    std::vector<NamedTensor> tensors_;
    std::vector<float> filters_;
};

TEST_F(ConverterTest, WritesLoadableModelsWithTheCheckpointsWeights) {
    auto out = root_ / "converted";
    auto used = convertWhisperCheckpoint(checkpoint_, out);
    EXPECT_EQ(used.alignmentHeads, config_.alignmentHeads);
    EXPECT_EQ(used.cacheLength, 224);

    // Every weight lands in its model as the F16 rounding of what the checkpoint stored.
    auto encoderFile = ModelFile::open(out / "AudioEncoder.mlmodelc");
    auto decoderFile = ModelFile::open(out / "TextDecoder.mlmodelc");
    for (const auto& [name, shape] : whisperTensorShapes(config_)) {
        bool isEncoder = name.rfind("encoder.", 0) == 0;
        const auto& file = isEncoder ? *encoderFile : *decoderFile;
        const auto& t = file.tensor(name.substr(isEncoder ? 8 : 8), MLMultiArrayDataType::float16, shape);
        auto values = t.values<Float16>();
        auto original = source_(name, shape);
        for (size_t i = 0; i < original.size(); ++i) {
            float expected = toFloat32(toFloat16(stored(original[i], dtypeOf_[name])));
            ASSERT_EQ(toFloat32(values[i]), expected) << name << "[" << i << "]";
        }
    }
    // The filterbank is turned band-major.
    auto melFile = ModelFile::open(out / "MelSpectrogram.mlmodelc");
    auto stored = melFile->tensor("mel_filters", MLMultiArrayDataType::float32, {config_.melCount, 201}).values<float>();
    for (size_t i = 0; i < filters_.size(); ++i) ASSERT_FLOAT_EQ(stored[i], filters_[i]);
    EXPECT_EQ(foundation::readFile(out / "tokenizer.json"), foundation::readFile(checkpoint_ / "tokenizer.json"));
    EXPECT_TRUE(std::filesystem::exists(out / "tokenizer_config.json"));

    // And the three models run.
    auto mel = MLModel::load(out / "MelSpectrogram.mlmodelc");
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    for (int i = 0; i < 480000; ++i) audio->data<float>()[i] = static_cast<float>(std::sin(i * 0.05));
    auto melOut = mel->prediction(MLDictionaryFeatureProvider(std::map<std::string, std::shared_ptr<MLMultiArray>>{{"audio", audio}}));
    auto encoder = MLModel::load(out / "AudioEncoder.mlmodelc");
    auto encOut = encoder->prediction(MLDictionaryFeatureProvider(std::map<std::string, std::shared_ptr<MLMultiArray>>{
        {"melspectrogram_features", melOut->featureValue("melspectrogram_features")->multiArrayValue()}}));
    EXPECT_EQ(encOut->featureValue("encoder_output_embeds")->multiArrayValue()->shape(),
              (std::vector<int64_t>{1, config_.width, 1, 1500}));
    auto decoder = MLModel::load(out / "TextDecoder.mlmodelc");
    EXPECT_TRUE(decoder->modelDescription().outputDescriptionsByName.count("alignment_heads_weights"));
}

TEST_F(ConverterTest, ReportsWhatIsWrongWithACheckpoint) {
    struct Case {
        const char* what;
        std::function<void(ConverterTest&)> spoil;
        const char* mention;
    };
    std::vector<Case> cases = {
        {"missing tensor",
         [](ConverterTest& t) {
             auto tensors = t.tensors_;
             tensors.erase(tensors.begin() + 3);
             writeSafetensors(t.checkpoint_ / "model.safetensors", tensors);
         },
         "has no tensor"},
        {"data outside the file",
         [](ConverterTest& t) {
             auto text = foundation::readFile(t.checkpoint_ / "model.safetensors");
             foundation::writeFileAtomically(t.checkpoint_ / "model.safetensors", text.substr(0, text.size() - 10));
         },
         "outside the file"},
        {"header length past the end",
         [](ConverterTest& t) {
             foundation::writeFileAtomically(t.checkpoint_ / "model.safetensors", std::string("\xff\xff\xff\x00\x00\x00\x00\x00{}", 10));
         },
         "past the end"},
        {"wrong max_source_positions",
         [](ConverterTest& t) {
             auto text = foundation::readFile(t.checkpoint_ / "config.json");
             text.replace(text.find("1500"), 4, "1000");
             foundation::writeFileAtomically(t.checkpoint_ / "config.json", text);
         },
         "max_source_positions"},
        {"alignment head outside the decoder",
         [](ConverterTest& t) {
             foundation::writeFileAtomically(t.checkpoint_ / "generation_config.json", "{\"alignment_heads\":[[5,0]]}");
         },
         "alignment head"},
        {"no tokenizer",
         [](ConverterTest& t) { std::filesystem::remove(t.checkpoint_ / "tokenizer.json"); }, "tokenizer.json"},
        // Hostile inputs: each used to hang, wrap around or be stored silently.
        {"model.safetensors is a FIFO",
         [](ConverterTest& t) {
             std::filesystem::remove(t.checkpoint_ / "model.safetensors");
             ::mkfifo((t.checkpoint_ / "model.safetensors").c_str(), 0600);
         },
         "not a regular file"},
        {"config.json is a FIFO",
         [](ConverterTest& t) {
             std::filesystem::remove(t.checkpoint_ / "config.json");
             ::mkfifo((t.checkpoint_ / "config.json").c_str(), 0600);
         },
         "config.json"},
        {"mel filter beyond the float range",
         [](ConverterTest& t) {
             auto text = foundation::readFile(t.checkpoint_ / "preprocessor_config.json");
             auto at = text.find("[[") + 2;
             text.replace(at, text.find(',', at) - at, "1e300");
             foundation::writeFileAtomically(t.checkpoint_ / "preprocessor_config.json", text);
         },
         "beyond the float range"},
        {"alignment layer past 32 bits",
         [](ConverterTest& t) {
             foundation::writeFileAtomically(t.checkpoint_ / "generation_config.json", "{\"alignment_heads\":[[4294967296,1]]}");
         },
         "alignment_heads"},
        {"generation_config.json not an object",
         [](ConverterTest& t) { foundation::writeFileAtomically(t.checkpoint_ / "generation_config.json", " 32"); },
         "generation_config.json: the top level must be an object"},
        {"element count past 64 bits",
         [](ConverterTest& t) {
             auto tensors = t.tensors_;
             tensors.push_back({"model.huge", "F32", {int64_t(1) << 32, int64_t(1) << 32}, ""});
             writeSafetensors(t.checkpoint_ / "model.safetensors", tensors);
         },
         "too large"},
    };
    const auto pristine = root_ / "pristine";
    std::filesystem::copy(checkpoint_, pristine);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(checkpoint_);
        std::filesystem::copy(pristine, checkpoint_);
        c.spoil(*this);
        auto out = root_ / "converted";
        try {
            convertWhisperCheckpoint(checkpoint_, out);
            ADD_FAILURE() << "converted";
        } catch (const WhisperModelError& e) {
            EXPECT_NE(std::string(e.what()).find(c.mention), std::string::npos) << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(out / "TextDecoder.mlmodelc"));
    }
}

TEST_F(ConverterTest, ReadsZeroElementTensors) {
    writeSafetensors(checkpoint_ / "model.safetensors", {{"empty", "F32", {0, 4}, ""}, {"half", "F16", {0}, ""}});
    SafetensorsFile file(checkpoint_ / "model.safetensors");
    EXPECT_TRUE(file.floats("empty", {0, 4}).empty());
    EXPECT_TRUE(file.floats("half", {0}).empty());
}

}  // namespace

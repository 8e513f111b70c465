#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "TemporaryFolder.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/Foundation/Files.hpp"

using namespace coreml;
using coremltests::TemporaryFolder;
using ::testing::HasSubstr;

namespace {

// An architecture registered by this test binary: y = x * scale, with scale a weight tensor.
class Scale final : public Architecture {
public:
    explicit Scale(const ArchitectureContext& c) : scale_(c.file.tensor("scale", MLMultiArrayDataType::float32, {1})) {}
    FeatureArrays predict(const ConstFeatureArrays& inputs) const override {
        const auto& x = *inputs.at("x");
        auto y = MLMultiArray::make(x.shape(), MLMultiArrayDataType::float32);
        float s = scale_.values<float>()[0];
        for (int64_t i = 0; i < x.count(); ++i) y->data<float>()[i] = x.data<float>()[i] * s;
        return {{"y", y}};
    }

private:
    const WeightTensor& scale_;
};

ArchitectureRegistrar scaleRegistrar("test-scale", [](const ArchitectureContext& c) { return std::make_unique<Scale>(c); });

std::shared_ptr<MLMultiArray> filled(std::vector<int64_t> shape, MLMultiArrayDataType type, double start) {
    auto a = MLMultiArray::make(std::move(shape), type);
    for (int64_t i = 0; i < a->count(); ++i) a->setValue(i, start + static_cast<double>(i));
    return a;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const MLModelError& e) {
        return std::string(MLModelError::caseName(e.errorCase())) + ": " + e.message();
    }
    return "no error";
}

}  // namespace

TEST(ModelFolder, WritesAndLoadsDescriptionTensorsAndHyperParameters) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Nested" / "Scale.mlmodelc";
    std::vector<float> scale{2.5f};
    std::vector<int32_t> table{1, 2, 3, 4, 5, 6};
    ModelFolderWriter("test-scale")
        .hyperParameters(R"({"n_layers": 4, "eps": 1e-5, "name": "tiny", "heads": [1, 2]})")
        .addInput("x", MLMultiArrayDataType::float32, {1, 3})
        .addInputFeature("flag", MLFeatureType::int64)
        .addOutput("y", MLMultiArrayDataType::float32, {1, 3})
        .addOutputFeature("free", MLFeatureType::multiArray, true)
        .addTensor("scale", std::span<const float>(scale), {1})
        .addTensor("table", std::span<const int32_t>(table), {2, 3})
        .write(folder);

    auto file = ModelFile::open(folder);
    EXPECT_EQ(file->architecture(), "test-scale");
    EXPECT_EQ(file->intParameter("n_layers"), 4);
    EXPECT_DOUBLE_EQ(file->doubleParameter("eps"), 1e-5);
    EXPECT_EQ(file->stringParameter("name"), "tiny");
    EXPECT_EQ(file->intListParameter("heads"), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(file->intParameterOr("absent", 9), 9);
    EXPECT_THAT(errorOf([&] { file->intParameter("name"); }), HasSubstr("hyper-parameter \"name\""));
    const auto& t = file->tensor("table", MLMultiArrayDataType::int32, {2, 3});
    EXPECT_EQ(t.offset % 64, 0u);
    EXPECT_EQ(t.values<int32_t>()[5], 6);
    EXPECT_THROW(t.values<float>(), MLModelError);
    EXPECT_THAT(errorOf([&] { file->tensor("table", MLMultiArrayDataType::int32, {3, 2}); }),
                HasSubstr("has shape [2, 3], expected [3, 2]"));

    auto model = MLModel::load(folder, MLModelConfiguration{MLComputeUnits::cpuAndNeuralEngine});
    EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    const auto& d = model->modelDescription();
    EXPECT_EQ(d.inputNames, (std::vector<std::string>{"x", "flag"}));
    EXPECT_EQ(d.inputDescriptionsByName.at("x").multiArrayConstraint->shape, (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(d.inputDescriptionsByName.at("flag").type, MLFeatureType::int64);
    EXPECT_FALSE(d.outputDescriptionsByName.at("free").multiArrayConstraint.has_value());
    EXPECT_TRUE(d.outputDescriptionsByName.at("free").isOptional);

    MLDictionaryFeatureProvider input(std::map<std::string, MLFeatureValue>{
        {"x", MLFeatureValue(filled({1, 3}, MLMultiArrayDataType::float32, 1))}, {"flag", MLFeatureValue(int64_t{1})}});
    auto out = model->prediction(input);
    auto y = out->featureValue("y")->multiArrayValue();
    EXPECT_EQ(y->value(2), 7.5);
    EXPECT_FALSE(out->featureValue("free").has_value());
}

TEST(ModelFolder, LoadingFailuresNameTheFileAndTheProblem) {
    TemporaryFolder tmp;
    auto base = [&](const std::string& name) {
        auto folder = tmp.path() / (name + ".mlmodelc");
        std::vector<float> v{1, 2, 3, 4};
        ModelFolderWriter("constant")
            .addOutput("out", MLMultiArrayDataType::float32, {2, 2})
            .addTensor("out", std::span<const float>(v), {2, 2})
            .write(folder);
        return folder;
    };
    auto rewriteJSON = [](const std::filesystem::path& folder, const std::string& from, const std::string& to) {
        auto text = foundation::readFile(folder / "model.json");
        auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        foundation::writeFileAtomically(folder / "model.json", text);
    };

    struct Case {
        std::string name;
        std::function<void(const std::filesystem::path&)> damage;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"NoFolder", [](const auto& f) { std::filesystem::remove_all(f); }, "io: "},
        {"NoJSON", [](const auto& f) { std::filesystem::remove(f / "model.json"); }, "model.json: file not found"},
        {"NoWeights", [](const auto& f) { std::filesystem::remove(f / "weights.bin"); }, "weights.bin: cannot open"},
        {"BadJSON", [](const auto& f) { foundation::writeFileAtomically(f / "model.json", "{\"format_version\": 1,"); },
         "model.json: invalid JSON"},
        {"Version", [&](const auto& f) { rewriteJSON(f, "\"format_version\" : 1", "\"format_version\" : 7"); },
         "unsupported format version 7"},
        {"Architecture", [&](const auto& f) { rewriteJSON(f, "\"constant\"", "\"no-such-thing\""); },
         "model.json: unknown architecture \"no-such-thing\""},
        {"OutOfBounds", [&](const auto& f) { rewriteJSON(f, "\"offset\" : 0", "\"offset\" : 64"); },
         "weights.bin: tensor \"out\" (16 bytes at offset 64) lies outside the file of 16 bytes"},
        {"Misaligned", [&](const auto& f) { rewriteJSON(f, "\"offset\" : 0", "\"offset\" : 4"); },
         "offset 4 is not a multiple of 64"},
        {"ShapeMismatch",
         [](const auto& f) {
             std::vector<float> v{1, 2, 3, 4};
             ModelFolderWriter("constant")
                 .addOutput("out", MLMultiArrayDataType::float32, {2, 2})
                 .addTensor("out", std::span<const float>(v), {4})
                 .write(f);
         },
         "weights.bin: tensor \"out\" has shape [4], expected [2, 2]"},
        {"DataType", [&](const auto& f) { rewriteJSON(f, "\"data_type\" : \"float32\"", "\"data_type\" : \"complex\""); },
         "unknown data type \"complex\""},
        // Types checked before anything is read: a FIFO would otherwise block the load for ever.
        {"JSONFIFO", [](const auto& f) { std::filesystem::remove(f / "model.json"); ::mkfifo((f / "model.json").c_str(), 0600); },
         "model.json: not a regular file"},
        {"WeightsFIFO", [](const auto& f) { std::filesystem::remove(f / "weights.bin"); ::mkfifo((f / "weights.bin").c_str(), 0600); },
         "weights.bin: not a regular file"},
        // Integers past the 64-bit range are the loader's model errors, naming model.json.
        {"HugeOffset", [&](const auto& f) { rewriteJSON(f, "\"offset\" : 0", "\"offset\" : 18446744073709551615"); },
         "model.json: tensor \"out\": \"offset\" must be a non-negative integer"},
        {"HugeVersion", [&](const auto& f) { rewriteJSON(f, "\"format_version\" : 1", "\"format_version\" : 9223372036854775808"); },
         "model.json: \"format_version\" must be an integer"},
    };
    for (const auto& c : cases) {
        auto folder = base(c.name);
        c.damage(folder);
        auto message = errorOf([&] { MLModel::load(folder); });
        EXPECT_THAT(message, HasSubstr(c.expected)) << c.name;
        if (c.name != "NoFolder") {
            EXPECT_THAT(message, HasSubstr(folder.string())) << c.name;
        }
    }
}

TEST(ModelFolder, PredictionChecksInputsAndConvertsFloatTypes) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Identity.mlmodelc";
    ModelFolderWriter("identity")
        .addInput("half", MLMultiArrayDataType::float16, {1, 3})
        .addInput("ints", MLMultiArrayDataType::int32, {2})
        .addOutput("halfOut", MLMultiArrayDataType::float32, {1, 3})
        .addOutput("intsOut", MLMultiArrayDataType::int32, {2})
        .write(folder);
    auto model = MLModel::load(folder);
    auto single = MLMultiArray::make({1, 3}, MLMultiArrayDataType::float32);
    single->setValue(0, 2049);  // becomes 2048 in half precision
    single->setValue(1, 0.5);
    auto ints = filled({2}, MLMultiArrayDataType::int32, 7);

    auto out = model->prediction(MLDictionaryFeatureProvider({{"half", single}, {"ints", ints}}));
    auto halfOut = out->featureValue("halfOut")->multiArrayValue();
    EXPECT_EQ(halfOut->dataType(), MLMultiArrayDataType::float32);
    EXPECT_EQ(halfOut->value(0), 2048.0);
    EXPECT_EQ(halfOut->value(1), 0.5);
    EXPECT_EQ(out->featureValue("intsOut")->multiArrayValue()->value(1), 8.0);
    EXPECT_NE(out->featureValue("intsOut")->multiArrayValue(), ints);

    auto predictWith = [&](std::map<std::string, std::shared_ptr<MLMultiArray>> arrays) {
        return errorOf([&] { model->prediction(MLDictionaryFeatureProvider(arrays)); });
    };
    EXPECT_EQ(predictWith({{"half", single}}), "featureType: Input feature \"ints\" is missing");
    EXPECT_EQ(predictWith({{"half", single}, {"Ints", ints}}), "featureType: Input feature \"ints\" is missing");
    EXPECT_EQ(predictWith({{"half", MLMultiArray::make({3}, MLMultiArrayDataType::float16)}, {"ints", ints}}),
              "featureType: Input feature \"half\" has shape [3], expected [1, 3]");
    EXPECT_EQ(predictWith({{"half", single}, {"ints", MLMultiArray::make({2}, MLMultiArrayDataType::float32)}}),
              "featureType: Input feature \"ints\" holds float32, expected int32");
    MLDictionaryFeatureProvider wrongKind(std::map<std::string, MLFeatureValue>{
        {"half", MLFeatureValue(single)}, {"ints", MLFeatureValue(int64_t{1})}});
    EXPECT_EQ(errorOf([&] { model->prediction(wrongKind); }),
              "featureType: Input feature \"ints\" is of type int64, expected multiArray");
}

TEST(ModelFolder, PredictionChecksOutputsOfTheArchitecture) {
    TemporaryFolder tmp;
    auto make = [&](const std::string& name, const std::string& hyper) {
        auto folder = tmp.path() / (name + ".mlmodelc");
        ModelFolderWriter("scripted")
            .hyperParameters(hyper)
            .addOutput("logits", MLMultiArrayDataType::float16, {1, 1, 4})
            .addOutput("weights", MLMultiArrayDataType::float16, {2}, true)
            .write(folder);
        return MLModel::load(folder);
    };
    MLDictionaryFeatureProvider none;

    auto all = make("All", R"({"value": 1.5})")->prediction(none);
    EXPECT_EQ(all->featureNames(), (std::set<std::string>{"logits", "weights"}));
    EXPECT_EQ(all->featureValue("logits")->multiArrayValue()->value(3), 1.5);

    auto noOptional = make("NoOptional", R"({"produce": ["logits"]})")->prediction(none);
    EXPECT_EQ(noOptional->featureNames(), (std::set<std::string>{"logits"}));

    EXPECT_EQ(errorOf([&] { make("NoRequired", R"({"produce": ["weights"]})")->prediction(none); }),
              "featureType: Architecture \"scripted\" produced no output \"logits\"");
    EXPECT_THAT(errorOf([&] { make("Extra", R"({"produce": ["logits", "other"]})")->prediction(none); }),
                HasSubstr("undeclared output \"other\""));
    EXPECT_EQ(errorOf([&] { make("Fails", R"({"error": "boom"})")->prediction(none); }),
              "customModel: Prediction with architecture \"scripted\" failed: boom");
}

TEST(ModelFolder, ConcurrentPredictionsOnOneModelAgree) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Scale.mlmodelc";
    std::vector<float> scale{3.0f};
    ModelFolderWriter("test-scale")
        .addInput("x", MLMultiArrayDataType::float32, {64})
        .addOutput("y", MLMultiArrayDataType::float16, {64})
        .addTensor("scale", std::span<const float>(scale), {1})
        .write(folder);
    auto model = MLModel::load(folder);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                auto x = filled({64}, MLMultiArrayDataType::float32, t * 100 + round);
                auto y = model->prediction(MLDictionaryFeatureProvider({{"x", x}}))->featureValue("y")->multiArrayValue();
                if (y->dataType() != MLMultiArrayDataType::float16 ||
                    y->value(10) != static_cast<double>(static_cast<Float16>((t * 100 + round + 10) * 3.0f)))
                    ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ModelFolder, StatefulPredictionTakesOnlyTheModelsOwnStateAndMatchesTheStatelessOne) {
    TemporaryFolder tmp;
    std::vector<float> scale{2.0f};
    auto write = [&](const std::string& name) {
        ModelFolderWriter("test-scale")
            .addInput("x", MLMultiArrayDataType::float32, {4})
            .addOutput("y", MLMultiArrayDataType::float32, {4})
            .addTensor("scale", std::span<const float>(scale), {1})
            .write(tmp.path() / name);
        return MLModel::load(tmp.path() / name);
    };
    auto model = write("Scale.mlmodelc");
    auto other = write("Other.mlmodelc");
    const MLDictionaryFeatureProvider input({{"x", filled({4}, MLMultiArrayDataType::float32, 1)}});
    auto state = model->makeState();

    // The same result as without a state, and again with the same state: nothing is carried over.
    for (int round = 0; round < 2; ++round) {
        auto y = model->prediction(input, *state)->featureValue("y")->multiArrayValue();
        for (int64_t i = 0; i < 4; ++i) EXPECT_EQ(y->value(i), 2.0 * static_cast<double>(i + 1)) << round;
    }
    EXPECT_EQ(errorOf([&] { other->prediction(input, *state); }),
              "generic: The state given to \"Other.mlmodelc\" was made by another model");
    // Input checks apply as to any prediction.
    EXPECT_EQ(errorOf([&] { model->prediction(MLDictionaryFeatureProvider(), *state); }),
              "featureType: Input feature \"x\" is missing");
}

TEST(ModelFolder, RegistryFindsArchitecturesOfTheLibraryAndOfThisBinary) {
    auto names = ArchitectureRegistry::shared().names();
    for (const char* name : {"identity", "constant", "scripted", "test-scale"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_FALSE(ArchitectureRegistry::shared().find("missing"));
}

TEST(ModelFolder, RewritingAFolderReplacesItWhole) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Constant.mlmodelc";
    auto write = [&](float value, int count) {
        std::vector<float> v(static_cast<size_t>(count), value);
        ModelFolderWriter("constant")
            .addOutput("out", MLMultiArrayDataType::float32, {count})
            .addTensor("out", std::span<const float>(v), {count})
            .write(folder);
    };
    write(1.0f, 4);
    std::ofstream(folder / "stale.txt") << "left from before";
    write(2.0f, 2);
    EXPECT_FALSE(std::filesystem::exists(folder / "stale.txt"));
    std::vector<std::filesystem::path> entries(std::filesystem::directory_iterator(tmp.path()), {});
    EXPECT_EQ(entries.size(), 1u);  // no temporary folder left behind
    auto out = MLModel::load(folder)->prediction(MLDictionaryFeatureProvider())->featureValue("out")->multiArrayValue();
    EXPECT_EQ(out->count(), 2);
    EXPECT_EQ(out->value(1), 2.0);
}

TEST(ModelFolder, HyperParametersBeyondTheIntegerRangeAreModelErrors) {
    TemporaryFolder tmp;
    std::vector<float> v{1};
    auto folder = tmp.path() / "Big.mlmodelc";
    ModelFolderWriter("constant")
        .hyperParameters(R"({"big": 9223372036854775808, "list": [1, 18446744073709551615]})")
        .addOutput("out", MLMultiArrayDataType::float32, {1})
        .addTensor("out", std::span<const float>(v), {1})
        .write(folder);
    auto file = ModelFile::open(folder);
    EXPECT_THAT(errorOf([&] { file->intParameter("big"); }), HasSubstr("model.json: hyper-parameter \"big\""));
    EXPECT_THAT(errorOf([&] { file->intListParameter("list"); }), HasSubstr("hyper-parameter \"list\""));

    auto bare = tmp.path() / "Bare.mlmodelc";
    ModelFolderWriter("constant").addOutput("out", MLMultiArrayDataType::float32, {1})
        .addTensor("out", std::span<const float>(v), {1}).write(bare);
    EXPECT_EQ(ModelFile::open(bare)->intParameterOr("absent", 3), 3);
}

// Weights that another user may write are read into private memory: truncating the file in place
// after the load must not take the process down with SIGBUS.
TEST(ModelFolder, WeightsOthersMayWriteSurviveTruncationInPlace) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Shared.mlmodelc";
    std::vector<float> v(4096);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
    ModelFolderWriter("constant")
        .addOutput("out", MLMultiArrayDataType::float32, {4096})
        .addTensor("out", std::span<const float>(v), {4096})
        .write(folder);
    std::filesystem::permissions(folder / "weights.bin", std::filesystem::perms::all & ~std::filesystem::perms::others_exec &
                                                             ~std::filesystem::perms::group_exec & ~std::filesystem::perms::owner_exec);
    auto file = ModelFile::open(folder);
    ASSERT_EQ(::truncate((folder / "weights.bin").c_str(), 0), 0);
    auto values = file->tensor("out").values<float>();
    float sum = 0;
    for (float x : values) sum += x;
    EXPECT_EQ(sum, 4095.0f * 4096.0f / 2.0f);
}

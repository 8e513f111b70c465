#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "PelluxCore/MLModelExtensions.hpp"
#include "PelluxCore/MLModelLoading.hpp"
#include "PelluxCore/MLMultiArrayExtensions.hpp"
#include "PelluxCore/MLTensorExtensions.hpp"
#include "PelluxCore/ModelUtilities.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "TemporaryFolder.hpp"

using namespace coreml;
using pellux::MLMultiArrayCreationError;
namespace fs = std::filesystem;

namespace {

using pelluxtests::TemporaryFolder;

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

std::vector<double> valuesOf(const MLMultiArray& a) {
    std::vector<double> v;
    for (int64_t i = 0; i < a.count(); ++i) v.push_back(a.value(i));
    return v;
}

}  // namespace

TEST(MLMultiArrayHelpers, HalfPrecisionArraysLieOverPixelBuffers) {
    const Float16 half = static_cast<Float16>(0.5f);
    auto flat = pellux::makeMultiArray({1, 1, 8}, MLMultiArrayDataType::float16, half);
    ASSERT_NE(flat->pixelBuffer(), nullptr);
    EXPECT_EQ(flat->pixelBuffer()->width(), 8u);
    EXPECT_EQ(flat->pixelBuffer()->height(), 1u);
    EXPECT_EQ(flat->pixelBuffer()->pixelFormatType(), 1278226536u);
    EXPECT_TRUE(flat->pixelBuffer()->isIOSurfaceBacked());
    EXPECT_EQ(valuesOf(*flat), std::vector<double>(8, 0.5));

    auto deep = pellux::makeMultiArray({2, 3, 8}, MLMultiArrayDataType::float16, half);
    EXPECT_EQ(deep->pixelBuffer()->width(), 8u);
    EXPECT_EQ(deep->pixelBuffer()->height(), 6u);
    EXPECT_EQ(pellux::pixelBuffer({5})->height(), 1u);

    // A value of another type than Float16 is not converted: the array stays as created.
    auto unfilled = pellux::makeMultiArray({4}, MLMultiArrayDataType::float16, 1.0);
    EXPECT_EQ(valuesOf(*unfilled), std::vector<double>(4, 0.0));

    for (const std::vector<int64_t>& shape : {std::vector<int64_t>{}, std::vector<int64_t>{0, 8}}) {
        EXPECT_EQ(pellux::pixelBuffer(shape), nullptr);
        try {
            pellux::makeMultiArray(shape, MLMultiArrayDataType::float16, half);
            ADD_FAILURE() << "no error";
        } catch (const MLMultiArrayCreationError& e) {
            EXPECT_EQ(e, MLMultiArrayCreationError::pixelBufferFailed());
            EXPECT_EQ(e.localizedDescription(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
            EXPECT_EQ(e.describe(), "pixelBufferFailed");
        }
    }
}

TEST(MLMultiArrayHelpers, OtherTypesFillOnlyWithAValueOfTheirOwnType) {
    struct Case {
        const char* what;
        std::shared_ptr<MLMultiArray> array;
        double expected;
    };
    const Case cases[] = {
        {"float with float", pellux::makeMultiArray({3}, MLMultiArrayDataType::float32, 2.5f), 2.5},
        {"float with double", pellux::makeMultiArray({3}, MLMultiArrayDataType::float32, 2.5), 0},
        {"double with double", pellux::makeMultiArray({3}, MLMultiArrayDataType::float64, 2.5), 2.5},
        {"int32 with int32", pellux::makeMultiArray({3}, MLMultiArrayDataType::int32, int32_t{-4}), -4},
        {"int32 with int64", pellux::makeMultiArray({3}, MLMultiArrayDataType::int32, int64_t{-4}), 0},
        {"int8 with int8", pellux::makeMultiArray({3}, MLMultiArrayDataType::int8, int8_t{7}), 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.array->pixelBuffer(), nullptr) << c.what;
        EXPECT_EQ(valuesOf(*c.array), std::vector<double>(3, c.expected)) << c.what;
    }
    EXPECT_THROW(pellux::makeMultiArray({-1}, MLMultiArrayDataType::float32, 1.0f), MLModelError);
}

TEST(MLMultiArrayHelpers, FromIntegersAndLinearOffsets) {
    auto three = pellux::multiArrayFrom({5, 7, 9}, 3);
    EXPECT_EQ(three->shape(), (std::vector<int64_t>{1, 1, 3}));
    EXPECT_EQ(three->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(valuesOf(*three), (std::vector<double>{5, 7, 9}));
    EXPECT_EQ(pellux::multiArrayFrom({5, 7, 9}, 1)->shape(), (std::vector<int64_t>{3}));
    EXPECT_THROW(pellux::multiArrayFrom({1}, 0), MLMultiArrayError);
    EXPECT_THROW(pellux::multiArrayFrom({int64_t{1} << 31}, 1), MLMultiArrayError);

    auto a = MLMultiArray::make({2, 3, 4}, MLMultiArrayDataType::float32);
    EXPECT_EQ(pellux::linearOffset(*a, {0, 0, 3}, std::vector<int64_t>{100, 10, 1}), 3);
    EXPECT_EQ(pellux::linearOffset(*a, {1, 2}, std::vector<int64_t>{100, 10, 1}), 120);
    EXPECT_EQ(pellux::linearOffset(*a, {1, 2, 3}), 23);
}

TEST(MLMultiArrayHelpers, FillsCheckShapeBoundsAndTypeBeforeWriting) {
    const Float16 masked = static_cast<Float16>(-INFINITY);
    auto logits = MLMultiArray::make({1, 1, 6}, MLMultiArrayDataType::float16);
    pellux::fillLastDimension(*logits, 2, 5, masked);
    pellux::fillLastDimension(*logits, 6, 6, static_cast<Float16>(1.0f));  // empty range
    EXPECT_EQ(valuesOf(*logits), (std::vector<double>{0, 0, -INFINITY, -INFINITY, -INFINITY, 0}));
    EXPECT_THROW(pellux::fillLastDimension(*logits, 4, 7, masked), MLMultiArrayError);
    EXPECT_THROW(pellux::fillLastDimension(*logits, -1, 2, masked), MLMultiArrayError);
    auto flat = MLMultiArray::make({6}, MLMultiArrayDataType::float16);
    EXPECT_THROW(pellux::fillLastDimension(*flat, 0, 1, masked), MLMultiArrayError);

    auto grid = MLMultiArray::make({2, 3}, MLMultiArrayDataType::float16);
    pellux::fill(*grid, {{0, 1}, {1, 2}, {1}}, static_cast<Float16>(2.0f));
    EXPECT_EQ(valuesOf(*grid), (std::vector<double>{0, 2, 0, 2, 0, 2}));  // {1} is row 1, column 0
    // A wrong element type or any tuple outside the shape writes nothing at all.
    auto before = valuesOf(*grid);
    EXPECT_THROW(pellux::fill(*grid, {{0, 0}}, 3.0f), MLMultiArrayError);
    EXPECT_THROW(pellux::fill(*grid, {{0, 0}, {2, 0}}, static_cast<Float16>(3.0f)), MLMultiArrayError);
    EXPECT_THROW(pellux::fill(*grid, {{0, 0}, {0, 0, 0}}, static_cast<Float16>(3.0f)), MLMultiArrayError);
    EXPECT_THROW(pellux::fill(*grid, {{0, -1}}, static_cast<Float16>(3.0f)), MLMultiArrayError);
    EXPECT_EQ(valuesOf(*grid), before);
}

TEST(MLTensorHelpers, ConvertSupportedScalarTypesAndRefuseOthers) {
    MLTensor ints(std::vector<int32_t>{3, -1}, {1, 2});
    EXPECT_EQ(pellux::toIntArray(ints), (std::vector<int64_t>{3, -1}));
    EXPECT_EQ(pellux::asFloatArray(ints), (std::vector<float>{3, -1}));
    MLTensor halves(std::vector<Float16>{static_cast<Float16>(0.5f), static_cast<Float16>(-2.0f)}, {2});
    EXPECT_EQ(pellux::toFloatArray(halves), (std::vector<float>{0.5f, -2.0f}));
    MLTensor floats(std::vector<float>{0.25f}, {1, 1, 1});
    EXPECT_EQ(pellux::asFloatArray(floats), (std::vector<float>{0.25f}));

    auto array = pellux::asMLMultiArray(halves);
    EXPECT_EQ(array->dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(array->value(1), -2.0);
    EXPECT_EQ(pellux::toMLMultiArray(ints)->shape(), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(pellux::toMLMultiArray(floats)->dataType(), MLMultiArrayDataType::float32);

    auto flags = ints.greaterThan(0.0);
    for (auto convert : {+[](const MLTensor& t) { pellux::toFloatArray(t); },
                         +[](const MLTensor& t) { pellux::asMLMultiArray(t); },
                         +[](const MLTensor& t) { pellux::asIntArray(t); }}) {
        try {
            convert(flags);
            ADD_FAILURE() << "no error";
        } catch (const MLTensorError& e) {
            EXPECT_STREQ(e.what(), "Unsupported scalar type: Bool");
        }
    }
    EXPECT_THROW(pellux::toIntArray(floats), MLTensorError);
}

TEST(ModelUtilitiesTests, DetectsCompiledModelsBeforePackages) {
    TemporaryFolder tmp;
    const auto& root = tmp.path();
    const std::string inner = "Data/com.apple.CoreML/model.mlmodel";
    fs::create_directories(root / "both" / "Enc.mlmodelc");
    touch(root / "both" / "Enc.mlpackage" / inner);
    touch(root / "package" / "Enc.mlpackage" / inner);
    fs::create_directories(root / "none");
    fs::create_directories(root / "deep" / "a" / "b" / "Enc.mlmodelc");

    using pellux::ModelUtilities::detectModelURL;
    EXPECT_EQ(detectModelURL(root / "both", "Enc"), root / "both" / "Enc.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "package", "Enc"), root / "package" / "Enc.mlpackage" / inner);
    EXPECT_EQ(detectModelURL(root / "none", "Enc"), root / "none" / "Enc.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "deep", "Enc", true), root / "deep" / "a" / "b" / "Enc.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "deep", "Enc", false), root / "deep" / "Enc.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "package", "Enc", true), root / "package" / "Enc.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "missing", "Enc", true), root / "missing" / "Enc.mlmodelc");

    // The folder-only form prefers any compiled model over any package, whatever the listing order.
    fs::create_directories(root / "mixed");
    for (const char* name : {"A.mlpackage", "M.mlpackage", "Z.mlpackage"}) touch(root / "mixed" / name / inner);
    touch(root / "mixed" / "notes.txt");
    fs::create_directories(root / "mixed" / "K.mlmodelc");
    EXPECT_EQ(detectModelURL(root / "mixed"), root / "mixed" / "K.mlmodelc");
    auto onlyPackage = detectModelURL(root / "package");
    ASSERT_TRUE(onlyPackage.has_value());
    EXPECT_EQ(*onlyPackage, root / "package" / "Enc.mlpackage" / inner);
    EXPECT_FALSE(detectModelURL(root / "none").has_value());
    EXPECT_FALSE(detectModelURL(root / "missing").has_value());
}

TEST(ModelUtilitiesTests, DimensionsComeFromDeclaredShapes) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "MelSpectrogram.mlmodelc";
    ModelFolderWriter("scripted")
        .addInput("audio", MLMultiArrayDataType::float16, {480000})
        .addInputFeature("unshaped", MLFeatureType::multiArray)
        .addInputFeature("count", MLFeatureType::int64)
        .addOutput("melspectrogram_features", MLMultiArrayDataType::float16, {1, 80, 1, 3000})
        .write(folder);
    auto model = MLModel::load(folder);
    using namespace pellux::ModelUtilities;
    EXPECT_EQ(getModelInputDimension(model, "audio", 0), 480000);
    EXPECT_EQ(getModelOutputDimension(model, "melspectrogram_features", 1), 80);
    EXPECT_EQ(getModelOutputDimention(model, "melspectrogram_features", 3), 3000);
    EXPECT_EQ(getModelInputDimention(model, "audio", 0), 480000);
    struct Absent {
        const char* what;
        std::optional<int64_t> result;
    };
    const Absent absent[] = {
        {"no model", getModelInputDimension(nullptr, "audio", 0)},
        {"unknown name", getModelInputDimension(model, "samples", 0)},
        {"other letter case", getModelInputDimension(model, "Audio", 0)},
        {"output asked as input", getModelInputDimension(model, "melspectrogram_features", 0)},
        {"not a multi-array", getModelInputDimension(model, "count", 0)},
        {"no shape declared", getModelInputDimension(model, "unshaped", 0)},
        {"beyond the rank", getModelOutputDimension(model, "melspectrogram_features", 4)},
        {"negative position", getModelInputDimension(model, "audio", -1)},
    };
    for (const auto& a : absent) EXPECT_FALSE(a.result.has_value()) << a.what;
}

TEST(MLModelHelpers, PredictionNamesAndLoadingProtocol) {
    TemporaryFolder tmp;
    auto folder = tmp.path() / "Echo.mlmodelc";
    ModelFolderWriter("identity")
        .addInput("x", MLMultiArrayDataType::int32, {2})
        .addOutput("y", MLMultiArrayDataType::int32, {2})
        .write(folder);
    auto model = MLModel::load(folder);
    auto x = pellux::multiArrayFrom({4, 5}, 1);
    auto out = pellux::asyncPrediction(*model, MLDictionaryFeatureProvider({{"x", x}}), MLPredictionOptions());
    EXPECT_EQ(valuesOf(*out->featureValue("y")->multiArrayValue()), (std::vector<double>{4, 5}));
    EXPECT_THROW(pellux::asyncPrediction(*model, MLDictionaryFeatureProvider()), MLModelError);

    struct Names {
        MLComputeUnits units;
        const char* description;
        const char* displayName;
    };
    for (const auto& n : {Names{MLComputeUnits::cpuOnly, "cpuOnly", "CPU"}, Names{MLComputeUnits::cpuAndGPU, "cpuAndGPU", "GPU"},
                          Names{MLComputeUnits::all, "all", "All"},
                          Names{MLComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine", "Neural Engine"},
                          Names{static_cast<MLComputeUnits>(42), "unknown", "Unknown"}}) {
        EXPECT_EQ(pellux::description(n.units), n.description);
        EXPECT_EQ(pellux::displayName(n.units), n.displayName);
    }

    struct Recorder : pellux::MLModelLoading {
        using MLModelLoading::loadModel;
        std::optional<bool> prewarm;
        void loadModel(const fs::path&, MLComputeUnits, bool prewarmMode) override { prewarm = prewarmMode; }
        void unloadModel() override {}
    } recorder;
    recorder.loadModel(folder, MLComputeUnits::cpuOnly);
    EXPECT_EQ(recorder.prewarm, false);
}

#include <gtest/gtest.h>

#include "Lexiphonic/Core/Lexiphonic.hpp"

namespace lexiphonic {
namespace {

using Names = std::vector<std::string>;

TEST(ModelUtilitiesTests, FormatModelFilesKeepsKnownFoldersOrderedBySize) {
    struct Case {
        Names files;
        Names expected;
    };
    const Case cases[] = {
        {{"openai_whisper-large-v3/AudioEncoder.mlmodelc/weights.bin", "openai_whisper-tiny.en/config.json",
          "openai_whisper-tiny/TextDecoder.mlmodelc", "openai_whisper-tiny/MelSpectrogram.mlmodelc",
          "openai_whisper-base", "some-other-model/config.json"},
         {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-large-v3"}},
        {{}, {}},
        // "tiny" must end the folder name: a folder that merely contains it is not a tiny model.
        {{"openai_whisper-tiny_extra/file"}, {}},
        // Every large folder ranks as large; among themselves they sort by name.
        {{"openai_whisper-large-v3_turbo/x", "distil_whisper-large-v3/x", "openai_whisper-large-v2/x",
          "openai_whisper-small.en/x"},
         {"openai_whisper-small.en", "distil_whisper-large-v3", "openai_whisper-large-v2",
          "openai_whisper-large-v3_turbo"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Lexiphonic::formatModelFiles(c.files), c.expected);
    }
    EXPECT_FALSE(Lexiphonic::isRunningOnSimulator);
}

}  // namespace
}  // namespace lexiphonic

TEST(ModelUtilitiesTests, VariantDetectionAndTokenizerNames) {
    using lexiphonic::ModelVariant;
    struct Case {
        int64_t logits, encoder;
        ModelVariant variant;
    };
    const std::vector<Case> cases = {
        {51864, 384, ModelVariant::tinyEn},  {51864, 512, ModelVariant::baseEn},   {51864, 768, ModelVariant::smallEn},
        {51864, 1024, ModelVariant::mediumEn}, {51865, 384, ModelVariant::tiny},   {51865, 512, ModelVariant::base},
        {51865, 768, ModelVariant::small},   {51865, 1024, ModelVariant::medium},  {51865, 1280, ModelVariant::largev2},
        {51865, 1281, ModelVariant::base},   {51866, 0, ModelVariant::largev3},    {1000, 384, ModelVariant::base},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lexiphonic::ModelUtilities::detectVariant(c.logits, c.encoder), c.variant) << c.logits << " " << c.encoder;
    }
    EXPECT_EQ(lexiphonic::ModelUtilities::tokenizerNameForVariant(ModelVariant::mediumEn), "openai/whisper-medium.en");
    EXPECT_EQ(lexiphonic::ModelUtilities::tokenizerNameForVariant(ModelVariant::largev3), "openai/whisper-large-v3");
}

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

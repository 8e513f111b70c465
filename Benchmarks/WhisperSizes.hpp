#pragma once
// The published Whisper model sizes the benchmarks run at (random weights, real dimensions).
#include <string_view>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace whisperbench {

struct Size {
    const char* name;
    coreml::whisper::WhisperModelConfig config;
};

inline const std::vector<Size>& sizes() {
    static const std::vector<Size> all = [] {
        auto make = [](int mels, int d, int enc, int dec, int heads, int vocab) {
            coreml::whisper::WhisperModelConfig c;
            c.melCount = mels;
            c.width = d;
            c.encoderLayers = enc;
            c.decoderLayers = dec;
            c.encoderHeads = c.decoderHeads = heads;
            c.vocabularySize = vocab;
            c.alignmentHeads = {{dec - 1, 0}, {dec - 1, 1}};
            return c;
        };
        return std::vector<Size>{{"tiny", make(80, 384, 4, 4, 6, 51865)},
                                 {"base", make(80, 512, 6, 6, 8, 51865)},
                                 {"small", make(80, 768, 12, 12, 12, 51865)},
                                 {"large-v3-turbo", make(128, 1280, 32, 4, 20, 51866)}};
    }();
    return all;
}

inline const Size* sizeNamed(std::string_view name) {
    for (const Size& s : sizes())
        if (name == s.name) return &s;
    return nullptr;
}

}  // namespace whisperbench

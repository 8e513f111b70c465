// The converter's configuration: config.json, generation_config.json and preprocessor_config.json of a
// checkpoint folder. Input: config.json, 0x1E, generation_config.json, 0x1E, preprocessor_config.json;
// a missing or empty part after the first is an absent file. With a preprocessor_config.json the whole
// conversion runs; the folder holds no tokenizer files, so a configuration that reads cleanly ends at
// their absence, before any weights are read.
#include "FuzzSupport.hpp"
#include "Platform/CoreML/Whisper/WhisperCheckpointConverter.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto parts = fuzz::splitParts(data, size, 3);
    const auto& folder = fuzz::scratchFolder();
    fuzz::writeBytes(folder / "config.json", parts[0]);
    if (!parts[1].empty()) fuzz::writeBytes(folder / "generation_config.json", parts[1]);
    try {
        auto config = coreml::whisper::readCheckpointConfig(folder);
        for (auto [layer, head] : config.alignmentHeads)
            if (layer < 0 || layer >= config.decoderLayers || head < 0 || head >= config.decoderHeads) std::abort();
        if (parts[2].empty()) return 0;
        fuzz::writeBytes(folder / "preprocessor_config.json", parts[2]);
        (void)coreml::whisper::convertWhisperCheckpoint(folder, folder / "out");
        std::abort();  // there is no tokenizer.json: a conversion that succeeds read something that is not there
    } catch (const coreml::whisper::WhisperModelError&) {
    }
    return 0;
}

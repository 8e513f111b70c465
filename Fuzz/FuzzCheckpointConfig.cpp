// The converter's configuration: config.json and generation_config.json of a checkpoint folder.
// Input: config.json, 0x1E, generation_config.json (absent when the part is missing).
#include "FuzzSupport.hpp"
#include "Platform/CoreML/Whisper/WhisperCheckpointConverter.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto parts = fuzz::splitParts(data, size, 2);
    const auto& folder = fuzz::scratchFolder();
    fuzz::writeBytes(folder / "config.json", parts[0]);
    if (std::string_view(reinterpret_cast<const char*>(data), size).find('\x1e') != std::string_view::npos)
        fuzz::writeBytes(folder / "generation_config.json", parts[1]);
    try {
        auto config = coreml::whisper::readCheckpointConfig(folder);
        for (auto [layer, head] : config.alignmentHeads)
            if (layer < 0 || layer >= config.decoderLayers || head < 0 || head >= config.decoderHeads) std::abort();
    } catch (const coreml::whisper::WhisperModelError&) {
    }
    return 0;
}

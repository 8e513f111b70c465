// The safetensors reader: header and data from the input, every tensor read as floats.
#include "FuzzSupport.hpp"
#include "Platform/CoreML/Whisper/Safetensors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto path = fuzz::scratchFolder() / "model.safetensors";
    fuzz::writeBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        coreml::whisper::SafetensorsFile file(path);
        for (const auto& [name, entry] : file.entries()) {
            try {
                (void)file.floats(name, entry.shape);
            } catch (const coreml::whisper::WhisperModelError&) {
            }
        }
    } catch (const coreml::whisper::WhisperModelError&) {
    }
    return 0;
}

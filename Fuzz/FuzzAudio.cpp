// Audio files: the input as a file loaded and converted to 16 kHz mono by the engine.
#include "FuzzSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto path = fuzz::scratchFolder() / "audio.wav";
    fuzz::writeBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        (void)lexiphonic::AudioProcessor::loadAudioAsFloatArray(path.string());
    } catch (const foundation::Error&) {
    }
    return 0;
}

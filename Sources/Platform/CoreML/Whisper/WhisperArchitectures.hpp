#pragma once
// The names under which the Whisper architectures are registered with the ML runtime, and the
// feature names of their model files.
namespace coreml::whisper {

inline constexpr const char* kMelSpectrogramArchitecture = "whisper.melSpectrogram";
inline constexpr const char* kAudioEncoderArchitecture = "whisper.audioEncoder";
inline constexpr const char* kTextDecoderArchitecture = "whisper.textDecoder";

}  // namespace coreml::whisper

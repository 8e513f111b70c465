#pragma once
// Writes planar float audio as a compressed file (FLAC, MP3, Ogg Opus/Vorbis, M4A AAC) through
// FFmpeg's encoders, so the tests can read back formats they made themselves.
#include <filesystem>
#include <string>
#include <vector>

namespace avfoundation::testing {

// Throws std::runtime_error when the encoder or container is unavailable or fails.
void encodeAudioFile(const std::filesystem::path& path, const std::string& encoderName,
                     const std::vector<std::vector<float>>& channels, int sampleRate);

}  // namespace avfoundation::testing

#pragma once
// Transcript files: one Markdown file per dictation under ~/Transcripts/dictations, named by the local
// time it was saved, with a small front-matter header. The recording of a dictation that could not be
// transcribed is kept as a WAV file under ~/Transcripts/failed-dictations, named the same way (a folder
// of its own, so that "dictations" keeps holding transcripts only).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/Foundation/Date.hpp"

namespace quorvel {

class TranscriptStorage {
public:
    // Creates "dictations", "calls" and "calls/audio" under <home>/Transcripts; failures are ignored.
    TranscriptStorage(const std::filesystem::path& homeDirectory, std::shared_ptr<foundation::Clock> clock);

    const std::filesystem::path& baseDir() const { return baseDir_; }
    std::filesystem::path dictationsDir() const { return baseDir_ / "dictations"; }
    std::filesystem::path dictationAudioDir() const { return baseDir_ / "failed-dictations"; }

    // Writes the transcript atomically and returns its path; nothing when it could not be written. A
    // file never replaces another: a second transcript within the same second is named
    // "<time>_2.md", a third "<time>_3.md", and so on.
    std::optional<std::filesystem::path> saveDictation(const std::string& text, const std::optional<std::string>& sourceApp);
    // Keeps a recording as a 32-bit float WAV file, written atomically and named as transcripts are
    // ("<time>.wav", "<time>_2.wav", ...); the folder is made when first needed. Nothing when it could
    // not be written.
    std::optional<std::filesystem::path> saveDictationAudio(const avfoundation::AVAudioPCMBuffer& audio);

private:
    std::filesystem::path baseDir_;
    std::shared_ptr<foundation::Clock> clock_;
};

}  // namespace quorvel

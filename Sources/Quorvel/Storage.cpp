#include "Quorvel/Storage.hpp"

#include "Platform/AVFoundation/AVAudioFile.hpp"
#include "Platform/Foundation/Files.hpp"

namespace quorvel {

namespace {

// More files than this within one second means something else is filling the folder.
constexpr int maxNumberedNames = 1000;

// "<stem><extension>", then "<stem>_2<extension>", ... until `write` takes one; the path it took.
template <class Write>
std::optional<std::filesystem::path> writeUnderFreeName(const std::filesystem::path& folder, const std::string& stem,
                                                        const std::string& extension, Write write) {
    for (int number = 1; number <= maxNumberedNames; ++number) {
        auto path = folder / (number == 1 ? stem + extension : stem + "_" + std::to_string(number) + extension);
        if (write(path)) return path;
    }
    return std::nullopt;
}

}  // namespace

TranscriptStorage::TranscriptStorage(const std::filesystem::path& homeDirectory, std::shared_ptr<foundation::Clock> clock)
    : baseDir_(homeDirectory / "Transcripts"), clock_(std::move(clock)) {
    for (const char* folder : {"dictations", "calls", "calls/audio"}) {
        std::error_code ignored;
        std::filesystem::create_directories(baseDir_ / folder, ignored);
    }
}

std::optional<std::filesystem::path> TranscriptStorage::saveDictation(const std::string& text,
                                                                      const std::optional<std::string>& sourceApp) {
    try {
        const std::string stem = foundation::formatDate(clock_->now(), "yyyy-MM-dd_HH-mm-ss");
        const std::string content = "---\ntype: dictation\ndate: " + foundation::formatISO8601(clock_->now()) +
                                    "\nsource_app: " + sourceApp.value_or("unknown") + "\n---\n\n" + text;
        return writeUnderFreeName(dictationsDir(), stem, ".md",
                                  [&](const std::filesystem::path& path) { return foundation::writeNewFileAtomically(path, content); });
    } catch (const foundation::Error&) {
        // A transcript that cannot be written is skipped; the text has been pasted already.
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> TranscriptStorage::saveDictationAudio(const avfoundation::AVAudioPCMBuffer& audio) {
    try {
        std::filesystem::create_directories(dictationAudioDir());
        const std::string stem = foundation::formatDate(clock_->now(), "yyyy-MM-dd_HH-mm-ss");
        return writeUnderFreeName(dictationAudioDir(), stem, ".wav", [&](const std::filesystem::path& path) {
            if (std::filesystem::exists(path)) return false;
            // The writer grows a temporary file and renames it into place when closed.
            avfoundation::AVAudioFile file(path, {audio.format().sampleRate(), audio.format().channelCount(),
                                                  avfoundation::AVAudioCommonFormat::pcmFormatFloat32});
            file.write(audio);
            file.close();
            return true;
        });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace quorvel

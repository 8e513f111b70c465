#include "Quorvel/Storage.hpp"

#include "Platform/Foundation/Files.hpp"

namespace quorvel {

namespace {

// More transcripts than this within one second means something else is filling the folder.
constexpr int maxNumberedNames = 1000;

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
        for (int number = 1; number <= maxNumberedNames; ++number) {
            auto path = dictationsDir() / (number == 1 ? stem + ".md" : stem + "_" + std::to_string(number) + ".md");
            if (foundation::writeNewFileAtomically(path, content)) return path;
        }
    } catch (const foundation::Error&) {
        // A transcript that cannot be written is skipped; the text has been pasted already.
    }
    return std::nullopt;
}

}  // namespace quorvel

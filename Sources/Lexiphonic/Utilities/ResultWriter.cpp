#include "Lexiphonic/Utilities/ResultWriter.hpp"

#include <cmath>
#include <filesystem>

#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace lexiphonic {

namespace {

// outputDir with the file name appended as a path component: a leading "/" in the name does not
// make it absolute, and a "/" inside it names a subfolder.
std::filesystem::path destination(const std::string& outputDir, const std::string& fileName) {
    std::string name = fileName;
    while (!name.empty() && name.front() == '/') name.erase(name.begin());
    std::string dir = outputDir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string joined = dir.empty() ? name : (dir == "/" ? "/" + name : dir + "/" + name);
    return std::filesystem::absolute(std::filesystem::path(joined));
}

// The absolute string of a file URL: the path percent-encoded outside the characters a URL path keeps.
std::string fileURLString(const std::filesystem::path& path) {
    static const std::string keep = "-._~!$&'()*+,;=:@/";
    std::string out = "file://";
    for (unsigned char c : path.string()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            keep.find(static_cast<char>(c)) != std::string::npos) {
            out += static_cast<char>(c);
        } else {
            out += foundation::format("%%%02X", c);
        }
    }
    return out;
}

template <class Body>
WriteResult attempt(Body&& body) {
    try {
        return WriteResult::success(body());
    } catch (...) {
        return WriteResult::failure(std::current_exception());
    }
}

// One cue per word of a segment that has words, else one cue for the segment.
template <class Emit>
void forEachCue(const TranscriptionResult& result, Emit&& emit) {
    for (const auto& segment : result.segments()) {
        if (segment.words && !segment.words->empty()) {
            for (const auto& word : *segment.words) emit(word.start, word.end, word.word);
        } else {
            emit(segment.start, segment.end, segment.text);
        }
    }
}

}  // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const {
    const float hoursValue = seconds / 3600.0f;
    int64_t hours = 0, minutes = 0, wholeSeconds = 0, milliseconds = 0;
    // 2^63 is exact in a float; at or beyond it the hour count has no integer value.
    if (std::isfinite(seconds) && std::fabs(hoursValue) < 9223372036854775808.0f) {
        hours = static_cast<int64_t>(hoursValue);
        minutes = static_cast<int64_t>(std::fmod(seconds, 3600.0f) / 60.0f);
        wholeSeconds = static_cast<int64_t>(std::fmod(seconds, 60.0f));
        milliseconds = static_cast<int64_t>((seconds - std::floor(seconds)) * 1000.0f);
    }
    const auto tail = decimalMarker + foundation::format("%03lld", static_cast<long long>(milliseconds));
    if (alwaysIncludeHours || hours > 0)
        return foundation::format("%02lld:%02lld:%02lld", static_cast<long long>(hours),
                                  static_cast<long long>(minutes), static_cast<long long>(wholeSeconds)) +
               tail;
    return foundation::format("%02lld:%02lld", static_cast<long long>(minutes), static_cast<long long>(wholeSeconds)) +
           tail;
}

std::string ResultWriting::formatSegment(int64_t index, float start, float end, const std::string& text) const {
    return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " + formatTime(end, true, ",") + "\n" +
           text + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
    return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" + text + "\n\n";
}

WriteResult WriteJSON::write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<ResultWriterOptions>&) {
    return attempt([&] {
        foundation::JSONWriter writer(foundation::JSONWriter::Options{.pretty = true});
        result.encode(writer);
        auto path = destination(outputDir_, file + ".json");
        foundation::writeFileAtomically(path, writer.str());
        return fileURLString(path);
    });
}

WriteResult WriteSRT::write(const TranscriptionResult& result, const std::string& file,
                            const std::optional<ResultWriterOptions>&) {
    return attempt([&] {
        std::string text;
        int64_t index = 1;
        forEachCue(result, [&](float start, float end, const std::string& cue) {
            text += formatSegment(index++, start, end, cue);
        });
        auto path = destination(outputDir_, file + ".srt");
        foundation::writeFileAtomically(path, text);
        return fileURLString(path);
    });
}

WriteResult WriteVTT::write(const TranscriptionResult& result, const std::string& file,
                            const std::optional<ResultWriterOptions>&) {
    return attempt([&] {
        std::string text = "WEBVTT\n\n";
        forEachCue(result, [&](float start, float end, const std::string& cue) { text += formatTiming(start, end, cue); });
        auto path = destination(outputDir_, file + ".vtt");
        foundation::writeFileAtomically(path, text);
        return fileURLString(path);
    });
}

}  // namespace lexiphonic

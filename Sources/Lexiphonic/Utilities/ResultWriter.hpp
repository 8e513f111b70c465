#pragma once
// Writers that save a transcription result as JSON, SubRip or WebVTT.
#include <any>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>

#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"

namespace lexiphonic {

// Success with the written file's "file:" URL, or failure with the error of encoding or writing.
class WriteResult {
public:
    static WriteResult success(std::string url) { return WriteResult(std::move(url), nullptr); }
    static WriteResult failure(std::exception_ptr error) { return WriteResult(std::string(), std::move(error)); }

    bool isSuccess() const { return error_ == nullptr; }
    // The URL; empty on failure.
    const std::string& url() const { return url_; }
    // The error; null on success.
    std::exception_ptr error() const { return error_; }

private:
    WriteResult(std::string url, std::exception_ptr error) : url_(std::move(url)), error_(std::move(error)) {}
    std::string url_;
    std::exception_ptr error_;
};

using ResultWriterOptions = std::map<std::string, std::any>;

class ResultWriting {
public:
    virtual ~ResultWriting() = default;

    // The folder, as a file-system path, that files are written into; it is not created.
    virtual const std::string& outputDir() const = 0;
    // Writes the result as outputDir / (file + extension). No writer reads the options.
    virtual WriteResult write(const TranscriptionResult& result, const std::string& file,
                              const std::optional<ResultWriterOptions>& options = std::nullopt) = 0;

    // "HH:MM:SS<marker>mmm" (hours only when asked for or non-zero), in 32-bit float arithmetic with
    // milliseconds truncated. A non-finite time, or one whose hour count does not fit a 64-bit integer,
    // is written as zero time in the same layout, so a cue list stays well-formed.
    virtual std::string formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const;

    // A SubRip cue: index, times with ",", text, blank line.
    std::string formatSegment(int64_t index, float start, float end, const std::string& text) const;
    // A WebVTT cue: times with ".", text, blank line.
    std::string formatTiming(float start, float end, const std::string& text) const;
};

class WriteJSON : public ResultWriting {
public:
    explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    // The pretty-printed result, written atomically.
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

class WriteSRT : public ResultWriting {
public:
    explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

class WriteVTT : public ResultWriting {
public:
    explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

}  // namespace lexiphonic

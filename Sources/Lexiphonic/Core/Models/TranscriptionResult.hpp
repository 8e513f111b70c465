#pragma once
// What the engine hands back: results, segments and word timings.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Lexiphonic/Core/Models/TranscriptionTimings.hpp"
#include "PelluxCore/ConcurrencyUtilities.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

struct WordTiming {
    std::string word;
    std::vector<int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }
    // Floats compare numerically: a NaN makes values unequal, 0 equals -0.
    bool operator==(const WordTiming&) const = default;

    void encode(foundation::JSONWriter& writer) const;
    static WordTiming decode(const foundation::JSONValue& value);
};

struct TranscriptionSegment {
    int64_t id = 0;
    int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<int64_t> tokens;
    // One map per token, from token id to log-probability; written with the ids ascending.
    std::vector<std::map<int64_t, float>> tokenLogProbs;
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    std::optional<std::vector<WordTiming>> words;

    float duration() const { return end - start; }
    bool operator==(const TranscriptionSegment&) const = default;

    // "words" is left out when absent.
    void encode(foundation::JSONWriter& writer) const;
    static TranscriptionSegment decode(const foundation::JSONValue& value);
};

// The lock-free value twin of TranscriptionResult.
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    // "seekTime" is left out when absent and may be missing on reading.
    void encode(foundation::JSONWriter& writer) const;
    static TranscriptionResultStruct decode(const foundation::JSONValue& value);
};

// One transcription's result, shared between tasks: each property sits behind its own lock, so each
// read and write is atomic, but nothing keeps two properties consistent with each other.
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                        TranscriptionTimings timings, std::optional<float> seekTime = std::nullopt);
    virtual ~TranscriptionResult() = default;
    TranscriptionResult(const TranscriptionResult&) = delete;
    TranscriptionResult& operator=(const TranscriptionResult&) = delete;

    virtual std::string text() const;
    virtual void setText(std::string value);
    virtual void modifyText(const std::function<void(std::string&)>& change);
    virtual std::vector<TranscriptionSegment> segments() const;
    virtual void setSegments(std::vector<TranscriptionSegment> value);
    virtual void modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& change);
    virtual std::string language() const;
    virtual void setLanguage(std::string value);
    virtual void modifyLanguage(const std::function<void(std::string&)>& change);
    virtual TranscriptionTimings timings() const;
    virtual void setTimings(TranscriptionTimings value);
    virtual void modifyTimings(const std::function<void(TranscriptionTimings&)>& change);
    virtual std::optional<float> seekTime() const;
    virtual void setSeekTime(std::optional<float> value);
    virtual void modifySeekTime(const std::function<void(std::optional<float>&)>& change);

    // The words of every segment that has them, in segment order.
    std::vector<WordTiming> allWords() const;

    // One debug line per segment.
    virtual void logSegments() const;
    // The timing report as one info message.
    virtual void logTimings() const;

    // "seekTime" is always written, as null when absent; all five keys are required on reading.
    virtual void encode(foundation::JSONWriter& writer) const;
    static std::shared_ptr<TranscriptionResult> decode(const foundation::JSONValue& value);

private:
    pellux::PropertyLock<std::string> text_;
    pellux::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    pellux::PropertyLock<std::string> language_;
    pellux::PropertyLock<TranscriptionTimings> timings_;
    pellux::PropertyLock<std::optional<float>> seekTime_;
};

// The 31-line timing report (no line feed after the last line).
std::string formatTimingReport(const TranscriptionTimings& timings, const std::vector<TranscriptionSegment>& segments);
// "[Segment i] [start --> end] text", times with two decimals.
std::string formatSegmentListingLine(size_t index, const TranscriptionSegment& segment);

}  // namespace lexiphonic

template <>
struct std::hash<lexiphonic::WordTiming> {
    size_t operator()(const lexiphonic::WordTiming& value) const noexcept;
};
template <>
struct std::hash<lexiphonic::TranscriptionSegment> {
    size_t operator()(const lexiphonic::TranscriptionSegment& value) const noexcept;
};

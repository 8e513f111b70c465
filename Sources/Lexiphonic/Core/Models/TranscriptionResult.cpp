#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"

#include <cstring>

#include "Lexiphonic/Utilities/Coding.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace lexiphonic {

namespace {

void writeSegments(foundation::JSONWriter& w, const std::vector<TranscriptionSegment>& segments) {
    w.beginArray();
    for (const auto& s : segments) s.encode(w);
    w.endArray();
}

std::vector<TranscriptionSegment> readSegments(const foundation::JSONValue& v) {
    return coding::readList(v, "Array<TranscriptionSegment>", TranscriptionSegment::decode);
}

std::map<int64_t, float> readLogProbMap(const foundation::JSONValue& v) {
    coding::requireObject(v, "Dictionary<Int, Float>");
    std::map<int64_t, float> out;
    for (const auto& [key, value] : v.members()) {
        auto id = foundation::parseInt64(key);
        if (!id)
            throw DecodingError(DecodingError::Case::dataCorrupted,
                                "Could not convert key \"" + key + "\" to Int.");
        out[*id] = coding::readFloat(value);
    }
    return out;
}

// Hashing: a float contributes its bit pattern, with -0 folded into 0 so equal values hash equally.
struct Hasher {
    size_t state = 0x9e3779b97f4a7c15ull;
    void mix(uint64_t v) { state ^= std::hash<uint64_t>{}(v) + 0x9e3779b97f4a7c15ull + (state << 6) + (state >> 2); }
    void add(int64_t v) { mix(static_cast<uint64_t>(v)); }
    void add(float f) {
        if (f == 0.0f) f = 0.0f;
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        mix(bits);
    }
    void add(const std::string& s) { mix(std::hash<std::string>{}(s)); }
    void add(const std::vector<int64_t>& list) {
        mix(list.size());
        for (auto v : list) add(v);
    }
};

void hashWord(Hasher& h, const WordTiming& w) {
    h.add(w.word);
    h.add(w.tokens);
    h.add(w.start);
    h.add(w.end);
    h.add(w.probability);
}

}  // namespace

// MARK: WordTiming

void WordTiming::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("word", word);
    coding::writeList(w, "tokens", tokens);
    w.field("start", start);
    w.field("end", end);
    w.field("probability", probability);
    w.endObject();
}

WordTiming WordTiming::decode(const foundation::JSONValue& v) {
    using namespace coding;
    requireObject(v, "WordTiming");
    WordTiming out;
    out.word = readString(required(v, "word"));
    out.tokens = readIntArray(required(v, "tokens"));
    out.start = readFloat(required(v, "start"));
    out.end = readFloat(required(v, "end"));
    out.probability = readFloat(required(v, "probability"));
    return out;
}

// MARK: TranscriptionSegment

void TranscriptionSegment::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("id", id);
    w.field("seek", seek);
    w.field("start", start);
    w.field("end", end);
    w.field("text", text);
    coding::writeList(w, "tokens", tokens);
    w.key("tokenLogProbs").beginArray();
    for (const auto& map : tokenLogProbs) {
        w.beginObject();
        for (const auto& [id, logProb] : map) w.field(std::to_string(id), logProb);
        w.endObject();
    }
    w.endArray();
    w.field("temperature", temperature);
    w.field("avgLogprob", avgLogprob);
    w.field("compressionRatio", compressionRatio);
    w.field("noSpeechProb", noSpeechProb);
    if (words) {
        w.key("words").beginArray();
        for (const auto& word : *words) word.encode(w);
        w.endArray();
    }
    w.endObject();
}

TranscriptionSegment TranscriptionSegment::decode(const foundation::JSONValue& v) {
    using namespace coding;
    requireObject(v, "TranscriptionSegment");
    TranscriptionSegment out;
    out.id = readInt(required(v, "id"));
    out.seek = readInt(required(v, "seek"));
    out.start = readFloat(required(v, "start"));
    out.end = readFloat(required(v, "end"));
    out.text = readString(required(v, "text"));
    out.tokens = readIntArray(required(v, "tokens"));
    out.tokenLogProbs = readList(required(v, "tokenLogProbs"), "Array<Dictionary<Int, Float>>", readLogProbMap);
    out.temperature = readFloat(required(v, "temperature"));
    out.avgLogprob = readFloat(required(v, "avgLogprob"));
    out.compressionRatio = readFloat(required(v, "compressionRatio"));
    out.noSpeechProb = readFloat(required(v, "noSpeechProb"));
    if (auto words = optional(v, "words")) out.words = readList(*words, "Array<WordTiming>", WordTiming::decode);
    return out;
}

// MARK: TranscriptionResultStruct

void TranscriptionResultStruct::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("text", text);
    w.key("segments");
    writeSegments(w, segments);
    w.field("language", language);
    w.key("timings");
    timings.encode(w);
    w.field("seekTime", seekTime);
    w.endObject();
}

TranscriptionResultStruct TranscriptionResultStruct::decode(const foundation::JSONValue& v) {
    using namespace coding;
    requireObject(v, "TranscriptionResultStruct");
    TranscriptionResultStruct out;
    out.text = readString(required(v, "text"));
    out.segments = readSegments(required(v, "segments"));
    out.language = readString(required(v, "language"));
    out.timings = TranscriptionTimings::decode(required(v, "timings"));
    out.seekTime = readOptional(v, "seekTime", readFloat);
    return out;
}

// MARK: TranscriptionResult

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(std::move(timings)),
      seekTime_(std::nullopt) {
    seekTime_.setWrappedValue(seekTime);
}

std::string TranscriptionResult::text() const { return text_.wrappedValue(); }
void TranscriptionResult::setText(std::string value) { text_.setWrappedValue(std::move(value)); }
void TranscriptionResult::modifyText(const std::function<void(std::string&)>& change) { text_.modify(change); }

std::vector<TranscriptionSegment> TranscriptionResult::segments() const { return segments_.wrappedValue(); }
void TranscriptionResult::setSegments(std::vector<TranscriptionSegment> value) {
    segments_.setWrappedValue(std::move(value));
}
void TranscriptionResult::modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& change) {
    segments_.modify(change);
}

std::string TranscriptionResult::language() const { return language_.wrappedValue(); }
void TranscriptionResult::setLanguage(std::string value) { language_.setWrappedValue(std::move(value)); }
void TranscriptionResult::modifyLanguage(const std::function<void(std::string&)>& change) { language_.modify(change); }

TranscriptionTimings TranscriptionResult::timings() const { return timings_.wrappedValue(); }
void TranscriptionResult::setTimings(TranscriptionTimings value) { timings_.setWrappedValue(value); }
void TranscriptionResult::modifyTimings(const std::function<void(TranscriptionTimings&)>& change) {
    timings_.modify(change);
}

std::optional<float> TranscriptionResult::seekTime() const { return seekTime_.wrappedValue(); }
void TranscriptionResult::setSeekTime(std::optional<float> value) { seekTime_.setWrappedValue(value); }
void TranscriptionResult::modifySeekTime(const std::function<void(std::optional<float>&)>& change) {
    seekTime_.modify(change);
}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> out;
    for (const auto& segment : segments())
        if (segment.words) out.insert(out.end(), segment.words->begin(), segment.words->end());
    return out;
}

void TranscriptionResult::logSegments() const {
    auto list = segments();
    for (size_t i = 0; i < list.size(); ++i) pellux::Logging::debug(formatSegmentListingLine(i, list[i]));
}

void TranscriptionResult::logTimings() const {
    // One consistent snapshot of the timings for the whole report.
    pellux::Logging::info(formatTimingReport(timings(), segments()));
}

void TranscriptionResult::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.key("text");
    text_.encode(w);
    w.key("segments");
    segments_.encode(w);
    w.key("language");
    language_.encode(w);
    w.key("timings");
    timings_.encode(w);
    w.key("seekTime");
    seekTime_.encode(w);
    w.endObject();
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::decode(const foundation::JSONValue& v) {
    using namespace coding;
    requireObject(v, "TranscriptionResult");
    auto text = readString(required(v, "text"));
    auto segments = readSegments(required(v, "segments"));
    auto language = readString(required(v, "language"));
    auto timings = TranscriptionTimings::decode(required(v, "timings"));
    // The key must be there; its value may be null.
    if (!v.member("seekTime").exists()) required(v, "seekTime");
    std::optional<float> seekTime = readOptional(v, "seekTime", readFloat);
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings,
                                                 seekTime);
}

// MARK: Reports

std::string formatTimingReport(const TranscriptionTimings& t, const std::vector<TranscriptionSegment>& segments) {
    using foundation::format;
    // As the platform's max(x, y): y when y >= x, so a NaN comparison keeps decodingLoop.
    const double total = 1000.0 * (t.fullPipeline >= t.decodingLoop ? t.fullPipeline : t.decodingLoop);
    auto row = [&](const char* label, double time, double runs) {
        return std::string(label) + pellux::Logging::formatTimeWithPercentage(time, runs, total);
    };
    int64_t totalTokens = 0;
    for (const auto& s : segments) totalTokens += static_cast<int64_t>(s.tokens.size());
    const double realTimeFactor = t.fullPipeline / t.inputAudioSeconds;

    std::vector<std::string> lines = {
        "---- Transcription Timings ----",
        row("Audio Load:          ", t.audioLoading, 1),
        row("Audio Processing:    ", t.audioProcessing, t.totalAudioProcessingRuns),
        row("Mels:                ", t.logmels, t.totalLogmelRuns),
        row("Encoding:            ", t.encoding, t.totalEncodingRuns),
        row("Matrices Init:       ", t.decodingInit, 1),
        row("Prefill:             ", t.prefill, 1),
        row("Decoding:            ", t.decodingPredictions, t.totalDecodingLoops),
        row("Non-inference:       ", t.decodingNonPrediction, t.totalDecodingLoops),
        row("- Logit Filtering:   ", t.decodingFiltering, t.totalDecodingLoops),
        row("- Sampling:          ", t.decodingSampling, t.totalDecodingLoops),
        row("- Kv Caching:        ", t.decodingKvCaching, t.totalKVUpdateRuns),
        row("- Word Timestamps:   ", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns),
        row("- Windowing:         ", t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows),
        row("Fallbacks:           ", t.decodingFallback, t.totalDecodingFallbacks),
        row("Decoding Full Loop:  ", t.decodingLoop, t.totalDecodingLoops),
        "-------------------------------",
        "Model Load Time:               " + format("%.2f", t.modelLoading) + " seconds",
        "- Prewarm:                     " + format("%.2f", t.prewarmLoadTime) + " seconds",
        "- Encoder:                     " + format("%.2f", t.encoderLoadTime) + " seconds",
        "- Decoder:                     " + format("%.2f", t.decoderLoadTime) + " seconds",
        "- Tokenizer:                   " + format("%.2f", t.tokenizerLoadTime) + " seconds",
        "Inference Duration (Global):   " + format("%.2f", t.fullPipeline) + " seconds",
        "- Decoding Loop (Avg/window):  " + format("%.2f", t.decodingLoop / t.totalAudioProcessingRuns) + " seconds",
        "- Audio Windows:               " + format("%.2f", t.totalAudioProcessingRuns),
        "Time to first token:           " + format("%.2f", t.firstTokenTime - t.pipelineStart) + " seconds",
        "Total Tokens:                  " + std::to_string(totalTokens),
        "Tokens per Second:             " + format("%.2f", t.totalDecodingLoops / t.fullPipeline) + " tok/s",
        "Real Time Factor:              " + format("%.3f", realTimeFactor),
        "Speed Factor:                  " + format("%.3f", 1.0 / realTimeFactor),
        "Fallbacks:                     " + foundation::formatDouble(t.totalDecodingFallbacks),
    };
    std::string report;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) report += '\n';
        report += lines[i];
    }
    return report;
}

std::string formatSegmentListingLine(size_t index, const TranscriptionSegment& segment) {
    return "[Segment " + std::to_string(index) + "] [" + foundation::format("%.2f", static_cast<double>(segment.start)) +
           " --> " + foundation::format("%.2f", static_cast<double>(segment.end)) + "] " + segment.text;
}

}  // namespace lexiphonic

size_t std::hash<lexiphonic::WordTiming>::operator()(const lexiphonic::WordTiming& value) const noexcept {
    lexiphonic::Hasher h;
    lexiphonic::hashWord(h, value);
    return h.state;
}

size_t std::hash<lexiphonic::TranscriptionSegment>::operator()(const lexiphonic::TranscriptionSegment& s) const noexcept {
    lexiphonic::Hasher h;
    h.add(s.id);
    h.add(s.seek);
    h.add(s.start);
    h.add(s.end);
    h.add(s.text);
    h.add(s.tokens);
    h.mix(s.tokenLogProbs.size());
    for (const auto& map : s.tokenLogProbs) {
        h.mix(map.size());
        for (const auto& [id, logProb] : map) {
            h.add(id);
            h.add(logProb);
        }
    }
    h.add(s.temperature);
    h.add(s.avgLogprob);
    h.add(s.compressionRatio);
    h.add(s.noSpeechProb);
    if (s.words) {
        h.mix(1);
        h.mix(s.words->size());
        for (const auto& w : *s.words) lexiphonic::hashWord(h, w);
    } else {
        h.mix(0);
    }
    return h.state;
}

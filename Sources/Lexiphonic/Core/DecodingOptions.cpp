#include "Lexiphonic/Core/DecodingOptions.hpp"

#include <cmath>

#include "Lexiphonic/Utilities/Coding.hpp"

namespace lexiphonic {

std::string_view description(DecodingTask task) {
    return task == DecodingTask::translate ? "translate" : "transcribe";
}

void encode(DecodingTask task, foundation::JSONWriter& writer) {
    writer.beginObject().key(description(task)).beginObject().endObject().endObject();
}

DecodingTask decodeDecodingTask(const foundation::JSONValue& value) {
    coding::requireObject(value, "DecodingTask");
    bool hasTranscribe = false;
    bool hasTranslate = false;
    for (const auto& [key, member] : value.members()) {
        if (key == "transcribe") hasTranscribe = true;
        else if (key == "translate") hasTranslate = true;
    }
    if (hasTranscribe == hasTranslate)
        throw DecodingError(DecodingError::Case::typeMismatch, "Invalid number of keys found, expected one.");
    auto task = hasTranscribe ? DecodingTask::transcribe : DecodingTask::translate;
    coding::requireObject(value.member(description(task)), "DecodingTask payload");
    return task;
}

std::string_view rawValue(ChunkingStrategy strategy) { return strategy == ChunkingStrategy::vad ? "vad" : "none"; }

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
    if (raw == "none") return ChunkingStrategy::none;
    if (raw == "vad") return ChunkingStrategy::vad;
    return std::nullopt;
}

void encode(ChunkingStrategy strategy, foundation::JSONWriter& writer) { writer.value(rawValue(strategy)); }

ChunkingStrategy decodeChunkingStrategy(const foundation::JSONValue& value) {
    auto raw = coding::readString(value);
    auto strategy = chunkingStrategyFromRawValue(raw);
    if (!strategy)
        throw DecodingError(DecodingError::Case::dataCorrupted,
                            "Cannot initialize ChunkingStrategy from invalid String value " + raw);
    return *strategy;
}

DecodingOptions::DecodingOptions(const Params& p)
    : verbose(p.verbose),
      task(p.task),
      language(p.language),
      temperature(p.temperature),
      temperatureIncrementOnFallback(p.temperatureIncrementOnFallback),
      temperatureFallbackCount(p.temperatureFallbackCount),
      sampleLength(p.sampleLength),
      topK(p.topK),
      usePrefillPrompt(p.usePrefillPrompt),
      usePrefillCache(p.usePrefillCache),
      detectLanguage(p.detectLanguage.value_or(!p.usePrefillPrompt)),
      skipSpecialTokens(p.skipSpecialTokens),
      withoutTimestamps(p.withoutTimestamps),
      wordTimestamps(p.wordTimestamps),
      maxInitialTimestamp(p.maxInitialTimestamp),
      maxWindowSeek(p.maxWindowSeek),
      clipTimestamps(p.clipTimestamps),
      windowClipTime(p.windowClipTime),
      promptTokens(p.promptTokens),
      prefixTokens(p.prefixTokens),
      suppressBlank(p.suppressBlank),
      supressTokens(p.supressTokens.value_or(std::vector<int64_t>{})),
      compressionRatioThreshold(p.compressionRatioThreshold),
      logProbThreshold(p.logProbThreshold),
      firstTokenLogProbThreshold(p.firstTokenLogProbThreshold),
      noSpeechThreshold(p.noSpeechThreshold),
      concurrentWorkerCount(p.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(p.chunkingStrategy) {}

namespace {
int64_t sampleIndex(float seconds, int64_t contentFrames) {
    float scaled = seconds * 16000.0f;
    if (std::isnan(scaled)) return 0;
    float rounded = std::round(scaled);  // halves away from zero
    // 2^63 is exactly representable as a float; anything at or beyond it does not fit.
    if (rounded >= 9223372036854775808.0f) return contentFrames;
    if (rounded < -9223372036854775808.0f) return 0;
    return static_cast<int64_t>(rounded);
}
}  // namespace

std::vector<SeekClip> DecodingOptions::prepareSeekClips(int64_t contentFrames) const {
    std::vector<int64_t> indices;
    indices.reserve(clipTimestamps.size() + 1);
    for (float t : clipTimestamps) indices.push_back(sampleIndex(t, contentFrames));
    if (indices.empty()) indices.push_back(0);
    if (indices.size() % 2 == 1) indices.push_back(contentFrames);
    std::vector<SeekClip> clips;
    clips.reserve(indices.size() / 2);
    for (size_t i = 0; i + 1 < indices.size(); i += 2) clips.push_back({indices[i], indices[i + 1]});
    return clips;
}

void DecodingOptions::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("verbose", verbose);
    w.key("task");
    lexiphonic::encode(task, w);
    w.field("language", language);
    w.field("temperature", temperature);
    w.field("temperatureIncrementOnFallback", temperatureIncrementOnFallback);
    w.field("temperatureFallbackCount", temperatureFallbackCount);
    w.field("sampleLength", sampleLength);
    w.field("topK", topK);
    w.field("usePrefillPrompt", usePrefillPrompt);
    w.field("usePrefillCache", usePrefillCache);
    w.field("detectLanguage", detectLanguage);
    w.field("skipSpecialTokens", skipSpecialTokens);
    w.field("withoutTimestamps", withoutTimestamps);
    w.field("wordTimestamps", wordTimestamps);
    w.field("maxInitialTimestamp", maxInitialTimestamp);
    w.field("maxWindowSeek", maxWindowSeek);
    coding::writeList(w, "clipTimestamps", clipTimestamps);
    w.field("windowClipTime", windowClipTime);
    if (promptTokens) coding::writeList(w, "promptTokens", *promptTokens);
    if (prefixTokens) coding::writeList(w, "prefixTokens", *prefixTokens);
    w.field("suppressBlank", suppressBlank);
    coding::writeList(w, "supressTokens", supressTokens);
    w.field("compressionRatioThreshold", compressionRatioThreshold);
    w.field("logProbThreshold", logProbThreshold);
    w.field("firstTokenLogProbThreshold", firstTokenLogProbThreshold);
    w.field("noSpeechThreshold", noSpeechThreshold);
    w.field("concurrentWorkerCount", concurrentWorkerCount);
    if (chunkingStrategy) {
        w.key("chunkingStrategy");
        lexiphonic::encode(*chunkingStrategy, w);
    }
    w.endObject();
}

DecodingOptions DecodingOptions::decode(const foundation::JSONValue& v) {
    using namespace coding;
    requireObject(v, "DecodingOptions");

    // Keys are read in field order so the first bad key is the one reported.
    DecodingOptions o;
    o.verbose = readBool(required(v, "verbose"));
    o.task = decodeDecodingTask(required(v, "task"));
    o.language = readOptional(v, "language", readString);
    o.temperature = readFloat(required(v, "temperature"));
    o.temperatureIncrementOnFallback = readFloat(required(v, "temperatureIncrementOnFallback"));
    o.temperatureFallbackCount = readInt(required(v, "temperatureFallbackCount"));
    o.sampleLength = readInt(required(v, "sampleLength"));
    o.topK = readInt(required(v, "topK"));
    o.usePrefillPrompt = readBool(required(v, "usePrefillPrompt"));
    o.usePrefillCache = readBool(required(v, "usePrefillCache"));
    o.detectLanguage = readBool(required(v, "detectLanguage"));
    o.skipSpecialTokens = readBool(required(v, "skipSpecialTokens"));
    o.withoutTimestamps = readBool(required(v, "withoutTimestamps"));
    o.wordTimestamps = readBool(required(v, "wordTimestamps"));
    o.maxInitialTimestamp = readOptional(v, "maxInitialTimestamp", readFloat);
    o.maxWindowSeek = readOptional(v, "maxWindowSeek", readInt);
    o.clipTimestamps = readFloatArray(required(v, "clipTimestamps"));
    o.windowClipTime = readFloat(required(v, "windowClipTime"));
    o.promptTokens = readOptional(v, "promptTokens", readIntArray);
    o.prefixTokens = readOptional(v, "prefixTokens", readIntArray);
    o.suppressBlank = readBool(required(v, "suppressBlank"));
    o.supressTokens = readIntArray(required(v, "supressTokens"));
    o.compressionRatioThreshold = readOptional(v, "compressionRatioThreshold", readFloat);
    o.logProbThreshold = readOptional(v, "logProbThreshold", readFloat);
    o.firstTokenLogProbThreshold = readOptional(v, "firstTokenLogProbThreshold", readFloat);
    o.noSpeechThreshold = readOptional(v, "noSpeechThreshold", readFloat);
    o.concurrentWorkerCount = readInt(required(v, "concurrentWorkerCount"));
    o.chunkingStrategy = readOptional(v, "chunkingStrategy", decodeChunkingStrategy);
    return o;
}

}  // namespace lexiphonic

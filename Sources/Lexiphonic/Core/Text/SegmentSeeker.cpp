#include "Lexiphonic/Core/Text/SegmentSeeker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/FoundationExtensions.hpp"
#include "PelluxCore/Logging.hpp"
#include "PelluxCore/MLMultiArrayExtensions.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic {

using coreml::Float16;
using coreml::MLMultiArray;
namespace text = foundation::text;

namespace {

constexpr float kSecondsPerFrame = 0.02f;
constexpr float kSampleRate = 16000.0f;
constexpr std::array<std::string_view, 6> kSentenceEnds{".", "\u3002", "!", "\uff01", "?", "\uff1f"};

bool isSentenceEnd(const std::string& word) {
    return std::find(kSentenceEnds.begin(), kSentenceEnds.end(), word) != kSentenceEnds.end();
}

// Membership in a punctuation set is substring containment; the empty text is in no set.
bool contains(std::string_view set, const std::string& piece) {
    return !piece.empty() && set.find(piece) != std::string_view::npos;
}

bool beginsWithWhitespace(const std::string& word) {
    const auto scalars = text::toScalars(word.substr(0, std::min<size_t>(word.size(), 4)));
    return !scalars.empty() && text::isWhitespaceOrNewline(scalars.front());
}

float round2(float value) { return pellux::rounded(value, 2); }

WordTiming joined(const WordTiming& first, const WordTiming& second, const WordTiming& timesOf) {
    WordTiming merged = timesOf;
    merged.word = first.word + second.word;
    merged.tokens = first.tokens;
    merged.tokens.insert(merged.tokens.end(), second.tokens.begin(), second.tokens.end());
    return merged;
}

}  // namespace

// ---- Segments

std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& result, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
    int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken, const WhisperTokenizer& tokenizer) {
    (void)specialToken;
    const float windowStart = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);

    const bool silent = options.noSpeechThreshold && result.noSpeechProb > *options.noSpeechThreshold &&
                        !(options.logProbThreshold && result.avgLogProb > *options.logProbThreshold);
    if (silent) return {currentSeek + segmentSize, std::nullopt};

    const auto& tokens = result.tokens;
    const size_t count = tokens.size();
    std::vector<bool> isTimestamp(count);
    for (size_t i = 0; i < count; ++i) isTimestamp[i] = tokens[i] >= timeToken;
    const bool singleTimestampEnding =
        count >= 3 && !isTimestamp[count - 3] && isTimestamp[count - 2] && !isTimestamp[count - 1];
    const bool noTimestampEnding = count >= 3 && !isTimestamp[count - 3] && !isTimestamp[count - 2] && !isTimestamp[count - 1];

    // Cut at the second timestamp of every consecutive pair.
    std::vector<size_t> cuts;
    bool previousWasTimestamp = false;
    for (size_t i = 0; i < count; ++i) {
        if (previousWasTimestamp && isTimestamp[i]) cuts.push_back(i);
        previousWasTimestamp = isTimestamp[i];
    }

    const SpecialTokens& special = tokenizer.specialTokens();
    auto textOf = [&](std::vector<int64_t> slice) {
        if (options.skipSpecialTokens)
            std::erase_if(slice, [&](int64_t token) { return token >= special.specialTokenBegin; });
        return tokenizer.decode(slice);
    };
    auto timeOf = [&](int64_t token) { return static_cast<float>(token - timeToken) * kSecondsPerFrame; };
    auto makeSegment = [&](int64_t id, float start, float end, size_t from, size_t to) {
        TranscriptionSegment segment;
        segment.id = id;
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = end;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.begin() + static_cast<std::ptrdiff_t>(to));
        const size_t probsTo = std::min(to, result.tokenLogProbs.size());
        if (from < probsTo)
            segment.tokenLogProbs.assign(result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(from),
                                         result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(probsTo));
        segment.text = textOf(segment.tokens);
        segment.temperature = result.temperature;
        segment.avgLogprob = result.avgLogProb;
        segment.compressionRatio = result.compressionRatio;
        segment.noSpeechProb = result.noSpeechProb;
        return segment;
    };

    std::vector<TranscriptionSegment> segments;
    if (cuts.empty()) {
        // One segment for the whole window, as long as its last timestamp past 0.00 says.
        float duration = static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
        for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
            if (*it > timeToken) {
                duration = timeOf(*it);
                break;
            }
        }
        segments.push_back(makeSegment(allSegmentsCount, windowStart, windowStart + duration, 0, count));
        return {currentSeek + segmentSize, std::move(segments)};
    }

    if (singleTimestampEnding) {
        const auto lastTimestamp = std::find(isTimestamp.rbegin(), isTimestamp.rend(), true);
        cuts.push_back(static_cast<size_t>(isTimestamp.rend() - lastTimestamp));  // one past it
    } else if (noTimestampEnding) {
        cuts.push_back(count);
    }

    int64_t seek = currentSeek + segmentSize;
    if (!noTimestampEnding) {
        const size_t lastTimestampIndex = cuts.back() - (singleTimestampEnding ? 1 : 0);
        const float advance = timeOf(tokens[lastTimestampIndex]) * static_cast<float>(sampleRate);
        seek = currentSeek + static_cast<int64_t>(advance);
        if (seek <= currentSeek) {
            // The last timestamp is the window's start: decoding again from there gives the same tokens,
            // so the window ends as one without a final timestamp does, keeping the text after the cut.
            if (!singleTimestampEnding && cuts.back() < count) cuts.push_back(count);
            seek = currentSeek + segmentSize;
        }
    }

    size_t from = 0;
    for (size_t cut : cuts) {
        std::optional<int64_t> first, last;
        for (size_t i = from; i < cut; ++i) {
            if (!isTimestamp[i]) continue;
            if (!first) first = tokens[i];
            last = tokens[i];
        }
        const float start = first ? windowStart + timeOf(*first) : windowStart;
        const float end = last ? windowStart + timeOf(*last) : windowStart;
        segments.push_back(makeSegment(allSegmentsCount + static_cast<int64_t>(segments.size()), start, end, from, cut));
        from = cut;
    }
    return {seek, std::move(segments)};
}

// ---- Word timestamps

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const MLMultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, int64_t seek, int64_t segmentSize, std::string_view prependPunctuations,
    std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
    const TranscriptionTimings& timings) {
    (void)segmentSize, (void)options;
    std::vector<int64_t> wordTokenIds;
    std::vector<float> logProbs;
    for (const auto& segment : segments) {
        for (size_t j = 0; j < segment.tokens.size(); ++j) {
            const int64_t token = segment.tokens[j];
            wordTokenIds.push_back(token);
            if (j < segment.tokenLogProbs.size()) {
                const auto found = segment.tokenLogProbs[j].find(token);
                if (found != segment.tokenLogProbs[j].end()) logProbs.push_back(found->second);
            }
        }
    }
    const auto& shape = alignmentWeights.shape();
    if (shape.empty()) throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    const int64_t frames = shape.back();
    const auto rows = static_cast<int64_t>(wordTokenIds.size());
    // No tokens (or no frames): nothing to align.
    if (rows == 0 || frames <= 0) return segments;

    // Row i of the matrix is the weights' row i: the weights of token position i of the window.
    const bool half = alignmentWeights.dataType() == coreml::MLMultiArrayDataType::float16;
    auto matrix = half ? pellux::makeMultiArray({rows, frames}, alignmentWeights.dataType(), Float16{0})
                       : pellux::makeMultiArray({rows, frames}, coreml::MLMultiArrayDataType::float32, 0.0f);
    const int64_t available = std::min(rows, alignmentWeights.count() / frames);
    if (half) {
        const Float16* source = alignmentWeights.data<Float16>();
        std::copy(source, source + available * frames, matrix->data<Float16>());
    } else {
        float* target = matrix->data<float>();
        for (int64_t i = 0; i < available * frames; ++i) target[i] = static_cast<float>(alignmentWeights.value(i));
    }
    pellux::Logging::debug("Alignment weights shape: [" + std::to_string(rows) + ", " + std::to_string(frames) + "]");

    auto alignment = findAlignment(wordTokenIds, *matrix, logProbs, tokenizer, timings);
    const auto constraints = calculateWordDurationConstraints(alignment);
    alignment = truncateLongWordsAtSentenceBoundaries(alignment, constraints.max);
    if (!alignment.empty()) alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
    return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp, constraints.median,
                                         constraints.max, tokenizer);
}

SegmentSeeker::Path SegmentSeeker::dynamicTimeWarping(const MLMultiArray& withMatrix) {
    const auto& shape = withMatrix.shape();
    if (shape.size() != 2) throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    const int64_t N = shape[0], M = shape[1];
    if (N < 1 || M < 1) return {};
    std::vector<double> weights(static_cast<size_t>(N * M));
    if (withMatrix.dataType() == coreml::MLMultiArrayDataType::float16) {
        const Float16* data = withMatrix.data<Float16>();
        for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<double>(data[i]);
    } else {
        for (size_t i = 0; i < weights.size(); ++i) weights[i] = withMatrix.value(static_cast<int64_t>(i));
    }

    const int64_t columns = M + 1;
    std::vector<double> cost(static_cast<size_t>((N + 1) * columns), std::numeric_limits<double>::infinity());
    TraceMatrix trace{N + 1, columns, std::vector<int8_t>(static_cast<size_t>((N + 1) * columns), -1)};
    auto cell = [columns](int64_t i, int64_t j) { return static_cast<size_t>(i * columns + j); };
    cost[0] = 0;
    for (int64_t j = 1; j <= M; ++j) trace.cells[cell(0, j)] = 2;
    for (int64_t i = 1; i <= N; ++i) trace.cells[cell(i, 0)] = 1;
    for (int64_t i = 1; i <= N; ++i) {
        for (int64_t j = 1; j <= M; ++j) {
            const auto [c, t] = minCostAndTrace(cost[cell(i - 1, j - 1)], cost[cell(i - 1, j)], cost[cell(i, j - 1)],
                                                weights[static_cast<size_t>((i - 1) * M + (j - 1))]);
            cost[cell(i, j)] = c;
            trace.cells[cell(i, j)] = t;
        }
    }
    return backtrace(trace);
}

std::pair<double, int8_t> SegmentSeeker::minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                                         double matrixValue) {
    const double c0 = costDiagonal - matrixValue;
    const double c1 = costUp - matrixValue;
    const double c2 = costLeft - matrixValue;
    if (c0 < c1 && c0 < c2) return {c0, 0};
    if (c1 < c0 && c1 < c2) return {c1, 1};
    return {c2, 2};
}

SegmentSeeker::Path SegmentSeeker::backtrace(const TraceMatrix& trace) {
    Path path;
    if (trace.rows < 1 || trace.columns < 1 || trace.cells.size() < static_cast<size_t>(trace.rows * trace.columns))
        return path;
    int64_t i = trace.rows - 1, j = trace.columns - 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        const int8_t step = trace.at(i, j);
        if (step == 0 && i > 0 && j > 0) {
            --i, --j;
        } else if (step == 1 && i > 0) {
            --i;
        } else if (step == 2 && j > 0) {
            --j;
        } else {
            break;  // a cell the walk cannot leave: the matrix was not made by dynamicTimeWarping
        }
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<int64_t>& wordTokenIds,
                                                     const MLMultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs,
                                                     const WhisperTokenizer& tokenizer, const TranscriptionTimings&) {
    const Path path = dynamicTimeWarping(alignmentWeights);
    const WordTokens split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2) return {};

    // A token starts where the path first steps onto it.
    std::vector<float> startTimes{0.0f}, endTimes;
    for (size_t k = 1; k < path.textIndices.size(); ++k) {
        if (path.textIndices[k] == path.textIndices[k - 1]) continue;
        const float time = static_cast<float>(path.timeIndices[k]) * kSecondsPerFrame;
        startTimes.push_back(time);
        endTimes.push_back(time);
    }
    endTimes.push_back(path.timeIndices.empty() ? 1500 * kSecondsPerFrame
                                                : static_cast<float>(path.timeIndices.back()) * kSecondsPerFrame);

    std::vector<WordTiming> timings;
    size_t position = 0;
    for (size_t w = 0; w < split.words.size() && w < split.wordTokens.size(); ++w) {
        const size_t n = split.wordTokens[w].size();
        if (n == 0) continue;
        // Words past the path's tokens cannot be timed (the split and the weights disagree).
        if (position >= startTimes.size() || position + n - 1 >= endTimes.size()) break;
        double sum = 0;
        size_t counted = 0;
        for (size_t i = position; i < position + n && i < tokenLogProbs.size(); ++i, ++counted) sum += tokenLogProbs[i];
        const float meanLogProb = counted == 0 ? 0.0f : static_cast<float>(sum / static_cast<double>(counted));
        timings.push_back(WordTiming{split.words[w], split.wordTokens[w], startTimes[position], endTimes[position + n - 1],
                                     std::exp(meanLogProb)});
        position += n;
    }
    return timings;
}

SegmentSeeker::DurationConstraints SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) {
    std::vector<float> durations;
    for (const auto& word : alignment)
        if (word.duration() > 0) durations.push_back(word.duration());
    std::sort(durations.begin(), durations.end());
    const float median = durations.empty() ? 0.0f : std::min(durations[durations.size() / 2], 0.7f);
    return {median, median * 2};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                             float maxDuration) {
    std::vector<WordTiming> words = alignment;
    if (words.size() < 2) return words;
    for (size_t i = 1; i < words.size(); ++i) {
        if (!(words[i].duration() > maxDuration)) continue;
        if (isSentenceEnd(words[i].word)) {
            words[i].end = words[i].start + maxDuration;
        } else if (isSentenceEnd(words[i - 1].word)) {
            words[i].start = words[i].end - maxDuration;
        }
    }
    return words;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         std::string_view prepended, std::string_view appended) {
    if (alignment.empty()) return {};
    auto trimmed = [](const std::string& word) { return text::trimmingWhitespace(word); };

    // Opening punctuation after a space joins the word after it.
    std::vector<WordTiming> opened;
    bool predecessorIsLast = !contains(prepended, trimmed(alignment.front().word));
    if (predecessorIsLast) opened.push_back(alignment.front());
    for (size_t i = 1; i < alignment.size(); ++i) {
        const WordTiming& previous = alignment[i - 1];
        const WordTiming& word = alignment[i];
        if (!previous.word.empty() && beginsWithWhitespace(previous.word) && contains(prepended, trimmed(previous.word))) {
            // The predecessor (with whatever already joined it) takes the word, with the word's times.
            if (predecessorIsLast && !opened.empty()) {
                opened.back() = joined(opened.back(), word, word);
            } else {
                opened.push_back(joined(previous, word, word));
            }
        } else {
            opened.push_back(word);
        }
        predecessorIsLast = true;
    }
    // A lone opening mark has nothing to join; the filter below would drop it anyway.
    if (opened.empty()) return {};

    // Closing punctuation right after a word joins it; the word keeps its own times.
    std::vector<WordTiming> closed{opened.front()};
    for (size_t i = 1; i < opened.size(); ++i) {
        const WordTiming& previous = opened[i - 1];
        const WordTiming& word = opened[i];
        if (!text::hasSuffix(previous.word, " ") && contains(appended, trimmed(word.word))) {
            closed.back() = joined(closed.back(), word, closed.back());
        } else {
            closed.push_back(word);
        }
    }

    std::vector<WordTiming> merged;
    for (auto& word : closed)
        if (!word.word.empty() && !contains(appended, word.word) && !contains(prepended, word.word))
            merged.push_back(std::move(word));
    return merged;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, int64_t seek,
    float lastSpeechTimestamp, float median, float maxDuration, const WhisperTokenizer& tokenizer) {
    const float offset = static_cast<float>(seek) / kSampleRate;
    const int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    float lastSpeech = lastSpeechTimestamp;
    size_t cursor = 0;
    std::vector<TranscriptionSegment> updated = segments;

    for (size_t s = 0; s < updated.size(); ++s) {
        TranscriptionSegment& segment = updated[s];
        const auto textTokenCount = static_cast<size_t>(
            std::count_if(segment.tokens.begin(), segment.tokens.end(), [&](int64_t t) { return t < specialTokenBegin; }));
        std::vector<WordTiming> words;
        size_t taken = 0;
        while (taken < textTokenCount && cursor < mergedAlignment.size()) {
            const WordTiming& timing = mergedAlignment[cursor++];
            std::vector<int64_t> textTokens;
            for (int64_t token : timing.tokens)
                if (token < specialTokenBegin) textTokens.push_back(token);
            if (textTokens.empty()) continue;
            WordTiming word;
            word.word = textTokens.size() != timing.tokens.size() ? tokenizer.decode(textTokens) : timing.word;
            word.tokens = textTokens;
            word.start = round2(offset + timing.start);
            word.end = round2(offset + timing.end);
            word.probability = round2(timing.probability);
            if (word.end - word.start < 0.25f * median) {
                std::optional<float> previousEnd;
                if (!words.empty()) {
                    previousEnd = words.back().end;
                } else if (s > 0) {
                    previousEnd = updated[s - 1].end;
                }
                if (previousEnd && *previousEnd < word.start)
                    word.start = round2(word.start - std::min(0.5f * median, word.start - *previousEnd));
            }
            taken += textTokens.size();
            words.push_back(std::move(word));
        }

        if (!words.empty()) {
            WordTiming& first = words.front();
            // A word right after a long pause is held to the usual word length.
            if (first.end - lastSpeech > 4 * median) {
                if (words.size() == 1) {
                    if (first.duration() > maxDuration) first.start = std::max(lastSpeech, first.end - maxDuration);
                } else {
                    WordTiming& second = words[1];
                    if (first.duration() > maxDuration || second.end - first.start > 2 * maxDuration) {
                        if (second.duration() > maxDuration) {
                            const float boundary = std::max(0.5f * second.end, second.end - maxDuration);
                            first.end = boundary;
                            second.start = boundary;
                        }
                        first.start = std::max(lastSpeech, first.end - maxDuration);
                    }
                }
            }
            if (segment.start < first.end && segment.start - 0.5f > first.start) {
                first.start = std::max(0.0f, std::min(first.end - median, segment.start));
            } else {
                segment.start = first.start;
            }
            WordTiming& last = words.back();
            if (last.start < segment.end && segment.end + 0.5f < last.end) {
                last.end = std::max(segment.end, last.start + median);
            } else {
                segment.end = last.end;
            }
            lastSpeech = segment.end;
        }
        segment.words = std::move(words);
    }
    return updated;
}

}  // namespace lexiphonic

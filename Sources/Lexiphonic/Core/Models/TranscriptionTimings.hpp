#pragma once
// Per-stage stopwatches and run counters of one transcription.
#include <cfloat>

#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

struct TranscriptionTimings {
    // Construction arguments: fields 4 to 34, each 0 unless given. `decodingTimestampAlignment` sets
    // the field `decodingWordTimestamps`.
    struct Params {
        double modelLoading = 0, prewarmLoadTime = 0, encoderLoadTime = 0, decoderLoadTime = 0,
               encoderSpecializationTime = 0, decoderSpecializationTime = 0, tokenizerLoadTime = 0,
               audioLoading = 0, audioProcessing = 0, logmels = 0, encoding = 0, prefill = 0, decodingInit = 0,
               decodingLoop = 0, decodingPredictions = 0, decodingFiltering = 0, decodingSampling = 0,
               decodingFallback = 0, decodingWindowing = 0, decodingKvCaching = 0, decodingTimestampAlignment = 0,
               decodingNonPrediction = 0, totalAudioProcessingRuns = 0, totalLogmelRuns = 0,
               totalEncodingRuns = 0, totalDecodingLoops = 0, totalKVUpdateRuns = 0,
               totalTimestampAlignmentRuns = 0, totalDecodingFallbacks = 0, totalDecodingWindows = 0,
               fullPipeline = 0;
    };

    TranscriptionTimings() = default;
    explicit TranscriptionTimings(const Params& p);

    double pipelineStart = DBL_MAX;
    double firstTokenTime = DBL_MAX;
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double prefill = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    // Unguarded divisions, as reported.
    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    bool operator==(const TranscriptionTimings&) const = default;

    // The 34 fields as keys, in field order; all required on reading.
    void encode(foundation::JSONWriter& writer) const;
    static TranscriptionTimings decode(const foundation::JSONValue& value);
};

}  // namespace lexiphonic

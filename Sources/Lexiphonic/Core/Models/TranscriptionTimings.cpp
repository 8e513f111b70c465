#include "Lexiphonic/Core/Models/TranscriptionTimings.hpp"

#include <utility>

#include "Lexiphonic/Utilities/Coding.hpp"

namespace lexiphonic {

TranscriptionTimings::TranscriptionTimings(const Params& p)
    : modelLoading(p.modelLoading),
      prewarmLoadTime(p.prewarmLoadTime),
      encoderLoadTime(p.encoderLoadTime),
      decoderLoadTime(p.decoderLoadTime),
      encoderSpecializationTime(p.encoderSpecializationTime),
      decoderSpecializationTime(p.decoderSpecializationTime),
      tokenizerLoadTime(p.tokenizerLoadTime),
      audioLoading(p.audioLoading),
      audioProcessing(p.audioProcessing),
      logmels(p.logmels),
      encoding(p.encoding),
      prefill(p.prefill),
      decodingInit(p.decodingInit),
      decodingLoop(p.decodingLoop),
      decodingPredictions(p.decodingPredictions),
      decodingFiltering(p.decodingFiltering),
      decodingSampling(p.decodingSampling),
      decodingFallback(p.decodingFallback),
      decodingWindowing(p.decodingWindowing),
      decodingKvCaching(p.decodingKvCaching),
      decodingWordTimestamps(p.decodingTimestampAlignment),
      decodingNonPrediction(p.decodingNonPrediction),
      totalAudioProcessingRuns(p.totalAudioProcessingRuns),
      totalLogmelRuns(p.totalLogmelRuns),
      totalEncodingRuns(p.totalEncodingRuns),
      totalDecodingLoops(p.totalDecodingLoops),
      totalKVUpdateRuns(p.totalKVUpdateRuns),
      totalTimestampAlignmentRuns(p.totalTimestampAlignmentRuns),
      totalDecodingFallbacks(p.totalDecodingFallbacks),
      totalDecodingWindows(p.totalDecodingWindows),
      fullPipeline(p.fullPipeline) {}

namespace {
// The fields with their keys, in declared order: one table for writing and reading.
using Field = std::pair<const char*, double TranscriptionTimings::*>;
constexpr Field kFields[] = {
    {"pipelineStart", &TranscriptionTimings::pipelineStart},
    {"firstTokenTime", &TranscriptionTimings::firstTokenTime},
    {"inputAudioSeconds", &TranscriptionTimings::inputAudioSeconds},
    {"modelLoading", &TranscriptionTimings::modelLoading},
    {"prewarmLoadTime", &TranscriptionTimings::prewarmLoadTime},
    {"encoderLoadTime", &TranscriptionTimings::encoderLoadTime},
    {"decoderLoadTime", &TranscriptionTimings::decoderLoadTime},
    {"encoderSpecializationTime", &TranscriptionTimings::encoderSpecializationTime},
    {"decoderSpecializationTime", &TranscriptionTimings::decoderSpecializationTime},
    {"tokenizerLoadTime", &TranscriptionTimings::tokenizerLoadTime},
    {"audioLoading", &TranscriptionTimings::audioLoading},
    {"audioProcessing", &TranscriptionTimings::audioProcessing},
    {"logmels", &TranscriptionTimings::logmels},
    {"encoding", &TranscriptionTimings::encoding},
    {"prefill", &TranscriptionTimings::prefill},
    {"decodingInit", &TranscriptionTimings::decodingInit},
    {"decodingLoop", &TranscriptionTimings::decodingLoop},
    {"decodingPredictions", &TranscriptionTimings::decodingPredictions},
    {"decodingFiltering", &TranscriptionTimings::decodingFiltering},
    {"decodingSampling", &TranscriptionTimings::decodingSampling},
    {"decodingFallback", &TranscriptionTimings::decodingFallback},
    {"decodingWindowing", &TranscriptionTimings::decodingWindowing},
    {"decodingKvCaching", &TranscriptionTimings::decodingKvCaching},
    {"decodingWordTimestamps", &TranscriptionTimings::decodingWordTimestamps},
    {"decodingNonPrediction", &TranscriptionTimings::decodingNonPrediction},
    {"totalAudioProcessingRuns", &TranscriptionTimings::totalAudioProcessingRuns},
    {"totalLogmelRuns", &TranscriptionTimings::totalLogmelRuns},
    {"totalEncodingRuns", &TranscriptionTimings::totalEncodingRuns},
    {"totalDecodingLoops", &TranscriptionTimings::totalDecodingLoops},
    {"totalKVUpdateRuns", &TranscriptionTimings::totalKVUpdateRuns},
    {"totalTimestampAlignmentRuns", &TranscriptionTimings::totalTimestampAlignmentRuns},
    {"totalDecodingFallbacks", &TranscriptionTimings::totalDecodingFallbacks},
    {"totalDecodingWindows", &TranscriptionTimings::totalDecodingWindows},
    {"fullPipeline", &TranscriptionTimings::fullPipeline},
};
static_assert(std::size(kFields) == 34);
}  // namespace

void TranscriptionTimings::encode(foundation::JSONWriter& writer) const {
    writer.beginObject();
    for (const auto& [key, member] : kFields) writer.field(key, this->*member);
    writer.endObject();
}

TranscriptionTimings TranscriptionTimings::decode(const foundation::JSONValue& value) {
    coding::requireObject(value, "TranscriptionTimings");
    TranscriptionTimings out;
    for (const auto& [key, member] : kFields) out.*member = coding::readDouble(coding::required(value, key));
    return out;
}

}  // namespace lexiphonic

#include "Lexiphonic/Core/Configurations.hpp"

namespace lexiphonic {

ModelComputeOptions::ModelComputeOptions(const Params& p)
    : melCompute(p.melCompute),
      audioEncoderCompute(p.audioEncoderCompute.value_or(defaultAudioEncoderCompute())),
      textDecoderCompute(p.textDecoderCompute),
      prefillCompute(p.prefillCompute) {}

coreml::MLComputeUnits ModelComputeOptions::defaultAudioEncoderCompute(bool systemIsCurrent) {
    return systemIsCurrent ? coreml::MLComputeUnits::cpuAndNeuralEngine : coreml::MLComputeUnits::cpuAndGPU;
}

LexiphonicConfig::LexiphonicConfig(Params p)
    : model(std::move(p.model)),
      downloadBase(std::move(p.downloadBase)),
      modelRepo(std::move(p.modelRepo)),
      modelToken(std::move(p.modelToken)),
      modelEndpoint(std::move(p.modelEndpoint)),
      modelFolder(std::move(p.modelFolder)),
      tokenizerFolder(std::move(p.tokenizerFolder)),
      computeOptions(p.computeOptions),
      audioInputConfig(std::move(p.audioInputConfig)),
      audioProcessor(std::move(p.audioProcessor)),
      featureExtractor(std::move(p.featureExtractor)),
      audioEncoder(std::move(p.audioEncoder)),
      textDecoder(std::move(p.textDecoder)),
      logitsFilters(std::move(p.logitsFilters)),
      segmentSeeker(std::move(p.segmentSeeker)),
      voiceActivityDetector(std::move(p.voiceActivityDetector)),
      verbose(p.verbose),
      logLevel(p.logLevel),
      prewarm(p.prewarm),
      load(p.load),
      download(p.download),
      useBackgroundDownloadSession(p.useBackgroundDownloadSession) {}

}  // namespace lexiphonic

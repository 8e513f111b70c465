#pragma once
// The engine's settings: decoding options, compute units per model, and the configuration the
// facade is built from.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Lexiphonic/Core/AudioProcessing.hpp"
#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/CoreML/MLModelConfiguration.hpp"

namespace lexiphonic {

class AudioEncoding;
class FeatureExtracting;
class LogitsFiltering;
class SegmentSeeking;
class TextDecoding;
class VoiceActivityDetector;

struct ModelComputeOptions {
    struct Params {
        coreml::MLComputeUnits melCompute = coreml::MLComputeUnits::cpuAndGPU;
        // Absent: cpuAndNeuralEngine on a current system, else cpuAndGPU.
        std::optional<coreml::MLComputeUnits> audioEncoderCompute{};
        coreml::MLComputeUnits textDecoderCompute = coreml::MLComputeUnits::cpuAndNeuralEngine;
        coreml::MLComputeUnits prefillCompute = coreml::MLComputeUnits::cpuOnly;
    };

    ModelComputeOptions() : ModelComputeOptions(Params{}) {}
    explicit ModelComputeOptions(const Params& params);

    // The encoder's default for a system that is or is not at least the release that runs it on the
    // neural engine. This platform counts as current: the CPU runs every model, and the units are
    // only kept and reported.
    static coreml::MLComputeUnits defaultAudioEncoderCompute(bool systemIsCurrent = true);

    coreml::MLComputeUnits melCompute;
    coreml::MLComputeUnits audioEncoderCompute;
    coreml::MLComputeUnits textDecoderCompute;
    coreml::MLComputeUnits prefillCompute;

    bool operator==(const ModelComputeOptions&) const = default;
};

// The settings the facade reads once while it is built. Absent values are resolved by the facade,
// not here.
class LexiphonicConfig {
public:
    struct Params {
        std::optional<std::string> model{};
        std::optional<std::filesystem::path> downloadBase{};
        std::optional<std::string> modelRepo{};
        std::optional<std::string> modelToken{};
        std::optional<std::string> modelEndpoint{};
        std::optional<std::string> modelFolder{};
        std::optional<std::filesystem::path> tokenizerFolder{};
        std::optional<ModelComputeOptions> computeOptions{};
        std::optional<AudioInputConfig> audioInputConfig{};
        std::shared_ptr<AudioProcessing> audioProcessor{};
        std::shared_ptr<FeatureExtracting> featureExtractor{};
        std::shared_ptr<AudioEncoding> audioEncoder{};
        std::shared_ptr<TextDecoding> textDecoder{};
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{};
        std::shared_ptr<SegmentSeeking> segmentSeeker{};
        std::shared_ptr<VoiceActivityDetector> voiceActivityDetector{};
        bool verbose = true;
        pellux::Logging::LogLevel logLevel = pellux::Logging::LogLevel::info;
        std::optional<bool> prewarm{};
        std::optional<bool> load{};
        bool download = true;
        bool useBackgroundDownloadSession = false;
    };

    LexiphonicConfig() : LexiphonicConfig(Params{}) {}
    explicit LexiphonicConfig(Params params);
    virtual ~LexiphonicConfig() = default;

    std::optional<std::string> model;
    std::optional<std::filesystem::path> downloadBase;
    std::optional<std::string> modelRepo;
    std::optional<std::string> modelToken;
    std::optional<std::string> modelEndpoint;
    std::optional<std::string> modelFolder;
    std::optional<std::filesystem::path> tokenizerFolder;
    std::optional<ModelComputeOptions> computeOptions;
    std::optional<AudioInputConfig> audioInputConfig;
    std::shared_ptr<AudioProcessing> audioProcessor;       // null: a new AudioProcessor
    std::shared_ptr<FeatureExtracting> featureExtractor;   // null: a new FeatureExtractor
    std::shared_ptr<AudioEncoding> audioEncoder;           // null: a new AudioEncoder
    std::shared_ptr<TextDecoding> textDecoder;             // null: a new TextDecoder
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;         // null: a new SegmentSeeker
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;  // null: the chunker's default
    bool verbose;
    pellux::Logging::LogLevel logLevel;
    std::optional<bool> prewarm;
    std::optional<bool> load;
    bool download;
    bool useBackgroundDownloadSession;
};

}  // namespace lexiphonic

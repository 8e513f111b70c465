#pragma once
// The engine facade: builds its stages from a configuration, finds or downloads a model folder,
// loads the models and the matching tokenizer, and transcribes arrays and files, one or many.
//
// Built through `create` (construction, then `initialize`), so that a subclass's overrides of the
// set-up, prewarm and load steps take part in construction.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Lexiphonic/Core/AudioEncoding.hpp"
#include "Lexiphonic/Core/AudioProcessing.hpp"
#include "Lexiphonic/Core/Configurations.hpp"
#include "Lexiphonic/Core/FeatureExtracting.hpp"
#include "Lexiphonic/Core/Models/ModelSupport.hpp"
#include "Lexiphonic/Core/SegmentSeeking.hpp"
#include "Lexiphonic/Core/TextDecoding.hpp"
#include "Lexiphonic/Core/TranscribeTask.hpp"
#include "Lexiphonic/Core/VoiceActivityDetector.hpp"
#include "Lexiphonic/Utilities/Extensions+Public.hpp"
#include "Lexiphonic/Utilities/ModelUtilities.hpp"
#include "PelluxCore/Logging.hpp"
#include "PelluxCore/ModelState.hpp"
#include "Platform/Foundation/Progress.hpp"

namespace lexiphonic {

class Lexiphonic {
public:
    static constexpr int64_t sampleRate = 16000;
    static constexpr int64_t hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // The engine never runs inside a device simulator on this platform.
    static constexpr bool isRunningOnSimulator = false;

    using ModelStateCallback = std::function<void(std::optional<pellux::ModelState> oldState, pellux::ModelState newState)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
    using ProgressCallback = std::function<void(const foundation::Progress&)>;

    // Builds a facade (of type T, a subclass with an accessible default constructor, when given) and
    // runs its initialize step: stages, log level, model folder, then prewarm and load as asked.
    // Throws what the set-up, prewarm or load throws; no facade is left then.
    template <class T = Lexiphonic>
    static std::shared_ptr<T> create(const LexiphonicConfig& config) {
        std::shared_ptr<T> facade(new T());
        facade->initialize(config);
        return facade;
    }
    // The convenience form: the configuration's values named in place (the app names the model, the
    // log level and the download, and leaves the rest unset).
    template <class T = Lexiphonic>
    static std::shared_ptr<T> create(LexiphonicConfig::Params params) {
        return create<T>(LexiphonicConfig(std::move(params)));
    }

    virtual ~Lexiphonic();
    Lexiphonic(const Lexiphonic&) = delete;
    Lexiphonic& operator=(const Lexiphonic&) = delete;

    // ---- Fields

    ModelVariant modelVariant() const;
    pellux::ModelState modelState() const;
    ModelComputeOptions modelCompute() const { return modelCompute_; }
    void setModelCompute(ModelComputeOptions value) { modelCompute_ = value; }
    AudioInputConfig audioInputConfig() const { return audioInputConfig_; }
    void setAudioInputConfig(AudioInputConfig value) { audioInputConfig_ = std::move(value); }
    std::shared_ptr<WhisperTokenizer> tokenizer() const;
    // Also gives the text decoder the same tokenizer (none included).
    void setTokenizer(std::shared_ptr<WhisperTokenizer> value);
    const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
    void setAudioProcessor(std::shared_ptr<AudioProcessing> value) { audioProcessor_ = std::move(value); }
    const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
    void setFeatureExtractor(std::shared_ptr<FeatureExtracting> value) { featureExtractor_ = std::move(value); }
    const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
    void setAudioEncoder(std::shared_ptr<AudioEncoding> value) { audioEncoder_ = std::move(value); }
    const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }
    void setTextDecoder(std::shared_ptr<TextDecoding> value) { textDecoder_ = std::move(value); }
    const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
    void setSegmentSeeker(std::shared_ptr<SegmentSeeking> value) { segmentSeeker_ = std::move(value); }
    const std::shared_ptr<VoiceActivityDetector>& voiceActivityDetector() const { return voiceActivityDetector_; }
    void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> value) { voiceActivityDetector_ = std::move(value); }
    TranscriptionTimings currentTimings() const;
    std::shared_ptr<foundation::Progress> progress() const;
    const std::optional<std::filesystem::path>& modelFolder() const { return modelFolder_; }
    void setModelFolder(std::optional<std::filesystem::path> value) { modelFolder_ = std::move(value); }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
    void setTokenizerFolder(std::optional<std::filesystem::path> value) { tokenizerFolder_ = std::move(value); }
    bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
    const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback value) { segmentDiscoveryCallback_ = std::move(value); }
    const ModelStateCallback& modelStateCallback() const { return modelStateCallback_; }
    void setModelStateCallback(ModelStateCallback value) { modelStateCallback_ = std::move(value); }
    const TranscriptionStateCallback& transcriptionStateCallback() const { return transcriptionStateCallback_; }
    void setTranscriptionStateCallback(TranscriptionStateCallback value) { transcriptionStateCallback_ = std::move(value); }

    // ---- Static catalogue and download

    static std::string deviceName();
    static ModelSupport recommendedModels();
    static ModelSupport recommendedRemoteModels(const std::string& from = "pelluxinc/lexiphonic-coreml",
                                                const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                const std::optional<std::string>& token = std::nullopt,
                                                const std::string& remoteConfigName = "config.json",
                                                const std::optional<std::string>& endpoint = std::nullopt);
    // Never throws: any failure is logged and the built-in table is used.
    static ModelSupportConfig fetchModelSupportConfig(const std::string& from = "pelluxinc/lexiphonic-coreml",
                                                      const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                      const std::optional<std::string>& token = std::nullopt,
                                                      const std::string& remoteConfigName = "config.json",
                                                      const std::optional<std::string>& endpoint = std::nullopt);
    static std::vector<std::string> fetchAvailableModels(const std::string& from = "pelluxinc/lexiphonic-coreml",
                                                         const std::vector<std::string>& matching = {"*"},
                                                         const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                         const std::optional<std::string>& token = std::nullopt,
                                                         const std::string& remoteConfigName = "config.json",
                                                         const std::optional<std::string>& endpoint = std::nullopt);
    // The local folder of the variant's model files, downloaded from the repository. Throws
    // WhisperError::modelsUnavailable when no single folder matches, or the hub client's error.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                          bool useBackgroundSession = false,
                                          const std::string& from = "pelluxinc/lexiphonic-coreml",
                                          const std::optional<std::string>& token = std::nullopt,
                                          const std::optional<std::string>& endpoint = std::nullopt,
                                          const ProgressCallback& progressCallback = {});
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles) {
        return ModelUtilities::formatModelFiles(modelFiles);
    }

    // ---- Model management (overridable)

    // Sets the model folder: the given one, or the variant's folder downloaded from the repository.
    // A download failure becomes WhisperError::modelsUnavailable "Model not found. ...".
    virtual void setupModels(const std::optional<std::string>& model,
                             const std::optional<std::filesystem::path>& downloadBase,
                             const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::optional<std::string>& endpoint);
    virtual void prewarmModels();
    // Loads are serialised: a second load waits for the first and then loads again. Loading and
    // unloading wait for the transcriptions in flight; a transcription that asks for either (from
    // one of its callbacks, on its own thread) is refused with WhisperError::modelsUnavailable.
    virtual void loadModels(bool prewarmMode = false);
    virtual void loadTokenizerIfNeeded();
    virtual void unloadModels();
    virtual void clearState();
    virtual void loggingCallback(pellux::Logging::LoggingCallback callback);

    // ---- Language detection

    virtual std::pair<std::string, std::map<std::string, float>> detectLanguage(const std::string& audioPath);
    virtual std::pair<std::string, std::map<std::string, float>> detectLangauge(std::span<const float> audioArray);

    // ---- Transcription (overridable). Batch forms never throw; the others do.

    virtual std::vector<std::optional<TranscriptionResults>> transcribe(const std::vector<std::string>& audioPaths,
                                                                       const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                       const TranscriptionCallback& callback = {});
    virtual std::vector<TranscriptionBatchResult> transcribeWithResults(const std::vector<std::string>& audioPaths,
                                                                        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                        const TranscriptionCallback& callback = {});
    virtual std::vector<std::optional<TranscriptionResults>> transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                       const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                       const TranscriptionCallback& callback = {});
    virtual std::vector<TranscriptionBatchResult> transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                        const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                        const TranscriptionCallback& callback = {});
    virtual std::vector<TranscriptionBatchResult> transcribeWithOptions(
        const std::vector<std::vector<float>>& audioArrays, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
        const std::optional<std::vector<int64_t>>& seekOffsets = std::nullopt, const TranscriptionCallback& callback = {});
    // The file's first result (single form) or all its results (list form).
    virtual std::shared_ptr<TranscriptionResult> transcribe(const std::string& audioPath,
                                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                            const TranscriptionCallback& callback = {});
    virtual TranscriptionResults transcribeAll(const std::string& audioPath,
                                               const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                               const TranscriptionCallback& callback = {});
    virtual std::shared_ptr<TranscriptionResult> transcribe(std::span<const float> audioArray,
                                                            const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                            const TranscriptionCallback& callback = {});
    // The main array form: loads the models when needed, then transcribes (by voice-activity chunks
    // when the options ask for it and the audio is longer than a window).
    virtual TranscriptionResults transcribe(std::span<const float> audioArray, const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback, const SegmentDiscoveryCallback& segmentCallback);
    virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
        TranscriptionTimings currentTimings, std::shared_ptr<foundation::Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
        std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<WhisperTokenizer> tokenizer);
    virtual TranscriptionResults runTranscribeTask(std::span<const float> audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   const SegmentDiscoveryCallback& segmentCallback);

protected:
    // Only defaults; `initialize` does the work of construction.
    Lexiphonic();
    virtual void initialize(const LexiphonicConfig& config);
    void setModelState(pellux::ModelState newState);

private:
    void setModelVariant(ModelVariant value);
    void ensureModelsLoaded();
    void replaceProgress();
    int64_t windowSamples() const;
    TranscriptionResults transcribeInVADChunks(std::span<const float> audioArray, const DecodingOptions& options,
                                               const TranscriptionCallback& callback);

    mutable std::mutex fieldsMutex_;  // the fields that concurrent transcriptions read or replace
    ModelVariant modelVariant_ = ModelVariant::tiny;
    pellux::ModelState modelState_ = pellux::ModelState::unloaded;
    ModelComputeOptions modelCompute_;
    AudioInputConfig audioInputConfig_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    TranscriptionTimings currentTimings_;
    std::shared_ptr<foundation::Progress> progress_ = std::make_shared<foundation::Progress>();
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    ModelStateCallback modelStateCallback_;
    TranscriptionStateCallback transcriptionStateCallback_;
    std::recursive_mutex loadMutex_;  // one load at a time

    // A transcription in flight keeps the models it started with: a load or unload waits until none
    // runs, and none starts while a load or unload waits.
    class ModelUse;     // held by a transcription or a language detection
    class ModelChange;  // held by a load or an unload
    std::mutex modelUseMutex_;
    std::condition_variable modelUseChanged_;
    int64_t modelUsers_ = 0;
    int64_t modelChanges_ = 0;
};

}  // namespace lexiphonic

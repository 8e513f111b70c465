#include "Lexiphonic/Core/Lexiphonic.hpp"

#include <algorithm>
#include <chrono>
#include <set>

#include "Hub/HubApi.hpp"
#include "Lexiphonic/Core/Audio/AudioChunker.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Audio/EnergyVAD.hpp"
#include "Lexiphonic/Core/AudioEncoder.hpp"
#include "Lexiphonic/Core/FeatureExtractor.hpp"
#include "Lexiphonic/Core/Text/SegmentSeeker.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/FoundationExtensions.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/TaskPool.hpp"

namespace lexiphonic {

using pellux::Logging;
using pellux::ModelState;

namespace {

constexpr std::string_view kDefaultRepo = "pelluxinc/lexiphonic-coreml";

class Stopwatch {
public:
    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string describeRepo(const hub::Hub::Repo& repo) {
    return "Repo(id: \"" + repo.id + "\", type: " + std::string(hub::Hub::rawValue(repo.type)) + ")";
}

std::string describeError(const std::exception& error) {
    if (auto* e = dynamic_cast<const foundation::Error*>(&error)) return e->describe();
    return error.what();
}

hub::HubApi makeHubApi(const std::optional<std::filesystem::path>& downloadBase, const std::optional<std::string>& token,
                       const std::optional<std::string>& endpoint, bool useBackgroundSession) {
    return hub::HubApi({.downloadBase = downloadBase,
                        .bmToken = token,
                        .endpoint = endpoint,
                        .useBackgroundSession = useBackgroundSession});
}

// The distinct first path components, in listing order.
std::vector<std::string> folderNames(const std::vector<std::string>& paths) {
    std::vector<std::string> names;
    for (const auto& path : paths) {
        std::string name = path.substr(0, path.find('/'));
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
    }
    return names;
}

}  // namespace

// ---- Construction

Lexiphonic::Lexiphonic() = default;

Lexiphonic::~Lexiphonic() {
    if (audioProcessor_) {
        try {
            audioProcessor_->stopRecording();
        } catch (...) {
            // Release never throws.
        }
    }
}

void Lexiphonic::initialize(const LexiphonicConfig& config) {
    modelCompute_ = config.computeOptions.value_or(ModelComputeOptions());
    audioInputConfig_ = config.audioInputConfig.value_or(AudioInputConfig());
    audioProcessor_ = config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>();
    featureExtractor_ = config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>();
    audioEncoder_ = config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>();
    textDecoder_ = config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>();
    if (config.logitsFilters) textDecoder_->setLogitsFilters(config.logitsFilters);
    segmentSeeker_ = config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>();
    voiceActivityDetector_ = config.voiceActivityDetector;
    tokenizerFolder_ = config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase;
    useBackgroundDownloadSession_ = config.useBackgroundDownloadSession;
    currentTimings_ = TranscriptionTimings();

    Logging::shared().setLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);

    setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
                config.download, std::string(Constants::defaultRemoteConfigName),
                config.modelEndpoint ? config.modelEndpoint : std::optional<std::string>(hub::HubApi::defaultEndpoint));

    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

// ---- Fields

ModelVariant Lexiphonic::modelVariant() const {
    std::lock_guard lock(fieldsMutex_);
    return modelVariant_;
}

void Lexiphonic::setModelVariant(ModelVariant value) {
    std::lock_guard lock(fieldsMutex_);
    modelVariant_ = value;
}

ModelState Lexiphonic::modelState() const {
    std::lock_guard lock(fieldsMutex_);
    return modelState_;
}

void Lexiphonic::setModelState(ModelState newState) {
    ModelState oldState;
    {
        std::lock_guard lock(fieldsMutex_);
        oldState = modelState_;
        modelState_ = newState;
    }
    if (modelStateCallback_) modelStateCallback_(oldState, newState);
}

std::shared_ptr<WhisperTokenizer> Lexiphonic::tokenizer() const {
    std::lock_guard lock(fieldsMutex_);
    return tokenizer_;
}

void Lexiphonic::setTokenizer(std::shared_ptr<WhisperTokenizer> value) {
    {
        std::lock_guard lock(fieldsMutex_);
        tokenizer_ = value;
    }
    textDecoder_->setTokenizer(std::move(value));
}

TranscriptionTimings Lexiphonic::currentTimings() const {
    std::lock_guard lock(fieldsMutex_);
    return currentTimings_;
}

std::shared_ptr<foundation::Progress> Lexiphonic::progress() const {
    std::lock_guard lock(fieldsMutex_);
    return progress_;
}

void Lexiphonic::replaceProgress() {
    std::lock_guard lock(fieldsMutex_);
    progress_ = std::make_shared<foundation::Progress>();
}

// ---- Static catalogue and download

std::string Lexiphonic::deviceName() { return pellux::ProcessInfo::hwModel(); }

ModelSupport Lexiphonic::recommendedModels() {
    Logging::debug("Running on " + deviceName());
    return ModelUtilities::modelSupport(deviceName());
}

ModelSupport Lexiphonic::recommendedRemoteModels(const std::string& from, const std::optional<std::filesystem::path>& downloadBase,
                                                 const std::optional<std::string>& token, const std::string& remoteConfigName,
                                                 const std::optional<std::string>& endpoint) {
    return fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
}

ModelSupportConfig Lexiphonic::fetchModelSupportConfig(const std::string& from,
                                                       const std::optional<std::filesystem::path>& downloadBase,
                                                       const std::optional<std::string>& token,
                                                       const std::string& remoteConfigName,
                                                       const std::optional<std::string>& endpoint) {
    try {
        hub::HubApi hubApi = makeHubApi(downloadBase, token, endpoint, false);
        Logging::debug("Searching for config file matching \"" + remoteConfigName + "\" in " + from);
        std::vector<std::string> files = hubApi.getFilenames(from, {remoteConfigName});
        if (files.empty()) {
            Logging::info("No config files found matching \"" + remoteConfigName + "\" in " + from + ", using fallback");
            return Constants::fallbackModelSupportConfig();
        }
        if (files.size() > 1) {
            Logging::info("Multiple config files found (" + std::to_string(files.size()) +
                          "): " + pellux::detail::logDescription(files) + ". Using first matching file: " + files.front());
        }
        std::filesystem::path folder = hubApi.snapshot(from, "main", {files.front()});
        std::string text = foundation::readFile(folder / files.front());
        foundation::JSONDocument document = foundation::JSONDocument::parse(text);
        return ModelSupportConfig::decode(document.root());
    } catch (const std::exception& error) {
        Logging::error("Fetch model support config failed with error: " + describeError(error));
        return Constants::fallbackModelSupportConfig();
    }
}

std::vector<std::string> Lexiphonic::fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                                          const std::optional<std::filesystem::path>& downloadBase,
                                                          const std::optional<std::string>& token,
                                                          const std::string& remoteConfigName,
                                                          const std::optional<std::string>& endpoint) {
    ModelSupport support = fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
    std::set<std::string> names;
    for (const auto& pattern : matching) {
        for (auto& name : pellux::matching(support.supported, pattern)) names.insert(std::move(name));
    }
    return ModelUtilities::formatModelFiles(std::vector<std::string>(names.begin(), names.end()));
}

std::filesystem::path Lexiphonic::download(const std::string& variant, const std::optional<std::filesystem::path>& downloadBase,
                                           bool useBackgroundSession, const std::string& from,
                                           const std::optional<std::string>& token, const std::optional<std::string>& endpoint,
                                           const ProgressCallback& progressCallback) {
    try {
        hub::HubApi hubApi = makeHubApi(downloadBase, token, endpoint, useBackgroundSession);
        hub::Hub::Repo repo{from, hub::Hub::RepoType::models};
        std::string pattern = "*" + variant + "/*";
        Logging::debug("Searching for models matching \"" + pattern + "\" in " + describeRepo(repo));
        std::vector<std::string> names = folderNames(hubApi.getFilenames(repo, "main", {pattern}));
        if (names.size() != 1) {
            if (names.size() > 1) Logging::debug("Multiple models found matching \"" + pattern + "\"");
            pattern = "*openai*" + variant + "/*";
            Logging::debug("Searching for models matching \"" + pattern + "\" in " + describeRepo(repo));
            names = folderNames(hubApi.getFilenames(repo, "main", {pattern}));
            if (names.size() != 1) {
                throw WhisperError::modelsUnavailable(std::string(names.empty() ? "No" : "Multiple") +
                                                      " models found matching \"" + pattern + "\" in " + describeRepo(repo));
            }
        }
        Logging::debug("Downloading model " + names.front() + "...");
        std::filesystem::path folder = hubApi.snapshot(repo, "main", {pattern}, [&](const foundation::Progress& progress) {
            Logging::debug("Download progress: " + foundation::format("%.2f", progress.fractionCompleted()));
            if (progressCallback) progressCallback(progress);
        });
        return folder / names.front();
    } catch (const std::exception& error) {
        Logging::debug(describeError(error));
        throw;
    }
}

// ---- Model management

void Lexiphonic::setupModels(const std::optional<std::string>& model, const std::optional<std::filesystem::path>& downloadBase,
                             const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::optional<std::string>& endpoint) {
    if (modelFolder) {
        modelFolder_ = std::filesystem::path(*modelFolder);
        return;
    }
    if (!download) return;
    std::string repo = modelRepo.value_or(std::string(kDefaultRepo));
    try {
        std::string variant = model ? *model
                                    : fetchModelSupportConfig(repo, downloadBase, modelToken, remoteConfigName, endpoint)
                                          .modelSupport(deviceName())
                                          .default_;
        modelFolder_ = Lexiphonic::download(variant, downloadBase, useBackgroundDownloadSession_, repo, modelToken, endpoint);
    } catch (const std::exception& error) {
        throw WhisperError::modelsUnavailable(
            "Model not found. Please check the model or repo name and try again.\nError: " + describeError(error));
    }
}

// ---- Models in use

namespace {
// The facades whose models this thread is using; a thread may hold several uses of one facade.
thread_local std::vector<const Lexiphonic*> modelsUsedByThisThread;

bool usesModelsOf(const Lexiphonic& facade) {
    return std::find(modelsUsedByThisThread.begin(), modelsUsedByThisThread.end(), &facade) != modelsUsedByThisThread.end();
}
}  // namespace

class Lexiphonic::ModelUse {
public:
    // Loads the models when needed; waits while a load or unload is pending. A use nested in one
    // this thread already holds never waits: the load or unload is waiting for the outer one.
    explicit ModelUse(Lexiphonic& facade) : facade_(facade) {
        if (usesModelsOf(facade)) {
            std::lock_guard lock(facade.modelUseMutex_);
            ++facade.modelUsers_;
        } else {
            for (;;) {
                facade.ensureModelsLoaded();
                std::unique_lock lock(facade.modelUseMutex_);
                facade.modelUseChanged_.wait(lock, [&] { return facade.modelChanges_ == 0; });
                if (facade.modelState() == ModelState::loaded) {
                    ++facade.modelUsers_;
                    break;
                }
            }
        }
        modelsUsedByThisThread.push_back(&facade);
    }
    ~ModelUse() {
        modelsUsedByThisThread.erase(std::find(modelsUsedByThisThread.begin(), modelsUsedByThisThread.end(), &facade_));
        std::lock_guard lock(facade_.modelUseMutex_);
        --facade_.modelUsers_;
        facade_.modelUseChanged_.notify_all();
    }
    ModelUse(const ModelUse&) = delete;
    ModelUse& operator=(const ModelUse&) = delete;

private:
    Lexiphonic& facade_;
};

class Lexiphonic::ModelChange {
public:
    // Waits until no transcription uses the models. Refused on a thread that is using them itself,
    // which would wait for itself forever.
    explicit ModelChange(Lexiphonic& facade) : facade_(facade) {
        if (usesModelsOf(facade))
            throw WhisperError::modelsUnavailable("Models cannot be loaded or unloaded by a transcription that uses them");
        std::unique_lock lock(facade.modelUseMutex_);
        ++facade.modelChanges_;
        facade.modelUseChanged_.wait(lock, [&] { return facade.modelUsers_ == 0; });
    }
    ~ModelChange() {
        std::lock_guard lock(facade_.modelUseMutex_);
        --facade_.modelChanges_;
        facade_.modelUseChanged_.notify_all();
    }
    ModelChange(const ModelChange&) = delete;
    ModelChange& operator=(const ModelChange&) = delete;

private:
    Lexiphonic& facade_;
};

void Lexiphonic::prewarmModels() { loadModels(true); }

void Lexiphonic::loadModels(bool prewarmMode) {
    std::lock_guard loadLock(loadMutex_);
    ModelChange change(*this);
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    Stopwatch total;
    if (!modelFolder_) throw WhisperError::modelsUnavailable("Model folder is not set.");
    const std::filesystem::path& folder = *modelFolder_;
    Logging::debug("Loading models from " + folder.string() + " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    auto melURL = ModelUtilities::detectModelURL(folder, "MelSpectrogram");
    auto encoderURL = ModelUtilities::detectModelURL(folder, "AudioEncoder");
    auto decoderURL = ModelUtilities::detectModelURL(folder, "TextDecoder");
    auto prefillURL = ModelUtilities::detectModelURL(folder, "TextDecoderContextPrefill");
    for (const auto& url : {melURL, encoderURL, decoderURL}) {
        std::error_code ec;
        if (!std::filesystem::exists(url, ec)) throw WhisperError::modelsUnavailable("Model file not found at " + url.string());
    }

    if (auto model = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor_)) {
        Logging::debug("Loading feature extractor");
        model->loadModel(melURL, modelCompute_.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    std::error_code ec;
    if (std::filesystem::exists(prefillURL, ec)) {
        Logging::debug("Loading text decoder prefill data");
        textDecoder_->setPrefillData(std::make_shared<TextDecoderContextPrefill>());
        if (auto prefill = textDecoder_->prefillData()) {
            prefill->loadModel(prefillURL, modelCompute_.prefillCompute, prewarmMode);
        }
        Logging::debug("Loaded text decoder prefill data");
    }
    TranscriptionTimings timings = currentTimings();
    // The decoder and the encoder record how long their own load (or prewarm) took.
    auto loadTimed = [&](const std::shared_ptr<WhisperMLModel>& model, const char* name, const std::filesystem::path& url,
                         coreml::MLComputeUnits units, double& specialization, double& load) {
        if (!model) return;
        Logging::debug(std::string("Loading ") + name);
        Stopwatch watch;
        model->loadModel(url, units, prewarmMode);
        const double elapsed = watch.elapsed();
        (prewarmMode ? specialization : load) = elapsed;
        Logging::debug(std::string("Loaded ") + name + " in " + foundation::format("%.2f", elapsed) + "s");
    };
    loadTimed(std::dynamic_pointer_cast<WhisperMLModel>(textDecoder_), "text decoder", decoderURL,
              modelCompute_.textDecoderCompute, timings.decoderSpecializationTime, timings.decoderLoadTime);
    loadTimed(std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder_), "audio encoder", encoderURL,
              modelCompute_.audioEncoderCompute, timings.encoderSpecializationTime, timings.encoderLoadTime);
    {
        std::lock_guard lock(fieldsMutex_);
        currentTimings_ = timings;
    }

    if (prewarmMode) {
        {
            std::lock_guard lock(fieldsMutex_);
            currentTimings_.prewarmLoadTime = total.elapsed();
        }
        setModelState(ModelState::prewarmed);
        return;
    }

    loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    double modelLoading;
    {
        std::lock_guard lock(fieldsMutex_);
        currentTimings_.modelLoading = total.elapsed() + currentTimings_.prewarmLoadTime;
        modelLoading = currentTimings_.modelLoading;
    }
    Logging::info("Loaded models for whisper size: " + std::string(description(modelVariant())) + " in " +
                  foundation::format("%.2f", modelLoading) + "s");
}

void Lexiphonic::loadTokenizerIfNeeded() {
    if (tokenizer()) {
        Logging::debug("Tokenizer already exists on Lexiphonic, skipping load");
        return;
    }
    std::optional<int64_t> logitsSize = textDecoder_->logitsSize();
    std::optional<int64_t> embedSize = audioEncoder_->embedSize();
    if (!logitsSize || !embedSize) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    textDecoder_->setIsModelMultilingual(*logitsSize != 51864);
    ModelVariant variant = ModelUtilities::detectVariant(*logitsSize, *embedSize);
    setModelVariant(variant);
    Logging::debug("Loading tokenizer for " + std::string(description(variant)));
    Stopwatch watch;

    std::vector<std::filesystem::path> searchPaths;
    if (modelFolder_) {
        searchPaths.push_back(*modelFolder_);
        hub::HubApi hubApi({.downloadBase = *modelFolder_});
        searchPaths.push_back(hubApi.localRepoLocation({ModelUtilities::tokenizerNameForVariant(variant), hub::Hub::RepoType::models}));
    }
    auto loaded = ModelUtilities::loadTokenizer(variant, tokenizerFolder_, searchPaths, useBackgroundDownloadSession_);
    double elapsed = watch.elapsed();
    {
        std::lock_guard lock(fieldsMutex_);
        currentTimings_.tokenizerLoadTime = elapsed;
    }
    setTokenizer(std::move(loaded));
    Logging::debug("Loaded tokenizer in " + foundation::format("%.2f", elapsed) + "s");
}

void Lexiphonic::unloadModels() {
    std::lock_guard loadLock(loadMutex_);
    ModelChange change(*this);
    setModelState(ModelState::unloading);
    if (auto model = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor_)) model->unloadModel();
    if (auto model = std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder_)) model->unloadModel();
    if (auto model = std::dynamic_pointer_cast<WhisperMLModel>(textDecoder_)) model->unloadModel();
    setModelState(ModelState::unloaded);
    Logging::info("Unloaded all models");
}

void Lexiphonic::clearState() {
    audioProcessor_->stopRecording();
    std::lock_guard lock(fieldsMutex_);
    currentTimings_ = TranscriptionTimings();
}

void Lexiphonic::loggingCallback(pellux::Logging::LoggingCallback callback) {
    Logging::shared().setLoggingCallback(std::move(callback));
}

void Lexiphonic::ensureModelsLoaded() {
    if (modelState() == ModelState::loaded) return;
    // Whoever finds the models not loaded waits for a load in progress, then loads only if that
    // load did not succeed.
    std::lock_guard loadLock(loadMutex_);
    if (modelState() != ModelState::loaded) loadModels(false);
}

int64_t Lexiphonic::windowSamples() const {
    return featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
}

// ---- Language detection

std::pair<std::string, std::map<std::string, float>> Lexiphonic::detectLanguage(const std::string& audioPath) {
    std::error_code ec;
    if (!std::filesystem::exists(audioPath, ec)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
    }
    AudioBuffer buffer = AudioProcessor::loadAudio(audioPath, AudioInputConfig::SumChannels{}, 0.0, 30.0);
    if (!buffer) throw WhisperError::loadAudioFailed("Unable to load audio file " + audioPath);
    std::vector<float> samples = AudioProcessor::convertBufferToArray(*buffer, 1024);
    return detectLangauge(samples);
}

std::pair<std::string, std::map<std::string, float>> Lexiphonic::detectLangauge(std::span<const float> audioArray) {
    ModelUse use(*this);
    if (!textDecoder_->isModelMultilingual()) {
        throw WhisperError::decodingFailed("Language detection not supported for this model");
    }
    std::shared_ptr<WhisperTokenizer> currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    DecodingOptions options;
    options.verbose = Logging::shared().logLevel() != Logging::LogLevel::none;
    auto inputs = textDecoder_->prepareDecoderInputs({currentTokenizer->specialTokens().startOfTranscriptToken});
    auto window = audioProcessor_->padOrTrim(audioArray, 0, windowSamples());
    if (!window) throw WhisperError::transcriptionFailed("Audio samples are nil");
    auto mel = featureExtractor_->logMelSpectrogram(window, foundation::currentStopToken());
    if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
    auto encoded = audioEncoder_->encodeFeatures(mel, foundation::currentStopToken());
    if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");
    GreedyTokenSampler sampler(coreml::Float16(0), currentTokenizer->specialTokens().endToken, options);
    DecodingResult result;
    try {
        result = textDecoder_->detectLanguage(encoded, inputs, sampler, options, coreml::Float16(0));
    } catch (const foundation::CancellationError&) {
        throw;
    } catch (...) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
    return {result.language, result.languageProbs};
}

// ---- Transcription

TranscriptionResults Lexiphonic::transcribe(std::span<const float> audioArray, const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback,
                                            const SegmentDiscoveryCallback& segmentCallback) {
    TranscriptionResults results;
    const auto count = static_cast<int64_t>(audioArray.size());
    if (count > windowSamples() && decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad) {
        results = transcribeInVADChunks(audioArray, *decodeOptions, callback);
    } else {
        results = runTranscribeTask(audioArray, decodeOptions, callback,
                                    segmentCallback ? segmentCallback : segmentDiscoveryCallback_);
    }
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

TranscriptionResults Lexiphonic::transcribeInVADChunks(std::span<const float> audioArray, const DecodingOptions& options,
                                                       const TranscriptionCallback& callback) {
    std::shared_ptr<VoiceActivityDetector> vad =
        voiceActivityDetector_ ? voiceActivityDetector_ : std::make_shared<EnergyVAD>(16000, 1600, 0, 0.02f);
    VADAudioChunker chunker(16000, vad);
    std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, windowSamples(), options);
    Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
    {
        auto parent = progress();
        if (parent->totalUnitCount() < static_cast<int64_t>(chunks.size())) {
            parent->setTotalUnitCount(static_cast<int64_t>(chunks.size()));
        }
    }
    DecodingOptions chunkOptions = options;
    chunkOptions.clipTimestamps.clear();
    std::vector<std::vector<float>> arrays;
    std::vector<int64_t> offsets;
    arrays.reserve(chunks.size());
    for (const auto& chunk : chunks) {
        arrays.push_back(chunk.audioSamples);
        offsets.push_back(chunk.seekOffsetIndex);
    }
    std::vector<TranscriptionBatchResult> batch =
        transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(chunks.size(), chunkOptions), offsets, callback);
    return chunker.updateSeekOffsetsForResults(batch, chunks);
}

std::shared_ptr<TranscribeTask> Lexiphonic::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<foundation::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<WhisperTokenizer> tokenizer) {
    return std::make_shared<TranscribeTask>(currentTimings, std::move(progress), std::move(audioProcessor),
                                            std::move(audioEncoder), std::move(featureExtractor), std::move(segmentSeeker),
                                            std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults Lexiphonic::runTranscribeTask(std::span<const float> audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   const SegmentDiscoveryCallback& segmentCallback) {
    ModelUse use(*this);
    std::shared_ptr<WhisperTokenizer> currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    if (foundation::isCancelled()) {
        replaceProgress();
        foundation::checkCancellation();
    }

    auto child = std::make_shared<foundation::Progress>();
    auto parent = progress();
    if (parent->totalUnitCount() < 1) parent->setTotalUnitCount(1);
    parent->addChild(child, 1);

    std::shared_ptr<TranscribeTask> task =
        setupTranscribeTask(currentTimings(), child, audioProcessor_, audioEncoder_, featureExtractor_, segmentSeeker_,
                            textDecoder_, currentTokenizer);
    task->setSegmentDiscoveryCallback(segmentCallback);
    std::shared_ptr<TranscriptionResult> result;
    try {
        result = task->run(audioArray, decodeOptions, callback);
    } catch (const foundation::CancellationError&) {
        replaceProgress();
        throw;
    }
    if (decodeOptions && decodeOptions->verbose) result->logTimings();
    {
        std::lock_guard lock(fieldsMutex_);
        if (progress_ == parent && parent->isFinished()) progress_ = std::make_shared<foundation::Progress>();
    }
    return {result};
}

std::vector<TranscriptionBatchResult> Lexiphonic::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<int64_t>>& seekOffsets, const TranscriptionCallback& callback) {
    if (decodeOptionsArray.size() != audioArrays.size()) {
        return {std::make_exception_ptr(
            WhisperError::transcriptionFailed("The number of audio arrays and decoding options must be balanced."))};
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        return {std::make_exception_ptr(
            WhisperError::transcriptionFailed("The number of audio arrays and seek offset indexes must be balanced."))};
    }
    int64_t largest = 0;
    for (const auto& options : decodeOptionsArray) largest = std::max<int64_t>(largest, options ? options->concurrentWorkerCount : 0);
    // Zero, or a count that cannot be a batch size, runs every array at once.
    const size_t batchSize = largest <= 0 ? std::max<size_t>(audioArrays.size(), 1) : static_cast<size_t>(largest);

    std::vector<TranscriptionBatchResult> output;
    output.reserve(audioArrays.size());
    const std::stop_token stopToken = foundation::currentStopToken();
    for (size_t batchStart = 0; batchStart < audioArrays.size(); batchStart += batchSize) {
        const size_t batchEnd = std::min(audioArrays.size(), batchStart + batchSize);
        std::vector<std::function<TranscriptionBatchResult()>> children;
        for (size_t k = batchStart; k < batchEnd; ++k) {
            children.push_back([this, k, &audioArrays, &decodeOptionsArray, &seekOffsets, &callback, stopToken]() {
                foundation::CancellationScope scope(stopToken);
                TranscriptionCallback childCallback;
                if (callback) {
                    childCallback = [k, &callback](const TranscriptionProgress& progress) {
                        TranscriptionProgress copy = progress;
                        copy.windowId = static_cast<int64_t>(k);
                        return callback(copy);
                    };
                }
                SegmentDiscoveryCallback segmentCallback;
                if (seekOffsets) {
                    const int64_t offset = (*seekOffsets)[k];
                    segmentCallback = [this, offset](const std::vector<TranscriptionSegment>& segments) {
                        if (!segmentDiscoveryCallback_) return;
                        std::vector<TranscriptionSegment> moved = segments;
                        for (auto& segment : moved) segment.seek += offset;
                        segmentDiscoveryCallback_(moved);
                    };
                } else {
                    segmentCallback = segmentDiscoveryCallback_;
                }
                try {
                    return TranscriptionBatchResult(transcribe(audioArrays[k], decodeOptionsArray[k], childCallback, segmentCallback));
                } catch (...) {
                    return TranscriptionBatchResult(std::current_exception());
                }
            });
        }
        // Children never throw; the group keeps input order.
        auto results = foundation::runTaskGroup(foundation::TaskPool::shared(), std::move(children));
        for (auto& result : results) output.push_back(std::move(result));
    }
    return output;
}

std::vector<TranscriptionBatchResult> Lexiphonic::transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                        const std::optional<DecodingOptions>& decodeOptions,
                                                                        const TranscriptionCallback& callback) {
    return transcribeWithOptions(audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
                                 std::nullopt, callback);
}

std::vector<std::optional<TranscriptionResults>> Lexiphonic::transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                                       const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}

std::vector<TranscriptionBatchResult> Lexiphonic::transcribeWithResults(const std::vector<std::string>& audioPaths,
                                                                        const std::optional<DecodingOptions>& decodeOptions,
                                                                        const TranscriptionCallback& callback) {
    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::convertingAudio);
    Stopwatch watch;
    std::vector<AudioLoadResult> loaded = AudioProcessor::loadAudio(audioPaths, audioInputConfig_.channelMode);
    double elapsed = watch.elapsed();
    {
        std::lock_guard lock(fieldsMutex_);
        currentTimings_.audioLoading = elapsed;
    }
    Logging::debug("Total Audio Loading and Converting Time: " + foundation::formatDouble(elapsed));

    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::transcribing);
    std::vector<std::vector<float>> arrays;
    for (auto& entry : loaded) {
        if (auto* samples = std::get_if<std::vector<float>>(&entry)) arrays.push_back(std::move(*samples));
    }
    std::vector<TranscriptionBatchResult> transcribed = transcribeWithResults(arrays, decodeOptions, callback);

    std::vector<TranscriptionBatchResult> output;
    size_t next = 0;
    for (auto& entry : loaded) {
        if (auto* error = std::get_if<std::exception_ptr>(&entry)) {
            output.emplace_back(*error);
        } else if (next < transcribed.size()) {
            output.push_back(std::move(transcribed[next++]));
        } else {
            output.emplace_back(std::make_exception_ptr(WhisperError::transcriptionFailed("Transcription result missing")));
        }
    }
    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::finished);
    return output;
}

std::vector<std::optional<TranscriptionResults>> Lexiphonic::transcribe(const std::vector<std::string>& audioPaths,
                                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                                       const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioPaths, decodeOptions, callback));
}

TranscriptionResults Lexiphonic::transcribeAll(const std::string& audioPath, const std::optional<DecodingOptions>& decodeOptions,
                                               const TranscriptionCallback& callback) {
    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::convertingAudio);
    std::vector<float> samples;
    {
        Stopwatch watch;
        auto record = [&] {
            double elapsed = watch.elapsed();
            {
                std::lock_guard lock(fieldsMutex_);
                currentTimings_.audioLoading = elapsed;
            }
            Logging::debug("Audio loading and convert time: " + foundation::formatDouble(elapsed));
            Logging::logCurrentMemoryUsage("Audio Loading and Convert");
        };
        try {
            samples = AudioProcessor::loadAudioAsFloatArray(audioPath, audioInputConfig_.channelMode, 0.0, std::nullopt);
        } catch (...) {
            record();
            throw;
        }
        record();
    }
    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::transcribing);
    TranscriptionResults results;
    try {
        results = transcribe(samples, decodeOptions, callback, SegmentDiscoveryCallback{});
    } catch (...) {
        if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::finished);
        throw;
    }
    if (transcriptionStateCallback_) transcriptionStateCallback_(TranscriptionState::finished);
    return results;
}

std::shared_ptr<TranscriptionResult> Lexiphonic::transcribe(const std::string& audioPath,
                                                            const std::optional<DecodingOptions>& decodeOptions,
                                                            const TranscriptionCallback& callback) {
    TranscriptionResults results = transcribeAll(audioPath, decodeOptions, callback);
    return results.empty() ? nullptr : results.front();
}

std::shared_ptr<TranscriptionResult> Lexiphonic::transcribe(std::span<const float> audioArray,
                                                            const std::optional<DecodingOptions>& decodeOptions,
                                                            const TranscriptionCallback& callback) {
    TranscriptionResults results = transcribe(audioArray, decodeOptions, callback, SegmentDiscoveryCallback{});
    return results.empty() ? nullptr : results.front();
}

}  // namespace lexiphonic

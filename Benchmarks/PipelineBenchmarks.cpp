// The window loop's cost against the bare model calls it is made of, on the base-size random model:
// ten minutes of audio (twenty windows) with sampleLength 100, sequentially and with concurrent
// workers; and the load, prewarm and first-window times.
//
// Prints one line per figure. The machine is shared, so each figure is the best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Lexiphonic.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

using namespace lexiphonic;
namespace fs = std::filesystem;

namespace {

double seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double best(int runs, const std::function<void()>& work) {
    double fastest = 1e300;
    for (int i = 0; i < runs; ++i) fastest = std::min(fastest, seconds(work));
    return fastest;
}

DecodingOptions benchOptions() {
    DecodingOptions o;
    o.sampleLength = 100;
    o.temperatureFallbackCount = 0;
    o.withoutTimestamps = true;  // every window covers its whole 30 s, so ten minutes is twenty windows
    o.compressionRatioThreshold.reset();
    o.logProbThreshold.reset();
    o.firstTokenLogProbThreshold.reset();
    o.noSpeechThreshold.reset();
    return o;
}

}  // namespace

int main() {
    const fs::path folder = fs::temp_directory_path() / ("pipeline-bench-" + std::to_string(::getpid()));
    coreml::whisper::TestModelOptions model;
    model.config.width = 512;
    model.config.encoderLayers = 6;
    model.config.encoderHeads = 8;
    model.config.decoderLayers = 6;
    model.config.decoderHeads = 8;
    model.config.alignmentHeads = {{5, 0}, {5, 4}};
    coreml::whisper::writeTestModel(folder, model);

    auto makeFacade = [&] {
        LexiphonicConfig::Params p;
        p.modelFolder = folder.string();
        p.load = false;
        p.verbose = false;
        p.audioProcessor = std::make_shared<AudioProcessor>(std::make_shared<avfoundation::FakeAudioInputBackend>());
        return Lexiphonic::create(std::move(p));
    };
    auto facade = makeFacade();

    const double prewarm = seconds([&] { facade->prewarmModels(); });
    const double load = seconds([&] { facade->loadModels(false); });

    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> audio(10 * 60 * 16000);
    for (auto& s : audio) s = noise(rng);
    const std::span<const float> window(audio.data(), 480000);

    const double firstWindow = seconds([&] { facade->transcribe(window, benchOptions()); });
    const double laterWindow = best(3, [&] { facade->transcribe(window, benchOptions()); });

    // The bare models: one window's mel and encoder, then 100 decoder calls. The first bare window
    // runs on a second, freshly loaded facade: it is the models' own first run.
    auto bareWindow = [&](Lexiphonic& f, double& encoderTime, double& stepsTime) {
        auto decoder = std::dynamic_pointer_cast<TextDecoder>(f.textDecoder());
        auto padded = AudioProcessor::padOrTrimAudio(window, 0, 480000);
        std::shared_ptr<coreml::MLMultiArray> encoded;
        encoderTime = seconds([&] {
            auto mel = f.featureExtractor()->logMelSpectrogram(padded);
            encoded = f.audioEncoder()->encodeFeatures(mel);
        });
        auto inputs = decoder->prepareDecoderInputs({50258});
        stepsTime = seconds([&] {
            for (int t = 0; t < 100; ++t) {
                inputs->cacheLength()->setValue(0, t);
                decoder->predictLogits(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
                                       inputs->kvCacheUpdateMask(), encoded, inputs->decoderKeyPaddingMask());
            }
        });
    };
    double firstBareEncoder = 0, firstBareSteps = 0;
    {
        auto fresh = makeFacade();
        fresh->loadModels(false);
        bareWindow(*fresh, firstBareEncoder, firstBareSteps);
    }
    double encoderAlone = 1e300, stepsAlone = 1e300;
    for (int i = 0; i < 3; ++i) {
        double e = 0, d = 0;
        bareWindow(*facade, e, d);
        encoderAlone = std::min(encoderAlone, e);
        stepsAlone = std::min(stepsAlone, d);
    }
    const double windowAlone = encoderAlone + stepsAlone;

    std::shared_ptr<TranscriptionResult> last;
    const double sequential = best(2, [&] { last = facade->transcribe(std::span<const float>(audio), benchOptions()); });
    const auto timings = last->timings();

    std::vector<std::vector<float>> arrays;
    for (size_t i = 0; i < 20; ++i) arrays.emplace_back(audio.begin() + i * 480000, audio.begin() + (i + 1) * 480000);
    DecodingOptions concurrentOptions = benchOptions();
    concurrentOptions.concurrentWorkerCount = 8;
    const double concurrent = best(2, [&] { facade->transcribeWithResults(arrays, concurrentOptions); });

    const double bound = 20 * windowAlone;
    std::printf("cores                          %u\n", std::thread::hardware_concurrency());
    std::printf("prewarm                        %.3f s\n", prewarm);
    std::printf("load (models + tokenizer)      %.3f s\n", load);
    std::printf("first window after load        %.3f s\n", firstWindow);
    std::printf("later window (best of 3)       %.3f s  (first - later: %.3f s)\n", laterWindow, firstWindow - laterWindow);
    std::printf("bare first window after load   %.3f s  (first - later: %.3f s: the models' own first run)\n",
                firstBareEncoder + firstBareSteps, firstBareEncoder + firstBareSteps - encoderAlone - stepsAlone);
    std::printf("encoder alone (mel + encoder)  %.3f s\n", encoderAlone);
    std::printf("100 decoder steps alone        %.3f s\n", stepsAlone);
    std::printf("20 x window alone              %.3f s\n", bound);
    std::printf("10 min sequential (best of 2)  %.3f s  = %.3fx of 20 x window (bound 1.15x); windows %.0f, decoder loops %.0f\n",
                sequential, sequential / bound, timings.totalEncodingRuns, timings.totalDecodingLoops);
    std::printf("  of which: mel %.3f, encoder %.3f, decoder model %.3f, filters %.3f, sampling %.3f, cache %.3f s\n",
                timings.logmels, timings.encoding, timings.decodingPredictions, timings.decodingFiltering,
                timings.decodingSampling, timings.decodingKvCaching);
    std::printf("10 min, 8 workers (best of 2)  %.3f s  = %.3fx of 20 x window (bound < 1x)\n", concurrent, concurrent / bound);
    fs::remove_all(folder);
    return 0;
}

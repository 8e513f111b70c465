// Peak resident memory of a Whisper model run the way a user runs it: a model folder on disk, loaded
// through MLModel (weights memory-mapped), one 30-s window through the mel and encoder models, the
// decoder's cross-attention set-up and a few decoder steps. Prints the resident memory after each
// stage and the process's peak (getrusage ru_maxrss).
//
// Run: WhisperMemoryBench [FOLDER] [--size tiny|base|small|large-v3-turbo] [--steps N] [--threads N]
// Without FOLDER a temporary folder gets a model with random weights at the size's dimensions
// (large-v3-turbo by default: about 1.6 GB of F16), written by a child process so that writing it
// leaves no trace in this process's peak, and removed afterwards. A FOLDER that holds no model yet
// is filled the same way and kept, for later runs.
#include <cblas.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "WhisperSizes.hpp"

namespace {

namespace fs = std::filesystem;
using Arrays = std::map<std::string, std::shared_ptr<coreml::MLMultiArray>>;
using DT = coreml::MLMultiArrayDataType;

double residentMB() {
    std::ifstream f("/proc/self/statm");
    size_t pages = 0, resident = 0;
    f >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;  // ru_maxrss is in KiB
}

// Resident anonymous memory and resident file pages (the mapped weights), from /proc/self/status.
std::pair<double, double> anonymousAndFileMB() {
    std::ifstream f("/proc/self/status");
    std::string key;
    double anonymous = 0, file = 0;
    while (f >> key) {
        double kb = 0;
        if (key == "RssAnon:" && f >> kb) anonymous = kb * 1024 / 1e6;
        else if (key == "RssFile:" && f >> kb) file = kb * 1024 / 1e6;
    }
    return {anonymous, file};
}

void report(const char* stage) {
    auto [anonymous, file] = anonymousAndFileMB();
    std::printf("%-28s RSS %8.1f MB (anonymous %7.1f, files %7.1f)   peak %8.1f MB\n", stage, residentMB(), anonymous,
                file, peakMB());
}

std::shared_ptr<coreml::MLMultiArray> run(const coreml::MLModel& model, const Arrays& inputs, const std::string& output) {
    auto out = model.prediction(coreml::MLDictionaryFeatureProvider(inputs));
    return out->featureValue(output)->multiArrayValue();
}

// Writes the model in a child process; returns false when that failed.
bool writeModel(const fs::path& folder, const coreml::whisper::WhisperModelConfig& config) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        try {
            coreml::whisper::TestModelOptions options;
            options.config = config;
            options.writeTokenizer = false;
            coreml::whisper::writeTestModel(folder, options);
            _exit(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "WhisperMemoryBench: cannot write the model: %s\n", e.what());
            _exit(1);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sizeName = "large-v3-turbo", folderArg;
    int steps = 20, threads = 8;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--size" && i + 1 < argc) sizeName = argv[++i];
        else if (a == "--steps" && i + 1 < argc) steps = std::atoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc) threads = std::atoi(argv[++i]);
        else if (!a.empty() && a[0] != '-' && folderArg.empty()) folderArg = a;
        else {
            std::fprintf(stderr, "usage: WhisperMemoryBench [FOLDER] [--size NAME] [--steps N] [--threads N]\n");
            return 2;
        }
    }
    const auto* size = whisperbench::sizeNamed(sizeName);
    if (!size) {
        std::fprintf(stderr, "WhisperMemoryBench: unknown size %s\n", sizeName.c_str());
        return 2;
    }
    const bool temporary = folderArg.empty();
    fs::path folder = folderArg;
    if (temporary) {
        std::string pattern = (fs::temp_directory_path() / "whisper-memory-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
    }
    if (!fs::exists(folder / "TextDecoder.mlmodelc" / "weights.bin")) {
        std::printf("Writing a %s model with random weights to %s\n", size->name, folder.c_str());
        if (!writeModel(folder, size->config)) {
            std::error_code ignored;
            if (temporary) fs::remove_all(folder, ignored);
            return 1;
        }
    }
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    int status = 0;
    try {
        report("start");
        auto mel = coreml::MLModel::load(folder / "MelSpectrogram.mlmodelc");
        auto encoder = coreml::MLModel::load(folder / "AudioEncoder.mlmodelc");
        auto decoder = coreml::MLModel::load(folder / "TextDecoder.mlmodelc");
        report("loaded");

        auto audio = coreml::MLMultiArray::make({coreml::whisper::kWindowSamples}, DT::float32);
        for (int i = 0; i < coreml::whisper::kWindowSamples; ++i)
            audio->data<float>()[i] = 0.1f * std::sin(0.01f * static_cast<float>(i));
        auto features = run(*mel, {{"audio", audio}}, "melspectrogram_features");
        auto embeddings = run(*encoder, {{"melspectrogram_features", features}}, "encoder_output_embeds");
        report("encoded");

        const auto& inputs = decoder->modelDescription().inputDescriptionsByName;
        const auto cacheShape = inputs.at("key_cache").multiArrayConstraint->shape;
        const int64_t S = cacheShape[3];
        auto keys = coreml::MLMultiArray::make(cacheShape, DT::float16);
        auto values = coreml::MLMultiArray::make(cacheShape, DT::float16);
        auto mask = coreml::MLMultiArray::make({1, S}, DT::float16);
        auto update = coreml::MLMultiArray::make({1, S}, DT::int32);
        auto ids = coreml::MLMultiArray::make({1}, DT::int32), length = coreml::MLMultiArray::make({1}, DT::int32);
        // The first step also sets up the cross-attention for this encoder output.
        for (int t = 0; t < steps && t < S; ++t) {
            ids->data<int32_t>()[0] = 50258 + t;
            length->data<int32_t>()[0] = t;
            run(*decoder,
                {{"input_ids", ids}, {"cache_length", length}, {"key_cache", keys}, {"value_cache", values},
                 {"kv_cache_update_mask", update}, {"encoder_output_embeds", embeddings},
                 {"decoder_key_padding_mask", mask}},
                "logits");
            if (t == 0) report("cross-attention + 1 step");
        }
        report(("after " + std::to_string(steps) + " steps").c_str());
        std::printf("peak_RSS_MB %.1f (%s, %d threads)\n", peakMB(), size->name, threads);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "WhisperMemoryBench: %s\n", e.what());
        status = 1;
    }
    if (temporary) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    return status;
}

// Audio front-end benchmarks. Loading: a 10-minute 44.1 kHz stereo recording (the shared speech
// sample repeated) as WAV and MP3, to 16 kHz mono samples, beside the ffmpeg command line doing the
// same conversion on the same file. Chunking: one hour of audio cut by voice activity.
//
// The files are made at start with the ffmpeg binary, which is needed only here.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Lexiphonic/Core/Audio/AudioChunker.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"

namespace fs = std::filesystem;
using namespace lexiphonic;

namespace {

const char* kSource = QUORVEL_SHARED_DATA "/jfk.wav";
constexpr double kSeconds = 600;

struct Files {
    fs::path folder;
    fs::path wav;
    fs::path mp3;
    bool ready = false;

    Files() {
        folder = fs::temp_directory_path() / ("audio-bench-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        wav = folder / "ten-minutes.wav";
        mp3 = folder / "ten-minutes.mp3";
        if (!fs::exists(kSource) || std::system("command -v ffmpeg > /dev/null") != 0) return;
        const std::string make = "ffmpeg -v error -y -stream_loop -1 -i '" + std::string(kSource) +
                                 "' -t 600 -ar 44100 -ac 2 -c:a pcm_s16le '" + wav.string() + "' && ffmpeg -v error -y -i '" +
                                 wav.string() + "' -b:a 192k '" + mp3.string() + "'";
        ready = std::system(make.c_str()) == 0;
    }
    ~Files() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

Files& files() {
    static Files f;
    return f;
}

void loadFile(benchmark::State& state, const fs::path& path) {
    if (!files().ready) {
        state.SkipWithError("needs jfk.wav and the ffmpeg binary");
        return;
    }
    size_t samples = 0;
    for (auto _ : state) {
        auto audio = AudioProcessor::loadAudioAsFloatArray(path.string());
        samples = audio.size();
        benchmark::DoNotOptimize(audio.data());
    }
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["xRealTime"] = benchmark::Counter(kSeconds * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void ffmpegCommand(benchmark::State& state, const fs::path& path) {
    if (!files().ready) {
        state.SkipWithError("needs jfk.wav and the ffmpeg binary");
        return;
    }
    const std::string command = "ffmpeg -v error -i '" + path.string() + "' -ar 16000 -ac 1 -f f32le - > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    }
    state.counters["xRealTime"] = benchmark::Counter(kSeconds * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void BM_LoadWav(benchmark::State& state) { loadFile(state, files().wav); }
void BM_FfmpegWav(benchmark::State& state) { ffmpegCommand(state, files().wav); }
void BM_LoadMp3(benchmark::State& state) { loadFile(state, files().mp3); }
void BM_FfmpegMp3(benchmark::State& state) { ffmpegCommand(state, files().mp3); }

void BM_ChunkOneHour(benchmark::State& state) {
    if (!fs::exists(kSource)) {
        state.SkipWithError("needs jfk.wav");
        return;
    }
    // Speech with its natural pauses, repeated to an hour.
    const auto speech = AudioProcessor::loadAudioAsFloatArray(kSource);
    std::vector<float> hour;
    hour.reserve(3600 * 16000);
    while (hour.size() < 3600 * 16000) hour.insert(hour.end(), speech.begin(), speech.end());
    hour.resize(3600 * 16000);
    VADAudioChunker chunker;
    size_t chunks = 0;
    for (auto _ : state) {
        auto result = chunker.chunkAll(hour, 480000, std::nullopt);
        chunks = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["chunks"] = static_cast<double>(chunks);
}

}  // namespace

BENCHMARK(BM_LoadWav)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_FfmpegWav)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_LoadMp3)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_FfmpegMp3)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ChunkOneHour)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

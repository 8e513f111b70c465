// Speed of the Whisper architectures with random weights at the published model sizes: mel time per
// window, encoder time per window (with achieved GFLOP/s next to the best sgemm throughput measured
// on the encoder's shapes: our widest path or OpenBLAS, whichever is faster) and decoder time per
// token, each at 8 and at 2 threads. sgemm/<path> shows each product path this CPU runs, and
// sgemm/<path>/f16 the encoder's paths with the weights in half precision, as the encoder reads them;
// sgemm/avx512/fmaPeak the one-core multiply-add ceiling they are measured against.
//
// The .../busy:N lines run the encoder (on each of its paths) and the decoder step beside N plain
// spinning processes (nice 0, started for the line and killed after it): a desktop busy with other
// work. A fair share of the cores makes those lines about 2x the idle ones with N = 8 on 8 CPUs, a
// little more on a virtual machine whose CPUs share the host's cores in pairs (there one spinner
// beside a single encoder thread, with cores to spare, already slows it by half).
//
// Run: WhisperBenchmarks [--benchmark_filter=...]; large-v3-turbo needs about 4 GB of memory.
//   decoder step, idle and busy:  WhisperBenchmarks --benchmark_filter='decoderStep/base'
//   encoder, idle and busy:       WhisperBenchmarks --benchmark_filter='encoder/base/threads:[0-9]+(/busy:[0-9]+)?/min'
//   start and join of a loop:     WhisperBenchmarks --benchmark_filter='emptyLoop'
// WHISPER_BENCH_THREADS="8,2" (the default) picks the thread counts, WHISPER_BENCH_BUSY="8" (the
// default; 0 leaves the busy lines out) the number of spinning processes. Check /proc/loadavg first:
// the idle lines mean something only on an otherwise idle machine.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <immintrin.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BusyProcesses.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/CoreML/Whisper/TextDecoderModel.hpp"
#include "WhisperSizes.hpp"

namespace {

using namespace coreml::whisper;

using whisperbench::Size;
using whisperbench::sizes;

// Resident memory of the process, in bytes.
size_t residentBytes() {
    std::ifstream f("/proc/self/statm");
    size_t pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * 4096;
}

// A model held in memory the way a loaded model folder holds it: F16 tensors behind a lookup.
struct LoadedModel {
    WhisperModelConfig config;
    std::map<std::string, std::vector<uint16_t>> halves;
    std::vector<float> filters;
    std::unique_ptr<MelSpectrogramModel> mel;
    std::unique_ptr<AudioEncoderModel> encoder, reducedEncoder;
    std::unique_ptr<TextDecoderModel> decoder;
    size_t residentAfterLoad = 0;
    TensorLookup encoderLookup;

    // The encoder on a given path; the reduced-precision one is made on first use.
    const AudioEncoderModel& encoderOn(GemmPath path) {
        if (path == encoder->productPath()) return *encoder;
        if (!reducedEncoder || reducedEncoder->productPath() != path)
            reducedEncoder = std::make_unique<AudioEncoderModel>(
                EncoderDimensions{config.melCount, config.width, config.encoderHeads, config.encoderLayers},
                encoderLookup, path);
        return *reducedEncoder;
    }

    explicit LoadedModel(const WhisperModelConfig& c) : config(c) {
        auto source = randomWeights(c, 42);
        for (const auto& [name, shape] : whisperTensorShapes(c)) {
            auto values = source(name, shape);
            std::vector<uint16_t> h(values.size());
            floatToHalf(values.data(), h.data(), values.size());
            halves.emplace(name, std::move(h));
        }
        filters = melFilterbank(c.melCount);
        auto lookup = [this](const std::string& prefix) {
            return [this, prefix](const std::string& name) {
                TensorView v;
                if (name == "mel_filters") {
                    v.data = filters.data();
                    v.type = StoredType::float32;
                    v.shape = {config.melCount, kFrequencyBins};
                    return v;
                }
                for (const auto& [full, shape] : whisperTensorShapes(config))
                    if (full == prefix + name) {
                        v.data = halves.at(full).data();
                        v.type = StoredType::float16;
                        v.shape = shape;
                        return v;
                    }
                throw WhisperModelError("no tensor " + name);
            };
        };
        mel = std::make_unique<MelSpectrogramModel>(c.melCount, lookup(""));
        encoderLookup = lookup("encoder.");
        encoder = std::make_unique<AudioEncoderModel>(
            EncoderDimensions{c.melCount, c.width, c.encoderHeads, c.encoderLayers}, encoderLookup);
        DecoderDimensions dd;
        dd.width = c.width;
        dd.heads = c.decoderHeads;
        dd.layers = c.decoderLayers;
        dd.vocabularySize = c.vocabularySize;
        dd.maxPositions = c.maxTargetPositions;
        dd.cacheLength = c.cacheLength;
        decoder = std::make_unique<TextDecoderModel>(dd, lookup("decoder."), c.alignmentHeads);
        residentAfterLoad = residentBytes();
    }
};

LoadedModel& model(const Size& s) {
    static std::map<std::string, std::unique_ptr<LoadedModel>> cache;
    auto& slot = cache[s.name];
    if (!slot) {
        cache.clear();  // one large model at a time keeps the memory figures honest
        auto& fresh = cache[s.name];
        fresh = std::make_unique<LoadedModel>(s.config);
        return *fresh;
    }
    return *slot;
}

double encoderFlops(const WhisperModelConfig& c) {
    const double d = c.width, T = 1500, m = c.melCount;
    double perLayer = 2 * T * d * 3 * d + 2 * 2 * T * T * d + 2 * T * d * d + 2 * 2 * T * d * 4 * d;
    return 2 * 3000 * d * 3 * m + 2 * T * d * 3 * d + c.encoderLayers * perLayer;
}

// The encoder's MLP products (1500 x d by d x 4d, then 1500 x 4d by 4d x d) on one of our paths,
// with the weights in single precision or, as the encoder reads them, in half precision.
void sgemm(benchmark::State& state, int threads, int d, GemmPath path, bool halfWeights) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    const size_t M = 1500, K = d, N = 4 * d;
    std::vector<float> a(M * K, 0.5f), b(N * K, 0.25f), b2(K * N, 0.125f), c(M * N);
    std::vector<uint16_t> bh(N * K, floatToHalf(0.25f)), b2h(K * N, floatToHalf(0.125f));
    for (auto _ : state) {
        if (halfWeights) {
            matmulTransBOnPath(path, a.data(), K, bh.data(), K, c.data(), N, M, N, K, 1.0f, 0.0f);
            matmulTransBOnPath(path, c.data(), N, b2h.data(), N, a.data(), K, M, K, N, 1.0f, 0.0f);
        } else {
            matmulTransBOnPath(path, a.data(), K, b.data(), K, c.data(), N, M, N, K, 1.0f, 0.0f);
            matmulTransBOnPath(path, c.data(), N, b2.data(), N, a.data(), K, M, K, N, 1.0f, 0.0f);
        }
        benchmark::DoNotOptimize(a.data());
    }
    state.counters["GFLOP/s"] = benchmark::Counter(4.0 * M * N * K * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// The ceiling for the lines above: AVX-512 multiply-adds from registers only, 24 independent chains
// (as many as the micro-kernel's accumulators), on the calling thread. Measured in the same run as
// the products, so a busy machine lowers both alike.
__attribute__((target("avx512f"), noinline)) float fmaChains(size_t steps, float scale) {
    __m512 acc[24];
    for (int i = 0; i < 24; ++i) acc[i] = _mm512_set1_ps(scale * static_cast<float>(i));
    const __m512 a = _mm512_set1_ps(1.0f - scale), b = _mm512_set1_ps(scale);
    for (size_t s = 0; s < steps; ++s) {
#pragma GCC unroll 24
        for (int i = 0; i < 24; ++i) acc[i] = _mm512_fmadd_ps(a, acc[i], b);
    }
    for (int i = 1; i < 24; ++i) acc[0] = _mm512_add_ps(acc[0], acc[i]);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, acc[0]);
    return lanes[0] + lanes[15];
}

void fmaPeak(benchmark::State& state) {
    const size_t steps = 1 << 20;
    volatile float scale = 1e-7f;  // unknown to the compiler, so the chains are not folded
    for (auto _ : state) benchmark::DoNotOptimize(fmaChains(steps, scale));
    state.counters["GFLOP/s"] =
        benchmark::Counter(steps * 24.0 * 32 * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// The same products by OpenBLAS with its own threads and the kernels it picked for this CPU (named
// in the label; OPENBLAS_CORETYPE=SkylakeX or Haswell forces others for comparison).
void openblasSgemm(const float* a, const float* b, const float* b2, float* c, float* a2, int d) {
    const blasint M = 1500, K = d, N = 4 * d;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, a, K, b, K, 0.0f, c, N);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, K, N, 1.0f, c, N, b2, N, 0.0f, a2, K);
}

void sgemmOpenblas(benchmark::State& state, int threads, int d) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    const size_t M = 1500, K = d, N = 4 * d;
    std::vector<float> a(M * K, 0.5f), b(N * K, 0.25f), b2(K * N, 0.125f), c(M * N), a2(M * K);
    for (auto _ : state) {
        openblasSgemm(a.data(), b.data(), b2.data(), c.data(), a2.data(), d);
        benchmark::DoNotOptimize(a2.data());
    }
    state.counters["GFLOP/s"] = benchmark::Counter(4.0 * M * N * K * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(openblas_get_corename());
}

// The decoder's dominant product, the logits over the whole vocabulary: memory-bound, so this shows
// the bandwidth a decoder step can draw on.
void logitsGemv(benchmark::State& state, int threads, int d) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    const size_t V = 51865;
    std::vector<uint16_t> w(V * d, floatToHalf(0.01f));
    std::vector<float> x(d, 1.0f), y(V);
    for (auto _ : state) {
        gemvHalf(w.data(), x.data(), nullptr, y.data(), V, d);
        benchmark::DoNotOptimize(y.data());
    }
    state.counters["GB/s"] = benchmark::Counter(V * d * 2.0 * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// One empty loop over the kernel threads, as a decoder step issues them back to back: the cost of
// starting and joining a loop.
void emptyLoop(benchmark::State& state, int threads) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    std::vector<float> sink(64 * 16);
    for (auto _ : state)
        parallelFor(static_cast<size_t>(threads), 1, [&](size_t b, size_t) { sink[b * 16] += 1.0f; }, true);
    benchmark::DoNotOptimize(sink.data());
}

void melBench(benchmark::State& state, int threads, Size s) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = model(s);
    std::vector<float> audio(kWindowSamples);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.1f * static_cast<float>((i * 7919) % 1000) / 1000.0f;
    std::vector<uint16_t> out(static_cast<size_t>(s.config.melCount) * kMelFrames);
    for (auto _ : state) m.mel->compute(audio.data(), out.data());
}

// The best sgemm throughput this machine reaches on the encoder's MLP shapes at the current thread
// count: our widest path or OpenBLAS with whatever kernels it picked, whichever is faster, best of a
// few runs of each, measured in the same run as the encoder so both see the same load.
double measuredSgemmGflops(int d) {
    const size_t M = 1500, K = d, N = 4 * d;
    std::vector<float> a(M * K, 0.5f), b(N * K, 0.25f), b2(K * N, 0.125f), c(M * N), a2(M * K);
    double best = 0;
    for (int rep = 0; rep < 4; ++rep)
        for (bool ours : {true, false}) {
            auto start = std::chrono::steady_clock::now();
            if (ours) {
                matmulTransB(a.data(), K, b.data(), K, c.data(), N, M, N, K, 1.0f, 0.0f);
                matmulTransB(c.data(), N, b2.data(), N, a2.data(), K, M, K, N, 1.0f, 0.0f);
            } else {
                openblasSgemm(a.data(), b.data(), b2.data(), c.data(), a2.data(), d);
            }
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best = std::max(best, 4.0 * M * N * K * 1e-9 / seconds);
        }
    return best;
}

void encoderBench(benchmark::State& state, int threads, Size s, GemmPath path, int busy) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = model(s);
    const AudioEncoderModel& encoder = m.encoderOn(path);
    const double sgemm = measuredSgemmGflops(s.config.width);
    std::vector<uint16_t> mel(static_cast<size_t>(s.config.melCount) * kMelFrames, floatToHalf(0.3f));
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = floatToHalf(static_cast<float>(i % 17) / 17.0f - 0.5f);
    std::vector<uint16_t> out(static_cast<size_t>(s.config.width) * kEncoderFrames);
    BusyProcesses others(busy);
    double seconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        encoder.encode(mel.data(), out.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double achieved = encoderFlops(s.config) * 1e-9 * static_cast<double>(state.iterations()) / seconds;
    state.counters["GFLOP/s"] = benchmark::Counter(encoderFlops(s.config) * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["GFLOP"] = encoderFlops(s.config) * 1e-9;
    state.counters["sgemm_GFLOP/s"] = sgemm;
    // Achieved throughput as a fraction of the best sgemm figure (the target is at least 0.7).
    state.counters["of_sgemm"] = achieved / sgemm;
    state.counters["RSS_MB"] = static_cast<double>(residentBytes()) / 1e6;
}

float readSum(const char* p, size_t bytes);

// The machine's sustained read bandwidth at the current thread count: one pass, spread over the kernel
// threads, over a buffer several times larger than any cache the machine reports, allocated and
// touched once per process (a fresh buffer per measurement timed page faults and first touches).
// This machine's bandwidth drifts by a factor of two or more within minutes (it shares the host's
// memory), so the decoder benchmark measures it between its steps rather than once beforehand.
class ReadProbe {
public:
    ReadProbe() : buffer_(static_cast<char*>(std::aligned_alloc(64, kBytes))) {
        parallelFor(kBlocks, 1, [&](size_t b, size_t e) { std::memset(buffer_ + b * kBlockBytes, 1, (e - b) * kBlockBytes); });
        measure();  // the first pass after the pages are made runs slower than any later one
    }
    ~ReadProbe() { std::free(buffer_); }

    // Bytes per second of one pass.
    double measure() {
        const auto start = std::chrono::steady_clock::now();
        parallelFor(kBlocks, 1, [&](size_t b, size_t e) {
            for (size_t block = b; block < e; ++block) sinks_[block] = readSum(buffer_ + block * kBlockBytes, kBlockBytes);
        }, true);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(sinks_.data());
        return static_cast<double>(kBytes) / seconds;
    }

private:
    static constexpr size_t kBytes = size_t(1) << 30, kBlocks = 1024, kBlockBytes = kBytes / kBlocks;
    char* buffer_;
    std::vector<float> sinks_ = std::vector<float>(kBlocks);
};

ReadProbe& readProbe() {
    static ReadProbe probe;
    return probe;
}

// Sums `bytes` of p (a multiple of 128).
float readSum(const char* p, size_t bytes) {
    const float* f = reinterpret_cast<const float*>(p);
    __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (size_t i = 0; i < bytes / sizeof(float); i += 32) {
        s0 = _mm256_add_ps(s0, _mm256_load_ps(f + i));
        s1 = _mm256_add_ps(s1, _mm256_load_ps(f + i + 8));
        s2 = _mm256_add_ps(s2, _mm256_load_ps(f + i + 16));
        s3 = _mm256_add_ps(s3, _mm256_load_ps(f + i + 24));
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, _mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
    return lanes[0];
}

// Keeps every thread of the process (the kernel threads included) on `threads` CPUs, or on all of
// them when `threads` is the CPU count. On a virtual machine two CPUs may be one core of the host:
// two threads there read about as fast as one (here 39 GB/s against 52-65 on two cores), and where
// the system put a line's threads decided its bandwidth from run to run. So a line with fewer
// threads than CPUs runs on CPUs picked once by measurement: the pair that reads fastest together,
// then each CPU whose slowest pairing with those already picked is fastest.
void placeThreads(int threads) {
    const int cpus = static_cast<int>(std::thread::hardware_concurrency());
    static std::vector<std::vector<double>> pairRates;
    std::vector<int> chosen;
    if (threads >= cpus) {
        for (int c = 0; c < cpus; ++c) chosen.push_back(c);
    } else {
        if (pairRates.empty()) {
            const size_t bytes = size_t(1) << 28;
            auto* buffer = static_cast<char*>(std::aligned_alloc(64, bytes));
            std::memset(buffer, 1, bytes);
            pairRates.assign(cpus, std::vector<double>(cpus, 0.0));
            for (int rep = 0; rep < 2; ++rep)
                for (int a = 0; a < cpus; ++a)
                    for (int b = a + 1; b < cpus; ++b) {
                        const auto start = std::chrono::steady_clock::now();
                        std::vector<std::thread> pair;
                        for (int cpu : {a, b})
                            pair.emplace_back([&, cpu] {
                                cpu_set_t set;
                                CPU_ZERO(&set);
                                CPU_SET(cpu, &set);
                                pthread_setaffinity_np(pthread_self(), sizeof set, &set);
                                benchmark::DoNotOptimize(readSum(buffer + (cpu == a ? 0 : bytes / 2), bytes / 2));
                            });
                        for (auto& t : pair) t.join();
                        const double rate =
                            bytes / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                        pairRates[a][b] = pairRates[b][a] = std::max(pairRates[a][b], rate);
                    }
            std::free(buffer);
        }
        while (static_cast<int>(chosen.size()) < std::max(threads, 2)) {
            int best = -1;
            double bestRate = -1;
            for (int c = 0; c < cpus; ++c) {
                if (std::find(chosen.begin(), chosen.end(), c) != chosen.end()) continue;
                double worst = 1e300;
                for (int o : chosen) worst = std::min(worst, pairRates[c][o]);
                if (chosen.empty()) {
                    worst = 0;
                    for (int o = 0; o < cpus; ++o) worst = std::max(worst, pairRates[c][o]);
                }
                if (worst > bestRate) bestRate = worst, best = c;
            }
            chosen.push_back(best);
        }
        chosen.resize(static_cast<size_t>(threads));
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : chosen) CPU_SET(c, &set);
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        sched_setaffinity(std::atoi(task.path().filename().c_str()), sizeof set, &set);
}

// The bytes a decoder step at position t reads: every weight matrix of the layers, the embedding
// (for the logits, and one row for the input), the self-attention caches up to t and the
// cross-attention keys and values.
double decoderStepBytes(const WhisperModelConfig& c, size_t t) {
    const double d = c.width, L = c.decoderLayers, half = 2;
    const double layerWeights = (4 * d * d + 2 * d * d + 8 * d * d) * half;  // self q k v o, cross q o, fc1, fc2
    const double embedding = static_cast<double>(c.vocabularySize) * d * half;
    const double selfCaches = 2 * L * d * static_cast<double>(t) * half;
    const double cross = 2 * L * kEncoderFrames * d * half;
    return L * layerWeights + embedding + selfCaches + cross;
}

void decoderBench(benchmark::State& state, int threads, Size s, int busy) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = model(s);
    const auto& c = s.config;
    ReadProbe& probe = readProbe();
    placeThreads(threads);
    const size_t E = static_cast<size_t>(c.decoderLayers) * c.width, S = c.cacheLength;
    std::vector<uint16_t> enc(static_cast<size_t>(c.width) * kEncoderFrames);
    for (size_t i = 0; i < enc.size(); ++i) enc[i] = floatToHalf(static_cast<float>(i % 13) / 13.0f - 0.5f);
    auto cross = m.decoder->crossAttention(enc.data());
    std::vector<uint16_t> keys(E * S, floatToHalf(0.1f)), values(E * S, floatToHalf(-0.1f)), mask(S, 0);
    std::vector<uint16_t> logits(c.vocabularySize), ku(E), vu(E), align(kEncoderFrames);
    DecoderStepInput in;
    in.keyCache = keys.data();
    in.valueCache = values.data();
    in.paddingMask = mask.data();
    DecoderStepOutput out{logits.data(), ku.data(), vu.data(), align.data()};
    if (busy > 0) {
        // Beside spinning processes the bandwidth passes would measure the contention, not the
        // memory: these lines give the step time only, to set beside the idle line's.
        BusyProcesses others(busy);
        int t = 0;
        for (auto _ : state) {
            in.position = t;
            in.token = 50364 + t;
            const auto start = std::chrono::steady_clock::now();
            m.decoder->step(in, *cross, out);
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            t = (t + 1) % 100;
        }
        placeThreads(static_cast<int>(std::thread::hardware_concurrency()));
        return;
    }
    // Steps run in batches of about 20 ms with a bandwidth pass before and after each; a batch's
    // floor is its bytes at the better of those two figures, so a drift of the machine's bandwidth
    // moves the step time and its floor together.
    int t = 0;
    double bytes = 0, stepSeconds = 0, floorSeconds = 0, batchBytes = 0, batchSeconds = 0;
    double before = probe.measure();
    auto closeBatch = [&] {
        const double after = probe.measure();
        floorSeconds += batchBytes / std::max(before, after);
        before = after;
        batchBytes = batchSeconds = 0;
    };
    for (auto _ : state) {
        // A typical window: positions cycle through the first 100 of the cache.
        in.position = t;
        in.token = 50364 + t;
        const auto start = std::chrono::steady_clock::now();
        m.decoder->step(in, *cross, out);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        const double stepBytes = decoderStepBytes(c, static_cast<size_t>(t));
        bytes += stepBytes;
        batchBytes += stepBytes;
        stepSeconds += seconds;
        batchSeconds += seconds;
        t = (t + 1) % 100;
        if (batchSeconds >= 0.02) {
            state.PauseTiming();
            closeBatch();
            state.ResumeTiming();
        }
    }
    if (batchBytes > 0) closeBatch();
    const double n = static_cast<double>(state.iterations());
    state.counters["MB"] = bytes / n / 1e6;
    state.counters["GB/s_machine"] = bytes / floorSeconds / 1e9;
    state.counters["floor_us"] = 1e6 * floorSeconds / n;
    // Step time over the time the bytes take at the machine's bandwidth (the target is at most 1.3).
    state.counters["of_floor"] = stepSeconds / floorSeconds;
    state.counters["RSS_MB"] = static_cast<double>(residentBytes()) / 1e6;
    state.counters["load_RSS_MB"] = static_cast<double>(m.residentAfterLoad) / 1e6;
    placeThreads(static_cast<int>(std::thread::hardware_concurrency()));  // the other benchmarks run anywhere
}

void crossBench(benchmark::State& state, int threads, Size s) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = model(s);
    std::vector<uint16_t> enc(static_cast<size_t>(s.config.width) * kEncoderFrames, floatToHalf(0.2f));
    for (auto _ : state) benchmark::DoNotOptimize(m.decoder->crossAttention(enc.data()));
}

// A model folder on disk (a converted checkpoint, or one from lexiphonic-make-test-model), through
// the runtime's public API: load, one window, decoder steps, and the resident memory once loaded.
struct FolderModels {
    std::shared_ptr<coreml::MLModel> mel, encoder, decoder;
    size_t residentBefore = 0, residentAfterLoad = 0;
    std::shared_ptr<coreml::MLMultiArray> features, embeddings;
};

FolderModels& folderModels(const std::string& folder) {
    static std::unique_ptr<FolderModels> models;
    if (!models) {
        models = std::make_unique<FolderModels>();
        models->residentBefore = residentBytes();
        models->mel = coreml::MLModel::load(std::filesystem::path(folder) / "MelSpectrogram.mlmodelc");
        models->encoder = coreml::MLModel::load(std::filesystem::path(folder) / "AudioEncoder.mlmodelc");
        models->decoder = coreml::MLModel::load(std::filesystem::path(folder) / "TextDecoder.mlmodelc");
        models->residentAfterLoad = residentBytes();
    }
    return *models;
}

using Arrays = std::map<std::string, std::shared_ptr<coreml::MLMultiArray>>;

std::shared_ptr<coreml::MLMultiArray> run(const coreml::MLModel& model, const Arrays& inputs, const std::string& output) {
    auto out = model.prediction(coreml::MLDictionaryFeatureProvider(inputs));
    return out->featureValue(output)->multiArrayValue();
}

void folderWindow(benchmark::State& state, int threads, std::string folder) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = folderModels(folder);
    auto audio = coreml::MLMultiArray::make({kWindowSamples}, coreml::MLMultiArrayDataType::float32);
    for (int i = 0; i < kWindowSamples; ++i) audio->data<float>()[i] = 0.1f * std::sin(0.01f * static_cast<float>(i));
    double melSeconds = 0, encoderSeconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        m.features = run(*m.mel, {{"audio", audio}}, "melspectrogram_features");
        auto t1 = std::chrono::steady_clock::now();
        m.embeddings = run(*m.encoder, {{"melspectrogram_features", m.features}}, "encoder_output_embeds");
        auto t2 = std::chrono::steady_clock::now();
        melSeconds += std::chrono::duration<double>(t1 - t0).count();
        encoderSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["mel_ms"] = 1e3 * melSeconds / n;
    state.counters["encoder_ms"] = 1e3 * encoderSeconds / n;
    state.counters["load_RSS_MB"] = static_cast<double>(m.residentAfterLoad - m.residentBefore) / 1e6;
    state.counters["RSS_MB"] = static_cast<double>(residentBytes()) / 1e6;
}

void folderDecoderStep(benchmark::State& state, int threads, std::string folder) {
    openblas_set_num_threads(threads);
    coreml::whisper::setKernelThreadCount(threads);
    auto& m = folderModels(folder);
    if (!m.embeddings) {
        state.SkipWithError("run folder/window first");
        return;
    }
    const auto& inputs = m.decoder->modelDescription().inputDescriptionsByName;
    const auto cacheShape = inputs.at("key_cache").multiArrayConstraint->shape;
    const int64_t S = cacheShape[3];
    using DT = coreml::MLMultiArrayDataType;
    auto keys = coreml::MLMultiArray::make(cacheShape, DT::float16), values = coreml::MLMultiArray::make(cacheShape, DT::float16);
    auto mask = coreml::MLMultiArray::make({1, S}, DT::float16), update = coreml::MLMultiArray::make({1, S}, DT::int32);
    auto ids = coreml::MLMultiArray::make({1}, DT::int32), length = coreml::MLMultiArray::make({1}, DT::int32);
    int t = 0;
    for (auto _ : state) {
        ids->data<int32_t>()[0] = 50258;
        length->data<int32_t>()[0] = t;
        run(*m.decoder,
            {{"input_ids", ids}, {"cache_length", length}, {"key_cache", keys}, {"value_cache", values},
             {"kv_cache_update_mask", update}, {"encoder_output_embeds", m.embeddings}, {"decoder_key_padding_mask", mask}},
            "logits");
        t = (t + 1) % 100;
    }
    state.counters["RSS_MB"] = static_cast<double>(residentBytes()) / 1e6;
}

std::string busySuffix(int busy) { return busy > 0 ? "/busy:" + std::to_string(busy) : ""; }

}  // namespace

int main(int argc, char** argv) {
    // WHISPER_BENCH_THREADS="8,2" (the default) picks the thread counts to measure.
    std::vector<int> threadCounts;
    if (const char* env = std::getenv("WHISPER_BENCH_THREADS")) {
        std::string list = env;
        size_t pos = 0;
        while (pos < list.size()) {
            size_t comma = list.find(',', pos);
            if (comma == std::string::npos) comma = list.size();
            int n = std::atoi(list.substr(pos, comma - pos).c_str());
            if (n > 0) threadCounts.push_back(n);
            pos = comma + 1;
        }
    }
    if (threadCounts.empty()) threadCounts = {8, 2};
    const char* busyEnv = std::getenv("WHISPER_BENCH_BUSY");
    const int busy = busyEnv ? std::max(0, std::atoi(busyEnv)) : 8;
    std::vector<int> busyCounts = {0};
    if (busy > 0) busyCounts.push_back(busy);
    const auto& paths = supportedGemmPaths();
    if (std::find(paths.begin(), paths.end(), GemmPath::avx512) != paths.end())
        benchmark::RegisterBenchmark("sgemm/avx512/fmaPeak/threads:1", fmaPeak)->Unit(benchmark::kMillisecond)->UseRealTime();
    for (int threads : threadCounts) {
        for (int d : {384, 512, 768, 1280}) {
            const std::string suffix = "/d" + std::to_string(d) + "/threads:" + std::to_string(threads);
            for (GemmPath path : supportedGemmPaths())
                benchmark::RegisterBenchmark(("sgemm/" + std::string(gemmPathName(path)) + suffix).c_str(), sgemm,
                                             threads, d, path, false)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            // F16 weights on the paths the encoder runs.
            for (GemmPath path : {bestGemmPath(), reducedPrecisionGemmPath()}) {
                benchmark::RegisterBenchmark(("sgemm/" + std::string(gemmPathName(path)) + "/f16" + suffix).c_str(),
                                             sgemm, threads, d, path, true)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
                if (path == reducedPrecisionGemmPath()) break;
            }
            benchmark::RegisterBenchmark(("sgemm/openblas" + suffix).c_str(), sgemmOpenblas, threads, d)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    // WHISPER_BENCH_FOLDER=<model folder> measures that folder only, through the runtime's API.
    if (const char* folder = std::getenv("WHISPER_BENCH_FOLDER")) {
        for (int threads : threadCounts) {
            std::string suffix = "/threads:" + std::to_string(threads);
            benchmark::RegisterBenchmark(("folder/window" + suffix).c_str(), folderWindow, threads, std::string(folder))
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(2.0);
            benchmark::RegisterBenchmark(("folder/decoderStep" + suffix).c_str(), folderDecoderStep, threads,
                                         std::string(folder))
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }
    for (int threads : threadCounts)
        benchmark::RegisterBenchmark(("emptyLoop/threads:" + std::to_string(threads)).c_str(), emptyLoop, threads)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    for (int threads : threadCounts)
        for (int d : {512, 1280})
            benchmark::RegisterBenchmark(("logitsGemv/d" + std::to_string(d) + "/threads:" + std::to_string(threads)).c_str(),
                                         logitsGemv, threads, d)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
    for (const Size& s : sizes()) {
        for (int threads : threadCounts) {
            std::string suffix = std::string(s.name) + "/threads:" + std::to_string(threads);
            benchmark::RegisterBenchmark(("mel/" + suffix).c_str(), melBench, threads, s)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            for (int others : busyCounts)
                benchmark::RegisterBenchmark(("encoder/" + suffix + busySuffix(others)).c_str(), encoderBench, threads,
                                             s, bestGemmPath(), others)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(2.0);
            // The encoder as .all / .cpuAndNeuralEngine models run it, where the CPU has a reduced-precision path.
            if (isReducedPrecision(reducedPrecisionGemmPath()))
                for (int others : busyCounts)
                    benchmark::RegisterBenchmark(("encoder/" + suffix + "/" + gemmPathName(reducedPrecisionGemmPath()) +
                                                  busySuffix(others)).c_str(),
                                                 encoderBench, threads, s, reducedPrecisionGemmPath(), others)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime()
                        ->MinTime(2.0);
            benchmark::RegisterBenchmark(("crossAttentionSetup/" + suffix).c_str(), crossBench, threads, s)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            for (int others : busyCounts)
                benchmark::RegisterBenchmark(("decoderStep/" + suffix + busySuffix(others)).c_str(), decoderBench,
                                             threads, s, others)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseManualTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#pragma once
// A small fork-join loop for the Whisper kernels. The caller always takes part in its own loop, so a
// loop started from a pool thread (or from several predictions at once) never waits on work that
// nobody runs.
#include <cstddef>
#include <utility>

namespace coreml::whisper {

// How many threads the kernels spread over: follows OpenBLAS's own setting, so one knob
// (OPENBLAS_NUM_THREADS / openblas_set_num_threads) governs the whole computation.
int kernelThreadCount();

// While one is alive, OpenBLAS runs single-threaded and the kernels' own threads call it on blocks
// of each product (see matmulTransB), so only one set of threads competes for the cores: OpenBLAS's
// idle threads otherwise spin, yielding, for a long while after each of its products and take
// cycles from everything the kernels run in between. kernelThreadCount() keeps reporting the count
// set before. Scopes nest and may be held by several threads at once; the last one out restores
// OpenBLAS's count.
class KernelThreadsRunBlas {
public:
    KernelThreadsRunBlas();
    ~KernelThreadsRunBlas();
    KernelThreadsRunBlas(const KernelThreadsRunBlas&) = delete;
    KernelThreadsRunBlas& operator=(const KernelThreadsRunBlas&) = delete;
};

using RangeFunction = void (*)(void* context, size_t begin, size_t end);

// Runs fn over [0, count) in chunks of at least `grain` items, on up to kernelThreadCount() threads.
// With `moreSoon`, the helpers keep spinning for about two milliseconds afterwards: for loops that
// follow each other closely (a decoder step). Otherwise they sleep after a few tens of microseconds,
// leaving the cores to the encoder's OpenBLAS products. A loop started while another one holds the
// helpers runs on the calling thread alone.
void parallelForRaw(size_t count, size_t grain, RangeFunction fn, void* context, bool moreSoon = false);

template <class F>
void parallelFor(size_t count, size_t grain, F&& body, bool moreSoon = false) {
    using Body = std::remove_reference_t<F>;
    parallelForRaw(
        count, grain,
        [](void* ctx, size_t b, size_t e) { (*static_cast<Body*>(ctx))(b, e); },
        const_cast<void*>(static_cast<const void*>(&body)), moreSoon);
}

}  // namespace coreml::whisper

#pragma once
// A small fork-join loop for the Whisper kernels. The caller always takes part in its own loop, so a
// loop started from a pool thread (or from several predictions at once) never waits on work that
// nobody runs.
#include <cstddef>
#include <utility>

namespace coreml::whisper {

// How many threads the kernels spread over: the count set with setKernelThreadCount, or else the
// CPUs this process may run on (its affinity mask, so `taskset` narrows it).
int kernelThreadCount();
// Sets that count; zero or less goes back to the CPUs the process may run on.
void setKernelThreadCount(int threads);

using RangeFunction = void (*)(void* context, size_t begin, size_t end);

// What the loop after this one reads, as up to three runs of memory taken as one, in the order its
// items read them. Each thread fetches the start of its own share of it into L2 once its part of
// this loop is done: the next loop then starts on lines already arriving instead of on a cold miss
// per thread, and the bus works through the join and the serial steps between the loops.
struct NextReads {
    const void* base[3] = {nullptr, nullptr, nullptr};
    size_t bytes[3] = {0, 0, 0};
};

// Runs fn over [0, count) in chunks of at least `grain` items, on up to kernelThreadCount() threads.
// With `moreSoon`, the helpers keep spinning for about two milliseconds afterwards: for loops that
// follow each other closely (a decoder step). Otherwise they sleep after a few tens of microseconds,
// leaving the cores to other work; on a machine without a free core for each thread nothing spins
// more than about 200 microseconds. Each thread has a contiguous share of the items; one that finishes
// its share takes chunks left in the others', so a helper the system has not run yet delays nothing.
// A loop started while another one holds the helpers (or once the process is exiting) runs on the
// calling thread alone.
void parallelForRaw(size_t count, size_t grain, RangeFunction fn, void* context, bool moreSoon = false,
                    const NextReads* next = nullptr);

template <class F>
void parallelFor(size_t count, size_t grain, F&& body, bool moreSoon = false, const NextReads* next = nullptr) {
    using Body = std::remove_reference_t<F>;
    parallelForRaw(
        count, grain,
        [](void* ctx, size_t b, size_t e) { (*static_cast<Body*>(ctx))(b, e); },
        const_cast<void*>(static_cast<const void*>(&body)), moreSoon, next);
}

// Runs fn over [0, count) one item at a time, each thread taking the items of its own share first,
// then any of the others' not yet taken: for items that are each a sizeable piece of work (the
// tiles of a matrix product), so the threads finish together.
void parallelTasksRaw(size_t count, RangeFunction fn, void* context, const NextReads* next = nullptr);

template <class F>
void parallelTasks(size_t count, F&& body, const NextReads* next = nullptr) {
    using Body = std::remove_reference_t<F>;
    parallelTasksRaw(
        count, [](void* ctx, size_t b, size_t e) { (*static_cast<Body*>(ctx))(b, e); },
        const_cast<void*>(static_cast<const void*>(&body)), next);
}

}  // namespace coreml::whisper

// The process that holds the speech engine gives a dictation's large buffers back to the system when
// they are freed, instead of keeping their space resident for ever after.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "Quorvel/LexiphonicEngine.hpp"

namespace {

long residentAnonymousKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long kib = 0;
        if (key == "RssAnon:" && status >> kib) return kib;
    }
    return -1;
}

// A buffer of `bytes`, every page written, then freed, as a dictation's stages do.
void useAndFree(size_t bytes) {
    void* buffer = std::malloc(bytes);
    ASSERT_NE(buffer, nullptr);
    std::memset(buffer, 1, bytes);
    asm volatile("" : : "r"(buffer) : "memory");
    std::free(buffer);
}

TEST(EngineMemory, ALargeBufferFreedAfterALargerOneLeavesNothingResident) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not follow glibc's settings";
#endif
    quorvel::LexiphonicEngine engine("en-US", [](const std::string&) {},
                                     []() -> std::shared_ptr<lexiphonic::Lexiphonic> { throw std::runtime_error("unused"); });
    // One dictation's largest buffer, then a smaller one of the next: the smaller one's space must not
    // stay with the process once it is freed.
    useAndFree(24u << 20);
    const long before = residentAnonymousKiB();
    ASSERT_GE(before, 0);
    useAndFree(12u << 20);
    EXPECT_LT(residentAnonymousKiB() - before, 2048);
}

}  // namespace

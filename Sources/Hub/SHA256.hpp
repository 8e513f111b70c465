#pragma once
// A running SHA-256 digest (OpenSSL libcrypto), fed piece by piece so a file of any size is hashed
// without holding it.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace hub {

class SHA256 {
public:
    SHA256();
    ~SHA256();
    SHA256(const SHA256&) = delete;
    SHA256& operator=(const SHA256&) = delete;

    void update(std::string_view bytes);
    void update(const void* bytes, size_t count);
    // Starts over, as if nothing had been fed.
    void reset();
    // The digest of everything fed, as 64 lowercase hex digits; the value may not be fed afterwards.
    std::string hexDigest();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// A SHA-256 fed by one thread and computed on a thread of its own, so hashing a download overlaps receiving
// it instead of slowing it. The bytes are copied; at most `maximumPending` of them wait at a time (the feeder
// waits beyond that).
class BackgroundSHA256 {
public:
    explicit BackgroundSHA256(size_t maximumPending = 16u << 20);
    ~BackgroundSHA256();
    BackgroundSHA256(const BackgroundSHA256&) = delete;
    BackgroundSHA256& operator=(const BackgroundSHA256&) = delete;

    void update(std::string_view bytes);
    // Starts over, as if nothing had been fed.
    void reset();
    // The digest of everything fed, once it has all been hashed; the value may not be fed afterwards.
    std::string hexDigest();

private:
    static constexpr size_t blockSize = 1u << 20;
    void enqueueBlock();
    void drain();
    void run();

    const size_t maximumPending_;
    std::string block_;  // the feeder's bytes not handed over yet
    SHA256 digest_;      // touched by the worker, or by the feeder once drained
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    size_t pending_ = 0;
    bool hashing_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace hub

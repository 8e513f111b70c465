#pragma once
// A running SHA-256 digest (OpenSSL libcrypto), fed piece by piece so a file of any size is hashed
// without holding it.
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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
// it instead of slowing it. The bytes are copied into a small set of reused blocks (the one freed last is
// filled next, so the copy lands in memory that is still in cache); at most `maximumPending` bytes are held
// (two blocks at least), and the feeder waits when the hashing thread falls that far behind.
class BackgroundSHA256 {
public:
    static constexpr size_t blockSize = 256u << 10;

    explicit BackgroundSHA256(size_t maximumPending = 16u << 20);
    ~BackgroundSHA256();
    BackgroundSHA256(const BackgroundSHA256&) = delete;
    BackgroundSHA256& operator=(const BackgroundSHA256&) = delete;

    void update(std::string_view bytes);
    // Starts over, as if nothing had been fed; bytes still waiting are dropped unhashed.
    void reset();
    // The digest of everything fed, once it has all been hashed; the value may not be fed afterwards.
    std::string hexDigest();

private:
    struct Block {
        char* bytes;
        size_t size;
    };
    // Hands the full block over, if there is one, and takes an empty one to fill.
    void nextBlock();
    // Waits until every handed-over block is hashed.
    void drain();
    void run();

    const size_t maximumBlocks_;
    // A sleeping worker is woken once this many blocks wait (or the feeder needs it), not for every block.
    const size_t wakeBatch_;
    // The feeder's own: the block being filled and every block ever allocated.
    char* filling_ = nullptr;
    size_t filled_ = 0;
    std::vector<std::unique_ptr<char[]>> storage_;
    SHA256 digest_;  // touched by the worker, or by the feeder while the worker is idle and nothing waits

    std::mutex mutex_;
    std::condition_variable workerWake_;
    std::condition_variable feederWake_;
    std::vector<Block> queue_;  // a ring of maximumBlocks_ slots: the blocks waiting, oldest at queueHead_
    size_t queueHead_ = 0;
    size_t queued_ = 0;
    std::vector<char*> free_;  // hashed blocks, the most recent last
    bool hashing_ = false;
    bool workerAsleep_ = false;
    bool feederAsleep_ = false;
    bool stopping_ = false;
    std::thread worker_;  // started with the first full block
};

}  // namespace hub

#include "Hub/SHA256.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace hub {

struct SHA256::Context {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(context); }
};

SHA256::SHA256() : context_(std::make_unique<Context>()) {
    if (!context_->context) throw std::bad_alloc();
    reset();
}

SHA256::~SHA256() = default;

void SHA256::reset() { EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr); }

void SHA256::update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

void SHA256::update(const void* bytes, size_t count) {
    if (count > 0) EVP_DigestUpdate(context_->context, bytes, count);
}

std::string SHA256::hexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->context, digest, &length);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

BackgroundSHA256::BackgroundSHA256(size_t maximumPending)
    : maximumBlocks_(std::max<size_t>(2, maximumPending / blockSize)),
      wakeBatch_(std::clamp<size_t>(maximumBlocks_ / 4, 1, 4)),
      queue_(maximumBlocks_) {
    storage_.reserve(maximumBlocks_);
    free_.reserve(maximumBlocks_);
}

BackgroundSHA256::~BackgroundSHA256() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workerWake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void BackgroundSHA256::update(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!filling_ || filled_ == blockSize) nextBlock();
        const size_t take = std::min(bytes.size(), blockSize - filled_);
        std::memcpy(filling_ + filled_, bytes.data(), take);
        filled_ += take;
        bytes.remove_prefix(take);
    }
}

void BackgroundSHA256::nextBlock() {
    // A hand-over that fails (no thread) leaves the block full, to be tried again with the next bytes.
    if (filling_ && !worker_.joinable()) worker_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    if (filling_) {
        queue_[(queueHead_ + queued_) % maximumBlocks_] = Block{filling_, filled_};
        ++queued_;
        filling_ = nullptr;
        filled_ = 0;
    }
    bool wake = workerAsleep_ && queued_ >= wakeBatch_;
    if (free_.empty() && storage_.size() < maximumBlocks_) {
        lock.unlock();
        if (wake) workerWake_.notify_one();
        storage_.push_back(std::make_unique_for_overwrite<char[]>(blockSize));
        filling_ = storage_.back().get();
        return;
    }
    if (free_.empty()) {
        // Every block waits to be hashed: the worker must run for one to come back.
        if (workerAsleep_) workerWake_.notify_one();
        wake = false;
        feederAsleep_ = true;
        feederWake_.wait(lock, [&] { return !free_.empty(); });
        feederAsleep_ = false;
    }
    filling_ = free_.back();
    free_.pop_back();
    lock.unlock();
    if (wake) workerWake_.notify_one();
}

void BackgroundSHA256::drain() {
    std::unique_lock lock(mutex_);
    if (queued_ == 0 && !hashing_) return;
    if (workerAsleep_) workerWake_.notify_one();
    feederAsleep_ = true;
    feederWake_.wait(lock, [&] { return queued_ == 0 && !hashing_; });
    feederAsleep_ = false;
}

void BackgroundSHA256::reset() {
    {
        std::unique_lock lock(mutex_);
        for (; queued_ > 0; --queued_) {
            free_.push_back(queue_[queueHead_].bytes);
            queueHead_ = (queueHead_ + 1) % maximumBlocks_;
        }
        feederAsleep_ = true;
        feederWake_.wait(lock, [&] { return !hashing_; });
        feederAsleep_ = false;
    }
    filled_ = 0;
    digest_.reset();
}

std::string BackgroundSHA256::hexDigest() {
    drain();
    // The last, partly filled block is hashed here: waking the worker for it would only add a round trip.
    if (filling_) digest_.update(filling_, filled_);
    filled_ = 0;
    return digest_.hexDigest();
}

void BackgroundSHA256::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (queued_ == 0 && !stopping_) {
            workerAsleep_ = true;
            workerWake_.wait(lock, [&] { return stopping_ || queued_ > 0; });
            workerAsleep_ = false;
        }
        if (stopping_) return;
        const Block block = queue_[queueHead_];
        queueHead_ = (queueHead_ + 1) % maximumBlocks_;
        --queued_;
        hashing_ = true;
        lock.unlock();
        digest_.update(block.bytes, block.size);
        lock.lock();
        hashing_ = false;
        free_.push_back(block.bytes);
        if (feederAsleep_) feederWake_.notify_one();
    }
}

}  // namespace hub

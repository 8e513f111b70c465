#include "Hub/SHA256.hpp"

#include <openssl/evp.h>

#include <algorithm>
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
    : maximumPending_(maximumPending), worker_([this] { run(); }) {
    block_.reserve(blockSize);
}

BackgroundSHA256::~BackgroundSHA256() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void BackgroundSHA256::update(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t take = std::min(bytes.size(), blockSize - block_.size());
        block_.append(bytes.data(), take);
        bytes.remove_prefix(take);
        if (block_.size() == blockSize) enqueueBlock();
    }
}

void BackgroundSHA256::enqueueBlock() {
    if (block_.empty()) return;
    std::string full;
    full.reserve(blockSize);
    full.swap(block_);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_ + full.size() <= maximumPending_ || queue_.empty(); });
    pending_ += full.size();
    queue_.push_back(std::move(full));
    lock.unlock();
    changed_.notify_all();
}

void BackgroundSHA256::drain() {
    enqueueBlock();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && !hashing_; });
}

void BackgroundSHA256::reset() {
    block_.clear();
    drain();
    digest_.reset();
}

std::string BackgroundSHA256::hexDigest() {
    drain();
    return digest_.hexDigest();
}

void BackgroundSHA256::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        std::string bytes = std::move(queue_.front());
        queue_.pop_front();
        hashing_ = true;
        lock.unlock();
        digest_.update(bytes);
        lock.lock();
        hashing_ = false;
        pending_ -= bytes.size();
        changed_.notify_all();
    }
}

}  // namespace hub

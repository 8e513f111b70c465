#pragma once
// How the Whisper computations see their stored tensors: a name lookup that yields a typed, shaped
// view into the model's weights (memory-mapped or in memory).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.hpp"

namespace coreml::whisper {

class WhisperModelError : public foundation::RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

enum class StoredType { float16, float32 };

struct TensorView {
    const void* data = nullptr;
    StoredType type = StoredType::float32;
    std::vector<int64_t> shape;

    size_t count() const {
        size_t n = 1;
        for (auto d : shape) n *= static_cast<size_t>(d);
        return n;
    }
};

// Returns the named tensor; throws WhisperModelError when it is missing.
using TensorLookup = std::function<TensorView(const std::string& name)>;

// The tensor as F32 (converted when stored as half), checked against the expected shape.
std::vector<float> loadFloat(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape);
// The tensor as stored half-precision data, checked against the expected shape; F32 storage is
// converted into `keep` and a pointer into it returned.
const uint16_t* loadHalf(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape,
                         std::vector<uint16_t>& keep);
// Converts the tensor into `out` (resized), as F32.
void copyFloat(const TensorView& view, float* out);
TensorView checked(const TensorLookup& lookup, const std::string& name, const std::vector<int64_t>& shape);

// Reusable scratch objects: a prediction takes one, uses it, gives it back, so steady-state
// predictions allocate nothing and concurrent predictions never share one. Objects larger than
// kKeptScratchBytes are freed when given back instead: a large model's activations (about 90 MB
// for large-v3-turbo's encoder) would otherwise stay resident between windows, beside everything the
// decoder needs, while allocating them again costs well under 1% of such a window.
inline constexpr size_t kKeptScratchBytes = size_t(64) << 20;

template <class T>
class ScratchPool {
public:
    class Lease {
    public:
        Lease(ScratchPool* pool, std::unique_ptr<T> item) : pool_(pool), item_(std::move(item)) {}
        Lease(Lease&&) = default;
        ~Lease() {
            if (item_) pool_->giveBack(std::move(item_));
        }
        T& operator*() { return *item_; }
        T* operator->() { return item_.get(); }

    private:
        ScratchPool* pool_;
        std::unique_ptr<T> item_;
    };

    // `itemBytes`: about how much one object holds (0: small enough to keep).
    explicit ScratchPool(std::function<std::unique_ptr<T>()> make, size_t itemBytes = 0)
        : make_(std::move(make)), keep_(itemBytes <= kKeptScratchBytes) {}

    Lease take() {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                auto item = std::move(free_.back());
                free_.pop_back();
                return Lease(this, std::move(item));
            }
        }
        return Lease(this, make_());
    }

private:
    void giveBack(std::unique_ptr<T> item) {
        if (!keep_) return;
        std::lock_guard lock(mutex_);
        // A burst of concurrent predictions should not pin its peak memory for ever.
        if (free_.size() < 4) free_.push_back(std::move(item));
    }
    std::function<std::unique_ptr<T>()> make_;
    bool keep_ = true;
    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> free_;
};

}  // namespace coreml::whisper

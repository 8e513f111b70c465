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
// predictions allocate nothing and concurrent predictions never share one.
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

    explicit ScratchPool(std::function<std::unique_ptr<T>()> make) : make_(std::move(make)) {}

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
        std::lock_guard lock(mutex_);
        // A burst of concurrent predictions should not pin its peak memory for ever.
        if (free_.size() < 4) free_.push_back(std::move(item));
    }
    std::function<std::unique_ptr<T>()> make_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> free_;
};

}  // namespace coreml::whisper

#pragma once
// The state a stateful model keeps between predictions, made by the model it belongs to.
#include <cstdint>

namespace coreml {

class MLModel;

// The runtime's architectures keep no state between predictions, so a state holds no buffers: it
// only remembers which loaded model made it, and that model alone accepts it.
class MLState {
public:
    MLState(const MLState&) = delete;
    MLState& operator=(const MLState&) = delete;

private:
    friend class MLModel;
    explicit MLState(uint64_t model) : model_(model) {}
    uint64_t model_;
};

}  // namespace coreml

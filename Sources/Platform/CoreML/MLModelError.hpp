#pragma once
// Errors of the ML runtime: loading, prediction and array misuse.
#include <string>
#include <string_view>

#include "Platform/Foundation/Error.hpp"

namespace coreml {

class MLModelError : public foundation::Error {
public:
    enum class Case {
        generic,      // anything else
        featureType,  // a feature is missing, of the wrong type or of the wrong shape
        io,           // a model file is missing or unreadable
        parameters,   // model.json or weights.bin is malformed or inconsistent
        customModel,  // the architecture failed
    };
    MLModelError(Case errorCase, std::string message);

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    std::string localizedDescription() const override { return message_; }
    std::string describe() const override;
    static std::string_view caseName(Case errorCase);

private:
    Case case_;
    std::string message_;
};

// Misuse of an array (index outside the shape, wrong element type, shape and data that disagree).
class MLMultiArrayError : public foundation::RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

}  // namespace coreml

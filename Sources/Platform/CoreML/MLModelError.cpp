#include "Platform/CoreML/MLModelError.hpp"

namespace coreml {

MLModelError::MLModelError(Case errorCase, std::string message) : case_(errorCase), message_(std::move(message)) {
    setWhat(message_);
}

std::string_view MLModelError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::generic: return "generic";
        case Case::featureType: return "featureType";
        case Case::io: return "io";
        case Case::parameters: return "parameters";
        case Case::customModel: return "customModel";
    }
    return "generic";
}

std::string MLModelError::describe() const { return foundation::describeCase(caseName(case_), message_); }

}  // namespace coreml

#include "Platform/Foundation/DecodingError.hpp"

#include "Platform/Foundation/Text.hpp"

namespace foundation {

namespace {
const char* caseName(DecodingError::Case kind) {
    switch (kind) {
        case DecodingError::Case::typeMismatch: return "typeMismatch";
        case DecodingError::Case::valueNotFound: return "valueNotFound";
        case DecodingError::Case::keyNotFound: return "keyNotFound";
        case DecodingError::Case::dataCorrupted: return "dataCorrupted";
    }
    return "dataCorrupted";
}
}  // namespace

DecodingError::DecodingError(Case kind, std::string debugDescription)
    : kind_(kind), hasCodingPath_(false), debugDescription_(std::move(debugDescription)) {
    setWhat(describe());
}

DecodingError::DecodingError(Case kind, std::vector<std::string> codingPath, std::string debugDescription)
    : kind_(kind),
      hasCodingPath_(true),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {
    setWhat(describe());
}

std::string DecodingError::localizedDescription() const {
    switch (kind_) {
        case Case::keyNotFound:
        case Case::valueNotFound: return "The data couldn\u2019t be read because it is missing.";
        case Case::typeMismatch:
        case Case::dataCorrupted: return "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    }
    return debugDescription_;
}

std::string DecodingError::describe() const {
    if (!hasCodingPath_) return describeCase(caseName(kind_), debugDescription_);
    return std::string(caseName(kind_)) + "(codingPath: [" + text::joined(codingPath_, ".") + "], " +
           debugQuoted(debugDescription_) + ")";
}

}  // namespace foundation

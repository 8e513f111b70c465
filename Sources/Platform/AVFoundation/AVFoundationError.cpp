#include "Platform/AVFoundation/AVFoundationError.hpp"

namespace avfoundation {

AVAudioError::AVAudioError(Case errorCase, std::string message) : case_(errorCase), message_(std::move(message)) {
    setWhat(describe());
}

std::string_view AVAudioError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::cannotOpenFile: return "cannotOpenFile";
        case Case::invalidFile: return "invalidFile";
        case Case::readFailed: return "readFailed";
        case Case::writeFailed: return "writeFailed";
        case Case::invalidArgument: return "invalidArgument";
        case Case::engineStartFailed: return "engineStartFailed";
    }
    return "unknown";
}

std::string AVAudioError::describe() const { return foundation::describeCase(caseName(case_), message_); }

}  // namespace avfoundation

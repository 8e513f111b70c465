#pragma once
// The engine facade. Its model management and transcription entry points join it with the pipeline;
// these static helpers stand on their own.
#include <string>
#include <vector>

#include "Lexiphonic/Utilities/ModelUtilities.hpp"

namespace lexiphonic {

class Lexiphonic {
public:
    // The engine never runs inside a device simulator on this platform.
    static constexpr bool isRunningOnSimulator = false;

    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles) {
        return ModelUtilities::formatModelFiles(modelFiles);
    }
};

}  // namespace lexiphonic

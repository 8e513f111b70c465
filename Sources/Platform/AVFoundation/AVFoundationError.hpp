#pragma once
// Errors of the audio platform layer: files that cannot be opened, read or written, and an audio
// engine that cannot start.
#include <string>
#include <string_view>

#include "Platform/Foundation/Error.hpp"

namespace avfoundation {

class AVAudioError : public foundation::Error {
public:
    enum class Case {
        cannotOpenFile,     // missing, unreadable, or not audio the decoders know
        invalidFile,        // opened, but its audio cannot be used (no length, too long, changing format)
        readFailed,         // decoding failed
        writeFailed,        // the file could not be written
        invalidArgument,    // a buffer of the wrong format or size was given
        engineStartFailed,  // no input device, or the device could not be opened or started
    };

    AVAudioError(Case errorCase, std::string message);

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    std::string localizedDescription() const override { return message_; }
    std::string describe() const override;
    static std::string_view caseName(Case errorCase);

private:
    Case case_;
    std::string message_;
};

}  // namespace avfoundation

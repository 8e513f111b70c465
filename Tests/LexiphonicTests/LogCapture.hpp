#pragma once
// Captures what the engine logs at a chosen level, and silences logging again afterwards.
#include <string>
#include <vector>

#include "PelluxCore/Logging.hpp"

namespace lexiphonic::testing {

class LogCapture {
public:
    explicit LogCapture(pellux::Logging::LogLevel level) {
        pellux::Logging::shared().setLogLevel(level);
        pellux::Logging::shared().setLoggingCallback([this](const std::string& m) { messages.push_back(m); });
    }
    ~LogCapture() {
        pellux::Logging::shared().setLoggingCallback({});
        pellux::Logging::shared().setLogLevel(pellux::Logging::LogLevel::none);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages;
};

}  // namespace lexiphonic::testing

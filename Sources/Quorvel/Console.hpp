#pragma once
// Where the app's own "[Quorvel] " lines go: standard output in the app, a capture in tests.
#include <exception>
#include <functional>
#include <string>

namespace quorvel {

using PrintLine = std::function<void(const std::string& line)>;

// Writes the line and a line feed to standard output and flushes, so the lines of a running app show up
// at once even when the output is a pipe.
PrintLine standardOutput();

// An error's default textual form for the console: `caseName("message")` for the system's own errors,
// the plain message for any other.
std::string describeError(const std::exception& error);
std::string describeError(const std::exception_ptr& error);

}  // namespace quorvel

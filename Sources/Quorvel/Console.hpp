#pragma once
// Where the app's own "[Quorvel] " lines go: standard output in the app, a capture in tests.
#include <functional>
#include <string>

namespace quorvel {

using PrintLine = std::function<void(const std::string& line)>;

// Writes the line and a line feed to standard output and flushes, so the lines of a running app show up
// at once even when the output is a pipe.
PrintLine standardOutput();

}  // namespace quorvel

#pragma once
// Files: whole-file reads and atomic writes.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

class FileError : public RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

// Writes through a temporary file in the same folder, flushed, then renamed over the target, so a
// reader sees the old file or the whole new one. Creates no folders. Throws FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents);
// The same, but never replaces anything: false when a file of that name already exists (the new
// contents are then discarded). Throws FileError for every other failure.
bool writeNewFileAtomically(const std::filesystem::path& path, std::string_view contents);
// The whole file; throws FileError when it cannot be read or is not a regular file (a FIFO or a
// device is refused before anything is read from it).
std::string readFile(const std::filesystem::path& path);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFileIfPresent(const std::filesystem::path& path);
// The user's home folder: $HOME, else the password database entry.
std::filesystem::path homeDirectory();
// Expands a leading "~" or "~/" to the home folder.
std::string expandingTilde(std::string_view path);
// True when a name from outside (listing, archive entry, user input) stays inside its folder:
// relative, no "..", no empty or "." tricks that climb out.
bool isSafeRelativePath(std::string_view path);

}  // namespace foundation

#pragma once
// Reading the text of a plain-text or PDF document.
#include <filesystem>
#include <optional>
#include <string>

namespace pellux {

struct FileUtilities {
    // A ".pdf" file (any case) is read page by page, non-empty pages joined by line feeds; any other
    // file as UTF-8, else as ISO Latin-1. Nothing when the file cannot be read or its text is empty.
    static std::optional<std::string> readTextContent(const std::filesystem::path& url);
};

}  // namespace pellux

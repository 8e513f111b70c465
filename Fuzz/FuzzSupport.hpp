#pragma once
// Helpers shared by the fuzz targets: splitting one input into several files, and a scratch folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Inputs that stand for several files separate them by the byte 0x1E (record separator); the last
// part takes the rest. Missing parts are empty.
inline std::vector<std::string_view> splitParts(const uint8_t* data, size_t size, size_t count) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < count) {
        auto at = rest.find('\x1e');
        if (at == std::string_view::npos) break;
        parts.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
    parts.push_back(rest);
    parts.resize(count);
    return parts;
}

// A folder of this process, emptied on every call and removed at exit.
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("quorvel-fuzz-" + std::to_string(::getpid()));
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                            ("quorvel-fuzz-" + std::to_string(::getpid())),
                                        ec);
        });
        return path;
    }();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    std::filesystem::create_directories(folder);
    return folder;
}

// Writes bytes as they are (no atomic rename: the scratch folder is ours alone).
void writeBytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace fuzz

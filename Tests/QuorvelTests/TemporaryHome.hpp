#pragma once
// A fresh folder standing in for the user's home folder, removed at the end of a test, and a folder listing.
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace quorveltests {

class TemporaryHome {
public:
    TemporaryHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-home-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
        path_ = pattern;
    }
    ~TemporaryHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The names of the entries of a folder, sorted.
inline std::vector<std::string> fileNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace quorveltests

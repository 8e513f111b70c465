#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it at the end of a test.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

namespace coremltests {

class TemporaryFolder {
public:
    TemporaryFolder() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("coreml-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TemporaryFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace coremltests

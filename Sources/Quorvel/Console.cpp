#include "Quorvel/Console.hpp"

#include <cstdio>
#include <mutex>

namespace quorvel {

PrintLine standardOutput() {
    return [](const std::string& line) {
        static std::mutex mutex;  // lines from the pool and the main thread never interleave
        std::lock_guard lock(mutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

}  // namespace quorvel

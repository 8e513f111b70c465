#include "Quorvel/Console.hpp"

#include <cstdio>
#include <mutex>

#include "Platform/Foundation/Error.hpp"

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

std::string describeError(const std::exception& error) {
    if (auto own = dynamic_cast<const foundation::Error*>(&error)) return own->describe();
    return error.what();
}

std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return describeError(caught);
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace quorvel

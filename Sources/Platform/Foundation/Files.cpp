#include "Platform/Foundation/Files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "Platform/Foundation/Environment.hpp"

namespace foundation {

namespace {

std::string errorText(int code) { return std::generic_category().message(code); }

[[noreturn]] void fail(const char* action, const std::filesystem::path& path, int code) {
    throw FileError(std::string("Could not ") + action + " \"" + path.string() + "\": " + errorText(code));
}

// A name no other writer in this or another process picks: pid, a counter and random bits.
std::string temporaryName(const std::filesystem::path& target) {
    static std::atomic<uint64_t> counter{0};
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) random = 0;
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%llu-%016llx", static_cast<long>(getpid()),
                  static_cast<unsigned long long>(counter.fetch_add(1)), static_cast<unsigned long long>(random));
    return "." + target.filename().string() + suffix;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the error close returns (deferred write errors show up here).
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

}  // namespace

namespace {

enum class Placement { replace, createNew };

// Writes the contents to a flushed temporary file beside the target, then moves it into place. With
// createNew the target name is taken only when free (a hard link fails on an existing name), so no
// existing file is ever replaced; the result then says whether the name was free.
bool writeThroughTemporary(const std::filesystem::path& path, std::string_view contents, Placement placement) {
    if (path.filename().empty()) fail("write", path, EISDIR);
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");

    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder / temporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) fail("write", path, errno);
    }
    if (fd < 0) fail("write", path, EEXIST);
    FileDescriptor file(fd);

    auto abandon = [&](int code) {
        if (file.get() >= 0) file.close();
        ::unlink(temporary.c_str());
        fail("write", path, code);
    };

    // A file that is being replaced keeps its permissions (a private token file stays private).
    struct stat existing {};
    if (placement == Placement::replace && ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::fchmod(file.get(), existing.st_mode & 07777) != 0)
        abandon(errno);

    const char* data = contents.data();
    size_t remaining = contents.size();
    while (remaining > 0) {
        ssize_t written = ::write(file.get(), data, remaining);
        if (written < 0) {
            if (errno == EINTR) continue;
            abandon(errno);
        }
        data += written;
        remaining -= static_cast<size_t>(written);
    }
    if (::fsync(file.get()) != 0) abandon(errno);
    if (int code = file.close(); code != 0) abandon(code);
    if (placement == Placement::replace) {
        if (::rename(temporary.c_str(), path.c_str()) != 0) abandon(errno);
    } else {
        // Hard links where the file system has them, else a rename that refuses to replace.
        bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
        if (linked) {
            ::unlink(temporary.c_str());
        } else if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) {
            linked = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
        }
        if (!linked) {
            if (errno != EEXIST) abandon(errno);
            ::unlink(temporary.c_str());
            return false;
        }
    }

    // Make the rename itself durable; a failure here leaves a complete file, so it is not an error.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    writeThroughTemporary(path, contents, Placement::replace);
}

bool writeNewFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    return writeThroughTemporary(path, contents, Placement::createNew);
}

std::string readFile(const std::filesystem::path& path) {
    // Non-blocking open so that a FIFO in place of the file cannot stall us before its type is known.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fail("read", path, errno);
    FileDescriptor file(fd);
    std::string result;
    struct stat info {};
    if (::fstat(fd, &info) != 0) fail("read", path, errno);
    if (!S_ISREG(info.st_mode))
        throw FileError("Could not read \"" + path.string() + "\": not a regular file");
    if (info.st_size > 0) result.reserve(static_cast<size_t>(info.st_size));
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            fail("read", path, errno);
        }
        if (count == 0) break;
        result.append(buffer.data(), static_cast<size_t>(count));
    }
    return result;
}

std::optional<std::string> readFileIfPresent(const std::filesystem::path& path) {
    try {
        return readFile(path);
    } catch (const FileError&) {
        return std::nullopt;
    }
}

std::filesystem::path homeDirectory() {
    if (auto home = environmentValue("HOME"); home && !home->empty()) return *home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    for (;;) {
        int code = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (code == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    if (found && found->pw_dir && found->pw_dir[0] != '\0') return found->pw_dir;
    throw FileError("Could not determine the home folder: HOME is not set and the user has no password entry");
}

std::string expandingTilde(std::string_view path) {
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return std::string(path);
    std::string home = homeDirectory().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    std::string_view rest = path.substr(1);
    if (home == "/" && !rest.empty()) return std::string(rest);
    return home + std::string(rest);
}

bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/') return false;
    if (path.find('\0') != std::string_view::npos) return false;
    bool namesSomething = false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (component == "..") return false;
        if (!component.empty() && component != ".") namesSomething = true;
        start = end + 1;
    }
    // "." or "./" names the folder itself, not something inside it.
    return namesSomething;
}

}  // namespace foundation

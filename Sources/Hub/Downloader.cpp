#include "Hub/Downloader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <system_error>
#include <vector>

#include "Hub/HubApi.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/URL.hpp"

namespace hub {

namespace fs = std::filesystem;
using foundation::URLError;
using Hub::HubClientError;

namespace {

[[noreturn]] void fail(const char* action, const fs::path& path, int code) {
    throw foundation::FileError(std::string("Could not ") + action + " \"" + path.string() +
                                "\": " + std::generic_category().message(code));
}

void writeAll(int file, const fs::path& path, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("write", path, errno);
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void truncateToEmpty(int file, const fs::path& path) {
    if (::ftruncate(file, 0) != 0 || ::lseek(file, 0, SEEK_SET) != 0) fail("truncate", path, errno);
}

// The first byte of a "Content-Range: bytes <first>-<last>/<size>", or the size of "bytes */<size>".
std::optional<int64_t> contentRangeNumber(const std::optional<std::string>& header, bool unsatisfied) {
    if (!header) return std::nullopt;
    long long value = 0;
    if (unsatisfied) {
        if (std::sscanf(header->c_str(), "bytes */%lld", &value) == 1) return value;
    } else {
        long long last = 0, size = 0;
        if (std::sscanf(header->c_str(), "bytes %lld-%lld/%lld", &value, &last, &size) >= 2) return value;
    }
    return std::nullopt;
}

// Reasons a transfer ends before the body does, thrown from the response callback.
struct PartialFileComplete {};  // the server says the partial file already holds every byte
struct RestartTransfer {};      // the partial file cannot be continued; it has been emptied

// The hub client's error for a status outside 200-299, so the caller learns why the file did not come.
[[noreturn]] void throwStatusError(int status, const std::string& url) {
    if (status == 401 || status == 403) throw HubClientError::authorizationRequired();
    if (status == 404) throw HubClientError::fileNotFound(foundation::lastPathComponent(url));
    throw HubClientError::httpStatusCode(status);
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

// A login or error page served with a success status, where a file that is no page was asked for.
bool isUnexpectedPage(const HTTPURLResponse& response, const fs::path& destination) {
    const std::string extension = destination.extension().string();
    if (extension == ".html" || extension == ".htm") return false;
    return startsWithIgnoringCase(response.value("Content-Type").value_or(""), "text/html");
}

// Waits `pause`, or less when `stop` fires.
bool pauseUnlessStopped(std::chrono::milliseconds pause, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, stop, pause, [] { return false; });
}

}  // namespace

// --- Download actors

std::optional<int64_t> DownloadResumeState::expectedSize() const {
    std::lock_guard lock(mutex_);
    return expectedSize_;
}

int64_t DownloadResumeState::downloadedSize() const {
    std::lock_guard lock(mutex_);
    return downloadedSize_;
}

void DownloadResumeState::setExpectedSize(std::optional<int64_t> size) {
    std::lock_guard lock(mutex_);
    expectedSize_ = size;
}

void DownloadResumeState::setDownloadedSize(int64_t size) {
    std::lock_guard lock(mutex_);
    downloadedSize_ = size;
}

void DownloadResumeState::incDownloadedSize(int64_t count) {
    std::lock_guard lock(mutex_);
    downloadedSize_ += count;
}

void SessionActor::set(std::shared_ptr<URLSession> session) {
    std::lock_guard lock(mutex_);
    urlSession_ = std::move(session);
}

std::shared_ptr<URLSession> SessionActor::get() const {
    std::lock_guard lock(mutex_);
    return urlSession_;
}

void TaskActor::set(std::shared_ptr<TransferTask> task) {
    std::lock_guard lock(mutex_);
    task_ = std::move(task);
}

std::shared_ptr<TransferTask> TaskActor::get() const {
    std::lock_guard lock(mutex_);
    return task_;
}

// --- States and errors

std::string Downloader::DownloadState::description() const {
    struct Describe {
        std::string operator()(const Downloading& s) const {
            return "downloading(" + foundation::formatDouble(s.fraction) + ", " +
                   (s.speed ? foundation::formatDouble(*s.speed) : std::string("nil")) + ")";
        }
        std::string operator()(const Completed& s) const {
            return foundation::describeCase("completed", s.destination.string());
        }
        std::string operator()(const Failed& s) const {
            try {
                if (s.error) std::rethrow_exception(s.error);
            } catch (const foundation::Error& error) {
                return foundation::describeCase("failed", error.localizedDescription());
            } catch (const std::exception& error) {
                return foundation::describeCase("failed", error.what());
            } catch (...) {
            }
            return "failed";
        }
        std::string operator()(const NotStarted&) const { return "notStarted"; }
    };
    return std::visit(Describe{}, value_);
}

Downloader::DownloadError::DownloadError(Case errorCase) : case_(errorCase) { setWhat(describe()); }

std::string Downloader::DownloadError::localizedDescription() const {
    return "The operation couldn’t be completed. (Hub.Downloader.DownloadError error " +
           std::to_string(static_cast<int>(case_)) + ".)";
}

std::string Downloader::DownloadError::describe() const {
    static constexpr const char* names[] = {"invalidDownloadLocation", "unexpectedError", "tempFileNotFound"};
    return foundation::describeCase(names[static_cast<int>(case_)]);
}

// --- Downloader

// Flushes the partial file to disk on a thread of its own while the transfer goes on. A disk with a write
// cache makes bytes durable only at a flush, whose cost grows with what was written since the last one:
// flushing as the file grows leaves the flush before the rename little to do, instead of the whole file.
class Downloader::Flusher {
public:
    // `file` stays open until this is destroyed.
    Flusher(int file, const fs::path& path) : file_(file), path_(path) {}
    ~Flusher() { stop(); }
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    // Flushes what has been written so far, once the flush under way (if any) is done.
    void request() {
        std::unique_lock lock(mutex_);
        if (stopping_) return;
        if (!worker_.joinable()) {
            try {
                worker_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                return;  // no thread to spare: the flush before the rename does it all
            }
        }
        requested_ = true;
        lock.unlock();
        wake_.notify_one();
    }

    // Waits for the flush under way. One that failed fails the transfer: its error may have been reported
    // to it alone, never again to the final flush.
    void finish() {
        stop();
        if (error_ != 0) fail("flush", path_, error_);
    }

private:
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (worker_.joinable()) worker_.join();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || requested_; });
            if (stopping_) return;
            requested_ = false;
            lock.unlock();
            const int code = ::fdatasync(file_) == 0 ? 0 : errno;
            lock.lock();
            if (code != 0 && error_ == 0) error_ = code;
        }
    }

    const int file_;
    const fs::path& path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    int error_ = 0;
    std::thread worker_;  // started with the first request
};

Downloader::Downloader(fs::path destination, fs::path incompleteDestination)
    : Downloader(std::move(destination), std::move(incompleteDestination), Params{}) {}

Downloader::Downloader(fs::path destination, fs::path incompleteDestination, Params params)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      params_(params),
      broadcaster_([] { return std::optional<DownloadState>(DownloadState::notStarted()); }) {
    if (params_.chunkSize <= 0) params_.chunkSize = defaultChunkSize;
}

Downloader::~Downloader() { stopTransfer(); }

void Downloader::stopTransfer() {
    if (auto session = session_.get()) session->invalidateAndCancel();
    if (auto task = task_.get()) {
        task->cancel();
        task->wait();
    }
}

Broadcaster<Downloader::DownloadState>::Stream Downloader::download(const std::string& url,
                                                                   const std::optional<std::string>& token,
                                                                   std::optional<int64_t> expectedSize) {
    // One transfer at a time writes the partial file.
    stopTransfer();
    downloadResumeState_.setExpectedSize(expectedSize);
    session_.set(std::make_shared<URLSession>());
    return setUpDownload(url, token, incompleteFileSize(incompleteDestination_));
}

Broadcaster<Downloader::DownloadState>::Stream Downloader::setUpDownload(const std::string& url,
                                                                        const std::optional<std::string>& token,
                                                                        int64_t resumeSize) {
    URLRequest request(url);
    if (auto authorization = HubApi::authorizationValue(token)) request.setValue(*authorization, "Authorization");
    request.timeoutInterval = params_.timeout;
    downloadResumeState_.setDownloadedSize(resumeSize);
    // The start state goes out and the subscription is made before the transfer runs, so the subscriber
    // sees this transfer from its start: never the end of an earlier one, never only the end of this one.
    const auto expected = downloadResumeState_.expectedSize();
    broadcaster_.broadcast(DownloadState::downloading(
        resumeSize > 0 && expected && *expected > 0 ? static_cast<double>(resumeSize) / static_cast<double>(*expected) : 0,
        std::nullopt));
    auto states = broadcaster_.subscribe();
    task_.set(std::make_shared<TransferTask>([this, request](std::stop_token stop) { transfer(request, stop); }));
    return states;
}

void Downloader::transfer(const URLRequest& request, std::stop_token stop) {
    int file = -1;
    try {
        file = ::open(incompleteDestination_.c_str(), O_RDWR | O_CLOEXEC);
        if (file < 0) fail("open", incompleteDestination_, errno);
        if (::lseek(file, 0, SEEK_END) < 0) fail("seek in", incompleteDestination_, errno);
        digest_ = params_.sha256 ? std::make_unique<BackgroundSHA256>() : nullptr;
        digested_ = 0;
        Flusher flusher(file, incompleteDestination_);  // joined before the file is closed
        httpGet(request, file, flusher, stop);
        if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, request.url);
        // On disk before it is renamed into place, so a crash never leaves a short file at the destination.
        // Flushed before the digest is read, so the last blocks are hashed while the disk catches up.
        flusher.finish();
        if (::fsync(file) != 0) fail("flush", incompleteDestination_, errno);
        checkDigest(file);
        const int descriptor = file;
        file = -1;
        if (::close(descriptor) != 0) fail("close", incompleteDestination_, errno);
        moveDownloadedFile(incompleteDestination_, destination_);
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (...) {
        // A transfer that ends early gives its hashing thread and blocks back now, not at the next one.
        digest_.reset();
        if (file >= 0) ::close(file);
        broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
    }
}

void Downloader::httpGet(const URLRequest& request, int file, Flusher& flusher, std::stop_token stop) {
    const int64_t chunkSize = params_.chunkSize;
    int retriesLeft = params_.retries;
    // Starting over is budgeted apart from the retries, which every written chunk renews: a server whose
    // answers never fit the file must not keep a transfer going round for ever.
    int restartsLeft = params_.retries;

    auto restart = [&] {
        if (restartsLeft-- <= 0) throw DownloadError(DownloadError::Case::unexpectedError);
        truncateToEmpty(file, incompleteDestination_);
        downloadResumeState_.setDownloadedSize(0);
        if (digest_) digest_->reset();
        digested_ = 0;
    };
    auto retryOrThrow = [&](std::exception_ptr error, bool pause) {
        if (retriesLeft <= 0) std::rethrow_exception(error);
        if (pause && !pauseUnlessStopped(params_.retryPause, stop))
            throw URLError(URLError::Code::cancelled, request.url);
        session_.set(std::make_shared<URLSession>());
        --retriesLeft;
    };

    for (;;) {
        auto session = session_.get();
        if (!session) throw DownloadError(DownloadError::Case::unexpectedError);
        const auto expected = downloadResumeState_.expectedSize();
        int64_t offset = downloadResumeState_.downloadedSize();
        if (expected && offset > *expected) {
            // Longer than the file can be: it can never complete, so start over.
            restart();
            offset = 0;
        }
        // A resumed partial file is hashed once, here; every later byte is hashed as it is written.
        digestUpTo(file, offset);
        if (expected && offset == *expected && offset > 0) return;  // every byte is already there

        URLRequest current = request;
        current.setValue(offset > 0 ? std::optional("bytes=" + std::to_string(offset) + "-") : std::nullopt, "Range");

        bool responded = false;
        int64_t runningSize = offset;
        int64_t sizeAtLastReport = offset;
        int64_t inChunk = 0;  // bytes written since the last whole chunk
        auto lastReport = std::chrono::steady_clock::now();

        auto onResponse = [&](const HTTPURLResponse& response) {
            responded = true;
            const int status = response.statusCode;
            if (offset > 0 && status == 416) {
                const auto size = contentRangeNumber(response.value("Content-Range"), true);
                if (size && *size == offset && (!expected || *expected == offset)) throw PartialFileComplete{};
                restart();
                throw RestartTransfer{};
            }
            if (status < 200 || status > 299) throwStatusError(status, request.url);
            if (isUnexpectedPage(response, destination_))
                throw HubClientError::downloadError("The server sent an HTML page instead of " +
                                                    destination_.filename().string());
            if (offset > 0 && status == 200) {
                // The range was ignored: the whole file follows, so it replaces the partial one.
                restart();
                runningSize = sizeAtLastReport = 0;
            } else if (offset > 0 && status == 206 &&
                       contentRangeNumber(response.value("Content-Range"), false).value_or(offset) != offset) {
                restart();
                throw RestartTransfer{};
            }
        };
        // Every piece goes straight to the partial file (whatever has arrived is a correct continuation of
        // it, so nothing is held back in memory); progress, speed and the retry budget move per chunk.
        auto onData = [&](std::string_view piece) {
            while (!piece.empty()) {
                const auto take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece.size()), chunkSize - inChunk));
                writeAll(file, incompleteDestination_, piece.data(), take);
                if (digest_) {
                    digest_->update(piece.substr(0, take));
                    digested_ += static_cast<int64_t>(take);
                }
                piece.remove_prefix(take);
                runningSize += static_cast<int64_t>(take);
                inChunk += static_cast<int64_t>(take);
                downloadResumeState_.incDownloadedSize(static_cast<int64_t>(take));
                if (inChunk < chunkSize) continue;
                // Start writing the chunk to disk now and flush what is written meanwhile, so the flush
                // before the final rename has little left.
                (void)::sync_file_range(file, static_cast<off_t>(runningSize - chunkSize), static_cast<off_t>(chunkSize),
                                        SYNC_FILE_RANGE_WRITE);
                flusher.request();
                inChunk = 0;
                retriesLeft = params_.retries;
                if (!expected) continue;
                const auto now = std::chrono::steady_clock::now();
                const double elapsed = std::chrono::duration<double>(now - lastReport).count();
                std::optional<double> speed;
                if (elapsed > 0) speed = static_cast<double>(runningSize - sizeAtLastReport) / elapsed;
                const double fraction =
                    *expected == 0 ? 0 : static_cast<double>(runningSize) / static_cast<double>(*expected);
                broadcaster_.broadcast(DownloadState::downloading(fraction, speed));
                lastReport = now;
                sizeAtLastReport = runningSize;
            }
        };

        try {
            session->stream(current, onResponse, onData, stop);
        } catch (const PartialFileComplete&) {
            return;
        } catch (const RestartTransfer&) {
            retryOrThrow(std::make_exception_ptr(DownloadError(DownloadError::Case::unexpectedError)), false);
            continue;
        } catch (const URLError& error) {
            // A request that could not even be answered is not retried.
            if (!responded || error.code() == URLError::Code::cancelled || stop.stop_requested()) throw;
            retryOrThrow(std::current_exception(), true);
            continue;
        }

        const off_t size = ::lseek(file, 0, SEEK_END);
        if (size < 0) fail("seek in", incompleteDestination_, errno);
        if (expected && size != *expected) {
            // The whole body arrived and its size is not the announced one: fetching it again would only
            // repeat that, so this is one failure. A file too long to ever be right is emptied, so no later
            // run resumes from it.
            if (size > *expected) {
                truncateToEmpty(file, incompleteDestination_);
                downloadResumeState_.setDownloadedSize(0);
            }
            throw HubApi::EnvironmentError::fileIntegrityError(
                "Size mismatch for " + destination_.filename().string() + ": the hub announced " +
                std::to_string(*expected) + " bytes, the download has " + std::to_string(size));
        }
        return;
    }
}

void Downloader::digestUpTo(int file, int64_t size) {
    if (!digest_ || digested_ >= size) return;
    std::vector<char> chunk(1 << 20);
    while (digested_ < size) {
        const auto want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), size - digested_));
        const ssize_t count = ::pread(file, chunk.data(), want, static_cast<off_t>(digested_));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) fail("read", incompleteDestination_, errno);
        if (count == 0) fail("read", incompleteDestination_, EIO);
        digest_->update(std::string_view(chunk.data(), static_cast<size_t>(count)));
        digested_ += count;
    }
}

void Downloader::checkDigest(int file) {
    if (!digest_) return;
    const off_t size = ::lseek(file, 0, SEEK_END);
    if (size < 0) fail("seek in", incompleteDestination_, errno);
    digestUpTo(file, size);
    const std::string actual = digest_->hexDigest();
    digest_.reset();
    if (actual == *params_.sha256) return;
    // Wrong bytes are never resumed from: the next download starts over.
    std::error_code ignored;
    fs::remove(incompleteDestination_, ignored);
    throw HubApi::EnvironmentError::fileIntegrityError("Hash mismatch for " + destination_.filename().string() +
                                                       ": the hub announced SHA-256 " + *params_.sha256 +
                                                       ", the download has " + actual);
}

void Downloader::cancel() {
    stopTransfer();
    broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(URLError(URLError::Code::cancelled))));
}

int64_t Downloader::incompleteFileSize(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(path, error)) return 0;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<int64_t>(size);
}

void Downloader::moveDownloadedFile(const fs::path& source, const fs::path& destination) {
    try {
        fs::create_directories(destination.parent_path());
        std::error_code error;
        fs::rename(source, destination, error);
        if (error == std::errc::cross_device_link) {
            // Another file system: copy next to the destination first, so the replacement is still one rename.
            const fs::path staging = destination.parent_path() / ("." + destination.filename().string() + ".moving");
            fs::copy_file(source, staging, fs::copy_options::overwrite_existing);
            fs::rename(staging, destination);
            fs::remove(source);
        } else if (error) {
            throw fs::filesystem_error("rename", source, destination, error);
        }
    } catch (const fs::filesystem_error& error) {
        throw foundation::FileError("Could not move \"" + source.string() + "\" to \"" + destination.string() +
                                    "\": " + error.code().message());
    }
    const int folder = ::open(destination.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
}

}  // namespace hub

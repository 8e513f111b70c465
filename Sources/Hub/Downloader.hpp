#pragma once
// Fetches one URL into a partial file and moves it over the destination once every byte has arrived:
// resumes from the partial file's size with "Range", writes each piece as it arrives (nothing is held in
// memory), retries a transfer that breaks off, reports progress and speed after every chunk, and publishes
// its states through a Broadcaster.
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <variant>

#include "Hub/Broadcaster.hpp"
#include "Hub/SHA256.hpp"
#include "Hub/URLSession.hpp"
#include "Platform/Foundation/Error.hpp"

namespace hub {

// The bytes a transfer expects and has already written to the partial file.
class DownloadResumeState {
public:
    std::optional<int64_t> expectedSize() const;
    int64_t downloadedSize() const;
    void setExpectedSize(std::optional<int64_t> size);
    void setDownloadedSize(int64_t size);
    void incDownloadedSize(int64_t count);

private:
    mutable std::mutex mutex_;
    std::optional<int64_t> expectedSize_;
    int64_t downloadedSize_ = 0;
};

// Holds the current URL session.
class SessionActor {
public:
    void set(std::shared_ptr<URLSession> session);
    std::shared_ptr<URLSession> get() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<URLSession> urlSession_;
};

// The transfer that runs on a thread of its own; dropping it stops it and waits for it.
class TransferTask {
public:
    explicit TransferTask(std::function<void(std::stop_token)> body) : thread_(std::move(body)) {}
    void cancel() { thread_.request_stop(); }
    bool isCancelled() const { return thread_.get_stop_token().stop_requested(); }
    void wait() {
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    std::jthread thread_;
};

// Holds the current transfer task.
class TaskActor {
public:
    void set(std::shared_ptr<TransferTask> task);
    std::shared_ptr<TransferTask> get() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<TransferTask> task_;
};

class Downloader {
public:
    static constexpr int64_t defaultChunkSize = 10 * 1024 * 1024;

    // The state of one transfer.
    class DownloadState {
    public:
        struct Downloading {
            double fraction;              // normally 0 to 1
            std::optional<double> speed;  // bytes per second
        };
        struct Completed {
            std::filesystem::path destination;
        };
        struct Failed {
            std::exception_ptr error;
        };
        struct NotStarted {};
        using Value = std::variant<Downloading, Completed, Failed, NotStarted>;

        static DownloadState downloading(double fraction, std::optional<double> speed) {
            return DownloadState(Downloading{fraction, speed});
        }
        static DownloadState completed(std::filesystem::path destination) {
            return DownloadState(Completed{std::move(destination)});
        }
        static DownloadState failed(std::exception_ptr error) { return DownloadState(Failed{std::move(error)}); }
        static DownloadState notStarted() { return DownloadState(NotStarted{}); }

        const Value& value() const { return value_; }
        template <class Case>
        const Case* as() const { return std::get_if<Case>(&value_); }
        // downloading(0.25, nil), completed("/path"), failed("message"), notStarted
        std::string description() const;

    private:
        explicit DownloadState(Value value) : value_(std::move(value)) {}
        Value value_;
    };

    class DownloadError : public foundation::Error {
    public:
        enum class Case { invalidDownloadLocation, unexpectedError, tempFileNotFound };
        explicit DownloadError(Case errorCase);
        Case errorCase() const { return case_; }
        std::string localizedDescription() const override;
        std::string describe() const override;

    private:
        Case case_;
    };

    struct Params {
        // Kept for callers; this platform has no background sessions, so transfers always run in the process.
        bool inBackground = false;
        // The step of progress reports, of disk write-back and of the retry budget's renewal.
        int64_t chunkSize = defaultChunkSize;
        // Seconds a transfer may go without receiving anything.
        double timeout = 10;
        std::chrono::milliseconds retryPause{1000};
        int retries = 5;
        // The SHA-256 (lowercase hex) the finished file must have. The bytes are hashed as they are written
        // (a resumed partial file once, before the rest arrives); a file that differs is removed, never moved
        // into place.
        std::optional<std::string> sha256 = std::nullopt;
    };

    // `incompleteDestination` must exist before the transfer starts (an empty file for a fresh download).
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination);
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, Params params);
    // Stops the transfer and waits for it.
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts the transfer (stopping one already running) and returns a subscription to its states: first
    // the start state, then progress after every chunk, then one `completed` or `failed`. A transfer that
    // still retries never reports `failed`. An error status fails with the hub client's error for it
    // (authorizationRequired, fileNotFound, httpStatusCode); an HTML page where the file was expected, a
    // final size other than `expectedSize` and a digest other than `Params::sha256` fail at once.
    Broadcaster<DownloadState>::Stream download(const std::string& url, const std::optional<std::string>& token,
                                                std::optional<int64_t> expectedSize);
    // Stops the transfer and waits for it to end; subscribers see `failed` with the URL error `cancelled`.
    // The partial file keeps every byte received.
    void cancel();

    // The size of the file at `path`, 0 when there is none.
    static int64_t incompleteFileSize(const std::filesystem::path& path);
    // Replaces `destination` by `source` in one rename, creating the destination's folders; the source is
    // flushed to disk first, so the destination is never seen half-written.
    static void moveDownloadedFile(const std::filesystem::path& source, const std::filesystem::path& destination);

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }

private:
    Broadcaster<DownloadState>::Stream setUpDownload(const std::string& url, const std::optional<std::string>& token,
                                                     int64_t resumeSize);
    class Flusher;
    void transfer(const URLRequest& request, std::stop_token stop);
    void httpGet(const URLRequest& request, int file, Flusher& flusher, std::stop_token stop);
    void stopTransfer();
    // Feeds the digest the partial file's bytes it has not seen, up to `size`.
    void digestUpTo(int file, int64_t size);
    void checkDigest(int file);

    std::filesystem::path destination_;
    std::filesystem::path incompleteDestination_;
    Params params_;
    DownloadResumeState downloadResumeState_;
    Broadcaster<DownloadState> broadcaster_;
    SessionActor session_;
    TaskActor task_;
    // Only the transfer thread touches these: the running digest of the partial file's first `digested_` bytes.
    std::unique_ptr<BackgroundSHA256> digest_;
    int64_t digested_ = 0;
};

}  // namespace hub

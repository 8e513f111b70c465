// The local cache: repository folders, per-file metadata files, hash patterns and file digests.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Hub/HubApi.hpp"
#include "Hub/SHA256.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace hub {

namespace fs = std::filesystem;
using Hub::HubClientError;

namespace {

// The hub client's log: the system log, at error level.
void logError(const std::string& message) { ::syslog(LOG_ERR, "[Hub] %s", message.c_str()); }

// Splits at every newline scalar (LF, VT, FF, CR, NEL, LS, PS), empty pieces kept.
std::vector<std::string> splitAtNewlines(std::string_view text) {
    std::vector<std::string> pieces(1);
    for (char32_t scalar : foundation::text::toScalars(text)) {
        if (foundation::text::isNewline(scalar)) pieces.emplace_back();
        else pieces.back() += foundation::text::fromScalar(scalar);
    }
    return pieces;
}

}  // namespace

bool isSafeRepositoryPath(std::string_view path) {
    if (!foundation::isSafeRelativePath(path)) return false;
    for (const std::string& segment : foundation::text::split(path, "/"))
        if (segment.empty() || segment == "." || segment == "..") return false;
    return true;
}

fs::path HubApi::localRepoLocation(const Hub::Repo& repo) const {
    if (!isSafeRepositoryPath(repo.id))
        throw EnvironmentError::invalidMetadataError("Repository id " + foundation::debugQuoted(repo.id) +
                                                     " does not name a folder inside the download base");
    return downloadBase / Hub::rawValue(repo.type) / repo.id;
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const fs::path& metadataPath) const {
    std::error_code missing;
    if (!fs::exists(metadataPath, missing)) return std::nullopt;
    try {
        const std::string text = foundation::readFile(metadataPath);
        if (!foundation::text::isValidUTF8(text))
            throw foundation::FileError("The file \"" + metadataPath.filename().string() +
                                        "\" couldn't be opened because the text encoding isn't UTF-8.");
        std::vector<std::string> lines = splitAtNewlines(text);
        if (lines.size() < 3) throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
        const std::string commitHash = foundation::text::trimmingWhitespaceAndNewlines(lines[0]);
        const std::string etag = foundation::text::trimmingWhitespaceAndNewlines(lines[1]);
        const auto seconds = foundation::parseDouble(foundation::text::trimmingWhitespaceAndNewlines(lines[2]));
        // A time the clock cannot hold is as unusable as no number at all.
        if (!seconds || !std::isfinite(*seconds) || std::fabs(*seconds) > 1e14)
            throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
        return LocalDownloadFileMetadata{commitHash, etag,
                                         foundation::text::replacingAll(metadataPath.filename().string(), ".metadata", ""),
                                         foundation::dateFromTimeIntervalSince1970(*seconds)};
    } catch (const EnvironmentError& error) {
        logError("Invalid metadata file " + Hub::fileURLText(metadataPath) + ": " + error.localizedDescription() +
                 ". Removing it from disk and continuing.");
    } catch (const foundation::Error& error) {
        logError("Error reading metadata file " + Hub::fileURLText(metadataPath) + ": " + error.localizedDescription() +
                 ". Removing it from disk and continuing.");
    }
    std::error_code removal;
    fs::remove(metadataPath, removal);
    if (removal)
        throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " + removal.message());
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const fs::path& metadataPath) const {
    const std::string text = commitHash + "\n" + etag + "\n" +
                             foundation::formatDouble(foundation::timeIntervalSince1970(foundation::SystemClock().now())) +
                             "\n";
    try {
        fs::create_directories(metadataPath.parent_path());
        foundation::writeFileAtomically(metadataPath, text);
    } catch (const std::exception& error) {
        const auto* platform = dynamic_cast<const foundation::Error*>(&error);
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " +
                                               (platform ? platform->localizedDescription() : error.what()));
    }
}

bool HubApi::isValidHash(std::string_view hash, std::string_view pattern) {
    try {
        return foundation::text::Regex(pattern).firstMatch(hash).has_value();
    } catch (const foundation::RuntimeError&) {
        return false;
    }
}

std::string HubApi::computeFileHash(const fs::path& file) {
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) throw HubClientError::fileNotFound(file.filename().string());
    SHA256 digest;
    std::vector<unsigned char> chunk(1 << 20);
    for (;;) {
        const ssize_t count = ::read(descriptor, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        // A read error ends the digest where it stands, like the end of the file.
        if (count <= 0) break;
        digest.update(chunk.data(), static_cast<size_t>(count));
    }
    ::close(descriptor);
    return digest.hexDigest();
}

}  // namespace hub

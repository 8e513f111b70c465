// The hub cache's metadata files (<file>.metadata: commit, etag, seconds since 1970): the input as such a
// file, read back by the cache. A usable file is kept and its time is a real one; anything else is removed.
#include <cmath>

#include "FuzzSupport.hpp"
#include "Hub/HubApi.hpp"
#include "Hub/NetworkMonitor.hpp"
#include "Platform/Foundation/Date.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const hub::HubApi api{{.downloadBase = std::filesystem::temp_directory_path() / "quorvel-fuzz-unused",
                                  .bmToken = "",
                                  .endpoint = "http://127.0.0.1:1",
                                  .useOfflineMode = true,
                                  .networkMonitor = std::make_shared<hub::NetworkMonitor>(
                                      std::make_unique<hub::ManualPathMonitor>())}};
    const auto path = fuzz::scratchFolder() / "weights.bin.metadata";
    fuzz::writeBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
    std::error_code ec;
    try {
        auto metadata = api.readDownloadMetadata(path);
        if (metadata.has_value() != std::filesystem::exists(path, ec)) std::abort();
        if (metadata && (metadata->filename != "weights.bin" ||
                         !std::isfinite(foundation::timeIntervalSince1970(metadata->timestamp))))
            std::abort();
    } catch (const foundation::Error&) {
    }
    return 0;
}

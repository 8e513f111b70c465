#pragma once
// A loopback hosting service with a folder of repositories, a cache folder and clients pointed at both.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Hub/HubApi.hpp"
#include "Hub/NetworkMonitor.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/Foundation/Files.hpp"

namespace hubnettests {

class LoopbackHub : public ::testing::Test {
protected:
    explicit LoopbackHub(hubtest::HubServer::Options options = {}) : server(withRoot(options)) {
        monitor->send({.status = hub::NWPath::Status::satisfied});
    }

    // A client of the loopback service, caching into `cache`, whose network state `paths` decides.
    hub::HubApi client(std::optional<std::string> token = std::nullopt,
                       std::optional<bool> offline = std::nullopt) const {
        return hub::HubApi({.downloadBase = cache.path(),
                            .bmToken = token ? token : std::optional<std::string>(""),
                            .endpoint = server.baseURL(),
                            .useOfflineMode = offline,
                            .networkMonitor = networkMonitor});
    }

    std::string readCached(const std::string& repo, const std::string& file) const {
        return foundation::readFile(cache.path() / "models" / repo / file);
    }
    std::filesystem::path metadataFolder(const std::string& repo) const {
        return cache.path() / "models" / repo / ".cache" / "brindlemoor" / "download";
    }

    hubtest::TemporaryFolder repos;
    hubtest::TemporaryFolder cache;
    hub::ManualPathMonitor* monitor = new hub::ManualPathMonitor;
    std::shared_ptr<hub::NetworkMonitor> networkMonitor =
        std::make_shared<hub::NetworkMonitor>(std::unique_ptr<hub::NWPathMonitor>(monitor));
    hubtest::HubServer server;

private:
    hubtest::HubServer::Options withRoot(hubtest::HubServer::Options options) {
        options.root = repos.path();
        return options;
    }
};

}  // namespace hubnettests

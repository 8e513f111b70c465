#include <gtest/gtest.h>

#include <future>
#include <map>

#include "Hub/HubApi.hpp"
#include "Hub/NetworkMonitor.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/Foundation/Environment.hpp"

namespace {

using hub::HubApi;
using hub::NWPath;
using foundation::ScopedEnvironmentOverride;

std::shared_ptr<hub::NetworkMonitor> manualMonitor(hub::ManualPathMonitor** handle = nullptr) {
    auto* monitor = new hub::ManualPathMonitor;
    if (handle) *handle = monitor;
    return std::make_shared<hub::NetworkMonitor>(std::unique_ptr<hub::NWPathMonitor>(monitor));
}

// A client built with only the environment (and the home folder it names) to go by.
HubApi clientFrom(std::map<std::string, std::string> environment) {
    ScopedEnvironmentOverride scope(std::move(environment));
    return HubApi({.networkMonitor = manualMonitor()});
}

TEST(HubSettings, TokenComesFromTheFirstSourceThatHoldsOne) {
    hubtest::TemporaryFolder home;
    const std::string h = home.path().string();
    home.write("tokenfile", "from-path\n");
    home.write("bmhome/token", "from-bm-home");
    home.write(".cache/brindlemoor/token", "from-cache\r\n");
    home.write(".brindlemoor/token", "from-dot-folder");
    home.write("empty", "\n");
    home.write("latin1", "caf\xE9");

    struct Case {
        std::map<std::string, std::string> environment;
        std::optional<std::string> token;
    } cases[] = {
        {{{"HOME", h}, {"BM_TOKEN", "a"}, {"BRINDLEMOOR_HUB_TOKEN", "b"}}, "a"},
        {{{"HOME", h}, {"BM_TOKEN", ""}, {"BRINDLEMOOR_HUB_TOKEN", "b"}}, "b"},
        {{{"HOME", h}, {"BM_TOKEN", "c\n"}}, "c"},
        {{{"HOME", h}, {"BM_TOKEN_PATH", h + "/tokenfile"}, {"BM_HOME", h + "/bmhome"}}, "from-path"},
        {{{"HOME", h}, {"BM_TOKEN_PATH", "~/tokenfile"}}, "from-path"},
        {{{"HOME", h}, {"BM_TOKEN_PATH", h + "/empty"}, {"BM_HOME", "~/bmhome"}}, "from-bm-home"},
        {{{"HOME", h}, {"BM_TOKEN_PATH", h + "/missing"}, {"BM_HOME", h}}, "from-cache"},
        {{{"HOME", h}, {"BM_TOKEN_PATH", h + "/latin1"}}, "from-cache"},
    };
    for (const Case& c : cases) EXPECT_EQ(clientFrom(c.environment).bmToken, c.token) << c.environment.size();

    std::filesystem::remove(home.path() / ".cache/brindlemoor/token");
    EXPECT_EQ(clientFrom({{"HOME", h}}).bmToken, "from-dot-folder");
    std::filesystem::remove(home.path() / ".brindlemoor/token");
    EXPECT_EQ(clientFrom({{"HOME", h}}).bmToken, std::nullopt);

    ScopedEnvironmentOverride scope(std::map<std::string, std::string>{{"HOME", h}, {"BM_TOKEN", "env"}});
    EXPECT_EQ(HubApi({.bmToken = "", .networkMonitor = manualMonitor()}).bmToken, "") << "an argument, even empty, wins";
}

TEST(HubSettings, ATokenWithALineBreakNeverReachesAHeader) {
    EXPECT_EQ(HubApi::authorizationValue(std::nullopt), std::nullopt);
    EXPECT_EQ(HubApi::authorizationValue(""), std::nullopt);
    EXPECT_EQ(HubApi::authorizationValue("\r\n"), std::nullopt);
    EXPECT_EQ(HubApi::authorizationValue("abc"), "Bearer abc");
    EXPECT_EQ(HubApi::authorizationValue("abc\n"), "Bearer abc");
    for (const std::string& token : {std::string("a\nX-Other: 1"), std::string("a\rb"), std::string("a\0b", 3)}) {
        try {
            HubApi::authorizationValue(token);
            ADD_FAILURE() << "accepted " << token;
        } catch (const hub::Hub::HubClientError& error) {
            EXPECT_EQ(error.errorCase(), hub::Hub::HubClientError::Case::authorizationRequired);
        }
    }
}

TEST(HubSettings, EndpointDownloadBaseAndTheCIMonitorLine) {
    hubtest::TemporaryFolder home;
    const std::string h = home.path().string();
    EXPECT_EQ(clientFrom({{"HOME", h}}).endpoint, HubApi::defaultEndpoint);
    EXPECT_EQ(clientFrom({{"HOME", h}, {"BM_ENDPOINT", "http://127.0.0.1:9"}}).endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(clientFrom({{"HOME", h}, {"BM_ENDPOINT", ""}}).endpoint, "");
    EXPECT_EQ(clientFrom({{"HOME", h}}).downloadBase, home.path() / "Documents" / "brindlemoor");

    for (const char* value : {"1", "true", "01", " 1"}) {
        testing::internal::CaptureStdout();
        clientFrom({{"HOME", h}, {"CI_DISABLE_NETWORK_MONITOR", value}, {"BM_TOKEN", "t"}});
        clientFrom({{"HOME", h}, {"CI_DISABLE_NETWORK_MONITOR", value}});
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, std::string(value) == "1" ? "✅ got token\n🔴 NO TOKEN **\n" : "") << value;
    }
}

TEST(HubSettings, OfflineDecisionFollowsTheSettingThenTheMonitor) {
    hub::ManualPathMonitor* paths = nullptr;
    auto monitor = manualMonitor(&paths);
    ScopedEnvironmentOverride scope(std::map<std::string, std::string>{});
    HubApi automatic({.downloadBase = "/nonexistent", .bmToken = "", .networkMonitor = monitor});
    HubApi alwaysOffline({.downloadBase = "/nonexistent", .useOfflineMode = true, .networkMonitor = monitor});
    HubApi neverOffline({.downloadBase = "/nonexistent", .useOfflineMode = false, .networkMonitor = monitor});

    EXPECT_FALSE(automatic.isOffline()) << "connected until the first path arrives";
    EXPECT_TRUE(alwaysOffline.isOffline());
    paths->send({.status = NWPath::Status::unsatisfied, .isExpensive = true});
    EXPECT_TRUE(automatic.isOffline());
    EXPECT_FALSE(neverOffline.isOffline());
    EXPECT_TRUE(monitor->state().isExpensive());
    {
        ScopedEnvironmentOverride ci(std::map<std::string, std::string>{{"CI_DISABLE_NETWORK_MONITOR", "1"}});
        EXPECT_FALSE(automatic.isOffline());
    }
    {
        ScopedEnvironmentOverride ci(std::map<std::string, std::string>{{"CI_DISABLE_NETWORK_MONITOR", "true"}});
        EXPECT_TRUE(automatic.isOffline());
    }
    paths->send({.status = NWPath::Status::satisfied});
    EXPECT_FALSE(automatic.isOffline());
    EXPECT_FALSE(monitor->state().isExpensive());
}

TEST(HubSettings, KernelTablesDecideThePath) {
    hubtest::TemporaryFolder root;
    const auto proc = root.path() / "proc";
    const auto sys = root.path() / "sys";
    const std::string header = "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n";
    root.write("proc/ipv6_route", "");
    root.write("sys/eth0/operstate", "up\n");
    root.write("sys/wwan0/operstate", "up\n");
    root.write("sys/wwan0/uevent", "INTERFACE=wwan0\nDEVTYPE=wwan\n");
    root.write("sys/eth1/operstate", "down\n");
    auto path = [&] { return hub::KernelPathMonitor::currentPath(proc, sys); };

    EXPECT_EQ(path().status, NWPath::Status::unsatisfied) << "no route table at all";
    root.write("proc/route", header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");
    EXPECT_EQ(path().status, NWPath::Status::unsatisfied) << "only a local route";
    root.write("proc/route", header + "eth1\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(path().status, NWPath::Status::unsatisfied) << "default route over a link that is down";
    root.write("proc/route", header + "wwan0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(path(), (NWPath{NWPath::Status::satisfied, true, false}));
    root.write("proc/route", header + "wwan0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" +
                                 "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    EXPECT_EQ(path(), (NWPath{NWPath::Status::satisfied, false, false}));

    root.write("proc/route", header);
    root.write("proc/ipv6_route",
               "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
               "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n");
    EXPECT_EQ(path().status, NWPath::Status::unsatisfied) << "the loopback's reject route";
    root.write("proc/ipv6_route",
               "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
               "fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n");
    EXPECT_EQ(path().status, NWPath::Status::satisfied);

    // The live monitor reports the current path once it starts.
    hub::KernelPathMonitor live(proc, sys);
    std::promise<NWPath> first;
    live.setPathUpdateHandler([&, reported = false](const NWPath& p) mutable {
        if (!reported) first.set_value(p);
        reported = true;
    });
    live.start();
    auto reported = first.get_future();
    ASSERT_EQ(reported.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reported.get().status, NWPath::Status::satisfied);
    live.cancel();
}

TEST(HubSettings, EnvironmentErrorDescriptions) {
    using Error = HubApi::EnvironmentError;
    EXPECT_EQ(Error::offlineModeError("Repository not available locally").localizedDescription(),
              "Offline mode error: Repository not available locally");
    EXPECT_EQ(Error::invalidMetadataError("x").localizedDescription(), "Invalid metadata: x");
    EXPECT_EQ(Error::fileIntegrityError("x").localizedDescription(), "File integrity check failed: x");
    EXPECT_EQ(Error::fileWriteError("x").errorDescription(), "Failed to write file: x");
    EXPECT_EQ(Error::fileWriteError("x").describe(), "fileWriteError(\"x\")");
}

}  // namespace

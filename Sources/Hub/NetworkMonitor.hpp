#pragma once
// Whether the machine has a usable network, as the hub client's offline decision needs it: a path monitor
// in the shape of the platform's (a status and the expensive and constrained flags, reported at start and
// on every change), the kernel's view of links and routes behind it on Linux, and the small state holder
// the client asks.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace hub {

struct NWPath {
    enum class Status { satisfied, unsatisfied };
    Status status = Status::unsatisfied;
    bool isExpensive = false;
    bool isConstrained = false;
    friend bool operator==(const NWPath&, const NWPath&) = default;
};

class NWPathMonitor {
public:
    using UpdateHandler = std::function<void(const NWPath&)>;
    virtual ~NWPathMonitor() = default;
    // Takes effect for the next path reported.
    virtual void setPathUpdateHandler(UpdateHandler handler) = 0;
    // Reports the current path, then every change, from a thread of the monitor's own. Starting a monitor
    // that runs keeps it running.
    virtual void start() = 0;
    // No report arrives once this returns.
    virtual void cancel() = 0;
};

// Linux: a path is satisfied when a default route (IPv4 or IPv6) goes through an interface that is up;
// expensive when that interface is a mobile broadband (wwan) device; never constrained. Changes are
// noticed through a netlink socket on link, address and route events, and by a re-check every 30 s.
class KernelPathMonitor final : public NWPathMonitor {
public:
    // `procNet` holds "route" and "ipv6_route", `sysClassNet` one folder per interface.
    explicit KernelPathMonitor(std::filesystem::path procNet = "/proc/net",
                               std::filesystem::path sysClassNet = "/sys/class/net");
    ~KernelPathMonitor() override;
    void setPathUpdateHandler(UpdateHandler handler) override;
    void start() override;
    void cancel() override;

    // The path the two folders describe right now.
    static NWPath currentPath(const std::filesystem::path& procNet, const std::filesystem::path& sysClassNet);

private:
    void run(std::stop_token stop);
    void deliver(const NWPath& path);

    std::filesystem::path procNet_;
    std::filesystem::path sysClassNet_;
    std::mutex mutex_;
    UpdateHandler handler_;
    std::jthread thread_;
    int wakeFd_ = -1;
};

// Tests: paths are reported by hand, on the calling thread.
class ManualPathMonitor final : public NWPathMonitor {
public:
    void setPathUpdateHandler(UpdateHandler handler) override;
    void start() override;
    void cancel() override;
    void send(const NWPath& path);

private:
    std::mutex mutex_;
    UpdateHandler handler_;
    bool running_ = false;
};

// The last path reported, and the client's offline decision.
class NetworkStateActor {
public:
    bool isConnected() const;
    bool isExpensive() const;
    bool isConstrained() const;
    void update(const NWPath& path);
    // False whenever CI_DISABLE_NETWORK_MONITOR is exactly "1" (read afresh); otherwise not connected.
    bool shouldUseOfflineMode() const;

private:
    mutable std::mutex mutex_;
    bool isConnected_ = true;  // until the first path arrives
    bool isExpensive_ = false;
    bool isConstrained_ = false;
};

// A path monitor feeding a state actor. The process-wide one watches the kernel; tests build their own on
// a ManualPathMonitor.
class NetworkMonitor {
public:
    // Starts monitoring.
    explicit NetworkMonitor(std::unique_ptr<NWPathMonitor> monitor);
    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // Created on first use, never released.
    static std::shared_ptr<NetworkMonitor> shared();

    void startMonitoring();
    NetworkStateActor& state() { return state_; }
    const NetworkStateActor& state() const { return state_; }

private:
    NetworkStateActor state_;
    std::unique_ptr<NWPathMonitor> monitor_;
};

}  // namespace hub

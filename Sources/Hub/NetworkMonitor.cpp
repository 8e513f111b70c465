#include "Hub/NetworkMonitor.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "Platform/Foundation/Environment.hpp"

namespace hub {

namespace {

constexpr unsigned long kRouteUp = 0x0001;
constexpr unsigned long kRouteReject = 0x0200;
constexpr int kRecheckMilliseconds = 30000;

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool isUp(const std::filesystem::path& sysClassNet, const std::string& interface) {
    if (interface.empty() || interface == "lo" || interface.find('/') != std::string::npos) return false;
    // "unknown" is what many virtual and point-to-point links report while they carry traffic.
    const std::string state = firstLine(sysClassNet / interface / "operstate");
    return state == "up" || state == "unknown";
}

bool isMobileBroadband(const std::filesystem::path& sysClassNet, const std::string& interface) {
    std::ifstream in(sysClassNet / interface / "uevent");
    std::string line;
    while (std::getline(in, line))
        if (line == "DEVTYPE=wwan") return true;
    return false;
}

// Interfaces that carry a default route, IPv4 then IPv6.
std::vector<std::string> defaultRouteInterfaces(const std::filesystem::path& procNet) {
    std::vector<std::string> interfaces;
    {
        std::ifstream in(procNet / "route");
        std::string line;
        std::getline(in, line);  // column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string interface, destination, gateway, flags, refcnt, use, metric, mask;
            if (!(fields >> interface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
            const unsigned long bits = std::stoul(flags, nullptr, 16);
            if (destination == "00000000" && mask == "00000000" && (bits & kRouteUp) && !(bits & kRouteReject))
                interfaces.push_back(interface);
        }
    }
    {
        std::ifstream in(procNet / "ipv6_route");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string destination, prefix, source, sourcePrefix, nextHop, metric, refcnt, use, flags, interface;
            if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refcnt >> use >>
                  flags >> interface))
                continue;
            const unsigned long bits = std::stoul(flags, nullptr, 16);
            if (destination == std::string(32, '0') && prefix == "00" && (bits & kRouteUp) && !(bits & kRouteReject))
                interfaces.push_back(interface);
        }
    }
    return interfaces;
}

}  // namespace

// --- KernelPathMonitor

KernelPathMonitor::KernelPathMonitor(std::filesystem::path procNet, std::filesystem::path sysClassNet)
    : procNet_(std::move(procNet)), sysClassNet_(std::move(sysClassNet)) {}

KernelPathMonitor::~KernelPathMonitor() { cancel(); }

NWPath KernelPathMonitor::currentPath(const std::filesystem::path& procNet, const std::filesystem::path& sysClassNet) {
    NWPath path;
    try {
        for (const std::string& interface : defaultRouteInterfaces(procNet)) {
            if (!isUp(sysClassNet, interface)) continue;
            if (path.status == NWPath::Status::satisfied && !path.isExpensive) continue;
            path.status = NWPath::Status::satisfied;
            // A path is expensive only when every usable route is.
            path.isExpensive = isMobileBroadband(sysClassNet, interface);
        }
    } catch (const std::exception&) {
        // An unreadable table reads as no route.
    }
    return path;
}

void KernelPathMonitor::setPathUpdateHandler(UpdateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void KernelPathMonitor::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void KernelPathMonitor::cancel() {
    std::jthread thread;
    {
        std::lock_guard lock(mutex_);
        thread = std::move(thread_);
        handler_ = nullptr;
    }
    if (thread.joinable()) {
        thread.request_stop();
        if (wakeFd_ >= 0) {
            uint64_t one = 1;
            (void)::write(wakeFd_, &one, sizeof one);
        }
        thread.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void KernelPathMonitor::deliver(const NWPath& path) {
    UpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler) handler(path);
}

void KernelPathMonitor::run(std::stop_token stop) {
    int netlink = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (netlink >= 0) {
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(netlink, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(netlink);
            netlink = -1;
        }
    }
    std::optional<NWPath> last;
    while (!stop.stop_requested()) {
        NWPath path = currentPath(procNet_, sysClassNet_);
        if (!last || *last != path) {
            last = path;
            deliver(path);
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {netlink, POLLIN, 0}};
        int ready = ::poll(fds, netlink >= 0 ? 2 : 1, kRecheckMilliseconds);
        if (ready > 0 && netlink >= 0 && (fds[1].revents & POLLIN)) {
            char buffer[8192];
            while (::recv(netlink, buffer, sizeof buffer, 0) > 0) {
                // Only the fact that something changed matters; the tables are read afresh.
            }
        }
    }
    if (netlink >= 0) ::close(netlink);
}

// --- ManualPathMonitor

void ManualPathMonitor::setPathUpdateHandler(UpdateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void ManualPathMonitor::start() {
    std::lock_guard lock(mutex_);
    running_ = true;
}

void ManualPathMonitor::cancel() {
    std::lock_guard lock(mutex_);
    running_ = false;
    handler_ = nullptr;
}

void ManualPathMonitor::send(const NWPath& path) {
    UpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        handler = handler_;
    }
    if (handler) handler(path);
}

// --- NetworkStateActor

bool NetworkStateActor::isConnected() const {
    std::lock_guard lock(mutex_);
    return isConnected_;
}

bool NetworkStateActor::isExpensive() const {
    std::lock_guard lock(mutex_);
    return isExpensive_;
}

bool NetworkStateActor::isConstrained() const {
    std::lock_guard lock(mutex_);
    return isConstrained_;
}

void NetworkStateActor::update(const NWPath& path) {
    std::lock_guard lock(mutex_);
    isConnected_ = path.status == NWPath::Status::satisfied;
    isExpensive_ = path.isExpensive;
    isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
    if (foundation::environmentValue("CI_DISABLE_NETWORK_MONITOR") == "1") return false;
    return !isConnected();
}

// --- NetworkMonitor

NetworkMonitor::NetworkMonitor(std::unique_ptr<NWPathMonitor> monitor) : monitor_(std::move(monitor)) {
    startMonitoring();
}

NetworkMonitor::~NetworkMonitor() { monitor_->cancel(); }

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared() {
    // Never released: the monitor's thread runs until the process ends.
    static auto* monitor =
        new std::shared_ptr<NetworkMonitor>(std::make_shared<NetworkMonitor>(std::make_unique<KernelPathMonitor>()));
    return *monitor;
}

void NetworkMonitor::startMonitoring() {
    // Updates are recorded on the monitor's thread, in the order the monitor reports them.
    monitor_->setPathUpdateHandler([state = &state_](const NWPath& path) { state->update(path); });
    monitor_->start();
}

}  // namespace hub

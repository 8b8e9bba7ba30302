#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

class DispatchSource;
class DispatchTimer;

// Changes of links, addresses and routes pushed by the kernel: a route netlink socket
// (RTMGRP_LINK, IPv4 and IPv6 IFADDR and ROUTE) served by the dispatch reactor. A burst of
// changes (the messages of one `ip` command, a DHCP lease) is heard once: the first change arms
// a quiet period, and when it ends the route tables are read again and onBurst runs, on the
// monitor's own queue. The socket lives in the network namespace of the thread that starts the
// monitor. All members are thread-safe.
class RtnetlinkMonitor : public std::enable_shared_from_this<RtnetlinkMonitor> {
  public:
    static constexpr double kQuietSeconds = 0.1;

    // nullptr when no route netlink socket can be opened.
    static std::shared_ptr<RtnetlinkMonitor> start(std::function<void()> onBurst,
                                                   double quietSeconds = kQuietSeconds);
    ~RtnetlinkMonitor();
    // No onBurst runs after it returns on the monitor's queue.
    void stop();

    // The kernel's route tables as /proc/net/route and /proc/net/ipv6_route gave them after
    // the last burst (or at the start).
    struct RouteTables {
        std::string ipv4;
        std::string ipv6;
    };
    RouteTables routeTables() const;
    uint64_t bursts() const { return bursts_.load(); }
    // The tables read now.
    static RouteTables readRouteTables();

    RtnetlinkMonitor(const RtnetlinkMonitor&) = delete;
    RtnetlinkMonitor& operator=(const RtnetlinkMonitor&) = delete;

  private:
    RtnetlinkMonitor(int fd, std::function<void()> onBurst, double quietSeconds);
    void readAll();
    void burstEnded();

    const int fd_;
    const double quietSeconds_;
    const DispatchQueuePtr queue_;
    std::shared_ptr<DispatchSource> source_;
    std::shared_ptr<DispatchTimer> timer_;
    std::atomic<uint64_t> bursts_{0};

    mutable std::mutex mutex_;  // guards the fields below
    std::function<void()> onBurst_;
    RouteTables tables_;
    bool stopped_ = false;
    bool armed_ = false;
};

}  // namespace telvo

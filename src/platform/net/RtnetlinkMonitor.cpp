#include "platform/net/RtnetlinkMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/net/RtnetlinkMessage.h"

namespace telvo {

namespace {

// Datagrams read in one go before the queue lets other blocks run.
constexpr int kDatagramsPerRead = 64;
constexpr size_t kDatagramBytes = 64 * 1024;

std::string readWhole(const char* path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

RtnetlinkMonitor::RtnetlinkMonitor(int fd, std::function<void()> onBurst, double quietSeconds)
    : fd_(fd),
      quietSeconds_(quietSeconds),
      queue_(DispatchQueue::createSerial("telvo.rtnetlink")),
      onBurst_(std::move(onBurst)) {}

std::shared_ptr<RtnetlinkMonitor> RtnetlinkMonitor::start(std::function<void()> onBurst,
                                                          double quietSeconds) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto monitor = std::shared_ptr<RtnetlinkMonitor>(
        new RtnetlinkMonitor(fd, std::move(onBurst), quietSeconds));
    monitor->tables_ = readRouteTables();
    std::weak_ptr<RtnetlinkMonitor> weak = monitor;
    monitor->timer_ = DispatchTimer::create(monitor->queue_, [weak] {
        if (auto self = weak.lock()) self->burstEnded();
    });
    monitor->source_ = DispatchSource::create(DispatchSource::Kind::Read, fd, monitor->queue_,
                                              DispatchSource::Descriptor::Owned);
    monitor->source_->setEventHandler([weak] {
        if (auto self = weak.lock()) self->readAll();
    });
    monitor->source_->resume();
    return monitor;
}

// The source closes the descriptor once cancelled.
RtnetlinkMonitor::~RtnetlinkMonitor() {
    stop();
}

void RtnetlinkMonitor::stop() {
    std::function<void()> released;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        released = std::move(onBurst_);
    }
    if (source_) source_->cancel();
    if (timer_) timer_->cancel();
}

void RtnetlinkMonitor::readAll() {
    std::vector<uint8_t> buffer(kDatagramBytes);
    bool changed = false;
    for (int i = 0; i < kDatagramsPerRead; ++i) {
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            // ENOBUFS: the kernel dropped messages; the tables must be read again anyway.
            if (errno == ENOBUFS) changed = true;
            if (errno == EINTR || errno == ENOBUFS) continue;
            break;
        }
        auto messages = RtnetlinkMessages::parse(ByteView(buffer.data(), size_t(n)));
        changed = changed || !messages.changes.empty();
    }
    if (!changed) return;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || armed_) return;
        armed_ = true;
    }
    timer_->start(quietSeconds_);
}

void RtnetlinkMonitor::burstEnded() {
    RouteTables tables = readRouteTables();
    std::function<void()> onBurst;
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        if (stopped_) return;
        tables_ = std::move(tables);
        onBurst = onBurst_;
    }
    bursts_.fetch_add(1);
    if (onBurst) onBurst();
}

RtnetlinkMonitor::RouteTables RtnetlinkMonitor::routeTables() const {
    std::lock_guard lock(mutex_);
    return tables_;
}

RtnetlinkMonitor::RouteTables RtnetlinkMonitor::readRouteTables() {
    return RouteTables{readWhole("/proc/net/route"), readWhole("/proc/net/ipv6_route")};
}

}  // namespace telvo

#include "sim/SimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sim/TestSupport.h"

namespace telvo::sim {

namespace {

const TimeStamp kStamp = makeTimeStamp(2026, 12, 7, 2, 0, 0, 0);

int boundSocket(uint16_t port, uint16_t* boundPort, bool anyAddress = false) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = test::loopbackAddress(port);
    if (anyAddress) {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("discovery responder: bind");
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *boundPort = ntohs(a.sin_port);
    return fd;
}

}  // namespace

uint16_t freeUdpPort() {
    // Outside the kernel's ephemeral range, where no socket bound by a send or by a bind to port
    // 0 (another test program's, say) can take it before the library binds it.
    int low = 32768, high = 60999;
    if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d %d", &low, &high) != 2) low = 32768, high = 60999;
        std::fclose(range);
    }
    const int below = std::max(0, low - 1024);
    const int above = std::max(0, 65535 - high);
    static std::mt19937 pick{std::random_device{}()};
    for (int attempt = 0; below + above > 0 && attempt < 100; ++attempt) {
        const int n = int(pick() % unsigned(below + above));
        const auto port = uint16_t(n < below ? 1024 + n : high + 1 + (n - below));
        // Free on every address, as the library binds it.
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any = test::loopbackAddress(port);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
        if (fd >= 0) ::close(fd);
        if (free) return port;
    }
    uint16_t port = 0;
    ::close(boundSocket(0, &port));
    return port;
}

SimDiscoveryResponder::SimDiscoveryResponder(SimLanCodec codec)
    : SimDiscoveryResponder(std::move(codec), 0) {}

SimDiscoveryResponder::SimDiscoveryResponder(SimLanCodec codec, uint16_t port)
    : codec_(std::move(codec)) {
    fd_ = boundSocket(port, &port_, port != 0);
    auto pair = DispatchSource::createPair(fd_, DispatchQueue::main());
    source_ = pair.read;
    unusedWriteSource_ = pair.write;
    source_->setEventHandler([this] { onReadable(); });
    source_->resume();
}

SimDiscoveryResponder::~SimDiscoveryResponder() {
    // The pair closes the descriptor once both are cancelled and released.
    source_->cancel();
    unusedWriteSource_->cancel();
}

size_t SimDiscoveryResponder::addAppliance(SimDiscoveryAppliance appliance) {
    appliances_.push_back(std::move(appliance));
    return appliances_.size() - 1;
}

Bytes SimDiscoveryResponder::datagram(size_t index, const SimDiscoveryAnswer& a) const {
    using Kind = SimDiscoveryAnswer::Kind;
    const SimDiscoveryReply& reply = appliances_.at(index).reply;
    switch (a.kind) {
        case Kind::Silence:
        case Kind::Empty:
            return {};
        case Kind::Refused: {
            SimLanFrame f;
            f.protocolVer = 1;
            f.encryptType = 1;
            f.msgType = 0x92;
            f.timeStamp = kStamp;
            f.deviceId = a.deviceId;
            f.body = buildDiscoveryBody(reply, codec_.defaultKey(), kStamp);
            f.body[40] = 0;  // SSID length
            return codec_.write(f);
        }
        default:
            break;
    }
    Bytes frame = buildDiscoveryFrame(reply, codec_, kStamp, a.deviceId, a.bodyLength);
    if (a.kind == Kind::BadMagic) frame[0] = 0x5B;
    if (a.kind == Kind::Short) frame.resize(56);
    return frame;
}

namespace {

void sendDatagram(int fd, const Bytes& data, const sockaddr_in& to) {
    if (sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("discovery responder: sendto");
}

}  // namespace

void SimDiscoveryResponder::sendTo(uint16_t port, const Bytes& data) const {
    sendDatagram(fd_, data, test::loopbackAddress(port));
}

void SimDiscoveryResponder::answer(size_t index, const SimDiscoveryAnswer& a,
                                   const sockaddr_in& to) const {
    if (a.kind == SimDiscoveryAnswer::Kind::Silence) return;
    const Bytes data = datagram(index, a);
    for (int i = 0; i < a.copies; ++i) sendDatagram(fd_, data, to);
}

void SimDiscoveryResponder::announce(size_t index, uint16_t port, const SimDiscoveryAnswer& a) {
    answer(index, a, test::loopbackAddress(port));
}

void SimDiscoveryResponder::announce(size_t index, const std::string& host, uint16_t port,
                                     const SimDiscoveryAnswer& a) {
    sockaddr_in to = test::loopbackAddress(port);
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1)
        throw std::invalid_argument("discovery responder: no IPv4 address: " + host);
    answer(index, a, to);
}

void SimDiscoveryResponder::onReadable() {
    for (;;) {
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        buffer.resize(static_cast<size_t>(n));
        Probe probe;
        probe.fromPort = ntohs(from.sin_port);
        probe.atNanos = Clock::shared()->monotonicNanos();
        auto frame = codec_.read(buffer);
        probe.isDiscoveryRequest =
            frame && frame->msgType == 0x92 && frame->body == Bytes{0xFF, 0x00};
        probe.data = std::move(buffer);
        probes_.push_back(probe);
        for (size_t i = 0; i < appliances_.size(); ++i) {
            SimDiscoveryAppliance& a = appliances_[i];
            SimDiscoveryAnswer next = a.then;
            if (!a.script.empty()) {
                next = a.script.front();
                a.script.pop_front();
            }
            if (replyToSender) answer(i, next, from);
            for (uint16_t port : replyPorts) {
                sockaddr_in listener = from;
                listener.sin_port = htons(port);
                answer(i, next, listener);
            }
        }
        if (onProbe) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            onProbe(probes_.back(), text);
        }
    }
}

}  // namespace telvo::sim

#include "platform/net/NetworkGuard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/Singleton.h"

namespace telvo {

namespace {

std::atomic<bool> enforcing{false};
// The admitted subnet: network address in the high 32 bits, prefix length below; 0 for none.
std::atomic<uint64_t> admitted{0};

constexpr uint32_t kTestRange = 0xC6120000u;  // 198.18.0.0/15
constexpr int kTestRangePrefix = 15;

uint32_t maskOf(int prefix) {
    return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
}

std::mutex& sinkMutex() {
    return processWide([] { return new std::mutex(); });
}

std::shared_ptr<NetworkGuard::DatagramSink>& datagramSinkSlot() {
    return processWide([] { return new std::shared_ptr<NetworkGuard::DatagramSink>(); });
}

bool isLoopback4(const in_addr& a) {
    return (ntohl(a.s_addr) >> 24) == 127;
}

bool isAdmitted4(const in_addr& a) {
    const uint64_t subnet = admitted.load(std::memory_order_acquire);
    if (subnet == 0) return false;
    const uint32_t host = ntohl(a.s_addr);
    const uint32_t mask = maskOf(int(subnet & 0xFF));
    return (host & mask) == uint32_t(subnet >> 32) || (host >> 24) == 239;
}

void refuse(const sockaddr* address, socklen_t length, const char* what) {
    std::fprintf(stderr,
                 "telvo network guard: %s to %s refused: tests reach only loopback "
                 "(127.0.0.0/8, ::1) and an admitted test subnet; install a datagram sink for "
                 "other datagram destinations\n",
                 what, NetworkGuard::describe(address, length).c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace

bool NetworkGuard::isLoopbackDestination(const sockaddr* address, socklen_t length) {
    if (!address) return false;
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        return isLoopback4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    }
    if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            in_addr v4;
            std::memcpy(&v4, a.s6_addr + 12, 4);
            return isLoopback4(v4);
        }
    }
    return false;
}

bool NetworkGuard::isLoopbackDestination(std::string_view numericAddress) {
    std::string text(numericAddress);
    sockaddr_in v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return isLoopbackDestination(reinterpret_cast<sockaddr*>(&v4), sizeof v4);
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return isLoopbackDestination(reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    }
    return false;
}

bool NetworkGuard::isEnforcing() {
    return enforcing.load(std::memory_order_acquire);
}

void NetworkGuard::setEnforcing(bool on) {
    enforcing.store(on, std::memory_order_release);
}

bool NetworkGuard::admitSubnet(std::string_view cidr) {
    if (cidr.empty()) {
        admitted.store(0, std::memory_order_release);
        return true;
    }
    const size_t slash = cidr.find('/');
    if (slash == std::string_view::npos) return false;
    const std::string address(cidr.substr(0, slash));
    const std::string prefixText(cidr.substr(slash + 1));
    in_addr network{};
    if (inet_pton(AF_INET, address.c_str(), &network) != 1) return false;
    if (prefixText.empty() || prefixText.size() > 2 ||
        prefixText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int prefix = std::stoi(prefixText);
    const uint32_t host = ntohl(network.s_addr);
    if (prefix < kTestRangePrefix || prefix > 30 || (host & ~maskOf(prefix)) != 0 ||
        (host & maskOf(kTestRangePrefix)) != kTestRange)
        return false;
    admitted.store(uint64_t{host} << 32 | uint64_t(prefix), std::memory_order_release);
    return true;
}

bool NetworkGuard::isAdmittedDestination(const sockaddr* address, socklen_t length) {
    if (isLoopbackDestination(address, length)) return true;
    if (address && address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in)))
        return isAdmitted4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    return false;
}

void NetworkGuard::setDatagramSink(DatagramSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    datagramSinkSlot() = sink ? std::make_shared<DatagramSink>(std::move(sink)) : nullptr;
}

void NetworkGuard::check(const sockaddr* address, socklen_t length, const char* what) {
    if (isEnforcing() && !isAdmittedDestination(address, length)) refuse(address, length, what);
}

int NetworkGuard::connect(int fd, const sockaddr* address, socklen_t length) {
    if (address && (address->sa_family == AF_INET || address->sa_family == AF_INET6))
        check(address, length, "TCP connect");
    return ::connect(fd, address, length);
}

ssize_t NetworkGuard::sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                             socklen_t toLength) {
    // A connected socket sends to its peer: that is the destination to judge.
    sockaddr_storage peer{};
    const sockaddr* destination = to;
    socklen_t destinationLength = toLength;
    if (!to) {
        socklen_t peerLength = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
            destination = reinterpret_cast<const sockaddr*>(&peer);
            destinationLength = peerLength;
        }
    }
    bool inet =
        destination && (destination->sa_family == AF_INET || destination->sa_family == AF_INET6);
    if (inet) {
        std::shared_ptr<DatagramSink> sink;
        {
            std::lock_guard<std::mutex> lock(sinkMutex());
            sink = datagramSinkSlot();
        }
        const int verdict =
            sink ? (*sink)(destination, destinationLength, static_cast<const uint8_t*>(data), size)
                 : 0;
        if (verdict > 0) return ssize_t(size);
        if (verdict < 0) {
            errno = -verdict;
            return -1;
        }
        check(destination, destinationLength, "UDP send");
    }
    return ::sendto(fd, data, size, flags, to, to ? toLength : 0);
}

std::string NetworkGuard::describe(const sockaddr* address, socklen_t length) {
    if (!address) return "(no address)";
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        auto* a = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
    }
    if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        std::string out = "[";
        out.append(text).append("]:").append(std::to_string(ntohs(a->sin6_port)));
        return out;
    }
    return "(address family " + std::to_string(address->sa_family) + ")";
}

}  // namespace telvo

#include "sockets/SocketAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sockets/SocketError.h"

namespace telvo {

namespace {

template <class T>
bool readAs(ByteView data, int family, T& out) {
    if (data.size() < sizeof(T)) return false;
    std::memcpy(&out, data.data(), sizeof(T));
    return reinterpret_cast<const sockaddr*>(&out)->sa_family == family;
}

Bytes address4(in_addr_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    return socketAddressData(&a, sizeof a);
}

Bytes address6(const in6_addr& address, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = address;
    return socketAddressData(&a, sizeof a);
}

}  // namespace

SocketAddressParts socketAddressParts(ByteView address) {
    SocketAddressParts parts;
    sockaddr_in a4{};
    sockaddr_in6 a6{};
    if (readAs(address, AF_INET, a4)) {
        parts = {hostFromSockaddr4(a4), portFromSockaddr4(a4), AF_INET};
    } else if (readAs(address, AF_INET6, a6)) {
        parts = {hostFromSockaddr6(a6), portFromSockaddr6(a6), AF_INET6};
    }
    return parts;
}

Bytes unixSocketAddress(const std::string& url) {
    constexpr std::string_view scheme = "file://";
    std::string path = url.starts_with(scheme) ? url.substr(scheme.size()) : url;
    sockaddr_un a{};
    if (path.empty() || path.size() >= sizeof a.sun_path || path.find('\0') != std::string::npos) {
        return {};
    }
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), path.size());
    return socketAddressData(&a, socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + 1));
}

std::string unixSocketPath(ByteView address) {
    constexpr size_t start = offsetof(sockaddr_un, sun_path);
    sa_family_t family = 0;
    if (address.size() <= start) return {};
    std::memcpy(&family, address.data(), sizeof family);
    if (family != AF_UNIX) return {};
    const char* path = reinterpret_cast<const char*>(address.data()) + start;
    return std::string(path, strnlen(path, address.size() - start));
}

bool isIPv4SocketAddress(ByteView address) {
    sockaddr_in a{};
    return readAs(address, AF_INET, a);
}

bool isIPv6SocketAddress(ByteView address) {
    sockaddr_in6 a{};
    return readAs(address, AF_INET6, a);
}

std::string hostFromSockaddr4(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) ? text : "";
}

std::string hostFromSockaddr6(const sockaddr_in6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text) ? text : "";
}

Bytes socketAddressData(const void* address, socklen_t length) {
    auto* p = static_cast<const uint8_t*>(address);
    return Bytes(p, p + length);
}

socklen_t copySocketAddress(ByteView address, sockaddr_storage& out) {
    out = {};
    size_t n = std::min(address.size(), sizeof out);
    std::memcpy(&out, address.data(), n);
    return socklen_t(n);
}

Bytes anySocketAddress4(uint16_t port) {
    return address4(INADDR_ANY, port);
}
Bytes anySocketAddress6(uint16_t port) {
    return address6(in6addr_any, port);
}
Bytes loopbackSocketAddress4(uint16_t port) {
    return address4(INADDR_LOOPBACK, port);
}
Bytes loopbackSocketAddress6(uint16_t port) {
    return address6(in6addr_loopback, port);
}

HostResolution resolveHost(const std::string& host, uint16_t port, int socketType, int protocol) {
    HostResolution result;
    if (host == "localhost" || host == "loopback") {
        result.addresses = {loopbackSocketAddress4(port), loopbackSocketAddress6(port)};
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        result.error = resolverError(rc);
        return result;
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            result.addresses.push_back(socketAddressData(ai->ai_addr, sizeof(sockaddr_in)));
        } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 a6;
            std::memcpy(&a6, ai->ai_addr, sizeof a6);
            if (a6.sin6_port == 0) a6.sin6_port = htons(port);
            result.addresses.push_back(socketAddressData(&a6, sizeof a6));
        }
    }
    freeaddrinfo(list);
    if (result.addresses.empty()) result.error = resolverError(EAI_FAIL);
    return result;
}

InterfaceAddresses interfaceAddresses(const std::string& description, uint16_t port) {
    InterfaceAddresses found;
    if (description == "localhost" || description == "loopback") {
        return {loopbackSocketAddress4(port), loopbackSocketAddress6(port)};
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        bool nameMatches = entry->ifa_name && description == entry->ifa_name;
        if (entry->ifa_addr->sa_family == AF_INET && found.address4.empty()) {
            sockaddr_in a4;
            std::memcpy(&a4, entry->ifa_addr, sizeof a4);
            if (nameMatches || hostFromSockaddr4(a4) == description) {
                a4.sin_port = htons(port);
                found.address4 = socketAddressData(&a4, sizeof a4);
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6 && found.address6.empty()) {
            sockaddr_in6 a6;
            std::memcpy(&a6, entry->ifa_addr, sizeof a6);
            if (nameMatches || hostFromSockaddr6(a6) == description) {
                a6.sin6_port = htons(port);
                found.address6 = socketAddressData(&a6, sizeof a6);
            }
        }
    }
    freeifaddrs(list);
    return found;
}

}  // namespace telvo

#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// Socket addresses as the socket classes pass them around: data holding the kernel's
// sockaddr_in (16 bytes) or sockaddr_in6 (28 bytes), exactly as the kernel fills it.

struct SocketAddressParts {
    std::string host;   // numeric text; empty when inet_ntop fails
    uint16_t port = 0;  // host order
    int family = 0;     // AF_INET, AF_INET6, or 0 when the data holds neither
};

// The parts of an IPv4 address of at least 16 bytes or an IPv6 address of at least 28 bytes;
// nullopt-like (family 0, empty host, port 0) for anything else. Never reads past the data.
SocketAddressParts socketAddressParts(ByteView address);
bool isIPv4SocketAddress(ByteView address);
bool isIPv6SocketAddress(ByteView address);

std::string hostFromSockaddr4(const sockaddr_in& address);
std::string hostFromSockaddr6(const sockaddr_in6& address);
inline uint16_t portFromSockaddr4(const sockaddr_in& address) {
    return ntohs(address.sin_port);
}
inline uint16_t portFromSockaddr6(const sockaddr_in6& address) {
    return ntohs(address.sin6_port);
}

// The bytes of a kernel address structure.
Bytes socketAddressData(const void* address, socklen_t length);
// Copies data into a zeroed sockaddr_storage; answers the length copied (at most its size).
socklen_t copySocketAddress(ByteView address, sockaddr_storage& out);

// A Unix-domain address (sockaddr_un, as long as the path needs) for a path or a "file://"
// URL of one; empty for an empty path, a path with a NUL, or one too long for the kernel.
Bytes unixSocketAddress(const std::string& url);
// The path of a Unix-domain address; empty for an unnamed one or other data.
std::string unixSocketPath(ByteView address);

Bytes anySocketAddress4(uint16_t port);
Bytes anySocketAddress6(uint16_t port);
Bytes loopbackSocketAddress4(uint16_t port);
Bytes loopbackSocketAddress6(uint16_t port);

// Result of a host lookup: addresses in resolver order, or an error.
struct HostResolution {
    std::vector<Bytes> addresses;
    ErrorPtr error;
};

// Resolves a host text for the given socket type and protocol (blocking; run it off the
// socket queue). "localhost" and "loopback" give 127.0.0.1 then ::1 without a lookup. Other
// texts go to getaddrinfo with any family and no flags; IPv4 results are kept as they are,
// IPv6 results get the port when the resolver left it 0, other families are skipped. A
// resolver failure gives its error ("kCFStreamErrorDomainNetDB", the resolver's code); an
// empty result gives EAI_FAIL.
HostResolution resolveHost(const std::string& host, uint16_t port, int socketType, int protocol);

// The local addresses an interface description names, with the port written in: "localhost"
// and "loopback" give the loopback addresses; any other text is compared with the names and
// numeric address texts of the system's interfaces (the first match of each family). Either
// may come back empty.
struct InterfaceAddresses {
    Bytes address4;
    Bytes address6;
};
InterfaceAddresses interfaceAddresses(const std::string& description, uint16_t port);

}  // namespace telvo

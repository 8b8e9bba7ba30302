// Socket options, binding and multicast membership.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "sockets/QKGCDAsyncUdpSocket.h"
#include "sockets/QKGCDAsyncUdpSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_udp_socket;

bool QKGCDAsyncUdpSocket::setSocketOption(int level, int option, int value, bool v4,
                                          ErrorPtr* error) {
    if (::setsockopt(family(v4).fd, level, option, &value, sizeof value) == 0) return true;
    return fail(error, errnoErrorWithReason("Error in setsockopt() function"));
}

bool QKGCDAsyncUdpSocket::enableBroadcast(bool flag, ErrorPtr* error) {
    return socketQueue_.sync([&] {
        if (!preOp(error)) return false;
        if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
        if (f4_->fd == -1) return false;
        return setSocketOption(SOL_SOCKET, SO_BROADCAST, flag ? 1 : 0, true, error);
    });
}

bool QKGCDAsyncUdpSocket::enableReusePort(bool flag, ErrorPtr* error) {
    return socketQueue_.sync([&] {
        if (!preOp(error)) return false;
        if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
        bool ok = false;
        for (bool v4 : {true, false}) {
            if (family(v4).fd == -1) continue;
            if (!setSocketOption(SOL_SOCKET, SO_REUSEPORT, flag ? 1 : 0, v4, error)) break;
            ok = true;
        }
        return ok;
    });
}

// Binds the existing descriptors to the given addresses (empty: that family is not in use).
bool QKGCDAsyncUdpSocket::bindFamilies(const Bytes& address4, const Bytes& address6,
                                       bool lenientIPv6, ErrorPtr* error) {
    bool use4 = !address4.empty() && f4_->fd != -1;
    bool use6 = !address6.empty() && f6_->fd != -1;
    if (use4 && ::bind(f4_->fd, reinterpret_cast<const sockaddr*>(address4.data()),
                       socklen_t(address4.size())) != 0) {
        ErrorPtr e = errnoErrorWithReason("Error in bind() function");
        closeSockets();
        return fail(error, e);
    }
    if (use6 && ::bind(f6_->fd, reinterpret_cast<const sockaddr*>(address6.data()),
                       socklen_t(address6.size())) != 0) {
        int err = errno;
        if (use4 && lenientIPv6 && (err == EADDRNOTAVAIL || isIPv6Unavailable(err))) {
            closeSocket(false);  // IPv6 switched off on this host: keep IPv4
            use6 = false;
        } else {
            ErrorPtr e = errnoErrorWithReason("Error in bind() function");
            closeSockets();
            return fail(error, e);
        }
    }
    if (!use4 && !use6) {
        closeSockets();
        return fail(error, badParamError("Unknown interface. Specify valid interface by name "
                                         "(e.g. \"en1\") or IP address."));
    }
    flags_ |= kDidBind;
    f4_->bound = use4;
    f6_->bound = use6;
    if (!use4) flags_ |= f4_->deactivatedBit;
    if (!use6) flags_ |= f6_->deactivatedBit;
    return true;
}

bool QKGCDAsyncUdpSocket::bindToPort(uint16_t port, ErrorPtr* error) {
    return bindToPort(port, std::nullopt, error);
}

bool QKGCDAsyncUdpSocket::bindToPort(uint16_t port, const std::optional<std::string>& interface,
                                     ErrorPtr* error) {
    return socketQueue_.sync([&] {
        if (!preBind(error)) return false;
        InterfaceAddresses addresses =
            interface ? interfaceAddresses(*interface, port)
                      : InterfaceAddresses{anySocketAddress4(port), anySocketAddress6(port)};
        if (addresses.address4.empty() && addresses.address6.empty())
            return fail(error, badParamError("Unknown interface. Specify valid interface by name "
                                             "(e.g. \"en1\") or IP address."));
        if ((config_ & kUdpIPv4Disabled) && addresses.address6.empty())
            return fail(error, badParamError("IPv4 has been disabled and specified interface "
                                             "doesn't support IPv6."));
        if ((config_ & kUdpIPv6Disabled) && addresses.address4.empty())
            return fail(error, badParamError("IPv6 has been disabled and specified interface "
                                             "doesn't support IPv4."));
        if (config_ & kUdpIPv4Disabled) addresses.address4.clear();
        if (config_ & kUdpIPv6Disabled) addresses.address6.clear();
        if (!(flags_ & kDidCreateSockets) &&
            !createSocket4Socket6(!addresses.address4.empty(), !addresses.address6.empty(), error))
            return false;
        return bindFamilies(addresses.address4, addresses.address6, !interface, error);
    });
}

bool QKGCDAsyncUdpSocket::bindToAddress(const Bytes& address, ErrorPtr* error) {
    return socketQueue_.sync([&] {
        if (!preBind(error)) return false;
        bool v4 = isIPv4SocketAddress(address);
        if (!v4 && !isIPv6SocketAddress(address))
            return fail(error, badParamError("A valid IPv4 or IPv6 address was not given"));
        Bytes address4 =
            v4 ? Bytes(address.begin(), address.begin() + sizeof(sockaddr_in)) : Bytes();
        Bytes address6 =
            v4 ? Bytes() : Bytes(address.begin(), address.begin() + sizeof(sockaddr_in6));
        if (v4 && (config_ & kUdpIPv4Disabled))
            return fail(error,
                        badParamError("IPv4 has been disabled and an IPv4 address was passed."));
        if (!v4 && (config_ & kUdpIPv6Disabled))
            return fail(error,
                        badParamError("IPv6 has been disabled and an IPv6 address was passed."));
        if (!(flags_ & kDidCreateSockets) && !createSocket4Socket6(v4, !v4, error)) return false;
        return bindFamilies(address4, address6, false, error);
    });
}

// ---- Multicast ----

bool QKGCDAsyncUdpSocket::joinMulticastGroup(const std::string& group, ErrorPtr* error) {
    return joinMulticastGroup(group, std::nullopt, error);
}
bool QKGCDAsyncUdpSocket::joinMulticastGroup(const std::string& group,
                                             const std::optional<std::string>& interface,
                                             ErrorPtr* error) {
    return socketQueue_.sync([&] { return multicastRequest(true, group, interface, error); });
}
bool QKGCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group, ErrorPtr* error) {
    return leaveMulticastGroup(group, std::nullopt, error);
}
bool QKGCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group,
                                              const std::optional<std::string>& interface,
                                              ErrorPtr* error) {
    return socketQueue_.sync([&] { return multicastRequest(false, group, interface, error); });
}

bool QKGCDAsyncUdpSocket::multicastRequest(bool join, const std::string& group,
                                           const std::optional<std::string>& interface,
                                           ErrorPtr* error) {
    if (!preOp(error)) return false;
    if (!(flags_ & kDidBind))
        return fail(error, badConfigError("Must bind a socket before joining a multicast group."));
    if (flags_ & (kConnecting | kDidConnect))
        return fail(error, badConfigError("Cannot join a multicast group if connected."));
    sockaddr_in group4{};
    sockaddr_in6 group6{};
    bool isGroup4 = inet_pton(AF_INET, group.c_str(), &group4.sin_addr) == 1;
    bool isGroup6 = !isGroup4 && inet_pton(AF_INET6, group.c_str(), &group6.sin6_addr) == 1;
    if (!isGroup4 && !isGroup6)
        return fail(error, badParamError("Unknown group. Specify valid group IP address."));
    InterfaceAddresses local =
        interface ? interfaceAddresses(*interface, 0)
                  : InterfaceAddresses{anySocketAddress4(0), anySocketAddress6(0)};
    if (isGroup4 && f4_->fd != -1 && !local.address4.empty()) {
        ip_mreq request{};
        request.imr_multiaddr = group4.sin_addr;
        request.imr_interface =
            reinterpret_cast<const sockaddr_in*>(local.address4.data())->sin_addr;
        if (::setsockopt(f4_->fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                         &request, sizeof request) != 0)
            return fail(error, errnoErrorWithReason("Error in setsockopt() function"));
        closeSocket(false);
        flags_ |= f6_->deactivatedBit;
        return true;
    }
    if (isGroup6 && f6_->fd != -1 && !local.address6.empty()) {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = group6.sin6_addr;
        if (interface)
            request.ipv6mr_interface = if_nametoindex(
                *interface == "localhost" || *interface == "loopback" ? "lo" : interface->c_str());
        if (::setsockopt(f6_->fd, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request,
                         sizeof request) != 0)
            return fail(error, errnoErrorWithReason("Error in setsockopt() function"));
        closeSocket(true);
        flags_ |= f4_->deactivatedBit;
        return true;
    }
    return fail(error, badParamError("Socket, group, and interface do not have matching IP "
                                     "versions"));
}

}  // namespace telvo

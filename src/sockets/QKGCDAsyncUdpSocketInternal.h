#pragma once

// Internal to the QKGCDAsyncUdpSocket*.cpp files: the socket's state words, its error values
// and the state of one kernel socket.

#include <cerrno>
#include <memory>

#include "sockets/QKGCDAsyncUdpSocket.h"
#include "sockets/SocketError.h"

namespace telvo {

namespace async_udp_socket {

// flags
constexpr uint32_t kDidCreateSockets = 0x1;
constexpr uint32_t kDidBind = 0x2;
constexpr uint32_t kConnecting = 0x4;
constexpr uint32_t kDidConnect = 0x8;
constexpr uint32_t kReceiveOnce = 0x10;
constexpr uint32_t kReceiveContinuous = 0x20;
constexpr uint32_t kCloseAfterSends = 0x8000;
constexpr uint32_t kFlipFlop = 0x10000;

// config
constexpr uint16_t kUdpIPv4Disabled = 0x1;
constexpr uint16_t kUdpIPv6Disabled = 0x2;
constexpr uint16_t kUdpPreferIPv4 = 0x4;
constexpr uint16_t kUdpPreferIPv6 = 0x8;

inline ErrorPtr socketError(QKGCDAsyncUdpSocketError code, const std::string& message) {
    return makeError(QKGCDAsyncUdpSocketErrorDomain, code, message);
}
inline ErrorPtr badConfigError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketBadConfigError, message);
}
inline ErrorPtr badParamError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketBadParamError, message);
}
inline ErrorPtr otherError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketOtherError, message);
}
inline ErrorPtr sendTimeoutError() {
    return socketError(QKGCDAsyncUdpSocketSendTimeoutError, "Send operation timed out");
}
inline ErrorPtr errnoErrorWithReason(const std::string& reason) {
    return posixError(errno, reason);
}

// Stores the error (when asked for) and answers false.
inline bool fail(ErrorPtr* out, ErrorPtr error) {
    if (out) *out = std::move(error);
    return false;
}

inline bool isIPv6Unavailable(int err) {
    return err == EAFNOSUPPORT || err == EPROTONOSUPPORT;
}

}  // namespace async_udp_socket

// The state of one kernel socket.
struct QKGCDAsyncUdpSocket::Family {
    Family(int domain, uint32_t deactivated, uint32_t sendSuspended, uint32_t receiveSuspended,
           uint32_t acceptsBytes, uint16_t disabled)
        : domain(domain),
          deactivatedBit(deactivated),
          sendSuspendedBit(sendSuspended),
          receiveSuspendedBit(receiveSuspended),
          acceptsBytesBit(acceptsBytes),
          disabledBit(disabled) {}
    const int domain;
    const uint32_t deactivatedBit, sendSuspendedBit, receiveSuspendedBit, acceptsBytesBit;
    const uint16_t disabledBit;

    int fd = -1;
    // Bound explicitly, or left to the kernel to bind with a port of its own (takeOwnPort).
    bool bound = false;
    std::shared_ptr<DispatchSource> sendSource, receiveSource;
    uint64_t bytesAvailable = 0;
    // Read once after binding; mutable because the accessors fill it.
    mutable LocalAddress local;
};

}  // namespace telvo

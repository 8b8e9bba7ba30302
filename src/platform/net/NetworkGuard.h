#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace telvo {

// The one door through which the library connects TCP sockets and sends datagrams.
//
// Enforcement is a run-time switch, off by default: the library and any app built with it
// never abort on a destination. The test programs' shared main turns it on; then a TCP connect
// or a UDP send to anything but loopback (127.0.0.0/8, ::1, ::ffff:127.0.0.0/104) or an admitted
// subnet aborts the process with a message naming the destination, unless an installed datagram
// sink takes the datagram. The datagram sink works whether or not the guard enforces.
class NetworkGuard {
  public:
    // The guard's decision: true for a loopback destination.
    static bool isLoopbackDestination(const sockaddr* address, socklen_t length);
    // The same for a numeric address text; false for anything that does not parse.
    static bool isLoopbackDestination(std::string_view numericAddress);
    // True when refused destinations abort. Off unless a test program turned it on.
    static bool isEnforcing();
    // Turns enforcement on or off for the whole process; thread-safe.
    static void setEnforcing(bool enforcing);

    // For a program that runs inside network namespaces it made itself, joined by a veth pair on
    // a subnet of 198.18.0.0/15 (the range set aside for network tests): admits, besides
    // loopback, that one IPv4 subnet ("198.18.0.0/24", its broadcast address included) and the
    // administratively scoped multicast groups 239.0.0.0/8, until the text is empty again.
    // Text that is no such subnet is refused: false, and the admission stays as it was.
    static bool admitSubnet(std::string_view cidr);
    // The full decision: loopback, or an address the admitted subnet covers.
    static bool isAdmittedDestination(const sockaddr* address, socklen_t length);

    // A sink for datagrams, the network a test stands in for: answers 1 (true) when it takes
    // the datagram (it is then not sent and the send reports the full length as sent), 0
    // (false) to let it go on to the kernel, or a negated errno value to fail the send with
    // that error as the network would (-ENETUNREACH: no route). Runs on the sending thread.
    using DatagramSink = std::function<int(const sockaddr* to, socklen_t toLength,
                                           const uint8_t* data, size_t size)>;
    static void setDatagramSink(DatagramSink sink);  // empty: none

    // Checked ::connect for stream sockets.
    static int connect(int fd, const sockaddr* address, socklen_t length);
    // Checked ::sendto; a null destination means the socket's connected peer.
    static ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                          socklen_t toLength);
    // For other paths (the HTTP client's socket callback): aborts when enforcing and refused.
    static void check(const sockaddr* address, socklen_t length, const char* what);

    // "192.168.1.1:6444", "[::1]:80"; for messages.
    static std::string describe(const sockaddr* address, socklen_t length);
};

}  // namespace telvo

#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo::test {

// A TCP listener on 127.0.0.1 (or ::1) and the accepted peer, driven by the test itself (no
// thread). Every call is non-blocking except send(), which blocks only until the kernel has taken
// the bytes (keep it small while nothing reads the other side); the bytes go out at once
// (TCP_NODELAY on the accepted peer).
class LoopbackTcpPeer {
  public:
    explicit LoopbackTcpPeer(int backlog = 16, int family = AF_INET);
    ~LoopbackTcpPeer();
    LoopbackTcpPeer(const LoopbackTcpPeer&) = delete;
    LoopbackTcpPeer& operator=(const LoopbackTcpPeer&) = delete;

    uint16_t port() const { return port_; }
    int listener() const { return listener_; }

    // Accepts a pending connection when there is one (closing any earlier peer).
    bool accept();
    bool connected() const { return peer_ >= 0; }
    void send(const std::string& bytes);
    // Whatever has arrived so far.
    std::string receiveAvailable();
    // Orderly close of the peer side, or an abortive one (RST).
    void close();
    void reset();

    // Fills the listener's accept queue (backlog 0) so that a further connect stays pending.
    // Answers false when the queue could not be filled.
    bool fillBacklog();
    // A free port on 127.0.0.1 with nothing listening.
    static uint16_t closedPort();

  private:
    int listener_ = -1;
    int peer_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
};

// Open descriptors of the process.
int countOpenDescriptors();
// Open descriptors of the process that are TCP connections (IPv4 or IPv6) whose remote end is
// the given port: a client's connections to a server in the same process, without the
// server's side of them.
int countConnectionsToPort(uint16_t port);

}  // namespace telvo::test

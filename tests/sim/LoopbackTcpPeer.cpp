#include "sim/LoopbackTcpPeer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "sim/TestSupport.h"

namespace telvo::test {

LoopbackTcpPeer::LoopbackTcpPeer(int backlog, int family) {
    listener_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a4 = loopbackAddress(0);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    auto* a =
        family == AF_INET6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t length = family == AF_INET6 ? sizeof a6 : sizeof a4;
    int on = 1;
    if (family == AF_INET6) ::setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (listener_ < 0 || ::bind(listener_, a, length) != 0 || ::listen(listener_, backlog) != 0 ||
        ::getsockname(listener_, a, &length) != 0) {
        throw std::runtime_error("loopback listener");
    }
    port_ = ntohs(family == AF_INET6 ? a6.sin6_port : a4.sin_port);
}

LoopbackTcpPeer::~LoopbackTcpPeer() {
    for (int fd : {peer_, filler_, listener_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool LoopbackTcpPeer::accept() {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    // Each send() leaves at once: with Nagle on, a small send waits for the ACK of the one
    // before, which the other side may delay by up to 40 ms of real time once it has both
    // read and written; a deterministic run never waits for that.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (peer_ >= 0) ::close(peer_);
    peer_ = fd;
    return true;
}

void LoopbackTcpPeer::send(const std::string& bytes) {
    if (::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) {
        throw std::runtime_error("loopback peer send");
    }
}

std::string LoopbackTcpPeer::receiveAvailable() {
    std::string out;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) out.append(buffer, n);
    return out;
}

void LoopbackTcpPeer::close() {
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
}

void LoopbackTcpPeer::reset() {
    if (peer_ < 0) return;
    linger l{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

bool LoopbackTcpPeer::fillBacklog() {
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(port_);
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
        errno != EINPROGRESS) {
        return false;
    }
    pollfd p{filler_, POLLOUT, 0};
    return ::poll(&p, 1, 1000) == 1 && (p.revents & POLLOUT);
}

uint16_t LoopbackTcpPeer::closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopbackAddress(0);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

int countConnectionsToPort(uint16_t port) {
    // The socket inodes the process holds.
    std::set<std::string> held;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            char target[64] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
            const std::string link(target, n > 0 ? size_t(n) : 0);
            if (link.starts_with("socket:[")) held.insert(link.substr(8, link.size() - 9));
        }
        ::closedir(dir);
    }
    // Rows: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ..."; ports in hex.
    int count = 0;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream row(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            row >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const size_t colon = remote.rfind(':');
            if (colon == std::string::npos || !held.count(inode)) continue;
            if (std::stoul(remote.substr(colon + 1), nullptr, 16) == port) ++count;
        }
    }
    return count;
}

int countOpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

}  // namespace telvo::test

// Listening on addresses and Unix-domain paths, one new socket per accepted connection, and
// sockets over descriptors that are already connected.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/net/NetworkGuard.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/QKGCDAsyncSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_socket;

namespace {

// Connections taken per readiness event; the level-triggered source brings the rest.
constexpr int kAcceptsPerEvent = 64;
// After a failure such as running out of descriptors the listener pauses this long rather than
// spin on the connection it cannot take.
constexpr double kAcceptPauseSeconds = 0.5;

Bytes withPort(Bytes address, uint16_t port) {
    if (isIPv6SocketAddress(address)) {
        reinterpret_cast<sockaddr_in6*>(address.data())->sin6_port = htons(port);
    } else if (isIPv4SocketAddress(address)) {
        reinterpret_cast<sockaddr_in*>(address.data())->sin_port = htons(port);
    }
    return address;
}

// A socket file that nobody listens on any more (its listener ended without removing it).
// Any other file at the path stays, and the bind then fails.
bool isStaleSocketFile(const Bytes& address) {
    struct stat status {};
    std::string path = unixSocketPath(address);
    if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool stale = NetworkGuard::connect(probe, reinterpret_cast<const sockaddr*>(address.data()),
                                       socklen_t(address.size())) != 0 &&
                 errno == ECONNREFUSED;
    ::close(probe);
    return stale;
}

}  // namespace

bool QKGCDAsyncSocket::acceptOnPort(uint16_t port, ErrorPtr* error) {
    return acceptOnInterface(std::string(), port, error);
}

bool QKGCDAsyncSocket::acceptOnInterface(const std::string& interface, uint16_t port,
                                         ErrorPtr* error) {
    ErrorPtr failure;
    bool listening = socketQueue_.sync([&] {
        if (!preStart("accept", &failure)) return false;
        if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
            failure = badConfigError(
                "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
            return false;
        }
        Bytes address4, address6;
        if (interface.empty()) {
            address4 = anySocketAddress4(port);
            address6 = anySocketAddress6(port);
        } else {
            auto found = interfaceAddresses(interface, port);
            if (found.address4.empty() && found.address6.empty()) {
                failure = badParamError(
                    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP "
                    "address.");
                return false;
            }
            address4 = std::move(found.address4);
            address6 = std::move(found.address6);
        }
        if ((config_ & kIPv4Disabled) && address6.empty()) {
            failure = badParamError(
                "IPv4 has been disabled and specified interface doesn't support IPv6.");
            return false;
        }
        if ((config_ & kIPv6Disabled) && address4.empty()) {
            failure = badParamError(
                "IPv6 has been disabled and specified interface doesn't support IPv4.");
            return false;
        }
        if (config_ & kIPv4Disabled) address4.clear();
        if (config_ & kIPv6Disabled) address6.clear();
        return listen(address4, address6, interface.empty(), &failure);
    });
    if (!listening && error) *error = failure;
    return listening;
}

// Listens on each address given. Both families share one port: when the port is left to the
// kernel, the IPv6 listener takes the one the IPv4 listener got. With ipv6Optional, a host
// that has no IPv6 listens on IPv4 alone.
bool QKGCDAsyncSocket::listen(const Bytes& address4, const Bytes& address6, bool ipv6Optional,
                              ErrorPtr* error) {
    readQueue_.clear();
    writeQueue_.clear();
    if (!address4.empty()) {
        socket4FD_ = createListener(address4, error);
        if (socket4FD_ < 0) return false;
    }
    if (!address6.empty()) {
        Bytes address = address6;
        if (socket4FD_ >= 0 && portFromAddress(address6) == 0) {
            address = withPort(address6, portFromAddress(addressOf(socket4FD_, false)));
        }
        ErrorPtr error6;
        socket6FD_ = createListener(address, &error6);
        bool noIPv6 = error6 && error6->domain() == NSPOSIXErrorDomain &&
                      (error6->code() == EAFNOSUPPORT || error6->code() == EADDRNOTAVAIL);
        if (socket6FD_ < 0 && !(socket4FD_ >= 0 && ipv6Optional && noIPv6)) {
            if (socket4FD_ >= 0) ::close(socket4FD_);
            socket4FD_ = -1;
            *error = error6;
            return false;
        }
    }
    if (socket4FD_ >= 0) accept4Source_ = startAcceptSource(socket4FD_);
    if (socket6FD_ >= 0) accept6Source_ = startAcceptSource(socket6FD_);
    flags_ |= kSocketStarted;
    return true;
}

bool QKGCDAsyncSocket::acceptOnUrl(const std::string& url, ErrorPtr* error) {
    ErrorPtr failure;
    bool listening = socketQueue_.sync([&] {
        if (!preStart("accept", &failure)) return false;
        Bytes address = unixSocketAddress(url);
        if (address.empty()) {
            failure = badParamError("Invalid unix domain socket url.");
            return false;
        }
        std::string path = unixSocketPath(address);
        if (isStaleSocketFile(address)) ::unlink(path.c_str());
        readQueue_.clear();
        writeQueue_.clear();
        socketUN_ = createListener(address, &failure);
        if (socketUN_ < 0) return false;
        socketUrl_ = path;
        acceptUNSource_ = startAcceptSource(socketUN_);
        flags_ |= kSocketStarted;
        return true;
    });
    if (!listening && error) *error = failure;
    return listening;
}

int QKGCDAsyncSocket::createListener(const Bytes& address, ErrorPtr* error) {
    int family = isIPv4Address(address) ? AF_INET : isIPv6Address(address) ? AF_INET6 : AF_UNIX;
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errorWithErrno(errno, "Error in socket() function");
        return -1;
    }
    int on = 1;
    if (family != AF_UNIX && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        *error = errorWithErrno(errno, "Error enabling address reuse (setsockopt)");
        ::close(fd);
        return -1;
    }
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size())) !=
        0) {
        *error = errorWithErrno(errno, "Error in bind() function");
        ::close(fd);
        return -1;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        *error = errorWithErrno(errno, "Error in listen() function");
        ::close(fd);
        return -1;
    }
    return fd;
}

// The source owns the listening descriptor from here on: it closes it once cancelled.
std::shared_ptr<DispatchSource> QKGCDAsyncSocket::startAcceptSource(int fd) {
    auto source =
        DispatchSource::create(DispatchSource::Kind::Read, fd, socketQueue_.dispatchQueue(),
                               DispatchSource::Descriptor::Owned);
    std::weak_ptr<DispatchSource> weakSource = source;
    source->setEventHandler([weak = weak_from_this(), weakSource, fd] {
        auto self = weak.lock();
        auto source = weakSource.lock();
        if (!self || !source) return;
        for (int i = 0; i < kAcceptsPerEvent; ++i) {
            if (self->doAccept(fd)) continue;
            int failure = errno;
            if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR ||
                failure == ECONNABORTED) {
                return;
            }
            source->suspend();
            self->socketQueue_.dispatchQueue()->after(kAcceptPauseSeconds, [weakSource] {
                if (auto paused = weakSource.lock()) paused->resume();
            });
            return;
        }
    });
    source->resume();
    return source;
}

// Takes one pending connection; false (errno set) when there was none or it failed. The new
// socket is made on the delegate queue, on the queue the delegate picks, and handed over by
// socketDidAcceptNewSocket.
bool QKGCDAsyncSocket::doAccept(int parentFD) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    int childFD = ::accept4(parentFD, reinterpret_cast<sockaddr*>(&storage), &length,
                            SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (childFD < 0) return false;
    int family = parentFD == socket4FD_ ? AF_INET : parentFD == socket6FD_ ? AF_INET6 : AF_UNIX;
    Bytes address = socketAddressData(&storage, std::min<socklen_t>(length, sizeof storage));
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        ::close(childFD);
        return true;
    }
    delegateQueue_->async([self = shared_from_this(), delegate, delegateQueue = delegateQueue_,
                           childFD, family, address] {
        DispatchQueuePtr childQueue =
            delegate->newSocketQueueForConnectionFromAddressOnSocket(address, self);
        auto accepted = create(delegate, delegateQueue, childQueue);
        ErrorPtr error;
        bool adopted = accepted->socketQueue_.sync(
            [&] { return accepted->adoptConnectedFD(childFD, family, &error); });
        if (!adopted) {
            ::close(childFD);
            return;
        }
        delegate->socketDidAcceptNewSocket(self, accepted);
    });
    return true;
}

// On the socket queue: the socket takes fd as its connection. On failure fd stays the
// caller's.
bool QKGCDAsyncSocket::adoptConnectedFD(int fd, int family, ErrorPtr* error) {
    if (!setupReadAndWriteSourcesForNewlyConnectedSocket(fd, error)) return false;
    (family == AF_INET ? socket4FD_ : family == AF_INET6 ? socket6FD_ : socketUN_) = fd;
    flags_ |= kSocketStarted | kConnected;
    maybeDequeueRead();
    maybeDequeueWrite();
    return true;
}

QKGCDAsyncSocketPtr QKGCDAsyncSocket::socketFromConnectedSocketFD(int fd,
                                                                  DispatchQueuePtr socketQueue,
                                                                  ErrorPtr* error) {
    return socketFromConnectedSocketFD(fd, {}, nullptr, std::move(socketQueue), error);
}

QKGCDAsyncSocketPtr QKGCDAsyncSocket::socketFromConnectedSocketFD(int fd, DelegatePtr delegate,
                                                                  DispatchQueuePtr delegateQueue,
                                                                  ErrorPtr* error) {
    return socketFromConnectedSocketFD(fd, std::move(delegate), std::move(delegateQueue), nullptr,
                                       error);
}

QKGCDAsyncSocketPtr QKGCDAsyncSocket::socketFromConnectedSocketFD(int fd, DelegatePtr delegate,
                                                                  DispatchQueuePtr delegateQueue,
                                                                  DispatchQueuePtr socketQueue,
                                                                  ErrorPtr* error) {
    auto sock = create(std::move(delegate), std::move(delegateQueue), std::move(socketQueue));
    ErrorPtr failure;
    bool adopted = sock->socketQueue_.sync([&] {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
            failure = errorWithErrno(
                errno, "Attempt to create socket from socket FD failed. getsockname() failed");
            return false;
        }
        int family = storage.ss_family;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if ((family != AF_INET && family != AF_INET6 && family != AF_UNIX) ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM) {
            failure = badParamError(
                "Attempt to create socket from socket FD failed. Socket FD is not a stream "
                "socket of IPv4, IPv6 or Unix domain.");
            return false;
        }
        length = sizeof storage;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
            failure = errorWithErrno(
                errno, "Attempt to create socket from socket FD failed. getpeername() failed");
            return false;
        }
        return sock->adoptConnectedFD(fd, family, &failure);
    });
    if (adopted) return sock;
    if (error) *error = failure;
    return nullptr;
}

}  // namespace telvo

// Connecting: host lookup, one descriptor per address family, the alternate attempt,
// Unix-domain paths, the connect time-out, and the sources of the connection.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/net/NetworkGuard.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/QKGCDAsyncSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_socket;

namespace {

// An interface description, "name" or "name:port", as local addresses to bind.
InterfaceAddresses interfaceAddressesOf(const std::string& description) {
    std::string name = description;
    uint16_t port = 0;
    auto colon = description.find(':');
    if (colon != std::string::npos && description.find(':', colon + 1) == std::string::npos) {
        name = description.substr(0, colon);
        const char* last = description.data() + description.size();
        auto [end, ec] = std::from_chars(description.data() + colon + 1, last, port);
        if (ec != std::errc() || end != last) port = 0;
    }
    return interfaceAddresses(name, port);
}

}  // namespace

bool QKGCDAsyncSocket::connectToHost(const std::string& host, uint16_t port, ErrorPtr* error) {
    return connectToHost(host, port, std::string(), -1, error);
}
bool QKGCDAsyncSocket::connectToHost(const std::string& host, uint16_t port, double timeout,
                                     ErrorPtr* error) {
    return connectToHost(host, port, std::string(), timeout, error);
}
bool QKGCDAsyncSocket::connectToHost(const std::string& host, uint16_t port,
                                     const std::string& interface, double timeout,
                                     ErrorPtr* error) {
    return connectCommon(host, nullptr, port, interface, timeout, error);
}
bool QKGCDAsyncSocket::connectToAddress(const Bytes& address, ErrorPtr* error) {
    return connectToAddress(address, std::string(), -1, error);
}
bool QKGCDAsyncSocket::connectToAddress(const Bytes& address, double timeout, ErrorPtr* error) {
    return connectToAddress(address, std::string(), timeout, error);
}
bool QKGCDAsyncSocket::connectToAddress(const Bytes& address, const std::string& interface,
                                        double timeout, ErrorPtr* error) {
    return connectCommon(std::string(), &address, 0, interface, timeout, error);
}

bool QKGCDAsyncSocket::connectCommon(const std::string& host, const Bytes* address, uint16_t port,
                                     const std::string& interface, double timeout,
                                     ErrorPtr* error) {
    ErrorPtr failure;
    bool begun = socketQueue_.sync([&] {
        if (!address && host.empty()) {
            failure = badParamError(
                "Invalid host parameter (nil or \"\"). Should be a domain name or IP address "
                "string.");
            return false;
        }
        if (address && !isIPv4Address(*address) && !isIPv6Address(*address)) {
            failure = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        if (!preConnect(interface, &failure)) return false;
        flags_ |= kSocketStarted;
        connectHost_ = address ? hostFromAddress(*address) : host;
        connectTimeout_ = timeout;
        if (address) {
            Bytes a4 = isIPv4Address(*address) ? *address : Bytes{};
            Bytes a6 = isIPv6Address(*address) ? *address : Bytes{};
            if ((a4.empty() && (config_ & kIPv6Disabled)) ||
                (a6.empty() && (config_ & kIPv4Disabled))) {
                failure = badParamError("The given address's family has been disabled.");
            } else {
                startConnectTimeout(timeout);
                if (connectWithAddresses(a4, a6, &failure)) return true;
            }
            endConnectTimeout();
            flags_ = 0;
            return false;
        }
        int index = stateIndex_;
        DispatchQueue::global()->async([weak = weak_from_this(), host, port, index] {
            ErrorPtr lookupError;
            std::vector<Bytes> addresses = lookupHost(host, port, &lookupError);
            auto self = weak.lock();
            if (!self) return;
            Bytes a4, a6;
            for (const Bytes& a : addresses) {
                if (a4.empty() && isIPv4Address(a)) a4 = a;
                if (a6.empty() && isIPv6Address(a)) a6 = a;
            }
            self->enqueue([=](QKGCDAsyncSocket& s) {
                if (lookupError) {
                    s.lookupDidFail(index, lookupError);
                } else {
                    s.lookupDidSucceed(index, a4, a6);
                }
            });
        });
        startConnectTimeout(timeout);
        return true;
    });
    if (!begun && error) *error = failure;
    return begun;
}

// The checks every connect and accept starts with; action is "connect" or "accept".
bool QKGCDAsyncSocket::preStart(const char* action, ErrorPtr* error) {
    std::string attempting = std::string("Attempting to ") + action;
    if (delegate_.expired()) {
        *error = badConfigError(attempting + " without a delegate. Set a delegate first.");
        return false;
    }
    if (!delegateQueue_) {
        *error =
            badConfigError(attempting + " without a delegate queue. Set a delegate queue first.");
        return false;
    }
    if (flags_ & kSocketStarted) {
        *error = badConfigError(attempting +
                                " while connected or accepting connections. Disconnect first.");
        return false;
    }
    return true;
}

bool QKGCDAsyncSocket::preConnect(const std::string& interface, ErrorPtr* error) {
    if (!preStart("connect", error)) return false;
    if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
        *error = badConfigError(
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
        return false;
    }
    if (!interface.empty()) {
        auto [a4, a6] = interfaceAddressesOf(interface);
        if (a4.empty() && a6.empty()) {
            *error = badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP "
                "address.");
            return false;
        }
        if ((config_ & kIPv4Disabled) && a6.empty()) {
            *error = badParamError(
                "IPv4 has been disabled and specified interface doesn't support IPv6.");
            return false;
        }
        if ((config_ & kIPv6Disabled) && a4.empty()) {
            *error = badParamError(
                "IPv6 has been disabled and specified interface doesn't support IPv4.");
            return false;
        }
        connectInterface4_ = std::move(a4);
        connectInterface6_ = std::move(a6);
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

std::vector<Bytes> QKGCDAsyncSocket::lookupHost(const std::string& host, uint16_t port,
                                                ErrorPtr* error) {
    HostResolution resolution = resolveHost(host, port, SOCK_STREAM, IPPROTO_TCP);
    if (error) *error = resolution.error;
    return std::move(resolution.addresses);
}

void QKGCDAsyncSocket::lookupDidFail(int index, ErrorPtr error) {
    if (index != stateIndex_) return;
    endConnectTimeout();
    closeWithError(std::move(error));
}

void QKGCDAsyncSocket::lookupDidSucceed(int index, const Bytes& address4, const Bytes& address6) {
    if (index != stateIndex_) return;
    if ((config_ & kIPv4Disabled) && address6.empty()) {
        closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
        return;
    }
    if ((config_ & kIPv6Disabled) && address4.empty()) {
        closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    ErrorPtr error;
    if (!connectWithAddresses(address4, address6, &error)) closeWithError(error);
}

int QKGCDAsyncSocket::createSocket(const Bytes& address, const Bytes& interface, ErrorPtr* error) {
    int family = isIPv6Address(address) ? AF_INET6 : AF_INET;
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *error = errorWithErrno(errno, "Error in socket() function");
        return -1;
    }
    if (family == AF_INET6) {
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (!interface.empty()) {
        if (portFromAddress(interface) != 0) {
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(interface.data()),
                   socklen_t(interface.size())) != 0) {
            *error = errorWithErrno(errno, "Error in bind() function");
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool QKGCDAsyncSocket::connectWithAddresses(const Bytes& address4, const Bytes& address6,
                                            ErrorPtr* error) {
    ErrorPtr lastError;
    if (!address4.empty()) socket4FD_ = createSocket(address4, connectInterface4_, &lastError);
    if (!address6.empty()) socket6FD_ = createSocket(address6, connectInterface6_, &lastError);
    if (socket4FD_ < 0 && socket6FD_ < 0) {
        *error = lastError;
        return false;
    }
    bool useIPv6 = ((config_ & kPreferIPv6) && socket6FD_ >= 0) || socket4FD_ < 0;
    int primaryFD = useIPv6 ? socket6FD_ : socket4FD_;
    const Bytes& primary = useIPv6 ? address6 : address4;
    int alternateFD = useIPv6 ? socket4FD_ : socket6FD_;
    const Bytes& alternate = useIPv6 ? address4 : address6;
    int index = stateIndex_;
    connectSocket(primaryFD, primary, index);
    if (!alternate.empty() && alternateFD >= 0) {
        auto weak = weak_from_this();
        socketQueue_.dispatchQueue()->after(
            alternateAddressDelay_, [weak, alternateFD, alternate, index] {
                if (auto self = weak.lock()) self->connectSocket(alternateFD, alternate, index);
            });
    }
    return true;
}

void QKGCDAsyncSocket::connectSocket(int fd, const Bytes& address, int index) {
    // A later attempt whose connect has ended (or whose descriptor is gone) does nothing.
    if (index != stateIndex_ || (fd != socket4FD_ && fd != socket6FD_)) return;
    if (flags_ & kConnected) {
        closeSocket(fd);
        return;
    }
    if (NetworkGuard::connect(fd, reinterpret_cast<const sockaddr*>(address.data()),
                              socklen_t(address.size())) == 0) {
        attemptFinished(fd, 0, index);
        return;
    }
    if (errno != EINPROGRESS) {
        attemptFinished(fd, errno, index);
        return;
    }
    auto source =
        DispatchSource::create(DispatchSource::Kind::Write, fd, socketQueue_.dispatchQueue());
    source->setEventHandler([weak = weak_from_this(), fd, index] {
        auto self = weak.lock();
        if (!self) return;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        self->attemptFinished(fd, error, index);
    });
    (fd == socket4FD_ ? connectSource4_ : connectSource6_) = source;
    source->resume();
}

void QKGCDAsyncSocket::attemptFinished(int fd, int error, int index) {
    if (index != stateIndex_ || (fd != socket4FD_ && fd != socket6FD_)) return;
    if (flags_ & kConnected) {
        closeSocket(fd);
    } else if (error != 0) {
        closeSocket(fd);
        if (socket4FD_ < 0 && socket6FD_ < 0) {
            closeWithError(errorWithErrno(error, "Error in connect() function"));
        }
    } else {
        // The connection carries on over fd: its connect source lets it go.
        auto& source = fd == socket4FD_ ? connectSource4_ : connectSource6_;
        if (source) source->cancel();
        source.reset();
        closeSocket(fd == socket4FD_ ? socket6FD_ : socket4FD_);
        didConnect(index);
    }
}

// A descriptor still watched by its connect source is handed to it, to be closed once cancelled.
void QKGCDAsyncSocket::closeSocket(int fd) {
    if (fd < 0 || (fd != socket4FD_ && fd != socket6FD_)) return;
    auto& source = fd == socket4FD_ ? connectSource4_ : connectSource6_;
    if (source)
        source->cancelAndClose();
    else
        ::close(fd);
    source.reset();
    (fd == socket4FD_ ? socket4FD_ : socket6FD_) = -1;
}

int QKGCDAsyncSocket::connectedFD() const {
    if (socket4FD_ >= 0) return socket4FD_;
    return socket6FD_ >= 0 ? socket6FD_ : socketUN_;
}

// ---- Unix-domain paths ----

bool QKGCDAsyncSocket::connectToUrl(const std::string& url, double timeout, ErrorPtr* error) {
    ErrorPtr failure;
    bool begun = socketQueue_.sync([&] {
        Bytes address;
        if (!preConnectWithUrl(url, &address, &failure)) return false;
        flags_ |= kSocketStarted;
        connectHost_.clear();
        connectTimeout_ = timeout;
        startConnectTimeout(timeout);
        if (connectWithAddressUN(address, &failure)) return true;
        endConnectTimeout();
        flags_ = 0;
        return false;
    });
    if (!begun && error) *error = failure;
    return begun;
}

bool QKGCDAsyncSocket::preConnectWithUrl(const std::string& url, Bytes* address, ErrorPtr* error) {
    if (!preStart("connect", error)) return false;
    *address = unixSocketAddress(url);
    if (address->empty()) {
        *error = badParamError("Invalid unix domain socket url.");
        return false;
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

// A Unix-domain connect either completes at once or fails (a full backlog gives EAGAIN);
// the result is handed back through the socket queue as an attempt's result is.
bool QKGCDAsyncSocket::connectWithAddressUN(const Bytes& address, ErrorPtr* error) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errorWithErrno(errno, "Error in socket() function");
        return false;
    }
    socketUN_ = fd;
    int result = NetworkGuard::connect(fd, reinterpret_cast<const sockaddr*>(address.data()),
                                       socklen_t(address.size()));
    int failure = result == 0 ? 0 : errno;
    enqueue([failure, index = stateIndex_](QKGCDAsyncSocket& s) {
        if (index != s.stateIndex_) return;
        if (failure != 0) {
            s.closeWithError(errorWithErrno(failure, "Error in connect() function"));
        } else {
            s.didConnect(index);
        }
    });
    return true;
}

void QKGCDAsyncSocket::didConnect(int index) {
    if (index != stateIndex_) return;
    flags_ |= kConnected;
    endConnectTimeout();

    SocketAddressParts peer = socketAddressParts(addressOf(connectedFD(), true));
    if (!peer.host.empty()) {
        notify([host = peer.host, port = peer.port](QKGCDAsyncSocketDelegate& d,
                                                    const QKGCDAsyncSocketPtr& s) {
            d.socketDidConnectToHostPort(s, host, port);
        });
    } else if (socketUN_ >= 0) {
        notify([url = connectedUrl()](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
            d.socketDidConnectToUrl(s, url);
        });
    }

    ErrorPtr error;
    if (!setupReadAndWriteSourcesForNewlyConnectedSocket(connectedFD(), &error)) {
        closeWithError(error);
        return;
    }
    maybeDequeueRead();
    maybeDequeueWrite();
}

// Puts the connected descriptor into non-blocking mode and starts its sources: the read
// source runs, the write source waits until a write finds the kernel full.
bool QKGCDAsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd, ErrorPtr* error) {
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0) {
        *error = otherError("Error enabling non-blocking IO on socket (fcntl)");
        return false;
    }

    auto pair = DispatchSource::createPair(fd, socketQueue_.dispatchQueue());
    readSource_ = pair.read;
    writeSource_ = pair.write;
    auto weak = weak_from_this();
    std::weak_ptr<DispatchSource> readSource = pair.read;
    readSource_->setEventHandler([weak, readSource] {
        auto self = weak.lock();
        auto source = readSource.lock();
        if (!self || !source || self->readSource_ != source) return;
        self->socketFDBytesAvailable_ = source->data();
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
        } else {
            self->doReadEOF();
        }
    });
    std::weak_ptr<DispatchSource> writeSource = pair.write;
    writeSource_->setEventHandler([weak, writeSource] {
        auto self = weak.lock();
        if (!self || self->writeSource_ != writeSource.lock()) return;
        self->flags_ |= kSocketCanAcceptBytes;
        // TLS output left over from a read or the handshake goes out first.
        ErrorPtr failure;
        if (self->sslContext_ && !self->flushSslOutput(&failure)) {
            self->closeWithError(failure);
            return;
        }
        self->doWriteData();
    });
    socketFDBytesAvailable_ = 0;
    flags_ &= ~kReadSourceSuspended;
    readSource_->resume();
    flags_ |= kSocketCanAcceptBytes | kWriteSourceSuspended;
    return true;
}

void QKGCDAsyncSocket::startConnectTimeout(double timeout) {
    if (timeout < 0) return;
    connectTimer_ = DispatchTimer::create(socketQueue_.dispatchQueue(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->endConnectTimeout();
        self->closeWithError(connectTimeoutError());
    });
    connectTimer_->start(timeout);
}

void QKGCDAsyncSocket::endConnectTimeout() {
    cancelTimer(connectTimer_);
    ++stateIndex_;
    connectInterface4_.clear();
    connectInterface6_.clear();
}

}  // namespace telvo

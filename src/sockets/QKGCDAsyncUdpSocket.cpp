// QKGCDAsyncUdpSocket: construction, accessors, addresses, notifications, and the kernel
// sockets' creation, sources and close. Options and binding, sending (with connecting) and
// receiving have files of their own (QKGCDAsyncUdpSocketOptions.cpp, QKGCDAsyncUdpSocketSend.cpp,
// QKGCDAsyncUdpSocketReceive.cpp).

#include "sockets/QKGCDAsyncUdpSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/foundation/AppLifecycle.h"
#include "sockets/QKGCDAsyncUdpSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_udp_socket;

QKGCDAsyncUdpSocket::QKGCDAsyncUdpSocket(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                                         DispatchQueuePtr delegateQueue,
                                         DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(std::move(socketQueue), "QKGCDAsyncUdpSocket"),
      f4_(std::make_unique<Family>(AF_INET, 0x40, 0x100, 0x400, 0x1000, kUdpIPv4Disabled)),
      f6_(std::make_unique<Family>(AF_INET6, 0x80, 0x200, 0x800, 0x2000, kUdpIPv6Disabled)) {
    // Removed synchronously by the destructor, so `this` is valid whenever the block runs.
    foregroundObserver_ = NotificationCenter::defaultCenter()->addObserverForName(
        UIApplicationWillEnterForegroundNotification, nullptr, [this](const Notification&) {
            auto self = weak_from_this().lock();
            if (!self) return;
            self->update([](QKGCDAsyncUdpSocket& s) {
                s.resumeReceiveSource(true);
                s.resumeReceiveSource(false);
            });
        });
}

QKGCDAsyncUdpSocket::~QKGCDAsyncUdpSocket() {
    NotificationCenter::defaultCenter()->removeObserver(foregroundObserver_);
    socketQueue_.sync([this] { closeWithError(nullptr); });
}

// ---- Queue helpers ----

void QKGCDAsyncUdpSocket::update(std::function<void(QKGCDAsyncUdpSocket&)> change) {
    socketQueue_.async([self = shared_from_this(), change = std::move(change)] { change(*self); });
}

void QKGCDAsyncUdpSocket::markSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    socketQueue_.mark(queue);
}

void QKGCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    socketQueue_.unmark(queue);
}

void QKGCDAsyncUdpSocket::performBlock(const std::function<void()>& block) {
    socketQueue_.sync(block);
}

int QKGCDAsyncUdpSocket::socketFD() const {
    if (!socketQueue_.isCurrent()) return -1;
    return f4_->fd != -1 ? f4_->fd : f6_->fd;
}
int QKGCDAsyncUdpSocket::socket4FD() const {
    return socketQueue_.isCurrent() ? f4_->fd : -1;
}
int QKGCDAsyncUdpSocket::socket6FD() const {
    return socketQueue_.isCurrent() ? f6_->fd : -1;
}

// ---- Delegate and configuration ----

std::shared_ptr<QKGCDAsyncUdpSocketDelegate> QKGCDAsyncUdpSocket::delegate() const {
    return socketQueue_.sync([&] { return delegate_.lock(); });
}

DispatchQueuePtr QKGCDAsyncUdpSocket::delegateQueue() const {
    return socketQueue_.get(delegateQueue_);
}

void QKGCDAsyncUdpSocket::getDelegate(std::shared_ptr<QKGCDAsyncUdpSocketDelegate>* delegate,
                                      DispatchQueuePtr* delegateQueue) const {
    socketQueue_.sync([&] {
        if (delegate) *delegate = delegate_.lock();
        if (delegateQueue) *delegateQueue = delegateQueue_;
    });
}

void QKGCDAsyncUdpSocket::setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate) {
    update([delegate](QKGCDAsyncUdpSocket& s) { s.delegate_ = delegate; });
}

void QKGCDAsyncUdpSocket::setDelegateQueue(DispatchQueuePtr queue) {
    update([queue](QKGCDAsyncUdpSocket& s) { s.delegateQueue_ = queue; });
}

void QKGCDAsyncUdpSocket::setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                                      DispatchQueuePtr queue) {
    update([delegate, queue](QKGCDAsyncUdpSocket& s) {
        s.delegate_ = delegate;
        s.delegateQueue_ = queue;
    });
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegate(
    std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate) {
    socketQueue_.set(delegate_, delegate);
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegateQueue(DispatchQueuePtr queue) {
    socketQueue_.set(delegateQueue_, queue);
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegate(
    std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate, DispatchQueuePtr queue) {
    socketQueue_.sync([&] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    });
}

bool QKGCDAsyncUdpSocket::isIPv4Enabled() const {
    return socketQueue_.sync([&] { return !(config_ & kUdpIPv4Disabled); });
}
bool QKGCDAsyncUdpSocket::isIPv6Enabled() const {
    return socketQueue_.sync([&] { return !(config_ & kUdpIPv6Disabled); });
}
bool QKGCDAsyncUdpSocket::isIPv4Preferred() const {
    return socketQueue_.sync([&] { return bool(config_ & kUdpPreferIPv4); });
}
bool QKGCDAsyncUdpSocket::isIPv6Preferred() const {
    return socketQueue_.sync([&] { return bool(config_ & kUdpPreferIPv6); });
}
bool QKGCDAsyncUdpSocket::isIPVersionNeutral() const {
    return socketQueue_.sync([&] { return !(config_ & (kUdpPreferIPv4 | kUdpPreferIPv6)); });
}

void QKGCDAsyncUdpSocket::setIPv4Enabled(bool enabled) {
    update([enabled](QKGCDAsyncUdpSocket& s) { setBits(s.config_, kUdpIPv4Disabled, !enabled); });
}
void QKGCDAsyncUdpSocket::setIPv6Enabled(bool enabled) {
    update([enabled](QKGCDAsyncUdpSocket& s) { setBits(s.config_, kUdpIPv6Disabled, !enabled); });
}
void QKGCDAsyncUdpSocket::setPreferIPv4() {
    update(
        [](QKGCDAsyncUdpSocket& s) { s.config_ = (s.config_ | kUdpPreferIPv4) & ~kUdpPreferIPv6; });
}
void QKGCDAsyncUdpSocket::setPreferIPv6() {
    update(
        [](QKGCDAsyncUdpSocket& s) { s.config_ = (s.config_ | kUdpPreferIPv6) & ~kUdpPreferIPv4; });
}
void QKGCDAsyncUdpSocket::setIPVersionNeutral() {
    update([](QKGCDAsyncUdpSocket& s) { s.config_ &= ~(kUdpPreferIPv4 | kUdpPreferIPv6); });
}

uint16_t QKGCDAsyncUdpSocket::maxReceiveIPv4BufferSize() const {
    return socketQueue_.get(max4ReceiveSize_);
}
void QKGCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t size) {
    update([size](QKGCDAsyncUdpSocket& s) { s.max4ReceiveSize_ = size; });
}
uint32_t QKGCDAsyncUdpSocket::maxReceiveIPv6BufferSize() const {
    return socketQueue_.get(max6ReceiveSize_);
}
void QKGCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t size) {
    update([size](QKGCDAsyncUdpSocket& s) { s.max6ReceiveSize_ = size; });
}
uint16_t QKGCDAsyncUdpSocket::maxSendBufferSize() const {
    return socketQueue_.get(maxSendSize_);
}
void QKGCDAsyncUdpSocket::setMaxSendBufferSize(uint16_t size) {
    update([size](QKGCDAsyncUdpSocket& s) { s.maxSendSize_ = size; });
}
std::any QKGCDAsyncUdpSocket::userData() const {
    return socketQueue_.get(userData_);
}
void QKGCDAsyncUdpSocket::setUserData(std::any userData) {
    update([userData = std::move(userData)](QKGCDAsyncUdpSocket& s) { s.userData_ = userData; });
}

// ---- State queries and addresses ----

bool QKGCDAsyncUdpSocket::isClosed() const {
    return socketQueue_.sync([&] { return !(flags_ & kDidCreateSockets); });
}
bool QKGCDAsyncUdpSocket::isConnected() const {
    return socketQueue_.sync([&] { return bool(flags_ & kDidConnect); });
}
bool QKGCDAsyncUdpSocket::isIPv4() const {
    return socketQueue_.sync([&] {
        return (flags_ & kDidCreateSockets) ? f4_->fd != -1 : !(config_ & kUdpIPv4Disabled);
    });
}
bool QKGCDAsyncUdpSocket::isIPv6() const {
    return socketQueue_.sync([&] {
        return (flags_ & kDidCreateSockets) ? f6_->fd != -1 : !(config_ & kUdpIPv6Disabled);
    });
}

QKGCDAsyncUdpSocket::LocalAddress QKGCDAsyncUdpSocket::local(std::optional<bool> v4) const {
    return socketQueue_.sync([&] {
        const Family& f = family(v4.value_or(f4_->fd != -1));
        if (f.fd != -1 && f.local.address.empty()) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            if (::getsockname(f.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                Bytes data = socketAddressData(&address, length);
                SocketAddressParts parts = socketAddressParts(data);
                if (parts.family == f.domain && parts.port != 0)  // else not bound yet
                    f.local = {std::move(data), parts.host, parts.port};
            }
        }
        return f.local;
    });
}

Bytes QKGCDAsyncUdpSocket::localAddress() const {
    return local({}).address;
}
std::string QKGCDAsyncUdpSocket::localHost() const {
    return local({}).host;
}
uint16_t QKGCDAsyncUdpSocket::localPort() const {
    return local({}).port;
}
Bytes QKGCDAsyncUdpSocket::localAddress_IPv4() const {
    return local(true).address;
}
std::string QKGCDAsyncUdpSocket::localHost_IPv4() const {
    return local(true).host;
}
uint16_t QKGCDAsyncUdpSocket::localPort_IPv4() const {
    return local(true).port;
}
Bytes QKGCDAsyncUdpSocket::localAddress_IPv6() const {
    return local(false).address;
}
std::string QKGCDAsyncUdpSocket::localHost_IPv6() const {
    return local(false).host;
}
uint16_t QKGCDAsyncUdpSocket::localPort_IPv6() const {
    return local(false).port;
}
Bytes QKGCDAsyncUdpSocket::connectedAddress() const {
    return socketQueue_.sync([&] { return cachedConnectedAddress_; });
}
std::string QKGCDAsyncUdpSocket::connectedHost() const {
    return socketQueue_.sync([&] { return cachedConnectedHost_; });
}
uint16_t QKGCDAsyncUdpSocket::connectedPort() const {
    return socketQueue_.sync([&] { return cachedConnectedPort_; });
}

bool QKGCDAsyncUdpSocket::getHost(std::string* host, uint16_t* port, int* family,
                                  const Bytes& address) {
    SocketAddressParts parts = socketAddressParts(address);
    if (host) *host = parts.host;
    if (port) *port = parts.port;
    if (family) *family = parts.family;
    return parts.family != 0;
}
bool QKGCDAsyncUdpSocket::getHost(std::string* host, uint16_t* port, const Bytes& address) {
    return getHost(host, port, nullptr, address);
}
std::string QKGCDAsyncUdpSocket::hostFromAddress(const Bytes& address) {
    return socketAddressParts(address).host;
}
uint16_t QKGCDAsyncUdpSocket::portFromAddress(const Bytes& address) {
    return socketAddressParts(address).port;
}
int QKGCDAsyncUdpSocket::familyFromAddress(const Bytes& address) {
    return socketAddressParts(address).family;
}
bool QKGCDAsyncUdpSocket::isIPv4Address(const Bytes& address) {
    return isIPv4SocketAddress(address);
}
bool QKGCDAsyncUdpSocket::isIPv6Address(const Bytes& address) {
    return isIPv6SocketAddress(address);
}

// ---- Notifications ----

template <class Call>
void QKGCDAsyncUdpSocket::notify(Call call) {
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) return;
    // Null while the socket is being destroyed.
    QKGCDAsyncUdpSocketPtr self = weak_from_this().lock();
    delegateQueue_->async([delegate = std::move(delegate), self = std::move(self),
                           call = std::move(call)] { call(*delegate, self); });
}

void QKGCDAsyncUdpSocket::notifyDidSendDataWithTag(int64_t tag) {
    notify([tag](QKGCDAsyncUdpSocketDelegate& d, const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidSendDataWithTag(s, tag);
    });
}
void QKGCDAsyncUdpSocket::notifyDidNotSendDataWithTag(int64_t tag, ErrorPtr error) {
    notify([tag, error](QKGCDAsyncUdpSocketDelegate& d, const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidNotSendDataWithTagDueToError(s, tag, error);
    });
}
void QKGCDAsyncUdpSocket::notifyDidReceiveData(Bytes data, Bytes address, std::any context) {
    notify([data = std::move(data), address = std::move(address), context = std::move(context)](
               QKGCDAsyncUdpSocketDelegate& d, const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidReceiveDataFromAddressWithFilterContext(s, data, address, context);
    });
}
void QKGCDAsyncUdpSocket::notifyDidCloseWithError(ErrorPtr error) {
    notify([error](QKGCDAsyncUdpSocketDelegate& d, const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidCloseWithError(s, error);
    });
}
void QKGCDAsyncUdpSocket::notifyDidConnectToAddress(Bytes address) {
    notify([address = std::move(address)](QKGCDAsyncUdpSocketDelegate& d,
                                          const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidConnectToAddress(s, address);
    });
}
void QKGCDAsyncUdpSocket::notifyDidNotConnect(ErrorPtr error) {
    notify([error](QKGCDAsyncUdpSocketDelegate& d, const QKGCDAsyncUdpSocketPtr& s) {
        d.udpSocketDidNotConnect(s, error);
    });
}

// ---- Socket creation, sources, close ----

bool QKGCDAsyncUdpSocket::preOp(ErrorPtr* error) const {
    if (delegate_.expired())
        return fail(error,
                    badConfigError("Attempting to use socket without a delegate. Set a delegate "
                                   "first."));
    if (!delegateQueue_)
        return fail(error, badConfigError("Attempting to use socket without a delegate queue. "
                                          "Set a delegate queue first."));
    return true;
}

bool QKGCDAsyncUdpSocket::preBind(ErrorPtr* error) const {
    if (!preOp(error)) return false;
    if (flags_ & kDidBind)
        return fail(error, badConfigError("Cannot bind a socket more than once."));
    if (flags_ & (kConnecting | kDidConnect))
        return fail(error, badConfigError("Cannot bind after connecting. If needed, bind first, "
                                          "then connect."));
    if ((config_ & kUdpIPv4Disabled) && (config_ & kUdpIPv6Disabled))
        return fail(error, badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at "
                                          "least one protocol first."));
    return true;
}

int QKGCDAsyncUdpSocket::createSocket(int domain, ErrorPtr* error) {
    int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        fail(error, errnoErrorWithReason("Error in socket() function"));
        return -1;
    }
    auto option = [&](int level, int name, int value, const char* reason) {
        if (::setsockopt(fd, level, name, &value, sizeof value) == 0) return true;
        fail(error, errnoErrorWithReason(reason));
        return false;
    };
    bool ok = true;
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) == -1) {
        fail(error, errnoErrorWithReason("Error enabling non-blocking IO on socket (fcntl)"));
        ok = false;
    }
    // Linux raises no SIGPIPE for datagram sockets, so there is no option to switch it off.
    ok = ok && option(SOL_SOCKET, SO_REUSEADDR, 1, "Error enabling address reuse (setsockopt)");
    ok = ok &&
         option(SOL_SOCKET, SO_SNDBUF, maxSendSize_, "Error setting send buffer size (setsockopt)");
    ok = ok && option(SOL_SOCKET, SO_REUSEPORT, 1, "Error enabling port reuse (setsockopt)");
    ok = ok && option(SOL_SOCKET, SO_RCVBUF, maxSendSize_,
                      "Error setting receive buffer size (setsockopt)");
    if (domain == AF_INET6)
        ok = ok && option(IPPROTO_IPV6, IPV6_V6ONLY, 1, "Error enabling IPv6 only (setsockopt)");
    if (!ok) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool QKGCDAsyncUdpSocket::createSockets(ErrorPtr* error) {
    return createSocket4Socket6(!(config_ & kUdpIPv4Disabled), !(config_ & kUdpIPv6Disabled),
                                error);
}

bool QKGCDAsyncUdpSocket::createSocket4Socket6(bool useIPv4, bool useIPv6, ErrorPtr* error) {
    if (!useIPv4 && !useIPv6)
        return fail(error, badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at "
                                          "least one protocol first."));
    int fd4 = -1, fd6 = -1;
    if (useIPv4 && (fd4 = createSocket(AF_INET, error)) == -1) return false;
    bool ipv6Missing = false;
    if (useIPv6) {
        ErrorPtr error6;
        fd6 = createSocket(AF_INET6, &error6);
        if (fd6 == -1) {
            if (fd4 != -1 && isIPv6Unavailable(errno)) {
                ipv6Missing = true;  // a host without IPv6 works on IPv4 alone
            } else {
                if (fd4 != -1) ::close(fd4);
                return fail(error, error6);
            }
        }
    }
    f4_->fd = fd4;
    f6_->fd = fd6;
    if (fd4 != -1) setupSendAndReceiveSources(true);
    if (fd6 != -1) setupSendAndReceiveSources(false);
    flags_ |= kDidCreateSockets;
    if (ipv6Missing) flags_ |= f6_->deactivatedBit;
    return true;
}

void QKGCDAsyncUdpSocket::setupSendAndReceiveSources(bool v4) {
    Family& f = family(v4);
    auto pair = DispatchSource::createPair(f.fd, socketQueue_.dispatchQueue());
    std::weak_ptr<QKGCDAsyncUdpSocket> weak = weak_from_this();
    pair.write->setEventHandler([weak, v4] {
        if (auto self = weak.lock()) self->onWriteEvent(v4);
    });
    // The source owns its handler, so the raw pointer outlives every run of it.
    DispatchSource* readSource = pair.read.get();
    pair.read->setEventHandler([weak, v4, readSource] {
        if (auto self = weak.lock()) self->onReadEvent(v4, readSource->data());
    });
    f.sendSource = std::move(pair.write);
    f.receiveSource = std::move(pair.read);
    f.bytesAvailable = 0;
    flags_ |= f.sendSuspendedBit | f.receiveSuspendedBit | f.acceptsBytesBit;
}

// Before the kernel binds a descriptor by its first send or connect, address and port reuse go
// off: Linux may give a socket with reuse an ephemeral port that another socket with reuse
// already holds (in any program of the same user), and later ones may join it; a peer's
// replies then reach only one of them. Without reuse the kernel picks a port that nobody
// holds, and nobody can join it.
void QKGCDAsyncUdpSocket::takeOwnPort(Family& f) {
    if (f.bound || f.fd == -1) return;
    const int off = 0;
    ::setsockopt(f.fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    ::setsockopt(f.fd, SOL_SOCKET, SO_REUSEPORT, &off, sizeof off);
    f.bound = true;
}

void QKGCDAsyncUdpSocket::suspendSendSource(bool v4) {
    Family& f = family(v4);
    if (f.sendSource && !(flags_ & f.sendSuspendedBit)) {
        f.sendSource->suspend();
        flags_ |= f.sendSuspendedBit;
    }
}
void QKGCDAsyncUdpSocket::resumeSendSource(bool v4) {
    Family& f = family(v4);
    if (f.sendSource && (flags_ & f.sendSuspendedBit)) {
        f.sendSource->resume();
        flags_ &= ~f.sendSuspendedBit;
    }
}
void QKGCDAsyncUdpSocket::suspendReceiveSource(bool v4) {
    Family& f = family(v4);
    if (f.receiveSource && !(flags_ & f.receiveSuspendedBit)) {
        f.receiveSource->suspend();
        flags_ |= f.receiveSuspendedBit;
    }
}
void QKGCDAsyncUdpSocket::resumeReceiveSource(bool v4) {
    Family& f = family(v4);
    if (f.receiveSource && (flags_ & f.receiveSuspendedBit)) {
        f.receiveSource->resume();
        flags_ &= ~f.receiveSuspendedBit;
    }
}

void QKGCDAsyncUdpSocket::closeSocket(bool v4) {
    Family& f = family(v4);
    if (f.fd == -1) return;
    // The pair closes the descriptor once both cancel handlers ran; a suspended source runs its
    // handler only when resumed.
    f.sendSource->cancel();
    f.receiveSource->cancel();
    resumeSendSource(v4);
    resumeReceiveSource(v4);
    f.sendSource.reset();
    f.receiveSource.reset();
    f.fd = -1;
    f.bound = false;
    f.bytesAvailable = 0;
    flags_ &= ~f.acceptsBytesBit;
    f.local = {};
}

void QKGCDAsyncUdpSocket::closeSockets() {
    closeSocket(true);
    closeSocket(false);
    flags_ &= ~kDidCreateSockets;
}

void QKGCDAsyncUdpSocket::closeWithError(ErrorPtr error) {
    if (currentSend_) endCurrentSend();
    sendQueue_.clear();
    uint32_t old = flags_;
    closeSockets();
    flags_ = 0;
    pendingFilterOperations_ = 0;
    ++openGeneration_;
    cachedConnectedAddress_.clear();
    cachedConnectedHost_.clear();
    cachedConnectedPort_ = 0;
    cachedConnectedFamily_ = 0;
    if (old & kDidCreateSockets) notifyDidCloseWithError(std::move(error));
}

void QKGCDAsyncUdpSocket::close() {
    socketQueue_.sync([&] { closeWithError(nullptr); });
}

}  // namespace telvo

#include "sockets/QKGCDAsyncUdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/foundation/AppLifecycle.h"
#include "platform/net/NetworkGuard.h"
#include "sockets/SocketAddress.h"
#include "sockets/SocketError.h"

namespace telvo {

namespace {

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
constexpr uint16_t kIPv4Disabled = 0x1;
constexpr uint16_t kIPv6Disabled = 0x2;
constexpr uint16_t kPreferIPv4 = 0x4;
constexpr uint16_t kPreferIPv6 = 0x8;

ErrorPtr socketError(QKGCDAsyncUdpSocketError code, const std::string& message) {
    return makeError(QKGCDAsyncUdpSocketErrorDomain, code, message);
}
ErrorPtr badConfigError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketBadConfigError, message);
}
ErrorPtr badParamError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketBadParamError, message);
}
ErrorPtr otherError(const std::string& message) {
    return socketError(QKGCDAsyncUdpSocketOtherError, message);
}
ErrorPtr sendTimeoutError() {
    return socketError(QKGCDAsyncUdpSocketSendTimeoutError, "Send operation timed out");
}
ErrorPtr errnoErrorWithReason(const std::string& reason) {
    return posixError(errno, reason);
}

bool fail(ErrorPtr* out, ErrorPtr error) {
    if (out) *out = std::move(error);
    return false;
}

bool isIPv6Unavailable(int err) {
    return err == EAFNOSUPPORT || err == EPROTONOSUPPORT;
}

}  // namespace

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
    std::shared_ptr<DispatchSource> sendSource, receiveSource;
    uint64_t bytesAvailable = 0;
    // Read once after binding; mutable because the accessors fill it.
    mutable LocalAddress local;
};

QKGCDAsyncUdpSocket::QKGCDAsyncUdpSocket(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                                         DispatchQueuePtr delegateQueue,
                                         DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue)
                               : DispatchQueue::createSerial("QKGCDAsyncUdpSocket")),
      f4_(std::make_unique<Family>(AF_INET, 0x40, 0x100, 0x400, 0x1000, kIPv4Disabled)),
      f6_(std::make_unique<Family>(AF_INET6, 0x80, 0x200, 0x800, 0x2000, kIPv6Disabled)) {
    socketQueue_->setSpecific(&isOnSocketQueueOrTargetQueueKey_,
                              std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
    // Removed synchronously by the destructor, so `this` is valid whenever the block runs.
    foregroundObserver_ = NotificationCenter::defaultCenter()->addObserverForName(
        UIApplicationWillEnterForegroundNotification, nullptr, [this](const Notification&) {
            auto self = weak_from_this().lock();
            if (!self) return;
            self->onSocketQueueAsync([self] {
                self->resumeReceiveSource(true);
                self->resumeReceiveSource(false);
            });
        });
}

QKGCDAsyncUdpSocket::~QKGCDAsyncUdpSocket() {
    NotificationCenter::defaultCenter()->removeObserver(foregroundObserver_);
    auto closeNow = [this] { closeWithError(nullptr); };
    if (isOnSocketQueue()) {
        closeNow();
    } else {
        socketQueue_->sync(closeNow);
    }
    socketQueue_->setSpecific(&isOnSocketQueueOrTargetQueueKey_, nullptr);
}

// ---- Queue helpers ----

bool QKGCDAsyncUdpSocket::isOnSocketQueue() const {
    return DispatchQueue::getSpecific(&isOnSocketQueueOrTargetQueueKey_) == this;
}

template <class F>
auto QKGCDAsyncUdpSocket::onSocketQueue(F&& f) const {
    if (isOnSocketQueue()) return f();
    return socketQueue_->syncResult(f);
}

template <class F>
void QKGCDAsyncUdpSocket::onSocketQueueAsync(F&& f) {
    if (isOnSocketQueue()) {
        f();
    } else {
        socketQueue_->async(std::forward<F>(f));
    }
}

void QKGCDAsyncUdpSocket::markSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    if (queue)
        queue->setSpecific(&isOnSocketQueueOrTargetQueueKey_,
                           std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

void QKGCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    if (queue) queue->setSpecific(&isOnSocketQueueOrTargetQueueKey_, nullptr);
}

void QKGCDAsyncUdpSocket::performBlock(const std::function<void()>& block) {
    onSocketQueue([&] { block(); });
}

int QKGCDAsyncUdpSocket::socketFD() const {
    if (!isOnSocketQueue()) return -1;
    return f4_->fd != -1 ? f4_->fd : f6_->fd;
}
int QKGCDAsyncUdpSocket::socket4FD() const {
    return isOnSocketQueue() ? f4_->fd : -1;
}
int QKGCDAsyncUdpSocket::socket6FD() const {
    return isOnSocketQueue() ? f6_->fd : -1;
}

// ---- Delegate and configuration ----

std::shared_ptr<QKGCDAsyncUdpSocketDelegate> QKGCDAsyncUdpSocket::delegate() const {
    return onSocketQueue([&] { return delegate_.lock(); });
}

DispatchQueuePtr QKGCDAsyncUdpSocket::delegateQueue() const {
    return onSocketQueue([&] { return delegateQueue_; });
}

void QKGCDAsyncUdpSocket::getDelegate(std::shared_ptr<QKGCDAsyncUdpSocketDelegate>* delegate,
                                      DispatchQueuePtr* delegateQueue) const {
    onSocketQueue([&] {
        if (delegate) *delegate = delegate_.lock();
        if (delegateQueue) *delegateQueue = delegateQueue_;
    });
}

void QKGCDAsyncUdpSocket::setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate) {
    onSocketQueueAsync([self = shared_from_this(), delegate] { self->delegate_ = delegate; });
}

void QKGCDAsyncUdpSocket::setDelegateQueue(DispatchQueuePtr queue) {
    onSocketQueueAsync([self = shared_from_this(), queue] { self->delegateQueue_ = queue; });
}

void QKGCDAsyncUdpSocket::setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                                      DispatchQueuePtr queue) {
    onSocketQueueAsync([self = shared_from_this(), delegate, queue] {
        self->delegate_ = delegate;
        self->delegateQueue_ = queue;
    });
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegate(
    std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate) {
    onSocketQueue([&] { delegate_ = delegate; });
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegateQueue(DispatchQueuePtr queue) {
    onSocketQueue([&] { delegateQueue_ = queue; });
}

void QKGCDAsyncUdpSocket::synchronouslySetDelegate(
    std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate, DispatchQueuePtr queue) {
    onSocketQueue([&] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    });
}

bool QKGCDAsyncUdpSocket::isIPv4Enabled() const {
    return onSocketQueue([&] { return !(config_ & kIPv4Disabled); });
}
bool QKGCDAsyncUdpSocket::isIPv6Enabled() const {
    return onSocketQueue([&] { return !(config_ & kIPv6Disabled); });
}
bool QKGCDAsyncUdpSocket::isIPv4Preferred() const {
    return onSocketQueue([&] { return bool(config_ & kPreferIPv4); });
}
bool QKGCDAsyncUdpSocket::isIPv6Preferred() const {
    return onSocketQueue([&] { return bool(config_ & kPreferIPv6); });
}
bool QKGCDAsyncUdpSocket::isIPVersionNeutral() const {
    return onSocketQueue([&] { return !(config_ & (kPreferIPv4 | kPreferIPv6)); });
}

void QKGCDAsyncUdpSocket::setIPv4Enabled(bool enabled) {
    onSocketQueueAsync([self = shared_from_this(), enabled] {
        if (enabled) {
            self->config_ &= ~kIPv4Disabled;
        } else {
            self->config_ |= kIPv4Disabled;
        }
    });
}
void QKGCDAsyncUdpSocket::setIPv6Enabled(bool enabled) {
    onSocketQueueAsync([self = shared_from_this(), enabled] {
        if (enabled) {
            self->config_ &= ~kIPv6Disabled;
        } else {
            self->config_ |= kIPv6Disabled;
        }
    });
}
void QKGCDAsyncUdpSocket::setPreferIPv4() {
    onSocketQueueAsync([self = shared_from_this()] {
        self->config_ = (self->config_ | kPreferIPv4) & ~kPreferIPv6;
    });
}
void QKGCDAsyncUdpSocket::setPreferIPv6() {
    onSocketQueueAsync([self = shared_from_this()] {
        self->config_ = (self->config_ | kPreferIPv6) & ~kPreferIPv4;
    });
}
void QKGCDAsyncUdpSocket::setIPVersionNeutral() {
    onSocketQueueAsync(
        [self = shared_from_this()] { self->config_ &= ~(kPreferIPv4 | kPreferIPv6); });
}

uint16_t QKGCDAsyncUdpSocket::maxReceiveIPv4BufferSize() const {
    return onSocketQueue([&] { return max4ReceiveSize_; });
}
void QKGCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t size) {
    onSocketQueueAsync([self = shared_from_this(), size] { self->max4ReceiveSize_ = size; });
}
uint32_t QKGCDAsyncUdpSocket::maxReceiveIPv6BufferSize() const {
    return onSocketQueue([&] { return max6ReceiveSize_; });
}
void QKGCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t size) {
    onSocketQueueAsync([self = shared_from_this(), size] { self->max6ReceiveSize_ = size; });
}
uint16_t QKGCDAsyncUdpSocket::maxSendBufferSize() const {
    return onSocketQueue([&] { return maxSendSize_; });
}
void QKGCDAsyncUdpSocket::setMaxSendBufferSize(uint16_t size) {
    onSocketQueueAsync([self = shared_from_this(), size] { self->maxSendSize_ = size; });
}
std::any QKGCDAsyncUdpSocket::userData() const {
    return onSocketQueue([&] { return userData_; });
}
void QKGCDAsyncUdpSocket::setUserData(std::any userData) {
    onSocketQueueAsync([self = shared_from_this(), userData = std::move(userData)] {
        self->userData_ = userData;
    });
}

// ---- State queries and addresses ----

bool QKGCDAsyncUdpSocket::isClosed() const {
    return onSocketQueue([&] { return !(flags_ & kDidCreateSockets); });
}
bool QKGCDAsyncUdpSocket::isConnected() const {
    return onSocketQueue([&] { return bool(flags_ & kDidConnect); });
}
bool QKGCDAsyncUdpSocket::isIPv4() const {
    return onSocketQueue(
        [&] { return (flags_ & kDidCreateSockets) ? f4_->fd != -1 : !(config_ & kIPv4Disabled); });
}
bool QKGCDAsyncUdpSocket::isIPv6() const {
    return onSocketQueue(
        [&] { return (flags_ & kDidCreateSockets) ? f6_->fd != -1 : !(config_ & kIPv6Disabled); });
}

QKGCDAsyncUdpSocket::LocalAddress QKGCDAsyncUdpSocket::local(std::optional<bool> v4) const {
    return onSocketQueue([&] {
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
    return onSocketQueue([&] { return cachedConnectedAddress_; });
}
std::string QKGCDAsyncUdpSocket::connectedHost() const {
    return onSocketQueue([&] { return cachedConnectedHost_; });
}
uint16_t QKGCDAsyncUdpSocket::connectedPort() const {
    return onSocketQueue([&] { return cachedConnectedPort_; });
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
    if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled))
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
    return createSocket4Socket6(!(config_ & kIPv4Disabled), !(config_ & kIPv6Disabled), error);
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
    auto pair = DispatchSource::createPair(f.fd, socketQueue_);
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
    onSocketQueue([&] { closeWithError(nullptr); });
}

// ---- Options and binding ----

bool QKGCDAsyncUdpSocket::setSocketOption(int level, int option, int value, bool v4,
                                          ErrorPtr* error) {
    if (::setsockopt(family(v4).fd, level, option, &value, sizeof value) == 0) return true;
    return fail(error, errnoErrorWithReason("Error in setsockopt() function"));
}

bool QKGCDAsyncUdpSocket::enableBroadcast(bool flag, ErrorPtr* error) {
    return onSocketQueue([&] {
        if (!preOp(error)) return false;
        if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
        if (f4_->fd == -1) return false;
        return setSocketOption(SOL_SOCKET, SO_BROADCAST, flag ? 1 : 0, true, error);
    });
}

bool QKGCDAsyncUdpSocket::enableReusePort(bool flag, ErrorPtr* error) {
    return onSocketQueue([&] {
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
    if (!use4) flags_ |= f4_->deactivatedBit;
    if (!use6) flags_ |= f6_->deactivatedBit;
    return true;
}

bool QKGCDAsyncUdpSocket::bindToPort(uint16_t port, ErrorPtr* error) {
    return bindToPort(port, std::nullopt, error);
}

bool QKGCDAsyncUdpSocket::bindToPort(uint16_t port, const std::optional<std::string>& interface,
                                     ErrorPtr* error) {
    return onSocketQueue([&] {
        if (!preBind(error)) return false;
        InterfaceAddresses addresses =
            interface ? interfaceAddresses(*interface, port)
                      : InterfaceAddresses{anySocketAddress4(port), anySocketAddress6(port)};
        if (addresses.address4.empty() && addresses.address6.empty())
            return fail(error, badParamError("Unknown interface. Specify valid interface by name "
                                             "(e.g. \"en1\") or IP address."));
        if ((config_ & kIPv4Disabled) && addresses.address6.empty())
            return fail(error, badParamError("IPv4 has been disabled and specified interface "
                                             "doesn't support IPv6."));
        if ((config_ & kIPv6Disabled) && addresses.address4.empty())
            return fail(error, badParamError("IPv6 has been disabled and specified interface "
                                             "doesn't support IPv4."));
        if (config_ & kIPv4Disabled) addresses.address4.clear();
        if (config_ & kIPv6Disabled) addresses.address6.clear();
        if (!(flags_ & kDidCreateSockets) &&
            !createSocket4Socket6(!addresses.address4.empty(), !addresses.address6.empty(), error))
            return false;
        return bindFamilies(addresses.address4, addresses.address6, !interface, error);
    });
}

bool QKGCDAsyncUdpSocket::bindToAddress(const Bytes& address, ErrorPtr* error) {
    return onSocketQueue([&] {
        if (!preBind(error)) return false;
        bool v4 = isIPv4SocketAddress(address);
        if (!v4 && !isIPv6SocketAddress(address))
            return fail(error, badParamError("A valid IPv4 or IPv6 address was not given"));
        Bytes address4 =
            v4 ? Bytes(address.begin(), address.begin() + sizeof(sockaddr_in)) : Bytes();
        Bytes address6 =
            v4 ? Bytes() : Bytes(address.begin(), address.begin() + sizeof(sockaddr_in6));
        if (v4 && (config_ & kIPv4Disabled))
            return fail(error,
                        badParamError("IPv4 has been disabled and an IPv4 address was passed."));
        if (!v4 && (config_ & kIPv6Disabled))
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
    return onSocketQueue([&] { return multicastRequest(true, group, interface, error); });
}
bool QKGCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group, ErrorPtr* error) {
    return leaveMulticastGroup(group, std::nullopt, error);
}
bool QKGCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group,
                                              const std::optional<std::string>& interface,
                                              ErrorPtr* error) {
    return onSocketQueue([&] { return multicastRequest(false, group, interface, error); });
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

// ---- Sending ----

void QKGCDAsyncUdpSocket::asyncResolveHost(
    const std::string& host, uint16_t port,
    std::function<void(std::vector<Bytes>, ErrorPtr)> completion) {
    auto self = shared_from_this();
    if (host.empty()) {
        ErrorPtr error =
            badParamError("The host param is nil. Should be domain name or IP address string.");
        socketQueue_->async([completion, error] { completion({}, error); });
        return;
    }
    // The lookup touches no socket state; its result goes back to the socket queue.
    DispatchQueue::global()->async([self, host, port, completion] {
        HostResolution result = resolveHost(host, port, SOCK_DGRAM, IPPROTO_UDP);
        self->socketQueue_->async([result = std::move(result), completion]() mutable {
            completion(std::move(result.addresses), std::move(result.error));
        });
    });
}

void QKGCDAsyncUdpSocket::enqueue(Packet packet) {
    onSocketQueueAsync([self = shared_from_this(), packet = std::move(packet)] {
        self->sendQueue_.push_back(packet);
        self->maybeDequeueSend();
    });
}

void QKGCDAsyncUdpSocket::sendData(Bytes data, const std::string& host, uint16_t port,
                                   double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<QKGCDAsyncUdpSendPacket>(std::move(data), timeout, tag);
    packet->resolveInProgress = true;
    asyncResolveHost(
        host, port,
        [self = shared_from_this(), packet](std::vector<Bytes> addresses, ErrorPtr error) {
            packet->resolveInProgress = false;
            packet->resolvedAddresses = std::move(addresses);
            packet->resolveError = std::move(error);
            if (packet == self->currentSend_) self->doPreSend();
        });
    enqueue(std::move(packet));
}

void QKGCDAsyncUdpSocket::sendData(Bytes data, const Bytes& address, double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<QKGCDAsyncUdpSendPacket>(std::move(data), timeout, tag);
    int family = familyFromAddress(address);
    if (family != 0) {
        packet->address = address;
        packet->addressFamily = family;
    }
    enqueue(std::move(packet));
}

void QKGCDAsyncUdpSocket::sendData(Bytes data, double timeout, int64_t tag) {
    if (data.empty()) return;
    enqueue(std::make_shared<QKGCDAsyncUdpSendPacket>(std::move(data), timeout, tag));
}

void QKGCDAsyncUdpSocket::setSendFilter(QKGCDAsyncUdpSocketSendFilterBlock filter,
                                        DispatchQueuePtr queue, bool isAsynchronous) {
    onSocketQueueAsync([self = shared_from_this(), filter = std::move(filter),
                        queue = std::move(queue), isAsynchronous] {
        self->sendFilterBlock_ = filter;
        self->sendFilterQueue_ = filter ? queue : nullptr;
        self->sendFilterAsync_ = isAsynchronous;
    });
}

void QKGCDAsyncUdpSocket::closeAfterSending() {
    onSocketQueueAsync([self = shared_from_this()] {
        self->flags_ |= kCloseAfterSends;
        if (!self->currentSend_ && self->sendQueue_.empty()) self->closeWithError(nullptr);
    });
}

bool QKGCDAsyncUdpSocket::connectToHost(const std::string& host, uint16_t port, ErrorPtr* error) {
    auto packet = std::make_shared<QKGCDAsyncUdpSpecialPacket>();
    bool ok = onSocketQueue([&] {
        if (!preOp(error)) return false;
        if (flags_ & (kConnecting | kDidConnect))
            return fail(error, badConfigError("Cannot connect a socket more than once."));
        if (host.empty())
            return fail(error, badParamError("The host param is nil. Should be domain name or "
                                             "IP address string."));
        if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
        flags_ |= kConnecting;
        packet->resolveInProgress = true;
        return true;
    });
    if (!ok) return false;
    asyncResolveHost(
        host, port,
        [self = shared_from_this(), packet](std::vector<Bytes> addresses, ErrorPtr error) {
            packet->resolveInProgress = false;
            packet->addresses = std::move(addresses);
            packet->error = std::move(error);
            if (packet == self->currentSend_) self->doConnect();
        });
    enqueue(packet);
    return true;
}

bool QKGCDAsyncUdpSocket::connectToAddress(const Bytes& address, ErrorPtr* error) {
    return onSocketQueue([&] {
        if (!preOp(error)) return false;
        if (flags_ & (kConnecting | kDidConnect))
            return fail(error, badConfigError("Cannot connect a socket more than once."));
        if (address.empty())
            return fail(error,
                        badParamError("The address param is nil. Should be a valid address."));
        if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
        flags_ |= kConnecting;
        auto packet = std::make_shared<QKGCDAsyncUdpSpecialPacket>();
        packet->addresses = {address};
        enqueue(packet);
        return true;
    });
}

// Runs dequeue steps until nothing more can start; a request made while one runs (a send that
// completed at once) is served by the running loop, so the stack does not grow per datagram.
void QKGCDAsyncUdpSocket::maybeDequeueSend() {
    if (dequeueRunning_) {
        dequeueRequested_ = true;
        return;
    }
    dequeueRunning_ = true;
    do {
        dequeueRequested_ = false;
        dequeueStep();
    } while (dequeueRequested_);
    dequeueRunning_ = false;
}

void QKGCDAsyncUdpSocket::dequeueStep() {
    if (currentSend_) return;
    if (!sendQueue_.empty() && !(flags_ & kDidCreateSockets)) {
        ErrorPtr error;
        if (!createSockets(&error)) {
            closeWithError(error);
            return;
        }
    }
    while (!sendQueue_.empty()) {
        currentSend_ = sendQueue_.front();
        sendQueue_.pop_front();
        if (std::dynamic_pointer_cast<QKGCDAsyncUdpSpecialPacket>(currentSend_)) {
            doConnect();
            return;
        }
        auto packet = std::static_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
        if (packet->resolveError) {
            notifyDidNotSendDataWithTag(packet->tag, packet->resolveError);
            currentSend_ = nullptr;
            continue;
        }
        doPreSend();
        break;
    }
    if (!currentSend_ && (flags_ & kCloseAfterSends)) closeWithError(nullptr);
}

bool QKGCDAsyncUdpSocket::getAddress(Bytes* address, int* family, ErrorPtr* error,
                                     const std::vector<Bytes>& addresses) const {
    const Bytes* first4 = nullptr;
    const Bytes* first6 = nullptr;
    bool v4First = false;
    for (const Bytes& a : addresses) {
        if (!first4 && isIPv4SocketAddress(a)) {
            first4 = &a;
            if (!first6) v4First = true;
        } else if (!first6 && isIPv6SocketAddress(a)) {
            first6 = &a;
        }
    }
    if ((config_ & kIPv4Disabled) && !first6)
        return fail(error, otherError("IPv4 has been disabled and DNS lookup found no IPv6 "
                                      "address(es)."));
    if ((config_ & kIPv6Disabled) && !first4)
        return fail(error, otherError("IPv6 has been disabled and DNS lookup found no IPv4 "
                                      "address(es)."));
    if ((flags_ & f4_->deactivatedBit) && !first6)
        return fail(error, otherError("IPv4 has been deactivated due to bind/connect, and DNS "
                                      "lookup found no IPv6 address(es)."));
    if ((flags_ & f6_->deactivatedBit) && !first4)
        return fail(error, otherError("IPv6 has been deactivated due to bind/connect, and DNS "
                                      "lookup found no IPv4 address(es)."));
    bool use4;
    if (first4 && first6) {
        // A family without a usable socket is never chosen while the other one is there.
        bool usable4 = f4_->fd != -1 && !(flags_ & f4_->deactivatedBit);
        bool usable6 = f6_->fd != -1 && !(flags_ & f6_->deactivatedBit);
        if (usable4 != usable6) {
            use4 = usable4;
        } else if (config_ & kPreferIPv4) {
            use4 = true;
        } else {
            use4 = !(config_ & kPreferIPv6) && v4First;
        }
    } else if (first4 || first6) {
        use4 = first4 != nullptr;
    } else {
        return fail(error, badConfigError("You must specify destination of packet for a "
                                          "non-connected socket"));
    }
    *address = use4 ? *first4 : *first6;
    *family = use4 ? AF_INET : AF_INET6;
    return true;
}

void QKGCDAsyncUdpSocket::failCurrentSend(const ErrorPtr& error) {
    auto packet = std::static_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
    notifyDidNotSendDataWithTag(packet->tag, error);
    endCurrentSend();
    maybeDequeueSend();
}

void QKGCDAsyncUdpSocket::doPreSend() {
    auto packet = std::static_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
    bool carriesResolution =
        packet->resolveInProgress || !packet->resolvedAddresses.empty() || packet->resolveError;
    if (flags_ & kDidConnect) {
        if (carriesResolution)
            return failCurrentSend(
                badConfigError("Cannot specify destination of packet for connected socket"));
        packet->address = cachedConnectedAddress_;
        packet->addressFamily = cachedConnectedFamily_;
    } else if (packet->resolveInProgress) {
        // Writability must not wake the queue while the host resolves.
        for (bool v4 : {true, false})
            if (flags_ & family(v4).acceptsBytesBit) suspendSendSource(v4);
        return;
    } else if (packet->resolveError) {
        return failCurrentSend(packet->resolveError);
    } else {
        // A ready address goes through the same checks as resolved ones.
        std::vector<Bytes> candidates = packet->resolvedAddresses;
        if (!packet->address.empty()) candidates = {packet->address};
        ErrorPtr error;
        if (!getAddress(&packet->address, &packet->addressFamily, &error, candidates))
            return failCurrentSend(error);
    }

    if (!sendFilterBlock_ || !sendFilterQueue_) return doSend();
    auto filter = sendFilterBlock_;
    if (!sendFilterAsync_) {
        bool allowed = false;
        sendFilterQueue_->sync(
            [&] { allowed = filter(packet->buffer, packet->address, packet->tag); });
        if (allowed) return doSend();
        notifyDidSendDataWithTag(packet->tag);
        endCurrentSend();
        return maybeDequeueSend();
    }
    packet->filterInProgress = true;
    sendFilterQueue_->async([self = shared_from_this(), filter, packet] {
        bool allowed = filter(packet->buffer, packet->address, packet->tag);
        self->socketQueue_->async([self, packet, allowed] {
            packet->filterInProgress = false;
            if (packet != self->currentSend_) return;
            if (allowed) return self->doSend();
            self->notifyDidSendDataWithTag(packet->tag);
            self->endCurrentSend();
            self->maybeDequeueSend();
        });
    });
}

void QKGCDAsyncUdpSocket::doSend() {
    auto packet = std::static_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
    bool v4 = packet->addressFamily == AF_INET;
    Family& f = family(v4);
    ssize_t result;
    if (flags_ & kDidConnect) {
        result =
            NetworkGuard::sendto(f.fd, packet->buffer.data(), packet->buffer.size(), 0, nullptr, 0);
    } else {
        sockaddr_storage to;
        socklen_t toLength = copySocketAddress(packet->address, to);
        result = NetworkGuard::sendto(f.fd, packet->buffer.data(), packet->buffer.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&to), toLength);
    }
    int err = errno;
    flags_ |= kDidBind;
    if (result > 0) {
        notifyDidSendDataWithTag(packet->tag);
        endCurrentSend();
        return maybeDequeueSend();
    }
    if (result == 0 || err == EAGAIN || err == EWOULDBLOCK) {
        // Wait for writability; the write event sends again.
        flags_ &= ~f.acceptsBytesBit;
        resumeSendSource(v4);
        if (!sendTimer_ && packet->timeout >= 0) setupSendTimer(packet->timeout);
        return;
    }
    errno = err;
    closeWithError(errnoErrorWithReason("Error in send() function."));
}

void QKGCDAsyncUdpSocket::onWriteEvent(bool v4) {
    flags_ |= family(v4).acceptsBytesBit;
    suspendSendSource(v4);
    auto packet = std::dynamic_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
    if (packet && !packet->resolveInProgress && !packet->filterInProgress &&
        packet->addressFamily == family(v4).domain)
        doSend();
}

void QKGCDAsyncUdpSocket::setupSendTimer(double timeout) {
    std::weak_ptr<QKGCDAsyncUdpSocket> weak = weak_from_this();
    sendTimer_ = DispatchTimer::create(socketQueue_, [weak] {
        if (auto self = weak.lock()) self->doSendTimeout();
    });
    sendTimer_->start(timeout);
}

void QKGCDAsyncUdpSocket::doSendTimeout() {
    auto packet = std::dynamic_pointer_cast<QKGCDAsyncUdpSendPacket>(currentSend_);
    if (!packet) return;
    notifyDidNotSendDataWithTag(packet->tag, sendTimeoutError());
    endCurrentSend();
    maybeDequeueSend();
}

void QKGCDAsyncUdpSocket::endCurrentSend() {
    if (sendTimer_) {
        sendTimer_->cancel();
        sendTimer_.reset();
    }
    currentSend_ = nullptr;
}

void QKGCDAsyncUdpSocket::doConnect() {
    auto packet = std::static_pointer_cast<QKGCDAsyncUdpSpecialPacket>(currentSend_);
    if (packet->resolveInProgress) return;  // the resolution restarts this step
    auto finish = [&](ErrorPtr error, Bytes address) {
        flags_ &= ~kConnecting;
        if (error) {
            notifyDidNotConnect(std::move(error));
        } else {
            notifyDidConnectToAddress(std::move(address));
        }
        endCurrentSend();
        maybeDequeueSend();
    };
    Bytes address;
    int family = 0;
    ErrorPtr error = packet->error;
    if (error || !getAddress(&address, &family, &error, packet->addresses))
        return finish(error, {});
    bool v4 = family == AF_INET;
    Family& f = this->family(v4);
    if (::connect(f.fd, reinterpret_cast<const sockaddr*>(address.data()),
                  socklen_t(address.size())) != 0)
        return finish(errnoErrorWithReason("Error in connect() function"), {});
    closeSocket(!v4);
    flags_ |= kDidBind | kDidConnect | this->family(!v4).deactivatedBit;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(f.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0)
        address = socketAddressData(&peer, peerLength);
    SocketAddressParts parts = socketAddressParts(address);
    cachedConnectedAddress_ = address;
    cachedConnectedHost_ = parts.host;
    cachedConnectedPort_ = parts.port;
    cachedConnectedFamily_ = family;
    finish(nullptr, address);
}

// ---- Receiving ----

bool QKGCDAsyncUdpSocket::beginReceiving(ErrorPtr* error) {
    return startReceiving(kReceiveContinuous, error);
}

bool QKGCDAsyncUdpSocket::receiveOnce(ErrorPtr* error) {
    return startReceiving(kReceiveOnce, error);
}

bool QKGCDAsyncUdpSocket::startReceiving(uint32_t mode, ErrorPtr* error) {
    return onSocketQueue([&] {
        if (flags_ & mode) return true;
        if (!(flags_ & kDidCreateSockets))
            return fail(error, badConfigError("Must bind socket before you can receive data. You "
                                              "can do this explicitly via bind, or implicitly via "
                                              "connect or by sending data."));
        flags_ = (flags_ & ~(kReceiveOnce | kReceiveContinuous)) | mode;
        socketQueue_->async([self = shared_from_this()] { self->doReceive(); });
        return true;
    });
}

void QKGCDAsyncUdpSocket::pauseReceiving() {
    onSocketQueueAsync([self = shared_from_this()] {
        self->flags_ &= ~(kReceiveOnce | kReceiveContinuous);
        self->suspendReadSourcesWithData();
    });
}

void QKGCDAsyncUdpSocket::setReceiveFilter(QKGCDAsyncUdpSocketReceiveFilterBlock filter,
                                           DispatchQueuePtr queue, bool isAsynchronous) {
    onSocketQueueAsync([self = shared_from_this(), filter = std::move(filter),
                        queue = std::move(queue), isAsynchronous] {
        self->receiveFilterBlock_ = filter;
        self->receiveFilterQueue_ = filter ? queue : nullptr;
        self->receiveFilterAsync_ = isAsynchronous;
    });
}

void QKGCDAsyncUdpSocket::suspendReadSourcesWithData() {
    for (bool v4 : {true, false})
        if (family(v4).bytesAvailable > 0) suspendReceiveSource(v4);
}

void QKGCDAsyncUdpSocket::onReadEvent(bool v4, unsigned long available) {
    // Datagram sockets have no end of stream: a readable socket reporting no bytes holds an
    // empty datagram (or an error), which one read consumes.
    family(v4).bytesAvailable = available > 0 ? available : 1;
    doReceive();
}

bool QKGCDAsyncUdpSocket::isConnectedTo(const Bytes& address) const {
    SocketAddressParts sender = socketAddressParts(address);
    SocketAddressParts peer = socketAddressParts(cachedConnectedAddress_);
    if (sender.family == 0 || sender.family != cachedConnectedFamily_) return false;
    if (sender.port != peer.port) return false;
    if (sender.family == AF_INET)
        return std::memcmp(
                   &reinterpret_cast<const sockaddr_in*>(address.data())->sin_addr,
                   &reinterpret_cast<const sockaddr_in*>(cachedConnectedAddress_.data())->sin_addr,
                   sizeof(in_addr)) == 0;
    return std::memcmp(
               &reinterpret_cast<const sockaddr_in6*>(address.data())->sin6_addr,
               &reinterpret_cast<const sockaddr_in6*>(cachedConnectedAddress_.data())->sin6_addr,
               sizeof(in6_addr)) == 0;
}

void QKGCDAsyncUdpSocket::doReceive() {
    for (;;) {
        if (!(flags_ & (kReceiveOnce | kReceiveContinuous)) ||
            ((flags_ & kReceiveOnce) && pendingFilterOperations_ > 0)) {
            // Not receiving: the data stays in the kernel and the sources stay quiet.
            return suspendReadSourcesWithData();
        }
        uint64_t& available4 = f4_->bytesAvailable;
        uint64_t& available6 = f6_->bytesAvailable;
        if (available4 == 0 && available6 == 0) {
            resumeReceiveSource(true);
            resumeReceiveSource(false);
            return;
        }
        bool v4;
        if (flags_ & kDidConnect) {
            v4 = f4_->fd != -1;
        } else if (available4 > 0 && available6 > 0) {
            v4 = flags_ & kFlipFlop;
            flags_ ^= kFlipFlop;
        } else {
            v4 = available4 > 0;
        }
        Family& f = family(v4);
        if (f.fd == -1) {
            f.bytesAvailable = 0;
            continue;
        }

        // One scratch buffer of the largest size serves every read; the datagram is copied
        // out at its own length.
        size_t capacity = v4 ? max4ReceiveSize_ : max6ReceiveSize_;
        if (receiveScratch_.size() < capacity) receiveScratch_.resize(capacity);
        sockaddr_storage from{};
        socklen_t fromLength = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        // MSG_TRUNC: the answer is the datagram's full length even when the buffer cut it.
        ssize_t result = ::recvfrom(f.fd, receiveScratch_.data(), capacity, MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (result <= 0) {
            int err = errno;
            f.bytesAvailable = 0;
            if (result == 0 || err == EAGAIN || err == EWOULDBLOCK) {
                // An empty datagram is consumed; the socket keeps receiving.
                for (bool family4 : {true, false})
                    if (family(family4).bytesAvailable == 0) resumeReceiveSource(family4);
                if (result == 0) continue;
                return;
            }
            errno = err;
            return closeWithError(errnoErrorWithReason("Error in recvfrom() function"));
        }
        f.bytesAvailable = uint64_t(result) >= f.bytesAvailable ? 0 : f.bytesAvailable - result;
        Bytes buffer(receiveScratch_.begin(),
                     receiveScratch_.begin() + std::min(size_t(result), capacity));
        Bytes address = socketAddressData(
            &from,
            std::min<socklen_t>(fromLength, v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)));

        bool delivered = false;
        if ((flags_ & kDidConnect) && !isConnectedTo(address)) {
            // from someone other than the peer: ignored
        } else if (!receiveFilterBlock_ || !receiveFilterQueue_) {
            notifyDidReceiveData(std::move(buffer), std::move(address), {});
            delivered = true;
        } else if (!receiveFilterAsync_) {
            std::any context;
            bool allowed = false;
            auto filter = receiveFilterBlock_;
            receiveFilterQueue_->sync([&] { allowed = filter(buffer, address, &context); });
            if (allowed) {
                notifyDidReceiveData(std::move(buffer), std::move(address), std::move(context));
                delivered = true;
            }
        } else {
            ++pendingFilterOperations_;
            receiveFilterQueue_->async([self = shared_from_this(), filter = receiveFilterBlock_,
                                        generation = openGeneration_, buffer = std::move(buffer),
                                        address = std::move(address)]() mutable {
                std::any context;
                bool allowed = filter(buffer, address, &context);
                self->socketQueue_->async([self, generation, allowed, buffer = std::move(buffer),
                                           address = std::move(address),
                                           context = std::move(context)]() mutable {
                    if (generation != self->openGeneration_) return;  // closed meanwhile
                    --self->pendingFilterOperations_;
                    if (allowed)
                        self->notifyDidReceiveData(std::move(buffer), std::move(address),
                                                   std::move(context));
                    if (self->flags_ & kReceiveOnce) {
                        if (allowed) {
                            self->flags_ &= ~kReceiveOnce;
                        } else if (self->pendingFilterOperations_ == 0) {
                            self->doReceive();
                        }
                    }
                });
            });
            if (flags_ & kReceiveOnce) return;  // wait for the verdict
            continue;
        }
        if ((flags_ & kReceiveOnce) && delivered) {
            flags_ &= ~(kReceiveOnce | kReceiveContinuous);
            return suspendReadSourcesWithData();
        }
    }
}

}  // namespace telvo

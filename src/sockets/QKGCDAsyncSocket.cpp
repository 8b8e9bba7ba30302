#include "sockets/QKGCDAsyncSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/net/NetworkGuard.h"
#include "sockets/SocketAddress.h"
#include "sockets/SocketError.h"

namespace telvo {

namespace {

enum Flag : uint32_t {
    kSocketStarted = 0x1,
    kConnected = 0x2,
    kForbidReadsWrites = 0x4,
    kReadsPaused = 0x8,
    kWritesPaused = 0x10,
    kDisconnectAfterReads = 0x20,
    kDisconnectAfterWrites = 0x40,
    kSocketCanAcceptBytes = 0x80,
    kReadSourceSuspended = 0x100,
    kWriteSourceSuspended = 0x200,
    kSocketHasReadEOF = 0x4000,
    kReadStreamClosed = 0x8000,
    kDealloc = 0x10000,
};

enum Config : uint16_t {
    kIPv4Disabled = 0x1,
    kIPv6Disabled = 0x2,
    kPreferIPv6 = 0x4,
    kAllowHalfDuplexConnection = 0x8,
};

// The local or peer address of a descriptor; empty when it has none.
Bytes addressOf(int fd, bool peer) {
    if (fd < 0) return {};
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* a = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? getpeername(fd, a, &length) : getsockname(fd, a, &length)) != 0) return {};
    return socketAddressData(a, length);
}

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

void cancelTimer(std::shared_ptr<DispatchTimer>& timer) {
    if (timer) timer->cancel();
    timer.reset();
}

ErrorPtr socketError(int64_t code, const std::string& text) {
    return makeError(kQKGCDAsyncSocketErrorDomain, code, text,
                     Dictionary{{"NSLocalizedDescription", Value(text)}});
}

}  // namespace

// What read and write requests share; timeout grows by each granted extension.
struct QKGCDAsyncSocket::Request {
    uint64_t bytesDone = 0;
    double timeout = -1;
    int64_t tag = 0;
};

// One read request. A request without a caller's buffer owns a fresh one.
struct QKGCDAsyncSocket::ReadPacket : Request {
    std::shared_ptr<Bytes> buffer;
    uint64_t startOffset = 0;
    uint64_t maxLength = 0;
    uint64_t readLength = 0;
    Bytes term;
    bool bufferOwner = true;
    uint64_t originalBufferLength = 0;

    ReadPacket(std::shared_ptr<Bytes> data, uint64_t offset, uint64_t max, double t,
               uint64_t length, Bytes terminator, int64_t tg)
        : Request{0, t, tg},
          buffer(std::move(data)),
          startOffset(offset),
          maxLength(max),
          readLength(length),
          term(std::move(terminator)) {
        if (buffer) {
            bufferOwner = false;
            originalBufferLength = buffer->size();
        } else {
            buffer = std::make_shared<Bytes>();
            // Memory for a length read is taken as its bytes arrive, however long it is.
            buffer->reserve(std::min<uint64_t>(readLength, 65536));
            startOffset = 0;
        }
    }

    uint8_t* writePointer() { return buffer->data() + startOffset + bytesDone; }

    void ensureCapacityForAdditionalDataOfLength(uint64_t n) {
        uint64_t need = startOffset + bytesDone + n;
        if (buffer->size() < need) buffer->resize(need);
    }

    uint64_t readLengthForNonTermWithHint(uint64_t hint) const {
        if (readLength > 0) return std::min(readLength - bytesDone, hint);
        if (maxLength > 0) return std::min(maxLength - bytesDone, hint);
        return hint;
    }

    // For a terminator read: how many of the bytes at `data` to take (up to and including the
    // terminator when it completes within them, never past maxLength); *found tells which.
    uint64_t readLengthForTerm(const uint8_t* data, uint64_t available, bool* found) const {
        uint64_t cap = available;
        if (maxLength > 0) cap = std::min(cap, maxLength - bytesDone);
        // The tail of what is stored may hold the start of the terminator.
        uint64_t tail = std::min<uint64_t>(bytesDone, term.size() - 1);
        Bytes window(buffer->begin() + startOffset + bytesDone - tail,
                     buffer->begin() + startOffset + bytesDone);
        window.insert(window.end(), data, data + cap);
        auto at = std::search(window.begin(), window.end(), term.begin(), term.end());
        *found = at != window.end();
        if (!*found) return cap;
        return uint64_t(at - window.begin()) + term.size() - tail;
    }
};

struct QKGCDAsyncSocket::WritePacket : Request {
    Bytes buffer;
};

// Bytes read ahead of the current request. Contents are never moved forward: space before the
// read pointer is reused once the buffer has emptied.
class QKGCDAsyncSocket::PreBuffer {
  public:
    explicit PreBuffer(size_t capacity) : block_(capacity) {}
    size_t availableBytes() const { return write_ - read_; }
    const uint8_t* readBuffer() const { return block_.data() + read_; }
    void didRead(size_t n) {
        read_ += n;
        if (read_ == write_) reset();
    }
    size_t availableSpace() const { return block_.size() - write_; }
    uint8_t* writeBuffer() { return block_.data() + write_; }
    void ensureCapacityForWrite(size_t n) {
        if (n > availableSpace()) block_.resize(block_.size() + (n - availableSpace()));
    }
    void didWrite(size_t n) { write_ += n; }
    void reset() { read_ = write_ = 0; }

  private:
    Bytes block_;
    size_t read_ = 0;
    size_t write_ = 0;
};

// ---- errors ----

ErrorPtr QKGCDAsyncSocket::badConfigError(const std::string& message) {
    return socketError(QKGCDAsyncSocketBadConfigError, message);
}
ErrorPtr QKGCDAsyncSocket::badParamError(const std::string& message) {
    return socketError(QKGCDAsyncSocketBadParamError, message);
}
ErrorPtr QKGCDAsyncSocket::otherError(const std::string& message) {
    return socketError(QKGCDAsyncSocketOtherError, message);
}
ErrorPtr QKGCDAsyncSocket::connectTimeoutError() {
    return socketError(QKGCDAsyncSocketConnectTimeoutError, "Attempt to connect to host timed out");
}
ErrorPtr QKGCDAsyncSocket::readTimeoutError() {
    return socketError(QKGCDAsyncSocketReadTimeoutError, "Read operation timed out");
}
ErrorPtr QKGCDAsyncSocket::writeTimeoutError() {
    return socketError(QKGCDAsyncSocketWriteTimeoutError, "Write operation timed out");
}
ErrorPtr QKGCDAsyncSocket::readMaxedOutError() {
    return socketError(QKGCDAsyncSocketReadMaxedOutError,
                       "Read operation reached set maximum length");
}
ErrorPtr QKGCDAsyncSocket::connectionClosedError() {
    return socketError(QKGCDAsyncSocketClosedError, "Socket closed by remote peer");
}
ErrorPtr QKGCDAsyncSocket::gaiError(int code) {
    return resolverError(code);
}
ErrorPtr QKGCDAsyncSocket::errorWithErrno(int code, const std::string& reason) {
    return posixError(code, reason);
}

// ---- construction and queue plumbing ----

QKGCDAsyncSocket::QKGCDAsyncSocket(DelegatePtr delegate, DispatchQueuePtr delegateQueue,
                                   DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue)
                               : DispatchQueue::createSerial("QKGCDAsyncSocket")),
      preBuffer_(std::make_unique<PreBuffer>(4096)) {}

QKGCDAsyncSocketPtr QKGCDAsyncSocket::create(DelegatePtr delegate, DispatchQueuePtr delegateQueue,
                                             DispatchQueuePtr socketQueue) {
    return std::make_shared<QKGCDAsyncSocket>(std::move(delegate), std::move(delegateQueue),
                                              std::move(socketQueue));
}

QKGCDAsyncSocket::~QKGCDAsyncSocket() {
    socketQueue_->sync([this] {
        flags_ |= kDealloc;
        closeWithError(nullptr);
    });
}

template <class F>
auto QKGCDAsyncSocket::onSocketQueue(F&& f) {
    return socketQueue_->syncResult(std::forward<F>(f));
}

void QKGCDAsyncSocket::async(std::function<void(QKGCDAsyncSocket&)> block) {
    socketQueue_->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void QKGCDAsyncSocket::notify(
    std::function<void(QKGCDAsyncSocketDelegate&, const QKGCDAsyncSocketPtr&)> call) {
    auto delegate = delegate_.lock();
    if (!delegateQueue_ || !delegate) return;
    QKGCDAsyncSocketPtr self = (flags_ & kDealloc) ? nullptr : shared_from_this();
    delegateQueue_->async([delegate, self, call = std::move(call)] { call(*delegate, self); });
}

// ---- accessors ----

std::shared_ptr<QKGCDAsyncSocketDelegate> QKGCDAsyncSocket::delegate() {
    return onSocketQueue([this] { return delegate_.lock(); });
}
void QKGCDAsyncSocket::setDelegate(DelegatePtr delegate) {
    if (socketQueue_->isCurrent()) {
        delegate_ = std::move(delegate);
    } else {
        async([delegate](QKGCDAsyncSocket& s) { s.delegate_ = delegate; });
    }
}
void QKGCDAsyncSocket::synchronouslySetDelegate(DelegatePtr delegate) {
    onSocketQueue([&] { delegate_ = std::move(delegate); });
}
DispatchQueuePtr QKGCDAsyncSocket::delegateQueue() {
    return onSocketQueue([this] { return delegateQueue_; });
}
void QKGCDAsyncSocket::setDelegateQueue(DispatchQueuePtr queue) {
    if (socketQueue_->isCurrent()) {
        delegateQueue_ = std::move(queue);
    } else {
        async([queue](QKGCDAsyncSocket& s) { s.delegateQueue_ = queue; });
    }
}
void QKGCDAsyncSocket::synchronouslySetDelegateQueue(DispatchQueuePtr queue) {
    onSocketQueue([&] { delegateQueue_ = std::move(queue); });
}
void QKGCDAsyncSocket::getDelegate(std::shared_ptr<QKGCDAsyncSocketDelegate>* delegate,
                                   DispatchQueuePtr* delegateQueue) {
    onSocketQueue([&] {
        if (delegate) *delegate = delegate_.lock();
        if (delegateQueue) *delegateQueue = delegateQueue_;
    });
}
void QKGCDAsyncSocket::setDelegateDelegateQueue(DelegatePtr delegate, DispatchQueuePtr queue) {
    if (socketQueue_->isCurrent()) {
        delegate_ = std::move(delegate);
        delegateQueue_ = std::move(queue);
    } else {
        async([delegate, queue](QKGCDAsyncSocket& s) {
            s.delegate_ = delegate;
            s.delegateQueue_ = queue;
        });
    }
}
void QKGCDAsyncSocket::synchronouslySetDelegateDelegateQueue(DelegatePtr delegate,
                                                             DispatchQueuePtr queue) {
    onSocketQueue([&] {
        delegate_ = std::move(delegate);
        delegateQueue_ = std::move(queue);
    });
}

bool QKGCDAsyncSocket::isIPv4Enabled() {
    return onSocketQueue([this] { return !(config_ & kIPv4Disabled); });
}
void QKGCDAsyncSocket::setIPv4Enabled(bool enabled) {
    onSocketQueue([&] { config_ = enabled ? config_ & ~kIPv4Disabled : config_ | kIPv4Disabled; });
}
bool QKGCDAsyncSocket::isIPv6Enabled() {
    return onSocketQueue([this] { return !(config_ & kIPv6Disabled); });
}
void QKGCDAsyncSocket::setIPv6Enabled(bool enabled) {
    onSocketQueue([&] { config_ = enabled ? config_ & ~kIPv6Disabled : config_ | kIPv6Disabled; });
}
bool QKGCDAsyncSocket::isIPv4PreferredOverIPv6() {
    return onSocketQueue([this] { return !(config_ & kPreferIPv6); });
}
void QKGCDAsyncSocket::setIPv4PreferredOverIPv6(bool preferred) {
    onSocketQueue([&] { config_ = preferred ? config_ & ~kPreferIPv6 : config_ | kPreferIPv6; });
}
bool QKGCDAsyncSocket::autoDisconnectOnClosedReadStream() {
    return onSocketQueue([this] { return !(config_ & kAllowHalfDuplexConnection); });
}
void QKGCDAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    onSocketQueue([&] {
        config_ =
            flag ? config_ & ~kAllowHalfDuplexConnection : config_ | kAllowHalfDuplexConnection;
    });
}
double QKGCDAsyncSocket::alternateAddressDelay() {
    return onSocketQueue([this] { return alternateAddressDelay_; });
}
void QKGCDAsyncSocket::setAlternateAddressDelay(double seconds) {
    onSocketQueue([&] { alternateAddressDelay_ = seconds; });
}
std::shared_ptr<void> QKGCDAsyncSocket::userData() {
    return onSocketQueue([this] { return userData_; });
}
void QKGCDAsyncSocket::setUserData(std::shared_ptr<void> data) {
    onSocketQueue([&] { userData_ = std::move(data); });
}

bool QKGCDAsyncSocket::isConnected() {
    return onSocketQueue([this] { return (flags_ & kConnected) != 0; });
}
bool QKGCDAsyncSocket::isDisconnected() {
    return onSocketQueue([this] { return (flags_ & kSocketStarted) == 0; });
}

// ---- connecting ----

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
    bool begun = onSocketQueue([&] {
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
            self->async([=](QKGCDAsyncSocket& s) {
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

bool QKGCDAsyncSocket::preConnect(const std::string& interface, ErrorPtr* error) {
    if (delegate_.expired()) {
        *error = badConfigError("Attempting to connect without a delegate. Set a delegate first.");
        return false;
    }
    if (!delegateQueue_) {
        *error = badConfigError(
            "Attempting to connect without a delegate queue. Set a delegate queue first.");
        return false;
    }
    if (flags_ & kSocketStarted) {
        *error = badConfigError(
            "Attempting to connect while connected or accepting connections. Disconnect first.");
        return false;
    }
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
        socketQueue_->after(alternateAddressDelay_, [weak, alternateFD, alternate, index] {
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
    auto source = DispatchSource::create(DispatchSource::Kind::Write, fd, socketQueue_);
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
    auto& source = fd == socket4FD_ ? connectSource4_ : connectSource6_;
    if (source) {
        source->cancel();
        source.reset();
    }
    if (flags_ & kConnected) {
        closeSocket(fd);
    } else if (error != 0) {
        closeSocket(fd);
        if (socket4FD_ < 0 && socket6FD_ < 0) {
            closeWithError(errorWithErrno(error, "Error in connect() function"));
        }
    } else {
        closeSocket(fd == socket4FD_ ? socket6FD_ : socket4FD_);
        didConnect(index);
    }
}

void QKGCDAsyncSocket::closeSocket(int fd) {
    if (fd < 0) return;
    if (fd == socket4FD_) {
        if (connectSource4_) connectSource4_->cancel();
        connectSource4_.reset();
        ::close(fd);
        socket4FD_ = -1;
    } else if (fd == socket6FD_) {
        if (connectSource6_) connectSource6_->cancel();
        connectSource6_.reset();
        ::close(fd);
        socket6FD_ = -1;
    }
}

int QKGCDAsyncSocket::connectedFD() const {
    return socket4FD_ >= 0 ? socket4FD_ : socket6FD_;
}

void QKGCDAsyncSocket::didConnect(int index) {
    if (index != stateIndex_) return;
    flags_ |= kConnected;
    endConnectTimeout();

    std::string host;
    uint16_t port = 0;
    SocketAddressParts peer = socketAddressParts(addressOf(connectedFD(), true));
    host = peer.host;
    port = peer.port;
    if (!host.empty()) {
        notify([host, port](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
            d.socketDidConnectToHostPort(s, host, port);
        });
    }

    int fd = connectedFD();
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }

    auto pair = DispatchSource::createPair(fd, socketQueue_);
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
        self->doWriteData();
    });
    socketFDBytesAvailable_ = 0;
    flags_ &= ~kReadSourceSuspended;
    readSource_->resume();
    flags_ |= kSocketCanAcceptBytes | kWriteSourceSuspended;

    maybeDequeueRead();
    maybeDequeueWrite();
}

void QKGCDAsyncSocket::startConnectTimeout(double timeout) {
    if (timeout < 0) return;
    connectTimer_ = DispatchTimer::create(socketQueue_, [weak = weak_from_this()] {
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

// ---- closing ----

void QKGCDAsyncSocket::disconnect() {
    onSocketQueue([this] {
        if (flags_ & kSocketStarted) closeWithError(nullptr);
    });
}

void QKGCDAsyncSocket::disconnectAfterReading() {
    async([](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted)) return;
        s.flags_ |= kForbidReadsWrites | kDisconnectAfterReads;
        s.maybeClose();
    });
}

void QKGCDAsyncSocket::disconnectAfterWriting() {
    async([](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted)) return;
        s.flags_ |= kForbidReadsWrites | kDisconnectAfterWrites;
        s.maybeClose();
    });
}

void QKGCDAsyncSocket::disconnectAfterReadingAndWriting() {
    async([](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted)) return;
        s.flags_ |= kForbidReadsWrites | kDisconnectAfterReads | kDisconnectAfterWrites;
        s.maybeClose();
    });
}

void QKGCDAsyncSocket::maybeClose() {
    bool readsDrained = readQueue_.empty() && !currentRead_;
    bool writesDrained = writeQueue_.empty() && !currentWrite_;
    bool afterReads = flags_ & kDisconnectAfterReads;
    bool afterWrites = flags_ & kDisconnectAfterWrites;
    if (!afterReads && !afterWrites) return;
    if ((!afterReads || readsDrained) && (!afterWrites || writesDrained)) closeWithError(nullptr);
}

void QKGCDAsyncSocket::closeWithError(ErrorPtr error) {
    endConnectTimeout();
    endCurrentRead();
    endCurrentWrite();
    readQueue_.clear();
    writeQueue_.clear();
    preBuffer_->reset();

    for (auto* source : {&connectSource4_, &connectSource6_}) {
        if (*source) (*source)->cancel();
        source->reset();
    }
    if (!readSource_ && !writeSource_) {
        if (socket4FD_ >= 0) ::close(socket4FD_);
        if (socket6FD_ >= 0) ::close(socket6FD_);
    } else {
        // The pair closes the descriptor once both cancel handlers have run; a suspended
        // source runs its cancel handler only once resumed.
        readSource_->cancel();
        if (flags_ & kReadSourceSuspended) readSource_->resume();
        writeSource_->cancel();
        if (flags_ & kWriteSourceSuspended) writeSource_->resume();
        readSource_.reset();
        writeSource_.reset();
    }
    socket4FD_ = socket6FD_ = -1;

    bool started = flags_ & kSocketStarted;
    socketFDBytesAvailable_ = 0;
    uint32_t dealloc = flags_ & kDealloc;
    flags_ = dealloc;  // kept only so that notify() knows not to hand out the socket
    if (started) {
        notify([error](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
            d.socketDidDisconnectWithError(s, error);
        });
    }
    flags_ = 0;
}

// ---- reading ----

void QKGCDAsyncSocket::readDataWithTimeout(double timeout, int64_t tag) {
    readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}
void QKGCDAsyncSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer,
                                           uint64_t offset, int64_t tag) {
    readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}
void QKGCDAsyncSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer,
                                           uint64_t offset, uint64_t maxLength, int64_t tag) {
    if (buffer && offset > buffer->size()) return;
    queueRead(std::make_shared<ReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                           Bytes{}, tag));
}
void QKGCDAsyncSocket::readDataToLength(uint64_t length, double timeout, int64_t tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}
void QKGCDAsyncSocket::readDataToLength(uint64_t length, double timeout,
                                        std::shared_ptr<Bytes> buffer, uint64_t offset,
                                        int64_t tag) {
    if (length == 0 || (buffer && offset > buffer->size())) return;
    queueRead(
        std::make_shared<ReadPacket>(std::move(buffer), offset, 0, timeout, length, Bytes{}, tag));
}
void QKGCDAsyncSocket::readDataToData(Bytes terminator, double timeout, int64_t tag) {
    readDataToData(std::move(terminator), timeout, nullptr, 0, 0, tag);
}
void QKGCDAsyncSocket::readDataToData(Bytes terminator, double timeout, uint64_t maxLength,
                                      int64_t tag) {
    readDataToData(std::move(terminator), timeout, nullptr, 0, maxLength, tag);
}
void QKGCDAsyncSocket::readDataToData(Bytes terminator, double timeout,
                                      std::shared_ptr<Bytes> buffer, uint64_t offset, int64_t tag) {
    readDataToData(std::move(terminator), timeout, std::move(buffer), offset, 0, tag);
}
void QKGCDAsyncSocket::readDataToData(Bytes terminator, double timeout,
                                      std::shared_ptr<Bytes> buffer, uint64_t offset,
                                      uint64_t maxLength, int64_t tag) {
    if (terminator.empty() || (buffer && offset > buffer->size())) return;
    if (maxLength > 0 && maxLength < terminator.size()) return;
    queueRead(std::make_shared<ReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                           std::move(terminator), tag));
}

void QKGCDAsyncSocket::queueRead(std::shared_ptr<ReadPacket> packet) {
    async([packet](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted) || (s.flags_ & kForbidReadsWrites)) return;
        s.readQueue_.push_back(packet);
        s.maybeDequeueRead();
    });
}

void QKGCDAsyncSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & kConnected)) return;
    if (!readQueue_.empty()) {
        currentRead_ = readQueue_.front();
        readQueue_.pop_front();
        readTimer_ = startRequestTimer(Side::Read, currentRead_->timeout);
        doReadData();
    } else if (flags_ & kDisconnectAfterReads) {
        maybeClose();
    }
}

void QKGCDAsyncSocket::doReadData() {
    if (!currentRead_ || (flags_ & kReadsPaused)) {
        if (socketFDBytesAvailable_ > 0) setSourceSuspended(Side::Read, true);
        return;
    }
    if (socketFDBytesAvailable_ == 0 && preBuffer_->availableBytes() == 0) {
        setSourceSuspended(Side::Read, false);
        return;
    }
    ReadPacket& r = *currentRead_;
    bool done = false, eof = false, waiting = false;
    ErrorPtr error;
    uint64_t total = 0;

    // Moves what the request may take from the pre-buffer into its buffer.
    auto drainPreBuffer = [&] {
        uint64_t available = preBuffer_->availableBytes();
        if (available == 0) return;
        bool found = false;
        uint64_t n = r.term.empty()
                         ? r.readLengthForNonTermWithHint(available)
                         : r.readLengthForTerm(preBuffer_->readBuffer(), available, &found);
        r.ensureCapacityForAdditionalDataOfLength(n);
        std::memcpy(r.writePointer(), preBuffer_->readBuffer(), n);
        preBuffer_->didRead(n);
        r.bytesDone += n;
        total += n;
        if (r.readLength > 0) {
            done = r.bytesDone == r.readLength;
        } else if (!r.term.empty()) {
            done = found;
            if (!done && r.maxLength > 0 && r.bytesDone >= r.maxLength) {
                error = readMaxedOutError();
            }
        } else {
            done = r.maxLength > 0 && r.bytesDone == r.maxLength;
        }
    };

    drainPreBuffer();
    if (!done && !error) {
        if (flags_ & kSocketHasReadEOF) {
            eof = true;
        } else if (socketFDBytesAvailable_ > 0) {
            uint64_t n = r.term.empty() ? r.readLengthForNonTermWithHint(socketFDBytesAvailable_)
                                        : socketFDBytesAvailable_;
            uint8_t* into;
            if (r.term.empty()) {
                r.ensureCapacityForAdditionalDataOfLength(n);
                into = r.writePointer();
            } else {
                preBuffer_->ensureCapacityForWrite(n);
                into = preBuffer_->writeBuffer();
            }
            ssize_t result = ::read(connectedFD(), into, n);
            if (result < 0) {
                if (errno == EWOULDBLOCK || errno == EINTR) {
                    waiting = true;
                } else {
                    error = errorWithErrno(errno, "Error in read() function");
                }
                socketFDBytesAvailable_ = 0;
            } else if (result == 0) {
                eof = true;
                socketFDBytesAvailable_ = 0;
            } else {
                auto got = uint64_t(result);
                socketFDBytesAvailable_ = got < n ? 0 : socketFDBytesAvailable_ - got;
                waiting = socketFDBytesAvailable_ == 0;
                if (!r.term.empty()) {
                    preBuffer_->didWrite(got);
                    drainPreBuffer();
                } else {
                    r.bytesDone += got;
                    total += got;
                    done = r.readLength > 0 ? r.bytesDone == r.readLength : true;
                }
            }
        } else {
            waiting = true;
        }
    }

    if (!done && !error && total > 0) {
        if (r.readLength == 0 && r.term.empty()) {
            done = true;
        } else {
            notify([total, tag = r.tag](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
                d.socketDidReadPartialDataOfLengthTag(s, total, tag);
            });
            waiting = true;
        }
    }

    if (done) {
        completeCurrentRead();
        if (error) {
            closeWithError(error);
        } else if (!eof) {
            maybeDequeueRead();
            if (waiting) setSourceSuspended(Side::Read, false);
        } else {
            if (preBuffer_->availableBytes() > 0) maybeDequeueRead();
            doReadEOF();
        }
    } else if (error) {
        closeWithError(error);
    } else if (eof) {
        doReadEOF();
    } else if (waiting) {
        setSourceSuspended(Side::Read, false);
    }
}

void QKGCDAsyncSocket::doReadEOF() {
    flags_ |= kSocketHasReadEOF;
    bool keep = false;
    if (flags_ & kReadStreamClosed) {
        keep = true;
    } else if (preBuffer_->availableBytes() > 0) {
        keep = true;
    } else if (config_ & kAllowHalfDuplexConnection) {
        pollfd p{connectedFD(), POLLOUT, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP))) {
            flags_ |= kReadStreamClosed;
            notify([](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
                d.socketDidCloseReadStream(s);
            });
            keep = true;
        }
    }
    if (keep) {
        setSourceSuspended(Side::Read, true);
    } else {
        closeWithError(connectionClosedError());
    }
}

void QKGCDAsyncSocket::completeCurrentRead() {
    ReadPacket& r = *currentRead_;
    Bytes result;
    if (r.bufferOwner) {
        r.buffer->resize(r.bytesDone);
        result = std::move(*r.buffer);
    } else {
        if (r.buffer->size() > r.originalBufferLength) {
            r.buffer->resize(std::max(r.startOffset + r.bytesDone, r.originalBufferLength));
        }
        auto begin = r.buffer->begin() + ptrdiff_t(r.startOffset);
        result.assign(begin, begin + ptrdiff_t(r.bytesDone));
    }
    notify([result = std::move(result), tag = r.tag](QKGCDAsyncSocketDelegate& d,
                                                     const QKGCDAsyncSocketPtr& s) mutable {
        d.socketDidReadDataWithTag(s, std::move(result), tag);
    });
    endCurrentRead();
}

void QKGCDAsyncSocket::endCurrentRead() {
    cancelTimer(readTimer_);
    currentRead_.reset();
}

// ---- writing ----

void QKGCDAsyncSocket::writeData(Bytes data, double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<WritePacket>();
    packet->buffer = std::move(data);
    packet->timeout = timeout;
    packet->tag = tag;
    async([packet](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted) || (s.flags_ & kForbidReadsWrites)) return;
        s.writeQueue_.push_back(packet);
        s.maybeDequeueWrite();
    });
}

void QKGCDAsyncSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & kConnected)) return;
    if (!writeQueue_.empty()) {
        currentWrite_ = writeQueue_.front();
        writeQueue_.pop_front();
        writeTimer_ = startRequestTimer(Side::Write, currentWrite_->timeout);
        doWriteData();
    } else if (flags_ & kDisconnectAfterWrites) {
        maybeClose();
    }
}

void QKGCDAsyncSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & kWritesPaused)) {
        if (flags_ & kSocketCanAcceptBytes) setSourceSuspended(Side::Write, true);
        return;
    }
    if (!(flags_ & kSocketCanAcceptBytes)) {
        setSourceSuspended(Side::Write, false);
        return;
    }
    WritePacket& w = *currentWrite_;
    bool waiting = false;
    int failure = 0;
    uint64_t written = 0;
    ssize_t result = ::send(connectedFD(), w.buffer.data() + w.bytesDone,
                            w.buffer.size() - w.bytesDone, MSG_NOSIGNAL);
    if (result >= 0) {
        written = uint64_t(result);
    } else if (errno == EWOULDBLOCK || errno == EINTR) {
        waiting = true;
        flags_ &= ~kSocketCanAcceptBytes;
        setSourceSuspended(Side::Write, false);
    } else {
        failure = errno;
    }
    w.bytesDone += written;

    if (failure == 0 && w.bytesDone == w.buffer.size()) {
        completeCurrentWrite();
        async([](QKGCDAsyncSocket& s) { s.maybeDequeueWrite(); });
        return;
    }
    if (failure != 0) {
        closeWithError(errorWithErrno(failure, "Error in write() function"));
        return;
    }
    if (!waiting) {
        flags_ &= ~kSocketCanAcceptBytes;
        setSourceSuspended(Side::Write, false);
    }
    if (written > 0) {
        notify([written, tag = w.tag](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
            d.socketDidWritePartialDataOfLengthTag(s, written, tag);
        });
    }
}

void QKGCDAsyncSocket::completeCurrentWrite() {
    notify([tag = currentWrite_->tag](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
        d.socketDidWriteDataWithTag(s, tag);
    });
    endCurrentWrite();
}

void QKGCDAsyncSocket::endCurrentWrite() {
    cancelTimer(writeTimer_);
    currentWrite_.reset();
}

// ---- request time-outs and source suspension, shared by both sides ----

std::shared_ptr<DispatchTimer> QKGCDAsyncSocket::startRequestTimer(Side side, double timeout) {
    if (timeout < 0) return nullptr;
    auto timer = DispatchTimer::create(socketQueue_, [weak = weak_from_this(), side] {
        if (auto self = weak.lock()) self->doRequestTimeout(side);
    });
    timer->start(timeout);
    return timer;
}

std::shared_ptr<QKGCDAsyncSocket::Request> QKGCDAsyncSocket::currentRequest(Side side) const {
    if (side == Side::Read) return currentRead_;
    return currentWrite_;
}

// The side pauses while the delegate decides on an extension.
void QKGCDAsyncSocket::doRequestTimeout(Side side) {
    flags_ |= side == Side::Read ? kReadsPaused : kWritesPaused;
    auto delegate = delegate_.lock();
    auto request = currentRequest(side);
    if (!delegateQueue_ || !delegate || !request) {
        doTimeoutWithExtension(side, 0);
        return;
    }
    delegateQueue_->async([self = shared_from_this(), delegate, request, side] {
        double extension = side == Side::Read
                               ? delegate->socketShouldTimeoutReadWithTagElapsedBytesDone(
                                     self, request->tag, request->timeout, request->bytesDone)
                               : delegate->socketShouldTimeoutWriteWithTagElapsedBytesDone(
                                     self, request->tag, request->timeout, request->bytesDone);
        self->async([request, extension, side](QKGCDAsyncSocket& s) {
            if (s.currentRequest(side) == request) s.doTimeoutWithExtension(side, extension);
        });
    });
}

void QKGCDAsyncSocket::doTimeoutWithExtension(Side side, double extension) {
    auto request = currentRequest(side);
    if (!request) return;
    if (extension <= 0) {
        closeWithError(side == Side::Read ? readTimeoutError() : writeTimeoutError());
        return;
    }
    request->timeout += extension;
    (side == Side::Read ? readTimer_ : writeTimer_)->start(extension);
    if (side == Side::Read) {
        flags_ &= ~kReadsPaused;
        doReadData();
    } else {
        flags_ &= ~kWritesPaused;
        doWriteData();
    }
}

void QKGCDAsyncSocket::setSourceSuspended(Side side, bool suspended) {
    auto& source = side == Side::Read ? readSource_ : writeSource_;
    uint32_t bit = side == Side::Read ? kReadSourceSuspended : kWriteSourceSuspended;
    if (!source || ((flags_ & bit) != 0) == suspended) return;
    if (suspended) {
        source->suspend();
    } else {
        source->resume();
    }
    flags_ ^= bit;
}

// ---- progress, addresses, raw access ----

float QKGCDAsyncSocket::progressOfReadReturningTag(int64_t* tag, uint64_t* done, uint64_t* total) {
    return onSocketQueue([&]() -> float {
        uint64_t d = currentRead_ ? currentRead_->bytesDone : 0;
        uint64_t t = currentRead_ ? currentRead_->readLength : 0;
        if (tag) *tag = currentRead_ ? currentRead_->tag : 0;
        if (done) *done = d;
        if (total) *total = t;
        if (!currentRead_) return NAN;
        return t > 0 ? float(d) / float(t) : 1.0f;
    });
}

float QKGCDAsyncSocket::progressOfWriteReturningTag(int64_t* tag, uint64_t* done, uint64_t* total) {
    return onSocketQueue([&]() -> float {
        uint64_t d = currentWrite_ ? currentWrite_->bytesDone : 0;
        uint64_t t = currentWrite_ ? currentWrite_->buffer.size() : 0;
        if (tag) *tag = currentWrite_ ? currentWrite_->tag : 0;
        if (done) *done = d;
        if (total) *total = t;
        if (!currentWrite_) return NAN;
        return t > 0 ? float(d) / float(t) : 1.0f;
    });
}

namespace {
// The address of a descriptor as host and port, empty for -1.
std::pair<std::string, uint16_t> endpoint(int fd, bool peer) {
    std::pair<std::string, uint16_t> out{std::string(), 0};
    SocketAddressParts parts = socketAddressParts(addressOf(fd, peer));
    out = {parts.host, parts.port};
    return out;
}
}  // namespace

std::string QKGCDAsyncSocket::connectedHost() {
    return onSocketQueue([this] { return endpoint(connectedFD(), true).first; });
}
uint16_t QKGCDAsyncSocket::connectedPort() {
    return onSocketQueue([this] { return endpoint(connectedFD(), true).second; });
}
std::string QKGCDAsyncSocket::localHost() {
    return onSocketQueue([this] { return endpoint(connectedFD(), false).first; });
}
uint16_t QKGCDAsyncSocket::localPort() {
    return onSocketQueue([this] { return endpoint(connectedFD(), false).second; });
}
std::string QKGCDAsyncSocket::connectedHost4() {
    return onSocketQueue([this] { return endpoint(socket4FD_, true).first; });
}
std::string QKGCDAsyncSocket::connectedHost6() {
    return onSocketQueue([this] { return endpoint(socket6FD_, true).first; });
}
uint16_t QKGCDAsyncSocket::connectedPort4() {
    return onSocketQueue([this] { return endpoint(socket4FD_, true).second; });
}
uint16_t QKGCDAsyncSocket::connectedPort6() {
    return onSocketQueue([this] { return endpoint(socket6FD_, true).second; });
}
std::string QKGCDAsyncSocket::localHost4() {
    return onSocketQueue([this] { return endpoint(socket4FD_, false).first; });
}
std::string QKGCDAsyncSocket::localHost6() {
    return onSocketQueue([this] { return endpoint(socket6FD_, false).first; });
}
uint16_t QKGCDAsyncSocket::localPort4() {
    return onSocketQueue([this] { return endpoint(socket4FD_, false).second; });
}
uint16_t QKGCDAsyncSocket::localPort6() {
    return onSocketQueue([this] { return endpoint(socket6FD_, false).second; });
}
Bytes QKGCDAsyncSocket::connectedAddress() {
    return onSocketQueue([this] { return addressOf(connectedFD(), true); });
}
Bytes QKGCDAsyncSocket::localAddress() {
    return onSocketQueue([this] { return addressOf(connectedFD(), false); });
}
bool QKGCDAsyncSocket::isIPv4() {
    return onSocketQueue([this] { return socket4FD_ >= 0; });
}
bool QKGCDAsyncSocket::isIPv6() {
    return onSocketQueue([this] { return socket6FD_ >= 0; });
}

std::string QKGCDAsyncSocket::hostFromAddress(const Bytes& address) {
    return socketAddressParts(address).host;
}
uint16_t QKGCDAsyncSocket::portFromAddress(const Bytes& address) {
    return socketAddressParts(address).port;
}
bool QKGCDAsyncSocket::getHostPortFromAddress(std::string* host, uint16_t* port,
                                              const Bytes& address) {
    return getHostPortFamilyFromAddress(host, port, nullptr, address);
}
bool QKGCDAsyncSocket::getHostPortFamilyFromAddress(std::string* host, uint16_t* port, int* family,
                                                    const Bytes& address) {
    SocketAddressParts parts = socketAddressParts(address);
    if (parts.family == 0) return false;
    if (host) *host = parts.host;
    if (port) *port = parts.port;
    if (family) *family = parts.family;
    return true;
}
bool QKGCDAsyncSocket::isIPv4Address(const Bytes& address) {
    return isIPv4SocketAddress(address);
}
bool QKGCDAsyncSocket::isIPv6Address(const Bytes& address) {
    return isIPv6SocketAddress(address);
}

int QKGCDAsyncSocket::socketFD() {
    return socketQueue_->isCurrent() ? connectedFD() : -1;
}
int QKGCDAsyncSocket::socket4FD() {
    return socketQueue_->isCurrent() ? socket4FD_ : -1;
}
int QKGCDAsyncSocket::socket6FD() {
    return socketQueue_->isCurrent() ? socket6FD_ : -1;
}
void QKGCDAsyncSocket::performBlock(const DispatchBlock& block) {
    socketQueue_->sync(block);
}

}  // namespace telvo

// QKGCDAsyncSocket: construction, accessors, addresses, closing and the request time-outs
// both sides share. Connecting, listening, the read path, the write path and TLS have files of
// their own (QKGCDAsyncSocketConnect.cpp, QKGCDAsyncSocketAccept.cpp, QKGCDAsyncSocketRead.cpp,
// QKGCDAsyncSocketWrite.cpp, QKGCDAsyncSocketTLS.cpp).

#include "sockets/QKGCDAsyncSocket.h"

#include <unistd.h>

#include <utility>

#include "sockets/QKGCDAsyncSocketInternal.h"
#include "sockets/SocketAddress.h"
#include "sockets/SocketError.h"

namespace telvo {

using namespace async_socket;

namespace {

ErrorPtr socketError(int64_t code, const std::string& text) {
    return makeError(kQKGCDAsyncSocketErrorDomain, code, text,
                     Dictionary{{"NSLocalizedDescription", Value(text)}});
}

// The address of a descriptor as host and port, empty for -1.
std::pair<std::string, uint16_t> endpoint(int fd, bool peer) {
    SocketAddressParts parts = socketAddressParts(addressOf(fd, peer));
    return {parts.host, parts.port};
}

}  // namespace

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
ErrorPtr QKGCDAsyncSocket::sslError(OSStatus status) {
    std::string text = "The operation couldn't be completed. (" +
                       std::string(kCFStreamErrorDomainSSL) + " error " + std::to_string(status) +
                       ".)";
    return makeError(kCFStreamErrorDomainSSL, status, text,
                     Dictionary{{"NSLocalizedRecoverySuggestion",
                                 Value("Error code definition can be found in Apple's "
                                       "SecureTransport.h")}});
}

// ---- construction and queue plumbing ----

QKGCDAsyncSocket::QKGCDAsyncSocket(DelegatePtr delegate, DispatchQueuePtr delegateQueue,
                                   DispatchQueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(std::move(socketQueue), "QKGCDAsyncSocket"),
      preBuffer_(std::make_unique<PreBuffer>(4096)) {}

QKGCDAsyncSocketPtr QKGCDAsyncSocket::create(DelegatePtr delegate, DispatchQueuePtr delegateQueue,
                                             DispatchQueuePtr socketQueue) {
    return std::make_shared<QKGCDAsyncSocket>(std::move(delegate), std::move(delegateQueue),
                                              std::move(socketQueue));
}

QKGCDAsyncSocket::~QKGCDAsyncSocket() {
    socketQueue_.sync([this] {
        flags_ |= kDealloc;
        closeWithError(nullptr);
    });
}

void QKGCDAsyncSocket::enqueue(std::function<void(QKGCDAsyncSocket&)> block) {
    socketQueue_.dispatchQueue()->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void QKGCDAsyncSocket::update(std::function<void(QKGCDAsyncSocket&)> change) {
    if (socketQueue_.isCurrent()) {
        change(*this);
    } else {
        enqueue(std::move(change));
    }
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
    return socketQueue_.sync([this] { return delegate_.lock(); });
}
void QKGCDAsyncSocket::setDelegate(DelegatePtr delegate) {
    update([delegate](QKGCDAsyncSocket& s) { s.delegate_ = delegate; });
}
void QKGCDAsyncSocket::synchronouslySetDelegate(DelegatePtr delegate) {
    socketQueue_.set(delegate_, std::move(delegate));
}
DispatchQueuePtr QKGCDAsyncSocket::delegateQueue() {
    return socketQueue_.get(delegateQueue_);
}
void QKGCDAsyncSocket::setDelegateQueue(DispatchQueuePtr queue) {
    update([queue](QKGCDAsyncSocket& s) { s.delegateQueue_ = queue; });
}
void QKGCDAsyncSocket::synchronouslySetDelegateQueue(DispatchQueuePtr queue) {
    socketQueue_.set(delegateQueue_, std::move(queue));
}
void QKGCDAsyncSocket::getDelegate(std::shared_ptr<QKGCDAsyncSocketDelegate>* delegate,
                                   DispatchQueuePtr* delegateQueue) {
    socketQueue_.sync([&] {
        if (delegate) *delegate = delegate_.lock();
        if (delegateQueue) *delegateQueue = delegateQueue_;
    });
}
void QKGCDAsyncSocket::setDelegateDelegateQueue(DelegatePtr delegate, DispatchQueuePtr queue) {
    update([delegate, queue](QKGCDAsyncSocket& s) {
        s.delegate_ = delegate;
        s.delegateQueue_ = queue;
    });
}
void QKGCDAsyncSocket::synchronouslySetDelegateDelegateQueue(DelegatePtr delegate,
                                                             DispatchQueuePtr queue) {
    socketQueue_.sync([&] {
        delegate_ = std::move(delegate);
        delegateQueue_ = std::move(queue);
    });
}

bool QKGCDAsyncSocket::isIPv4Enabled() {
    return socketQueue_.sync([this] { return !(config_ & kIPv4Disabled); });
}
void QKGCDAsyncSocket::setIPv4Enabled(bool enabled) {
    socketQueue_.sync([&] { setBits<uint16_t>(config_, kIPv4Disabled, !enabled); });
}
bool QKGCDAsyncSocket::isIPv6Enabled() {
    return socketQueue_.sync([this] { return !(config_ & kIPv6Disabled); });
}
void QKGCDAsyncSocket::setIPv6Enabled(bool enabled) {
    socketQueue_.sync([&] { setBits<uint16_t>(config_, kIPv6Disabled, !enabled); });
}
bool QKGCDAsyncSocket::isIPv4PreferredOverIPv6() {
    return socketQueue_.sync([this] { return !(config_ & kPreferIPv6); });
}
void QKGCDAsyncSocket::setIPv4PreferredOverIPv6(bool preferred) {
    socketQueue_.sync([&] { setBits<uint16_t>(config_, kPreferIPv6, !preferred); });
}
bool QKGCDAsyncSocket::autoDisconnectOnClosedReadStream() {
    return socketQueue_.sync([this] { return !(config_ & kAllowHalfDuplexConnection); });
}
void QKGCDAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    socketQueue_.sync([&] { setBits<uint16_t>(config_, kAllowHalfDuplexConnection, !flag); });
}
double QKGCDAsyncSocket::alternateAddressDelay() {
    return socketQueue_.get(alternateAddressDelay_);
}
void QKGCDAsyncSocket::setAlternateAddressDelay(double seconds) {
    socketQueue_.set(alternateAddressDelay_, seconds);
}
std::shared_ptr<void> QKGCDAsyncSocket::userData() {
    return socketQueue_.get(userData_);
}
void QKGCDAsyncSocket::setUserData(std::shared_ptr<void> data) {
    socketQueue_.set(userData_, std::move(data));
}

bool QKGCDAsyncSocket::isConnected() {
    return socketQueue_.sync([this] { return (flags_ & kConnected) != 0; });
}
bool QKGCDAsyncSocket::isDisconnected() {
    return socketQueue_.sync([this] { return (flags_ & kSocketStarted) == 0; });
}

// ---- closing ----

void QKGCDAsyncSocket::disconnect() {
    socketQueue_.sync([this] {
        if (flags_ & kSocketStarted) closeWithError(nullptr);
    });
}

void QKGCDAsyncSocket::disconnectAfterReading() {
    enqueue([](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted)) return;
        s.flags_ |= kForbidReadsWrites | kDisconnectAfterReads;
        s.maybeClose();
    });
}

void QKGCDAsyncSocket::disconnectAfterWriting() {
    enqueue([](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted)) return;
        s.flags_ |= kForbidReadsWrites | kDisconnectAfterWrites;
        s.maybeClose();
    });
}

void QKGCDAsyncSocket::disconnectAfterReadingAndWriting() {
    enqueue([](QKGCDAsyncSocket& s) {
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

    if (sslContext_) sslClose();
    sslWriteCachedLength_ = 0;
    sslErrCode_ = lastSSLHandshakeError_ = 0;

    // A connect source is handed its descriptor: it closes it once cancelled.
    for (auto [source, fd] :
         {std::pair{&connectSource4_, &socket4FD_}, {&connectSource6_, &socket6FD_}}) {
        if (!*source) continue;
        (*source)->cancelAndClose();
        source->reset();
        *fd = -1;
    }
    if (!socketUrl_.empty()) {
        ::unlink(socketUrl_.c_str());
        socketUrl_.clear();
    }
    bool accepting = accept4Source_ || accept6Source_ || acceptUNSource_;
    // A listening descriptor is closed by its source once cancelled.
    for (auto* source : {&accept4Source_, &accept6Source_, &acceptUNSource_}) {
        if (!*source) continue;
        (*source)->cancel();
        if ((*source)->isSuspended()) (*source)->resume();  // paused after a failed accept
        source->reset();
    }
    if (readSource_ || writeSource_) {
        // The pair closes the descriptor once both cancel handlers have run; a suspended
        // source runs its cancel handler only once resumed.
        readSource_->cancel();
        if (flags_ & kReadSourceSuspended) readSource_->resume();
        writeSource_->cancel();
        if (flags_ & kWriteSourceSuspended) writeSource_->resume();
        readSource_.reset();
        writeSource_.reset();
    } else if (!accepting) {
        for (int fd : {socket4FD_, socket6FD_, socketUN_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    socket4FD_ = socket6FD_ = socketUN_ = -1;

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

// ---- request time-outs and source suspension, shared by both sides ----

std::shared_ptr<DispatchTimer> QKGCDAsyncSocket::startRequestTimer(Side side, double timeout) {
    if (timeout < 0) return nullptr;
    auto timer =
        DispatchTimer::create(socketQueue_.dispatchQueue(), [weak = weak_from_this(), side] {
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
        self->enqueue([request, extension, side](QKGCDAsyncSocket& s) {
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

// ---- addresses, raw access ----

std::string QKGCDAsyncSocket::connectedHost() {
    return socketQueue_.sync([this] { return endpoint(connectedFD(), true).first; });
}
uint16_t QKGCDAsyncSocket::connectedPort() {
    return socketQueue_.sync([this] { return endpoint(connectedFD(), true).second; });
}
std::string QKGCDAsyncSocket::localHost() {
    return socketQueue_.sync([this] { return endpoint(connectedFD(), false).first; });
}
uint16_t QKGCDAsyncSocket::localPort() {
    return socketQueue_.sync([this] { return endpoint(connectedFD(), false).second; });
}
std::string QKGCDAsyncSocket::connectedHost4() {
    return socketQueue_.sync([this] { return endpoint(socket4FD_, true).first; });
}
std::string QKGCDAsyncSocket::connectedHost6() {
    return socketQueue_.sync([this] { return endpoint(socket6FD_, true).first; });
}
uint16_t QKGCDAsyncSocket::connectedPort4() {
    return socketQueue_.sync([this] { return endpoint(socket4FD_, true).second; });
}
uint16_t QKGCDAsyncSocket::connectedPort6() {
    return socketQueue_.sync([this] { return endpoint(socket6FD_, true).second; });
}
std::string QKGCDAsyncSocket::localHost4() {
    return socketQueue_.sync([this] { return endpoint(socket4FD_, false).first; });
}
std::string QKGCDAsyncSocket::localHost6() {
    return socketQueue_.sync([this] { return endpoint(socket6FD_, false).first; });
}
uint16_t QKGCDAsyncSocket::localPort4() {
    return socketQueue_.sync([this] { return endpoint(socket4FD_, false).second; });
}
uint16_t QKGCDAsyncSocket::localPort6() {
    return socketQueue_.sync([this] { return endpoint(socket6FD_, false).second; });
}
Bytes QKGCDAsyncSocket::connectedAddress() {
    return socketQueue_.sync([this] { return addressOf(connectedFD(), true); });
}
Bytes QKGCDAsyncSocket::localAddress() {
    return socketQueue_.sync([this] { return addressOf(connectedFD(), false); });
}
bool QKGCDAsyncSocket::isIPv4() {
    return socketQueue_.sync([this] { return socket4FD_ >= 0; });
}
bool QKGCDAsyncSocket::isIPv6() {
    return socketQueue_.sync([this] { return socket6FD_ >= 0; });
}
std::string QKGCDAsyncSocket::connectedUrl() {
    return socketQueue_.sync([this] { return unixSocketPath(addressOf(socketUN_, true)); });
}
bool QKGCDAsyncSocket::isSecure() {
    return socketQueue_.sync([this] { return (flags_ & kSocketSecure) != 0; });
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
    return socketQueue_.isCurrent() ? connectedFD() : -1;
}
int QKGCDAsyncSocket::socket4FD() {
    return socketQueue_.isCurrent() ? socket4FD_ : -1;
}
int QKGCDAsyncSocket::socket6FD() {
    return socketQueue_.isCurrent() ? socket6FD_ : -1;
}
void QKGCDAsyncSocket::performBlock(const DispatchBlock& block) {
    socketQueue_.sync(block);
}
void QKGCDAsyncSocket::markSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    socketQueue_.mark(queue);
}
void QKGCDAsyncSocket::unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue) {
    socketQueue_.unmark(queue);
}

Bytes QKGCDAsyncSocket::handleReadData(Bytes data, bool /*shouldSendDelegate*/, int64_t /*tag*/) {
    return data;
}

}  // namespace telvo

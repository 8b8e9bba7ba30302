// The send queue: datagrams and connect requests in order, host lookup, the send filter,
// waiting for writability and the send time-out.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/net/NetworkGuard.h"
#include "sockets/QKGCDAsyncUdpSocket.h"
#include "sockets/QKGCDAsyncUdpSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_udp_socket;

void QKGCDAsyncUdpSocket::asyncResolveHost(
    const std::string& host, uint16_t port,
    std::function<void(std::vector<Bytes>, ErrorPtr)> completion) {
    auto self = shared_from_this();
    if (host.empty()) {
        ErrorPtr error =
            badParamError("The host param is nil. Should be domain name or IP address string.");
        socketQueue_.dispatchQueue()->async([completion, error] { completion({}, error); });
        return;
    }
    // The lookup touches no socket state; its result goes back to the socket queue.
    DispatchQueue::global()->async([self, host, port, completion] {
        HostResolution result = resolveHost(host, port, SOCK_DGRAM, IPPROTO_UDP);
        self->socketQueue_.dispatchQueue()->async(
            [result = std::move(result), completion]() mutable {
                completion(std::move(result.addresses), std::move(result.error));
            });
    });
}

void QKGCDAsyncUdpSocket::enqueue(Packet packet) {
    socketQueue_.async([self = shared_from_this(), packet = std::move(packet)] {
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
    update([filter = std::move(filter), queue = std::move(queue),
            isAsynchronous](QKGCDAsyncUdpSocket& s) {
        s.sendFilterBlock_ = filter;
        s.sendFilterQueue_ = filter ? queue : nullptr;
        s.sendFilterAsync_ = isAsynchronous;
    });
}

void QKGCDAsyncUdpSocket::closeAfterSending() {
    update([](QKGCDAsyncUdpSocket& s) {
        s.flags_ |= kCloseAfterSends;
        if (!s.currentSend_ && s.sendQueue_.empty()) s.closeWithError(nullptr);
    });
}

bool QKGCDAsyncUdpSocket::connectToHost(const std::string& host, uint16_t port, ErrorPtr* error) {
    auto packet = std::make_shared<QKGCDAsyncUdpSpecialPacket>();
    bool ok = socketQueue_.sync([&] {
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
    return socketQueue_.sync([&] {
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
    if ((config_ & kUdpIPv4Disabled) && !first6)
        return fail(error, otherError("IPv4 has been disabled and DNS lookup found no IPv6 "
                                      "address(es)."));
    if ((config_ & kUdpIPv6Disabled) && !first4)
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
        } else if (config_ & kUdpPreferIPv4) {
            use4 = true;
        } else {
            use4 = !(config_ & kUdpPreferIPv6) && v4First;
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
        self->socketQueue_.dispatchQueue()->async([self, packet, allowed] {
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
    takeOwnPort(f);
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
    sendTimer_ = DispatchTimer::create(socketQueue_.dispatchQueue(), [weak] {
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
    takeOwnPort(f);
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

}  // namespace telvo

// Receiving: continuous or one datagram at a time, the receive filter, and the peer check of
// a connected socket.

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "sockets/QKGCDAsyncUdpSocket.h"
#include "sockets/QKGCDAsyncUdpSocketInternal.h"
#include "sockets/SocketAddress.h"

namespace telvo {

using namespace async_udp_socket;

bool QKGCDAsyncUdpSocket::beginReceiving(ErrorPtr* error) {
    return startReceiving(kReceiveContinuous, error);
}

bool QKGCDAsyncUdpSocket::receiveOnce(ErrorPtr* error) {
    return startReceiving(kReceiveOnce, error);
}

bool QKGCDAsyncUdpSocket::startReceiving(uint32_t mode, ErrorPtr* error) {
    return socketQueue_.sync([&] {
        if (flags_ & mode) return true;
        if (!(flags_ & kDidCreateSockets))
            return fail(error, badConfigError("Must bind socket before you can receive data. You "
                                              "can do this explicitly via bind, or implicitly via "
                                              "connect or by sending data."));
        flags_ = (flags_ & ~(kReceiveOnce | kReceiveContinuous)) | mode;
        socketQueue_.dispatchQueue()->async([self = shared_from_this()] { self->doReceive(); });
        return true;
    });
}

void QKGCDAsyncUdpSocket::pauseReceiving() {
    update([](QKGCDAsyncUdpSocket& s) {
        s.flags_ &= ~(kReceiveOnce | kReceiveContinuous);
        s.suspendReadSourcesWithData();
    });
}

void QKGCDAsyncUdpSocket::setReceiveFilter(QKGCDAsyncUdpSocketReceiveFilterBlock filter,
                                           DispatchQueuePtr queue, bool isAsynchronous) {
    update([filter = std::move(filter), queue = std::move(queue),
            isAsynchronous](QKGCDAsyncUdpSocket& s) {
        s.receiveFilterBlock_ = filter;
        s.receiveFilterQueue_ = filter ? queue : nullptr;
        s.receiveFilterAsync_ = isAsynchronous;
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

// The filter runs on its own queue; its verdict comes back to the socket queue, where an
// allowed datagram is delivered unless the socket was closed meanwhile.
void QKGCDAsyncUdpSocket::filterAsynchronously(Bytes buffer, Bytes address) {
    ++pendingFilterOperations_;
    receiveFilterQueue_->async([self = shared_from_this(), filter = receiveFilterBlock_,
                                generation = openGeneration_, buffer = std::move(buffer),
                                address = std::move(address)]() mutable {
        std::any context;
        bool allowed = filter(buffer, address, &context);
        self->socketQueue_.dispatchQueue()->async(
            [self, generation, allowed, buffer = std::move(buffer), address = std::move(address),
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
            filterAsynchronously(std::move(buffer), std::move(address));
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

#pragma once

// Internal to the QKGCDAsyncSocket*.cpp files: the socket's state words and its request and
// buffer types.

#include <sys/socket.h>

#include <algorithm>
#include <memory>

#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/SocketAddress.h"

namespace telvo {

namespace async_socket {

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
    kQueuedTLS = 0x400,
    kStartingReadTLS = 0x800,
    kStartingWriteTLS = 0x1000,
    kSocketSecure = 0x2000,
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
inline Bytes addressOf(int fd, bool peer) {
    if (fd < 0) return {};
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* a = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? getpeername(fd, a, &length) : getsockname(fd, a, &length)) != 0) return {};
    return socketAddressData(a, length);
}

inline void cancelTimer(std::shared_ptr<DispatchTimer>& timer) {
    if (timer) timer->cancel();
    timer.reset();
}

}  // namespace async_socket

// What read and write requests share; timeout grows by each granted extension. A request
// with TLS settings is the TLS start that startTLS() puts in both queues.
struct QKGCDAsyncSocket::Request {
    uint64_t bytesDone = 0;
    double timeout = -1;
    int64_t tag = 0;
    std::shared_ptr<const Dictionary> tlsSettings;
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
        : Request{0, t, tg, nullptr},
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

}  // namespace telvo

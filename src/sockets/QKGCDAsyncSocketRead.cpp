// The read path: requests in order, the read-ahead buffer, end of stream.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/QKGCDAsyncSocketInternal.h"

namespace telvo {

using namespace async_socket;

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
    if (maxLength == 0) maxLength = kDefaultTerminatorReadMaxLength;
    if (maxLength < terminator.size()) return;
    queueRead(std::make_shared<ReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                           std::move(terminator), tag));
}

void QKGCDAsyncSocket::queueRead(std::shared_ptr<ReadPacket> packet) {
    enqueue([packet](QKGCDAsyncSocket& s) {
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
        if (currentRead_->tlsSettings) {
            flags_ |= kStartingReadTLS;
            maybeStartTLS();
            return;
        }
        readTimer_ = startRequestTimer(Side::Read, currentRead_->timeout);
        doReadData();
    } else if (flags_ & kDisconnectAfterReads) {
        maybeClose();
    }
}

struct QKGCDAsyncSocket::ReadPass {
    bool done = false;     // the request is complete
    bool eof = false;      // the stream ended
    bool waiting = false;  // the descriptor has nothing more now
    ErrorPtr error;
    uint64_t total = 0;  // bytes added to the request in this pass
};

void QKGCDAsyncSocket::doReadData() {
    if (currentRead_ && currentRead_->tlsSettings && (flags_ & kStartingWriteTLS)) {
        continueHandshake();
        return;
    }
    if (!currentRead_ || (flags_ & kReadsPaused) || currentRead_->tlsSettings) {
        if (socketFDBytesAvailable_ > 0) setSourceSuspended(Side::Read, true);
        return;
    }
    if (socketFDBytesAvailable_ == 0 && preBuffer_->availableBytes() == 0 &&
        !sslHasBufferedInput()) {
        setSourceSuspended(Side::Read, false);
        return;
    }
    ReadPass pass;
    drainPreBuffer(pass);
    if (!pass.done && !pass.error) {
        if (flags_ & kSocketHasReadEOF) {
            pass.eof = true;
        } else if (flags_ & kSocketSecure) {
            // Everything that arrived is decrypted into the pre-buffer first.
            sslReadIntoPreBuffer(&pass.eof, &pass.waiting, &pass.error);
            if (!pass.error) drainPreBuffer(pass);
        } else if (socketFDBytesAvailable_ > 0) {
            readFromDescriptor(pass);
        } else {
            pass.waiting = true;
        }
    }
    finishReadPass(pass);
}

// Moves what the request may take from the pre-buffer into its buffer.
void QKGCDAsyncSocket::drainPreBuffer(ReadPass& pass) {
    ReadPacket& r = *currentRead_;
    uint64_t available = preBuffer_->availableBytes();
    if (available == 0) return;
    bool found = false;
    uint64_t n = r.term.empty() ? r.readLengthForNonTermWithHint(available)
                                : r.readLengthForTerm(preBuffer_->readBuffer(), available, &found);
    r.ensureCapacityForAdditionalDataOfLength(n);
    std::memcpy(r.writePointer(), preBuffer_->readBuffer(), n);
    preBuffer_->didRead(n);
    r.bytesDone += n;
    pass.total += n;
    if (r.readLength > 0) {
        pass.done = r.bytesDone == r.readLength;
    } else if (!r.term.empty()) {
        pass.done = found;
        if (!pass.done && r.maxLength > 0 && r.bytesDone >= r.maxLength) {
            pass.error = readMaxedOutError();
        }
    } else {
        pass.done = r.maxLength > 0 && r.bytesDone == r.maxLength;
    }
}

// A plain read of what the descriptor has: straight into the request without a terminator,
// through the pre-buffer with one.
void QKGCDAsyncSocket::readFromDescriptor(ReadPass& pass) {
    ReadPacket& r = *currentRead_;
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
            pass.waiting = true;
        } else {
            pass.error = errorWithErrno(errno, "Error in read() function");
        }
        socketFDBytesAvailable_ = 0;
    } else if (result == 0) {
        pass.eof = true;
        socketFDBytesAvailable_ = 0;
    } else {
        auto got = uint64_t(result);
        socketFDBytesAvailable_ = got < n ? 0 : socketFDBytesAvailable_ - got;
        pass.waiting = socketFDBytesAvailable_ == 0;
        if (!r.term.empty()) {
            preBuffer_->didWrite(got);
            drainPreBuffer(pass);
        } else {
            r.bytesDone += got;
            pass.total += got;
            pass.done = r.readLength > 0 ? r.bytesDone == r.readLength : true;
        }
    }
}

// Completes the request, reports partial progress, or waits for more, as the pass ended.
void QKGCDAsyncSocket::finishReadPass(ReadPass pass) {
    ReadPacket& r = *currentRead_;
    if (!pass.done && !pass.error && pass.total > 0) {
        if (r.readLength == 0 && r.term.empty()) {
            pass.done = true;
        } else {
            notify([total = pass.total, tag = r.tag](QKGCDAsyncSocketDelegate& d,
                                                     const QKGCDAsyncSocketPtr& s) {
                d.socketDidReadPartialDataOfLengthTag(s, total, tag);
            });
            pass.waiting = true;
        }
    }

    if (pass.done) {
        completeCurrentRead();
        if (pass.error) {
            closeWithError(pass.error);
        } else if (!pass.eof) {
            maybeDequeueRead();
            if (pass.waiting) setSourceSuspended(Side::Read, false);
        } else {
            if (preBuffer_->availableBytes() > 0) maybeDequeueRead();
            doReadEOF();
        }
    } else if (pass.error) {
        closeWithError(pass.error);
    } else if (pass.eof) {
        doReadEOF();
    } else if (pass.waiting) {
        setSourceSuspended(Side::Read, false);
    }
}

void QKGCDAsyncSocket::doReadEOF() {
    flags_ |= kSocketHasReadEOF;
    bool keep = false;
    if (flags_ & (kStartingReadTLS | kStartingWriteTLS)) {
        keep = false;
    } else if (flags_ & kReadStreamClosed) {
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
        closeWithError(endOfStreamError());
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

float QKGCDAsyncSocket::progressOfReadReturningTag(int64_t* tag, uint64_t* done, uint64_t* total) {
    return socketQueue_.sync([&]() -> float {
        uint64_t d = currentRead_ ? currentRead_->bytesDone : 0;
        uint64_t t = currentRead_ ? currentRead_->readLength : 0;
        if (tag) *tag = currentRead_ ? currentRead_->tag : 0;
        if (done) *done = d;
        if (total) *total = t;
        if (!currentRead_) return NAN;
        return t > 0 ? float(d) / float(t) : 1.0f;
    });
}

}  // namespace telvo

// The write path: requests in order, partial writes, waiting for the socket to take bytes.

#include <sys/socket.h>

#include <cerrno>
#include <cmath>

#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/QKGCDAsyncSocketInternal.h"

namespace telvo {

using namespace async_socket;

void QKGCDAsyncSocket::writeData(Bytes data, double timeout, int64_t tag) {
    if (data.empty()) return;
    auto packet = std::make_shared<WritePacket>();
    packet->buffer = std::move(data);
    packet->timeout = timeout;
    packet->tag = tag;
    enqueue([packet](QKGCDAsyncSocket& s) {
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
        if (currentWrite_->tlsSettings) {
            flags_ |= kStartingWriteTLS;
            maybeStartTLS();
            return;
        }
        writeTimer_ = startRequestTimer(Side::Write, currentWrite_->timeout);
        doWriteData();
    } else if (flags_ & kDisconnectAfterWrites) {
        maybeClose();
    }
}

void QKGCDAsyncSocket::doWriteData() {
    if (currentWrite_ && currentWrite_->tlsSettings && (flags_ & kStartingReadTLS)) {
        continueHandshake();
        return;
    }
    if (!currentWrite_ || (flags_ & kWritesPaused) || currentWrite_->tlsSettings) {
        if (flags_ & kSocketCanAcceptBytes) setSourceSuspended(Side::Write, true);
        return;
    }
    if (!(flags_ & kSocketCanAcceptBytes)) {
        setSourceSuspended(Side::Write, false);
        return;
    }
    WritePacket& w = *currentWrite_;
    bool waiting = false;
    ErrorPtr error;
    uint64_t written = 0;
    if (flags_ & kSocketSecure) {
        written = sslWrite(w, &waiting, &error);
    } else {
        ssize_t result = ::send(connectedFD(), w.buffer.data() + w.bytesDone,
                                w.buffer.size() - w.bytesDone, MSG_NOSIGNAL);
        if (result >= 0) {
            written = uint64_t(result);
        } else if (errno == EWOULDBLOCK || errno == EINTR) {
            waiting = true;
            flags_ &= ~kSocketCanAcceptBytes;
            setSourceSuspended(Side::Write, false);
        } else {
            error = errorWithErrno(errno, "Error in write() function");
        }
    }
    w.bytesDone += written;

    if (!error && w.bytesDone == w.buffer.size()) {
        completeCurrentWrite();
        enqueue([](QKGCDAsyncSocket& s) { s.maybeDequeueWrite(); });
        return;
    }
    if (error) {
        closeWithError(error);
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

float QKGCDAsyncSocket::progressOfWriteReturningTag(int64_t* tag, uint64_t* done, uint64_t* total) {
    return socketQueue_.sync([&]() -> float {
        uint64_t d = currentWrite_ ? currentWrite_->bytesDone : 0;
        uint64_t t = currentWrite_ ? currentWrite_->buffer.size() : 0;
        if (tag) *tag = currentWrite_ ? currentWrite_->tag : 0;
        if (done) *done = d;
        if (total) *total = t;
        if (!currentWrite_) return NAN;
        return t > 0 ? float(d) / float(t) : 1.0f;
    });
}

}  // namespace telvo

#pragma once

// Delegates the stream-socket tests share: one that records every callback, and an echo
// server that keeps what it accepts. Both are safe to call from any queue.

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "telvosdk/Bytes.h"

namespace telvo::test {

// Runs the main loop until condition holds, for at most 30 s; whether it came to hold.
inline bool waitFor(const std::function<bool()>& condition) {
    return MainLoop::runUntil(condition, 30);
}

struct SocketEvent {
    // "connect", "connectUrl", "read", "partialRead", "write", "partialWrite", "disconnect",
    // "secure", "trust"
    std::string kind;
    int64_t tag = 0;
    std::string data;
    ErrorPtr error;
    bool nullSocket = false;
    double at = 0;
};

class SocketRecorder : public QKGCDAsyncSocketDelegate {
  public:
    std::vector<SocketEvent> events;  // read it only while no callback can run
    double readExtension = 0;
    int extensionsLeft = 0;
    std::function<void()> onRead, onDisconnect;
    // The answer to a trust question, given the trust; unset: the default (refuse).
    std::function<bool(SecTrust&)> trustAnswer;

    void socketDidConnectToHostPort(const QKGCDAsyncSocketPtr&, const std::string& host,
                                    uint16_t) override {
        add("connect", 0, host);
    }
    void socketDidConnectToUrl(const QKGCDAsyncSocketPtr&, const std::string& url) override {
        add("connectUrl", 0, url);
    }
    void socketDidReadDataWithTag(const QKGCDAsyncSocketPtr&, Bytes data, int64_t tag) override {
        add("read", tag, toString(data));
        if (onRead) onRead();
    }
    void socketDidReadPartialDataOfLengthTag(const QKGCDAsyncSocketPtr&, uint64_t length,
                                             int64_t tag) override {
        add("partialRead", tag, std::to_string(length));
    }
    void socketDidWriteDataWithTag(const QKGCDAsyncSocketPtr&, int64_t tag) override {
        add("write", tag);
    }
    void socketDidWritePartialDataOfLengthTag(const QKGCDAsyncSocketPtr&, uint64_t,
                                              int64_t tag) override {
        add("partialWrite", tag);
    }
    double socketShouldTimeoutReadWithTagElapsedBytesDone(const QKGCDAsyncSocketPtr&, int64_t,
                                                          double, uint64_t) override {
        return extensionsLeft-- > 0 ? readExtension : 0;
    }
    void socketDidSecure(const QKGCDAsyncSocketPtr&) override { add("secure", 0); }
    void socketDidReceiveTrustCompletionHandler(
        const QKGCDAsyncSocketPtr& sock, const std::shared_ptr<SecTrust>& trust,
        const std::function<void(bool)>& completionHandler) override {
        add("trust", 0);
        if (!trustAnswer) {
            QKGCDAsyncSocketDelegate::socketDidReceiveTrustCompletionHandler(sock, trust,
                                                                             completionHandler);
            return;
        }
        completionHandler(trustAnswer(*trust));
    }
    void socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& sock,
                                      const ErrorPtr& error) override {
        add("disconnect", 0, {}, error, sock == nullptr);
        if (onDisconnect) onDisconnect();
    }

    int count(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        return int(std::count_if(events.begin(), events.end(),
                                 [&](const SocketEvent& e) { return e.kind == kind; }));
    }
    // A copy of the last event of the kind (an empty one when there is none).
    SocketEvent lastOf(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        for (auto i = events.rbegin(); i != events.rend(); ++i) {
            if (i->kind == kind) return *i;
        }
        return {};
    }
    const SocketEvent* last(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        for (auto i = events.rbegin(); i != events.rend(); ++i) {
            if (i->kind == kind) return &*i;
        }
        return nullptr;
    }
    std::vector<SocketEvent> snapshot() const {
        std::lock_guard lock(mutex_);
        return events;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events.clear();
    }

    void add(std::string kind, int64_t tag, std::string data = {}, ErrorPtr error = nullptr,
             bool nullSocket = false) {
        std::lock_guard lock(mutex_);
        events.push_back(
            {std::move(kind), tag, std::move(data), std::move(error), nullSocket, Clock::now()});
    }

  private:
    mutable std::mutex mutex_;
};

// Echoes whatever each accepted socket reads, over TLS when given settings. Keeps every
// accepted socket until it disconnects.
class EchoServer : public QKGCDAsyncSocketDelegate {
  public:
    std::optional<Dictionary> tls;
    DispatchQueuePtr childQueue;  // the queue handed out for accepted sockets (null: their own)

    DispatchQueuePtr newSocketQueueForConnectionFromAddressOnSocket(
        const Bytes& address, const QKGCDAsyncSocketPtr&) override {
        std::lock_guard lock(mutex_);
        addresses_.push_back(address);
        return childQueue;
    }
    void socketDidAcceptNewSocket(const QKGCDAsyncSocketPtr&,
                                  const QKGCDAsyncSocketPtr& sock) override {
        // Raw access answers only on the socket's own queue.
        bool onChildQueue =
            childQueue && childQueue->syncResult([&] { return sock->socketFD(); }) >= 0;
        {
            std::lock_guard lock(mutex_);
            sockets_.push_back(sock);
            ++accepted_;
            onChildQueue_ += onChildQueue;
        }
        if (tls) sock->startTLS(*tls);
        sock->readDataWithTimeout(-1, 0);
    }
    void socketDidReadDataWithTag(const QKGCDAsyncSocketPtr& sock, Bytes data, int64_t) override {
        sock->writeData(std::move(data), -1, 0);
        sock->readDataWithTimeout(-1, 0);
    }
    void socketDidSecure(const QKGCDAsyncSocketPtr&) override {
        std::lock_guard lock(mutex_);
        ++secured_;
    }
    void socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& sock,
                                      const ErrorPtr& error) override {
        std::lock_guard lock(mutex_);
        auto found = std::find(sockets_.begin(), sockets_.end(), sock);
        if (found == sockets_.end()) return;  // the listener
        sockets_.erase(found);
        ++closed_;
        lastError_ = error;
    }

    int accepted() const { return locked(accepted_); }
    int secured() const { return locked(secured_); }
    int closed() const { return locked(closed_); }
    int onChildQueue() const { return locked(onChildQueue_); }
    ErrorPtr lastError() const { return locked(lastError_); }
    std::vector<Bytes> addresses() const { return locked(addresses_); }
    std::vector<QKGCDAsyncSocketPtr> sockets() const { return locked(sockets_); }

  private:
    template <class T>
    T locked(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    mutable std::mutex mutex_;
    std::vector<QKGCDAsyncSocketPtr> sockets_;
    std::vector<Bytes> addresses_;
    int accepted_ = 0, secured_ = 0, closed_ = 0, onChildQueue_ = 0;
    ErrorPtr lastError_;
};

}  // namespace telvo::test

#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "sockets/SocketError.h"
#include "sockets/SocketQueue.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

class QKGCDAsyncSocket;
using QKGCDAsyncSocketPtr = std::shared_ptr<QKGCDAsyncSocket>;

inline constexpr char kQKGCDAsyncSocketErrorDomain[] = "QKGCDAsyncSocketErrorDomain";

enum QKGCDAsyncSocketError : int64_t {
    QKGCDAsyncSocketNoError = 0,
    QKGCDAsyncSocketBadConfigError = 1,
    QKGCDAsyncSocketBadParamError = 2,
    QKGCDAsyncSocketConnectTimeoutError = 3,
    QKGCDAsyncSocketReadTimeoutError = 4,
    QKGCDAsyncSocketWriteTimeoutError = 5,
    QKGCDAsyncSocketReadMaxedOutError = 6,
    QKGCDAsyncSocketClosedError = 7,
    QKGCDAsyncSocketOtherError = 8,
};

// Receiver of a socket's callbacks; every method is optional. The socket holds its delegate
// weakly. Every callback is queued asynchronously on the delegate queue, never run inside a
// call to the socket; the block holds the socket and the delegate until it has run, so the
// delegate may drop its socket inside any callback.
class QKGCDAsyncSocketDelegate {
  public:
    virtual ~QKGCDAsyncSocketDelegate() = default;

    virtual void socketDidConnectToHostPort(const QKGCDAsyncSocketPtr& /*sock*/,
                                            const std::string& /*host*/, uint16_t /*port*/) {}
    // The bytes belong to the delegate.
    virtual void socketDidReadDataWithTag(const QKGCDAsyncSocketPtr& /*sock*/, Bytes /*data*/,
                                          int64_t /*tag*/) {}
    // Progress of a length or terminator read: the bytes this pass added.
    virtual void socketDidReadPartialDataOfLengthTag(const QKGCDAsyncSocketPtr& /*sock*/,
                                                     uint64_t /*length*/, int64_t /*tag*/) {}
    virtual void socketDidWriteDataWithTag(const QKGCDAsyncSocketPtr& /*sock*/, int64_t /*tag*/) {}
    virtual void socketDidWritePartialDataOfLengthTag(const QKGCDAsyncSocketPtr& /*sock*/,
                                                      uint64_t /*length*/, int64_t /*tag*/) {}
    // A request's time-out fired: answer the seconds to extend it by; 0 or less ends the
    // connection with the read (write) time-out error. elapsed is the request's time-out so far.
    virtual double socketShouldTimeoutReadWithTagElapsedBytesDone(
        const QKGCDAsyncSocketPtr& /*sock*/, int64_t /*tag*/, double /*elapsed*/,
        uint64_t /*bytesDone*/) {
        return 0;
    }
    virtual double socketShouldTimeoutWriteWithTagElapsedBytesDone(
        const QKGCDAsyncSocketPtr& /*sock*/, int64_t /*tag*/, double /*elapsed*/,
        uint64_t /*bytesDone*/) {
        return 0;
    }
    // The peer closed its sending side and the socket stays open (half-duplex mode).
    virtual void socketDidCloseReadStream(const QKGCDAsyncSocketPtr& /*sock*/) {}
    // Exactly once per close of a started socket. sock is null when the close comes from the
    // socket's destruction; error is null for disconnect() and destruction.
    virtual void socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& /*sock*/,
                                              const ErrorPtr& /*error*/) {}
};

// An asynchronous TCP client socket over IPv4 and IPv6.
//
// Everything runs on the socket's serial queue; results reach the delegate on the delegate
// queue. Connecting is asynchronous: connectToHost() answers at once whether the attempt has
// begun (a refusal returns false with the error and no callback follows); success is reported
// by socketDidConnectToHostPort, failure by socketDidDisconnectWithError. Read and write
// requests are served first in first out, one of each at a time; each completed request is
// reported with its tag. A close drops every pending request without callbacks. The owner
// keeps the socket alive; destroying a started socket closes it and reports a disconnect with
// a null socket. All members are thread-safe; the ones documented as synchronous wait for the
// socket queue (and run at once when called on it).
class QKGCDAsyncSocket : public std::enable_shared_from_this<QKGCDAsyncSocket> {
  public:
    using DelegatePtr = std::weak_ptr<QKGCDAsyncSocketDelegate>;

    // socketQueue: a serial queue, or null for a new one labelled "QKGCDAsyncSocket".
    explicit QKGCDAsyncSocket(DelegatePtr delegate = {}, DispatchQueuePtr delegateQueue = nullptr,
                              DispatchQueuePtr socketQueue = nullptr);
    static QKGCDAsyncSocketPtr create(DelegatePtr delegate = {},
                                      DispatchQueuePtr delegateQueue = nullptr,
                                      DispatchQueuePtr socketQueue = nullptr);
    ~QKGCDAsyncSocket();
    QKGCDAsyncSocket(const QKGCDAsyncSocket&) = delete;
    QKGCDAsyncSocket& operator=(const QKGCDAsyncSocket&) = delete;

    // Delegate and queues. The plain setters apply asynchronously, the synchronous ones wait.
    std::shared_ptr<QKGCDAsyncSocketDelegate> delegate();
    void setDelegate(DelegatePtr delegate);
    void synchronouslySetDelegate(DelegatePtr delegate);
    DispatchQueuePtr delegateQueue();
    void setDelegateQueue(DispatchQueuePtr queue);
    void synchronouslySetDelegateQueue(DispatchQueuePtr queue);
    void getDelegate(std::shared_ptr<QKGCDAsyncSocketDelegate>* delegate,
                     DispatchQueuePtr* delegateQueue);
    void setDelegateDelegateQueue(DelegatePtr delegate, DispatchQueuePtr queue);
    void synchronouslySetDelegateDelegateQueue(DelegatePtr delegate, DispatchQueuePtr queue);

    // Configuration; survives every close.
    bool isIPv4Enabled();
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled();
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6();
    void setIPv4PreferredOverIPv6(bool preferred);
    // When false the socket stays open after the peer closes its sending side.
    bool autoDisconnectOnClosedReadStream();
    void setAutoDisconnectOnClosedReadStream(bool flag);
    double alternateAddressDelay();
    void setAlternateAddressDelay(double seconds);
    std::shared_ptr<void> userData();
    void setUserData(std::shared_ptr<void> data);

    // Connects by host name or numeric text ("localhost" and "loopback" are not looked up).
    // timeout in seconds, negative for none. interface: a local interface name or address to
    // bind first (empty: none). Synchronous; returns false and sets *error on refusal.
    bool connectToHost(const std::string& host, uint16_t port, ErrorPtr* error);
    bool connectToHost(const std::string& host, uint16_t port, double timeout, ErrorPtr* error);
    bool connectToHost(const std::string& host, uint16_t port, const std::string& interface,
                       double timeout, ErrorPtr* error);
    // Connects to an IPv4 or IPv6 socket address (as data).
    bool connectToAddress(const Bytes& address, ErrorPtr* error);
    bool connectToAddress(const Bytes& address, double timeout, ErrorPtr* error);
    bool connectToAddress(const Bytes& address, const std::string& interface, double timeout,
                          ErrorPtr* error);

    // Closes at once with no error (synchronous); a socket that has not started does nothing.
    void disconnect();
    // Stop taking requests and close with no error once the named queues have drained.
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    bool isConnected();
    bool isDisconnected();

    // Reads. timeout in seconds, negative for none. A read-any returns whatever arrives next
    // (up to maxLength when above 0). A caller's buffer receives the bytes at offset (it grows
    // as needed); the delegate gets a copy of them. Requests made while the socket is idle or
    // disconnecting are dropped without callback.
    void readDataWithTimeout(double timeout, int64_t tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, uint64_t offset,
                             int64_t tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, uint64_t offset,
                             uint64_t maxLength, int64_t tag);
    void readDataToLength(uint64_t length, double timeout, int64_t tag);
    void readDataToLength(uint64_t length, double timeout, std::shared_ptr<Bytes> buffer,
                          uint64_t offset, int64_t tag);
    // Reads up to and including the terminator; bytes after it stay for the next request.
    // Passing maxLength without the terminator closes with QKGCDAsyncSocketReadMaxedOutError.
    void readDataToData(Bytes terminator, double timeout, int64_t tag);
    void readDataToData(Bytes terminator, double timeout, uint64_t maxLength, int64_t tag);
    void readDataToData(Bytes terminator, double timeout, std::shared_ptr<Bytes> buffer,
                        uint64_t offset, int64_t tag);
    void readDataToData(Bytes terminator, double timeout, std::shared_ptr<Bytes> buffer,
                        uint64_t offset, uint64_t maxLength, int64_t tag);
    // Writes the bytes whole (empty data does nothing).
    void writeData(Bytes data, double timeout, int64_t tag);

    // The current request's tag, bytes done and total with the fraction done; NaN and zeros
    // when none is current, 1.0 for a read-any.
    float progressOfReadReturningTag(int64_t* tag, uint64_t* done, uint64_t* total);
    float progressOfWriteReturningTag(int64_t* tag, uint64_t* done, uint64_t* total);

    // Addresses of the connection (empty or 0 when not connected).
    std::string connectedHost();
    uint16_t connectedPort();
    std::string localHost();
    uint16_t localPort();
    std::string connectedHost4();
    std::string connectedHost6();
    uint16_t connectedPort4();
    uint16_t connectedPort6();
    std::string localHost4();
    std::string localHost6();
    uint16_t localPort4();
    uint16_t localPort6();
    Bytes connectedAddress();
    Bytes localAddress();
    bool isIPv4();
    bool isIPv6();
    bool isSecure() { return false; }

    static std::string hostFromAddress(const Bytes& address);
    static uint16_t portFromAddress(const Bytes& address);
    static bool getHostPortFromAddress(std::string* host, uint16_t* port, const Bytes& address);
    static bool getHostPortFamilyFromAddress(std::string* host, uint16_t* port, int* family,
                                             const Bytes& address);
    static bool isIPv4Address(const Bytes& address);
    static bool isIPv6Address(const Bytes& address);

    // Raw access, valid on the socket queue only (elsewhere -1).
    int socketFD();
    int socket4FD();
    int socket6FD();
    // Runs the block on the socket queue and waits for it.
    void performBlock(const DispatchBlock& block);

    static Bytes CRLFData() { return {0x0D, 0x0A}; }
    static Bytes CRData() { return {0x0D}; }
    static Bytes LFData() { return {0x0A}; }
    static Bytes ZeroData() { return {0x00}; }

    // Host lookup as the connect does it: the IPv4 and IPv6 addresses in resolver order.
    static std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, ErrorPtr* error);

    // Error values of the socket's domain.
    static ErrorPtr badConfigError(const std::string& message);
    static ErrorPtr badParamError(const std::string& message);
    static ErrorPtr gaiError(int code);
    static ErrorPtr errorWithErrno(int code, const std::string& reason);
    static ErrorPtr connectTimeoutError();
    static ErrorPtr readTimeoutError();
    static ErrorPtr writeTimeoutError();
    static ErrorPtr readMaxedOutError();
    static ErrorPtr connectionClosedError();
    static ErrorPtr otherError(const std::string& message);

  private:
    struct Request;
    struct ReadPacket;
    struct WritePacket;
    class PreBuffer;

    // Queues the block on the socket queue; it is dropped when the socket is gone by then.
    void enqueue(std::function<void(QKGCDAsyncSocket&)> block);
    // Applies the change at once on the socket queue, else queues it as enqueue() does.
    void update(std::function<void(QKGCDAsyncSocket&)> change);
    void notify(std::function<void(QKGCDAsyncSocketDelegate&, const QKGCDAsyncSocketPtr&)> call);

    bool connectCommon(const std::string& host, const Bytes* address, uint16_t port,
                       const std::string& interface, double timeout, ErrorPtr* error);
    bool preConnect(const std::string& interface, ErrorPtr* error);
    void lookupDidFail(int index, ErrorPtr error);
    void lookupDidSucceed(int index, const Bytes& address4, const Bytes& address6);
    bool connectWithAddresses(const Bytes& address4, const Bytes& address6, ErrorPtr* error);
    int createSocket(const Bytes& address, const Bytes& interface, ErrorPtr* error);
    void connectSocket(int fd, const Bytes& address, int index);
    void attemptFinished(int fd, int error, int index);
    void closeSocket(int fd);
    void didConnect(int index);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void closeWithError(ErrorPtr error);
    void maybeClose();
    int connectedFD() const;

    void queueRead(std::shared_ptr<ReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();

    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();

    enum class Side { Read, Write };
    std::shared_ptr<Request> currentRequest(Side side) const;
    std::shared_ptr<DispatchTimer> startRequestTimer(Side side, double timeout);
    void doRequestTimeout(Side side);
    void doTimeoutWithExtension(Side side, double extension);
    void setSourceSuspended(Side side, bool suspended);

    // Every field below is used on socketQueue_ only.
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    DelegatePtr delegate_;
    DispatchQueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int stateIndex_ = 0;
    Bytes connectInterface4_;
    Bytes connectInterface6_;
    const SocketQueue socketQueue_;
    std::shared_ptr<DispatchTimer> connectTimer_;
    std::shared_ptr<DispatchSource> connectSource4_;
    std::shared_ptr<DispatchSource> connectSource6_;
    std::shared_ptr<DispatchSource> readSource_;
    std::shared_ptr<DispatchSource> writeSource_;
    std::shared_ptr<DispatchTimer> readTimer_;
    std::shared_ptr<DispatchTimer> writeTimer_;
    std::deque<std::shared_ptr<ReadPacket>> readQueue_;
    std::deque<std::shared_ptr<WritePacket>> writeQueue_;
    std::shared_ptr<ReadPacket> currentRead_;
    std::shared_ptr<WritePacket> currentWrite_;
    uint64_t socketFDBytesAvailable_ = 0;
    std::unique_ptr<PreBuffer> preBuffer_;
    std::shared_ptr<void> userData_;
    double alternateAddressDelay_ = 0.3;
};

}  // namespace telvo

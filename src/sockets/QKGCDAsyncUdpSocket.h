#pragma once

#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/NotificationCenter.h"
#include "sockets/SocketQueue.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

inline constexpr const char* QKGCDAsyncUdpSocketErrorDomain = "QKGCDAsyncUdpSocketErrorDomain";

enum QKGCDAsyncUdpSocketError : int64_t {
    QKGCDAsyncUdpSocketNoError = 0,
    QKGCDAsyncUdpSocketBadConfigError = 1,
    QKGCDAsyncUdpSocketBadParamError = 2,
    QKGCDAsyncUdpSocketSendTimeoutError = 3,
    QKGCDAsyncUdpSocketClosedError = 4,
    QKGCDAsyncUdpSocketOtherError = 5,
};

class QKGCDAsyncUdpSocket;
using QKGCDAsyncUdpSocketPtr = std::shared_ptr<QKGCDAsyncUdpSocket>;

// Receiver of a socket's results. Every method runs asynchronously on the delegate queue the
// owner supplied, never on the socket queue and never inside a call to the socket. The socket
// argument keeps the socket alive for the call (the owner may drop its own reference there);
// it is null only in the close callback raised by the socket's destruction. Addresses are
// socket-address data (SocketAddress.h).
class QKGCDAsyncUdpSocketDelegate {
  public:
    virtual ~QKGCDAsyncUdpSocketDelegate() = default;
    virtual void udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr& /*sock*/,
                                              const Bytes& /*address*/) {}
    virtual void udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr& /*sock*/,
                                        const ErrorPtr& /*error*/) {}
    virtual void udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr& /*sock*/,
                                             int64_t /*tag*/) {}
    virtual void udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr& /*sock*/,
                                                          int64_t /*tag*/,
                                                          const ErrorPtr& /*error*/) {}
    // filterContext: what the receive filter left in its slot; empty without a filter.
    virtual void udpSocketDidReceiveDataFromAddressWithFilterContext(
        const QKGCDAsyncUdpSocketPtr& /*sock*/, const Bytes& /*data*/, const Bytes& /*address*/,
        const std::any& /*filterContext*/) {}
    // error: null for an explicit close.
    virtual void udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr& /*sock*/,
                                            const ErrorPtr& /*error*/) {}
};

// Answers true to deliver the datagram; may leave a context for the delegate in the slot.
using QKGCDAsyncUdpSocketReceiveFilterBlock =
    std::function<bool(const Bytes& data, const Bytes& address, std::any* context)>;
// Answers true to send the datagram; false counts it as sent without sending it.
using QKGCDAsyncUdpSocketSendFilterBlock =
    std::function<bool(const Bytes& data, const Bytes& address, int64_t tag)>;

// An entry of the send queue: a datagram or a connect request.
struct QKGCDAsyncUdpPacket {
    virtual ~QKGCDAsyncUdpPacket() = default;
};

// One queued datagram.
struct QKGCDAsyncUdpSendPacket : QKGCDAsyncUdpPacket {
    QKGCDAsyncUdpSendPacket(Bytes data, double timeout, int64_t tag)
        : buffer(std::move(data)), timeout(timeout), tag(tag) {}
    Bytes buffer;
    double timeout;  // seconds; negative: none
    int64_t tag;
    bool resolveInProgress = false;
    bool filterInProgress = false;
    std::vector<Bytes> resolvedAddresses;
    ErrorPtr resolveError;
    Bytes address;
    int addressFamily = 0;
};

// A connect request waiting in the send queue.
struct QKGCDAsyncUdpSpecialPacket : QKGCDAsyncUdpPacket {
    bool resolveInProgress = false;
    std::vector<Bytes> addresses;
    ErrorPtr error;
};

// An asynchronous datagram socket holding up to two kernel sockets, IPv4 and IPv6, which are
// opened, bound and closed together (the IPv6 one is IPv6-only; a host without IPv6 works on
// IPv4 alone). All state lives on the socket queue (serial); the operations that answer run
// there synchronously (inline when called on it), the others are queued. Results reach the
// delegate only through the delegate queue. Every datagram leaves through NetworkGuard.
//
// Own it through std::shared_ptr (std::make_shared): queued work keeps it alive until done.
// Destroying it closes it; the close callback then names no socket. A close of any kind drops
// queued and current sends without their own callbacks.
class QKGCDAsyncUdpSocket : public std::enable_shared_from_this<QKGCDAsyncUdpSocket> {
  public:
    // init, initWithSocketQueue:, initWithDelegate:delegateQueue:(socketQueue:). The delegate is
    // held weakly; without a socket queue a serial queue "QKGCDAsyncUdpSocket" is made.
    QKGCDAsyncUdpSocket() : QKGCDAsyncUdpSocket({}, nullptr, nullptr) {}
    explicit QKGCDAsyncUdpSocket(DispatchQueuePtr socketQueue)
        : QKGCDAsyncUdpSocket({}, nullptr, std::move(socketQueue)) {}
    QKGCDAsyncUdpSocket(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                        DispatchQueuePtr delegateQueue, DispatchQueuePtr socketQueue = nullptr);
    ~QKGCDAsyncUdpSocket();
    QKGCDAsyncUdpSocket(const QKGCDAsyncUdpSocket&) = delete;
    QKGCDAsyncUdpSocket& operator=(const QKGCDAsyncUdpSocket&) = delete;

    // Delegate. The plain setters are queued; the synchronous ones wait until applied.
    std::shared_ptr<QKGCDAsyncUdpSocketDelegate> delegate() const;
    DispatchQueuePtr delegateQueue() const;
    void getDelegate(std::shared_ptr<QKGCDAsyncUdpSocketDelegate>* delegate,
                     DispatchQueuePtr* delegateQueue) const;
    void setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate);
    void setDelegateQueue(DispatchQueuePtr delegateQueue);
    void setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                     DispatchQueuePtr delegateQueue);
    void synchronouslySetDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate);
    void synchronouslySetDelegateQueue(DispatchQueuePtr delegateQueue);
    void synchronouslySetDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate,
                                  DispatchQueuePtr delegateQueue);

    // Configuration; survives close. Setters are queued, getters wait.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    uint16_t maxReceiveIPv4BufferSize() const;
    void setMaxReceiveIPv4BufferSize(uint16_t size);
    uint32_t maxReceiveIPv6BufferSize() const;
    void setMaxReceiveIPv6BufferSize(uint32_t size);
    // Send and receive kernel buffer size applied to sockets created later.
    uint16_t maxSendBufferSize() const;
    void setMaxSendBufferSize(uint16_t size);
    std::any userData() const;
    void setUserData(std::any userData);

    // Options. Open the sockets when needed; need a delegate and a delegate queue.
    bool enableBroadcast(bool flag, ErrorPtr* error = nullptr);
    bool enableReusePort(bool flag, ErrorPtr* error = nullptr);

    // Binding: no interface binds the any-addresses; "localhost"/"loopback", an interface name
    // or a numeric address text bind that interface's addresses.
    bool bindToPort(uint16_t port, ErrorPtr* error = nullptr);
    bool bindToPort(uint16_t port, const std::optional<std::string>& interface, ErrorPtr* error);
    bool bindToAddress(const Bytes& address, ErrorPtr* error = nullptr);

    // Connecting: queued behind earlier sends; the outcome arrives as udpSocketDidConnect... or
    // udpSocketDidNotConnect. Answers false (with the error) when refused at once.
    bool connectToHost(const std::string& host, uint16_t port, ErrorPtr* error = nullptr);
    bool connectToAddress(const Bytes& address, ErrorPtr* error = nullptr);

    // Multicast membership (bound, unconnected sockets); success closes the other family.
    bool joinMulticastGroup(const std::string& group, ErrorPtr* error = nullptr);
    bool joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                            ErrorPtr* error);
    bool leaveMulticastGroup(const std::string& group, ErrorPtr* error = nullptr);
    bool leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                             ErrorPtr* error);

    // Sending. Returns at once; exactly one of udpSocketDidSendDataWithTag or
    // udpSocketDidNotSendDataWithTagDueToError follows unless the socket closes first. Empty
    // data is dropped without a callback. A negative time-out means none. An empty host text
    // counts as no host.
    void sendData(Bytes data, const std::string& host, uint16_t port, double timeout, int64_t tag);
    void sendData(Bytes data, const Bytes& address, double timeout, int64_t tag);
    // To the connected peer.
    void sendData(Bytes data, double timeout, int64_t tag);
    void sendData(Bytes data, int64_t tag) { sendData(std::move(data), -1.0, tag); }
    // The filter runs on its queue; a null filter clears it.
    void setSendFilter(QKGCDAsyncUdpSocketSendFilterBlock filter, DispatchQueuePtr queue,
                       bool isAsynchronous = true);
    // Closes once nothing is left to send.
    void closeAfterSending();

    // Receiving. Answer false (code 1) while no kernel socket exists.
    bool beginReceiving(ErrorPtr* error = nullptr);
    bool receiveOnce(ErrorPtr* error = nullptr);
    void pauseReceiving();
    void setReceiveFilter(QKGCDAsyncUdpSocketReceiveFilterBlock filter, DispatchQueuePtr queue,
                          bool isAsynchronous = true);

    bool isClosed() const;
    bool isConnected() const;
    // With sockets: whether that family's socket exists; without: whether it is enabled.
    bool isIPv4() const;
    bool isIPv6() const;
    void close();

    // Addresses (IPv4 values when an IPv4 socket exists, else IPv6); empty/0 when unknown.
    Bytes localAddress() const;
    std::string localHost() const;
    uint16_t localPort() const;
    Bytes localAddress_IPv4() const;
    std::string localHost_IPv4() const;
    uint16_t localPort_IPv4() const;
    Bytes localAddress_IPv6() const;
    std::string localHost_IPv6() const;
    uint16_t localPort_IPv6() const;
    Bytes connectedAddress() const;
    std::string connectedHost() const;
    uint16_t connectedPort() const;

    // Socket-queue utilities. A marked queue counts as the socket queue for the inline checks:
    // mark only a queue whose blocks never run alongside the socket queue's.
    void markSocketQueueTargetQueue(const DispatchQueuePtr& queue);
    void unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue);
    void performBlock(const std::function<void()>& block);
    // Descriptors; -1 unless called on the socket queue (performBlock).
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;
    // Backgrounding streams do not exist on this platform.
    bool enableBackgroundingOnSockets() { return false; }

    // Socket-address data.
    static bool getHost(std::string* host, uint16_t* port, int* family, const Bytes& address);
    static bool getHost(std::string* host, uint16_t* port, const Bytes& address);
    static std::string hostFromAddress(const Bytes& address);
    static uint16_t portFromAddress(const Bytes& address);
    static int familyFromAddress(const Bytes& address);
    static bool isIPv4Address(const Bytes& address);
    static bool isIPv6Address(const Bytes& address);

  private:
    struct Family;
    using Packet = std::shared_ptr<QKGCDAsyncUdpPacket>;

    // Applies the change on the socket queue: at once when already there, else queued holding
    // the socket until it has run.
    void update(std::function<void(QKGCDAsyncUdpSocket&)> change);

    Family& family(bool v4) { return v4 ? *f4_ : *f6_; }
    const Family& family(bool v4) const { return v4 ? *f4_ : *f6_; }

    bool preOp(ErrorPtr* error) const;
    bool preBind(ErrorPtr* error) const;
    bool createSockets(ErrorPtr* error);
    bool createSocket4Socket6(bool useIPv4, bool useIPv6, ErrorPtr* error);
    int createSocket(int domain, ErrorPtr* error);
    void setupSendAndReceiveSources(bool v4);
    void takeOwnPort(Family& f);
    void suspendSendSource(bool v4);
    void resumeSendSource(bool v4);
    void suspendReceiveSource(bool v4);
    void resumeReceiveSource(bool v4);
    void closeSocket(bool v4);
    void closeSockets();
    void closeWithError(ErrorPtr error);
    bool bindFamilies(const Bytes& address4, const Bytes& address6, bool lenientIPv6,
                      ErrorPtr* error);
    bool setSocketOption(int level, int option, int value, bool v4, ErrorPtr* error);
    bool multicastRequest(bool join, const std::string& group,
                          const std::optional<std::string>& interface, ErrorPtr* error);
    struct LocalAddress {
        Bytes address;
        std::string host;
        uint16_t port = 0;
    };
    // The local address of one family (nullopt: IPv4 when its socket exists, else IPv6).
    LocalAddress local(std::optional<bool> v4) const;

    // Sending.
    void enqueue(Packet packet);
    void asyncResolveHost(const std::string& host, uint16_t port,
                          std::function<void(std::vector<Bytes>, ErrorPtr)> completion);
    bool getAddress(Bytes* address, int* family, ErrorPtr* error,
                    const std::vector<Bytes>& addresses) const;
    void maybeDequeueSend();
    void dequeueStep();
    void doPreSend();
    void doSend();
    void doConnect();
    void failCurrentSend(const ErrorPtr& error);
    void endCurrentSend();
    void setupSendTimer(double timeout);
    void doSendTimeout();
    void onWriteEvent(bool v4);

    // Receiving.
    bool startReceiving(uint32_t mode, ErrorPtr* error);
    void onReadEvent(bool v4, unsigned long available);
    void doReceive();
    void filterAsynchronously(Bytes buffer, Bytes address);
    bool isConnectedTo(const Bytes& address) const;
    void suspendReadSourcesWithData();

    template <class Call>
    void notify(Call call);
    void notifyDidSendDataWithTag(int64_t tag);
    void notifyDidNotSendDataWithTag(int64_t tag, ErrorPtr error);
    void notifyDidReceiveData(Bytes data, Bytes address, std::any context);
    void notifyDidCloseWithError(ErrorPtr error);
    void notifyDidConnectToAddress(Bytes address);
    void notifyDidNotConnect(ErrorPtr error);

    // Fields below are touched only on the socket queue.
    std::weak_ptr<QKGCDAsyncUdpSocketDelegate> delegate_;
    DispatchQueuePtr delegateQueue_;
    QKGCDAsyncUdpSocketReceiveFilterBlock receiveFilterBlock_;
    DispatchQueuePtr receiveFilterQueue_;
    bool receiveFilterAsync_ = false;
    QKGCDAsyncUdpSocketSendFilterBlock sendFilterBlock_;
    DispatchQueuePtr sendFilterQueue_;
    bool sendFilterAsync_ = false;
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    uint16_t max4ReceiveSize_ = 65535;
    uint32_t max6ReceiveSize_ = 65535;
    uint16_t maxSendSize_ = 65535;
    const SocketQueue socketQueue_;
    std::unique_ptr<Family> f4_, f6_;
    std::shared_ptr<DispatchTimer> sendTimer_;
    Packet currentSend_;
    std::deque<Packet> sendQueue_;
    bool dequeueRunning_ = false;
    bool dequeueRequested_ = false;
    uint32_t pendingFilterOperations_ = 0;
    Bytes receiveScratch_;
    uint64_t openGeneration_ = 0;  // counts closes; late filter verdicts of an earlier open drop
    Bytes cachedConnectedAddress_;
    std::string cachedConnectedHost_;
    uint16_t cachedConnectedPort_ = 0;
    int cachedConnectedFamily_ = 0;
    std::any userData_;
    NotificationObserverToken foregroundObserver_;
};

}  // namespace telvo

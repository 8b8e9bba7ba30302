#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/crypto/Trust.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "sockets/SocketError.h"
#include "sockets/SocketQueue.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

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

// TLS failures: the status codes of the platform's TLS service.
inline constexpr char kCFStreamErrorDomainSSL[] = "kCFStreamErrorDomainSSL";
inline constexpr OSStatus errSSLProtocol = -9800;
inline constexpr OSStatus errSSLNegotiation = -9801;
inline constexpr OSStatus errSSLFatalAlert = -9802;
inline constexpr OSStatus errSSLClosedGraceful = -9805;
inline constexpr OSStatus errSSLClosedAbort = -9806;
inline constexpr OSStatus errSSLXCertChainInvalid = -9807;
inline constexpr OSStatus errSSLInternal = -9810;
inline constexpr OSStatus errSSLBadCipherSuite = -9818;
inline constexpr OSStatus errSSLPeerBadCert = -9825;
inline constexpr OSStatus errSSLHostNameMismatch = -9843;
inline constexpr OSStatus errSSLBadConfiguration = -9848;

// Settings of startTLS(). Keys with no meaning on OpenSSL (UseCFStreamForTLS, FalseStart,
// SendOneByteRecord) are accepted and ignored; so is any unknown key.
//   kCFStreamSSLPeerName (text): the name the server's certificate must carry, also sent as
//     the server name; a client without one (or with an empty one) checks the host it
//     connected to by name.
//   kCFStreamSSLIsServer (bool): this side answers the handshake.
//   kCFStreamSSLCertificates (array): this side's identity, a Value::object of SecIdentity,
//     then any intermediate certificates (DER bytes). Required on the server side.
//   ManuallyEvaluateTrust (bool, client side): the delegate decides on the server's chain
//     (socketDidReceiveTrustCompletionHandler) instead of the check against the system
//     anchors with the peer name. Either way the trust's anchors are those of URL loading:
//     URLSession::systemAnchorCertificates, or the system's trusted roots when none are set.
//   SSLPeerID (bytes, client side): sessions are kept under this key and resumed by later
//     connections that give the same key.
//   SSLProtocolVersionMin, SSLProtocolVersionMax (SSLProtocol numbers).
//   SSLCipherSuites (array of cipher suite numbers as registered for TLS): only these.
inline constexpr char kCFStreamSSLPeerName[] = "kCFStreamSSLPeerName";
inline constexpr char kCFStreamSSLIsServer[] = "kCFStreamSSLIsServer";
inline constexpr char kCFStreamSSLCertificates[] = "kCFStreamSSLCertificates";
inline constexpr char QKGCDAsyncSocketManuallyEvaluateTrust[] =
    "QKGCDAsyncSocketManuallyEvaluateTrust";
inline constexpr char QKGCDAsyncSocketUseCFStreamForTLS[] = "QKGCDAsyncSocketUseCFStreamForTLS";
inline constexpr char QKGCDAsyncSocketSSLPeerID[] = "QKGCDAsyncSocketSSLPeerID";
inline constexpr char QKGCDAsyncSocketSSLProtocolVersionMin[] =
    "QKGCDAsyncSocketSSLProtocolVersionMin";
inline constexpr char QKGCDAsyncSocketSSLProtocolVersionMax[] =
    "QKGCDAsyncSocketSSLProtocolVersionMax";
inline constexpr char QKGCDAsyncSocketSSLSessionOptionFalseStart[] =
    "QKGCDAsyncSocketSSLSessionOptionFalseStart";
inline constexpr char QKGCDAsyncSocketSSLSessionOptionSendOneByteRecord[] =
    "QKGCDAsyncSocketSSLSessionOptionSendOneByteRecord";
inline constexpr char QKGCDAsyncSocketSSLCipherSuites[] = "QKGCDAsyncSocketSSLCipherSuites";

// Protocol numbers of the version settings. SSL 2 and 3 and DTLS are refused; 0, All and
// MaxSupported leave the bound to OpenSSL.
enum SSLProtocol : int {
    kSSLProtocolUnknown = 0,
    kSSLProtocol3 = 2,
    kTLSProtocol1 = 4,
    kSSLProtocolAll = 6,
    kTLSProtocol11 = 7,
    kTLSProtocol12 = 8,
    kTLSProtocol13 = 10,
    kTLSProtocolMaxSupported = 999,
};

// Receiver of a socket's callbacks; every method is optional. The socket holds its delegate
// weakly. Every callback is queued asynchronously on the delegate queue, never run inside a
// call to the socket; the block holds the socket and the delegate until it has run, so the
// delegate may drop its socket inside any callback.
class QKGCDAsyncSocketDelegate {
  public:
    virtual ~QKGCDAsyncSocketDelegate() = default;

    // A listening socket accepted a connection from address: the queue for the new socket's
    // own socket queue (a serial queue), or null for a new one. Runs on the delegate queue.
    virtual DispatchQueuePtr newSocketQueueForConnectionFromAddressOnSocket(
        const Bytes& /*address*/, const QKGCDAsyncSocketPtr& /*sock*/) {
        return nullptr;
    }
    // The new socket is connected and shares the listener's delegate and delegate queue. Keep
    // it: a socket nobody holds closes at once.
    virtual void socketDidAcceptNewSocket(const QKGCDAsyncSocketPtr& /*sock*/,
                                          const QKGCDAsyncSocketPtr& /*newSocket*/) {}
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
    virtual void socketDidConnectToUrl(const QKGCDAsyncSocketPtr& /*sock*/,
                                       const std::string& /*url*/) {}
    // The TLS handshake is done; reads and writes queued after startTLS() now run.
    virtual void socketDidSecure(const QKGCDAsyncSocketPtr& /*sock*/) {}
    // With ManuallyEvaluateTrust: the server's chain, leaf first, with the SSL policy for the
    // peer name and the system anchors set. The handshake waits until completionHandler is
    // called (once, from any thread): true goes on, false fails with errSSLXCertChainInvalid.
    // The default refuses.
    virtual void socketDidReceiveTrustCompletionHandler(
        const QKGCDAsyncSocketPtr& /*sock*/, const std::shared_ptr<SecTrust>& /*trust*/,
        const std::function<void(bool)>& completionHandler) {
        completionHandler(false);
    }
    // The peer closed its sending side and the socket stays open (half-duplex mode).
    virtual void socketDidCloseReadStream(const QKGCDAsyncSocketPtr& /*sock*/) {}
    // Exactly once per close of a started socket. sock is null when the close comes from the
    // socket's destruction; error is null for disconnect() and destruction.
    virtual void socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& /*sock*/,
                                              const ErrorPtr& /*error*/) {}
};

// An asynchronous stream socket over IPv4, IPv6 and Unix-domain paths, as client or
// listener, with TLS on OpenSSL.
//
// Everything runs on the socket's serial queue; results reach the delegate on the delegate
// queue. Connecting is asynchronous: connectToHost() answers at once whether the attempt has
// begun (a refusal returns false with the error and no callback follows); success is reported
// by socketDidConnectToHostPort (socketDidConnectToUrl for a path), failure by
// socketDidDisconnectWithError. A listening socket makes one new socket per accepted
// connection. The platform's stream pair on the descriptor and backgrounding have no meaning
// on Linux: the socket has neither. Read and write
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

    // Connects to a Unix-domain socket: a path, or a "file://" URL of one.
    bool connectToUrl(const std::string& url, double timeout, ErrorPtr* error);

    // Listens on all addresses (both families when enabled; port 0 picks one, the same for
    // both), on one interface ("name" or numeric address), or on a Unix-domain path (a file
    // there that is a socket is replaced; the file is removed when the listener closes).
    // Synchronous; false with *error on refusal. Each accepted connection becomes a new
    // socket reported by socketDidAcceptNewSocket.
    bool acceptOnPort(uint16_t port, ErrorPtr* error);
    bool acceptOnInterface(const std::string& interface, uint16_t port, ErrorPtr* error);
    bool acceptOnUrl(const std::string& url, ErrorPtr* error);

    // A connected socket over a connected stream descriptor (IPv4, IPv6 or Unix-domain). On
    // success the socket owns fd; on failure (null, *error set) fd stays the caller's.
    static QKGCDAsyncSocketPtr socketFromConnectedSocketFD(int fd, DispatchQueuePtr socketQueue,
                                                           ErrorPtr* error);
    static QKGCDAsyncSocketPtr socketFromConnectedSocketFD(int fd, DelegatePtr delegate,
                                                           DispatchQueuePtr delegateQueue,
                                                           ErrorPtr* error);
    static QKGCDAsyncSocketPtr socketFromConnectedSocketFD(int fd, DelegatePtr delegate,
                                                           DispatchQueuePtr delegateQueue,
                                                           DispatchQueuePtr socketQueue,
                                                           ErrorPtr* error);

    // Queues a TLS handshake behind the reads and writes already queued (see the settings
    // keys above); requests queued later wait for it. socketDidSecure reports success; a
    // failure closes the socket with a kCFStreamErrorDomainSSL error (or code 2 for a setting
    // of the wrong kind). Asked while idle, disconnecting or after an earlier startTLS: ignored.
    // The handshake is bounded from its start (a delegate's trust decision included): by the
    // time-out the connect was given, else by that of the first read already queued behind the
    // TLS start when the handshake begins (on a connected socket with nothing queued before it,
    // that is at once, before a read asked after this call), else by kDefaultTLSHandshakeTimeout;
    // a handshake still running then closes the socket with QKGCDAsyncSocketConnectTimeoutError. A
    // server asking to renegotiate after the handshake (TLS 1.2 and earlier) is refused: the socket
    // closes with errSSLProtocol.
    void startTLS(Dictionary settings);
    static constexpr double kDefaultTLSHandshakeTimeout = 30.0;

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
    // Passing maxLength without the terminator closes with QKGCDAsyncSocketReadMaxedOutError;
    // without a maxLength (or 0), kDefaultTerminatorReadMaxLength applies, so that a peer that
    // never sends the terminator cannot grow the read without end.
    static constexpr uint64_t kDefaultTerminatorReadMaxLength = 64 * 1024;
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
    // The Unix-domain path of the peer (empty when none).
    std::string connectedUrl();
    // True once a TLS handshake has completed, until the close.
    bool isSecure();

    static std::string hostFromAddress(const Bytes& address);
    static uint16_t portFromAddress(const Bytes& address);
    static bool getHostPortFromAddress(std::string* host, uint16_t* port, const Bytes& address);
    static bool getHostPortFamilyFromAddress(std::string* host, uint16_t* port, int* family,
                                             const Bytes& address);
    static bool isIPv4Address(const Bytes& address);
    static bool isIPv6Address(const Bytes& address);

    // Raw access, valid on the socket queue only (elsewhere -1 and null). sslContext() is the
    // OpenSSL connection while TLS runs; it belongs to the socket.
    int socketFD();
    int socket4FD();
    int socket6FD();
    SSL* sslContext();
    // Runs the block on the socket queue and waits for it.
    void performBlock(const DispatchBlock& block);
    // A marked queue counts as the socket queue for the synchronous members and raw access:
    // mark only a queue whose blocks never run alongside the socket queue's. Marks end with
    // the socket.
    void markSocketQueueTargetQueue(const DispatchQueuePtr& queue);
    void unmarkSocketQueueTargetQueue(const DispatchQueuePtr& queue);

    // Returns data unchanged.
    Bytes handleReadData(Bytes data, bool shouldSendDelegate, int64_t tag);

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
    static ErrorPtr sslError(OSStatus status);

  private:
    struct Request;
    struct ReadPacket;
    struct WritePacket;
    class PreBuffer;
    struct Tls;

    // Queues the block on the socket queue; it is dropped when the socket is gone by then.
    void enqueue(std::function<void(QKGCDAsyncSocket&)> block);
    // Applies the change at once on the socket queue, else queues it as enqueue() does.
    void update(std::function<void(QKGCDAsyncSocket&)> change);
    void notify(std::function<void(QKGCDAsyncSocketDelegate&, const QKGCDAsyncSocketPtr&)> call);

    bool connectCommon(const std::string& host, const Bytes* address, uint16_t port,
                       const std::string& interface, double timeout, ErrorPtr* error);
    bool preStart(const char* action, ErrorPtr* error);
    bool preConnect(const std::string& interface, ErrorPtr* error);
    bool preConnectWithUrl(const std::string& url, Bytes* address, ErrorPtr* error);
    bool connectWithAddressUN(const Bytes& address, ErrorPtr* error);
    void lookupDidFail(int index, ErrorPtr error);
    void lookupDidSucceed(int index, const Bytes& address4, const Bytes& address6);
    bool connectWithAddresses(const Bytes& address4, const Bytes& address6, ErrorPtr* error);
    int createSocket(const Bytes& address, const Bytes& interface, ErrorPtr* error);
    void connectSocket(int fd, const Bytes& address, int index);
    void attemptFinished(int fd, int error, int index);
    void closeSocket(int fd);
    void didConnect(int index);
    bool setupReadAndWriteSourcesForNewlyConnectedSocket(int fd, ErrorPtr* error);

    bool listen(const Bytes& address4, const Bytes& address6, bool ipv6Optional, ErrorPtr* error);
    int createListener(const Bytes& address, ErrorPtr* error);
    std::shared_ptr<DispatchSource> startAcceptSource(int fd);
    bool doAccept(int parentFD);
    bool adoptConnectedFD(int fd, int family, ErrorPtr* error);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();
    void closeWithError(ErrorPtr error);
    void maybeClose();
    int connectedFD() const;

    void queueRead(std::shared_ptr<ReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    // One pass of doReadData over the current read: what it took and how it ended.
    struct ReadPass;
    void drainPreBuffer(ReadPass& pass);
    void readFromDescriptor(ReadPass& pass);
    void finishReadPass(ReadPass pass);
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

    // TLS (QKGCDAsyncSocketTLS.cpp).
    void maybeStartTLS();
    double tlsHandshakeTimeout() const;
    std::shared_ptr<Tls> makeTls(const Dictionary& settings, ErrorPtr* error);
    void continueHandshake();
    void handshakeDone();
    int verifyPeer(X509_STORE_CTX* store);
    enum class Fill { none, eof, failed };
    Fill sslFill(ErrorPtr* error);
    void sslReadIntoPreBuffer(bool* eof, bool* waiting, ErrorPtr* error);
    uint64_t sslWrite(const WritePacket& packet, bool* waiting, ErrorPtr* error);
    bool flushSslOutput(ErrorPtr* error);
    bool sslHasBufferedInput() const;
    void sslClose();
    ErrorPtr endOfStreamError() const;

    // Every field below is used on socketQueue_ only.
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    DelegatePtr delegate_;
    DispatchQueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int socketUN_ = -1;
    std::string socketUrl_;  // the path a Unix-domain listener made, removed at its close
    int stateIndex_ = 0;
    Bytes connectInterface4_;
    Bytes connectInterface6_;
    const SocketQueue socketQueue_;
    std::shared_ptr<DispatchSource> accept4Source_;
    std::shared_ptr<DispatchSource> accept6Source_;
    std::shared_ptr<DispatchSource> acceptUNSource_;
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
    std::shared_ptr<Tls> sslContext_;
    uint64_t sslWriteCachedLength_ = 0;
    OSStatus sslErrCode_ = 0;
    OSStatus lastSSLHandshakeError_ = 0;
    std::string connectHost_;     // what the last connect was given, the default TLS peer name
    double connectTimeout_ = -1;  // the last connect's time-out, a bound of the TLS handshake
    std::shared_ptr<void> userData_;
    double alternateAddressDelay_ = 0.3;
};

}  // namespace telvo

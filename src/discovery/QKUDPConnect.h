#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "protocol/QKProtocol.h"
#include "sockets/QKGCDAsyncUdpSocket.h"
#include "telvosdk/Value.h"

namespace telvo {

// The receiver of discovery results: the discovery manager.
class QKUDPConnectProtocol {
  public:
    virtual ~QKUDPConnectProtocol() = default;
    // One discovered appliance: a device dictionary.
    virtual void deviceDicFromLan(const std::shared_ptr<Value>& /*deviceDic*/) {}
    // One raw datagram, after a probe of a caller's own message type.
    virtual void deviceFromUDPConfig(const Bytes& /*data*/) {}
};

// The UDP endpoint of LAN discovery, one for the process. Its first probe opens three sockets:
// the sender, which hears replies on its own port, and listeners on the two reply ports
// (NetworkConfiguration: DiscoveryReplyA and DiscoveryReplyB), bound with reuse-port. The
// probe goes to the Wi-Fi interface's IPv4 broadcast address on the probe port.
//
// Every datagram any of the sockets receives becomes its own device dictionary (the reply
// parser's keys plus kQKSDKDeviceId, the frame header's appliance ID in decimal, and
// "oriUdpData", the datagram as received), handed to the delegate on the receiving socket's
// queue: "com.TelvoSDK.UDPSocket1" (sender and first listener) or "com.TelvoSDK.UDPSocket2".
// The delegate is held weakly. Datagrams of sockets already released reach nobody.
class QKUDPConnect : public QKGCDAsyncUdpSocketDelegate,
                     public std::enable_shared_from_this<QKUDPConnect> {
  public:
    static std::shared_ptr<QKUDPConnect> sharedKorvoUdpConnect();

    // Sends one probe: the frame, or with nullptr a discovery request (0x92) built afresh.
    // Makes or reopens the three sockets first. Without a broadcast address the send fails
    // on the socket and is only logged.
    void sendBroadCast(std::shared_ptr<QKProtocol> frame);
    // Lets the three sockets and their queues go; the next probe makes new ones.
    void releaseUdp();

    // The error with which a discovery socket last closed; cleared by every datagram received.
    ErrorPtr socketError() const;
    std::shared_ptr<QKUDPConnectProtocol> delegate() const;
    void setDelegate(std::weak_ptr<QKUDPConnectProtocol> delegate);
    // The probe frame sent last.
    std::shared_ptr<QKProtocol> broadcastProtocol() const;
    bool connectdeviceAdderss() const;

    // The sockets and queues, made (sockets also configured, or reopened when closed) on use.
    QKGCDAsyncUdpSocketPtr sendAndListenSocket();
    QKGCDAsyncUdpSocketPtr listenSocket();
    QKGCDAsyncUdpSocketPtr listenSocket2();
    DispatchQueuePtr iUdpQueue1();
    DispatchQueuePtr iUdpQueue2();
    DispatchQueuePtr iUdpQueue3();

    // The reply handling of one datagram, on the caller's thread: clears socketError, then
    // hands the delegate a device dictionary (after a 0x92 probe) or the raw datagram.
    void handleReceivedDatagram(const Bytes& data);
    // A discovery reply's device dictionary, as the delegate gets it; nullptr for a datagram
    // that is not a frame with at least 40 body bytes. A body the parser refuses gives only the
    // ID and the datagram.
    static std::shared_ptr<Value> deviceDicFromDatagram(const Bytes& data);

    // QKGCDAsyncUdpSocketDelegate.
    void udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr& sock,
                                      const Bytes& address) override;
    void udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr& sock, const ErrorPtr& error) override;
    void udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr& sock, int64_t tag) override;
    void udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr& sock, int64_t tag,
                                                  const ErrorPtr& error) override;
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const QKGCDAsyncUdpSocketPtr& sock,
                                                             const Bytes& data,
                                                             const Bytes& address,
                                                             const std::any& context) override;
    void udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr& sock,
                                    const ErrorPtr& error) override;

    // Tests: sockets released, delegate, probe and error cleared.
    static void resetForTesting();

  private:
    QKUDPConnect() = default;
    enum class Role { Sender, ListenerA, ListenerB };
    QKGCDAsyncUdpSocketPtr socket(Role role);
    DispatchQueuePtr queue(DispatchQueuePtr& field, const char* label);
    void configure(const QKGCDAsyncUdpSocketPtr& sock, Role role);
    bool holds(const QKGCDAsyncUdpSocketPtr& sock) const;

    mutable std::mutex mutex_;
    bool connectdeviceAdderss_ = false;
    std::weak_ptr<QKUDPConnectProtocol> delegate_;
    ErrorPtr socketError_;
    QKGCDAsyncUdpSocketPtr sendAndListenSocket_;
    QKGCDAsyncUdpSocketPtr listenSocket_;
    QKGCDAsyncUdpSocketPtr listenSocket2_;
    DispatchQueuePtr iUdpQueue1_;
    DispatchQueuePtr iUdpQueue2_;
    DispatchQueuePtr iUdpQueue3_;
    std::shared_ptr<QKProtocol> broadcastProtocol_;
};

}  // namespace telvo

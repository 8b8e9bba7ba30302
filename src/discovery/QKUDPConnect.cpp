#include "discovery/QKUDPConnect.h"

#include <charconv>
#include <iterator>

#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/net/NetworkConfiguration.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

namespace {

constexpr int16_t kDiscoveryMsgType = 0x92;
constexpr int64_t kProbeTag = 1;

const char* describeError(const ErrorPtr& error) {
    return error ? error->localizedDescription().c_str() : "(null)";
}

}  // namespace

std::shared_ptr<QKUDPConnect> QKUDPConnect::sharedKorvoUdpConnect() {
    return processWide([] { return new std::shared_ptr<QKUDPConnect>(new QKUDPConnect()); });
}

DispatchQueuePtr QKUDPConnect::queue(DispatchQueuePtr& field, const char* label) {
    std::lock_guard lock(mutex_);
    if (!field) field = DispatchQueue::createSerial(label);
    return field;
}

DispatchQueuePtr QKUDPConnect::iUdpQueue1() {
    return queue(iUdpQueue1_, "com.TelvoSDK.UDPSocket1");
}
DispatchQueuePtr QKUDPConnect::iUdpQueue2() {
    return queue(iUdpQueue2_, "com.TelvoSDK.UDPSocket2");
}
DispatchQueuePtr QKUDPConnect::iUdpQueue3() {
    return queue(iUdpQueue3_, "com.TelvoSDK.UDPSocket3");
}

QKGCDAsyncUdpSocketPtr QKUDPConnect::sendAndListenSocket() {
    return socket(Role::Sender);
}
QKGCDAsyncUdpSocketPtr QKUDPConnect::listenSocket() {
    return socket(Role::ListenerA);
}
QKGCDAsyncUdpSocketPtr QKUDPConnect::listenSocket2() {
    return socket(Role::ListenerB);
}

QKGCDAsyncUdpSocketPtr QKUDPConnect::socket(Role role) {
    DispatchQueuePtr delegateQueue = role == Role::ListenerB ? iUdpQueue2() : iUdpQueue1();
    QKGCDAsyncUdpSocketPtr sock;
    bool made = false;
    {
        std::lock_guard lock(mutex_);
        QKGCDAsyncUdpSocketPtr& field = role == Role::Sender      ? sendAndListenSocket_
                                        : role == Role::ListenerA ? listenSocket_
                                                                  : listenSocket2_;
        if (!field) {
            field = std::make_shared<QKGCDAsyncUdpSocket>(weak_from_this(), delegateQueue);
            made = true;
        }
        sock = field;
    }
    // A socket that closed while held is opened again, the same object.
    if (made || sock->isClosed()) configure(sock, role);
    return sock;
}

void QKUDPConnect::configure(const QKGCDAsyncUdpSocketPtr& sock, Role role) {
    const bool listener = role != Role::Sender;
    ErrorPtr error;
    if (listener && !sock->enableReusePort(true, &error))
        QKSDKLOG("Error enableReusePort error:%s", describeError(error));
    if (!sock->enableBroadcast(true, &error)) QKSDKLOG("Error enableBroadcast");
    if (listener) {
        const uint16_t port = fixedPort(role == Role::ListenerA ? NetworkPort::DiscoveryReplyA
                                                                : NetworkPort::DiscoveryReplyB);
        if (!sock->bindToPort(port, &error))
            QKSDKLOG("Error starting (bind) error:%s", describeError(error));
    }
    if (!sock->beginReceiving(&error)) QKSDKLOG("Error beginReceiving  (bind)");
}

void QKUDPConnect::sendBroadCast(std::shared_ptr<QKProtocol> frame) {
    listenSocket();
    listenSocket2();
    if (!frame) {
        frame = std::make_shared<QKProtocol>();
        frame->findDeviceInLanWithDic();
    }
    {
        std::lock_guard lock(mutex_);
        broadcastProtocol_ = frame;
    }
    Bytes bytes = frame->getByteStream();
    if (bytes.empty()) {
        QKSDKLOG("[InitWifi] broadcast frame could not be written; nothing sent");
        return;
    }
    const std::string destination = QKTool::getIPBordcastAddress().value_or("");
    sendAndListenSocket()->sendData(std::move(bytes), destination,
                                    fixedPort(NetworkPort::DiscoveryProbe), -1, kProbeTag);
}

void QKUDPConnect::releaseUdp() {
    QKGCDAsyncUdpSocketPtr sockets[3];
    {
        std::lock_guard lock(mutex_);
        sockets[0] = std::move(sendAndListenSocket_);
        sockets[1] = std::move(listenSocket_);
        sockets[2] = std::move(listenSocket2_);
        sendAndListenSocket_ = listenSocket_ = listenSocket2_ = nullptr;
        iUdpQueue1_ = iUdpQueue2_ = iUdpQueue3_ = nullptr;
    }
    for (auto& sock : sockets)
        if (sock) sock->setDelegate(std::weak_ptr<QKGCDAsyncUdpSocketDelegate>());
}

ErrorPtr QKUDPConnect::socketError() const {
    std::lock_guard lock(mutex_);
    return socketError_;
}

std::shared_ptr<QKUDPConnectProtocol> QKUDPConnect::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void QKUDPConnect::setDelegate(std::weak_ptr<QKUDPConnectProtocol> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<QKProtocol> QKUDPConnect::broadcastProtocol() const {
    std::lock_guard lock(mutex_);
    return broadcastProtocol_;
}

bool QKUDPConnect::connectdeviceAdderss() const {
    std::lock_guard lock(mutex_);
    return connectdeviceAdderss_;
}

bool QKUDPConnect::holds(const QKGCDAsyncUdpSocketPtr& sock) const {
    std::lock_guard lock(mutex_);
    return sock &&
           (sock == sendAndListenSocket_ || sock == listenSocket_ || sock == listenSocket2_);
}

std::shared_ptr<Value> QKUDPConnect::deviceDicFromDatagram(const Bytes& data) {
    auto frame = QKProtocol::initWithNSData(data);
    if (!frame || !frame->messageArray() || frame->messageArray()->size() < 40) return nullptr;
    auto parsed = QKProtocol::getUdpDeviceWithMessageArray(*frame->messageArray(), frame.get());
    // The shared dictionary is made once, around the parsed one.
    auto record = std::make_shared<Value>(parsed ? std::move(*parsed) : Dictionary{});
    Dictionary& dic = record->mutableDictionary();
    char id[24];
    const auto written = std::to_chars(std::begin(id), std::end(id), frame->deviceID());
    dic.set(kQKSDKDeviceId, std::string(id, written.ptr));
    dic.set("oriUdpData", data);
    return record;
}

void QKUDPConnect::handleReceivedDatagram(const Bytes& data) {
    std::shared_ptr<QKProtocol> probe;
    std::shared_ptr<QKUDPConnectProtocol> receiver;
    {
        std::lock_guard lock(mutex_);
        socketError_ = nullptr;
        probe = broadcastProtocol_;
        receiver = delegate_.lock();
    }
    if (probe && probe->msgType() == kDiscoveryMsgType) {
        auto dic = deviceDicFromDatagram(data);
        if (!dic) return;
        if (!receiver) {
            QKSDKLOG("delegate消失了");
            return;
        }
        receiver->deviceDicFromLan(dic);
        return;
    }
    if (data.size() < 57) return;
    QKSDKLOG("[InitWifi] udp config reply, byte 6: %d", data[6]);
    if (!receiver) {
        QKSDKLOG("delegate消失了");
        return;
    }
    receiver->deviceFromUDPConfig(data);
}

void QKUDPConnect::udpSocketDidReceiveDataFromAddressWithFilterContext(
    const QKGCDAsyncUdpSocketPtr& sock, const Bytes& data, const Bytes&, const std::any&) {
    if (holds(sock)) handleReceivedDatagram(data);
}

void QKUDPConnect::udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr&, const Bytes&) {
    QKSDKLOG("[InitWifi] udpSocket didConnectToAddress");
    std::lock_guard lock(mutex_);
    connectdeviceAdderss_ = true;
}

void QKUDPConnect::udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr&, const ErrorPtr& error) {
    QKSDKLOG("[InitWifi] udpSocket didNotConnect: %s", describeError(error));
}

void QKUDPConnect::udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr&, int64_t tag) {
    QKSDKLOG("[InitWifi] udpSocket didSendDataWithTag %lld", static_cast<long long>(tag));
}

void QKUDPConnect::udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr&, int64_t,
                                                            const ErrorPtr&) {
    QKSDKLOG("[InitWifi] udpSocket didNotSendDataWithTag");
}

void QKUDPConnect::udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr& sock,
                                              const ErrorPtr& error) {
    QKSDKLOG("[InitWifi] udpSocketDidClose error: %s", describeError(error));
    if (!holds(sock)) return;
    std::lock_guard lock(mutex_);
    socketError_ = error;
}

void QKUDPConnect::resetForTesting() {
    auto self = sharedKorvoUdpConnect();
    self->releaseUdp();
    std::lock_guard lock(self->mutex_);
    self->delegate_.reset();
    self->socketError_ = nullptr;
    self->broadcastProtocol_ = nullptr;
    self->connectdeviceAdderss_ = false;
}

}  // namespace telvo

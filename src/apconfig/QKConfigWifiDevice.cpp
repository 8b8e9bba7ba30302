// Kept as one file: the commands below share the request path's queue, slot and timings.

#include "apconfig/QKConfigWifiDevice.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>

#include "core/QKTool.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchTimer.h"
#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr double kTcpConnectTimeout = 3.0;
constexpr double kRefusedDelay = 1.0;
constexpr double kRetryDelay = 2.0;
constexpr double kHeartInterval = 3.0;
constexpr double kCommandTimeout = 10.0;
constexpr int64_t kSlotAttempts = 3;
constexpr int64_t kCounterWindow = 100;
constexpr double kNoTimeout = -1;
constexpr size_t kMinReplyFrame = 56;
constexpr size_t kReplyWrapperSize = 8;

ErrorPtr linkError() {
    return TelvoError::sdkErrorWithType(2, 6002);
}

bool isFailure(const ErrorPtr& error) {
    return error && error->code() != 0;
}

Bytes bodyOf(const std::shared_ptr<QKProtocol>& reply) {
    return reply && reply->messageArray() ? *reply->messageArray() : Bytes{};
}

std::string describeValue(const Value& value) {
    return value.toJSON().value_or("(null)");
}

void logCurrentWifi(const char* format) {
    QKTool::currentWifiInfoWithBlock(
        [format](const std::optional<std::string>& ssid, const std::string&, auto) {
            QKSDKLOG_TAG(nullptr, "%s%s", format, ssid ? ssid->c_str() : "(null)");
        });
}

// How many bytes at the start of buf make the next frame: its length field when the header is
// plausible (magic and at least a bare frame), the whole buffer when it is not. 0: wait for more.
size_t nextFrameSize(ByteView buf) {
    const size_t offset = QKProtocol::isSSTPacketWithData(buf) ? kReplyWrapperSize : 0;
    const uint8_t magic[] = {0x5A, 0x5A};
    for (size_t i = 0; i < 2 && offset + i < buf.size(); ++i) {
        if (buf[offset + i] != magic[i]) return buf.size();
    }
    if (buf.size() < offset + 6) return 0;
    const size_t length = buf[offset + 4] | size_t{buf[offset + 5]} << 8;
    if (length < kMinReplyFrame) return buf.size();
    return buf.size() < offset + length ? 0 : offset + length;
}

// Whether the bytes begin with a frame header (magic and a plausible length).
bool beginsFrame(ByteView buf) {
    const size_t offset = QKProtocol::isSSTPacketWithData(buf) ? kReplyWrapperSize : 0;
    if (buf.size() < offset + 6 || buf[offset] != 0x5A || buf[offset + 1] != 0x5A) return false;
    return (buf[offset + 4] | size_t{buf[offset + 5]} << 8) >= kMinReplyFrame;
}

}  // namespace

std::shared_ptr<QKConfigWifiDevice> QKConfigWifiDevice::create(std::string ip, std::string port,
                                                               ConnectCompletion competion) {
    auto session = std::make_shared<QKConfigWifiDevice>(Token{}, std::move(ip), std::move(port),
                                                        std::move(competion));
    session->setUp();
    return session;
}

QKConfigWifiDevice::QKConfigWifiDevice(Token, std::string ip, std::string port,
                                       ConnectCompletion competion)
    : ip_(std::move(ip)),
      port_(std::move(port)),
      competionBlock_(std::move(competion)),
      queue_(DispatchQueue::createSerial("QKConfigWifiDevice")) {}

void QKConfigWifiDevice::setUp() {
    socket_ = QKGCDAsyncSocket::create(weak_from_this(), queue_);
    QKSDKLOG("[InitWifi] InitWifi");
}

QKConfigWifiDevice::~QKConfigWifiDevice() {
    reportDropped();
    releaseHeartTimer();
    crypto::wipe(ecdhSessionKey_);
    if (socket_) {
        socket_->synchronouslySetDelegate({});
        socket_->disconnect();
    }
}

void QKConfigWifiDevice::runOnQueue(std::function<void(QKConfigWifiDevice&)> step) {
    queue_->async([self = shared_from_this(), step = std::move(step)] { step(*self); });
}

// ---- Connection

void QKConfigWifiDevice::startConnecWithEnableHeart(bool enableHeart) {
    runOnQueue([enableHeart](QKConfigWifiDevice& self) { self.connect(enableHeart); });
}

bool QKConfigWifiDevice::connectedNow() const {
    return socket_ && tcpConnectStatus_ && socket_->isConnected();
}

void QKConfigWifiDevice::connect(bool enableHeart) {
    if (stopped_ || (socket_ && socket_->isConnected())) return;
    // A fresh socket per attempt: events of a cut-off attempt cannot reach the session.
    if (socket_) {
        socket_->synchronouslySetDelegate({});
        socket_->disconnect();
    }
    socket_ = QKGCDAsyncSocket::create(weak_from_this(), queue_);
    tcpConnectStatus_ = false;
    enableHeart_ = enableHeart;
    const auto port = static_cast<uint16_t>(std::strtol(port_.c_str(), nullptr, 10));
    ErrorPtr error;
    const bool started = socket_->connectToHost(ip_, port, kTcpConnectTimeout, &error);
    const std::string why = error ? error->localizedDescription() : "(null)";
    QKSDKLOG("tcp connect:%s-------ip：%s----------port:%ld", why.c_str(), ip_.c_str(), long{port});
    connecting_ = started;
    if (!started && error) {
        QKSDKLOG("tcp connect fail:%s-------ip：%s----------port:%ld", why.c_str(), ip_.c_str(),
                 long{port});
        connectLater(kRefusedDelay, enableHeart);
    }
}

// Reconnects unless connected or a connect is under way.
void QKConfigWifiDevice::ensureConnecting() {
    if (!connecting_ && !connectedNow()) connect(true);
}

void QKConfigWifiDevice::connectLater(double seconds, bool enableHeart) {
    std::weak_ptr<QKConfigWifiDevice> weak = weak_from_this();
    queue_->after(seconds, [weak, enableHeart] {
        auto self = weak.lock();
        if (self && !self->connecting_ && !self->connectedNow()) self->connect(enableHeart);
    });
}

void QKConfigWifiDevice::socketDidConnectToHostPort(const QKGCDAsyncSocketPtr& sock,
                                                    const std::string&, uint16_t) {
    if (!sock || sock != socket_) return;
    connecting_ = false;
    tcpConnectStatus_ = true;
    internalRetryCount_ = 0;
    tlsLastCntId_ = 0;
    heartbeatsUnanswered_ = 0;
    received_.clear();
    QKSDKLOG("[InitWifi] TCP建立连接");
    // Small request frames go out at once instead of waiting for the previous one's ACK.
    sock->performBlock([&sock] {
        int on = 1;
        ::setsockopt(sock->socketFD(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    });
    readNext();
    if (enableHeart_) startHeartPackage();
    if (competionBlock_) {
        DispatchQueue::main()->async([block = competionBlock_] { block(TelvoError::sucError()); });
    }
    // The request waiting for the connection is tried now, on every completed connect while it
    // is pending and not already waiting for its reply.
    if (slot_) excuteWithTask(slot_, kCommandTimeout);
}

void QKConfigWifiDevice::socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& sock,
                                                      const ErrorPtr& error) {
    if (!sock || sock != socket_) return;
    const bool wasUp = tcpConnectStatus_;
    connecting_ = false;
    tcpConnectStatus_ = false;
    received_.clear();
    reportDropped();
    const std::string why = error ? error->localizedDescription() : "(null)";
    QKSDKLOG("[InitWifi] TCP连接断开 err[%s]", why.c_str());
    if (!wasUp) connectLater(kRetryDelay, true);
}

void QKConfigWifiDevice::socketDidWriteDataWithTag(const QKGCDAsyncSocketPtr&, int64_t tag) {
    if (tag != kHeartTag) QKSDKLOG("[InitWifi] didWriteDataWithTag = %ld", long(tag));
}

void QKConfigWifiDevice::socketDidReadDataWithTag(const QKGCDAsyncSocketPtr& sock, Bytes data,
                                                  int64_t) {
    if (!sock || sock != socket_) return;
    didReceiveData(std::move(data));
    readNext();
}

// One read is always outstanding while connected, so that no byte waits in the kernel for a
// request to ask for it.
void QKConfigWifiDevice::readNext() {
    if (socket_ && tcpConnectStatus_) socket_->readDataWithTimeout(kNoTimeout, 0);
}

void QKConfigWifiDevice::stopInitWifi() {
    QKSDKLOG("[InitWifi] stopInitWifi");
    releaseHeartTimer();
    queue_->sync([this] {
        stopped_ = true;
        connecting_ = false;
        tcpConnectStatus_ = false;
        reportDropped();
        if (socket_) {
            socket_->synchronouslySetDelegate({});
            socket_->disconnect();
        }
        socket_ = nullptr;
    });
    std::lock_guard lock(mutex_);
    crypto::wipe(ecdhSessionKey_);
}

// ---- Heartbeat

void QKConfigWifiDevice::startHeartPackage() {
    std::weak_ptr<QKConfigWifiDevice> weak = weak_from_this();
    auto timer = DispatchTimer::create(DispatchQueue::main(), [weak] {
        if (auto self = weak.lock()) self->sendHeartPackage();
    });
    std::shared_ptr<DispatchTimer> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(heartTimer_, timer);
    }
    if (old) old->cancel();
    timer->start(kHeartInterval, kHeartInterval);
}

void QKConfigWifiDevice::releaseHeartTimer() {
    std::shared_ptr<DispatchTimer> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(heartTimer_, nullptr);
    }
    if (old) old->cancel();
}

bool QKConfigWifiDevice::heartbeatRunning() const {
    std::lock_guard lock(mutex_);
    return heartTimer_ != nullptr;
}

void QKConfigWifiDevice::sendHeartPackage() {
    runOnQueue([](QKConfigWifiDevice& self) {
        if (!self.connectedNow()) return;
        const int8_t version = self.connectProtocolVer();
        const auto counterBlock = self.antiReplayCountBlock();
        const int64_t counter = version == 3 && counterBlock ? counterBlock() : 0;
        QKProtocol frame(version, self.ecdhSessionKey(), counter);
        frame.heartbeatDataWithDeviceId(self.deviceID());
        Bytes bytes = frame.getByteStream();
        if (bytes.empty()) return;
        self.socket_->writeData(std::move(bytes), kNoTimeout, kHeartTag);
        ++self.heartbeatsUnanswered_;
    });
}

// ---- Requests

std::string QKConfigWifiDevice::getKeyByTimeAndTag(int32_t tag) {
    return std::to_string(tag);
}

int32_t QKConfigWifiDevice::getTagFromKey(const std::string& key) {
    return static_cast<int32_t>(std::strtol(key.c_str(), nullptr, 10));
}

void QKConfigWifiDevice::addTaskToListWithKey(const std::string& key,
                                              std::shared_ptr<QKTransportItem> task) {
    taskList_.setObject(std::move(task), key);
}

std::shared_ptr<QKTransportItem> QKConfigWifiDevice::queryTaskFromListWithTag(int32_t tag) const {
    return taskList_.objectForKey(getKeyByTimeAndTag(tag)).value_or(nullptr);
}

bool QKConfigWifiDevice::isPending(const ItemPtr& item) const {
    return item && queryTaskFromListWithTag(item->tagId) == item;
}

void QKConfigWifiDevice::writeData(Bytes data, double timeout, int32_t tag,
                                   ReplyCompletion competion) {
    runOnQueue([data = std::move(data), timeout, tag,
                competion = std::move(competion)](QKConfigWifiDevice& self) mutable {
        self.writeOnQueue(std::move(data), timeout, tag, std::move(competion));
    });
}

void QKConfigWifiDevice::writeOnQueue(Bytes data, double timeout, int32_t tag,
                                      ReplyCompletion competion) {
    const std::string key = getKeyByTimeAndTag(tag);
    auto item =
        QKTransportItem::transportItemWithTag(tag, key, std::move(data), std::move(competion));
    // A request under the same tag is displaced: it ends now instead of never.
    if (auto displaced = queryTaskFromListWithTag(tag)) finish(displaced, linkError(), nullptr);
    addTaskToListWithKey(key, item);
    if (item->data.empty()) {
        QKSDKLOG("发送TCP指令socket无法建立,tag = %d", tag);
        finish(item, linkError(), nullptr);
    } else if (connectedNow()) {
        excuteWithTask(item, timeout);
    } else {
        handToSlot(item, timeout);
    }
}

// excuteWithTask:timeout:competion: — the request waits for the connection.
void QKConfigWifiDevice::handToSlot(const ItemPtr& item, double timeout) {
    if (connectedNow()) {
        slot_ = nullptr;
        excuteWithTask(item, timeout);
        return;
    }
    if (internalRetryCount_ >= kSlotAttempts) {
        QKSDKLOG("发送TCP指令socket无法建立,tag = %d", item->tagId);
        finish(item, linkError(), nullptr);
        return;
    }
    ++internalRetryCount_;
    if (slot_ && slot_ != item) {
        QKSDKLOG("发送TCP指令socket无法建立,tag = %d", slot_->tagId);
        finish(slot_, linkError(), nullptr);
    }
    slot_ = item;
    ensureConnecting();
    // While every connect fails the request spends its tries like any other.
    tryLater(item, timeout);
}

// One try of a request (excuteWithTask:timeout:).
void QKConfigWifiDevice::excuteWithTask(const ItemPtr& item, double timeout) {
    // A request that has finished, or whose reply is awaited already, is not sent again.
    if (!isPending(item) || item->timer) return;
    if (connectedNow()) {
        // The timer holds the session until the request finishes (which cancels it).
        auto timerCell = std::make_shared<std::weak_ptr<QKTimer>>();
        std::weak_ptr<QKTransportItem> weakItem = item;
        item->startTimerWithIntervel(
            timeout, [self = shared_from_this(), weakItem, timerCell, timeout] {
                auto item = weakItem.lock();
                auto timer = timerCell->lock();
                if (!item || !timer) return;
                self->runOnQueue([item, timer, timeout](QKConfigWifiDevice& session) {
                    session.tryTimedOut(item, timer, timeout);
                });
            });
        *timerCell = item->timer;
        socket_->writeData(item->data, kNoTimeout, item->tagId);
        return;
    }
    if (item->leftCount > 0) {
        --item->leftCount;
        ensureConnecting();
        tryLater(item, timeout);
        return;
    }
    QKSDKLOG("发送TCP指令socket无法建立,tag = %d", item->tagId);
    finish(item, linkError(), nullptr);
}

void QKConfigWifiDevice::tryLater(const ItemPtr& item, double timeout) {
    // Holds the session: a pending request always reaches its completion.
    queue_->after(kRetryDelay, [self = shared_from_this(), item, timeout] {
        self->excuteWithTask(item, timeout);
    });
}

void QKConfigWifiDevice::tryTimedOut(const ItemPtr& item, const std::shared_ptr<QKTimer>& timer,
                                     double timeout) {
    if (!isPending(item) || item->timer != timer) return;
    item->releaseTimer();
    if (item->retryCount > 0) {
        QKSDKLOG("发送TCP指令超时,重试一次 tag = %d", item->tagId);
        --item->retryCount;
        tryLater(item, timeout);
        return;
    }
    QKSDKLOG("发送TCP指令超时,tag = %d", item->tagId);
    finish(item, linkError(), nullptr);
}

void QKConfigWifiDevice::finish(ItemPtr item, const ErrorPtr& error,
                                std::shared_ptr<QKProtocol> reply) {
    auto taken = taskList_.takeObjectForKey(item->key);
    if (taken && *taken != item) {
        taskList_.setObject(*taken, item->key);
        return;
    }
    if (!taken) return;
    item->releaseTimer();
    if (slot_ == item) slot_ = nullptr;
    if (!item->transportCompetion) return;
    DispatchQueue::main()->async([block = std::move(item->transportCompetion), error,
                                  reply = std::move(reply)] { block(error, reply); });
}

void QKConfigWifiDevice::resultCenter(const ErrorPtr& error, int32_t tag,
                                      std::shared_ptr<QKProtocol> protocol) {
    runOnQueue([error, tag, protocol = std::move(protocol)](QKConfigWifiDevice& self) {
        if (auto item = self.queryTaskFromListWithTag(tag)) self.finish(item, error, protocol);
    });
}

// ---- Receiving

void QKConfigWifiDevice::didReceiveData(Bytes data) {
    // TCP keeps order, so the rest of a frame comes before anything the appliance writes
    // later: a read that begins a new frame means the one begun earlier was cut off. Its rest
    // would otherwise be taken from the new frame, and both would be lost or misread.
    if (!received_.empty() && beginsFrame(data)) {
        noteDropped(Drop::cutOff, received_.size());
        received_.clear();
    }
    received_.insert(received_.end(), data.begin(), data.end());
    // The frames are taken in turn and their bytes dropped in one step: a read of many small
    // frames costs its length, not its length times their number.
    size_t taken = 0;
    while (taken < received_.size()) {
        const size_t size = nextFrameSize(ByteView(received_).subspan(taken));
        if (size == 0) break;
        const auto from = received_.begin() + static_cast<ptrdiff_t>(taken);
        handleFrame(Bytes(from, from + static_cast<ptrdiff_t>(size)));
        taken += size;
    }
    received_.erase(received_.begin(), received_.begin() + static_cast<ptrdiff_t>(taken));
}

void QKConfigWifiDevice::handleFrame(ByteView chunk) {
    auto frame = QKProtocol::initWithNSData(chunk, ecdhSessionKey());
    const ByteView bytes =
        QKProtocol::isSSTPacketWithData(chunk) && chunk.size() > kReplyWrapperSize
            ? chunk.subspan(kReplyWrapperSize)
            : chunk;
    if (!frame || bytes.size() <= kMinReplyFrame) {
        noteDropped(Drop::noFrame, chunk.size());
        return;
    }
    if (!frame->messageArray()) {
        noteDropped(frame->encryptType() == 2 ? Drop::unauthenticated : Drop::undecryptable,
                    chunk.size());
        return;
    }
    ErrorPtr error = TelvoError::sucError();
    if (frame->protocolVer() == 3) {
        if (frame->cntId() - tlsLastCntId_ >= kCounterWindow) {
            QKSDKLOG("校验cnt失败，tlsLastCntId：%ld, cntId:%ld", long(tlsLastCntId_),
                     long(frame->cntId()));
            error = TelvoError::errorWithType(1, 1, 9998, "");
        }
        tlsLastCntId_ = frame->cntId();
    }
    // Only a reply to a heartbeat or a request of this session is logged on its own; any other
    // frame is counted with the dropped ones.
    if (bytes[6] == 0x7B && heartbeatsUnanswered_ > 0) {
        --heartbeatsUnanswered_;
        reportDropped();
        QKSDKLOG("收到心跳回应 ");
        return;
    }
    const unsigned type = bytes[6] | unsigned{bytes[7]} << 8;
    const auto item = bytes[6] == 0x7B || type == 0x40 || type == 0x44
                          ? nullptr
                          : queryTaskFromListWithTag(frame->tag());
    if (!item) {
        noteDropped(Drop::unrequested, chunk.size());
        return;
    }
    reportDropped();
    QKSDKLOG("msgType=%d---tag:%d, data:%s", bytes[6], frame->tag(), maskedBody(chunk).c_str());
    finish(item, error, frame);
}

void QKConfigWifiDevice::noteDropped(Drop kind, size_t bytes) {
    if (dropped_.note(kind, bytes)) reportDropped();
}

void QKConfigWifiDevice::reportDropped() {
    if (dropped_.empty()) return;
    const auto burst = dropped_.take();
    QKSDKLOG(
        "[InitWifi] dropped %zu bytes (pieces that are no frame %zu, frames cut off %zu, "
        "frames that do not authenticate %zu, frames that do not decrypt %zu, frames no request "
        "waits for %zu)",
        burst.bytes, burst.of(Drop::noFrame), burst.of(Drop::cutOff),
        burst.of(Drop::unauthenticated), burst.of(Drop::undecryptable),
        burst.of(Drop::unrequested));
}

// ---- Command operations

void QKConfigWifiDevice::sendCommand(std::shared_ptr<QKProtocol> protocol, const char* step,
                                     ReplyCompletion competion) {
    runOnQueue([protocol = std::move(protocol), step,
                competion = std::move(competion)](QKConfigWifiDevice& self) mutable {
        // A tag that a pending request holds is drawn again.
        uint32_t tag;
        do {
            tag = QKCommonProtocol::getCommandId();
        } while (self.queryTaskFromListWithTag(static_cast<int32_t>(tag)));
        protocol->setTag(static_cast<int32_t>(tag));
        Bytes bytes = protocol->getByteStream();
        QKSDKLOG("%s msgTag=%d", step, protocol->tag());
        self.writeOnQueue(std::move(bytes), kCommandTimeout, protocol->tag(), std::move(competion));
    });
}

void QKConfigWifiDevice::setDeviceIdWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                 TextCompletion competion) {
    QKSDKLOG("[InitWifi] setDeviceId 0x43");
    sendCommand(std::move(protocol), "0x43",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    if (isFailure(error)) {
                        QKSDKLOG("[InitWifi] 0x43 time out");
                        return competion(TelvoError::sdkErrorWithType(1, 4014), std::nullopt);
                    }
                    competion(TelvoError::sucError(), std::to_string(reply->deviceID()));
                });
}

void QKConfigWifiDevice::getDeviceSubTypeWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                      TextCompletion competion) {
    QKSDKLOG("[InitWifi] getDeviceSubType");
    setDeviceID(protocol->deviceID());
    sendCommand(std::move(protocol), "0x20",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    if (isFailure(error)) {
                        QKSDKLOG("[InitWifi] 0x20 A0 time out");
                        return competion(TelvoError::sucError(), "0");
                    }
                    const Bytes body = bodyOf(reply);
                    if (body.size() <= 13) {
                        QKSDKLOG("[InitWifi] 0x20 A0 消息体异常");
                        return competion(TelvoError::sucError(), "0");
                    }
                    const int subType = body[12] + 256 * body[13];
                    QKSDKLOG("[InitWifi] 0x20 reply 设备子类型是%d", subType);
                    competion(TelvoError::sucError(), std::to_string(subType));
                });
}

void QKConfigWifiDevice::findWifiAPListWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                    ListCompletion block) {
    QKSDKLOG("[InitWifi] findWifiAPList");
    sendCommand(
        std::move(protocol), "0x6b",
        [block](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
            if (!block) return;
            if (isFailure(error)) {
                QKSDKLOG("[InitWifi] 0x6b time out");
                return block(TelvoError::sdkErrorWithType(1, 4019), std::nullopt);
            }
            Value::Array list =
                QKProtocol::getWifiListWithByteArray(bodyOf(reply)).value_or(Value::Array{});
            QKSDKLOG("获取周边wifi列表为:%s", describeValue(Value(list)).c_str());
            block(TelvoError::sucError(), std::move(list));
        });
}

void QKConfigWifiDevice::linkWifiAPWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                ErrorCompletion competion) {
    QKSDKLOG("[InitWifi] linkWifiAPWithSSID");
    QKSDKLOG("发送旧设备的配网指令");
    std::weak_ptr<QKConfigWifiDevice> weak = weak_from_this();
    sendCommand(std::move(protocol), "0x68",
                [weak, competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (isFailure(error)) {
                        QKSDKLOG("[InitWifi] 0x68 time out");
                        if (competion) competion(TelvoError::sdkErrorWithType(1, 4025));
                        return;
                    }
                    auto self = weak.lock();
                    if (bodyOf(reply) == Bytes{0, 0} && self) {
                        QKSDKLOG("[InitWifi] 0x68 旧模块wifi ssid+pass设置成功");
                        self->wifiDeviceSetStatusSTAWithBlock(competion);
                        return;
                    }
                    QKSDKLOG("[InitWifi] 0x68 旧模块wifi ssid+pass设置失败");
                    if (competion) competion(TelvoError::sdkErrorWithType(1, 4024));
                });
}

void QKConfigWifiDevice::wifiDeviceSetStatusSTAWithBlock(ErrorCompletion block) {
    QKSDKLOG("[InitWifi] wifiDeviceSetStatusSTA");
    auto frame = std::make_shared<QKProtocol>();
    frame->switchWifiStatusToAP(false);
    frame->setDeviceID(deviceID());
    sendCommand(std::move(frame), "0x81",
                [block](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (isFailure(error)) {
                        QKSDKLOG("[InitWifi] 0x81 time out");
                        if (block) block(TelvoError::sdkErrorWithType(1, 4029));
                        return;
                    }
                    if (bodyOf(reply) == Bytes{2}) {
                        logCurrentWifi("[InitWifi] 0x81 STA状态切换成功 currentSSID = ");
                        if (block) block(TelvoError::sucError());
                        return;
                    }
                    QKSDKLOG("[InitWifi] 0x81 STA状态切换失败");
                    if (block) block(TelvoError::sdkErrorWithType(1, 4029));
                });
}

void QKConfigWifiDevice::linkWifiAPWithNewDeviceProtocol(std::shared_ptr<QKProtocol> protocol,
                                                         ErrorCompletion competion) {
    logCurrentWifi("[InitWifi] currentwifi=");
    sendCommand(std::move(protocol), "0x70",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    if (isFailure(error))
                        return competion(TelvoError::configNetErrorWithCode(4023));
                    if (reply->msgType() != 0x70)
                        return competion(TelvoError::configNetErrorWithCode(4135));
                    const Bytes body = bodyOf(reply);
                    QKSDKLOG("0x70 body = %s", maskedBody(body).c_str());
                    // An empty body is success (no error).
                    competion(QKProtocol::handleConfigWiFiAndPWDResp(body));
                });
}

void QKConfigWifiDevice::checkFormerConfigInfoWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                           DictionaryCompletion competion) {
    logCurrentWifi("[InitWifi] currentwifi=");
    sendCommand(std::move(protocol), "0x71",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    if (isFailure(error)) {
                        QKSDKLOG("查询模组前次配网状态error=%s",
                                 error->localizedDescription().c_str());
                        return competion(std::nullopt);
                    }
                    if (reply->msgType() != 0x71) {
                        QKSDKLOG("查询模组前次配网状态指令格式不符 消息类型不匹配");
                        return competion(std::nullopt);
                    }
                    const Bytes body = bodyOf(reply);
                    QKSDKLOG("0x71 body = %s", maskedBody(body).c_str());
                    competion(QKProtocol::handleLastTimeConfigResp(body));
                });
}

void QKConfigWifiDevice::getGroupDeviceWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                    ListCompletion competion) {
    sendCommand(std::move(protocol), "0x74",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    Value::Array list;
                    if (!isFailure(error) && reply->msgType() == 0x74) {
                        const Bytes body = bodyOf(reply);
                        QKSDKLOG("0x74 body = %s", maskedBody(body).c_str());
                        list = QKProtocol::handleGroupDeviceResp(body);
                    }
                    competion(error, std::move(list));
                });
}

void QKConfigWifiDevice::sendTLSKeyAgreementWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                                         int subCmd,
                                                         ErrorDictionaryCompletion competion) {
    QKSDKLOG("0x75 send subCmd:%d", subCmd);
    sendCommand(std::move(protocol), "0x75",
                [competion](const ErrorPtr& error, std::shared_ptr<QKProtocol> reply) {
                    if (!competion) return;
                    if (isFailure(error)) return competion(error, std::nullopt);
                    if (reply->msgType() != 0x75) {
                        QKSDKLOG("TLS密钥协商指令格式不符 消息类型不匹配");
                        return competion(error, std::nullopt);
                    }
                    const Bytes body = bodyOf(reply);
                    QKSDKLOG("0x75 body = %s", maskedBody(body).c_str());
                    competion(error, QKCommonProtocol::dicForAesKeyTLSReplyWithData(body));
                });
}

// ---- Properties

bool QKConfigWifiDevice::tcpConnectStatus() const {
    return queue_->syncResult([this] { return tcpConnectStatus_; });
}
bool QKConfigWifiDevice::enableHeart() const {
    return queue_->syncResult([this] { return enableHeart_; });
}
QKGCDAsyncSocketPtr QKConfigWifiDevice::socket() const {
    return queue_->syncResult([this] { return socket_; });
}
int64_t QKConfigWifiDevice::internalRetryCount() const {
    return queue_->syncResult([this] { return internalRetryCount_; });
}
int64_t QKConfigWifiDevice::tlsLastCntId() const {
    return queue_->syncResult([this] { return tlsLastCntId_; });
}

int8_t QKConfigWifiDevice::connectProtocolVer() const {
    std::lock_guard lock(mutex_);
    return connectProtocolVer_;
}
void QKConfigWifiDevice::setConnectProtocolVer(int8_t version) {
    std::lock_guard lock(mutex_);
    connectProtocolVer_ = version;
}
std::string QKConfigWifiDevice::applianceSSID() const {
    std::lock_guard lock(mutex_);
    return applianceSSID_;
}
void QKConfigWifiDevice::setApplianceSSID(std::string ssid) {
    std::lock_guard lock(mutex_);
    applianceSSID_ = std::move(ssid);
}
std::string QKConfigWifiDevice::deviceSN() const {
    std::lock_guard lock(mutex_);
    return deviceSN_;
}
void QKConfigWifiDevice::setDeviceSN(std::string sn) {
    std::lock_guard lock(mutex_);
    deviceSN_ = std::move(sn);
}
int64_t QKConfigWifiDevice::deviceID() const {
    std::lock_guard lock(mutex_);
    return deviceID_;
}
void QKConfigWifiDevice::setDeviceID(int64_t deviceId) {
    std::lock_guard lock(mutex_);
    deviceID_ = deviceId;
}
std::optional<Bytes> QKConfigWifiDevice::ecdhSessionKey() const {
    std::lock_guard lock(mutex_);
    return ecdhSessionKey_;
}
void QKConfigWifiDevice::setEcdhSessionKey(std::optional<Bytes> key) {
    std::lock_guard lock(mutex_);
    ecdhSessionKey_ = std::move(key);
}
std::function<int64_t()> QKConfigWifiDevice::antiReplayCountBlock() const {
    std::lock_guard lock(mutex_);
    return antiReplayCountBlock_;
}
void QKConfigWifiDevice::setAntiReplayCountBlock(std::function<int64_t()> block) {
    std::lock_guard lock(mutex_);
    antiReplayCountBlock_ = std::move(block);
}

}  // namespace telvo

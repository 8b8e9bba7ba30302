#include "blecore/CBPeripheralQKExtensions.h"
#include "blecore/QKBLEBaseConnect.h"
#include "blecore/QKBLEBaseConnectInternal.h"
#include "core/QKTool.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKCommonProtocol.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

using namespace blebase;

namespace {

constexpr const char* kChunkStep = "sendDataChunk";
constexpr double kChunkSpacing = 0.02;
constexpr double kResendDelay = 5.0;
constexpr int64_t kMaxResends = 3;
constexpr uint32_t kWriteWithoutResponseOnly = CBCharacteristicProperty::WriteWithoutResponse;

std::string resendStep(int64_t msgType) {
    return "reSendDataStrategy:" + std::to_string(msgType);
}

}  // namespace

// ---- Messaging.

int64_t QKBLEBaseConnect::getApAntiReplayCount() {
    if (++tlsAntiReplayCnt_ >= 0x10000) tlsAntiReplayCnt_ = 1;
    return tlsAntiReplayCnt_;
}

void QKBLEBaseConnect::sendBody(ByteView body, int64_t msgType,
                                const CBCharacteristicPtr& characteristic) {
    sendStoredBody(std::make_shared<Bytes>(body.begin(), body.end()), msgType, characteristic);
}

void QKBLEBaseConnect::sendStoredBody(const std::shared_ptr<Bytes>& body, int64_t msgType,
                                      const CBCharacteristicPtr& characteristic) {
    const int64_t counter = getApAntiReplayCount();
    const auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(
        *body, aesKey_, msgType, bleDevice_ ? bleDevice_->protocolType : 0, counter);
    if (frame)
        sendData(*frame, characteristic);
    else
        QKSDKLOG("ble sendData frame not built, msgType=%ld", long(msgType));
    if (!(writeCharacteristic_ && writeCharacteristic_->properties() == kWriteWithoutResponseOnly))
        handleReSendDataStrategy(body, msgType, characteristic);
}

void QKBLEBaseConnect::sendData(ByteView frame, const CBCharacteristicPtr& characteristic) {
    const size_t size = size_t(QKTool::getBleMTUWithPeripheral(peripheral_));
    const CBCharacteristicPtr target = characteristic ? characteristic : writeCharacteristic_;
    const bool withoutResponse = target && target->properties() == kWriteWithoutResponseOnly;
    QKSDKLOG("ble sendData BLE_SEND_MAX_LEN is %ld, msgData=%s", long(size),
             maskedBody(frame).c_str());
    if (withoutResponse)
        QKSDKLOG("ble sendData 特征属性 CBCharacteristicPropertyWriteWithoutResponse");
    for (size_t offset = 0; offset < frame.size(); offset += size) {
        const bool cut = offset + size < frame.size();
        const ByteView piece = frame.subspan(offset, cut ? size : frame.size() - offset);
        QKSDKLOG("写数据时候的外设与特征值 base：%s---%s, cut:%d, package: %s",
                 peripheral_ ? peripheral_->identifier().UUIDString().c_str() : "(null)",
                 target ? target->UUID().UUIDString().c_str() : "(null)", cut,
                 maskedBody(piece).c_str());
        chunks_.push_back({Bytes(piece.begin(), piece.end()), target, withoutResponse});
    }
    if (!chunkTimerArmed_) writeNextChunk();
}

void QKBLEBaseConnect::writeNextChunk() {
    chunkTimerArmed_ = false;
    while (!chunks_.empty()) {
        Chunk chunk = std::move(chunks_.front());
        chunks_.pop_front();
        // Without a link to write to, the piece is dropped and takes no turn.
        if (!writeCharacteristic_ || !peripheral_) continue;
        peripheral_->writeValue(chunk.data, chunk.target,
                                chunk.withoutResponse ? CBCharacteristicWriteType::WithoutResponse
                                                      : CBCharacteristicWriteType::WithResponse);
        // The next write, of this frame or a later one, waits its turn.
        chunkTimerArmed_ = true;
        MainLoop::performAfterDelay(this, kChunkStep, kChunkSpacing,
                                    [self = shared_from_this()] { self->writeNextChunk(); });
        return;
    }
}

void QKBLEBaseConnect::dropPendingChunks() {
    chunks_.clear();
    chunkTimerArmed_ = false;
    MainLoop::cancelPreviousPerformRequests(this, kChunkStep);
}

void QKBLEBaseConnect::handleReSendDataStrategy(const std::shared_ptr<Bytes>& body, int64_t msgType,
                                                const CBCharacteristicPtr& characteristic) {
    auto record = qkSessionRecord(peripheral_);
    if (body->empty() || !record || !record->writeWithResponseDict) return;
    auto& pending = *record->writeWithResponseDict;
    const Dictionary entry = pending.objectForKey(msgType).value_or(Dictionary{});
    const int64_t count = entry["writeCount"].int64Value();
    // A resend hands the stored body back: the same object, not merely equal bytes.
    const bool resend = entry["msgBody"].objectAs<Bytes>() == body;
    const int64_t writeCount = resend ? count + 1 : count == 0 ? 1 : count;
    Dictionary next;
    next.set("writeCount", writeCount);
    next.set("msgBody", Value::object(body));
    if (characteristic) next.set("CBCharacteristic", Value::object(characteristic));
    pending.setObject(next, msgType);
    QKSDKLOG("【BLE】:sendData--msgDict:writeCount=%ld body=%s--msgType:%ld", long(writeCount),
             maskedBody(*body).c_str(), long(msgType));
    MainLoop::performAfterDelay(this, resendStep(msgType), kResendDelay,
                                [self = shared_from_this(), body, msgType] {
                                    self->reSendDataStrategySelector(body, msgType);
                                });
}

void QKBLEBaseConnect::reSendDataStrategySelector(const std::shared_ptr<Bytes>& body,
                                                  int64_t msgType) {
    auto record = qkSessionRecord(peripheral_);
    if (!body || !record || !record->writeWithResponseDict) return;
    const Dictionary entry =
        record->writeWithResponseDict->objectForKey(msgType).value_or(Dictionary{});
    const int64_t count = entry["writeCount"].int64Value();
    QKSDKLOG("【BLE】:delayReSendData--delayMsgDict:writeCount=%ld--msgType:%ld", long(count),
             long(msgType));
    if (count < 1 || entry["msgBody"].objectAs<Bytes>() != body) return;
    if (count <= kMaxResends)
        sendStoredBody(body, msgType, entry["CBCharacteristic"].objectAs<CBCharacteristic>());
    else
        finalResultWithError(bleErrorWithCode(4179), nullptr, true);
}

void QKBLEBaseConnect::cancelSendDataStrategySelector(int64_t msgType) {
    auto record = qkSessionRecord(peripheral_);
    if (!record || !record->writeWithResponseDict) return;
    if (!record->writeWithResponseDict->takeObjectForKey(msgType)) return;
    QKSDKLOG("【BLE】:cancelDelaySendData--msgType:%ld", long(msgType));
    MainLoop::cancelPreviousPerformRequests(this, resendStep(msgType));
}

void QKBLEBaseConnect::cancelAllSendDataStrategySelector() {
    auto record = qkSessionRecord(peripheral_);
    if (!record || !record->writeWithResponseDict) return;
    for (int64_t msgType : record->writeWithResponseDict->allKeys())
        cancelSendDataStrategySelector(msgType);
}

void QKBLEBaseConnect::receiveBleData(const std::optional<Bytes>& data) {
    if (!data) return;
    QKSDKLOG("接收蓝牙，原始数据:%s", maskedBody(*data).c_str());
    if (isPauseConfig_) {
        QKSDKLOG("总配网已暂停--忽略蓝牙解析包数据");
        return;
    }
    // Each frame is handled as it comes, so that one the session cannot open (a frame start
    // whose check value held by chance) leaves the assembler the other readings to try.
    auto keep = shared_from_this();
    bool paused = false;
    assembler_.receive(*data, bleDevice_ ? bleDevice_->protocolType : 0, [&](Bytes frame) {
        if (!paused && isPauseConfig_) {
            QKSDKLOG("总配网已暂停--忽略蓝牙解析包数据");
            paused = true;
        }
        return paused || baseReceiveData(frame);
    });
}

bool QKBLEBaseConnect::baseReceiveData(ByteView bytes) {
    QKSDKLOG("接收蓝牙，已完整做分发处理finalData: %s", maskedBody(bytes).c_str());
    const int64_t protocolType = bleDevice_ ? bleDevice_->protocolType : 0;
    auto frame = QKBLEProtocol::initProtocolData(bytes, aesKey_, protocolType);
    if (!frame) {
        QKSDKLOG("接收蓝牙，帧无法解析，丢弃");
        return false;
    }
    // Before the key is agreed only the exchange may speak: anything else would be read (and
    // answered) under the public root key, or from an appliance not yet verified.
    if (!keyAgreed_ && !isKeyExchangeAnswer(frame->msgType())) {
        noteFrameBeforeKey(bytes.size());
        return false;
    }
    // A frame that does not decrypt is not the appliance's answer: it must not cancel a
    // resend, move the counter or reach a flow.
    if (!frame->decrptMsgBody()) {
        QKSDKLOG("接收蓝牙，解密失败，丢弃 msgType=%ld", long(frame->msgType()));
        return false;
    }
    auto keep = shared_from_this();
    cancelSendDataStrategySelector(frame->msgType());
    const Bytes& body = *frame->decrptMsgBody();
    QKSDKLOG("接收蓝牙，解密后的消息提数据: %s", maskedBody(body).c_str());
    if (protocolType == 3) {
        if (frame->cntId() - tlsLastCntId_ >= 100) {
            QKSDKLOG("校验cnt失败，tlsLastCntId：%ld, cntId:%ld", long(tlsLastCntId_),
                     long(frame->cntId()));
            finalResultWithError(TelvoError::sdkErrorWithType(1, 9999), nullptr, true);
            return true;
        }
        tlsLastCntId_ = frame->cntId();
    }
    if (frame->msgType() == 0x10) {
        if (auto dict = QKCommonProtocol::dicForAesKeyTLSReplyWithData(body)) {
            const int64_t subCmd = (*dict)["subCmd"].int64Value();
            if (subCmd == 1 || subCmd == 3)
                receiveTLSAesKeyCommondWithData(body, *dict);
            else if (subCmd == 2)
                receiveTLSAesKeyAuthWithData(body, *dict);
        }
    } else if (frame->msgType() == 0x01) {
        receiveAesKeyCommondWithData(body);
    }
    receiveProtocol(frame);
    return true;
}

void QKBLEBaseConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>&) {}

void QKBLEBaseConnect::noteFrameBeforeKey(size_t bytes) {
    if (framesBeforeKey_.note(BeforeKey::frame, bytes)) reportFramesBeforeKey();
}

void QKBLEBaseConnect::reportFramesBeforeKey() {
    if (framesBeforeKey_.empty()) return;
    const auto burst = framesBeforeKey_.take();
    QKSDKLOG("接收蓝牙，密钥协商完成前的帧已丢弃: %zu 帧, %zu 字节", burst.of(BeforeKey::frame),
             burst.bytes);
}

int64_t QKBLEBaseConnect::getSmartErrorCodeWithData(int32_t moduleCode) {
    static const int64_t table[] = {4056, 4094, 4058, 4059, 4060, 4061, 4062, 4063, 4064,
                                    4065, 4066, 4098, 4099, 4100, 4101, 4115, 4116, 4117,
                                    4118, 4119, 4120, 4121, 4165, 4166, 4173, 4082, 4082,
                                    4082, 4082, 4082, 4082, 4174, 4175, 4176};
    if (moduleCode < 1 || moduleCode > 34) return 4082;
    return table[moduleCode - 1];
}

void QKBLEBaseConnect::receiveErrorFromModuleWithData(ByteView data) {
    // Shorter reports carry no module code.
    if (data.size() < 3) return;
    if (data.size() >= 10 && (data[8] | data[9] << 8) == 0x0011) {
        QKSDKLOG("step6.1:路由连接阶段 status code =%d", 0x11);
        finalResultWithError(bleErrorWithCode(4192), nullptr, true);
        return;
    }
    const int64_t sdk = getSmartErrorCodeWithData(data[2]);
    const ErrorPtr error = bleErrorWithCode(sdk);
    moduleErrorCode_ = error->code();
    if (sdk == 4176) return;
    if (sdk == 4175) {
        QKSDKLOG("蓝牙配网路由器信号弱=%d", int(data[2]));
        updateBlockWithState(17);
        return;
    }
    if (sdk == 4094) {
        if (iConfigModel_.bleType == 0 || isPauseConfig_) return;
        pauseTotalTimer();
        releaseTimer();
        QKSDKLOG("【BLE】pwd wrong");
        if (configCompletion_) configCompletion_(error, getDeviceInfo(Dictionary{}));
        return;
    }
    QKSDKLOG("step6.1:模块状态上报 终极错误信息=%d", int(data[2]));
    finalResultWithError(error, nullptr, true);
}

}  // namespace telvo

#include "bleflows/QKBleSecondWiredConnect.h"

#include "bleflows/QKBleSecondStart.h"
#include "bleflows/QKBleStatusAnswer.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

namespace {

constexpr int64_t kWiredStatus = 0x63;
constexpr int64_t kProduct = 0x40;
constexpr int64_t kConfig = 0x69;
constexpr int64_t kWiredReport = 0x0D;

// A stage report of this flow carries the cable state in byte 7.
constexpr size_t kStageReportLength = 8;
constexpr size_t kCableOffset = 7;

using Answer = QKBleStatusAnswer;

}  // namespace

void QKBleSecondWiredConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    QKDeviceBleConfigParams& m = mutableConfigModel();
    Answer::copyStartParams(params, m);
    m.isWiredConfigurable = params.isWiredConfigurable;
    m.isWiredStatus = params.isWiredStatus;

    setConfigEnded(false);
    setBlocks(std::move(update), std::move(completion));
    continueSecondFamilyStart(*this, params);
}

void QKBleSecondWiredConnect::resumeConfigWithParams(const QKDeviceBleConfigParams& params) {
    if (isConfigEnded()) {
        QKSDKLOG("【BLE】网关配网 已结束, 忽略恢复");
        return;
    }
    resumeTotalTimer();
    Answer::takeResumedRouter(params, mutableConfigModel());
    // Without an agreed key (a reconnect's exchange under way) isReady sends them later.
    if (isKeyAgreed()) sendConfigInfo();
}

void QKBleSecondWiredConnect::isReady() {
    QKSDKLOG("【BLE】网关配网 密钥交换完成, 查询状态");
    checkBleStatus(0);
}

void QKBleSecondWiredConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol || !protocol->decrptMsgBody()) return;
    const Bytes& body = *protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case kWiredStatus:
            receiveCheckStatusCommondWithData(body);
            Answer::publishStepInfo(*bleDevice());
            updateBlockWithState(Answer::kStatusStep);
            break;
        case kProduct:
            receiveProductCommondWithData(body);
            break;
        case kConfig:
            hasSendConfigPremode = true;
            receiveSendConfigInfoCommondWithData(body);
            break;
        case kWiredReport:
            receiveUpdateStatusCommondWithData(body);
            break;
        default:
            break;
    }
}

void QKBleSecondWiredConnect::checkBleStatus(uint8_t queryType) {
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(queryType), kWiredStatus);
}

void QKBleSecondWiredConnect::receiveCheckStatusCommondWithData(ByteView data) {
    if (Answer::takeFullStatus(data, *bleDevice())) {
        Answer::publishStepInfo(*bleDevice());
        sendConfigInfo();
        return;
    }
    if (data.size() == 3 && data[0] == Answer::kFormShort) {
        if (data[2] != 0) {
            receiveErrorFromModuleWithData(data);
        } else if (data[1] == 1) {
            sendConfigInfo();
        }
        return;
    }
    if (auto entries = Answer::parseCapabilityList(data)) {
        for (const auto& entry : *entries) {
            if (entry.id != Answer::kCapabilitySetOfSystem) continue;
            bleDevice()->setofsystem = true;
            getProductInfo();
            return;
        }
        checkBleStatus(0);
    }
}

void QKBleSecondWiredConnect::getProductInfo() {
    sendBody(QKBLEProtocol::msgBodyForGetProduct(), kProduct);
}

void QKBleSecondWiredConnect::receiveProductCommondWithData(ByteView data) {
    if (auto products = Answer::parseProductList(data)) bleDevice()->productInfoData = *products;
    checkBleStatus(0);
}

ErrorPtr QKBleSecondWiredConnect::checkParamIntegrity() {
    const int64_t code = Answer::checkParamIntegrity(*bleDevice(), mutableConfigModel());
    return code ? bleErrorWithCode(code) : nullptr;
}

void QKBleSecondWiredConnect::sendConfigInfo() {
    std::lock_guard lock(sendLock_);
    isSupportBLEApExist = true;
    setRandomNum(Answer::makeConfigRandomNum(configModel()));
    mutableConfigModel().randomNum = randomNum();
    if (mode == 1 && Answer::matchesTargetSerial(dsn, bleDevice()->deviceSn))
        mode = configModel().isWiredConfigurable ? 5 : 2;
    const bool wired = configModel().isWiredConfigurable && configModel().isWiredStatus;
    QKSDKLOG("【BLE】网关配网 发送配网信息 mode=%lld wired=%d", static_cast<long long>(mode),
             wired);
    const auto modeByte = static_cast<uint8_t>(mode);
    const auto body = wired ? QKBLEProtocol::msgBodyWired(configModel(), modeByte)
                            : QKBLEProtocol::msgBodyForPreConnect(configModel(), modeByte);
    if (!body) {
        // A text or a list too long for its length byte: nothing can be sent.
        finalResultWithError(bleErrorWithCode(8000), nullptr, true);
        return;
    }
    sendBody(*body, kConfig);
    if (mode == 0) hasSendConfigPremode = true;
    updateBlockWithState(6);
}

void QKBleSecondWiredConnect::receiveSendConfigInfoCommondWithData(ByteView data) {
    if (data.empty()) return;
    QKSDKLOG("【BLE】网关配网 配网信息回复=%d mode=%lld", int(data[0]),
             static_cast<long long>(mode));
    int64_t code = 0;
    switch (data[0]) {
        case Answer::kWifiJoining:
            if (mode != 0) startCloudCheck();
            return;
        case Answer::kWifiAlreadyConnected:
            startCloudCheck();
            isSupportBLEApExist = false;
            return;
        case 0x01:
            code = 4097;
            break;
        case 0x02:
            code = 4096;
            break;
        case 0x06:
            code = 4145;
            break;
        default:
            code = 4053;
            break;
    }
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

void QKBleSecondWiredConnect::receiveUpdateStatusCommondWithData(ByteView data) {
    if (data.empty()) return;
    if (data[0] == Answer::kReportSerial) {
        if (auto report = Answer::parseModuleReport(data)) bleDevice()->deviceSn = report->deviceSn;
        return;
    }
    if (data[0] != Answer::kReportStage || data.size() < kStageReportLength) return;

    const uint8_t stage = data[1];
    if (const int64_t step = Answer::progressForStage(stage)) {
        updateBlockWithState(step);
    } else if (stage == Answer::kStageLoggedIn) {
        bleDevice()->checkRandom = false;
        if (isSupportBLEApExist) findDeviceDo();
    }
    // A report that ended the flow (as found) brings no module error after it.
    if (data[2] != 0 && !isConfigEnded()) receiveErrorFromModuleWithData(data);

    if (data[kCableOffset] == 1) {
        bleDevice()->isWiredStatus = true;
        updateBlockWithState(19);
    } else {
        bleDevice()->isWiredStatus = false;
        releaseTimer();
        releaseTotalTimer();
        updateBlockWithState(18);
    }
}

void QKBleSecondWiredConnect::findDeviceDo() {
    QKSDKLOG("【BLE】网关配网 findDeviceDo mode=%lld findDevice=%d", static_cast<long long>(mode),
             findDevice());
    QKBLEBaseConnect::findDeviceDo();
}

}  // namespace telvo

#include "bleflows/QKBleSecondRetryConnect.h"

#include "blecore/QKBLEDeviceManager.h"
#include "bleflows/QKBleStatusAnswer.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

using Answer = QKBleStatusAnswer;

constexpr int64_t kBindAndVerify = 0x04;
constexpr int64_t kRetryStatus = 0x63;
constexpr int64_t kRouterUpdate = 0x67;
constexpr int64_t kWifiInfo = 0x69;
constexpr int64_t kModuleReport = 0x0D;
constexpr size_t kTokenSize = 16;
constexpr double kReportGateDelay = 2.0;

std::optional<Dictionary> smartDictionary(const CBPeripheralPtr& peripheral) {
    auto record = qkExtensions(peripheral);
    return record ? record->qkSmartDictonary : std::nullopt;
}

}  // namespace

void QKBleSecondRetryConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    configEnded_ = false;
    QKDeviceBleConfigParams& m = mutableConfigModel();
    Answer::copyStartParams(params, m);
    m.regionIdEnable = params.regionIdEnable;
    isSupport0DReceive = false;
    if (const Value* flag = params.extras.find(kQKSDKIsSupportRetryConnectRandom);
        flag && flag->isNumber())
        isSupportRetryConnectRandom = flag->boolValue();
    setBlocks(std::move(update), std::move(completion));
    device().bleVersion = "1";
    device().deviceSn = params.deviceSN.value_or("");
    m.bindCode = params.bindCode;
    m.isHaveNoBleConfig = params.isHaveNoBleConfig;
    if (m.isHaveNoBleConfig) {
        if (ErrorPtr error = checkParamIntegrity()) {
            finalResultWithError(error, nullptr, true);
            return;
        }
    }
    mode = params.bleSecondConfigType;
    m.routerBSSID = QKTool::safeSetBssid(params.routerBSSID);
    releaseTotalTimer();
    connect();
}

void QKBleSecondRetryConnect::resumeConfigWithParams(const QKDeviceBleConfigParams& params) {
    if (configEnded_) {
        QKSDKLOG("[BLE] retry: resume ignored, the configuration has ended");
        return;
    }
    Answer::takeResumedRouter(params, mutableConfigModel());
    // Without an agreed key (a reconnect's exchange under way) isReady sends them later.
    if (isKeyAgreed()) sendConfigInfo();
}

void QKBleSecondRetryConnect::disconnect() {
    // Every end of the run (and a stop) disconnects; the wrong-password pause does not.
    configEnded_ = true;
    QKBLEBaseConnect::disconnect();
}

void QKBleSecondRetryConnect::isReady() {
    mutableConfigModel().isHaveNoBleConfig =
        !QKBLEDeviceManager::bleAdvIsBeConfigedWithDict(smartDictionary(peripheral()));
    QKSDKLOG("[BLE] retry: isReady, isHaveNoBleConfig %d", int(configModel().isHaveNoBleConfig));
    if (configModel().isHaveNoBleConfig)
        sendConfigInfo_69();
    else
        bindAndVerify();
}

void QKBleSecondRetryConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol || !protocol->decrptMsgBody()) return;
    const Bytes& body = *protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case kBindAndVerify:
            return receiveBindAndVerifyCommondWithData(body);
        case kRetryStatus:
            receiveCheckStatusCommondWithData(body);
            Answer::publishStepInfo(device());
            updateBlockWithState(Answer::kStatusStep);
            return;
        case kRouterUpdate:
            return receiveSendCountryInfoCommondWithData(body);
        case kWifiInfo:
            return receiveSendConfigInfoCommondWithData(body);
        case kModuleReport:
            if (configModel().isHaveNoBleConfig || isSupport0DReceive)
                receiveUpdateStatusCommondWithData(body);
            else
                QKSDKLOG("[BLE] retry: module report dropped, gate closed");
            return;
        default:
            return;
    }
}

// ---- Bind and verify (0x04).

void QKBleSecondRetryConnect::bindAndVerify() {
    const std::string code = configModel().bindCode.value_or("");
    // The cloud issues 16-character codes, taken as they stand; any other text is hex.
    const Bytes token =
        code.size() == kTokenSize ? Bytes(code.begin(), code.end()) : QKTool::hexStrToNSData(code);
    if (token.size() < kTokenSize) {
        QKSDKLOG("[BLE] retry: bind code gives %zu bytes, 16 needed", token.size());
        endWithCode(4147);
        return;
    }
    sendBody(QKBLEProtocol::msgBodyForWriteVericode(ByteView(token).first(kTokenSize), 0x03),
             kBindAndVerify);
}

void QKBleSecondRetryConnect::receiveBindAndVerifyCommondWithData(ByteView body) {
    if (body.size() < 4) return;
    if (body[3] != 1) {
        endWithCode(4147);
        return;
    }
    updateBlockWithState(15);
    checkBleStatus(0);
}

// ---- Status (0x63).

void QKBleSecondRetryConnect::checkBleStatus(uint8_t type) {
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(type), kRetryStatus);
}

void QKBleSecondRetryConnect::receiveCheckStatusCommondWithData(ByteView body) {
    if (Answer::takeFullStatus(body, device())) {
        sendConfigInfo();
        return;
    }
    // Only the exact three-byte short status counts here; byte 1 = 1 sends the data again.
    const auto status = body.size() == 3 ? Answer::parseShortStatus(body) : std::nullopt;
    if (!status) return;
    if (status->errorCode != 0)
        receiveErrorFromModuleWithData(body);
    else if (status->configured == 1)
        sendConfigInfo();
}

// ---- Router update (0x67) or Wi-Fi information (0x69).

void QKBleSecondRetryConnect::sendConfigInfo() {
    isSupportBLEApExist = true;
    const auto dict = smartDictionary(peripheral());
    if (!(dict && (*dict)["isWifiConfiged"].boolValue())) {
        sendConfigInfo_69();
        return;
    }
    sendConfigInfo_67();
    DispatchQueue::main()->after(kReportGateDelay,
                                 [self = std::static_pointer_cast<QKBleSecondRetryConnect>(
                                      shared_from_this())] { self->isSupport0DReceive = true; });
}

void QKBleSecondRetryConnect::sendConfigInfo_67() {
    if (isSupportRetryConnectRandom) createConfigRandomNum();
    setBleForceValidRandom(isSupportRetryConnectRandom);
    const auto body = QKBLEProtocol::msgBodyForRouterUpdateWithModel(configModel());
    if (!body) {
        // A router name or password too long for its length byte: nothing can be sent.
        QKSDKLOG("[BLE] retry: router data do not fit the router update");
        endWithCode(8000);
        return;
    }
    sendBody(*body, kRouterUpdate);
    updateBlockWithState(6);
}

void QKBleSecondRetryConnect::receiveSendCountryInfoCommondWithData(ByteView body) {
    if (body.empty()) return;
    QKSDKLOG("[BLE] retry: router update answer %02X", body[0]);
    switch (body[0]) {
        case 0x00:
            return startCloudCheck();
        case 0x01:
            return endWithCode(4097);
        case 0x14:
            return endWithCode(4125);
        case 0xFF:
            return endWithCode(4146);
        default:
            return endWithCode(4053);
    }
}

void QKBleSecondRetryConnect::sendConfigInfo_69() {
    createConfigRandomNum();
    const auto body =
        QKBLEProtocol::msgBodyForPreConnect(configModel(), static_cast<uint8_t>(mode));
    if (!body) {
        QKSDKLOG("[BLE] retry: router data do not fit the Wi-Fi information");
        endWithCode(8000);
        return;
    }
    sendBody(*body, kWifiInfo);
    updateBlockWithState(6);
}

void QKBleSecondRetryConnect::receiveSendConfigInfoCommondWithData(ByteView body) {
    if (body.empty()) return;
    QKSDKLOG("[BLE] retry: Wi-Fi answer %02X", body[0]);
    if (auto code = Answer::wifiAnswerErrorCode(body[0])) {
        endWithCode(*code);
        return;
    }
    startCloudCheck();
    if (body[0] == Answer::kWifiAlreadyConnected && configModel().isHaveNoBleConfig)
        isSupportBLEApExist = false;
}

// ---- Module reports (0x0D).

void QKBleSecondRetryConnect::receiveUpdateStatusCommondWithData(ByteView body) {
    const auto report = Answer::parseModuleReport(body);
    if (!report || report->form != Answer::kReportStage) return;
    if (int64_t step = Answer::progressForStage(report->stage))
        updateBlockWithState(step);
    else if (report->stage == Answer::kStageLoggedIn && isSupportBLEApExist)
        findDeviceDo();
    // A report that has just ended the run as found does not end it a second time.
    if (report->errorCode != 0 && !configEnded_) receiveErrorFromModuleWithData(body);
}

// ---- Helpers.

void QKBleSecondRetryConnect::createConfigRandomNum() {
    setRandomNum(Answer::makeConfigRandomNum(configModel()));
    mutableConfigModel().randomNum = randomNum();
}

ErrorPtr QKBleSecondRetryConnect::checkParamIntegrity() {
    const int64_t code = Answer::checkParamIntegrity(device(), mutableConfigModel());
    return code ? bleErrorWithCode(code) : nullptr;
}

QKDevice& QKBleSecondRetryConnect::device() {
    return deviceRecord();
}

void QKBleSecondRetryConnect::endWithCode(int64_t code) {
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

}  // namespace telvo

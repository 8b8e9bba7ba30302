#include "bleflows/QKBleSecondConnect.h"

#include "bleflows/QKBleSecondStart.h"
#include "bleflows/QKBleStatusAnswer.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

namespace {

using Answer = QKBleStatusAnswer;

constexpr int64_t kStatusType = 0x63;
constexpr int64_t kProductType = 0x40;
constexpr int64_t kFactoryType = 0x0F;
constexpr int64_t kCancelType = 0x0B;
constexpr int64_t kWifiType = 0x69;
constexpr int64_t kReportType = 0x0D;

}  // namespace

QKDevice& QKBleSecondConnect::device() {
    return deviceRecord();
}

void QKBleSecondConnect::endWithCode(int64_t code) {
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

// ---- Start, resume, stop.

void QKBleSecondConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                    CompletionBlock completion) {
    setConfigEnded(false);
    isHaveSendConfigInfo = false;
    isSupportBLEApExist = false;
    isSupportFactoryNotBind = false;
    QKDeviceBleConfigParams& m = mutableConfigModel();
    Answer::copyStartParams(params, m);
    m.isFactoryModeEnable = params.isFactoryModeEnable;
    m.onlyCheckCountOutEnable = params.onlyCheckCountOutEnable;

    setBlocks(std::move(update), std::move(completion));
    continueSecondFamilyStart(*this, params);
}

void QKBleSecondConnect::resumeConfigWithParams(const QKDeviceBleConfigParams& params) {
    if (isConfigEnded()) {
        QKSDKLOG("【BLE】resume ignored: the configuration has ended");
        return;
    }
    resumeTotalTimer();
    Answer::takeResumedRouter(params, mutableConfigModel());
    if (peripheral() && peripheral()->state() == CBPeripheralState::Connected) {
        // Without an agreed key (a reconnect's exchange under way) isReady sends them later.
        if (isKeyAgreed()) sendConfigInfo();
    } else if (!isConnecting()) {
        connect();
    }
}

void QKBleSecondConnect::stopConfig() {
    setConfigEnded(true);
    if (bleDevice() && bleDevice()->isSupportCancelConfig) {
        sendCancelConfig();
        MainLoop::performAfterDelay(this, "stopConfig", 0.5, [self = shared_from_this()] {
            self->QKBLEBaseConnect::stopConfig();
        });
        return;
    }
    QKBLEBaseConnect::stopConfig();
}

// ---- Status.

void QKBleSecondConnect::isReady() {
    uint8_t query = 0;
    if ((isReConnectBleDevice() && isHaveSendConfigInfo) || configModel().onlyCheckCountOutEnable)
        query = 1;
    else if (bleDevice() && bleDevice()->functionExtension)
        query = 3;
    checkBleStatus(query);
}

void QKBleSecondConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol || !protocol->decrptMsgBody()) return;
    const Bytes& body = *protocol->decrptMsgBody();
    switch (protocol->msgType()) {
        case kStatusType:
            receiveCheckStatusCommondWithData(body);
            Answer::publishStepInfo(device());
            updateBlockWithState(5);
            break;
        case kProductType:
            receiveProductCommondWithData(body);
            break;
        case kWifiType:
            hasSendConfigPremode = true;
            receiveSendConfigInfoCommondWithData(body);
            break;
        case kFactoryType:
            receiveSetFactoryModeWithData(body);
            break;
        case kReportType:
            receiveUpdateStatusCommondWithData(body);
            break;
        default:
            break;
    }
}

void QKBleSecondConnect::checkBleStatus(uint8_t queryType) {
    QKSDKLOG("【BLE】check status, type %d", int(queryType));
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(queryType), kStatusType);
}

void QKBleSecondConnect::receiveCheckStatusCommondWithData(ByteView body) {
    if (Answer::takeFullStatus(body, device())) {
        Answer::publishStepInfo(device());
        sendConfigInfo();
        return;
    }
    if (auto status = Answer::parseShortStatus(body)) {
        if (status->errorCode != 0) {
            receiveErrorFromModuleWithData(body);
        } else if (configModel().onlyCheckCountOutEnable) {
            endWithCode(0);
        } else if (status->configured == 0) {
            sendConfigInfo();
        }
        return;
    }
    auto entries = Answer::parseCapabilityList(body);
    if (!entries) return;
    for (const auto& entry : *entries) {
        switch (entry.id) {
            case Answer::kCapabilitySetOfSystem:
                device().setofsystem = true;
                getProductInfo();
                return;
            case Answer::kCapabilityAdns:
                if (entry.byteAtOffset3)
                    mutableConfigModel().adnsIPEnable = *entry.byteAtOffset3 != 0;
                break;
            case Answer::kCapabilityBits: {
                const uint8_t bits = entry.lastByte();
                device().isSupportBleOTA = bits & Answer::kBitOta;
                device().isSupportAuthtrue = bits & Answer::kBitAuth;
                device().isSupportCancelConfig = bits & Answer::kBitCancelConfig;
                break;
            }
            case Answer::kCapabilityFactoryMode:
                isSupportFactoryNotBind = entry.length != 0;
                break;
            default:
                break;
        }
    }
    checkBleStatus(0);
}

void QKBleSecondConnect::getProductInfo() {
    sendBody(QKBLEProtocol::msgBodyForGetProduct(), kProductType);
}

void QKBleSecondConnect::receiveProductCommondWithData(ByteView body) {
    if (auto products = Answer::parseProductList(body)) device().productInfoData = *products;
    checkBleStatus(0);
}

void QKBleSecondConnect::sendConfigInfo() {
    isSupportBLEApExist = true;
    if (isSupportFactoryNotBind && configModel().isFactoryModeEnable)
        sendConfigFactoryMode(true);
    else
        sendConfigWifi();
}

void QKBleSecondConnect::sendConfigFactoryMode(bool on) {
    const Bytes body{0x01, 0x01, 0x01, static_cast<uint8_t>(on ? 1 : 0)};
    sendBody(body, kFactoryType);
}

void QKBleSecondConnect::receiveSetFactoryModeWithData(ByteView body) {
    if (body.size() < 3) return;
    if (body[2] == 0) {
        updateBlockWithState(20);
        sendConfigWifi();
    } else {
        endWithCode(body[2] == 2 ? 4190 : 4189);
    }
}

void QKBleSecondConnect::sendCancelConfig() {
    const Bytes body{0x05, 0x00};
    sendBody(body, kCancelType);
}

// ---- Wi-Fi settings, module reports, the end.

ErrorPtr QKBleSecondConnect::checkParamIntegrity() {
    const int64_t code = Answer::checkParamIntegrity(device(), mutableConfigModel());
    return code == 0 ? nullptr : bleErrorWithCode(code);
}

void QKBleSecondConnect::sendConfigWifi() {
    std::lock_guard lock(wifiMutex_);
    setRandomNum(Answer::makeConfigRandomNum(configModel()));
    mutableConfigModel().randomNum = randomNum();
    if (mode == 1 && Answer::matchesTargetSerial(dsn, device().deviceSn)) mode = 2;
    auto body = QKBLEProtocol::msgBodyForPreConnect(configModel(), static_cast<uint8_t>(mode));
    if (!body) {
        // A router name or password too long for its length byte: nothing can be sent.
        QKSDKLOG("【BLE】Wi-Fi settings do not fit the 0x69 body");
        endWithCode(8000);
        return;
    }
    sendBody(*body, kWifiType);
    if (mode == 0) hasSendConfigPremode = true;
    updateBlockWithState(6);
    isHaveSendConfigInfo = true;
}

void QKBleSecondConnect::receiveSendConfigInfoCommondWithData(ByteView body) {
    if (body.empty()) return;  // no result byte to act on
    const uint8_t result = body[0];
    if (result == Answer::kWifiJoining) {
        if (mode != 0) startCloudCheck();
    } else if (result == Answer::kWifiAlreadyConnected) {
        startCloudCheck();
        isSupportBLEApExist = false;
    } else {
        endWithCode(Answer::wifiAnswerErrorCode(result).value_or(4053));
    }
}

void QKBleSecondConnect::receiveUpdateStatusCommondWithData(ByteView body) {
    auto report = Answer::parseModuleReport(body);
    if (!report) return;
    if (report->form == Answer::kReportSerial) {
        device().deviceSn = report->deviceSn;
        return;
    }
    if (int64_t step = Answer::progressForStage(report->stage)) {
        updateBlockWithState(step);
    } else if (report->stage == Answer::kStageLoggedIn) {
        device().checkRandom = false;
        if (isSupportBLEApExist) findDeviceDo();
    }
    // A report that has just ended the run as found does not end it a second time.
    if (report->errorCode != 0 && !isConfigEnded()) receiveErrorFromModuleWithData(body);
}

void QKBleSecondConnect::findDeviceDo() {
    QKSDKLOG("【BLE】findDeviceDo mode=%lld findDevice=%d", static_cast<long long>(mode),
             findDevice());
    QKBLEBaseConnect::findDeviceDo();
}

}  // namespace telvo

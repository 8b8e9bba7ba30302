#include "bleflows/QKComboBLEConnect.h"

#include "blecore/QKBLEDeviceManager.h"
#include "bleflows/QKBleStatusAnswer.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKCommonProtocol.h"
#include "telvosdk/TelvoAPPAdapter.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr int64_t kComboStatusType = 0x63;
constexpr int64_t kBindType = 0x04;
constexpr int64_t kConfirmType = 0x66;
constexpr int64_t kComboReportType = 0x0D;

// The confirmation set's authorisation type: the appliance waits for the user's confirmation.
constexpr uint8_t kAuthWaitForConfirmation = 1;

}  // namespace

void QKComboBLEConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                   CompletionBlock completion) {
    QKDeviceBleConfigParams model;
    model.countryCode = params.countryCode.value_or("");
    model.timeZone = params.timeZone.value_or("");
    model.regionId = params.regionId.value_or("");
    model.channelList = params.channelList;
    model.bleBindActionType = params.bleBindActionType;
    model.bleType = params.bleType;
    model.updateExtraParamWithDic(Value(params.extras));
    mutableConfigModel() = std::move(model);
    setBlocks(std::move(update), std::move(completion));
    // A peripheral without a readable advertisement leaves the session without a record; the
    // status and the token still need one.
    deviceRecord();
    startTotalTimer();
    if (params.peripheral && params.peripheral->state() == CBPeripheralState::Connected) {
        QKSDKLOG("【BLE】combo: peripheral already connected, reconnecting in 0.5 s");
        QKBLEDeviceManager::shareInstance()->disconnectPeriphera(params.peripheral);
        // Under the base's name for a delayed connect, so that disconnect() cancels it.
        MainLoop::performAfterDelay(this, "connect", 0.5,
                                    [self = shared_from_this()] { self->connect(); });
    } else {
        connect();
    }
}

void QKComboBLEConnect::isReady() {
    checkBleStatus();
}

void QKComboBLEConnect::checkBleStatus() {
    QKSDKLOG("【BLE】combo: status query");
    sendBody(QKBLEProtocol::msgBodyForCheckStatus(QKBleStatusAnswer::kFormFull), kComboStatusType);
}

void QKComboBLEConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol) return;
    static const Bytes kNone;
    const Bytes& body = protocol->decrptMsgBody() ? *protocol->decrptMsgBody() : kNone;
    switch (protocol->msgType()) {
        case kComboStatusType: {
            auto keep = shared_from_this();
            receiveCheckStatusCommondWithData(body);
            const QKDevice& device = *bleDevice();
            QKBleStatusAnswer::publishStepInfo(device.softwareVersion, device.deviceSn,
                                               device.deviceSubType);
            updateBlockWithState(QKBleStatusAnswer::kStatusStep);
            break;
        }
        case kBindType:
            receiveBindAndVerifyCommondWithData(body);
            break;
        case kConfirmType:
            receiveConfirmCommondWithData(body);
            break;
        case kComboReportType:
            receiveUpdateStatusCommondWithData(body);
            break;
        default:
            break;
    }
}

void QKComboBLEConnect::receiveCheckStatusCommondWithData(ByteView data) {
    // Only the full form leads on; each field is taken when all of its bytes are there.
    auto status = QKBleStatusAnswer::parseFullStatus(data);
    if (!status) {
        QKSDKLOG("【BLE】combo: status answer ignored: %s",
                 QKTool::stringExchangeWithData(data).c_str());
        return;
    }
    QKDevice& device = *bleDevice();
    if (status->deviceSn) device.deviceSn = *status->deviceSn;
    if (auto mac = status->btMacText()) device.btMac = *mac;
    if (status->version) device.softwareVersion = QKTool::stringExchangeWithData(*status->version);
    if (auto subType = status->deviceSubTypeText()) device.deviceSubType = *subType;
    bindAndVerify();
}

void QKComboBLEConnect::bindAndVerify() {
    token = QKCommonProtocol::randomToken();
    bindPending_ = true;
    bleDevice()->bleToken = QKTool::stringExchangeWithData(*token);
    if (TelvoAPPAdapter::enableSetBindAuthType() && configModel().bleBindActionType == 2)
        mutableConfigModel().bleBindActionType = 1;
    QKSDKLOG("【BLE】combo: bind and verify, action type %ld",
             long(configModel().bleBindActionType));
    sendBody(QKBLEProtocol::msgBodyForWriteVericode(
                 *token, static_cast<uint8_t>(configModel().bleBindActionType & 0xFF)),
             kBindType);
}

void QKComboBLEConnect::receiveBindAndVerifyCommondWithData(ByteView data) {
    if (data.size() < 4 || !bindPending_) return;
    bindPending_ = false;
    if (data[3] == 1) {
        QKSDKLOG("【BLE】combo: bound, keeping the link for the confirmation");
        callBackDevice();
    } else {
        QKSDKLOG("【BLE】combo: bind refused (%d)", data[3]);
        finalResultWithError(bleErrorWithCode(4055), nullptr, true);
    }
}

void QKComboBLEConnect::doConfigureAction(const std::shared_ptr<QKConfigAction>& action,
                                          ActionBlock resultCallback,
                                          ActionBlock statusChangeCallBack) {
    const int64_t actionType = action ? action->actionType : 0;
    resultCompletion = std::move(resultCallback);
    statusChangeCompletion = std::move(statusChangeCallBack);
    confirmDevice(actionType);
}

void QKComboBLEConnect::confirmDevice(int64_t actionType) {
    QKSDKLOG("【BLE】combo: confirmation set (action %ld)", long(actionType));
    sendBody(QKBLEProtocol::msgBodyForDeviceConfirmSetWithAuthType(kAuthWaitForConfirmation),
             kConfirmType);
}

void QKComboBLEConnect::receiveConfirmCommondWithData(ByteView data) {
    if (data.size() < 3 || data[0] != 0x02) return;
    if (data[2] != 0 && data[2] != 1) return;
    auto keep = shared_from_this();
    if (resultCompletion)
        resultCompletion(data[2] == 1 ? TelvoError::sucError() : bleErrorWithCode(4149), nullptr);
}

void QKComboBLEConnect::receiveUpdateStatusCommondWithData(ByteView data) {
    if (data.size() < 5) return;
    auto status = std::make_shared<QKConfigStatus>();
    if (data[4] == 1 || data[4] == 2) status->setAuthType(data[4]);
    auto keep = shared_from_this();
    if (statusChangeCompletion) statusChangeCompletion(TelvoError::sucError(), status);
}

void QKComboBLEConnect::blueDisconnect() {
    auto keep = shared_from_this();
    ErrorPtr error = bleErrorWithCode(4085);
    finalResultWithError(error, nullptr, true);
    if (statusChangeCompletion) statusChangeCompletion(error, nullptr);
}

void QKComboBLEConnect::disconnect() {
    QKSDKLOG("【BLE】combo: disconnect");
    QKBLEBaseConnect::disconnect();
}

}  // namespace telvo

#include "bleflows/QKBleSpecialModeConnect.h"

#include "blecore/QKBLEDeviceManager.h"
#include "logging/QKLog.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

constexpr int64_t kSpecialMode = 0x0E;
constexpr const char* kDelayedConnect = "specialModeConnect";

}  // namespace

void QKBleSpecialModeConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    mutableConfigModel() = QKDeviceBleConfigParams{};
    mutableConfigModel().specialModeType = params.specialModeType;
    mutableConfigModel().bleType = params.bleType;
    setBlocks(std::move(update), std::move(completion));
    startTotalTimer();
    if (params.peripheral && params.peripheral->state() == CBPeripheralState::Connected) {
        QKBLEDeviceManager::shareInstance()->disconnectPeriphera(params.peripheral);
        MainLoop::performAfterDelay(this, kDelayedConnect, 0.5,
                                    [self = shared_from_this()] { self->connect(); });
        return;
    }
    connect();
}

void QKBleSpecialModeConnect::isReady() {
    uint8_t action = 0;
    switch (configModel().specialModeType) {
        case 1:
            action = 1;
            break;
        case 2:
            action = 0;
            break;
        default:
            QKSDKLOG("[BLE] special mode: unknown specialModeType %ld, nothing sent",
                     long(configModel().specialModeType));
            return;
    }
    sendBody(QKBLEProtocol::msgBodyForSpecialModeBluetooth(1, action), kSpecialMode);
}

void QKBleSpecialModeConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) {
    if (!protocol || protocol->msgType() != kSpecialMode) return;
    const auto& body = protocol->decrptMsgBody();
    if (!body || body->size() < 3 || (*body)[0] != 1) return;
    const uint8_t result = (*body)[2];
    if (result == 0) {
        QKSDKLOG("[BLE] special mode set");
        finalResultWithError(TelvoError::sucError(), nullptr, true);
        return;
    }
    QKSDKLOG("[BLE] special mode: %s",
             result == 1 ? "the module failed to set it" : "not supported by the module");
    finalResultWithError(bleErrorWithCode(4187), nullptr, true);
}

void QKBleSpecialModeConnect::disconnect() {
    QKSDKLOG("[BLE] special mode: disconnect");
    MainLoop::cancelPreviousPerformRequests(this, kDelayedConnect);
    QKBLEBaseConnect::disconnect();
}

}  // namespace telvo

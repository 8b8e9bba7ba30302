#include "blecore/QKBLEBaseConnect.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

void QKBLEBaseConnect::startTotalTimer() {
    startTotalTimerWithTotalCount(180);
}
void QKBLEBaseConnect::startTotalTimerWithTotalCount(uint64_t) {}
void QKBLEBaseConnect::pauseTotalTimer() {}
void QKBLEBaseConnect::resumeTotalTimer() {}
void QKBLEBaseConnect::releaseTotalTimer() {}
void QKBLEBaseConnect::connectTimeout() {}
void QKBLEBaseConnect::startCloudCheck() {}
void QKBLEBaseConnect::startIncreaseSeconds() {}
void QKBLEBaseConnect::findDeviceTimeout() {}
void QKBLEBaseConnect::checkAPExist() {}
void QKBLEBaseConnect::handleLoopCheckAPExist() {}
void QKBLEBaseConnect::releaseTimer() {}
void QKBLEBaseConnect::willEnterForeground() {}

void QKBLEBaseConnect::findDeviceDo() {
    if (findDevice) return;
    releaseTimer();
    findDevice = true;
    updateBlockWithState(12);
    callBackDevice();
}

void QKBLEBaseConnect::findDeviceDoWithDict(const Dictionary& entry) {
    if (findDevice) return;
    releaseTimer();
    findDevice = true;
    updateBlockWithState(12);
    finalResultWithError(TelvoError::sucError(), getDeviceInfo(entry), true);
}

void QKBLEBaseConnect::callBackDevice() {
    const uint64_t type = iConfigModel.bleType;
    const bool disconnectAfter = type == 0 || type == 1 || type == 2 || type == 4 || type == 10;
    finalResultWithError(TelvoError::sucError(), nullptr, disconnectAfter);
}

}  // namespace telvo

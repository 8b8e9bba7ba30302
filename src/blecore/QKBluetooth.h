#pragma once

// The library's own view of the public Bluetooth wrapper: the instance shareQKBluetooth makes,
// with its channel table and its central role, and the test hook.

#include <cstdint>
#include <memory>
#include <string>

#include "blecore/QKBluetoothCentralManager.h"
#include "blecore/QKBluetoothPeripheralManager.h"
#include "blecore/QKBluetoothSpeaker.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/QKBluetooth.h"

namespace telvo {

// The facade with what it holds. Main thread only, as the facade.
class QKBluetoothImpl final : public QKBluetooth {
  public:
    static QKBluetoothImpl& of(QKBluetooth& facade) {
        return static_cast<QKBluetoothImpl&>(facade);
    }
    static const QKBluetoothImpl& of(const QKBluetooth& facade) {
        return static_cast<const QKBluetoothImpl&>(facade);
    }
    QKBluetoothImpl();
    // Drops a pending timed stop.
    ~QKBluetoothImpl();

    // The channel's callbacks, the channel created when missing.
    std::shared_ptr<QKBluetoothCallback> at(const std::string& channel);
    QKBluetooth& mark(const char* step);
    void dropTimedStop();
    // A connect that gave up on the power fails, on the main queue as a platform failure
    // would come.
    void failWithoutPower(const CBPeripheralPtr& peripheral);

    const std::shared_ptr<QKBluetoothSpeaker> speaker;
    // Replaced by resetCentralManager.
    std::shared_ptr<QKBluetoothCentralManager> central;
    const std::shared_ptr<QKBluetoothPeripheralManager> peripheral;
    // Power-on waits in a row, counted since the last start that found the power on
    // (CENTRAL_MANAGER_INIT_WAIT_TIMES).
    int32_t centralManagerInitWaitTimes = 0;
    std::shared_ptr<DispatchTimer> timerForStop;
};

// A fresh shared facade, made at once: channel table and both managers on the current shared
// radio. The old one's timed stop and power-on waits come to nothing.
template <>
void resetForTesting<QKBluetooth>();

}  // namespace telvo

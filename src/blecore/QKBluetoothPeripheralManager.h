#pragma once

// The library's own view of the public peripheral role: the instance the facade makes, with
// its retries and counters.

#include <cstdint>
#include <memory>

#include "blecore/QKBluetoothSpeaker.h"
#include "platform/dispatch/DispatchTimer.h"
#include "telvosdk/QKBluetoothPeripheralManager.h"

namespace telvo {

// Posted (no object) when the peripheral role finds the power on.
inline constexpr const char* CBPeripheralManagerStatePoweredOn =
    "CBPeripheralManagerStatePoweredOn";

// Main thread only, as the role.
class QKBluetoothPeripheralManagerImpl final : public QKBluetoothPeripheralManager {
  public:
    static QKBluetoothPeripheralManagerImpl& of(QKBluetoothPeripheralManager& role) {
        return static_cast<QKBluetoothPeripheralManagerImpl&>(role);
    }
    static const QKBluetoothPeripheralManagerImpl& of(const QKBluetoothPeripheralManager& role) {
        return static_cast<const QKBluetoothPeripheralManagerImpl&>(role);
    }
    // On the host's Bluetooth radio; its events go to the default channel of the speaker.
    static std::shared_ptr<QKBluetoothPeripheralManagerImpl> create(
        std::shared_ptr<QKBluetoothSpeaker> speaker);
    explicit QKBluetoothPeripheralManagerImpl(std::shared_ptr<QKBluetoothSpeaker> speaker)
        : speaker_(std::move(speaker)) {}
    // Drops the pending retries.
    ~QKBluetoothPeripheralManagerImpl() override;

    // A one-shot timer in the slot, replacing (and cancelling) the one there.
    void schedule(std::shared_ptr<DispatchTimer>& slot,
                  void (QKBluetoothPeripheralManagerImpl::*step)());
    void retryAdvertising() { startAdvertising(); }

    // The fields carry an underscore where the public role has an accessor of the name.
    const std::shared_ptr<QKBluetoothSpeaker> speaker_;
    CBPeripheralManagerPtr peripheralManager_;
    std::string localName_ = kDefaultLocalName;
    std::vector<std::shared_ptr<CBMutableService>> services_;
    std::optional<Bytes> manufacturerData_;
    // Advertising waits in a row (PERIPHERAL_MANAGER_INIT_WAIT_TIMES).
    int32_t peripheralManagerInitWaitTimes = 0;
    // Services the platform confirmed since the last removeAllServices.
    int32_t didAddServices = 0;
    std::shared_ptr<DispatchTimer> addServiceTask;
    std::shared_ptr<DispatchTimer> advertisingRetry;
};

}  // namespace telvo

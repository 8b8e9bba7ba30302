#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/CBPeripheralManager.h"
#include "telvosdk/Export.h"

namespace telvo {

// The wrapper's peripheral (advertiser) role: local services, a local name, manufacturer
// data and advertising, each waiting for the power. An app reaches it through
// QKBluetooth::bePeripheral(); it lives as long as the facade that made it. Its events go to
// the facade's peripheral-role blocks (those of the default channel). Events, blocks and the
// 3-second retries all run on the main queue; use it on the main thread only (it is not
// locked). Chain steps return the manager.
class TELVO_EXPORT QKBluetoothPeripheralManager
    : public CBPeripheralManagerDelegate,
      public std::enable_shared_from_this<QKBluetoothPeripheralManager> {
  public:
    static constexpr const char* kDefaultLocalName = "QKBluetooth-default-name";
    static constexpr double kRetryInterval = 3.0;

    // Keeps the services and adds them to the platform once the power is on (retried every
    // 3 s while it is not, one retry pending at most).
    QKBluetoothPeripheralManager& addServices(
        std::vector<std::shared_ptr<CBMutableService>> services);
    // Clears the confirmed count and removes every service from the platform.
    QKBluetoothPeripheralManager& removeAllServices();
    QKBluetoothPeripheralManager& addManufacturerData(std::optional<Bytes> data);
    // Advertises the services' UUIDs, the local name and the manufacturer data (when set) once
    // the power is on and every service is confirmed; until then retries every 3 s without a
    // limit, logging each wait (as an error from the 6th). One retry is pending at most.
    QKBluetoothPeripheralManager& startAdvertising();
    // Stops the platform advertising and drops a pending advertising retry.
    QKBluetoothPeripheralManager& stopAdvertising();
    bool canStartAdvertising() const;
    bool isPoweredOn() const;
    void addServicesToPeripheral();

    // The platform peripheral manager it drives.
    const CBPeripheralManagerPtr& peripheralManager() const;
    const std::string& localName() const;
    void setLocalName(std::string name);
    const std::vector<std::shared_ptr<CBMutableService>>& services() const;
    const std::optional<Bytes>& manufacturerData() const;

    // CBPeripheralManagerDelegate.
    void peripheralManagerDidUpdateState(const CBPeripheralManagerPtr&) override;
    void peripheralManagerDidAddService(const CBPeripheralManagerPtr&, const CBServicePtr&,
                                        const ErrorPtr&) override;
    void peripheralManagerDidStartAdvertising(const CBPeripheralManagerPtr&,
                                              const ErrorPtr&) override;
    void peripheralManagerDidReceiveReadRequest(const CBPeripheralManagerPtr&,
                                                const CBATTRequestPtr&) override;
    void peripheralManagerDidReceiveWriteRequests(const CBPeripheralManagerPtr&,
                                                  const std::vector<CBATTRequestPtr>&) override;
    void peripheralManagerIsReadyToUpdateSubscribers(const CBPeripheralManagerPtr&) override;
    void peripheralManagerCentralDidSubscribeToCharacteristic(const CBPeripheralManagerPtr&,
                                                              const std::shared_ptr<CBCentral>&,
                                                              const CBCharacteristicPtr&) override;
    void peripheralManagerCentralDidUnsubscribeFromCharacteristic(
        const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&,
        const CBCharacteristicPtr&) override;

  protected:
    // The library makes the one of the facade.
    QKBluetoothPeripheralManager() = default;
};

// A primary service of the UUID (4, 8 or 36 hex-and-dash characters; another form throws
// std::invalid_argument).
TELVO_EXPORT std::shared_ptr<CBMutableService> makeCBService(const std::string& uuid);
// Appends a characteristic without a value, permissions readable and writeable, properties
// from the letters r (read), w (write) and n (notify); absent or empty letters give read and
// write. A non-empty description becomes its user-description descriptor (2901).
TELVO_EXPORT void makeCharacteristicToService(const std::shared_ptr<CBMutableService>& service,
                                              const std::string& uuid,
                                              const std::optional<std::string>& properties,
                                              const std::optional<std::string>& description);
// Appends a read-only characteristic with a fixed value, described as above.
TELVO_EXPORT void makeStaticCharacteristicToService(
    const std::shared_ptr<CBMutableService>& service, const std::string& uuid,
    const std::optional<std::string>& description, const Bytes& value);
// A fresh random UUID, 36 upper-case characters.
TELVO_EXPORT std::string genUUID();

}  // namespace telvo

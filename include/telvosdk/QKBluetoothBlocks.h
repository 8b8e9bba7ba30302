#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/CBPeripheralManager.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

// The shapes of the Bluetooth wrapper's blocks (QKBluetooth, QKBLEDeviceManager). They run on
// the main queue.
using QKCentralBlock = std::function<void(const CBCentralManagerPtr&)>;
using QKDiscoverPeripheralsBlock = std::function<void(
    const CBCentralManagerPtr&, const CBPeripheralPtr&, const Dictionary& advertisement, int rssi)>;
using QKCentralPeripheralBlock =
    std::function<void(const CBCentralManagerPtr&, const CBPeripheralPtr&)>;
using QKCentralPeripheralErrorBlock =
    std::function<void(const CBCentralManagerPtr&, const CBPeripheralPtr&, const ErrorPtr&)>;
using QKPeripheralErrorBlock = std::function<void(const CBPeripheralPtr&, const ErrorPtr&)>;
using QKServiceBlock =
    std::function<void(const CBPeripheralPtr&, const CBServicePtr&, const ErrorPtr&)>;
// Also the shape of a notify callback.
using QKCharacteristicBlock =
    std::function<void(const CBPeripheralPtr&, const CBCharacteristicPtr&, const ErrorPtr&)>;
using QKDescriptorBlock =
    std::function<void(const CBPeripheralPtr&, const CBDescriptorPtr&, const ErrorPtr&)>;
using QKCharacteristicErrorBlock = std::function<void(const CBCharacteristicPtr&, const ErrorPtr&)>;
using QKDescriptorErrorBlock = std::function<void(const CBDescriptorPtr&, const ErrorPtr&)>;
using QKRSSIBlock = std::function<void(std::optional<int> rssi, const ErrorPtr&)>;
using QKServiceErrorBlock = std::function<void(const CBServicePtr&, const ErrorPtr&)>;
using QKPeripheralBlock = std::function<void(const CBPeripheralPtr&)>;
using QKModifyServicesBlock =
    std::function<void(const CBPeripheralPtr&, const std::vector<CBServicePtr>& invalidated)>;
// Peripheral name (absent when the peripheral has none), advertisement, RSSI.
using QKPeripheralFilter = std::function<bool(const std::optional<std::string>& name,
                                              const Dictionary& advertisement, int rssi)>;

// Peripheral role.
using QKPeripheralManagerBlock = std::function<void(const CBPeripheralManagerPtr&)>;
using QKPeripheralManagerServiceBlock =
    std::function<void(const CBPeripheralManagerPtr&, const CBServicePtr&, const ErrorPtr&)>;
using QKPeripheralManagerErrorBlock =
    std::function<void(const CBPeripheralManagerPtr&, const ErrorPtr&)>;
using QKPeripheralManagerRequestBlock =
    std::function<void(const CBPeripheralManagerPtr&, const CBATTRequestPtr&)>;
using QKPeripheralManagerRequestsBlock =
    std::function<void(const CBPeripheralManagerPtr&, const std::vector<CBATTRequestPtr>&)>;
using QKPeripheralManagerSubscriptionBlock = std::function<void(
    const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&, const CBCharacteristicPtr&)>;

}  // namespace telvo

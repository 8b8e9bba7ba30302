#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "blecore/QKBluetoothOptions.h"
#include "telvosdk/QKBluetoothBlocks.h"

namespace telvo {

// One channel's event blocks, its two filters and its options. Every slot is empty until set,
// except the filters, which accept every peripheral whose name is not the empty string (a
// peripheral without a name passes). Used on the main thread.
struct QKBluetoothCallback {
    QKBluetoothCallback();
    // The default of both filters.
    static bool acceptsNonEmptyName(const std::optional<std::string>& name, const Dictionary&, int);

    QKCentralBlock blockOnCentralManagerDidUpdateState;
    QKDiscoverPeripheralsBlock blockOnDiscoverPeripherals;
    QKCentralPeripheralBlock blockOnConnectedPeripheral;
    QKCentralPeripheralErrorBlock blockOnFailToConnect;
    QKCentralPeripheralErrorBlock blockOnDisconnect;
    QKPeripheralErrorBlock blockOnDiscoverServices;
    QKServiceBlock blockOnDiscoverCharacteristics;
    QKCharacteristicBlock blockOnReadValueForCharacteristic;
    QKCharacteristicBlock blockOnDiscoverDescriptorsForCharacteristic;
    QKDescriptorBlock blockOnReadValueForDescriptors;
    QKCharacteristicErrorBlock blockOnDidWriteValueForCharacteristic;
    QKDescriptorErrorBlock blockOnDidWriteValueForDescriptor;
    QKCharacteristicErrorBlock blockOnDidUpdateNotificationStateForCharacteristic;
    QKRSSIBlock blockOnDidReadRSSI;
    QKServiceErrorBlock blockOnDidDiscoverIncludedServicesForService;
    QKPeripheralBlock blockOnDidUpdateName;
    QKModifyServicesBlock blockOnDidModifyServices;
    QKCentralBlock blockOnCancelScan;
    QKCentralBlock blockOnCancelAllPeripheralsConnection;

    std::shared_ptr<QKBluetoothOptions> bluetoothOptions;
    QKPeripheralFilter filterOnDiscoverPeripherals;
    QKPeripheralFilter filterOnconnectToPeripherals;

    // Peripheral role (always taken from the default channel).
    QKPeripheralManagerBlock blockOnPeripheralModelDidUpdateState;
    QKPeripheralManagerServiceBlock blockOnPeripheralModelDidAddService;
    QKPeripheralManagerErrorBlock blockOnPeripheralModelDidStartAdvertising;
    QKPeripheralManagerRequestBlock blockOnPeripheralModelDidReceiveReadRequest;
    QKPeripheralManagerRequestsBlock blockOnPeripheralModelDidReceiveWriteRequests;
    QKPeripheralManagerBlock blockOnPeripheralModelIsReadyToUpdateSubscribers;
    QKPeripheralManagerSubscriptionBlock blockOnPeripheralModelDidSubscribeToCharacteristic;
    QKPeripheralManagerSubscriptionBlock blockOnPeripheralModelDidUnSubscribeToCharacteristic;
};

}  // namespace telvo

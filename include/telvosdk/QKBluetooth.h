#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/CBPeripheralManager.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKBluetoothBlocks.h"
#include "telvosdk/QKBluetoothPeripheralManager.h"
#include "telvosdk/Value.h"

namespace telvo {

// The Bluetooth wrapper: turns the platform's central role into named channels of event
// blocks and a chain of steps that is configured first and then started in one go:
//
//     bt.scanForPeripherals().connectToPeripherals().discoverServices().begin();
//     bt.having(peripheral).and_().channel("c").then().connectToPeripherals().begin();
//
// (`and_` stands for the connective `and`, a reserved word here.) Block setters without a
// channel fill the default channel; the AtChannel forms create their channel when missing.
// Every event and block runs on the main queue; use the facade on the main thread only (it is
// not locked). The shared facade lives as long as the process. begin() raises a NamedException
// (kQKBluetoothUsageException) for an inconsistent chain and starts nothing.
class TELVO_EXPORT QKBluetooth : public std::enable_shared_from_this<QKBluetooth> {
  public:
    static constexpr const char* kQKBluetoothUsageException = "QKBluetoothUsageException";

    // The process-wide facade, created on first use on the host's Bluetooth radio.
    static std::shared_ptr<QKBluetooth> shareQKBluetooth();

    // ---- Blocks on the default channel.
    void setBlockOnCentralManagerDidUpdateState(QKCentralBlock block);
    void setBlockOnDiscoverToPeripherals(QKDiscoverPeripheralsBlock block);
    void setBlockOnConnected(QKCentralPeripheralBlock block);
    void setBlockOnFailToConnect(QKCentralPeripheralErrorBlock block);
    void setBlockOnDisconnect(QKCentralPeripheralErrorBlock block);
    void setBlockOnDiscoverServices(QKPeripheralErrorBlock block);
    void setBlockOnDiscoverCharacteristics(QKServiceBlock block);
    void setBlockOnReadValueForCharacteristic(QKCharacteristicBlock block);
    void setBlockOnDiscoverDescriptorsForCharacteristic(QKCharacteristicBlock block);
    void setBlockOnReadValueForDescriptors(QKDescriptorBlock block);
    void setBlockOnDidWriteValueForCharacteristic(QKCharacteristicErrorBlock block);
    void setBlockOnDidWriteValueForDescriptor(QKDescriptorErrorBlock block);
    void setBlockOnDidUpdateNotificationStateForCharacteristic(QKCharacteristicErrorBlock block);
    void setBlockOnDidReadRSSI(QKRSSIBlock block);
    void setBlockOnDidDiscoverIncludedServicesForService(QKServiceErrorBlock block);
    void setBlockOnDidUpdateName(QKPeripheralBlock block);
    void setBlockOnDidModifyServices(QKModifyServicesBlock block);
    void setBlockOnCancelScanBlock(QKCentralBlock block);
    void setBlockOnCancelAllPeripheralsConnectionBlock(QKCentralBlock block);
    void setFilterOnDiscoverPeripherals(QKPeripheralFilter filter);
    void setFilterOnConnectToPeripherals(QKPeripheralFilter filter);

    // ---- Blocks on a named channel (created when missing).
    void setBlockOnCentralManagerDidUpdateStateAtChannel(const std::string& channel,
                                                         QKCentralBlock block);
    void setBlockOnDiscoverToPeripheralsAtChannel(const std::string& channel,
                                                  QKDiscoverPeripheralsBlock block);
    void setBlockOnConnectedAtChannel(const std::string& channel, QKCentralPeripheralBlock block);
    void setBlockOnFailToConnectAtChannel(const std::string& channel,
                                          QKCentralPeripheralErrorBlock block);
    void setBlockOnDisconnectAtChannel(const std::string& channel,
                                       QKCentralPeripheralErrorBlock block);
    void setBlockOnDiscoverServicesAtChannel(const std::string& channel,
                                             QKPeripheralErrorBlock block);
    void setBlockOnDiscoverCharacteristicsAtChannel(const std::string& channel,
                                                    QKServiceBlock block);
    void setBlockOnReadValueForCharacteristicAtChannel(const std::string& channel,
                                                       QKCharacteristicBlock block);
    void setBlockOnDiscoverDescriptorsForCharacteristicAtChannel(const std::string& channel,
                                                                 QKCharacteristicBlock block);
    void setBlockOnReadValueForDescriptorsAtChannel(const std::string& channel,
                                                    QKDescriptorBlock block);
    void setBlockOnDidWriteValueForCharacteristicAtChannel(const std::string& channel,
                                                           QKCharacteristicErrorBlock block);
    void setBlockOnDidWriteValueForDescriptorAtChannel(const std::string& channel,
                                                       QKDescriptorErrorBlock block);
    void setBlockOnDidUpdateNotificationStateForCharacteristicAtChannel(
        const std::string& channel, QKCharacteristicErrorBlock block);
    void setBlockOnDidReadRSSIAtChannel(const std::string& channel, QKRSSIBlock block);
    void setBlockOnDidDiscoverIncludedServicesForServiceAtChannel(const std::string& channel,
                                                                  QKServiceErrorBlock block);
    void setBlockOnDidUpdateNameAtChannel(const std::string& channel, QKPeripheralBlock block);
    void setBlockOnDidModifyServicesAtChannel(const std::string& channel,
                                              QKModifyServicesBlock block);
    void setBlockOnCancelScanBlockAtChannel(const std::string& channel, QKCentralBlock block);
    void setBlockOnCancelAllPeripheralsConnectionBlockAtChannel(const std::string& channel,
                                                                QKCentralBlock block);
    void setFilterOnDiscoverPeripheralsAtChannel(const std::string& channel,
                                                 QKPeripheralFilter filter);
    void setFilterOnConnectToPeripheralsAtChannel(const std::string& channel,
                                                  QKPeripheralFilter filter);

    // ---- Options (setQKBluetoothOptionsWith... / setQKBluetoothOptionsAtChannel:...).
    void setQKBluetoothOptionsWithScanForPeripheralsWithOptions(
        std::optional<Dictionary> scanForPeripheralsWithOptions,
        std::optional<Dictionary> connectPeripheralWithOptions,
        std::optional<std::vector<CBUUID>> scanForPeripheralsWithServices,
        std::optional<std::vector<CBUUID>> discoverWithServices,
        std::optional<std::vector<CBUUID>> discoverWithCharacteristics);
    void setQKBluetoothOptionsAtChannel(
        const std::string& channel, std::optional<Dictionary> scanForPeripheralsWithOptions,
        std::optional<Dictionary> connectPeripheralWithOptions,
        std::optional<std::vector<CBUUID>> scanForPeripheralsWithServices,
        std::optional<std::vector<CBUUID>> discoverWithServices,
        std::optional<std::vector<CBUUID>> discoverWithCharacteristics);

    // ---- The chain. Steps, peripheral and channel are only noted until begin().
    QKBluetooth& scanForPeripherals();
    QKBluetooth& connectToPeripherals();
    QKBluetooth& discoverServices();
    QKBluetooth& discoverCharacteristics();
    QKBluetooth& readValueForCharacteristic();
    QKBluetooth& discoverDescriptorsForCharacteristic();
    QKBluetooth& readValueForDescriptors();
    QKBluetooth& having(const CBPeripheralPtr& peripheral);
    QKBluetooth& channel(const std::string& channel);
    QKBluetooth& and_() { return *this; }
    QKBluetooth& then() { return *this; }
    QKBluetooth& with() { return *this; }
    // Drops a pending timed stop, takes the noted steps, switches to the noted channel (the
    // default when none), checks the chain, forgets the notes and starts.
    QKBluetooth& begin();
    // A timed stop: babyStop after the seconds, on the main loop. Replaces (and cancels) a
    // pending one.
    QKBluetooth& stop(int32_t seconds);
    // connectToPeripherals through readValueForDescriptors, then begin.
    QKBluetooth& enjoy();
    // Drops the timed stop, forgets the steps and the notes, stops the scan and cancels
    // every connection.
    void babyStop();
    void resetSeriseParmeter();
    // Throws the usage exception with the text of the last broken rule.
    void validateProcess();
    // Scans (a scan step) or connects the peripheral once the power is on; while it is not,
    // waits 2 s on the main queue, at most 4 times in a row. A connect that gives up fails: the
    // fail-to-connect block hears ConnectionFailed, on the main queue.
    void start(const CBPeripheralPtr& peripheral);

    // ---- Direct actions.
    void connectToPeripheral(const CBPeripheralPtr& peripheral);
    void cancelPeripheralConnection(const CBPeripheralPtr& peripheral);
    void cancelAllPeripheralsConnection();
    // Stops the scan, also one still waiting for the radio to power on.
    void cancelScan();
    void switchChannel(const std::optional<std::string>& channel);

    // Enables notification; every later value update of that characteristic on that
    // peripheral reaches the block only, whatever the current channel.
    void notify(const CBPeripheralPtr& peripheral, const CBCharacteristicPtr& characteristic,
                QKCharacteristicBlock block);
    void cancelNotify(const CBPeripheralPtr& peripheral, const CBCharacteristicPtr& characteristic);
    // Switches to the noted channel and forgets the notes; then, on a connected peripheral,
    // discovers the characteristic's descriptors and reads each once.
    QKBluetooth& characteristicDetails(const CBPeripheralPtr& peripheral,
                                       const CBCharacteristicPtr& characteristic);

    const std::vector<CBPeripheralPtr>& findConnectedPeripherals() const;
    CBPeripheralPtr findConnectedPeripheral(const std::string& name) const;
    // The platform central manager the facade drives.
    CBCentralManagerPtr centralManager() const;
    CBPeripheralPtr retrievePeripheralWithUUIDString(const std::string& uuid);
    void AutoReconnect(const CBPeripheralPtr& peripheral);
    void AutoReconnectCancel(const CBPeripheralPtr& peripheral);
    // A new central-role manager; the channels and their blocks stay.
    void resetCentralManager();

    // ---- Peripheral role.
    CBPeripheralManagerPtr peripheralManager() const;
    QKBluetoothPeripheralManager& bePeripheral();
    // Sets the local name first.
    QKBluetoothPeripheralManager& bePeripheralWithName(std::string name);
    // Blocks of the default channel.
    void peripheralModelBlockOnPeripheralManagerDidUpdateState(QKPeripheralManagerBlock block);
    void peripheralModelBlockOnDidAddService(QKPeripheralManagerServiceBlock block);
    void peripheralModelBlockOnDidStartAdvertising(QKPeripheralManagerErrorBlock block);
    void peripheralModelBlockOnDidReceiveReadRequest(QKPeripheralManagerRequestBlock block);
    void peripheralModelBlockOnDidReceiveWriteRequests(QKPeripheralManagerRequestsBlock block);
    void peripheralModelBlockOnIsReadyToUpdateSubscribers(QKPeripheralManagerBlock block);
    void peripheralModelBlockOnDidSubscribeToCharacteristic(
        QKPeripheralManagerSubscriptionBlock block);
    void peripheralModelBlockOnDidUnSubscribeToCharacteristic(
        QKPeripheralManagerSubscriptionBlock block);

  protected:
    // The library makes the one instance (shareQKBluetooth).
    QKBluetooth() = default;
};

}  // namespace telvo

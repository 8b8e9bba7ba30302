#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKBluetoothBlocks.h"
#include "telvosdk/Value.h"

namespace telvo {

// The SDK's one way into the central role of Bluetooth: a state check, scans with the
// product's name filter or a name-list filter and an optional time-out, the record of each
// accepted advertisement on the peripheral (CBPeripheralQKExtensions), connection and
// disconnection by channel, discovery, notifications, descriptor reads, writes and RSSI, and
// predicates over the capability dictionary of the manufacturer data. A channel argument left out
// (nullopt) means kPeripheralChannelName.
//
// An app scans here for the appliance and hands the peripheral it gets to
// QKDeviceBleConfigParams; each reported peripheral carries what its advertisement said
// (qkExtensions: qkAdvertiDictonary, qkAdvertisementRSSI, mas_name and the MAC mas_mac).
//
// Used on the main thread. Every block runs on the main queue, never inside the call that
// registered it, except readRSSIPeripheral on a peripheral that is not connected and
// isBleEnable's first call, which answer at once. Blocks hold the manager weakly.
class TELVO_EXPORT QKBLEDeviceManager : public std::enable_shared_from_this<QKBLEDeviceManager> {
  public:
    static constexpr const char* kPeripheralChannelName = "kPeripheralChannelName";

    using ScanBlock = std::function<void(const CBPeripheralPtr&)>;
    using StateBlock = std::function<void(const CBCentralManagerPtr&)>;
    // Connect and disconnect: the error is nullptr for a connection.
    using ConnectBlock = QKCentralPeripheralErrorBlock;
    using ServicesBlock = QKPeripheralErrorBlock;
    using CharacteristicsBlock = QKServiceBlock;
    using NotifyBlock = QKCharacteristicBlock;
    using WriteBlock = QKCharacteristicErrorBlock;
    using RSSIBlock = QKRSSIBlock;
    using Channel = std::optional<std::string>;

    // The one instance of the process, created on first call (any thread).
    static std::shared_ptr<QKBLEDeviceManager> shareInstance();

    // The module type of the current module-type scan (startScan sets it).
    int64_t bleModuleType() const { return bleModuleType_; }
    void setBleModuleType(int64_t moduleType) { bleModuleType_ = moduleType; }
    // Kept for the app; nothing reads it.
    const RSSIBlock& readRSSIBlock() const { return readRSSIBlock_; }
    void setReadRSSIBlock(RSSIBlock block) { readRSSIBlock_ = std::move(block); }

    // Selects the default channel, calls the block at once with the central manager, then on
    // every state change that arrives while the default channel is current.
    void isBleEnable(StateBlock block);
    void switchChannel(const Channel& channel);
    void resetCentralManager();
    CBCentralManagerPtr centralManager() const;

    // Scans on the default channel; each accepted advertisement (RSSI 127 never) is recorded on
    // its peripheral and reported. A time-out above 0 stops the scan after its whole seconds
    // (under 1 s: at the next turn of the loop), which also cancels every connection of the
    // wrapper; 0 or less scans until stopScan. A new scan replaces the previous one's blocks.
    void startScan(int64_t moduleType, double timeout, ScanBlock scanback);
    void startScanWithFilter(std::vector<std::string> names, double timeout, ScanBlock scanback);
    // Stops the scan, also one still waiting for the radio to power on; a pending timed stop
    // stays.
    void stopScan();

    // Connects, discovers every service, characteristic and descriptor and reads the
    // descriptors, on the channel. The block gets nullptr once connected, and the error when
    // the platform reports that this peripheral failed to connect or, until
    // disconnectConnectChannel replaces that, on a disconnection. A null peripheral raises
    // the wrapper's usage exception.
    void connect(const CBPeripheralPtr& peripheral, const Channel& channel, ConnectBlock block);
    // The block hears, at most once, the next disconnection of a peripheral that connected
    // through connect() on this channel (found by the peripheral, whichever channel is current).
    void disconnectConnectChannel(const Channel& channel, ConnectBlock block);
    // Takes out (removes) the disconnect block of the peripheral's connection channel.
    ConnectBlock getConnectedStatusCallBackWithPeripheral(const CBPeripheralPtr& peripheral);
    void discoverServicesChannel(const Channel& channel, ServicesBlock block);
    void discoverCharacteristics(const Channel& channel, CharacteristicsBlock block);
    void readValueFromPeripheral(const Channel& channel, const CBPeripheralPtr& unused,
                                 CharacteristicsBlock block);
    // Every later value update of the characteristic on the peripheral reaches the block.
    void notify(const CBPeripheralPtr& peripheral, const CBCharacteristicPtr& characteristic,
                NotifyBlock block);
    // On a connected peripheral: discovers the characteristic's descriptors and reads each once.
    void characteristicDetails(const Channel& channel, const CBPeripheralPtr& peripheral,
                               const CBCharacteristicPtr& characteristic);
    // The did-write block of the channel.
    void writeValueForCharacteristic(const Channel& channel, const CBPeripheralPtr& unused,
                                     WriteBlock block);
    // Writes with response in pieces of the peripheral's smaller maximumWriteValueLengthForType
    // of the two write types (at least 20 bytes), the first at once and each next one 20 ms
    // later on the main queue (each acknowledged on its own).
    // Nothing for a null peripheral, absent or empty data.
    void writeValuetoPeripheral(const Channel& unused, const CBPeripheralPtr& peripheral,
                                const std::optional<Bytes>& data,
                                const CBCharacteristicPtr& characteristic,
                                CBCharacteristicWriteType unusedType);
    void disconnectPeriphera(const CBPeripheralPtr& peripheral);
    // Not connected: the block gets the last advertisement's RSSI at once. Connected: the read
    // RSSI, without the platform's error.
    void readRSSIPeripheral(const CBPeripheralPtr& peripheral, RSSIBlock block);
    const std::vector<CBPeripheralPtr>& findConnectedPeripherals() const;
    // Only the scan options are kept (on the default channel, or on kPeripheralChannelName).
    void setQKBluetoothOptionsWithScanForPeripheralsWithOptions(
        std::optional<Dictionary> scanOptions, std::optional<Dictionary> unusedConnect = {},
        std::optional<std::vector<CBUUID>> unusedScanServices = {},
        std::optional<std::vector<CBUUID>> unusedServices = {},
        std::optional<std::vector<CBUUID>> unusedCharacteristics = {});
    void setsetQKBluetoothOptionsWithScanForPeripheralsWithOptionsChannel(
        const Channel& unusedChannel, std::optional<Dictionary> scanOptions,
        std::optional<Dictionary> unusedConnect = {},
        std::optional<std::vector<CBUUID>> unusedScanServices = {},
        std::optional<std::vector<CBUUID>> unusedServices = {},
        std::optional<std::vector<CBUUID>> unusedCharacteristics = {});

    // The filters. The name is the advertisement's local name when it has one, else the
    // peripheral's name.
    bool filterDiscoverPeripheral(int64_t moduleType, const std::optional<std::string>& name,
                                  const Dictionary& advertisement) const;
    bool filterContains(const std::vector<std::string>& names,
                        const std::optional<std::string>& name,
                        const Dictionary& advertisement) const;
    // Some entry contains the name, case aside (the peripheral name as given; none: NO).
    bool filterDiscover(const std::vector<std::string>& names,
                        const std::optional<std::string>& name,
                        const Dictionary& advertisement) const;

    static std::optional<Dictionary> bleAdvDicWithPeripheral(
        ByteView manufacturerData, const std::optional<std::string>& bleName);
    // Predicates over a capability dictionary; an absent one gives NO.
    static bool bleAdvIsWifiConfigEnableWithDict(const std::optional<Dictionary>& dict);
    static bool bleAdvIsBeConfigedWithDict(const std::optional<Dictionary>& dict);
    static bool bleAdvIsCanConfigWithDict(const std::optional<Dictionary>& dict);
    static bool bleAdvIsAuthedWithDict(const std::optional<Dictionary>& dict);
    static bool bleAdvIsCanUpdateRouterWithDict(const std::optional<Dictionary>& dict);

  protected:
    // The library makes the one instance (shareInstance).
    QKBLEDeviceManager() = default;

  private:
    enum class ScanKind { ModuleType, NameList };
    void beginScan(ScanKind kind, QKPeripheralFilter filter, double timeout, ScanBlock scanback);
    void record(ScanKind kind, const CBPeripheralPtr& peripheral, const Dictionary& advertisement,
                int rssi);

    int64_t bleModuleType_ = 0;
    RSSIBlock readRSSIBlock_;
};

}  // namespace telvo

#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "blecore/QKBluetoothSpeaker.h"
#include "platform/dispatch/DispatchTimer.h"
#include "telvosdk/CBCentralManager.h"

namespace telvo {

// Notifications of the central role, posted on the default centre with a dictionary both as
// the object (a Dictionary) and as the user info.
inline constexpr const char* KQKNotificationAtCentralManagerDidUpdateState =
    "KQKNotificationAtCentralManagerDidUpdateState";
inline constexpr const char* KQKNotificationAtCentralManagerEnable =
    "KQKNotificationAtCentralManagerEnable";
inline constexpr const char* KQKNotificationAtDidDiscoverPeripheral =
    "KQKNotificationAtDidDiscoverPeripheral";
inline constexpr const char* KQKNotificationAtDidConnectPeripheral =
    "KQKNotificationAtDidConnectPeripheral";
inline constexpr const char* KQKNotificationAtDidFailToConnectPeripheral =
    "KQKNotificationAtDidFailToConnectPeripheral";
inline constexpr const char* KQKNotificationAtDidDisconnectPeripheral =
    "KQKNotificationAtDidDisconnectPeripheral";
inline constexpr const char* KQKNotificationAtDidDiscoverServices =
    "KQKNotificationAtDidDiscoverServices";
inline constexpr const char* KQKNotificationAtDidDiscoverCharacteristicsForService =
    "KQKNotificationAtDidDiscoverCharacteristicsForService";
inline constexpr const char* KQKNotificationAtDidUpdateValueForCharacteristic =
    "KQKNotificationAtDidUpdateValueForCharacteristic";
inline constexpr const char* KQKNotificationAtDidWriteValueForCharacteristic =
    "KQKNotificationAtDidWriteValueForCharacteristic";
inline constexpr const char* KQKNotificationAtDidUpdateNotificationStateForCharacteristic =
    "KQKNotificationAtDidUpdateNotificationStateForCharacteristic";
inline constexpr const char* KQKNotificationAtDidReadRSSI = "KQKNotificationAtDidReadRSSI";

// The delegate of the platform central manager and of every peripheral it connects. Each
// event goes to its notification and to the current channel's block (the RSSI to the default
// channel's; a value update with a notify callback to that callback only), then drives the
// next step of the chain the step flags describe. The platform manager is created without a
// queue, so every event and block runs on the main queue. Used on the main thread; not locked.
class QKBluetoothCentralManager : public CBCentralManagerDelegate,
                                  public CBPeripheralDelegate,
                                  public std::enable_shared_from_this<QKBluetoothCentralManager> {
  public:
    static constexpr const char* kRestoreIdentifier = "QKBluetoothBluetoothRestore";

    // The platform manager uses BluetoothRadio::shared() and, when the app declares the
    // background mode "bluetooth-central", the restore identifier.
    static std::shared_ptr<QKBluetoothCentralManager> create(
        std::shared_ptr<QKBluetoothSpeaker> speaker);

    // Step flags of the chain.
    bool needScanForPeripherals = false;
    bool needConnectPeripheral = false;
    bool needDiscoverServices = false;
    bool needDiscoverCharacteristics = false;
    bool needReadValueForCharacteristic = false;
    bool needDiscoverDescriptorsForCharacteristic = false;
    bool needReadValueForDescriptors = false;
    bool oneReadValueForDescriptors = false;  // one-shot, set by characteristicDetails
    // The marks of the chain steps until begin: "YES" under a step's flag name, the channel
    // under "channel", the peripheral (an object) under "CBPeripheral".
    Dictionary pocket;

    const CBCentralManagerPtr& centralManager() const { return centralManager_; }
    const std::shared_ptr<QKBluetoothSpeaker>& speaker() const { return speaker_; }
    const std::shared_ptr<DispatchTimer>& connectTimer() const { return connectTimer_; }
    const std::vector<CBPeripheralPtr>& connectedPeripherals() const { return connected_; }
    // The peripherals discovered that the system still knows.
    const std::vector<CBPeripheralPtr>& discoverPeripherals() const { return discovered_; }
    const std::vector<CBPeripheralPtr>& reConnectPeripherals() const { return reconnect_; }

    // Scans with the current channel's services and scan options.
    void scanPeripherals();
    // Connects with the current channel's connect options.
    void connectToPeripheral(const CBPeripheralPtr& peripheral);
    // Marks the peripheral's record (manualDisconnectTag) and cancels its connection.
    void cancelPeripheralConnection(const CBPeripheralPtr& peripheral);
    // Cancels every connected peripheral, without the mark.
    void cancelAllPeripheralsConnection();
    // Stops the scan and calls the current channel's blockOnCancelScan.
    void cancelScan();
    // The connect timer's end: stops the scan.
    void disconnect();
    void sometimes_ever(const CBPeripheralPtr& peripheral);
    void sometimes_never(const CBPeripheralPtr& peripheral);
    void addDiscoverPeripheral(const CBPeripheralPtr& peripheral);
    void addPeripheral(const CBPeripheralPtr& peripheral);
    void deletePeripheral(const CBPeripheralPtr& peripheral);
    // The first connected peripheral whose name equals the text, or nullptr.
    CBPeripheralPtr findConnectedPeripheral(const std::string& name) const;
    const std::vector<CBPeripheralPtr>& findConnectedPeripherals() const { return connected_; }
    // Clears the seven step flags.
    void resetSeriseParmeter();

    // CBCentralManagerDelegate.
    void centralManagerDidUpdateState(const CBCentralManagerPtr& central) override;
    void centralManagerDidDiscoverPeripheral(const CBCentralManagerPtr& central,
                                             const CBPeripheralPtr& peripheral,
                                             const Dictionary& advertisementData,
                                             int rssi) override;
    void centralManagerDidConnectPeripheral(const CBCentralManagerPtr& central,
                                            const CBPeripheralPtr& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(const CBCentralManagerPtr& central,
                                                  const CBPeripheralPtr& peripheral,
                                                  const ErrorPtr& error) override;
    void centralManagerDidDisconnectPeripheral(const CBCentralManagerPtr& central,
                                               const CBPeripheralPtr& peripheral,
                                               const ErrorPtr& error) override;
    // Drops the peripheral from the discovered ones.
    void centralManagerDidForgetPeripheral(const CBCentralManagerPtr& central,
                                           const CBPeripheralPtr& peripheral) override;
    // CBPeripheralDelegate.
    void peripheralDidDiscoverServices(const CBPeripheralPtr&, const ErrorPtr&) override;
    void peripheralDidDiscoverIncludedServicesForService(const CBPeripheralPtr&,
                                                         const CBServicePtr&,
                                                         const ErrorPtr&) override;
    void peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr&, const CBServicePtr&,
                                                        const ErrorPtr&) override;
    void peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr&,
                                                           const CBCharacteristicPtr&,
                                                           const ErrorPtr&) override;
    void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&,
                                                   const CBCharacteristicPtr&,
                                                   const ErrorPtr&) override;
    void peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr&, const CBDescriptorPtr&,
                                               const ErrorPtr&) override;
    void peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr&,
                                                  const CBCharacteristicPtr&,
                                                  const ErrorPtr&) override;
    void peripheralDidWriteValueForDescriptor(const CBPeripheralPtr&, const CBDescriptorPtr&,
                                              const ErrorPtr&) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr&,
                                                               const CBCharacteristicPtr&,
                                                               const ErrorPtr&) override;
    void peripheralDidReadRSSI(const CBPeripheralPtr&, std::optional<int> rssi,
                               const ErrorPtr&) override;
    void peripheralDidUpdateName(const CBPeripheralPtr&) override;
    void peripheralDidModifyServices(const CBPeripheralPtr&,
                                     const std::vector<CBServicePtr>& invalidated) override;

  private:
    explicit QKBluetoothCentralManager(std::shared_ptr<QKBluetoothSpeaker> speaker)
        : speaker_(std::move(speaker)) {}
    std::shared_ptr<QKBluetoothCallback> current() const {
        return speaker_->callbackOnCurrChannel();
    }
    std::shared_ptr<QKBluetoothOptions> currentOptions() const;

    const std::shared_ptr<QKBluetoothSpeaker> speaker_;
    CBCentralManagerPtr centralManager_;
    std::shared_ptr<DispatchTimer> connectTimer_;
    std::vector<CBPeripheralPtr> connected_;
    std::vector<CBPeripheralPtr> discovered_;
    std::vector<CBPeripheralPtr> reconnect_;
};

}  // namespace telvo

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

class BluetoothRadio;
class DispatchQueue;
struct RadioEvent;
class CBCentralManager;
using CBCentralManagerPtr = std::shared_ptr<CBCentralManager>;

// The events of a central manager. Every method runs on the manager's queue, never inside the
// call that caused it. Held weakly.
class TELVO_EXPORT CBCentralManagerDelegate {
  public:
    virtual ~CBCentralManagerDelegate() = default;
    virtual void centralManagerDidUpdateState(const CBCentralManagerPtr&) {}
    // Never called: there is no state restoration on this platform.
    virtual void centralManagerWillRestoreState(const CBCentralManagerPtr&, const Dictionary&) {}
    // rssi in dBm, 127 when the radio could not measure it.
    virtual void centralManagerDidDiscoverPeripheral(const CBCentralManagerPtr&,
                                                     const CBPeripheralPtr&,
                                                     const Dictionary& /*advertisementData*/,
                                                     int /*rssi*/) {}
    virtual void centralManagerDidConnectPeripheral(const CBCentralManagerPtr&,
                                                    const CBPeripheralPtr&) {}
    virtual void centralManagerDidFailToConnectPeripheral(const CBCentralManagerPtr&,
                                                          const CBPeripheralPtr&, const ErrorPtr&) {
    }
    // Exactly once per connect that did not fail: error nullptr after
    // cancelPeripheralConnection, the cause otherwise.
    virtual void centralManagerDidDisconnectPeripheral(const CBCentralManagerPtr&,
                                                       const CBPeripheralPtr&, const ErrorPtr&) {}
    // The system forgot a peripheral this manager reported and has no link to (BlueZ drops a
    // device it has not heard for a while). The manager forgets it too once no one else holds
    // it: a later discovery of that identifier reports a new object.
    virtual void centralManagerDidForgetPeripheral(const CBCentralManagerPtr&,
                                                   const CBPeripheralPtr&) {}
};

// The central role of the host's Bluetooth (BlueZ on the system bus). Its state is Unknown
// until the first state event. Scanning and connecting need the power on; otherwise
// they log a misuse line and do nothing (a scan is not resumed when the power comes on). When
// the power goes off the scan ends and every connection ends with its event.
//
// Events are delivered on the main queue, never inline. Once the last reference to the manager is
// dropped (also from inside one of its events) nothing more is delivered, and its scan and
// connections end. After cancelPeripheralConnection the only event about that peripheral is the
// disconnection. Members are thread-safe.
class TELVO_EXPORT CBCentralManager : public std::enable_shared_from_this<CBCentralManager> {
  public:
    // initWithDelegate:queue:options: on the main queue. options: CBCentralManagerOption...
    // keys.
    static CBCentralManagerPtr create(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                      Dictionary options = {});
    ~CBCentralManager();

    CBManagerState state() const;
    bool isScanning() const;
    const Dictionary& options() const { return options_; }
    // The CBCentralManagerOptionRestoreIdentifierKey option, when given.
    std::optional<std::string> restoreIdentifier() const;

    void setDelegate(std::weak_ptr<CBCentralManagerDelegate> delegate);
    std::shared_ptr<CBCentralManagerDelegate> delegate() const;

    // services: only advertisers of one of them; nullopt for all. options:
    // CBCentralManagerScanOptionAllowDuplicatesKey. A new scan replaces the running one.
    void scanForPeripheralsWithServices(const std::optional<std::vector<CBUUID>>& services,
                                        const Dictionary& options = {});
    // Advertisements already on their way are dropped.
    void stopScan();
    void connectPeripheral(const CBPeripheralPtr& peripheral, const Dictionary& options = {});
    void cancelPeripheralConnection(const CBPeripheralPtr& peripheral);
    // The peripherals this manager or the radio knows, in the order asked; unknown ones are
    // left out.
    std::vector<CBPeripheralPtr> retrievePeripheralsWithIdentifiers(
        const std::vector<NSUUID>& identifiers);
    // Peripherals connected to the system that have one of the services.
    std::vector<CBPeripheralPtr> retrieveConnectedPeripheralsWithServices(
        const std::vector<CBUUID>& services);

  private:
    // Made and attached to the radio (create; the library's own managers on a queue and radio
    // of its own).
    static CBCentralManagerPtr make(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                    std::shared_ptr<DispatchQueue> queue, Dictionary options,
                                    std::shared_ptr<BluetoothRadio> radio);
    CBCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                     std::shared_ptr<DispatchQueue> queue, Dictionary options,
                     std::shared_ptr<BluetoothRadio> radio);
    void attach();
    // The radio and this manager's client of it, which its peripherals use while linked.
    const std::shared_ptr<BluetoothRadio> radio_;
    uint64_t client_ = 0;

    // Epochs shared with the radio's sink, which must not hold the manager: an event is
    // dropped when its peripheral's epoch (or the scan's) moved on since the radio sent it.
    struct Epochs {
        std::mutex mutex;
        uint64_t scan = 0;
        std::map<std::string, uint64_t> peripherals;
        uint64_t of(const RadioEvent& event);
    };

    void deliver(const RadioEvent& event, uint64_t epoch);
    CBPeripheralPtr peripheralFor(const std::string& identifier,
                                  const std::optional<std::string>& name, bool create);
    // Moves the peripheral's epoch on and posts its disconnection (error may be null).
    void endLink(const CBPeripheralPtr& peripheral, ErrorPtr error);
    void finishLink(const CBPeripheralPtr& peripheral);
    // The radio forgot the peripheral.
    void forget(const std::string& identifier);

    const std::shared_ptr<DispatchQueue> queue_;
    const Dictionary options_;
    const std::shared_ptr<Epochs> epochs_ = std::make_shared<Epochs>();

    mutable std::mutex mutex_;
    std::weak_ptr<CBCentralManagerDelegate> delegate_;
    CBManagerState state_ = CBManagerState::Unknown;
    bool scanning_ = false;
    std::map<std::string, std::weak_ptr<CBPeripheral>> known_;
    // Connecting, connected or disconnecting.
    std::map<std::string, CBPeripheralPtr> linked_;
};

}  // namespace telvo

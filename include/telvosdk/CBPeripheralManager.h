#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

class BluetoothRadio;
class DispatchQueue;
struct RadioEvent;
class CBPeripheralManager;
using CBPeripheralManagerPtr = std::shared_ptr<CBPeripheralManager>;

// The events of a peripheral manager. Every method runs on the manager's queue, never inside
// the call that caused it. Held weakly.
class TELVO_EXPORT CBPeripheralManagerDelegate {
  public:
    virtual ~CBPeripheralManagerDelegate() = default;
    virtual void peripheralManagerDidUpdateState(const CBPeripheralManagerPtr&) {}
    virtual void peripheralManagerDidAddService(const CBPeripheralManagerPtr&, const CBServicePtr&,
                                                const ErrorPtr&) {}
    virtual void peripheralManagerDidStartAdvertising(const CBPeripheralManagerPtr&,
                                                      const ErrorPtr&) {}
    // Set the request's value, then respondToRequest.
    virtual void peripheralManagerDidReceiveReadRequest(const CBPeripheralManagerPtr&,
                                                        const CBATTRequestPtr&) {}
    // Answer the first request with respondToRequest.
    virtual void peripheralManagerDidReceiveWriteRequests(const CBPeripheralManagerPtr&,
                                                          const std::vector<CBATTRequestPtr>&) {}
    virtual void peripheralManagerIsReadyToUpdateSubscribers(const CBPeripheralManagerPtr&) {}
    virtual void peripheralManagerCentralDidSubscribeToCharacteristic(
        const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&,
        const CBCharacteristicPtr&) {}
    virtual void peripheralManagerCentralDidUnsubscribeFromCharacteristic(
        const CBPeripheralManagerPtr&, const std::shared_ptr<CBCentral>&,
        const CBCharacteristicPtr&) {}
};

// The peripheral (advertiser) role of the host's Bluetooth (BlueZ's GATT and advertising
// managers): local services and advertising. Its state is Unknown until the first state event;
// adding services and advertising need the power on (otherwise a misuse line, nothing else).
// When the power goes off advertising ends. Events are delivered on the main queue, never
// inline; nothing is delivered once the last
// reference is dropped. Members are thread-safe; the services are read and changed on the
// manager's queue.
class TELVO_EXPORT CBPeripheralManager : public std::enable_shared_from_this<CBPeripheralManager> {
  public:
    // initWithDelegate:queue:options: on the main queue. options: CBPeripheralManagerOption...
    // keys.
    static CBPeripheralManagerPtr create(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                                         Dictionary options = {});
    ~CBPeripheralManager();

    CBManagerState state() const;
    bool isAdvertising() const;
    const Dictionary& options() const { return options_; }

    void setDelegate(std::weak_ptr<CBPeripheralManagerDelegate> delegate);
    std::shared_ptr<CBPeripheralManagerDelegate> delegate() const;

    // Publishes the service with its characteristics and descriptors; answered by
    // peripheralManagerDidAddService.
    void addService(const std::shared_ptr<CBMutableService>& service);
    void removeService(const std::shared_ptr<CBMutableService>& service);
    void removeAllServices();
    // advertisement: CBAdvertisementDataLocalNameKey and CBAdvertisementDataServiceUUIDsKey
    // (UUID texts); other keys are passed on as they are.
    void startAdvertising(const Dictionary& advertisement);
    void stopAdvertising();
    void respondToRequest(const CBATTRequestPtr& request, CBATTError result);
    // Sends the value to the subscribed centrals (all of them when centrals is empty); false
    // when the radio's queue is full, then peripheralManagerIsReadyToUpdateSubscribers follows.
    bool updateValue(const Bytes& value, const std::shared_ptr<CBMutableCharacteristic>& on,
                     const std::vector<std::shared_ptr<CBCentral>>& centrals = {});

  private:
    // Made and attached to the radio (create; the library's own managers on a queue and radio
    // of its own).
    static CBPeripheralManagerPtr make(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                                       std::shared_ptr<DispatchQueue> queue, Dictionary options,
                                       std::shared_ptr<BluetoothRadio> radio);
    CBPeripheralManager(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                        std::shared_ptr<DispatchQueue> queue, Dictionary options,
                        std::shared_ptr<BluetoothRadio> radio);
    void attach();

    void deliver(const RadioEvent& event);
    CBServicePtr serviceForHandle(uint16_t handle) const;
    std::shared_ptr<CBMutableCharacteristic> characteristicForHandle(uint16_t handle) const;
    bool poweredOn(const char* operation) const;

    const std::shared_ptr<DispatchQueue> queue_;
    const Dictionary options_;
    const std::shared_ptr<BluetoothRadio> radio_;
    uint64_t client_ = 0;

    mutable std::mutex mutex_;
    std::weak_ptr<CBPeripheralManagerDelegate> delegate_;
    CBManagerState state_ = CBManagerState::Unknown;
    bool advertising_ = false;
    uint16_t nextHandle_ = 1;
    std::vector<std::shared_ptr<CBMutableService>> services_;
};

}  // namespace telvo

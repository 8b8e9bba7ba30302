#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Export.h"

namespace telvo {

class BluetoothRadio;
struct RadioEvent;
class CBCentralManager;
class CBPeripheral;
using CBPeripheralPtr = std::shared_ptr<CBPeripheral>;

// The events of one peripheral. Every method runs on the queue of the central manager that
// found the peripheral, never inside the call that caused it. Held weakly.
class TELVO_EXPORT CBPeripheralDelegate {
  public:
    virtual ~CBPeripheralDelegate() = default;
    virtual void peripheralDidDiscoverServices(const CBPeripheralPtr&, const ErrorPtr&) {}
    virtual void peripheralDidDiscoverIncludedServicesForService(const CBPeripheralPtr&,
                                                                 const CBServicePtr&,
                                                                 const ErrorPtr&) {}
    virtual void peripheralDidDiscoverCharacteristicsForService(const CBPeripheralPtr&,
                                                                const CBServicePtr&,
                                                                const ErrorPtr&) {}
    virtual void peripheralDidDiscoverDescriptorsForCharacteristic(const CBPeripheralPtr&,
                                                                   const CBCharacteristicPtr&,
                                                                   const ErrorPtr&) {}
    // A read's answer or a notification; the value is in the characteristic.
    virtual void peripheralDidUpdateValueForCharacteristic(const CBPeripheralPtr&,
                                                           const CBCharacteristicPtr&,
                                                           const ErrorPtr&) {}
    virtual void peripheralDidUpdateValueForDescriptor(const CBPeripheralPtr&,
                                                       const CBDescriptorPtr&, const ErrorPtr&) {}
    // Writes with response only.
    virtual void peripheralDidWriteValueForCharacteristic(const CBPeripheralPtr&,
                                                          const CBCharacteristicPtr&,
                                                          const ErrorPtr&) {}
    virtual void peripheralDidWriteValueForDescriptor(const CBPeripheralPtr&,
                                                      const CBDescriptorPtr&, const ErrorPtr&) {}
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(const CBPeripheralPtr&,
                                                                       const CBCharacteristicPtr&,
                                                                       const ErrorPtr&) {}
    // rssi: nullopt when the read failed.
    virtual void peripheralDidReadRSSI(const CBPeripheralPtr&, std::optional<int> /*rssi*/,
                                       const ErrorPtr&) {}
    virtual void peripheralDidUpdateName(const CBPeripheralPtr&) {}
    virtual void peripheralDidModifyServices(const CBPeripheralPtr&,
                                             const std::vector<CBServicePtr>& /*invalidated*/) {}
};

// A remote peripheral, created by a central manager when it is discovered or retrieved, one
// object per identifier while it is held. The manager holds it from connect until the
// disconnection; otherwise the app does. Commands are accepted only while connected (others
// log a misuse line and do nothing) and are answered through the delegate. Members are
// thread-safe; the attribute objects are updated on the manager's queue. Only the library makes
// peripherals and changes their state.
class TELVO_EXPORT CBPeripheral : public std::enable_shared_from_this<CBPeripheral> {
  public:
    const NSUUID& identifier() const { return identifier_; }
    std::optional<std::string> name() const;
    CBPeripheralState state() const;
    std::vector<CBServicePtr> services() const;

    void setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate);
    std::shared_ptr<CBPeripheralDelegate> delegate() const;

    // uuids: nullopt for every service.
    void discoverServices(const std::optional<std::vector<CBUUID>>& uuids);
    void discoverIncludedServices(const std::optional<std::vector<CBUUID>>& uuids,
                                  const CBServicePtr& service);
    void discoverCharacteristics(const std::optional<std::vector<CBUUID>>& uuids,
                                 const CBServicePtr& service);
    void discoverDescriptorsForCharacteristic(const CBCharacteristicPtr& characteristic);
    void readValueForCharacteristic(const CBCharacteristicPtr& characteristic);
    void readValueForDescriptor(const CBDescriptorPtr& descriptor);
    // A write with response is answered by peripheralDidWriteValueForCharacteristic; one
    // without response is not answered, and a value longer than
    // maximumWriteValueLengthForType(WithoutResponse) may be dropped by the radio.
    void writeValue(const Bytes& data, const CBCharacteristicPtr& characteristic,
                    CBCharacteristicWriteType type);
    void writeValueForDescriptor(const Bytes& data, const CBDescriptorPtr& descriptor);
    void setNotifyValue(bool enabled, const CBCharacteristicPtr& characteristic);
    void readRSSI();
    // The longest value one write of the type can carry (20 while not connected).
    size_t maximumWriteValueLengthForType(CBCharacteristicWriteType type) const;

    // Records that other layers keep on the peripheral, one per type, created empty on first
    // use and living as long as the peripheral.
    template <class T>
    std::shared_ptr<T> extension() {
        std::lock_guard lock(mutex_);
        auto& slot = extensions_[typeid(T)];
        if (!slot) slot = std::make_shared<T>();
        return std::static_pointer_cast<T>(slot);
    }

  private:
    // Made by the library's central managers, which keep its state from the radio's events.
    CBPeripheral(NSUUID identifier, std::optional<std::string> name,
                 std::weak_ptr<CBCentralManager> manager);
    static CBPeripheralPtr make(NSUUID identifier, std::optional<std::string> name,
                                std::weak_ptr<CBCentralManager> manager);
    // On the manager's queue: applies one radio event and calls the delegate.
    void handleEvent(const RadioEvent& event);
    void setState(CBPeripheralState state);
    void setName(std::optional<std::string> name);
    // Disconnected: every characteristic stops notifying.
    void resetNotifying();
    const std::string key_;  // identifier text
    const std::weak_ptr<CBCentralManager> manager_;

    // The manager's radio and client while it lives and the peripheral is connected.
    struct Link {
        std::shared_ptr<BluetoothRadio> radio;
        uint64_t client = 0;
    };
    std::optional<Link> connectedLink(const char* operation) const;
    bool owns(const CBAttribute* attribute) const;
    void handleDiscovery(const RadioEvent& event, const CBPeripheralPtr& self,
                         const std::shared_ptr<CBPeripheralDelegate>& delegate);
    void invalidateServices(const RadioEvent& event, const CBPeripheralPtr& self,
                            const std::shared_ptr<CBPeripheralDelegate>& delegate);
    CBServicePtr serviceForHandle(uint16_t handle) const;
    CBCharacteristicPtr characteristicForHandle(uint16_t handle) const;
    CBDescriptorPtr descriptorForHandle(uint16_t handle) const;

    const NSUUID identifier_;
    mutable std::mutex mutex_;
    std::optional<std::string> name_;
    CBPeripheralState state_ = CBPeripheralState::Disconnected;
    std::vector<CBServicePtr> services_;
    std::weak_ptr<CBPeripheralDelegate> delegate_;
    std::map<std::type_index, std::shared_ptr<void>> extensions_;
};

}  // namespace telvo

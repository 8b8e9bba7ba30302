#pragma once

// The state of the public Bluetooth objects that the library's own classes fill in: handles,
// the links between attributes, read values, subscriptions, and a peripheral's link to its
// manager. Each accessor names its field through a class derived from the one that declares
// it; the objects themselves stay of their public types.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/BluetoothRadio.h"
#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheral.h"

namespace telvo::bt {

struct AttributeFields : CBAttribute {
    static constexpr auto handle = &AttributeFields::handle_;
};
struct ServiceFields : CBService {
    static constexpr auto peripheral = &ServiceFields::peripheral_;
    static constexpr auto included = &ServiceFields::included_;
    static constexpr auto characteristics = &ServiceFields::characteristics_;
};
struct CharacteristicFields : CBCharacteristic {
    static constexpr auto service = &CharacteristicFields::service_;
    static constexpr auto value = &CharacteristicFields::value_;
    static constexpr auto descriptors = &CharacteristicFields::descriptors_;
    static constexpr auto notifying = &CharacteristicFields::notifying_;
};
struct DescriptorFields : CBDescriptor {
    static constexpr auto characteristic = &DescriptorFields::characteristic_;
    static constexpr auto value = &DescriptorFields::value_;
};
struct MutableCharacteristicFields : CBMutableCharacteristic {
    static constexpr auto subscribed = &MutableCharacteristicFields::subscribed_;
};
struct CentralManagerFields : CBCentralManager {
    static constexpr auto radio = &CentralManagerFields::radio_;
    static constexpr auto client = &CentralManagerFields::client_;
};
struct PeripheralFields : CBPeripheral {
    static constexpr auto setStateMember = &PeripheralFields::setState;
    static constexpr auto setNameMember = &PeripheralFields::setName;
    static constexpr auto resetNotifyingMember = &PeripheralFields::resetNotifying;
    static constexpr auto handleEventMember = &PeripheralFields::handleEvent;
    static constexpr auto keyMember = &PeripheralFields::key_;
    static constexpr auto managerMember = &PeripheralFields::manager_;
};

inline uint16_t& handle(CBAttribute& a) {
    return a.*AttributeFields::handle;
}
inline uint16_t handle(const CBAttribute& a) {
    return a.*AttributeFields::handle;
}
inline std::weak_ptr<CBPeripheral>& peripheral(CBService& s) {
    return s.*ServiceFields::peripheral;
}
inline std::vector<CBServicePtr>& included(CBService& s) {
    return s.*ServiceFields::included;
}
inline std::vector<CBCharacteristicPtr>& characteristics(CBService& s) {
    return s.*ServiceFields::characteristics;
}
inline std::weak_ptr<CBService>& service(CBCharacteristic& c) {
    return c.*CharacteristicFields::service;
}
inline std::optional<Bytes>& value(CBCharacteristic& c) {
    return c.*CharacteristicFields::value;
}
inline std::vector<CBDescriptorPtr>& descriptors(CBCharacteristic& c) {
    return c.*CharacteristicFields::descriptors;
}
inline bool& notifying(CBCharacteristic& c) {
    return c.*CharacteristicFields::notifying;
}
inline std::weak_ptr<CBCharacteristic>& characteristic(CBDescriptor& d) {
    return d.*DescriptorFields::characteristic;
}
inline Value& value(CBDescriptor& d) {
    return d.*DescriptorFields::value;
}
inline std::vector<std::string>& subscribed(CBMutableCharacteristic& c) {
    return c.*MutableCharacteristicFields::subscribed;
}
inline const std::shared_ptr<BluetoothRadio>& radio(const CBCentralManager& m) {
    return m.*CentralManagerFields::radio;
}
inline uint64_t client(const CBCentralManager& m) {
    return m.*CentralManagerFields::client;
}
// The peripheral's identifier as text, and the manager that made it.
inline const std::string& key(const CBPeripheral& p) {
    return p.*PeripheralFields::keyMember;
}
inline const std::weak_ptr<CBCentralManager>& manager(const CBPeripheral& p) {
    return p.*PeripheralFields::managerMember;
}
inline void setState(CBPeripheral& p, CBPeripheralState state) {
    (p.*PeripheralFields::setStateMember)(state);
}
inline void setName(CBPeripheral& p, std::optional<std::string> name) {
    (p.*PeripheralFields::setNameMember)(std::move(name));
}
inline void resetNotifying(CBPeripheral& p) {
    (p.*PeripheralFields::resetNotifyingMember)();
}
inline void handleEvent(CBPeripheral& p, const RadioEvent& event) {
    (p.*PeripheralFields::handleEventMember)(event);
}

}  // namespace telvo::bt

#pragma once

// The state of the public Bluetooth objects that the library's own classes fill in: handles,
// the links between attributes, read values, subscriptions, a peripheral's link to its manager,
// and the making of peripherals and managers. The public classes keep all of it private and
// name no friend; the library reaches it here alone.
//
// How: an explicit instantiation may name a private member (access is not checked there), so
// instantiating Reach<Tag, &Class::member> defines reach(Tag), which returns the member's
// pointer. Each Tag is declared once below, beside the member it reaches.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dispatch/DispatchQueue.h"
#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/CBCentralManager.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/CBPeripheralManager.h"

namespace telvo::bt {

template <class Tag, typename Tag::Type Member>
struct Reach {
    friend typename Tag::Type reach(Tag) { return Member; }
};

#define TELVO_BT_REACH(Tag, MemberType, Member) \
    struct Tag {                                \
        using Type = MemberType;                \
        friend Type reach(Tag);                 \
    };                                          \
    template struct Reach<Tag, &Member>;

TELVO_BT_REACH(AttributeHandle, uint16_t CBAttribute::*, CBAttribute::handle_)
TELVO_BT_REACH(ServicePeripheral, std::weak_ptr<CBPeripheral> CBService::*, CBService::peripheral_)
TELVO_BT_REACH(ServiceIncluded, std::vector<CBServicePtr> CBService::*, CBService::included_)
TELVO_BT_REACH(ServiceCharacteristics, std::vector<CBCharacteristicPtr> CBService::*,
               CBService::characteristics_)
TELVO_BT_REACH(CharacteristicService, std::weak_ptr<CBService> CBCharacteristic::*,
               CBCharacteristic::service_)
TELVO_BT_REACH(CharacteristicProperties, uint32_t CBCharacteristic::*,
               CBCharacteristic::properties_)
TELVO_BT_REACH(CharacteristicValue, std::optional<Bytes> CBCharacteristic::*,
               CBCharacteristic::value_)
TELVO_BT_REACH(CharacteristicDescriptors, std::vector<CBDescriptorPtr> CBCharacteristic::*,
               CBCharacteristic::descriptors_)
TELVO_BT_REACH(CharacteristicNotifying, bool CBCharacteristic::*, CBCharacteristic::notifying_)
TELVO_BT_REACH(DescriptorCharacteristic, std::weak_ptr<CBCharacteristic> CBDescriptor::*,
               CBDescriptor::characteristic_)
TELVO_BT_REACH(DescriptorValue, Value CBDescriptor::*, CBDescriptor::value_)
TELVO_BT_REACH(MutableSubscribed, std::vector<std::string> CBMutableCharacteristic::*,
               CBMutableCharacteristic::subscribed_)
TELVO_BT_REACH(CentralRadio, const std::shared_ptr<BluetoothRadio> CBCentralManager::*,
               CBCentralManager::radio_)
TELVO_BT_REACH(CentralClient, uint64_t CBCentralManager::*, CBCentralManager::client_)
TELVO_BT_REACH(CentralMake,
               CBCentralManagerPtr (*)(std::weak_ptr<CBCentralManagerDelegate>, DispatchQueuePtr,
                                       Dictionary, std::shared_ptr<BluetoothRadio>),
               CBCentralManager::make)
TELVO_BT_REACH(PeripheralManagerMake,
               CBPeripheralManagerPtr (*)(std::weak_ptr<CBPeripheralManagerDelegate>,
                                          DispatchQueuePtr, Dictionary,
                                          std::shared_ptr<BluetoothRadio>),
               CBPeripheralManager::make)
TELVO_BT_REACH(PeripheralKey, const std::string CBPeripheral::*, CBPeripheral::key_)
TELVO_BT_REACH(PeripheralManager, const std::weak_ptr<CBCentralManager> CBPeripheral::*,
               CBPeripheral::manager_)
TELVO_BT_REACH(PeripheralSetState, void (CBPeripheral::*)(CBPeripheralState),
               CBPeripheral::setState)
TELVO_BT_REACH(PeripheralSetName, void (CBPeripheral::*)(std::optional<std::string>),
               CBPeripheral::setName)
TELVO_BT_REACH(PeripheralResetNotifying, void (CBPeripheral::*)(), CBPeripheral::resetNotifying)
TELVO_BT_REACH(PeripheralHandleEvent, void (CBPeripheral::*)(const RadioEvent&),
               CBPeripheral::handleEvent)
TELVO_BT_REACH(PeripheralMake,
               CBPeripheralPtr (*)(NSUUID, std::optional<std::string>,
                                   std::weak_ptr<CBCentralManager>),
               CBPeripheral::make)

#undef TELVO_BT_REACH

struct Access {
    static uint16_t& handle(CBAttribute& a) { return a.*reach(AttributeHandle{}); }
    static uint16_t handle(const CBAttribute& a) { return a.*reach(AttributeHandle{}); }
    static std::weak_ptr<CBPeripheral>& peripheral(CBService& s) {
        return s.*reach(ServicePeripheral{});
    }
    static std::vector<CBServicePtr>& included(CBService& s) { return s.*reach(ServiceIncluded{}); }
    static std::vector<CBCharacteristicPtr>& characteristics(CBService& s) {
        return s.*reach(ServiceCharacteristics{});
    }
    static std::weak_ptr<CBService>& service(CBCharacteristic& c) {
        return c.*reach(CharacteristicService{});
    }
    static uint32_t& properties(CBCharacteristic& c) {
        return c.*reach(CharacteristicProperties{});
    }
    static std::optional<Bytes>& value(CBCharacteristic& c) {
        return c.*reach(CharacteristicValue{});
    }
    static std::vector<CBDescriptorPtr>& descriptors(CBCharacteristic& c) {
        return c.*reach(CharacteristicDescriptors{});
    }
    static bool& notifying(CBCharacteristic& c) { return c.*reach(CharacteristicNotifying{}); }
    static std::weak_ptr<CBCharacteristic>& characteristic(CBDescriptor& d) {
        return d.*reach(DescriptorCharacteristic{});
    }
    static Value& value(CBDescriptor& d) { return d.*reach(DescriptorValue{}); }
    static std::vector<std::string>& subscribed(CBMutableCharacteristic& c) {
        return c.*reach(MutableSubscribed{});
    }

    static const std::shared_ptr<BluetoothRadio>& radio(const CBCentralManager& m) {
        return m.*reach(CentralRadio{});
    }
    static uint64_t client(const CBCentralManager& m) { return m.*reach(CentralClient{}); }

    // The peripheral's identifier as text, and the manager that made it.
    static const std::string& key(const CBPeripheral& p) { return p.*reach(PeripheralKey{}); }
    static const std::weak_ptr<CBCentralManager>& manager(const CBPeripheral& p) {
        return p.*reach(PeripheralManager{});
    }
    static void setState(CBPeripheral& p, CBPeripheralState state) {
        (p.*reach(PeripheralSetState{}))(state);
    }
    static void setName(CBPeripheral& p, std::optional<std::string> name) {
        (p.*reach(PeripheralSetName{}))(std::move(name));
    }
    static void resetNotifying(CBPeripheral& p) { (p.*reach(PeripheralResetNotifying{}))(); }
    static void handleEvent(CBPeripheral& p, const RadioEvent& event) {
        (p.*reach(PeripheralHandleEvent{}))(event);
    }

    // The attributes of a remote peripheral's database, as discovery reports them.
    static CBServicePtr makeService(const CBUUID& uuid, bool primary);
    static CBCharacteristicPtr makeCharacteristic(const CBUUID& uuid, uint32_t properties);
    static CBDescriptorPtr makeDescriptor(const CBUUID& uuid);
    static CBPeripheralPtr makePeripheral(NSUUID identifier, std::optional<std::string> name,
                                          std::weak_ptr<CBCentralManager> manager) {
        return reach(PeripheralMake{})(std::move(identifier), std::move(name), std::move(manager));
    }
    // Made and attached to the radio.
    static CBCentralManagerPtr makeCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                  DispatchQueuePtr queue, Dictionary options,
                                                  std::shared_ptr<BluetoothRadio> radio) {
        return reach(CentralMake{})(std::move(delegate), std::move(queue), std::move(options),
                                    std::move(radio));
    }
    static CBPeripheralManagerPtr makePeripheralManager(
        std::weak_ptr<CBPeripheralManagerDelegate> delegate, DispatchQueuePtr queue,
        Dictionary options, std::shared_ptr<BluetoothRadio> radio) {
        return reach(PeripheralManagerMake{})(std::move(delegate), std::move(queue),
                                              std::move(options), std::move(radio));
    }
};

}  // namespace telvo::bt

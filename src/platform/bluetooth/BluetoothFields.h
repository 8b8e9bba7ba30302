#pragma once

// The state of the public Bluetooth objects that the library's own classes fill in: handles,
// the links between attributes, read values, subscriptions, a peripheral's link to its manager,
// and the making of peripherals and managers. The public classes keep all of it private and name
// this one struct their friend; only the library defines it.

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

struct Access {
    static uint16_t& handle(CBAttribute& a) { return a.handle_; }
    static uint16_t handle(const CBAttribute& a) { return a.handle_; }
    static std::weak_ptr<CBPeripheral>& peripheral(CBService& s) { return s.peripheral_; }
    static std::vector<CBServicePtr>& included(CBService& s) { return s.included_; }
    static std::vector<CBCharacteristicPtr>& characteristics(CBService& s) {
        return s.characteristics_;
    }
    static std::weak_ptr<CBService>& service(CBCharacteristic& c) { return c.service_; }
    static std::optional<Bytes>& value(CBCharacteristic& c) { return c.value_; }
    static std::vector<CBDescriptorPtr>& descriptors(CBCharacteristic& c) { return c.descriptors_; }
    static bool& notifying(CBCharacteristic& c) { return c.notifying_; }
    static std::weak_ptr<CBCharacteristic>& characteristic(CBDescriptor& d) {
        return d.characteristic_;
    }
    static Value& value(CBDescriptor& d) { return d.value_; }
    static std::vector<std::string>& subscribed(CBMutableCharacteristic& c) {
        return c.subscribed_;
    }

    static const std::shared_ptr<BluetoothRadio>& radio(const CBCentralManager& m) {
        return m.radio_;
    }
    static uint64_t client(const CBCentralManager& m) { return m.client_; }

    // The peripheral's identifier as text, and the manager that made it.
    static const std::string& key(const CBPeripheral& p) { return p.key_; }
    static const std::weak_ptr<CBCentralManager>& manager(const CBPeripheral& p) {
        return p.manager_;
    }
    static void setState(CBPeripheral& p, CBPeripheralState state) { p.setState(state); }
    static void setName(CBPeripheral& p, std::optional<std::string> name) {
        p.setName(std::move(name));
    }
    static void resetNotifying(CBPeripheral& p) { p.resetNotifying(); }
    static void handleEvent(CBPeripheral& p, const RadioEvent& event) { p.handleEvent(event); }

    // The attributes of a remote peripheral's database, as discovery reports them.
    static CBServicePtr makeService(const CBUUID& uuid, bool primary) {
        return CBServicePtr(new CBService(uuid, primary));
    }
    static CBCharacteristicPtr makeCharacteristic(const CBUUID& uuid, uint32_t properties) {
        return CBCharacteristicPtr(new CBCharacteristic(uuid, properties));
    }
    static CBDescriptorPtr makeDescriptor(const CBUUID& uuid) {
        return CBDescriptorPtr(new CBDescriptor(uuid, Value()));
    }
    static CBPeripheralPtr makePeripheral(NSUUID identifier, std::optional<std::string> name,
                                          std::weak_ptr<CBCentralManager> manager) {
        return CBPeripheralPtr(
            new CBPeripheral(std::move(identifier), std::move(name), std::move(manager)));
    }
    // Made and attached to the radio.
    static CBCentralManagerPtr makeCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                  DispatchQueuePtr queue, Dictionary options,
                                                  std::shared_ptr<BluetoothRadio> radio) {
        CBCentralManagerPtr manager(new CBCentralManager(std::move(delegate), std::move(queue),
                                                         std::move(options), std::move(radio)));
        manager->attach();
        return manager;
    }
    static CBPeripheralManagerPtr makePeripheralManager(
        std::weak_ptr<CBPeripheralManagerDelegate> delegate, DispatchQueuePtr queue,
        Dictionary options, std::shared_ptr<BluetoothRadio> radio) {
        CBPeripheralManagerPtr manager(new CBPeripheralManager(
            std::move(delegate), std::move(queue), std::move(options), std::move(radio)));
        manager->attach();
        return manager;
    }
};

}  // namespace telvo::bt

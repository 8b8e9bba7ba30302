// BlueZ's objects as the bus could hand them over to the BlueZ radio (an object-manager answer,
// then objects and interfaces coming and going and properties changing, any value of any type
// under the names the radio looks up): devices, their advertisements and GATT attributes are
// read, or read as missing or wrong, and nothing crashes or grows past its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "DBusValueFromBytes.h"
#include "platform/bluetooth/BlueZObjects.h"

namespace {

using telvo::DBusValue;
namespace bluez = telvo::bluez;

const std::vector<std::string> kPaths = {
    "/org/bluez/hci0",
    "/org/bluez/hci0/dev_C0_00_00_00_00_01",
    "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010",
    "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010/char0011",
    "/org/bluez/hci0/dev_C0_00_00_00_00_01/service0010/char0011/desc0013",
    "/org/bluez",
    "/"};
const std::vector<std::string> kInterfaces = {bluez::kAdapter, bluez::kDevice, bluez::kGattService,
                                              bluez::kGattCharacteristic, bluez::kGattDescriptor};
const std::vector<std::string> kKeys = {
    "Address",   "Powered",        "Name",      "Alias",
    "RSSI",      "TxPower",        "Adapter",   "ManufacturerData",
    "UUIDs",     "ServiceData",    "Connected", "ServicesResolved",
    "UUID",      "Device",         "Primary",   "Includes",
    "Service",   "Value",          "Flags",     "MTU",
    "Notifying", "Characteristic", "Handle"};

// Reads every object as the radio does; aborts on a broken bound or round trip.
void readAll(const bluez::ObjectTree& tree) {
    if (tree.size() > bluez::ObjectTree::kMaxObjects) std::abort();
    for (const auto& path : tree.paths(bluez::kAdapter)) {
        const bluez::Properties* p = tree.find(path, bluez::kAdapter);
        (void)bluez::boolField(p, "Powered");
        auto address = bluez::stringField(p, "Address");
        if (address.ok()) (void)bluez::parseAddress(address.value);
    }
    for (const auto& path : tree.paths(bluez::kDevice)) {
        const bluez::Properties* p = tree.find(path, bluez::kDevice);
        if (!p) std::abort();
        auto device = bluez::readDevice(path, *p);
        if (!device) continue;
        if (device->rssi < -128 || device->rssi > 127) std::abort();
        const auto identifier = bluez::peripheralIdentifier(device->address, device->address);
        auto back = bluez::addressesOfIdentifier(identifier);
        if (!back || back->device != device->address || back->adapter != device->address)
            std::abort();
        (void)device->advertisement.keys();
    }
    for (const auto& path : tree.paths(bluez::kGattService)) {
        const bluez::Properties* p = tree.find(path, bluez::kGattService);
        (void)bluez::uuidField(p, "UUID");
        (void)bluez::boolField(p, "Primary");
        (void)bluez::pathField(p, "Device");
        for (const auto& included : bluez::pathsField(p, "Includes").valueOr({}))
            (void)bluez::isBelow(included, path);
    }
    for (const char* interface : {bluez::kGattCharacteristic, bluez::kGattDescriptor}) {
        for (const auto& path : tree.paths(interface)) {
            const bluez::Properties* p = tree.find(path, interface);
            (void)bluez::uuidField(p, "UUID");
            (void)bluez::propertiesFromFlags(bluez::stringsField(p, "Flags").valueOr({}));
            auto mtu = bluez::integerField(p, "MTU");
            if (mtu.ok() && mtu.value > 3) (void)size_t(mtu.value - 3);
            (void)bluez::bytesField(p, "Value");
            (void)bluez::boolField(p, "Notifying");
            (void)bluez::pathField(p, "Service");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    telvo::fuzz::DBusValueFromBytes in(data, size, &kPaths);
    bluez::ObjectTree tree;
    (void)tree.load({in.objectTree(kPaths, kInterfaces, kKeys)});
    readAll(tree);
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        switch (in.byte() % 5) {
            case 0: {
                // The path first (a call's arguments are evaluated in any order).
                std::string path = in.pick(kPaths);
                (void)tree.propertiesChanged(
                    path, {DBusValue::ofString(in.pick(kInterfaces)), in.propertyMap(kKeys),
                           DBusValue::stringArray({in.pick(kKeys)})});
                break;
            }
            case 1:
                (void)tree.interfacesAdded(
                    {DBusValue::ofObjectPath(in.pick(kPaths)),
                     in.objectTree(kPaths, kInterfaces, kKeys).at(size_t(0)).at(size_t(1))});
                break;
            case 2:
                (void)tree.interfacesRemoved({DBusValue::ofObjectPath(in.pick(kPaths)),
                                              DBusValue::stringArray({in.pick(kInterfaces)})});
                break;
            case 3:
                (void)tree.interfacesRemoved({in.value(), in.value()});
                break;
            default: {
                std::string path = in.pick(kPaths);
                (void)tree.propertiesChanged(path, {in.value(), in.value(), in.value()});
            }
        }
        readAll(tree);
    }
    return 0;
}

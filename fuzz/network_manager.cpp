// NetworkManager's objects as the bus could hand them over (an object-manager answer, then
// announced changes, any value of any type under the names the reader looks up): the facts come
// out, or not, and nothing crashes or grows past its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "DBusValueFromBytes.h"
#include "platform/net/NetworkManagerObjects.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> paths = {
        "/org/freedesktop/NetworkManager", "/org/freedesktop/NetworkManager/ActiveConnection/1",
        "/org/freedesktop/NetworkManager/Devices/1",
        "/org/freedesktop/NetworkManager/AccessPoint/1", "/"};
    static const std::vector<std::string> interfaces = {
        "org.freedesktop.NetworkManager", "org.freedesktop.NetworkManager.Connection.Active",
        "org.freedesktop.NetworkManager.Device", "org.freedesktop.NetworkManager.Device.Wireless",
        "org.freedesktop.NetworkManager.AccessPoint"};
    static const std::vector<std::string> keys = {"PrimaryConnection",
                                                  "ActiveConnections",
                                                  "Devices",
                                                  "SpecificObject",
                                                  "Type",
                                                  "DeviceType",
                                                  "Interface",
                                                  "ActiveAccessPoint",
                                                  "Ssid",
                                                  "HwAddress",
                                                  "Frequency",
                                                  "Flags",
                                                  "WpaFlags",
                                                  "RsnFlags"};
    telvo::fuzz::DBusValueFromBytes in(data, size);
    telvo::NetworkManagerObjects objects;
    objects.replaceAll(in.objectTree(paths, interfaces, keys));
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        switch (in.byte() % 4) {
            case 0:
                objects.propertiesChanged(in.pick(paths),
                                          telvo::DBusValue::ofString(in.pick(interfaces)),
                                          in.propertyMap(keys));
                break;
            case 1:
                objects.interfacesAdded(telvo::DBusValue::ofObjectPath(in.pick(paths)),
                                        in.objectTree(paths, interfaces, keys).at(0).at(1));
                break;
            case 2:
                objects.interfacesRemoved(in.value(), in.value());
                break;
            default:
                objects.propertiesChanged(in.pick(paths), in.value(), in.value());
        }
        const auto facts = objects.facts();
        if (objects.objectCount() > telvo::NetworkManagerObjects::kMaxObjects) std::abort();
        if (facts.wifi && facts.wifi->ssid && facts.wifi->ssid->size() > 32) std::abort();
        if (facts.wifiInterface && facts.wifiInterface->size() > 15) std::abort();
    }
    return 0;
}

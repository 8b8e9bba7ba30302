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
    telvo::fuzz::DBusValueFromBytes in(data, size, &paths);
    telvo::NetworkManagerObjects objects;
    objects.replaceAll(in.objectTree(paths, interfaces, keys));
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        switch (in.byte() % 5) {
            case 0: {
                // Read in this order (a call's arguments are evaluated in any order).
                std::string path = in.pick(paths);
                auto interface = telvo::DBusValue::ofString(in.pick(interfaces));
                objects.propertiesChanged(path, interface, in.propertyMap(keys));
                break;
            }
            case 1: {
                auto path = telvo::DBusValue::ofObjectPath(in.pick(paths));
                objects.interfacesAdded(path, in.objectTree(paths, interfaces, keys).at(0).at(1));
                break;
            }
            case 2: {
                auto path = telvo::DBusValue::ofObjectPath(in.pick(paths));
                objects.interfacesRemoved(path,
                                          telvo::DBusValue::stringArray({in.pick(interfaces)}));
                break;
            }
            case 3: {
                auto path = in.value();
                objects.interfacesRemoved(path, in.value());
                break;
            }
            default: {
                std::string path = in.pick(paths);
                auto interface = in.value();
                objects.propertiesChanged(path, interface, in.value());
            }
        }
        const auto facts = objects.facts();
        if (objects.objectCount() > telvo::NetworkManagerObjects::kMaxObjects) std::abort();
        if (facts.wifi && facts.wifi->ssid && facts.wifi->ssid->size() > 32) std::abort();
        if (facts.wifiInterface && facts.wifiInterface->size() > 15) std::abort();
    }
    return 0;
}

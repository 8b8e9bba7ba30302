// iwd's and wpa_supplicant's objects as the bus could hand them over (an object-manager answer
// or GetAll answers, then their signals with any values of any type under the names the readers
// look up): the facts come out, or not, and nothing crashes or grows past its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "DBusValueFromBytes.h"
#include "platform/net/WifiDaemonObjects.h"

namespace {

using telvo::DBusSignal;
using telvo::DBusValue;

void check(const telvo::WifiServiceObjects& objects) {
    const auto facts = objects.facts();
    if (objects.objectCount() > telvo::DBusObjectTree::kMaxObjects) std::abort();
    if (facts.wifi && facts.wifi->ssid && facts.wifi->ssid->size() > 32) std::abort();
    if (facts.wifi && facts.wifi->bssid && facts.wifi->bssid->size() != 17) std::abort();
    if (facts.wifiInterface && facts.wifiInterface->size() > 15) std::abort();
    if (facts.wifi && facts.wifi->securityType &&
        (*facts.wifi->securityType < 0 || *facts.wifi->securityType > 4))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> paths = {
        "/net/connman/iwd/0/4",
        "/net/connman/iwd/0/4/486f6d654e6574_psk",
        "/net/connman/iwd/0/4/486f6d654e6574_psk/020000000001",
        "/fi/w1/wpa_supplicant1",
        "/fi/w1/wpa_supplicant1/Interfaces/0",
        "/fi/w1/wpa_supplicant1/Interfaces/0/BSSs/0",
        "/"};
    static const std::vector<std::string> interfaces = {"net.connman.iwd.Device",
                                                        "net.connman.iwd.Station",
                                                        "net.connman.iwd.Network",
                                                        "net.connman.iwd.BasicServiceSet",
                                                        "fi.w1.wpa_supplicant1",
                                                        "fi.w1.wpa_supplicant1.Interface",
                                                        "fi.w1.wpa_supplicant1.BSS",
                                                        "org.freedesktop.DBus.Properties",
                                                        "org.freedesktop.DBus.ObjectManager"};
    static const std::vector<std::string> keys = {"Name",
                                                  "State",
                                                  "ConnectedNetwork",
                                                  "ConnectedAccessPoint",
                                                  "Type",
                                                  "Address",
                                                  "ExtendedServiceSet",
                                                  "Ifname",
                                                  "CurrentBSS",
                                                  "Interfaces",
                                                  "SSID",
                                                  "BSSID",
                                                  "Privacy",
                                                  "WPA",
                                                  "RSN",
                                                  "KeyMgmt",
                                                  "Frequency"};
    static const std::vector<std::string> members = {
        "InterfacesAdded",  "InterfacesRemoved", "PropertiesChanged", "InterfaceAdded",
        "InterfaceRemoved", "BSSAdded",          "BSSRemoved"};
    telvo::fuzz::DBusValueFromBytes in(data, size, &paths);
    telvo::IwdObjects iwd;
    telvo::WpaSupplicantObjects wpa;
    iwd.replaceAll(in.objectTree(paths, interfaces, keys));
    const auto tree = in.objectTree(paths, interfaces, keys);
    for (const auto& object : tree.unwrapped().items())
        for (const auto& interface : object.at(1).unwrapped().items())
            wpa.setInterface(object.at(0).asObjectPath().value_or("/"),
                             interface.at(0).asString().value_or(""), interface.at(1));
    for (int step = 0; step < 8 && !in.empty(); ++step) {
        DBusSignal signal;
        signal.path = in.pick(paths);
        signal.interface = in.pick(interfaces);
        signal.member = in.pick(members);
        const int count = in.byte() % 4;
        for (int i = 0; i < count; ++i)
            signal.values.push_back(in.byte() % 2 ? in.value() : in.propertyMap(keys));
        if (in.byte() % 2)
            signal.values.insert(signal.values.begin(), DBusValue::ofObjectPath(in.pick(paths)));
        (void)iwd.apply(signal);
        (void)wpa.apply(signal);
        check(iwd);
        check(wpa);
    }
    return 0;
}

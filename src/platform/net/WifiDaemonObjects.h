#pragma once

#include "platform/net/WifiService.h"

namespace telvo {

// iwd's objects as its object manager ("/") lists them: each station (net.connman.iwd.Station
// beside the net.connman.iwd.Device that names its interface), its state and connected network
// (net.connman.iwd.Network: Name, Type), and the access point it is joined to
// (ConnectedAccessPoint, else the network's only BSS: net.connman.iwd.BasicServiceSet Address).
class IwdObjects : public WifiServiceObjects {
  public:
    static constexpr const char* kBusName = "net.connman.iwd";
    static constexpr const char* kObjectManagerPath = "/";
    static constexpr const char* kRootPath = "/net/connman/iwd";

    WifiFacts facts() const override;
    // A network's Type: "open" 0, "wep" 1, "psk" 2, "8021x" 3, anything else 4.
    static int64_t securityType(const std::string& type);
};

// wpa_supplicant's objects, which it does not list through an object manager: its interfaces
// (fi.w1.wpa_supplicant1.Interface: Ifname, State, CurrentBSS) read with GetAll, the current
// BSS of each (fi.w1.wpa_supplicant1.BSS: SSID, BSSID, Privacy, WPA, RSN, Frequency), and the
// changes it announces (InterfaceAdded/Removed, BSSAdded/Removed, PropertiesChanged in both
// its own and the standard form).
class WpaSupplicantObjects : public WifiServiceObjects {
  public:
    static constexpr const char* kBusName = "fi.w1.wpa_supplicant1";
    static constexpr const char* kRootPath = "/fi/w1/wpa_supplicant1";
    static constexpr const char* kRootInterface = "fi.w1.wpa_supplicant1";
    static constexpr const char* kInterface = "fi.w1.wpa_supplicant1.Interface";
    static constexpr const char* kBss = "fi.w1.wpa_supplicant1.BSS";
    static constexpr size_t kMaxReadInterfaces = 64;  // read at loading

    WifiFacts facts() const override;
    Change apply(const DBusSignal& signal) override;
    // The security type number of a BSS from its Privacy flag and the key managements of its
    // WPA and RSN dictionaries ("wpa-psk", "sae", "wpa-eap", "owe"...).
    static int64_t securityType(bool privacy, const std::vector<std::string>& keyManagements);

  private:
    // True when the interface's current BSS is one not kept.
    bool currentBssMissing(const std::string& interfacePath) const;
};

}  // namespace telvo

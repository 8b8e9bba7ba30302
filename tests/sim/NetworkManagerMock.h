#pragma once

#include <cstdint>
#include <string>

#include "sim/BusMock.h"

namespace telvo::test {

// python3-dbusmock's NetworkManager ("networkmanager" template) on a PrivateBus, with the steps
// the tests take: a Wi-Fi device joined to an access point, a move to another one, the end of
// the connection, a modem as the primary connection. Every call blocks until the mock answered;
// a failed step is in error() (and the step answers an empty path).
class NetworkManagerMock {
  public:
    static constexpr const char* kName = "org.freedesktop.NetworkManager";

    explicit NetworkManagerMock(PrivateBus& bus);

    bool ok() const { return mock_.ok() && error_.empty(); }
    const std::string& error() const { return error_.empty() ? mock_.error() : error_; }
    BusMock& mock() { return mock_; }

    // The Wi-Fi device (made on first use, with the interface name) joined to a new access point;
    // the access point's path. security: NetworkManager's WPA/RSN flags (0 open, 0x100 PSK).
    std::string joinWifi(const std::string& ssid, uint32_t security = 0x100,
                         const std::string& interface = "wlan0",
                         const std::string& bssid = "00:23:F8:7E:12:BA", uint32_t frequency = 2425);
    // The active connection moves to a new access point (as when the phone changes network).
    std::string moveTo(const std::string& ssid, uint32_t security = 0x100,
                       const std::string& bssid = "02:00:00:00:00:01", uint32_t frequency = 5180);
    // Sets a property of an object, announced with PropertiesChanged.
    void setProperty(const std::string& path, const std::string& interface, const std::string& name,
                     const DBusValue& value);
    // The Wi-Fi connection ends.
    void leaveWifi();
    // A modem device with an active connection that becomes the primary connection (objects
    // added without announcement: make them before the reader starts).
    void addModemPrimary();
    // A modem device with an active connection, not primary (objects added without
    // announcement: make them before the reader starts); the active connection's path.
    std::string addModem();
    // The primary connection becomes this one: the first time without announcement (before
    // the reader starts), then announced with PropertiesChanged.
    void setPrimary(const std::string& activeConnection);
    // NetworkManager goes away.
    void stop() { mock_.stop(); }

    const std::string& device() const { return device_; }

    // NetworkManager's GetManagedObjects answer on a host that hears this many access points
    // (their objects only), as sizeable answers for the D-Bus reader.
    static DBusValue accessPointList(int accessPoints);
    const std::string& activeConnection() const { return active_; }

  private:
    std::string path(const std::string& method, std::string signature, std::vector<DBusValue> args);
    std::string addAccessPoint(const std::string& ssid, uint32_t security, const std::string& bssid,
                               uint32_t frequency);

    BusMock mock_;
    std::string error_;
    std::string device_, active_;
    int next_ = 0;
    bool hasPrimary_ = false;
};

}  // namespace telvo::test

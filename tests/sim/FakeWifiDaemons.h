#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/dbus/DBusExportedObject.h"
#include "sim/PrivateBus.h"

namespace telvo::sim {

// An access point as the Wi-Fi daemons below hear it.
struct FakeAccessPoint {
    enum class Security { Open, Wep, Personal, Enterprise };
    std::string ssid;
    std::string bssid = "02:00:00:00:00:01";
    Security security = Security::Personal;
    uint16_t frequency = 2412;
};

// The Wi-Fi daemons a host may run instead of NetworkManager, as a D-Bus client sees them on a
// private bus, each with one wireless interface in station mode. The steps are those a real
// daemon shows: connecting to an access point, connected, roaming to another access point of
// the same network, disconnected, and the daemon restarting (it leaves the bus with its
// objects and comes back disconnected). Each step is announced as the daemon announces it
// (PropertiesChanged, and the daemon's own signals). Starting and restarting wait until the
// daemon owns its name. The fake answers on a queue of its own; the members are for the test's
// thread.
class FakeWifiDaemon {
  public:
    virtual ~FakeWifiDaemon() = default;
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Connecting to ap, then connected.
    void join(const FakeAccessPoint& ap) {
        connecting(ap);
        connected();
    }
    virtual void connecting(const FakeAccessPoint& ap) = 0;
    virtual void connected() = 0;
    // To another access point of the network joined (another BSSID and frequency).
    virtual void roam(const std::string& bssid, uint16_t frequency) = 0;
    virtual void disconnect() = 0;
    // Leaves the bus and comes back, disconnected.
    void restart() {
        stop();
        serve();
    }
    // Leaves the bus (its connection closes, with its name and objects).
    virtual void stop();

  protected:
    FakeWifiDaemon(test::PrivateBus& bus, std::string busName, std::string interface);
    virtual void serve() = 0;
    void own();
    std::shared_ptr<DBusExportedObject> exportObject(const std::string& path,
                                                     std::vector<DBusInterface> interfaces);

    test::PrivateBus& bus_;
    const std::string busName_;
    const std::string interface_;
    std::shared_ptr<DBusConnection> connection_;
    std::vector<std::shared_ptr<DBusExportedObject>> objects_;
    std::shared_ptr<DBusSlot> manager_;
    std::string error_;
};

// iwd (net.connman.iwd): an object manager at "/", the station at kStationPath
// (net.connman.iwd.Device: Name, Address, Powered, Mode; net.connman.iwd.Station: State,
// ConnectedNetwork, ConnectedAccessPoint, Scanning), a net.connman.iwd.Network for the network
// joined (Name, Type, Connected, Device, ExtendedServiceSet) and a
// net.connman.iwd.BasicServiceSet (Address) for each of its access points. Without a
// connection, ConnectedNetwork and ConnectedAccessPoint are "/".
class FakeIwd : public FakeWifiDaemon {
  public:
    static constexpr const char* kName = "net.connman.iwd";
    static constexpr const char* kStationPath = "/net/connman/iwd/0/4";

    static std::unique_ptr<FakeIwd> start(test::PrivateBus& bus, std::string interface = "wlan0");
    ~FakeIwd() override { stop(); }

    void connecting(const FakeAccessPoint& ap) override;
    void connected() override;
    void roam(const std::string& bssid, uint16_t frequency) override;
    void disconnect() override;
    void stop() override;

  private:
    using FakeWifiDaemon::FakeWifiDaemon;
    void serve() override;
    std::string addBss(const std::string& bssid);

    std::shared_ptr<DBusExportedObject> station_, network_;
    std::vector<std::string> bsss_;
    int next_ = 0;
};

// wpa_supplicant (fi.w1.wpa_supplicant1), which has no object manager: its root object
// (fi.w1.wpa_supplicant1: Interfaces), one interface (fi.w1.wpa_supplicant1.Interface: State,
// Scanning, Ifname, CurrentBSS, CurrentNetwork, BSSs) and a BSS object for each access point
// heard (fi.w1.wpa_supplicant1.BSS: BSSID, SSID, WPA, RSN, Privacy, Mode, Frequency, Signal),
// announced with BSSAdded. Connecting goes through "associating" and "4way_handshake" (where
// CurrentBSS is set) to "completed".
class FakeWpaSupplicant : public FakeWifiDaemon {
  public:
    static constexpr const char* kName = "fi.w1.wpa_supplicant1";
    static constexpr const char* kInterfacePath = "/fi/w1/wpa_supplicant1/Interfaces/0";

    static std::unique_ptr<FakeWpaSupplicant> start(test::PrivateBus& bus,
                                                    std::string interface = "wlan0");
    ~FakeWpaSupplicant() override { stop(); }

    void connecting(const FakeAccessPoint& ap) override;
    void connected() override;
    void roam(const std::string& bssid, uint16_t frequency) override;
    void disconnect() override;
    void stop() override;

  private:
    using FakeWifiDaemon::FakeWifiDaemon;
    void serve() override;
    std::string addBss(const FakeAccessPoint& ap);

    std::shared_ptr<DBusExportedObject> interfaceObject_;
    std::vector<std::string> bsss_;
    FakeAccessPoint joined_;
    int next_ = 0;
};

}  // namespace telvo::sim

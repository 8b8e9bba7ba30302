#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/FakeCloud.h"
#include "sim/SimCloudApi.h"
#include "sim/SimDiscoveryResponder.h"
#include "sim/SimLanAppliance.h"
#include "sim/SimSmartSniffer.h"
#include "telvosdk/QKDeviceApConfigParams.h"

namespace telvo {
class DispatchTimer;
}

namespace telvo::sim {

// A home with one Wi-Fi appliance, simulated in this process on loopback: the appliance's
// configuration session on 127.0.0.7 and its discovery identity (answered by the responder),
// the phone's Wi-Fi as the platform reports it, the maker's cloud faked over HTTP, and the
// smart-connect air caught by a sniffer (nothing reaches a multicast or broadcast address).
//
// Making one points the library's shared state at it (the SDK configuration with the app's
// credentials from the test PKI, the interface and port overrides, the settings store, the
// cloud client) and leaves the phone on the appliance's hotspot; destroying it resets that
// state. One at a time; main thread only; meant for deterministic dispatch mode.
class SimWifiHome {
  public:
    static constexpr const char* kDefaultKey = "apFlowDefaultKey";
    static constexpr const char* kHotspot = "korvo_ac_1234";
    static constexpr const char* kHome = "HomeNet";
    static constexpr const char* kPassword = "secret-pass";
    static constexpr const char* kBssid = "aa:bb:cc:dd:ee:ff";
    // The appliance's SSID as a smart-connect run names it.
    static constexpr const char* kDeviceSsid = "net_ac_1234";
    // The fake cloud's request signing and the app's access token.
    static constexpr const char* kSignKey = "signKey";
    static constexpr const char* kSignSecret = "signSecret";
    static constexpr const char* kToken = "token-1";

    // The appliance's generation and capability bits as its discovery reply states them.
    struct Identity {
        std::array<uint8_t, 4> udpVersion{0x02, 0, 0, 0};
        uint64_t deviceId = 0xA1B2C3D4E5ULL;
        uint8_t capabilityA = 0;  // 0x80 marks the bits as valid
        uint8_t capabilityB = 0;
        std::array<uint8_t, 4> ip{127, 0, 0, 7};
    };

    SimWifiHome();
    ~SimWifiHome();
    SimWifiHome(const SimWifiHome&) = delete;
    SimWifiHome& operator=(const SimWifiHome&) = delete;

    // The phone's current Wi-Fi (nullopt: joined to none).
    static void joinWifi(std::optional<std::string> ssid);
    // The phone's Wi-Fi as the host's services (on the system bus) tell it, asked afresh as at
    // start-up: the facts joinWifi set are dropped and the library's reading starts again.
    static void readWifiFromTheServices();

    // ---- Access point.
    // The appliance answers discovery probes on its hotspot with its identity; with a serial,
    // another appliance beside it does.
    void announce(const Identity& id, const std::optional<std::string>& serial = std::nullopt);
    // After taking the credentials the appliance leaves its hotspot: it answers discovery on
    // the home network after `lan` seconds and the cloud lists it online after `online`
    // seconds (never when nullopt); the phone returns to the home network after `phone`.
    void homeNetwork(std::optional<double> lan, std::optional<double> online, double phone);
    // Credentials for the home network, the appliance named by its hotspot.
    static QKDeviceApConfigParams apParams();

    // ---- Discovery.
    // Another program holds the two discovery listener ports (bound without sharing), so the
    // phone cannot open its listeners there; the appliance answers only at those ports, not
    // at the probe's own port, when `onlyThere`.
    void holdDiscoveryPorts(bool onlyThere);
    // The network refuses the discovery probes: the phone's send fails with the error.
    void refuseProbes(int error);

    // ---- Smart connect.
    // The phone on the home network, the cloud client afresh (no work mode set) with the app
    // and data keys a smart-connect run reads the cloud's serials with.
    void prepareSmartConnect();
    // The app key and the data key sealed under it, which read the cloud's serials, into the
    // SDK configuration.
    static void setSerialKeys();
    // apParams() with the appliance's smart-connect SSID and type.
    static QKDeviceApConfigParams smartParams();
    // The appliance joins the router it decoded and answers discovery with the binding random
    // code (`random`, else the one it derived from the credentials).
    void appear(const SimSmartCredentials& heard, std::array<uint8_t, 4> version, uint64_t deviceId,
                std::string random = {}, std::optional<size_t> bodyLength = std::nullopt);
    // The appliance listens as the main loop turns (every half second): once the air holds the
    // credentials it calls `heard` (when set) and appears with `version` and `deviceId`.
    void listenForSmartConnect(std::array<uint8_t, 4> version, uint64_t deviceId,
                               std::function<void(const SimSmartCredentials&)> heard = {});
    // The credentials, once decoded (set by listenForSmartConnect).
    const std::optional<SimSmartCredentials>& heard() const { return heard_; }

    // The appliance (its identity is the discovery reply announce() uses).
    std::unique_ptr<SimLanAppliance> appliance;
    std::unique_ptr<SimDiscoveryResponder> responder;
    std::unique_ptr<test::FakeCloud> cloud;
    std::unique_ptr<test::SimCloudApi> api;
    SimSmartSniffer sniffer;
    // The library clock when the appliance took the credentials (-1 before).
    double credentialsAt = -1;

  private:
    std::shared_ptr<DispatchTimer> listener_;
    std::vector<int> heldPorts_;
    std::optional<SimSmartCredentials> heard_;
};

}  // namespace telvo::sim

#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace telvo::sim {

// One smart-connect datagram as an unconfigured appliance sees it on the air: only the
// destination and the length carry information.
struct SimSmartDatagram {
    std::string to;  // "239.x.y.z" or "255.255.255.255"
    uint16_t port = 0;
    size_t length = 0;
    double at = 0;  // library clock, seconds
};

// What the appliance recovers from the sniffed traffic.
struct SimSmartCredentials {
    std::string ssid;
    std::string password;
    std::array<uint8_t, 6> bssid{};
    int randomA = 0;
    int randomB = 0;
    bool operator==(const SimSmartCredentials&) const = default;
};

// Takes every datagram to a multicast or the limited broadcast address through the platform's
// datagram sink while it lives (nothing reaches the network); other datagrams pass unless
// refused.
class SimSmartSniffer {
  public:
    SimSmartSniffer();
    ~SimSmartSniffer();
    SimSmartSniffer(const SimSmartSniffer&) = delete;
    SimSmartSniffer& operator=(const SimSmartSniffer&) = delete;

    std::vector<SimSmartDatagram> datagrams() const;
    void clear();
    // From now on the network refuses every datagram to this UDP port (any address): the send
    // fails with the error, as ENETUNREACH when there is no route. 0 lets them pass again.
    void refuseSendsTo(uint16_t port, int error);

  private:
    mutable std::mutex mutex_;
    std::vector<SimSmartDatagram> datagrams_;
    uint16_t refusedPort_ = 0;
    int refusal_ = 0;
};

// Decodes the credentials as an appliance does, from any window holding one full cycle of each
// sequence: every field from the multicast addresses (checked by their CRC-16s), and SSID,
// password and the random bytes again from the broadcast lengths (checked by the group
// checksums). nullopt unless both halves decode, pass their checks and agree.
std::optional<SimSmartCredentials> decodeSmartConnect(const std::vector<SimSmartDatagram>& seen);
// The same from the multicast half alone (what a sending-only run gives).
std::optional<SimSmartCredentials> decodeSmartMulticast(const std::vector<SimSmartDatagram>& seen);

// The binding random code the appliance announces after joining: A and B as two lower-case hex
// digits each, then the first 28 hex digits of MD5(BSSID bytes || password).
std::string smartConnectRandomCode(const SimSmartCredentials& credentials);

}  // namespace telvo::sim

#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchSource.h"
#include "sim/SimDiscovery.h"
#include "sim/SimLanCodec.h"

namespace telvo::sim {

// What one appliance sends in answer to one probe (or unsolicited).
struct SimDiscoveryAnswer {
    enum class Kind {
        Reply,     // a discovery reply frame, the body cut to bodyLength when given
        Silence,   // nothing
        Empty,     // an empty datagram
        BadMagic,  // a reply frame whose first byte is wrong
        Short,     // the first 56 bytes of a reply frame
        Refused,   // a reply frame of full length whose SSID length is 0 (the parser refuses it)
    };
    SimDiscoveryAnswer(Kind kind = Kind::Reply, uint64_t deviceId = 0,
                       std::optional<size_t> bodyLength = std::nullopt, int copies = 1)
        : kind(kind), deviceId(deviceId), bodyLength(bodyLength), copies(copies) {}
    Kind kind;
    uint64_t deviceId;
    std::optional<size_t> bodyLength;
    int copies;  // the same datagram sent this many times
};

// A simulated appliance on the LAN: its reply, then one scripted answer per probe.
struct SimDiscoveryAppliance {
    SimDiscoveryReply reply;
    std::deque<SimDiscoveryAnswer> script;  // used up one per probe, in order
    SimDiscoveryAnswer then;                // every probe after the script
};

// The discovery side of simulated appliances: a UDP socket on 127.0.0.1 (its port is the
// probe port a test configures), or on every address of a namespace at a fixed port, that reads
// probes on the main loop and has every appliance answer the probe's sender (and the sender's
// address at each of replyPorts), in the order they were added. It can also send unsolicited
// replies to the listener ports. Frames are written with the simulator's own codec.
class SimDiscoveryResponder {
  public:
    explicit SimDiscoveryResponder(SimLanCodec codec);
    // Bound to 0.0.0.0:port with broadcast reception, for a network namespace of its own.
    SimDiscoveryResponder(SimLanCodec codec, uint16_t port);
    ~SimDiscoveryResponder();
    SimDiscoveryResponder(const SimDiscoveryResponder&) = delete;
    SimDiscoveryResponder& operator=(const SimDiscoveryResponder&) = delete;

    uint16_t port() const { return port_; }
    // Returns the appliance's index.
    size_t addAppliance(SimDiscoveryAppliance appliance);
    SimDiscoveryAppliance& appliance(size_t index) { return appliances_.at(index); }

    // The datagram of an answer of one appliance (empty for Silence and Empty).
    Bytes datagram(size_t index, const SimDiscoveryAnswer& answer) const;
    // Sends an answer of one appliance to 127.0.0.1:port now.
    void announce(size_t index, uint16_t port, const SimDiscoveryAnswer& answer);
    // The same to host:port (a namespace's subnet broadcast address, say).
    void announce(size_t index, const std::string& host, uint16_t port,
                  const SimDiscoveryAnswer& answer);
    void sendTo(uint16_t port, const Bytes& data) const;

    struct Probe {
        Bytes data;
        uint16_t fromPort = 0;
        int64_t atNanos = 0;              // library clock, monotonic
        bool isDiscoveryRequest = false;  // a valid 0x92 frame with the body FF 00
    };
    const std::vector<Probe>& probes() const { return probes_; }
    // Forgets the probes heard so far (a long run that counts the heap keeps none).
    void forgetProbes() { probes_.clear(); }
    // Ports at the probe sender's address that every answer also goes to.
    std::vector<uint16_t> replyPorts;
    // Whether answers go to the probe's own port too (else only to replyPorts).
    bool replyToSender = true;
    // Runs on the main queue after each probe was answered.
    std::function<void(const Probe&, const std::string& fromAddress)> onProbe;

  private:
    void onReadable();
    void answer(size_t index, const SimDiscoveryAnswer& answer, const sockaddr_in& to) const;

    SimLanCodec codec_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::shared_ptr<DispatchSource> source_;
    std::shared_ptr<DispatchSource> unusedWriteSource_;
    std::vector<SimDiscoveryAppliance> appliances_;
    std::vector<Probe> probes_;
};

// A UDP port that nothing holds at the moment of the call, outside the kernel's ephemeral range.
uint16_t freeUdpPort();

}  // namespace telvo::sim

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

// The simulated appliance's own BLE frame codec, on OpenSSL alone and sharing no code with the
// library, so that a fault on one side shows up as a disagreement.
namespace telvo::sim {

struct SimBleFrame {
    uint8_t sequence = 0;
    uint8_t msgType = 0;
    uint16_t counter = 0;  // version 3 only
    Bytes body;            // plain, without the counter
};

class SimBleCodec {
  public:
    // version: the BLE protocol version 0 to 3; key: the session key (its first 16 bytes).
    SimBleCodec(int version, Bytes key) : version_(version), key_(std::move(key)) {}

    // The frame as the appliance writes it; nonce (13 bytes) drawn at random when not given.
    Bytes write(const SimBleFrame& frame, std::optional<Bytes> nonce = std::nullopt) const;
    // Reads one frame strictly: AA 55, a length field equal to the size, the check value, the
    // padding or CCM tag. nullopt with a reason otherwise.
    std::optional<SimBleFrame> read(ByteView frame, std::string* why = nullptr) const;

    // The frame with its check value computed afresh over its bytes as they now stand.
    Bytes refreshCheck(Bytes frame) const;

  private:
    bool longFrame() const { return version_ == 2 || version_ == 3; }
    int version_;
    Bytes key_;
};

}  // namespace telvo::sim

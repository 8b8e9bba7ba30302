#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/SimLanCodec.h"
#include "telvosdk/Bytes.h"

namespace telvo::sim {

// What a simulated appliance says about itself in its discovery reply.
struct SimDiscoveryReply {
    std::array<uint8_t, 4> ip{127, 0, 0, 2};  // dotted order; written last octet first
    // 32 ASCII characters, or for UDP version 04000000 the plain serial (16 to 31 bytes), which
    // the reply carries AES-128-CBC encrypted.
    std::string serial = "0000AC11122233344455566677788899";
    std::string ssid = "net_ac_1234";
    uint8_t identify = 0;
    uint8_t capabilityA = 0;
    uint8_t capabilityB = 0;
    std::array<uint8_t, 4> udpVersion{0x01, 0x00, 0x00, 0x00};
    uint8_t support = 0x03;
    // UDP version 81000000: the partner block; partnerLength overrides its announced length.
    Bytes partner;
    std::optional<uint8_t> partnerLength;
    uint8_t deviceType = 0xAC;
    uint16_t subType = 0;
    std::array<uint8_t, 6> mac{};
    std::array<uint8_t, 6> moduleVersion{};
    uint8_t wanOnline = 0;
    uint8_t maxTcp = 0;
    uint8_t currentTcp = 0;
    // The random number, or for UDP version 04000000 the plain TID (at most 15 bytes), which
    // the reply carries encrypted in 16 bytes.
    Bytes tidOrRandom = Bytes(16, 0);
    std::array<uint8_t, 2> serverDomain{};
    uint16_t serverPort = 0;
    uint8_t errorCode = 0;
    TimeStamp errorTime{};
};

// The IV of the encrypted serial number and TID.
Bytes discoverySerialIv();
// The 16-byte key of the encrypted serial number: PBKDF2-HMAC-SHA256 over the default key,
// salted with the first 16 bytes of SHA-256(frame time stamp || 8 zero bytes), 1024 rounds.
Bytes discoverySerialKey(const std::string& defaultKey, const TimeStamp& frameTimeStamp);

// The plain reply body, complete (107 + L bytes; 50 + L + n for 81000000). Tests cut it to a
// length to probe the parser. frameTimeStamp is the time stamp of the frame that carries it.
Bytes buildDiscoveryBody(const SimDiscoveryReply& reply, const std::string& defaultKey,
                         const TimeStamp& frameTimeStamp);

// A whole reply frame: version 1, AES-128-ECB, signed, message type 0x92, deviceId in the
// header; the body cut to bodyLength when given.
Bytes buildDiscoveryFrame(const SimDiscoveryReply& reply, const SimLanCodec& codec,
                          const TimeStamp& frameTimeStamp, uint64_t deviceId,
                          std::optional<size_t> bodyLength = std::nullopt);

}  // namespace telvo::sim

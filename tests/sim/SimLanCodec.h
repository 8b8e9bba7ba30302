#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

// The simulated appliance's own LAN frame codec. It is written on OpenSSL alone (AES-128-ECB,
// AES-CCM, MD5) and shares no code with the library, so a fault on one side shows up as a
// disagreement instead of hiding on both.
namespace telvo::sim {

using TimeStamp = std::array<uint8_t, 8>;

// The 8 timestamp bytes of a frame header for the given local date and time.
TimeStamp makeTimeStamp(int year, int month, int day, int hour, int minute, int second,
                        int millisecond);

// One frame as the appliance sees it: header fields and the plain body (the protocol-3 counter
// kept apart from it).
struct SimLanFrame {
    uint8_t protocolVer = 1;
    uint8_t encryptType = 0;  // 0 plain, 1 AES-128-ECB, 2 AES-CCM (low four bits of byte 3)
    bool isSign = true;       // bit 4 of byte 3
    uint16_t msgType = 0;
    uint32_t tag = 0;
    TimeStamp timeStamp{};
    uint64_t deviceId = 0;     // 48 bits on the wire
    uint8_t authByte = 0;      // header byte 35
    uint16_t counter = 0;      // protocol 3 only: the two bytes in front of the plain body
    Bytes body;                // plain body, without the counter
    uint16_t lengthField = 0;  // set by read()
};

// Where the AES-CCM tag sits in a frame the appliance writes.
enum class CcmLayout {
    TagBeforeSlot,  // nonce, ciphertext, tag, then the 16-byte signature slot
    TagAtEnd,       // nonce, ciphertext, tag as the frame's last bytes; no slot, unsigned
};

class SimLanCodec {
  public:
    // defaultKey is the access-point default key (body key = MD5 of it; signing suffix);
    // sessionKey the agreed 16-byte AES-CCM key, empty when none.
    explicit SimLanCodec(std::string defaultKey, Bytes sessionKey = {});

    void setSessionKey(Bytes key) { sessionKey_ = std::move(key); }

    // Reads a frame strictly as the app must write it: magic, a length field equal to the
    // size, the layout of its encryption type, a valid signature when signed (a zero slot when
    // not), a verifying CCM tag, a valid padding. nullopt with a reason otherwise.
    std::optional<SimLanFrame> read(ByteView frame, std::string* why = nullptr) const;

    // Writes an appliance frame. nonce (13 bytes) is drawn at random when not given.
    // An empty result when the frame cannot be sealed (no session key for type 2).
    Bytes write(const SimLanFrame& frame, CcmLayout layout = CcmLayout::TagBeforeSlot,
                std::optional<Bytes> nonce = std::nullopt) const;

    // MD5(frame bytes || ASCII default key) as the app signs; frame alone for keys over 36
    // characters or with non-ASCII characters.
    Bytes signature(ByteView signedPart) const;

    const std::string& defaultKey() const { return defaultKey_; }

  private:
    std::string defaultKey_;
    Bytes sessionKey_;
};

// Independent primitives of the simulator, on OpenSSL.
namespace crypto {
Bytes md5(ByteView data);
Bytes sha256(ByteView data);
std::optional<Bytes> ecb(bool encrypt, ByteView key16, ByteView data);
std::optional<Bytes> cbc(bool encrypt, ByteView key16, ByteView iv16, ByteView data);
// nonce || ciphertext || tag (16).
std::optional<Bytes> ccmSeal(ByteView key16, ByteView nonce13, ByteView aad, ByteView plain);
// Verifies the tag; nullopt on mismatch.
std::optional<Bytes> ccmOpen(ByteView key16, ByteView aad, ByteView sealed);
Bytes pbkdf2Sha256(ByteView password, ByteView salt, int iterations, size_t length);
}  // namespace crypto

}  // namespace telvo::sim

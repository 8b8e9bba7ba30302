#include "sim/SimDiscovery.h"

#include <stdexcept>

namespace telvo::sim {

Bytes discoverySerialIv() {
    return {0x3c, 0x91, 0xd0, 0xb7, 0xe2, 0x5a, 0x48, 0xf6,
            0xa0, 0xd4, 0xc7, 0xe1, 0xb9, 0x5f, 0x2a, 0x6d};
}

Bytes discoverySerialKey(const std::string& defaultKey, const TimeStamp& frameTimeStamp) {
    Bytes saltInput(frameTimeStamp.begin(), frameTimeStamp.end());
    saltInput.resize(16, 0);
    Bytes salt = crypto::sha256(saltInput);
    salt.resize(16);
    Bytes key = crypto::pbkdf2Sha256(toBytes(defaultKey), salt, 1024, 32);
    key.resize(16);
    return key;
}

Bytes buildDiscoveryBody(const SimDiscoveryReply& r, const std::string& defaultKey,
                         const TimeStamp& frameTimeStamp) {
    const bool encrypted = r.udpVersion == std::array<uint8_t, 4>{0x04, 0, 0, 0};
    const bool partner = r.udpVersion == std::array<uint8_t, 4>{0x81, 0, 0, 0};
    if (r.ssid.empty() || r.ssid.size() > 255) throw std::invalid_argument("ssid length");
    Bytes key, iv = discoverySerialIv();
    if (encrypted) key = discoverySerialKey(defaultKey, frameTimeStamp);

    // The serial and the TID are CBC-encrypted when the reply is; either way of a fixed size.
    auto field = [&](Bytes value, size_t size, const char* encryptedError, const char* plainError) {
        if (!encrypted) {
            if (value.size() != size) throw std::invalid_argument(plainError);
            return value;
        }
        auto c = crypto::cbc(true, key, iv, value);
        if (!c || c->size() != size) throw std::invalid_argument(encryptedError);
        return *c;
    };

    Bytes b = {r.ip[3], r.ip[2], r.ip[1], r.ip[0], 0, 0, 0, 0};
    Bytes serial = field(toBytes(r.serial), 32, "encrypted serial must be 32 bytes",
                         "serial must be 32 bytes");
    b.insert(b.end(), serial.begin(), serial.end());
    b.push_back(static_cast<uint8_t>(r.ssid.size()));
    b.insert(b.end(), r.ssid.begin(), r.ssid.end());
    b.push_back(r.identify);                                      // 41 + L
    b.push_back(0);                                               // 42 + L
    b.push_back(r.capabilityA);                                   // 43 + L
    b.push_back(r.capabilityB);                                   // 44 + L
    b.insert(b.end(), r.udpVersion.begin(), r.udpVersion.end());  // 45 + L
    if (partner) {
        b.push_back(r.partnerLength.value_or(static_cast<uint8_t>(r.partner.size())));
        b.insert(b.end(), r.partner.begin(), r.partner.end());
        return b;
    }
    b.push_back(r.support);                        // 49 + L
    b.insert(b.end(), 5, 0);                       // 50 + L
    b.push_back(r.deviceType);                     // 55 + L
    b.push_back(0);                                // 56 + L
    b.push_back(static_cast<uint8_t>(r.subType));  // 57 + L
    b.push_back(static_cast<uint8_t>(r.subType >> 8));
    b.insert(b.end(), 4, 0);                                            // 59 + L
    b.insert(b.end(), r.mac.begin(), r.mac.end());                      // 63 + L
    b.insert(b.end(), r.moduleVersion.begin(), r.moduleVersion.end());  // 69 + L
    b.push_back(r.wanOnline);                                           // 75 + L
    b.push_back(r.maxTcp);
    b.push_back(r.currentTcp);
    Bytes tid = field(r.tidOrRandom, 16, "encrypted TID must be 16 bytes",  // 78 + L
                      "random must be 16 bytes");
    b.insert(b.end(), tid.begin(), tid.end());
    b.insert(b.end(), r.serverDomain.begin(), r.serverDomain.end());  // 94 + L
    b.push_back(static_cast<uint8_t>(r.serverPort));                  // 96 + L
    b.push_back(static_cast<uint8_t>(r.serverPort >> 8));
    b.push_back(r.errorCode);                                   // 98 + L
    b.insert(b.end(), r.errorTime.begin(), r.errorTime.end());  // 99 + L
    return b;
}

Bytes buildDiscoveryFrame(const SimDiscoveryReply& reply, const SimLanCodec& codec,
                          const TimeStamp& frameTimeStamp, uint64_t deviceId,
                          std::optional<size_t> bodyLength) {
    SimLanFrame f;
    f.protocolVer = 1;
    f.encryptType = 1;
    f.isSign = true;
    f.msgType = 0x92;
    f.timeStamp = frameTimeStamp;
    f.deviceId = deviceId;
    f.body = buildDiscoveryBody(reply, codec.defaultKey(), frameTimeStamp);
    if (bodyLength && *bodyLength < f.body.size()) f.body.resize(*bodyLength);
    return codec.write(f);
}

}  // namespace telvo::sim

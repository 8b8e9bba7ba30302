// The discovery reply body to the device dictionary.
#include <cstdio>

#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "protocol/LanText.h"
#include "protocol/QKProtocol.h"
#include "security/QKDataSecurity.h"
#include "security/TextBytes.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

const uint8_t kSerialIv[16] = {0x3c, 0x91, 0xd0, 0xb7, 0xe2, 0x5a, 0x48, 0xf6,
                               0xa0, 0xd4, 0xc7, 0xe1, 0xb9, 0x5f, 0x2a, 0x6d};

// Whether the body reaches byte k of a reply whose SSID is L bytes long.
bool reaches(ByteView b, size_t L, size_t k) {
    return b.size() > k + L;
}

// The extra-function bytes A and B, when A carries the flags (its top bits 10); whether the
// module keeps a log.
bool readFunctionFlags(Dictionary& d, uint8_t A, uint8_t B) {
    if (A == 0 || (A >> 6) != 2) return false;
    const bool moduleLog = (A >> 2) & 1;
    d.set("regionIDEnable", bool((A >> 5) & 1));
    d.set("checkFormerConfigEnable", bool((A >> 4) & 1));
    d.set("moduleLogEnable", moduleLog);
    d.set("channelEnable", bool((A >> 1) & 1));
    d.set("authenticationEnable", bool(A & 1));
    d.set("functionSetEnable", bool(B & 1));
    d.set("udpConfigEnable", bool((B >> 1) & 1));
    d.set("adnsIp", bool((B >> 3) & 1));
    d.set("groupDevice", bool((B >> 4) & 1));
    d.set("SUPPORDEVICETAUTH", bool((B >> 5) & 1));
    return moduleLog;
}

// What follows the version, as far as the reply reaches: protocols, type and subtype, MAC,
// module version, the connection counts, the random code (or, encrypted under key, the
// appliance's tid), then the module's log fields.
void readModuleRecord(Dictionary& d, ByteView b, size_t L, const Bytes* key, bool moduleLog) {
    char text[64];
    if (!reaches(b, L, 49)) return;
    const uint8_t support = b[49 + L];
    d.set("supportProtocol",
          std::string{char('0' + ((support >> 3) & 1)), char('0' + ((support >> 2) & 1)),
                      char('0' + ((support >> 1) & 1)), char('0' + (support & 1))});
    if (!reaches(b, L, 55)) return;
    std::snprintf(text, sizeof text, "0x%02x", b[55 + L]);
    d.set(kQKSDKDeviceType, text);
    if (!reaches(b, L, 58)) return;
    d.set(kQKSDKDeviceSubType, std::to_string(b[57 + L] + 256 * b[58 + L]));
    if (!reaches(b, L, 68)) return;
    d.set("mac", QKStringFormat::dataToHexStr(b.subspan(63 + L, 6)));
    if (!reaches(b, L, 74)) return;
    d.set(kQKSDKUDPModuleVersion, QKStringFormat::dataToHexStr(b.subspan(69 + L, 6)));
    if (!reaches(b, L, 75)) return;
    d.set(kQKSDKDeviceIsWanOnline, std::to_string(b[75 + L]));
    if (!reaches(b, L, 76)) return;
    d.set("maxTCPCount", std::to_string(b[76 + L]));
    if (!reaches(b, L, 77)) return;
    d.set("currentTCPCount", std::to_string(b[77 + L]));
    if (!reaches(b, L, 93)) return;
    if (key) {
        if (auto tid = QKDataSecurity::ase128CBCDecryptDataWithData(b.subspan(78 + L, 16), *key,
                                                                    kSerialIv))
            d.set(kQKSDKDeviceTid, std::move(*tid));
    } else {
        d.set(kQKSDKRandomNum, QKStringFormat::dataToHexStr(b.subspan(78 + L, 16)));
    }
    if (!moduleLog || !reaches(b, L, 95)) return;
    d.set("serverDomain", lantext::bytesAsCharacters(b.subspan(94 + L, 1)));
    if (!reaches(b, L, 97)) return;
    d.set("serverPort", std::to_string(b[96 + L] + 256 * b[97 + L]));
    if (!reaches(b, L, 98)) return;
    d.set(kQKSDKErrorCode, std::to_string(b[98 + L]));
    if (!reaches(b, L, 106)) return;
    const ByteView t = b.subspan(99 + L, 8);
    std::snprintf(text, sizeof text, "%02d%02d-%02d-%02d %02d:%02d:%02d:%03d", t[7], t[6], t[5],
                  t[4], t[3], t[2], t[1] & 0x3F, t[0] | (t[1] >> 6) << 8);
    d.set("errorTimeStamp", text);
}

}  // namespace

std::optional<Dictionary> QKProtocol::getUdpDeviceWithMessageArray(ByteView b,
                                                                   const QKProtocol* oriProtocol) {
    QKSDKLOG("广播包长度=%d", static_cast<int>(b.size()));
    if (b.size() < 41) return std::nullopt;
    const size_t L = b[40];
    if (L == 0 || b.size() < 41 + L) return std::nullopt;

    const std::string ssid = lantext::bytesAsCharacters(b.subspan(41, L));
    const auto type = QKTool::getDeviceTypeWithSSID(ssid);
    if (!type) return std::nullopt;

    char text[64];
    Dictionary d;
    // Room for the keys of a usual reply and the two the endpoint adds.
    d.reserve(24);
    d.set(kQKSDKDeviceSn, lantext::bytesAsCharacters(b.subspan(8, 32)));
    d.set(kQKSDKDeviceSSID, ssid);
    d.set(kQKSDKDeviceType, "0x" + uppercased(*type));
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[3], b[2], b[1], b[0]);
    d.set(kQKSDKDeviceIP, text);
    d.set("port", "6444");
    d.set("identifyTime", "-1");
    d.set("identifyType", "");
    d.set(kQKSDKProtocolVersion, Value(int{oriProtocol ? oriProtocol->protocolVer() : 1}));

    if (reaches(b, L, 41)) {
        const uint8_t identify = b[41 + L];
        d.set("identifyTime", std::to_string(identify & 0x0F));
        d.set("identifyType", (identify & 0x10) ? "1" : "0");
    }
    if (!reaches(b, L, 48)) return d;

    const uint8_t A = b[43 + L], B = b[44 + L];
    d.set(kQKSDKUDPExtraFunction, std::to_string(A + 256 * B));
    const bool moduleLog = readFunctionFlags(d, A, B);
    const std::string udpVersion = QKStringFormat::dataToHexStr(b.subspan(45 + L, 4));
    d.set(kQKSDKUDPVersion, udpVersion);

    const bool encrypted = udpVersion == "04000000";
    Bytes key;
    if (encrypted) {
        const Bytes noTime;
        key = QKDataSecurity::getPBKDFKeyDataWithTimeData(
            oriProtocol && oriProtocol->timeStampData() ? ByteView(*oriProtocol->timeStampData())
                                                        : ByteView(noTime));
        auto serial =
            QKDataSecurity::ase128CBCDecryptDataWithData(b.subspan(8, 32), key, kSerialIv);
        if (serial && textbytes::isValidUTF8(*serial))
            d.set(kQKSDKDeviceSn, toString(*serial));
        else
            d.erase(kQKSDKDeviceSn);
    }

    if (udpVersion == "81000000") {
        if (reaches(b, L, 49)) {
            const size_t n = b[49 + L];
            d.set("rizozeLength", std::to_string(n));
            if (n != 0 && b.size() - (50 + L) >= n)
                d.set("rizozeInfo", Bytes(b.begin() + 50 + L, b.begin() + 50 + L + n));
        }
        return d;
    }

    readModuleRecord(d, b, L, encrypted ? &key : nullptr, moduleLog);
    return d;
}

}  // namespace telvo

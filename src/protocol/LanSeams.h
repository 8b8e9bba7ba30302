#pragma once

// Stand-ins for services this folder uses before their owners provide them. Each goes away
// when the real service is in place.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace telvo::lanseam {

std::string md5Hex(ByteView data);
// AES-128-ECB, PKCS#7, under the first 16 bytes of the hex key.
std::optional<Bytes> lanBodyEncrypt(ByteView plain, const std::string& hexKey);
// AES-128-ECB, PKCS#7, under MD5 of apConfigDefaultKey.
std::optional<Bytes> lanBodyDecrypt(ByteView cipher);
// nonce || ciphertext || tag; nothing on failure.
std::optional<Bytes> ccmSeal(ByteView plain, ByteView key, ByteView aad);
// Verifies the tag.
std::optional<Bytes> ccmOpen(ByteView sealed, ByteView key, ByteView aad);
Bytes pbkdfKeyWithTimeData(ByteView timeData);
std::optional<Bytes> cbcDecrypt(ByteView data, ByteView key, ByteView iv);

ErrorPtr sucError();
ErrorPtr configNetErrorWithCode(int64_t code);

struct QKDeviceApConfigParams {
    std::optional<std::string> routerSSID, routerPwd, routerBSSID, randomNum;
    int64_t securityType = 0;
    bool channelEnable = false, checkPasswordEnable = false, countryCodeEnable = false,
         regionIdEnable = false, functionSetEnable = false, adnsIPEnable = false,
         adsEnable = false;
    Value::Array channelList;
    std::optional<std::string> countryCode, timeZone, regionId, moduleServerPort, functionType,
        adsClusterId, adnsIPPort, adsPort, moduleServerDomain, adsDomain;
    std::vector<std::string> adnsIPList;
};

inline constexpr const char* kQKSDKDeviceSn = "deviceSn";
inline constexpr const char* kQKSDKDeviceSSID = "deviceSsid";
inline constexpr const char* kQKSDKDeviceId = "deviceId";
inline constexpr const char* kQKSDKDeviceType = "deviceType";
inline constexpr const char* kQKSDKDeviceIP = "ip";
inline constexpr const char* kQKSDKDeviceSubType = "deviceSubType";
inline constexpr const char* kQKSDKDeviceTid = "deviceTid";
inline constexpr const char* kQKSDKDeviceIsWanOnline = "isWanOnline";
inline constexpr const char* kQKSDKProtocolVersion = "sdkProtocolVersion";
inline constexpr const char* kQKSDKUDPExtraFunction = "extraFunction";
inline constexpr const char* kQKSDKUDPVersion = "udpVersion";
inline constexpr const char* kQKSDKUDPModuleVersion = "deviceProtocolVersion";
inline constexpr const char* kQKSDKRandomNum = "random";
inline constexpr const char* kQKSDKErrorCode = "errorCode";
inline constexpr const char* kQKSDKFormerErrorCode = "formerErrorCode";
inline constexpr const char* kQKSDKFormerRouterSSID = "formerRouterSSID";
inline constexpr const char* kQKSDKFormerRouterPassword = "formerRouterPassword";
inline constexpr const char* kQKSDKFormerStatusCode = "statusCode";
inline constexpr const char* kQKSDKConfigFirstChannelNumber = "firstChannelNum";
inline constexpr const char* kQKSDKConfigChannelCount = "channelCount";
inline constexpr const char* kQKSDKConfigChannelMaxPower = "channelMaxPower";
inline constexpr const char* kQKSDKConfigChannelDFSEnable = "channelDFSEnable";

}  // namespace telvo::lanseam

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// The fields shared by the access-point and BLE configuration parameters. Text and list fields
// are optional: an absent value and an empty one lead to different results in the flows (a
// required channel list that is set but empty passes the flows' presence checks). A new record
// holds nothing, 0 or false in every field.
class TELVO_EXPORT QKDeviceConfigParams {
  public:
    virtual ~QKDeviceConfigParams() = default;

    // Router.
    std::optional<std::string> routerSSID;
    std::optional<std::string> routerPwd;
    // Hex digit pairs, separators allowed.
    std::optional<std::string> routerBSSID;
    // The binding random code, 32 hex digits.
    std::optional<std::string> randomNum;
    // "1" with a password, "0" without.
    std::optional<std::string> securityType;

    // Regional and module settings (decimal texts unless noted).
    std::optional<std::string> countryCode;  // two ASCII letters
    std::optional<std::string> timeZone;
    std::optional<std::string> regionId;
    std::optional<std::string> moduleServerDomain;  // text
    std::optional<std::string> moduleServerPort;
    std::optional<std::string> functionType;
    std::optional<std::string> adsClusterId;
    std::optional<std::string> adsDomain;  // text
    std::optional<std::string> adsPort;
    std::optional<std::string> adnsIPPort;
    // Dictionaries keyed by kQKSDKConfigFirstChannelNumber, kQKSDKConfigChannelCount,
    // kQKSDKConfigChannelMaxPower, kQKSDKConfigChannelDFSEnable.
    std::optional<Value::Array> channelList;
    // Dotted IPv4 texts.
    std::optional<std::vector<std::string>> adnsIPList;

    bool checkPasswordEnable = false;
    bool channelEnable = false;
    bool countryCodeEnable = false;
    bool regionIdEnable = false;
    bool functionSetEnable = false;
    bool adnsIPEnable = false;
    bool adsEnable = false;

    std::optional<std::string> familyId;
    // The app's extra keys ("tsn"...).
    Dictionary extras;

    // Takes the app's extras (may be null). A false kQKSDKConfigNeedCheckPassword clears
    // checkPasswordEnable. Then every regional text field that is absent or empty, and
    // channelList when absent or empty, takes the extras' value under its kQKSDKConfig… key;
    // the field becomes absent when the extras lack the key or hold a value of another type
    // there.
    void updateExtraParamWithDic(const Value& extras);
};

}  // namespace telvo

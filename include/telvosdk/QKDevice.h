#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// The appliance record: what discovery, the cloud and the configuration flows learn about one
// appliance. A plain record with settable fields; a new one has every field empty, 0 or false.
// Not locked: a record belongs to the flow that fills it until it is handed to the app.
class TELVO_EXPORT QKDevice {
  public:
    std::string deviceId;
    std::string deviceSn;
    std::string deviceSn8;
    std::string deviceType;
    std::string deviceSsid;
    std::string deviceSubType;
    std::string deviceName;
    std::string isWanOnline;
    std::string moduleVersion;
    std::string bleVersion;
    std::string softwareVersion;
    std::string randomCode;
    std::string udpVersion;
    std::string btMac;
    std::string bleToken;
    std::string verificationCode;
    std::string applianceCode;
    // From a discovery dictionary.
    std::string deviceIP;
    Bytes deviceTid;
    // From a cloud dictionary.
    std::string des;
    std::string modelNumber;
    std::string onlineStatus;
    std::string activeStatus;
    std::string wifiVersion;
    std::string smartProductId;

    // The BLE protocol version, 0 to 3.
    int64_t protocolType = 0;
    // A number, or null when unknown.
    Value referenceRSSI;
    // Array of dictionaries with the text keys "sn" and "a0".
    Value::Array productInfoData;
    // The capability dictionary of the advertisement.
    Dictionary qkSmartDict;

    bool isSupportAuthtrue = false;
    bool functionSetEnable = false;
    bool regionIdEnable = false;
    bool supportBind = false;
    bool transportEnable = false;
    bool functionExtension = false;
    bool supportAIError = false;
    bool checkRandom = false;
    bool isSupportCancelConfig = false;
    bool setofsystem = false;
    bool isSupportBleOTA = false;
    bool isWiredStatus = false;

    void setCheckRandom(bool value) { checkRandom = value; }

    // A record from a discovery device dictionary (the kQKSDKDevice… keys, and
    // kQKSDKUDPVersion). Missing keys and values of the wrong type leave fields empty.
    static std::shared_ptr<QKDevice> deviceWithDic(const Value& dic);

    // Fills the record from a cloud or configuration dictionary: "id"/"applianceId", "des",
    // "modelNumber", "onlineStatus", "sn"/"applianceSn" (decrypted with the work-mode key;
    // left out when it does not decrypt),
    // "applianceType"/"type" (without a leading "0x"), "wifiVersion", "name", "activeStatus",
    // then the record keys (kQKSDKDeviceSSID, kQKSDKDeviceId, kQKSDKDeviceSubType,
    // kQKSDKDeviceSn, kQKSDKDeviceSmartProductId, kQKSDKDeviceType) and
    // kQKSDKConfigGroupDeviceInfo into productInfoData ([] when absent). A text field takes a
    // text, or an integer as its decimal text; values of any other type are ignored.
    void initContentWithDic(const Value& dic);

    QKDevice() = default;
    // A record filled by initContentWithDic.
    explicit QKDevice(const Value& contentDic) { initContentWithDic(contentDic); }
};

}  // namespace telvo

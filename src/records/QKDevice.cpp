#include "telvosdk/QKDevice.h"

#include <mutex>

#include "platform/base/Singleton.h"
#include "platform/foundation/Diagnostics.h"
#include "records/QKDeviceDecryption.h"
#include "records/ValueReading.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

namespace {

struct Decryptors {
    std::mutex mutex;
    SensitiveDataDecryptor installed;    // the security layer's
    SensitiveDataDecryptor replacement;  // a test's
};
Decryptors& decryptors() {
    return processWide([] { return new Decryptors(); });
}

void assignText(std::string& field, const Value& dic, const char* key) {
    if (auto text = textOrInteger(dic[key])) field = std::move(*text);
}

// The first of two keys that holds a usable value.
const Value& firstPresent(const Value& dic, const char* key, const char* other) {
    return textOrInteger(dic[key]) ? dic[key] : dic[other];
}

std::optional<std::string> decryptSensitive(const std::string& cipherText) {
    SensitiveDataDecryptor decryptor;
    {
        Decryptors& d = decryptors();
        std::lock_guard lock(d.mutex);
        decryptor = d.replacement ? d.replacement : d.installed;
    }
    if (decryptor) return decryptor(cipherText);
    platformDiagnostic("QKDevice: no decryption installed, serial number left out");
    return std::nullopt;
}

}  // namespace

void installSensitiveDataDecryptor(SensitiveDataDecryptor decryptor) {
    Decryptors& d = decryptors();
    std::lock_guard lock(d.mutex);
    d.installed = std::move(decryptor);
}

void replaceSensitiveDataDecryptorForTesting(SensitiveDataDecryptor decryptor) {
    Decryptors& d = decryptors();
    std::lock_guard lock(d.mutex);
    d.replacement = std::move(decryptor);
}

std::shared_ptr<QKDevice> QKDevice::deviceWithDic(const Value& dic) {
    auto device = std::make_shared<QKDevice>();
    assignText(device->deviceSn, dic, kQKSDKDeviceSn);
    assignText(device->deviceSsid, dic, kQKSDKDeviceSSID);
    assignText(device->deviceId, dic, kQKSDKDeviceId);
    assignText(device->deviceType, dic, kQKSDKDeviceType);
    assignText(device->deviceIP, dic, kQKSDKDeviceIP);
    assignText(device->deviceSubType, dic, kQKSDKDeviceSubType);
    assignText(device->isWanOnline, dic, kQKSDKDeviceIsWanOnline);
    assignText(device->udpVersion, dic, kQKSDKUDPVersion);
    if (const Value& tid = dic[kQKSDKDeviceTid]; tid.isBytes()) device->deviceTid = tid.bytes();
    return device;
}

void QKDevice::initContentWithDic(const Value& dic) {
    if (auto id = textOrInteger(firstPresent(dic, "id", "applianceId"))) deviceId = *id;
    assignText(des, dic, "des");
    assignText(modelNumber, dic, "modelNumber");
    assignText(onlineStatus, dic, "onlineStatus");
    if (auto sn = textOrInteger(firstPresent(dic, "sn", "applianceSn"))) {
        if (auto plain = decryptSensitive(*sn)) deviceSn = std::move(*plain);
    }
    if (auto type = textOrInteger(firstPresent(dic, "applianceType", "type"))) {
        if (type->size() >= 2 && (*type)[0] == '0' && ((*type)[1] == 'x' || (*type)[1] == 'X'))
            type->erase(0, 2);
        deviceType = std::move(*type);
    }
    assignText(wifiVersion, dic, "wifiVersion");
    assignText(deviceName, dic, "name");
    assignText(activeStatus, dic, "activeStatus");

    assignText(deviceSsid, dic, kQKSDKDeviceSSID);
    assignText(deviceId, dic, kQKSDKDeviceId);
    assignText(deviceSubType, dic, kQKSDKDeviceSubType);
    assignText(deviceSn, dic, kQKSDKDeviceSn);
    assignText(smartProductId, dic, kQKSDKDeviceSmartProductId);
    assignText(deviceType, dic, kQKSDKDeviceType);

    productInfoData.clear();
    for (const Value& entry : dic[kQKSDKConfigGroupDeviceInfo].array()) {
        if (entry.isDictionary()) productInfoData.push_back(entry);
    }
}

}  // namespace telvo

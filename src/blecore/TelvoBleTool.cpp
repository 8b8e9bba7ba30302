#include "blecore/TelvoBleTool.h"

#include <cctype>
#include <cstdio>

#include "core/TextSplit.h"
#include "protocol/LanText.h"
#include "telvosdk/CBPeripheralQKExtensions.h"

namespace telvo {
namespace {

constexpr size_t kRecognisedLength = 14;
constexpr size_t kNewLayoutLength = 27;
constexpr size_t kVersion3Length = 28;

bool bit(uint8_t byte, int n) {
    return (byte >> n & 1) != 0;
}

// The bytes [at, at + size) as characters of the same code, or nothing when they are not all
// there.
std::optional<std::string> characters(ByteView data, size_t at, size_t size) {
    if (data.size() < at + size) return std::nullopt;
    return lantext::bytesAsCharacters(data.subspan(at, size));
}

void setBits(Dictionary& dic, ByteView data, size_t at,
             std::initializer_list<std::pair<int, const char*>> bits) {
    if (data.size() <= at) return;
    for (const auto& [n, key] : bits) dic.set(key, bit(data[at], n));
}

std::string removeAll(std::string text, std::string_view what) {
    for (size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
    return text;
}

// Keys that versions 1 to 3 read alike: version, model code, type, name, SSID, RSSI, MAC and
// error code.
void parseCommon(Dictionary& dic, ByteView data, const std::optional<std::string>& bleName) {
    dic.set("bleProtcolVersion", std::to_string(data[2]));
    if (auto sn8 = characters(data, 3, 8)) dic.set("deviceSN8", *sn8);
    const auto type = characters(data, 11, 2);
    if (type) dic.set("deviceType", "0x" + *type);
    const std::string name = bleName.value_or("");
    dic.set("deviceName", name);
    if (auto suffix = characters(data, 13, 4))
        dic.set("deviceSSID",
                name + "_" + removeAll("0x" + type.value_or(""), "0x") + "_" + *suffix);
    if (data.size() > 20) dic.set("referenceRSSI", unsigned{data[20]});
    if (data.size() >= 27) {
        std::string mac;
        for (size_t i = 26; i >= 21; --i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", data[i]);
            if (!mac.empty()) mac += ":";
            mac += pair;
        }
        dic.set("deviceMac", mac);
    }
    if (data.size() > 27) {
        char code[3];
        std::snprintf(code, sizeof code, "%02x", data[27]);
        dic.set("errorCode", std::string(code));
    }
}

void setModuleType(Dictionary& dic, bool doubleModule, uint64_t ifDouble, uint64_t ifSingle) {
    dic.set("isDoubleModule", doubleModule);
    dic.set("moduleType", doubleModule ? ifDouble : ifSingle);
}

}  // namespace

int64_t TelvoBleTool::bleProtocolVersionWithData(ByteView data) {
    if (data.size() < kRecognisedLength || data[0] != 0x17 || data[1] != 0x3D) return -1;
    return data[2];
}

bool TelvoBleTool::isQKBlePeripheral(ByteView data) {
    return bleProtocolVersionWithData(data) >= 0;
}

bool TelvoBleTool::isBLENewVersionWithData(ByteView data) {
    const int64_t version = bleProtocolVersionWithData(data);
    return version >= 1 && version <= 3;
}

std::optional<Dictionary> TelvoBleTool::bleAdvDicWithPeripheral(
    ByteView data, const std::optional<std::string>& bleName) {
    switch (bleProtocolVersionWithData(data)) {
        case 0:
            return parseOneBleData(data, bleName);
        case 1:
        case 2:
            if (data.size() < kNewLayoutLength) return std::nullopt;
            return parseTwoBleData(data, bleName);
        case 3:
            if (data.size() < kVersion3Length) return std::nullopt;
            return parseThreeBleData(data, bleName);
        default:
            return std::nullopt;
    }
}

Dictionary TelvoBleTool::parseOneBleData(ByteView data, const std::optional<std::string>& bleName) {
    Dictionary dic;
    if (data.size() < 3) return dic;
    dic.set("bleProtcolVersion", std::to_string(data[2]));
    if (data.size() > 3) {
        setModuleType(dic, bit(data[3], 0), 2, 0);
        setBits(dic, data, 3,
                {{1, "isWifiConfiged"}, {2, "wifiConfigEnable"}, {3, "transportEnable"}});
    }
    if (data.size() > 5) dic.set("deviceSubType", std::to_string(data[4] | data[5] << 8));
    if (auto sn8 = characters(data, 6, 8)) dic.set("deviceSN8", *sn8);
    if (bleName) {
        dic.set("deviceSSID", *bleName);
        const auto parts = componentsSeparatedBy(*bleName, '_');
        if (parts.size() == 3) {
            std::string type = parts[1];
            for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            dic.set("deviceType", "0x" + type);
            dic.set("deviceName", *bleName);
        }
    }
    return dic;
}

Dictionary TelvoBleTool::parseTwoBleData(ByteView data, const std::optional<std::string>& bleName) {
    Dictionary dic;
    if (data.size() < 3) return dic;
    parseCommon(dic, data, bleName);
    if (data.size() > 18) setModuleType(dic, bit(data[18], 0), 3, 1);
    setBits(dic, data, 18,
            {{1, "isWifiConfiged"},
             {2, "bindState"},
             {3, "isAuthority"},
             {4, "wifiConfigEnable"},
             {5, "affiliatedEnable"},
             {6, "transportEnable"},
             {7, "otaEnable"}});
    setBits(dic, data, 19,
            {{2, "functionSetEnable"},
             {3, "regionIDEnable"},
             {4, "supportBleRemote"},
             {6, "isUpdateRouter"},
             {7, "functionExtension"}});
    if (data.size() > 19) dic.set("supportBind", !bit(data[19], 5));
    setBits(dic, data, 28,
            {{0, "isWiredConfigurable"},
             {1, "isWiredStatus"},
             {2, "isSpecialModeBluetooth"},
             {3, "isCloudLinkage"},
             {4, "isNewGenerationMesh"},
             {5, "supportAIError"},
             {6, "supportTransportCallback"},
             {7, "supportFactoryMode"}});
    setBits(dic, data, 29, {{0, "isNewGenerationBeacon"}});
    return dic;
}

Dictionary TelvoBleTool::parseThreeBleData(ByteView data,
                                           const std::optional<std::string>& bleName) {
    Dictionary dic;
    if (data.size() < 3) return dic;
    parseCommon(dic, data, bleName);
    if (data.size() > 18) {
        setModuleType(dic, bit(data[18], 0), 3, 1);
        dic.set("wifiConfigEnable", bit(data[18], 3));
    }
    setBits(dic, data, 18,
            {{1, "isWifiConfiged"},
             {2, "bindState"},
             {3, "isAuthority"},
             {4, "isUpdateRouter"},
             {6, "isWiredConfigurable"},
             {7, "isWiredStatus"}});
    setBits(dic, data, 19,
            {{0, "isSpecialModeBluetooth"},
             {1, "isAfterSales"},
             {2, "supportAIError"},
             {3, "supportTransportCallback"},
             {4, "supportBleRemote"}});
    if (data.size() > 19) dic.set("supportFactoryMode", !bit(data[19], 5));
    dic.set("affiliatedEnable", false);
    for (const char* key : {"transportEnable", "functionSetEnable", "regionIDEnable", "supportBind",
                            "functionExtension"})
        dic.set(key, true);
    return dic;
}

int64_t TelvoBleTool::bleModuleTypeForAdvertisementData(const Value& capabilities,
                                                        const Value& advertisementData,
                                                        int64_t configType) {
    if (capabilities.isDictionary())
        return bleModuleTypeForCapabilities(capabilities.dictionary(), configType);
    const Value& name = advertisementData[kLocalNameKey];
    return bleModuleTypeForCapabilities(
        bleAdvDicWithPeripheral(advertisementData[kManufacturerDataKey].bytes(),
                                name.isText() ? name.optionalText() : std::nullopt),
        configType);
}

int64_t TelvoBleTool::bleModuleTypeForAdvertisementData(
    const std::shared_ptr<CBPeripheral>& peripheral, int64_t configType) {
    auto record = qkExtensions(peripheral);
    auto asValue = [](const std::optional<Dictionary>& d) { return d ? Value(*d) : Value(); };
    return bleModuleTypeForAdvertisementData(
        asValue(record ? record->qkSmartDictonary : std::nullopt),
        asValue(record ? record->qkAdvertiDictonary : std::nullopt), configType);
}

int64_t TelvoBleTool::bleModuleTypeForCapabilities(const std::optional<Dictionary>& capabilities,
                                                   int64_t configType) {
    const Dictionary none;
    const Dictionary& dic = capabilities ? *capabilities : none;
    const int64_t m = dic["moduleType"].int64Value();
    switch (configType) {
        case 3: {
            static constexpr int64_t kByModule[] = {2, 0, 1};
            return m >= 1 && m <= 3 ? kByModule[m - 1] : 99;
        }
        case 4:
            if (m == 0 || m == 1) {
                const bool bridge = dic["affiliatedEnable"].boolValue() ||
                                    dic["isNewGenerationBeacon"].boolValue() ||
                                    dic["isNewGenerationMesh"].boolValue();
                return bridge ? 4 : 2;
            }
            if (m == 3) return dic["transportEnable"].boolValue() ? 3 : 99;
            return 99;
        case 5:
            return m == 3 ? 10 : 99;
        default:
            return 99;
    }
}

}  // namespace telvo

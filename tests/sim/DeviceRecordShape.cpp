#include "sim/DeviceRecordShape.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace telvo::test {

namespace {

std::string flag(bool value) {
    return value ? "1" : "";
}

std::string count(size_t size) {
    return size ? std::to_string(size) : "";
}

bool all(const std::string& text, int (*test)(int)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [test](char c) {
        return test(static_cast<unsigned char>(c)) != 0;
    });
}

bool hexIn(const std::string& text, bool upper) {
    return all(text, isxdigit) && std::none_of(text.begin(), text.end(), [upper](char c) {
               return upper ? std::islower(static_cast<unsigned char>(c))
                            : std::isupper(static_cast<unsigned char>(c));
           });
}

bool fits(const std::string& value, const std::string& shape) {
    if (shape == "any") return true;
    if (shape == "-") return value.empty();
    if (shape == "filled") return !value.empty();
    if (shape.starts_with("=")) return value == shape.substr(1);
    if (shape == "digits") return all(value, isdigit);
    if (shape == "0/1") return value == "0" || value == "1";
    if (shape.starts_with("serial"))
        return all(value, isalnum) && value.size() == std::stoul(shape.substr(6));
    if (shape == "hex" || shape == "HEX") return hexIn(value, shape == "HEX");
    if (shape.starts_with("hex"))
        return hexIn(value, false) && value.size() == std::stoul(shape.substr(3));
    if (shape == "0xac" || shape == "0xAC")
        return value.size() == 4 && value.starts_with("0x") &&
               hexIn(value.substr(2), shape == "0xAC");
    if (shape == "aa:bb:cc:dd:ee:ff")
        return std::regex_match(value, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"));
    if (shape == "aabbccddeeff" || shape == "AABBCCDDEEFF")
        return value.size() == 12 && hexIn(value, shape == "AABBCCDDEEFF");
    if (shape == "a.b.c.d")
        return std::regex_match(value, std::regex("([0-9]{1,3}\\.){3}[0-9]{1,3}"));
    return false;
}

}  // namespace

std::map<std::string, std::string> recordFields(const QKDevice& d) {
    return {
        {"deviceId", d.deviceId},
        {"deviceSn", d.deviceSn},
        {"deviceSn8", d.deviceSn8},
        {"deviceType", d.deviceType},
        {"deviceSsid", d.deviceSsid},
        {"deviceSubType", d.deviceSubType},
        {"deviceName", d.deviceName},
        {"isWanOnline", d.isWanOnline},
        {"moduleVersion", d.moduleVersion},
        {"bleVersion", d.bleVersion},
        {"softwareVersion", d.softwareVersion},
        {"randomCode", d.randomCode},
        {"udpVersion", d.udpVersion},
        {"btMac", d.btMac},
        {"bleToken", d.bleToken},
        {"verificationCode", d.verificationCode},
        {"applianceCode", d.applianceCode},
        {"deviceIP", d.deviceIP},
        {"deviceTid", count(d.deviceTid.size())},
        {"des", d.des},
        {"modelNumber", d.modelNumber},
        {"onlineStatus", d.onlineStatus},
        {"activeStatus", d.activeStatus},
        {"wifiVersion", d.wifiVersion},
        {"smartProductId", d.smartProductId},
        {"protocolType", d.protocolType ? std::to_string(d.protocolType) : ""},
        {"referenceRSSI", d.referenceRSSI.isNull() ? "" : "set"},
        {"productInfoData", count(d.productInfoData.size())},
        {"qkSmartDict", count(d.qkSmartDict.size())},
        {"isSupportAuthtrue", flag(d.isSupportAuthtrue)},
        {"functionSetEnable", flag(d.functionSetEnable)},
        {"regionIdEnable", flag(d.regionIdEnable)},
        {"supportBind", flag(d.supportBind)},
        {"transportEnable", flag(d.transportEnable)},
        {"functionExtension", flag(d.functionExtension)},
        {"supportAIError", flag(d.supportAIError)},
        {"checkRandom", flag(d.checkRandom)},
        {"isSupportCancelConfig", flag(d.isSupportCancelConfig)},
        {"setofsystem", flag(d.setofsystem)},
        {"isSupportBleOTA", flag(d.isSupportBleOTA)},
        {"isWiredStatus", flag(d.isWiredStatus)},
    };
}

std::vector<std::string> recordMismatches(const QKDevice& device, const RecordShape& shape) {
    std::vector<std::string> out;
    const auto fields = recordFields(device);
    for (const auto& [name, expected] : shape)
        if (!fields.contains(name)) out.push_back(name + ": no such field");
    for (const auto& [name, value] : fields) {
        auto it = shape.find(name);
        const std::string expected = it == shape.end() ? "-" : it->second;
        if (!fits(value, expected))
            out.push_back(name + " = \"" + value + "\", expected " + expected);
    }
    return out;
}

}  // namespace telvo::test

// Message builders and reply parsers of the LAN frames.
#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "core/HexText.h"
#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "core/TextSplit.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "platform/base/ByteAppend.h"
#include "protocol/LanText.h"
#include "protocol/QKProtocol.h"
#include "security/QKDataSecurity.h"
#include "security/TextBytes.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

// NSScanner's scanHexInt: blanks, an optional 0x, then hex digits up to the first other
// character; 0 when there are none. Saturates at 0xFFFFFFFF.
uint32_t scanHex(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        i + 2 < text.size() && hexDigitValue(text[i + 2]) >= 0)
        i += 2;
    uint64_t v = 0;
    for (int d; i < text.size() && (d = hexDigitValue(text[i])) >= 0; ++i)
        v = std::min<uint64_t>(v * 16 + static_cast<uint64_t>(d), 0xFFFFFFFFull);
    return static_cast<uint32_t>(v);
}

// The leading decimal number of a text, as NSString's intValue reads it.
int64_t numberField(const std::optional<std::string>& text) {
    return text ? Value(*text).int64Value() : 0;
}

bool isHexString(std::string_view text) {
    for (char c : text)
        if (hexDigitValue(c) < 0) return false;
    return !text.empty();
}

// A dotted IPv4 address with four parts of 0 to 255, last part first.
std::optional<Bytes> reversedAddress(const std::string& address) {
    auto parts = componentsSeparatedBy(address, '.');
    if (parts.size() != 4) return std::nullopt;
    Bytes out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (it->empty() || it->size() > 3) return std::nullopt;
        for (char c : *it)
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        const int v = std::stoi(*it);
        if (v > 255) return std::nullopt;
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

// FNV-1a, 32 bits.
uint32_t stableHash(std::string_view text) {
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// The parts of the 0x70 body after the random code; each returns why it refuses, or nullptr.

// The router: SSID, password, BSSID, the SSID in GB18030, then the fixed flags.
const char* appendRouterFields(Bytes& body, const QKDeviceApConfigParams& p) {
    const std::string& ssid = *p.routerSSID;
    const std::string pwd = p.routerPwd.value_or("");
    if (ssid.size() > 255 || pwd.size() > 255) return "SSID or password over 255 bytes";
    const auto gbSsid = lantext::gb18030(ssid);
    if (!gbSsid || gbSsid->size() > 255) return "SSID has no GB18030 form of 255 bytes";
    body.push_back(static_cast<uint8_t>(ssid.size()));
    appendBytes(body, toBytes(ssid));
    body.push_back(static_cast<uint8_t>(pwd.size()));
    appendBytes(body, toBytes(pwd));

    const std::string bssid = p.routerBSSID.value_or("");
    if (bssid.empty()) {
        body.push_back(0);
    } else {
        auto parts = componentsSeparatedBy(bssid, ':');
        if (parts.size() > 255) return "BSSID over 255 parts";
        body.push_back(static_cast<uint8_t>(parts.size()));
        for (const auto& part : parts) body.push_back(static_cast<uint8_t>(scanHex(part)));
    }
    body.push_back(static_cast<uint8_t>(gbSsid->size()));
    appendBytes(body, *gbSsid);

    if (p.channelEnable) body.push_back(0);
    body.insert(body.end(), {0x01, 0x01, static_cast<uint8_t>(p.checkPasswordEnable ? 1 : 0)});
    return nullptr;
}

// Items 2 to 6: country code, time zone and channels; region; the module's server and function.
const char* appendRegionalItems(Bytes& body, const QKDeviceApConfigParams& p) {
    if (p.countryCodeEnable) {
        static const Value::Array kNoChannels;
        const Value::Array& channelList = p.channelList ? *p.channelList : kNoChannels;
        const size_t channels = channelList.size();
        if (channels > 62) return "channel list over 62 entries";
        body.push_back(0x02);
        body.push_back(static_cast<uint8_t>(4 + 4 * channels));
        if (p.countryCode) {
            if (p.countryCode->size() != 2) return "country code is not two bytes";
            appendBytes(body, toBytes(*p.countryCode));
        } else {
            body.insert(body.end(), {0, 0});
        }
        body.push_back(p.timeZone ? static_cast<uint8_t>(numberField(p.timeZone)) : 255);
        body.push_back(static_cast<uint8_t>(channels));
        for (const Value& entry : channelList)
            for (const char* key : {kQKSDKConfigFirstChannelNumber, kQKSDKConfigChannelCount,
                                    kQKSDKConfigChannelMaxPower, kQKSDKConfigChannelDFSEnable})
                body.push_back(static_cast<uint8_t>(entry[key].int64Value()));
    }
    if (p.regionIdEnable) {
        body.insert(body.end(), {0x03, 0x04});
        appendLittleEndian(body, static_cast<uint64_t>(numberField(p.regionId)), 4);
    }
    if (p.functionSetEnable) {
        const std::string domain = p.moduleServerDomain.value_or("");
        if (domain.size() > 255) return "module server domain over 255 bytes";
        body.push_back(0x04);
        body.push_back(static_cast<uint8_t>(domain.size()));
        appendBytes(body, toBytes(domain));
        body.insert(body.end(), {0x05, 0x02});
        appendLittleEndian(body, static_cast<uint64_t>(numberField(p.moduleServerPort)), 2);
        body.insert(body.end(), {0x06, 0x01, static_cast<uint8_t>(numberField(p.functionType))});
    }
    return nullptr;
}

// Items 7 to 10: the cluster, then the ADNS addresses or else the ADS domain and port.
const char* appendCloudItems(Bytes& body, const QKDeviceApConfigParams& p) {
    static const std::vector<std::string> kNoAddresses;
    const std::vector<std::string>& adnsIPList = p.adnsIPList ? *p.adnsIPList : kNoAddresses;
    if (p.adnsIPEnable || p.adsEnable) {
        const auto cluster = static_cast<uint32_t>(numberField(p.adsClusterId));
        body.insert(body.end(),
                    {0x07, 0x03, static_cast<uint8_t>(cluster >> 16),
                     static_cast<uint8_t>(cluster >> 8), static_cast<uint8_t>(cluster)});
    }
    if (p.adnsIPEnable) {
        body.push_back(0x0A);
        if (!adnsIPList.empty()) {
            Bytes item;
            if (p.adnsIPPort)
                appendLittleEndian(item, static_cast<uint64_t>(numberField(p.adnsIPPort)), 2);
            Bytes addresses;
            size_t count = 0;
            for (const auto& address : adnsIPList) {
                if (auto reversed = reversedAddress(address)) {
                    appendBytes(addresses, *reversed);
                    ++count;
                }
            }
            if (count > 255 || item.size() + 1 + addresses.size() > 255)
                return "ADNS address list too long";
            item.push_back(static_cast<uint8_t>(count));
            appendBytes(item, addresses);
            body.push_back(static_cast<uint8_t>(item.size()));
            appendBytes(body, item);
        }
    } else if (p.adsEnable) {
        if (p.adsDomain) {
            if (p.adsDomain->size() > 255) return "ADS domain over 255 bytes";
            body.push_back(0x08);
            body.push_back(static_cast<uint8_t>(p.adsDomain->size()));
            appendBytes(body, toBytes(*p.adsDomain));
        }
        if (p.adsPort) {
            body.insert(body.end(), {0x09, 0x02});
            appendLittleEndian(body, static_cast<uint64_t>(numberField(p.adsPort)), 2);
        }
    }
    return nullptr;
}

}  // namespace

void QKProtocol::findDeviceInLanWithDic(const Value&) {
    setMessageArray(Bytes{});
    msgType_ = 0x92;
    encryptType_ = 1;
    setBody({0xFF, 0x00});
}

void QKProtocol::heartbeatDataWithDeviceId(int64_t deviceId) {
    msgType_ = 0x7B;
    encryptType_ = 0;
    isSign_ = protocolVer_ != 3;
    deviceID_ = deviceId;
    setBody({0x00});
}

bool QKProtocol::writeTempDeviceId(const Value& deviceDic) {
    msgType_ = 0x43;
    setEncryptTypeByVerison();
    const std::string& sn = deviceDic[kQKSDKDeviceSn].text();
    const auto type = QKTool::getDeviceTypeWithSSID(deviceDic[kQKSDKDeviceSSID].text());
    if (!type) return refuse("no appliance type in the SSID");
    if (type->size() != 2 || !isHexString(*type))
        return refuse("appliance type is not two hex digits");
    if (sn.size() != 32) return refuse("serial number is not 32 characters");
    for (unsigned char c : sn)
        if (c >= 0x80) return refuse("serial number is not ASCII");

    const uint32_t hash = stableHash(QKDataSecurity::getMD5_128WithData(toBytes(sn)));
    Bytes body = toBytes(sn);
    body.push_back(static_cast<uint8_t>(hash >> 24));
    body.push_back(static_cast<uint8_t>(hash >> 16));
    body.push_back(static_cast<uint8_t>(hash >> 8));
    body.push_back(static_cast<uint8_t>(hash));
    body.push_back(static_cast<uint8_t>(scanHex(*type)));
    body.push_back(0xFF);
    setBody(std::move(body));
    return true;
}

void QKProtocol::getDeviceSubType(const Value& dic) {
    msgType_ = 0x20;
    setEncryptTypeByVerison();
    Bytes body = {
        0xAA, 0x0B, static_cast<uint8_t>(scanHex(dic["type"].stringValue())), 0, 0, 0, 0, 0, 0,
        0xA0, 0};
    unsigned sum = 0;
    for (size_t i = 1; i <= 9; ++i) sum += body[i];
    body.push_back(static_cast<uint8_t>(-sum));
    deviceID_ = dic[kQKSDKDeviceId].int64Value();
    QKSDKLOG("获取家电子类型 _deviceID is %lld", static_cast<long long>(deviceID_));
    setBody(std::move(body));
}

bool QKProtocol::writeWiFiSSIDWithConfigModel(const QKDeviceApConfigParams& params) {
    msgType_ = 0x68;
    setEncryptTypeByVerison();
    const std::string ssid = params.routerSSID.value_or("");
    const std::string pwd = params.routerPwd.value_or("");
    if (ssid.size() > 255 || pwd.size() > 255) return refuse("SSID or password over 255 bytes");
    const int64_t security = numberField(params.securityType);
    Bytes body = {static_cast<uint8_t>(security >= 1 ? security : 0),
                  static_cast<uint8_t>(ssid.size()), static_cast<uint8_t>(pwd.size())};
    appendBytes(body, toBytes(ssid));
    appendBytes(body, toBytes(pwd));
    setBody(std::move(body));
    return true;
}

void QKProtocol::switchWifiStatusToAP(bool toAP) {
    msgType_ = 0x81;
    setEncryptTypeByVerison();
    setBody({static_cast<uint8_t>(toAP ? 0x01 : 0x02)});
}

bool QKProtocol::writeNewWiFiSSIDWithConfigModel(const QKDeviceApConfigParams& p) {
    setMessageArray(Bytes{});
    msgType_ = 0x70;
    setEncryptTypeByVerison();

    if (!p.routerSSID) return refuse("no router SSID");
    const std::string random = p.randomNum.value_or("");
    if (random.size() < 32 || !isHexString(std::string_view(random).substr(0, 32)))
        return refuse("randomNum is not 32 hex digits");
    QKSDKLOG("randomUUID = %s", maskedSecret("code", random).c_str());
    Bytes body = hextext::readPairs(std::string_view(random).substr(0, 32));
    const char* refusal = appendRouterFields(body, p);
    if (!refusal) refusal = appendRegionalItems(body, p);
    if (!refusal && (p.adnsIPEnable || p.adsEnable)) {
        QKSDKLOG(
            "adsClusterId = %s, adnsIPPort = %s, adsDomain = %s, adsPort = %s, adnsIP count = %zu",
            p.adsClusterId.value_or("").c_str(), p.adnsIPPort.value_or("").c_str(),
            p.adsDomain.value_or("").c_str(), p.adsPort.value_or("").c_str(),
            p.adnsIPList ? p.adnsIPList->size() : size_t{0});
    }
    if (!refusal) refusal = appendCloudItems(body, p);
    if (refusal) return refuse(refusal);
    QKSDKLOG("0070 body %s", maskedBody(body).c_str());
    setBody(std::move(body));
    return true;
}

void QKProtocol::checkFormerConfigInfo() {
    msgType_ = 0x71;
    setEncryptTypeByVerison();
    setBody({0x01, 0x00, 0x00});
}

void QKProtocol::getGroupDeviceInfo() {
    msgType_ = 0x74;
    setEncryptTypeByVerison();
    setBody({0x00});
}

void QKProtocol::getWiFiList() {
    msgType_ = 0x6B;
    setEncryptTypeByVerison();
    setBody({0x00});
}

ErrorPtr QKProtocol::handleConfigWiFiAndPWDResp(ByteView body) {
    if (body.empty()) return nullptr;
    switch (body[0]) {
        case 0:
            return TelvoError::sucError();
        case 1:
            return TelvoError::configNetErrorWithCode(4020);
        case 2:
            return TelvoError::configNetErrorWithCode(4021);
        case 3:
            return TelvoError::configNetErrorWithCode(4022);
        case 4:
            return TelvoError::configNetErrorWithCode(4090);
        case 24:
            return TelvoError::configNetErrorWithCode(4127);
        case 25:
            return TelvoError::configNetErrorWithCode(4128);
        case 26:
            return TelvoError::configNetErrorWithCode(4129);
        case 27:
            return TelvoError::configNetErrorWithCode(4136);
        default:
            return TelvoError::configNetErrorWithCode(4135);
    }
}

std::optional<Dictionary> QKProtocol::handleLastTimeConfigResp(ByteView body) {
    if (body.size() < 3) return std::nullopt;
    Dictionary result;
    result.set(kQKSDKFormerErrorCode, Value(int{body[2]}));
    if (body[2] == 0) return result;
    if (body.size() == 3) return std::nullopt;
    const size_t len = body[3];
    if (body.size() - 4 < len) return std::nullopt;
    result.set(kQKSDKFormerRouterSSID, lantext::bytesAsCharacters(body.subspan(4, len)));
    bool valid = false;
    if (body.size() > 4 + len) {
        const uint8_t flag = body[4 + len];
        if (flag == 1 && body.size() - (4 + len) >= 33) {
            result.set(kQKSDKFormerRouterPassword,
                       QKStringFormat::dataToHexStr(body.subspan(5 + len, 32)));
            valid = true;
        } else if (flag == 0) {
            valid = true;
        }
    }
    if (body.size() > 37 + len) result.set(kQKSDKFormerStatusCode, std::to_string(body[37 + len]));
    if (!valid) return std::nullopt;
    return result;
}

Value::Array QKProtocol::handleGroupDeviceResp(ByteView body) {
    Value::Array list;
    if (body.empty() || body[0] == 0) return list;
    const size_t count = body[0];
    size_t pos = 5;
    for (size_t n = 0; n < count; ++n) {
        Dictionary device;
        for (int item = 0; item < 2; ++item) {
            if (pos > body.size() || body.size() - pos < 2 || body.size() - pos - 2 < body[pos + 1])
                return list;
            const uint8_t type = body[pos];
            const ByteView value = body.subspan(pos + 2, body[pos + 1]);
            pos += 2 + value.size();
            if (type == 0xA9) {
                std::string sn = lantext::bytesAsCharacters(value);
                QKSDKLOG("ap 查询家电产品信息应答sn=%s", sn.c_str());
                device.set("sn", std::move(sn));
            } else if (type == 0xAA && value.size() >= 2) {
                std::string a0 = std::to_string(value[0] + 256 * value[1]);
                QKSDKLOG("ap 查询家电产品信息应答A0=%s", a0.c_str());
                device.set("a0", std::move(a0));
            }
        }
        list.emplace_back(std::move(device));
    }
    return list;
}

std::optional<Value::Array> QKProtocol::getWifiListWithByteArray(ByteView body) {
    if (body.size() < 3) return std::nullopt;
    const size_t announced = body[0];
    size_t read = 0;
    Value::Array list;
    size_t pos = 1;
    while (pos < body.size()) {
        if (body.size() - pos < 2) {
            QKSDKLOG("解析wifi名称时长度不合法");
            return list;
        }
        const size_t len = body[pos];
        const uint8_t security = body[pos + 1];
        if (security >= 3) {
            QKSDKLOG("加密类型不识别 加密类型:%d", security);
            return list;
        }
        if (body.size() - pos - 2 < len) {
            QKSDKLOG("解析wifi名称时长度不合法");
            return list;
        }
        // The SSID ends at its first zero byte.
        ByteView ssid = body.subspan(pos + 2, len);
        ssid =
            ssid.first(static_cast<size_t>(std::find(ssid.begin(), ssid.end(), 0) - ssid.begin()));
        pos += 2 + len;
        ++read;
        if (!ssid.empty() && textbytes::isValidUTF8(ssid))
            list.emplace_back(Dictionary{{"ssid", toString(ssid)}, {"miType", int{security}}});
    }
    if (read != announced) return std::nullopt;
    return list;
}

uint8_t getChkSum(ByteView buffer) {
    if (buffer.empty() || buffer[0] < 3) return 0;
    const size_t count = buffer[0] - 2u;
    if (count > buffer.size()) return 0;
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += buffer[i];
    return static_cast<uint8_t>(-sum);
}

}  // namespace telvo

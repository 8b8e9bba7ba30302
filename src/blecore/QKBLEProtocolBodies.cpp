// Builders of the BLE message bodies.
#include <string_view>

#include "blecore/QKBLEProtocol.h"
#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "core/TextSplit.h"
#include "logging/QKLog.h"
#include "platform/base/ByteAppend.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

constexpr size_t kByteField = 0xFF;

// The leading decimal value of a text; 0 when absent or without digits.
int64_t number(const std::optional<std::string>& text) {
    return text ? Value(*text).int64Value() : 0;
}

Bytes hexBytes(const std::optional<std::string>& text) {
    return QKStringFormat::dataFromHexString(text).value_or(Bytes{});
}

// The first two bytes of the country code, zero-padded; 00 00 when absent.
void appendCountry(Bytes& body, const std::optional<std::string>& countryCode) {
    const std::string code = countryCode.value_or("");
    for (size_t i = 0; i < 2; ++i)
        body.push_back(i < code.size() ? static_cast<uint8_t>(code[i]) : 0);
}

// Each entry as first channel, channel count, maximum power and DFS flag; absent keys give 0.
const Value::Array& channelsOf(const QKDeviceBleConfigParams& p) {
    static const Value::Array none;
    return p.channelList ? *p.channelList : none;
}

const std::vector<std::string>& addressesOf(const QKDeviceBleConfigParams& p) {
    static const std::vector<std::string> none;
    return p.adnsIPList ? *p.adnsIPList : none;
}

void appendChannels(Bytes& body, const Value::Array& channels) {
    for (const Value& entry : channels)
        for (const char* key : {kQKSDKConfigFirstChannelNumber, kQKSDKConfigChannelCount,
                                kQKSDKConfigChannelMaxPower, kQKSDKConfigChannelDFSEnable})
            body.push_back(static_cast<uint8_t>(entry[key].int64Value()));
}

// The router part of the Wi-Fi bodies: BSSID, 01, SSID and password lengths, SSID, password,
// random code, 00. false when a length byte cannot hold the SSID or the password.
bool appendRouter(Bytes& body, const std::optional<std::string>& ssid,
                  const std::optional<std::string>& password,
                  const std::optional<std::string>& bssid,
                  const std::optional<std::string>& random) {
    const Bytes s = toBytes(ssid.value_or("")), pw = toBytes(password.value_or(""));
    if (s.size() > kByteField || pw.size() > kByteField) return false;
    appendBytes(body, hexBytes(bssid));
    body.insert(body.end(),
                {0x01, static_cast<uint8_t>(s.size()), static_cast<uint8_t>(pw.size())});
    appendBytes(body, s);
    appendBytes(body, pw);
    appendBytes(body, hexBytes(random));
    body.push_back(0x00);
    return true;
}

// Region ID, 32-bit LE, or four 00 when it is not enabled.
void appendRegion(Bytes& body, const QKDeviceBleConfigParams& p) {
    appendLittleEndian(body, p.regionIdEnable ? static_cast<uint64_t>(number(p.regionId)) : 0, 4);
}

// Function type, country code, time zone (00 absent), the domain with its length, the port.
bool appendFunctionHead(Bytes& body, const QKDeviceBleConfigParams& p) {
    const Bytes domain = toBytes(p.moduleServerDomain.value_or(""));
    if (domain.size() > kByteField) return false;
    body.push_back(static_cast<uint8_t>(number(p.functionType)));
    appendCountry(body, p.countryCode);
    body.push_back(p.timeZone ? static_cast<uint8_t>(number(p.timeZone)) : 0);
    body.push_back(static_cast<uint8_t>(domain.size()));
    appendBytes(body, domain);
    appendLittleEndian(body, static_cast<uint64_t>(number(p.moduleServerPort)), 2);
    return true;
}

void appendCluster(Bytes& body, const QKDeviceBleConfigParams& p) {
    const auto cluster = static_cast<uint32_t>(number(p.adsClusterId));
    body.insert(body.end(), {static_cast<uint8_t>(cluster >> 16),
                             static_cast<uint8_t>(cluster >> 8), static_cast<uint8_t>(cluster)});
}

}  // namespace

Bytes QKBLEProtocol::msgBodyForGetDevicePublicKey() {
    Bytes body(10, 0);
    body[0] = 0x01;
    return body;
}

std::optional<Bytes> QKBLEProtocol::msgBodyForAuthSecretKey(ByteView publicKey, ByteView authKey) {
    if (publicKey.size() != 64) return std::nullopt;
    Bytes body = {0x02, 0x02};
    appendBytes(body, publicKey);
    appendBytes(body, authKey);
    return body;
}

Bytes QKBLEProtocol::msgBodyForWriteVericode(ByteView code, uint8_t actionType) {
    Bytes body = {0x03, 0x01, actionType};
    appendBytes(body, code);
    return body;
}

Bytes QKBLEProtocol::msgBodyForDeviceConfirmCheck() {
    return {0x01};
}

Bytes QKBLEProtocol::msgBodyForDeviceConfirmSetWithAuthType(uint8_t authType) {
    return {0x02, authType};
}

std::optional<Bytes> QKBLEProtocol::msgBodyForCoutryChannelWithCountryCode(
    const std::optional<std::string>& countryCode, const std::optional<std::string>& timeZone,
    const Value::Array& channelList, const std::optional<std::string>& regionID) {
    if (channelList.size() > 127) return std::nullopt;
    Bytes body = {0x01};
    appendCountry(body, countryCode);
    body.push_back(timeZone ? static_cast<uint8_t>(number(timeZone)) : 0xFF);
    body.push_back(static_cast<uint8_t>(channelList.size()));
    appendChannels(body, channelList);
    appendLittleEndian(body, static_cast<uint64_t>(number(regionID)), 4);
    return body;
}

std::optional<Bytes> QKBLEProtocol::msgBodyForConnectWithRouterSSID(
    const std::optional<std::string>& routerSSID, const std::optional<std::string>& routerPassword,
    const std::optional<std::string>& routerBssid, const std::optional<std::string>& random) {
    Bytes body;
    if (!appendRouter(body, routerSSID, routerPassword, routerBssid, random)) return std::nullopt;
    return body;
}

std::optional<Bytes> QKBLEProtocol::msgBodyForPreConnect(const QKDeviceBleConfigParams& p,
                                                         uint8_t mode) {
    Bytes body = {mode};
    if (!appendRouter(body, p.routerSSID, p.routerPwd, p.routerBSSID, p.randomNum))
        return std::nullopt;
    appendRegion(body, p);
    if (p.functionSetEnable) {
        const Value::Array& channels = channelsOf(p);
        if (channels.size() > kByteField || !appendFunctionHead(body, p)) return std::nullopt;
        body.push_back(static_cast<uint8_t>(channels.size()));
        appendChannels(body, channels);
    }
    if (p.regionIdEnable && p.functionSetEnable) {
        QKSDKLOG("新一键配网 UDP ADS_id:%s", p.adsClusterId.value_or("").c_str());
        appendCluster(body, p);
        if (p.adnsIPEnable) {
            const std::vector<std::string>& addresses = addressesOf(p);
            if (addresses.size() > kByteField) return std::nullopt;
            body.push_back(0x00);
            appendLittleEndian(body, static_cast<uint64_t>(number(p.adnsIPPort)), 2);
            body.push_back(static_cast<uint8_t>(addresses.size()));
            const size_t end = body.size() + 4 * addresses.size();
            for (const auto& address : addresses) {
                const auto parts = componentsSeparatedBy(address, '.');
                if (parts.size() != 4) continue;
                for (auto it = parts.rbegin(); it != parts.rend(); ++it)
                    body.push_back(static_cast<uint8_t>(Value(*it).int64Value()));
            }
            body.resize(end, 0x00);
        }
    }
    return body;
}

std::optional<Bytes> QKBLEProtocol::msgBodyWired(const QKDeviceBleConfigParams& p, uint8_t mode) {
    Bytes body = {mode};
    appendBytes(body, hexBytes(p.randomNum));
    appendRegion(body, p);
    if (p.functionSetEnable && !appendFunctionHead(body, p)) return std::nullopt;
    if (p.regionIdEnable && p.functionSetEnable) {
        QKSDKLOG("网线配网新一键配网 UDP ADS_id:%s", p.adsClusterId.value_or("").c_str());
        appendCluster(body, p);
        body.insert(body.end(), {0x00, 0x00, 0x00});
    }
    return body;
}

std::optional<Bytes> QKBLEProtocol::msgBodyForRouterUpdateWithModel(
    const QKDeviceBleConfigParams& p) {
    Bytes fields;
    uint8_t count = 0;
    auto field = [&](uint8_t tag, ByteView value) {
        if (value.size() > kByteField) return false;
        fields.insert(fields.end(), {tag, 0x02, static_cast<uint8_t>(value.size())});
        appendBytes(fields, value);
        ++count;
        return true;
    };
    if (p.routerSSID && !field(0x0E, toBytes(*p.routerSSID))) return std::nullopt;
    if (p.routerPwd && !field(0x0F, toBytes(*p.routerPwd))) return std::nullopt;
    if (p.routerBSSID && !field(0x10, hexBytes(p.routerBSSID))) return std::nullopt;
    field(0x11, Bytes{0x00});
    if (const Value::Array& list = channelsOf(p); !list.empty()) {
        Bytes channels = {static_cast<uint8_t>(list.size())};
        appendChannels(channels, list);
        if (list.size() > kByteField || !field(0x1D, channels)) return std::nullopt;
    }
    // Present for a non-empty random-code text, even one that gives no bytes.
    if (!p.randomNum.value_or("").empty() && !field(0x0D, hexBytes(p.randomNum)))
        return std::nullopt;
    Bytes body = {0x02, count};
    appendBytes(body, fields);
    return body;
}

Bytes QKBLEProtocol::msgBodyForSpecialModeBluetooth(uint8_t mode, uint8_t actionType) {
    return {0x01, 0x01, mode, actionType};
}

Bytes QKBLEProtocol::msgBodyForCheckStatus(uint8_t queryType) {
    Bytes body(19, 0);
    body[0] = queryType;
    return body;
}

Bytes QKBLEProtocol::msgBodyForCheckDeviceId(const std::optional<std::string>& deviceId,
                                             const std::optional<std::string>& familyId) {
    Bytes body = {0x01, 0x02, 0x01, 0x00, 0x08};
    appendLittleEndian(body, static_cast<uint64_t>(number(familyId)), 8);
    body.insert(body.end(), {0x02, 0x00, 0x08});
    appendLittleEndian(body, static_cast<uint64_t>(number(deviceId)), 8);
    QKSDKLOG("09指令发送的数据：%s", QKStringFormat::dataToHexStr(body).c_str());
    return body;
}

Bytes QKBLEProtocol::msgBodyForGetProduct() {
    return {0x01};
}

Bytes QKBLEProtocol::msgBodyForBleMeshConfigInfo() {
    return {0x04};
}

std::optional<Bytes> QKBLEProtocol::msgBodyForBleMeshNetKey(
    const std::optional<std::string>& meshNetKey, const std::vector<std::string>& meshAddressArr) {
    const Bytes key = QKTool::dataForHexString(meshNetKey).value_or(Bytes{});
    std::vector<Bytes> addresses;
    for (const auto& text : meshAddressArr) {
        addresses.push_back(QKTool::dataForHexString(text).value_or(Bytes{}));
        if (addresses.back().size() != addresses.front().size()) return std::nullopt;
    }
    const size_t addressLength = addresses.empty() ? 0 : addresses.front().size();
    if (key.size() > kByteField || addresses.size() > kByteField ||
        2 + addresses.size() * addressLength > kByteField)
        return std::nullopt;

    Bytes body = {0x05, 0x01,
                  static_cast<uint8_t>(1 + (key.empty() ? 0 : 1) + (addresses.empty() ? 0 : 1))};
    body.insert(body.end(), {0x09, 0x00, 0x08});
    body.resize(body.size() + 8, 0x00);
    if (!key.empty()) {
        body.insert(body.end(), {0x30, 0x02, static_cast<uint8_t>(key.size())});
        appendBytes(body, key);
    }
    if (!addresses.empty()) {
        body.insert(body.end(),
                    {0x31, 0x02, static_cast<uint8_t>(2 + addresses.size() * addressLength),
                     static_cast<uint8_t>(addresses.size()), static_cast<uint8_t>(addressLength)});
        for (const Bytes& address : addresses) appendBytes(body, address);
    }
    return body;
}

}  // namespace telvo

#include "core/QKTool.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "core/CoreLog.h"
#include "core/HexText.h"
#include "platform/base/AsciiText.h"
#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "platform/dispatch/Clock.h"
#include "platform/net/NetworkReachability.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

const std::vector<std::string>& QKTool::defaultSSIDPrefixes() {
    static const std::vector<std::string> prefixes{"korvo", "zubo", "qk0001", "varne"};
    return prefixes;
}

const std::vector<std::string>& QKTool::acceptedSSIDPrefixes(
    const std::vector<std::string>& prefixArray) {
    return prefixArray.empty() ? defaultSSIDPrefixes() : prefixArray;
}

std::optional<Bytes> QKTool::convertHexStrToData(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    return hextext::readPairs(*text);
}

std::optional<Bytes> QKTool::dataFromHexString(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    const std::string_view hex = *text;
    Bytes out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(hextext::leadingPair(hex.substr(i, 2)));
    return out;
}

std::optional<Bytes> QKTool::dataForHexString(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    auto nibble = [](char c) { return static_cast<uint8_t>(std::max(hexDigitValue(c), 0)); };
    const std::string& hex = *text;
    Bytes out;
    out.reserve((hex.size() + 1) / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        uint8_t low = i + 1 < hex.size() ? nibble(hex[i + 1]) : 0;
        out.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | low));
    }
    return out;
}

Bytes QKTool::hexStrToNSData(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (c != ' ') compact.push_back(c);
    return hextext::readPairs(compact);
}

std::string QKTool::hexStringFromString(const std::string& text) {
    return hextext::encode(toBytes(text), false);
}

std::string QKTool::stringExchangeWithData(ByteView data) {
    return hextext::encode(data, true);
}

Bytes QKTool::turnOverData(ByteView data) {
    return Bytes(data.rbegin(), data.rend());
}

bool QKTool::isEqualMacStr(const std::optional<std::string>& mac,
                           const std::optional<std::string>& targetMac) {
    if (!mac || !targetMac) return false;
    auto normal = [](const std::string& text) {
        std::string out;
        for (char c : text)
            if (c != ':')
                out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        return out;
    };
    return normal(*mac) == normal(*targetMac);
}

std::string QKTool::safeSetBssid(const std::optional<std::string>& bssid) {
    static const std::string zero = "000000000000";
    if (!bssid) return zero;
    std::string joined;
    for (const std::string& group : split(*bssid, ':')) {
        if (group.empty())
            joined += "00";
        else if (group.size() == 1)
            joined += "0" + group;
        else
            joined += group;
    }
    return joined.size() == 12 ? joined : zero;
}

uint16_t QKTool::crc16(const uint8_t* data, int len) {
    if (!data || len < 1) return 0;
    uint16_t crc = 0;
    for (int i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint8_t QKTool::crc8(const uint8_t* data, int len) {
    if (!data || len < 1) return 0;
    uint8_t crc = 0;
    for (int i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C)
                            : static_cast<uint8_t>(crc >> 1);
    }
    return crc;
}

std::optional<std::string> QKTool::getDeviceTypeWithSSID(const std::optional<std::string>& ssid) {
    if (!ssid) return std::nullopt;
    std::vector<std::string> fields = split(*ssid, '_');
    if (fields.size() < 3) return std::nullopt;
    return fields[1];
}

bool QKTool::isKorvoSSID(const std::optional<std::string>& ssid,
                         const std::vector<std::string>& prefixArray) {
    if (!ssid) return false;
    const auto& prefixes = acceptedSSIDPrefixes(prefixArray);
    const std::string lower = lowercased(*ssid);
    for (const std::string& prefix : prefixes) {
        const size_t n = prefix.size();
        if (lower.size() != n + 8 || lower.compare(0, n, lowercased(prefix)) != 0) continue;
        if (lower[n] == '_' && lower[n + 3] == '_') return true;
    }
    return false;
}

std::optional<std::string> QKTool::getSSIDBySN(const std::optional<std::string>& sn,
                                               const std::optional<std::string>& type,
                                               const std::string& prefix) {
    if (!sn || !type || sn->size() < 4 || type->size() != 4) return std::nullopt;
    const std::string& t = *type;
    if (t[0] != '0' || (t[1] != 'x' && t[1] != 'X') || hexDigitValue(t[2]) < 0 ||
        hexDigitValue(t[3]) < 0)
        return std::nullopt;
    return prefix + "_" + t.substr(2) + "_" + sn->substr(sn->size() - 4);
}

std::optional<std::string> QKTool::getIPBordcastAddress() {
    if (auto en0 = NetworkConfiguration::broadcastAddress("en0")) return en0;
    auto en2 = NetworkConfiguration::broadcastAddress("en2");
    if (en2 && en2->rfind("169.254", 0) != 0) return en2;
    return std::nullopt;
}

void QKTool::currentWifiInfoWithBlock(const WifiInfoBlock& block) {
    static const std::string kNoBssid = "00:00:00:00:00:00";
    if (!block) return;
    if (!isWifiInfoEnable()) {
        QKCORELOG("currentwifi = isNotWifiInfoEnable");
        block(std::nullopt, kNoBssid, std::nullopt);
        return;
    }
    const std::optional<WifiInfo> info = NetworkConfiguration::currentWifiInfo();
    if (!info) {
        block(std::nullopt, kNoBssid, std::nullopt);
        return;
    }
    block(info->ssid, info->bssid.value_or(kNoBssid), info->securityType);
}

bool QKTool::isWifiInfoEnable() {
    return NetworkConfiguration::isWifiInfoReadable();
}

int64_t QKTool::getBleMTUWithPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) {
    if (!peripheral) return 20;
    size_t length = std::min(
        peripheral->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithResponse),
        peripheral->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse));
    return std::max<int64_t>(static_cast<int64_t>(length), 20);
}

bool QKTool::getCurrentNetWorkStatus() {
    namespace F = ReachabilityFlags;
    // The host part of the cloud's address ("https://host:443/path" or "host"): the settings'
    // override, else the configuration's server host, where the cloud requests go.
    std::string host = QKUserDefault::standardUserDefaults()->valueForKey("QKServerAddress").text();
    if (host.empty()) host = QKMiddleInterface::shareInstance()->middleConfig()->serverHost();
    if (size_t scheme = host.find("://"); scheme != std::string::npos) host.erase(0, scheme + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    if (!host.empty() && host[0] == '[')
        host = host.substr(1, host.find(']') - 1);
    else
        host = host.substr(0, host.find(':'));
    const std::optional<uint32_t> flags = NetworkReachability::currentFlags(host);
    if (!flags) return true;
    const bool reachable = (*flags & F::kReachable) != 0;
    const bool needsConnection = (*flags & F::kConnectionRequired) != 0;
    const bool connectsByItself =
        (*flags & (F::kConnectionOnDemand | F::kConnectionOnTraffic)) != 0 &&
        (*flags & F::kInterventionRequired) == 0;
    return reachable && (!needsConnection || connectsByItself);
}

std::string QKTool::getCurrentUUID() {
    uint8_t u[16] = {};
    if (!Random::shared()->secureBytes(u, sizeof u))
        for (auto& b : u) b = static_cast<uint8_t>(Random::shared()->uniform32());
    u[6] = static_cast<uint8_t>((u[6] & 0x0F) | 0x40);  // version 4
    u[8] = static_cast<uint8_t>((u[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return hextext::encode(ByteView(u, sizeof u), true);
}

std::string QKTool::createReqId() {
    const std::string seed = getCurrentUUID() +
                             getNSStringFromNSDate(Clock::wallTime(), "yyyyMMddHHmmss") +
                             std::to_string(Random::shared()->uniform(65535));
    const Bytes digest =
        crypto::digest(crypto::DigestAlgorithm::MD5,
                       ByteView(reinterpret_cast<const uint8_t*>(seed.data()), seed.size()));
    if (digest.empty()) return {};
    return hextext::encode(digest, false);
}

std::string QKTool::getNSStringFromNSDate(double date, const std::string& format) {
    const std::tm t = Clock::localTime(date);
    const double fraction = date - std::floor(date);
    std::string out;
    for (size_t i = 0; i < format.size();) {
        const char c = format[i];
        size_t run = 1;
        while (i + run < format.size() && format[i + run] == c) ++run;
        auto number = [&](int value, size_t width) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%0*d", static_cast<int>(width), value);
            out += buf;
        };
        switch (c) {
            case 'y':
                if (run == 2)
                    number((t.tm_year + 1900) % 100, 2);
                else
                    number(t.tm_year + 1900, run);
                break;
            case 'M':
                number(t.tm_mon + 1, run);
                break;
            case 'd':
                number(t.tm_mday, run);
                break;
            case 'H':
                number(t.tm_hour, run);
                break;
            case 'h':
                number(t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12, run);
                break;
            case 'm':
                number(t.tm_min, run);
                break;
            case 's':
                number(t.tm_sec, run);
                break;
            case 'S': {
                const size_t digits = std::min<size_t>(run, 9);
                number(static_cast<int>(fraction * std::pow(10.0, static_cast<double>(digits))),
                       digits);
                break;
            }
            case 'a':
                out += t.tm_hour < 12 ? "AM" : "PM";
                break;
            case '\'':
                run = 1;
                if (i + 1 < format.size() && format[i + 1] == '\'') {
                    out += '\'';
                    run = 2;
                    break;
                }
                while (i + run < format.size() && format[i + run] != '\'') out += format[i + run++];
                ++run;
                break;
            default:
                out.append(run, c);
        }
        i += run;
    }
    return out;
}

int64_t QKTool::longLongFromDate(double date) {
    if (!(std::fabs(date) < 9.0e15)) return 0;
    return static_cast<int64_t>(date * 1000.0);
}

}  // namespace telvo

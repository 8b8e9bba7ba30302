#include "apconfig/QKSmartProtocol.h"

#include <cstring>

#include "core/QKTool.h"
#include "core/TextSplit.h"
#include "platform/base/AsciiText.h"
#include "platform/crypto/Crypto.h"

namespace telvo {
namespace {

int hi(int x) {
    return (x >> 8) & 0xFF;
}
int lo(int x) {
    return x & 0xFF;
}

std::string address(int x, int y, int z) {
    return "239." + std::to_string(x) + "." + std::to_string(y) + "." + std::to_string(z);
}

// The leading hexadecimal digits of a part, kept to their low 8 bits; 0 without digits.
int hexPart(const std::string& part) {
    unsigned value = 0;
    for (char c : part) {
        const int d = hexDigitValue(c);
        if (d < 0) break;
        value = (value << 4 | static_cast<unsigned>(d)) & 0xFF;
    }
    return static_cast<int>(value);
}

// Rows "239.(tag OR i).b[2i+1].b[2i]", and the last odd byte alone.
void appendPairs(std::vector<std::string>& out, const Bytes& data, int tag) {
    const int n = static_cast<int>(data.size());
    for (int i = 0; i < n / 2; ++i) out.push_back(address(tag | i, data[2 * i + 1], data[2 * i]));
    if (n % 2) out.push_back(address(tag | (n / 2), 0, data[n - 1]));
}

}  // namespace

char* smartmemset(char* buffer, int c, int n) {
    if (n > 0) std::memset(buffer, c, static_cast<size_t>(n));
    buffer[n > 0 ? n : 0] = '\0';
    return buffer;
}

QKSmartProtocol::QKSmartProtocol(std::string routerSSID, std::string routerPassword,
                                 std::string routerBSSID, int32_t randomA, int32_t randomB)
    : randomA_(randomA),
      randomB_(randomB),
      routerSSID_(std::move(routerSSID)),
      routerPassword_(std::move(routerPassword)),
      routerBSSID_(std::move(routerBSSID)) {
    getArrayForBSSID();
    initData();
}

void QKSmartProtocol::getArrayForBSSID() {
    const auto parts = componentsSeparatedBy(routerBSSID_, ':');
    routerBSSIDArray_.assign(6, 0);
    if (parts.size() != 6) return;
    for (size_t i = 0; i < 6; ++i) routerBSSIDArray_[i] = hexPart(parts[i]);
}

void QKSmartProtocol::wipe() {
    crypto::wipe(routerPassword_);
    crypto::wipe(passphrase_);
    passLength_ = 0;
    passCRC_ = 0;
}

void QKSmartProtocol::initData() {
    passphrase_ = toBytes(routerPassword_);
    passLength_ = static_cast<int32_t>(passphrase_.size());
    passCRC_ = QKTool::crc16(passphrase_.data(), passLength_);
    AP_SSID_ = toBytes(routerSSID_);
    SSIDLength_ = static_cast<int32_t>(AP_SSID_.size());
    SSIDCRC_ = QKTool::crc16(AP_SSID_.data(), SSIDLength_);
}

std::vector<std::string> QKSmartProtocol::leadingArray() const {
    const auto& b = routerBSSIDArray_;
    std::vector<std::string> out;
    for (int i = 0; i < 3; ++i) out.push_back(address(8 + i, b[2 * i + 1], b[2 * i]));
    return out;
}

std::vector<std::string> QKSmartProtocol::createMulticastArray() const {
    std::vector<std::string> out = leadingArray();
    out.push_back(address(0, passLength_, passLength_));
    appendPairs(out, passphrase_, 32);
    out.push_back(address(96, hi(passCRC_), lo(passCRC_)));
    const auto leading = leadingArray();
    out.insert(out.end(), leading.begin(), leading.end());
    out.push_back(address(16, SSIDLength_, SSIDLength_));
    out.push_back(address(17, 0, 0));
    out.push_back(address(18, randomA_, randomA_));
    out.push_back(address(19, randomB_, randomB_));
    appendPairs(out, AP_SSID_, 64);
    out.push_back(address(112, hi(SSIDCRC_), lo(SSIDCRC_)));
    return out;
}

std::vector<std::string> QKSmartProtocol::createBroadcastArray() const {
    const std::string s = msgBodyStringWithLength(SSIDLength_);
    const std::string p = msgBodyStringWithLength(passLength_);
    const std::string a = msgBodyStringWithLength(randomA_);
    const std::string b = msgBodyStringWithLength(randomB_);
    const std::string four = msgStringWithLength(4);
    std::vector<std::string> out = {
        msgStringWithLength(6),        msgStringWithLength(14), four, four, s, p, a, b,
        checkSumWith(four, s, p, a, b)};
    const int longest = std::max(passLength_, SSIDLength_);
    for (int i = 0; i <= longest / 4; ++i) {
        for (bool isSSID : {false, true}) {
            const auto group = arrayWithIndex(i, isSSID);
            out.insert(out.end(), group.begin(), group.end());
        }
    }
    return out;
}

std::vector<std::string> QKSmartProtocol::arrayWithIndex(int index, bool isSSID) const {
    const Bytes& data = isSSID ? AP_SSID_ : passphrase_;
    if (index < 0 || data.size() <= 4 * static_cast<size_t>(index)) return {};
    const int header = isSSID ? 4 | ((index + 1) & 15) << 4 : 8 | (index & 15) << 4;
    const std::string h = msgStringWithLength(header);
    std::string d[4];
    for (size_t k = 0; k < 4; ++k) {
        const size_t at = 4 * static_cast<size_t>(index) + k;
        d[k] = msgBodyStringWithLength(at < data.size() ? data[at] : 0);
    }
    return {msgStringWithLength(6),
            msgStringWithLength(14),
            h,
            h,
            d[0],
            d[1],
            d[2],
            d[3],
            checkSumWith(h, d[0], d[1], d[2], d[3])};
}

std::string QKSmartProtocol::msgStringWithLength(int n) {
    std::string buffer(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
    smartmemset(buffer.data(), 'a', n);
    buffer.pop_back();
    return buffer;
}

std::string QKSmartProtocol::msgBodyStringWithLength(int v) {
    return msgStringWithLength(v | 0x100);
}

std::string QKSmartProtocol::checkSumWith(const std::string& strA, const std::string& strB,
                                          const std::string& strC, const std::string& strD,
                                          const std::string& strE) {
    const uint8_t bytes[5] = {static_cast<uint8_t>(strA.size()), static_cast<uint8_t>(strB.size()),
                              static_cast<uint8_t>(strC.size()), static_cast<uint8_t>(strD.size()),
                              static_cast<uint8_t>(strE.size())};
    return msgStringWithLength(checkSum(QKTool::crc8(bytes, 5)));
}

int QKSmartProtocol::checkSum(int crc) {
    return (crc & 0xFE) | 1;
}

}  // namespace telvo

#include "sim/SimSmartSniffer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>

#include "platform/dispatch/Clock.h"
#include "platform/net/NetworkGuard.h"

namespace telvo::sim {

namespace {

uint16_t crc16Xmodem(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc ^= uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint8_t groupChecksum(const std::array<int, 5>& values) {
    uint8_t crc = 0;
    for (int v : values) {
        crc ^= uint8_t(v);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x8C) : crc >> 1;
    }
    return uint8_t((crc & 0xFE) | 1);
}

std::optional<std::array<int, 4>> octets(const std::string& address) {
    std::array<int, 4> o{};
    if (std::sscanf(address.c_str(), "%d.%d.%d.%d", &o[0], &o[1], &o[2], &o[3]) != 4)
        return std::nullopt;
    return o;
}

struct Half {
    std::optional<int> length;
    std::map<int, uint8_t> bytes;
};

std::optional<std::string> assemble(const Half& half) {
    if (!half.length) return std::nullopt;
    std::string out;
    for (int k = 0; k < *half.length; ++k) {
        auto it = half.bytes.find(k);
        if (it == half.bytes.end()) return std::nullopt;
        out.push_back(char(it->second));
    }
    return out;
}

std::optional<SimSmartCredentials> decodeBroadcast(const std::vector<SimSmartDatagram>& seen) {
    std::vector<int> lengths;
    for (const auto& d : seen)
        if (d.to == "255.255.255.255") lengths.push_back(int(d.length));
    Half pass, ssid;
    std::optional<int> a, b;
    for (size_t i = 0; i + 9 <= lengths.size(); ++i) {
        const int* g = &lengths[i];
        if (g[0] != 6 || g[1] != 14 || g[2] != g[3]) continue;
        for (int k = 4; k < 8; ++k)
            if (g[k] < 256 || g[k] > 511) goto next;
        {
            const int h = g[2];
            const std::array<int, 4> d{g[4] & 0xFF, g[5] & 0xFF, g[6] & 0xFF, g[7] & 0xFF};
            if (groupChecksum({h, d[0], d[1], d[2], d[3]}) != g[8]) goto next;
            if (h == 4) {
                ssid.length = d[0];
                pass.length = d[1];
                a = d[2];
                b = d[3];
            } else {
                Half& target = (h & 0x0F) == 8 ? pass : ssid;
                const int index = (h & 0x0F) == 8 ? (h >> 4) : (h >> 4) - 1;
                for (int k = 0; k < 4; ++k) target.bytes[index * 4 + k] = uint8_t(d[k]);
            }
        }
    next:;
    }
    auto p = assemble(pass);
    auto s = assemble(ssid);
    if (!p || !s || !a || !b) return std::nullopt;
    SimSmartCredentials c;
    c.password = *p;
    c.ssid = *s;
    c.randomA = *a;
    c.randomB = *b;
    return c;
}

}  // namespace

SimSmartSniffer::SimSmartSniffer() {
    NetworkGuard::setDatagramSink(
        [this](const sockaddr* to, socklen_t, const uint8_t*, size_t size) {
            if (!to || to->sa_family != AF_INET) return 0;
            const auto* in = reinterpret_cast<const sockaddr_in*>(to);
            std::lock_guard lock(mutex_);
            if (refusal_ && ntohs(in->sin_port) == refusedPort_) return -refusal_;
            const uint32_t host = ntohl(in->sin_addr.s_addr);
            if ((host >> 28) != 0xE && host != 0xFFFFFFFFu) return 0;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            datagrams_.push_back({text, ntohs(in->sin_port), size, Clock::now()});
            return 1;
        });
}

SimSmartSniffer::~SimSmartSniffer() {
    NetworkGuard::setDatagramSink({});
}

std::vector<SimSmartDatagram> SimSmartSniffer::datagrams() const {
    std::lock_guard lock(mutex_);
    return datagrams_;
}

void SimSmartSniffer::refuseSendsTo(uint16_t port, int error) {
    std::lock_guard lock(mutex_);
    refusedPort_ = port;
    refusal_ = port ? error : 0;
}

void SimSmartSniffer::clear() {
    std::lock_guard lock(mutex_);
    datagrams_.clear();
}

std::optional<SimSmartCredentials> decodeSmartMulticast(const std::vector<SimSmartDatagram>& seen) {
    Half pass, ssid;
    std::optional<int> passCrc, ssidCrc, a, b;
    std::array<std::optional<uint8_t>, 6> bssid;
    for (const auto& d : seen) {
        auto o = octets(d.to);
        if (!o || (*o)[0] != 239) continue;
        const int tag = (*o)[1], x = (*o)[2], y = (*o)[3];
        if (tag >= 8 && tag <= 10) {
            bssid[size_t(2 * (tag - 8) + 1)] = uint8_t(x);
            bssid[size_t(2 * (tag - 8))] = uint8_t(y);
        } else if (tag == 0 && x == y) {
            pass.length = x;
        } else if (tag == 16 && x == y) {
            ssid.length = x;
        } else if (tag == 18 && x == y) {
            a = x;
        } else if (tag == 19 && x == y) {
            b = x;
        } else if (tag == 96) {
            passCrc = (x << 8) | y;
        } else if (tag == 112) {
            ssidCrc = (x << 8) | y;
        } else if ((tag & 0xE0) == 32 || (tag & 0xF0) == 64) {
            Half& target = (tag & 0xE0) == 32 ? pass : ssid;
            const int i = (tag & 0xE0) == 32 ? tag & 0x1F : tag & 0x0F;
            target.bytes[2 * i] = uint8_t(y);
            target.bytes[2 * i + 1] = uint8_t(x);
        }
    }
    // The odd last byte travels alone with a zero in the other slot.
    for (Half* half : {&pass, &ssid})
        if (half->length && *half->length % 2) half->bytes.erase(*half->length);
    auto p = assemble(pass);
    auto s = assemble(ssid);
    if (!p || !s || !passCrc || !ssidCrc || !a || !b) return std::nullopt;
    if (crc16Xmodem({p->begin(), p->end()}) != *passCrc) return std::nullopt;
    if (crc16Xmodem({s->begin(), s->end()}) != *ssidCrc) return std::nullopt;
    SimSmartCredentials c;
    for (size_t k = 0; k < 6; ++k) {
        if (!bssid[k]) return std::nullopt;
        c.bssid[k] = *bssid[k];
    }
    c.ssid = *s;
    c.password = *p;
    c.randomA = *a;
    c.randomB = *b;
    return c;
}

std::optional<SimSmartCredentials> decodeSmartConnect(const std::vector<SimSmartDatagram>& seen) {
    auto multicast = decodeSmartMulticast(seen);
    auto broadcast = decodeBroadcast(seen);
    if (!multicast || !broadcast) return std::nullopt;
    broadcast->bssid = multicast->bssid;
    if (!(*broadcast == *multicast)) return std::nullopt;
    return multicast;
}

std::string smartConnectRandomCode(const SimSmartCredentials& c) {
    std::vector<uint8_t> input(c.bssid.begin(), c.bssid.end());
    input.insert(input.end(), c.password.begin(), c.password.end());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(input.data(), input.size(), digest, &size, EVP_md5(), nullptr);
    char text[80];
    int n = std::snprintf(text, sizeof text, "%02x%02x", c.randomA, c.randomB);
    for (unsigned k = 0; k < size; ++k)
        n += std::snprintf(text + n, sizeof text - size_t(n), "%02x", digest[k]);
    return std::string(text, 4 + 28);
}

}  // namespace telvo::sim

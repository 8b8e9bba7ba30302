// The discovery replies the discovery benchmarks feed in: distinct appliances' datagrams as an
// appliance on the LAN sends them (plain UDP version 01000000 bodies in version-1 frames under
// the configured key "benchKey").
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/QKProtocol.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo::bench {

// A plain (UDP version 01000000) discovery reply body of appliance n (below 100,000): its
// serial number is 32 characters long, the most a reply carries, and its own.
inline Bytes replyBody(size_t n) {
    char number[8];
    std::snprintf(number, sizeof number, "%05zu", n % 100000);
    const std::string serial = "0000AC111222333444555666777" + std::string(number);
    const std::string ssid = "net_ac_" + std::to_string(1000 + n);
    Bytes b = {static_cast<uint8_t>(n), 0, 0, 127, 0, 0, 0, 0};
    b.insert(b.end(), serial.begin(), serial.end());
    b.push_back(static_cast<uint8_t>(ssid.size()));
    b.insert(b.end(), ssid.begin(), ssid.end());
    b.insert(b.end(), {0, 0, 0x3D, 0x01, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0xAC, 0, 0x12, 0x00});
    b.insert(b.end(), 4, 0);
    b.insert(b.end(), 6, static_cast<uint8_t>(n));  // MAC
    b.insert(b.end(), 6, 0x01);                     // module version
    b.insert(b.end(), {1, 4, 1});
    b.insert(b.end(), 16, 0x5A);  // random
    b.insert(b.end(), {0x31, 0x32, 0x24, 0x19, 0});
    b.insert(b.end(), 8, 0);  // error time
    return b;
}

// The replies of count distinct appliances (made once; a later call with a smaller count gets
// the first ones of the same list).
inline std::vector<Bytes> datagrams(size_t count) {
    static std::vector<Bytes> all;
    if (all.size() < count) {
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey("benchKey");
        for (size_t n = all.size(); n < count; ++n) {
            QKProtocol frame;
            frame.findDeviceInLanWithDic();
            frame.setOriMessageArray(replyBody(n));
            frame.setDeviceID(static_cast<int64_t>(100000 + n));
            all.push_back(frame.getByteStream());
        }
    }
    return std::vector<Bytes>(all.begin(), all.begin() + static_cast<ptrdiff_t>(count));
}

}  // namespace telvo::bench

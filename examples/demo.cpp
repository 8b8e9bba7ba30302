#include <cstdio>

#include "platform/Value.h"
#include "telvosdk/TelvoSDK.h"

int main() {
    telvo::TelvoSDKInitialize();
    std::printf("TelvoSDK %s\n", telvo::TelvoSDKVersion());
    auto device = telvo::Value::fromJSON(
        R"({"deviceSn":"000000P0000000Q1F0C9D1A2B3C40000","ip":"127.0.0.2","udpVersion":18446744073709551615})");
    std::printf("device record round trip: %s\n", device ? device->toJSON().value_or("?").c_str() : "?");
    return 0;
}

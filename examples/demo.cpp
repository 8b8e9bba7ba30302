// A short tour of what the library does today: values and JSON, a LAN discovery probe, a P-256
// session key agreed by two sides, and a version-3 frame sealed with it (AES-CCM) and read back.
#include <cstdio>
#include <string>

#include "core/QKStringFormat.h"
#include "protocol/QKProtocol.h"
#include "security/QKEllipticCurveSecret.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/TelvoSDK.h"
#include "telvosdk/Value.h"

int main() {
    using namespace telvo;
    TelvoSDKInitialize();
    std::printf("TelvoSDK %s\n", TelvoSDKVersion());

    auto device = Value::fromJSON(
        R"({"deviceSn":"000000P0000000Q1F0C9D1A2B3C40000","ip":"127.0.0.2","udpVersion":18446744073709551615})");
    std::printf("device record round trip: %s\n",
                device ? device->toJSON().value_or("?").c_str() : "?");

    // The app sets the access-point default key it got from the cloud.
    QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey("demo-default-key");
    QKProtocol probe;
    probe.findDeviceInLanWithDic();
    Bytes probeFrame = probe.getByteStream();
    std::printf("discovery probe (%zu bytes): %s\n", probeFrame.size(),
                QKStringFormat::dataToHexStr(probeFrame).c_str());

    auto app = QKEllipticCurveSecret::createECCSecret();
    auto appliance = QKEllipticCurveSecret::createECCSecret();
    app->setDevPublicKey(appliance->publicKeyData());
    appliance->setDevPublicKey(app->publicKeyData());
    bool agreed = app->sessionKey() && app->sessionKey() == appliance->sessionKey();
    std::printf("ECDH session keys agree: %s\n", agreed ? "yes" : "no");
    if (!agreed) return 1;
    Bytes key(app->sessionKey()->begin(), app->sessionKey()->begin() + 16);

    QKProtocol request(3, key, 1);
    request.getWiFiList();
    Bytes sealed = request.getByteStream();
    auto read = QKProtocol::initWithNSData(sealed, key);
    std::printf(
        "version-3 Wi-Fi list request, encryption type %d (%zu bytes), reads back as message "
        "0x%02x: %s\n",
        request.encryptType(), sealed.size(), read ? read->msgType() : 0,
        read && read->messageArray() ? "authenticated" : "refused");
    return read && read->messageArray() ? 0 : 1;
}

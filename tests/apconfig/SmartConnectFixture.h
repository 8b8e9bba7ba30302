#pragma once

#include "ApFlowFixture.h"
#include "apconfig/QKSmartConnect.h"
#include "apconfig/QKSmartProtocol.h"
#include "cloud/QKNetWorkManager.h"
#include "core/QKStringFormat.h"
#include "platform/net/NetworkReachability.h"
#include "security/QKDataSecurity.h"
#include "sim/FakeCloud.h"
#include "sim/SimCloudApi.h"
#include "sim/SimSmartSniffer.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo::test {

// A smart-connect run: the phone on the home network, every 239.x.y.z and 255.255.255.255
// datagram caught by the sniffer, the cloud faked on loopback. The simulated appliance decodes
// the credentials from what the sniffer saw and then answers discovery (and the cloud) with
// the binding random code it derived.
class SmartConnectFixture : public ApFlowFixture {
  public:
    static constexpr const char* kDeviceSsid = Home::kDeviceSsid;

    void SetUp() override {
        ApFlowFixture::SetUp();
        home->prepareSmartConnect();
        flow = std::make_shared<QKSmartConnect>();
    }
    void TearDown() override {
        if (flow) flow->stop();
        flow.reset();
        ApFlowFixture::TearDown();
    }

    static QKDeviceApConfigParams smartParams() { return Home::smartParams(); }
    // Starts the flow as the app's entry does: the discovery probe every second, then the run
    // by appliance SSID or by type.
    void startRun(bool byType) {
        QKBroadcastManager::sharedManager()->startBroadCastWithInerval(1.0, nullptr);
        if (byType)
            flow->fastConfigWithDeviceType(smartParams(), steps(), record());
        else
            flow->fastConfigWithParams(smartParams(), steps(), record());
    }
    sim::SimSmartSniffer& sniffer() { return home->sniffer; }

    // The appliance listens until it has decoded the credentials, then joins the router and
    // answers discovery with the code it derived from them.
    std::optional<sim::SimSmartCredentials> hear(double seconds = 5) {
        std::optional<sim::SimSmartCredentials> heard;
        MainLoop::runUntil(
            [&] { return (heard = sim::decodeSmartConnect(sniffer().datagrams())).has_value(); },
            seconds);
        return heard;
    }
    void appear(const sim::SimSmartCredentials& c, std::array<uint8_t, 4> version,
                uint64_t deviceId, std::string random = {},
                std::optional<size_t> bodyLength = std::nullopt) {
        home->appear(c, version, deviceId, std::move(random), bodyLength);
    }
    // The appliance's serial as the cloud lists it: "serial#other", encrypted.
    static std::string cloudSn(const std::string& serial, const std::string& other) {
        return QKDataSecurity::sensitiveDataEncryption(serial + "#" + other).value_or("");
    }
    // A result's SDK code; -1 for none.
    static int64_t code(const ErrorPtr& e) { return e ? TelvoError::codeForSDKError(e) : -1; }
    size_t validObservers() const {
        size_t n = 0;
        for (const auto& o : QKBroadcastManager::sharedManager()->UDPObserversArray())
            n += o->isValid();
        return n;
    }

    std::shared_ptr<QKSmartConnect> flow;
};

}  // namespace telvo::test

#pragma once

#include "ApFlowFixture.h"
#include "apconfig/QKSmartConnect.h"
#include "apconfig/QKSmartProtocol.h"
#include "cloud/QKNetWorkManager.h"
#include "core/QKStringFormat.h"
#include "platform/NetworkReachability.h"
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
    static constexpr const char* kDeviceSsid = "net_ac_1234";

    void SetUp() override {
        ApFlowFixture::SetUp();
        joinWifi(kHome);
        QKUserDefault::resetForTesting();
        NetworkReachability::resetForTesting();
        QKNetWorkManager::resetForTesting();
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        config->setServerHost(cloud->baseURL());
        config->setHttpSignKey("signKey");
        config->setHttpSignSecret("signSecret");
        config->setAccessToken("token-1");
        config->setAppKey("0123456789abcdef");
        // The cloud's serials are sealed under the data key, itself sealed under the app key.
        config->setDataKey(QKDataSecurity::AES128Encrypt(
                               std::string("fedcba9876543210"),
                               QKDataSecurity::getMD5_128("0123456789abcdef")->substr(0, 16))
                               .value_or(""));
        api->setAccessToken("token-1");
        sniffer.clear();
        flow = std::make_shared<QKSmartConnect>();
    }
    void TearDown() override {
        if (flow) flow->stop();
        flow.reset();
        ApFlowFixture::TearDown();
        QKNetWorkManager::resetForTesting();
    }

    static QKDeviceApConfigParams smartParams() {
        QKDeviceApConfigParams p = params();
        p.deviceSSID = kDeviceSsid;
        p.deviceType = "0xAC";
        return p;
    }

    QKSmartConnect::DeviceCompletion record() {
        return [this](const ErrorPtr& e, std::shared_ptr<QKDevice> d) {
            seen.results.push_back(e);
            seen.devices.push_back(std::move(d));
            seen.at.push_back(Clock::now() - t0);
        };
    }
    QKSmartConnect::StepBlock steps() {
        return [this](int64_t step) { seen.steps.push_back(step); };
    }

    // The appliance listens until it has decoded the credentials, then joins the router and
    // answers discovery with the code it derived from them.
    std::optional<sim::SimSmartCredentials> hear(double seconds = 5) {
        std::optional<sim::SimSmartCredentials> heard;
        MainLoop::runUntil(
            [&] { return (heard = sim::decodeSmartConnect(sniffer.datagrams())).has_value(); },
            seconds);
        return heard;
    }
    void appear(const sim::SimSmartCredentials& c, std::array<uint8_t, 4> version,
                uint64_t deviceId, std::string random = {},
                std::optional<size_t> bodyLength = std::nullopt) {
        if (random.empty()) random = sim::smartConnectRandomCode(c);
        sim::SimDiscoveryAppliance appliance;
        appliance.reply.ssid = kDeviceSsid;
        appliance.reply.udpVersion = version;
        appliance.reply.ip = {127, 0, 0, 7};
        appliance.reply.tidOrRandom = QKStringFormat::dataFromHexString(random).value_or(Bytes{});
        appliance.reply.tidOrRandom.resize(16);
        appliance.then.deviceId = deviceId;
        appliance.then.bodyLength = bodyLength;
        responder->addAppliance(appliance);
        QKBroadcastManager::sharedManager()->changeIntervalAtOnce(1.0);
    }
    // The appliance's serial as the cloud lists it: "serial#other", encrypted.
    static std::string cloudSn(const std::string& serial, const std::string& other) {
        return QKDataSecurity::sensitiveDataEncryption(serial + "#" + other).value_or("");
    }
    size_t validObservers() const {
        size_t n = 0;
        for (const auto& o : QKBroadcastManager::sharedManager()->UDPObserversArray())
            n += o->isValid();
        return n;
    }

    std::unique_ptr<FakeCloud> cloud = std::make_unique<FakeCloud>();
    std::unique_ptr<SimCloudApi> api =
        std::make_unique<SimCloudApi>(*cloud, "signKey", "signSecret");
    sim::SimSmartSniffer sniffer;
    std::shared_ptr<QKSmartConnect> flow;
};

}  // namespace telvo::test

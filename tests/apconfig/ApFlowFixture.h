#pragma once

#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apconfig/QKApContect.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "cloud/QKNetWorkManager.h"
#include "cloud/QKRandomNumObject.h"
#include "discovery/QKBroadcastManager.h"
#include "platform/AppLifecycle.h"
#include "platform/Dispatch.h"
#include "platform/MainLoop.h"
#include "platform/NetworkReachability.h"
#include "sim/SimCloudApi.h"
#include "sim/SimDiscoveryResponder.h"
#include "sim/SimLanAppliance.h"
#include "sim/TestPrelude.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo::test {

// One access-point run against the simulated appliance on loopback, in deterministic mode:
// the appliance's TCP side on 127.0.0.7 (port override of the session port), its discovery
// identity answered by the responder, the phone's Wi-Fi scripted through the platform's
// stand-in, the app's credentials from the test PKI.
class ApFlowFixture : public ::testing::Test {
  public:
    static constexpr const char* kDefaultKey = "apFlowDefaultKey";
    static constexpr const char* kHotspot = "korvo_ac_1234";
    static constexpr const char* kHome = "HomeNet";
    static constexpr const char* kPassword = "secret-pass";
    static constexpr const char* kBssid = "aa:bb:cc:dd:ee:ff";

    // The appliance's generation and capability bits as its discovery reply states them.
    struct Identity {
        std::array<uint8_t, 4> udpVersion{0x02, 0, 0, 0};
        uint64_t deviceId = 0xA1B2C3D4E5ULL;
        uint8_t capabilityA = 0;  // 0x80 marks the bits as valid
        uint8_t capabilityB = 0;
        std::array<uint8_t, 4> ip{127, 0, 0, 7};
    };

    void SetUp() override {
        sim = std::make_unique<sim::SimLanAppliance>(kDefaultKey, 7);
        responder = std::make_unique<sim::SimDiscoveryResponder>(sim::SimLanCodec(kDefaultKey));
        seen = {};
        credentialsAt = -1;
        QKMiddleInterface::resetForTesting();
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        config->setApConfigDefaultKey(kDefaultKey);
        const auto& c = sim->keyAgreement().appCredentials();
        config->setTlsRootCer(c.rootCer);
        config->setTlsTwoCer(c.twoCer);
        config->setTlsAppCer(c.appCer);
        config->setTlsPrivateKey(c.appPrivateKey);
        NetworkConfiguration::setInterfacesSource([] {
            return std::vector<NetworkInterface>{
                {"en0", AF_INET, "127.0.0.1", std::string("127.0.0.1"), true, false}};
        });
        NetworkConfiguration::setPortOverride(NetworkPort::DiscoveryProbe, responder->port());
        NetworkConfiguration::setPortOverride(NetworkPort::DiscoveryReplyA, sim::freeUdpPort());
        NetworkConfiguration::setPortOverride(NetworkPort::DiscoveryReplyB, sim::freeUdpPort());
        NetworkConfiguration::setPortOverride(NetworkPort::ApplianceSession, sim->port());
        joinWifi(kHotspot);

        QKUserDefault::resetForTesting();
        NetworkReachability::resetForTesting();
        QKNetWorkManager::resetForTesting();
        cloud = std::make_unique<FakeCloud>();
        api = std::make_unique<SimCloudApi>(*cloud, "signKey", "signSecret");
        api->setOfflineCode(1307);
        config->setServerHost(cloud->baseURL());
        config->setHttpSignKey("signKey");
        config->setHttpSignSecret("signSecret");
        config->setAccessToken("token-1");
        api->setAccessToken("token-1");
        QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
    }
    void TearDown() override {
        if (run) run->releaseAll();
        run.reset();
        QKBroadcastManager::resetForTesting();
        MainLoop::drain();
        NetworkConfiguration::resetForTesting();
        AppLifecycle::resetForTesting();
        QKDeviceConfigManager::resetForTesting();
        QKRandomNumObject::resetForTesting();
        QKNetWorkManager::resetForTesting();
        QKMiddleInterface::resetForTesting();
    }

    // A fresh appliance and run for the next case of a table.
    void fresh() {
        TearDown();
        SetUp();
    }

    static void joinWifi(std::optional<std::string> ssid) {
        NetworkConfiguration::setWifiInfoReadable(true);
        NetworkConfiguration::setWifiInfo(WifiInfo{std::move(ssid), std::string(kBssid), 3});
    }

    // The simulated appliance answers discovery probes with its identity.
    void announce(const Identity& id) {
        sim->identity.ssid = kHotspot;
        sim->identity.ip = id.ip;
        sim->identity.udpVersion = id.udpVersion;
        sim->identity.capabilityA = id.capabilityA;
        sim->identity.capabilityB = id.capabilityB;
        // Version 04000000 carries a plain serial of 16 to 31 bytes and a TID of at most 15.
        if (id.udpVersion[0] == 0x04) {
            sim->identity.serial = "0000AC111222333444";
            sim->identity.tidOrRandom = Bytes(15, 0x31);
        }
        sim::SimDiscoveryAppliance appliance;
        appliance.reply = sim->identity;
        appliance.then.deviceId = id.deviceId;
        responder->addAppliance(appliance);
    }

    // After taking the credentials the appliance leaves its hotspot: it answers discovery on
    // the home network after `lan` seconds and the cloud lists it online after `online`
    // seconds (never when nullopt); the phone returns to the home network after `phone`.
    void homeNetwork(std::optional<double> lan, std::optional<double> online, double phone) {
        sim->onCredentials = [this, lan, online, phone](const std::string& randomCode) {
            responder->appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Silence;
            auto main = DispatchQueue::main();
            if (lan)
                main->after(*lan, [this] {
                    responder->appliance(0).then.kind = sim::SimDiscoveryAnswer::Kind::Reply;
                });
            if (online)
                main->after(*online, [this, randomCode] {
                    api->reportOnline(sim->identity.serial, randomCode);
                });
            main->after(phone, [] { joinWifi(std::string(kHome)); });
            credentialsAt = Clock::now();
        };
    }

    static QKDeviceApConfigParams params() {
        QKDeviceApConfigParams p;
        p.deviceSSID.emplace(kHotspot);
        p.routerSSID.emplace(kHome);
        p.routerPwd.emplace(kPassword);
        p.routerBSSID.emplace(kBssid);
        p.countryCode.emplace("CN");
        p.timeZone.emplace("8");
        p.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                          {kQKSDKConfigChannelCount, 13},
                                          {kQKSDKConfigChannelMaxPower, 20}})};
        return p;
    }

    // What the app saw of one run.
    struct Seen {
        std::vector<int64_t> steps;
        std::vector<ErrorPtr> results;
        std::vector<std::shared_ptr<QKDevice>> devices;
        std::vector<double> at;
        int64_t code(size_t i = 0) const {
            return i < results.size() ? TelvoError::codeForSDKError(results[i]) : -1;
        }
    };

    void start(const QKDeviceApConfigParams& p, bool confirm = false) {
        run = QKApContect::create();
        run->setNeedConfirmDeviceInWan(confirm);
        t0 = Clock::now();
        run->startConfigureDeviceParams(
            p, [this](int64_t step) { seen.steps.push_back(step); },
            [this](const ErrorPtr& e, std::shared_ptr<QKDevice> d) {
                seen.results.push_back(e);
                seen.devices.push_back(std::move(d));
                seen.at.push_back(Clock::now() - t0);
            });
    }
    bool runUntilResults(size_t n, double seconds = 300) {
        return MainLoop::runUntil([&] { return seen.results.size() >= n; }, seconds);
    }
    // The message types the appliance received, heartbeats apart.
    std::vector<uint16_t> received() const {
        std::vector<uint16_t> out;
        for (const auto& r : sim->requests()) out.push_back(r.frame.msgType);
        return out;
    }
    const sim::SimLanFrame* lastOf(uint16_t type) const {
        const auto& all = sim->requests();
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            if (it->frame.msgType == type) return &it->frame;
        return nullptr;
    }

    DeterministicDispatch mode;
    std::unique_ptr<sim::SimLanAppliance> sim;
    std::unique_ptr<sim::SimDiscoveryResponder> responder;
    std::unique_ptr<FakeCloud> cloud;
    std::unique_ptr<SimCloudApi> api;
    double credentialsAt = -1;
    std::shared_ptr<QKApContect> run;
    Seen seen;
    double t0 = 0;
};

}  // namespace telvo::test

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
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/net/NetworkReachability.h"
#include "sim/SimCloudApi.h"
#include "sim/SimDiscoveryResponder.h"
#include "sim/SimLanAppliance.h"
#include "sim/SimWifiHome.h"
#include "sim/TestPrelude.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo::test {

// One access-point run against the simulated home (sim::SimWifiHome) in deterministic mode:
// the appliance's TCP side on 127.0.0.7, its discovery identity answered by the responder, the
// phone's Wi-Fi scripted through the platform's stand-in, the app's credentials from the test
// PKI.
class ApFlowFixture : public ::testing::Test {
  public:
    using Home = sim::SimWifiHome;
    using Identity = Home::Identity;
    static constexpr const char* kDefaultKey = Home::kDefaultKey;
    static constexpr const char* kHotspot = Home::kHotspot;
    static constexpr const char* kHome = Home::kHome;
    static constexpr const char* kPassword = Home::kPassword;
    static constexpr const char* kBssid = Home::kBssid;

    void SetUp() override {
        home.reset();
        home = std::make_unique<Home>();
        sim = home->appliance.get();
        responder = home->responder.get();
        cloud = home->cloud.get();
        api = home->api.get();
        seen = {};
    }
    void TearDown() override {
        if (run) run->releaseAll();
        run.reset();
        home.reset();
    }

    // A fresh appliance and run for the next case of a table.
    void fresh() {
        TearDown();
        SetUp();
    }

    static void joinWifi(std::optional<std::string> ssid) { Home::joinWifi(std::move(ssid)); }
    void announce(const Identity& id) { home->announce(id); }
    void homeNetwork(std::optional<double> lan, std::optional<double> online, double phone) {
        home->homeNetwork(lan, online, phone);
    }
    double credentialsAt() const { return home->credentialsAt; }
    static QKDeviceApConfigParams params() { return Home::apParams(); }

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
        run->startConfigureDeviceParams(p, steps(), record());
    }
    // Blocks that write into `seen`.
    std::function<void(const ErrorPtr&, std::shared_ptr<QKDevice>)> record() {
        return [this](const ErrorPtr& e, std::shared_ptr<QKDevice> d) {
            seen.results.push_back(e);
            seen.devices.push_back(std::move(d));
            seen.at.push_back(Clock::now() - t0);
        };
    }
    std::function<void(int64_t)> steps() {
        return [this](int64_t step) { seen.steps.push_back(step); };
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
    std::unique_ptr<Home> home;
    // Parts of the home.
    sim::SimLanAppliance* sim = nullptr;
    sim::SimDiscoveryResponder* responder = nullptr;
    FakeCloud* cloud = nullptr;
    SimCloudApi* api = nullptr;
    std::shared_ptr<QKApContect> run;
    Seen seen;
    double t0 = 0;
};

}  // namespace telvo::test

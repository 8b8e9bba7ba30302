#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "apconfig/QKDeviceManager.h"
#include "discovery/QKBroadcastManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/SystemNetwork.h"
#include "sim/CloudRoute.h"
#include "sim/NetworkManagerMock.h"
#include "sim/PrivateBus.h"
#include "sim/SimWifiHome.h"
#include "telvosdk/TelvoError.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {
namespace {

using Home = sim::SimWifiHome;

// An app that configures right after TelvoSDKInitialize, while the library is still asking the
// host's Wi-Fi service (NetworkManager on a private system bus) for the phone's network. The
// service is frozen at the start and answers once thawed, or never. Threaded mode: the service
// answers in real time, as on a host.
class FirstFlowAfterStart : public ::testing::Test {
  protected:
    struct Outcome {
        std::vector<int64_t> codes;
        std::vector<int64_t> steps;
        double at = -1;          // seconds from the start to the first result
        double mainTurned = -1;  // when a block the start queued for 1 s later ran
    };

    void TearDown() override {
        SystemNetwork::setEnabled(false);
        resetForTesting<QKDeviceManager>();
        // Releasing the manager's session starts discovery again after the home reset it (its
        // first probe queued on the main queue): stopped, and the queue run, so that no probe of
        // this test is sent in the next one, from sockets on ports of neither.
        QKBroadcastManager::resetForTesting();
        MainLoop::drain();
    }

    // Runs one flow (type 1 access point, 2 smart connect) against a home whose phone is on
    // `network` as NetworkManager tells it, NetworkManager thawed `answerAfter` seconds after the
    // start (never when nullopt).
    Outcome run(int64_t type, const char* network, std::optional<double> answerAfter) {
        Outcome out;
        auto home = std::make_unique<Home>();
        PrivateBus bus;
        NetworkManagerMock nm(bus);
        nm.joinWifi(network, type == 2 ? 0x100 : 0, "wlan0", Home::kBssid);
        EXPECT_TRUE(nm.ok()) << nm.error();
        bus.becomeSystemBus();
        if (type == 2) {
            home->prepareSmartConnect();
            home->listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
        } else {
            home->announce({});
            home->homeNetwork(std::nullopt, 0.5, 0.2);
        }
        // The phone's network is the service's alone.
        nm.mock().freeze(true);
        resetForTesting<QKDeviceManager>();
        // Taken before the library asks the services afresh: start-up is no earlier, however
        // long the set-up took.
        const double t0 = Clock::now();
        Home::readWifiFromTheServices();
        auto main = DispatchQueue::main();
        main->async([&] {
            TelvoSDKInitialize();
            QKDeviceManager::sharedManager()->startConfigureDeviceWithParams(
                type == 2 ? Home::smartParams() : Home::apParams(), type,
                [&](int64_t step) { out.steps.push_back(step); },
                [&](ErrorPtr error, std::shared_ptr<QKDevice>) {
                    out.codes.push_back(TelvoError::codeForSDKError(error));
                    if (out.at < 0) out.at = Clock::now() - t0;
                });
            if (answerAfter) main->after(*answerAfter, [&] { nm.mock().freeze(false); });
            main->after(1.0, [&] { out.mainTurned = Clock::now() - t0; });
        });
        EXPECT_TRUE(MainLoop::runUntil([&] { return !out.codes.empty(); }, 120));
        // A second result would come soon after the first.
        MainLoop::runFor(0.3);
        nm.mock().freeze(false);
        main->sync([] {
            QKDeviceManager::sharedManager()->stopSendQKCPacket();
            QKDeviceManager::sharedManager()->stopBindDeviceWithCompletion({});
        });
        SystemNetwork::setEnabled(false);
        return out;
    }
};

TEST_F(FirstFlowAfterStart, WaitsForTheFirstAnswerOfTheWifiServiceWithinTheBound) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    const double bound = kWifiFactsFirstAnswerSeconds;
    const struct {
        const char* name;
        int64_t type;
        const char* network;
        std::optional<double> answerAfter;
        int64_t code;
    } cases[] = {
        {"smart connect, answer after 50 ms", 2, Home::kHome, 0.05, 0},
        {"smart connect, answer after 1 s", 2, Home::kHome, 1.0, 0},
        {"smart connect, another network", 2, "OtherNet", 0.05, 4030},
        {"smart connect, silent service", 2, Home::kHome, std::nullopt, 4030},
        {"access point, answer after 50 ms", 1, Home::kHotspot, 0.05, 0},
        {"access point, answer after 1 s", 1, Home::kHotspot, 1.0, 0},
        {"access point, on the home network", 1, Home::kHome, 0.05, 4007},
        // Not readable after the bound: the bind goes on without checking the phone's network.
        {"access point, silent service", 1, Home::kHotspot, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = run(c.type, c.network, c.answerAfter);
        ASSERT_EQ(out.codes.size(), 1u);
        EXPECT_EQ(out.codes[0], c.code);
        if (c.answerAfter) {
            // Decided on the answer, which the main queue's thaw let come: the flow's wait
            // left the main queue free.
            EXPECT_GE(out.at, *c.answerAfter);
        } else {
            // Decided at the bound, not before; the main queue turned meanwhile.
            EXPECT_GE(out.at, bound);
            EXPECT_GE(out.mainTurned, 1.0);
            EXPECT_LT(out.mainTurned, out.at);
        }
        if (c.type == 2 && c.code == 4030) {
            EXPECT_TRUE(out.steps.empty());
        }
    }
}

// The wait is one bound for the process, counted from TelvoSDKInitialize: with the service
// silent from start-up on, smart connect and the access point's bind half started before the
// bound decide at the bound (not a whole bound after their own start), those started after it
// decide at once, inside the call. A service that answers later still gives the phone's network.
// Start-up lies between two points the test takes: a start is before the bound when its call
// came less than the bound after the first, after it when at least the bound after the second.
TEST_F(FirstFlowAfterStart, AfterTheBoundAFlowDecidesAtOnce) {
    const double bound = kWifiFactsFirstAnswerSeconds;
    auto home = std::make_unique<Home>();
    PrivateBus bus;
    NetworkManagerMock nm(bus);
    nm.joinWifi(Home::kHotspot, 0, "wlan0", Home::kBssid);
    ASSERT_TRUE(nm.ok()) << nm.error();
    bus.becomeSystemBus();
    home->announce({});
    nm.mock().freeze(true);
    resetForTesting<QKDeviceManager>();

    struct Start {
        const char* name;
        double after;  // seconds after TelvoSDKInitialize
        bool bind;     // the bind half (a BSSID of five groups: 4012), else smart connect (4030)
        std::vector<int64_t> codes;
        double called = -1, at = -1;  // seconds after t0
        bool insideTheCall = false;
    };
    Start starts[] = {
        {"smart connect before the bound", 2.5, false, {}},
        {"bind before the bound", 2.5, true, {}},
        {"smart connect after the bound", bound + 2, false, {}},
        {"bind after the bound", bound + 2, true, {}},
    };
    auto bindParams = Home::apParams();
    bindParams.routerBSSID = "aa:bb:cc:dd:ee";
    std::vector<int64_t> connected;
    const double t0 = Clock::now();
    Home::readWifiFromTheServices();
    double initialized = -1;  // seconds after t0
    auto main = DispatchQueue::main();
    main->async([&] {
        TelvoSDKInitialize();
        initialized = Clock::now() - t0;
        auto manager = QKDeviceManager::sharedManager();
        manager->connectDeviceWithSSID(Home::kHotspot, [&](ErrorPtr error) {
            connected.push_back(TelvoError::codeForSDKError(error));
        });
        for (Start& start : starts) {
            main->after(start.after, [&, manager] {
                auto inCall = std::make_shared<bool>(true);
                start.called = Clock::now() - t0;
                auto done = [&start, t0, inCall](ErrorPtr error, std::shared_ptr<QKDevice>) {
                    start.codes.push_back(TelvoError::codeForSDKError(error));
                    start.at = Clock::now() - t0;
                    start.insideTheCall = *inCall;
                };
                if (start.bind)
                    manager->bindDeviceWithparams(bindParams, nullptr, done);
                else
                    manager->startConfigureDeviceWithParams(Home::smartParams(), 2, nullptr, done);
                *inCall = false;
            });
        }
    });
    EXPECT_TRUE(MainLoop::runUntil(
        [&] {
            return std::all_of(std::begin(starts), std::end(starts),
                               [](const Start& start) { return !start.codes.empty(); });
        },
        30));
    MainLoop::runFor(0.3);
    EXPECT_EQ(connected, std::vector<int64_t>{0});
    for (const Start& start : starts) {
        SCOPED_TRACE(start.name);
        EXPECT_EQ(start.codes, std::vector<int64_t>{start.bind ? 4012 : 4030});
        if (start.called < bound) {
            // At the bound from start-up, before a whole bound from its own start.
            EXPECT_FALSE(start.insideTheCall);
            EXPECT_GE(start.at, bound);
            EXPECT_LT(start.at, start.called + bound);
        } else if (start.called >= initialized + bound) {
            EXPECT_TRUE(start.insideTheCall);
        }
    }

    // NetworkManager comes back: its answer still gives the phone's network.
    nm.mock().freeze(false);
    EXPECT_TRUE(MainLoop::runUntil(
        [] {
            auto wifi = NetworkConfiguration::currentWifiInfo();
            return wifi && wifi->ssid == std::string(Home::kHotspot);
        },
        30));
    main->sync([] { QKDeviceManager::sharedManager()->stopBindDeviceWithCompletion({}); });
    SystemNetwork::setEnabled(false);
}

}  // namespace
}  // namespace telvo::test

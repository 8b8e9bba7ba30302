#include <gtest/gtest.h>

#include "SmartConnectFixture.h"
#include "apconfig/QKDeviceManager.h"
#include "platform/foundation/Registry.h"
#include "platform/net/SystemNetwork.h"
#include "sim/CloudRoute.h"
#include "sim/FakeWifiDaemons.h"
#include "sim/LoopbackTcpPeer.h"
#include "sim/NetworkManagerMock.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {
namespace {

using Manager = QKDeviceManager;

// Every call goes through the registry by name, as the configuration entry makes it.
class QKDeviceManagerTest : public SmartConnectFixture {
  protected:
    void SetUp() override {
        SmartConnectFixture::SetUp();
        TelvoSDKInitialize();
        resetForTesting<Manager>();
    }
    void TearDown() override {
        resetForTesting<Manager>();
        SmartConnectFixture::TearDown();
    }

    static RegistryInstance manager() {
        auto made = Registry::shared().performClassSelector("QKDeviceManager", "sharedManager");
        return made ? std::any_cast<RegistryInstance>(*made) : nullptr;
    }
    static bool send(const std::string& selector, RegistryArgs args = {}) {
        return Registry::shared()
            .performInstanceSelector("QKDeviceManager", selector, manager(), std::move(args))
            .has_value();
    }
    // An access-point run started on the appliance's hotspot, up to its session's connection.
    bool startApRunToItsSession() {
        joinWifi(kHotspot);
        announce(Identity{});
        return configure(params(), 1) &&
               MainLoop::runUntil([&] { return sim->connectionsAccepted() > 0; }, 10);
    }
    bool configure(QKDeviceApConfigParams p, int64_t type) {
        t0 = Clock::now();
        return send("startConfigureDeviceWithParams:type:deviceConfigStep:completion:",
                    {std::make_shared<QKDeviceApConfigParams>(std::move(p)), type,
                     Manager::StepBlock(steps()), Manager::DeviceCompletion(record())});
    }
};

// Type 2 with an appliance SSID runs smart connect end to end; without SSID but with a type it
// searches by type; with neither, and for any type but 1 and 2, nothing is sent and the
// completion gets 8000 once, inside the call.
TEST_F(QKDeviceManagerTest, ChoosesTheFlowByTypeAndRunsSmartConnectEndToEnd) {
    ASSERT_TRUE(manager());
    ASSERT_TRUE(configure(smartParams(), 2));
    EXPECT_EQ(seen.steps, std::vector<int64_t>{8});
    EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), 1.0);
    auto heard = hear();
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->ssid, kHome);
    appear(*heard, {0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
    ASSERT_TRUE(runUntilResults(1, 60));
    EXPECT_EQ(code(seen.results[0]), 0);
    EXPECT_EQ(seen.results[0]->domain(), "QKSmartConnect");
    EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), 60.0);

    struct Case {
        const char* name;
        std::optional<std::string> ssid, type;
        int64_t configType;
        bool sends;
    };
    const Case cases[] = {
        {"by type", "", "0xAC", 2, true},
        {"neither", "", "", 2, false},
        {"absent", std::nullopt, std::nullopt, 2, false},
        {"type 3", "net_ac_1234", "0xAC", 3, false},
        {"type 6", "net_ac_1234", "0xAC", 6, false},
        {"type 0", "net_ac_1234", "0xAC", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        resetForTesting<Manager>();
        auto p = smartParams();
        p.deviceSSID = c.ssid;
        p.deviceType = c.type;
        ASSERT_TRUE(configure(p, c.configType));
        ASSERT_EQ(seen.results.size(), c.sends ? 0u : 1u);
        if (!c.sends) {
            EXPECT_EQ(code(seen.results[0]), 8000);
        }
        MainLoop::runFor(1);
        EXPECT_EQ(!sniffer().datagrams().empty(), c.sends);
        EXPECT_EQ(seen.steps.size(), c.sends ? 1u : 0u);
        EXPECT_EQ(seen.results.size(), c.sends ? 0u : 1u);
    }
}

// The phone must be on the router named in the parameters; stopping answers success even with
// nothing running, and stops the sending.
TEST_F(QKDeviceManagerTest, SmartConnectChecksTheHomeWifiAndStops) {
    for (std::optional<std::string> phone :
         {std::optional<std::string>("OtherNet"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
        seen = {};
        joinWifi(phone);
        ASSERT_TRUE(configure(smartParams(), 2));
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(code(seen.results[0]), 4030);
        EXPECT_FALSE(seen.devices[0]);
        EXPECT_TRUE(seen.steps.empty());
    }
    MainLoop::runFor(1);
    EXPECT_TRUE(sniffer().datagrams().empty());

    std::vector<ErrorPtr> stopped;
    auto onStop = Manager::ErrorCompletion([&](ErrorPtr e) { stopped.push_back(e); });
    ASSERT_TRUE(send("stopSendQKCWithCompletion:", {onStop}));
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(code(stopped[0]), 0);

    joinWifi(kHome);
    seen = {};
    ASSERT_TRUE(configure(smartParams(), 2));
    MainLoop::runFor(0.5);
    ASSERT_FALSE(sniffer().datagrams().empty());
    ASSERT_TRUE(send("stopSendQKCPacket"));
    EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), 60.0);
    sniffer().clear();
    MainLoop::runFor(100);
    EXPECT_TRUE(sniffer().datagrams().empty());
    EXPECT_TRUE(seen.results.empty());
    EXPECT_EQ(validObservers(), 0u);
}

// Smart connect through the public facade with nothing set by the app: the host's Wi-Fi service
// tells the phone's network (NetworkManager's model, iwd's or wpa_supplicant's fake, alone on a
// bus of the test's own). On the router of the parameters the run starts; on another network it
// ends with 4030 inside the call.
TEST_F(QKDeviceManagerTest, SmartConnectReadsThePhonesNetworkFromTheHostsWifiService) {
    enum class Service { NetworkManager, Iwd, WpaSupplicant };
    const struct {
        Service service;
        const char* network;
        bool starts;
    } cases[] = {
        {Service::NetworkManager, kHome, true},
        {Service::NetworkManager, "OtherNet", false},
        {Service::Iwd, kHome, true},
        {Service::Iwd, "OtherNet", false},
        {Service::WpaSupplicant, kHome, true},
        {Service::WpaSupplicant, "OtherNet", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.service)) + " " + c.network);
        fresh();
        resetForTesting<Manager>();
        PrivateBus bus;
        std::unique_ptr<NetworkManagerMock> nm;
        std::unique_ptr<sim::FakeWifiDaemon> daemon;
        if (c.service == Service::NetworkManager) {
            nm = std::make_unique<NetworkManagerMock>(bus);
            nm->joinWifi(c.network);
            ASSERT_TRUE(nm->ok()) << nm->error();
        } else {
            if (c.service == Service::Iwd)
                daemon = sim::FakeIwd::start(bus);
            else
                daemon = sim::FakeWpaSupplicant::start(bus);
            daemon->join({c.network});
            ASSERT_TRUE(daemon->ok()) << daemon->error();
        }
        bus.becomeSystemBus();
        Home::readWifiFromTheServices();
        // Nothing waits for the bus: the app starts once the service has answered.
        ASSERT_TRUE(MainLoop::runUntil(
            [] { return NetworkConfiguration::currentWifiInfo().has_value(); }, 20));

        QKDeviceManager::sharedManager()->startConfigureDeviceWithParams(smartParams(), 2, steps(),
                                                                         record());
        // A service before the answering one (NetworkManager, absent here) may still be on its
        // way: the check waits for it.
        ASSERT_TRUE(
            MainLoop::runUntil([&] { return !seen.steps.empty() || !seen.results.empty(); }, 20));
        if (c.starts) {
            EXPECT_TRUE(seen.results.empty());
            EXPECT_EQ(seen.steps, std::vector<int64_t>{8});
            MainLoop::runFor(0.5);
            EXPECT_FALSE(sniffer().datagrams().empty());
            EXPECT_TRUE(seen.results.empty());
            QKDeviceManager::sharedManager()->stopSendQKCPacket();
        } else {
            ASSERT_EQ(seen.results.size(), 1u);
            EXPECT_EQ(code(seen.results[0]), 4030);
            EXPECT_TRUE(seen.steps.empty());
        }
        SystemNetwork::setEnabled(false);
    }
}

// Started while the phone's network is still on its way, smart connect waits for it; a stop
// meanwhile ends that start for good, a later start goes on at once.
TEST_F(QKDeviceManagerTest, AStopWhileThePhonesNetworkIsOnItsWayEndsTheStart) {
    PrivateBus bus;
    NetworkManagerMock nm(bus);
    nm.joinWifi(kHome);
    ASSERT_TRUE(nm.ok()) << nm.error();
    bus.becomeSystemBus();
    Home::readWifiFromTheServices();
    auto manager = QKDeviceManager::sharedManager();
    manager->startConfigureDeviceWithParams(smartParams(), 2, steps(), record());
    EXPECT_TRUE(seen.steps.empty());
    EXPECT_TRUE(seen.results.empty());
    manager->stopSendQKCPacket();
    ASSERT_TRUE(MainLoop::runUntil([] { return NetworkConfiguration::isWifiInfoReadable(); }, 20));
    MainLoop::runFor(2 * kWifiFactsFirstAnswerSeconds);
    EXPECT_TRUE(seen.steps.empty());
    EXPECT_TRUE(seen.results.empty());
    EXPECT_TRUE(sniffer().datagrams().empty());

    manager->startConfigureDeviceWithParams(smartParams(), 2, steps(), record());
    EXPECT_EQ(seen.steps, std::vector<int64_t>{8});
    manager->stopSendQKCPacket();
    SystemNetwork::setEnabled(false);
}

// The bind half started while the phone's network is still on its way waits for it; a stop
// meanwhile ends it without its completion, and so does a new bind, which alone answers (here
// 4012 for a BSSID of five groups, once the phone is seen on the hotspot).
TEST_F(QKDeviceManagerTest, ABindWaitingForThePhonesNetworkEndsOnAStopOrANewBind) {
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "a stop" : "a new bind");
        fresh();
        resetForTesting<Manager>();
        joinWifi(kHotspot);
        announce(Identity{});
        std::vector<ErrorPtr> connected;
        ASSERT_TRUE(send("connectDeviceWithSSID:completion:",
                         {std::string(kHotspot),
                          Manager::ErrorCompletion([&](ErrorPtr e) { connected.push_back(e); })}));
        ASSERT_TRUE(MainLoop::runUntil([&] { return !connected.empty(); }, 10));
        ASSERT_EQ(code(connected[0]), 0);

        // Start-up again, the phone's network now NetworkManager's alone.
        PrivateBus bus;
        NetworkManagerMock nm(bus);
        nm.joinWifi(kHotspot);
        ASSERT_TRUE(nm.ok()) << nm.error();
        bus.becomeSystemBus();
        Home::readWifiFromTheServices();
        auto p = std::make_shared<QKDeviceApConfigParams>(params());
        p->routerBSSID = "aa:bb:cc:dd:ee";
        std::vector<int64_t> first, second;
        auto bind = [&](std::vector<int64_t>* into) {
            return send("bindDeviceWithparams:startScanInLanBlock:completion:",
                        {p, std::function<void()>(),
                         Manager::DeviceCompletion([into](ErrorPtr e, std::shared_ptr<QKDevice>) {
                             into->push_back(code(e));
                         })});
        };
        ASSERT_TRUE(bind(&first));
        if (stop) {
            ASSERT_TRUE(send("stopBindDeviceWithCompletion:", {Manager::ErrorCompletion()}));
        } else {
            ASSERT_TRUE(bind(&second));
        }
        EXPECT_TRUE(first.empty());
        EXPECT_TRUE(second.empty());
        ASSERT_TRUE(
            MainLoop::runUntil([] { return NetworkConfiguration::isWifiInfoReadable(); }, 20));
        MainLoop::runFor(2 * kWifiFactsFirstAnswerSeconds);
        EXPECT_TRUE(first.empty());
        EXPECT_EQ(second, stop ? std::vector<int64_t>{} : std::vector<int64_t>{4012});
        SystemNetwork::setEnabled(false);
    }
}

// A second access-point request releases the running session, whose completion never comes.
TEST_F(QKDeviceManagerTest, ReplacesTheAccessPointSession) {
    joinWifi(kHotspot);
    auto p = params();
    ASSERT_TRUE(configure(p, 1));
    auto first = QKDeviceManagerAccess::apConnect(*Manager::sharedManager());
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->needConfirmDeviceInWan());
    ASSERT_TRUE(configure(p, 1));
    auto second = QKDeviceManagerAccess::apConnect(*Manager::sharedManager());
    EXPECT_NE(first, second);
    first.reset();
    // The replaced session is gone; only the new one reports (its LAN search times out).
    ASSERT_TRUE(runUntilResults(1, 200));
    MainLoop::runFor(100);
    EXPECT_EQ(seen.results.size(), 1u);
}

// A Wi-Fi list or bind request without a session is answered once, with 4007, inside the call:
// before any session, and after a stop released the session (the stop silences only the
// stopped run). The bind's start-scan block is never called.
TEST_F(QKDeviceManagerTest, WifiListAndBindWithoutASessionAreAnsweredAlsoAfterAStop) {
    for (bool stopped : {false, true}) {
        for (bool bind : {false, true}) {
            SCOPED_TRACE(std::string(bind ? "bind" : "Wi-Fi list") +
                         (stopped ? ", after a stop" : ", no session yet"));
            fresh();
            resetForTesting<Manager>();
            if (stopped) {
                ASSERT_TRUE(startApRunToItsSession());
                ASSERT_TRUE(send("stopBindDeviceWithCompletion:", {Manager::ErrorCompletion()}));
                seen = {};
            }
            bool scanStarted = false;
            if (bind) {
                ASSERT_TRUE(send("bindDeviceWithparams:startScanInLanBlock:completion:",
                                 {std::make_shared<QKDeviceApConfigParams>(params()),
                                  std::function<void()>([&] { scanStarted = true; }),
                                  Manager::DeviceCompletion(record())}));
            } else {
                auto onList = Manager::WifiListCompletion(
                    [&](const ErrorPtr& e, const std::optional<Value::Array>& list) {
                        seen.results.push_back(e);
                        EXPECT_FALSE(list);
                    });
                ASSERT_TRUE(send("getWifiList:", {onList}));
            }
            ASSERT_EQ(seen.results.size(), 1u);
            EXPECT_EQ(code(seen.results[0]), 4007);
            for (const auto& device : seen.devices) EXPECT_FALSE(device);
            MainLoop::runFor(100);
            EXPECT_EQ(seen.results.size(), 1u);
            EXPECT_TRUE(seen.steps.empty());
            EXPECT_FALSE(scanStarted);
        }
    }
}

// A stop answers once, on the main queue after the call, with code 0: with an access-point run
// under way (which then reports nothing) and with no session at all.
TEST_F(QKDeviceManagerTest, StopAnswersOnceWithCodeZero) {
    for (bool running : {true, false}) {
        SCOPED_TRACE(running ? "a run under way" : "no session");
        fresh();
        resetForTesting<Manager>();
        if (running) {
            ASSERT_TRUE(startApRunToItsSession());
        }
        std::vector<ErrorPtr> stops;
        ASSERT_TRUE(
            send("stopBindDeviceWithCompletion:",
                 {Manager::ErrorCompletion([&](const ErrorPtr& e) { stops.push_back(e); })}));
        EXPECT_TRUE(stops.empty());
        MainLoop::runFor(300);
        ASSERT_EQ(stops.size(), 1u);
        EXPECT_EQ(stops[0]->code(), 0);
        EXPECT_EQ(stops[0], TelvoError::sucError());
        EXPECT_TRUE(seen.results.empty());
    }
}

// The LAN scan reports what the appliances answered within its time, every arrival, and falls
// back to the one-minute probe; with nothing on the LAN one 4000 at the end.
TEST_F(QKDeviceManagerTest, ScansTheLan) {
    std::vector<std::pair<ErrorPtr, size_t>> reports;
    std::vector<double> at;
    auto onScan = Manager::DeviceListCompletion(
        [&](ErrorPtr e, std::optional<std::vector<std::shared_ptr<QKDevice>>> devices) {
            reports.emplace_back(e, devices ? devices->size() : 0);
            at.push_back(Clock::now() - t0);
        });
    t0 = Clock::now();
    ASSERT_TRUE(send("startScanLanDevice:callback:", {int64_t(5), onScan}));
    ASSERT_TRUE(MainLoop::runUntil([&] { return !reports.empty(); }, 30));
    MainLoop::runFor(10);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(code(reports[0].first), 4000);
    EXPECT_NEAR(at[0], 5, 0.5);
    EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), 60.0);

    reports.clear();
    announce(Identity{});
    t0 = Clock::now();
    ASSERT_TRUE(send("startScanLanDevice:callback:", {int64_t(5), onScan}));
    MainLoop::runFor(10);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(code(reports[0].first), 0);
    EXPECT_EQ(reports[0].second, 1u);
    EXPECT_LE(at[0], 5.01);
    EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), 60.0);
}

// LAN scans one after another in one process: each report leaves the observer list as it was,
// the app's block is let go once it has reported, and the heap stays flat.
TEST_F(QKDeviceManagerTest, ScansOneAfterAnotherLeaveNothingBehind) {
    announce(Identity{});
    auto observers = [] { return QKBroadcastManager::sharedManager()->UDPObserversArray().size(); };
    const size_t before = observers();
    size_t heapAtFifty = 0;
    std::vector<std::weak_ptr<int>> captures;
    captures.reserve(300);
    for (int n = 1; n <= 300; ++n) {
        auto capture = std::make_shared<int>(n);
        captures.push_back(capture);
        int reports = 0;
        auto onScan = Manager::DeviceListCompletion(
            [&reports, capture](ErrorPtr, std::optional<std::vector<std::shared_ptr<QKDevice>>>) {
                ++reports;
            });
        ASSERT_TRUE(send("startScanLanDevice:callback:", {int64_t(1), std::move(onScan)}));
        capture.reset();
        ASSERT_TRUE(MainLoop::runUntil([&] { return reports > 0; }, 5)) << n;
        MainLoop::runFor(1.5);
        ASSERT_EQ(observers(), before) << n;
        home->responder->forgetProbes();
        if (n == 50) heapAtFifty = heapInUse();
    }
    for (const auto& capture : captures) EXPECT_TRUE(capture.expired());
    EXPECT_LT(heapInUse(), heapAtFifty + 32 * 1024);
}

// The LAN scan and smart connect probe every second, whatever the probe's rhythm before: an
// appliance that joins the LAN after the first probe answers the next one, and is reported when
// its second answer arrives, a second later; not when a one-minute timer armed earlier runs out.
TEST_F(QKDeviceManagerTest, ProbesEverySecondSoALateApplianceIsFoundAtOnce) {
    struct Case {
        const char* name;
        bool smartConnect;
    };
    for (const Case& c : {Case{"LAN scan", false}, Case{"smart connect", true}}) {
        SCOPED_TRACE(c.name);
        fresh();
        resetForTesting<Manager>();
        // Discovery is already on at its one-minute rhythm, as after any earlier use.
        QKBroadcastManager::sharedManager();
        MainLoop::runFor(0.1);
        double joinedAt = -1;
        std::vector<std::pair<ErrorPtr, double>> scans;
        t0 = Clock::now();
        if (c.smartConnect) {
            home->listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
            ASSERT_TRUE(configure(smartParams(), 2));
            ASSERT_TRUE(runUntilResults(1, 120));
            joinedAt = home->credentialsAt - t0;
            EXPECT_EQ(code(seen.results[0]), 0);
            EXPECT_GT(seen.at[0], joinedAt);
            EXPECT_LE(seen.at[0], joinedAt + 2.01);
        } else {
            auto onScan = Manager::DeviceListCompletion(
                [&](ErrorPtr e, std::optional<std::vector<std::shared_ptr<QKDevice>>>) {
                    scans.emplace_back(e, Clock::now() - t0);
                });
            ASSERT_TRUE(send("startScanLanDevice:callback:", {int64_t(10), onScan}));
            DispatchQueue::main()->after(0.5, [&] { announce(Identity{}); });
            ASSERT_TRUE(MainLoop::runUntil([&] { return !scans.empty(); }, 30));
            EXPECT_EQ(code(scans[0].first), 0);
            EXPECT_NEAR(scans[0].second, 2.0, 0.01);
        }
    }
}

// The access point's search and the LAN scan register their observer before their first
// probe, so an appliance that answers it at once (at the probe's port and at both listener
// ports, as a real one does) is reported by the replies to that probe, at the instant of the
// start: whether the flow is the discovery's first use or discovery already runs.
TEST_F(QKDeviceManagerTest, AnApplianceAnsweringTheFirstProbeIsReportedByItsReplies) {
    for (bool scan : {false, true}) {
        for (bool firstUse : {true, false}) {
            SCOPED_TRACE(std::string(scan ? "LAN scan" : "access point's search") +
                         (firstUse ? ", first use" : ", discovery already running"));
            fresh();
            resetForTesting<Manager>();
            responder->replyPorts = {fixedPort(NetworkPort::DiscoveryReplyA),
                                     fixedPort(NetworkPort::DiscoveryReplyB)};
            announce(Identity{});
            if (!firstUse) {
                QKBroadcastManager::sharedManager();
                MainLoop::runFor(0.1);
            }
            responder->forgetProbes();
            joinWifi(scan ? kHome : kHotspot);
            std::vector<double> reports;
            t0 = Clock::now();
            const int64_t startNanos = Clock::shared()->monotonicNanos();
            if (scan) {
                ASSERT_TRUE(send("startScanLanDevice:callback:",
                                 {int64_t(5), Manager::DeviceListCompletion([&](ErrorPtr e, auto) {
                                      EXPECT_EQ(code(e), 0);
                                      reports.push_back(Clock::now() - t0);
                                  })}));
                ASSERT_TRUE(MainLoop::runUntil([&] { return !reports.empty(); }, 10));
            } else {
                ASSERT_TRUE(configure(params(), 1));
                ASSERT_TRUE(MainLoop::runUntil([&] { return !seen.steps.empty(); }, 10));
                EXPECT_EQ(seen.steps[0], 0);
                reports.push_back(Clock::now() - t0);
                ASSERT_TRUE(send("stopBindDeviceWithCompletion:", {Manager::ErrorCompletion()}));
            }
            EXPECT_EQ(reports[0], 0);
            for (const auto& probe : responder->probes()) EXPECT_EQ(probe.atNanos, startNanos);
        }
    }
}

// Smart connect by appliance name, confirmed by the cloud: the name is built with each of the
// app's prefixes in turn (the built-in ones only when the app set none), and the record names
// the SSID that matched.
TEST_F(QKDeviceManagerTest, SmartConnectByNameUsesTheAppsPrefixes) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    struct Case {
        const char* name;
        std::vector<std::string> prefixes;
        const char* searched;
        int64_t code;
        const char* ssid;  // the record's, on success
    };
    const Case cases[] = {
        {"the app's prefix", {"net"}, "net_ac_8899", 0, "net_AC_8899"},
        {"the app's second prefix", {"other", "net"}, "NET_AC_8899", 0, "net_AC_8899"},
        {"a built-in prefix when the app set none", {}, "zubo_ac_8899", 0, "zubo_AC_8899"},
        {"no built-in prefix beside the app's", {"other"}, "korvo_ac_8899", 4031, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        resetForTesting<Manager>();
        ASSERT_TRUE(send("enableSSIDFormatWithFormatArray:", {c.prefixes}));
        auto p = smartParams();
        p.deviceSSID = c.searched;
        ASSERT_TRUE(configure(p, 2));
        auto heard = hear();
        ASSERT_TRUE(heard);
        api->reportOnline(cloudSn("0000AC11122233344455566677788899", "000000000000AC0002010000"),
                          sim::smartConnectRandomCode(*heard));
        ASSERT_TRUE(runUntilResults(1, 120));
        EXPECT_EQ(code(seen.results[0]), c.code);
        if (c.ssid) {
            ASSERT_TRUE(seen.devices[0]);
            EXPECT_EQ(seen.devices[0]->deviceSsid, c.ssid);
            EXPECT_LT(seen.at[0], 10);
        }
    }
}

// Smart-connect credentials the air cannot carry end the run at once with 8000, before any
// step or datagram, in both modes, and leave the discovery probe at its rhythm (once a minute);
// the longest that fit are sent, the probe going every second.
TEST_F(QKDeviceManagerTest, SmartConnectRefusesCredentialsTheAirCannotCarry) {
    struct Case {
        const char* name;
        size_t ssidBytes, passwordBytes;
        bool byType;
        bool refused;
    };
    const Case cases[] = {
        {"password of 65 bytes", 7, 65, false, true},
        {"password of 65 bytes, by type", 7, 65, true, true},
        {"SSID of 33 bytes", 33, 11, false, true},
        {"SSID of 33 bytes, by type", 33, 11, true, true},
        {"SSID of 32 and password of 64 bytes", 32, 64, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        resetForTesting<Manager>();
        auto p = smartParams();
        p.routerSSID = std::string(c.ssidBytes, 'h');
        p.routerPwd = std::string(c.passwordBytes, 'p');
        if (c.byType) p.deviceSSID.reset();
        joinWifi(p.routerSSID);
        ASSERT_TRUE(configure(p, 2));
        if (c.refused) {
            ASSERT_EQ(seen.results.size(), 1u);
            EXPECT_EQ(code(seen.results[0]), 8000);
            EXPECT_FALSE(seen.devices[0]);
            EXPECT_TRUE(seen.steps.empty());
        } else {
            EXPECT_TRUE(seen.results.empty());
        }
        EXPECT_EQ(QKBroadcastManager::sharedManager()->broadcastInterval(), c.refused ? 60.0 : 1.0);
        MainLoop::runFor(1);
        EXPECT_EQ(sniffer().datagrams().empty(), c.refused);
        EXPECT_EQ(seen.results.size(), c.refused ? 1u : 0u);
    }
}

// A finished run that reached a cloud that keeps its connections alive leaves no connection
// to the cloud open: counted before and after smart connect found by the cloud and an
// access-point run confirmed by it.
TEST_F(QKDeviceManagerTest, AFinishedRunLeavesNoConnectionToTheCloud) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    for (bool smartConnect : {true, false}) {
        SCOPED_TRACE(smartConnect ? "smart connect" : "access point");
        fresh();
        resetForTesting<Manager>();
        cloud->setKeepAlive(true);
        const auto cloudPort = uint16_t(cloud->port());
        EXPECT_EQ(countConnectionsToPort(cloudPort), 0);
        if (smartConnect) {
            auto p = smartParams();
            p.deviceSSID.reset();
            ASSERT_TRUE(configure(p, 2));
            auto heard = hear();
            ASSERT_TRUE(heard);
            api->reportOnline(
                cloudSn("0000AC11122233344455566677788899", "000000000000AC0002010000"),
                sim::smartConnectRandomCode(*heard));
        } else {
            joinWifi(kHotspot);
            announce(Identity{});
            homeNetwork(std::nullopt, 5, 2);
            ASSERT_TRUE(configure(params(), 1));
        }
        ASSERT_TRUE(runUntilResults(1, 200));
        EXPECT_EQ(code(seen.results[0]), 0);
        EXPECT_GT(cloud->requestCount(), 0u);
        EXPECT_EQ(countConnectionsToPort(cloudPort), 0);
    }
}

// The SSID prefixes are stored as a copy in the shared configuration; the discovery broadcast
// is switched on and off by name.
TEST_F(QKDeviceManagerTest, StoresPrefixesAndSwitchesTheBroadcast) {
    ASSERT_TRUE(
        send("enableSSIDFormatWithFormatArray:", {std::vector<std::string>{"korvo_", "net_"}}));
    EXPECT_EQ(QKMiddleInterface::shareInstance()->middleConfig()->SSID_FormatArray(),
              (std::vector<std::string>{"korvo_", "net_"}));
    ASSERT_TRUE(send("startBroadCast"));
    EXPECT_TRUE(QKBroadcastManager::sharedManager()->broadCastOnState());
    ASSERT_TRUE(send("stopBroadCast"));
    EXPECT_FALSE(QKBroadcastManager::sharedManager()->broadCastOnState());
}

}  // namespace
}  // namespace telvo::test

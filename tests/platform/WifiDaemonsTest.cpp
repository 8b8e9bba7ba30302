#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dbus/DBusExportedObject.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/SystemNetwork.h"
#include "platform/net/WifiDaemonObjects.h"
#include "platform/net/WifiServiceWatcher.h"
#include "sim/FakeWifiDaemons.h"
#include "sim/NetworkManagerMock.h"
#include "sim/PrivateBus.h"

namespace telvo {
namespace {

using Status = WifiServiceWatcher::Status;
using Security = sim::FakeAccessPoint::Security;

// iwd's and wpa_supplicant's fakes on a private bus, read by the library (threaded mode).
class WifiDaemonsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (auto& watcher : watchers_) watcher->stop();
        SystemNetwork::setEnabled(false);
    }
    std::shared_ptr<WifiServiceWatcher> watch(WifiService service) {
        auto watcher = WifiServiceWatcher::start(
            std::move(service), DispatchQueue::createSerial("test.wifi"),
            [this](const DispatchQueuePtr& queue) { return bus_.connect(queue); });
        watchers_.push_back(watcher);
        return watcher;
    }
    static bool until(const std::function<bool()>& done) { return MainLoop::runUntil(done, 20); }

    test::PrivateBus bus_;
    std::vector<std::shared_ptr<WifiServiceWatcher>> watchers_;
};

struct Daemon {
    const char* name;
    std::function<std::unique_ptr<sim::FakeWifiDaemon>(test::PrivateBus&, std::string)> start;
    WifiService (*service)();
};

const std::vector<Daemon> kDaemons = {
    {"iwd", [](test::PrivateBus& bus, std::string i) { return sim::FakeIwd::start(bus, i); },
     &WifiService::iwd},
    {"wpa_supplicant",
     [](test::PrivateBus& bus, std::string i) { return sim::FakeWpaSupplicant::start(bus, i); },
     &WifiService::wpaSupplicant},
};

TEST_F(WifiDaemonsTest, EachDaemonAloneGivesTheNetworkAndFollowsIt) {
    for (const auto& d : kDaemons) {
        SCOPED_TRACE(d.name);
        auto daemon = d.start(bus_, "wlp2s0");
        ASSERT_TRUE(daemon->ok()) << daemon->error();
        auto watcher = watch(d.service());
        ASSERT_TRUE(until([&] { return watcher->status() == Status::Answering; }));
        EXPECT_EQ(watcher->facts().wifiInterface, "wlp2s0");
        EXPECT_FALSE(watcher->facts().wifi);
        auto wifi = [&] { return watcher->facts().wifi.value_or(WifiInfo{}); };
        // The daemon announces a step in several changes: wait for all of the facts.
        auto factsAre = [&](const char* ssid, const char* bssid, int64_t type) {
            return until([&] {
                const auto now = wifi();
                return now.ssid == ssid && now.bssid == bssid && now.securityType == type;
            });
        };

        // Connecting is no network yet; connected is.
        daemon->connecting({"HomeNet", "02:00:00:00:00:01", Security::Personal, 2412});
        daemon->connected();
        ASSERT_TRUE(factsAre("HomeNet", "02:00:00:00:00:01", 2))
            << wifi().ssid.value_or("-") << " " << wifi().bssid.value_or("-");
        EXPECT_EQ(watcher->facts().wifiInterface, "wlp2s0");
        // A roam: same network, another access point.
        daemon->roam("02:00:00:00:00:0B", 5180);
        ASSERT_TRUE(factsAre("HomeNet", "02:00:00:00:00:0b", 2));
        daemon->disconnect();
        ASSERT_TRUE(until([&] { return !watcher->facts().wifi; }));
        EXPECT_EQ(watcher->status(), Status::Answering);
        EXPECT_EQ(watcher->facts().wifiInterface, "wlp2s0");

        // The daemon restarts: read again from its new objects, every kind of security.
        daemon->restart();
        const struct {
            Security security;
            int64_t type;
        } kinds[] = {{Security::Enterprise, 3}, {Security::Open, 0}, {Security::Wep, 1}};
        for (const auto& kind : kinds) {
            daemon->join({"Office", "02:00:00:00:00:02", kind.security});
            ASSERT_TRUE(factsAre("Office", "02:00:00:00:00:02", kind.type)) << kind.type;
            daemon->disconnect();
            ASSERT_TRUE(until([&] { return !watcher->facts().wifi; }));
        }
        daemon->stop();
        ASSERT_TRUE(until([&] { return watcher->status() == Status::Absent; }));
        watcher->stop();
    }
}

// Several services on one host: each interface is answered for by the first of NetworkManager,
// iwd, wpa_supplicant that has it, and the connected interface wins.
TEST_F(WifiDaemonsTest, WithSeveralServicesTheOrderHolds) {
    test::NetworkManagerMock nm(bus_);
    nm.joinWifi("NmNet", 0x100, "wlan0");
    ASSERT_TRUE(nm.ok()) << nm.error();
    auto iwd = sim::FakeIwd::start(bus_, "wlan0");
    iwd->join({"IwdNet"});
    auto wpa = sim::FakeWpaSupplicant::start(bus_, "wlan0");
    wpa->join({"WpaNet"});
    ASSERT_TRUE(iwd->ok() && wpa->ok()) << iwd->error() << wpa->error();
    bus_.becomeSystemBus();
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
    auto ssid = [] { return NetworkConfiguration::currentWifiInfo().value_or(WifiInfo{}).ssid; };
    auto answering = [] {
        int n = 0;
        for (const auto& watcher : SystemNetwork::shared()->watchers())
            n += watcher->status() == Status::Answering;
        return n;
    };
    ASSERT_TRUE(until([&] { return answering() == 3; }));
    EXPECT_EQ(ssid(), "NmNet");
    nm.stop();
    ASSERT_TRUE(until([&] { return ssid() == "IwdNet"; }));
    // iwd has wlan0 but no network; wpa_supplicant is connected on another interface.
    iwd->disconnect();
    ASSERT_TRUE(until([&] { return !ssid(); }));
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "wlan0");
    wpa->stop();
    auto other = sim::FakeWpaSupplicant::start(bus_, "wlan1");
    other->join({"WpaNet"});
    ASSERT_TRUE(until([&] { return ssid() == "WpaNet"; }));
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "wlan1");
    EXPECT_TRUE(NetworkConfiguration::isWifiInfoReadable());
}

// The facts stand once every service that could still change them has answered: a service
// after the one with the network does not count, one before it does. A wait for them ends on
// the answer, at its bound from the instance's start, or when the instance goes; its block
// never runs inline.
TEST_F(WifiDaemonsTest, TheFactsStandOnceTheServicesThatDecideThemHaveAnswered) {
    test::NetworkManagerMock nm(bus_);
    nm.joinWifi("NmNet", 0x100, "wlan0");
    auto iwd = sim::FakeIwd::start(bus_, "wlan0");
    iwd->join({"IwdNet"});
    ASSERT_TRUE(nm.ok() && iwd->ok()) << nm.error() << iwd->error();
    bus_.becomeSystemBus();
    nm.mock().freeze(true);
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
    auto system = SystemNetwork::shared();
    auto main = DispatchQueue::main();
    int ended = 0;
    auto count = [&ended] { ++ended; };

    // iwd has the network, but NetworkManager comes first and has not answered.
    ASSERT_TRUE(until([&] { return system->watchers()[1]->status() == Status::Answering; }));
    EXPECT_FALSE(system->wifiSettled());
    system->whenWifiSettled(60, main, count);
    nm.mock().freeze(false);
    ASSERT_TRUE(until([&] { return ended == 1; }));
    EXPECT_TRUE(system->wifiSettled());
    EXPECT_EQ(NetworkConfiguration::currentWifiInfo().value_or(WifiInfo{}).ssid, "NmNet");
    // Standing already: on the queue, not inline.
    system->whenWifiSettled(60, main, count);
    EXPECT_EQ(ended, 1);
    ASSERT_TRUE(until([&] { return ended == 2; }));

    // NetworkManager silent: the bound ends the wait, and so does the instance going.
    nm.mock().freeze(true);
    SystemNetwork::restart();
    system = SystemNetwork::shared();
    system->whenWifiSettled(0.2, main, count);
    system->whenWifiSettled(60, main, count);
    ASSERT_TRUE(until([&] { return ended == 3; }));
    EXPECT_FALSE(system->wifiSettled());
    // The bound counts from the instance's start, not from the question: asked once it has
    // passed, the wait is over (queued at once, ahead of a block due 0.1 s later).
    EXPECT_TRUE(system->wifiWaitOver(0.2));
    EXPECT_FALSE(system->wifiWaitOver(60));
    bool later = false, endedFirst = false;
    system->whenWifiSettled(0.2, main, [&] { endedFirst = !later; });
    main->after(0.1, [&] { later = true; });
    ASSERT_TRUE(until([&] { return later; }));
    EXPECT_TRUE(endedFirst);
    system.reset();
    SystemNetwork::restart();
    ASSERT_TRUE(until([&] { return ended == 4; }));
    nm.mock().freeze(false);
}

// A change the service announces while its objects are being read is not lost: they are read
// again once the answer came. The service here answers the first read only after announcing a
// change (the bus keeps the order: the watcher has the signal before the answer).
TEST_F(WifiDaemonsTest, AChangeAnnouncedDuringTheFirstReadIsReadAgain) {
    constexpr const char* kName = "com.telvo.test.Wifi";
    auto server = bus_.connect(DispatchQueue::createSerial("test.wifi.service"));
    ASSERT_TRUE(server);
    std::atomic<int> reads{0};
    std::weak_ptr<DBusConnection> weak = server;
    auto object =
        server->exportObject("/t", {{kName,
                                     {{"Read", "", "",
                                       [&reads, weak](auto call) {
                                           if (++reads == 1)
                                               if (auto s = weak.lock())
                                                   s->emitSignal("/t", kName, "Changed", "", {});
                                           call->reply();
                                       }}},
                                     {}}});
    ASSERT_TRUE(object);
    server->requestName(kName);
    ASSERT_TRUE(bus_.waitForName(kName));
    WifiService service{
        "test",
        kName,
        {{kName, "/t", "", kName, "Changed"}},
        [] { return std::make_shared<IwdObjects>(); },
        [](DBusConnection& connection, const WifiService::Objects&, WifiService::Loaded done) {
            connection.call(DBusCall(kName, "/t", kName, "Read"),
                            [done](const DBusReply& reply) { done(reply.error); });
        }};
    auto watcher = watch(std::move(service));
    ASSERT_TRUE(until([&] { return reads.load() >= 2; }));
    EXPECT_EQ(watcher->status(), Status::Answering);
}

// A service that fails to answer (here an error of its own) has not answered yet: it is absent
// for now and asked again; one that is not on the bus has answered (absent).
TEST_F(WifiDaemonsTest, AFailureToAnswerIsNoAnswerButAbsenceIs) {
    constexpr const char* kName = "com.telvo.test.Wifi";
    auto server = bus_.connect(DispatchQueue::createSerial("test.wifi.service"));
    ASSERT_TRUE(server);
    std::atomic<int> reads{0};
    auto object = server->exportObject("/t", {{kName,
                                               {{"Read", "", "",
                                                 [&reads](auto call) {
                                                     if (++reads == 1)
                                                         return call->replyError(
                                                             "com.telvo.test.Broken", "broken");
                                                     call->reply();
                                                 }}},
                                               {}}});
    ASSERT_TRUE(object);
    server->requestName(kName);
    ASSERT_TRUE(bus_.waitForName(kName));
    auto service = [](const char* name) {
        return WifiService{"test",
                           name,
                           {},
                           [] { return std::make_shared<IwdObjects>(); },
                           [name](DBusConnection& connection, const WifiService::Objects&,
                                  WifiService::Loaded done) {
                               connection.call(
                                   DBusCall(name, "/t", kName, "Read"),
                                   [done](const DBusReply& reply) { done(reply.error); });
                           }};
    };
    auto broken = watch(service(kName));
    auto missing = watch(service("com.telvo.test.Nobody"));
    ASSERT_TRUE(until([&] { return broken->status() == Status::Absent; }));
    EXPECT_FALSE(broken->answered());
    ASSERT_TRUE(until([&] { return broken->status() == Status::Answering; }));
    EXPECT_TRUE(broken->answered());
    ASSERT_TRUE(until([&] { return missing->status() == Status::Absent; }));
    EXPECT_TRUE(missing->answered());
}

TEST(WifiDaemonObjects, SecurityTypesFromKeyManagement) {
    const struct {
        bool privacy;
        std::vector<std::string> keys;
        int64_t type;
    } cases[] = {
        {false, {}, 0},
        {true, {}, 1},
        {true, {"wpa-psk"}, 2},
        {true, {"sae", "wpa-ft-sae"}, 2},
        {true, {"wpa-eap", "wpa-psk"}, 3},
        {true, {"wpa-eap-suite-b-192"}, 3},
        {false, {"owe"}, 0},
        {true, {"something-new"}, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WpaSupplicantObjects::securityType(c.privacy, c.keys), c.type) << c.keys.size();
    EXPECT_EQ(IwdObjects::securityType("psk"), 2);
    EXPECT_EQ(IwdObjects::securityType("8021x"), 3);
    EXPECT_EQ(IwdObjects::securityType("hotspot"), 4);
}

}  // namespace
}  // namespace telvo

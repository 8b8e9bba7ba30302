#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/NetworkManagerObjects.h"
#include "platform/net/NetworkReachability.h"
#include "platform/net/RtnetlinkMonitor.h"
#include "platform/net/SystemNetwork.h"
#include "platform/net/WifiServiceWatcher.h"
#include "sim/NetworkManagerMock.h"
#include "sim/PrivateBus.h"

namespace telvo {
namespace {

using V = DBusValue;
using Status = WifiServiceWatcher::Status;

constexpr const char* kNM = "org.freedesktop.NetworkManager";
constexpr const char* kActiveIface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kDeviceIface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kWirelessIface = "org.freedesktop.NetworkManager.Device.Wireless";
constexpr const char* kApIface = "org.freedesktop.NetworkManager.AccessPoint";
const std::string kRoot = "/org/freedesktop/NetworkManager";

V bytes(const std::string& s) {
    return V::ofBytes(Bytes(s.begin(), s.end()));
}

// NetworkManager's objects as GetManagedObjects answers them.
struct Tree {
    std::map<std::string, std::map<std::string, std::vector<std::pair<std::string, V>>>> objects;
    Tree& set(const std::string& path, const std::string& iface, const std::string& name, V v) {
        objects[path][iface].emplace_back(name, std::move(v));
        return *this;
    }
    V value() const {
        std::vector<std::pair<V, V>> out;
        for (const auto& [path, ifaces] : objects) {
            std::vector<std::pair<V, V>> is;
            for (const auto& [iface, props] : ifaces)
                is.emplace_back(V::ofString(iface), V::propertyMap(props));
            out.emplace_back(V::ofObjectPath(path), V::dictionary("s", "a{sv}", std::move(is)));
        }
        return V::dictionary("o", "a{sa{sv}}", std::move(out));
    }
    // A Wi-Fi device with an access point, on an active connection.
    Tree& wifi(const std::string& n, const std::string& ssid) {
        set(kRoot + "/ActiveConnection/" + n, kActiveIface, "Devices",
            V::objectPathArray({kRoot + "/Devices/" + n}));
        set(kRoot + "/Devices/" + n, kDeviceIface, "DeviceType", V::ofUInt32(2));
        set(kRoot + "/Devices/" + n, kDeviceIface, "Interface", V::ofString("wlan" + n));
        set(kRoot + "/AccessPoint/" + n, kApIface, "Ssid", bytes(ssid));
        set(kRoot + "/AccessPoint/" + n, kApIface, "HwAddress", V::ofString("00:23:F8:7E:12:BA"));
        set(kRoot + "/AccessPoint/" + n, kApIface, "Frequency", V::ofUInt32(2412));
        set(kRoot + "/AccessPoint/" + n, kApIface, "Flags", V::ofUInt32(1));
        set(kRoot + "/AccessPoint/" + n, kApIface, "WpaFlags", V::ofUInt32(0));
        set(kRoot + "/AccessPoint/" + n, kApIface, "RsnFlags", V::ofUInt32(0x188));
        return *this;
    }
    Tree& active(const std::vector<std::string>& connections, std::optional<std::string> primary) {
        std::vector<std::string> paths;
        for (const auto& c : connections) paths.push_back(kRoot + "/ActiveConnection/" + c);
        set(kRoot, kNM, "ActiveConnections", V::objectPathArray(paths));
        if (primary)
            set(kRoot, kNM, "PrimaryConnection",
                V::ofObjectPath(kRoot + "/ActiveConnection/" + *primary));
        return *this;
    }
};

TEST(NetworkManagerObjects, FactsFromTheObjectTree) {
    const std::string ac1 = kRoot + "/ActiveConnection/1", dev1 = kRoot + "/Devices/1",
                      ap1 = kRoot + "/AccessPoint/1";
    struct Case {
        const char* what;
        Tree tree;
        std::optional<std::string> interface, ssid, bssid;
        std::optional<int64_t> security;
        bool modem;
    };
    const std::vector<Case> cases = {
        {"the device's access point on the primary connection",
         Tree()
             .wifi("1", "HomeNet")
             .active({"1"}, "1")
             .set(dev1, kWirelessIface, "ActiveAccessPoint", V::ofObjectPath(ap1)),
         "wlan1", "HomeNet", "00:23:f8:7e:12:ba", 2, false},
        {"without PrimaryConnection and ActiveAccessPoint: the connection's access point",
         Tree()
             .wifi("1", "HomeNet")
             .active({"1"}, std::nullopt)
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1)),
         "wlan1", "HomeNet", "00:23:f8:7e:12:ba", 2, false},
        {"wired primary, Wi-Fi on another active connection",
         Tree()
             .wifi("1", "HomeNet")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
             .set(kRoot + "/ActiveConnection/0", kActiveIface, "Devices",
                  V::objectPathArray({kRoot + "/Devices/0"}))
             .set(kRoot + "/Devices/0", kDeviceIface, "DeviceType", V::ofUInt32(1))
             .active({"0", "1"}, "0"),
         "wlan1", "HomeNet", "00:23:f8:7e:12:ba", 2, false},
        {"a modem primary",
         Tree()
             .wifi("1", "HomeNet")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
             .set(kRoot + "/ActiveConnection/2", kActiveIface, "Devices",
                  V::objectPathArray({kRoot + "/Devices/2"}))
             .set(kRoot + "/Devices/2", kDeviceIface, "DeviceType", V::ofUInt32(8))
             .active({"2", "1"}, "2"),
         "wlan1", "HomeNet", "00:23:f8:7e:12:ba", 2, true},
        {"the access point gone",
         Tree()
             .wifi("1", "HomeNet")
             .active({"1"}, "1")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(kRoot + "/AccessPoint/9")),
         "wlan1", std::nullopt, std::nullopt, std::nullopt, false},
        {"no active connection",
         Tree().wifi("1", "HomeNet").set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1)),
         std::nullopt, std::nullopt, std::nullopt, std::nullopt, false},
        {"an SSID of 33 bytes, a BSSID that is no address",
         Tree()
             .wifi("1", std::string(33, 'x'))
             .active({"1"}, "1")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
             .set(ap1, kApIface, "HwAddress", V::ofString("00:23:F8:7E:12")),
         "wlan1", std::nullopt, std::nullopt, 2, false},
        {"wrong types: a text SSID, a signed device type, a path as a list",
         Tree()
             .wifi("1", "HomeNet")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
             .set(kRoot, kNM, "ActiveConnections", V::ofObjectPath(ac1))
             .set(dev1, kDeviceIface, "DeviceType", V::ofInt32(2)),
         std::nullopt, std::nullopt, std::nullopt, std::nullopt, false},
        {"an interface name no kernel gives",
         Tree()
             .wifi("1", "HomeNet")
             .active({"1"}, "1")
             .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
             .set(dev1, kDeviceIface, "Interface", V::ofString("../../etc")),
         std::nullopt, "HomeNet", "00:23:f8:7e:12:ba", 2, false},
    };
    for (const auto& c : cases) {
        NetworkManagerObjects objects;
        objects.replaceAll(c.tree.value());
        const auto facts = objects.facts();
        EXPECT_EQ(facts.wifiInterface, c.interface) << c.what;
        EXPECT_EQ(facts.wifi ? facts.wifi->ssid : std::nullopt, c.ssid) << c.what;
        EXPECT_EQ(facts.wifi ? facts.wifi->bssid : std::nullopt, c.bssid) << c.what;
        EXPECT_EQ(facts.wifi ? facts.wifi->securityType : std::nullopt, c.security) << c.what;
        EXPECT_EQ(facts.primaryIsModem, c.modem) << c.what;
    }
}

TEST(NetworkManagerObjects, AnnouncedChangesAndBounds) {
    const std::string ac1 = kRoot + "/ActiveConnection/1", ap1 = kRoot + "/AccessPoint/1";
    NetworkManagerObjects objects;
    objects.replaceAll(Tree()
                           .wifi("1", "HomeNet")
                           .active({"1"}, "1")
                           .set(ac1, kActiveIface, "SpecificObject", V::ofObjectPath(ap1))
                           .value());
    auto ssid = [&] {
        auto f = objects.facts();
        return f.wifi ? f.wifi->ssid : std::nullopt;
    };
    ASSERT_EQ(ssid(), "HomeNet");
    objects.propertiesChanged(ap1, V::ofString(kApIface),
                              V::propertyMap({{"Ssid", bytes(std::string("\xff\0A", 3))}}));
    EXPECT_EQ(ssid(), std::string("\xff\0A", 3));
    EXPECT_EQ(objects.facts().frequencyMHz, 2412u);
    // Changes of unknown objects or interfaces, and malformed ones, leave everything as it is.
    objects.propertiesChanged(kRoot + "/AccessPoint/7", V::ofString(kApIface),
                              V::propertyMap({{"Ssid", bytes("x")}}));
    objects.propertiesChanged(ap1, V::ofString("other.Iface"),
                              V::propertyMap({{"Ssid", bytes("x")}}));
    objects.propertiesChanged(ap1, V::ofUInt32(1), V::propertyMap({{"Ssid", bytes("x")}}));
    objects.propertiesChanged(ap1, V::ofString(kApIface), V::stringArray({"Ssid"}));
    EXPECT_EQ(ssid(), std::string("\xff\0A", 3));

    objects.interfacesRemoved(V::ofObjectPath(ap1), V::stringArray({kApIface}));
    EXPECT_FALSE(objects.facts().wifi);
    EXPECT_EQ(objects.facts().wifiInterface, "wlan1");
    objects.interfacesAdded(
        V::ofObjectPath(ap1),
        V::dictionary("s", "a{sv}",
                      {{V::ofString(kApIface), V::propertyMap({{"Ssid", bytes("Back")}})}}));
    EXPECT_EQ(ssid(), "Back");
    EXPECT_EQ(objects.facts().wifi->securityType, std::nullopt);  // no flags known

    Tree many;
    for (int i = 0; i < 5000; ++i)
        many.set(kRoot + "/X/" + std::to_string(i), kApIface, "Ssid", bytes("x"));
    objects.replaceAll(many.value());
    EXPECT_EQ(objects.objectCount(), NetworkManagerObjects::kMaxObjects);
    objects.replaceAll(V::ofString("not a tree"));
    EXPECT_EQ(objects.objectCount(), 0u);
}

TEST(NetworkManagerObjects, SecurityTypesAndBssids) {
    const struct {
        uint32_t flags, wpa, rsn;
        int64_t type;
    } security[] = {
        {0, 0, 0, 0},      {1, 0, 0, 1},      {1, 0x108, 0, 2},     {1, 0, 0x188, 2},
        {1, 0, 0x400, 2},  {1, 0, 0x200, 3},  {1, 0x100, 0x200, 3}, {0, 0, 0x800, 0},
        {1, 0, 0x2000, 3}, {1, 0x8, 0x80, 4},
    };
    for (const auto& c : security)
        EXPECT_EQ(NetworkManagerObjects::securityType(c.flags, c.wpa, c.rsn), c.type)
            << c.flags << " " << c.wpa << " " << c.rsn;
    const std::vector<std::pair<std::string, std::optional<std::string>>> bssids = {
        {"00:23:F8:7E:12:BA", "00:23:f8:7e:12:ba"}, {"0:3:f8:7e:2:b", "00:03:f8:7e:02:0b"},
        {"00:23:F8:7E:12", std::nullopt},           {"00:23:F8:7E:12:BA:01", std::nullopt},
        {"00:23:F8:7E:12:BAA", std::nullopt},       {"00::F8:7E:12:BA", std::nullopt},
        {"g0:23:F8:7E:12:BA", std::nullopt},        {"", std::nullopt},
        {"00:23:F8:7E:12:", std::nullopt},
    };
    for (const auto& [text, expected] : bssids)
        EXPECT_EQ(NetworkManagerObjects::normalizedBssid(text), expected) << text;
}

// python3-dbusmock's NetworkManager on a private bus, read by the watcher (threaded mode, the
// watcher on a queue of its own).
class NetworkManagerMockTest : public ::testing::Test {
  protected:
    // The watcher's handler touches the fixture: it must be over before the fixture goes.
    void TearDown() override {
        if (watcher_) watcher_->stop();
    }
    void startWatcher() {
        watcher_ = WifiServiceWatcher::start(
            WifiService::networkManager(), DispatchQueue::createSerial("test.nm"),
            [this](const DispatchQueuePtr& queue) { return bus_->connect(queue); },
            [this](Status, const WifiFacts&) { ++changes_; });
        ASSERT_TRUE(watcher_->waitUntilLoaded(20));
    }
    void startMock() {
        nm_ = std::make_unique<test::NetworkManagerMock>(*bus_);
        ASSERT_TRUE(nm_->ok()) << nm_->error();
    }
    std::optional<std::string> ssid() const {
        auto f = watcher_->facts();
        return f.wifi ? f.wifi->ssid : std::nullopt;
    }
    static bool until(const std::function<bool()>& done) { return MainLoop::runUntil(done, 20); }

    std::unique_ptr<test::PrivateBus> bus_ = std::make_unique<test::PrivateBus>();
    std::unique_ptr<test::NetworkManagerMock> nm_;
    std::shared_ptr<WifiServiceWatcher> watcher_;
    std::atomic<int> changes_{0};
};

TEST_F(NetworkManagerMockTest, ReadsTheWifiNetworkItsInterfaceAndSecurity) {
    const struct {
        std::string ssid;
        uint32_t security;
        int64_t type;
    } cases[] = {
        {"HomeNet", 0x100, 2},
        {"Caf\xC3\xA9 \xE2\x98\x95 Wohnung", 0, 0},
        {"0123456789abcdef0123456789ABCDEF", 0x100, 2},  // 32 bytes
    };
    for (const auto& c : cases) {
        bus_ = std::make_unique<test::PrivateBus>();
        startMock();
        nm_->joinWifi(c.ssid, c.security);
        ASSERT_TRUE(nm_->ok()) << nm_->error();
        startWatcher();
        EXPECT_EQ(watcher_->status(), Status::Answering);
        auto facts = watcher_->facts();
        EXPECT_EQ(facts.wifiInterface, "wlan0") << c.ssid;
        ASSERT_TRUE(facts.wifi) << c.ssid;
        EXPECT_EQ(facts.wifi->ssid, c.ssid);
        EXPECT_EQ(facts.wifi->bssid, "00:23:f8:7e:12:ba");
        EXPECT_EQ(facts.wifi->securityType, c.type) << c.ssid;
        EXPECT_EQ(facts.frequencyMHz, 2425u);
        EXPECT_FALSE(facts.primaryIsModem);
        watcher_->stop();
        watcher_.reset();
        nm_.reset();
    }
}

TEST_F(NetworkManagerMockTest, FollowsTheNetworkAsItChanges) {
    startMock();
    const std::string ap = nm_->joinWifi("HomeNet", 0x100);
    startWatcher();
    ASSERT_EQ(ssid(), "HomeNet");
    // The SSID's bytes change (any bytes, as a radio may hear them).
    const std::string raw("\xff\0A", 3);
    nm_->setProperty(ap, kApIface, "Ssid", bytes(raw));
    ASSERT_TRUE(until([&] { return ssid() == raw; }));
    // The connection moves to another access point.
    nm_->moveTo("OtherNet", 0);
    ASSERT_TRUE(until([&] { return ssid() == "OtherNet"; }));
    EXPECT_EQ(watcher_->facts().frequencyMHz, 5180u);
    EXPECT_EQ(watcher_->facts().wifi->securityType, 0);
    EXPECT_EQ(watcher_->facts().wifi->bssid, "02:00:00:00:00:01");
    // The connection ends: no Wi-Fi network, NetworkManager still answering.
    nm_->leaveWifi();
    ASSERT_TRUE(nm_->ok()) << nm_->error();
    ASSERT_TRUE(until([&] { return !watcher_->facts().wifi; }));
    EXPECT_EQ(watcher_->status(), Status::Answering);
    EXPECT_GE(changes_.load(), 4);
}

TEST_F(NetworkManagerMockTest, AbsentThenStartedThenGone) {
    startWatcher();
    EXPECT_EQ(watcher_->status(), Status::Absent);
    startMock();
    ASSERT_TRUE(until([&] { return watcher_->status() == Status::Answering; }));
    nm_->joinWifi("HomeNet", 0);
    ASSERT_TRUE(until([&] { return ssid() == "HomeNet"; }));
    nm_->stop();
    ASSERT_TRUE(until([&] { return watcher_->status() == Status::Absent; }));
    EXPECT_FALSE(watcher_->facts().wifi);
}

TEST_F(NetworkManagerMockTest, DeniedByTheBusPolicy) {
    // The object manager refused; the mock's own methods stay open to the fixture.
    bus_ = std::make_unique<test::PrivateBus>(
        std::string("<deny send_destination=\"") + kNM +
        "\" send_interface=\"org.freedesktop.DBus.ObjectManager\"/>");
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    startWatcher();
    EXPECT_EQ(watcher_->status(), Status::Denied);
    EXPECT_FALSE(watcher_->facts().wifi);
}

TEST_F(NetworkManagerMockTest, AModemPrimaryConnection) {
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    nm_->addModemPrimary();
    ASSERT_TRUE(nm_->ok()) << nm_->error();
    startWatcher();
    EXPECT_TRUE(watcher_->facts().primaryIsModem);
    EXPECT_EQ(ssid(), "HomeNet");  // the Wi-Fi stays what it is
}

// The library's own use: NetworkConfiguration answers from NetworkManager unless the host says
// otherwise.
TEST_F(NetworkManagerMockTest, NetworkConfigurationAnswersFromNetworkManagerUnlessTheHostSets) {
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    bus_->becomeSystemBus();
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
    // Nothing waits for the bus: the facts come once NetworkManager answered.
    ASSERT_TRUE(until([] { return NetworkConfiguration::isWifiInfoReadable(); }));
    auto wifi = NetworkConfiguration::currentWifiInfo();
    ASSERT_TRUE(wifi);
    EXPECT_EQ(wifi->ssid, "HomeNet");
    EXPECT_EQ(wifi->bssid, "00:23:f8:7e:12:ba");
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "wlan0");

    NetworkConfiguration::setWifiInfo(WifiInfo{"HostNet", std::nullopt, std::nullopt});
    NetworkConfiguration::setWifiInfoReadable(false);
    NetworkConfiguration::setInterfaceNameMapping("en0", "wlan9");
    EXPECT_FALSE(NetworkConfiguration::isWifiInfoReadable());
    EXPECT_EQ(NetworkConfiguration::currentWifiInfo()->ssid, "HostNet");
    EXPECT_EQ(NetworkConfiguration::realInterfaceName("en0"), "wlan9");
    NetworkConfiguration::setWifiInfo(std::nullopt);
    NetworkConfiguration::setWifiInfoReadable(std::nullopt);
    EXPECT_TRUE(NetworkConfiguration::isWifiInfoReadable());
    EXPECT_EQ(NetworkConfiguration::currentWifiInfo()->ssid, "HomeNet");

    resetForTesting<NetworkConfiguration>();
    SystemNetwork::setEnabled(false);
    EXPECT_FALSE(NetworkConfiguration::isWifiInfoReadable());
    EXPECT_FALSE(NetworkConfiguration::currentWifiInfo());
}

// Faults of the service and of the bus: the facts go absent, and come back once NetworkManager
// answers again.
TEST_F(NetworkManagerMockTest, FrozenAtFirstUseThenThawed) {
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    nm_->mock().freeze(true);
    // The first answer does not come in time: absent for now.
    startWatcher();
    EXPECT_EQ(watcher_->status(), Status::Absent);
    nm_->mock().freeze(false);
    // Asked again, and followed from then on.
    nm_->moveTo("OtherNet", 0);
    ASSERT_TRUE(until([&] { return ssid() == "OtherNet"; }));
    EXPECT_EQ(watcher_->status(), Status::Answering);
}

TEST_F(NetworkManagerMockTest, TheBusStopsAndComesBack) {
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    startWatcher();
    ASSERT_EQ(ssid(), "HomeNet");
    // NetworkManager stays; only the bus goes.
    bus_->stop();
    ASSERT_TRUE(until([&] { return watcher_->status() == Status::Absent; }));
    EXPECT_FALSE(watcher_->facts().wifi);
    nm_.reset();
    ASSERT_TRUE(bus_->restart()) << bus_->error();
    startMock();
    nm_->joinWifi("Back", 0);
    ASSERT_TRUE(until([&] { return ssid() == "Back"; }));
}

TEST_F(NetworkManagerMockTest, AnAnswerOfAnotherShapeIsAbsentAndAskedAgain) {
    std::mutex mutex;
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    // NetworkManager's model, its object manager answering a text.
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    auto added = nm_->mock().mock(
        "AddMethod", "sssss",
        {V::ofString("org.freedesktop.DBus.ObjectManager"), V::ofString("GetManagedObjects"),
         V::ofString(""), V::ofString("s"), V::ofString("ret = 'no objects'")});
    ASSERT_TRUE(added.ok()) << added.error.message;
    startWatcher();
    EXPECT_EQ(watcher_->status(), Status::Absent);
    EXPECT_FALSE(watcher_->facts().wifiInterface);
    // Asked again later: another diagnostic.
    ASSERT_TRUE(until([&] {
        std::lock_guard lock(mutex);
        return lines.size() >= 2;
    }));
    setDiagnosticSink(nullptr);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("NetworkManager did not answer as it should"), std::string::npos)
        << lines.front();
    EXPECT_NE(lines.front().find("\"s\""), std::string::npos) << lines.front();
}

// Reachability from the library's own reading: a modem becoming the primary connection is
// pushed to the observers and reported as WWAN, and so is its end.
TEST_F(NetworkManagerMockTest, AModemPrimaryIsPushedAndReportedAsWwan) {
    const auto tables = RtnetlinkMonitor::readRouteTables();
    // A host name: any default route reaches it (nothing is sent).
    const std::string host = "cloud.example";
    if (!(NetworkReachability::flagsFromRouteTables(host, tables.ipv4, tables.ipv6) &
          ReachabilityFlags::kReachable))
        GTEST_SKIP() << "skipped: this host has no default route";
    startMock();
    nm_->joinWifi("HomeNet", 0x100);
    const std::string modem = nm_->addModem();
    nm_->setPrimary(nm_->activeConnection());
    ASSERT_TRUE(nm_->ok()) << nm_->error();
    bus_->becomeSystemBus();
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
    std::atomic<int> heard{0};
    const auto token = NetworkReachability::addChangeObserver([&] { ++heard; });
    ASSERT_TRUE(until([] { return NetworkConfiguration::isWifiInfoReadable(); }));
    auto wwan = [&] {
        return (NetworkReachability::currentFlags(host).value_or(0) & ReachabilityFlags::kIsWWAN) !=
               0;
    };
    EXPECT_FALSE(wwan());
    int before = heard.load();
    nm_->setPrimary(modem);
    ASSERT_TRUE(until([&] { return heard.load() > before && wwan(); }));
    before = heard.load();
    nm_->setPrimary(nm_->activeConnection());
    ASSERT_TRUE(until([&] { return heard.load() > before && !wwan(); }));
    EXPECT_EQ(NetworkConfiguration::currentWifiInfo()->ssid, "HomeNet");
    NetworkReachability::removeChangeObserver(token);
    SystemNetwork::setEnabled(false);
}

// The first question, asked from a main-queue block while NetworkManager does not answer,
// answers at once from what is known: no loop runs inside the block (the block queued after it
// runs after it, and the virtual clock stands still).
TEST(SystemNetworkFirstQuestion, AnswersAtOnceInsideAMainQueueBlock) {
    DeterministicDispatch mode;
    test::PrivateBus bus;
    test::NetworkManagerMock nm(bus);
    nm.joinWifi("HomeNet", 0x100);
    ASSERT_TRUE(nm.ok()) << nm.error();
    nm.mock().freeze(true);
    bus.becomeSystemBus();
    SystemNetwork::setEnabled(true);
    SystemNetwork::restart();
    bool asked = false, readable = true, nextRan = false, nextRanInside = true;
    double before = -1, after = -2;
    DispatchQueue::main()->async([&] {
        before = Clock::now();
        readable = NetworkConfiguration::isWifiInfoReadable();
        readable = readable || NetworkConfiguration::currentWifiInfo().has_value();
        after = Clock::now();
        nextRanInside = nextRan;
        asked = true;
    });
    DispatchQueue::main()->async([&] { nextRan = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return asked && nextRan; }, 1));
    EXPECT_FALSE(readable);
    EXPECT_FALSE(nextRanInside);
    EXPECT_EQ(before, after);
    SystemNetwork::setEnabled(false);
    nm.mock().freeze(false);
}

}  // namespace
}  // namespace telvo

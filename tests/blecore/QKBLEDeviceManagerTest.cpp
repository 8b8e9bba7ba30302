#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "blecore/QKBLEDeviceManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/QKBluetoothToy.h"

namespace telvo {
namespace {

using sim::SimBleAppliance;
using sim::SimRadio;
using Lines = std::vector<std::string>;
using M = QKBLEDeviceManager;

// Manufacturer data of the product: version 0 (14 bytes, capability byte 3) or versions 1 to
// 3 (capability bytes 18 and 19, MAC 06:05:04:03:02:01, error code at 27), cut to length.
Bytes productData(uint8_t version, uint8_t b18, uint8_t b19 = 0, uint8_t errorCode = 0,
                  size_t length = 29) {
    Bytes d = {0x17, 0x3D, version};
    if (version == 0) {
        d.insert(d.end(), {b18, 0x00, 0x00});
        for (char c : std::string("SN8CODE1")) d.push_back(static_cast<uint8_t>(c));
        return d;
    }
    for (char c : std::string("SN8CODE1AC1A2B")) d.push_back(static_cast<uint8_t>(c));
    d.insert(d.end(), {0x00, b18, b19, 0xC4, 1, 2, 3, 4, 5, 6, errorCode, 0x00});
    d.resize(length);
    return d;
}

class QKBLEDeviceManagerTest : public ::testing::Test {
  protected:
    QKBLEDeviceManagerTest() {
        NotificationCenter::resetForTesting();
        setPlainLogSink([](std::string_view) {});
        resetForTesting<QKBluetooth>();
        MainLoop::drain();
    }
    ~QKBLEDeviceManagerTest() override {
        setPlainLogSink(test::quietPlainLog);
        NotificationCenter::resetForTesting();
    }

    std::shared_ptr<SimBleAppliance> add(std::optional<std::string> localName,
                                         std::optional<std::string> name = std::nullopt,
                                         Bytes data = productData(2, 0x10)) {
        auto a = radio->addAppliance(std::move(name));
        a->localName = std::move(localName);
        a->manufacturerData = std::move(data);
        a->addConfigService();
        return a;
    }
    CBPeripheralPtr find(const std::string& localName) {
        CBPeripheralPtr found;
        manager.startScan(0, 0, [&](const CBPeripheralPtr& p) {
            if (qkExtensions(p)->mas_name == localName) found = p;
        });
        MainLoop::runUntil([&] { return found != nullptr; }, 5);
        manager.stopScan();
        return found;
    }
    CBPeripheralPtr connect(const std::string& localName, const std::string& channel,
                            Lines& events) {
        auto p = find(localName);
        bool connected = false;
        manager.connect(p, channel, [&, channel](auto&, const CBPeripheralPtr& q, auto& e) {
            events.push_back(channel + (e ? " lost " : " connected ") + *qkExtensions(q)->mas_name);
            connected = !e;
        });
        manager.disconnectConnectChannel(
            channel, [&, channel](auto&, const CBPeripheralPtr& q, auto&) {
                events.push_back(channel + " disconnected " + *qkExtensions(q)->mas_name);
            });
        EXPECT_TRUE(MainLoop::runUntil([&] { return connected; }, 5));
        return p;
    }

    DeterministicDispatch mode_;
    sim::SimRadioScope radio{SimRadio::create()};
    std::shared_ptr<M> shared_ = [] {
        resetForTesting<M>();
        return M::shareInstance();
    }();
    M& manager = *shared_;
};

TEST_F(QKBLEDeviceManagerTest, ScanReportsMatchingAdvertisersRecordsThemAndEndsAtItsTimeOut) {
    auto product = add("KORVO_3A_ab12", "gap-name");
    add("korvo_3a_ab12x");
    add("korvo_3g_ab12");
    add(std::nullopt);
    add(std::nullopt, "zubo_0f_zz99", productData(2, 0x00, 0, 0, 20));  // no capabilities
    add("varne_00_0000")->rssi = {127};
    std::set<std::string> reported;
    manager.startScan(1, 2.5, [&](const CBPeripheralPtr& p) {
        reported.insert(qkExtensions(p)->mas_name.value_or("nil"));
    });
    int cancelled = 0;
    double cancelledAt = 0;
    QKBluetooth::shareQKBluetooth()->setBlockOnCancelScanBlock([&](auto&) {
        ++cancelled;
        cancelledAt = Clock::now();
    });
    const double start = Clock::now();
    MainLoop::runFor(5);
    EXPECT_EQ(reported, (std::set<std::string>{"KORVO_3A_ab12", "zubo_0f_zz99"}));
    EXPECT_EQ(cancelled, 1);
    EXPECT_NEAR(cancelledAt - start, 2.0, 1e-6);  // whole seconds of the time-out
    EXPECT_EQ(manager.bleModuleType(), 1);

    // A name-list scan replaces it: the old block hears nothing more, the records keep an
    // earlier capability dictionary when the new advertisement has none.
    product->manufacturerData = productData(2, 0x10, 0, 0, 20);
    radio->addAppliance("korvo_ac_1234")->connectable = false;
    radio->addAppliance("korvo_ab_1234");
    Lines second;
    CBPeripheralPtr korvo, zubo;
    reported.clear();
    manager.startScanWithFilter({"AC", "", "3a_ab12"}, 0, [&](const CBPeripheralPtr& p) {
        auto ext = qkExtensions(p);
        second.push_back(ext->mas_name.value_or("nil"));
        if (ext->mas_name == "KORVO_3A_ab12") korvo = p;
        if (ext->mas_name == "korvo_ac_1234") zubo = p;
    });
    MainLoop::runFor(5);
    std::sort(second.begin(), second.end());
    EXPECT_EQ(second, (Lines{"KORVO_3A_ab12", "korvo_3a_ab12x", "korvo_ac_1234", "nil"}));
    EXPECT_TRUE(reported.empty());
    EXPECT_EQ(cancelled, 1);  // no time-out: still scanning
    auto ext = qkExtensions(korvo);
    EXPECT_TRUE(ext->qkDevice && ext->configable && !ext->configed && !ext->unreachableAdv);
    EXPECT_EQ(ext->mas_mac, "06:05:04:03:02:01");
    EXPECT_EQ(ext->qkAdvertisementRSSI, -60);
    EXPECT_TRUE(qkExtensions(zubo)->unreachableAdv);
    EXPECT_FALSE(qkExtensions(zubo)->qkDevice);
    manager.stopScan();
    EXPECT_EQ(cancelled, 2);
}

// A stop while the scan still waits for the radio's power-on is a stop: when the power comes
// on, no scan starts and nothing is reported. A later scan runs as usual.
TEST_F(QKBLEDeviceManagerTest, StopScanCancelsAScanWaitingForThePower) {
    add("korvo_ac_1a2b");
    radio->setState(CBManagerState::PoweredOff);
    MainLoop::runFor(0.1);
    int reported = 0;
    manager.startScan(0, 0, [&](const CBPeripheralPtr&) { ++reported; });
    MainLoop::runFor(1);
    manager.stopScan();
    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(10);
    EXPECT_TRUE(radio->log("scan").empty());
    EXPECT_EQ(reported, 0);
    manager.startScan(0, 0, [&](const CBPeripheralPtr&) { ++reported; });
    MainLoop::runFor(1);
    EXPECT_EQ(radio->log("scan").size(), 1u);
    EXPECT_GT(reported, 0);
    manager.stopScan();
}

TEST_F(QKBLEDeviceManagerTest, ModuleTypeAndNameListFilters) {
    struct Case {
        int64_t moduleType;  // -100: name list {"AC"}; -200: empty name list
        std::optional<std::string> localName, name;
        bool accepted;
    } cases[] = {
        {1, "KORVO_3A_ab12", std::nullopt, true},
        {3, "qk0001_ff_z9z9", std::nullopt, true},
        {2, "korvo_3a_ab12x", std::nullopt, false},
        {1, "korvo_3g_ab12", std::nullopt, false},
        {1, std::nullopt, "varne_00_0000", true},  // the peripheral's name stands in
        {1, "", "varne_00_0000", false},           // an empty local name still counts
        {1, std::nullopt, std::nullopt, false},
        {0, std::nullopt, std::nullopt, true},
        {5, "korvo_3a_ab12", std::nullopt, false},
        {-1, "korvo_3a_ab12", std::nullopt, false},
        {-100, "korvo_ac_1234", std::nullopt, true},
        {-100, "korvo_ab_1234", std::nullopt, false},
        {-100, "a", std::nullopt, true},  // the entry contains the name
        {-100, std::nullopt, std::nullopt, true},
        {-100, "", "korvo_ab_1234", true},
        {-200, "korvo_ab_1234", std::nullopt, true},
    };
    for (const auto& c : cases) {
        Dictionary adv;
        if (c.localName) adv.set(CBAdvertisementDataLocalNameKey, *c.localName);
        const bool got = c.moduleType == -200 ? manager.filterContains({}, c.name, adv)
                         : c.moduleType == -100
                             ? manager.filterContains({"AC", ""}, c.name, adv)
                             : manager.filterDiscoverPeripheral(c.moduleType, c.name, adv);
        EXPECT_EQ(got, c.accepted)
            << c.moduleType << " " << c.localName.value_or("nil") << " " << c.name.value_or("nil");
    }
    EXPECT_TRUE(manager.filterDiscover({"xKORVOx"}, "korvo", {}));
    EXPECT_FALSE(manager.filterDiscover({"korvo"}, "korvo_x", {}));
    EXPECT_FALSE(manager.filterDiscover({"korvo"}, std::nullopt, {}));
}

TEST_F(QKBLEDeviceManagerTest, ChannelsCarryConnectionsDiscoveryNotifyChunkedWritesAndRSSI) {
    auto kettle = add("korvo_ac_0001");
    kettle->attMtu = 67;  // 64 bytes a write
    kettle->rssi = {-42};
    auto toaster = add("korvo_ac_0002");
    Lines events;
    auto p = find("korvo_ac_0001");
    // Before it connects the RSSI is the advertisement's, at once.
    std::optional<int> rssi;
    manager.readRSSIPeripheral(p, [&](std::optional<int> r, auto&) { rssi = r; });
    EXPECT_EQ(rssi, -42);

    CBCharacteristicPtr write, notify;
    manager.discoverServicesChannel("mac1", [&](const CBPeripheralPtr& q, auto&) {
        events.push_back("services " + std::to_string(q->services().size()));
    });
    manager.discoverCharacteristics("mac1", [&](auto&, const CBServicePtr& s, auto&) {
        write = QKBluetoothToy::findCharacteristicFormServices({s}, "FF81");
        notify = QKBluetoothToy::findCharacteristicFormServices({s}, "FF82");
    });
    p = connect("korvo_ac_0001", "mac1", events);
    ASSERT_TRUE(MainLoop::runUntil([&] { return notify != nullptr; }, 5));
    auto q = connect("korvo_ac_0002", "mac2", events);

    Lines notified;
    manager.notify(p, notify, [&](auto&, const CBCharacteristicPtr& c, auto&) {
        notified.push_back(test::toHex(c->value().value_or(Bytes{})));
    });
    MainLoop::runFor(0.5);
    kettle->notify(notify->UUID(), {0xAB, 0xCD});
    MainLoop::runFor(0.5);
    EXPECT_EQ(notified, Lines{"abcd"});

    // 200 bytes: pieces of 64, 64, 64 and 8, 20 ms apart, each acknowledged.
    int acknowledged = 0;
    manager.writeValueForCharacteristic("mac2", p, [&](auto&, auto&) { ++acknowledged; });
    manager.switchChannel("mac2");
    Bytes body(200);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i);
    radio->clearLog();
    const double start = Clock::now();
    manager.writeValuetoPeripheral(std::nullopt, p, body, write,
                                   CBCharacteristicWriteType::WithoutResponse);
    manager.writeValuetoPeripheral(std::nullopt, p, std::nullopt, write,
                                   CBCharacteristicWriteType::WithResponse);
    MainLoop::runFor(1);
    Bytes joined;
    std::vector<double> times;
    std::vector<size_t> sizes;
    for (const auto& op : radio->log("write")) {
        times.push_back(op.time - start);
        sizes.push_back(op.data.size());
        joined.insert(joined.end(), op.data.begin(), op.data.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 64, 8}));
    ASSERT_EQ(times.size(), 4u);
    for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 0.02 * i, 1e-9) << i;
    EXPECT_EQ(joined, body);
    EXPECT_EQ(acknowledged, 4);

    // Descriptor details on its channel, and the RSSI of the link.
    Lines descriptors;
    QKBluetooth::shareQKBluetooth()->setBlockOnReadValueForDescriptorsAtChannel(
        "mac1", [&](auto&, const CBDescriptorPtr& d, auto&) {
            descriptors.push_back(d->UUID().UUIDString() + "=" + d->value().stringValue());
        });
    manager.characteristicDetails("mac1", p, notify);
    manager.readRSSIPeripheral(p, [&](std::optional<int> r, auto&) { rssi = r; });
    rssi.reset();
    MainLoop::runFor(0.5);
    EXPECT_EQ(descriptors, Lines{"2902=1"});
    EXPECT_EQ(rssi, -42);

    // Disconnecting one channel's peripheral reaches that channel's block once and leaves the
    // other connected.
    events.clear();
    manager.disconnectPeriphera(p);
    MainLoop::runFor(0.5);
    EXPECT_EQ(events, Lines{"mac1 disconnected korvo_ac_0001"});
    EXPECT_EQ(manager.findConnectedPeripherals(), std::vector<CBPeripheralPtr>{q});
    EXPECT_TRUE(qkExtensions(p)->manualDisconnectTag);
    EXPECT_FALSE(QKBLEDeviceManagerImpl::of(manager).curConnectedMacDict.objectForKey(
        p->identifier().UUIDString()));
    EXPECT_EQ(QKBLEDeviceManagerImpl::of(manager).curConnectedMacDict.objectForKey(
                  q->identifier().UUIDString()),
              "mac2");
    EXPECT_TRUE(
        QKBLEDeviceManagerImpl::of(manager).curDisconnectedCallBackDict.objectForKey("mac2"));
    toaster->loseLink();
    MainLoop::runFor(0.5);
    EXPECT_EQ(events,
              (Lines{"mac1 disconnected korvo_ac_0001", "mac2 disconnected korvo_ac_0002"}));
}

TEST_F(QKBLEDeviceManagerTest, CapabilityPredicatesOverEveryLayout) {
    struct Case {
        const char* what;
        std::optional<Dictionary> dict;
        // wifi config enable, be configed, can config, authed, can update router
        std::array<bool, 5> expected;
    };
    auto parsed = [](Bytes data) { return M::bleAdvDicWithPeripheral(data, "korvo_ac_0001"); };
    const Case cases[] = {
        {"v0 enabled", parsed(productData(0, 0x04)), {1, 0, 1, 1, 0}},
        {"v0 double configured", parsed(productData(0, 0x07)), {1, 1, 0, 0, 0}},
        {"v2 authority", parsed(productData(2, 0x08)), {1, 0, 1, 1, 0}},
        {"v2 bound, no authority", parsed(productData(2, 0x14)), {0, 1, 0, 0, 0}},
        {"v2 double router", parsed(productData(2, 0x03, 0x40, 0x01)), {1, 1, 0, 0, 1}},
        {"v2 error 3", parsed(productData(2, 0x03, 0x40, 0x03)), {1, 1, 0, 0, 0}},
        {"v2 no error byte", parsed(productData(2, 0x03, 0x40, 0x01, 27)), {1, 1, 0, 0, 0}},
        {"v2 too short", parsed(productData(2, 0x1F, 0x40, 0x01, 20)), {0, 0, 0, 0, 0}},
        {"v1 double bound", parsed(productData(1, 0x05)), {1, 1, 0, 0, 0}},
        {"v3 double authority", parsed(productData(3, 0x09)), {1, 0, 1, 1, 0}},
        {"v3 double router", parsed(productData(3, 0x13, 0, 0x02)), {1, 1, 0, 0, 1}},
        {"empty", Dictionary{}, {0, 0, 0, 0, 0}},
        {"only enable", Dictionary{{"wifiConfigEnable", true}}, {1, 0, 1, 1, 0}},
    };
    for (const auto& c : cases) {
        const std::array<bool, 5> got = {
            M::bleAdvIsWifiConfigEnableWithDict(c.dict), M::bleAdvIsBeConfigedWithDict(c.dict),
            M::bleAdvIsCanConfigWithDict(c.dict), M::bleAdvIsAuthedWithDict(c.dict),
            M::bleAdvIsCanUpdateRouterWithDict(c.dict)};
        EXPECT_EQ(got, c.expected) << c.what;
    }
}

}  // namespace
}  // namespace telvo

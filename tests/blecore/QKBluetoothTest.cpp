#include <gtest/gtest.h>

#include <algorithm>

#include "blecore/QKBLEProtocol.h"
#include "blecore/QKBluetooth.h"
#include "blecore/QKBluetoothRhythm.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Registry.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/NamedException.h"

namespace telvo {
namespace {

using sim::SimBleAppliance;
using sim::SimRadio;
using Lines = std::vector<std::string>;

std::string nameOf(const CBPeripheralPtr& p) {
    auto name = p->name();
    return name ? "'" + *name + "'" : "nil";
}

// Version 2 manufacturer data of a product appliance (single module, MAC 06:05:04:03:02:01).
Bytes productData() {
    Bytes d = {0x17, 0x3D, 0x02};
    for (char c : std::string("SN8CODE1AC1A2B")) d.push_back(static_cast<uint8_t>(c));
    d.insert(d.end(), {0x00, 0x10, 0x00, 0xC4, 1, 2, 3, 4, 5, 6, 0x00, 0x00});
    return d;
}

class QKBluetoothTest : public ::testing::Test {
  protected:
    QKBluetoothTest() {
        NotificationCenter::resetForTesting();
        setPlainLogSink([this](std::string_view line) { log.emplace_back(line); });
        resetForTesting<QKBluetooth>();
        MainLoop::drain();
    }
    ~QKBluetoothTest() override {
        setPlainLogSink(test::quietPlainLog);
        NotificationCenter::resetForTesting();
    }

    std::shared_ptr<SimBleAppliance> addKettle(std::optional<std::string> name = "kettle") {
        auto a = radio->addAppliance(std::move(name));
        a->localName = "korvo_ac_1a2b";
        a->manufacturerData = productData();
        a->addConfigService();
        return a;
    }
    // Records every "KQKNotificationAt" notification with the keys of its dictionary.
    void observe(std::initializer_list<const char*> names) {
        for (const char* name : names)
            NotificationCenter::defaultCenter()->addObserverForName(
                name, nullptr, [this](const Notification& n) {
                    std::string line =
                        "N " + n.name.substr(std::string("KQKNotificationAt").size());
                    for (const auto& key : n.userInfo.dictionary().keys()) line += " " + key;
                    events.push_back(line);
                    lastInfo = n.userInfo.dictionary();
                    auto object = std::static_pointer_cast<Dictionary>(n.object);
                    EXPECT_TRUE(object && *object == lastInfo);
                });
    }
    bool waitFor(const std::string& line, double timeout = 5) {
        return MainLoop::runUntil(
            [&] { return std::find(events.begin(), events.end(), line) != events.end(); }, timeout);
    }
    bool logged(const std::string& line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }

    DeterministicDispatch mode_;
    sim::SimRadioScope radio{SimRadio::create()};
    // The facade of the moment: a reset makes a fresh one.
    QKBluetooth& bt() const { return *QKBluetooth::shareQKBluetooth(); }
    QKBluetoothImpl& impl() const { return QKBluetoothImpl::of(bt()); }
    Lines log;
    Lines events;
    Dictionary lastInfo;
};

TEST_F(QKBluetoothTest, ChainRunsInOrderOnItsChannelAndNotifyAndChannelSwitchRouteLaterEvents) {
    auto kettle = addKettle();
    observe({KQKNotificationAtDidDiscoverPeripheral, KQKNotificationAtDidConnectPeripheral,
             KQKNotificationAtDidDiscoverServices,
             KQKNotificationAtDidDiscoverCharacteristicsForService,
             KQKNotificationAtDidUpdateNotificationStateForCharacteristic,
             KQKNotificationAtDidUpdateValueForCharacteristic});
    CBPeripheralPtr peripheral;
    auto on = [this](const std::string& channel) {
        bt().setBlockOnDiscoverToPeripheralsAtChannel(
            channel, [this, channel](auto&, const CBPeripheralPtr& p, const Dictionary& adv, int) {
                events.push_back(channel + " discovered " + nameOf(p) + " " +
                                 adv[CBAdvertisementDataLocalNameKey].text());
            });
        bt().setBlockOnConnectedAtChannel(channel,
                                          [this, channel](auto&, const CBPeripheralPtr& p) {
                                              events.push_back(channel + " connected " + nameOf(p));
                                          });
        bt().setBlockOnDiscoverServicesAtChannel(
            channel, [this, channel](const CBPeripheralPtr& p, auto&) {
                events.push_back(channel + " services " + p->services()[0]->UUID().UUIDString());
            });
        bt().setBlockOnDiscoverCharacteristicsAtChannel(
            channel, [this, channel](auto&, const CBServicePtr& s, auto&) {
                events.push_back(channel + " characteristics " + s->UUID().UUIDString() + " " +
                                 std::to_string(s->characteristics().size()));
            });
        bt().setBlockOnDiscoverDescriptorsForCharacteristicAtChannel(
            channel, [this, channel](auto&, const CBCharacteristicPtr& c, auto&) {
                events.push_back(channel + " descriptors " + c->UUID().UUIDString() + " " +
                                 std::to_string(c->descriptors().size()));
            });
        bt().setBlockOnReadValueForDescriptorsAtChannel(
            channel, [this, channel](auto&, const CBDescriptorPtr& d, auto&) {
                events.push_back(channel + " descriptor value " + d->UUID().UUIDString());
            });
        bt().setBlockOnDidUpdateNotificationStateForCharacteristicAtChannel(
            channel, [this, channel](const CBCharacteristicPtr& c, auto&) {
                events.push_back(channel + " notifying " + c->UUID().UUIDString());
            });
        bt().setBlockOnReadValueForCharacteristicAtChannel(
            channel, [this, channel](auto&, const CBCharacteristicPtr& c, const ErrorPtr& e) {
                events.push_back(channel + " value " + c->UUID().UUIDString() + " " +
                                 (e ? "error" : test::toHex(c->value().value_or(Bytes{}))));
            });
    };
    on("one");
    on("two");
    bt().setBlockOnConnectedAtChannel("one", [&](auto&, const CBPeripheralPtr& p) {
        peripheral = p;
        events.push_back("one connected " + nameOf(p));
    });

    bt().channel("one")
        .scanForPeripherals()
        .connectToPeripherals()
        .discoverServices()
        .discoverCharacteristics()
        .discoverDescriptorsForCharacteristic()
        .readValueForDescriptors()
        .begin();
    ASSERT_TRUE(waitFor("one descriptor value 2902"));
    MainLoop::runFor(0.5);
    EXPECT_EQ(events, (Lines{"N DidDiscoverPeripheral central peripheral advertisementData RSSI",
                             "one discovered 'kettle' korvo_ac_1a2b",
                             "N DidConnectPeripheral central peripheral", "one connected 'kettle'",
                             "N DidDiscoverServices peripheral error", "one services FF80",
                             "N DidDiscoverCharacteristicsForService peripheral service error",
                             "one characteristics FF80 2", "one descriptors FF81 0",
                             "one descriptors FF82 1", "one descriptor value 2902"}));
    EXPECT_EQ(lastInfo["peripheral"].objectAs<CBPeripheral>(), peripheral);
    EXPECT_EQ(lastInfo["error"], Value(""));

    // A notify callback takes the notifications of its characteristic away from the channel.
    events.clear();
    auto service = peripheral->services()[0];
    auto write = service->characteristics()[0], notify = service->characteristics()[1];
    Lines notified;
    bt().notify(peripheral, notify,
                [&](const CBPeripheralPtr& p, const CBCharacteristicPtr& c, const ErrorPtr& e) {
                    notified.push_back(nameOf(p) + " " + c->UUID().UUIDString() + " " +
                                       (e ? "error" : test::toHex(c->value().value_or(Bytes{}))));
                });
    ASSERT_TRUE(waitFor("one notifying FF82"));
    kettle->notify(notify->UUID(), {0xAB});
    MainLoop::runFor(0.5);
    EXPECT_EQ(notified, Lines{"'kettle' FF82 ab"});

    // Later events go to the current channel only.
    bt().switchChannel("two");
    EXPECT_TRUE(logged(">>>已切换到two"));
    bt().switchChannel("three");
    EXPECT_TRUE(logged(">>>所要切换的channel不存在"));
    EXPECT_EQ(impl().speaker->currChannel(), "two");
    kettle->characteristic(write->UUID())->value = {0x01, 0x02};
    kettle->characteristic(write->UUID())->properties |= CBCharacteristicProperty::Read;
    peripheral->readValueForCharacteristic(write);
    MainLoop::runFor(0.5);
    EXPECT_EQ(events, (Lines{"N DidUpdateNotificationStateForCharacteristic characteristic error",
                             "one notifying FF82",
                             "N DidUpdateValueForCharacteristic peripheral characteristic error",
                             "N DidUpdateValueForCharacteristic peripheral characteristic error",
                             "two value FF81 0102"}));

    // Descriptor details on the pocket's channel: discovered, then each read once.
    events.clear();
    bt().channel("one").characteristicDetails(peripheral, notify);
    EXPECT_EQ(impl().speaker->currChannel(), "one");
    MainLoop::runFor(0.5);
    EXPECT_EQ(events, (Lines{"one descriptors FF82 1", "one descriptor value 2902"}));
    EXPECT_FALSE(impl().central->oneReadValueForDescriptors);
}

TEST_F(QKBluetoothTest, DefaultFiltersRefuseOnlyAnEmptyNameAndCustomFiltersDecide) {
    for (auto name : {std::optional<std::string>(), std::optional<std::string>(""),
                      std::optional<std::string>("kettle"), std::optional<std::string>("fan")})
        addKettle(name)->connectDelay = 0.05;
    struct Case {
        QKPeripheralFilter discover, connect;
        Lines discovered, connected;
    } cases[] = {
        {nullptr, nullptr, {"'fan'", "'kettle'", "nil"}, {"'fan'", "'kettle'", "nil"}},
        {[](const std::optional<std::string>& n, const Dictionary&, int) { return n == "kettle"; },
         [](const std::optional<std::string>& n, const Dictionary& adv, int rssi) {
             return n == "fan" && adv.contains(CBAdvertisementDataManufacturerDataKey) &&
                    rssi == -60;
         },
         {"'kettle'"},
         {"'fan'"}},
    };
    for (const auto& c : cases) {
        resetForTesting<QKBluetooth>();
        MainLoop::drain();
        Lines discovered, connected;
        if (c.discover) bt().setFilterOnDiscoverPeripherals(c.discover);
        if (c.connect) bt().setFilterOnConnectToPeripherals(c.connect);
        bt().setBlockOnDiscoverToPeripherals(
            [&](auto&, const CBPeripheralPtr& p, auto&, int) { discovered.push_back(nameOf(p)); });
        bt().setBlockOnConnected(
            [&](auto&, const CBPeripheralPtr& p) { connected.push_back(nameOf(p)); });
        bt().scanForPeripherals().connectToPeripherals().begin();
        MainLoop::runFor(1);
        std::sort(discovered.begin(), discovered.end());
        std::sort(connected.begin(), connected.end());
        EXPECT_EQ(discovered, c.discovered);
        EXPECT_EQ(connected, c.connected);
        bt().babyStop();
        MainLoop::runFor(0.1);
    }
}

TEST_F(QKBluetoothTest, StartWaitsForThePowerAtMostFourTimes) {
    radio->setState(CBManagerState::PoweredOff);
    MainLoop::drain();
    bt().scanForPeripherals().begin();
    MainLoop::runFor(20);
    EXPECT_TRUE(radio->log("scan").empty());
    EXPECT_EQ(impl().centralManagerInitWaitTimes, 5);
    EXPECT_TRUE(logged(">>> 第4次等待CBCentralManager打开"));
    EXPECT_TRUE(
        logged(">>> 第5次等待CBCentralManager 打开任然失败，请检查你蓝牙使用权限或检查设备问题。"));
    // After a give-up, a start gives up at once until one finds the power on.
    bt().scanForPeripherals().begin();
    EXPECT_EQ(impl().centralManagerInitWaitTimes, 6);
    EXPECT_TRUE(radio->log("scan").empty());

    // Power that comes on during the waits starts the chain once.
    resetForTesting<QKBluetooth>();
    MainLoop::drain();
    bt().scanForPeripherals().begin();
    MainLoop::runFor(5);
    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(10);
    EXPECT_EQ(radio->log("scan").size(), 1u);
    EXPECT_EQ(impl().centralManagerInitWaitTimes, 0);
}

// A connect that gives up on the power fails once, later, on its channel, so that whoever
// waits for it hears; one that finds the power on in time connects.
TEST_F(QKBluetoothTest, AConnectThatGivesUpOnThePowerFailsOnItsChannel) {
    addKettle();
    bt().setBlockOnDiscoverToPeripherals([](auto&, auto&, auto&, int) {});
    bt().scanForPeripherals().begin();
    ASSERT_TRUE(
        MainLoop::runUntil([&] { return !impl().central->discoverPeripherals().empty(); }, 2));
    bt().cancelScan();
    auto peripheral = impl().central->discoverPeripherals().at(0);
    radio->setState(CBManagerState::PoweredOff);
    MainLoop::drain();

    observe({KQKNotificationAtDidFailToConnectPeripheral});
    Lines seen;
    bt().setBlockOnFailToConnectAtChannel(
        "kettle", [&](auto&, const CBPeripheralPtr& p, const ErrorPtr& e) {
            seen.push_back(nameOf(p) + " " + std::to_string(e ? e->code() : -1));
        });
    bt().having(peripheral).and_().channel("kettle").then().connectToPeripherals().begin();
    EXPECT_TRUE(seen.empty()) << "the failure comes later, never inside begin";
    MainLoop::runFor(7);
    EXPECT_TRUE(seen.empty()) << "still waiting for the power";
    MainLoop::runFor(3);
    EXPECT_EQ(seen, (Lines{"'kettle' 10"}));
    EXPECT_EQ(events, (Lines{"N DidFailToConnectPeripheral central peripheral error"}));
    // The next start gives up at once, and fails again.
    bt().having(peripheral).and_().channel("kettle").then().connectToPeripherals().begin();
    MainLoop::drain();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(radio->log("connect").empty());

    // A reset drops a failure still on its way.
    bt().having(peripheral).and_().channel("kettle").then().connectToPeripherals().begin();
    resetForTesting<QKBluetooth>();
    MainLoop::drain();
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(QKBluetoothTest, TimedStopEndsTheScanAndEveryConnectionUnlessABeginComesFirst) {
    auto kettle = addKettle();
    Lines seen;
    bt().setBlockOnCancelScanBlock([&](auto&) { seen.push_back("scan cancelled"); });
    bt().setBlockOnDisconnect([&](auto&, const CBPeripheralPtr& p, const ErrorPtr& e) {
        seen.push_back("disconnected " + nameOf(p) + (e ? " error" : ""));
    });
    bt().setBlockOnCancelAllPeripheralsConnectionBlock([&](auto&) { seen.push_back("all gone"); });
    bt().scanForPeripherals().connectToPeripherals().begin().stop(3);
    MainLoop::runFor(2.9);
    ASSERT_EQ(bt().findConnectedPeripherals().size(), 1u);
    EXPECT_TRUE(seen.empty());
    MainLoop::runFor(0.2);
    EXPECT_TRUE(logged(">>>did stop"));
    MainLoop::runFor(0.1);
    EXPECT_EQ(seen, (Lines{"scan cancelled", "disconnected 'kettle'", "all gone"}));
    EXPECT_EQ(radio->log("stop-scan").size(), 1u);
    EXPECT_TRUE(bt().findConnectedPeripherals().empty());
    auto peripheral = impl().central->discoverPeripherals().at(0);
    EXPECT_FALSE(qkExtensions(peripheral)->manualDisconnectTag);  // not a per-peripheral cancel

    // A begin drops a pending stop; a second stop replaces the first.
    seen.clear();
    bt().stop(1);
    bt().having(peripheral).connectToPeripherals().begin();
    bt().stop(10).stop(4);
    MainLoop::runFor(3.9);
    EXPECT_TRUE(seen.empty());
    MainLoop::runFor(10);
    EXPECT_EQ(seen, (Lines{"scan cancelled", "disconnected 'kettle'", "all gone"}));
}

TEST_F(QKBluetoothTest, InconsistentChainsRaiseTheTextOfTheLastBrokenRule) {
    auto peripheral = [&] {
        addKettle();
        CBPeripheralPtr found;
        bt().setBlockOnDiscoverToPeripherals(
            [&](auto&, const CBPeripheralPtr& p, auto&, int) { found = p; });
        bt().scanForPeripherals().begin();
        MainLoop::runUntil([&] { return found != nullptr; }, 2);
        bt().cancelScan();
        return found;
    }();
    ASSERT_TRUE(peripheral);
    struct Case {
        std::function<void()> chain;
        const char* reason;
    } cases[] = {
        {[&] { bt().scanForPeripherals().discoverServices().begin(); },
         "未执行connectToPeripherals()不能执行discoverServices()"},
        {[&] { bt().connectToPeripherals().readValueForDescriptors().begin(); },
         "若不执行scanForPeripherals()方法，则必须执行connectToPeripheral方法并且需要传入参数("
         "CBPeripheral *)peripheral"},
        {[&] {
             bt().having(peripheral).connectToPeripherals().readValueForCharacteristic().begin();
         },
         "未执行discoverServices()不能执行discoverCharacteristics()、readValueForCharacteristic()"
         "、discoverDescriptorsForCharacteristic()、readValueForDescriptors()"},
    };
    for (const auto& c : cases) {
        try {
            c.chain();
            ADD_FAILURE() << "no exception for " << c.reason;
        } catch (const NamedException& e) {
            EXPECT_EQ(e.reason(), c.reason);
        }
        bt().babyStop();
    }
    radio->clearLog();
    MainLoop::runFor(1);
    EXPECT_TRUE(radio->log("connect").empty());
}

TEST_F(QKBluetoothTest, RecordSurvivesReconnectsAndTheModuleTypeIsFoundByName) {
    auto kettle = addKettle();
    kettle->rssi = {-50};
    bt().setBlockOnDiscoverToPeripherals(
        [](auto&, const CBPeripheralPtr& p, const Dictionary& adv, int rssi) {
            qkExtensions(p)->qk_setAdvertisementData(adv, rssi);
        });
    Lines seen;
    bt().setBlockOnConnected([&](auto&, const CBPeripheralPtr&) { seen.push_back("connected"); });
    bt().setBlockOnDisconnect(
        [&](auto&, auto&, const ErrorPtr& e) { seen.push_back(e ? "lost" : "cancelled"); });
    bt().scanForPeripherals().connectToPeripherals().begin();
    ASSERT_TRUE(MainLoop::runUntil([&] { return !seen.empty(); }, 2));
    bt().cancelScan();
    auto peripheral = bt().findConnectedPeripherals().at(0);
    bt().AutoReconnect(peripheral);
    bt().AutoReconnect(peripheral);
    EXPECT_EQ(impl().central->reConnectPeripherals().size(), 1u);
    kettle->loseLink();
    MainLoop::runFor(1);
    bt().AutoReconnectCancel(peripheral);
    bt().cancelPeripheralConnection(peripheral);
    MainLoop::runFor(1);
    EXPECT_EQ(seen, (Lines{"connected", "lost", "connected", "cancelled"}));

    auto record = qkExtensions(peripheral);
    EXPECT_TRUE(record->manualDisconnectTag);
    EXPECT_EQ(record->qkAdvertisementRSSI, -50);
    ASSERT_TRUE(record->qkAdvertiDictonary);
    EXPECT_EQ((*record->qkAdvertiDictonary)[CBAdvertisementDataLocalNameKey].text(),
              "korvo_ac_1a2b");
    auto capabilities = QKBLEProtocol::bleDeviceModelForAdvertisementData(peripheral);
    ASSERT_TRUE(capabilities);
    EXPECT_EQ((*capabilities)["deviceMac"].text(), "06:05:04:03:02:01");

    // Nothing stored yet: the advertisement is parsed (single module: 2 for type 4); with a
    // stored capability dictionary, that one counts.
    auto byName = [&](int64_t configType) {
        auto answer = Registry::shared().performClassSelector(
            "QKBLEProtocol",
            "bleModuleTypeForAdvertisementData:configType:", {peripheral, configType});
        return answer ? std::any_cast<int64_t>(*answer) : -1;
    };
    registerBleCore();
    EXPECT_EQ(byName(4), 2);
    EXPECT_EQ(byName(5), 99);
    record->qkSmartDictonary = Dictionary{{"moduleType", 3}, {"transportEnable", true}};
    EXPECT_EQ(byName(4), 3);
    EXPECT_EQ(QKBLEProtocol::bleModuleTypeForAdvertisementData(nullptr, 4), 2);
}

TEST_F(QKBluetoothTest, RestoreIdentifierOnlyForTheBluetoothCentralBackgroundMode) {
    EXPECT_FALSE(bt().centralManager()->restoreIdentifier());
    auto info = DeviceInfo::current();
    info.backgroundModes = {"audio", "bluetooth-central"};
    DeviceInfo::setCurrent(info);
    bt().resetCentralManager();
    DeviceInfo::resetForTesting();
    EXPECT_EQ(bt().centralManager()->restoreIdentifier(), "QKBluetoothBluetoothRestore");
    EXPECT_FALSE(
        bt().centralManager()->options()[CBCentralManagerOptionShowPowerAlertKey].boolValue());
}

TEST(CBPeripheralQKExtensions, AdvertisementWithoutManufacturerDataKeepsTheLastOne) {
    CBPeripheralQKExtensions record;
    EXPECT_FALSE(record.qkAdvertiDictonary || record.qkAdvertisementRSSI || record.qkAdvertising);
    const Dictionary named{{CBAdvertisementDataManufacturerDataKey, Bytes{0x17, 0x3D, 'o', 'k'}}};
    struct Case {
        std::optional<Dictionary> advertisement;
        std::optional<int> rssi;
        std::optional<std::string> advertising;
        bool stored;
    } cases[] = {
        {named, -40, "ok", true},
        {Dictionary{{CBAdvertisementDataLocalNameKey, "x"}}, -41, "ok", false},
        {std::nullopt, std::nullopt, "ok", false},
        {Dictionary{{CBAdvertisementDataManufacturerDataKey, Bytes{0x17, 0x3D, 0xFF}}}, -42,
         std::nullopt, true},
        {Dictionary{{CBAdvertisementDataManufacturerDataKey, Bytes{0x17}}}, -43, std::nullopt,
         true},
    };
    for (const auto& c : cases) {
        auto before = record.qkAdvertiDictonary;
        record.qk_setAdvertisementData(c.advertisement, c.rssi);
        EXPECT_EQ(record.qkAdvertisementRSSI, c.rssi);
        EXPECT_EQ(record.qkAdvertising, c.advertising);
        EXPECT_EQ(record.qkAdvertiDictonary, c.stored ? c.advertisement : before);
    }
}

TEST(QKBluetoothRhythm, BeatsBreakOverAndReleaseTheirTimer) {
    DeterministicDispatch mode;
    Lines seen, log;
    setPlainLogSink([&](std::string_view line) { log.emplace_back(line); });
    auto rhythm = QKBluetoothRhythm::create();
    rhythm->setBlockOnBeatsBreak([&](auto&) { seen.push_back("break"); });
    rhythm->setBlockOnBeatsOver([&](auto&) { seen.push_back("over"); });
    rhythm->beats();
    MainLoop::runFor(2.5);
    rhythm->beats();  // postpones the break
    MainLoop::runFor(2.9);
    EXPECT_TRUE(seen.empty());
    MainLoop::runFor(10);
    EXPECT_EQ(seen, Lines{"break"});  // once: the timer waits for the next beat
    rhythm->beats();
    rhythm->beatsOver();
    rhythm->beats();
    MainLoop::runFor(10);
    EXPECT_EQ(seen, (Lines{"break", "over"}));
    rhythm->beatsRestart();
    MainLoop::runFor(3.1);
    EXPECT_EQ(seen, (Lines{"break", "over", "break"}));

    // Replacing a beating rhythm releases its timer.
    rhythm->beats();
    std::weak_ptr<DispatchTimer> timer = rhythm->beatsTimer();
    rhythm = QKBluetoothRhythm::create();
    rhythm->beats();
    MainLoop::runFor(0.1);
    EXPECT_TRUE(timer.expired());
    MainLoop::runFor(5);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::count(log.begin(), log.end(), ">>>beats isOver"), 1);
    setPlainLogSink(test::quietPlainLog);
}

}  // namespace
}  // namespace telvo

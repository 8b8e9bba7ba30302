#include <gtest/gtest.h>

#include <algorithm>

#include "blecore/QKBluetooth.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKBluetoothToy.h"

namespace telvo {
namespace {

using sim::SimRadio;
using Lines = std::vector<std::string>;

class QKBluetoothPeripheralTest : public ::testing::Test {
  protected:
    QKBluetoothPeripheralTest() {
        NotificationCenter::resetForTesting();
        setPlainLogSink([this](std::string_view line) { log.emplace_back(line); });
        resetForTesting<QKBluetooth>();
        MainLoop::drain();
    }
    ~QKBluetoothPeripheralTest() override {
        setPlainLogSink(test::quietPlainLog);
        NotificationCenter::resetForTesting();
    }
    size_t count(const std::string& line) const {
        return static_cast<size_t>(std::count(log.begin(), log.end(), line));
    }
    std::shared_ptr<CBMutableService> service(const std::string& uuid) {
        auto s = makeCBService(uuid);
        makeCharacteristicToService(s, "FF91", "rn", "status");
        return s;
    }

    DeterministicDispatch mode_;
    sim::SimRadioScope radio{SimRadio::create(CBManagerState::PoweredOff)};
    // The facade of the moment: a reset makes a fresh one.
    QKBluetooth& bt() const { return *QKBluetooth::shareQKBluetooth(); }
    static QKBluetoothPeripheralManagerImpl& impl(QKBluetoothPeripheralManager& role) {
        return QKBluetoothPeripheralManagerImpl::of(role);
    }
    Lines log;
};

TEST_F(QKBluetoothPeripheralTest, AdvertisingWaitsForThePowerAndItsServicesWithoutALimit) {
    int poweredOnPosts = 0, stateBlocks = 0, added = 0;
    NotificationCenter::defaultCenter()->addObserverForName(CBPeripheralManagerStatePoweredOn,
                                                            nullptr, [&](const Notification& n) {
                                                                EXPECT_EQ(n.object, nullptr);
                                                                ++poweredOnPosts;
                                                            });
    bt().peripheralModelBlockOnPeripheralManagerDidUpdateState([&](auto&) { ++stateBlocks; });
    bt().peripheralModelBlockOnDidAddService([&](auto&, auto&, auto&) { ++added; });
    auto& role = bt().bePeripheralWithName("kettle-remote");
    role.addServices({service("FF90"), service("FFA0")});
    auto firstRetry = impl(role).addServiceTask;
    role.addServices({service("FF90"), service("FFA0")});  // replaces the pending retry
    EXPECT_TRUE(firstRetry->isCancelled());
    role.addManufacturerData(Bytes{0x17, 0x3D}).startAdvertising();

    // Eight waits of 3 s, the last three logged as errors; still waiting.
    MainLoop::runFor(3 * 8 - 0.5);
    EXPECT_EQ(impl(role).peripheralManagerInitWaitTimes, 8);
    EXPECT_EQ(count(">>> 第8次等待peripheralManager打开"), 1u);
    EXPECT_EQ(count(">>>error： 第5次等待peripheralManager打开任然失败，请检查蓝牙设备是否可用"),
              0u);
    EXPECT_EQ(count(">>>error： 第6次等待peripheralManager打开任然失败，请检查蓝牙设备是否可用"),
              1u);
    EXPECT_EQ(count(">>>error： 第8次等待peripheralManager打开任然失败，请检查蓝牙设备是否可用"),
              1u);
    EXPECT_TRUE(radio->log("advertise").empty());

    // Power on: the services go in once, then the next wait finds them and advertises.
    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(6.5);
    EXPECT_EQ(poweredOnPosts, 1);
    EXPECT_GE(stateBlocks, 1);
    EXPECT_EQ(added, 2);
    EXPECT_EQ(impl(role).didAddServices, 2);
    EXPECT_EQ(radio->log("add-service").size(), 2u);
    EXPECT_EQ(impl(role).peripheralManagerInitWaitTimes, 0);
    const Dictionary adv = radio->localAdvertisement();
    EXPECT_EQ(adv.keys(), (std::vector<std::string>{CBAdvertisementDataServiceUUIDsKey,
                                                    CBAdvertisementDataLocalNameKey,
                                                    CBAdvertisementDataManufacturerDataKey}));
    EXPECT_EQ(adv[CBAdvertisementDataServiceUUIDsKey], Value(Value::Array{"FF90", "FFA0"}));
    EXPECT_EQ(adv[CBAdvertisementDataLocalNameKey], Value("kettle-remote"));
    EXPECT_EQ(radio->log("advertise").size(), 1u);

    // Requests of a remote central reach the default channel's blocks.
    Lines requests;
    bt().peripheralModelBlockOnDidReceiveWriteRequests(
        [&](auto&, const std::vector<CBATTRequestPtr>& r) {
            requests.push_back("write " + test::toHex(r.at(0)->value.value_or(Bytes{})));
        });
    bt().peripheralModelBlockOnDidSubscribeToCharacteristic(
        [&](auto&, auto&, const CBCharacteristicPtr& c) {
            requests.push_back("subscribe " + c->UUID().UUIDString());
        });
    radio->centralWrite(CBUUID::UUIDWithString("FF91"), {0x01});
    radio->centralSubscribe(CBUUID::UUIDWithString("FF91"), true);
    MainLoop::runFor(0.5);
    EXPECT_EQ(requests, (Lines{"write 01", "subscribe FF91"}));
}

TEST_F(QKBluetoothPeripheralTest, StopAdvertisingCancelsThePendingRetry) {
    auto& role = bt().bePeripheral();
    EXPECT_EQ(role.localName(), QKBluetoothPeripheralManager::kDefaultLocalName);
    role.startAdvertising();
    MainLoop::runFor(1);
    role.stopAdvertising();
    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(10);
    EXPECT_TRUE(radio->log("advertise").empty());
    EXPECT_EQ(impl(role).peripheralManagerInitWaitTimes, 1);

    // Without services or manufacturer data: two keys.
    role.startAdvertising();
    MainLoop::runFor(0.5);
    EXPECT_EQ(radio->localAdvertisement().keys(),
              (std::vector<std::string>{CBAdvertisementDataServiceUUIDsKey,
                                        CBAdvertisementDataLocalNameKey}));
    role.removeAllServices();
    EXPECT_EQ(impl(role).didAddServices, 0);
}

TEST(QKBluetoothPeripheralBuilders, CharacteristicsFromLettersAndDescriptions) {
    struct Case {
        std::optional<std::string> letters;
        uint32_t properties;
    } cases[] = {{"rn", 18}, {"x", 0}, {"", 10}, {std::nullopt, 10}, {"nwr", 26}, {"w", 8}};
    auto s = makeCBService("FF90");
    EXPECT_TRUE(s->isPrimary());
    for (const auto& c : cases) makeCharacteristicToService(s, genUUID(), c.letters, "");
    makeStaticCharacteristicToService(s, "FF9F", "fixed", {0x01, 0x02});
    ASSERT_EQ(s->characteristics().size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto c = std::static_pointer_cast<CBMutableCharacteristic>(s->characteristics()[i]);
        EXPECT_EQ(c->properties(), cases[i].properties) << i;
        EXPECT_EQ(c->permissions(), 3u);
        EXPECT_TRUE(c->descriptors().empty());
        EXPECT_EQ(c->service(), s);
    }
    auto fixed = std::static_pointer_cast<CBMutableCharacteristic>(s->characteristics().back());
    EXPECT_EQ(fixed->properties(), 2u);
    EXPECT_EQ(fixed->permissions(), 1u);
    EXPECT_EQ(fixed->value(), (Bytes{0x01, 0x02}));
    ASSERT_EQ(fixed->descriptors().size(), 1u);
    EXPECT_EQ(fixed->descriptors()[0]->UUID().UUIDString(), "2901");
    EXPECT_EQ(fixed->descriptors()[0]->value(), Value("fixed"));
    EXPECT_EQ(QKBluetoothToy::findCharacteristicFormServices({s}, "FF9F"), fixed);
    EXPECT_EQ(QKBluetoothToy::findCharacteristicFormServices({s}, "ff9f"), nullptr);
    EXPECT_NE(genUUID(), genUUID());
    EXPECT_EQ(genUUID().size(), 36u);
}

TEST(QKBluetoothToy, ConversionsOnTheirEdges) {
    using T = QKBluetoothToy;
    const std::pair<std::string, std::optional<std::string>> hexToText[] = {
        {"", ""},
        {"4", ""},
        {"41424", "AB"},
        {"410042", "A"},
        {"e4bda0", "\xe4\xbd\xa0"},
        {"ff", std::nullopt},
        {"4g", "\x04"},
        // Not a hex decoder: a zero byte ends the text, bytes that are no UTF-8 give none.
        {"0011ff", ""},
        {"30820198", std::nullopt},
    };
    for (const auto& [hex, text] : hexToText) {
        EXPECT_EQ(T::ConvertHexStringToString(hex), text) << hex;
        EXPECT_EQ(T::ConvertHexStringToData(hex),
                  text ? std::optional<Bytes>(Bytes(text->begin(), text->end())) : std::nullopt);
    }
    EXPECT_EQ(T::ConvertStringToHexString("\x0a\xff"), "0aff");
    EXPECT_EQ(T::ConvertStringToHexString(""), "");
    EXPECT_EQ(T::ConvertIntToData(-2), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(T::ConvertIntToData(INT32_MIN), (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(T::ConvertDataToInt(Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0x12}), -2);
    EXPECT_EQ(T::ConvertDataToInt(Bytes{0x01, 0x02}), 0x0201);
    EXPECT_EQ(T::ConvertDataToInt(Bytes{}), 0);
}

}  // namespace
}  // namespace telvo

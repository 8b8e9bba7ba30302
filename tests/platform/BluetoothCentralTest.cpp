#include <gtest/gtest.h>

#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/BluetoothRecorders.h"
#include "sim/SimRadio.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using sim::SimBleAppliance;
using sim::SimRadio;

// Echoes every write to the configuration service back as a notification, reversed.
class EchoBehaviour : public sim::SimBleBehaviour {
  public:
    explicit EchoBehaviour(CBUUID notify) : notify_(notify) {}
    CBATTError onWrite(SimBleAppliance& a, const CBUUID&, const Bytes& value, bool) override {
        a.notify(notify_, Bytes(value.rbegin(), value.rend()));
        return CBATTError::Success;
    }

  private:
    CBUUID notify_;
};

class BluetoothCentral : public ::testing::Test {
  protected:
    CBCentralManagerPtr makeManager() { return createCentralManager(recorder, nullptr, {}, radio); }
    // Scans until the appliance is seen, connects and waits for the connection.
    CBPeripheralPtr connect(const std::shared_ptr<SimBleAppliance>& appliance) {
        manager->scanForPeripheralsWithServices(std::nullopt);
        CBPeripheralPtr peripheral;
        MainLoop::runUntil(
            [&] {
                for (const auto& p : recorder->found)
                    if (p->identifier().UUIDString() == appliance->identifier()) peripheral = p;
                return peripheral != nullptr;
            },
            5);
        manager->stopScan();
        if (!peripheral) return nullptr;
        peripheral->setDelegate(recorder);
        manager->connectPeripheral(peripheral);
        EXPECT_EQ(peripheral->state(), CBPeripheralState::Connecting);
        return peripheral;
    }
    bool waitFor(const std::string& line, double timeout = 5) {
        return MainLoop::runUntil(
            [&] {
                return std::find(recorder->events.begin(), recorder->events.end(), line) !=
                       recorder->events.end();
            },
            timeout);
    }

    DeterministicDispatch mode_;
    std::shared_ptr<SimRadio> radio = SimRadio::create();
    std::shared_ptr<test::CentralRecorder> recorder = std::make_shared<test::CentralRecorder>();
    CBCentralManagerPtr manager = makeManager();
};

TEST(BluetoothTypes, UuidsReadAndPrint) {
    struct Case {
        const char* text;
        std::optional<std::string> printed;
        size_t dataLength;
    } cases[] = {
        {"ff80", "FF80", 2},
        {"FD24", "FD24", 2},
        {"0000FF80-0000-1000-8000-00805f9b34fb", "FF80", 2},
        {"1234abcd", "1234ABCD", 4},
        {"12345678-1234-1234-1234-123456789abc", "12345678-1234-1234-1234-123456789ABC", 16},
        {"ff8", std::nullopt, 0},
        {"ff8g", std::nullopt, 0},
        {"12345678x1234-1234-1234-123456789abc", std::nullopt, 0},
        {"", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        auto uuid = CBUUID::fromString(c.text);
        ASSERT_EQ(uuid.has_value(), c.printed.has_value()) << c.text;
        if (!uuid) continue;
        EXPECT_EQ(uuid->UUIDString(), *c.printed) << c.text;
        EXPECT_EQ(uuid->data().size(), c.dataLength) << c.text;
        EXPECT_EQ(CBUUID::fromData(uuid->data()), uuid) << c.text;
    }
    EXPECT_THROW(CBUUID::UUIDWithString("xyz"), std::invalid_argument);
    auto id = NSUUID::fromString("5e1a0000-0000-4000-8000-00000000000a");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->UUIDString(), "5E1A0000-0000-4000-8000-00000000000A");
    EXPECT_FALSE(NSUUID::fromString("FF80"));
    EXPECT_NE(NSUUID::random(), NSUUID::random());
}

TEST_F(BluetoothCentral, PowerStatesArriveInOrderAndAScanWhilePoweredOffFindsNothing) {
    auto appliance = radio->addAppliance("kettle");
    EXPECT_TRUE(recorder->events.empty());  // never inside create()
    EXPECT_EQ(manager->state(), CBManagerState::Unknown);
    radio->setState(CBManagerState::PoweredOff);
    radio->setState(CBManagerState::PoweredOn);
    radio->setState(CBManagerState::PoweredOff);
    EXPECT_TRUE(recorder->events.empty());
    MainLoop::runFor(0.01);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"state PoweredOn", "state PoweredOff",
                                                          "state PoweredOn", "state PoweredOff"}));
    EXPECT_EQ(manager->state(), CBManagerState::PoweredOff);

    manager->scanForPeripheralsWithServices(std::nullopt);
    EXPECT_FALSE(manager->isScanning());
    radio->setState(CBManagerState::PoweredOn);
    MainLoop::runFor(2);
    EXPECT_TRUE(recorder->found.empty());
}

TEST_F(BluetoothCentral, ScanReportsAdvertisersWithTheirDataAndRssiUntilStopped) {
    struct Advertiser {
        const char* name;
        std::vector<int> rssi;
    } advertisers[] = {
        {"korvo_ac_1234", {-40}}, {"zubo_b1_abcd", {-70, -72, 127}}, {"other", {127, -65}}};
    for (const auto& a : advertisers) {
        auto appliance = radio->addAppliance(std::string("gap-") + a.name);
        appliance->localName = a.name;
        appliance->manufacturerData = Bytes{0x4B, 0x00, 0x01};
        appliance->rssi = a.rssi;
        appliance->addConfigService();
        appliance->advertisedServices = {CBUUID::UUIDWithString("FF80")};
    }
    MainLoop::runFor(0.01);
    manager->scanForPeripheralsWithServices(std::nullopt,
                                            {{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
    MainLoop::runFor(0.45);  // four advertisements each
    manager->stopScan();
    ASSERT_EQ(recorder->found.size(), 3u);
    EXPECT_EQ(recorder->rssi["gap-korvo_ac_1234"], (std::vector<int>{-40, -40, -40, -40}));
    EXPECT_EQ(recorder->rssi["gap-zubo_b1_abcd"], (std::vector<int>{-70, -72, 127, 127}));
    EXPECT_EQ(recorder->rssi["gap-other"], (std::vector<int>{127, -65, -65, -65}));
    EXPECT_EQ(recorder->advertisements.back()[CBAdvertisementDataLocalNameKey].text(), "other");
    EXPECT_EQ(recorder->advertisements.back()[CBAdvertisementDataManufacturerDataKey].bytes(),
              (Bytes{0x4B, 0x00, 0x01}));
    EXPECT_EQ(recorder->advertisements.back()[CBAdvertisementDataServiceUUIDsKey].at(0).text(),
              "FF80");

    recorder->rssi.clear();
    MainLoop::runFor(2);
    EXPECT_TRUE(recorder->rssi.empty());

    // Without duplicates each advertiser is reported once; a service filter keeps others out.
    radio->addAppliance("silent")->advertisedServices = {CBUUID::UUIDWithString("FD24")};
    manager->scanForPeripheralsWithServices(std::vector{CBUUID::UUIDWithString("FF80")});
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->rssi.size(), 3u);
    for (const auto& [name, values] : recorder->rssi) EXPECT_EQ(values.size(), 1u) << name;
}

struct Layout {
    const char* service;
    const char* write;
    const char* notify;
};

class BluetoothCentralGatt : public BluetoothCentral,
                             public ::testing::WithParamInterface<Layout> {};

TEST_P(BluetoothCentralGatt, DiscoversNotifiesWritesAndReceives) {
    const Layout& layout = GetParam();
    const std::string service = layout.service, write = layout.write, notify = layout.notify;
    auto appliance = radio->addAppliance("appliance");
    appliance->addConfigService(service, write, notify);
    appliance->attMtu = 23;
    appliance->rssi = {-58};
    appliance->setBehaviour(std::make_shared<EchoBehaviour>(CBUUID::UUIDWithString(notify)));
    MainLoop::runFor(0.01);

    auto peripheral = connect(appliance);
    ASSERT_TRUE(peripheral);
    ASSERT_TRUE(waitFor("connected"));
    EXPECT_EQ(peripheral->state(), CBPeripheralState::Connected);
    EXPECT_EQ(
        manager->retrievePeripheralsWithIdentifiers({peripheral->identifier(), NSUUID::random()}),
        std::vector{peripheral});
    EXPECT_EQ(manager->retrieveConnectedPeripheralsWithServices({CBUUID::UUIDWithString(service)}),
              std::vector{peripheral});

    peripheral->discoverServices(std::nullopt);
    ASSERT_TRUE(waitFor("services " + service + " nil"));
    auto gatt = peripheral->services().at(0);
    EXPECT_EQ(gatt->peripheral(), peripheral);
    peripheral->discoverCharacteristics(std::nullopt, gatt);
    ASSERT_TRUE(waitFor("characteristics " + service + " " + write + ":12 " + notify + ":16 nil"));
    auto writeChar = gatt->characteristics().at(0);
    auto notifyChar = gatt->characteristics().at(1);
    EXPECT_EQ(notifyChar->service(), gatt);

    // Nothing is notified before it is enabled.
    EXPECT_FALSE(appliance->notify(CBUUID::UUIDWithString(notify), {1}));
    peripheral->discoverDescriptorsForCharacteristic(notifyChar);
    ASSERT_TRUE(waitFor("descriptors " + notify + " 2902 nil"));
    peripheral->setNotifyValue(true, notifyChar);
    ASSERT_TRUE(waitFor("notifying " + notify + " 1 nil"));
    peripheral->readValueForDescriptor(notifyChar->descriptors().at(0));
    ASSERT_TRUE(waitFor("descriptor 2902 1 nil"));

    // With response: acknowledged after the radio's delay, then the echo arrives.
    double sent = Clock::now();
    peripheral->writeValue({1, 2, 3}, writeChar, CBCharacteristicWriteType::WithResponse);
    ASSERT_TRUE(waitFor("written " + write + " nil"));
    EXPECT_NEAR(Clock::now() - sent, appliance->writeResponseDelay, 1e-6);
    ASSERT_TRUE(waitFor("value " + notify + " nil 030201"));

    // Without response: pieces of the write length; a longer piece is dropped.
    const size_t piece =
        peripheral->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse);
    EXPECT_EQ(piece, 20u);
    EXPECT_EQ(peripheral->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithResponse),
              512u);
    Bytes frame(45);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    radio->clearLog();
    recorder->events.clear();
    for (size_t at = 0; at < frame.size(); at += piece)
        peripheral->writeValue(
            Bytes(frame.begin() + at, frame.begin() + std::min(frame.size(), at + piece)),
            writeChar, CBCharacteristicWriteType::WithoutResponse);
    peripheral->writeValue(Bytes(21), writeChar, CBCharacteristicWriteType::WithoutResponse);
    MainLoop::runFor(1);
    auto pieces = radio->log("write-without-response");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[2].data, Bytes(frame.begin() + 40, frame.end()));
    EXPECT_EQ(radio->log("write-dropped").size(), 1u);
    // Three echoes, no write callbacks.
    EXPECT_EQ(recorder->events.size(), 3u);
    EXPECT_EQ(recorder->events.back(), "value " + notify + " nil 2c2b2a2928");

    peripheral->readRSSI();
    ASSERT_TRUE(waitFor("rssi -58 nil"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, BluetoothCentralGatt,
                         ::testing::Values(Layout{"FF80", "FF81", "FF82"},
                                           Layout{"FD24", "FF31", "FF32"}));

TEST_F(BluetoothCentral, FailedAndHangingConnections) {
    auto failing = radio->addAppliance("failing");
    failing->connectOutcome = SimBleAppliance::ConnectOutcome::Fail;
    auto hanging = radio->addAppliance("hanging");
    hanging->connectOutcome = SimBleAppliance::ConnectOutcome::Hang;
    MainLoop::runFor(0.01);

    auto p = connect(failing);
    ASSERT_TRUE(p);
    ASSERT_TRUE(waitFor("failed CBErrorDomain/10 state 0"));

    recorder->events.clear();
    auto q = connect(hanging);
    ASSERT_TRUE(q);
    MainLoop::runFor(60);
    EXPECT_EQ(q->state(), CBPeripheralState::Connecting);
    EXPECT_TRUE(recorder->events.empty());
    manager->cancelPeripheralConnection(q);
    manager->cancelPeripheralConnection(q);
    EXPECT_EQ(q->state(), CBPeripheralState::Disconnecting);
    MainLoop::runFor(60);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"disconnected nil state 0"});
}

// Drops the link when a write arrives.
class DropOnWrite : public sim::SimBleBehaviour {
  public:
    CBATTError onWrite(SimBleAppliance& a, const CBUUID&, const Bytes&, bool) override {
        a.loseLink();
        return CBATTError::Success;
    }
};

class BluetoothCentralConnected : public BluetoothCentral {
  protected:
    void SetUp() override {
        appliance->addConfigService();
        MainLoop::runFor(0.01);
        peripheral = connect(appliance);
        ASSERT_TRUE(peripheral);
        ASSERT_TRUE(waitFor("connected"));
        peripheral->discoverServices(std::nullopt);
        ASSERT_TRUE(waitFor("services FF80 nil"));
        peripheral->discoverCharacteristics(std::nullopt, peripheral->services().at(0));
        ASSERT_TRUE(waitFor("characteristics FF80 FF81:12 FF82:16 nil"));
        writeChar = peripheral->services().at(0)->characteristics().at(0);
        notifyChar = peripheral->services().at(0)->characteristics().at(1);
        peripheral->setNotifyValue(true, notifyChar);
        ASSERT_TRUE(waitFor("notifying FF82 1 nil"));
        recorder->events.clear();
    }
    std::shared_ptr<SimBleAppliance> appliance = radio->addAppliance("appliance");
    CBPeripheralPtr peripheral;
    CBCharacteristicPtr writeChar, notifyChar;
};

TEST_F(BluetoothCentralConnected, LinkLossDuringAWriteEndsInOneDisconnection) {
    appliance->setBehaviour(std::make_shared<DropOnWrite>());
    peripheral->writeValue({9}, writeChar, CBCharacteristicWriteType::WithResponse);
    MainLoop::runFor(10);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"disconnected CBErrorDomain/7 state 0"});
    EXPECT_FALSE(notifyChar->isNotifying());
    EXPECT_FALSE(appliance->isConnected());
    // Commands on a disconnected peripheral do nothing.
    peripheral->writeValue({9}, writeChar, CBCharacteristicWriteType::WithResponse);
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events.size(), 1u);
}

TEST_F(BluetoothCentralConnected, NothingButTheDisconnectionArrivesAfterCancel) {
    peripheral->writeValue({1}, writeChar, CBCharacteristicWriteType::WithResponse);
    appliance->notify(CBUUID::UUIDWithString("FF82"), {2});
    MainLoop::runFor(0.005);  // the notification and the acknowledgement are on their way
    manager->cancelPeripheralConnection(peripheral);
    MainLoop::runFor(10);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"disconnected nil state 0"});
    EXPECT_FALSE(appliance->isConnected());
}

TEST_F(BluetoothCentralConnected, OwnerMayReleaseThePeripheralInsideAnEvent) {
    std::weak_ptr<CBPeripheral> weak = peripheral;
    recorder->after = [&](const std::string& line) {
        if (line.rfind("value", 0) == 0) {
            manager->cancelPeripheralConnection(peripheral);
            peripheral.reset();
            writeChar.reset();
            notifyChar.reset();
            recorder->found.clear();
        }
    };
    appliance->notify(CBUUID::UUIDWithString("FF82"), {1});
    appliance->notify(CBUUID::UUIDWithString("FF82"), {2});
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"value FF82 nil 01", "disconnected nil state 0"}));
    EXPECT_TRUE(weak.expired());
}

TEST_F(BluetoothCentralConnected, OwnerMayReleaseTheManagerInsideAnEvent) {
    recorder->after = [&](const std::string& line) {
        if (line.rfind("value", 0) == 0) manager.reset();
    };
    appliance->notify(CBUUID::UUIDWithString("FF82"), {1});
    appliance->notify(CBUUID::UUIDWithString("FF82"), {2});
    peripheral->writeValue({1}, writeChar, CBCharacteristicWriteType::WithResponse);
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events, std::vector<std::string>{"value FF82 nil 01"});
    EXPECT_FALSE(appliance->isConnected());
    EXPECT_EQ(peripheral->state(), CBPeripheralState::Disconnected);
    peripheral->readRSSI();  // the manager is gone: nothing happens
    MainLoop::runFor(1);
    EXPECT_EQ(recorder->events.size(), 1u);
}

}  // namespace
}  // namespace telvo

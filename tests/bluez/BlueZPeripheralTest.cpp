#include <mutex>

#include "bluez/BlueZFixture.h"
#include "platform/bluetooth/BluetoothManagers.h"

namespace telvo::test {
namespace {

using V = DBusValue;

class BlueZPeripheral : public BlueZFixture {
  protected:
    void SetUp() override {
        BlueZFixture::SetUp();
        local = std::make_shared<PeripheralRecorder>();
        // Reads of FFE1 are answered with readValue; writes with writeResult.
        local->readValue = Bytes{0x10, 0x20, 0x30};
        local->writeResult = CBATTError::Success;
        manager = createPeripheralManager(local, nullptr, {}, radio);
        ASSERT_TRUE(until([&] { return manager->state() == CBManagerState::PoweredOn; }));

        using namespace CBCharacteristicProperty;
        service = CBMutableService::create(CBUUID::UUIDWithString("FFE0"), true);
        settings = CBMutableCharacteristic::create(
            CBUUID::UUIDWithString("FFE1"), Read | Write, std::nullopt,
            CBAttributePermission::Readable | CBAttributePermission::Writeable);
        reports = CBMutableCharacteristic::create(CBUUID::UUIDWithString("FFE2"), Notify,
                                                  std::nullopt, CBAttributePermission::Readable);
        auto version = CBMutableCharacteristic::create(
            CBUUID::UUIDWithString("FFE3"), Read, Bytes{0x42}, CBAttributePermission::Readable);
        service->setCharacteristics({settings, reports, version});
    }
    void TearDown() override {
        manager.reset();
        BlueZFixture::TearDown();
    }

    // A remote central's call on a local characteristic, through BlueZ; waits for the answer.
    DBusReply remote(const char* uuid, std::string member, std::string signature,
                     std::vector<V> args) {
        struct Answer {
            std::mutex mutex;
            std::optional<DBusReply> reply;
        };
        auto answer = std::make_shared<Answer>();
        bluez->centralCall(CBUUID::UUIDWithString(uuid), std::move(member), std::move(signature),
                           std::move(args), [answer](const DBusReply& reply) {
                               std::lock_guard lock(answer->mutex);
                               answer->reply = reply;
                           });
        until([&] {
            std::lock_guard lock(answer->mutex);
            return answer->reply.has_value();
        });
        std::lock_guard lock(answer->mutex);
        return answer->reply.value_or(DBusReply{{"test.NoAnswer", "no answer"}, {}});
    }
    static V noOptions() { return V::propertyMap({}); }

    std::shared_ptr<PeripheralRecorder> local;
    CBPeripheralManagerPtr manager;
    std::shared_ptr<CBMutableService> service;
    std::shared_ptr<CBMutableCharacteristic> settings, reports;
};

// A local service as a GATT application and an advertisement, as BlueZ reads them from the
// phone; remote centrals' reads, writes and subscriptions reach the app and its answers go back.
TEST_F(BlueZPeripheral, ServesRemoteCentralsThroughBlueZ) {
    manager->addService(service);
    ASSERT_TRUE(until([&] { return local->saw("added FFE0 nil"); }));
    auto apps = bluez->applications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].services, std::vector<std::string>{"FFE0"});
    EXPECT_EQ(apps[0].characteristics["FFE1"].second, (std::vector<std::string>{"read", "write"}));
    EXPECT_EQ(apps[0].characteristics["FFE2"].second, std::vector<std::string>{"notify"});

    manager->startAdvertising({{CBAdvertisementDataLocalNameKey, "phone"},
                               {CBAdvertisementDataServiceUUIDsKey, Value::Array{"FFE0"}}});
    ASSERT_TRUE(until([&] { return local->saw("advertising nil"); }));
    auto advertisement = bluez->advertisement();
    EXPECT_EQ(advertisement["Type"].asString(), "peripheral");
    EXPECT_EQ(advertisement["LocalName"].asString(), "phone");
    EXPECT_EQ(advertisement["ServiceUUIDs"].asStringArray(),
              (std::vector<std::string>{"0000ffe0-0000-1000-8000-00805f9b34fb"}));

    // Reads: the app's answer, and a fixed value without asking the app.
    auto read = remote("FFE1", "ReadValue", "a{sv}", {noOptions()});
    ASSERT_TRUE(read.ok()) << read.error.message;
    EXPECT_EQ(read.values.at(0).asBytes(), *local->readValue);
    EXPECT_TRUE(local->saw("read FFE1"));
    auto fixed = remote("FFE3", "ReadValue", "a{sv}", {noOptions()});
    ASSERT_TRUE(fixed.ok()) << fixed.error.message;
    EXPECT_EQ(fixed.values.at(0).asBytes(), Bytes{0x42});
    EXPECT_FALSE(local->saw("read FFE3"));

    // Writes: accepted, then refused with BlueZ's error for the app's result.
    auto written = remote("FFE1", "WriteValue", "aya{sv}", {V::ofBytes({1, 2, 3}), noOptions()});
    EXPECT_TRUE(written.ok()) << written.error.message;
    local->writeResult = CBATTError::WriteNotPermitted;
    auto refused = remote("FFE1", "WriteValue", "aya{sv}", {V::ofBytes({4}), noOptions()});
    EXPECT_EQ(refused.error.name, "org.bluez.Error.NotPermitted");
    EXPECT_EQ(local->written, (std::vector<Bytes>{{1, 2, 3}, {4}}));

    // Subscriptions.
    EXPECT_TRUE(remote("FFE2", "StartNotify", "", {}).ok());
    ASSERT_TRUE(until([&] { return local->saw("subscribed FFE2"); }));
    EXPECT_TRUE(manager->updateValue({0xAB}, reports));
    EXPECT_TRUE(remote("FFE2", "StopNotify", "", {}).ok());
    ASSERT_TRUE(until([&] { return local->saw("unsubscribed FFE2"); }));

    // Withdrawn: BlueZ forgets the advertisement and the application.
    manager->stopAdvertising();
    manager->removeService(service);
    EXPECT_TRUE(until([&] { return bluez->advertisement().empty(); }));
    EXPECT_TRUE(until([&] { return bluez->applications().empty(); }));
    EXPECT_FALSE(remote("FFE1", "ReadValue", "a{sv}", {noOptions()}).ok());
}

// Quick updates of a notifying characteristic each reach BlueZ with their own value, in order
// (a repeated value too), never merged into a later one.
TEST_F(BlueZPeripheral, QuickUpdatesReachBlueZEachWithItsValueInOrder) {
    manager->addService(service);
    ASSERT_TRUE(until([&] { return local->saw("added FFE0 nil"); }));
    EXPECT_TRUE(remote("FFE2", "StartNotify", "", {}).ok());
    ASSERT_TRUE(until([&] { return local->saw("subscribed FFE2"); }));
    const std::vector<Bytes> chunks = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {4, 4}, {1, 1}};
    for (const auto& chunk : chunks) EXPECT_TRUE(manager->updateValue(chunk, reports));
    const auto uuid = CBUUID::UUIDWithString("FFE2");
    ASSERT_TRUE(until([&] { return bluez->valuesAnnounced(uuid).size() >= chunks.size(); }));
    EXPECT_EQ(bluez->valuesAnnounced(uuid), chunks);
}

// BlueZ's refusals reach the app as the errors it knows.
TEST_F(BlueZPeripheral, RefusalsOfBlueZ) {
    manager->startAdvertising({{CBAdvertisementDataLocalNameKey, "phone"}});
    ASSERT_TRUE(until([&] { return local->saw("advertising nil"); }));
    // The adapter holds one advertisement from another program already.
    auto other = std::make_shared<PeripheralRecorder>();
    auto second = createPeripheralManager(other, nullptr, {}, radio);
    ASSERT_TRUE(until([&] { return second->state() == CBManagerState::PoweredOn; }));
    second->startAdvertising({{CBAdvertisementDataLocalNameKey, "other"}});
    ASSERT_TRUE(until([&] { return other->events.size() >= 2; }));
    EXPECT_EQ(other->events.back(), "advertising CBErrorDomain/4");

    // The adapter loses its power: the advertisement ends with it.
    bluez->setPowered(false);
    ASSERT_TRUE(until([&] { return local->saw("state PoweredOff"); }));
    EXPECT_FALSE(manager->isAdvertising());
}

}  // namespace
}  // namespace telvo::test

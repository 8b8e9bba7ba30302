#include <chrono>
#include <future>
#include <thread>

#include "bluez/BlueZFixture.h"

namespace telvo::test {
namespace {

using BlueZCentral = BlueZFixture;

// The discovery calls the fake received, in order, from the index on.
std::vector<std::string> discoveryCalls(const sim::FakeBlueZ& bluez, size_t from = 0) {
    std::vector<std::string> out;
    const auto calls = bluez.calls();
    for (size_t i = from; i < calls.size(); ++i)
        for (const char* member : {"SetDiscoveryFilter", "StartDiscovery", "StopDiscovery"})
            if (calls[i].rfind(std::string(member) + " ", 0) == 0) out.push_back(member);
    return out;
}

// Scan, link, GATT layout, a write that reaches the appliance and its notifications back.
TEST_F(BlueZCentral, LinkWritesAndNotificationsReachTheAppliance) {
    auto p = linkUp();
    ASSERT_TRUE(p) << ::testing::PrintToString(recorder->events);
    EXPECT_TRUE(recorder->saw("services FF80 nil"));
    EXPECT_TRUE(recorder->saw("characteristics FF80 FF81:12 FF82:16 nil"));
    EXPECT_EQ(p->maximumWriteValueLengthForType(CBCharacteristicWriteType::WithoutResponse),
              module->appliance().attMtu - 3u);

    p->writeValue({0x01, 0x02, 0x03}, characteristic(p, "FF81"),
                  CBCharacteristicWriteType::WithResponse);
    ASSERT_TRUE(waitFor("written FF81 nil"));
    EXPECT_TRUE(until([&] { return !module->log("unreadable").empty(); }));

    // Two equal notifications arrive as two.
    module->perform([](sim::SimBleModule& m) { m.notifyRaw({0xAA, 0xBB}); });
    module->perform([](sim::SimBleModule& m) { m.notifyRaw({0xAA, 0xBB}); });
    ASSERT_TRUE(until([&] { return recorder->notifications.size() == 2; }));
    EXPECT_EQ(recorder->notifications[1], (Bytes{0xAA, 0xBB}));
}

// BlueZ announces every value it reads as a change of Value: with notifications on, each read
// is still reported once, and the notifications between the reads once each.
TEST_F(BlueZCentral, AReadWhileNotifyingIsReportedOnce) {
    // Readable, before the radio sees the database.
    auto* notify = module->appliance().characteristic(CBUUID::UUIDWithString("FF82"));
    notify->properties |= CBCharacteristicProperty::Read;
    notify->value = {0x5A};
    auto p = linkUp();
    ASSERT_TRUE(p) << ::testing::PrintToString(recorder->events);
    auto c = characteristic(p, "FF82");
    // The notification after each read comes after the read's answer and its announcement.
    for (uint8_t after : {0xA1, 0xA2}) {
        p->readValueForCharacteristic(c);
        ASSERT_TRUE(until([&] {
            return !recorder->notifications.empty() &&
                   recorder->notifications.back() == Bytes{0x5A};
        }));
        module->perform([after](sim::SimBleModule& m) { m.notifyRaw({after}); });
        ASSERT_TRUE(until([&] { return recorder->notifications.back() == Bytes{after}; }));
    }
    EXPECT_EQ(recorder->notifications, (std::vector<Bytes>{{0x5A}, {0xA1}, {0x5A}, {0xA2}}))
        << ::testing::PrintToString(recorder->events);
}

// A scan stopped while its discovery filter is on its way to BlueZ never starts discovery; the
// next scan sets its own filter first.
TEST_F(BlueZCentral, AScanStoppedWhileItsFilterIsOnItsWayNeverStarts) {
    const size_t from = bluez->calls().size();
    // On the radio's queue: the filter's answer cannot come in between.
    radio->queue()->sync([&] {
        central->scanForPeripheralsWithServices(std::nullopt);
        central->stopScan();
    });
    central->scanForPeripheralsWithServices(std::vector<CBUUID>{CBUUID::UUIDWithString("FF80")});
    ASSERT_TRUE(until([&] { return bluez->discovering(); }));
    EXPECT_EQ(
        discoveryCalls(*bluez, from),
        (std::vector<std::string>{"SetDiscoveryFilter", "SetDiscoveryFilter", "StartDiscovery"}));
}

// The radio delivers events with its lock released: a sink that asks the radio something,
// here from another thread, gets its answer while the sink still runs.
TEST_F(BlueZCentral, ASinkMayCallTheRadio) {
    std::mutex mutex;
    std::vector<bool> answered;
    auto client = radio->attach([&, radio = radio](const RadioEvent&) {
        auto done = std::make_shared<std::promise<void>>();
        auto answer = done->get_future();
        std::thread([radio, done] {
            radio->state();
            done->set_value();
        }).detach();
        const bool ok = answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        std::lock_guard lock(mutex);
        answered.push_back(ok);
    });
    ASSERT_TRUE(until([&] {
        std::lock_guard lock(mutex);
        return !answered.empty();
    }));
    radio->detach(client);
    std::lock_guard lock(mutex);
    EXPECT_EQ(answered, std::vector<bool>{true});
}

}  // namespace
}  // namespace telvo::test

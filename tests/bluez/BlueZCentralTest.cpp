#include "bluez/BlueZFixture.h"

namespace telvo::test {
namespace {

using BlueZCentral = BlueZFixture;

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

}  // namespace
}  // namespace telvo::test

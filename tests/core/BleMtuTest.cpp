#include <gtest/gtest.h>

#include "core/QKTool.h"
#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimRadio.h"

namespace telvo {
namespace {

class Finder : public CBCentralManagerDelegate {
  public:
    void centralManagerDidDiscoverPeripheral(const CBCentralManagerPtr&, const CBPeripheralPtr& p,
                                             const Dictionary&, int) override {
        peripheral = p;
    }
    CBPeripheralPtr peripheral;
};

TEST(QKToolBle, MtuIsTheSmallerWriteLengthButAtLeast20) {
    DeterministicDispatch mode;
    EXPECT_EQ(QKTool::getBleMTUWithPeripheral(nullptr), 20);
    struct Case {
        uint16_t attMtu;
        size_t withResponse;
        int64_t expected;
    } cases[] = {{185, 512, 182}, {23, 512, 20}, {20, 512, 20}, {247, 100, 100}, {185, 8, 20}};
    for (const auto& c : cases) {
        auto radio = sim::SimRadio::create();
        auto appliance = radio->addAppliance("a");
        appliance->attMtu = c.attMtu;
        appliance->maxWriteWithResponse = c.withResponse;
        auto finder = std::make_shared<Finder>();
        auto manager = createCentralManager(finder, nullptr, {}, radio);
        MainLoop::runFor(0.01);
        manager->scanForPeripheralsWithServices(std::nullopt);
        ASSERT_TRUE(MainLoop::runUntil([&] { return finder->peripheral != nullptr; }, 5));
        EXPECT_EQ(QKTool::getBleMTUWithPeripheral(finder->peripheral), 20);  // not connected
        manager->connectPeripheral(finder->peripheral);
        ASSERT_TRUE(MainLoop::runUntil([&] { return appliance->isConnected(); }, 5));
        MainLoop::runFor(0.01);
        EXPECT_EQ(QKTool::getBleMTUWithPeripheral(finder->peripheral), c.expected) << c.attMtu;
    }
}

}  // namespace
}  // namespace telvo

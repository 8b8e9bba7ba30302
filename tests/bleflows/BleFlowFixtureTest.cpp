#include "BleFlowFixture.h"
#include "bleflows/QKBleSpecialModeConnect.h"

namespace telvo::test {
namespace {

using Fixture = BleFlowFixture;

// The fixture's appliance is found, connected and keyed by a flow.
TEST_F(Fixture, FlowConnectsAndKeys) {
    makeModule(2);
    auto params = scan();
    auto flow = QKBLEBaseConnect::initWithParam<QKBleSpecialModeConnect>(params);
    flow->statConfig(params, progress(), completion());
    MainLoop::runUntil([&] { return steps.size() >= 4; }, 10);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));
    flow->stopConfig();
}

}  // namespace
}  // namespace telvo::test

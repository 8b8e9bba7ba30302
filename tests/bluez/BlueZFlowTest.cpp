#include <gtest/gtest.h>

#include "sim/SimBlueZHome.h"
#include "telvosdk/QKDevice.h"

namespace telvo::test {
namespace {

using sim::SimBleFlowKind;

SimBleFlowKind flowNamed(const std::string& command) {
    for (const auto& flow : sim::simBleFlowKinds())
        if (flow.command == command) return flow;
    ADD_FAILURE() << "no flow " << command;
    return {};
}

// The flows an app starts through the configuration entry, over the BlueZ radio on a private
// bus in real time: each ends once, with its device record.
class BlueZFlows : public ::testing::TestWithParam<std::string> {};

TEST_P(BlueZFlows, RunToTheirDeviceRecord) {
    const SimBleFlowKind flow = flowNamed(GetParam());
    std::vector<int64_t> steps;
    std::shared_ptr<sim::FakeBlueZ> bluez;
    auto run = sim::runBlueZFlow(
        flow, [&](sim::SimBlueZHome& home, sim::SimBleModule&) { bluez = home.bluez; },
        [&](int64_t s) { steps.push_back(s); });
    ASSERT_TRUE(run.applies) << "the BlueZ home did not start";
    EXPECT_EQ(run.completions, 1u);
    EXPECT_EQ(run.code, 0);
    ASSERT_TRUE(run.device);
    EXPECT_FALSE(run.device->deviceSn.empty());
    // The way went through BlueZ: a link, the appliance's characteristics, writes.
    const auto calls = bluez->calls();
    auto called = [&](const std::string& member) {
        return std::any_of(calls.begin(), calls.end(),
                           [&](const std::string& c) { return c.rfind(member + " ", 0) == 0; });
    };
    EXPECT_TRUE(called("Connect"));
    EXPECT_TRUE(called("StartNotify"));
    EXPECT_TRUE(called("WriteValue"));
}

INSTANTIATE_TEST_SUITE_P(Flows, BlueZFlows, ::testing::Values("second", "single", "combo"));

}  // namespace
}  // namespace telvo::test

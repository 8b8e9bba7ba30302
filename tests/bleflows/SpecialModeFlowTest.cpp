#include "BleFlowFixture.h"
#include "bleflows/QKBleSpecialModeConnect.h"

namespace telvo::test {
namespace {

class SpecialModeFlow : public BleFlowFixture {
  public:
    std::shared_ptr<QKBleSpecialModeConnect> start(int64_t type) {
        if (!module) makeModule(2);
        auto params = scan();
        params.bleType = 12;
        params.specialModeType = type;
        auto flow = QKBLEBaseConnect::initWithParam<QKBleSpecialModeConnect>(params);
        flow->statConfig(params, progress(), completion());
        return flow;
    }
};

// Each mode's body, each result with its one completion; answers of another form or type
// before the real one are ignored.
TEST_F(SpecialModeFlow, SendsTheModeAndEndsWithTheAnswer) {
    const std::tuple<int64_t, uint8_t, Bytes, int64_t> rows[] = {
        {1, 0, {1, 1, 1, 1}, 0},
        {2, 0, {1, 1, 1, 0}, 0},
        {1, 1, {1, 1, 1, 1}, 4187},
        {2, 2, {1, 1, 1, 0}, 4187},
    };
    for (const auto& [type, result, body, code] : rows) {
        clearRun();
        makeModule(2)->setHandler(0x0E, [r = result](sim::SimBleModule& m, const auto& request) {
            m.answer(request, {0x00, 0x00, 0x01});
            m.answer(request, {0x01, 0x00});
            m.send(0x63, {0x01, 0x00, 0x01});
            m.answer(request, {0x01, 0x00, r});
        });
        auto flow = start(type);
        MainLoop::runFor(200);
        ASSERT_EQ(onlyEnd(), code);
        EXPECT_EQ(received(0x0E), std::vector<Bytes>{body});
        EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

// A start on a peripheral that is still connected releases it and connects 0.5 s later; an
// unknown mode sends nothing and waits.
TEST_F(SpecialModeFlow, ReconnectsAConnectedPeripheral) {
    auto first = start(3);
    MainLoop::runFor(100);
    EXPECT_TRUE(ends.empty());
    EXPECT_TRUE(received(0x0E).empty());
    auto flow = start(1);
    ASSERT_EQ(firstEnd(), 0);
    const auto links = module->log("connected");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_GE(links[1].time - module->log("disconnected")[0].time, 0.5);
    first->stopConfig();  // its overall timer would hold it past the test
}

// The link lost for good (no reconnect left) ends the session with 4085.
TEST_F(SpecialModeFlow, LinkLostEnds) {
    CBPeripheralPtr peripheral;
    makeModule(2)->setHandler(0x0E, [&](sim::SimBleModule& m, const sim::SimBleFrame&) {
        qkExtensions(peripheral)->curReConnectCount = 3;
        m.loseLink();
    });
    auto flow = start(1);
    peripheral = flow->peripheral();
    MainLoop::runFor(200);
    ASSERT_EQ(onlyEnd(), 4085);
}

// A stop in the key exchange, after the command, or during the delayed connect calls no
// completion and leaves the appliance released.
TEST_F(SpecialModeFlow, StopAtEachPhase) {
    for (int phase = 0; phase < 3; ++phase) {
        SCOPED_TRACE(phase);
        clearRun();
        makeModule(2)->mute = phase == 1;
        std::shared_ptr<QKBleSpecialModeConnect> first = phase == 2 ? start(0) : nullptr;
        MainLoop::runFor(phase == 2 ? 5 : 0);
        auto flow = start(1);
        MainLoop::runUntil([&] { return phase == 0 ? steps.size() >= 2 : phase == 2; }, 10);
        MainLoop::runUntil([&] { return !received(0x0E).empty(); }, phase == 1 ? 10 : 0);
        flow->stopConfig();
        if (first) first->stopConfig();
        MainLoop::runFor(300);
        EXPECT_TRUE(ends.empty());
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

}  // namespace
}  // namespace telvo::test

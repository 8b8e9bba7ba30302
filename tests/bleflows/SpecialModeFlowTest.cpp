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

// Each mode's body, and each result of the answer with its one completion.
TEST_F(SpecialModeFlow, SendsTheModeAndEndsWithTheAnswer) {
    struct Row {
        int64_t type;
        uint8_t result;
        Bytes body;
        int64_t code;
    } rows[] = {
        {1, 0, {1, 1, 1, 1}, 0},
        {2, 0, {1, 1, 1, 0}, 0},
        {1, 1, {1, 1, 1, 1}, 4187},
        {2, 2, {1, 1, 1, 0}, 4187},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.result));
        module = nullptr;
        ends.clear();
        makeModule(2)->specialResult = row.result;
        auto flow = start(row.type);
        MainLoop::runFor(200);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].code, row.code);
        EXPECT_EQ(received(0x0E), std::vector<Bytes>{row.body});
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

// Answers of another form or type are ignored; the session waits for the real one.
TEST_F(SpecialModeFlow, IgnoresAnswersOfAnotherForm) {
    makeModule(2)->setHandler(0x0E, [](sim::SimBleModule& m, const sim::SimBleFrame& r) {
        m.answer(r, {0x00, 0x00, 0x01});
        m.answer(r, {0x01, 0x00});
        m.send(0x63, {0x01, 0x00, 0x01});
        m.perform([](sim::SimBleModule& m) { m.send(0x0E, {0x01, 0x00, 0x00}); }, 1);
    });
    auto flow = start(1);
    MainLoop::runFor(200);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));
}

// An unknown mode sends nothing: the session waits until the overall timer ends it.
TEST_F(SpecialModeFlow, UnknownModeSendsNothing) {
    for (int64_t type : {0, 3}) {
        module = nullptr;
        ends.clear();
        auto flow = start(type);
        MainLoop::runFor(179);
        EXPECT_TRUE(ends.empty());
        EXPECT_TRUE(received(0x0E).empty());
        EXPECT_TRUE(module->appliance().isConnected());
        flow->stopConfig();
    }
}

// A start on a peripheral that is still connected releases it and connects 0.5 s later.
TEST_F(SpecialModeFlow, ReconnectsAConnectedPeripheral) {
    auto first = start(0);
    MainLoop::runUntil([&] { return steps.size() == 4; }, 10);
    const double at = now();
    auto flow = start(1);
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(ends[0].code, 0);
    const auto links = module->log("connected");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_FALSE(module->log("disconnected").empty());
    EXPECT_GE(links[1].time - links[0].time, 0.5);
    EXPECT_LT(at, ends[0].at);
}

// The link lost for good (no reconnect left) ends the session with 4085.
TEST_F(SpecialModeFlow, LinkLostEnds) {
    CBPeripheralPtr peripheral;
    makeModule(2)->setHandler(0x0E, [&](sim::SimBleModule& m, const sim::SimBleFrame&) {
        qkExtensions(peripheral)->curReConnectCount = 3;
        m.loseLink();
    });
    auto flow = start(1);
    peripheral = flow->peripheral;
    MainLoop::runFor(200);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 4085);
}

// A stop before the keys, after the command, or during the delayed connect calls no
// completion and leaves the appliance released.
TEST_F(SpecialModeFlow, StopAtEachPhase) {
    for (int phase = 0; phase < 3; ++phase) {
        SCOPED_TRACE(phase);
        module = nullptr;
        ends.clear();
        steps.clear();
        makeModule(2)->mute = phase == 1;
        std::shared_ptr<QKBleSpecialModeConnect> flow;
        if (phase == 2) {
            auto first = start(0);
            MainLoop::runUntil([&] { return steps.size() == 4; }, 10);
            first->stopConfig();
            flow = start(1);
            MainLoop::runFor(0.2);
        } else {
            flow = start(1);
            MainLoop::runUntil(
                [&] { return phase == 0 ? steps.size() == 2 : !received(0x0E).empty(); }, 10);
        }
        flow->stopConfig();
        MainLoop::runFor(300);
        EXPECT_TRUE(ends.empty());
        EXPECT_FALSE(module->appliance().isConnected());
    }
}

}  // namespace
}  // namespace telvo::test

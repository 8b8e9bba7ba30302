#include "BleFlowFixture.h"
#include "bleflows/QKBleSecondWiredConnect.h"
#include "sim/BleSessionPeer.h"

namespace telvo::test {
namespace {

struct Wired : BleFlowFixture {
    std::shared_ptr<QKBleSecondWiredConnect> flow;
    QKDeviceBleConfigParams params;

    void SetUp() override { fresh(); }
    // A new gateway (each row of a table gets one), its cable plugged in or not; the online
    // report, not the cloud, finds it.
    void fresh(bool plugged = true) {
        if (flow) flow->stopConfig();
        MainLoop::drain();
        clearRun();
        module = makeModule(2);
        module->cablePlugged = plugged;
        module->cloudDelay = 1000;
        params = scan(module);
        params.bleType = 11;
        params.bleSecondConfigType = 1;
        params.isWiredConfigurable = true;
        params.isWiredStatus = plugged;
    }
    void start() {
        flow = QKBLEBaseConnect::initWithParam<QKBleSecondWiredConnect>(params);
        flow->statConfig(params, progress(), completion());
    }
};

TEST_F(Wired, WiredBodyToSuccessKeepingTheLink) {
    start();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 6, 5, 11, 7, 19, 8, 19, 9, 19, 12, 19}));
    EXPECT_EQ(ends.at(0).code, 0);
    // Mode, random code, no region id.
    EXPECT_EQ(
        received(0x69),
        std::vector<Bytes>{hex("01" + QKBLEBaseConnectTestPeer::randomNum(*flow) + "00000000")});
    EXPECT_TRUE(flow->bleDevice()->isWiredStatus);
    MainLoop::runFor(5);
    EXPECT_EQ(flow->peripheral()->state(), CBPeripheralState::Connected);
}

// The body follows the parameters (configurable and plugged in), the mode the target serial.
TEST_F(Wired, BodyAndModeChoice) {
    const std::string sn28 = "0000db311sn00000000000000000";  // the serial's first 28, lowercased
    const struct {
        bool configurable, plugged;
        std::string tsn;
        uint8_t mode;
    } rows[] = {{true, true, "", 1},
                {true, false, "", 1},
                {false, true, "", 1},
                {true, false, sn28, 5},
                {false, false, sn28, 2},
                {true, true, sn28, 5},
                {true, true, sn28.substr(0, 27), 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.configurable << row.plugged << int(row.mode));
        const bool wired = row.configurable && row.plugged;
        fresh(wired);
        params.isWiredConfigurable = row.configurable;
        params.isWiredStatus = row.plugged;
        params.extras = Dictionary{{"tsn", row.tsn}};
        start();
        ASSERT_EQ(firstEnd(), 0);
        const Bytes body = received(0x69).at(0);
        EXPECT_EQ(body[0], row.mode);
        EXPECT_EQ(body.size() == 21, wired);
    }
}

// 3: the cloud check runs, but the online report no longer ends the flow.
TEST_F(Wired, ConfigurationAnswers) {
    const std::pair<uint8_t, int64_t> rows[] = {{0x01, 4097}, {0x02, 4096}, {0x06, 4145},
                                                {0x05, 4053}, {0x11, 4053}, {0x04, 4053},
                                                {0x03, -1}};
    for (auto [answer, code] : rows) {
        SCOPED_TRACE(int(answer));
        fresh();
        module->wifiResult = answer;
        start();
        MainLoop::runFor(10);
        EXPECT_EQ(ends.empty() ? -1 : ends[0].code, code);
        EXPECT_EQ(stepCount(11), code < 0 ? 1 : 0);
    }
}

// The first status answer; later queries get the full status. Every query asks for type 0.
TEST_F(Wired, StatusAnswers) {
    const struct {
        Bytes first;
        int statusQueries, productQueries, configs;
        int64_t code;
    } rows[] = {{hex("010100"), 1, 0, 1, -1},
                {hex("010000"), 1, 0, 0, -1},
                {hex("01010000"), 1, 0, 0, -1},
                {hex("010007"), 1, 0, 0, 4062},
                {hex("03020401010102010100"), 2, 1, 1, -1},  // 0x0104, then 0x0102
                {hex("03020301010105010101"), 2, 0, 1, -1},  // 0x0103 and 0x0105
                {hex("030204010101"), 2, 0, 1, -1}};         // one entry of two
    for (const auto& row : rows) {
        SCOPED_TRACE(toHex(row.first));
        fresh();
        module->joinStages = {1};
        auto answered = std::make_shared<bool>(false);
        module->setHandler(0x63, [row, answered](sim::SimBleModule& m, const sim::SimBleFrame& r) {
            if (std::exchange(*answered, true)) return m.defaultHandler(0x63)(m, r);
            m.answer(r, row.first);
        });
        start();
        MainLoop::runFor(10);
        EXPECT_EQ(int(received(0x63).size()), row.statusQueries);
        EXPECT_EQ(int(received(0x40).size()), row.productQueries);
        EXPECT_EQ(int(received(0x69).size()), row.configs);
        EXPECT_EQ(ends.empty() ? -1 : ends[0].code, row.code);
        for (const Bytes& query : received(0x63)) EXPECT_EQ(query[0], 0);
    }
}

TEST_F(Wired, CableReports) {
    // Unplugged: the timers stop, so nothing ends the flow.
    fresh(false);
    module->joinStages = {1, 2};
    start();
    MainLoop::runFor(400);
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(std::vector<int>(steps.end() - 4, steps.end()), (std::vector<int>{7, 18, 8, 18}));
    EXPECT_FALSE(flow->bleDevice()->isWiredStatus);
    // An online report with a module error ends the flow once, as found.
    fresh();
    module->joinError = std::make_pair(uint8_t(4), uint8_t(7));
    start();
    MainLoop::runFor(10);
    ASSERT_EQ(onlyEnd(), 0);
    EXPECT_EQ(std::vector<int>(steps.end() - 2, steps.end()), (std::vector<int>{12, 19}));
}

TEST_F(Wired, PreConnectThenNormalStart) {
    params.bleSecondConfigType = 0;
    start();
    MainLoop::runFor(10);
    EXPECT_EQ(received(0x69).at(0)[0], 0);
    EXPECT_EQ(stepCount(11), 0);
    EXPECT_FALSE(module->joined());
    params.bleSecondConfigType = 1;
    flow->statConfig(params, progress(), completion());
    ASSERT_EQ(firstEnd(), 0);
    EXPECT_EQ(received(0x69).at(1)[0], 1);
}

TEST_F(Wired, ResumeTakesTheNewRouterUnlessEnded) {
    fresh(false);
    module->joinError = std::make_pair(uint8_t(1), uint8_t(2));  // wrong password
    start();
    ASSERT_EQ(firstEnd(), 4094);
    auto again = params;
    again.routerSSID = "Other";
    again.routerPwd = "second-pass";
    again.routerBSSID = "01:02:03:04:05:06";
    module->joinError.reset();
    flow->resumeConfigWithParams(again);
    ASSERT_TRUE(MainLoop::runUntil([&] { return ends.size() == 2; }, 30));
    EXPECT_EQ(ends[1].code, 0);
    EXPECT_NE(module->log("credentials")
                  .back()
                  .detail.find("ssid=Other password=second-pass bssid=010203040506"),
              std::string::npos);
    const size_t sent = received(0x69).size();
    flow->resumeConfigWithParams(again);  // ignored now that the flow has ended
    MainLoop::runFor(5);
    EXPECT_EQ(received(0x69).size(), sent);
}

TEST_F(Wired, ParameterCheckFailsBeforeConnecting) {
    flow = QKBLEBaseConnect::initWithParam<QKBleSecondWiredConnect>(params);
    flow->bleDevice()->functionSetEnable = true;
    flow->statConfig(params, progress(), completion());
    ASSERT_EQ(onlyEnd(), 4140);
    MainLoop::runFor(5);
    EXPECT_TRUE(module->log("connected").empty());
}

// A stop in any phase ends the run without a completion and writes nothing more.
TEST_F(Wired, StopAtEachPhase) {
    for (int phase : {0x63, 0x69, 0x0D}) {
        SCOPED_TRACE(phase);
        fresh();
        start();
        ASSERT_TRUE(MainLoop::runUntil(
            [&] { return phase == 0x0D ? stepCount(7) == 1 : !received(phase).empty(); }, 30));
        flow->stopConfig();
        const size_t written = module->log("receive").size();
        MainLoop::runFor(400);
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(module->log("receive").size(), written);
    }
}

}  // namespace
}  // namespace telvo::test

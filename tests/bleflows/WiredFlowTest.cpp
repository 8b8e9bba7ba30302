#include "BleFlowFixture.h"
#include "bleflows/QKBleSecondWiredConnect.h"

namespace telvo::test {
namespace {

struct Wired : BleFlowFixture {
    std::shared_ptr<QKBleSecondWiredConnect> flow;
    QKDeviceBleConfigParams params;

    void SetUp() override {
        makeModule(2);
        module->cablePlugged = true;
        module->cloudDelay = 1000;  // the online report, not the cloud, finds the appliance
        params = scan();
        params.bleType = 11;
        params.bleSecondConfigType = 1;
        params.isWiredConfigurable = true;
        params.isWiredStatus = true;
    }
    void start() {
        flow = QKBLEBaseConnect::initWithParam<QKBleSecondWiredConnect>(params);
        flow->statConfig(params, progress(), completion());
    }
    void runFor(double seconds) {
        MainLoop::runUntil([] { return false; }, seconds);
    }
    // A fresh appliance for the next row of a table.
    void next() {
        if (flow) flow->stopConfig();
        MainLoop::drain();
        module = makeModule(2);
        module->cablePlugged = true;
        module->cloudDelay = 1000;
        params.peripheral = scan(module).peripheral;
        steps.clear();
        ends.clear();
    }
    static int count(const std::vector<int>& v, int x) {
        return int(std::count(v.begin(), v.end(), x));
    }
};

TEST_F(Wired, WiredBodyToSuccessKeepingTheLink) {
    start();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 6, 5, 11, 7, 19, 8, 19, 9, 19, 12, 19}));
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    Bytes body{0x01};
    const Bytes random = hex(flow->randomNum);
    body.insert(body.end(), random.begin(), random.end());
    body.insert(body.end(), 4, 0x00);  // no region id
    EXPECT_EQ(received(0x69), std::vector<Bytes>{body});
    EXPECT_EQ(flow->iConfigModel.randomNum, flow->randomNum);
    EXPECT_TRUE(flow->bleDevice->isWiredStatus);
    EXPECT_FALSE(flow->bleDevice->checkRandom);
    runFor(5);
    EXPECT_EQ(flow->peripheral->state(), CBPeripheralState::Connected);
}

// The body follows the parameters (configurable and plugged in), the mode the target serial.
TEST_F(Wired, BodyAndModeChoice) {
    const std::string sn28 = "0000db311sn00000000000000000";  // the serial's first 28, lowercased
    const struct {
        bool configurable, plugged;
        std::optional<std::string> tsn;
        bool wiredBody;
        uint8_t mode;
    } rows[] = {{true, true, std::nullopt, true, 1},   {true, false, std::nullopt, false, 1},
                {false, true, std::nullopt, false, 1}, {true, false, sn28, false, 5},
                {false, false, sn28, false, 2},        {true, true, sn28.substr(0, 27), true, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.configurable << row.plugged << row.mode);
        module->cablePlugged = row.wiredBody;
        params.isWiredConfigurable = row.configurable;
        params.isWiredStatus = row.plugged;
        params.extras = row.tsn ? Dictionary{{"tsn", *row.tsn}} : Dictionary{};
        start();
        ASSERT_TRUE(runUntilEnd());
        EXPECT_EQ(ends[0].code, 0);
        const Bytes body = received(0x69).at(0);
        EXPECT_EQ(body[0], row.mode);
        EXPECT_EQ(body.size() == 21, row.wiredBody);
        next();
    }
}

TEST_F(Wired, ConfigurationAnswers) {
    const std::pair<uint8_t, int64_t> rows[] = {{0x01, 4097}, {0x02, 4096}, {0x06, 4145},
                                                {0x05, 4053}, {0x11, 4053}, {0x04, 4053}};
    for (auto [answer, code] : rows) {
        SCOPED_TRACE(int(answer));
        module->wifiResult = answer;
        start();
        ASSERT_TRUE(runUntilEnd());
        EXPECT_EQ(ends[0].code, code);
        EXPECT_EQ(count(steps, 11), 0);
        next();
    }
    // 3: the cloud check runs, but the online report no longer ends the flow.
    module->wifiResult = 0x03;
    start();
    runFor(10);
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(count(steps, 11), 1);
    EXPECT_FALSE(flow->isSupportBLEApExist);
}

TEST_F(Wired, StatusAnswers) {
    const struct {
        Bytes first;
        int statusQueries, productQueries, configs;
        int64_t code;
    } rows[] = {{hex("010100"), 1, 0, 1, -1},
                {hex("010000"), 1, 0, 0, -1},
                {hex("01010000"), 1, 0, 0, -1},
                {hex("010007"), 1, 0, 0, 4062},
                {hex("03020401010102010100"), 2, 1, 1, -1},
                {hex("03020301010105010101"), 2, 0, 1, -1},
                {hex("030204010101"), 2, 0, 1, -1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(toHex(row.first));
        module->joinStages = {1};
        auto answered = std::make_shared<bool>(false);
        module->setHandler(
            0x63, [first = row.first, answered](sim::SimBleModule& m, const sim::SimBleFrame& r) {
                if (*answered) return m.defaultHandler(0x63)(m, r);
                *answered = true;
                m.answer(r, first);
            });
        start();
        runFor(10);
        EXPECT_EQ(int(received(0x63).size()), row.statusQueries);
        EXPECT_EQ(int(received(0x40).size()), row.productQueries);
        EXPECT_EQ(int(received(0x69).size()), row.configs);
        EXPECT_EQ(ends.empty() ? -1 : ends[0].code, row.code);
        for (const Bytes& query : received(0x63)) EXPECT_EQ(query[0], 0);
        next();
    }
}

TEST_F(Wired, CableUnpluggedStopsTheTimers) {
    module->cablePlugged = false;
    module->joinStages = {1, 2};
    start();
    runFor(400);
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(std::vector<int>(steps.end() - 4, steps.end()), (std::vector<int>{7, 18, 8, 18}));
    EXPECT_FALSE(flow->bleDevice->isWiredStatus);
}

// An online report with a module error ends the flow once, as found.
TEST_F(Wired, OnlineReportWithErrorEndsOnce) {
    module->joinError = std::make_pair(uint8_t(4), uint8_t(7));
    start();
    runFor(10);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(std::vector<int>(steps.end() - 2, steps.end()), (std::vector<int>{12, 19}));
}

TEST_F(Wired, PreConnectThenNormalStart) {
    params.bleSecondConfigType = 0;
    start();
    runFor(10);
    EXPECT_EQ(received(0x69).at(0)[0], 0);
    EXPECT_TRUE(flow->hasSendConfigPremode);
    EXPECT_EQ(count(steps, 11), 0);
    EXPECT_FALSE(module->joined());
    params.bleSecondConfigType = 1;
    flow->statConfig(params, progress(), completion());
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(received(0x69).at(1)[0], 1);
}

TEST_F(Wired, ResumeTakesTheNewRouterUnlessEnded) {
    module->cablePlugged = false;
    params.isWiredStatus = false;
    module->joinError = std::make_pair(uint8_t(1), uint8_t(2));  // wrong password
    start();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(ends[0].code, 4094);
    auto fresh = params;
    fresh.routerSSID = "Other";
    fresh.routerPwd = "second-pass";
    fresh.routerBSSID = "01:02:03:04:05:06";
    module->joinError.reset();
    flow->resumeConfigWithParams(fresh);
    MainLoop::runUntil([&] { return ends.size() == 2; }, 30);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].code, 0);
    const auto credentials = module->log("credentials");
    EXPECT_NE(credentials.back().detail.find("ssid=Other password=second-pass bssid=010203040506"),
              std::string::npos);
    const size_t sent = received(0x69).size();
    flow->resumeConfigWithParams(fresh);  // ignored now that the flow has ended
    runFor(5);
    EXPECT_EQ(received(0x69).size(), sent);
}

TEST_F(Wired, ParameterCheckFailsBeforeConnecting) {
    flow = QKBLEBaseConnect::initWithParam<QKBleSecondWiredConnect>(params);
    flow->bleDevice->functionSetEnable = true;
    flow->statConfig(params, progress(), completion());
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 4140);
    runFor(5);
    EXPECT_TRUE(module->log("connected").empty());
}

// A stop in any phase ends the run without a completion and writes nothing more.
TEST_F(Wired, StopAtEachPhase) {
    for (int phase : {0x63, 0x69, 0x0D}) {
        SCOPED_TRACE(phase);
        start();
        ASSERT_TRUE(MainLoop::runUntil(
            [&] {
                return phase == 0x0D ? !module->log("send").empty() && count(steps, 7) == 1
                                     : !received(phase).empty();
            },
            30));
        flow->stopConfig();
        const size_t written = module->log("receive").size();
        runFor(400);
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(module->log("receive").size(), written);
        next();
    }
}

}  // namespace
}  // namespace telvo::test

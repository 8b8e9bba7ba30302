#include <functional>

#include "BleFlowFixture.h"
#include "bleflows/QKBleSecondRetryConnect.h"
#include "sim/BleSessionPeer.h"
#include "sim/CloudRoute.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo::test {
namespace {

using Module = sim::SimBleModule;
// Advertisement byte 18: a double module on Wi-Fi; bound only; neither.
constexpr uint8_t kOnWifi = 0x03, kBound = 0x04, kFresh = 0x00;

class RetryFlow : public BleFlowFixture {
  public:
    std::shared_ptr<Module> appliance(uint8_t flags1, uint8_t flags2 = 0) {
        sim::SimBleAdvertisement adv;
        adv.flags1 = flags1;
        adv.flags2 = flags2;
        module = nullptr;
        auto made = makeModule(adv);
        made->reportInterval = 0.6;
        made->cloudDelay = 60;
        return made;
    }
    void start(const std::function<void(QKDeviceBleConfigParams&)>& edit = {}) {
        params = scan();
        params.bleType = 10;
        params.bleSecondConfigType = 1;
        params.bindCode = "0123456789abcdef";
        if (edit) edit(params);
        flow = QKBLEBaseConnect::initWithParam<QKBleSecondRetryConnect>(params);
        flow->statConfig(
            params,
            [this](int64_t step) {
                timed.push_back({int(step), now()});
                if (step == 5) statusInfo = QKDeviceConfigManager::shareInstance()->stepInfoData();
            },
            completion());
    }
    std::vector<int> stepList() const {
        std::vector<int> list;
        for (auto [step, at] : timed) list.push_back(step);
        return list;
    }
    double stepAt(int step) const {
        for (auto [s, at] : timed)
            if (s == step) return at;
        return -1;
    }
    void reset() {
        ends.clear();
        timed.clear();
    }

    QKDeviceBleConfigParams params;
    std::shared_ptr<QKBleSecondRetryConnect> flow;
    std::vector<std::pair<int, double>> timed;
    QKStepInfo statusInfo;
};

// Bound and on Wi-Fi: bind, status, router update; the reports count only from 2 s after the
// router update (stages 1 and 2 come earlier and are dropped), and stage 4 ends the run.
TEST_F(RetryFlow, RouterUpdateToSuccessBehindTheReportGate) {
    appliance(kOnWifi);
    start();
    ASSERT_EQ(firstEnd(), 0);
    EXPECT_EQ(stepList(), (std::vector<int>{1, 2, 3, 4, 15, 6, 5, 11, 9, 12}));
    EXPECT_GE(stepAt(9) - stepAt(6), 2.0);
    const std::string code = "0123456789abcdef";
    Bytes bind{3, 1, 3};
    bind.insert(bind.end(), code.begin(), code.end());
    EXPECT_EQ(received(0x04), std::vector<Bytes>{bind});
    EXPECT_EQ(received(0x63).size(), 1u);
    EXPECT_TRUE(received(0x69).empty());
    EXPECT_EQ(ends[0].device->deviceSn, module->sn);
    EXPECT_EQ(statusInfo[5]["moduleVersion"].text(), "01020304");
    EXPECT_FALSE(module->appliance().isConnected());
}

// No configuration advertised: the Wi-Fi information goes out first, every report counts, and
// the cloud check finds the appliance.
TEST_F(RetryFlow, FreshApplianceGetsWifiFirst) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    appliance(kFresh);
    start();
    ASSERT_EQ(firstEnd(), 0);
    EXPECT_EQ(stepList(), (std::vector<int>{1, 2, 3, 4, 6, 11, 7, 8, 9, 12}));
    EXPECT_GE(ends[0].at, 60.0);
    EXPECT_TRUE(received(0x04).empty());
    EXPECT_TRUE(received(0x63).empty());
    EXPECT_EQ(received(0x69).size(), 1u);
}

// Each answer that ends the run, with its code and exactly one completion.
TEST_F(RetryFlow, AnswersThatEndTheRun) {
    struct Row {
        uint8_t flags;
        std::function<void(Module&, QKDeviceBleConfigParams&)> setup;
        int64_t code;
    };
    auto bind = [](uint8_t r) { return [r](Module& m, auto&) { m.bindResult = r; }; };
    auto update = [](uint8_t r) { return [r](Module& m, auto&) { m.routerUpdateResult = r; }; };
    auto wifi = [](uint8_t r) { return [r](Module& m, auto&) { m.wifiResult = r; }; };
    std::vector<Row> rows = {
        {kOnWifi, bind(0), 4147},
        {kOnWifi, [](Module&, auto& p) { p.bindCode = "0123456789abcde"; }, 4147},
        {kOnWifi, update(0x01), 4097},
        {kOnWifi, update(0x14), 4125},
        {kOnWifi, update(0xFF), 4146},
        {kOnWifi, update(0x02), 4053},
        {kBound,
         [](Module& m, auto&) {
             m.setAnswer(0x63, {1, 0, 5});
         },
         4060},
        {kFresh,
         [](Module& m, auto&) {
             m.joinError = {{2, 7}};
         },
         4062},
    };
    const std::pair<uint8_t, int64_t> wifiRows[] = {{0x01, 4097}, {0x02, 4096}, {0x04, 4053},
                                                    {0x05, 4144}, {0x06, 4145}, {0x11, 4123},
                                                    {0x12, 4124}, {0x13, 4140}, {0x14, 4125}};
    for (auto [result, code] : wifiRows) rows.push_back({kBound, wifi(result), code});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        reset();
        auto& m = *appliance(row.flags);
        start([&](QKDeviceBleConfigParams& p) { row.setup(m, p); });
        MainLoop::runFor(300);
        ASSERT_EQ(onlyEnd(), row.code);
        EXPECT_FALSE(m.appliance().isConnected());
    }
    EXPECT_EQ(received(0x04).size(), 1u);  // the last row's bind went out
}

// Status answers: a full status or exactly 01 01 00 lead to the Wi-Fi data, other forms send
// nothing; progress 5 follows each.
TEST_F(RetryFlow, StatusForms) {
    const std::pair<Bytes, bool> rows[] = {
        {Bytes(39, 0), false}, {{1, 1, 0}, true}, {{1, 0, 0}, false}, {{1, 1, 0, 0}, false}};
    for (const auto& [answer, sends] : rows) {
        reset();
        auto& m = *appliance(kBound);
        m.setAnswer(0x63, answer);
        m.setHandler(0x69, [](Module&, const sim::SimBleFrame&) {});
        start();
        MainLoop::runFor(8);
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(!received(0x69).empty(), sends);
        EXPECT_GE(stepAt(5), 0);
        flow->stopConfig();
    }
}

// After answer 0x03 on an appliance without configuration, stage 4 does not end the run.
TEST_F(RetryFlow, AlreadyConnectedAnswerKeepsStageFourFromEnding) {
    appliance(kFresh)->wifiResult = 0x03;
    start();
    MainLoop::runFor(10);
    EXPECT_GE(stepAt(9), 0);
    EXPECT_TRUE(ends.empty());
    flow->stopConfig();
}

// The router update carries a random code, and the cloud check validates it, only when the
// extras ask for it.
TEST_F(RetryFlow, RandomCodeOfTheRouterUpdate) {
    for (bool on : {false, true}) {
        reset();
        appliance(kOnWifi);
        start([&](auto& p) { p.extras.set(kQKSDKIsSupportRetryConnectRandom, Value(on)); });
        ASSERT_TRUE(runUntilEnd());
        const auto creds = module->log("credentials");
        ASSERT_EQ(creds.size(), 1u);
        const std::string random = creds[0].detail.substr(creds[0].detail.find("random=") + 7);
        EXPECT_EQ(random, on ? QKBLEBaseConnectTestPeer::randomNum(*flow) : "");
        EXPECT_EQ(random.size(), on ? 32u : 0u);
        EXPECT_EQ(QKBLEBaseConnectTestPeer::isBleForceValidRandom(*flow), on);
    }
}

// A 32-digit hex bind code is sent as its 16 bytes.
TEST_F(RetryFlow, HexBindCode) {
    appliance(kOnWifi);
    start([](auto& p) { p.bindCode = "00112233445566778899AABBCCDDEEFF"; });
    MainLoop::runUntil([&] { return !received(0x63).empty(); }, 20);
    EXPECT_EQ(received(0x04),
              (std::vector<Bytes>{{3, 1, 3, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                   0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}}));
    flow->stopConfig();
}

// A wrong password pauses the run; the resume sends the Wi-Fi data again with the new router
// data (an empty password leaves none); a resume after the end is ignored.
TEST_F(RetryFlow, ResumeAfterWrongPassword) {
    auto& m = *appliance(kFresh);
    m.joinError = {{1, 2}};
    start();
    ASSERT_EQ(firstEnd(), 4094);
    m.joinError.reset();
    QKDeviceBleConfigParams again;
    again.routerSSID = "Other";
    again.routerPwd = "";
    again.routerBSSID = "1:2:3:4:5:6";
    flow->resumeConfigWithParams(again);
    MainLoop::runUntil([&] { return ends.size() == 2; }, 200);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].code, 0);
    const auto creds = m.log("credentials");
    ASSERT_EQ(creds.size(), 2u);
    EXPECT_EQ(creds[1].detail.rfind("ssid=Other password= bssid=010203040506", 0), 0u);
    EXPECT_EQ(flow->configModel().securityType, "1");
    flow->resumeConfigWithParams(again);
    MainLoop::runFor(10);
    EXPECT_EQ(received(0x69).size(), 2u);
    EXPECT_EQ(ends.size(), 2u);
}

// Parameters are checked at start when the app says the appliance holds no configuration: a
// missing region ID ends the run before any connection.
TEST_F(RetryFlow, MissingRegionEndsBeforeConnecting) {
    appliance(kFresh, 0x08);  // advertises a region ID
    start([](auto& p) {
        p.isHaveNoBleConfig = true;
        p.regionId.reset();
    });
    MainLoop::runFor(10);
    ASSERT_EQ(onlyEnd(), 4142);
    EXPECT_TRUE(module->log("connected").empty());
}

// A stop in the key exchange, at each command, or in the cloud check calls no completion and
// releases the appliance.
TEST_F(RetryFlow, StopAtEachPhase) {
    struct Row {
        uint8_t flags;
        int msgType;  // stop once the module has this command
        bool mute;    // and leaves it unanswered
    } rows[] = {{kOnWifi, 0x01, false}, {kOnWifi, 0x04, true}, {kOnWifi, 0x63, true},
                {kOnWifi, 0x67, true},  {kFresh, 0x69, true},  {kBound, 0x69, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.msgType);
        reset();
        auto& m = *appliance(row.flags);
        m.joinStages.clear();
        if (row.mute) m.setHandler(row.msgType, [](Module&, const sim::SimBleFrame&) {});
        start();
        MainLoop::runUntil([&] { return !received(row.msgType).empty(); }, 20);
        if (!row.mute && row.msgType == 0x69)
            MainLoop::runUntil([&] { return stepAt(11) >= 0; }, 5);
        flow->stopConfig();
        MainLoop::runFor(300);
        EXPECT_TRUE(ends.empty());
        EXPECT_FALSE(m.appliance().isConnected());
    }
}

}  // namespace
}  // namespace telvo::test

#include "BleFlowFixture.h"
#include "bleflows/QKBLEConnect.h"
#include "platform/foundation/Registry.h"
#include "sim/BleSessionPeer.h"
#include "sim/CloudRoute.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {
namespace {

struct FirstGeneration : BleFlowFixture {
    std::shared_ptr<QKBLEConnect> flow;
    QKDeviceBleConfigParams params;

    void SetUp() override { fresh(); }
    // A new appliance (each row of a table gets one), asking for the regional settings when
    // regional is set.
    void fresh(bool regional = false) {
        if (flow) flow->stopConfig();
        MainLoop::drain();
        clearRun();
        module = makeModule(0);
        module->routerResult = regional ? 0xE0 : 0x00;
        params = scan(module);
        params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                               {kQKSDKConfigChannelCount, 13},
                                               {kQKSDKConfigChannelMaxPower, 20}})};
    }
    void start() {
        flow = QKBLEBaseConnect::initWithParam<QKBLEConnect>(params);
        flow->statConfig(params, progress(), completion());
    }
    // The 0x68 body for the fixture's router and the flow's random code.
    Bytes routerBody() const {
        return hex("aabbccddeeff01070b" + toHex(toBytes("HomeNetsecret-pass")) +
                   QKBLEBaseConnectTestPeer::randomNum(*flow) + "00");
    }
};

TEST_F(FirstGeneration, RouterSettingsThenCloudCheckToSuccess) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    module->cloudDelay = 3;  // the online report comes before the cloud has the appliance
    start();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 10, 12}));
    EXPECT_EQ(ends.at(0).code, 0);
    EXPECT_EQ(received(0x63), std::vector<Bytes>{QKBLEProtocol::msgBodyForCheckStatus(0)});
    EXPECT_EQ(received(0x68), std::vector<Bytes>{routerBody()});
    EXPECT_EQ(module->randomCode(), QKBLEBaseConnectTestPeer::randomNum(*flow));
    EXPECT_EQ(ends[0].device->randomCode, QKBLEBaseConnectTestPeer::randomNum(*flow));
    EXPECT_EQ(ends[0].device->moduleVersion, "01020304");
    EXPECT_EQ(ends[0].device->deviceSubType, std::to_string(0x1234));
    EXPECT_TRUE(received(0x67).empty());
    EXPECT_NE(flow->peripheral()->state(), CBPeripheralState::Connected);  // bleType 0
}

// 0xE0 asks for the regional settings; a country code under two characters is zero-padded.
TEST_F(FirstGeneration, RegionalSettingsByteForByte) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    for (std::string country : {"DE", "D", ""}) {
        fresh(true);
        params.countryCode = std::nullopt;
        params.extras = Dictionary{{kQKSDKConfigCountryCode, country}};
        params.timeZone = "8";
        params.regionId = "258";
        start();
        ASSERT_EQ(firstEnd(), 0);
        country.resize(2, '\0');
        EXPECT_EQ(received(0x67), std::vector<Bytes>{hex("01" + toHex(toBytes(country)) + "0801" +
                                                         "010d1400" + "02010000")});
        EXPECT_EQ(received(0x68), std::vector<Bytes>{routerBody()});
        EXPECT_EQ(std::vector<int>(steps.begin() + 4, steps.begin() + 7),
                  (std::vector<int>{6, 5, 11}));
    }
}

// Router data too long for their length bytes end the run; nothing half-built is sent.
TEST_F(FirstGeneration, OversizedRouterDataEnds) {
    params.routerSSID = std::string(256, 's');
    start();
    ASSERT_EQ(firstEnd(), 8000);
    EXPECT_TRUE(received(0x68).empty());
}

// Missing settings fail before 0x67 (only absence counts); then every 0x67 answer.
TEST_F(FirstGeneration, RegionalChecksAndAnswers) {
    using P = QKDeviceBleConfigParams;
    const struct {
        std::optional<std::string> P::*missing;
        bool noChannels;
        uint8_t answer;
        int64_t code;
    } rows[] = {{&P::countryCode, false, 0, 4123}, {&P::timeZone, false, 0, 4124},
                {nullptr, true, 0, 4125},          {&P::regionId, false, 0, 4142},
                {nullptr, false, 0x01, 4123},      {nullptr, false, 0x02, 4124},
                {nullptr, false, 0x03, 4125},      {nullptr, false, 0xFF, 4146},
                {nullptr, false, 0x05, 4053}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code + row.answer);
        fresh(true);
        module->regionalResult = row.answer;
        if (row.missing) params.*row.missing = std::nullopt;
        if (row.noChannels) params.channelList.reset();
        start();
        ASSERT_EQ(firstEnd(), row.code);
        EXPECT_EQ(received(0x67).size(), row.answer ? 1u : 0u);
        EXPECT_EQ(stepCount(11), 0);
    }
}

// Status answers (the full form from 40 bytes) and module reports (step, then module error).
TEST_F(FirstGeneration, StatusAnswersAndReports) {
    const Bytes full40 = hex("00" + toHex(toBytes(std::string(32, 'S'))) + "00000000000000");
    Bytes pastEnd = full40;
    pastEnd[39] = 9;
    const struct {
        Bytes status, report;
        bool sendsRouter;
        std::string version;
        std::vector<int> reportSteps;
        int64_t code;
    } rows[] = {{full40, {}, true, "", {}, -1},
                {pastEnd, {}, true, "AA", {}, -1},
                {hex("010500"), {}, false, "AA", {}, -1},
                {hex("01050005"), {}, false, "AA", {}, -1},
                {hex("010007"), {}, false, "AA", {}, 4062},
                {{}, hex("010300"), true, "01020304", {9}, -1},
                {{}, hex("010400"), true, "01020304", {10}, -1},
                {{}, hex("020100"), true, "01020304", {}, -1},
                {{}, hex("0103"), true, "01020304", {}, -1},
                {{}, hex("010207"), true, "01020304", {8}, 4062}};
    for (const auto& row : rows) {
        SCOPED_TRACE(toHex(row.status) + "/" + toHex(row.report));
        fresh();
        module->routerResult = 0x07;  // neither joining nor asking: the flow waits
        if (!row.status.empty()) module->setAnswer(0x63, row.status);
        start();
        flow->bleDevice()->moduleVersion = "AA";
        ASSERT_TRUE(MainLoop::runUntil([&] { return stepCount(5) == 1; }, 30));
        MainLoop::runFor(1);
        EXPECT_EQ(received(0x68).size(), row.sendsRouter ? 1u : 0u);
        EXPECT_EQ(flow->bleDevice()->moduleVersion, row.version);
        if (row.status == full40) {
            EXPECT_EQ(flow->bleDevice()->deviceSn, std::string(32, 'S'));
        }
        steps.clear();
        if (!row.report.empty())
            module->perform([&](sim::SimBleModule& m) { m.report(row.report); });
        MainLoop::runFor(1);
        EXPECT_EQ(steps, row.reportSteps);
        EXPECT_EQ(ends.empty() ? -1 : ends[0].code, row.code);
    }
}

// A stop in any phase ends the run without a completion and writes nothing more.
TEST_F(FirstGeneration, StopAtEachPhase) {
    for (int phase : {0x63, 0x68, 0x67}) {
        SCOPED_TRACE(phase);
        fresh(true);
        start();
        ASSERT_TRUE(MainLoop::runUntil([&] { return !received(phase).empty(); }, 30));
        flow->stopConfig();
        const size_t written = module->log("receive").size();
        MainLoop::runFor(400);
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(module->log("receive").size(), written);
        EXPECT_NE(flow->peripheral()->state(), CBPeripheralState::Connected);
    }
}

// bleType 98: created by class name and owned by nobody, it lives until it has ended.
TEST_F(FirstGeneration, StartedByClassNameLivesUntilItEnds) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    TelvoSDKInitialize();
    auto p = std::make_shared<QKDeviceBleConfigParams>(params);
    p->bleType = 98;
    auto& registry = Registry::shared();
    RegistryInstance made;
    if (auto any = registry.performClassSelector("QKBLEConnect", "initWithParam:", {p}))
        made = std::any_cast<RegistryInstance>(*any);
    ASSERT_TRUE(made);
    std::weak_ptr<void> alive = made;
    QKConfigCompletionBlock done = [this](ErrorPtr e, std::shared_ptr<QKDevice> d) {
        completion()(e, d);
    };
    ASSERT_TRUE(registry.performInstanceSelector("QKBLEConnect",
                                                 "statConfig:connectUpdate:completion:", made,
                                                 {p, QKConfigStepBlock(progress()), done}));
    made.reset();
    ASSERT_EQ(firstEnd(), 0);
    EXPECT_EQ(steps.back(), 12);
    MainLoop::drain();
    EXPECT_TRUE(alive.expired());
}

}  // namespace
}  // namespace telvo::test

#include "BleFlowFixture.h"
#include "bleflows/QKBLEConnect.h"
#include "platform/Registry.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {
namespace {

struct FirstGeneration : BleFlowFixture {
    std::shared_ptr<QKBLEConnect> flow;
    QKDeviceBleConfigParams params;

    void SetUp() override {
        makeModule(0);
        params = scan();
        params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                               {kQKSDKConfigChannelCount, 13},
                                               {kQKSDKConfigChannelMaxPower, 20}})};
    }
    void start() {
        flow = QKBLEBaseConnect::initWithParam<QKBLEConnect>(params);
        flow->statConfig(params, progress(), completion());
    }
    bool runUntilReceived(int msgType, double seconds = 30) {
        return MainLoop::runUntil([&] { return !received(msgType).empty(); }, seconds);
    }
    // The 0x68 body the appliance must have received for the fixture's router.
    Bytes routerBody() const {
        Bytes b = hex("aabbccddeeff");
        b.insert(b.end(), {0x01, 7, 11});
        for (char c : std::string("HomeNetsecret-pass")) b.push_back(uint8_t(c));
        const Bytes random = hex(flow->randomNum);
        b.insert(b.end(), random.begin(), random.end());
        b.push_back(0x00);
        return b;
    }
};

TEST_F(FirstGeneration, RouterSettingsThenCloudCheckToSuccess) {
    module->cloudDelay = 3;  // the online report comes before the cloud has the appliance
    start();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 10, 12}));
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(received(0x63), std::vector<Bytes>{QKBLEProtocol::msgBodyForCheckStatus(0)});
    EXPECT_EQ(received(0x68), std::vector<Bytes>{routerBody()});
    EXPECT_EQ(flow->randomNum.size(), 32u);
    EXPECT_EQ(module->randomCode(), flow->randomNum);
    EXPECT_EQ(ends[0].device->randomCode, flow->randomNum);
    EXPECT_EQ(ends[0].device->bleVersion, "0");
    EXPECT_EQ(ends[0].device->moduleVersion, "01020304");
    EXPECT_EQ(ends[0].device->deviceSubType, std::to_string(0x1234));
    EXPECT_TRUE(received(0x67).empty());
    // bleType 0 closes the link after success.
    EXPECT_NE(flow->peripheral->state(), CBPeripheralState::Connected);
}

// 0xE0 asks for the regional settings; a country code under two characters is zero-padded.
TEST_F(FirstGeneration, RegionalSettingsByteForByte) {
    struct Case {
        std::optional<std::string> country;
        Bytes countryBytes;
    } cases[] = {{"DE", {'D', 'E'}}, {"D", {'D', 0}}, {"", {0, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.country.value_or("(extras)"));
        module->routerResult = 0xE0;
        params.countryCode = std::nullopt;
        params.extras = Dictionary{{kQKSDKConfigCountryCode, *c.country}};
        params.timeZone = "8";
        params.regionId = "258";
        start();
        ASSERT_TRUE(runUntilEnd());
        EXPECT_EQ(ends.back().code, 0);
        Bytes expected{0x01};
        expected.insert(expected.end(), c.countryBytes.begin(), c.countryBytes.end());
        expected.insert(expected.end(), {8, 1, 1, 13, 20, 0, 0x02, 0x01, 0, 0});
        EXPECT_EQ(received(0x67).back(), expected);
        EXPECT_EQ(received(0x68).back(), routerBody());
        EXPECT_EQ(std::vector<int>(steps.begin() + 4, steps.begin() + 7),
                  (std::vector<int>{6, 5, 11}));
        flow->stopConfig();
        MainLoop::drain();
        steps.clear();
        ends.clear();
    }
}

TEST_F(FirstGeneration, RegionalAnswers) {
    const std::pair<uint8_t, int64_t> rows[] = {
        {0x01, 4123}, {0x02, 4124}, {0x03, 4125}, {0xFF, 4146}, {0x05, 4053}};
    for (auto [answer, code] : rows) {
        SCOPED_TRACE(int(answer));
        module->routerResult = 0xE0;
        module->regionalResult = answer;
        start();
        ASSERT_TRUE(runUntilEnd());
        EXPECT_EQ(ends.back().code, code);
        EXPECT_EQ(std::count(steps.begin(), steps.end(), 11), 0);
        EXPECT_NE(flow->peripheral->state(), CBPeripheralState::Connected);
        ends.clear();
        steps.clear();
    }
}

// Only an absent setting fails, in this order, and nothing is sent.
TEST_F(FirstGeneration, ParameterChecksBeforeRegionalSettings) {
    struct Row {
        std::optional<std::string> QKDeviceBleConfigParams::*field;
        int64_t code;
    } rows[] = {{&QKDeviceBleConfigParams::countryCode, 4123},
                {&QKDeviceBleConfigParams::timeZone, 4124},
                {nullptr, 4125},
                {&QKDeviceBleConfigParams::regionId, 4142}};
    module->routerResult = 0xE0;
    for (const auto& row : rows) {
        auto p = params;
        if (row.field)
            p.*row.field = std::nullopt;
        else
            p.channelList.clear();
        flow = QKBLEBaseConnect::initWithParam<QKBLEConnect>(p);
        flow->statConfig(p, progress(), completion());
        ASSERT_TRUE(runUntilEnd());
        EXPECT_EQ(ends.back().code, row.code);
        ends.clear();
    }
    EXPECT_TRUE(received(0x67).empty());
}

TEST_F(FirstGeneration, StatusAnswers) {
    Bytes full40{0x00};
    for (char c : std::string(32, 'S')) full40.push_back(uint8_t(c));
    full40.resize(40, 0);  // MAC, then L = 0
    Bytes pastEnd = full40;
    pastEnd[39] = 9;
    const struct {
        Bytes answer;
        bool sendsRouter;
        std::string version;
    } rows[] = {{full40, true, ""},
                {pastEnd, true, "01020304"},
                {hex("010500"), false, "01020304"},
                {hex("01050005"), false, "01020304"},
                {hex("00"), false, "01020304"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(toHex(row.answer));
        module->setAnswer(0x63, row.answer);
        start();
        flow->bleDevice->moduleVersion = "01020304";
        ASSERT_TRUE(
            MainLoop::runUntil([&] { return std::count(steps.begin(), steps.end(), 5) == 1; }, 30));
        MainLoop::runUntil([] { return false; }, 1);
        EXPECT_EQ(received(0x68).size(), row.sendsRouter ? 1u : 0u);
        EXPECT_EQ(flow->bleDevice->moduleVersion, row.version);
        if (row.sendsRouter) {
            EXPECT_EQ(flow->bleDevice->deviceSn, std::string(32, 'S'));
        }
        flow->stopConfig();
        MainLoop::drain();
        module = makeModule(0);
        params = scan(module);
        steps.clear();
    }
}

TEST_F(FirstGeneration, ModuleReports) {
    module->routerResult = 0x07;  // neither joining nor asking: the flow waits
    const struct {
        Bytes report;
        std::vector<int> steps;
        int64_t code;
    } rows[] = {{hex("010300"), {9}, -1},
                {hex("010400"), {10}, -1},
                {hex("020100"), {}, -1},
                {hex("0103"), {}, -1},
                {hex("010207"), {8}, 4062}};
    for (const auto& row : rows) {
        SCOPED_TRACE(toHex(row.report));
        start();
        ASSERT_TRUE(runUntilReceived(0x68));
        MainLoop::runUntil([] { return false; }, 1);
        steps.clear();
        module->perform([&](sim::SimBleModule& m) { m.report(row.report); });
        MainLoop::runUntil([] { return false; }, 1);
        EXPECT_EQ(steps, row.steps);
        EXPECT_EQ(ends.empty() ? -1 : ends[0].code, row.code);
        flow->stopConfig();
        MainLoop::drain();
        ends.clear();
    }
}

// A stop in any phase ends the run without a completion and writes nothing more.
TEST_F(FirstGeneration, StopAtEachPhase) {
    module->routerResult = 0xE0;
    for (int phase : {0x63, 0x68, 0x67}) {
        SCOPED_TRACE(phase);
        start();
        ASSERT_TRUE(runUntilReceived(phase));
        flow->stopConfig();
        const size_t written = module->log("receive").size();
        MainLoop::runUntil([] { return false; }, 400);
        EXPECT_TRUE(ends.empty());
        EXPECT_EQ(module->log("receive").size(), written);
        EXPECT_NE(flow->peripheral->state(), CBPeripheralState::Connected);
        module = makeModule(0);
        module->routerResult = 0xE0;
        params.peripheral = scan(module).peripheral;
    }
}

// bleType 98: created by class name and owned by nobody, it lives until it has ended.
TEST_F(FirstGeneration, StartedByClassNameLivesUntilItEnds) {
    TelvoSDKInitialize();
    auto p = std::make_shared<QKDeviceBleConfigParams>(params);
    p->bleType = 98;
    auto& registry = Registry::shared();
    RegistryInstance flow;
    if (auto made = registry.performClassSelector("QKBLEConnect", "initWithParam:", {p}))
        flow = std::any_cast<RegistryInstance>(*made);
    ASSERT_TRUE(flow);
    std::weak_ptr<void> alive = flow;
    QKConfigCompletionBlock done = [this](ErrorPtr error, std::shared_ptr<QKDevice> device) {
        completion()(error, device);
    };
    ASSERT_TRUE(registry.performInstanceSelector("QKBLEConnect",
                                                 "statConfig:connectUpdate:completion:", flow,
                                                 {p, QKConfigStepBlock(progress()), done}));
    flow.reset();
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(steps.back(), 12);
    EXPECT_EQ(received(0x68).size(), 1u);
    MainLoop::drain();
    EXPECT_TRUE(alive.expired());
}

}  // namespace
}  // namespace telvo::test

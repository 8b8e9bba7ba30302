#include "SecondFlowFixture.h"
#include "sim/CloudRoute.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo::test {
namespace {

using SecondFlow = SecondFlowFixture;
using StepCodes = std::vector<int>;

constexpr uint8_t kFunctionExtension = 0x80;  // advertisement byte 19, bit 7

// The happy path: connect, key, full status, Wi-Fi settings (before the status step), the
// cloud check, the module's stages and the end, once; the step information after the status.
TEST_F(SecondFlow, NormalRunSucceedsWithEveryStepInOrder) {
    makeModule(2);
    QKStepInfo atStatus;
    manager()->statConfig(
        secondParams(), 1,
        [&](int64_t step) {
            steps.push_back(int(step));
            if (step == 5) atStatus = QKDeviceConfigManager::shareInstance()->stepInfoData();
        },
        completion());
    ASSERT_EQ(onlyEndAfter(), 0);
    EXPECT_EQ(steps, (StepCodes{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 12}));
    EXPECT_EQ(atStatus[5],
              Value(Dictionary{
                  {"moduleVersion", "01020304"}, {"sn", module->sn}, {"deviceSubType", "4660"}}));
    auto wifi = received(0x69);
    ASSERT_EQ(wifi.size(), 1u);
    EXPECT_EQ(wifi[0][0], 1);  // mode
    EXPECT_EQ(received(0x63), (std::vector<Bytes>{QKBLEProtocol::msgBodyForCheckStatus(0)}));
    std::string sent = module->randomCode();
    for (char& c : sent) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(ends[0].device->randomCode, sent);
    EXPECT_TRUE(module->joined());
}

// One run per result byte of the Wi-Fi answer: each ends once, with its code.
struct WifiRow {
    uint8_t result;
    int64_t code;
};
class WifiAnswer : public SecondFlow, public ::testing::WithParamInterface<WifiRow> {};

TEST_P(WifiAnswer, EndsOnceWithItsCode) {
    // 0x03 (already on the router) goes on to the cloud check.
    if (GetParam().result == 0x03) TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    makeModule(2)->wifiResult = GetParam().result;
    start(secondParams());
    ASSERT_EQ(onlyEndAfter(), GetParam().code);
    ASSERT_TRUE(ends[0].device);
    if (GetParam().code != 0) {
        EXPECT_EQ(steps, (StepCodes{1, 2, 3, 4, 6, 5}));
    }
}
INSTANTIATE_TEST_SUITE_P(
    Table, WifiAnswer,
    ::testing::Values(WifiRow{0x00, 0}, WifiRow{0x01, 4097}, WifiRow{0x02, 4096}, WifiRow{0x03, 0},
                      WifiRow{0x04, 4053}, WifiRow{0x05, 4144}, WifiRow{0x06, 4145},
                      WifiRow{0x11, 4123}, WifiRow{0x12, 4124}, WifiRow{0x13, 4140},
                      WifiRow{0x14, 4125}, WifiRow{0x15, 4053}, WifiRow{0xFF, 4053}));

// Factory mode, asked for through the capability list (entry 0x0105).
struct FactoryRow {
    uint8_t result;
    int64_t code;
    StepCodes steps;
};
class FactoryMode : public SecondFlow, public ::testing::WithParamInterface<FactoryRow> {};

TEST_P(FactoryMode, EndsOnceWithItsCode) {
    sim::SimBleAdvertisement adv;
    adv.flags2 = kFunctionExtension;
    auto m = makeModule(adv);
    m->capabilities = {{0x0105, {0x01}}};
    m->factoryResult = GetParam().result;
    auto params = secondParams();
    params.isFactoryModeEnable = true;
    start(params);
    ASSERT_EQ(onlyEndAfter(), GetParam().code);
    EXPECT_EQ(steps, GetParam().steps);
    EXPECT_EQ(received(0x0F), (std::vector<Bytes>{{1, 1, 1, 1}}));
}
INSTANTIATE_TEST_SUITE_P(
    Table, FactoryMode,
    ::testing::Values(FactoryRow{0, 0, {1, 2, 3, 4, 5, 5, 20, 6, 11, 7, 8, 9, 12}},
                      FactoryRow{1, 4189, {1, 2, 3, 4, 5, 5}},
                      FactoryRow{2, 4190, {1, 2, 3, 4, 5, 5}}),
    [](const auto& info) { return "Result" + std::to_string(info.param.result); });

// Stage reports with a module error: fatal codes end at their stage; a weak signal (4175)
// reports 17 and an ignored code (4176) nothing; an error in the very report that ends the run
// as found does not end it again.
struct ReportRow {
    uint8_t stage, moduleCode;
    bool continues;
    int64_t code;
    StepCodes tail;  // after 1, 2, 3, 4, 6, 5, 11
};
class ModuleReport : public SecondFlow, public ::testing::WithParamInterface<ReportRow> {};

TEST_P(ModuleReport, EndsOnceWithItsCode) {
    auto m = makeModule(2);
    m->joinError = std::make_pair(GetParam().stage, GetParam().moduleCode);
    m->joinErrorContinues = GetParam().continues;
    start(secondParams());
    ASSERT_EQ(onlyEndAfter(), GetParam().code);
    StepCodes expected{1, 2, 3, 4, 6, 5, 11};
    expected.insert(expected.end(), GetParam().tail.begin(), GetParam().tail.end());
    EXPECT_EQ(steps, expected);
}
INSTANTIATE_TEST_SUITE_P(Table, ModuleReport,
                         ::testing::Values(ReportRow{2, 7, false, 4062, {7, 8}},
                                           ReportRow{3, 12, false, 4098, {7, 8, 9}},
                                           ReportRow{4, 7, false, 0, {7, 8, 9, 12}},
                                           ReportRow{1, 33, true, 0, {7, 17, 8, 9, 12}},
                                           ReportRow{1, 34, true, 0, {7, 8, 9, 12}}),
                         [](const auto& info) {
                             return "Stage" + std::to_string(info.param.stage) + "Module" +
                                    std::to_string(info.param.moduleCode);
                         });

// A wrong password pauses the run (the app hears 4094 and the run goes on); a resume with a new
// password sends the settings again and the run ends once more, with success.
TEST_F(SecondFlow, WrongPasswordPausesAndResumeFinishes) {
    auto m = makeModule(2);
    m->joinError = std::make_pair(uint8_t{1}, uint8_t{2});
    auto params = secondParams();
    start(params);
    ASSERT_EQ(onlyEndAfter(5), 4094);

    m->joinError.reset();
    params.routerPwd = "better-pass";
    manager()->resumeConfigWithParams(params);
    ASSERT_TRUE(MainLoop::runUntil([&] { return ends.size() == 2; }, 60));
    settle();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1].code, 0);
    ASSERT_EQ(received(0x69).size(), 2u);
    EXPECT_NE(m->log("credentials").back().detail.find("password=better-pass"), std::string::npos);
}

// Once a run has ended, a resume does nothing: no settings, no new link.
TEST_F(SecondFlow, ResumeAfterTheEndIsIgnored) {
    makeModule(2)->wifiResult = 0x01;
    auto params = secondParams();
    start(params);
    ASSERT_TRUE(runUntilEnd());
    settle(2);
    manager()->resumeConfigWithParams(params);
    settle();
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_EQ(received(0x69).size(), 1u);
    EXPECT_EQ(module->log("connected").size(), 1u);
}

// Status answers of every shape, as the first answer to 0x63: which go on to the Wi-Fi
// settings, and what the step information then carries. None reads past its end (ASan).
struct StatusRow {
    const char* name;
    Bytes body;
    bool sendsWifi;
    Dictionary stepInfo;  // empty: not checked
};
Bytes fullStatus(uint8_t versionLength, size_t versionBytes, size_t extra) {
    Bytes b{0x00};
    for (int i = 0; i < 32; ++i) b.push_back('S');
    b.insert(b.end(), {6, 5, 4, 3, 2, 1, versionLength});
    for (size_t i = 0; i < versionBytes; ++i) b.push_back(0xAB);
    b.insert(b.end(), extra, 0x01);
    return b;
}
Bytes cut(Bytes b, size_t length) {
    b.resize(length);
    return b;
}
class StatusAnswer : public SecondFlow, public ::testing::WithParamInterface<StatusRow> {};

TEST_P(StatusAnswer, GoesOnOnlyWhenWhole) {
    auto m = makeModule(2);
    auto first = std::make_shared<bool>(true);
    m->setHandler(0x63, [first, body = GetParam().body](sim::SimBleModule& mod,
                                                        const sim::SimBleFrame& request) {
        if (*first) {
            *first = false;
            return mod.answer(request, body);
        }
        mod.defaultHandler(0x63)(mod, request);
    });
    QKStepInfo atStatus;
    manager()->statConfig(
        secondParams(), 1,
        [&](int64_t step) {
            steps.push_back(int(step));
            if (step == 5 && atStatus.empty())
                atStatus = QKDeviceConfigManager::shareInstance()->stepInfoData();
        },
        completion());
    MainLoop::runUntil([&] { return !ends.empty(); }, 20);
    EXPECT_EQ(!received(0x69).empty(), GetParam().sendsWifi);
    EXPECT_LE(ends.size(), 1u);
    if (!GetParam().stepInfo.empty()) {
        EXPECT_EQ(atStatus[5], Value(GetParam().stepInfo));
    }
}
const std::string kS(32, 'S');
INSTANTIATE_TEST_SUITE_P(
    Table, StatusAnswer,
    ::testing::Values(
        StatusRow{"Full39", cut(fullStatus(0, 0, 0), 39), false, {}},
        StatusRow{"Full40", fullStatus(0, 0, 0), true,
                  Dictionary{{"moduleVersion", ""}, {"sn", kS}, {"deviceSubType", ""}}},
        StatusRow{"VersionNoSubtype", fullStatus(2, 2, 2), true,
                  Dictionary{{"moduleVersion", "ABAB"}, {"sn", kS}, {"deviceSubType", ""}}},
        StatusRow{"OverLong", fullStatus(2, 2, 60), true,
                  Dictionary{{"moduleVersion", "ABAB"}, {"sn", kS}, {"deviceSubType", "257"}}},
        StatusRow{"VersionPastTheEnd", fullStatus(200, 5, 0), true,
                  Dictionary{{"moduleVersion", ""}, {"sn", kS}, {"deviceSubType", ""}}},
        StatusRow{"ShortNoConfig", {1, 0, 0}, true, {}},
        StatusRow{"ShortConfigured", {1, 1, 0}, false, {}},
        StatusRow{"ShortTwoBytes", {1, 0}, false, {}},
        StatusRow{"CapabilitiesPastTheEnd", {3, 9, 0x04, 0x01, 1, 0x04, 0x03, 0x01}, true, {}},
        StatusRow{"Empty", {}, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ADNS support (capability 0x0103) is the byte at the entry's offset 3, even when the entry
// holds no value (the next entry's first byte then); the Wi-Fi settings carry the ADNS block
// only when it is set. An entry that ends the answer with no value leaves ADNS off.
TEST_F(SecondFlow, AdnsSupportIsTheByteAtOffsetThree) {
    struct Case {
        const char* name;
        std::vector<sim::SimBleModule::Capability> capabilities;
        bool adns;
    };
    const Case cases[] = {
        {"value 1", {{0x0103, {0x01}}}, true},
        {"value 0", {{0x0103, {0x00}}}, false},
        {"no value, the next entry's id 04 01 after it", {{0x0103, {}}, {0x0104, {0x00}}}, true},
        {"no value, the next entry's id 00 02 after it", {{0x0103, {}}, {0x0200, {0x01}}}, false},
        {"no value at the end of the answer", {{0x0103, {}}}, false},
    };
    const Bytes adnsBlock = {0x00, 0x35, 0x00, 0x01, 0x01, 0x00, 0x00, 0x0a};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        module = nullptr;
        ends.clear();
        sim::SimBleAdvertisement adv;
        adv.flags2 = kFunctionExtension | 0x04 | 0x08;  // function settings, region ID
        auto m = makeModule(adv);
        m->capabilities = c.capabilities;
        auto params = secondParams();
        params.functionType = "1";
        params.moduleServerDomain = "d.io";
        params.moduleServerPort = "443";
        params.countryCode = "CN";
        params.timeZone = "8";
        params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1}})};
        params.regionId = "3";
        params.adsClusterId = "258";
        params.adnsIPPort = "53";
        params.adnsIPList = {"10.0.0.1"};
        start(params);
        ASSERT_EQ(onlyEndAfter(), 0);
        const auto wifi = received(0x69);
        ASSERT_EQ(wifi.size(), 1u);
        const bool endsWithAdns =
            wifi[0].size() > adnsBlock.size() &&
            std::equal(adnsBlock.rbegin(), adnsBlock.rend(), wifi[0].rbegin());
        EXPECT_EQ(endsWithAdns, c.adns);
        resetForTesting<QKBleConnectManager>();
    }
}

// An empty Wi-Fi answer and reports too short for their form are ignored; the run goes on.
TEST_F(SecondFlow, EmptyAnswersAndShortReportsAreIgnored) {
    makeModule(2)->setHandler(0x69, [](sim::SimBleModule& m, const sim::SimBleFrame& r) {
        m.answer(r, {});
        m.report({0x01, 0x04});
        m.report({0x00, 'S', 'N'});
        m.report({0x02, 0x04, 0x05});
        m.reportStage(2);
    });
    start(secondParams());
    ASSERT_TRUE(MainLoop::runUntil([&] { return steps.size() == 7; }, 20));
    settle(20);
    EXPECT_EQ(steps, (StepCodes{1, 2, 3, 4, 6, 5, 8}));
    EXPECT_TRUE(ends.empty());
}

// A status-only run: a clean short status ends it with code 0, disconnecting.
TEST_F(SecondFlow, StatusOnlyRunEndsWithCodeZero) {
    makeModule(2);
    auto params = secondParams();
    params.onlyCheckCountOutEnable = true;
    start(params);
    ASSERT_TRUE(runUntilEnd());
    settle();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].error->code(), 0);
    EXPECT_EQ(steps, (StepCodes{1, 2, 3, 4, 5}));
    EXPECT_EQ(received(0x63), (std::vector<Bytes>{QKBLEProtocol::msgBodyForCheckStatus(1)}));
    EXPECT_TRUE(received(0x69).empty());
}

// Stop asks a module that can cancel to do so and drops the link 0.5 s later; one that cannot
// is dropped at once. Neither calls the completion.
TEST_F(SecondFlow, StopCancelsFirstWhenTheModuleCan) {
    for (bool canCancel : {true, false}) {
        SCOPED_TRACE(canCancel);
        sim::SimBleAdvertisement adv;
        adv.flags2 = kFunctionExtension;
        module = nullptr;
        auto m = makeModule(adv);
        m->mac[5] = canCancel ? 0x01 : 0x02;
        m->setAdvertisement(adv);
        m->capabilities = {{0x0104, {static_cast<uint8_t>(canCancel ? 0x04 : 0x00)}}};
        m->joinStages = {};
        ends.clear();
        auto params = secondParams();
        start(params);
        ASSERT_TRUE(MainLoop::runUntil([&] { return !m->log("join").empty(); }, 20));
        manager()->stopConfig(params);
        EXPECT_FALSE(manager()->ble());
        MainLoop::runFor(0.4);
        EXPECT_EQ(received(0x0B).size(), canCancel ? 1u : 0u);
        EXPECT_EQ(m->log("disconnected").empty(), canCancel);
        settle(2);
        EXPECT_EQ(m->log("disconnected").size(), 1u);
        settle(200);
        EXPECT_TRUE(ends.empty());
    }
}

// The target serial forces ownership confirmation (mode byte 2) when its 28 characters begin
// the appliance's serial, in any case; 27 characters do not, and pre-connect stays 0.
TEST_F(SecondFlow, TargetSerialRaisesNormalModeOnly) {
    struct Case {
        int64_t mode;
        size_t length;
        uint8_t sent;
    };
    for (const Case c : {Case{1, 28, 2}, Case{1, 27, 1}, Case{0, 28, 0}}) {
        module = nullptr;
        auto m = makeModule(2);
        m->mac[5] = static_cast<uint8_t>(c.mode * 40 + c.length);
        m->setAdvertisement(m->advertisement());
        std::string tsn = m->sn.substr(0, c.length);
        for (char& ch : tsn) ch = static_cast<char>(std::tolower(ch));
        auto params = secondParams(c.mode);
        params.extras.set(kQKSDKTSN, tsn);
        start(params);
        ASSERT_TRUE(MainLoop::runUntil([&] { return !received(0x69).empty(); }, 20));
        EXPECT_EQ(received(0x69)[0][0], c.sent);
        EXPECT_EQ(manager()->ble()->mode, c.sent);
        manager()->stopConfig(params);
        settle(2);
    }
}

// A kept session starts each configure from a clean run. The first run loses its link at the
// Wi-Fi answer, reconnects and ends 0; the appliance has joined and says so in its short
// status. A second configure of the same appliance asks for the full status again, sends the
// settings and ends 0 within seconds, not at the overall timer.
TEST_F(SecondFlow, AKeptSessionsNextRunStartsClean) {
    auto m = makeModule(2);
    // A joined module holds Wi-Fi settings: byte 1 of its short status is 1.
    m->setHandler(0x63, [](sim::SimBleModule& module, const sim::SimBleFrame& request) {
        if (!request.body.empty() && request.body[0] == 1)
            return module.answer(request, {0x01, uint8_t(module.joined() ? 1 : 0), 0x00});
        module.defaultHandler(0x63)(module, request);
    });
    m->addFault({sim::SimBleModule::Fault::LinkLoss, 0x69});
    const auto params = secondParams();
    start(params);
    ASSERT_EQ(onlyEndAfter(), 0);
    auto session = manager()->ble();
    ASSERT_TRUE(session && session->isReConnectBleDevice());
    EXPECT_EQ(received(0x69).size(), 2u);  // sent again after the reconnect

    ends.clear();
    steps.clear();
    const double begin = now();
    start(params);
    ASSERT_EQ(firstEnd(), 0);
    EXPECT_EQ(manager()->ble(), session);  // the same session carried on
    EXPECT_LT(ends[0].at - begin, 10);
    EXPECT_FALSE(session->isReConnectBleDevice());
    EXPECT_EQ(received(0x69).size(), 3u);
    EXPECT_EQ(received(0x63).back(), QKBLEProtocol::msgBodyForCheckStatus(0));
}

}  // namespace
}  // namespace telvo::test

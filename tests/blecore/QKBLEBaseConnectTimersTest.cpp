// The BLE session's overall time-out, cloud confirmation and results, driven end to end by a
// minimal flow against the virtual appliance and the fake cloud, in virtual time.
#include <gtest/gtest.h>

#include <cmath>

#include "../bleflows/BleFlowFixture.h"
#include "platform/foundation/AppLifecycle.h"
#include "sim/BleSessionPeer.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo::test {
namespace {

// A minimal flow written for these tests (not one of the product's): once keyed it asks the
// status for the serial number, sends the router credentials (0x69), starts the cloud
// confirmation when the appliance takes them and hands the module's error reports to the base.
class CloudFlow : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock done) {
        mutableConfigModel() = params;
        setRandomNum(params.randomNum.value_or(""));
        setBlocks(std::move(update), std::move(done));
        startTotalTimer();
        connect();
    }
    void isReady() override {
        if (!idle) sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), 0x63);
    }
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& frame) override {
        const Bytes body = frame->decrptMsgBody().value_or(Bytes{});
        if (frame->msgType() == 0x63 && body.size() >= 33 && body[0] == 0) {
            deviceRecord().deviceSn.assign(body.begin() + 1, body.begin() + 33);
            sendBody(*QKBLEProtocol::msgBodyForPreConnect(configModel(), 1), 0x69);
        } else if (frame->msgType() == 0x69 && body.size() == 1 && body[0] == 0) {
            cloudCheckAt = Clock::now();
            startCloudCheck();
        } else if (frame->msgType() == 0x0D && body.size() >= 3 && body[0] == 1 && body[2] != 0) {
            receiveErrorFromModuleWithData(body);
        }
    }
    bool idle = false;  // keyed, then nothing more
    double cloudCheckAt = -1;
};

constexpr const char* kRandom = "0123456789abcdef0123456789abcdef";
constexpr const char* kPresence = "/v1/appliance/sn/apExists";

class BleSessionTimersTest : public BleFlowFixture {
  public:
    BleSessionTimersTest() { NetworkReachability::setFlags(ReachabilityFlags::kReachable); }
    ~BleSessionTimersTest() override {
        if (flow) flow->stopConfig();
        flow.reset();
        MainLoop::drain();
    }

    // The module on the radio, a scan, and the flow started on it.
    void start(std::function<void(sim::SimBleModule&)> setUp = nullptr, bool idle = false) {
        makeModule(2);
        if (setUp) setUp(*module);
        auto params = scan();
        params.randomNum = kRandom;
        params.bleType = 1;
        params.extras = extras;
        flow = QKBLEBaseConnect::initWithParam<CloudFlow>(params);
        flow->idle = idle;
        startedAt = now();
        flow->statConfig(params, progress(), completion());
    }
    // Seconds after the start of the cloud confirmation of each presence query the cloud got
    // since then.
    std::vector<double> queries() const {
        const double from = flow->cloudCheckAt;
        std::vector<double> times;
        for (const auto& s : api.seen())
            if (s.request.path.ends_with("/sn/apExists") && s.time >= from)
                times.push_back(std::round((s.time - from) * 1000) / 1000);  // to the ms
        return times;
    }
    double sinceCloudCheck() const { return Clock::now() - flow->cloudCheckAt; }

    std::shared_ptr<CloudFlow> flow;
    double startedAt = 0;
    Dictionary extras;
};

// The whole session to success: every progress step in order, the result record, and the
// cloud asked every 2 s from the start of the confirmation until the appliance was online.
TEST_F(BleSessionTimersTest, WholeSessionSucceedsThroughTheCloud) {
    start([](sim::SimBleModule& m) { m.cloudDelay = 9.5; });
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 11, 12}));
    ASSERT_EQ(onlyEnd(), 0);
    const QKDevice& d = *ends[0].device;
    EXPECT_EQ(d.deviceSn, module->sn);
    EXPECT_EQ(d.randomCode, kRandom);
    EXPECT_TRUE(d.checkRandom);
    EXPECT_EQ(d.btMac, "11:22:33:44:55:66");
    EXPECT_EQ(queries(), (std::vector<double>{0, 2, 4, 6, 8, 10}));
    for (const auto& s : api.seen()) {
        auto body = Value::fromJSON(s.request.body).value_or(Value());
        EXPECT_TRUE(s.signatureValid && body["forceValidRandomCode"].boolValue());
        EXPECT_EQ(body["randomCode"].text(), kRandom);
    }
    auto info = QKDeviceConfigManager::shareInstance()->stepInfoData();
    EXPECT_NE(info[11]["QKDevice"].objectAs<QKDevice>(), nullptr);
    // Nothing follows: no second result, no query, no pending step.
    MainLoop::runFor(200);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_EQ(queries().size(), 6u);
    EXPECT_EQ(MainLoop::pendingPerformRequests(flow.get()), 0u);
    EXPECT_TRUE(!QKBLEBaseConnectTestPeer::findDeviceTimer(*flow) &&
                !QKBLEBaseConnectTestPeer::totalTimer(*flow));
}

// The overall time-out: 180 s from the start, moved later by each pause.
TEST_F(BleSessionTimersTest, OverallTimeOutAndPauses) {
    struct Case {
        std::vector<std::pair<double, double>> pauses;  // from, to (seconds after the start)
        double firesAt;
    } cases[] = {{{}, 180}, {{{100, 160}}, 240}, {{{20, 30}, {50, 60}}, 200}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.firesAt);
        ends.clear();
        start(nullptr, true);
        for (const auto& [from, to] : k.pauses) {
            MainLoop::runFor(from - (now() - startedAt));
            flow->pauseTotalTimer();
            MainLoop::runFor(to - from);
            flow->resumeTotalTimer();
        }
        ASSERT_TRUE(runUntilEnd());
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_NEAR(ends[0].at - startedAt, k.firesAt, 1e-6);
        EXPECT_EQ(ends[0].code, 4089);
        EXPECT_EQ(ends[0].error->userInfo()[kQKSDKErrorSubType].text(), kQKSDKErrorCheckApTimeOut);
        EXPECT_EQ(QKBLEBaseConnectTestPeer::totalCount(*flow), UINT64_MAX);
        MainLoop::drain();
        EXPECT_EQ(flow->peripheral()->state(), CBPeripheralState::Disconnected);
        flow.reset();
        MainLoop::runFor(1);
    }
}

// One way the confirmation may go, against a fresh appliance and cloud. Times are seconds
// after the confirmation began.
struct Confirmation {
    const char* name;
    double online;                // the appliance's cloud delay
    std::optional<int64_t> code;  // none: no completion at all
    double endsAt;
    std::optional<std::vector<double>> queries;  // none: the cadence of the time-out
    std::function<void(BleSessionTimersTest&)> setUp = nullptr, during = nullptr;
    std::string applianceCode = "";
};
void PrintTo(const Confirmation& c, std::ostream* os) {
    *os << c.name;
}

using T = BleSessionTimersTest;
void offline(T& t) {
    t.api.setOfflineCode(1307);
}
void backgroundDuringAQuery(T& t) {
    // In virtual time, so that the held request takes the cloud's turn on the loop.
    t.cloud.answerInVirtualTime();
    t.api.script(kPresence, {SimCloudApi::json(R"({"code":1307,"msg":"offline"})"),
                             ScriptedReply{.neverAnswer = true}});
}
void toBackgroundAndBack(T& t) {
    const auto first = QKBLEBaseConnectTestPeer::cuCheckApTask(*t.flow);
    ASSERT_TRUE(MainLoop::runUntil(
        [&] { return QKBLEBaseConnectTestPeer::cuCheckApTask(*t.flow) != first; }, 5));
    ASSERT_TRUE(MainLoop::runUntil([&] { return t.api.seen().size() >= 2; }, 0.1));
    QKBLEBaseConnectTestPeer::cuCheckApTask(*t.flow)
        ->suspend();  // the system holds the request in the background
    AppLifecycle::postDidEnterBackground();
    MainLoop::runFor(30);
    AppLifecycle::postWillEnterForeground();
    MainLoop::runFor(1);
    // The cancelled request reports no failure of the cloud.
    EXPECT_EQ(QKBLEBaseConnectTestPeer::checkApFailedResultCode(*t.flow) % 10000, 1307);
}
void tokenInvalid(T& t) {
    QKMiddleInterface::shareInstance()->middleConfig()->setTokenInvalidErrorCode(40001);
    t.api.script(kPresence, {SimCloudApi::tokenInvalid()});
}
void openApi(T& t) {
    QKUserDefault::standardUserDefaults()->setValue(Value("10004"), "sdkWorkMode");
    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("token");
    t.api.setAccessToken("token");
    t.api.script("/v2/open/sdk/device/sn/apExists",
                 {SimCloudApi::json(R"({"code":0,"data":{"applianceList":[]}})"),
                  SimCloudApi::json(R"({"code":0,"applianceList":[{"applianceCode":"A1"}]})")});
}

const Confirmation kConfirmations[] = {
    {"online at the last query, after 89 ticks", 88.25, 0, 88.5, std::nullopt},
    {"nothing seen", 1000, 4089, 89, std::nullopt},
    {"offline", 1000, 1307, 89, std::nullopt, offline},
    {"offline but seen on the LAN", 1000, 4168, 89, std::nullopt, offline,
     [](T& t) { t.flow->updateBlockWithState(9); }},
    {"cloud code of seven digits", 1000, 40001, 89, std::nullopt,
     [](T& t) { t.api.setOfflineCode(40001); }},
    {"cloud unreachable", 1000, 9003, 89, std::vector<double>{},
     [](T&) { NetworkReachability::setFlags(0); }},
    {"combination: no query at all", 1000, 4089, 89, std::vector<double>{},
     [](T& t) {
         t.extras =
             Dictionary{{kQKSDKConfigConnectConditionType, Value(kQKSDKValueConnectCombination)}};
     }},
    {"token invalid, then online", 1, 0, 2, std::vector<double>{0, 2}, tokenInvalid},
    {"background during a query, then online", 20, 0, 34, std::vector<double>{0, 2, 34},
     backgroundDuringAQuery, toBackgroundAndBack},
    {"started again", 4.5, 0, 6, std::vector<double>{0, 0, 2, 4, 6}, nullptr,
     [](T& t) { t.flow->startCloudCheck(); }},
    {"overall time-out while polling", 4.5, 4089, 5, std::vector<double>{0, 2, 4}, nullptr,
     [](T& t) { t.flow->startTotalTimerWithTotalCount(5); }},
    {"stopped while polling", 4.5, std::nullopt, 0, std::vector<double>{0, 2, 4}, nullptr,
     [](T& t) {
         MainLoop::runFor(5);
         t.flow->stopConfig();
     }},
    // No reconnect is due once the confirmation runs, and the confirmation decides.
    {"link lost while polling", 3, 0, 4, std::vector<double>{0, 2, 4}, nullptr,
     [](T& t) { t.module->appliance().loseLink(); }},
    // Only the cloud's entry ends an open-API session; the appliance's success does nothing.
    {"open API", 1000, 0, 2, std::vector<double>{0, 2}, openApi,
     [](T& t) { t.flow->findDeviceDo(); }, "A1"},
};

class BleSessionConfirmationTest : public BleSessionTimersTest,
                                   public ::testing::WithParamInterface<Confirmation> {};

// The confirmation ends once, with the telling code, and asks nothing after its end.
TEST_P(BleSessionConfirmationTest, EndsOnce) {
    const Confirmation& k = GetParam();
    start([&](sim::SimBleModule& m) {
        m.cloudDelay = k.online;
        if (k.setUp) k.setUp(*this);
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return flow->cloudCheckAt >= 0; }, 30));
    if (k.during) k.during(*this);
    MainLoop::runFor(150);
    ASSERT_EQ(ends.size(), k.code ? 1u : 0u);
    const auto times = queries();
    if (k.code) {
        EXPECT_EQ(ends[0].code, *k.code);
        EXPECT_NEAR(ends[0].at - (now() - sinceCloudCheck()), k.endsAt, 1e-6);
        EXPECT_EQ(ends[0].device->applianceCode, k.applianceCode);
        const bool timedOut = ends[0].error->userInfo()[kQKSDKErrorSubType].isText();
        EXPECT_EQ(timedOut, *k.code != 0);
        EXPECT_EQ(std::count(steps.begin(), steps.end(), 12), *k.code ? 0 : 1);
        EXPECT_LE(times.empty() ? 0 : times.back(), k.endsAt);
    }
    if (k.queries) {
        EXPECT_EQ(times, *k.queries);
        return;
    }
    // The counter reads the elapsed time + 0.5 when an answer schedules the next query.
    ASSERT_GT(times.size(), 40u);
    for (size_t i = 1; i < times.size(); ++i) {
        const double at = times[i - 1];
        EXPECT_NEAR(times[i] - at, at >= 10.5 && at < 30.5 ? 0.5 : 2.0, 1e-6) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BleSessionConfirmationTest, ::testing::ValuesIn(kConfirmations));

// Frames go out 20 ms apart per chunk on the loop's clock, one after the other; a stop drops
// the chunks not yet written.
TEST_F(BleSessionTimersTest, ChunksAreSpacedAndAStopDropsTheRest) {
    start([](sim::SimBleModule& m) { m.appliance().attMtu = 23; }, true);
    ASSERT_TRUE(MainLoop::runUntil([&] { return steps.size() == 4; }, 10));
    module->mute = true;
    radio->clearLog();
    const Bytes first(40, 0x11), second(40, 0x22);
    flow->sendBody(first, 0x63);
    flow->sendBody(second, 0x40);
    MainLoop::runFor(1);
    const auto writes = radio->log("write");
    ASSERT_EQ(writes.size(), 6u);
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_NEAR(writes[i].time - writes[0].time, 0.02 * double(i), 1e-6);
    EXPECT_EQ(received(0x63), std::vector<Bytes>{first});
    EXPECT_EQ(received(0x40), std::vector<Bytes>{second});

    flow->sendBody(first, 0x0F);
    MainLoop::runFor(0.03);
    flow->stopConfig();
    MainLoop::runFor(10);
    EXPECT_EQ(radio->log("write").size(), 8u);
    EXPECT_TRUE(received(0x0F).empty());
}

}  // namespace
}  // namespace telvo::test

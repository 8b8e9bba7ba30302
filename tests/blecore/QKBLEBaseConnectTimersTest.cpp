// The BLE session's overall time-out, cloud confirmation and results, driven end to end by a
// minimal flow against the virtual appliance and the fake cloud, in virtual time.
#include <gtest/gtest.h>

#include "../bleflows/BleFlowFixture.h"
#include "platform/AppLifecycle.h"
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
        iConfigModel = params;
        randomNum = params.randomNum.value_or("");
        updateCallBack = std::move(update);
        configCompletion = std::move(done);
        startTotalTimer();
        connect();
    }
    void isReady() override {
        if (!idle) sendBody(QKBLEProtocol::msgBodyForCheckStatus(0), 0x63);
    }
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& frame) override {
        const Bytes body = frame->decrptMsgBody().value_or(Bytes{});
        if (frame->msgType() == 0x63 && body.size() >= 33 && body[0] == 0) {
            bleDevice->deviceSn.assign(body.begin() + 1, body.begin() + 33);
            sendBody(*QKBLEProtocol::msgBodyForPreConnect(iConfigModel, 1), 0x69);
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
                times.push_back(s.time - from);
        return times;
    }
    double sinceCloudCheck() const { return Clock::now() - flow->cloudCheckAt; }

    std::shared_ptr<CloudFlow> flow;
    double startedAt = 0;
};

// The whole session to success: every progress step in order, the result record, and the
// cloud asked every 2 s from the start of the confirmation until the appliance was online.
TEST_F(BleSessionTimersTest, WholeSessionSucceedsThroughTheCloud) {
    start([](sim::SimBleModule& m) { m.cloudDelay = 9.5; });
    ASSERT_TRUE(runUntilEnd());
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 11, 12}));
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    const QKDevice& d = *ends[0].device;
    EXPECT_EQ(d.deviceSn, module->sn);
    EXPECT_EQ(d.randomCode, kRandom);
    EXPECT_TRUE(d.checkRandom);
    EXPECT_EQ(d.btMac, flow->bleDevice->btMac);
    EXPECT_FALSE(d.btMac.empty());
    EXPECT_EQ(module->randomCode(), kRandom);

    const auto times = queries();
    ASSERT_EQ(times.size(), 6u);
    for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], 2.0 * double(i), 1e-6);
    EXPECT_NEAR(sinceCloudCheck(), 10.0, 1e-6);
    for (const auto& s : api.seen()) {
        EXPECT_TRUE(s.signatureValid);
        auto body = Value::fromJSON(s.request.body).value_or(Value());
        EXPECT_EQ(body["randomCode"].text(), kRandom);
        EXPECT_TRUE(body["forceValidRandomCode"].boolValue());
    }
    auto info = QKDeviceConfigManager::shareInstance()->stepInfoData();
    ASSERT_EQ(info.count(11), 1u);
    EXPECT_NE(info[11]["QKDevice"].objectAs<QKDevice>(), nullptr);

    // Nothing follows: no second result, no query, no pending step.
    MainLoop::runFor(200);
    EXPECT_EQ(ends.size(), 1u);
    EXPECT_EQ(queries().size(), 6u);
    EXPECT_EQ(MainLoop::pendingPerformRequests(flow.get()), 0u);
    EXPECT_EQ(flow->findDeviceTimer, nullptr);
    EXPECT_EQ(flow->totalTimer, nullptr);
}

// The open-API work mode ends only through the cloud's entry, which becomes the record; a
// success report of the appliance does nothing there.
TEST_F(BleSessionTimersTest, OpenApiModeEndsWithTheCloudEntry) {
    QKUserDefault::standardUserDefaults()->setValue(Value("10004"), "sdkWorkMode");
    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("token");
    api.setAccessToken("token");
    const std::string path = "/v2/open/sdk/device/sn/apExists";
    api.script(path, {SimCloudApi::json(R"({"code":0,"data":{"applianceList":[]}})"),
                      SimCloudApi::json(R"({"code":0,"applianceList":[{"applianceCode":"A1",)"
                                        R"("verificationCode":"V1"}]})")});
    start([](sim::SimBleModule& m) { m.cloudDelay = 1000; });
    ASSERT_TRUE(MainLoop::runUntil([&] { return flow->cloudCheckAt >= 0; }, 30));
    flow->findDeviceDo();
    ASSERT_TRUE(runUntilEnd());
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].code, 0);
    EXPECT_EQ(ends[0].device->applianceCode, "A1");
    EXPECT_EQ(ends[0].device->verificationCode, "V1");
    EXPECT_EQ(ends[0].device->deviceSn, "");
    EXPECT_NEAR(sinceCloudCheck(), 2.0, 1e-6);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 11, 12}));
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
            EXPECT_TRUE(flow->isPauseConfig);
            MainLoop::runFor(to - from);
            flow->resumeTotalTimer();
        }
        ASSERT_TRUE(runUntilEnd());
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_NEAR(ends[0].at - startedAt, k.firesAt, 1e-6);
        EXPECT_EQ(ends[0].code, 4089);
        EXPECT_EQ(ends[0].error->userInfo()[kQKSDKErrorSubType].text(), kQKSDKErrorCheckApTimeOut);
        EXPECT_EQ(flow->totalCount, UINT64_MAX);
        MainLoop::drain();
        EXPECT_EQ(flow->peripheral->state(), CBPeripheralState::Disconnected);
        flow.reset();
        MainLoop::runFor(1);
    }
}

// The confirmation gives up at the 90th tick, 89 s after it began, with the code of what was
// seen; the query cadence is 2 s, then 0.5 s from 11 s to 31 s, then 2 s again.
TEST_F(BleSessionTimersTest, ConfirmationGivesUpWithTheTellingCode) {
    struct Case {
        const char* name;
        std::function<void(BleSessionTimersTest&)> setUp;
        int64_t code;
        bool queries;
    } cases[] = {
        {"nothing seen", nullptr, 4089, true},
        {"offline", [](BleSessionTimersTest& t) { t.api.setOfflineCode(1307); }, 1307, true},
        {"offline but seen on the LAN",
         [](BleSessionTimersTest& t) {
             t.api.setOfflineCode(1307);
             t.flow->updateBlockWithState(9);
         },
         4168, true},
        {"cloud code of seven digits", [](BleSessionTimersTest& t) { t.api.setOfflineCode(40001); },
         40001, true},
        {"cloud unreachable", [](BleSessionTimersTest&) { NetworkReachability::setFlags(0); }, 9003,
         false},
        {"combination: no query at all",
         [](BleSessionTimersTest& t) {
             t.flow->extras = Dictionary{
                 {kQKSDKConfigConnectConditionType, Value(kQKSDKValueConnectCombination)}};
         },
         4089, false},
    };
    std::vector<double> cadence;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ends.clear();
        steps.clear();
        start([](sim::SimBleModule& m) { m.cloudDelay = 1000; });
        if (k.setUp) k.setUp(*this);
        ASSERT_TRUE(runUntilEnd());
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].code, k.code);
        EXPECT_EQ(ends[0].error->userInfo()[kQKSDKErrorSubType].text(), kQKSDKErrorCheckApTimeOut);
        EXPECT_NEAR(sinceCloudCheck(), 89.0, 1e-6);
        EXPECT_EQ(steps.back(), 11);
        const auto times = queries();
        EXPECT_EQ(times.empty(), !k.queries);
        if (k.code == 4089 && k.queries) cadence = times;
        MainLoop::runFor(10);
        EXPECT_EQ(queries().size(), times.size());  // none after the end
        NetworkReachability::setFlags(ReachabilityFlags::kReachable);
        api.setOfflineCode(0);
        flow.reset();
        MainLoop::runFor(1);
    }
    ASSERT_GT(cadence.size(), 40u);
    EXPECT_EQ(cadence.front(), 0.0);
    for (size_t i = 1; i < cadence.size(); ++i) {
        const double at = cadence[i - 1], gap = cadence[i] - at;
        if (at < 10.5 || (at > 31.5 && at < 88)) {
            EXPECT_NEAR(gap, 2.0, 1e-6) << at;
        } else if (at > 11.5 && at < 30.5) {
            EXPECT_NEAR(gap, 0.5, 1e-6) << at;
        }
    }
    EXPECT_LT(cadence.back(), 89.0);
}

}  // namespace
}  // namespace telvo::test

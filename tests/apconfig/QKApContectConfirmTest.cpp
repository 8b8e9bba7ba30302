#include <gtest/gtest.h>

#include "ApFlowFixture.h"
#include "core/TelvoTimer.h"
#include "http/QKAFURLSessionManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "sim/CloudRoute.h"
#include "sim/SimWifiFaults.h"

namespace telvo::test {
namespace {

using Steps = std::vector<int64_t>;
using Kind = sim::SimDiscoveryAnswer::Kind;

constexpr const char* kPresencePath = "/v1/appliance/sn/apExists";

// Grants a new token whenever the cloud refuses the current one.
class GrantingDelegate : public QKRefreshDelegate {
  public:
    bool respondsToRefreshToken() const override { return true; }
    void refreshToken(std::function<void(bool)> done) override {
        ++refreshes;
        QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("token-2");
        DispatchQueue::main()->async([done] { done(true); });
    }
    int refreshes = 0;
};

class ApConfirm : public ApFlowFixture {
  public:
    // A fresh run with confirmation, the appliance on the LAN and online at those times after
    // it took the credentials, until its first result and 300 s more.
    void runToEnd(std::optional<double> lan, std::optional<double> online,
                  const std::function<void(ApConfirm&)>& arrange) {
        fresh();
        announce({});
        homeNetwork(lan, online, 2);
        if (arrange) arrange(*this);
        start(params(), true);
        ASSERT_TRUE(runUntilResults(1));
        MainLoop::runFor(300);
    }
    // Seconds from the credentials to the first result.
    double firstResultAfterCredentials() const { return seen.at[0] - (credentialsAt() - t0); }
    // A refresh delegate a case hands in (held weakly by the library, so kept here).
    std::shared_ptr<GrantingDelegate> refresher;
    size_t polls() const {
        size_t n = 0;
        for (const auto& r : cloud->requests()) n += r.path.ends_with("/sn/apExists");
        return n;
    }
};

// A whole configuration from the hotspot to the final record, ended by the cloud, by the
// time-out or by an already-bound answer; each reports its steps in order and ends once.
TEST_F(ApConfirm, WholeRunEndsOnce) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    struct Case {
        const char* name;
        std::optional<double> lan, online;
        std::function<void(ApConfirm&)> arrange;
        Steps steps;
        int64_t code;
        double at;  // seconds after the credentials were taken
        // clang-format off
    } cases[] = {
        {"seen on the LAN, then online", 3, 20, {}, {0, 8, 4, 15, 12, 10, 6}, 0, 20},
        {"online before the LAN", std::nullopt, 5, {}, {0, 8, 4, 15, 6}, 0, 5},
        {"never online", std::nullopt, std::nullopt, {}, {0, 8, 4, 15, 10}, 1307, 100},
        {"never online, seen on the LAN", 3, std::nullopt, {}, {0, 8, 4, 15, 12, 10}, 4169, 100},
        {"already bound", std::nullopt, std::nullopt, [](ApConfirm& t) {
             t.api->script(kPresencePath, {SimCloudApi::json(R"({"code":1370,"msg":"bound"})")});
         }, {0, 8, 4}, 1370, 0},
        {"random code refused, then online", std::nullopt, 5, [](ApConfirm& t) {
             t.api->script(kPresencePath, {SimCloudApi::json(R"({"code":1321,"msg":"random"})")});
         }, {0, 8, 4, 15, 11, 6}, 0, 5},
        {"token refreshed while polling", std::nullopt, 5, [](ApConfirm& t) {
             t.refresher = std::make_shared<GrantingDelegate>();
             QKNetWorkManager::shareInstance()->setTokenRefreshDelegate(t.refresher);
             QKMiddleInterface::shareInstance()->middleConfig()->setWorkmode(1);
             t.api->acceptOnlyBodyToken("token-2");
         }, {0, 8, 4, 15, 6}, 0, 5},
        {"open platform, online", std::nullopt, 5, [](ApConfirm&) {
             QKUserDefault::standardUserDefaults()->setValue(Value("10004"), "sdkWorkMode");
         }, {0, 8, 4, 15, 6}, 0, 5},
        {"background and back", 4, 20, [](ApConfirm&) {
             DispatchQueue::main()->after(40, [] { AppLifecycle::postDidEnterBackground(); });
             DispatchQueue::main()->after(44, [] { AppLifecycle::postWillEnterForeground(); });
         }, {0, 8, 4, 15, 12, 10, 6}, 0, 20},
    };
    // clang-format on
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        runToEnd(k.lan, k.online, k.arrange);
        if (refresher) {
            EXPECT_GT(refresher->refreshes, 0);
            refresher = nullptr;
        }

        EXPECT_EQ(seen.steps, k.steps);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.code(), k.code);
        EXPECT_NEAR(firstResultAfterCredentials(), k.at, 1.0);
        EXPECT_TRUE(seen.results[0]->userInfo()[kQKSDKUDPBroadMsg].isDictionary());
        const bool timeOut = k.at == 100;
        EXPECT_EQ(seen.results[0]->userInfo()[kQKSDKErrorSubType].text(),
                  timeOut ? kQKSDKErrorCheckApTimeOut : "");
        const auto& device = seen.devices[0];
        if (k.code == 0) {
            ASSERT_TRUE(device);
            EXPECT_EQ(device->randomCode, run->randomUUID().value());
            EXPECT_EQ(device->udpVersion, "02000000");
            const bool open = std::string(k.name).starts_with("open");
            EXPECT_EQ(device->deviceSn, open ? "" : sim->identity.serial);
            EXPECT_EQ(device->deviceSsid, kHotspot);
        } else if (k.code == 1370) {
            ASSERT_TRUE(device);
            EXPECT_EQ(device->deviceSn, sim->identity.serial);
            EXPECT_EQ(polls(), 1u) << "no poll after the end";
        } else {
            EXPECT_FALSE(device);
        }
        EXPECT_EQ(MainLoop::pendingPerformRequests(run.get()), 0u);
    }
}

// The cloud answering the polls late, in virtual time, or never: each poll's answer arrives at
// its virtual time and paces the next one; the run ends once, or pauses with 4122 at 15 s when
// nothing has answered by then (a request's own time-out, 9002 at 30 s, counts as no answer).
// The appliance is online 5 s after it took the credentials.
TEST_F(ApConfirm, CloudAnswersInVirtualTime) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    auto late = [](std::vector<std::optional<double>> holds) {
        return [holds](ApConfirm& t) {
            t.cloud->answerInVirtualTime();
            t.api->delay(kPresencePath, holds);
        };
    };
    auto named = [](const char* fault) {
        return [fault](ApConfirm& t) { sim::simWifiFault(fault).apply(*t.home); };
    };
    struct Case {
        const char* name;
        std::function<void(ApConfirm&)> arrange;
        Steps steps;
        int64_t code;
        double at;  // seconds after the credentials were taken
        size_t polls;
    } cases[] = {
        // Offline at 0 s, answered at 12 s; the next poll, 0.5 s later, finds it online.
        {"first poll answered after 12 s", late({12}), {0, 8, 4, 10, 15, 6}, 0, 12.5, 2},
        // Each answer 9 s late: offline at 9 s, then the poll of 11 s answers online at 20 s.
        {"every poll answered 9 s late", named("cloud-slow"), {0, 8, 4, 15, 10, 6}, 0, 20, 2},
        // The first poll never answers (its request fails at 30 s, paused by then).
        {"the cloud never answers", named("cloud-silent"), {0, 8, 4, 10}, 4122, 15, 1},
        {"the first poll lost, the next answered",
         late({std::nullopt}),
         {0, 8, 4, 10},
         4122,
         15,
         1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        runToEnd(std::nullopt, 5, k.arrange);

        EXPECT_EQ(seen.steps, k.steps);
        ASSERT_EQ(seen.results.size(), 1u);
        EXPECT_EQ(seen.code(), k.code);
        EXPECT_NEAR(firstResultAfterCredentials(), k.at, 1e-6);
        EXPECT_EQ(polls(), k.polls);
        EXPECT_EQ(seen.devices[0] != nullptr, k.code == 0);
    }
}

// Polls go every 2 s for the first 10 s, every 0.5 s up to 30 s, every 2 s afterwards, and
// stop once the counter passes the time-out.
TEST_F(ApConfirm, PollsAtTheirCadence) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    announce({});
    homeNetwork(std::nullopt, std::nullopt, 2);
    start(params(), true);
    ASSERT_TRUE(MainLoop::runUntil([&] { return credentialsAt() >= 0; }, 60));
    const double c = credentialsAt();
    std::vector<std::pair<double, size_t>> marks = {{9.9, 5}, {11.9, 6}, {30.9, 44}, {88, 72}};
    for (const auto& [at, count] : marks) {
        MainLoop::runUntil([] { return false; }, c + at - Clock::now());
        EXPECT_EQ(polls(), count) << "at " << at;
    }
    ASSERT_TRUE(runUntilResults(1));
    const size_t final = polls();
    MainLoop::runFor(100);
    EXPECT_EQ(polls(), final);
    EXPECT_EQ(seen.code(), 1307);
}

// Back in the foreground with a poll held in the background: the held poll is cancelled and
// polling goes on in one chain, every 2 s from the return; the cancellation is no answer of the
// cloud and leaves the last code it gave (1307, offline) for the time-out.
TEST_F(ApConfirm, ForegroundRestartsPollingOnce) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    struct Case {
        const char* name;
        bool answered;  // whether the polls after the return are answered
    } cases[] = {{"later polls answered offline", true}, {"later polls unanswered", false}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fresh();
        cloud->answerInVirtualTime();
        // The system holds a request of an app in the background; the test does it for the
        // latest poll.
        URLSessionTaskPtr lastPoll;
        auto center = NotificationCenter::defaultCenter();
        auto token = center->addObserverForName(
            QKAFNSURLSessionTaskDidResumeNotification, nullptr, [&](const Notification& n) {
                auto task = std::static_pointer_cast<URLSessionTask>(n.object);
                if (task && task->originalRequest().url.ends_with("/sn/apExists")) lastPoll = task;
            });
        announce({});
        homeNetwork(std::nullopt, std::nullopt, 2);
        start(params(), true);
        ASSERT_TRUE(MainLoop::runUntil([&] { return credentialsAt() >= 0; }, 60));
        const double c = credentialsAt();
        MainLoop::runUntil([] { return false; }, c + 60 - Clock::now());
        api->delay(kPresencePath, {std::nullopt});
        const size_t before = polls();
        ASSERT_TRUE(MainLoop::runUntil([&] { return polls() > before; }, 3));
        ASSERT_TRUE(lastPoll);
        lastPoll->suspend();
        AppLifecycle::postDidEnterBackground();
        MainLoop::runFor(20);
        if (!k.answered) api->delay(kPresencePath, std::vector<std::optional<double>>(40));
        const double back = Clock::now();
        AppLifecycle::postWillEnterForeground();
        ASSERT_TRUE(runUntilResults(1));
        center->removeObserver(token);

        std::vector<double> after;
        for (const auto& r : api->seen())
            if (r.time > back) after.push_back(r.time - back);
        ASSERT_FALSE(after.empty());
        EXPECT_NEAR(after[0], 2, 1e-6);
        if (k.answered) {
            for (size_t i = 1; i < after.size(); ++i) EXPECT_NEAR(after[i] - after[i - 1], 2, 1e-6);
            EXPECT_GE(after.size(), 4u);  // until the counter passes the time-out
        } else {
            EXPECT_EQ(after.size(), 1u);
        }
        EXPECT_EQ(seen.code(), 1307);
        EXPECT_NEAR(firstResultAfterCredentials(), 100, 1.0);
    }
}

// A phone whose network cannot reach the cloud: at 15 s the run pauses with 4122, the
// time-out timer keeps its time. A resume when not paused changes nothing; the resume after
// the pause goes on with the remaining time; found online, the run ends with the record.
TEST_F(ApConfirm, PauseThenResume) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost("http://127.0.0.1:1");
    announce({});
    homeNetwork(3, std::nullopt, 2);
    start(params(), true);
    ASSERT_TRUE(MainLoop::runUntil([&] { return credentialsAt() >= 0; }, 60));
    const double c = credentialsAt();

    MainLoop::runUntil([] { return false; }, c + 5 - Clock::now());
    QKDeviceApConfigParams goOn;
    goOn.continueType = 1;
    run->resumeConfigWithParams(goOn);
    EXPECT_EQ(MainLoop::pendingPerformRequests(run.get(), "startIncreaseSeconds"), 1u);

    ASSERT_TRUE(runUntilResults(1));
    EXPECT_EQ(seen.code(), 4122);
    EXPECT_NEAR(seen.at[0] - (c - t0), 15, 1.0);
    EXPECT_EQ(seen.steps, (Steps{0, 8, 4, 12, 10}));
    EXPECT_TRUE(run->isPauseConfig());

    MainLoop::runFor(30);
    EXPECT_EQ(seen.results.size(), 1u);
    config->setServerHost(cloud->baseURL());
    run->resumeConfigWithParams(goOn);
    goOn.continueType = 2;
    run->resumeConfigWithParams(goOn);
    ASSERT_TRUE(runUntilResults(2));
    EXPECT_EQ(seen.code(1), 4169) << "offline in the cloud, seen on the LAN";
    EXPECT_EQ(seen.results[1]->userInfo()[kQKSDKErrorSubType].text(), kQKSDKErrorCheckApTimeOut);
    EXPECT_NEAR(seen.at[1] - (c - t0), 10 + 90 + 30, 1.0) << "the paused time is added";
    EXPECT_EQ(seen.steps, (Steps{0, 8, 4, 12, 10, 15, 12})) << "the resumed search finds it again";
}

// A stop at any phase of the confirmation: no step or completion afterwards, no poll left.
TEST_F(ApConfirm, StopSilencesTheConfirmation) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    struct Case {
        const char* name;
        std::function<bool(ApConfirm&)> stopWhen;
    } cases[] = {
        {"poll in flight", [](ApConfirm& t) { return t.cloud->requestCount() >= 1; }},
        {"after the 10-s mark",
         [](ApConfirm& t) { return !t.seen.steps.empty() && t.seen.steps.back() == 10; }},
        {"while paused", [](ApConfirm& t) { return !t.seen.results.empty(); }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fresh();
        if (std::string(k.name) == "while paused")
            QKMiddleInterface::shareInstance()->middleConfig()->setServerHost("http://127.0.0.1:1");
        announce({});
        homeNetwork(3, std::nullopt, 2);
        start(params(), true);
        ASSERT_TRUE(MainLoop::runUntil([&] { return k.stopWhen(*this); }, 60));
        const Seen before = seen;
        run->stopBindDeviceToWifiWithCompletion(nullptr);
        const size_t pollsAtStop = polls();
        MainLoop::runFor(300);
        EXPECT_EQ(seen.steps, before.steps);
        EXPECT_EQ(seen.results.size(), before.results.size());
        EXPECT_LE(polls(), pollsAtStop + 1);
        EXPECT_EQ(MainLoop::pendingPerformRequests(run.get()), 0u);
        EXPECT_FALSE(run->findDeviceTimer());
    }
}

// The Wi-Fi list over the session: the appliance's list, an empty one, a truncated reply, no
// answer, and no session at all. Each completion comes once.
TEST_F(ApConfirm, WifiListFromTheAppliance) {
    struct Case {
        const char* name;
        std::optional<Bytes> body;
        int silences;
        int64_t code;
        const char* list;  // JSON, or nullptr for none
    } cases[] = {
        {"the appliance's list", std::nullopt, 0, 0,
         R"([{"ssid":"home-router","miType":2},{"ssid":"neighbour","miType":0}])"},
        {"empty list", Bytes{0}, 0, 0, "[]"},
        {"truncated reply",
         Bytes{2, 11, 2, 'h', 'o', 'm', 'e', '-', 'r', 'o', 'u', 't', 'e', 'r', 9, 0, 'n', 'e'}, 0,
         0, R"([{"ssid":"home-router","miType":2}])"},
        {"no answer", std::nullopt, 2, 4019, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        fresh();
        announce({});
        if (k.body) sim->setReplyBody(0x6B, *k.body);
        sim->addFaults(k.silences, {sim::SimLanAppliance::Fault::Silence});
        run = QKApContect::create();
        int connected = 0;
        run->connectDeviceWithParams(params(), [&](const ErrorPtr&) { ++connected; });
        ASSERT_TRUE(MainLoop::runUntil([&] { return connected == 1; }, 10));
        std::vector<std::pair<int64_t, std::string>> got;
        run->getWifiListAroundDeviceWithCompletion(
            [&](const ErrorPtr& e, const std::optional<Value::Array>& list) {
                got.emplace_back(TelvoError::codeForSDKError(e),
                                 list ? Value(*list).toJSON().value() : "none");
            });
        MainLoop::runFor(60);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].first, k.code);
        EXPECT_EQ(got[0].second, k.list ? k.list : "none");
        EXPECT_EQ(sim->countOf(0x6B), k.silences ? 2 : 1);
    }
    auto idle = QKApContect::create();
    std::vector<int64_t> codes;
    idle->getWifiListAroundDeviceWithCompletion(
        [&](const ErrorPtr& e, const std::optional<Value::Array>& list) {
            EXPECT_FALSE(list);
            codes.push_back(TelvoError::codeForSDKError(e));
        });
    EXPECT_EQ(codes, std::vector<int64_t>{4007});

    // Credentials or a resume with no session end with 4007 too.
    idle->bindDeviceWithParams(params(), 1, nullptr,
                               [&](const ErrorPtr& e, std::shared_ptr<QKDevice>) {
                                   codes.push_back(TelvoError::codeForSDKError(e));
                               });
    QKDeviceApConfigParams again;
    again.routerSSID = kHome;
    idle->resumeConfigWithParams(again);
    EXPECT_EQ(codes, (std::vector<int64_t>{4007, 4007, 4007}));
}

// Release closes the session and cancels the timer and every delayed step of the run.
TEST_F(ApConfirm, ReleaseFreesSocketsAndTimers) {
    announce({});
    homeNetwork(3, std::nullopt, 2);
    start(params(), true);
    ASSERT_TRUE(
        MainLoop::runUntil([&] { return !seen.steps.empty() && seen.steps.back() == 10; }, 120));
    EXPECT_TRUE(sim->connected());
    EXPECT_TRUE(run->findDeviceTimer());
    EXPECT_GE(MainLoop::pendingPerformRequests(run.get()), 2u);
    auto timer = run->findDeviceTimer();
    run->releaseAll();
    EXPECT_FALSE(run->wifiDeviceInit());
    EXPECT_FALSE(run->findDeviceTimer());
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(MainLoop::pendingPerformRequests(run.get()), 0u);
    MainLoop::runFor(1);
    EXPECT_FALSE(sim->connected());
}

}  // namespace
}  // namespace telvo::test

#include "discovery/DiscoveryFixture.h"
#include "platform/dispatch/Semaphore.h"

namespace telvo {
namespace {

using sim::SimDiscoveryAnswer;
using Kind = SimDiscoveryAnswer::Kind;
using test::Reports;
using test::rule;

class BroadcastManagerTest : public test::DiscoveryFixture {
  protected:
    // Seconds of virtual time between the first probe and each probe since.
    std::vector<double> probeTimes() const {
        std::vector<double> out;
        for (const auto& p : responder.probes())
            out.push_back(double(p.atNanos - responder.probes()[0].atNanos) / 1e9);
        return out;
    }
    // A recording observer, added to the manager.
    std::shared_ptr<QKBroadcastObserver> observe(int64_t type, double timeOut,
                                                 std::shared_ptr<QKBroadcastFilter> filter,
                                                 test::Reports* reports,
                                                 std::function<void()> also = nullptr) {
        auto observer = test::recordingObserver(type, timeOut, std::move(filter), reports, also);
        QKBroadcastManager::sharedManager()->addBroadcastObserver(observer);
        return observer;
    }
};

TEST_F(BroadcastManagerTest, TheCycleProbesAtOnceThenAtItsIntervalAndACloseReleasesTheSockets) {
    auto manager = QKBroadcastManager::sharedManager();
    MainLoop::drain();
    EXPECT_EQ(responder.probes().size(), 1u);
    run(130);
    EXPECT_EQ(probeTimes(), (std::vector<double>{0, 60, 120}));

    // A flow's 1-second interval starts after the running timer.
    manager->changeInterval(1.0);
    run(62.5);
    EXPECT_EQ(probeTimes().back(), 192);
    EXPECT_EQ(responder.probes().size(), 16u);
    manager->startBroadCastWithInerval(1.0, nullptr);  // an extra probe, the timer untouched
    run(0.75);
    EXPECT_EQ(probeTimes().back(), 193);
    EXPECT_EQ(responder.probes().size(), 18u);
    manager->changeInterval(-3);  // 60, from the next arming on
    EXPECT_EQ(manager->broadcastInterval(), 60.0);
    run(70);
    EXPECT_EQ(probeTimes().back(), 254);

    manager->closeBroadcast();
    EXPECT_FALSE(manager->broadCastOnState());
    run(300);
    EXPECT_EQ(responder.probes().size(), 20u);
    EXPECT_TRUE(portIsFree(portA));
    manager->changeInterval(2);
    manager->openBroadcast(nullptr);
    EXPECT_FALSE(portIsFree(portA));
    run(5);
    EXPECT_EQ(probeTimes().back(), 567.25);
    manager->changeIntervalAtOnce(10);
    run(25);
    const auto times = probeTimes();
    EXPECT_EQ(std::vector<double>(times.end() - 3, times.end()),
              (std::vector<double>{568.25, 578.25, 588.25}));
    for (const auto& p : responder.probes()) EXPECT_TRUE(p.isDiscoveryRequest);
}

// The first use probes once the caller's turn on the main queue is over: the observer the
// caller registers in that turn hears the replies to the very first probe (the appliance
// answers at the probe's port and at both listener ports, as a real one does), and a close in
// that turn leaves nothing sent and no socket open.
TEST_F(BroadcastManagerTest, TheFirstUseProbesAfterTheCallersTurn) {
    responder.addAppliance(appliance(1));
    responder.replyPorts = {portA, portB};
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "closed in that turn" : "an observer registered in that turn");
        QKBroadcastManager::resetForTesting();
        MainLoop::drain();
        responder.forgetProbes();
        Reports reports;
        const double t0 = Clock::now();
        double reportedAt = -1;
        DispatchQueue::main()->async([&] {
            auto manager = QKBroadcastManager::sharedManager();
            if (close) {
                manager->closeBroadcast();
                return;
            }
            manager->addBroadcastObserver(test::recordingObserver(
                1, 30, nullptr, &reports, [&] { reportedAt = Clock::now() - t0; }));
        });
        run(0.5);
        if (close) {
            EXPECT_TRUE(responder.probes().empty());
            EXPECT_TRUE(portIsFree(portA));
            continue;
        }
        EXPECT_EQ(reports, (Reports{{serialOf(1)}}));
        EXPECT_EQ(reportedAt, 0);
        EXPECT_EQ(responder.probes().size(), 1u);
    }
}

TEST_F(BroadcastManagerTest, RepliesOfThreeAppliancesReachEachKindOfObserverThroughItsFilter) {
    for (int n = 1; n <= 3; ++n) {
        auto a = appliance(n, n == 3 ? 0xB5 : 0xAC);
        a.script = {{Kind::Reply, 0}};  // answers first with ID 0
        responder.addAppliance(a);
    }
    Reports every, first, timed, released, withPrefix, bare, checked;
    auto manager = QKBroadcastManager::sharedManager();
    observe(2, -1, nullptr, &every);
    observe(1, 100, rule(2, appliance(2).reply.ssid), &first);
    observe(0, 3, nullptr, &timed);
    observe(0, 3, rule(3, "0xb5"), &withPrefix);
    observe(0, 3, rule(2, "B5"), &bare);
    auto byId = rule(2, "ac");
    byId->setIsCheckDeviceID(true);
    observe(1, 0, byId, &checked);
    QKBroadcastCompletion self;
    auto once = observe(2, -1, nullptr, &released,
                        [&] { QKBroadcastManager::sharedManager()->releaseBroadObserver(self); });
    self = once->completion();
    // The same completion object again is not registered.
    manager->addBroadcastObserver(QKBroadcastObserver::initWithFilter(nullptr, 0, 2, self));
    manager->changeInterval(1);
    manager->openBroadcast(nullptr);
    run(5.5);

    const std::string s1 = serialOf(1), s2 = serialOf(2), s3 = serialOf(3);
    // In turn 1, 2, 3 per probe: each report lists the one before; nothing is lost.
    ASSERT_GE(every.size(), 5u);
    EXPECT_EQ(std::vector(every.begin(), every.begin() + 5),
              (Reports{{s1}, {s2}, {s3}, {s1}, {s2}}));
    EXPECT_EQ(first, (Reports{{s2}}));
    EXPECT_EQ(timed, (Reports{{s1, s2, s3}}));
    EXPECT_EQ(released, (Reports{{s1}}));
    EXPECT_EQ(withPrefix, (Reports{{s3}}));
    EXPECT_EQ(bare, withPrefix);
    // The first replies carry ID 0; the record of appliance 1 with its real ID is reported.
    EXPECT_EQ(checked, (Reports{{s1}}));
    // Every observer but the type-2 one without a time-out has retired and left the list.
    ASSERT_EQ(manager->UDPObserversArray().size(), 1u);
    EXPECT_EQ(manager->UDPObserversArray()[0]->type(), 2);
}

// An observer released right after its registration, before the registration has run, never
// reports, whatever its kind; every observer leaves the list once it has retired, and the list
// then holds no completion of it.
TEST_F(BroadcastManagerTest, ReleasedRightAfterRegisteringNeverReportsAndLeavesTheList) {
    responder.addAppliance(appliance(1));
    auto manager = QKBroadcastManager::sharedManager();
    manager->changeInterval(1);
    manager->openBroadcast(nullptr);
    struct Case {
        int64_t type;
        double timeOut;
    };
    for (const Case& c : {Case{0, 3}, Case{1, 3}, Case{2, 3}, Case{2, -1}}) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << ", time-out " << c.timeOut);
        Reports reports;
        auto observer = observe(c.type, c.timeOut, nullptr, &reports);
        std::weak_ptr<const QKBroadcastCompletionBlock> completion = observer->completion();
        manager->releaseBroadObserver(observer->completion());
        observer.reset();
        run(10);
        EXPECT_TRUE(reports.empty());
        EXPECT_TRUE(manager->UDPObserversArray().empty());
        EXPECT_TRUE(completion.expired());
    }
}

TEST_F(BroadcastManagerTest, BackgroundPausesAndEmptiesForegroundResumesOnlyWhatRan) {
    responder.addAppliance(appliance(1));
    Reports reports;
    auto manager = QKBroadcastManager::sharedManager();
    auto observer = observe(0, 1000, nullptr, &reports);
    run(1);
    EXPECT_EQ(observer->devicesArray().size(), 1u);

    AppLifecycle::postDidEnterBackground();
    EXPECT_TRUE(observer->devicesArray().empty());
    EXPECT_TRUE(manager->isSwitchOnOffState());
    run(200);
    EXPECT_EQ(responder.probes().size(), 1u);
    AppLifecycle::postWillEnterForeground();
    run(1);
    EXPECT_EQ(probeTimes(), (std::vector<double>{0, 201}));
    EXPECT_FALSE(manager->isSwitchOnOffState());

    // Closed in the background: the return reopens all the same.
    AppLifecycle::postDidEnterBackground();
    manager->closeBroadcast();
    AppLifecycle::postWillEnterForeground();
    EXPECT_TRUE(manager->broadCastOnState());
    // Closed before: nothing reopens.
    manager->closeBroadcast();
    AppLifecycle::postDidEnterBackground();
    AppLifecycle::postWillEnterForeground();
    run(100);
    EXPECT_FALSE(manager->broadCastOnState());
    EXPECT_EQ(responder.probes().size(), 3u);
}

class ThreadedBroadcastManagerTest : public test::DiscoveryFixture {
  protected:
    ThreadedBroadcastManagerTest() : DiscoveryFixture(false) {}
};

// Socket queues, the barrier queue and the main loop on their own threads.
TEST_F(ThreadedBroadcastManagerTest, EveryApplianceIsReportedWithRealQueues) {
    for (int n = 1; n <= 3; ++n) {
        auto a = appliance(n);
        a.then.copies = 2;  // each reply twice: merged, then reported at its duplicate
        responder.addAppliance(a);
    }
    // Reports may still come after the test body: the completion owns what it touches.
    struct Seen {
        std::mutex mutex;
        std::set<std::string> serials;
        Semaphore all;
    };
    auto seen = std::make_shared<Seen>();
    auto completion =
        std::make_shared<const QKBroadcastCompletionBlock>([seen](const Value::Array& devices) {
            std::lock_guard lock(seen->mutex);
            const size_t before = seen->serials.size();
            for (const auto& d : devices) seen->serials.insert(d[kQKSDKDeviceSn].text());
            if (before < 3 && seen->serials.size() == 3) seen->all.signal();
        });
    auto manager = QKBroadcastManager::sharedManager();
    manager->addBroadcastObserver(QKBroadcastObserver::initWithFilter(nullptr, -1, 2, completion));
    manager->changeIntervalAtOnce(1);
    ASSERT_TRUE(seen->all.wait(30));
    manager->closeBroadcast();
}

}  // namespace
}  // namespace telvo

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

#include "bleflows/QKBleConnectManager.h"
#include "entry/QKDeviceConfigManager.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/Registry.h"
#include "telvosdk/TelvoError.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo {
namespace {

// A flow registered as "QKSingleBLEConnect": records what it was given; its blocks are kept
// by the test, never by the flow or the manager.
struct FakeFlow {
    std::shared_ptr<QKDeviceBleConfigParams> params;
};
struct FlowProbe {
    std::weak_ptr<FakeFlow> flow;
    std::shared_ptr<QKDeviceBleConfigParams> startedWith;
    QKConfigStepBlock progress;
    QKConfigCompletionBlock completion;
    int starts = 0;
};

RegisteredClass fakeFlowClass(const std::string& name, FlowProbe& probe) {
    RegisteredClass cls(name);
    cls.classSelector("initWithParam:",
                      [&probe](const RegistryArgs& args) -> std::any {
                          auto flow = std::make_shared<FakeFlow>();
                          flow->params =
                              registryArgRef<std::shared_ptr<QKDeviceBleConfigParams>>(args, 0);
                          probe.flow = flow;
                          return RegistryInstance(flow);
                      })
        .instanceSelector("statConfig:connectUpdate:completion:",
                          [&probe](const RegistryInstance&, const RegistryArgs& args) -> std::any {
                              ++probe.starts;
                              probe.startedWith =
                                  registryArgRef<std::shared_ptr<QKDeviceBleConfigParams>>(args, 0);
                              probe.progress = registryArgRef<QKConfigStepBlock>(args, 1);
                              probe.completion = registryArgRef<QKConfigCompletionBlock>(args, 2);
                              return {};
                          });
    return cls;
}

class QKDeviceConfigManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setDiagnosticSink([](std::string_view) {});
    }
    void TearDown() override {
        Registry::shared().resetForTesting();
        resetForTesting<QKDeviceConfigManager>();
        resetForTesting<QKBleConnectManager>();
        setDiagnosticSink(nullptr);
    }
};

TEST_F(QKDeviceConfigManagerTest, RuntimeMapForwardsStepsAndCompletionOrStartsWithoutBlocks) {
    FlowProbe probe;
    Registry::shared().registerTestClass(fakeFlowClass("QKSingleBLEConnect", probe));
    auto params = std::make_shared<QKDeviceBleConfigParams>();
    params->bleType = 2;

    std::vector<int64_t> steps;
    std::vector<std::pair<ErrorPtr, std::shared_ptr<QKDevice>>> completions;
    QKDeviceConfigManager::shareInstance()->bletoothruntimeMap(
        "QKSingleBLEConnect", params, [&](int64_t step) { steps.push_back(step); },
        [&](ErrorPtr e, std::shared_ptr<QKDevice> d) { completions.emplace_back(e, d); });

    EXPECT_EQ(probe.starts, 1);
    EXPECT_EQ(probe.startedWith, params);
    EXPECT_TRUE(probe.flow.expired());  // no one kept the flow
    ASSERT_TRUE(probe.progress && probe.completion);

    probe.progress(1);
    probe.progress(3);
    auto found = std::make_shared<QKDevice>();
    probe.completion(TelvoError::sucError(), found);
    EXPECT_EQ(steps, (std::vector<int64_t>{1, 3}));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].first, TelvoError::sucError());
    EXPECT_EQ(completions[0].second, found);

    // Without caller blocks the flow still starts, with blocks that drop what they are given.
    FlowProbe bare;
    Registry::shared().registerTestClass(fakeFlowClass("QKBLEConnect", bare));
    QKDeviceConfigManager::shareInstance()->bletoothruntimeMap("QKBLEConnect", params, nullptr,
                                                               nullptr);
    EXPECT_EQ(bare.starts, 1);
    EXPECT_EQ(bare.startedWith, params);
    ASSERT_TRUE(bare.progress && bare.completion);
    EXPECT_NO_THROW(bare.progress(1));
    EXPECT_NO_THROW(bare.completion(TelvoError::sucError(), nullptr));
}

TEST_F(QKDeviceConfigManagerTest, RuntimeMapOfAClassThatCannotStartGives8000) {
    RegisteredClass noStart("QKNoStart");
    noStart.classSelector("initWithParam:", [](const RegistryArgs&) -> std::any {
        return RegistryInstance(std::make_shared<int>(0));
    });
    Registry::shared().registerTestClass(std::move(noStart));
    RegisteredClass noInit("QKNoInit");
    noInit.classSelector("initWithParam:", [](const RegistryArgs&) -> std::any { return 1; });
    Registry::shared().registerTestClass(std::move(noInit));

    for (const std::string name : {"QKSingleBleConnect", "", "QKNoStart", "QKNoInit"}) {
        int steps = 0;
        std::vector<ErrorPtr> errors;
        QKDeviceConfigManager::shareInstance()->bletoothruntimeMap(
            name, std::make_shared<QKDeviceBleConfigParams>(), [&](int64_t) { ++steps; },
            [&](ErrorPtr e, std::shared_ptr<QKDevice> d) {
                EXPECT_FALSE(d);
                errors.push_back(e);
            });
        EXPECT_EQ(steps, 0) << name;
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_EQ(TelvoError::codeForSDKError(errors[0]), 8000) << name;
        EXPECT_EQ(errors[0]->code(), 118000);
        EXPECT_EQ(errors[0]->localizedDescription(), "Invalid Parameter");
    }
}

// Types 2, 4 and 98 start their flow class by name; the other types go to the dispatcher, which
// starts nothing for a type it does not know. Without a peripheral such a type still answers,
// once (4085).
TEST_F(QKDeviceConfigManagerTest, StartGoesByNameOnlyForTypes2_4And98) {
    const char* names[] = {"QKSingleBLEConnect", "QKSingleBLENetworkBridgeConnect", "QKBLEConnect"};
    FlowProbe probes[3];
    for (int i = 0; i < 3; ++i)
        Registry::shared().registerTestClass(fakeFlowClass(names[i], probes[i]));

    const std::pair<uint64_t, int> cases[] = {{2, 0}, {4, 1}, {98, 2}, {5, -1}, {13, -1}};
    for (const auto& [type, started] : cases) {
        for (auto& probe : probes) probe.starts = 0;
        auto params = std::make_shared<QKDeviceBleConfigParams>();
        params->bleType = type;
        int blocks = 0;
        int64_t code = -1;
        QKDeviceConfigManager::shareInstance()->startBleConfig(
            params, [&](int64_t) { ++blocks; },
            [&](ErrorPtr error, auto) {
                ++blocks;
                code = TelvoError::codeForSDKError(error);
            });
        // The dispatcher answers on the main queue: what the call queued there runs now.
        MainLoop::drain();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(probes[i].starts, i == started ? 1 : 0) << type;
        EXPECT_EQ(blocks, started < 0 ? 1 : 0) << type;
        EXPECT_EQ(code, started < 0 ? 4085 : -1) << type;
    }
    auto manager = QKBleConnectManagerImpl::shared();
    EXPECT_FALSE(manager->oneBle() || manager->ble() || manager->bleRetry() ||
                 manager->comboBle() || manager->wiredBle() || manager->specialModedBle());
}

// Action types 0 and 1 reach the dispatcher, which refuses them at once (4100, no status) while
// no combo session is connected; other types reach nothing. Nothing here needs the run-time
// names (TelvoSDKInitialize is never called in this program).
TEST_F(QKDeviceConfigManagerTest, ConfigureActionReachesTheBleManagerForTypes0And1) {
    struct Case {
        int64_t actionType;
        bool reaches;
    };
    for (const Case c : {Case{0, true}, Case{1, true}, Case{2, false}, Case{-1, false}}) {
        auto action = std::make_shared<QKConfigAction>();
        action->actionType = c.actionType;
        std::vector<int64_t> results;
        int changes = 0;
        QKDeviceConfigManager::shareInstance()->doConfigureAction(
            action,
            [&](ErrorPtr error, std::shared_ptr<QKConfigStatus> status) {
                EXPECT_FALSE(status);
                results.push_back(TelvoError::codeForSDKError(error));
            },
            [&](ErrorPtr, std::shared_ptr<QKConfigStatus>) { ++changes; });
        EXPECT_EQ(results, c.reaches ? std::vector<int64_t>{4100} : std::vector<int64_t>{})
            << c.actionType;
        EXPECT_EQ(changes, 0);
    }
    // Without blocks, or without an action, nothing fails.
    auto action = std::make_shared<QKConfigAction>();
    action->actionType = 1;
    EXPECT_NO_THROW(
        QKDeviceConfigManager::shareInstance()->doConfigureAction(action, nullptr, nullptr));
    EXPECT_NO_THROW(
        QKDeviceConfigManager::shareInstance()->doConfigureAction(nullptr, nullptr, nullptr));
}

// Debug builds stop an app that calls a facade off the main thread while the loop runs.
TEST(TelvoSDKDeathTest, DebugBuildsStopAFacadeCallOffTheMainThread) {
#ifdef NDEBUG
    GTEST_SKIP() << "release builds do not check";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        std::function<void()> call;
    } cases[] = {
        {"QKDeviceManager::stopBroadCast",
         [] { QKDeviceManager::sharedManager()->stopBroadCast(); }},
        {"QKDeviceConfigManager::stopBleConfig",
         [] { QKDeviceConfigManager::shareInstance()->stopBleConfig(nullptr); }},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                TelvoSDKStartMainLoopThread();
                c.call();
            },
            std::string(c.name) + " called off the main thread")
            << c.name;
    }
#endif
}

// An app's own thread hands calls to the library's loop thread in order.
TEST(TelvoSDK, PerformOnMainQueueRunsOnTheLoopThreadInOrder) {
    TelvoSDKStartMainLoopThread();
    std::vector<int> order;
    std::promise<bool> done;
    TelvoSDKPerformOnMainQueue([&] { order.push_back(1); });
    TelvoSDKPerformOnMainQueue(nullptr);
    TelvoSDKPerformOnMainQueue([&] {
        order.push_back(2);
        done.set_value(MainLoop::isMainThread());
    });
    EXPECT_TRUE(done.get_future().get());
    TelvoSDKStopMainLoopThread();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace telvo

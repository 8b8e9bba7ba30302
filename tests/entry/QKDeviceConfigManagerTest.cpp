#include <gtest/gtest.h>

#include <future>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/Registry.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoAPPAdapter.h"
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
        QKDeviceConfigManager::resetForTesting();
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

TEST_F(QKDeviceConfigManagerTest, ConfigureActionReachesTheBleManagerForTypes0And1) {
    struct Call {
        std::shared_ptr<QKConfigAction> action;
        QKConfigActionBlock result, statusChange;
    };
    std::vector<Call> calls;
    int unanswered = 0;  // no BLE manager registered yet: nothing happens
    QKDeviceConfigManager::shareInstance()->doConfigureAction(
        std::make_shared<QKConfigAction>(), [&](ErrorPtr, auto) { ++unanswered; },
        [&](ErrorPtr, auto) { ++unanswered; });
    EXPECT_EQ(unanswered, 0);
    auto bleManager = std::make_shared<int>(0);
    RegisteredClass cls("QKBleConnectManager");
    cls.classSelector(
           "shareInstance",
           [bleManager](const RegistryArgs&) -> std::any { return RegistryInstance(bleManager); })
        .instanceSelector(
            "doConfigureAction:resultCallback:statusChangeCallBack:",
            [&](const RegistryInstance& self, const RegistryArgs& args) -> std::any {
                EXPECT_EQ(self, bleManager);
                calls.push_back({registryArgRef<std::shared_ptr<QKConfigAction>>(args, 0),
                                 registryArgRef<QKConfigActionBlock>(args, 1),
                                 registryArgRef<QKConfigActionBlock>(args, 2)});
                return {};
            });
    Registry::shared().registerTestClass(std::move(cls));

    struct Case {
        int64_t actionType;
        bool reaches;
    };
    for (const Case c : {Case{0, true}, Case{1, true}, Case{2, false}, Case{-1, false}}) {
        calls.clear();
        auto action = std::make_shared<QKConfigAction>();
        action->actionType = c.actionType;
        std::vector<int64_t> results, changes;
        QKDeviceConfigManager::shareInstance()->doConfigureAction(
            action,
            [&](ErrorPtr, std::shared_ptr<QKConfigStatus> s) { results.push_back(s->authType); },
            [&](ErrorPtr, std::shared_ptr<QKConfigStatus> s) { changes.push_back(s->authType); });
        ASSERT_EQ(calls.size(), c.reaches ? 1u : 0u) << c.actionType;
        EXPECT_TRUE(results.empty() && changes.empty());
        if (!c.reaches) continue;
        EXPECT_EQ(calls[0].action, action);
        auto status = std::make_shared<QKConfigStatus>();
        status->setAuthType(2);
        calls[0].statusChange(TelvoError::sucError(), status);
        calls[0].result(TelvoError::sucError(), status);
        EXPECT_EQ(results, std::vector<int64_t>{2});
        EXPECT_EQ(changes, std::vector<int64_t>{2});
    }

    calls.clear();
    QKDeviceConfigManager::shareInstance()->doConfigureAction(nullptr, nullptr, nullptr);
    EXPECT_TRUE(calls.empty());
}

TEST(TelvoAPPAdapter, BindAuthTypeFollowsTheWorkMode) {
    QKUserDefault::resetForTesting();
    auto settings = QKUserDefault::standardUserDefaults();
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {"10002", true}, {"10004", true}, {"10001", false},  {"10003", false},
        {"1", false},    {"", false},     {" 10002", false}, {std::nullopt, false},
    };
    for (const auto& [mode, expected] : cases) {
        if (mode) {
            settings->setValue(*mode, "sdkWorkMode");
        } else {
            settings->removeObjectForKey("sdkWorkMode");
        }
        EXPECT_EQ(TelvoAPPAdapter::enableSetBindAuthType(), expected) << mode.value_or("<nil>");
    }
    QKUserDefault::resetForTesting();
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

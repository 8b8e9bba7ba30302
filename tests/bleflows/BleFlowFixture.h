#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "blecore/QKBLEBaseConnect.h"
#include "blecore/QKBLEDeviceManager.h"
#include "cloud/QKNetWorkManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/NetworkReachability.h"
#include "sim/SimBleHome.h"
#include "sim/SimBleModule.h"
#include "sim/SimCloudApi.h"
#include "sim/SimRadio.h"
#include "sim/TestPrelude.h"
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo::test {

// A BLE flow against the virtual appliance on the simulated radio and the fake cloud, in
// deterministic mode. makeModule() puts an appliance on the radio; scan() finds it and gives
// the parameters a flow starts with; record() gives blocks that log the progress steps and
// the completions (code, virtual time, device).
class BleFlowFixture : public ::testing::Test {
  public:
    struct End {
        int64_t code = -1;  // TelvoError::codeForSDKError
        ErrorPtr error;
        std::shared_ptr<QKDevice> device;
        double at = -1;
    };

    BleFlowFixture() { start_ = Clock::now(); }
    ~BleFlowFixture() override { MainLoop::drain(); }

    // An appliance advertising in the layout of `version` (0 to 3), linked to the fake cloud.
    std::shared_ptr<sim::SimBleModule> makeModule(int version = 2,
                                                  const std::string& name = "korvo_ac_1a2b") {
        sim::SimBleAdvertisement adv;
        adv.version = version;
        return makeModule(adv, name);
    }
    std::shared_ptr<sim::SimBleModule> makeModule(const sim::SimBleAdvertisement& adv,
                                                  const std::string& name = "korvo_ac_1a2b") {
        auto made = home.addModule(adv, name);
        if (!module) module = made;
        return made;
    }

    // Scans until the module's peripheral is seen; parameters carrying it and a home router.
    QKDeviceBleConfigParams scan(const std::shared_ptr<sim::SimBleModule>& target = nullptr) {
        auto found = sim::SimBleHome::find(target ? *target : *module);
        EXPECT_TRUE(found != nullptr);
        return sim::SimBleHome::routerParams(found);
    }

    QKBLEBaseConnect::UpdateBlock progress() {
        return [this](int64_t step) { steps.push_back(int(step)); };
    }
    QKBLEBaseConnect::CompletionBlock completion() {
        return [this](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
            ends.push_back({TelvoError::codeForSDKError(error), error, device, now()});
        };
    }
    // Seconds of virtual time since the fixture was made.
    double now() const { return Clock::now() - start_; }
    // Runs the loop until one completion arrived (or `seconds` of virtual time passed).
    bool runUntilEnd(double seconds = 400) {
        return MainLoop::runUntil([&] { return !ends.empty(); }, seconds);
    }
    // The code of the only completion; -2 when none or several arrived.
    int64_t onlyEnd() const { return ends.size() == 1 ? ends[0].code : -2; }
    // Runs until the first completion and gives its code; -3 when none came.
    int64_t firstEnd() { return runUntilEnd() ? ends[0].code : -3; }
    // Runs until the first completion and `after` seconds more; the code of the only one.
    int64_t onlyEndAfter(double after = 30) {
        if (!runUntilEnd()) return -3;
        MainLoop::runFor(after);
        return onlyEnd();
    }
    // Forgets the run: its completions, steps and module.
    void clearRun() {
        ends.clear();
        steps.clear();
        module.reset();
    }
    int stepCount(int step) const { return int(std::count(steps.begin(), steps.end(), step)); }
    // The bodies of the frames of one message type the appliance received, in order.
    std::vector<Bytes> received(int msgType) const {
        std::vector<Bytes> bodies;
        for (const auto& op : module->log("receive"))
            if (op.msgType == msgType) bodies.push_back(op.body);
        return bodies;
    }

    DeterministicDispatch mode_;
    sim::SimBleHome home;
    sim::SimRadioScope& radio = home.radio;
    FakeCloud& cloud = home.cloud;
    SimCloudApi& api = home.api;
    std::shared_ptr<sim::SimBleModule> module;
    std::vector<int> steps;
    std::vector<End> ends;

  private:
    double start_ = 0;
};

}  // namespace telvo::test

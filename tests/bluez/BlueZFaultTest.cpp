#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimBlueZHome.h"
#include "telvosdk/QKDevice.h"

namespace telvo::test {
namespace {

using sim::FakeBlueZ;
using sim::SimBleFlowKind;
using sim::SimBleModule;
using sim::SimBlueZHome;

SimBleFlowKind secondGeneration() {
    for (const auto& flow : sim::simBleFlowKinds())
        if (flow.command == "second") return flow;
    ADD_FAILURE() << "no second-generation flow";
    return {};
}

// The appliance's first command after the key exchange (the status query) sets the fault off;
// the test acts on the main queue, as the user or BlueZ would, while the flow waits.
void atTheStatusQuery(SimBleModule& module, SimBleModule::Handler act) {
    module.setHandler(0x63, std::move(act));
}

size_t countCalls(const FakeBlueZ& bluez, const std::string& member) {
    const auto calls = bluez.calls();
    return size_t(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.rfind(member + " ", 0) == 0;
    }));
}

struct BlueZFault {
    const char* name;
    int64_t code;  // the plain code of the one completion
    std::function<void(SimBlueZHome&, SimBleModule&)> apply;
    // What the run shows beyond its code (the radio's state as the completion came).
    std::function<void(FakeBlueZ&, SimBleModule&, CBManagerState)> check =
        [](FakeBlueZ&, SimBleModule&, CBManagerState) {};
    double limit = 120;  // real seconds the run may take
};

void PrintTo(const BlueZFault& fault, std::ostream* out) {
    *out << fault.name;
}

std::vector<BlueZFault> blueZFaults() {
    return {
        // The adapter is unplugged mid-flow: the power goes, then the link. The session's
        // reconnects wait for the power, which never comes back, and fail: the link is lost for
        // good well before the overall timer.
        {"adapter-removed", 4085,
         [](SimBlueZHome& home, SimBleModule& module) {
             atTheStatusQuery(module, [bluez = home.bluez](SimBleModule&, const auto&) {
                 DispatchQueue::main()->async([bluez] { bluez->removeAdapter(); });
             });
         },
         [](FakeBlueZ&, SimBleModule&, CBManagerState radio) {
             EXPECT_EQ(radio, CBManagerState::Unsupported);
         },
         60},
        // The link drops once: the session connects again and the flow starts over.
        {"device-disconnects", 0,
         [](SimBlueZHome&, SimBleModule& module) {
             auto once = std::make_shared<bool>(false);
             atTheStatusQuery(module, [once](SimBleModule& m, const auto& request) {
                 if (!std::exchange(*once, true)) return m.loseLink();
                 m.defaultHandler(0x63)(m, request);
             });
         },
         [](FakeBlueZ& bluez, SimBleModule&, CBManagerState) {
             EXPECT_GE(countCalls(bluez, "Connect"), 2u);
         }},
        // The link drops and the appliance takes no new connection.
        {"device-gone", 4085,
         [](SimBlueZHome&, SimBleModule& module) {
             atTheStatusQuery(module, [](SimBleModule& m, const auto&) {
                 m.appliance().connectOutcome = sim::SimBleAppliance::ConnectOutcome::Fail;
                 m.loseLink();
             });
         }},
        // BlueZ refuses two writes: the session writes again and succeeds.
        {"writes-failed-twice", 0,
         [](SimBlueZHome& home, SimBleModule&) {
             home.bluez->failWrites("org.bluez.Error.Failed", "Operation failed", 2);
         }},
        // Every write fails: the appliance never hears the phone.
        {"every-write-failed", 4179,
         [](SimBlueZHome& home, SimBleModule&) {
             home.bluez->failWrites("org.bluez.Error.Failed", "Operation failed");
         },
         [](FakeBlueZ&, SimBleModule& m, CBManagerState) { EXPECT_TRUE(m.received().empty()); }},
        // The appliance answers but BlueZ passes no notification on.
        {"notifications-never-come", 4179,
         [](SimBlueZHome& home, SimBleModule&) { home.bluez->dropNotifications(true); },
         [](FakeBlueZ&, SimBleModule& m, CBManagerState) { EXPECT_FALSE(m.received().empty()); }},
        // Characteristics whose Flags are a string instead of a string array.
        {"flags-wrong-type", 4087,
         [](SimBlueZHome& home, SimBleModule&) {
             home.bluez->overrideProperty("org.bluez.GattCharacteristic1", "Flags",
                                          DBusValue::ofString("write,notify"));
         }},
        // A service whose UUID is a number.
        {"service-uuid-wrong-type", 4086,
         [](SimBlueZHome& home, SimBleModule&) {
             home.bluez->overrideProperty("org.bluez.GattService1", "UUID",
                                          DBusValue::ofUInt32(0xFF80));
         }},
    };
}

// The second-generation flow over BlueZ with one fault of BlueZ, the adapter or the link: it
// ends exactly once, with the fault's code.
class BlueZFaults : public ::testing::TestWithParam<BlueZFault> {};

TEST_P(BlueZFaults, EndOnceWithTheirCode) {
    const BlueZFault& fault = GetParam();
    std::shared_ptr<FakeBlueZ> bluez;
    std::shared_ptr<SimBleModule> module;
    std::shared_ptr<BlueZRadio> radio;
    // Read at the completion: once the run is over its bus is gone (and the radio Resetting).
    CBManagerState atEnd = CBManagerState::Unknown;
    auto run = sim::runBlueZFlow(
        secondGeneration(),
        [&](SimBlueZHome& home, SimBleModule& m) {
            bluez = home.bluez;
            radio = home.radio;
            module = m.shared_from_this();
            fault.apply(home, m);
        },
        {},
        [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) {
            if (radio) atEnd = radio->state();
        },
        fault.limit);
    ASSERT_TRUE(run.applies) << "the BlueZ home did not start";
    EXPECT_EQ(run.completions, 1u);
    EXPECT_EQ(run.code, fault.code);
    if (fault.code == 0) {
        ASSERT_TRUE(run.device);
        EXPECT_FALSE(run.device->deviceSn.empty());
    }
    fault.check(*bluez, *module, atEnd);
}

INSTANTIATE_TEST_SUITE_P(Faults, BlueZFaults, ::testing::ValuesIn(blueZFaults()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace telvo::test

// The simulators' faults of the BLE link, the GATT discovery, the key exchange and the frames,
// each run through the configuration entry as an app starts a flow: the progress steps the app
// saw, the one completion, its code and its virtual time after the start. One table per flow.
#include "platform/dispatch/Dispatch.h"
#include "sim/CloudRoute.h"
#include "sim/SimBleFlows.h"
#include "sim/TestPrelude.h"

namespace telvo::test {
namespace {

using Steps = std::vector<int64_t>;

struct Expected {
    const char* fault;
    int64_t code;
    double at;
    Steps steps;
};

void runTable(const std::string& command, const std::vector<Expected>& table) {
    DeterministicDispatch virtualTime;
    std::optional<sim::SimBleFlowKind> flow;
    for (auto& kind : sim::simBleFlowKinds())
        if (kind.command == command) flow = kind;
    ASSERT_TRUE(flow);
    const auto faults = sim::simBleFaults(*flow);
    for (const auto& k : table) {
        SCOPED_TRACE(command + " / " + k.fault);
        auto fault = std::find_if(faults.begin(), faults.end(),
                                  [&](const sim::SimBleFault& f) { return f.name == k.fault; });
        ASSERT_NE(fault, faults.end());
        Steps steps;
        const auto run = sim::runSimBleFlow(*flow, *fault, [&](int64_t s) { steps.push_back(s); });
        EXPECT_EQ(run.completions, 1u);
        EXPECT_EQ(run.code, k.code);
        EXPECT_NEAR(run.at, k.at, 1e-6);
        EXPECT_EQ(steps, k.steps);
    }
}

// Discovery ends at connected (1) or service found (2); a failed key exchange at
// characteristics found (3), 0.1 s after them plus the round trips of the exchange.
TEST(BleFaultKnobsTest, SecondGeneration) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    const Steps keyed{1, 2, 3};
    const Steps done{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 12};
    // A version-3 appliance answers a further status query before the Wi-Fi settings.
    const Steps doneV3{1, 2, 3, 4, 5, 6, 5, 11, 7, 8, 9, 12};
    runTable("second", {
                           {"service-error", 4086, 0.06, {1}},
                           {"characteristic-error", 4087, 0.07, {1, 2}},
                           // Nothing connects or goes on: the 180-second overall timer ends it.
                           {"connect-hangs", 4089, 180, {}},
                           {"already-connected", 4089, 180, {}},
                           // A key answer whose key cannot be read ends at once.
                           {"key-short", 4051, 0.21, keyed},
                           {"key-infinity", 4051, 0.21, keyed},
                           {"key-half", 4051, 0.21, keyed},
                           {"key-prefixed", 4051, 0.21, keyed},
                           {"key-off-curve", 4051, 0.21, keyed},
                           {"auth-encoding", 4052, 0.25, keyed},
                           {"auth-refused", 4052, 0.25, keyed},
                           {"cert-untrusted", 4184, 0.31, keyed},
                           {"cert-expired", 4184, 0.31, keyed},
                           {"fins-altered", 4184, 0.31, keyed},
                           {"m4-short", 4185, 0.35, keyed},
                           {"m4-result", 4185, 0.35, keyed},
                           {"m4-n2", 4185, 0.35, keyed},
                           {"pieces", 0, 2.33, done},
                           {"counter-repeat", 0, 2.47, doneV3},
                           {"counter-back", 0, 2.47, doneV3},
                       });
}

// The combo flow takes a link that is already up down and connects again 0.5 s later.
TEST(BleFaultKnobsTest, ComboBind) {
    const Steps keyed{1, 2, 3};
    const Steps done{1, 2, 3, 4, 5};
    runTable("combo", {
                          {"service-error", 4086, 0.06, {1}},
                          {"characteristic-error", 4087, 0.07, {1, 2}},
                          {"connect-hangs", 4089, 180, {}},
                          {"already-connected", 0, 0.83, done},
                          {"key-short", 4051, 0.21, keyed},
                          {"key-off-curve", 4051, 0.21, keyed},
                          {"auth-refused", 4052, 0.25, keyed},
                          {"fins-altered", 4184, 0.31, keyed},
                          {"m4-n2", 4185, 0.35, keyed},
                          {"pieces", 0, 0.33, done},
                          {"counter-back", 0, 0.43, done},
                      });
}

// The cloud check in virtual time: silent, every query fails at its own 30-second time-out and
// the ticker ends the run at 89 s with that failure's code; 20 s late, the query of 0 s finds
// the appliance not yet online, the one of 20.5 s finds it.
TEST(BleFaultKnobsTest, FirstGenerationCloudCheck) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    const Steps checking{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 10};
    Steps found = checking;
    found.push_back(12);
    runTable("first", {
                          {"cloud-silent", 9002, 89.33, checking},
                          {"cloud-slow", 0, 40.83, found},
                      });
}

// The network bridge's own cloud call: unanswered, it fails at its 30-second time-out and the
// run ends with the client's whole code; 20 s late, the run goes on from there.
TEST(BleFaultKnobsTest, NetworkBridgeRegistration) {
    TELVO_SKIP_WITHOUT_ROUTE_TO_THE_CLOUD();
    runTable("bridge", {
                           {"cloud-silent", 319002, 30.29, {1, 2, 3, 4, 5}},
                           {"cloud-slow", 0, 20.45, {1, 2, 3, 4, 5, 14}},
                       });
}

}  // namespace
}  // namespace telvo::test

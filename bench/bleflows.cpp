// One whole run of each BLE flow kind against the simulators, in deterministic mode, as the
// demo and the fault matrix run it without a fault: the configuration entry starts the flow on
// the scanned peripheral, then the connection, the key agreement and the flow's dialogue with
// the virtual appliance on the simulated radio, and the cloud calls the flow depends on, until
// its one completion. Waits cost nothing here, so the time is the CPU work of the run on every
// thread but the fake cloud's: the flow, the BLE session and its crypto, the cloud client and
// the simulated appliance on the main loop, and the URL-loading thread. Goals: at most 5 ms of
// CPU a run, under 1 MiB of peak heap growth (malloc'd, every thread).
//
// Setting up the home (radio, fake cloud, the scan for the peripheral) and what follows the
// completion (the app's next step on a kept link, the quiet time, the stop and the tear-down)
// are left out of the timing and of the heap figure.
#include <memory>

#include "RunMeter.h"
#include "platform/dispatch/Dispatch.h"
#include "sim/SimBleFlows.h"

namespace {

using namespace telvo;

void WholeBleFlow(benchmark::State& state, const sim::SimBleFlowKind& flow) {
    DeterministicDispatch mode;
    const sim::SimBleFault clean = sim::simBleFaults(flow).front();
    bench::RunMeter meter(state);
    size_t steps = 0;
    double virtualSeconds = 0;
    for (auto _ : state) {
        meter.setUp();
        size_t seenSteps = 0;
        const sim::SimBleRun run = sim::runSimBleFlow(
            flow, clean, [&](int64_t) { ++seenSteps; },
            [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) { meter.stop(); },
            [&](sim::SimBleHome&, sim::SimBleModule&) { meter.start(); });
        steps = seenSteps;
        virtualSeconds = run.at;
        if (!meter.finish(run.completions == 1 && run.code == 0)) break;
    }
    state.counters["steps"] = double(steps);
    state.counters["virtual_s"] = virtualSeconds;
}

// One benchmark per kind in the shared flow table, named after the demo's command.
const bool registered = [] {
    for (const auto& flow : sim::simBleFlowKinds())
        benchmark::RegisterBenchmark(("WholeBleFlow/" + flow.command).c_str(), WholeBleFlow, flow)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(20)
            ->UseManualTime();
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    std::vector<telvo::bench::Goal> goals;
    for (const auto& flow : telvo::sim::simBleFlowKinds()) {
        auto more = telvo::bench::wholeRunGoals(
            "WholeBleFlow/" + flow.command + "/iterations:20/manual_time",
            flow.command + " BLE run");
        goals.insert(goals.end(), more.begin(), more.end());
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}

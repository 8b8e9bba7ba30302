// One whole access-point configuration against the simulators, in deterministic mode: the
// appliance found on its hotspot, the TCP session, the credentials (0x70), then the cloud polls
// and the LAN search on the home network until the cloud lists the appliance online (virtual
// time: 8 s). Waits cost nothing here, so the time is the CPU work of the run on every thread
// but the fake cloud's: the flow, the session, discovery, the cloud client and the simulated
// appliance on the main loop, and the URL-loading thread. Goals: at most 5 ms of CPU a run,
// under 1 MiB of peak heap growth (malloc'd, every thread).
//
// Setting up and tearing down the simulators (sockets, the fake cloud's server) is left out of
// the timing and of the heap figure.
#include <memory>
#include <optional>
#include <vector>

#include "RunMeter.h"
#include "apconfig/QKApContect.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimWifiHome.h"
#include "telvosdk/TelvoError.h"

namespace {

using namespace telvo;

void WholeApConfiguration(benchmark::State& state) {
    DeterministicDispatch mode;
    bench::RunMeter meter(state);
    size_t steps = 0;
    for (auto _ : state) {
        meter.setUp();
        auto home = std::make_unique<sim::SimWifiHome>();
        home->announce({});
        home->homeNetwork(3, 8, 2);
        std::vector<int64_t> seenSteps;
        std::optional<int64_t> code;
        meter.start();

        auto run = QKApContect::create();
        run->setNeedConfirmDeviceInWan(true);
        run->startConfigureDeviceParams(
            sim::SimWifiHome::apParams(), [&](int64_t step) { seenSteps.push_back(step); },
            [&](const ErrorPtr& e, std::shared_ptr<QKDevice>) {
                if (!code) code = TelvoError::codeForSDKError(e);
            });
        const bool done = MainLoop::runUntil([&] { return code.has_value(); }, 120);

        meter.stop();
        steps = seenSteps.size();
        run->releaseAll();
        run.reset();
        home.reset();
        if (!meter.finish(done && *code == 0)) break;
    }
    state.counters["steps"] = double(steps);
}
BENCHMARK(WholeApConfiguration)->Unit(benchmark::kMillisecond)->Iterations(20)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    return telvo::bench::runWithGoals(
        argc, argv,
        telvo::bench::wholeRunGoals("WholeApConfiguration/iterations:20/manual_time",
                                    "access-point run"));
}

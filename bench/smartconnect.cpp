// One whole smart-connect run against the simulators, in deterministic mode: the encoder's
// multicast and broadcast datagrams into the datagram sink every 10 ms, the simulated appliance
// listening on the air (every half second) until it decodes the credentials, then joining the
// router and answering discovery with the binding random code, and the run confirming it with
// the cloud. Waits cost nothing here, so the time is the CPU work of the run on every thread but
// the fake cloud's: the flow, its encoder and sockets, discovery, the cloud client on the main
// loop and the URL-loading thread, and the simulated appliance's decoding. Goals: at most 5 ms
// of CPU a run, under 1 MiB of peak heap growth (malloc'd, every thread).
//
// Setting up and tearing down the simulators is left out of the timing and of the heap figure.
#include <memory>
#include <optional>

#include "RunMeter.h"
#include "apconfig/QKSmartConnect.h"
#include "discovery/QKBroadcastManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimWifiHome.h"
#include "telvosdk/TelvoError.h"

namespace {

using namespace telvo;

void WholeSmartConnect(benchmark::State& state) {
    DeterministicDispatch mode;
    bench::RunMeter meter(state);
    size_t datagrams = 0;
    double heardAt = 0;
    double virtualSeconds = 0;
    for (auto _ : state) {
        meter.setUp();
        auto home = std::make_unique<sim::SimWifiHome>();
        home->prepareSmartConnect();
        home->listenForSmartConnect({0x02, 0, 0, 0}, 0xA1B2C3D4E5ULL);
        std::optional<int64_t> code;
        const double begin = Clock::now();
        meter.start();

        // As the app's entry starts it: the discovery probe every second, then the run.
        QKBroadcastManager::sharedManager()->startBroadCastWithInerval(1.0, nullptr);
        auto run = std::make_shared<QKSmartConnect>();
        run->fastConfigWithParams(
            sim::SimWifiHome::smartParams(), [](int64_t) {},
            [&](const ErrorPtr& e, std::shared_ptr<QKDevice>) {
                if (!code) code = TelvoError::codeForSDKError(e);
            });
        const bool done = MainLoop::runUntil([&] { return code.has_value(); }, 120);

        meter.stop();
        datagrams = home->sniffer.datagrams().size();
        heardAt = home->credentialsAt - begin;
        virtualSeconds = Clock::now() - begin;
        run->stop();
        run.reset();
        home.reset();
        if (!meter.finish(done && *code == 0)) break;
    }
    state.counters["datagrams"] = double(datagrams);
    state.counters["heard_at_s"] = heardAt;
    state.counters["virtual_s"] = virtualSeconds;
}
BENCHMARK(WholeSmartConnect)->Unit(benchmark::kMillisecond)->Iterations(20)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    return telvo::bench::runWithGoals(
        argc, argv,
        telvo::bench::wholeRunGoals("WholeSmartConnect/iterations:20/manual_time",
                                    "smart-connect run"));
}

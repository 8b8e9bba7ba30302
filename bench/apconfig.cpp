// One whole access-point configuration against the simulators, in deterministic mode: the
// appliance found on its hotspot, the TCP session, the credentials (0x70), then the cloud polls
// and the LAN search on the home network until the cloud lists the appliance online (virtual
// time: 8 s). Waits cost nothing here, so the CPU time is the work of the run: the flow, the
// session, discovery, the cloud client and the simulated appliance on the main loop (the fake
// cloud answers on its own threads, outside the measured thread). Goals: under 5 ms of CPU a
// run, under 1 MiB of peak heap growth.
//
// Setting up and tearing down the simulators (sockets, the fake cloud's server) is left out of
// the timing and of the heap figure.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "apconfig/QKApContect.h"
#include "platform/Dispatch.h"
#include "platform/MainLoop.h"
#include "sim/SimWifiHome.h"
#include "telvosdk/TelvoError.h"

namespace {

std::atomic<size_t> gCurrent{0};
std::atomic<size_t> gPeak{0};

void noteAllocated(void* p) {
    const size_t now = gCurrent.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    size_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
}

}  // namespace

// Every allocation is counted by its usable size; new and delete pair with malloc and free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    noteAllocated(p);
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    gCurrent.fetch_sub(malloc_usable_size(p));
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

using namespace telvo;

void WholeApConfiguration(benchmark::State& state) {
    DeterministicDispatch mode;
    size_t peakGrowth = 0;
    size_t steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto home = std::make_unique<sim::SimWifiHome>();
        home->announce({});
        home->homeNetwork(3, 8, 2);
        std::vector<int64_t> seenSteps;
        std::optional<int64_t> code;
        const size_t base = gCurrent.load();
        gPeak.store(base);
        state.ResumeTiming();

        auto run = QKApContect::create();
        run->setNeedConfirmDeviceInWan(true);
        run->startConfigureDeviceParams(
            sim::SimWifiHome::apParams(), [&](int64_t step) { seenSteps.push_back(step); },
            [&](const ErrorPtr& e, std::shared_ptr<QKDevice>) {
                if (!code) code = TelvoError::codeForSDKError(e);
            });
        const bool done = MainLoop::runUntil([&] { return code.has_value(); }, 120);

        state.PauseTiming();
        peakGrowth = std::max(peakGrowth, gPeak.load() - base);
        if (!done || *code != 0) state.SkipWithError("the run did not succeed");
        steps = seenSteps.size();
        run->releaseAll();
        run.reset();
        home.reset();
        state.ResumeTiming();
    }
    state.counters["peak_heap_growth_KiB"] = double(peakGrowth) / 1024.0;
    state.counters["steps"] = double(steps);
}
BENCHMARK(WholeApConfiguration)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

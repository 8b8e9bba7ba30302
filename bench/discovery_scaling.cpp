// Discovery at scale: the replies of 1, 100, 1,000, 10,000 and 100,000 distinct appliances fed
// into one collecting observer (type 0, no filter, records kept for its time-out), as the
// endpoint hands them in. Prints the CPU per reply and the heap each record holds (malloc'd,
// with its share of the observer's index). Goal: at most 800 B held per appliance.
#include <benchmark/benchmark.h>

#include <string>

#include "CpuMeter.h"
#include "DiscoveryReplies.h"
#include "Goals.h"
#include "HeapCounter.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"

namespace {

using namespace telvo;

// The time of an iteration is the CPU time of feeding the replies alone.
void Scaling(benchmark::State& state) {
    const std::vector<Bytes> input = bench::datagrams(size_t(state.range(0)));
    const size_t appliances = static_cast<size_t>(state.range(0));
    double heapPerRecord = 0, cpu = 0;
    for (auto _ : state) {
        auto observer = QKBroadcastObserver::initWithFilter(nullptr, 0, 0, nullptr);
        const size_t before = bench::heapInUse();
        const double start = bench::threadCpuSeconds();
        for (size_t i = 0; i < appliances; ++i) {
            observer->updateWithDeviceInfor(QKUDPConnect::deviceDicFromDatagram(input[i]));
        }
        const double spent = bench::threadCpuSeconds() - start;
        state.SetIterationTime(spent);
        cpu += spent;
        heapPerRecord = double(bench::heapInUse() - before) / double(appliances);
        if (observer->deviceCount() != appliances) state.SkipWithError("records were not merged");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["heap_per_record_B"] = heapPerRecord;
    state.counters["cpu_per_reply_us"] = cpu * 1e6 / double(state.iterations() * state.range(0));
}
BENCHMARK(Scaling)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    std::vector<Goal> goals;
    for (const char* n : {"1", "100", "1000", "10000", "100000"}) {
        goals.push_back(Goal::limit(
            std::string("heap held per record, ") + n + " appliances (B)",
            Figure::counterOf(std::string("Scaling/") + n + "/manual_time", "heap_per_record_B"),
            800, "B"));
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}

// One whole BLE flow through the library's BlueZ radio on D-Bus, in real time: the
// configuration entry starts the second-generation, single-BLE or combo flow on the peripheral
// the radio found, then the connection, the GATT discovery, the key agreement and the flow's
// dialogue go over a private system bus to a fake bluetoothd whose controller is the simulated
// air, until the flow's one completion. Figures of the run alone (the bus, the fake, the scan
// and the tear-down are set up and left out):
// - the CPU of every thread of this process but the fake cloud's: the library's main loop,
//   its dispatch, reactor and URL-loading threads, and also the fake bluetoothd and the
//   simulated appliance, which run in this process on the same dispatch threads (the
//   dbus-daemon is a process of its own and is not counted);
// - the peak growth of the heap (malloc'd, every thread);
// - the D-Bus messages the radio sent (calls, replies, match rules).
// Real seconds pass while the flow waits on the appliance, so the iterations are few.
#include <memory>

#include "RunMeter.h"
#include "sim/SimBlueZHome.h"

namespace {

using namespace telvo;

sim::SimBleFlowKind flowNamed(const std::string& command) {
    for (const auto& flow : sim::simBleFlowKinds())
        if (flow.command == command) return flow;
    return {};
}

void BleFlowOverBlueZ(benchmark::State& state, const std::string& command) {
    const sim::SimBleFlowKind flow = flowNamed(command);
    bench::RunMeter meter(state);
    std::shared_ptr<BlueZRadio> radio;
    uint64_t before = 0, messages = 0;
    for (auto _ : state) {
        meter.setUp();
        const sim::SimBleRun run = sim::runBlueZFlow(
            flow,
            [&](sim::SimBlueZHome& home, sim::SimBleModule&) {
                radio = home.radio;
                before = radio->messagesSent();
                meter.start();
            },
            {},
            [&](const ErrorPtr&, const std::shared_ptr<QKDevice>&) {
                meter.stop();
                if (radio) messages = radio->messagesSent() - before;
            },
            60, 0.2);
        radio.reset();
        if (!meter.finish(run.applies && run.completions == 1 && run.code == 0)) break;
    }
    state.counters["dbus_messages_sent"] = double(messages);
}

const bool registered = [] {
    for (const char* command : {"second", "single", "combo"})
        benchmark::RegisterBenchmark((std::string("BleFlowOverBlueZ/") + command).c_str(),
                                     BleFlowOverBlueZ, std::string(command))
            ->Unit(benchmark::kMillisecond)
            ->Iterations(2)
            ->UseManualTime();
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    return telvo::bench::runWithGoals(argc, argv, {});
}

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
#include <chrono>
#include <memory>

#include "RunMeter.h"
#include "blecore/QKBLEDeviceManager.h"
#include "blecore/QKBluetooth.h"
#include "platform/dispatch/MainLoop.h"
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

// Advertisers coming and going while the app scans: rounds of 2,000 devices that bluetoothd
// hears once and forgets, through the radio, the platform central and the Bluetooth wrapper.
// Figures: the rounds' pace (devices a second, end to end) and the heap each device leaves
// behind after the first round (flat when nothing grows with the devices seen).
void BlueZPassersBy(benchmark::State& state) {
    constexpr size_t kRound = 2000;
    sim::SimBlueZHome home;
    if (!home.ok()) return state.SkipWithError(home.error().c_str());
    size_t heard = 0;
    auto devices = QKBLEDeviceManager::shareInstance();
    devices->startScan(0, 0, [&](const CBPeripheralPtr&) { ++heard; });
    if (!MainLoop::runUntil([&] { return home.bluez->discovering(); }, 20))
        return state.SkipWithError("no discovery");
    auto wrapper = QKBluetoothImpl::of(*QKBluetooth::shareQKBluetooth()).central;
    auto round = [&] {
        const size_t before = heard;
        home.bluez->passBy(kRound);
        return MainLoop::runUntil(
            [&] { return heard - before == kRound && wrapper->discoverPeripherals().empty(); }, 60);
    };
    if (!round()) return state.SkipWithError("the first round did not settle");
    MainLoop::drain();
    const size_t base = bench::heapInUse();
    size_t rounds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!round()) return state.SkipWithError("a round did not settle");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ++rounds;
    }
    MainLoop::drain();
    const double grown = double(bench::heapInUse()) - double(base);
    state.counters["devices_per_second"] =
        benchmark::Counter(double(rounds * kRound), benchmark::Counter::kIsRate);
    state.counters["heap_bytes_per_device"] = grown / double(rounds * kRound);
    devices->stopScan();
    MainLoop::drain();
}

const bool registered = [] {
    benchmark::RegisterBenchmark("BlueZPassersBy", BlueZPassersBy)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5)
        ->UseManualTime();
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

// What reading one D-Bus answer into values takes from the heap at its peak: the answer is
// made once (outside the figure), then each iteration reads it as a received message is read.
// - HostileAnswer: 200,000 texts of 60 bytes, within the bounds on values and content; read
//   with the library's bounds (the reader gives up at its memory bound), and with the memory
//   bound lifted (what the other bounds alone let one answer build).
// - NetworkManagerList: NetworkManager's object list on a host that hears 400 access points.
// Counter peak_MB: the heap's peak growth during the read.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "HeapCounter.h"
#include "platform/dbus/DBusMessage.h"
#include "sim/DBusMessageLab.h"
#include "sim/NetworkManagerMock.h"

namespace {

using namespace telvo;
using V = DBusValue;

V hostile() {
    return V::stringArray(std::vector<std::string>(200000, std::string(60, 'x')));
}

V networkManagerList() {
    return test::NetworkManagerMock::accessPointList(400);
}

void ReadAnswer(benchmark::State& state, const std::string& signature, V (*make)(),
                DBusReadLimits limits) {
    test::DBusMessageLab lab;
    sd_bus_message* m = lab.newMessage();
    DBusError error;
    if (!m || !appendDBusArguments(m, signature, {make()}, error) ||
        !test::DBusMessageLab::seal(m)) {
        state.SkipWithError("no message");
        return;
    }
    size_t peak = 0;
    bool read = false;
    for (auto _ : state) {
        sd_bus_message_rewind(m, 1);
        bench::HeapPeak heap;
        std::vector<V> out;
        read = readDBusArguments(m, out, error, limits);
        out.clear();
        out.shrink_to_fit();
        peak = std::max(peak, heap.growth());
    }
    sd_bus_message_unref(m);
    state.counters["peak_MB"] = double(peak) / (1 << 20);
    state.counters["read"] = read ? 1 : 0;
}

DBusReadLimits unboundMemory() {
    DBusReadLimits limits;
    limits.maxBuilt = SIZE_MAX;
    return limits;
}

BENCHMARK_CAPTURE(ReadAnswer, HostileAnswer, std::string("as"), hostile, DBusReadLimits{})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(ReadAnswer, HostileAnswerMemoryUnbound, std::string("as"), hostile,
                  unboundMemory())
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(ReadAnswer, NetworkManagerList, std::string("a{oa{sa{sv}}}"), networkManagerList,
                  DBusReadLimits{})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

// Discovery replies of distinct appliances, from datagram bytes: the bare reply parse (frame
// read and body to device dictionary) beside the whole observer path (the endpoint's reply
// handling, merge, filter and the report delivered on the main queue before the next reply).
// EveryMatch is the smart-connect observer (type 2, filtered by appliance type), which reports
// the previous appliance at every reply; Collecting merges into 1,000 records kept for a
// time-out (type 0). Scaling feeds 1, 100, 1,000 and 10,000 appliances' replies into one
// collecting observer and prints the CPU per reply and the heap each record holds (malloc'd,
// with its share of the observer's index). Goals: EveryMatch within 1.3x the bare parse; at
// most 1.5 KB held per appliance.
#include <benchmark/benchmark.h>
#include <time.h>

#include <string>

#include "Goals.h"
#include "HeapCounter.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

using namespace telvo;

constexpr size_t kAppliances = 1000;
constexpr size_t kMostAppliances = 10000;

// A plain (UDP version 01000000) discovery reply body of appliance n.
Bytes replyBody(size_t n) {
    const std::string serial = "0000AC111222333444555666777" + std::to_string(10000 + n);
    const std::string ssid = "net_ac_" + std::to_string(1000 + n);
    Bytes b = {static_cast<uint8_t>(n), 0, 0, 127, 0, 0, 0, 0};
    b.insert(b.end(), serial.begin(), serial.end());
    b.push_back(static_cast<uint8_t>(ssid.size()));
    b.insert(b.end(), ssid.begin(), ssid.end());
    b.insert(b.end(), {0, 0, 0x3D, 0x01, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0xAC, 0, 0x12, 0x00});
    b.insert(b.end(), 4, 0);
    b.insert(b.end(), 6, static_cast<uint8_t>(n));  // MAC
    b.insert(b.end(), 6, 0x01);                     // module version
    b.insert(b.end(), {1, 4, 1});
    b.insert(b.end(), 16, 0x5A);  // random
    b.insert(b.end(), {0x31, 0x32, 0x24, 0x19, 0});
    b.insert(b.end(), 8, 0);  // error time
    return b;
}

// The replies of kMostAppliances appliances; the first kAppliances serve the fixed-size runs.
const std::vector<Bytes>& datagrams() {
    static const std::vector<Bytes> all = [] {
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey("benchKey");
        std::vector<Bytes> out;
        for (size_t n = 0; n < kMostAppliances; ++n) {
            QKProtocol frame;
            frame.findDeviceInLanWithDic();
            frame.setOriMessageArray(replyBody(n));
            frame.setDeviceID(static_cast<int64_t>(100000 + n));
            out.push_back(frame.getByteStream());
        }
        return out;
    }();
    return all;
}

void BareParse(benchmark::State& state) {
    const auto& input = datagrams();
    size_t i = 0;
    int64_t parsed = 0;
    for (auto _ : state) {
        auto frame = QKProtocol::initWithNSData(input[i++ % kAppliances]);
        auto dic = QKProtocol::getUdpDeviceWithMessageArray(*frame->messageArray(), frame.get());
        parsed += dic.has_value();
        benchmark::DoNotOptimize(dic);
    }
    if (parsed != state.iterations()) state.SkipWithError("a reply did not parse");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareParse);

void ObserverPath(benchmark::State& state) {
    const auto& input = datagrams();
    const int64_t type = state.range(0);
    int64_t reported = 0;
    auto completion = std::make_shared<const QKBroadcastCompletionBlock>(
        [&](const Value::Array& devices) { reported += static_cast<int64_t>(devices.size()); });
    std::shared_ptr<QKBroadcastFilter> filter;
    if (type == 2) {
        filter = std::make_shared<QKBroadcastFilter>();
        filter->addRulesWithFilterType(3, {"0xac"});
    }
    auto observer = QKBroadcastObserver::initWithFilter(filter, 0, type, completion);
    size_t i = 0;
    for (auto _ : state) {
        auto dic = QKUDPConnect::deviceDicFromDatagram(input[i++ % kAppliances]);
        observer->updateWithDeviceInfor(std::make_shared<Value>(std::move(*dic)));
        if (type == 2) MainLoop::drain();  // the report, as a running main loop delivers it
    }
    if (type == 2 && reported + 1 < state.iterations()) state.SkipWithError("a report was lost");
    if (type == 0 && observer->devicesArray().size() != std::min<size_t>(i, kAppliances))
        state.SkipWithError("records were not merged");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(type == 2 ? "EveryMatch" : "Collecting");
}
BENCHMARK(ObserverPath)->Arg(2)->Arg(0);

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The time of an iteration is the CPU time of feeding the replies alone.
void Scaling(benchmark::State& state) {
    const auto& input = datagrams();
    const size_t appliances = static_cast<size_t>(state.range(0));
    double heapPerRecord = 0, cpu = 0;
    for (auto _ : state) {
        auto observer = QKBroadcastObserver::initWithFilter(nullptr, 0, 0, nullptr);
        const size_t before = bench::heapInUse();
        const double start = threadCpuSeconds();
        for (size_t i = 0; i < appliances; ++i) {
            auto dic = QKUDPConnect::deviceDicFromDatagram(input[i]);
            observer->updateWithDeviceInfor(std::make_shared<Value>(std::move(*dic)));
        }
        const double spent = threadCpuSeconds() - start;
        state.SetIterationTime(spent);
        cpu += spent;
        heapPerRecord = double(bench::heapInUse() - before) / double(appliances);
        if (observer->devicesArray().size() != appliances)
            state.SkipWithError("records were not merged");
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
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    std::vector<Goal> goals = {Goal::ratio("EveryMatch observer path over the bare parse",
                                           Figure::cpu("ObserverPath/2"), Figure::cpu("BareParse"),
                                           1.3)};
    for (const char* n : {"1", "100", "1000", "10000"}) {
        goals.push_back(Goal::limit(
            std::string("heap held per record, ") + n + " appliances (B)",
            Figure::counterOf(std::string("Scaling/") + n + "/manual_time", "heap_per_record_B"),
            1536, "B"));
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}

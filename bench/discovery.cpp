// Discovery replies of 100,000 distinct appliances, from datagram bytes. Compares each observer
// path with the bare reply parse; both do the same frame read, decryption and body-to-dictionary
// parse, and both destroy the dictionary once per reply (the bare parse at once, the observer
// path when the report has been delivered or the record replaced). What the observer path adds
// is the library's own work: the endpoint's appliance ID and datagram fields, the shared
// record, the merge, the filter and the report. EveryMatch is the smart-connect observer (type
// 2, filtered by appliance type), which reports the previous appliance at every reply, queued
// on the main queue and delivered before the next reply; Collecting (type 0) merges every
// reply into the records it keeps for its time-out, one per appliance (100,000 of them once
// the first round is in: in AlternatingBatches the first 100 batches of 1,000 add the records,
// in fresh memory the observer takes from the system, and the batches after them, as many as
// the framework runs, merge). Goals: each within 1.3x the bare parse, read from batches of the
// two that alternate (either first in turn) on the thread's CPU clock, so that both see the
// same load (the separate benchmarks' ratio is printed for comparison). (discovery_scaling.cpp
// counts the heap; this program allocates through the plain allocator.) Run it on one core:
// taskset -c N.
#include <benchmark/benchmark.h>

#include <string>

#include "CpuMeter.h"
#include "DiscoveryReplies.h"
#include "Goals.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

using namespace telvo;

constexpr size_t kAppliances = 100000;

const std::vector<Bytes>& replies() {
    static const std::vector<Bytes> all = bench::datagrams(kAppliances);
    return all;
}

// One bare parse: frame read, decryption, body to device dictionary.
bool parseOne(const Bytes& datagram) {
    auto frame = QKProtocol::initWithNSData(datagram);
    auto dic = QKProtocol::getUdpDeviceWithMessageArray(*frame->messageArray(), frame.get());
    benchmark::DoNotOptimize(dic);
    return dic.has_value();
}

// An observer of the given type fed as the endpoint hands replies in.
struct Observed {
    explicit Observed(int64_t type) : type(type) {
        auto completion =
            std::make_shared<const QKBroadcastCompletionBlock>([this](const Value::Array& devices) {
                reported += static_cast<int64_t>(devices.size());
            });
        std::shared_ptr<QKBroadcastFilter> filter;
        if (type == QKBroadcastReportEveryMatch) {
            filter = std::make_shared<QKBroadcastFilter>();
            filter->addRulesWithFilterType(3, {"0xac"});
        }
        observer = QKBroadcastObserver::initWithFilter(filter, 0, type, completion);
    }
    void feed(const Bytes& datagram) {
        observer->updateWithDeviceInfor(QKUDPConnect::deviceDicFromDatagram(datagram));
        // The report, as a running main loop delivers it.
        if (type == QKBroadcastReportEveryMatch) MainLoop::drain();
    }
    const int64_t type;
    int64_t reported = 0;
    std::shared_ptr<QKBroadcastObserver> observer;
};

void BareParse(benchmark::State& state) {
    const auto& input = replies();
    size_t i = 0;
    int64_t parsed = 0;
    for (auto _ : state) parsed += parseOne(input[i++ % kAppliances]);
    if (parsed != state.iterations()) state.SkipWithError("a reply did not parse");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareParse);

void ObserverPath(benchmark::State& state) {
    const auto& input = replies();
    Observed path(state.range(0));
    size_t i = 0;
    for (auto _ : state) path.feed(input[i++ % kAppliances]);
    const bool every = path.type == QKBroadcastReportEveryMatch;
    if (every && path.reported + 1 < state.iterations()) state.SkipWithError("a report was lost");
    if (!every && path.observer->deviceCount() != std::min<size_t>(i, kAppliances))
        state.SkipWithError("records were not merged");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(every ? "EveryMatch" : "Collecting");
}
BENCHMARK(ObserverPath)->Arg(QKBroadcastReportEveryMatch)->Arg(QKBroadcastReportAtTimeOut);

// Argument: the observer's type. Batches of bare parses and of the observer path alternate
// (either first in turn) within each iteration, each batch timed on the thread's CPU clock.
void AlternatingBatches(benchmark::State& state) {
    constexpr size_t kBatch = 1000;
    const auto& input = replies();
    Observed path(state.range(0));
    const bool every = path.type == QKBroadcastReportEveryMatch;
    bench::SideBySide timed;
    size_t i = 0, j = 0;
    int64_t parsed = 0;
    for (auto _ : state) {
        timed.run(
            [&] {
                for (size_t n = 0; n < kBatch; ++n) parsed += parseOne(input[i++ % kAppliances]);
            },
            [&] {
                for (size_t n = 0; n < kBatch; ++n) path.feed(input[j++ % kAppliances]);
            });
    }
    const double replies = double(state.iterations()) * kBatch;
    if (parsed != int64_t(replies)) state.SkipWithError("a reply did not parse");
    if (every && path.reported + 1 < int64_t(replies)) state.SkipWithError("a report was lost");
    if (!every && path.observer->deviceCount() != std::min<size_t>(j, kAppliances))
        state.SkipWithError("records were not merged");
    state.counters["bare_ns"] = timed.bareSeconds * 1e9 / replies;
    state.counters["observer_ns"] = timed.pathSeconds * 1e9 / replies;
    state.SetItemsProcessed(state.iterations() * int64_t(kBatch) * 2);
    state.SetLabel(every ? "EveryMatch" : "Collecting");
}
BENCHMARK(AlternatingBatches)->Arg(QKBroadcastReportEveryMatch)->Arg(QKBroadcastReportAtTimeOut);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    const std::string every = "/" + std::to_string(QKBroadcastReportEveryMatch);
    const std::string collecting = "/" + std::to_string(QKBroadcastReportAtTimeOut);
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("EveryMatch observer path over the bare parse, alternating batches",
                     Figure::counterOf("AlternatingBatches" + every, "observer_ns"),
                     Figure::counterOf("AlternatingBatches" + every, "bare_ns"), 1.3),
         Goal::ratio("Collecting observer path over the bare parse, alternating batches",
                     Figure::counterOf("AlternatingBatches" + collecting, "observer_ns"),
                     Figure::counterOf("AlternatingBatches" + collecting, "bare_ns"), 1.3),
         Goal::comparison("EveryMatch from the separate benchmarks (load may differ between them)",
                          Figure::cpu("ObserverPath" + every), Figure::cpu("BareParse")),
         Goal::comparison("Collecting from the separate benchmarks",
                          Figure::cpu("ObserverPath" + collecting), Figure::cpu("BareParse"))});
}

// Discovery replies of 1,000 distinct appliances, from datagram bytes. Compares the whole
// EveryMatch observer path with the bare reply parse; both do the same frame read, decryption and
// body-to-dictionary parse, and both destroy the dictionary once per reply (the bare parse at
// once, the observer path when the report has been delivered). What the observer path adds is
// the library's own work: the endpoint's appliance ID and datagram fields, the shared record,
// the merge, the filter and the report, queued on the main queue and delivered before the next
// reply. EveryMatch is the smart-connect observer (type 2, filtered by appliance type), which
// reports the previous appliance at every reply; Collecting merges into 1,000 records kept for a
// time-out (type 0). Goal: EveryMatch within 1.3x the bare parse. (discovery_scaling.cpp counts
// the heap; this program allocates through the plain allocator.)
#include <benchmark/benchmark.h>

#include <string>

#include "DiscoveryReplies.h"
#include "Goals.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

using namespace telvo;

constexpr size_t kAppliances = 1000;

const std::vector<Bytes>& replies() {
    static const std::vector<Bytes> all = bench::datagrams(kAppliances);
    return all;
}

void BareParse(benchmark::State& state) {
    const auto& input = replies();
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
    const auto& input = replies();
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
        observer->updateWithDeviceInfor(
            QKUDPConnect::deviceDicFromDatagram(input[i++ % kAppliances]));
        if (type == 2) MainLoop::drain();  // the report, as a running main loop delivers it
    }
    if (type == 2 && reported + 1 < state.iterations()) state.SkipWithError("a report was lost");
    if (type == 0 && observer->deviceCount() != std::min<size_t>(i, kAppliances))
        state.SkipWithError("records were not merged");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(type == 2 ? "EveryMatch" : "Collecting");
}
BENCHMARK(ObserverPath)->Arg(2)->Arg(0);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("EveryMatch observer path over the bare parse", Figure::cpu("ObserverPath/2"),
                     Figure::cpu("BareParse"), 1.3)});
}

// Discovery replies of 1,000 distinct appliances, from datagram bytes: the bare reply parse
// (frame read and body to device dictionary) beside the whole observer path (the endpoint's
// reply handling, merge, filter and the report delivered on the main queue before the next
// reply). EveryMatch is the smart-
// connect observer (type 2, filtered by appliance type), which reports the previous appliance
// at every reply; Collecting merges into 1,000 records kept for a time-out (type 0).
#include <benchmark/benchmark.h>

#include <string>

#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

using namespace telvo;

constexpr size_t kAppliances = 1000;

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

const std::vector<Bytes>& datagrams() {
    static const std::vector<Bytes> all = [] {
        QKMiddleInterface::shareInstance()->middleConfig()->setApConfigDefaultKey("benchKey");
        std::vector<Bytes> out;
        for (size_t n = 0; n < kAppliances; ++n) {
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

}  // namespace

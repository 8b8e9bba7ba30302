// A version-3 AES-CCM frame with a 256-byte body: written and read, beside the bare CCM seal
// and open of the same plain bytes (counter included) under the same associated data.
#include <benchmark/benchmark.h>

#include "interface/QKMiddleInterface.h"
#include "protocol/LanSeams.h"
#include "protocol/QKProtocol.h"

namespace {

using telvo::Bytes;
using telvo::QKProtocol;

const Bytes kKey(16, 0x42);
const Bytes kBody(256, 0xA7);

Bytes writeFrame(int64_t counter) {
    QKProtocol p(3, kKey, counter);
    p.setMsgType(0x70);
    p.setTag(12);
    p.setOriMessageArray(kBody);
    return p.getByteStream();
}

void FrameWrite(benchmark::State& state) {
    int64_t counter = 0;
    for (auto _ : state) benchmark::DoNotOptimize(writeFrame(++counter));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameWrite);

void FrameRead(benchmark::State& state) {
    const Bytes frame = writeFrame(1);
    for (auto _ : state) {
        auto p = QKProtocol::initWithNSData(frame, kKey);
        if (!p || !p->messageArray()) state.SkipWithError("frame did not open");
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameRead);

void FrameWriteAndRead(benchmark::State& state) {
    int64_t counter = 0;
    for (auto _ : state) {
        auto p = QKProtocol::initWithNSData(writeFrame(++counter), kKey);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameWriteAndRead);

const Bytes kPlain = [] {
    Bytes b{1, 0};
    b.insert(b.end(), kBody.begin(), kBody.end());
    return b;
}();
const Bytes kHeader(40, 0x5A);

void CcmSeal(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(telvo::lanseam::ccmSeal(kPlain, kKey, kHeader));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmSeal);

void CcmOpen(benchmark::State& state) {
    const Bytes sealed = *telvo::lanseam::ccmSeal(kPlain, kKey, kHeader);
    for (auto _ : state) benchmark::DoNotOptimize(telvo::lanseam::ccmOpen(sealed, kKey, kHeader));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmOpen);

void CcmSealAndOpen(benchmark::State& state) {
    for (auto _ : state) {
        auto sealed = telvo::lanseam::ccmSeal(kPlain, kKey, kHeader);
        benchmark::DoNotOptimize(telvo::lanseam::ccmOpen(*sealed, kKey, kHeader));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmSealAndOpen);

}  // namespace

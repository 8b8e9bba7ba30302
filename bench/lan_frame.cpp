// A version-3 AES-CCM frame with a 256-byte body: written and read, beside the bare CCM seal
// and open of the same plain bytes (counter included) under the same associated data, and the
// draw of one 13-byte nonce alone. Argument 0 draws the nonces from the system source; 1 from
// a fast generator, which leaves the codec and the cipher alone in the figures. Goals: a nonce
// in at most 100 ns, a frame written and read within 1.15x the bare CCM, both with the system
// source; the frame's goal is read from alternating batches of the two (the separate
// benchmarks' ratio is printed for comparison). As the bare side is handed its plain bytes,
// the frame side is handed its message built (session key, counter, type, tag, body): a write
// is the frame's getByteStream under a new counter (each write makes its buffers anew, as a
// first one does), a read initWithNSData. MessageBuildWriteAndRead and AlternatingBatches/1 add
// the building of the message object and its body to each write, for comparison.
#include <benchmark/benchmark.h>

#include "CpuMeter.h"
#include "Goals.h"
#include "platform/crypto/Random.h"
#include "protocol/QKProtocol.h"
#include "security/QKDataSecurity.h"

namespace {

using telvo::Bytes;

class FastRandom : public telvo::Random {
  public:
    bool secureBytes(uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(uniform32());
        return true;
    }
    uint32_t uniform32() override {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    uint32_t state_ = 2463534242u;
};

// Installs the random source the argument asks for while a benchmark runs.
struct RandomChoice {
    explicit RandomChoice(const benchmark::State& state) {
        if (state.range(0) == 1) telvo::Random::setShared(std::make_shared<FastRandom>());
    }
    ~RandomChoice() { telvo::Random::setShared(nullptr); }
};
using telvo::QKProtocol;

const Bytes kKey(16, 0x42);
const Bytes kBody(256, 0xA7);

QKProtocol message(int64_t counter) {
    QKProtocol p(3, kKey, counter);
    p.setMsgType(0x70);
    p.setTag(12);
    p.setOriMessageArray(kBody);
    return p;
}

Bytes writeFrame(QKProtocol& message, int64_t counter) {
    message.setCntId(counter);
    return message.getByteStream();
}

Bytes writeFrame(int64_t counter) {
    return message(counter).getByteStream();
}

void FrameWrite(benchmark::State& state) {
    RandomChoice random(state);
    QKProtocol built = message(0);
    int64_t counter = 0;
    for (auto _ : state) benchmark::DoNotOptimize(writeFrame(built, ++counter));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameWrite)->Arg(0)->Arg(1);

void FrameRead(benchmark::State& state) {
    RandomChoice random(state);
    const Bytes frame = writeFrame(1);
    for (auto _ : state) {
        auto p = QKProtocol::initWithNSData(frame, kKey);
        if (!p || !p->messageArray()) state.SkipWithError("frame did not open");
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameRead)->Arg(0)->Arg(1);

void FrameWriteAndRead(benchmark::State& state) {
    RandomChoice random(state);
    QKProtocol built = message(0);
    int64_t counter = 0;
    for (auto _ : state) {
        auto p = QKProtocol::initWithNSData(writeFrame(built, ++counter), kKey);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameWriteAndRead)->Arg(0)->Arg(1);

void MessageBuildWriteAndRead(benchmark::State& state) {
    RandomChoice random(state);
    int64_t counter = 0;
    for (auto _ : state) {
        auto p = QKProtocol::initWithNSData(writeFrame(++counter), kKey);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(MessageBuildWriteAndRead)->Arg(0)->Arg(1);

const Bytes kPlain = [] {
    Bytes b(2 + kBody.size());
    b[0] = 1;
    std::copy(kBody.begin(), kBody.end(), b.begin() + 2);
    return b;
}();
const Bytes kHeader(40, 0x5A);

void NonceDraw(benchmark::State& state) {
    RandomChoice random(state);
    uint8_t nonce[13];
    for (auto _ : state) {
        if (!telvo::Random::shared()->nonzeroBytes(nonce, sizeof nonce))
            state.SkipWithError("no nonce");
        benchmark::DoNotOptimize(nonce);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(NonceDraw)->Arg(0)->Arg(1);

void CcmSeal(benchmark::State& state) {
    RandomChoice random(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(telvo::QKDataSecurity::aesCCMEncryptData(kPlain, kKey, kHeader));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmSeal)->Arg(0)->Arg(1);

void CcmOpen(benchmark::State& state) {
    RandomChoice random(state);
    const Bytes sealed = *telvo::QKDataSecurity::aesCCMEncryptData(kPlain, kKey, kHeader);
    for (auto _ : state)
        benchmark::DoNotOptimize(telvo::QKDataSecurity::aesCCMDecryptData(sealed, kKey, kHeader));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmOpen)->Arg(0)->Arg(1);

void CcmSealAndOpen(benchmark::State& state) {
    RandomChoice random(state);
    for (auto _ : state) {
        auto sealed = telvo::QKDataSecurity::aesCCMEncryptData(kPlain, kKey, kHeader);
        benchmark::DoNotOptimize(telvo::QKDataSecurity::aesCCMDecryptData(*sealed, kKey, kHeader));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmSealAndOpen)->Arg(0)->Arg(1);

// Frame write+read and bare CCM seal+open alternate (either first in turn) within each
// iteration, each batch timed on the thread's CPU clock, so both see the same load and the same
// state of the machine. System source.
void AlternatingBatches(benchmark::State& state) {
    constexpr int kBatch = 200;
    telvo::bench::SideBySide timed;
    QKProtocol built = message(0);
    const bool buildEach = state.range(0) == 1;
    int64_t counter = 0;
    for (auto _ : state) {
        timed.run(
            [&] {
                for (int n = 0; n < kBatch; ++n) {
                    auto sealed = telvo::QKDataSecurity::aesCCMEncryptData(kPlain, kKey, kHeader);
                    auto plain = telvo::QKDataSecurity::aesCCMDecryptData(*sealed, kKey, kHeader);
                    if (!plain) state.SkipWithError("bare CCM did not open");
                    benchmark::DoNotOptimize(plain);
                }
            },
            [&] {
                for (int n = 0; n < kBatch; ++n) {
                    ++counter;
                    auto p = QKProtocol::initWithNSData(
                        buildEach ? writeFrame(counter) : writeFrame(built, counter), kKey);
                    if (!p || !p->messageArray()) state.SkipWithError("frame did not open");
                    benchmark::DoNotOptimize(p);
                }
            });
    }
    const double runs = double(state.iterations()) * kBatch;
    state.counters["bare_ns"] = timed.bareSeconds * 1e9 / runs;
    state.counters["frame_ns"] = timed.pathSeconds * 1e9 / runs;
    state.SetItemsProcessed(state.iterations() * int64_t(kBatch) * 2);
}
// Argument 0: the message built; 1: built anew for each write.
BENCHMARK(AlternatingBatches)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::limit("one 13-byte nonce from the system source", Figure::cpu("NonceDraw/0"), 100e-9,
                     "ns"),
         Goal::ratio("frame write+read over bare CCM seal+open, system source, alternating batches",
                     Figure::counterOf("AlternatingBatches/0", "frame_ns"),
                     Figure::counterOf("AlternatingBatches/0", "bare_ns"), 1.15),
         Goal::comparison("the same with the message built for each write, alternating batches",
                          Figure::counterOf("AlternatingBatches/1", "frame_ns"),
                          Figure::counterOf("AlternatingBatches/1", "bare_ns")),
         Goal::comparison("the same from the separate benchmarks (load may differ between them)",
                          Figure::cpu("FrameWriteAndRead/0"), Figure::cpu("CcmSealAndOpen/0"))});
}

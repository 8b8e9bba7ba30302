// The BLE frame assembler on the notifications of one link, each frame handed to a sink that
// opens it as the session does (parsed and decrypted under the session key) and answers
// whether it opened. Streams, in 20-byte notifications unless said:
// - Frames: 500 frames of 246 bytes (a 230-byte body), nothing else;
// - StaleStarts: the same frames, each after 40 stale 20-byte frame starts that claim its
//   length (about one in 256 of those the frame's bytes complete has a checksum that holds, and
//   does not open; the frame behind it still does);
// - HostileShort, HostileLong: 488 KB of AA 55 in 244-byte notifications, version 0 and 2
//   (every notification a frame start that claims 170 or 21930 bytes; nothing opens).
// Figure: CPU time per byte received (counter s_per_byte). Goals: each stream within a small
// multiple of the frames alone, so that no flood costs more than a few times the same bytes of
// frames. Run it on one core: taskset -c N.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Goals.h"
#include "blecore/QKBLEProtocol.h"

namespace {

using telvo::Bytes;
using telvo::ByteView;
using telvo::QKBLEFrameAssembler;
using telvo::QKBLEProtocol;

const Bytes kKey(16, 0x42);

struct Stream {
    int version = 0;
    std::vector<Bytes> notifications;
    size_t bytes = 0;
    size_t frames = 0;  // that open
};

enum Kind : int64_t { Frames, StaleStarts, HostileShort, HostileLong };

Stream makeStream(Kind kind) {
    Stream s;
    std::mt19937 random(7);
    const auto add = [&](Bytes bytes, size_t piece) {
        for (size_t at = 0; at < bytes.size(); at += piece)
            s.notifications.emplace_back(
                bytes.begin() + std::ptrdiff_t(at),
                bytes.begin() + std::ptrdiff_t(std::min(bytes.size(), at + piece)));
        s.bytes += bytes.size();
    };
    if (kind == HostileShort || kind == HostileLong) {
        s.version = kind == HostileShort ? 0 : 2;
        Bytes flood(488 * 1024);
        for (size_t i = 0; i < flood.size(); ++i) flood[i] = i % 2 ? 0x55 : 0xAA;
        add(flood, 244);
        return s;
    }
    for (int n = 0; n < 500; ++n) {
        Bytes body(230);
        for (uint8_t& byte : body) byte = uint8_t(random());
        const Bytes frame = *QKBLEProtocol::getProtocolDataWithMsgBody(body, kKey, 0x63, 0, 0);
        for (int i = 0; kind == StaleStarts && i < 40; ++i) {
            Bytes start(20);
            for (uint8_t& byte : start) byte = uint8_t(random());
            start[0] = 0xAA;
            start[1] = 0x55;
            start[2] = frame[2];
            add(start, 20);
        }
        add(frame, 20);
        ++s.frames;
    }
    return s;
}

void Assembler(benchmark::State& state) {
    const Stream stream = makeStream(Kind(state.range(0)));
    size_t opened = 0;
    const auto sink = [&](Bytes frame) {
        auto parsed = QKBLEProtocol::initProtocolData(frame, kKey, stream.version);
        const bool opens = parsed && parsed->decrptMsgBody();
        opened += opens;
        return opens;
    };
    for (auto _ : state) {
        QKBLEFrameAssembler assembler;
        for (const Bytes& notification : stream.notifications)
            assembler.receive(notification, stream.version, sink);
        benchmark::DoNotOptimize(assembler.heldSize());
    }
    if (opened != stream.frames * state.iterations())
        return state.SkipWithError("a frame did not open");
    state.SetBytesProcessed(int64_t(stream.bytes) * state.iterations());
    state.counters["s_per_byte"] =
        benchmark::Counter(double(stream.bytes), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(Assembler)->DenseRange(Frames, HostileLong)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure;
    using telvo::bench::Goal;
    const auto perByte = [](Kind kind) {
        return Figure::counterOf("Assembler/" + std::to_string(kind), "s_per_byte");
    };
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("40 stale starts before each frame, per byte, over the frames alone",
                     perByte(StaleStarts), perByte(Frames), 3),
         Goal::ratio("488 KB of AA 55 (short frames), per byte, over the frames alone",
                     perByte(HostileShort), perByte(Frames), 3),
         Goal::ratio("488 KB of AA 55 (long frames), per byte, over the frames alone",
                     perByte(HostileLong), perByte(Frames), 3)});
}

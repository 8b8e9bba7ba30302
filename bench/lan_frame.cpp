// A version-3 AES-CCM frame with a 256-byte body, written and read, beside the same sealing and
// opening done bare. Every side draws a 13-byte nonce per message from the same source, seals
// the counter and the body (258 plain bytes) under the same 40 bytes of associated data into a
// new buffer and opens that into another new buffer:
// - the frame: the message built for each write as a real send builds it (a new frame object
//   with the session key and counter, its type, tag and a body of its own), getByteStream
//   (header, time stamp, the seal in place), then initWithNSData with the key;
// - bare CCM: the project's CCM front (QKDataSecurity::aesCCMEncryptData and
//   aesCCMDecryptData) handed the plain bytes and the header;
// - OpenSSL keyed once: OpenSSL's EVP AES-128-CCM, its two contexts (seal, open) keyed before
//   the timing, handed the same plain bytes and header, with a nonce drawn as the front draws
//   it (Random::nonzeroBytes).
// The goals are read from batches of the frame and of one bare side that alternate (either
// first in turn) on the thread's CPU clock, so that both see the same load: the frame within
// 1.1x bare CCM and 1.25x OpenSSL keyed once, one message object reused for every write
// within 1.2x bare CCM; and a nonce from the system source in at most
// 100 ns. The separate benchmarks take argument 0 for the system source, 1 for a fast
// generator, which leaves the codec and the cipher alone in the figures. Run it on one core:
// taskset -c N.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "CpuMeter.h"
#include "Goals.h"
#include "platform/crypto/OpenSSLPtr.h"
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

// A message as a real send builds it: a new frame object with the session key and the
// counter, then its type, tag and body.
std::shared_ptr<QKProtocol> message(int64_t counter) {
    auto p = std::make_shared<QKProtocol>(3, kKey, counter);
    p->setMsgType(0x70);
    p->setTag(12);
    p->setOriMessageArray(Bytes(kBody));
    return p;
}

Bytes writeFrame(int64_t counter) {
    return message(counter)->getByteStream();
}

// One message object written again and again, each time with the next counter, as a session
// writes a request it keeps.
Bytes writeReusedFrame(int64_t counter) {
    static const std::shared_ptr<QKProtocol> kept = message(0);
    kept->setCntId(counter);
    return kept->getByteStream();
}

// One frame written and read; false when it did not open.
bool frameWriteAndRead(int64_t counter, bool reused = false) {
    auto p =
        QKProtocol::initWithNSData(reused ? writeReusedFrame(counter) : writeFrame(counter), kKey);
    benchmark::DoNotOptimize(p);
    return p && p->messageArray();
}

void FrameWrite(benchmark::State& state) {
    RandomChoice random(state);
    int64_t counter = 0;
    for (auto _ : state) benchmark::DoNotOptimize(writeFrame(++counter));
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
    int64_t counter = 0;
    for (auto _ : state)
        if (!frameWriteAndRead(++counter)) state.SkipWithError("frame did not open");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FrameWriteAndRead)->Arg(0)->Arg(1);

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

// The project's bare CCM, sealed and opened; false when it did not open.
bool bareCcm() {
    auto sealed = telvo::QKDataSecurity::aesCCMEncryptData(kPlain, kKey, kHeader);
    auto plain = telvo::QKDataSecurity::aesCCMDecryptData(*sealed, kKey, kHeader);
    benchmark::DoNotOptimize(plain);
    return plain.has_value();
}

void CcmSealAndOpen(benchmark::State& state) {
    RandomChoice random(state);
    for (auto _ : state)
        if (!bareCcm()) state.SkipWithError("bare CCM did not open");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CcmSealAndOpen)->Arg(0)->Arg(1);

// OpenSSL's AES-128-CCM with its contexts keyed once; each message draws its nonce as the
// CCM front does and goes into new buffers (nonce || ciphertext || tag, then the plaintext).
class OpenSslKeyedOnce {
  public:
    OpenSslKeyedOnce() {
        for (int seal : {1, 0}) {
            EVP_CIPHER_CTX* ctx = (seal ? sealing_ : opening_).get();
            keyed_ = keyed_ &&
                     EVP_CipherInit_ex2(ctx, cipher_.get(), nullptr, nullptr, seal, nullptr) &&
                     EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) &&
                     EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, nullptr) &&
                     EVP_CipherInit_ex2(ctx, nullptr, kKey.data(), nullptr, seal, nullptr);
        }
    }
    bool keyed() const { return keyed_; }

    bool sealAndOpen() {
        constexpr size_t kNonce = 13, kTag = 16;
        const size_t length = kPlain.size();
        Bytes sealed(kNonce + length + kTag);
        uint8_t* nonce = sealed.data();
        uint8_t* body = nonce + kNonce;
        int n = 0;
        EVP_CIPHER_CTX* ctx = sealing_.get();
        if (!telvo::Random::shared()->nonzeroBytes(nonce, kNonce) ||
            !EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce, 1, nullptr) ||
            !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag, nullptr) ||
            !EVP_CipherUpdate(ctx, nullptr, &n, nullptr, int(length)) ||
            !EVP_CipherUpdate(ctx, nullptr, &n, kHeader.data(), int(kHeader.size())) ||
            !EVP_CipherUpdate(ctx, body, &n, kPlain.data(), int(length)) ||
            !EVP_CipherFinal_ex(ctx, body + length, &n) ||
            !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTag, body + length))
            return false;
        Bytes plain(length);
        ctx = opening_.get();
        const bool opened =
            EVP_CipherInit_ex2(ctx, nullptr, nullptr, nonce, 0, nullptr) &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag, body + length) &&
            EVP_CipherUpdate(ctx, nullptr, &n, nullptr, int(length)) &&
            EVP_CipherUpdate(ctx, nullptr, &n, kHeader.data(), int(kHeader.size())) &&
            EVP_CipherUpdate(ctx, plain.data(), &n, body, int(length));
        benchmark::DoNotOptimize(plain.data());
        return opened;
    }

  private:
    telvo::EvpCipherPtr cipher_{EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr)};
    telvo::EvpCipherCtxPtr sealing_{EVP_CIPHER_CTX_new()}, opening_{EVP_CIPHER_CTX_new()};
    bool keyed_ = true;
};

void OpenSslSealAndOpen(benchmark::State& state) {
    RandomChoice random(state);
    OpenSslKeyedOnce ossl;
    for (auto _ : state)
        if (!ossl.sealAndOpen()) state.SkipWithError("OpenSSL did not open");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OpenSslSealAndOpen)->Arg(0)->Arg(1);

// The goals' ratios: batches of frames and of one bare side alternate (either first in turn)
// within each iteration, each batch timed on the thread's CPU clock. System source.
// Argument 0: against bare CCM; 1: against OpenSSL keyed once; 2: a reused message (one object
// written with the next counter each time) against bare CCM.
void AlternatingBatches(benchmark::State& state) {
    constexpr int kBatch = 200;
    telvo::bench::SideBySide timed;
    OpenSslKeyedOnce ossl;
    if (!ossl.keyed()) return state.SkipWithError("OpenSSL was not keyed");
    const bool openssl = state.range(0) == 1;
    const bool reused = state.range(0) == 2;
    int64_t counter = 0;
    bool ok = true;
    for (auto _ : state) {
        timed.run(
            [&] {
                for (int n = 0; n < kBatch; ++n) ok &= openssl ? ossl.sealAndOpen() : bareCcm();
            },
            [&] {
                for (int n = 0; n < kBatch; ++n) ok &= frameWriteAndRead(++counter, reused);
            });
    }
    if (!ok) state.SkipWithError("a message did not open");
    const double runs = double(state.iterations()) * kBatch;
    state.counters["bare_ns"] = timed.bareSeconds * 1e9 / runs;
    state.counters["frame_ns"] = timed.pathSeconds * 1e9 / runs;
    state.SetItemsProcessed(state.iterations() * int64_t(kBatch) * 2);
    state.SetLabel(openssl  ? "OpenSSL keyed once"
                   : reused ? "reused message, bare CCM"
                            : "bare CCM");
}
BENCHMARK(AlternatingBatches)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::limit("one 13-byte nonce from the system source", Figure::cpu("NonceDraw/0"), 100e-9,
                     "ns"),
         Goal::ratio("frame write+read, message built per write, over bare CCM seal+open",
                     Figure::counterOf("AlternatingBatches/0", "frame_ns"),
                     Figure::counterOf("AlternatingBatches/0", "bare_ns"), 1.1),
         Goal::ratio("frame write+read, one message reused for every write, over bare CCM",
                     Figure::counterOf("AlternatingBatches/2", "frame_ns"),
                     Figure::counterOf("AlternatingBatches/2", "bare_ns"), 1.2),
         Goal::ratio("the same over OpenSSL keyed once, same nonce draw",
                     Figure::counterOf("AlternatingBatches/1", "frame_ns"),
                     Figure::counterOf("AlternatingBatches/1", "bare_ns"), 1.25),
         Goal::comparison("frame over bare CCM from the separate benchmarks (load may differ)",
                          Figure::cpu("FrameWriteAndRead/0"), Figure::cpu("CcmSealAndOpen/0"))});
}

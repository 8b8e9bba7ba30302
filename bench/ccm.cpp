// AES-128-CCM, 13-byte nonce, 16-byte tag, 16 bytes of associated data: the library's one-shot
// front (a QKVPCCMCrypt object made per message, as the CCM front makes one) beside OpenSSL's
// EVP AES-128-CCM, seal and open, 16 B, 64 B, 1 KiB and 16 KiB. Both sides take the message's
// key, nonce and associated data and hand back a new buffer that holds the result (our front's
// std::optional<Bytes>, OpenSSL's output into a Bytes made for the message).
// - KeyedOnce: one key for every message. OpenSSL's context is keyed once, before the timing,
//   and each message sets its nonce and tag through the control calls. Our side is handed the
//   key with every message, as callers do; its kept per-thread context, when the key repeats,
//   takes the nonce, and the tag when opening, as parameters (sealing, the tag's length stays
//   in the context), and reads the sealed tag as a parameter.
// - TwoKeys: two keys in turn, so that every message is keyed afresh on both sides (OpenSSL
//   re-initialises its context with the cipher, the lengths and the key; our side's kept
//   context keeps its cipher and lengths and takes the other key alone).
// - TwoKeysKeyAlone, for comparison: OpenSSL re-keyed as our side re-keys, the key and nonce
//   alone into a context that keeps its cipher and lengths, then the tag.
// Each benchmark times batches of the two sides that alternate (either first in turn) on the
// thread's CPU clock, so that both see the same load; counters ours_ns and openssl_ns per
// message. Goals: ours within 1.1x OpenSSL keyed once and 1.05x OpenSSL re-keyed, every size,
// both ways. For comparison, OpenSSL keyed once writing into one buffer it keeps (no new
// buffer per message), and OpenSSL re-keyed with the key alone. Run it on one core:
// taskset -c N.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "CpuMeter.h"
#include "Goals.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "security/QKVPCCMCrypt.h"

namespace {

using telvo::Bytes;
using telvo::ByteView;

const Bytes kKeys[2] = {Bytes(16, 0x42), Bytes(16, 0x43)};
const Bytes kNonce(13, 0x24);
const Bytes kAd(16, 0x11);
constexpr size_t kTag = 16;

enum Baseline : int64_t {
    KeyedOnce = 0,
    TwoKeys = 1,
    KeyedOnceKeptBuffer = 2,
    TwoKeysKeyAlone = 3
};
constexpr const char* kBaselineNames[] = {"KeyedOnce", "TwoKeys", "KeyedOnceKeptBuffer",
                                          "TwoKeysKeyAlone"};
// How OpenSSL's context is keyed for a message.
enum class Keying { Kept, KeyAlone, Afresh };

class OpenSsl {
  public:
    // Both contexts keyed with the first key, by a message each.
    OpenSsl() {
        uint8_t plain[16] = {}, sealed[16 + kTag];
        keyed_ = run(true, Keying::Afresh, kKeys[0], plain, sealed) &&
                 run(false, Keying::Afresh, kKeys[0], sealed, plain);
    }
    bool keyed() const { return keyed_; }

    // The message with the context keyed for it: a new key with the cipher and lengths set
    // afresh, a new key alone, or the key it was keyed with (the nonce and tag alone).
    bool run(bool seal, Keying keying, ByteView key, ByteView in, uint8_t* out) {
        EVP_CIPHER_CTX* ctx = (seal ? sealing_ : opening_).get();
        const size_t length = seal ? in.size() : in.size() - kTag;
        uint8_t* tag = seal ? nullptr : const_cast<uint8_t*>(in.data() + length);
        int n = 0;
        if (keying == Keying::Afresh) {
            if (!EVP_CipherInit_ex2(ctx, cipher_.get(), nullptr, nullptr, seal, nullptr) ||
                !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
                !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag, tag) ||
                !EVP_CipherInit_ex2(ctx, nullptr, key.data(), kNonce.data(), seal, nullptr))
                return false;
        } else if (!EVP_CipherInit_ex2(ctx, nullptr,
                                       keying == Keying::KeyAlone ? key.data() : nullptr,
                                       kNonce.data(), seal, nullptr) ||
                   !EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag, tag)) {
            return false;
        }
        if (!EVP_CipherUpdate(ctx, nullptr, &n, nullptr, int(length)) ||
            !EVP_CipherUpdate(ctx, nullptr, &n, kAd.data(), int(kAd.size())) ||
            !EVP_CipherUpdate(ctx, out, &n, in.data(), int(length)))
            return false;
        if (!seal) return true;
        return EVP_CipherFinal_ex(ctx, out + length, &n) &&
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTag, out + length);
    }

  private:
    telvo::EvpCipherPtr cipher_{EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr)};
    telvo::EvpCipherCtxPtr sealing_{EVP_CIPHER_CTX_new()}, opening_{EVP_CIPHER_CTX_new()};
    bool keyed_ = false;
};

void Paired(benchmark::State& state, bool seal, size_t size, Baseline baseline) {
    const size_t batch = std::max<size_t>(16, (256 * 1024) / size);
    const Bytes payload(size, 0x5a);
    // What each message takes: the plaintext, or the message each key sealed.
    Bytes inputs[2];
    for (int k = 0; k < 2; ++k)
        inputs[k] =
            seal ? payload
                 : *telvo::QKVPCCMCrypt(kKeys[k], kNonce, kAd, kTag).encryptDataWithData(payload);
    OpenSsl ossl;
    if (!ossl.keyed()) return state.SkipWithError("OpenSSL was not keyed");
    const bool twoKeys = baseline == TwoKeys || baseline == TwoKeysKeyAlone;
    const Keying keying = baseline == TwoKeys           ? Keying::Afresh
                          : baseline == TwoKeysKeyAlone ? Keying::KeyAlone
                                                        : Keying::Kept;
    const size_t outSize = seal ? size + kTag : size;
    Bytes kept(outSize);
    telvo::bench::SideBySide timed;
    bool ok = true;
    for (auto _ : state) {
        timed.run(
            [&] {
                for (size_t n = 0; n < batch; ++n) {
                    const size_t k = twoKeys ? n & 1 : 0;
                    if (baseline == KeyedOnceKeptBuffer || baseline == TwoKeysKeyAlone) {
                        ok &= ossl.run(seal, keying, kKeys[k], inputs[k], kept.data());
                        benchmark::DoNotOptimize(kept.data());
                        continue;
                    }
                    Bytes out(outSize);
                    ok &= ossl.run(seal, keying, kKeys[k], inputs[k], out.data());
                    benchmark::DoNotOptimize(out.data());
                }
            },
            [&] {
                for (size_t n = 0; n < batch; ++n) {
                    const size_t k = twoKeys ? n & 1 : 0;
                    telvo::QKVPCCMCrypt ccm(kKeys[k], kNonce, kAd, kTag);
                    auto out = seal ? ccm.encryptDataWithData(inputs[k])
                                    : ccm.decryptDataWithData(inputs[k]);
                    ok &= out.has_value();
                    benchmark::DoNotOptimize(out);
                }
            });
    }
    if (!ok) state.SkipWithError("a message failed");
    const double messages = double(state.iterations()) * double(batch);
    state.counters["ours_ns"] = timed.pathSeconds * 1e9 / messages;
    state.counters["openssl_ns"] = timed.bareSeconds * 1e9 / messages;
    state.SetBytesProcessed(int64_t(messages) * int64_t(size) * 2);
}

constexpr int64_t kSizes[] = {16, 64, 1024, 16384};

std::string nameOf(bool seal, int64_t size, int baseline) {
    return std::string("Paired/") + (seal ? "seal/" : "open/") + std::to_string(size) + "/" +
           kBaselineNames[baseline];
}

const bool registered = [] {
    for (int baseline : {KeyedOnce, TwoKeys, KeyedOnceKeptBuffer, TwoKeysKeyAlone})
        for (bool seal : {true, false})
            for (int64_t size : kSizes)
                benchmark::RegisterBenchmark(nameOf(seal, size, baseline).c_str(), Paired, seal,
                                             size_t(size), Baseline(baseline));
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    std::vector<Goal> goals;
    for (int baseline : {KeyedOnce, TwoKeys, KeyedOnceKeptBuffer, TwoKeysKeyAlone})
        for (bool seal : {true, false})
            for (int64_t size : kSizes) {
                const std::string name = nameOf(seal, size, baseline);
                const std::string what =
                    std::string(seal ? "seal " : "open ") + std::to_string(size) +
                    " B, ours over OpenSSL " +
                    (baseline == TwoKeys           ? "re-keyed, two keys in turn"
                     : baseline == KeyedOnce       ? "keyed once"
                     : baseline == TwoKeysKeyAlone ? "re-keyed with the key alone, two keys"
                                                   : "keyed once, into a buffer it keeps");
                const Figure ours = Figure::counterOf(name, "ours_ns");
                const Figure theirs = Figure::counterOf(name, "openssl_ns");
                if (baseline == KeyedOnceKeptBuffer || baseline == TwoKeysKeyAlone)
                    goals.push_back(Goal::comparison(what, ours, theirs));
                else
                    goals.push_back(
                        Goal::ratio(what, ours, theirs, baseline == TwoKeys ? 1.05 : 1.1));
            }
    return telvo::bench::runWithGoals(argc, argv, goals);
}

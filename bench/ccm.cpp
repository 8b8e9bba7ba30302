// AES-128-CCM, 13-byte nonce, 16-byte tag: our one-shot engine against OpenSSL's EVP
// AES-128-CCM, seal and open, 64 B, 1 KiB and 16 KiB. Each message sets its key and nonce
// afresh on both sides (our one-shot object per message; OpenSSL re-initialises one context
// per message). Goal: 16 KiB within 1.1x OpenSSL's, both ways.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>

#include "Goals.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "security/QKVPCCMCrypt.h"

namespace {

using telvo::Bytes;

const Bytes kKey(16, 0x42);
const Bytes kNonce(13, 0x24);
const Bytes kAd(16, 0x11);

struct OpenSsl {
    telvo::EvpCipherPtr cipher{EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr)};
    telvo::EvpCipherCtxPtr ctx{EVP_CIPHER_CTX_new()};
    // Returns false on failure; out holds ciphertext || tag (seal) or plaintext (open).
    bool run(bool seal, const Bytes& in, Bytes& out) {
        size_t length = seal ? in.size() : in.size() - 16;
        out.resize(seal ? length + 16 : length);
        int n = 0;
        uint8_t* tag = seal ? nullptr : const_cast<uint8_t*>(in.data() + length);
        if (!EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, seal, nullptr) ||
            !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
            !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag) ||
            !EVP_CipherInit_ex2(ctx.get(), nullptr, kKey.data(), kNonce.data(), seal, nullptr) ||
            !EVP_CipherUpdate(ctx.get(), nullptr, &n, nullptr, static_cast<int>(length)) ||
            !EVP_CipherUpdate(ctx.get(), nullptr, &n, kAd.data(), static_cast<int>(kAd.size())) ||
            !EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(length)))
            return false;
        if (!seal) return true;
        return EVP_CipherFinal_ex(ctx.get(), out.data() + length, &n) &&
               EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data() + length);
    }
};

void OursSeal(benchmark::State& state) {
    Bytes payload(static_cast<size_t>(state.range(0)), 0x5a);
    for (auto _ : state) {
        auto sealed = telvo::QKVPCCMCrypt(kKey, kNonce, kAd, 16).encryptDataWithData(payload);
        benchmark::DoNotOptimize(sealed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OursOpen(benchmark::State& state) {
    Bytes payload(static_cast<size_t>(state.range(0)), 0x5a);
    Bytes sealed = *telvo::QKVPCCMCrypt(kKey, kNonce, kAd, 16).encryptDataWithData(payload);
    for (auto _ : state) {
        auto opened = telvo::QKVPCCMCrypt(kKey, kNonce, kAd, 16).decryptDataWithData(sealed);
        if (!opened) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(opened);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OpenSslSeal(benchmark::State& state) {
    OpenSsl ossl;
    Bytes payload(static_cast<size_t>(state.range(0)), 0x5a), out;
    for (auto _ : state) {
        if (!ossl.run(true, payload, out)) state.SkipWithError("seal failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OpenSslOpen(benchmark::State& state) {
    OpenSsl ossl;
    Bytes payload(static_cast<size_t>(state.range(0)), 0x5a), sealed, out;
    ossl.run(true, payload, sealed);
    for (auto _ : state) {
        if (!ossl.run(false, sealed, out)) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(OursSeal)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(OpenSslSeal)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(OursOpen)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(OpenSslOpen)->Arg(64)->Arg(1024)->Arg(16384);

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    return telvo::bench::runWithGoals(
        argc, argv,
        {Goal::ratio("seal 16 KiB, ours over OpenSSL's", Figure::cpu("OursSeal/16384"),
                     Figure::cpu("OpenSslSeal/16384"), 1.1),
         Goal::ratio("open 16 KiB, ours over OpenSSL's", Figure::cpu("OursOpen/16384"),
                     Figure::cpu("OpenSslOpen/16384"), 1.1)});
}

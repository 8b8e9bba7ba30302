// Our P-256 key making, ECDH, signing and verification beside OpenSSL's, in one run, with the
// ratio ours / OpenSSL of the median CPU times printed at the end (7 repetitions, interleaved
// at random, unless the command line says otherwise). Run it on one core: taskset -c N.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/crypto/OpenSSLPtr.h"
#include "security/EccCore.h"
#include "security/QKEllipticCurveSecret.h"

namespace {

using telvo::Bytes;
using telvo::EvpPkeyCtxPtr;
using telvo::EvpPkeyPtr;
using telvo::kEccSecp256r1;

void check(bool ok) {
    if (!ok) std::abort();
}

EvpPkeyPtr opensslKey() {
    return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "prime256v1"));
}

struct Comparison {
    const char* operation;
    const char* compares;
};

// One line each on what the two sides do.
const Comparison kComparisons[] = {
    {"keygen", "draw d and make d*G: ours writes the compressed key, OpenSSL an EVP_PKEY"},
    {"ecdh",
     "X of d*Q: ours from the peer's compressed key (decompressed and checked every "
     "call), OpenSSL from a peer key object built once, without its second peer check"},
    {"sign", "ECDSA over a 32-byte hash with a fresh nonce: ours raw r|s, OpenSSL DER"},
    {"verify",
     "ours from the compressed key (decompressed every call), OpenSSL from its key "
     "object built once"},
};
constexpr double kGoal = 1.5;

void keygenOurs(benchmark::State& state) {
    uint8_t pub[33], priv[32];
    for (auto _ : state) check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
}

void keygenOpenssl(benchmark::State& state) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    check(EVP_PKEY_keygen_init(ctx.get()) == 1);
    check(EVP_PKEY_CTX_set_group_name(ctx.get(), "prime256v1") == 1);
    for (auto _ : state) {
        EVP_PKEY* key = nullptr;
        check(EVP_PKEY_keygen(ctx.get(), &key) == 1);
        EVP_PKEY_free(key);
    }
}

void ecdhOurs(benchmark::State& state) {
    uint8_t peer[33], peerPriv[32], pub[33], priv[32], secret[32];
    check(telvo::ecc_make_key(peer, peerPriv, kEccSecp256r1) == 1);
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdh_shared_secret(peer, priv, secret, kEccSecp256r1) == 1);
}

void ecdhOpenssl(benchmark::State& state) {
    EvpPkeyPtr own = opensslKey();
    EvpPkeyPtr peer = opensslKey();
    for (auto _ : state) {
        EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
        uint8_t secret[32];
        size_t len = sizeof secret;
        check(EVP_PKEY_derive_init(ctx.get()) == 1 &&
              EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) == 1 &&
              EVP_PKEY_derive(ctx.get(), secret, &len) == 1);
    }
}

void signOurs(benchmark::State& state) {
    uint8_t pub[33], priv[32], hash[32] = {1, 2, 3}, sig[64];
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdsa_sign(priv, hash, sig, kEccSecp256r1) == 1);
}

void signOpenssl(benchmark::State& state) {
    EvpPkeyPtr key = opensslKey();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    check(EVP_PKEY_sign_init(ctx.get()) == 1);
    uint8_t hash[32] = {1, 2, 3}, sig[80];
    for (auto _ : state) {
        size_t len = sizeof sig;
        check(EVP_PKEY_sign(ctx.get(), sig, &len, hash, sizeof hash) == 1);
    }
}

void verifyOurs(benchmark::State& state) {
    uint8_t pub[33], priv[32], hash[32] = {1, 2, 3}, sig[64];
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    check(telvo::ecdsa_sign(priv, hash, sig, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdsa_verify(pub, hash, sig, kEccSecp256r1) == 1);
}

void verifyOpenssl(benchmark::State& state) {
    EvpPkeyPtr key = opensslKey();
    EvpPkeyCtxPtr signer(EVP_PKEY_CTX_new(key.get(), nullptr));
    uint8_t hash[32] = {1, 2, 3}, sig[80];
    size_t len = sizeof sig;
    check(EVP_PKEY_sign_init(signer.get()) == 1 &&
          EVP_PKEY_sign(signer.get(), sig, &len, hash, sizeof hash) == 1);
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    check(EVP_PKEY_verify_init(ctx.get()) == 1);
    for (auto _ : state) check(EVP_PKEY_verify(ctx.get(), sig, len, hash, sizeof hash) == 1);
}

// The session path, no counterpart: a fresh holder's private key with an appliance's raw
// 64-byte key (derives the own public key as well, so two scalar multiplications).
void ecdhSessionOperation(benchmark::State& state) {
    auto own = telvo::QKEllipticCurveSecret::createECCSecret();
    auto peer = telvo::QKEllipticCurveSecret::createECCSecret();
    for (auto _ : state) {
        auto key = telvo::QKEllipticCurveSecret::computeECDHWithPublicKeyData(
            peer->specialPublicKeyData(), own->privateKeyData());
        check(key.has_value());
    }
}

// Prints as the console does and keeps every repetition's CPU time per benchmark, or the
// median the library reports when the console is given the aggregates only.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Iteration)
                times_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            else if (run.aggregate_name == "median")
                medians_[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }

    void printRatios() const {
        double load[1] = {0};
        getloadavg(load, 1);
        std::printf("\nP-256, ours / OpenSSL, median CPU time (load average %.1f):\n", load[0]);
        for (const Comparison& c : kComparisons) {
            double ours = median(std::string(c.operation) + "/ours");
            double theirs = median(std::string(c.operation) + "/openssl");
            if (ours <= 0 || theirs <= 0) continue;
            double ratio = ours / theirs;
            std::printf("  %-7s %9.1f us %9.1f us  ratio %.2f (goal <= %.1f)%s\n", c.operation,
                        ours / 1000, theirs / 1000, ratio, kGoal, ratio <= kGoal ? "" : "  MISSED");
            std::printf("          %s\n", c.compares);
        }
    }

  private:
    double median(const std::string& name) const {
        auto it = times_.find(name);
        if (it == times_.end() || it->second.empty()) {
            auto reported = medians_.find(name);
            return reported == medians_.end() ? 0 : reported->second;
        }
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> medians_;
};

bool hasFlag(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("keygen/ours", keygenOurs);
    benchmark::RegisterBenchmark("keygen/openssl", keygenOpenssl);
    benchmark::RegisterBenchmark("ecdh/ours", ecdhOurs);
    benchmark::RegisterBenchmark("ecdh/openssl", ecdhOpenssl);
    benchmark::RegisterBenchmark("sign/ours", signOurs);
    benchmark::RegisterBenchmark("sign/openssl", signOpenssl);
    benchmark::RegisterBenchmark("verify/ours", verifyOurs);
    benchmark::RegisterBenchmark("verify/openssl", verifyOpenssl);
    benchmark::RegisterBenchmark("ecdh_session/ours", ecdhSessionOperation);

    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    if (!hasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(repetitions.data());
    if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving"))
        args.push_back(interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}

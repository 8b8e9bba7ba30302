// Our P-256 key making, ECDH, signing and verification beside OpenSSL's, in one run.
// Ratio = our time / OpenSSL's time for the same operation.

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/crypto/OpenSSLPtr.h"
#include "security/EccCore.h"
#include "security/QKEllipticCurveSecret.h"

namespace {

using telvo::Bytes;
using telvo::EvpPkeyCtxPtr;
using telvo::EvpPkeyPtr;
using telvo::kEccSecp256r1;

EvpPkeyPtr opensslKey() {
    return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "prime256v1"));
}

Bytes opensslPublic(EVP_PKEY* key) {
    Bytes out(65);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len);
    return out;
}

void check(bool ok) {
    if (!ok) std::abort();
}

void opensslDerive(EVP_PKEY* own, EVP_PKEY* peer) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own, nullptr));
    uint8_t secret[32];
    size_t len = sizeof secret;
    check(EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peer) == 1 &&
          EVP_PKEY_derive(ctx.get(), secret, &len) == 1);
}

void BM_KeyGen_Ours(benchmark::State& state) {
    uint8_t pub[33], priv[32];
    for (auto _ : state) check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
}
BENCHMARK(BM_KeyGen_Ours);

void BM_KeyGen_OpenSSL(benchmark::State& state) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    check(EVP_PKEY_keygen_init(ctx.get()) == 1);
    check(EVP_PKEY_CTX_set_group_name(ctx.get(), "prime256v1") == 1);
    for (auto _ : state) {
        EVP_PKEY* key = nullptr;
        check(EVP_PKEY_keygen(ctx.get(), &key) == 1);
        EVP_PKEY_free(key);
    }
}
BENCHMARK(BM_KeyGen_OpenSSL);

// One ECDH with a peer key handed in as bytes: the core on a compressed key (it decompresses
// and validates), OpenSSL from the uncompressed octets (it builds and checks the peer key).
void BM_Ecdh_Ours(benchmark::State& state) {
    uint8_t peer[33], peerPriv[32], pub[33], priv[32], secret[32];
    check(telvo::ecc_make_key(peer, peerPriv, kEccSecp256r1) == 1);
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdh_shared_secret(peer, priv, secret, kEccSecp256r1) == 1);
}
BENCHMARK(BM_Ecdh_Ours);

void BM_Ecdh_OpenSSL(benchmark::State& state) {
    EvpPkeyPtr own = opensslKey();
    Bytes peerPoint = opensslPublic(opensslKey().get());
    for (auto _ : state) {
        EvpPkeyCtxPtr build(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        EVP_PKEY* peerKey = nullptr;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                                                const_cast<char*>("prime256v1"), 0),
                               OSSL_PARAM_construct_octet_string(
                                   OSSL_PKEY_PARAM_PUB_KEY, peerPoint.data(), peerPoint.size()),
                               OSSL_PARAM_construct_end()};
        check(EVP_PKEY_fromdata_init(build.get()) == 1 &&
              EVP_PKEY_fromdata(build.get(), &peerKey, EVP_PKEY_PUBLIC_KEY, params) == 1);
        EvpPkeyPtr peerOwned(peerKey);
        opensslDerive(own.get(), peerOwned.get());
    }
}
BENCHMARK(BM_Ecdh_OpenSSL);

// OpenSSL's derive alone, with the peer key already built and checked.
void BM_Ecdh_OpenSSL_PeerPrebuilt(benchmark::State& state) {
    EvpPkeyPtr own = opensslKey();
    EvpPkeyPtr peer = opensslKey();
    for (auto _ : state) opensslDerive(own.get(), peer.get());
}
BENCHMARK(BM_Ecdh_OpenSSL_PeerPrebuilt);

// The session path: a fresh holder's private key with an appliance's raw 64-byte key
// (derives the own public key as well, so two scalar multiplications).
void BM_Ecdh_SecretClassOperation(benchmark::State& state) {
    auto own = telvo::QKEllipticCurveSecret::createECCSecret();
    auto peer = telvo::QKEllipticCurveSecret::createECCSecret();
    for (auto _ : state) {
        auto key = telvo::QKEllipticCurveSecret::computeECDHWithPublicKeyData(
            peer->specialPublicKeyData(), own->privateKeyData());
        check(key.has_value());
    }
}
BENCHMARK(BM_Ecdh_SecretClassOperation);

void BM_Sign_Ours(benchmark::State& state) {
    uint8_t pub[33], priv[32], hash[32] = {1, 2, 3}, sig[64];
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdsa_sign(priv, hash, sig, kEccSecp256r1) == 1);
}
BENCHMARK(BM_Sign_Ours);

void BM_Sign_OpenSSL(benchmark::State& state) {
    EvpPkeyPtr key = opensslKey();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    check(EVP_PKEY_sign_init(ctx.get()) == 1);
    uint8_t hash[32] = {1, 2, 3}, sig[80];
    for (auto _ : state) {
        size_t len = sizeof sig;
        check(EVP_PKEY_sign(ctx.get(), sig, &len, hash, sizeof hash) == 1);
    }
}
BENCHMARK(BM_Sign_OpenSSL);

void BM_Verify_Ours(benchmark::State& state) {
    uint8_t pub[33], priv[32], hash[32] = {1, 2, 3}, sig[64];
    check(telvo::ecc_make_key(pub, priv, kEccSecp256r1) == 1);
    check(telvo::ecdsa_sign(priv, hash, sig, kEccSecp256r1) == 1);
    for (auto _ : state) check(telvo::ecdsa_verify(pub, hash, sig, kEccSecp256r1) == 1);
}
BENCHMARK(BM_Verify_Ours);

void BM_Verify_OpenSSL(benchmark::State& state) {
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
BENCHMARK(BM_Verify_OpenSSL);

}  // namespace

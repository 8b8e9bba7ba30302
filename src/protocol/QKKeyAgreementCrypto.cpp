#include "protocol/QKKeyAgreementCrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

// Interim implementation on OpenSSL until the library's own services are in.
namespace telvo::keyagreement {

namespace {
template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

}  // namespace

std::optional<Bytes> computeECDH(ByteView publicKey, ByteView privateKey) {
    static const uint8_t kOrder[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84,
                                       0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
    if (privateKey.size() != 32 ||
        !std::lexicographical_compare(privateKey.begin(), privateKey.end(), kOrder, kOrder + 32))
        return std::nullopt;
    Bytes point(publicKey.begin(), publicKey.end());
    if (point.size() == 64) point.insert(point.begin(), 0x04);
    char group[] = "P-256";
    PKey peer, own;
    {
        PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
            OSSL_PARAM_construct_end()};
        EVP_PKEY* k = nullptr;
        if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
            EVP_PKEY_fromdata(ctx.get(), &k, EVP_PKEY_PUBLIC_KEY, params) != 1)
            return std::nullopt;
        peer.reset(k);
    }
    {
        BIGNUM* d = BN_bin2bn(privateKey.data(), 32, nullptr);
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        if (d && bld &&
            OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, group, 0) &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d))
            params = OSSL_PARAM_BLD_to_param(bld);
        PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        EVP_PKEY* k = nullptr;
        if (params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1)
            EVP_PKEY_fromdata(ctx.get(), &k, EVP_PKEY_KEYPAIR, params);
        own.reset(k);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        BN_clear_free(d);
        if (!own) return std::nullopt;
    }
    PKeyCtx ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1 || len != 32)
        return std::nullopt;
    Bytes out(len);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) return std::nullopt;
    return out;
}

}  // namespace telvo::keyagreement

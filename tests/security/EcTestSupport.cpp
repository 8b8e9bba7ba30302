#include "EcTestSupport.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

#include "platform/crypto/OpenSSLPtr.h"
namespace telvo::test {

namespace {

BignumPtr bn(ByteView bytes) {
    return BignumPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bytes fixed(const BIGNUM* value, size_t width) {
    Bytes out(width);
    BN_bn2binpad(value, out.data(), static_cast<int>(width));
    return out;
}

EcGroupPtr group(int nid) {
    return EcGroupPtr(EC_GROUP_new_by_curve_name(nid));
}

EcPointPtr point(const EC_GROUP* g, ByteView bytes) {
    EcPointPtr pt(EC_POINT_new(g));
    if (EC_POINT_oct2point(g, pt.get(), bytes.data(), bytes.size(), nullptr) != 1) return nullptr;
    return pt;
}

Bytes encode(const EC_GROUP* g, const EC_POINT* pt) {
    size_t len = EC_POINT_point2oct(g, pt, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
    Bytes out(len);
    EC_POINT_point2oct(g, pt, POINT_CONVERSION_UNCOMPRESSED, out.data(), len, nullptr);
    return out;
}

EvpPkeyPtr makeKey(int nid, const Bytes* privateKey, ByteView publicPoint) {
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, OBJ_nid2sn(nid), 0);
    BignumPtr d;
    if (privateKey) {
        d = bn(*privateKey);
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get());
    }
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(),
                                     publicPoint.size());
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, privateKey ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

EvpPkeyPtr privateKeyFor(int nid, ByteView d) {
    auto pub = osslPublicFromPrivate(nid, d);
    if (!pub) return nullptr;
    Bytes copy(d.begin(), d.end());
    return makeKey(nid, &copy, *pub);
}

// r mod 2^(8 width), as width bytes.
Bytes wrapped(BIGNUM* r, size_t width) {
    BignumPtr mod(BN_new());
    BN_set_bit(mod.get(), static_cast<int>(width * 8));
    BnCtxPtr ctx(BN_CTX_new());
    BN_nnmod(r, r, mod.get(), ctx.get());
    return fixed(r, width);
}

}  // namespace

const std::vector<TestCurve>& testCurves() {
    static const std::vector<TestCurve> curves = {
        {&kEccSecp128r1, NID_secp128r1, 128, "secp128r1"},
        {&kEccSecp192r1, NID_X9_62_prime192v1, 192, "secp192r1"},
        {&kEccSecp256r1, NID_X9_62_prime256v1, 256, "secp256r1"},
        {&kEccSecp384r1, NID_secp384r1, 384, "secp384r1"},
    };
    return curves;
}

Bytes bnAdd(ByteView a, ByteView b, size_t width) {
    BignumPtr x = bn(a), y = bn(b), r(BN_new());
    BN_add(r.get(), x.get(), y.get());
    return wrapped(r.get(), width);
}

Bytes bnSubMod(ByteView a, ByteView b, ByteView m, size_t width) {
    BignumPtr x = bn(a), y = bn(b), mod = bn(m), r(BN_new());
    BnCtxPtr ctx(BN_CTX_new());
    BN_mod_sub(r.get(), x.get(), y.get(), mod.get(), ctx.get());
    return fixed(r.get(), width);
}

Bytes bnMulMod(ByteView a, ByteView b, ByteView m, size_t width) {
    BignumPtr x = bn(a), y = bn(b), mod = bn(m), r(BN_new());
    BnCtxPtr ctx(BN_CTX_new());
    BN_mod_mul(r.get(), x.get(), y.get(), mod.get(), ctx.get());
    return fixed(r.get(), width);
}

std::optional<Bytes> bnInvMod(ByteView a, ByteView m, size_t width) {
    BignumPtr x = bn(a), mod = bn(m), r(BN_new());
    BnCtxPtr ctx(BN_CTX_new());
    if (!BN_mod_inverse(r.get(), x.get(), mod.get(), ctx.get())) return std::nullopt;
    return fixed(r.get(), width);
}

Bytes wordsToBytes(const uint64_t* words, int numDigits) {
    Bytes out(static_cast<size_t>(numDigits) * 8);
    ecc_native2bytes(out.data(), words, numDigits);
    return out;
}

std::optional<Bytes> osslPublicFromPrivate(int nid, ByteView d) {
    EcGroupPtr g = group(nid);
    BignumPtr k = bn(d);
    if (BN_is_zero(k.get())) return std::nullopt;
    EcPointPtr pt(EC_POINT_new(g.get()));
    if (EC_POINT_mul(g.get(), pt.get(), k.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_is_at_infinity(g.get(), pt.get())) {
        return std::nullopt;
    }
    return encode(g.get(), pt.get());
}

std::optional<Bytes> osslDerive(int nid, ByteView privateKey, ByteView peerPoint) {
    EvpPkeyPtr own = privateKeyFor(nid, privateKey);
    EvpPkeyPtr peer = makeKey(nid, nullptr, peerPoint);
    if (!own || !peer) return std::nullopt;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1) {
        return std::nullopt;
    }
    Bytes out(len);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) return std::nullopt;
    out.resize(len);
    return out;
}

std::optional<Bytes> osslSignDer(int nid, ByteView privateKey, ByteView hash) {
    EvpPkeyPtr own = privateKeyFor(nid, privateKey);
    if (!own) return std::nullopt;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, hash.data(), hash.size()) != 1) {
        return std::nullopt;
    }
    Bytes out(len);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &len, hash.data(), hash.size()) != 1) {
        return std::nullopt;
    }
    out.resize(len);
    return out;
}

bool osslVerifyDer(int nid, ByteView publicPoint, ByteView hash, ByteView der) {
    EvpPkeyPtr pub = makeKey(nid, nullptr, publicPoint);
    if (!pub) return false;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), hash.data(), hash.size()) == 1;
}

Bytes osslDerFromRaw(ByteView raw) {
    size_t half = raw.size() / 2;
    EcdsaSigPtr sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), bn(raw.first(half)).release(), bn(raw.subspan(half)).release());
    int len = i2d_ECDSA_SIG(sig.get(), nullptr);
    Bytes out(static_cast<size_t>(len));
    uint8_t* cursor = out.data();
    i2d_ECDSA_SIG(sig.get(), &cursor);
    return out;
}

std::optional<Bytes> osslRawFromDer(ByteView der, size_t width) {
    const uint8_t* cursor = der.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (!sig) return std::nullopt;
    Bytes out = fixed(ECDSA_SIG_get0_r(sig.get()), width);
    Bytes s = fixed(ECDSA_SIG_get0_s(sig.get()), width);
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

bool osslPointOnCurve(int nid, ByteView bytes) {
    EcGroupPtr g = group(nid);
    return point(g.get(), bytes) != nullptr;
}

Bytes compressPoint(ByteView uncompressed) {
    const size_t width = (uncompressed.size() - 1) / 2;
    Bytes out(uncompressed.begin(), uncompressed.begin() + 1 + static_cast<long>(width));
    out[0] = static_cast<uint8_t>(0x02 | (uncompressed.back() & 1));
    return out;
}

}  // namespace telvo::test

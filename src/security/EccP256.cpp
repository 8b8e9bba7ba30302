// P-256 keys, ECDH and ECDSA on the engine's field and point arithmetic.

#include "security/EccP256.h"

#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "security/EccCore.h"
#include "security/EccP256Field.h"
#include "security/EccSignDraws.h"

namespace telvo::ecc::p256 {

namespace {

constexpr int kBytes = 32;

void wipe(void* data, size_t size) {
    crypto::cleanse(data, size);
}

// A validity check: its outcome is public.
bool scalarInRange(const u64* d) {
    return declassified(vli_lessThan<4>(d, kN) & (vli_isZero<4>(d) ^ 1));
}

// x^3 - 3x + b
void curveRhs(u64* r, const u64* x) {
    u64 cube[4], threeX[4];
    fe_sqr(cube, x);
    fe_mul(cube, cube, x);
    fe_add(threeX, x, x);
    fe_add(threeX, threeX, x);
    fe_sub(r, cube, threeX);
    fe_add(r, r, kBMont);
}

// The point of a compressed key: X below p with a square root that squares back.
bool decompressPoint(Affine& point, const uint8_t* compressed) {
    if (compressed[0] != 0x02 && compressed[0] != 0x03) return false;
    u64 x[4], rhs[4], check[4], plainY[4];
    ecc_bytes2native(x, compressed + 1, 4);
    if (!vli_lessThan<4>(x, kP)) return false;
    fe_toMont(point.x, x);
    curveRhs(rhs, point.x);
    fe_sqrt(point.y, rhs);
    fe_sqr(check, point.y);
    if (!vli_equal<4>(check, rhs)) return false;
    fe_fromMont(plainY, point.y);
    if ((plainY[0] & 1) != (compressed[0] & 1u)) {
        if (vli_isZero<4>(point.y)) return false;
        fe_condNeg(point.y, point.y, ~u64{0});
    }
    return true;
}

void writeCompressed(uint8_t* out, const u64* x, const u64* y) {
    out[0] = static_cast<uint8_t>(0x02 | (y[0] & 1));
    ecc_native2bytes(out + 1, x, 4);
}

// The compressed key of d * G.
void publicKeyOf(uint8_t* publicKey, const u64* d) {
    Jacobian q;
    Affine a;
    baseMult(q, d);
    toAffine(a, q);
    u64 x[4], y[4];
    fe_fromMont(x, a.x);
    fe_fromMont(y, a.y);
    declassify(x, sizeof x);
    declassify(y, sizeof y);
    writeCompressed(publicKey, x, y);
}

}  // namespace

int makeKey(uint8_t* publicKey, uint8_t* privateKey) {
    auto random = Random::shared();
    u64 d[4];
    uint8_t drawn[kBytes];
    int result = 0;
    for (int tries = 0; tries < 16 && !result; ++tries) {
        if (!random->secureBytes(drawn, sizeof drawn)) break;
        ecc_bytes2native(d, drawn, 4);
        if (!scalarInRange(d)) continue;
        publicKeyOf(publicKey, d);
        ecc_native2bytes(privateKey, d, 4);
        result = 1;
    }
    wipe(d, sizeof d);
    wipe(drawn, sizeof drawn);
    return result;
}

int computePublicKey(const uint8_t* privateKey, uint8_t* publicKey) {
    u64 d[4];
    ecc_bytes2native(d, privateKey, 4);
    int result = 0;
    if (scalarInRange(d)) {
        publicKeyOf(publicKey, d);
        result = 1;
    }
    wipe(d, sizeof d);
    return result;
}

int sharedSecret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret) {
    Affine q;
    if (!decompressPoint(q, publicKey)) return 0;
    uint8_t drawn[kBytes];
    if (!Random::shared()->secureBytes(drawn, sizeof drawn)) return 0;
    u64 d[4], z[4];
    ecc_bytes2native(z, drawn, 4);
    ecc_bytes2native(d, privateKey, 4);
    int result = 0;
    if (scalarInRange(d)) {
        fe_toMont(z, z);
        vli_select<4>(z, kOne, z, maskOf(vli_isZero<4>(z)));
        Jacobian product;
        Affine a;
        varMult(product, q, d, z);
        toAffine(a, product);
        u64 x[4];
        fe_fromMont(x, a.x);
        ecc_native2bytes(secret, x, 4);
        wipe(x, sizeof x);
        wipe(&a, sizeof a);
        wipe(&product, sizeof product);
        result = 1;
    }
    wipe(d, sizeof d);
    wipe(z, sizeof z);
    return result;
}

int sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature) {
    u64 d[4], e[4], dMont[4], kMont[4], bMont[4], kInverse[4];
    ecc_bytes2native(d, privateKey, 4);
    if (!scalarInRange(d)) return 0;
    ecc_bytes2native(e, hash, 4);
    reduceOnce(e, 0, e, kN);
    sc_toMont(dMont, d);
    auto rFromNonce = [](const u64* k, u64* r) {
        Jacobian point;
        Affine a;
        baseMult(point, k);
        toAffine(a, point);
        fe_fromMont(r, a.x);
        reduceOnce(r, 0, r, kN);
        wipe(&point, sizeof point);
        declassify(r, 4 * sizeof *r);
        return !vli_isZero<4>(r);
    };
    auto sFrom = [&](const u64* k, const u64* b, const u64* r, u64* s) {
        sc_toMont(kMont, k);
        sc_toMont(bMont, b);
        sc_mul(kInverse, kMont, bMont);
        sc_inv(kInverse, kInverse);
        sc_mul(kInverse, kInverse, bMont);  // Montgomery form
        sc_mul(s, r, dMont);                // r d
        sc_add(s, s, e);
        sc_mul(s, s, kInverse);
        declassify(s, 4 * sizeof *s);
        return !vli_isZero<4>(s);
    };
    int result = signWithDraws<4>(kN, signature, rFromNonce, sFrom);
    wipe(d, sizeof d);
    wipe(dMont, sizeof dMont);
    wipe(kMont, sizeof kMont);
    wipe(bMont, sizeof bMont);
    wipe(kInverse, sizeof kInverse);
    return result;
}

// Public values only: may branch. x(u1 G + u2 Q) mod n = r is checked without an inversion:
// X = r Z^2, or X = (r + n) Z^2 when r + n is below p.
int verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature) {
    Affine q;
    if (!decompressPoint(q, publicKey)) return 0;
    u64 r[4], s[4], e[4];
    ecc_bytes2native(r, signature, 4);
    ecc_bytes2native(s, signature + kBytes, 4);
    ecc_bytes2native(e, hash, 4);
    if (!scalarInRange(r) || !scalarInRange(s)) return 0;

    u64 w[4], u1[4], u2[4];
    sc_toMont(w, s);
    sc_inv(w, w);
    sc_mul(u1, e, w);
    sc_mul(u2, r, w);
    Jacobian sum;
    doubleMultVartime(sum, u1, q, u2);
    if (vli_isZero<4>(sum.z)) return 0;

    u64 zz[4], candidate[4], scaled[4];
    fe_sqr(zz, sum.z);
    fe_toMont(candidate, r);
    fe_mul(scaled, candidate, zz);
    if (vli_equal<4>(scaled, sum.x)) return 1;
    if (vli_add<4>(candidate, r, kN) || !vli_lessThan<4>(candidate, kP)) return 0;
    fe_toMont(candidate, candidate);
    fe_mul(scaled, candidate, zz);
    return static_cast<int>(vli_equal<4>(scaled, sum.x));
}

int decompress(u64* x, u64* y, const uint8_t* compressed) {
    Affine point;
    if (!decompressPoint(point, compressed)) return 0;
    fe_fromMont(x, point.x);
    fe_fromMont(y, point.y);
    return 1;
}

int compress(const uint8_t* uncompressed, uint8_t* compressed) {
    if (uncompressed[0] != 0x04) return 0;
    u64 x[4], y[4];
    ecc_bytes2native(x, uncompressed + 1, 4);
    ecc_bytes2native(y, uncompressed + 1 + kBytes, 4);
    if (!vli_lessThan<4>(x, kP) || !vli_lessThan<4>(y, kP)) return 0;
    u64 xMont[4], yMont[4], rhs[4], lhs[4];
    fe_toMont(xMont, x);
    fe_toMont(yMont, y);
    curveRhs(rhs, xMont);
    fe_sqr(lhs, yMont);
    if (!vli_equal<4>(lhs, rhs)) return 0;
    writeCompressed(compressed, x, y);
    return 1;
}

}  // namespace telvo::ecc::p256

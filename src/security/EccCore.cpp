#include "security/EccCore.h"

#include <type_traits>

#include "security/EccGeneric.h"
#include "security/EccGenericField.h"
#include "security/EccP256.h"
#include "security/EccP256Field.h"

namespace telvo {

namespace {

using ecc::u64;

// SEC 2 domain parameters, least significant word first.
constexpr uint64_t kSecp128r1_p[2] = {0xffffffffffffffffull, 0xfffffffdffffffffull};
constexpr uint64_t kSecp128r1_b[2] = {0xd824993c2cee5ed3ull, 0xe87579c11079f43dull};
constexpr uint64_t kSecp128r1_Gx[2] = {0x0c28607ca52c5b86ull, 0x161ff7528b899b2dull};
constexpr uint64_t kSecp128r1_Gy[2] = {0xc02da292dded7a83ull, 0xcf5ac8395bafeb13ull};
constexpr uint64_t kSecp128r1_n[2] = {0x75a30d1b9038a115ull, 0xfffffffe00000000ull};
constexpr uint64_t kSecp192r1_p[3] = {0xffffffffffffffffull, 0xfffffffffffffffeull,
                                      0xffffffffffffffffull};
constexpr uint64_t kSecp192r1_b[3] = {0xfeb8deecc146b9b1ull, 0x0fa7e9ab72243049ull,
                                      0x64210519e59c80e7ull};
constexpr uint64_t kSecp192r1_Gx[3] = {0xf4ff0afd82ff1012ull, 0x7cbf20eb43a18800ull,
                                       0x188da80eb03090f6ull};
constexpr uint64_t kSecp192r1_Gy[3] = {0x73f977a11e794811ull, 0x631011ed6b24cdd5ull,
                                       0x07192b95ffc8da78ull};
constexpr uint64_t kSecp192r1_n[3] = {0x146bc9b1b4d22831ull, 0xffffffff99def836ull,
                                      0xffffffffffffffffull};
constexpr uint64_t kSecp384r1_p[6] = {0x00000000ffffffffull, 0xffffffff00000000ull,
                                      0xfffffffffffffffeull, 0xffffffffffffffffull,
                                      0xffffffffffffffffull, 0xffffffffffffffffull};
constexpr uint64_t kSecp384r1_b[6] = {0x2a85c8edd3ec2aefull, 0xc656398d8a2ed19dull,
                                      0x0314088f5013875aull, 0x181d9c6efe814112ull,
                                      0x988e056be3f82d19ull, 0xb3312fa7e23ee7e4ull};
constexpr uint64_t kSecp384r1_Gx[6] = {0x3a545e3872760ab7ull, 0x5502f25dbf55296cull,
                                       0x59f741e082542a38ull, 0x6e1d3b628ba79b98ull,
                                       0x8eb1c71ef320ad74ull, 0xaa87ca22be8b0537ull};
constexpr uint64_t kSecp384r1_Gy[6] = {0x7a431d7c90ea0e5full, 0x0a60b1ce1d7e819dull,
                                       0xe9da3113b5f0b8c0ull, 0xf8f41dbd289a147cull,
                                       0x5d9e98bf9292dc29ull, 0x3617de4a96262c6full};
constexpr uint64_t kSecp384r1_n[6] = {0xecec196accc52973ull, 0x581a0db248b0a77aull,
                                      0xc7634d81f4372ddfull, 0xffffffffffffffffull,
                                      0xffffffffffffffffull, 0xffffffffffffffffull};

template <int N>
using Digits = std::integral_constant<int, N>;

// Runs fn with the word count as a compile-time constant; a default result for other counts.
template <class Fn>
auto dispatch(int numDigits, Fn&& fn) -> decltype(fn(Digits<4>{})) {
    switch (numDigits) {
        case 2:
            return fn(Digits<2>{});
        case 3:
            return fn(Digits<3>{});
        case 4:
            return fn(Digits<4>{});
        case 6:
            return fn(Digits<6>{});
        default:
            return decltype(fn(Digits<4>{}))();
    }
}

}  // namespace

const EccCurve kEccSecp128r1{2,           kSecp128r1_p, kSecp128r1_b, kSecp128r1_Gx, kSecp128r1_Gy,
                             kSecp128r1_n};
const EccCurve kEccSecp192r1{3,           kSecp192r1_p, kSecp192r1_b, kSecp192r1_Gx, kSecp192r1_Gy,
                             kSecp192r1_n};
const EccCurve kEccSecp256r1{
    4, ecc::p256::kP, ecc::p256::kB, ecc::p256::kGx, ecc::p256::kGy, ecc::p256::kN};
const EccCurve kEccSecp384r1{6,           kSecp384r1_p, kSecp384r1_b, kSecp384r1_Gx, kSecp384r1_Gy,
                             kSecp384r1_n};

void ecc_bytes2native(uint64_t* native, const uint8_t* bytes, int numDigits) {
    for (int i = 0; i < numDigits; ++i) {
        const uint8_t* digit = bytes + 8 * (numDigits - 1 - i);
        uint64_t word = 0;
        for (int j = 0; j < 8; ++j) word = (word << 8) | digit[j];
        native[i] = word;
    }
}

void ecc_native2bytes(uint8_t* bytes, const uint64_t* native, int numDigits) {
    for (int i = 0; i < numDigits; ++i) {
        uint8_t* digit = bytes + 8 * (numDigits - 1 - i);
        for (int j = 0; j < 8; ++j) digit[j] = static_cast<uint8_t>(native[i] >> (56 - 8 * j));
    }
}

// P-256 runs on its own engine, the other curves on the generic path.

int ecc_make_key(uint8_t* publicKey, uint8_t* privateKey, const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::makeKey(publicKey, privateKey);
    return ecc::generic::makeKey(curve, publicKey, privateKey);
}

int ecc_compute_public_key(const uint8_t* privateKey, uint8_t* publicKey, const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::computePublicKey(privateKey, publicKey);
    return ecc::generic::computePublicKey(curve, privateKey, publicKey);
}

int ecdh_shared_secret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret,
                       const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::sharedSecret(publicKey, privateKey, secret);
    return ecc::generic::sharedSecret(curve, publicKey, privateKey, secret);
}

int ecdsa_sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature,
               const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::sign(privateKey, hash, signature);
    return ecc::generic::sign(curve, privateKey, hash, signature);
}

int ecdsa_verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature,
                 const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::verify(publicKey, hash, signature);
    return ecc::generic::verify(curve, publicKey, hash, signature);
}

int ecc_decompress_public_key(const uint8_t* compressed, uint8_t* uncompressed,
                              const EccCurve& curve) {
    if (curve.numDigits == 4) {
        u64 x[4], y[4];
        if (!ecc::p256::decompress(x, y, compressed)) return 0;
        uncompressed[0] = 0x04;
        ecc_native2bytes(uncompressed + 1, x, 4);
        ecc_native2bytes(uncompressed + 33, y, 4);
        return 1;
    }
    return ecc::generic::decompressKey(curve, compressed, uncompressed);
}

int ecc_compress_public_key(const uint8_t* uncompressed, uint8_t* compressed,
                            const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::compress(uncompressed, compressed);
    return ecc::generic::compressKey(curve, uncompressed, compressed);
}

int ecc_point_decompress(uint64_t* X, uint64_t* Y, const uint8_t* compressed,
                         const EccCurve& curve) {
    if (curve.numDigits == 4) return ecc::p256::decompress(X, Y, compressed);
    return ecc::generic::pointDecompress(curve, X, Y, compressed);
}

void vli_modMult_fast(uint64_t* result, const uint64_t* left, const uint64_t* right,
                      const EccCurve& curve) {
    if (curve.numDigits != 4) return ecc::generic::modMult(curve, result, left, right);
    u64 a[4], b[4];
    ecc::p256::fe_toMont(a, left);
    ecc::p256::fe_toMont(b, right);
    ecc::p256::fe_mul(a, a, b);
    ecc::p256::fe_fromMont(result, a);
}

void vli_modSquare_fast(uint64_t* result, const uint64_t* left, const EccCurve& curve) {
    if (curve.numDigits != 4) return ecc::generic::modSquare(curve, result, left);
    u64 a[4];
    ecc::p256::fe_toMont(a, left);
    ecc::p256::fe_sqr(a, a);
    ecc::p256::fe_fromMont(result, a);
}

void vli_modMult(uint64_t* result, const uint64_t* left, const uint64_t* right, const uint64_t* mod,
                 int numDigits) {
    dispatch(numDigits, [&](auto n) {
        ecc::generic::modMultGeneral<decltype(n)::value>(result, left, right, mod);
    });
}

void vli_modInv(uint64_t* result, const uint64_t* input, const uint64_t* mod, int numDigits) {
    dispatch(numDigits,
             [&](auto n) { ecc::generic::modInvCT<decltype(n)::value>(result, input, mod); });
}

void mod_sqrt(uint64_t* a, const EccCurve& curve) {
    if (curve.numDigits != 4) return ecc::generic::modSqrt(curve, a);
    u64 t[4];
    ecc::p256::fe_toMont(t, a);
    ecc::p256::fe_sqrt(t, t);
    ecc::p256::fe_fromMont(a, t);
}

}  // namespace telvo

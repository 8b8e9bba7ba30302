#pragma once

// The elliptic-curve arithmetic core: key making, ECDH, ECDSA and point compression on the
// short Weierstrass curves with a = -3 (secp128r1, secp192r1, secp256r1, secp384r1).
//
// Plain re-entrant functions without global state besides the constant curve tables and
// P-256's table of multiples of G (88 KiB, built once on first use, safely from any thread).
// Byte forms are big-endian and numDigits * 8 bytes wide; native numbers are arrays of 64-bit
// words, least significant first. Every function returns 1 on success and 0 on failure, logs
// nothing and allocates nothing; on failure the output buffers hold nothing meaningful. Secret
// scalars are handled in constant time. Random draws come from Random::shared().

#include <cstddef>
#include <cstdint>

namespace telvo {

// One curve: its size in 64-bit words and its SEC 2 constants (word arrays of numDigits).
struct EccCurve {
    int numDigits;  // 2, 3, 4 or 6
    const uint64_t* p;
    const uint64_t* b;
    const uint64_t* Gx;
    const uint64_t* Gy;
    const uint64_t* n;
};

extern const EccCurve kEccSecp128r1;
extern const EccCurve kEccSecp192r1;
extern const EccCurve kEccSecp256r1;
extern const EccCurve kEccSecp384r1;

constexpr int kEccMaxDigits = 6;

// A fresh key pair: the private key d (0 < d < n, numDigits * 8 bytes) and the compressed
// public key d*G (02|03, X). Up to 16 draws of d.
int ecc_make_key(uint8_t* publicKey, uint8_t* privateKey, const EccCurve& curve);

// The compressed public key d*G of a private key; 0 when d is 0 or not below n.
int ecc_compute_public_key(const uint8_t* privateKey, uint8_t* publicKey, const EccCurve& curve);

// X of d*Q for a compressed peer key Q. 0 when Q is not a point of the curve or d is out of
// range. The multiplication starts from a random projective Z (one draw).
int ecdh_shared_secret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret,
                       const EccCurve& curve);

// ECDSA over a hash of numDigits * 8 bytes, read as a big-endian number. The signature is r
// then s, numDigits * 8 bytes each.
int ecdsa_sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature,
               const EccCurve& curve);
// 1 when the signature is valid for the compressed public key and the hash.
int ecdsa_verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature,
                 const EccCurve& curve);

// Compressed (1 + numDigits * 8 bytes) to uncompressed (04, X, Y) and back. Both check that
// the point lies on the curve with coordinates below p (for a compressed point: that X has a
// square root that squares back).
int ecc_decompress_public_key(const uint8_t* compressed, uint8_t* uncompressed,
                              const EccCurve& curve);
int ecc_compress_public_key(const uint8_t* uncompressed, uint8_t* compressed,
                            const EccCurve& curve);

// Native conversions: byte group i of 8 bytes, counted from the end, is word i.
void ecc_bytes2native(uint64_t* native, const uint8_t* bytes, int numDigits);
void ecc_native2bytes(uint8_t* bytes, const uint64_t* native, int numDigits);

// Native point decompression; 0 when X is not below p or X has no square root.
int ecc_point_decompress(uint64_t* X, uint64_t* Y, const uint8_t* compressed,
                         const EccCurve& curve);

// Field and scalar arithmetic, exposed for differential tests. Inputs of the field functions
// are below p; vli_modMult and vli_modInv take any modulus with its top word non-zero and odd.
void vli_modMult_fast(uint64_t* result, const uint64_t* left, const uint64_t* right,
                      const EccCurve& curve);
void vli_modSquare_fast(uint64_t* result, const uint64_t* left, const EccCurve& curve);
void vli_modMult(uint64_t* result, const uint64_t* left, const uint64_t* right, const uint64_t* mod,
                 int numDigits);
// Inverse modulo an odd modulus; the inverse of 0 is 0.
void vli_modInv(uint64_t* result, const uint64_t* input, const uint64_t* mod, int numDigits);
// a^((p+1)/4) mod p.
void mod_sqrt(uint64_t* a, const EccCurve& curve);

}  // namespace telvo

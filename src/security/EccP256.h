#pragma once

// The P-256 engine behind the core's functions, and its scalar multiplications (exposed for
// tests). Coordinates are in Montgomery form (EccP256Field.h); scalars are plain words.

#include <cstdint>

#include "security/EccWords.h"

namespace telvo::ecc::p256 {

struct Affine {
    u64 x[4], y[4];
};

// Jacobian (X / Z^2, Y / Z^3); Z = 0 is the point at infinity.
struct Jacobian {
    u64 x[4], y[4], z[4];
};

// k * G for 0 < k < n, in constant time (a table of G's multiples, scanned whole).
void baseMult(Jacobian& out, const u64* k);

// k * P for 0 < k < n and a point P of the curve, in constant time. P enters as (x z^2, y z^3,
// z) for the non-zero Montgomery-form z.
void varMult(Jacobian& out, const Affine& p, const u64* k, const u64* z);

// u1 * G + u2 * Q in variable time (public inputs only), for u1, u2 below n.
void doubleMultVartime(Jacobian& out, const u64* u1, const Affine& q, const u64* u2);

// Affine form of a point not at infinity.
void toAffine(Affine& out, const Jacobian& p);

// The core's operations on P-256; contracts as in EccCore.h.
int makeKey(uint8_t* publicKey, uint8_t* privateKey);
int computePublicKey(const uint8_t* privateKey, uint8_t* publicKey);
int sharedSecret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret);
int sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature);
int verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature);
// Plain-form coordinates of a compressed point, validated.
int decompress(u64* x, u64* y, const uint8_t* compressed);
int compress(const uint8_t* uncompressed, uint8_t* compressed);

}  // namespace telvo::ecc::p256

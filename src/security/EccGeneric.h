#pragma once

// The generic elliptic-curve path, for the curves other than P-256: contracts as in
// EccCore.h, for curves of 2, 3 or 6 words (0 or nothing for others).

#include <cstdint>

#include "security/EccCore.h"

namespace telvo::ecc::generic {

int makeKey(const EccCurve& curve, uint8_t* publicKey, uint8_t* privateKey);
int computePublicKey(const EccCurve& curve, const uint8_t* privateKey, uint8_t* publicKey);
int sharedSecret(const EccCurve& curve, const uint8_t* publicKey, const uint8_t* privateKey,
                 uint8_t* secret);
int sign(const EccCurve& curve, const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature);
int verify(const EccCurve& curve, const uint8_t* publicKey, const uint8_t* hash,
           const uint8_t* signature);
int decompressKey(const EccCurve& curve, const uint8_t* compressed, uint8_t* uncompressed);
int compressKey(const EccCurve& curve, const uint8_t* uncompressed, uint8_t* compressed);
int pointDecompress(const EccCurve& curve, uint64_t* X, uint64_t* Y, const uint8_t* compressed);
void modMult(const EccCurve& curve, uint64_t* result, const uint64_t* left, const uint64_t* right);
void modSquare(const EccCurve& curve, uint64_t* result, const uint64_t* left);
void modSqrt(const EccCurve& curve, uint64_t* a);

}  // namespace telvo::ecc::generic

#pragma once

// P-256 arithmetic modulo the prime p and modulo the group order n, both in Montgomery form
// (a is held as a * 2^256 mod m). Every function runs in constant time; operands are reduced
// (below their modulus) unless a comment says otherwise. Internal to the core's source files.

#include "security/EccP256Amd64.h"
#include "security/EccWords.h"

namespace telvo::ecc::p256 {

// The curve y^2 = x^3 - 3x + b over p = 2^256 - 2^224 + 2^192 + 2^96 - 1, with base point G of
// prime order n; plain (not Montgomery) form.
inline constexpr u64 kP[4] = {0xffffffffffffffffull, 0x00000000ffffffffull, 0x0000000000000000ull,
                              0xffffffff00000001ull};
inline constexpr u64 kB[4] = {0x3bce3c3e27d2604bull, 0x651d06b0cc53b0f6ull, 0xb3ebbd55769886bcull,
                              0x5ac635d8aa3a93e7ull};
inline constexpr u64 kGx[4] = {0xf4a13945d898c296ull, 0x77037d812deb33a0ull, 0xf8bce6e563a440f2ull,
                               0x6b17d1f2e12c4247ull};
inline constexpr u64 kGy[4] = {0xcbb6406837bf51f5ull, 0x2bce33576b315eceull, 0x8ee7eb4a7c0f9e16ull,
                               0x4fe342e2fe1a7f9bull};
inline constexpr u64 kN[4] = {0xf3b9cac2fc632551ull, 0xbce6faada7179e84ull, 0xffffffffffffffffull,
                              0xffffffff00000000ull};

// 2^256 mod p (one in Montgomery form), 2^512 mod p, and b in Montgomery form.
inline constexpr u64 kOne[4] = {0x0000000000000001ull, 0xffffffff00000000ull, 0xffffffffffffffffull,
                                0x00000000fffffffeull};
inline constexpr u64 kR2[4] = {0x0000000000000003ull, 0xfffffffbffffffffull, 0xfffffffffffffffeull,
                               0x00000004fffffffdull};
inline constexpr u64 kBMont[4] = {0xd89cdf6229c4bddfull, 0xacf005cd78843090ull,
                                  0xe5a220abf7212ed6ull, 0xdc30061d04874834ull};
// Modulo n: 2^256 mod n, 2^512 mod n and -n^-1 mod 2^64.
inline constexpr u64 kNOne[4] = {0x0c46353d039cdaafull, 0x4319055258e8617bull,
                                 0x0000000000000000ull, 0x00000000ffffffffull};
inline constexpr u64 kNR2[4] = {0x83244c95be79eea2ull, 0x4699799c49bd6fa6ull, 0x2845b2392b6bec59ull,
                                0x66e12d94f3d95620ull};
inline constexpr u64 kN0 = 0xccd1c8aaee00bc4full;

// (carry, a) - m when that is not negative, else a; (carry, a) < 2m.
ECC_INLINE void reduceOnce(u64* r, u64 carry, const u64* a, const u64* m) {
    u64 t[4];
    u64 borrow = vli_sub<4>(t, a, m);
    u64 unused;
    u64 negative = subBorrow(carry, 0, borrow, &unused);
    vli_select<4>(r, a, t, maskOf(negative));
}

// Montgomery reduction of a product t of 8 words below p * 2^256: t / 2^256 mod p. Since
// -p^-1 = 1 mod 2^64, each round's multiplier is the low word itself, and adding it times p
// only touches words 1 and 3 (p's words are 2^64 - 1, 2^32 - 1, 0, 2^64 - 2^32 + 1).
ECC_INLINE void fe_reduce(u64* r, const u64* t) {
    u64 a0 = t[0], a1 = t[1], a2 = t[2], a3 = t[3];
    ECC_UNROLL
    for (int round = 0; round < 4; ++round) {
        u64 m = a0;
        u128 x = (static_cast<u128>(m) << 32) + a1;
        a0 = static_cast<u64>(x);
        x = static_cast<u128>(a2) + static_cast<u64>(x >> 64);
        a1 = static_cast<u64>(x);
        x = static_cast<u128>(m) * kP[3] + a3 + static_cast<u64>(x >> 64);
        a2 = static_cast<u64>(x);
        a3 = static_cast<u64>(x >> 64);
    }
    // The low half is now at most p; the high half is below p.
    u64 low[4] = {a0, a1, a2, a3}, sum[4];
    u64 carry = vli_add<4>(sum, low, t + 4);
    reduceOnce(r, carry, sum, kP);
}

// a * b / 2^256 mod p and a^2 / 2^256 mod p in portable code. a may be any 256-bit value when
// b is reduced (and the other way).
ECC_INLINE void fe_mulPortable(u64* r, const u64* a, const u64* b) {
    u64 t[8];
    vli_mult<4>(t, a, b);
    fe_reduce(r, t);
}

ECC_INLINE void fe_sqrPortable(u64* r, const u64* a) {
    u64 t[8];
    vli_square<4>(t, a);
    fe_reduce(r, t);
}

ECC_INLINE void fe_mul(u64* r, const u64* a, const u64* b) {
#if TELVO_ECC_P256_AMD64
    fe_mulAmd64(r, a, b);
#else
    fe_mulPortable(r, a, b);
#endif
}

ECC_INLINE void fe_sqr(u64* r, const u64* a) {
#if TELVO_ECC_P256_AMD64
    fe_sqrAmd64(r, a);
#else
    fe_sqrPortable(r, a);
#endif
}

ECC_INLINE void fe_sqrN(u64* r, const u64* a, int times) {
    fe_sqr(r, a);
    for (int i = 1; i < times; ++i) fe_sqr(r, r);
}

ECC_INLINE void fe_addPortable(u64* r, const u64* a, const u64* b) {
    u64 carry = vli_add<4>(r, a, b);
    reduceOnce(r, carry, r, kP);
}

ECC_INLINE void fe_subPortable(u64* r, const u64* a, const u64* b) {
    u64 mask = maskOf(vli_sub<4>(r, a, b));
    u64 m[4] = {kP[0] & mask, kP[1] & mask, kP[2] & mask, kP[3] & mask};
    vli_add<4>(r, r, m);
}

ECC_INLINE void fe_add(u64* r, const u64* a, const u64* b) {
#if TELVO_ECC_P256_AMD64
    fe_addAmd64(r, a, b);
#else
    fe_addPortable(r, a, b);
#endif
}

ECC_INLINE void fe_sub(u64* r, const u64* a, const u64* b) {
#if TELVO_ECC_P256_AMD64
    fe_subAmd64(r, a, b);
#else
    fe_subPortable(r, a, b);
#endif
}

// a / 2 mod p: a + p when a is odd (masked), shifted right with the carry on top.
ECC_INLINE void fe_half(u64* r, const u64* a) {
    u64 mask = maskOf(a[0] & 1);
    u64 m[4] = {kP[0] & mask, kP[1] & mask, kP[2] & mask, kP[3] & mask}, t[4];
    u64 carry = vli_add<4>(t, a, m);
    r[0] = (t[0] >> 1) | (t[1] << 63);
    r[1] = (t[1] >> 1) | (t[2] << 63);
    r[2] = (t[2] >> 1) | (t[3] << 63);
    r[3] = (t[3] >> 1) | (carry << 63);
}

// r = -a when the mask is all ones, else a.
ECC_INLINE void fe_condNeg(u64* r, const u64* a, u64 mask) {
    u64 zero[4] = {0, 0, 0, 0}, neg[4];
    fe_sub(neg, zero, a);
    vli_select<4>(r, neg, a, mask);
}

// Montgomery form of any 256-bit value (reduced on the way), and back to plain form.
ECC_INLINE void fe_toMont(u64* r, const u64* a) {
    fe_mul(r, a, kR2);
}

ECC_INLINE void fe_fromMont(u64* r, const u64* a) {
    u64 t[8] = {a[0], a[1], a[2], a[3], 0, 0, 0, 0};
    fe_reduce(r, t);
}

// 1 / a (0 for 0) and a^((p+1)/4), by fixed chains of squarings and products.
void fe_inv(u64* r, const u64* a);
void fe_sqrt(u64* r, const u64* a);

// ---- Modulo n ----

// a * b / 2^256 mod n, for a below 2^256 and b below n.
ECC_INLINE void sc_mulPortable(u64* r, const u64* a, const u64* b) {
    u64 t[8];
    vli_mult<4>(t, a, b);
    u64 top = 0;
    ECC_UNROLL
    for (int i = 0; i < 4; ++i) {
        u64 m = t[i] * kN0;
        u64 carry = 0;
        ECC_UNROLL
        for (int j = 0; j < 4; ++j) {
            u128 x = static_cast<u128>(m) * kN[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(x);
            carry = static_cast<u64>(x >> 64);
        }
        u128 x = static_cast<u128>(t[i + 4]) + carry + top;
        t[i + 4] = static_cast<u64>(x);
        top = static_cast<u64>(x >> 64);
    }
    reduceOnce(r, top, t + 4, kN);
}

ECC_INLINE void sc_mul(u64* r, const u64* a, const u64* b) {
#if TELVO_ECC_P256_AMD64
    sc_mulAmd64(r, a, b);
#else
    sc_mulPortable(r, a, b);
#endif
}

ECC_INLINE void sc_add(u64* r, const u64* a, const u64* b) {
    u64 carry = vli_add<4>(r, a, b);
    reduceOnce(r, carry, r, kN);
}

// Montgomery form modulo n of any 256-bit value, and back.
ECC_INLINE void sc_toMont(u64* r, const u64* a) {
    sc_mul(r, a, kNR2);
}

ECC_INLINE void sc_fromMont(u64* r, const u64* a) {
    const u64 one[4] = {1, 0, 0, 0};
    sc_mul(r, a, one);
}

// 1 / a modulo n in Montgomery form (0 for 0).
void sc_inv(u64* r, const u64* a);

}  // namespace telvo::ecc::p256

#pragma once

// Field arithmetic of the curves on the generic path (secp128r1, P-192, P-384): fast reduction
// modulo each prime, modular addition, subtraction and halving; and products and inverses
// modulo any odd modulus with a non-zero top word. Constant time. Internal to the core.

#include "security/EccWords.h"

namespace telvo::ecc::generic {

// ---- Fast reduction modulo each prime. The double-width input is split into 32-bit limbs
// held in signed 64-bit accumulators and the high limbs are folded down with the prime's
// special form. The low limbs are then joined into signed 128-bit words; carries are
// propagated and the carry out of the top word is folded back twice more (the value then lies
// in [0, 2^(64N))), and one masked subtraction of p ends it. ----

using i128 = __int128;

inline int64_t lo32(u64 w) {
    return static_cast<int64_t>(w & 0xffffffffu);
}
inline int64_t hi32(u64 w) {
    return static_cast<int64_t>(w >> 32);
}

template <int N>
ECC_INLINE void splitLimbs(int64_t* limbs, const u64* c) {
    ECC_UNROLL
    for (int i = 0; i < 2 * N; ++i) {
        limbs[2 * i] = lo32(c[i]);
        limbs[2 * i + 1] = hi32(c[i]);
    }
}

template <int N>
ECC_INLINE void joinLimbs(i128* w, const int64_t* limbs) {
    ECC_UNROLL
    for (int i = 0; i < N; ++i) w[i] = limbs[2 * i] + (static_cast<i128>(limbs[2 * i + 1]) << 32);
}

// Leaves every word in [0, 2^64) and returns the signed carry out of the top.
template <int N>
ECC_INLINE int64_t carryPropagate(i128* w) {
    ECC_UNROLL
    for (int j = 0; j < N - 1; ++j) {
        w[j + 1] += w[j] >> 64;
        w[j] = static_cast<u64>(w[j]);
    }
    int64_t top = static_cast<int64_t>(w[N - 1] >> 64);
    w[N - 1] = static_cast<u64>(w[N - 1]);
    return top;
}

// fold(w, top) adds top * (2^(64N) mod p).
template <int N, class Fold>
ECC_INLINE void finishReduction(u64* r, i128* w, const u64* p, Fold fold) {
    fold(w, carryPropagate<N>(w));
    fold(w, carryPropagate<N>(w));
    carryPropagate<N>(w);
    ECC_UNROLL
    for (int i = 0; i < N; ++i) r[i] = static_cast<u64>(w[i]);
    u64 t[N];
    u64 borrow = vli_sub<N>(t, r, p);
    vli_select<N>(r, r, t, maskOf(borrow));
}

template <int N>
void vli_mmod_fast(u64* r, const u64* c, const u64* p);

// secp128r1: 2^128 = 2^97 + 1 (mod p).
template <>
inline void vli_mmod_fast<2>(u64* r, const u64* c, const u64* p) {
    int64_t a[8];
    splitLimbs<2>(a, c);
    for (int k = 7; k >= 4; --k) {
        a[k - 4] += a[k];
        a[k - 1] += 2 * a[k];
    }
    i128 w[2];
    joinLimbs<2>(w, a);
    finishReduction<2>(r, w, p, [](i128* v, int64_t top) {
        v[0] += top;
        v[1] += static_cast<i128>(top) << 33;
    });
}

// P-192: 2^192 = 2^64 + 1 (mod p).
template <>
inline void vli_mmod_fast<3>(u64* r, const u64* c, const u64* p) {
    i128 w[3];
    w[0] = static_cast<i128>(c[0]) + c[3] + c[5];
    w[1] = static_cast<i128>(c[1]) + c[3] + c[4] + c[5];
    w[2] = static_cast<i128>(c[2]) + c[4] + c[5];
    finishReduction<3>(r, w, p, [](i128* v, int64_t top) {
        v[0] += top;
        v[1] += top;
    });
}

// P-384: 2^384 = 2^128 + 2^96 - 2^32 + 1 (mod p).
template <>
inline void vli_mmod_fast<6>(u64* r, const u64* c, const u64* p) {
    int64_t a[24];
    splitLimbs<6>(a, c);
    for (int k = 23; k >= 12; --k) {
        int64_t v = a[k];
        a[k - 12] += v;
        a[k - 11] -= v;
        a[k - 9] += v;
        a[k - 8] += v;
    }
    i128 w[6];
    joinLimbs<6>(w, a);
    finishReduction<6>(r, w, p, [](i128* v, int64_t top) {
        v[0] += top - (static_cast<i128>(top) << 32);
        v[1] += static_cast<i128>(top) << 32;
        v[2] += top;
    });
}

// ---- Modular arithmetic ----

// Inputs below m.
template <int N>
ECC_INLINE void vli_modAdd(u64* r, const u64* a, const u64* b, const u64* m) {
    u64 carry = vli_add<N>(r, a, b);
    u64 t[N];
    u64 borrow = vli_sub<N>(t, r, m);
    vli_select<N>(r, t, r, maskOf(carry | (borrow ^ 1)));
}

template <int N>
ECC_INLINE void vli_modSub(u64* r, const u64* a, const u64* b, const u64* m) {
    u64 borrow = vli_sub<N>(r, a, b);
    u64 t[N];
    vli_add<N>(t, r, m);
    vli_select<N>(r, t, r, maskOf(borrow));
}

// x / 2 mod m for odd m and x below m.
template <int N>
ECC_INLINE void vli_modHalve(u64* x, const u64* m) {
    u64 odd = x[0] & 1;
    u64 t[N];
    u64 carry = vli_add<N>(t, x, m);
    vli_select<N>(x, t, x, maskOf(odd));
    vli_rshift1<N>(x);
    x[N - 1] |= (carry & odd) << 63;
}

template <int N>
ECC_INLINE void modMultFast(u64* r, const u64* a, const u64* b, const u64* p) {
    u64 product[2 * N];
    vli_mult<N>(product, a, b);
    vli_mmod_fast<N>(r, product, p);
}

template <int N>
ECC_INLINE void modSquareFast(u64* r, const u64* a, const u64* p) {
    u64 product[2 * N];
    vli_square<N>(product, a);
    vli_mmod_fast<N>(r, product, p);
}

// Product modulo any modulus with a non-zero top word: 64N + 1 shift-and-subtract steps,
// the borrow choosing whether each difference is kept.
template <int N>
void modMultGeneral(u64* r, const u64* a, const u64* b, const u64* m) {
    u64 product[2 * N];
    vli_mult<N>(product, a, b);
    u64 mod[2 * N];
    for (int i = 0; i < N; ++i) {
        mod[i] = 0;
        mod[N + i] = m[i];
    }
    u64 diff[2 * N];
    for (int step = 0; step <= 64 * N; ++step) {
        u64 borrow = vli_sub<2 * N>(diff, product, mod);
        vli_select<2 * N>(product, product, diff, maskOf(borrow));
        vli_rshift1<2 * N>(mod);
    }
    vli_set<N>(r, product);
}

// Binary extended Euclid in a fixed number of steps (128N), for odd moduli. Invariants:
// x1 * a = u and x2 * a = v (mod m); v ends as gcd(a, m) and x2 as the inverse.
template <int N>
void modInvCT(u64* r, const u64* a, const u64* m) {
    u64 u[N], v[N], x1[N], x2[N], t[N];
    vli_set<N>(u, a);
    vli_set<N>(v, m);
    vli_clear<N>(x1);
    x1[0] = 1;
    vli_clear<N>(x2);
    for (int i = 0; i < 128 * N; ++i) {
        u64 odd = maskOf(u[0] & 1);
        u64 swap = odd & maskOf(vli_lessThan<N>(u, v));
        vli_cswap<N>(u, v, swap);
        vli_cswap<N>(x1, x2, swap);
        vli_sub<N>(t, u, v);
        vli_select<N>(u, t, u, odd);
        vli_modSub<N>(t, x1, x2, m);
        vli_select<N>(x1, t, x1, odd);
        vli_rshift1<N>(u);
        vli_modHalve<N>(x1, m);
    }
    vli_set<N>(r, x2);
}

}  // namespace telvo::ecc::generic

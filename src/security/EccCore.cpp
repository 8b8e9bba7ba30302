#include "security/EccCore.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"

// Vectorising the word loops mixes 64-bit stores with 128-bit loads of the same words, which
// stalls on store forwarding; scalar code is faster here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

namespace telvo {

namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

#define ECC_INLINE inline __attribute__((always_inline))
#define ECC_UNROLL _Pragma("GCC unroll 16")

// One word of an add-with-carry or subtract-with-borrow chain.
ECC_INLINE u64 addCarry(u64 a, u64 b, u64 carryIn, u64* out) {
#if defined(__x86_64__)
    unsigned long long sum;
    u64 carry = _addcarry_u64(static_cast<unsigned char>(carryIn), a, b, &sum);
    *out = sum;
    return carry;
#else
    u128 sum = static_cast<u128>(a) + b + carryIn;
    *out = static_cast<u64>(sum);
    return static_cast<u64>(sum >> 64);
#endif
}

ECC_INLINE u64 subBorrow(u64 a, u64 b, u64 borrowIn, u64* out) {
#if defined(__x86_64__)
    unsigned long long diff;
    u64 borrow = _subborrow_u64(static_cast<unsigned char>(borrowIn), a, b, &diff);
    *out = diff;
    return borrow;
#else
    u128 diff = static_cast<u128>(a) - b - borrowIn;
    *out = static_cast<u64>(diff);
    return static_cast<u64>(diff >> 64) & 1;
#endif
}

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
constexpr uint64_t kSecp256r1_p[4] = {0xffffffffffffffffull, 0x00000000ffffffffull,
                                      0x0000000000000000ull, 0xffffffff00000001ull};
constexpr uint64_t kSecp256r1_b[4] = {0x3bce3c3e27d2604bull, 0x651d06b0cc53b0f6ull,
                                      0xb3ebbd55769886bcull, 0x5ac635d8aa3a93e7ull};
constexpr uint64_t kSecp256r1_Gx[4] = {0xf4a13945d898c296ull, 0x77037d812deb33a0ull,
                                       0xf8bce6e563a440f2ull, 0x6b17d1f2e12c4247ull};
constexpr uint64_t kSecp256r1_Gy[4] = {0xcbb6406837bf51f5ull, 0x2bce33576b315eceull,
                                       0x8ee7eb4a7c0f9e16ull, 0x4fe342e2fe1a7f9bull};
constexpr uint64_t kSecp256r1_n[4] = {0xf3b9cac2fc632551ull, 0xbce6faada7179e84ull,
                                      0xffffffffffffffffull, 0xffffffff00000000ull};
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

// ---- Multi-word integers. Everything here runs in constant time unless its name says
// "vartime"; choices are made with masks, never with branches or indexes. ----

inline u64 maskOf(u64 bit) {
    return u64{0} - bit;
}

template <int N>
ECC_INLINE void vli_clear(u64* v) {
    for (int i = 0; i < N; ++i) v[i] = 0;
}

template <int N>
ECC_INLINE void vli_set(u64* dest, const u64* src) {
    for (int i = 0; i < N; ++i) dest[i] = src[i];
}

// 1 when the word is zero, else 0.
ECC_INLINE u64 wordIsZero(u64 w) {
    return ((w | (u64{0} - w)) >> 63) ^ 1;
}

template <int N>
ECC_INLINE u64 vli_isZero(const u64* v) {
    u64 acc = 0;
    for (int i = 0; i < N; ++i) acc |= v[i];
    return wordIsZero(acc);
}

template <int N>
ECC_INLINE u64 vli_equal(const u64* a, const u64* b) {
    u64 acc = 0;
    for (int i = 0; i < N; ++i) acc |= a[i] ^ b[i];
    return wordIsZero(acc);
}

template <int N>
ECC_INLINE u64 vli_isOne(const u64* v) {
    u64 acc = v[0] ^ 1;
    for (int i = 1; i < N; ++i) acc |= v[i];
    return wordIsZero(acc);
}

inline u64 vli_testBit(const u64* v, int bit) {
    return (v[bit / 64] >> (bit % 64)) & 1;
}

template <int N>
ECC_INLINE u64 vli_add(u64* r, const u64* a, const u64* b) {
    u64 carry = 0;
    ECC_UNROLL
    for (int i = 0; i < N; ++i) carry = addCarry(a[i], b[i], carry, &r[i]);
    return carry;
}

template <int N>
ECC_INLINE u64 vli_sub(u64* r, const u64* a, const u64* b) {
    u64 borrow = 0;
    ECC_UNROLL
    for (int i = 0; i < N; ++i) borrow = subBorrow(a[i], b[i], borrow, &r[i]);
    return borrow;
}

// 1 when a < b.
template <int N>
ECC_INLINE u64 vli_lessThan(const u64* a, const u64* b) {
    u64 tmp[N];
    return vli_sub<N>(tmp, a, b);
}

// r = mask ? a : b, for a mask of all ones or zero.
template <int N>
ECC_INLINE void vli_select(u64* r, const u64* a, const u64* b, u64 mask) {
    ECC_UNROLL
    for (int i = 0; i < N; ++i) r[i] = (a[i] & mask) | (b[i] & ~mask);
}

template <int N>
ECC_INLINE void vli_cswap(u64* a, u64* b, u64 mask) {
    ECC_UNROLL
    for (int i = 0; i < N; ++i) {
        u64 t = (a[i] ^ b[i]) & mask;
        a[i] ^= t;
        b[i] ^= t;
    }
}

template <int N>
ECC_INLINE void vli_rshift1(u64* v) {
    ECC_UNROLL
    for (int i = 0; i < N - 1; ++i) v[i] = (v[i] >> 1) | (v[i + 1] << 63);
    v[N - 1] >>= 1;
}

template <int N>
int vli_numBits_vartime(const u64* v) {
    for (int i = N - 1; i >= 0; --i) {
        if (v[i]) return i * 64 + 64 - __builtin_clzll(v[i]);
    }
    return 0;
}

// Full product into 2N words.
template <int N>
ECC_INLINE void vli_mult(u64* r, const u64* a, const u64* b) {
    ECC_UNROLL
    for (int i = 0; i < 2 * N; ++i) r[i] = 0;
    ECC_UNROLL
    for (int i = 0; i < N; ++i) {
        u64 carry = 0;
        ECC_UNROLL
        for (int j = 0; j < N; ++j) {
            u128 t = static_cast<u128>(a[i]) * b[j] + r[i + j] + carry;
            r[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        r[i + N] = carry;
    }
}

// Square into 2N words: every cross product once, doubled, plus the squares.
template <int N>
ECC_INLINE void vli_square(u64* r, const u64* a) {
    ECC_UNROLL
    for (int i = 0; i < 2 * N; ++i) r[i] = 0;
    ECC_UNROLL
    for (int i = 0; i < N; ++i) {
        u64 carry = 0;
        ECC_UNROLL
        for (int j = i + 1; j < N; ++j) {
            u128 t = static_cast<u128>(a[i]) * a[j] + r[i + j] + carry;
            r[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        r[i + N] = carry;
    }
    u64 top = 0;
    ECC_UNROLL
    for (int i = 0; i < 2 * N; ++i) {
        u64 v = r[i];
        r[i] = (v << 1) | top;
        top = v >> 63;
    }
    u64 carry = 0;
    ECC_UNROLL
    for (int i = 0; i < N; ++i) {
        u128 sq = static_cast<u128>(a[i]) * a[i];
        u128 lo = static_cast<u128>(r[2 * i]) + static_cast<u64>(sq) + carry;
        r[2 * i] = static_cast<u64>(lo);
        u128 hi = static_cast<u128>(r[2 * i + 1]) + static_cast<u64>(sq >> 64) +
                  static_cast<u64>(lo >> 64);
        r[2 * i + 1] = static_cast<u64>(hi);
        carry = static_cast<u64>(hi >> 64);
    }
}

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
void vli_mmod_fast<2>(u64* r, const u64* c, const u64* p) {
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
void vli_mmod_fast<3>(u64* r, const u64* c, const u64* p) {
    i128 w[3];
    w[0] = static_cast<i128>(c[0]) + c[3] + c[5];
    w[1] = static_cast<i128>(c[1]) + c[3] + c[4] + c[5];
    w[2] = static_cast<i128>(c[2]) + c[4] + c[5];
    finishReduction<3>(r, w, p, [](i128* v, int64_t top) {
        v[0] += top;
        v[1] += top;
    });
}

// P-256: the published sums and differences of 32-bit pieces; 2^256 = 2^224 - 2^192 - 2^96 + 1.
template <>
void vli_mmod_fast<4>(u64* r, const u64* c, const u64* p) {
    int64_t x[16];
    splitLimbs<4>(x, c);
    int64_t a[8];
    a[0] = x[0] + x[8] + x[9] - x[11] - x[12] - x[13] - x[14];
    a[1] = x[1] + x[9] + x[10] - x[12] - x[13] - x[14] - x[15];
    a[2] = x[2] + x[10] + x[11] - x[13] - x[14] - x[15];
    a[3] = x[3] + 2 * (x[11] + x[12]) + x[13] - x[15] - x[8] - x[9];
    a[4] = x[4] + 2 * (x[12] + x[13]) + x[14] - x[9] - x[10];
    a[5] = x[5] + 2 * (x[13] + x[14]) + x[15] - x[10] - x[11];
    a[6] = x[6] + 3 * x[14] + 2 * x[15] + x[13] - x[8] - x[9];
    a[7] = x[7] + 3 * x[15] + x[8] - x[10] - x[11] - x[12] - x[13];
    i128 w[4];
    joinLimbs<4>(w, a);
    finishReduction<4>(r, w, p, [](i128* v, int64_t top) {
        v[0] += top;
        v[1] -= static_cast<i128>(top) << 32;
        v[3] += (static_cast<i128>(top) << 32) - top;
    });
}

// P-384: 2^384 = 2^128 + 2^96 - 2^32 + 1 (mod p).
template <>
void vli_mmod_fast<6>(u64* r, const u64* c, const u64* p) {
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

void secureWipe(void* data, size_t size) {
    crypto::cleanse(data, size);
}

// ---- One curve of N words ----
template <int N>
struct Curve {
    const EccCurve& c;

    void mul(u64* r, const u64* a, const u64* b) const { modMultFast<N>(r, a, b, c.p); }
    void sqr(u64* r, const u64* a) const { modSquareFast<N>(r, a, c.p); }
    void add(u64* r, const u64* a, const u64* b) const { vli_modAdd<N>(r, a, b, c.p); }
    void sub(u64* r, const u64* a, const u64* b) const { vli_modSub<N>(r, a, b, c.p); }
    void inv(u64* r, const u64* a) const { modInvCT<N>(r, a, c.p); }

    // X = X * Z^2, Y = Y * Z^3.
    void apply_z(u64* X, u64* Y, const u64* Z) const {
        u64 t[N];
        sqr(t, Z);
        mul(X, X, t);
        mul(t, t, Z);
        mul(Y, Y, t);
    }

    // Jacobian doubling for a = -3: alpha = 3 (X - Z^2)(X + Z^2). Z = 0 stays unchanged.
    void EccPoint_double_jacobian(u64* X, u64* Y, u64* Z) const {
        if (vli_isZero<N>(Z)) return;
        u64 delta[N], gamma[N], beta[N], alpha[N], t[N];
        sqr(delta, Z);
        sqr(gamma, Y);
        mul(beta, X, gamma);
        sub(t, X, delta);
        add(alpha, X, delta);
        mul(alpha, alpha, t);
        add(t, alpha, alpha);
        add(alpha, t, alpha);
        mul(Z, Y, Z);
        add(Z, Z, Z);
        add(beta, beta, beta);
        add(beta, beta, beta);  // 4 beta
        sqr(X, alpha);
        sub(X, X, beta);
        sub(X, X, beta);  // alpha^2 - 8 beta
        sub(t, beta, X);
        mul(t, alpha, t);
        sqr(gamma, gamma);
        add(gamma, gamma, gamma);
        add(gamma, gamma, gamma);
        add(gamma, gamma, gamma);  // 8 gamma^2
        sub(Y, t, gamma);
    }

    // (X1, Y1) = P at Z, (X2, Y2) = 2P at the same Z. The common Z goes to Zout when given.
    void XYcZ_initial_double(u64* X1, u64* Y1, u64* X2, u64* Y2, const u64* initialZ,
                             u64* Zout) const {
        u64 z[N];
        vli_set<N>(X2, X1);
        vli_set<N>(Y2, Y1);
        vli_clear<N>(z);
        z[0] = 1;
        if (initialZ) vli_set<N>(z, initialZ);
        apply_z(X2, Y2, z);
        EccPoint_double_jacobian(X2, Y2, z);
        apply_z(X1, Y1, z);
        if (Zout) vli_set<N>(Zout, z);
    }

    // Co-Z addition: (X2, Y2) = P + Q; (X1, Y1) = P at the new Z = Z (X2 - X1).
    void XYcZ_add(u64* X1, u64* Y1, u64* X2, u64* Y2, u64* Z) const {
        u64 t5[N];
        sub(t5, X2, X1);
        if (Z) mul(Z, Z, t5);
        sqr(t5, t5);      // A
        mul(X1, X1, t5);  // B
        mul(X2, X2, t5);  // C
        sub(Y2, Y2, Y1);
        sqr(t5, Y2);  // D
        sub(t5, t5, X1);
        sub(t5, t5, X2);  // X3 = D - B - C
        sub(X2, X2, X1);
        mul(Y1, Y1, X2);  // E = Y1 (C - B)
        sub(X2, X1, t5);
        mul(Y2, Y2, X2);
        sub(Y2, Y2, Y1);
        vli_set<N>(X2, t5);
    }

    // Co-Z addition and subtraction: (X1, Y1) = P - Q, (X2, Y2) = P + Q.
    void XYcZ_addC(u64* X1, u64* Y1, u64* X2, u64* Y2, u64* Z) const {
        u64 t5[N], t6[N], t7[N];
        sub(t5, X2, X1);
        if (Z) mul(Z, Z, t5);
        sqr(t5, t5);      // A
        mul(X1, X1, t5);  // B
        mul(X2, X2, t5);  // C
        add(t5, Y2, Y1);
        sub(Y2, Y2, Y1);
        sub(t6, X2, X1);
        mul(Y1, Y1, t6);  // E
        add(t6, X1, X2);  // B + C
        sqr(X2, Y2);
        sub(X2, X2, t6);  // X3 of P + Q
        sub(t7, X1, X2);
        mul(Y2, Y2, t7);
        sub(Y2, Y2, Y1);  // Y3 of P + Q
        sqr(t7, t5);
        sub(t7, t7, t6);  // X3 of P - Q
        sub(t6, t7, X1);
        mul(t6, t6, t5);
        sub(Y1, t6, Y1);  // Y3 of P - Q
        vli_set<N>(X1, t7);
    }

    // Co-Z Montgomery ladder: result = scalar * P for a scalar of numBits bits whose top bit is
    // 1 (numBits <= 64N + 1; bit 64N is implicit). The bit choices are masked swaps. The final
    // 1/Z is recovered from the ladder and P, which needs X(P) != 0; for a point with X = 0 the
    // common Z is tracked instead.
    void EccPoint_mult(u64* resultX, u64* resultY, const u64* PX, const u64* PY, const u64* scalar,
                       const u64* initialZ, int numBits) const {
        u64 Rx[2][N], Ry[2][N], z[N], trackedZ[N];
        u64* Z = vli_isZero<N>(PX) ? trackedZ : nullptr;
        vli_set<N>(Rx[0], PX);
        vli_set<N>(Ry[0], PY);
        XYcZ_initial_double(Rx[0], Ry[0], Rx[1], Ry[1], initialZ, Z);

        for (int i = numBits - 2; i > 0; --i) {
            u64 mask = maskOf(vli_testBit(scalar, i));
            vli_cswap<N>(Rx[0], Rx[1], mask);
            vli_cswap<N>(Ry[0], Ry[1], mask);
            XYcZ_addC(Rx[0], Ry[0], Rx[1], Ry[1], Z);
            XYcZ_add(Rx[1], Ry[1], Rx[0], Ry[0], Z);
            vli_cswap<N>(Rx[0], Rx[1], mask);
            vli_cswap<N>(Ry[0], Ry[1], mask);
        }

        u64 mask = maskOf(vli_testBit(scalar, 0));
        vli_cswap<N>(Rx[0], Rx[1], mask);
        vli_cswap<N>(Ry[0], Ry[1], mask);
        // Slot 0 holds R[b], slot 1 R[1-b].
        XYcZ_addC(Rx[0], Ry[0], Rx[1], Ry[1], Z);
        if (!Z) {
            // z = 1 / ((X(R1) - X(R0)) * Y(R[b]) * X(P)) * Y(P) * X(R[b])
            u64 d1[N], d2[N];
            sub(d1, Rx[0], Rx[1]);
            sub(d2, Rx[1], Rx[0]);
            vli_select<N>(z, d1, d2, mask);
            mul(z, z, Ry[0]);
            mul(z, z, PX);
            inv(z, z);
            mul(z, z, PY);
            mul(z, z, Rx[0]);
        }
        XYcZ_add(Rx[1], Ry[1], Rx[0], Ry[0], Z);
        vli_cswap<N>(Rx[0], Rx[1], mask);
        vli_cswap<N>(Ry[0], Ry[1], mask);
        if (Z) inv(z, Z);
        apply_z(Rx[0], Ry[0], z);
        vli_set<N>(resultX, Rx[0]);
        vli_set<N>(resultY, Ry[0]);
    }

    // d * P for 0 < d < n and P of order n, in constant time. d is replaced by n - d (and the
    // result negated) when that is smaller, then regularised to d + n or d + 2n, whichever has
    // bit 64N set, so that the ladder always runs 64N + 1 bits. Of the remaining scalars only
    // d = 1 meets a degenerate co-Z step; its result P is chosen by mask.
    void scalarMult(u64* X, u64* Y, const u64* PX, const u64* PY, const u64* d,
                    const u64* initialZ) const {
        u64 e[N], k[N], t[N];
        vli_sub<N>(t, c.n, d);
        u64 flip = vli_lessThan<N>(t, d);
        vli_select<N>(e, t, d, maskOf(flip));
        u64 carry = vli_add<N>(k, e, c.n);
        vli_add<N>(t, k, c.n);
        vli_select<N>(k, k, t, maskOf(carry));
        u64 one = maskOf(vli_isOne<N>(e));

        EccPoint_mult(X, Y, PX, PY, k, initialZ, 64 * N + 1);
        vli_select<N>(X, PX, X, one);
        vli_select<N>(Y, PY, Y, one);
        vli_sub<N>(t, c.p, Y);
        vli_select<N>(Y, t, Y, maskOf(flip & (vli_isZero<N>(Y) ^ 1)));
        secureWipe(e, sizeof e);
        secureWipe(k, sizeof k);
    }

    // x^3 - 3x + b
    void curveRhs(u64* r, const u64* x) const {
        u64 three[N];
        vli_clear<N>(three);
        three[0] = 3;
        sqr(r, x);
        sub(r, r, three);
        mul(r, r, x);
        add(r, r, c.b);
    }

    void mod_sqrt(u64* a) const {
        u64 exponent[N], one[N], result[N];
        vli_clear<N>(one);
        one[0] = 1;
        vli_add<N>(exponent, c.p, one);  // p + 1 (no carry for these primes)
        vli_set<N>(result, one);
        for (int i = vli_numBits_vartime<N>(exponent) - 1; i > 1; --i) {
            sqr(result, result);
            if (vli_testBit(exponent, i)) mul(result, result, a);
        }
        vli_set<N>(a, result);
    }

    int pointDecompress(u64* X, u64* Y, const uint8_t* compressed) const {
        if (compressed[0] != 0x02 && compressed[0] != 0x03) return 0;
        ecc_bytes2native(X, compressed + 1, N);
        if (!vli_lessThan<N>(X, c.p)) return 0;
        u64 rhs[N], check[N];
        curveRhs(rhs, X);
        vli_set<N>(Y, rhs);
        mod_sqrt(Y);
        sqr(check, Y);
        if (!vli_equal<N>(check, rhs)) return 0;
        if ((Y[0] & 1) != (compressed[0] & 1u)) {
            if (vli_isZero<N>(Y)) return 0;
            vli_sub<N>(Y, c.p, Y);
        }
        return 1;
    }

    int pointValid(const u64* X, const u64* Y) const {
        if (!vli_lessThan<N>(X, c.p) || !vli_lessThan<N>(Y, c.p)) return 0;
        u64 rhs[N], lhs[N];
        curveRhs(rhs, X);
        sqr(lhs, Y);
        return static_cast<int>(vli_equal<N>(lhs, rhs));
    }

    // 0 < d < n
    bool scalarInRange(const u64* d) const { return !vli_isZero<N>(d) && vli_lessThan<N>(d, c.n); }

    static void writeCompressed(uint8_t* out, const u64* X, const u64* Y) {
        out[0] = static_cast<uint8_t>(0x02 | (Y[0] & 1));
        ecc_native2bytes(out + 1, X, N);
    }

    int makeKey(uint8_t* publicKey, uint8_t* privateKey) const {
        auto random = Random::shared();
        u64 d[N], X[N], Y[N];
        uint8_t drawn[N * 8];
        int result = 0;
        for (int tries = 0; tries < 16 && !result; ++tries) {
            if (!random->secureBytes(drawn, sizeof drawn)) break;
            ecc_bytes2native(d, drawn, N);
            if (!scalarInRange(d)) continue;
            scalarMult(X, Y, c.Gx, c.Gy, d, nullptr);
            if (vli_isZero<N>(X) && vli_isZero<N>(Y)) continue;
            ecc_native2bytes(privateKey, d, N);
            writeCompressed(publicKey, X, Y);
            result = 1;
        }
        secureWipe(d, sizeof d);
        secureWipe(drawn, sizeof drawn);
        return result;
    }

    int computePublicKey(const uint8_t* privateKey, uint8_t* publicKey) const {
        u64 d[N], X[N], Y[N];
        ecc_bytes2native(d, privateKey, N);
        int result = 0;
        if (scalarInRange(d)) {
            scalarMult(X, Y, c.Gx, c.Gy, d, nullptr);
            writeCompressed(publicKey, X, Y);
            result = !(vli_isZero<N>(X) && vli_isZero<N>(Y));
        }
        secureWipe(d, sizeof d);
        return result;
    }

    int sharedSecret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret) const {
        u64 QX[N], QY[N], d[N], z[N], X[N], Y[N];
        if (!pointDecompress(QX, QY, publicKey)) return 0;
        uint8_t drawn[N * 8];
        if (!Random::shared()->secureBytes(drawn, sizeof drawn)) return 0;
        ecc_bytes2native(z, drawn, N);
        ecc_bytes2native(d, privateKey, N);
        int result = 0;
        if (scalarInRange(d)) {
            scalarMult(X, Y, QX, QY, d, z);
            ecc_native2bytes(secret, X, N);
            result = !(vli_isZero<N>(X) && vli_isZero<N>(Y));
            secureWipe(X, sizeof X);
        }
        secureWipe(d, sizeof d);
        return result;
    }

    int sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature) const {
        u64 d[N], e[N], k[N], b[N], r[N], s[N], t[N], X[N], Y[N];
        ecc_bytes2native(d, privateKey, N);
        if (!scalarInRange(d)) return 0;
        ecc_bytes2native(e, hash, N);
        auto random = Random::shared();
        uint8_t drawn[N * 8];
        int result = 0;
        int tries = 0;
        while (tries < 16 && !result) {
            ++tries;
            if (!random->secureBytes(drawn, sizeof drawn)) break;
            ecc_bytes2native(k, drawn, N);
            if (!scalarInRange(k)) continue;
            scalarMult(X, Y, c.Gx, c.Gy, k, nullptr);
            u64 below = vli_sub<N>(r, X, c.n);
            vli_select<N>(r, X, r, maskOf(below));
            if (vli_isZero<N>(r)) continue;
            // Blinded inversion: k^-1 = b * (k * b)^-1.
            bool drew = false;
            while (tries < 16) {
                ++tries;
                if (!random->secureBytes(drawn, sizeof drawn)) break;
                ecc_bytes2native(b, drawn, N);
                if (!vli_isZero<N>(b)) {
                    drew = true;
                    break;
                }
            }
            if (!drew) break;
            modMultGeneral<N>(t, k, b, c.n);
            modInvCT<N>(t, t, c.n);
            modMultGeneral<N>(k, t, b, c.n);  // k^-1
            modMultGeneral<N>(s, r, d, c.n);
            vli_modAdd<N>(s, s, e, c.n);
            modMultGeneral<N>(s, s, k, c.n);
            if (vli_isZero<N>(s)) continue;
            ecc_native2bytes(signature, r, N);
            ecc_native2bytes(signature + N * 8, s, N);
            result = 1;
        }
        secureWipe(d, sizeof d);
        secureWipe(k, sizeof k);
        secureWipe(b, sizeof b);
        secureWipe(t, sizeof t);
        secureWipe(drawn, sizeof drawn);
        return result;
    }

    // Verification works on public values only and may take variable time. Exceptional
    // additions (equal or opposite points, the point at infinity) are handled explicitly.
    int verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature) const {
        u64 QX[N], QY[N];
        if (!pointDecompress(QX, QY, publicKey)) return 0;
        u64 r[N], s[N], e[N];
        ecc_bytes2native(r, signature, N);
        ecc_bytes2native(s, signature + N * 8, N);
        ecc_bytes2native(e, hash, N);
        if (vli_isZero<N>(r) || vli_isZero<N>(s)) return 0;
        if (!vli_lessThan<N>(r, c.n) || !vli_lessThan<N>(s, c.n)) return 0;

        u64 w[N], u1[N], u2[N];
        modInvCT<N>(w, s, c.n);
        modMultGeneral<N>(u1, e, w, c.n);
        modMultGeneral<N>(u2, r, w, c.n);

        // Table {none, G, Q, G + Q} in affine form.
        u64 sumX[N], sumY[N];
        bool sumIsInfinity = false;
        if (vli_equal<N>(c.Gx, QX)) {
            if (vli_equal<N>(c.Gy, QY)) {
                u64 z[N];
                vli_clear<N>(z);
                z[0] = 1;
                vli_set<N>(sumX, c.Gx);
                vli_set<N>(sumY, c.Gy);
                EccPoint_double_jacobian(sumX, sumY, z);
                inv(z, z);
                apply_z(sumX, sumY, z);
            } else {
                sumIsInfinity = true;
            }
        } else {
            u64 tx[N], ty[N], z[N];
            vli_set<N>(tx, c.Gx);
            vli_set<N>(ty, c.Gy);
            vli_set<N>(sumX, QX);
            vli_set<N>(sumY, QY);
            vli_clear<N>(z);
            z[0] = 1;
            XYcZ_add(tx, ty, sumX, sumY, z);
            inv(z, z);
            apply_z(sumX, sumY, z);
        }
        const u64* tableX[4] = {nullptr, c.Gx, QX, sumIsInfinity ? nullptr : sumX};
        const u64* tableY[4] = {nullptr, c.Gy, QY, sumY};

        u64 RX[N], RY[N], RZ[N];
        bool infinity = true;
        int bits = vli_numBits_vartime<N>(u1);
        bits = std::max(bits, vli_numBits_vartime<N>(u2));
        for (int i = bits - 1; i >= 0; --i) {
            if (!infinity) EccPoint_double_jacobian(RX, RY, RZ);
            int index = static_cast<int>(vli_testBit(u1, i) | (vli_testBit(u2, i) << 1));
            const u64* TX = tableX[index];
            if (!TX) continue;
            const u64* TY = tableY[index];
            if (infinity) {
                vli_set<N>(RX, TX);
                vli_set<N>(RY, TY);
                vli_clear<N>(RZ);
                RZ[0] = 1;
                infinity = false;
                continue;
            }
            u64 tx[N], ty[N];
            vli_set<N>(tx, TX);
            vli_set<N>(ty, TY);
            apply_z(tx, ty, RZ);
            if (vli_equal<N>(tx, RX)) {
                if (vli_equal<N>(ty, RY)) {
                    EccPoint_double_jacobian(RX, RY, RZ);
                } else {
                    infinity = true;
                }
                continue;
            }
            XYcZ_add(tx, ty, RX, RY, RZ);
        }
        if (infinity) return 0;
        u64 z[N];
        inv(z, RZ);
        apply_z(RX, RY, z);
        u64 reduced[N];
        if (!vli_sub<N>(reduced, RX, c.n)) vli_set<N>(RX, reduced);
        return static_cast<int>(vli_equal<N>(RX, r));
    }

    int decompressKey(const uint8_t* compressed, uint8_t* uncompressed) const {
        u64 X[N], Y[N];
        if (!pointDecompress(X, Y, compressed)) return 0;
        uncompressed[0] = 0x04;
        ecc_native2bytes(uncompressed + 1, X, N);
        ecc_native2bytes(uncompressed + 1 + N * 8, Y, N);
        return 1;
    }

    int compressKey(const uint8_t* uncompressed, uint8_t* compressed) const {
        if (uncompressed[0] != 0x04) return 0;
        u64 X[N], Y[N];
        ecc_bytes2native(X, uncompressed + 1, N);
        ecc_bytes2native(Y, uncompressed + 1 + N * 8, N);
        if (!pointValid(X, Y)) return 0;
        writeCompressed(compressed, X, Y);
        return 1;
    }
};

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
const EccCurve kEccSecp256r1{4,           kSecp256r1_p, kSecp256r1_b, kSecp256r1_Gx, kSecp256r1_Gy,
                             kSecp256r1_n};
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

int ecc_make_key(uint8_t* publicKey, uint8_t* privateKey, const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.makeKey(publicKey, privateKey);
    });
}

int ecc_compute_public_key(const uint8_t* privateKey, uint8_t* publicKey, const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.computePublicKey(privateKey, publicKey);
    });
}

int ecdh_shared_secret(const uint8_t* publicKey, const uint8_t* privateKey, uint8_t* secret,
                       const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.sharedSecret(publicKey, privateKey, secret);
    });
}

int ecdsa_sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature,
               const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.sign(privateKey, hash, signature);
    });
}

int ecdsa_verify(const uint8_t* publicKey, const uint8_t* hash, const uint8_t* signature,
                 const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.verify(publicKey, hash, signature);
    });
}

int ecc_decompress_public_key(const uint8_t* compressed, uint8_t* uncompressed,
                              const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.decompressKey(compressed, uncompressed);
    });
}

int ecc_compress_public_key(const uint8_t* uncompressed, uint8_t* compressed,
                            const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.compressKey(uncompressed, compressed);
    });
}

int ecc_point_decompress(uint64_t* X, uint64_t* Y, const uint8_t* compressed,
                         const EccCurve& curve) {
    return dispatch(curve.numDigits, [&](auto n) {
        return Curve<decltype(n)::value>{curve}.pointDecompress(X, Y, compressed);
    });
}

void vli_modMult_fast(uint64_t* result, const uint64_t* left, const uint64_t* right,
                      const EccCurve& curve) {
    dispatch(curve.numDigits,
             [&](auto n) { modMultFast<decltype(n)::value>(result, left, right, curve.p); });
}

void vli_modSquare_fast(uint64_t* result, const uint64_t* left, const EccCurve& curve) {
    dispatch(curve.numDigits,
             [&](auto n) { modSquareFast<decltype(n)::value>(result, left, curve.p); });
}

void vli_modMult(uint64_t* result, const uint64_t* left, const uint64_t* right, const uint64_t* mod,
                 int numDigits) {
    dispatch(numDigits,
             [&](auto n) { modMultGeneral<decltype(n)::value>(result, left, right, mod); });
}

void vli_modInv(uint64_t* result, const uint64_t* input, const uint64_t* mod, int numDigits) {
    dispatch(numDigits, [&](auto n) { modInvCT<decltype(n)::value>(result, input, mod); });
}

void mod_sqrt(uint64_t* a, const EccCurve& curve) {
    dispatch(curve.numDigits, [&](auto n) { Curve<decltype(n)::value>{curve}.mod_sqrt(a); });
}

}  // namespace telvo

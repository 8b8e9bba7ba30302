#pragma once

// Multi-word unsigned integers for the elliptic-curve core: arrays of 64-bit words, least
// significant first. Internal to the core's source files.

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define TELVO_ECC_MARK_PUBLIC(data, size) VALGRIND_MAKE_MEM_DEFINED(data, size)
#else
#define TELVO_ECC_MARK_PUBLIC(data, size) ((void)(data), (void)(size))
#endif

// Vectorising the word loops mixes 64-bit stores with 128-bit loads of the same words, which
// stalls on store forwarding; scalar code is faster here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

namespace telvo::ecc {

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

// ---- Multi-word integers. Everything here runs in constant time unless its name says
// "vartime"; choices are made with masks, never with branches or indexes. ----

inline u64 maskOf(u64 bit) {
    return u64{0} - bit;
}

// The only places where values computed from secrets become public: a validity check the
// caller branches on (a draw out of range is drawn again, a key out of range is refused, a
// result at infinity fails) and a result that is handed out (a public key, a signature).
// Under valgrind's memcheck, where the tests mark secrets undefined to find every branch and
// memory index that depends on them, this says that the value may be used; elsewhere it is
// nothing.
ECC_INLINE void declassify(const void* data, size_t size) {
    TELVO_ECC_MARK_PUBLIC(data, size);
}
ECC_INLINE u64 declassified(u64 bit) {
    declassify(&bit, sizeof bit);
    return bit;
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

}  // namespace telvo::ecc

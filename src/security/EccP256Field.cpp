#include "security/EccP256Field.h"

namespace telvo::ecc::p256 {

namespace {

// a^(2^k - 1) for k = 2, 4, 8, 16 and 32: x[i] = a^(2^(2^(i+1)) - 1).
void onesPowers(u64 (*x)[4], const u64* a) {
    u64 t[4];
    fe_sqr(t, a);
    fe_mul(x[0], t, a);
    for (int i = 1; i < 5; ++i) {
        fe_sqrN(t, x[i - 1], 1 << i);
        fe_mul(x[i], t, x[i - 1]);
    }
}

}  // namespace

// p - 2 = ffffffff 00000001 00000000 00000000 00000000 ffffffff ffffffff fffffffd (32-bit
// groups from the top).
void fe_inv(u64* r, const u64* a) {
    u64 x[5][4], x3[4], x6[4], x12[4], x15[4], x30[4], t[4];
    onesPowers(x, a);
    const u64* x32 = x[4];
    fe_sqr(t, x[0]);
    fe_mul(x3, t, a);
    fe_sqrN(t, x3, 3);
    fe_mul(x6, t, x3);
    fe_sqrN(t, x6, 6);
    fe_mul(x12, t, x6);
    fe_sqrN(t, x12, 3);
    fe_mul(x15, t, x3);
    fe_sqrN(t, x15, 15);
    fe_mul(x30, t, x15);

    fe_sqrN(t, x32, 32);
    fe_mul(t, t, a);  // ffffffff 00000001
    fe_sqrN(t, t, 128);
    fe_mul(t, t, x32);  // ... 00000000 00000000 00000000 ffffffff
    fe_sqrN(t, t, 32);
    fe_mul(t, t, x32);  // ... ffffffff
    fe_sqrN(t, t, 30);
    fe_mul(t, t, x30);  // ... 30 ones
    fe_sqrN(t, t, 2);
    fe_mul(r, t, a);  // ... 01
}

// (p + 1) / 4 = 2^254 - 2^222 + 2^190 + 2^94: 32 ones, then 1 at 190 and at 94.
void fe_sqrt(u64* r, const u64* a) {
    u64 x[5][4], t[4];
    onesPowers(x, a);
    fe_sqrN(t, x[4], 32);
    fe_mul(t, t, a);
    fe_sqrN(t, t, 96);
    fe_mul(t, t, a);
    fe_sqrN(r, t, 94);
}

// a^(n - 2). The top half of n - 2 is ffffffff 00000000 ffffffff ffffffff (32-bit groups):
// made from a^(2^32 - 1); the low half with a fixed window of 4 bits. The exponent is public,
// so its digits may index and branch.
void sc_inv(u64* r, const u64* a) {
    u64 powers[16][4], t[4], x32[4];
    vli_set<4>(powers[1], a);
    sc_mul(powers[2], a, a);
    for (int i = 3; i < 16; ++i) sc_mul(powers[i], powers[i - 1], a);
    auto squareTimes = [](u64* v, int times) {
        for (int i = 0; i < times; ++i) sc_mul(v, v, v);
    };
    vli_set<4>(t, powers[15]);  // a^(2^4 - 1)
    for (int bits = 4; bits < 32; bits *= 2) {
        vli_set<4>(x32, t);
        squareTimes(t, bits);
        sc_mul(t, t, x32);
    }
    vli_set<4>(x32, t);
    squareTimes(t, 64);
    sc_mul(t, t, x32);  // ffffffff 00000000 ffffffff
    squareTimes(t, 32);
    sc_mul(t, t, x32);
    const u64 low[2] = {kN[0] - 2, kN[1]};  // no borrow out of the lowest word
    for (int i = 31; i >= 0; --i) {
        squareTimes(t, 4);
        unsigned digit = static_cast<unsigned>(low[i / 16] >> (4 * (i % 16))) & 15;
        if (digit) sc_mul(t, t, powers[digit]);
    }
    vli_set<4>(r, t);
}

}  // namespace telvo::ecc::p256

// P-256 point arithmetic in Jacobian coordinates (a = -3) and the scalar multiplications.
//
// k * G adds one entry per 6-bit window from a table of j * 2^(6i) * G (j = 1..32, i = 0..42),
// so it needs no doubling. k * P doubles five times per 5-bit window and adds one of 1P..16P.
// Both recode the scalar into signed digits (each window's top bit borrows from the next), read
// every entry of a table row under a mask and negate by mask, so neither branches on the scalar
// nor indexes with it. The additions there skip the checks for equal points: the accumulator
// never equals the entry added (see the comments at each loop); the point at infinity (Z = 0)
// and zero digits are settled by masked selection.

#include <cstring>

#include "platform/crypto/Crypto.h"
#include "security/EccP256.h"
#include "security/EccP256Field.h"

namespace telvo::ecc::p256 {

namespace {

constexpr int kBaseWindows = 43;  // 6-bit windows: 43 * 6 = 258 bits cover 256 and the sign
constexpr int kBaseEntries = 32;
constexpr int kVarWindows = 52;  // 5-bit windows over scalars below 2^255
constexpr int kVarEntries = 16;

// Two words, for the table scans; may alias the words it is loaded from.
typedef u64 V2 __attribute__((vector_size(16), may_alias));

ECC_INLINE void setInfinity(Jacobian& p) {
    vli_clear<4>(p.x);
    vli_clear<4>(p.y);
    vli_clear<4>(p.z);
}

ECC_INLINE void selectPoint(Jacobian& r, const Jacobian& a, const Jacobian& b, u64 mask) {
    vli_select<4>(r.x, a.x, b.x, mask);
    vli_select<4>(r.y, a.y, b.y, mask);
    vli_select<4>(r.z, a.z, b.z, mask);
}

// r = 2p; Z = 0 stays 0. r may be p. With alpha = 3 (X - Z^2)(X + Z^2) and beta = 4 X Y^2:
// X3 = alpha^2 - 2 beta, Y3 = alpha (beta - X3) - 8 Y^4, Z3 = 2 Y Z.
ECC_INLINE void dbl(Jacobian& r, const Jacobian& p) {
    u64 alpha[4], beta[4], y2[4], t[4];
    fe_sqr(t, p.z);
    fe_sub(alpha, p.x, t);
    fe_add(t, p.x, t);
    fe_mul(alpha, alpha, t);
    fe_add(t, alpha, alpha);
    fe_add(alpha, t, alpha);
    fe_add(y2, p.y, p.y);  // 2Y
    fe_mul(r.z, y2, p.z);
    fe_sqr(y2, y2);  // 4 Y^2
    fe_mul(beta, y2, p.x);
    fe_sqr(y2, y2);
    fe_half(y2, y2);  // 8 Y^4
    fe_sqr(r.x, alpha);
    fe_add(t, beta, beta);
    fe_sub(r.x, r.x, t);
    fe_sub(t, beta, r.x);
    fe_mul(t, t, alpha);
    fe_sub(r.y, t, y2);
}

// The parts of a + b before the result: U1, S1, H = U2 - U1, R = S2 - S1.
struct SumParts {
    u64 u1[4], s1[4], h[4], r[4];
};

ECC_INLINE void prepare(SumParts& s, const Jacobian& a, const Jacobian& b) {
    u64 z1z1[4], z2z2[4], u2[4], s2[4];
    fe_sqr(z1z1, a.z);
    fe_sqr(z2z2, b.z);
    fe_mul(s.u1, a.x, z2z2);
    fe_mul(u2, b.x, z1z1);
    fe_mul(s.s1, a.y, b.z);
    fe_mul(s.s1, s.s1, z2z2);
    fe_mul(s2, b.y, a.z);
    fe_mul(s2, s2, z1z1);
    fe_sub(s.h, u2, s.u1);
    fe_sub(s.r, s2, s.s1);
}

// The same with b affine (Z = 1).
ECC_INLINE void prepareMixed(SumParts& s, const Jacobian& a, const Affine& b) {
    u64 z1z1[4], u2[4], s2[4];
    fe_sqr(z1z1, a.z);
    fe_mul(u2, b.x, z1z1);
    fe_mul(s2, b.y, a.z);
    fe_mul(s2, s2, z1z1);
    vli_set<4>(s.u1, a.x);
    vli_set<4>(s.s1, a.y);
    fe_sub(s.h, u2, s.u1);
    fe_sub(s.r, s2, s.s1);
}

// X3 = R^2 - H^3 - 2 U1 H^2, Y3 = R (U1 H^2 - X3) - S1 H^3, Z3 = Z1 Z2 H.
ECC_INLINE void finish(Jacobian& out, const SumParts& s, const u64* z1z2) {
    u64 hh[4], hhh[4], v[4], t[4];
    fe_sqr(hh, s.h);
    fe_mul(hhh, s.h, hh);
    fe_mul(v, s.u1, hh);
    fe_sqr(out.x, s.r);
    fe_sub(out.x, out.x, hhh);
    fe_sub(out.x, out.x, v);
    fe_sub(out.x, out.x, v);
    fe_sub(t, v, out.x);
    fe_mul(out.y, s.r, t);
    fe_mul(t, s.s1, hhh);
    fe_sub(out.y, out.y, t);
    fe_mul(out.z, z1z2, s.h);
}

// a + b for a != +-b, neither at infinity. out may be a or b.
ECC_INLINE void add(Jacobian& out, const Jacobian& a, const Jacobian& b) {
    SumParts s;
    prepare(s, a, b);
    u64 zz[4];
    fe_mul(zz, a.z, b.z);
    finish(out, s, zz);
}

ECC_INLINE void addMixed(Jacobian& out, const Jacobian& a, const Affine& b) {
    SumParts s;
    prepareMixed(s, a, b);
    finish(out, s, a.z);
}

// After preparing a + b: equal points double, opposite ones give infinity. True when done.
bool settleVartime(Jacobian& out, const SumParts& s, const Jacobian& a) {
    if (!vli_isZero<4>(s.h)) return false;
    if (vli_isZero<4>(s.r)) {
        dbl(out, a);
    } else {
        setInfinity(out);
    }
    return true;
}

// a + b for any a and b (variable time).
void addVartime(Jacobian& out, const Jacobian& a, const Jacobian& b) {
    if (vli_isZero<4>(a.z)) {
        out = b;
        return;
    }
    if (vli_isZero<4>(b.z)) {
        out = a;
        return;
    }
    SumParts s;
    prepare(s, a, b);
    if (settleVartime(out, s, a)) return;
    u64 zz[4];
    fe_mul(zz, a.z, b.z);
    finish(out, s, zz);
}

void addMixedVartime(Jacobian& out, const Jacobian& a, const Affine& b) {
    if (vli_isZero<4>(a.z)) {
        vli_set<4>(out.x, b.x);
        vli_set<4>(out.y, b.y);
        vli_set<4>(out.z, kOne);
        return;
    }
    SumParts s;
    prepareMixed(s, a, b);
    if (settleVartime(out, s, a)) return;
    finish(out, s, a.z);
}

// count (<= 7) bits of k from bit start on; bit -1 and bits from 256 on read as 0. The
// position is public.
ECC_INLINE u64 windowBits(const u64* k, int start, int count) {
    u64 v;
    if (start < 0) {
        v = k[0] << 1;
    } else {
        int word = start / 64, offset = start % 64;
        v = word < 4 ? k[word] >> offset : 0;
        if (offset + count > 64 && word + 1 < 4) v |= k[word + 1] << (64 - offset);
    }
    return v & ((u64{1} << count) - 1);
}

// The signed digit of a window of w + 1 bits (the lowest one the previous window's top):
// magnitude 0..2^(w-1) and sign bit, without branches.
ECC_INLINE void boothDigit(u64* sign, u64* magnitude, u64 bits, int w) {
    u64 s = bits >> w;
    u64 t = (bits + 1) >> 1;
    u64 m = maskOf(s);
    *magnitude = (((u64{1} << w) - t) & m) | (t & ~m);
    *sign = s;
}

// out = the entry of magnitude m (1-based; 0 gives zeros) of rows of `Words` words each.
template <int Words, int Entries>
ECC_INLINE void scanTable(u64* out, const u64* rows, u64 m) {
    V2 acc[Words / 2] = {};
    for (int j = 0; j < Entries; ++j) {
        u64 mask = maskOf(wordIsZero(static_cast<u64>(j + 1) ^ m));
        V2 maskV = {mask, mask};
        const V2* entry = reinterpret_cast<const V2*>(rows + j * Words);
        ECC_UNROLL
        for (int q = 0; q < Words / 2; ++q) acc[q] |= entry[q] & maskV;
    }
    std::memcpy(out, acc, sizeof acc);
}

// j * 2^(6i) * G in affine form, for window i and j = 1..32.
struct BaseTable {
    alignas(64) Affine rows[kBaseWindows][kBaseEntries];

    BaseTable() {
        Jacobian base, multiples[kBaseEntries];
        vli_set<4>(base.x, gMont().x);
        vli_set<4>(base.y, gMont().y);
        vli_set<4>(base.z, kOne);
        for (int i = 0; i < kBaseWindows; ++i) {
            multiples[0] = base;
            for (int j = 1; j < kBaseEntries; ++j) addVartime(multiples[j], multiples[j - 1], base);
            dbl(base, multiples[kBaseEntries - 1]);  // 64 * base
            // One inversion for the row: prefix products of Z, then back.
            u64 prefix[kBaseEntries][4], inverse[4];
            vli_set<4>(prefix[0], multiples[0].z);
            for (int j = 1; j < kBaseEntries; ++j) fe_mul(prefix[j], prefix[j - 1], multiples[j].z);
            fe_inv(inverse, prefix[kBaseEntries - 1]);
            for (int j = kBaseEntries - 1; j >= 0; --j) {
                u64 zInv[4], zInv2[4];
                if (j > 0) {
                    fe_mul(zInv, inverse, prefix[j - 1]);
                    fe_mul(inverse, inverse, multiples[j].z);
                } else {
                    vli_set<4>(zInv, inverse);
                }
                fe_sqr(zInv2, zInv);
                fe_mul(rows[i][j].x, multiples[j].x, zInv2);
                fe_mul(zInv2, zInv2, zInv);
                fe_mul(rows[i][j].y, multiples[j].y, zInv2);
            }
        }
    }

    static const Affine& gMont() {
        static const Affine g = [] {
            Affine a;
            fe_toMont(a.x, kGx);
            fe_toMont(a.y, kGy);
            return a;
        }();
        return g;
    }
};

const BaseTable& baseTable() {
    static const BaseTable table;
    return table;
}

// Width-5 non-adjacent form: digits 0 or odd in -15..15, least significant first.
int wnaf5(int8_t* digits, const u64* k) {
    u64 t[5] = {k[0], k[1], k[2], k[3], 0};
    int length = 0;
    while (!vli_isZero<5>(t)) {
        int d = 0;
        if (t[0] & 1) {
            d = static_cast<int>(t[0] & 31);
            if (d >= 16) d -= 32;
            u64 small[5] = {static_cast<u64>(d < 0 ? -d : d), 0, 0, 0, 0};
            if (d < 0) {
                vli_add<5>(t, t, small);
            } else {
                vli_sub<5>(t, t, small);
            }
        }
        digits[length++] = static_cast<int8_t>(d);
        vli_rshift1<5>(t);
    }
    return length;
}

}  // namespace

void baseMult(Jacobian& out, const u64* k) {
    const BaseTable& table = baseTable();
    Jacobian acc, sum;
    setInfinity(acc);
    // The sum of the windows below i is below 2^(6i - 1) in size and the entry at least 2^(6i)
    // (for the top window k < n rules equality out), so the addition never doubles; nor does
    // it reach infinity, which would need every lower bit zero and so a zero accumulator.
    for (int i = 0; i < kBaseWindows; ++i) {
        u64 sign, magnitude;
        boothDigit(&sign, &magnitude, windowBits(k, 6 * i - 1, 7), 6);
        Affine entry;
        scanTable<8, kBaseEntries>(entry.x, table.rows[i][0].x, magnitude);
        fe_condNeg(entry.y, entry.y, maskOf(sign));
        addMixed(sum, acc, entry);
        u64 accIsInfinity = maskOf(vli_isZero<4>(acc.z));
        vli_select<4>(sum.x, entry.x, sum.x, accIsInfinity);
        vli_select<4>(sum.y, entry.y, sum.y, accIsInfinity);
        vli_select<4>(sum.z, kOne, sum.z, accIsInfinity);
        selectPoint(acc, acc, sum, maskOf(wordIsZero(magnitude)));
    }
    out = acc;
    crypto::cleanse(&acc, sizeof acc);
    crypto::cleanse(&sum, sizeof sum);
}

void varMult(Jacobian& out, const Affine& p, const u64* k, const u64* z) {
    // e = min(k, n - k) < n / 2; the result is negated back when n - k was taken.
    u64 e[4], t[4];
    vli_sub<4>(t, kN, k);
    u64 flip = maskOf(vli_lessThan<4>(t, k));
    vli_select<4>(e, t, k, flip);

    Jacobian table[kVarEntries];
    u64 zz[4];
    fe_sqr(zz, z);
    fe_mul(table[0].x, p.x, zz);
    fe_mul(zz, zz, z);
    fe_mul(table[0].y, p.y, zz);
    vli_set<4>(table[0].z, z);
    dbl(table[1], table[0]);
    for (int j = 2; j < kVarEntries; ++j) {
        if (j % 2) {
            dbl(table[j], table[j / 2]);
        } else {
            add(table[j], table[j - 1], table[0]);
        }
    }

    // The accumulator holds V * P for the value V of the windows above, |V| < n / 2; adding
    // d * P (|d| <= 16) to 32 V * P could only meet +-d = 32 V, impossible for V != 0.
    Jacobian acc, entry, sum;
    setInfinity(acc);
    for (int i = kVarWindows - 1; i >= 0; --i) {
        if (i < kVarWindows - 1) {
            for (int s = 0; s < 5; ++s) dbl(acc, acc);
        }
        u64 sign, magnitude;
        boothDigit(&sign, &magnitude, windowBits(e, 5 * i - 1, 6), 5);
        scanTable<12, kVarEntries>(entry.x, table[0].x, magnitude);
        fe_condNeg(entry.y, entry.y, maskOf(sign));
        add(sum, acc, entry);
        selectPoint(sum, entry, sum, maskOf(vli_isZero<4>(acc.z)));
        selectPoint(acc, acc, sum, maskOf(wordIsZero(magnitude)));
    }
    fe_condNeg(acc.y, acc.y, flip);
    out = acc;
    crypto::cleanse(e, sizeof e);
    crypto::cleanse(t, sizeof t);
    crypto::cleanse(&acc, sizeof acc);
    crypto::cleanse(&sum, sizeof sum);
    crypto::cleanse(&entry, sizeof entry);
}

void doubleMultVartime(Jacobian& out, const u64* u1, const Affine& q, const u64* u2) {
    const BaseTable& table = baseTable();
    Jacobian acc;
    setInfinity(acc);
    for (int i = 0; i < kBaseWindows; ++i) {
        u64 sign, magnitude;
        boothDigit(&sign, &magnitude, windowBits(u1, 6 * i - 1, 7), 6);
        if (!magnitude) continue;
        Affine entry = table.rows[i][magnitude - 1];
        if (sign) fe_condNeg(entry.y, entry.y, ~u64{0});
        addMixedVartime(acc, acc, entry);
    }

    Jacobian odd[8], twice, acc2;
    vli_set<4>(odd[0].x, q.x);
    vli_set<4>(odd[0].y, q.y);
    vli_set<4>(odd[0].z, kOne);
    dbl(twice, odd[0]);
    for (int i = 1; i < 8; ++i) addVartime(odd[i], odd[i - 1], twice);
    int8_t digits[260];
    int length = wnaf5(digits, u2);
    setInfinity(acc2);
    for (int i = length - 1; i >= 0; --i) {
        dbl(acc2, acc2);
        int d = digits[i];
        if (!d) continue;
        Jacobian entry = odd[(d < 0 ? -d : d) / 2];
        if (d < 0) fe_condNeg(entry.y, entry.y, ~u64{0});
        addVartime(acc2, acc2, entry);
    }
    addVartime(out, acc, acc2);
}

void toAffine(Affine& out, const Jacobian& p) {
    u64 zInv[4], zInv2[4];
    fe_inv(zInv, p.z);
    fe_sqr(zInv2, zInv);
    fe_mul(out.x, p.x, zInv2);
    fe_mul(zInv2, zInv2, zInv);
    fe_mul(out.y, p.y, zInv2);
}

}  // namespace telvo::ecc::p256

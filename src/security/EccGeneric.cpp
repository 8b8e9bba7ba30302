// The curves other than P-256: co-Z Montgomery ladder on Jacobian coordinates over the
// generic field arithmetic of EccGenericField.h.

#include "security/EccGeneric.h"

#include <algorithm>

#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "security/EccGenericField.h"
#include "security/EccSignDraws.h"

namespace telvo::ecc::generic {

namespace {

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

    // Jacobian doubling for a = -3: alpha = 3 (X - Z^2)(X + Z^2). Z = 0 (the point at
    // infinity) gives Z = 0 again, without a look at Z: in the ladder it is secret.
    void EccPoint_double_jacobian(u64* X, u64* Y, u64* Z) const {
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

    // 0 < d < n; a validity check, whose outcome is public.
    bool scalarInRange(const u64* d) const {
        return declassified(vli_lessThan<N>(d, c.n) & (vli_isZero<N>(d) ^ 1));
    }

    // A public key (X, Y) handed out: 0 for the point at infinity.
    static int publicPoint(const u64* X, const u64* Y) {
        declassify(X, N * sizeof *X);
        declassify(Y, N * sizeof *Y);
        return !(vli_isZero<N>(X) & vli_isZero<N>(Y));
    }

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
            if (!publicPoint(X, Y)) continue;
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
            result = publicPoint(X, Y);
            writeCompressed(publicKey, X, Y);
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
        // A zero Z would make the ladder's points all infinity.
        u64 one[N];
        vli_clear<N>(one);
        one[0] = 1;
        vli_select<N>(z, one, z, maskOf(vli_isZero<N>(z)));
        ecc_bytes2native(d, privateKey, N);
        int result = 0;
        if (scalarInRange(d)) {
            scalarMult(X, Y, QX, QY, d, z);
            ecc_native2bytes(secret, X, N);
            // Only whether the product is the point at infinity is public.
            result = !declassified(vli_isZero<N>(X) & vli_isZero<N>(Y));
            secureWipe(X, sizeof X);
            secureWipe(Y, sizeof Y);
        }
        secureWipe(z, sizeof z);
        secureWipe(drawn, sizeof drawn);
        secureWipe(d, sizeof d);
        return result;
    }

    int sign(const uint8_t* privateKey, const uint8_t* hash, uint8_t* signature) const {
        u64 d[N], e[N], t[N];
        ecc_bytes2native(d, privateKey, N);
        if (!scalarInRange(d)) return 0;
        ecc_bytes2native(e, hash, N);
        auto rFromNonce = [&](const u64* k, u64* r) {
            u64 X[N], Y[N];
            scalarMult(X, Y, c.Gx, c.Gy, k, nullptr);
            u64 below = vli_sub<N>(r, X, c.n);
            vli_select<N>(r, X, r, maskOf(below));
            declassify(r, N * sizeof *r);
            return !vli_isZero<N>(r);
        };
        auto sFrom = [&](const u64* k, const u64* b, const u64* r, u64* s) {
            modMultGeneral<N>(t, k, b, c.n);
            modInvCT<N>(t, t, c.n);
            modMultGeneral<N>(t, t, b, c.n);  // k^-1
            modMultGeneral<N>(s, r, d, c.n);
            vli_modAdd<N>(s, s, e, c.n);
            modMultGeneral<N>(s, s, t, c.n);
            declassify(s, N * sizeof *s);
            return !vli_isZero<N>(s);
        };
        int result = signWithDraws<N>(c.n, signature, rFromNonce, sFrom);
        secureWipe(d, sizeof d);
        secureWipe(t, sizeof t);
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

// Runs fn with the arithmetic of a curve other than P-256 (which has its own engine); a default
// result for other word counts.
template <class Fn>
auto onGenericCurve(const EccCurve& curve, Fn&& fn) -> decltype(fn(Curve<2>{curve})) {
    switch (curve.numDigits) {
        case 2:
            return fn(Curve<2>{curve});
        case 3:
            return fn(Curve<3>{curve});
        case 6:
            return fn(Curve<6>{curve});
        default:
            return decltype(fn(Curve<2>{curve}))();
    }
}
}  // namespace

int makeKey(const EccCurve& curve, uint8_t* publicKey, uint8_t* privateKey) {
    return onGenericCurve(curve, [&](auto c) { return c.makeKey(publicKey, privateKey); });
}

int computePublicKey(const EccCurve& curve, const uint8_t* privateKey, uint8_t* publicKey) {
    return onGenericCurve(curve, [&](auto c) { return c.computePublicKey(privateKey, publicKey); });
}

int sharedSecret(const EccCurve& curve, const uint8_t* publicKey, const uint8_t* privateKey,
                 uint8_t* secret) {
    return onGenericCurve(curve,
                          [&](auto c) { return c.sharedSecret(publicKey, privateKey, secret); });
}

int sign(const EccCurve& curve, const uint8_t* privateKey, const uint8_t* hash,
         uint8_t* signature) {
    return onGenericCurve(curve, [&](auto c) { return c.sign(privateKey, hash, signature); });
}

int verify(const EccCurve& curve, const uint8_t* publicKey, const uint8_t* hash,
           const uint8_t* signature) {
    return onGenericCurve(curve, [&](auto c) { return c.verify(publicKey, hash, signature); });
}

int decompressKey(const EccCurve& curve, const uint8_t* compressed, uint8_t* uncompressed) {
    return onGenericCurve(curve, [&](auto c) { return c.decompressKey(compressed, uncompressed); });
}

int compressKey(const EccCurve& curve, const uint8_t* uncompressed, uint8_t* compressed) {
    return onGenericCurve(curve, [&](auto c) { return c.compressKey(uncompressed, compressed); });
}

int pointDecompress(const EccCurve& curve, uint64_t* X, uint64_t* Y, const uint8_t* compressed) {
    return onGenericCurve(curve, [&](auto c) { return c.pointDecompress(X, Y, compressed); });
}

void modMult(const EccCurve& curve, uint64_t* result, const uint64_t* left, const uint64_t* right) {
    onGenericCurve(curve, [&](auto c) { c.mul(result, left, right); });
}

void modSquare(const EccCurve& curve, uint64_t* result, const uint64_t* left) {
    onGenericCurve(curve, [&](auto c) { c.sqr(result, left); });
}

void modSqrt(const EccCurve& curve, uint64_t* a) {
    onGenericCurve(curve, [&](auto c) { c.mod_sqrt(a); });
}

}  // namespace telvo::ecc::generic

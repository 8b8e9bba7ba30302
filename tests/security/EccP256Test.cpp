#include <gtest/gtest.h>
#include <openssl/obj_mac.h>

#include <array>
#include <functional>
#include <random>

#include "EcTestSupport.h"
#include "security/EccP256.h"
#include "security/EccP256Field.h"
#include "sim/TestSupport.h"

namespace telvo::test {
namespace {

using ecc::u64;
using Words = std::array<u64, 4>;
namespace p256 = ecc::p256;

constexpr int kNid = NID_X9_62_prime256v1;

Words words(ByteView bytes) {
    Words w;
    ecc_bytes2native(w.data(), bytes.data(), 4);
    return w;
}

Bytes bytesOf(const u64* w) {
    return wordsToBytes(w, 4);
}

const Bytes& pBytes() {
    static const Bytes p = bytesOf(p256::kP);
    return p;
}

const Bytes& nBytes() {
    static const Bytes n = bytesOf(p256::kN);
    return n;
}

Bytes small(uint8_t last) {
    Bytes out(32);
    out.back() = last;
    return out;
}

// Values below m where the carries of the kernels live: 0, 1, 2, m - 1, m - 2, 2^255, blocks
// of all-ones and all-zero words, then random ones.
std::vector<Bytes> operands(const Bytes& m, std::mt19937_64& rng, int randomCount) {
    std::vector<Bytes> out = {Bytes(32, 0), small(1), small(2), bnSubMod(m, small(1), m, 32),
                              bnSubMod(m, small(2), m, 32)};
    Bytes top(32, 0);
    top[0] = 0x80;
    out.push_back(bnSubMod(top, Bytes(32, 0), m, 32));
    for (size_t ones : {8, 16, 24}) {
        Bytes low(32, 0), high(32, 0xff);
        std::fill(low.end() - static_cast<long>(ones), low.end(), 0xff);
        std::fill(high.end() - static_cast<long>(ones), high.end(), 0);
        out.push_back(bnSubMod(low, Bytes(32, 0), m, 32));
        out.push_back(bnSubMod(high, Bytes(32, 0), m, 32));
    }
    for (int i = 0; i < randomCount; ++i)
        out.push_back(bnSubMod(randomBytes(rng, 32), Bytes(32, 0), m, 32));
    return out;
}

TEST(EccP256Field, KernelsMatchThePortableCodeAlsoInPlace) {
    using Binary = std::function<void(u64*, const u64*, const u64*)>;
    struct Case {
        const char* name;
        Binary kernel, portable;
        bool anyLeft = false;  // the left operand may be any 256-bit value
    } cases[] = {
        {"mul", p256::fe_mul, p256::fe_mulPortable},
        {"sqr", [](u64* r, const u64* a, const u64*) { p256::fe_sqr(r, a); },
         [](u64* r, const u64* a, const u64*) { p256::fe_sqrPortable(r, a); }},
        {"add", p256::fe_add, p256::fe_addPortable},
        {"sub", p256::fe_sub, p256::fe_subPortable},
        // Modulo n the right operand is reduced, the left one any 256-bit value.
        {"mul mod n",
         [](u64* r, const u64* a, const u64* b) {
             u64 reduced[4];
             p256::reduceOnce(reduced, 0, b, p256::kN);
             p256::sc_mul(r, a, reduced);
         },
         [](u64* r, const u64* a, const u64* b) {
             u64 reduced[4];
             p256::reduceOnce(reduced, 0, b, p256::kN);
             p256::sc_mulPortable(r, a, reduced);
         },
         true},
    };
    std::mt19937_64 rng(256);
    auto values = operands(pBytes(), rng, 40);
    auto unreduced = values;
    for (const Bytes& v : {Bytes(32, 0xff), pBytes(), nBytes(), bnAdd(pBytes(), small(7), 32)})
        unreduced.push_back(v);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        for (const auto& a : k.anyLeft ? unreduced : values) {
            for (const auto& b : values) {
                Words x = words(a), y = words(b), want, got;
                k.portable(want.data(), x.data(), y.data());
                k.kernel(got.data(), x.data(), y.data());
                ASSERT_EQ(got, want) << toHex(a) << " " << toHex(b);
                k.kernel(x.data(), x.data(), y.data());
                ASSERT_EQ(x, want) << "in place: " << toHex(a) << " " << toHex(b);
            }
        }
    }
}

TEST(EccP256Field, InversesRootsAndScalarProductsMatchOpenSSL) {
    std::mt19937_64 rng(257);
    // Each case maps a value below its modulus and a second operand to the expected result.
    struct Case {
        const char* name;
        const Bytes& modulus;
        std::function<Bytes(const Bytes&, const Bytes&)> ours, expected;
    } cases[] = {
        {"inverse mod p", pBytes(),
         [](const Bytes& a, const Bytes&) {
             Words x = words(a);
             p256::fe_toMont(x.data(), x.data());
             p256::fe_inv(x.data(), x.data());
             p256::fe_fromMont(x.data(), x.data());
             return bytesOf(x.data());
         },
         [](const Bytes& a, const Bytes&) {
             return bnInvMod(a, pBytes(), 32).value_or(Bytes(32, 0));
         }},
        {"root of a square mod p", pBytes(),
         [](const Bytes& a, const Bytes&) {
             Words x = words(bnMulMod(a, a, pBytes(), 32));
             p256::fe_toMont(x.data(), x.data());
             p256::fe_sqrt(x.data(), x.data());
             p256::fe_sqr(x.data(), x.data());
             p256::fe_fromMont(x.data(), x.data());
             return bytesOf(x.data());
         },
         [](const Bytes& a, const Bytes&) { return bnMulMod(a, a, pBytes(), 32); }},
        {"half mod p", pBytes(),
         [](const Bytes& a, const Bytes&) {
             Words x = words(a);
             p256::fe_half(x.data(), x.data());
             return bytesOf(x.data());
         },
         [](const Bytes& a, const Bytes&) {
             return bnMulMod(a, bnInvMod(small(2), pBytes(), 32).value(), pBytes(), 32);
         }},
        {"inverse mod n", nBytes(),
         [](const Bytes& a, const Bytes&) {
             Words x = words(a);
             p256::sc_toMont(x.data(), x.data());
             p256::sc_inv(x.data(), x.data());
             p256::sc_fromMont(x.data(), x.data());
             return bytesOf(x.data());
         },
         [](const Bytes& a, const Bytes&) {
             return bnInvMod(a, nBytes(), 32).value_or(Bytes(32, 0));
         }},
        // The left operand of a product modulo n may be any 256-bit value (a hash).
        {"unreduced times reduced mod n", nBytes(),
         [](const Bytes& a, const Bytes& b) {
             Words x = words(bnAdd(a, nBytes(), 32)), y = words(b), r;
             p256::sc_toMont(y.data(), y.data());
             p256::sc_mul(r.data(), x.data(), y.data());
             return bytesOf(r.data());
         },
         [](const Bytes& a, const Bytes& b) {
             return bnMulMod(bnAdd(a, nBytes(), 32), b, nBytes(), 32);
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        auto values = operands(k.modulus, rng, 30);
        for (size_t i = 0; i < values.size(); ++i) {
            const Bytes& a = values[i];
            const Bytes& b = values[(i * 7 + 3) % values.size()];
            ASSERT_EQ(toHex(k.ours(a, b)), toHex(k.expected(a, b))) << toHex(a) << " " << toHex(b);
        }
    }
}

// Scalars whose every window of `bits` bits holds `value` (the top window cut at 256 bits):
// with w-bit signed windows they give every digit, positive and negative, in every window.
Bytes repeated(int bits, unsigned value) {
    Bytes out(32, 0);
    for (int pos = 0; pos < 256; pos += bits) {
        for (int b = 0; b < bits && pos + b < 256; ++b) {
            if ((value >> b) & 1)
                out[31 - (pos + b) / 8] |= static_cast<uint8_t>(1 << ((pos + b) % 8));
        }
    }
    return out;
}

// Alternating window values: a window after one with its top bit set borrows one more.
Bytes alternating(int bits, unsigned even, unsigned odd) {
    Bytes a = repeated(2 * bits, even | (odd << bits));
    return a;
}

std::vector<Bytes> digitPatterns() {
    std::vector<Bytes> out;
    for (int bits : {5, 6}) {
        for (unsigned v = 1; v < (1u << bits); ++v) out.push_back(repeated(bits, v));
        unsigned top = (1u << bits) - 1, half = (1u << (bits - 1)) - 1;
        out.push_back(alternating(bits, top, half));  // magnitude 2^(w-1) where half follows top
        out.push_back(alternating(bits, half, top));
        out.push_back(alternating(bits, 0, top));
        out.push_back(alternating(bits, top, 0));
    }
    // Around n / 2, where k * P turns to n - k, and below n.
    Bytes half = bnMulMod(bnSubMod(nBytes(), small(1), nBytes(), 32),
                          bnInvMod(small(2), nBytes(), 32).value(), nBytes(), 32);
    for (uint8_t d = 0; d < 3; ++d) {
        out.push_back(bnAdd(half, small(d), 32));
        out.push_back(bnSubMod(half, small(d), nBytes(), 32));
        out.push_back(bnSubMod(nBytes(), small(static_cast<uint8_t>(d + 1)), nBytes(), 32));
    }
    std::vector<Bytes> inRange;
    for (const Bytes& k : out) {
        if (k != Bytes(32, 0) && bnSubMod(k, Bytes(32, 0), nBytes(), 32) == k) inRange.push_back(k);
    }
    return inRange;
}

// 04 X Y of k * G through the variable-base multiplication.
Bytes variableBaseTimesG(const Bytes& k) {
    p256::Affine g, result;
    p256::fe_toMont(g.x, p256::kGx);
    p256::fe_toMont(g.y, p256::kGy);
    u64 z[4] = {2, 0, 0, 0};
    p256::fe_toMont(z, z);
    p256::Jacobian product;
    p256::varMult(product, g, words(k).data(), z);
    p256::toAffine(result, product);
    p256::fe_fromMont(result.x, result.x);
    p256::fe_fromMont(result.y, result.y);
    Bytes out = {0x04};
    for (const u64* c : {result.x, result.y}) {
        Bytes b = bytesOf(c);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

TEST(EccP256Mult, EveryDigitInEveryWindowMatchesOpenSSL) {
    Bytes peer(33), peerPriv(32), peerFull(65);
    ASSERT_EQ(ecc_make_key(peer.data(), peerPriv.data(), kEccSecp256r1), 1);
    ASSERT_EQ(ecc_decompress_public_key(peer.data(), peerFull.data(), kEccSecp256r1), 1);
    auto scalars = digitPatterns();
    EXPECT_GT(scalars.size(), 100u);
    for (const Bytes& k : scalars) {
        SCOPED_TRACE(toHex(k));
        Bytes pub(33), secret(32);
        ASSERT_EQ(ecc_compute_public_key(k.data(), pub.data(), kEccSecp256r1), 1);
        EXPECT_EQ(toHex(pub), toHex(compressPoint(osslPublicFromPrivate(kNid, k).value())));
        ASSERT_EQ(ecdh_shared_secret(peer.data(), k.data(), secret.data(), kEccSecp256r1), 1);
        EXPECT_EQ(toHex(secret), toHex(osslDerive(kNid, k, peerFull).value()));
        // The whole of k * P (ECDH keeps X only), on P = G with a blinding Z of 2.
        EXPECT_EQ(toHex(variableBaseTimesG(k)), toHex(osslPublicFromPrivate(kNid, k).value()));
    }
}

TEST(EccP256Mult, TheBlindingZChangesNothing) {
    Bytes peer(33), peerPriv(32), priv(32), pub(33), expected(32);
    ASSERT_EQ(ecc_make_key(peer.data(), peerPriv.data(), kEccSecp256r1), 1);
    ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), kEccSecp256r1), 1);
    Bytes peerFull(65);
    ASSERT_EQ(ecc_decompress_public_key(peer.data(), peerFull.data(), kEccSecp256r1), 1);
    expected = osslDerive(kNid, priv, peerFull).value();
    // Z is drawn as 32 bytes and reduced modulo p; 0 and p (zero once reduced) fall back to 1.
    for (const Bytes& z : {Bytes(32, 0), pBytes(), small(1), Bytes(32, 0xff),
                           bnSubMod(pBytes(), small(1), pBytes(), 32)}) {
        SCOPED_TRACE(toHex(z));
        auto random = std::make_shared<ScriptedRandom>(true);
        random->push(z);
        RandomScope scope(random);
        Bytes secret(32);
        ASSERT_EQ(ecdh_shared_secret(peer.data(), priv.data(), secret.data(), kEccSecp256r1), 1);
        EXPECT_EQ(toHex(secret), toHex(expected));
    }
}

// Verification adds u1 G and u2 Q at the end: with Q = G and u1 = u2 (hash = r) both are the
// same point (a doubling), with Q = -G the sum is the point at infinity.
TEST(EccP256Verify, SumsThatDoubleOrCancel) {
    const Bytes& n = nBytes();
    Bytes k = small(77);
    Bytes kG = osslPublicFromPrivate(kNid, k).value();
    Bytes r = bnSubMod(Bytes(kG.begin() + 1, kG.begin() + 33), Bytes(32, 0), n, 32);
    struct Case {
        const char* name;
        Bytes d;
        bool valid;
    } cases[] = {
        {"Q = G, u1 G = u2 Q", small(1), true},
        {"Q = -G, u1 G = -u2 Q", bnSubMod(n, small(1), n, 32), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // s = (e + r d) / k with e = r; for Q = -G that is 0, so any s stands in.
        Bytes s =
            bnMulMod(bnAdd(r, bnMulMod(r, c.d, n, 32), 32), bnInvMod(k, n, 32).value(), n, 32);
        if (s == Bytes(32, 0)) s = small(5);
        Bytes sig = r, pub(33), full(65);
        sig.insert(sig.end(), s.begin(), s.end());
        ASSERT_EQ(ecc_compute_public_key(c.d.data(), pub.data(), kEccSecp256r1), 1);
        ASSERT_EQ(ecc_decompress_public_key(pub.data(), full.data(), kEccSecp256r1), 1);
        EXPECT_EQ(ecdsa_verify(pub.data(), r.data(), sig.data(), kEccSecp256r1), c.valid ? 1 : 0);
        EXPECT_EQ(osslVerifyDer(kNid, full, r, osslDerFromRaw(sig)), c.valid);
    }
}

}  // namespace
}  // namespace telvo::test

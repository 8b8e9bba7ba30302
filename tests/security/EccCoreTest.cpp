#include <gtest/gtest.h>

#include <functional>

#include "EcTestSupport.h"
#include "security/EccCore.h"
#include "sim/TestSupport.h"

namespace telvo::test {
namespace {

std::vector<uint64_t> native(ByteView bytes) {
    std::vector<uint64_t> out(bytes.size() / 8);
    ecc_bytes2native(out.data(), bytes.data(), static_cast<int>(out.size()));
    return out;
}

Bytes fromOne(size_t width, uint8_t last) {
    Bytes out(width);
    out.back() = last;
    return out;
}

// Scalars around the places where ladders and regularisation change behaviour.
std::vector<Bytes> edgeScalars(const TestCurve& c) {
    size_t w = c.bytes();
    Bytes n = wordsToBytes(c.ours->n, c.ours->numDigits);
    Bytes half =
        bnMulMod(bnSubMod(n, fromOne(w, 1), n, w), bnInvMod(fromOne(w, 2), n, w).value(), n, w);
    Bytes top(w, 0);
    top[0] = 0x80;
    Bytes pow2(w + 1, 0);
    pow2[0] = 1;
    Bytes boundary = bnSubMod(Bytes(w, 0), n, pow2, w);  // 2^bits - n: from here on d + n carries
    std::vector<Bytes> out;
    for (uint8_t k = 1; k <= 4; ++k) {
        out.push_back(fromOne(w, k));
        out.push_back(bnSubMod(n, fromOne(w, k), n, w));
        out.push_back(bnAdd(half, fromOne(w, k), w));
        out.push_back(bnSubMod(half, fromOne(w, k), n, w));
    }
    out.push_back(half);
    out.push_back(top);
    out.push_back(bnSubMod(boundary, fromOne(w, 1), pow2, w));
    out.push_back(boundary);
    out.push_back(bnAdd(boundary, fromOne(w, 1), w));
    return out;
}

TEST(EccField, ProductsSquaresInversesAndRootsMatchOpenSSL) {
    std::mt19937_64 rng(20261206);
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const int nd = c.ours->numDigits;
        const size_t w = c.bytes();
        const Bytes p = wordsToBytes(c.ours->p, nd);
        const Bytes n = wordsToBytes(c.ours->n, nd);
        // Operands below p with extreme limbs: the reductions' carries live there.
        std::vector<Bytes> values = {Bytes(w, 0), fromOne(w, 1), fromOne(w, 2),
                                     bnSubMod(p, fromOne(w, 1), p, w),
                                     bnSubMod(p, fromOne(w, 2), p, w)};
        for (size_t i = 0; i < w; i += 4) {
            Bytes v(w, 0);
            std::fill(v.begin(), v.begin() + static_cast<long>(i), 0xff);
            values.push_back(bnSubMod(v, Bytes(w, 0), p, w));
            Bytes u(w, 0xff);
            std::fill(u.begin(), u.begin() + static_cast<long>(i), 0);
            values.push_back(bnSubMod(u, Bytes(w, 0), p, w));
        }
        for (int i = 0; i < 60; ++i)
            values.push_back(bnSubMod(randomBytes(rng, w), Bytes(w, 0), p, w));
        std::vector<uint64_t> r(nd);
        for (const auto& a : values) {
            auto an = native(a);
            for (const auto& b : values) {
                auto bn = native(b);
                vli_modMult_fast(r.data(), an.data(), bn.data(), *c.ours);
                ASSERT_EQ(toHex(wordsToBytes(r.data(), nd)), toHex(bnMulMod(a, b, p, w)))
                    << toHex(a) << " * " << toHex(b);
            }
            vli_modSquare_fast(r.data(), an.data(), *c.ours);
            ASSERT_EQ(toHex(wordsToBytes(r.data(), nd)), toHex(bnMulMod(a, a, p, w))) << toHex(a);
            vli_modInv(r.data(), an.data(), c.ours->p, nd);
            auto inverse = bnInvMod(a, p, w);
            ASSERT_EQ(toHex(wordsToBytes(r.data(), nd)), toHex(inverse.value_or(Bytes(w, 0))))
                << toHex(a);
            // A root of a square is the value or its negation.
            Bytes square = bnMulMod(a, a, p, w);
            auto root = native(square);
            mod_sqrt(root.data(), *c.ours);
            Bytes got = wordsToBytes(root.data(), nd);
            EXPECT_TRUE(got == a || got == bnSubMod(Bytes(w, 0), a, p, w)) << toHex(a);
        }
        // Arithmetic modulo n takes operands of any size below 2^bits.
        std::vector<Bytes> scalars = {Bytes(w, 0xff), n, bnAdd(n, fromOne(w, 1), w), fromOne(w, 1)};
        for (int i = 0; i < 200; ++i) scalars.push_back(randomBytes(rng, w));
        for (size_t i = 0; i + 1 < scalars.size(); ++i) {
            auto a = native(scalars[i]), b = native(scalars[i + 1]);
            vli_modMult(r.data(), a.data(), b.data(), c.ours->n, nd);
            ASSERT_EQ(toHex(wordsToBytes(r.data(), nd)),
                      toHex(bnMulMod(scalars[i], scalars[i + 1], n, w)));
            Bytes reduced = bnSubMod(scalars[i], Bytes(w, 0), n, w);
            auto red = native(reduced);
            vli_modInv(r.data(), red.data(), c.ours->n, nd);
            ASSERT_EQ(toHex(wordsToBytes(r.data(), nd)),
                      toHex(bnInvMod(reduced, n, w).value_or(Bytes(w, 0))));
        }
    }
}

TEST(EccKeys, ScalarsOutOfRangeAreRefused) {
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        Bytes n = wordsToBytes(c.ours->n, c.ours->numDigits);
        Bytes out(w + 1), secret(w), peer(w + 1);
        ASSERT_EQ(ecc_compute_public_key(fromOne(w, 1).data(), peer.data(), *c.ours), 1);
        for (const Bytes& bad : {Bytes(w, 0), n, bnAdd(n, fromOne(w, 1), w), Bytes(w, 0xff)}) {
            EXPECT_EQ(ecc_compute_public_key(bad.data(), out.data(), *c.ours), 0) << toHex(bad);
            EXPECT_EQ(ecdh_shared_secret(peer.data(), bad.data(), secret.data(), *c.ours), 0);
            Bytes hash(w, 0x11), sig(2 * w);
            EXPECT_EQ(ecdsa_sign(bad.data(), hash.data(), sig.data(), *c.ours), 0);
        }
    }
}

// The ends 1 and n - 1 give G and -G: among the edge scalars compared with OpenSSL below.
TEST(EccEcdh, PublicKeysAndBothDirectionsEqualOpenSSL) {
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        std::vector<Bytes> privates;
        for (int i = 0; i < 12; ++i) {
            Bytes pub(w + 1), priv(w);
            ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
            privates.push_back(priv);
        }
        for (const auto& d : edgeScalars(c)) {
            Bytes n = wordsToBytes(c.ours->n, c.ours->numDigits);
            if (bnSubMod(d, Bytes(w, 0), n, w) == d && d != Bytes(w, 0)) privates.push_back(d);
        }
        for (size_t i = 0; i < privates.size(); ++i) {
            const Bytes& a = privates[i];
            const Bytes& b = privates[(i * 7 + 1) % privates.size()];
            Bytes qa(w + 1), qb(w + 1), qaFull(2 * w + 1), qbFull(2 * w + 1);
            ASSERT_EQ(ecc_compute_public_key(a.data(), qa.data(), *c.ours), 1);
            ASSERT_EQ(ecc_compute_public_key(b.data(), qb.data(), *c.ours), 1);
            // d*G itself, for random and edge scalars alike.
            EXPECT_EQ(toHex(qa), toHex(compressPoint(osslPublicFromPrivate(c.nid, a).value())));
            ASSERT_EQ(ecc_decompress_public_key(qa.data(), qaFull.data(), *c.ours), 1);
            ASSERT_EQ(ecc_decompress_public_key(qb.data(), qbFull.data(), *c.ours), 1);
            Bytes ab(w), ba(w);
            ASSERT_EQ(ecdh_shared_secret(qb.data(), a.data(), ab.data(), *c.ours), 1);
            ASSERT_EQ(ecdh_shared_secret(qa.data(), b.data(), ba.data(), *c.ours), 1);
            EXPECT_EQ(toHex(ab), toHex(ba));
            EXPECT_EQ(toHex(ab), toHex(osslDerive(c.nid, a, qbFull).value()));
            EXPECT_EQ(toHex(ba), toHex(osslDerive(c.nid, b, qaFull).value()));
        }
    }
}

TEST(EccEcdh, PeerPointWithZeroXWorks) {
    // Every curve here has points with X = 0 (b is a square); the ladder's final Z cannot be
    // recovered from such a point and is tracked instead.
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        Bytes peer(w + 1, 0);
        peer[0] = 0x02;
        Bytes full(2 * w + 1);
        ASSERT_EQ(ecc_decompress_public_key(peer.data(), full.data(), *c.ours), 1);
        ASSERT_TRUE(osslPointOnCurve(c.nid, full));
        for (int i = 0; i < 4; ++i) {
            Bytes pub(w + 1), priv(w), secret(w);
            ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
            if (i == 0) priv = fromOne(w, 1);
            if (i == 1) priv = fromOne(w, 2);
            ASSERT_EQ(ecdh_shared_secret(peer.data(), priv.data(), secret.data(), *c.ours), 1);
            EXPECT_EQ(toHex(secret), toHex(osslDerive(c.nid, priv, full).value()));
        }
    }
}

TEST(EccPoints, CompressionRoundTripsAndInvalidPointsAreRefused) {
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        const int nd = c.ours->numDigits;
        for (int i = 0; i < 8; ++i) {
            Bytes pub(w + 1), priv(w), full(2 * w + 1), again(w + 1);
            ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
            for (uint8_t prefix : {0x02, 0x03}) {
                pub[0] = prefix;
                ASSERT_EQ(ecc_decompress_public_key(pub.data(), full.data(), *c.ours), 1);
                EXPECT_TRUE(osslPointOnCurve(c.nid, full));
                ASSERT_EQ(ecc_compress_public_key(full.data(), again.data(), *c.ours), 1);
                EXPECT_EQ(toHex(again), toHex(pub));
            }
        }
        Bytes p = wordsToBytes(c.ours->p, nd);
        Bytes out(2 * w + 1), small(w + 1);
        // X = p and X = all ones are not field elements.
        for (const Bytes& x : {p, Bytes(w, 0xff)}) {
            Bytes key(1 + w);
            key[0] = 0x02;
            std::copy(x.begin(), x.end(), key.begin() + 1);
            EXPECT_EQ(ecc_decompress_public_key(key.data(), out.data(), *c.ours), 0);
        }
        // An X without a root on the curve.
        int refused = 0;
        for (uint8_t x = 1; x < 40; ++x) {
            Bytes key(w + 1, 0);
            key[0] = 0x03;
            key[w] = x;
            if (!ecc_decompress_public_key(key.data(), out.data(), *c.ours)) {
                ++refused;
                Bytes full(2 * w + 1, 0);
                full[0] = 0x04;
                full[w] = x;
                EXPECT_FALSE(osslPointOnCurve(c.nid, full));
            }
        }
        EXPECT_GT(refused, 5);
        Bytes bad(w + 1, 0);
        bad[0] = 0x05;
        EXPECT_EQ(ecc_decompress_public_key(bad.data(), out.data(), *c.ours), 0);
        // Uncompressed points off the curve or with a coordinate of p.
        Bytes pub(w + 1), priv(w), full(2 * w + 1);
        ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
        ASSERT_EQ(ecc_decompress_public_key(pub.data(), full.data(), *c.ours), 1);
        Bytes off = full;
        off.back() ^= 1;
        EXPECT_EQ(ecc_compress_public_key(off.data(), small.data(), *c.ours), 0);
        Bytes wrapped = full;  // X + p has the same residue
        Bytes xp = bnAdd(Bytes(full.begin() + 1, full.begin() + 1 + w), p, w);
        std::copy(xp.begin(), xp.end(), wrapped.begin() + 1);
        if (bnSubMod(xp, Bytes(w, 0), p, w) != xp) {
            EXPECT_EQ(ecc_compress_public_key(wrapped.data(), small.data(), *c.ours), 0);
        }
        Bytes prefixed = full;
        prefixed[0] = 0x06;
        EXPECT_EQ(ecc_compress_public_key(prefixed.data(), small.data(), *c.ours), 0);
    }
}

TEST(EccEcdsa, OursVerifyUnderOpenSSLAndOpenSSLsUnderOurs) {
    std::mt19937_64 rng(99);
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        Bytes n = wordsToBytes(c.ours->n, c.ours->numDigits);
        std::vector<Bytes> hashes = {Bytes(w, 0), Bytes(w, 0xff), n, fromOne(w, 1)};
        for (int i = 0; i < 8; ++i) hashes.push_back(randomBytes(rng, w));
        for (const auto& hash : hashes) {
            Bytes pub(w + 1), priv(w), full(2 * w + 1), sig(2 * w);
            ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
            ASSERT_EQ(ecc_decompress_public_key(pub.data(), full.data(), *c.ours), 1);
            ASSERT_EQ(ecdsa_sign(priv.data(), hash.data(), sig.data(), *c.ours), 1);
            EXPECT_EQ(ecdsa_verify(pub.data(), hash.data(), sig.data(), *c.ours), 1);
            EXPECT_TRUE(osslVerifyDer(c.nid, full, hash, osslDerFromRaw(sig))) << toHex(hash);

            Bytes theirs = osslRawFromDer(osslSignDer(c.nid, priv, hash).value(), w).value();
            EXPECT_EQ(ecdsa_verify(pub.data(), hash.data(), theirs.data(), *c.ours), 1);

            // Any changed bit of hash, r or s fails.
            for (size_t bit : {size_t{0}, w * 8 - 1, w * 4 + 3}) {
                Bytes h = hash;
                h[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
                if (bnSubMod(h, Bytes(w, 0), n, w) != bnSubMod(hash, Bytes(w, 0), n, w)) {
                    EXPECT_EQ(ecdsa_verify(pub.data(), h.data(), sig.data(), *c.ours), 0);
                }
                for (size_t half : {size_t{0}, w}) {
                    Bytes s = sig;
                    s[half + bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
                    EXPECT_EQ(ecdsa_verify(pub.data(), hash.data(), s.data(), *c.ours), 0);
                }
            }
        }
        // r or s zero, or not below n.
        Bytes pub(w + 1), priv(w), sig(2 * w), hash(w, 0x42);
        ASSERT_EQ(ecc_make_key(pub.data(), priv.data(), *c.ours), 1);
        ASSERT_EQ(ecdsa_sign(priv.data(), hash.data(), sig.data(), *c.ours), 1);
        for (size_t half : {size_t{0}, w}) {
            for (const Bytes& v : {Bytes(w, 0), n}) {
                Bytes s = sig;
                std::copy(v.begin(), v.end(), s.begin() + static_cast<long>(half));
                EXPECT_EQ(ecdsa_verify(pub.data(), hash.data(), s.data(), *c.ours), 0);
            }
        }
    }
}

TEST(EccEcdsa, ZeroSDrawsANewNonce) {
    const auto& c = testCurves()[2];
    const size_t w = c.bytes();
    Bytes n = wordsToBytes(c.ours->n, c.ours->numDigits);
    Bytes d = hex("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
    Bytes k1 = fromOne(w, 7), k2 = fromOne(w, 9), blind = fromOne(w, 5);
    Bytes q1 = osslPublicFromPrivate(c.nid, k1).value();
    Bytes r1 =
        bnSubMod(Bytes(q1.begin() + 1, q1.begin() + 1 + static_cast<long>(w)), Bytes(w, 0), n, w);
    // e = -r1 d makes s = (e + r1 d) / k1 = 0 for the first nonce.
    Bytes e = bnSubMod(Bytes(w, 0), bnMulMod(r1, d, n, w), n, w);
    auto random = std::make_shared<ScriptedRandom>(true);
    for (const Bytes& block : {k1, blind, k2, blind}) random->push(block);
    RandomScope scope(random);
    Bytes sig(2 * w), pub(w + 1);
    ASSERT_EQ(ecdsa_sign(d.data(), e.data(), sig.data(), *c.ours), 1);
    EXPECT_EQ(random->requests, 4);
    Bytes q2 = osslPublicFromPrivate(c.nid, k2).value();
    Bytes r2 =
        bnSubMod(Bytes(q2.begin() + 1, q2.begin() + 1 + static_cast<long>(w)), Bytes(w, 0), n, w);
    EXPECT_EQ(toHex(Bytes(sig.begin(), sig.begin() + static_cast<long>(w))), toHex(r2));
    ASSERT_EQ(ecc_compute_public_key(d.data(), pub.data(), *c.ours), 1);
    EXPECT_EQ(ecdsa_verify(pub.data(), e.data(), sig.data(), *c.ours), 1);
}

TEST(EccRandom, DrawsFailAndRetriesAreBounded) {
    for (const auto& c : testCurves()) {
        const size_t w = c.bytes();
        Bytes pub(w + 1), priv(w), secret(w), sig(2 * w), hash(w, 1), peerPub(w + 1), peerPriv(w);
        ASSERT_EQ(ecc_make_key(peerPub.data(), peerPriv.data(), *c.ours), 1);
        auto makeKey = [&] { return ecc_make_key(pub.data(), priv.data(), *c.ours); };
        auto sign = [&] { return ecdsa_sign(peerPriv.data(), hash.data(), sig.data(), *c.ours); };
        auto ecdh = [&] {
            return ecdh_shared_secret(peerPub.data(), peerPriv.data(), secret.data(), *c.ours);
        };
        std::vector<Bytes> outOfRange, highThenOne(15, Bytes(w, 0xff)), nonceThenZeros(16);
        for (int i = 0; i < 16; ++i) outOfRange.push_back(i % 2 ? Bytes(w, 0) : Bytes(w, 0xff));
        outOfRange.push_back(fromOne(w, 5));
        highThenOne.push_back(fromOne(w, 1));
        std::fill(nonceThenZeros.begin(), nonceThenZeros.end(), Bytes(w, 0));
        nonceThenZeros[0] = fromOne(w, 3);
        struct Case {
            const char* name;
            std::vector<Bytes> blocks;
            bool failWhenEmpty;
            std::function<int()> call;
            int result, requests;  // requests -1: not counted
        } cases[] = {
            {"no draw, no key", {}, true, makeKey, 0, 1},
            {"sixteen draws of zero or >= n, no key", outOfRange, true, makeKey, 0, 16},
            {"the sixteenth draw still counts", highThenOne, true, makeKey, 1, 16},
            {"no draw, no shared secret", {}, true, ecdh, 0, -1},
            {"no draw, no signature", {}, true, sign, 0, -1},
            {"a nonce, then fifteen zero blinding values", nonceThenZeros, false, sign, 0, 16},
        };
        for (const auto& k : cases) {
            SCOPED_TRACE(std::string(c.name) + ": " + k.name);
            auto random = std::make_shared<ScriptedRandom>(k.failWhenEmpty);
            for (const Bytes& block : k.blocks) random->push(block);
            RandomScope scope(random);
            EXPECT_EQ(k.call(), k.result);
            EXPECT_TRUE(k.requests < 0 || random->requests == k.requests) << random->requests;
            EXPECT_TRUE(!k.result || priv == fromOne(w, 1)) << toHex(priv);
        }
    }
}

}  // namespace
}  // namespace telvo::test

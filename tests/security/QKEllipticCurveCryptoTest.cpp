#include <gtest/gtest.h>

#include <functional>

#include "EcTestSupport.h"
#include "platform/crypto/Crypto.h"
#include "security/QKEllipticCurveSecret.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

namespace telvo::test {
namespace {

using Crypto = QKEllipticCurveCrypto;

const TestCurve& curveOf(int bits) {
    for (const auto& c : testCurves()) {
        if (c.bits == bits) return c;
    }
    throw std::logic_error("no curve");
}

Bytes digestOf(bool sha384, ByteView data, size_t keep) {
    Bytes d = crypto::digest(
        sha384 ? crypto::DigestAlgorithm::SHA384 : crypto::DigestAlgorithm::SHA256, data);
    d.resize(keep);
    return d;
}

Bytes cat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void expectRaise(const std::function<void()>& call, const std::string& name,
                 const std::string& reasonStart, const std::string& reasonEnd = "") {
    try {
        call();
        ADD_FAILURE() << "no failure raised; expected " << name;
    } catch (const NamedException& e) {
        EXPECT_EQ(e.name(), name);
        EXPECT_EQ(e.reason().rfind(reasonStart, 0), 0u) << e.reason();
        EXPECT_TRUE(e.reason().size() >= reasonEnd.size() &&
                    e.reason().compare(e.reason().size() - reasonEnd.size(), reasonEnd.size(),
                                       reasonEnd) == 0)
            << e.reason();
    }
}

TEST(QKEllipticCurveCrypto, CurveForKeyAndTheCurveTable) {
    struct Case {
        size_t length;
        uint8_t first;
        int bits;
    } cases[] = {
        {0, 0, 0},       {32, 0x00, 256}, {33, 0x02, 256}, {33, 0x03, 256}, {65, 0x04, 256},
        {33, 0x05, 0},   {33, 0x04, 128}, {40, 0x01, 0},   {16, 0x55, 128}, {17, 0x03, 128},
        {49, 0x04, 192}, {25, 0x02, 192}, {48, 0x04, 384}, {97, 0x04, 384}, {49, 0x02, 384},
        {41, 0x02, 0},   {81, 0x04, 0},   {1, 0x02, 0},    {64, 0x04, 0},
    };
    for (const auto& c : cases) {
        Bytes key(c.length, 0x11);
        if (!key.empty()) key[0] = c.first;
        EXPECT_EQ(Crypto::curveForKey(key), c.bits) << c.length << " " << int{c.first};
    }
    EXPECT_EQ(Crypto::curveForKeyBase64(crypto::base64Encode(Bytes(65, 0x04))), 256);
    EXPECT_EQ(Crypto::curveForKeyBase64("not base64!"), 0);

    for (int bits : {0, 64, 320, 521, 512}) EXPECT_EQ(Crypto::initWithCurve(bits), nullptr) << bits;
    EXPECT_EQ(Crypto::cryptoForKey(Bytes(40, 1)), nullptr);
    for (const auto& c : testCurves()) {
        auto crypto = Crypto::cryptoForCurve(c.bits);
        ASSERT_TRUE(crypto);
        EXPECT_EQ(crypto->name(), c.name);
        EXPECT_EQ(crypto->bits(), c.bits);
        EXPECT_EQ(crypto->hashLength(), c.bits / 8);
        EXPECT_EQ(crypto->sharedSecretLength(), c.bits / 8);
        EXPECT_EQ(crypto->signatureLength(), c.bits / 4);
        EXPECT_TRUE(crypto->compressedPublicKey());
        EXPECT_FALSE(crypto->publicKey());
        EXPECT_FALSE(crypto->privateKey());
    }
}

TEST(QKEllipticCurveCrypto, KeysKeepTheirFormsAndBelongTogether) {
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        auto pair = Crypto::generateKeyPairForCurve(c.bits);
        ASSERT_TRUE(pair->publicKey() && pair->privateKey());
        Bytes priv = *pair->privateKey();
        Bytes compressed = *pair->publicKey();
        ASSERT_EQ(compressed.size(), c.bytes() + 1);
        Bytes full = osslPublicFromPrivate(c.nid, priv).value();
        EXPECT_EQ(toHex(compressed), toHex(compressPoint(full)));
        EXPECT_EQ(toHex(*pair->decompressPublicKey(compressed)), toHex(full));
        EXPECT_EQ(toHex(*pair->compressPublicKey(full)), toHex(compressed));
        EXPECT_EQ(toHex(pair->publicKeyForPrivateKey(priv)), toHex(compressed));

        auto fromFull = Crypto::cryptoForKey(full);
        EXPECT_FALSE(fromFull->compressedPublicKey());
        EXPECT_EQ(toHex(*fromFull->publicKey()), toHex(full));
        fromFull->setCompressedPublicKey(true);
        EXPECT_EQ(toHex(*fromFull->publicKey()), toHex(compressed));
        auto fromCompressed = Crypto::cryptoForKey(compressed);
        EXPECT_EQ(toHex(*fromCompressed->publicKey()), toHex(compressed));
        fromCompressed->setPrivateKey(priv);  // matches
        EXPECT_EQ(fromCompressed->privateKey(), priv);

        auto fromPrivate = Crypto::cryptoForKeyBase64(crypto::base64Encode(priv));
        EXPECT_EQ(fromPrivate->publicKeyBase64(), crypto::base64Encode(compressed));
        EXPECT_EQ(fromPrivate->privateKeyBase64(), crypto::base64Encode(priv));
        EXPECT_EQ(fromPrivate->description(),
                  "<QKEllipticCurveCrypto algorithm=" + std::string(c.name) +
                      " publicKey=" + crypto::base64Encode(compressed) +
                      " privateKey=" + crypto::base64Encode(priv) + ">");
        auto empty = Crypto::cryptoForCurve(c.bits);
        EXPECT_EQ(empty->description(), "<QKEllipticCurveCrypto algorithm=" + std::string(c.name) +
                                            " publicKey=(null) privateKey=(null)>");
        empty->setPublicKeyBase64(crypto::base64Encode(full));
        EXPECT_EQ(empty->publicKey(), full);

        // Keys of another pair do not belong together.
        auto other = Crypto::generateKeyPairForCurve(c.bits);
        expectRaise([&] { fromCompressed->setPrivateKey(*other->privateKey()); }, "Key mismatch",
                    "Private key <", ">");
        expectRaise([&] { fromPrivate->setPublicKey(*other->publicKey()); }, "Key mismatch",
                    "Private key <", ">");
        EXPECT_EQ(fromPrivate->publicKey(), compressed);

        // Format conversion refuses what is not a key of this curve in the stated form.
        for (const Bytes& bad :
             {Bytes{}, Bytes(c.bytes() + 1, 0x04), Bytes(2 * c.bytes() + 1, 0x02),
              Bytes(c.bytes(), 0x02), cat({full, Bytes{0}})}) {
            EXPECT_FALSE(pair->compressPublicKey(bad)) << bad.size();
            EXPECT_FALSE(pair->decompressPublicKey(bad)) << bad.size();
        }
        Bytes offCurve = full;
        offCurve.back() ^= 1;
        EXPECT_FALSE(pair->compressPublicKey(offCurve));
        expectRaise([&] { Crypto::cryptoForKey(offCurve); }, "Invalid Key", "Public key <",
                    "> is invalid");
    }
}

TEST(QKEllipticCurveCrypto, MisuseRaisesTheNamedFailures) {
    auto crypto = Crypto::cryptoForCurve(256);
    const Bytes hash(32, 7), sig(64, 1);
    auto pair = Crypto::generateKeyPairForCurve(256);
    const Bytes pub = *pair->publicKey();
    expectRaise([&] { crypto->sharedSecretForPublicKey(pub); }, "Missing Key",
                "Cannot create shared secret without a private key");
    expectRaise([&] { crypto->signatureForHash(hash); }, "Missing Key",
                "Cannot sign a hash without a private key");
    expectRaise([&] { crypto->verifySignature(sig, hash); }, "Missing Key",
                "Cannot verify signature without a public key");
    expectRaise([&] { crypto->publicKeyForPrivateKey(Bytes(31, 1)); }, "Invalid Key",
                "Private key <", "> is invalid");
    for (const Bytes& scalar : {Bytes(32, 0), Bytes(32, 0xff)}) {
        expectRaise([&] { crypto->publicKeyForPrivateKey(scalar); }, "Invalid Key", "Private key <",
                    "> is invalid");
    }
    expectRaise([&] { crypto->setPrivateKey(Bytes(48, 1)); }, "Invalid Key", "Private key <",
                "> is 384 bits; curve is 256 bits");
    expectRaise([&] { crypto->setPublicKey(Bytes(49, 0x02)); }, "Invalid Key", "Public key <",
                "> is 384 bits; curve is 256 bits");
    expectRaise([&] { crypto->setPublicKey(Bytes{}); }, "Invalid Key", "Public key <",
                "> is 0 bits; curve is 256 bits");

    auto keyed = Crypto::cryptoForKey(*pair->privateKey());
    expectRaise([&] { keyed->sharedSecretForPublicKey(Bytes(65, 4)); }, "Invalid Key",
                "Public key <", "> is invalid");
    expectRaise([&] { keyed->signatureForHash(Bytes(31, 1)); }, "Invalid hash",
                "Signing requires a hash the same length as the curve");
    expectRaise([&] { keyed->verifySignature(sig, Bytes(48, 1)); }, "Invalid hash",
                "Verifying requires a hash the same length as the curve");
    expectRaise([&] { keyed->verifySignature(Bytes(63, 1), hash); }, "Invalid signature",
                "Signature must be twice the length of its curve");
    // Values from outside give nothing instead.
    EXPECT_FALSE(keyed->sharedSecretForPublicKey(Bytes(33, 0x05)));
    Bytes noRoot(33, 0);
    noRoot[0] = 0x02;
    noRoot[32] = 0x04;
    if (!keyed->decompressPublicKey(noRoot)) {
        EXPECT_FALSE(keyed->sharedSecretForPublicKey(noRoot));
    }
    EXPECT_FALSE(keyed->verifyEncodedSignature(Bytes{0x30, 0x01}, hash));
}

// Failure texts can reach logs: they never carry a private key's bytes.
TEST(QKEllipticCurveCrypto, FailureTextsKeepPrivateKeysOut) {
    auto pair = Crypto::generateKeyPairForCurve(256);
    auto other = Crypto::generateKeyPairForCurve(256);
    const Bytes own = *pair->privateKey(), foreign = *other->privateKey();
    auto keyed = Crypto::cryptoForKey(own);
    struct Case {
        std::function<void()> call;
        Bytes secret;
    };
    const Case cases[] = {
        {[&] { Crypto::cryptoForKey(*pair->publicKey())->setPrivateKey(foreign); }, foreign},
        {[&] { keyed->setPublicKey(*other->publicKey()); }, own},
        {[&] { keyed->publicKeyForPrivateKey(Bytes(32, 0xff)); }, Bytes(32, 0xff)},
        {[&] { keyed->setPrivateKey(Bytes(48, 0xab)); }, Bytes(48, 0xab)},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no failure raised";
        } catch (const NamedException& e) {
            EXPECT_EQ(e.reason().find(toHex(ByteView(c.secret).first(4))), std::string::npos)
                << e.reason();
            EXPECT_NE(e.reason().find("<" + std::to_string(c.secret.size()) + " bytes>"),
                      std::string::npos)
                << e.reason();
        }
    }
}

// RFC 5903's ECDH and RFC 6979's signatures (data file): OpenSSL and we agree with them.
TEST(QKEllipticCurveCrypto, KnownAnswers) {
    auto vectors = test::loadVectors("security/data/ec_known_answers.txt");
    ASSERT_EQ(vectors.size(), 8u);
    // digest, x and u carry over to the records without them.
    for (size_t k = 1; k < vectors.size(); ++k)
        for (const char* name : {"digest", "x", "u"})
            vectors[k].emplace(name, vectors[k - 1][name]);
    for (const auto& v : vectors) {
        if (v.count("rfc5903")) {
            SCOPED_TRACE("RFC 5903 " + v.at("rfc5903"));
            const TestCurve& c = curveOf(std::stoi(v.at("rfc5903")));
            const Bytes i = hex(v.at("i")), r = hex(v.at("r")), gi = hex(v.at("gi")),
                        gr = hex(v.at("gr")), girx = hex(v.at("girx"));
            EXPECT_EQ(osslPublicFromPrivate(c.nid, i), gi);
            EXPECT_EQ(osslPublicFromPrivate(c.nid, r), gr);
            EXPECT_EQ(osslDerive(c.nid, i, gr), girx);
            auto initiator = Crypto::cryptoForKey(i);
            auto responder = Crypto::cryptoForKey(r);
            initiator->setCompressedPublicKey(false);
            EXPECT_EQ(initiator->publicKey(), gi);
            EXPECT_EQ(responder->decompressPublicKey(*responder->publicKey()), gr);
            EXPECT_EQ(initiator->sharedSecretForPublicKey(compressPoint(gr)), girx);
            EXPECT_EQ(responder->sharedSecretForPublicKey(compressPoint(gi)), girx);
            continue;
        }
        SCOPED_TRACE("RFC 6979 " + v.at("rfc6979") + " " + v.at("message"));
        const TestCurve& c = curveOf(std::stoi(v.at("rfc6979")));
        const bool sha384 = v.at("digest") == "SHA-384";
        const Bytes u = hex(v.at("u")), message = toBytes(v.at("message"));
        const Bytes raw = cat({hex(v.at("r")), hex(v.at("s"))});
        const Bytes hash = digestOf(sha384, message, c.bytes());
        ASSERT_EQ(osslPublicFromPrivate(c.nid, hex(v.at("x"))), u);
        ASSERT_TRUE(osslVerifyDer(c.nid, u, hash, osslDerFromRaw(raw)));

        auto signer = Crypto::cryptoForKey(hex(v.at("x")));
        EXPECT_EQ(signer->publicKey(), compressPoint(u));
        auto verifier = Crypto::cryptoForKey(u);
        const Bytes der = *Crypto::derEncodeSignature(raw);
        auto verify = [&](ByteView signature, ByteView data, bool encoded) {
            if (sha384)
                return encoded ? verifier->hashSHA384AndVerifyEncodedSignature(signature, data)
                               : verifier->hashSHA384AndVerifySignature(signature, data);
            return encoded ? verifier->hashSHA256AndVerifyEncodedSignature(signature, data)
                           : verifier->hashSHA256AndVerifySignature(signature, data);
        };
        EXPECT_TRUE(verify(raw, message, false));
        EXPECT_TRUE(verify(der, message, true));
        EXPECT_FALSE(verify(raw, toBytes("other"), false));
        // Our own signatures of the same message verify under OpenSSL.
        auto ours = sha384 ? signer->hashSHA384AndSignData(message)
                           : signer->hashSHA256AndSignData(message);
        ASSERT_TRUE(ours);
        EXPECT_TRUE(osslVerifyDer(c.nid, u, hash, osslDerFromRaw(*ours)));
    }
}

Bytes paddedPrivateKey(const std::string& text, size_t width) {
    Bytes key = hex(text);
    while (key.size() > width && key.front() == 0) key.erase(key.begin());
    if (key.size() < width) key.insert(key.begin(), width - key.size(), 0);
    return key;
}

TEST(QKEllipticCurveCrypto, WycheproofEcdhP256EcPoint) {
    Value suite = loadWycheproof("ecdh_secp256r1_ecpoint_test.json");
    int checked = 0, refused = 0;
    for (const Value& group : suite["testGroups"].array()) {
        for (const Value& t : group["tests"].array()) {
            SCOPED_TRACE(t["tcId"].int64Value());
            Bytes publicKey = hex(t["public"].text());
            Bytes privateKey = paddedPrivateKey(t["private"].text(), 32);
            auto shared =
                QKEllipticCurveSecret::computeECDHWithPublicKeyData(publicKey, privateKey);
            if (t["result"].text() == "invalid") {
                EXPECT_FALSE(shared) << t["comment"].text();
                ++refused;
            } else {
                ASSERT_TRUE(shared) << t["comment"].text();
                EXPECT_EQ(toHex(*shared), t["shared"].text());
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 355);
    EXPECT_EQ(refused, 24);
}

TEST(QKEllipticCurveCrypto, WycheproofEcdsaP256Sha256P1363) {
    Value suite = loadWycheproof("ecdsa_secp256r1_sha256_p1363_test.json");
    int checked = 0;
    for (const Value& group : suite["testGroups"].array()) {
        auto verifier = Crypto::cryptoForKey(hex(group["publicKey"]["uncompressed"].text()));
        ASSERT_TRUE(verifier);
        for (const Value& t : group["tests"].array()) {
            SCOPED_TRACE(t["tcId"].int64Value());
            Bytes message = hex(t["msg"].text());
            Bytes sig = hex(t["sig"].text());
            bool valid = t["result"].text() == "valid";
            if (sig.size() != 64) {
                // A raw signature of the wrong length is misuse of the raw operation.
                EXPECT_FALSE(valid);
                expectRaise([&] { verifier->hashSHA256AndVerifySignature(sig, message); },
                            "Invalid signature", "Signature must be twice the length of its curve");
            } else {
                EXPECT_EQ(verifier->hashSHA256AndVerifySignature(sig, message), valid)
                    << t["comment"].text();
                // The same through the DER form where the values fit one.
                if (auto der = Crypto::derEncodeSignature(sig)) {
                    EXPECT_EQ(verifier->hashSHA256AndVerifyEncodedSignature(*der, message), valid);
                }
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 252);
}

TEST(QKEllipticCurveCrypto, HashHelpersCutTheDigestToTheCurve) {
    const Bytes message = toBytes("appliance");
    auto p384 = Crypto::generateKeyPairForCurve(384);
    EXPECT_FALSE(p384->hashSHA256AndSignData(message));
    EXPECT_FALSE(p384->hashSHA256AndSignDataEncoded(message));
    EXPECT_FALSE(p384->hashSHA256AndVerifySignature(Bytes(96, 1), message));
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        auto pair = Crypto::generateKeyPairForCurve(c.bits);
        Bytes full = *pair->decompressPublicKey(*pair->publicKey());
        for (bool sha384 : {false, true}) {
            if (!sha384 && c.bits == 384) continue;
            Bytes hash = digestOf(sha384, message, c.bytes());
            auto raw = sha384 ? pair->hashSHA384AndSignData(message)
                              : pair->hashSHA256AndSignData(message);
            auto der = sha384 ? pair->hashSHA384AndSignDataEncoded(message)
                              : pair->hashSHA256AndSignDataEncoded(message);
            ASSERT_TRUE(raw && der);
            EXPECT_TRUE(osslVerifyDer(c.nid, full, hash, osslDerFromRaw(*raw)));
            EXPECT_TRUE(osslVerifyDer(c.nid, full, hash, *der));
            EXPECT_TRUE(osslVerifyDer(c.nid, full, hash, *pair->encodedSignatureForHash(hash)));
            Bytes theirs = osslSignDer(c.nid, *pair->privateKey(), hash).value();
            EXPECT_TRUE(sha384 ? pair->hashSHA384AndVerifyEncodedSignature(theirs, message)
                               : pair->hashSHA256AndVerifyEncodedSignature(theirs, message));
            EXPECT_FALSE(sha384 ? pair->hashSHA384AndVerifyEncodedSignature(theirs, toBytes("x"))
                                : pair->hashSHA256AndVerifyEncodedSignature(theirs, toBytes("x")));
        }
    }
}

TEST(QKEllipticCurveCrypto, DerEncodingEqualsOpenSSLAndDecodesBack) {
    std::mt19937_64 rng(5);
    for (const auto& c : testCurves()) {
        SCOPED_TRACE(c.name);
        const size_t w = c.bytes();
        std::vector<Bytes> raws;
        for (int i = 0; i < 50; ++i) {
            Bytes raw = randomBytes(rng, 2 * w);
            // Leading zero runs and high bits of either half.
            if (i % 5 == 1) std::fill(raw.begin(), raw.begin() + i % 7, 0);
            if (i % 5 == 2)
                std::fill(raw.begin() + static_cast<long>(w),
                          raw.begin() + static_cast<long>(w) + i % 9, 0);
            if (i % 5 == 3) raw[0] |= 0x80;
            raws.push_back(raw);
        }
        Bytes zeroR(2 * w, 0), smallS(2 * w, 0);
        zeroR[2 * w - 1] = 0x90;
        smallS[0] = 0x01;
        smallS[2 * w - 1] = 0x01;
        raws.push_back(zeroR);
        raws.push_back(smallS);
        raws.push_back(Bytes(2 * w, 0));
        for (const auto& raw : raws) {
            auto der = Crypto::derEncodeSignature(raw);
            ASSERT_TRUE(der) << toHex(raw);
            EXPECT_EQ(toHex(*der), toHex(osslDerFromRaw(raw)));
            auto back = Crypto::derDecodeSignature(*der, w);
            ASSERT_TRUE(back) << toHex(*der);
            EXPECT_EQ(toHex(*back), toHex(raw));
        }
    }
    EXPECT_EQ(toHex(*Crypto::derEncodeSignature(hex("0000"
                                                    "0080"))),
              "3007020100020200"
              "80");
}

TEST(QKEllipticCurveCrypto, DerEdgeCasesAndRefusals) {
    // Odd raw length, and a SEQUENCE of 128 bytes or more (never the long length form).
    EXPECT_FALSE(Crypto::derEncodeSignature(Bytes(65, 1)));
    EXPECT_FALSE(Crypto::derEncodeSignature(Bytes(128, 0xff)));
    EXPECT_TRUE(Crypto::derEncodeSignature(Bytes(120, 0x7f)));  // 2 * (2 + 60) = 124

    struct Case {
        const char* what;
        const char* der;
        const char* raw;  // empty: refused
    } cases[] = {
        {"plain", "3006020101020102", "0000000100000002"},
        {"one leading zero dropped", "300702020080020101", "0000008000000001"},
        {"trailing bytes ignored", "3006020101020102ffff", "0000000100000002"},
        {"empty INTEGER reads as zero", "30050200020102", "0000000000000002"},
        {"too short", "3000", ""},
        {"not a SEQUENCE", "3106020101020102", ""},
        {"stated length beyond input", "3008020101020102", ""},
        {"first not an INTEGER", "3006030101020102", ""},
        {"second not an INTEGER", "3006020101030102", ""},
        {"INTEGER beyond input", "3006020101020302", ""},
        {"second INTEGER missing", "3003020101", ""},
        {"content too long for size", "30090205010203040502010 1", ""},
        {"only one leading zero is dropped", "300B 0206 000001020304 020102", ""},
        {"a second leading zero stays in the value", "3008 0203 000001 020102", "0000000100000002"},
    };
    for (const auto& c : cases) {
        std::string text = c.der;
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        auto raw = Crypto::derDecodeSignature(hex(text), 4);
        if (std::string(c.raw).empty()) {
            EXPECT_FALSE(raw) << c.what;
        } else {
            ASSERT_TRUE(raw) << c.what;
            EXPECT_EQ(toHex(*raw), c.raw) << c.what;
        }
    }

    // The SEQUENCE header reader: content offset and stated length, from any offset.
    struct Sequence {
        const char* der;
        size_t offset;
        std::optional<size_t> content;
        size_t length;
    } sequences[] = {
        {"3003020100", 0, 2, 3},
        {"ff3001aa", 1, 3, 1},
        {"3000ff", 0, 2, 0},
        {"3000", 0, std::nullopt, 0},
        {"3103020100", 0, std::nullopt, 0},
        {"3004020100", 0, std::nullopt, 0},
        {"ff3002aa", 1, std::nullopt, 0},
        {"3001aa", 3, std::nullopt, 0},
        {"3001aa", 9, std::nullopt, 0},
    };
    for (const auto& c : sequences) {
        size_t length = 77;
        auto content = Crypto::derDecodeSequence(hex(c.der), c.offset, &length);
        EXPECT_EQ(content, c.content) << c.der << " at " << c.offset;
        if (content) {
            EXPECT_EQ(length, c.length) << c.der;
        }
    }
}

}  // namespace
}  // namespace telvo::test

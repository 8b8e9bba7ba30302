#include <openssl/core_names.h>

#include "platform/crypto/KeyStore.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

// P-256 generator and order.
const char* kGx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const char* kGy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
const char* kOrder = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

SecKeyGenerationParameters p256(bool permanent) {
    SecKeyGenerationParameters params;
    params.keyType = SecKeyType::EC;
    params.keySizeInBits = 256;
    params.privateKeyAttrs = {permanent, toBytes("private/0")};
    params.publicKeyAttrs = {permanent, toBytes("public/0")};
    return params;
}

TEST(SecKey, GeneratedPairHasItsClassesAndAttributes) {
    SecKeyRef pub, priv;
    ASSERT_EQ(SecKey::generatePair(p256(true), &pub, &priv), errSecSuccess);
    ASSERT_TRUE(pub && priv);
    EXPECT_EQ(pub->keyClass(), SecKeyClass::publicKey);
    EXPECT_EQ(priv->keyClass(), SecKeyClass::privateKey);
    EXPECT_TRUE(pub->isPermanent() && priv->isPermanent());
    EXPECT_EQ(priv->attributes().applicationTag, toBytes("private/0"));
    EXPECT_EQ(pub->keySizeInBits(), 256);

    // The export forms (65 and 97 bytes) are checked through the certificate helper.
    auto publicBits = pub->copyExternalRepresentation();
    ASSERT_TRUE(publicBits);
    EXPECT_EQ(priv->copyPublicKey()->copyExternalRepresentation(), publicBits);

    // The public reference carries no private half.
    BIGNUM* d = nullptr;
    EXPECT_FALSE(EVP_PKEY_get_bn_param(pub->handle(), OSSL_PKEY_PARAM_PRIV_KEY, &d));
    BN_free(d);

    SecKeyRef tempPub, tempPriv;
    ASSERT_EQ(SecKey::generatePair(p256(false), &tempPub, &tempPriv), errSecSuccess);
    EXPECT_FALSE(tempPub->isPermanent() || tempPriv->isPermanent());
    EXPECT_NE(tempPub->copyExternalRepresentation(), publicBits);
}

TEST(SecKey, UnsupportedParametersRefused) {
    struct Case {
        SecKeyType type;
        int bits;
    };
    for (Case c : {Case{SecKeyType::EC, 384}, Case{SecKeyType::EC, 512},
                   Case{SecKeyType::ECSECPrimeRandom, 0}, Case{SecKeyType::RSA, 2048}}) {
        SecKeyGenerationParameters params = p256(false);
        params.keyType = c.type;
        params.keySizeInBits = c.bits;
        SecKeyRef pub, priv;
        EXPECT_EQ(SecKey::generatePair(params, &pub, &priv), errSecParam) << c.bits;
        EXPECT_FALSE(pub || priv);
    }
}

TEST(SecKey, PrivateScalarIsLeftPaddedTo32Bytes) {
    // About one key in 256 has a scalar below 2^248; export must still give 32 bytes of D.
    for (int attempt = 0; attempt < 20000; ++attempt) {
        SecKeyRef pub, priv;
        ASSERT_EQ(SecKey::generatePair(p256(false), &pub, &priv), errSecSuccess);
        BIGNUM* raw = nullptr;
        ASSERT_TRUE(EVP_PKEY_get_bn_param(priv->handle(), OSSL_PKEY_PARAM_PRIV_KEY, &raw));
        int significant = BN_num_bytes(raw);
        Bytes d(32);
        BN_bn2binpad(raw, d.data(), 32);
        BN_clear_free(raw);
        if (significant == 32) continue;
        auto bits = priv->copyExternalRepresentation();
        ASSERT_TRUE(bits);
        ASSERT_EQ(bits->size(), 97u);
        EXPECT_EQ((*bits)[65], 0x00);
        EXPECT_EQ(Bytes(bits->begin() + 65, bits->end()), d);
        return;
    }
    FAIL() << "no short scalar drawn";
}

TEST(SecKey, ImportRoundTripsAndRefusesInvalidKeys) {
    const Bytes g = concat({{0x04}, hex(kGx), hex(kGy)});
    Bytes one(32, 0);
    one[31] = 1;
    // d = 1 gives the generator: a scalar with 31 leading zero bytes survives both ways.
    auto key = SecKey::createWithData(concat({g, one}), SecKeyType::ECSECPrimeRandom,
                                      SecKeyClass::privateKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->copyExternalRepresentation(), concat({g, one}));
    auto pub = SecKey::createWithData(g, SecKeyType::EC, SecKeyClass::publicKey);
    ASSERT_TRUE(pub);
    EXPECT_EQ(pub->copyExternalRepresentation(), g);

    Bytes offCurve = g;
    offCurve[64] ^= 1;
    Bytes compressed = concat({{0x03}, hex(kGx)});
    Bytes two(32, 0);
    two[31] = 2;
    struct Case {
        const char* name;
        Bytes data;
        SecKeyClass keyClass;
    };
    const std::vector<Case> bad = {
        {"empty", {}, SecKeyClass::publicKey},
        {"short", Bytes(g.begin(), g.end() - 1), SecKeyClass::publicKey},
        {"compressed", compressed, SecKeyClass::publicKey},
        {"prefix 02", concat({{0x02}, Bytes(g.begin() + 1, g.end())}), SecKeyClass::publicKey},
        {"off curve", offCurve, SecKeyClass::publicKey},
        {"private as public", concat({g, one}), SecKeyClass::publicKey},
        {"public as private", g, SecKeyClass::privateKey},
        {"scalar does not match point", concat({g, two}), SecKeyClass::privateKey},
        {"scalar zero", concat({g, Bytes(32, 0)}), SecKeyClass::privateKey},
        {"scalar is the order", concat({g, hex(kOrder)}), SecKeyClass::privateKey},
    };
    for (const auto& c : bad) {
        ErrorPtr error;
        EXPECT_FALSE(SecKey::createWithData(c.data, SecKeyType::EC, c.keyClass, &error)) << c.name;
        EXPECT_TRUE(error) << c.name;
    }
    EXPECT_FALSE(SecKey::createWithData(g, SecKeyType::RSA, SecKeyClass::publicKey));
}

TEST(SecKey, SignsMessagesAsDerEcdsa) {
    SecKeyRef pub, priv;
    ASSERT_EQ(SecKey::generatePair(p256(false), &pub, &priv), errSecSuccess);
    const Bytes message = toBytes("certification request info");
    for (auto algorithm : {SecKeyAlgorithm::ECDSASignatureMessageX962SHA1,
                           SecKeyAlgorithm::ECDSASignatureMessageX962SHA256,
                           SecKeyAlgorithm::ECDSASignatureMessageX962SHA512}) {
        auto signature = priv->createSignature(algorithm, message);
        ASSERT_TRUE(signature);
        EXPECT_EQ((*signature)[0], 0x30);
        EXPECT_EQ((*signature)[1] + 2u, signature->size());
        EXPECT_TRUE(pub->verifySignature(algorithm, message, *signature));
        EXPECT_TRUE(priv->verifySignature(algorithm, message, *signature));
        Bytes altered = message;
        altered[0] ^= 1;
        ErrorPtr error;
        EXPECT_FALSE(pub->verifySignature(algorithm, altered, *signature, &error));
        EXPECT_TRUE(error);
    }

    // The signature is over SHA-256 of the message, checked by OpenSSL itself.
    auto signature =
        priv->createSignature(SecKeyAlgorithm::ECDSASignatureMessageX962SHA256, message);
    ASSERT_TRUE(signature);
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pub->handle()), 1);
    EXPECT_EQ(EVP_DigestVerify(ctx.get(), signature->data(), signature->size(), message.data(),
                               message.size()),
              1);

    ErrorPtr error;
    EXPECT_FALSE(
        pub->createSignature(SecKeyAlgorithm::ECDSASignatureMessageX962SHA256, message, &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(
        priv->createSignature(SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256, message));
}

TEST(SecKey, VerifiesWycheproofEcdsaP256Sha256) {
    Value suite = test::loadWycheproof("ecdsa_secp256r1_sha256_test.json");
    size_t checked = 0;
    for (const Value& group : suite["testGroups"].array()) {
        auto key = SecKey::createWithData(hex(group["publicKey"]["uncompressed"].text()),
                                          SecKeyType::EC, SecKeyClass::publicKey);
        ASSERT_TRUE(key);
        for (const Value& t : group["tests"].array()) {
            const std::string& result = t["result"].text();
            if (result == "acceptable") continue;
            bool ok = key->verifySignature(SecKeyAlgorithm::ECDSASignatureMessageX962SHA256,
                                           hex(t["msg"].text()), hex(t["sig"].text()));
            EXPECT_EQ(ok, result == "valid") << "tcId " << t["tcId"].int64Value();
            ++checked;
        }
    }
    EXPECT_GT(checked, 300u);
}

}  // namespace
}  // namespace telvo

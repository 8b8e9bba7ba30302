#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/crypto/Crypto.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Diagnostics.h"
#include "security/QKEllipticCurveSecret.h"
#include "security/QKSigECCEncryptHelper.h"
#include "sim/TempFolder.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::TestPki;

TEST(QKSigECCEncryptHelper, PermanentPairIsTaggedAndExportsPointAndScalar) {
    SecKeyRef pub, priv;
    ASSERT_TRUE(QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(256, &pub, &priv));
    EXPECT_TRUE(pub->isPermanent() && priv->isPermanent());
    EXPECT_FALSE(priv->attributes().applicationTag.empty());

    auto publicBits = QKSigECCEncryptHelper::getPublicKeyBitsFromKey(pub);
    auto privateBits = QKSigECCEncryptHelper::getPublicKeyBitsFromKey(priv);
    ASSERT_TRUE(publicBits && privateBits);
    ASSERT_EQ(publicBits->size(), 65u);
    ASSERT_EQ(privateBits->size(), 97u);
    EXPECT_EQ((*publicBits)[0], 0x04);
    EXPECT_EQ(Bytes(privateBits->begin(), privateBits->begin() + 65), *publicBits);
    // The last 32 bytes are D: rebuilding the key from them gives the same point.
    auto rebuilt = SecKey::createWithData(*privateBits, SecKeyType::EC, SecKeyClass::privateKey);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->copyPublicKey()->copyExternalRepresentation(), publicBits);

    SecKeyRef tempPub, tempPriv;
    ASSERT_TRUE(
        QKSigECCEncryptHelper::generateTempP256SecKeyPairWithPublicKeyRef(&tempPub, &tempPriv));
    EXPECT_FALSE(tempPub->isPermanent() || tempPriv->isPermanent());
    EXPECT_TRUE(tempPriv->attributes().applicationTag.empty());
    EXPECT_EQ(QKSigECCEncryptHelper::getPublicKeyBitsFromKey(tempPub)->size(), 65u);
    EXPECT_FALSE(QKSigECCEncryptHelper::getPublicKeyBitsFromKey(nullptr));
}

TEST(QKSigECCEncryptHelper, KeySizesOtherThanP256AreRefused) {
    struct Case {
        int size;
        bool keyStoreAsked;
    };
    for (Case c : {Case{384, false}, Case{0, false}, Case{-256, false}, Case{4096, false},
                   Case{512, true}, Case{1024, true}, Case{2048, true}}) {
        uint64_t before = SecKey::generatePairCallCount();
        SecKeyRef pub, priv;
        EXPECT_FALSE(QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(c.size, &pub, &priv))
            << c.size;
        EXPECT_FALSE(pub || priv);
        // Sizes the helper lets through reach the key store, which makes only P-256 keys.
        EXPECT_EQ(SecKey::generatePairCallCount(), before + (c.keyStoreAsked ? 1 : 0)) << c.size;
    }
    SecKeyRef pub;
    EXPECT_FALSE(QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(256, &pub, nullptr));
    EXPECT_FALSE(
        QKSigECCEncryptHelper::generateTempP256SecKeyPairWithPublicKeyRef(nullptr, nullptr));
}

TEST(QKSigECCEncryptHelper, ChainMatrix) {
    const auto& pki = TestPki::shared();
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x00};
    const Bytes &device = pki.device().certificate, &root = pki.root().certificate,
                &inter = pki.intermediate().certificate, &other = pki.unrelatedRoot().certificate,
                &foreign = pki.foreignIntermediate().certificate,
                &self = pki.selfSignedDevice().certificate;
    const auto none = std::nullopt;
    struct Case {
        const char* name;
        std::optional<Bytes> certificate, root, intermediate;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"device chain", device, root, inter, true},
        {"app chain", pki.app().certificate, root, inter, true},
        {"intermediate alone", inter, root, none, true},
        {"unrelated root", device, other, inter, false},
        {"foreign intermediate", device, root, foreign, false},
        {"foreign intermediate and its root", device, other, foreign, false},
        {"self-signed leaf, root", self, root, inter, false},
        {"self-signed leaf, unrelated root", self, other, none, false},
        {"expired leaf", pki.expiredDevice().certificate, root, inter, false},
        {"no intermediate", device, root, none, false},
        {"nil certificate", none, root, inter, false},
        {"empty certificate", Bytes{}, root, inter, false},
        {"nil root", device, none, inter, false},
        {"empty root", device, Bytes{}, inter, false},
        {"unreadable root", device, garbage, inter, false},
        {"unreadable certificate", garbage, root, inter, false},
        {"unreadable intermediate", device, root, garbage, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QKSigECCEncryptHelper::validCertificate(c.certificate, c.root, c.intermediate),
                  c.valid)
            << c.name;
    }
}

TEST(QKSigECCEncryptHelper, UnreadableCertificatesAreLoggedOnThePlatformLog) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) { lines.emplace_back(line); });
    const auto& pki = TestPki::shared();
    EXPECT_FALSE(
        QKSigECCEncryptHelper::getSecTrustWithCertificateData(Bytes{1, 2, 3}, std::nullopt));
    EXPECT_FALSE(
        QKSigECCEncryptHelper::getSecTrustWithCertificateData(pki.device().certificate, Bytes{}));
    EXPECT_TRUE(QKSigECCEncryptHelper::getSecTrustWithCertificateData(
        pki.device().certificate, pki.intermediate().certificate));
    setDiagnosticSink(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Can not read certificate from {length = 3, bytes = 0x010203}",
                         "Can not read certificate from {length = 0, bytes = 0x}"}));
}

TEST(QKSigECCEncryptHelper, ValidChainRefusedOnceItsLeafHasExpired) {
    const auto& pki = TestPki::shared();
    auto validAt = [&](int year, int month, int day) {
        Clock::setShared(std::make_shared<ManualClock>(
            int64_t(TestPki::utc(year, month, day, 0, 0, 0)) * 1000000000LL));
        bool valid = QKSigECCEncryptHelper::validCertificate(
            pki.device().certificate, pki.root().certificate, pki.intermediate().certificate);
        Clock::setShared(nullptr);
        return valid;
    };
    // The device certificate ends on 2048-02-29 12:34:56.
    EXPECT_TRUE(validAt(2048, 2, 29));
    EXPECT_FALSE(validAt(2048, 3, 1));
}

TEST(QKSigECCEncryptHelper, PublicKeyFromCertificateEqualsOpenSSLs) {
    const auto& pki = TestPki::shared();
    for (const auto* id :
         {&pki.device(), &pki.app(), &pki.root(), &pki.selfSignedDevice(), &pki.expiredDevice()}) {
        EXPECT_EQ(QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(id->certificate),
                  id->publicKey);
    }
    EXPECT_FALSE(QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(std::nullopt));
    EXPECT_FALSE(QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(Bytes{1, 2, 3}));
    EXPECT_FALSE(QKSigECCEncryptHelper::getSecTrustWithCertificateData(std::nullopt, std::nullopt));
}

TEST(QKSigECCEncryptHelper, ExpiryReadsAsTheCertificateStatesIt) {
    const auto& pki = TestPki::shared();
    auto example = TestPki::makeSelfSigned("expiry", TestPki::utc(2020, 1, 1, 0, 0, 0),
                                           TestPki::utc(2030, 1, 2, 3, 4, 5));
    struct Case {
        Bytes certificate;
        const char* text;
    };
    for (const Case& c : {Case{example.certificate, "2030-01-02 03:04:05"},
                          Case{pki.device().certificate, TestPki::kDeviceNotAfter},
                          Case{pki.app().certificate, TestPki::kAppNotAfter},
                          Case{pki.root().certificate, "2060-01-01 00:00:00"}}) {
        EXPECT_EQ(QKSigECCEncryptHelper::getExpiredDateStrWithCerData(c.certificate), c.text);
    }

    // PEM text ending in a zero byte: its first certificate, when every one in it reads.
    auto pem = [](const std::vector<Bytes>& certificates, bool terminated) {
        std::string text = "issuer notes\n";
        for (const Bytes& der : certificates)
            text += "-----BEGIN CERTIFICATE-----\n" + crypto::base64Encode(der, {64, "\n"}) +
                    "\n-----END CERTIFICATE-----\n";
        Bytes out(text.begin(), text.end());
        if (terminated) out.push_back(0);
        return out;
    };
    EXPECT_EQ(QKSigECCEncryptHelper::getExpiredDateStrWithCerData(
                  pem({example.certificate, pki.root().certificate}, true)),
              "2030-01-02 03:04:05");
    // DER followed by other bytes: the certificate.
    Bytes trailing = example.certificate;
    trailing.insert(trailing.end(), {1, 2, 3});
    EXPECT_EQ(QKSigECCEncryptHelper::getExpiredDateStrWithCerData(trailing), "2030-01-02 03:04:05");

    EXPECT_FALSE(QKSigECCEncryptHelper::getExpiredDateStrWithCerData(std::nullopt));
    Bytes damaged = pki.root().certificate;
    damaged.resize(damaged.size() / 2);
    for (const Bytes& bad :
         {Bytes{0x5A, 0x13, 0xC7}, Bytes{},
          Bytes(pki.device().certificate.begin(), pki.device().certificate.end() - 10),
          pem({example.certificate}, false), pem({example.certificate, damaged}, true),
          pem({}, true)}) {
        testing::internal::CaptureStdout();
        auto text = QKSigECCEncryptHelper::getExpiredDateStrWithCerData(bad);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "解析证书失败 \n");
        EXPECT_FALSE(text);
    }
}

// The shared instance's pair and ECDH agree with the class operations on the simulated
// appliance's side.
TEST(QKSigECCEncryptHelper, SharedInstanceAgreesWithTheApplianceKey) {
    QKSigECCEncryptHelper::resetForTesting();
    auto helper = QKSigECCEncryptHelper::share();
    EXPECT_EQ(helper, QKSigECCEncryptHelper::share());
    const Bytes devicePoint(TestPki::shared().devicePublicKey().begin() + 1,
                            TestPki::shared().devicePublicKey().end());
    EXPECT_FALSE(helper->getPublicKeyData());
    EXPECT_FALSE(helper->getSharedSecretWithDevicePublicKey(devicePoint));

    int calls = 0;
    helper->getECCKeyPairWithKeySize(384, [&](const Bytes&, const Bytes&) { ++calls; });
    EXPECT_EQ(calls, 0);
    Bytes published;
    helper->getECCKeyPair([&](const Bytes& pub, const Bytes& priv) {
        ++calls, published = pub;
        EXPECT_TRUE(priv.empty());
    });
    ASSERT_EQ(calls, 1);
    auto raw = helper->getPublicKeyData();
    ASSERT_TRUE(raw && raw->size() == 64);
    EXPECT_EQ(published, test::hex("04" + test::toHex(*raw)));
    EXPECT_TRUE(helper->seckeyModel().privateKey->isPermanent());

    auto secret = helper->getSharedSecretWithDevicePublicKey(devicePoint);
    ASSERT_TRUE(secret);
    EXPECT_EQ(secret, QKEllipticCurveSecret::computeECDHWithPublicKeyData(
                          *raw, TestPki::shared().devicePrivateKey()));
    Bytes offCurve = devicePoint;
    offCurve.back() ^= 1;
    EXPECT_FALSE(helper->calculateSharedSecretEithPublicKey(offCurve));
    QKSigECCEncryptHelper::resetForTesting();
}

// A PKCS#12 file from the openssl command line, and PKCS#1 RSA key bits.
TEST(QKSigECCEncryptHelper, Pkcs12AndRsaKeyBitsFromTheOpenSslCommand) {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    test::TempFolder folder;
    const std::string dir = folder.path().string();
    const std::string command =
        "cd '" + dir +
        "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout k.pem"
        " -out c.pem -subj '/CN=Telvo P12/emailAddress=p12@example.com' -days 2 2>/dev/null"
        " && openssl pkcs12 -export -inkey k.pem -in c.pem -passout pass:s3cret -out id.p12"
        " && openssl x509 -in c.pem -outform DER -out c.der"
        " && openssl genrsa -out r.pem 1024 2>/dev/null"
        " && openssl rsa -in r.pem -RSAPublicKey_out -outform DER -out rpub.der 2>/dev/null"
        " && openssl rsa -in r.pem -traditional -outform DER -out rpriv.der 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto file = [&](const char* name) { return toBytes(test::readFile(folder.path() / name)); };
    const Bytes p12 = file("id.p12"), certificate = file("c.der");

    auto key = QKSigECCEncryptHelper::getPrivateKeyRefrenceFromData(p12, "s3cret");
    ASSERT_TRUE(key);
    ASSERT_EQ(key->size(), 97u);
    EXPECT_EQ(Bytes(key->begin(), key->begin() + 65),
              QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(certificate));
    EXPECT_TRUE(SecKey::createWithData(*key, SecKeyType::EC, SecKeyClass::privateKey));
    Bytes damaged = p12;
    damaged[damaged.size() / 2] ^= 0x40;
    EXPECT_FALSE(QKSigECCEncryptHelper::getPrivateKeyRefrenceFromData(p12, "secret"));
    EXPECT_FALSE(QKSigECCEncryptHelper::getPrivateKeyRefrenceFromData(damaged, "s3cret"));
    EXPECT_FALSE(QKSigECCEncryptHelper::getPrivateKeyRefrenceFromData(Bytes{1, 2}, "s3cret"));

    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) { lines.emplace_back(line); });
    QKSigECCEncryptHelper::getcertificateInfoRefrenceFromData(certificate);
    setDiagnosticSink(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"证书摘要: Telvo P12", "commonName: Telvo P12",
                                               "emailAddresses: (p12@example.com)"}));

    auto helper = QKSigECCEncryptHelper::share();
    auto rsaPublic = helper->publicSecKeyFromKeyBits(file("rpub.der"), true);
    auto rsaPrivate = helper->publicSecKeyFromKeyBits(file("rpriv.der"), false);
    ASSERT_TRUE(rsaPublic && rsaPrivate);
    EXPECT_EQ(rsaPublic->keyClass(), SecKeyClass::publicKey);
    auto signature = rsaPrivate->createSignature(SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256,
                                                 Bytes{1, 2, 3});
    ASSERT_TRUE(signature);
    EXPECT_TRUE(rsaPublic->verifySignature(SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256,
                                           Bytes{1, 2, 3}, *signature));
    EXPECT_FALSE(helper->publicSecKeyFromKeyBits(file("rpub.der"), false));
    EXPECT_FALSE(helper->publicSecKeyFromKeyBits(Bytes{0x30, 0x00}, true));
    QKSigECCEncryptHelper::resetForTesting();
}

}  // namespace
}  // namespace telvo

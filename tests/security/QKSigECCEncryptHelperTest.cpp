#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "security/QKSigECCEncryptHelper.h"
#include "sim/TestPki.h"

namespace telvo {
namespace {

using test::TestPki;

TEST(QKSigECCEncryptHelper, PermanentPairIsTaggedAndExportsPointAndScalar) {
    SecKeyRef pub, priv;
    ASSERT_TRUE(QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(256, &pub, &priv));
    EXPECT_TRUE(pub->isPermanent() && priv->isPermanent());
    EXPECT_EQ(priv->attributes().applicationTag, toBytes("com.apple.sample.privatekey/0"));
    EXPECT_EQ(priv->attributes().applicationTag.size(), 29u);
    EXPECT_EQ(pub->attributes().applicationTag.size(), 28u);

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
    struct Case {
        const char* name;
        std::optional<Bytes> certificate, root, intermediate;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"device chain", pki.device().certificate, pki.root().certificate,
         pki.intermediate().certificate, true},
        {"app chain", pki.app().certificate, pki.root().certificate, pki.intermediate().certificate,
         true},
        {"intermediate alone", pki.intermediate().certificate, pki.root().certificate, std::nullopt,
         true},
        {"unrelated root", pki.device().certificate, pki.unrelatedRoot().certificate,
         pki.intermediate().certificate, false},
        {"foreign intermediate", pki.device().certificate, pki.root().certificate,
         pki.foreignIntermediate().certificate, false},
        {"foreign intermediate and its root", pki.device().certificate,
         pki.unrelatedRoot().certificate, pki.foreignIntermediate().certificate, false},
        {"self-signed leaf, root", pki.selfSignedDevice().certificate, pki.root().certificate,
         pki.intermediate().certificate, false},
        {"self-signed leaf, unrelated root", pki.selfSignedDevice().certificate,
         pki.unrelatedRoot().certificate, std::nullopt, false},
        {"expired leaf", pki.expiredDevice().certificate, pki.root().certificate,
         pki.intermediate().certificate, false},
        {"no intermediate", pki.device().certificate, pki.root().certificate, std::nullopt, false},
        {"nil certificate", std::nullopt, pki.root().certificate, pki.intermediate().certificate,
         false},
        {"empty certificate", Bytes{}, pki.root().certificate, pki.intermediate().certificate,
         false},
        {"nil root", pki.device().certificate, std::nullopt, pki.intermediate().certificate, false},
        {"empty root", pki.device().certificate, Bytes{}, pki.intermediate().certificate, false},
        {"unreadable root", pki.device().certificate, garbage, pki.intermediate().certificate,
         false},
        {"unreadable certificate", garbage, pki.root().certificate, pki.intermediate().certificate,
         false},
        {"unreadable intermediate", pki.device().certificate, pki.root().certificate, garbage,
         false},
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

    EXPECT_FALSE(QKSigECCEncryptHelper::getExpiredDateStrWithCerData(std::nullopt));
    for (const Bytes& bad :
         {Bytes{0x5A, 0x13, 0xC7}, Bytes{},
          Bytes(pki.device().certificate.begin(), pki.device().certificate.end() - 10)}) {
        testing::internal::CaptureStdout();
        auto text = QKSigECCEncryptHelper::getExpiredDateStrWithCerData(bad);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "解析证书失败 \n");
        EXPECT_FALSE(text);
    }
}

}  // namespace
}  // namespace telvo

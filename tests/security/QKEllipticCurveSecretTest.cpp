#include <gtest/gtest.h>

#include "EcTestSupport.h"
#include "security/QKEllipticCurveSecret.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

namespace telvo::test {
namespace {

const int kP256 = testCurves()[2].nid;

TEST(QKEllipticCurveSecret, P256PairInTheAppliancesFormsAndOneSessionKeyForEveryForm) {
    auto secret = QKEllipticCurveSecret::createECCSecret();
    ASSERT_EQ(secret->publicKeyData().size(), 65u);
    EXPECT_EQ(secret->publicKeyData()[0], 0x04);
    EXPECT_EQ(secret->specialPublicKeyData(),
              Bytes(secret->publicKeyData().begin() + 1, secret->publicKeyData().end()));
    ASSERT_EQ(secret->privateKeyData().size(), 32u);
    EXPECT_FALSE(secret->sessionKey());
    EXPECT_EQ(toHex(secret->publicKeyData()),
              toHex(osslPublicFromPrivate(kP256, secret->privateKeyData()).value()));

    // The session key is the same for every form of the appliance's key.
    const auto& app = secret;
    auto device = QKEllipticCurveSecret::createECCSecret();
    const Bytes& full = device->publicKeyData();
    const Bytes compressed = compressPoint(full);

    Bytes expected = osslDerive(kP256, app->privateKeyData(), full).value();
    for (const Bytes& form : {device->specialPublicKeyData(), full, compressed}) {
        app->setDevPublicKey(form);
        ASSERT_TRUE(app->sessionKey()) << form.size();
        EXPECT_EQ(toHex(*app->sessionKey()), toHex(expected));
    }
    device->setDevPublicKey(app->specialPublicKeyData());
    EXPECT_EQ(device->sessionKey(), app->sessionKey());
}

TEST(QKEllipticCurveSecret, ComputeRefusesWhatIsNotAP256KeyPair) {
    auto app = QKEllipticCurveSecret::createECCSecret();
    auto device = QKEllipticCurveSecret::createECCSecret();
    const Bytes& priv = app->privateKeyData();
    const Bytes& pub = device->publicKeyData();
    Bytes offCurve = pub;
    offCurve.back() ^= 1;
    Bytes n = hex("ffffffff00000000ffffffffffffffffbce6faadA7179e84f3b9cac2fc632551");
    struct Case {
        const char* what;
        Bytes publicKey;
        Bytes privateKey;
    } cases[] = {
        {"empty public key", {}, priv},
        {"empty private key", pub, {}},
        {"63-byte public key", Bytes(pub.begin() + 2, pub.end()), priv},
        {"P-384 sized public key", Bytes(97, 0x04), priv},
        {"point off the curve", offCurve, priv},
        {"raw point off the curve", Bytes(offCurve.begin() + 1, offCurve.end()), priv},
        {"31-byte private key", pub, Bytes(priv.begin() + 1, priv.end())},
        {"48-byte private key", pub, Bytes(48, 1)},
        {"compressed key as private key", pub, Bytes(33, 0x02)},
        {"zero private key", pub, Bytes(32, 0)},
        {"private key n", pub, n},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(QKEllipticCurveSecret::computeECDHWithPublicKeyData(c.publicKey, c.privateKey))
            << c.what;
    }
    device->setDevPublicKey(Bytes(pub.begin() + 2, pub.end()));
    EXPECT_FALSE(device->sessionKey());
}

TEST(QKEllipticCurveSecret, FailedKeyMakingLeavesEveryFieldEmpty) {
    auto random = std::make_shared<ScriptedRandom>(true);
    RandomScope scope(random);
    auto secret = QKEllipticCurveSecret::createECCSecret();
    EXPECT_TRUE(secret->privateKeyData().empty());
    EXPECT_TRUE(secret->publicKeyData().empty());
    EXPECT_TRUE(secret->specialPublicKeyData().empty());
    EXPECT_FALSE(secret->sessionKey());
}

}  // namespace
}  // namespace telvo::test

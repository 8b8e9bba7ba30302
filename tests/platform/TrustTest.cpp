#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>

#include "platform/crypto/Trust.h"
#include "platform/dispatch/Clock.h"
#include "sim/TestPki.h"

namespace telvo {
namespace {

using test::TestPki;

SecCertificateRef cert(const Bytes& der) {
    auto c = SecCertificate::createWithData(der);
    EXPECT_TRUE(c);
    return c;
}

struct Outcome {
    OSStatus status;
    SecTrustResultType result;
};

Outcome evaluate(const std::vector<Bytes>& chain, const std::vector<Bytes>& anchors,
                 std::optional<SecTrust::TimePoint> at = std::nullopt) {
    std::vector<SecCertificateRef> certificates;
    for (const auto& der : chain) certificates.push_back(cert(der));
    auto trust = SecTrust::create(certificates, SecPolicy::basicX509);
    EXPECT_TRUE(trust);
    if (!anchors.empty()) {
        std::vector<SecCertificateRef> anchorRefs;
        for (const auto& der : anchors) anchorRefs.push_back(cert(der));
        EXPECT_EQ(trust->setAnchorCertificates(anchorRefs), errSecSuccess);
    }
    if (at) trust->setVerifyDate(*at);
    Outcome out{};
    out.status = trust->evaluate(&out.result);
    return out;
}

SecTrust::TimePoint at(int y, int mo, int d) {
    return std::chrono::system_clock::from_time_t(TestPki::utc(y, mo, d, 0, 0, 0));
}

TEST(SecTrust, TrustsOnlyChainsReachingTheGivenAnchors) {
    const auto& pki = TestPki::shared();
    const Bytes& device = pki.device().certificate;
    const Bytes& inter = pki.intermediate().certificate;
    const Bytes& root = pki.root().certificate;
    struct Case {
        const char* name;
        std::vector<Bytes> chain;
        std::vector<Bytes> anchors;
        bool trusted;
    };
    // The other refusals are in the certificate helper's chain matrix.
    const std::vector<Case> cases = {
        {"device via intermediate", {device, inter}, {root}, true},
        {"intermediate itself", {inter}, {root}, true},
        {"anchor may be the intermediate", {device}, {inter}, true},
        {"no anchors: the platform has none", {device, inter}, {}, false},
        {"missing intermediate", {device}, {root}, false},
        {"unrelated root", {device, inter}, {pki.unrelatedRoot().certificate}, false},
        {"expired leaf", {pki.expiredDevice().certificate, inter}, {root}, false},
        {"leaf is not a CA", {pki.app().certificate, device, inter}, {root}, true},
    };
    for (const auto& c : cases) {
        Outcome out = evaluate(c.chain, c.anchors);
        EXPECT_EQ(out.status, errSecSuccess) << c.name;
        if (c.trusted) {
            EXPECT_EQ(out.result, SecTrustResultType::unspecified) << c.name;
        } else {
            EXPECT_TRUE(out.result == SecTrustResultType::recoverableTrustFailure ||
                        out.result == SecTrustResultType::fatalTrustFailure)
                << c.name << " " << static_cast<int>(out.result);
        }
    }
    // A certificate issued by a leaf is never trusted.
    auto selfIssuedByLeaf = evaluate({pki.selfSignedDevice().certificate}, {device});
    EXPECT_NE(selfIssuedByLeaf.result, SecTrustResultType::unspecified);
}

TEST(SecTrust, EvaluatesAtTheInjectedTime) {
    const auto& pki = TestPki::shared();
    const std::vector<Bytes> chain = {pki.device().certificate, pki.intermediate().certificate};
    const std::vector<Bytes> anchors = {pki.root().certificate};
    // The device certificate ends on 2048-02-29 12:34:56.
    EXPECT_EQ(evaluate(chain, anchors, at(2048, 2, 28)).result, SecTrustResultType::unspecified);
    EXPECT_EQ(evaluate(chain, anchors, at(2048, 3, 1)).result,
              SecTrustResultType::recoverableTrustFailure);
    // Before the PKI's validity begins nothing is valid yet.
    EXPECT_NE(evaluate(chain, anchors, at(2001, 1, 1)).result, SecTrustResultType::unspecified);

    // Without a date, the shared clock's wall time counts.
    auto clock = std::make_shared<ManualClock>(TestPki::utc(2048, 3, 1, 0, 0, 0) * 1000000000LL);
    Clock::setShared(clock);
    EXPECT_EQ(evaluate(chain, anchors).result, SecTrustResultType::recoverableTrustFailure);
    EXPECT_EQ(evaluate(chain, anchors, at(2048, 2, 28)).result, SecTrustResultType::unspecified);
    clock->setWallNanos(TestPki::utc(2048, 2, 29, 12, 34, 0) * 1000000000LL);
    EXPECT_EQ(evaluate(chain, anchors).result, SecTrustResultType::unspecified);
    Clock::setShared(nullptr);
    EXPECT_EQ(evaluate(chain, anchors).result, SecTrustResultType::unspecified);
}

TEST(SecTrust, TheSslPolicyChecksTheNameAndTheServerPurpose) {
    const auto& pki = TestPki::shared();
    const Bytes& inter = pki.intermediate().certificate;
    struct Case {
        const char* name;
        const Bytes& leaf;
        SecPolicy policy;
        std::optional<std::string> host;
        bool trusted;
    } cases[] = {
        {"server by address", pki.server().certificate, SecPolicy::sslServer, "127.0.0.1", true},
        {"server by name", pki.server().certificate, SecPolicy::sslServer, "localhost", true},
        {"another host's", pki.otherHostServer().certificate, SecPolicy::sslServer, "127.0.0.1",
         false},
        {"client purpose", pki.clientPurposeServer().certificate, SecPolicy::sslServer, "127.0.0.1",
         false},
        {"client purpose, no host", pki.clientPurposeServer().certificate, SecPolicy::sslServer,
         std::nullopt, false},
        {"client purpose, chain alone", pki.clientPurposeServer().certificate, SecPolicy::basicX509,
         std::nullopt, true},
        {"expired", pki.expiredServer().certificate, SecPolicy::sslServer, "127.0.0.1", false},
        // OpenSSL reads an empty name as "no name to check".
        {"empty host", pki.otherHostServer().certificate, SecPolicy::sslServer, "", false},
    };
    for (const auto& c : cases) {
        auto trust = SecTrust::create({cert(c.leaf), cert(inter)}, c.policy);
        trust->setPolicy(c.policy, c.host);
        trust->setAnchorCertificates({cert(pki.root().certificate)});
        trust->setVerifyDate(at(2030, 1, 1));
        SecTrustResultType result;
        ASSERT_EQ(trust->evaluate(&result), errSecSuccess) << c.name;
        EXPECT_EQ(result == SecTrustResultType::unspecified, c.trusted) << c.name;
    }
}

// The system's roots are OpenSSL's default certificate file (Debian's ca-certificates).
TEST(SecTrust, SystemAnchorsAreTheSystemsRoots) {
    const std::filesystem::path bundle = "/etc/ssl/certs/ca-certificates.crt";
    if (!std::filesystem::exists(bundle)) GTEST_SKIP() << "no system certificate bundle";
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(bundle.c_str(), "r"), BIO_free);
    ASSERT_TRUE(in);
    X509Ptr first(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(first);
    unsigned char* der = nullptr;
    int length = i2d_X509(first.get(), &der);
    ASSERT_GT(length, 0);
    auto systemRoot = SecCertificate::createWithData(ByteView(der, size_t(length)));
    OPENSSL_free(der);
    // Inside the root's validity.
    std::tm notBefore{};
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notBefore(first.get()), &notBefore), 1);
    const auto when =
        std::chrono::system_clock::from_time_t(timegm(&notBefore)) + std::chrono::hours(24);

    const auto& pki = TestPki::shared();
    struct Case {
        const char* name;
        SecCertificateRef leaf;
        bool system;
        bool trusted;
    } cases[] = {
        {"a system root, system anchors", systemRoot, true, true},
        {"a system root, no anchors", systemRoot, false, false},
        {"the test root, system anchors", cert(pki.root().certificate), true, false},
    };
    for (const auto& c : cases) {
        auto trust = SecTrust::create({c.leaf}, SecPolicy::basicX509);
        if (c.system) trust->useSystemAnchorCertificates();
        trust->setVerifyDate(when);
        SecTrustResultType result;
        ASSERT_EQ(trust->evaluate(&result), errSecSuccess) << c.name;
        EXPECT_EQ(result == SecTrustResultType::unspecified, c.trusted) << c.name;
    }
}

TEST(SecCertificate, AcceptsExactlyOneDerCertificate) {
    const Bytes& der = TestPki::shared().device().certificate;
    EXPECT_TRUE(SecCertificate::createWithData(der));
    Bytes trailing = der;
    trailing.push_back(0);
    for (const Bytes& bad : {Bytes{}, Bytes{0x30}, Bytes(der.begin(), der.end() - 1), trailing,
                             Bytes{0x01, 0x02, 0x03}}) {
        EXPECT_FALSE(SecCertificate::createWithData(bad)) << bad.size();
    }
    EXPECT_FALSE(SecTrust::create({}, SecPolicy::basicX509));
    EXPECT_FALSE(SecTrust::create({nullptr}, SecPolicy::basicX509));
}

}  // namespace
}  // namespace telvo

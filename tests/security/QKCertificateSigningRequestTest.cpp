#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "platform/crypto/Crypto.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "security/QKCertificateSigningRequest.h"
#include "security/QKCertificateSigningTool.h"
#include "security/QKSigECCEncryptHelper.h"

namespace telvo {
namespace {

using Req = X509ReqPtr;

struct Pair {
    SecKeyRef pub, priv;
    Bytes bits;
};

Pair newPair() {
    Pair p;
    EXPECT_TRUE(QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(256, &p.pub, &p.priv));
    p.bits = QKSigECCEncryptHelper::getPublicKeyBitsFromKey(p.pub).value_or(Bytes{});
    return p;
}

Bytes base64Decode(const std::string& text) {
    return crypto::base64Decode(text, false).value_or(Bytes{});
}

Req parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    Req req(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(der.size())));
    EXPECT_TRUE(req);
    EXPECT_EQ(cursor, der.data() + der.size());
    return req;
}

// The bytes an OpenSSL i2d function writes.
template <class Encoder>
Bytes derOf(Encoder encoder) {
    unsigned char* out = nullptr;
    int n = encoder(&out);
    Bytes bytes(out, out + std::max(n, 0));
    OPENSSL_free(out);
    return bytes;
}

Bytes encode(X509_REQ* req) {
    return derOf([&](unsigned char** out) { return i2d_X509_REQ(req, out); });
}

// The CertificationRequestInfo, re-encoded by OpenSSL from its parsed fields.
Bytes reencodedInfo(X509_REQ* req) {
    return derOf([&](unsigned char** out) { return i2d_re_X509_REQ_tbs(req, out); });
}

struct Entry {
    int nid;
    std::string value;
    int type;
    int set;
};

std::vector<Entry> subjectOf(X509_REQ* req) {
    std::vector<Entry> entries;
    X509_NAME* name = X509_REQ_get_subject_name(req);
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
        entries.push_back({OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)),
                           std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                       static_cast<size_t>(ASN1_STRING_length(data))),
                           ASN1_STRING_type(data), X509_NAME_ENTRY_set(e)});
    }
    return entries;
}

int signatureNid(X509_REQ* req, int* parameterType = nullptr) {
    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(req, &signature, &algorithm);
    const ASN1_OBJECT* oid = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(&oid, &ptype, nullptr, algorithm);
    if (parameterType) *parameterType = ptype;
    return OBJ_obj2nid(oid);
}

// Checks everything the cloud will check of the fixed request.
void expectFixedRequest(const std::string& text, const Pair& pair, const std::string& keyId) {
    SCOPED_TRACE("key ID length " + std::to_string(keyId.size()));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    Bytes der = base64Decode(text);
    Req req = parse(der);
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_EQ(X509_REQ_verify(req.get(), pair.priv->handle()), 1);
    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(req.get()), pair.pub->handle()), 1);
    EXPECT_EQ(X509_REQ_get_attr_count(req.get()), 0);

    const std::vector<std::pair<int, std::string>> expected = {
        {NID_commonName, keyId},
        {NID_organizationName, "KorvoCA"},
        {NID_organizationalUnitName, "KorvoCA Operation"},
        {NID_countryName, "CN"},
        {NID_stateOrProvinceName, "Guangdong"},
        {NID_localityName, "FoShan"}};
    auto entries = subjectOf(req.get());
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].nid, expected[i].first) << i;
        EXPECT_EQ(entries[i].value, expected[i].second) << i;
        EXPECT_EQ(entries[i].type, V_ASN1_UTF8STRING) << i;
        EXPECT_EQ(entries[i].set, static_cast<int>(i)) << "each RDN holds one attribute";
    }

    int parameterType = 0;
    EXPECT_EQ(signatureNid(req.get(), &parameterType), NID_ecdsa_with_SHA256);
    EXPECT_EQ(parameterType, V_ASN1_UNDEF);
    EXPECT_EQ(encode(req.get()), der);
    Bytes info = reencodedInfo(req.get());
    ASSERT_GT(der.size(), 4 + info.size());
    EXPECT_EQ(Bytes(der.begin() + 4, der.begin() + 4 + info.size()), info);
}

TEST(QKCertificateSigningTool, RequestDecodesAsPkcs10WithTheFixedSubject) {
    Pair pair = newPair();
    ASSERT_EQ(pair.bits.size(), 65u);
    // OpenSSL re-encodes what it parsed in DER: every length takes its shortest form, also for
    // key IDs of 127, 128, 255, 256 and 1000 bytes.
    for (const std::string& keyId :
         {std::string("0123456789abcdef0123456789abcdef"), std::string("k"), std::string(),
          std::string("密钥-ü"), std::string(127, 'x'), std::string(128, 'x'),
          std::string(255, 'x'), std::string(256, 'x'), std::string(1000, 'x')}) {
        std::string text =
            QKCertificateSigningTool::createCSRwithECKey(pair.bits, pair.priv, pair.pub, keyId);
        expectFixedRequest(text, pair, keyId);
    }
    // The public key reference is optional.
    expectFixedRequest(
        QKCertificateSigningTool::createCSRwithECKey(pair.bits, pair.priv, nullptr, "id"), pair,
        "id");
}

TEST(QKCertificateSigningTool, UnusableKeysGiveTheEmptyText) {
    Pair pair = newPair();
    Pair other = newPair();
    Bytes compressedPrefix = pair.bits;
    compressedPrefix[0] = 0x02;
    struct Case {
        const char* name;
        Bytes bits;
        SecKeyRef priv, pub;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"prefix not 04", compressedPrefix, pair.priv, pair.pub,
         "Error, framework only supports uncompressed keys\n"},
        {"64-byte key", Bytes(pair.bits.begin() + 1, pair.bits.end()), pair.priv, pair.pub, ""},
        {"empty key", {}, pair.priv, pair.pub, ""},
        {"no private key", pair.bits, nullptr, pair.pub, "Error in creating signature: "},
        {"public key as private key", pair.bits, pair.pub, pair.pub,
         "Error in creating signature: "},
        {"self-check with another key", pair.bits, pair.priv, other.pub, "signature verification"},
        // Signed and self-checked with the right pair, but another pair's bits in the request.
        {"another pair's bits", other.bits, pair.priv, pair.pub, "The public key bits"},
        {"another pair's bits, no self-check", other.bits, pair.priv, nullptr,
         "The public key bits"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        std::string text =
            QKCertificateSigningTool::createCSRwithECKey(c.bits, c.priv, c.pub, "id");
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(text, "") << c.name;
        EXPECT_EQ(printed.find(c.printed), 0u) << c.name << ": " << printed;
    }
}

TEST(QKCertificateSigningRequest, PemWrapsEverySixtyFourCharacters) {
    Pair pair = newPair();
    bool sawExactMultiple = false;
    // Consecutive key ID lengths give consecutive request sizes, so some text is an exact
    // multiple of 64 characters.
    for (size_t length = 0; length < 100; ++length) {
        QKCertificateSigningRequest request(std::string(length, 'p'), std::nullopt, std::nullopt,
                                            std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                            std::nullopt, std::nullopt,
                                            KeyAlgorithm::ec(KeyAlgorithm::Signature::sha256));
        auto pem = request.buildCSRAndReturnString(pair.bits, pair.priv, pair.pub);
        ASSERT_TRUE(pem);
        // Lines of 64 characters, the last one of 1 to 64, each ending in a newline.
        const std::string begin = "-----BEGIN CERTIFICATE REQUEST-----\n";
        const std::string end = "-----END CERTIFICATE REQUEST-----\n";
        ASSERT_GT(pem->size(), begin.size() + end.size());
        std::string joined = pem->substr(begin.size(), pem->size() - begin.size() - end.size());
        std::erase(joined, '\n');
        std::string wrapped;
        for (size_t i = 0; i < joined.size(); i += 64) wrapped += joined.substr(i, 64) + "\n";
        EXPECT_EQ(*pem, begin + wrapped + end);
        sawExactMultiple = sawExactMultiple || joined.size() % 64 == 0;

        std::unique_ptr<BIO, decltype(&BIO_free)> bio(
            BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())), BIO_free);
        Req fromPem(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
        ASSERT_TRUE(fromPem) << length;
        EXPECT_EQ(encode(fromPem.get()), base64Decode(joined));
        EXPECT_EQ(X509_REQ_verify(fromPem.get(), pair.pub->handle()), 1);
    }
    EXPECT_TRUE(sawExactMultiple);
}

TEST(QKCertificateSigningRequest, GeneralBuilderOrdersItemsAndTypesStrings) {
    QKCertificateSigningRequest request("cn", "o", "ou", "c", "st", "l", "serial", "a@example.org",
                                        "desc", KeyAlgorithm::ec(KeyAlgorithm::Signature::sha512));
    Pair pair = newPair();
    auto der = request.build(pair.bits, pair.priv, pair.pub);
    ASSERT_TRUE(der);
    Req req = parse(*der);
    ASSERT_TRUE(req);
    auto entries = subjectOf(req.get());
    const std::vector<std::pair<int, int>> expected = {
        {NID_commonName, V_ASN1_UTF8STRING},
        {NID_organizationName, V_ASN1_UTF8STRING},
        {NID_organizationalUnitName, V_ASN1_UTF8STRING},
        {NID_countryName, V_ASN1_UTF8STRING},
        {NID_stateOrProvinceName, V_ASN1_UTF8STRING},
        {NID_localityName, V_ASN1_UTF8STRING},
        {NID_pkcs9_emailAddress, V_ASN1_IA5STRING},
        {NID_description, V_ASN1_UTF8STRING},
        {NID_serialNumber, V_ASN1_UTF8STRING}};
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].nid, expected[i].first) << i;
        EXPECT_EQ(entries[i].type, expected[i].second) << i;
    }
    EXPECT_EQ(signatureNid(req.get()), NID_ecdsa_with_SHA512);

    // subjectDER is the subject as written.
    ASSERT_TRUE(request.subjectDER());
    EXPECT_EQ(*request.subjectDER(), derOf([&](unsigned char** out) {
        return i2d_X509_NAME(X509_REQ_get_subject_name(req.get()), out);
    }));

    QKCertificateSigningRequest added(KeyAlgorithm::ec(KeyAlgorithm::Signature::sha256));
    EXPECT_TRUE(added.subjectItems().empty());
    added.addSubjectItem({SubjectItem::Kind::countryName, "CN"});
    added.addSubjectItem({SubjectItem::Kind::commonName, "later"});
    auto addedDer = added.build(pair.bits, pair.priv, nullptr);
    ASSERT_TRUE(addedDer);
    Req addedReq = parse(*addedDer);
    auto addedEntries = subjectOf(addedReq.get());
    ASSERT_EQ(addedEntries.size(), 2u);
    EXPECT_EQ(addedEntries[0].nid, NID_countryName);
    EXPECT_EQ(addedEntries[1].nid, NID_commonName);
}

TEST(QKCertificateSigningRequest, KeyAlgorithmTable) {
    using S = KeyAlgorithm::Signature;
    EXPECT_EQ(QKCertificateSigningRequest().keyAlgorithm(), KeyAlgorithm::rsa(S::sha512));
    struct Case {
        KeyAlgorithm algorithm;
        uint8_t raw;
        const char* type;
        int signatureNid;
        size_t sizes;
    };
    const std::vector<Case> cases = {
        {KeyAlgorithm::rsa(S::sha1), 0x00, "RSA", NID_sha1WithRSAEncryption, 3},
        {KeyAlgorithm::rsa(S::sha256), 0x01, "RSA", NID_sha256WithRSAEncryption, 3},
        {KeyAlgorithm::rsa(S::sha512), 0x02, "RSA", NID_sha512WithRSAEncryption, 3},
        {KeyAlgorithm::ec(S::sha1), 0x80, "EC", NID_ecdsa_with_SHA1, 1},
        {KeyAlgorithm::ec(S::sha256), 0x81, "EC", NID_ecdsa_with_SHA256, 1},
        {KeyAlgorithm::ec(S::sha512), 0x82, "EC", NID_ecdsa_with_SHA512, 1},
    };
    EvpPkeyPtr rsa(EVP_RSA_gen(2048));
    ASSERT_TRUE(rsa);
    SecKeyRef rsaPrivate =
        SecKey::adopt(EvpPkeyPtr(EVP_PKEY_dup(rsa.get())), SecKeyClass::privateKey);
    SecKeyRef rsaPublic = rsaPrivate->copyPublicKey();
    Bytes rsaBits = rsaPublic->copyExternalRepresentation().value();
    Pair ec = newPair();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(c.algorithm.rawValue(), c.raw);
        EXPECT_EQ(c.algorithm.type(), c.type);
        EXPECT_EQ(c.algorithm.availableKeySizes().size(), c.sizes);
        const Bytes& identifier = c.algorithm.signatureAlgorithmIdentifier();
        const unsigned char* cursor = identifier.data();
        X509_ALGOR* parsed = d2i_X509_ALGOR(nullptr, &cursor, static_cast<long>(identifier.size()));
        ASSERT_TRUE(parsed);
        const ASN1_OBJECT* oid = nullptr;
        int ptype = 0;
        X509_ALGOR_get0(&oid, &ptype, nullptr, parsed);
        EXPECT_EQ(OBJ_obj2nid(oid), c.signatureNid);
        EXPECT_EQ(ptype, c.algorithm.isEC() ? V_ASN1_UNDEF : V_ASN1_NULL);
        X509_ALGOR_free(parsed);

        QKCertificateSigningRequest request(c.algorithm);
        request.addSubjectItem({SubjectItem::Kind::commonName, "table"});
        auto der = c.algorithm.isEC() ? request.build(ec.bits, ec.priv, ec.pub)
                                      : request.build(rsaBits, rsaPrivate, rsaPublic);
        ASSERT_TRUE(der);
        Req req = parse(*der);
        ASSERT_TRUE(req);
        EXPECT_EQ(signatureNid(req.get()), c.signatureNid);
        EXPECT_EQ(X509_REQ_verify(req.get(), c.algorithm.isEC() ? ec.pub->handle() : rsa.get()), 1);
        EXPECT_EQ(encode(req.get()), *der);
    }

    // A malformed RSAPublicKey cannot be encoded.
    QKCertificateSigningRequest rsaRequest(KeyAlgorithm::rsa(S::sha256));
    for (const Bytes& bad :
         {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, Bytes{0x30, 0x85, 0x02, 0x01, 0x01},
          Bytes{0x30, 0x04, 0x02, 0x00, 0x02, 0x00}, Bytes(rsaBits.begin(), rsaBits.end() - 1),
          ec.bits}) {
        EXPECT_FALSE(rsaRequest.build(bad, rsaPrivate, rsaPublic)) << bad.size();
    }
    // A key of the other type cannot sign.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(rsaRequest.build(rsaBits, ec.priv, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Error in creating signature: ", 0), 0u);
}

}  // namespace
}  // namespace telvo

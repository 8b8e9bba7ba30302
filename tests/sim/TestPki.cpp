#include "sim/TestPki.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

#include "platform/crypto/OpenSSLPtr.h"

namespace telvo::test {

namespace {

void requirePki(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

// A certificate and key kept while the PKI is being made, so that others can be issued by it.
struct Issued {
    EvpPkeyPtr key;
    X509Ptr cert;
    TestIdentity identity;
};

// A TLS server certificate names the server purpose; a client one only the client purpose.
enum class Role { ca, leaf, server, client };

// P-256, or RSA of that many bits.
EvpPkeyPtr newPkiKey(unsigned rsaBits = 0) {
    EvpPkeyPtr key(rsaBits ? EVP_RSA_gen(rsaBits) : EVP_EC_gen("P-256"));
    requirePki(key != nullptr, "key generation");
    return key;
}

X509NamePtr makeName(const std::string& commonName) {
    X509NamePtr name(X509_NAME_new());
    requirePki(name &&
                   X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8,
                                              reinterpret_cast<const unsigned char*>("Telvo Test"),
                                              -1, -1, 0) == 1 &&
                   X509_NAME_add_entry_by_txt(
                       name.get(), "CN", MBSTRING_UTF8,
                       reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
               "name");
    return name;
}

void addCertExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
    requirePki(ext && X509_add_ext(cert, ext.get(), -1) == 1, "extension");
}

TestIdentity identityOf(EVP_PKEY* key, X509* cert) {
    TestIdentity id;
    unsigned char* der = nullptr;
    int length = i2d_X509(cert, &der);
    requirePki(length > 0, "certificate encoding");
    id.certificate.assign(der, der + length);
    OPENSSL_free(der);

    unsigned char* keyDer = nullptr;
    int keyLength = i2d_PrivateKey(key, &keyDer);
    requirePki(keyLength > 0, "private key encoding");
    id.privateKeyDer.assign(keyDer, keyDer + keyLength);
    OPENSSL_free(keyDer);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return id;
    id.publicKey.resize(65);
    size_t publicLength = 0;
    requirePki(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, id.publicKey.data(),
                                               id.publicKey.size(), &publicLength) == 1 &&
                   publicLength == 65 && id.publicKey[0] == 0x04,
               "public key");
    BIGNUM* raw = nullptr;
    requirePki(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) == 1, "private key");
    BignumSecretPtr d(raw);
    id.privateKey.resize(32);
    requirePki(BN_bn2binpad(d.get(), id.privateKey.data(), 32) == 32, "private key");
    return id;
}

// What a certificate is made of beyond its names and dates.
struct Make {
    const char* subjectAltName = "DNS:localhost,IP:127.0.0.1";
    unsigned rsaBits = 0;  // 0: a P-256 key
    const EVP_MD* digest = EVP_sha256();
};

// Issues a certificate for a new key; issuer null means self-signed.
Issued issueCert(const std::string& commonName, Role role, const Issued* issuer,
                 std::time_t notBefore, std::time_t notAfter, uint64_t serial,
                 const Make& make = {}) {
    Issued out{newPkiKey(make.rsaBits), X509Ptr(X509_new()), {}};
    X509* cert = out.cert.get();
    requirePki(cert != nullptr, "certificate");
    auto name = makeName(commonName);
    X509* issuerCert = issuer ? issuer->cert.get() : cert;
    EVP_PKEY* issuerKey = issuer ? issuer->key.get() : out.key.get();
    requirePki(X509_set_version(cert, 2) == 1 &&
                   ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1 &&
                   X509_set_subject_name(cert, name.get()) == 1 &&
                   X509_set_issuer_name(cert, X509_get_subject_name(issuerCert)) == 1 &&
                   ASN1_TIME_set(X509_getm_notBefore(cert), notBefore) != nullptr &&
                   ASN1_TIME_set(X509_getm_notAfter(cert), notAfter) != nullptr &&
                   X509_set_pubkey(cert, out.key.get()) == 1,
               "certificate fields");
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerCert, cert, nullptr, nullptr, 0);
    if (role == Role::ca) {
        addCertExtension(cert, &ctx, NID_basic_constraints, "critical,CA:TRUE");
        addCertExtension(cert, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addCertExtension(cert, &ctx, NID_basic_constraints, "critical,CA:FALSE");
        addCertExtension(cert, &ctx, NID_key_usage, "critical,digitalSignature,keyAgreement");
    }
    if (role == Role::server || role == Role::client) {
        addCertExtension(cert, &ctx, NID_ext_key_usage,
                         role == Role::server ? "serverAuth" : "clientAuth");
        addCertExtension(cert, &ctx, NID_subject_alt_name, make.subjectAltName);
    }
    addCertExtension(cert, &ctx, NID_subject_key_identifier, "hash");
    if (issuer) addCertExtension(cert, &ctx, NID_authority_key_identifier, "keyid:always");
    requirePki(X509_sign(cert, issuerKey, make.digest) > 0, "signing");
    out.identity = identityOf(out.key.get(), cert);
    return out;
}

}  // namespace

std::time_t TestPki::utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

TestPki::TestPki() {
    // Fixed dates, so that a manual clock's default wall time lies inside every validity
    // but the expired one's.
    const std::time_t start = utc(2020, 1, 1, 0, 0, 0);
    const std::time_t caEnd = utc(2060, 1, 1, 0, 0, 0);

    Issued root = issueCert("Telvo Test Root CA", Role::ca, nullptr, start, caEnd, 1);
    Issued intermediate = issueCert("Telvo Test Intermediate CA", Role::ca, &root, start, caEnd, 2);
    Issued device = issueCert(kDeviceCommonName, Role::leaf, &intermediate, start,
                              utc(2048, 2, 29, 12, 34, 56), 3);
    Issued app =
        issueCert("Telvo Test App", Role::leaf, &intermediate, start, utc(2051, 1, 2, 3, 4, 5), 4);
    Issued expired =
        issueCert(kDeviceCommonName, Role::leaf, &intermediate, start, utc(2021, 1, 1, 0, 0, 0), 5);
    Issued unrelated = issueCert("Telvo Test Root CA", Role::ca, nullptr, start, caEnd, 1);
    Issued foreign = issueCert("Telvo Test Intermediate CA", Role::ca, &unrelated, start, caEnd, 2);
    Issued selfSigned = issueCert(kDeviceCommonName, Role::leaf, nullptr, start, caEnd, 6);
    Issued server = issueCert("localhost", Role::server, &intermediate, start, caEnd, 8);
    Issued otherHost = issueCert("other.example.com", Role::server, &intermediate, start, caEnd, 9,
                                 {.subjectAltName = "DNS:other.example.com"});
    Issued selfSignedServer = issueCert("localhost", Role::server, nullptr, start, caEnd, 10);
    Issued attacker = issueCert("localhost", Role::server, &unrelated, start, caEnd, 11);
    Issued expiredServer =
        issueCert("localhost", Role::server, &intermediate, start, utc(2021, 1, 1, 0, 0, 0), 12);
    Issued clientServer = issueCert("localhost", Role::client, &intermediate, start, caEnd, 13);
    Issued rsa1024 =
        issueCert("localhost", Role::server, &intermediate, start, caEnd, 14, {.rsaBits = 1024});
    Issued sha1Signed = issueCert("localhost", Role::server, &intermediate, start, caEnd, 15,
                                  {.digest = EVP_sha1()});

    root_ = std::move(root.identity);
    intermediate_ = std::move(intermediate.identity);
    device_ = std::move(device.identity);
    app_ = std::move(app.identity);
    expiredDevice_ = std::move(expired.identity);
    unrelatedRoot_ = std::move(unrelated.identity);
    foreignIntermediate_ = std::move(foreign.identity);
    selfSignedDevice_ = std::move(selfSigned.identity);
    server_ = std::move(server.identity);
    otherHostServer_ = std::move(otherHost.identity);
    selfSignedServer_ = std::move(selfSignedServer.identity);
    attackerServer_ = std::move(attacker.identity);
    expiredServer_ = std::move(expiredServer.identity);
    clientPurposeServer_ = std::move(clientServer.identity);
    rsa1024Server_ = std::move(rsa1024.identity);
    sha1SignedServer_ = std::move(sha1Signed.identity);
}

const TestPki& TestPki::shared() {
    static const TestPki pki;
    return pki;
}

TestIdentity TestPki::makeSelfSigned(const std::string& commonName, std::time_t notBefore,
                                     std::time_t notAfter) {
    return issueCert(commonName, Role::leaf, nullptr, notBefore, notAfter, 7).identity;
}

namespace {
X509Ptr parseCertificate(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return X509Ptr(d2i_X509(nullptr, &cursor, long(der.size())));
}
}  // namespace

bool serveIdentity(SSL_CTX& context, const TestIdentity& leaf,
                   const std::vector<const Bytes*>& chain) {
    SSL_CTX_set_security_level(&context, 0);
    X509Ptr certificate = parseCertificate(leaf.certificate);
    const unsigned char* cursor = leaf.privateKeyDer.data();
    EvpPkeyPtr key(d2i_AutoPrivateKey(nullptr, &cursor, long(leaf.privateKeyDer.size())));
    if (!certificate || !key || SSL_CTX_use_certificate(&context, certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(&context, key.get()) != 1)
        return false;
    for (const Bytes* der : chain) {
        X509Ptr x509 = parseCertificate(*der);
        if (!x509 || SSL_CTX_add1_chain_cert(&context, x509.get()) != 1) return false;
    }
    return true;
}

}  // namespace telvo::test

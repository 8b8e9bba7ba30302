#include "sim/SimKeyAgreement.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "platform/crypto/OpenSSLPtr.h"
#include "sim/TestPki.h"

namespace telvo::test {

namespace {

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("sim key agreement: ") + what);
}

EvpPkeyPtr newKey(const char* curve) {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
    require(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    require(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Issues a certificate for key under issuer (self-signed when issuer is null).
X509Ptr issue(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca,
              long serial) {
    X509Ptr cert(X509_new());
    require(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Simulated appliance maker"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    X509_set_pubkey(cert.get(), key);
    addExtension(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage,
                 ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyAgreement");
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    require(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

X509Ptr readCert(ByteView der) {
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return cert;
}

// A P-256 key pair from its raw scalar and uncompressed point.
EvpPkeyPtr keyFromRaw(const TestIdentity& identity) {
    BignumSecretPtr d(BN_bin2bn(identity.privateKey.data(),
                                static_cast<int>(identity.privateKey.size()), nullptr));
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    require(
        d && bld &&
            OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "P-256", 0) &&
            OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) &&
            OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                             identity.publicKey.data(), identity.publicKey.size()),
        "key parameters");
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    require(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
                EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) == 1,
            "key import");
    return EvpPkeyPtr(key);
}

Bytes der(X509* cert) {
    int len = i2d_X509(cert, nullptr);
    require(len > 0, "DER");
    Bytes out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert, &p);
    return out;
}

// A P-256 public key from an uncompressed point; null when it is not on the curve.
EvpPkeyPtr publicKeyFromPoint(ByteView point) {
    EvpPkeyPtr key;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return key;
    char group[] = "P-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<uint8_t*>(point.data()), point.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY* out = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_PUBLIC_KEY, params) == 1) key.reset(out);
    return key;
}

std::optional<Bytes> ecdh(EVP_PKEY* own, EVP_PKEY* peer) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1)
        return std::nullopt;
    Bytes out(len);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) return std::nullopt;
    out.resize(len);
    return out;
}

Bytes sha256(ByteView data) {
    Bytes out(32);
    unsigned int len = 0;
    require(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) == 1,
            "SHA-256");
    return out;
}

Bytes hmacSha256Bytes(ByteView key, ByteView data) {
    Bytes out(32);
    size_t len = 0;
    require(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                      data.data(), data.size(), out.data(), out.size(), &len) != nullptr,
            "HMAC");
    return out;
}

// nonce (13) || ciphertext || tag (16), no associated data.
Bytes ccmSeal(ByteView key, ByteView plain) {
    Bytes nonce(13);
    require(RAND_bytes(nonce.data(), 13) == 1, "nonce");
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    Bytes out = nonce;
    out.resize(13 + plain.size() + 16);
    require(
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ccm(), nullptr, nullptr, nullptr) &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_IVLEN, 13, nullptr) &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_TAG, 16, nullptr) &&
            EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) &&
            EVP_EncryptUpdate(ctx.get(), nullptr, &len, nullptr, static_cast<int>(plain.size())) &&
            EVP_EncryptUpdate(ctx.get(), out.data() + 13, &len, plain.data(),
                              static_cast<int>(plain.size())) &&
            EVP_EncryptFinal_ex(ctx.get(), out.data() + 13 + len, &len) &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_GET_TAG, 16,
                                out.data() + 13 + plain.size()),
        "CCM");
    return out;
}

void putLength16(Bytes& out, size_t n) {
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(n >> 8));
}

// Bounded reader over a received body.
struct Reader {
    ByteView data;
    size_t at = 0;
    std::optional<uint8_t> u8() {
        if (at + 1 > data.size()) return std::nullopt;
        return data[at++];
    }
    std::optional<size_t> u16() {
        if (at + 2 > data.size()) return std::nullopt;
        size_t v = data[at] | data[at + 1] << 8;
        at += 2;
        return v;
    }
    std::optional<ByteView> take(size_t n) {
        if (n > data.size() - at) return std::nullopt;
        ByteView v = data.subspan(at, n);
        at += n;
        return v;
    }
};

}  // namespace

struct SimKeyAgreement::Pki {
    EvpPkeyPtr interKey, deviceKey, foreignKey, untrustedKey;
    X509Ptr root, inter, device, foreignDevice, untrustedInter, untrustedDevice, expiredDevice;
    EvpPkeyPtr expiredKey;
    AppCredentials credentials;

    Pki() {
        const TestPki& pki = TestPki::shared();
        root = readCert(pki.root().certificate);
        inter = readCert(pki.intermediate().certificate);
        device = readCert(pki.device().certificate);
        interKey = keyFromRaw(pki.intermediate());
        deviceKey = keyFromRaw(pki.device());
        // A self-signed appliance certificate behind an intermediate of another root.
        untrustedInter = readCert(pki.foreignIntermediate().certificate);
        untrustedDevice = readCert(pki.selfSignedDevice().certificate);
        untrustedKey = keyFromRaw(pki.selfSignedDevice());
        expiredDevice = readCert(pki.expiredDevice().certificate);
        expiredKey = keyFromRaw(pki.expiredDevice());
        // Trusted, but its key is on a curve the app does not speak.
        foreignKey = newKey("P-384");
        foreignDevice =
            issue("Sim Appliance P-384", foreignKey.get(), inter.get(), interKey.get(), false, 77);
        credentials = {pki.root().certificate, pki.intermediate().certificate,
                       pki.app().certificate, pki.app().privateKey};
    }

    bool chainsToRoot(X509* leaf, X509* intermediate) const {
        X509StorePtr store(X509_STORE_new());
        X509StoreCtxPtr ctx(X509_STORE_CTX_new());
        STACK_OF(X509)* untrusted = sk_X509_new_null();
        bool ok = store && ctx && untrusted && X509_STORE_add_cert(store.get(), root.get()) == 1 &&
                  (!intermediate || sk_X509_push(untrusted, intermediate) > 0) &&
                  X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted) == 1 &&
                  X509_verify_cert(ctx.get()) == 1;
        sk_X509_free(untrusted);
        return ok;
    }
};

SimKeyAgreement::SimKeyAgreement() : pki_(std::make_unique<Pki>()) {}
SimKeyAgreement::~SimKeyAgreement() = default;

std::optional<Bytes> ecdhP256(const TestIdentity& own, ByteView peerPoint) {
    EvpPkeyPtr peer = publicKeyFromPoint(peerPoint);
    if (!peer) return std::nullopt;
    return ecdh(keyFromRaw(own).get(), peer.get());
}

const SimKeyAgreement::AppCredentials& SimKeyAgreement::appCredentials() const {
    return pki_->credentials;
}

std::optional<Bytes> SimKeyAgreement::answerM1(ByteView m1) {
    m1_.clear();
    m2_.clear();
    n2_.clear();
    sessionKey_.clear();
    finscVerified_ = false;

    Reader in{m1};
    auto subCmd = in.u8();
    auto version = in.u8();
    if (!subCmd || !version || (*subCmd != 1 && *subCmd != 3) || *version != 1) return std::nullopt;
    EvpPkeyPtr peer;
    bool trusted = true;
    if (*subCmd == 1) {
        auto aLen = in.u16();
        auto two = aLen ? in.take(*aLen) : std::nullopt;
        auto bLen = in.u16();
        auto appCer = bLen ? in.take(*bLen) : std::nullopt;
        if (!two || !appCer) return std::nullopt;
        const unsigned char* p = two->data();
        X509Ptr inter(d2i_X509(nullptr, &p, static_cast<long>(two->size())));
        p = appCer->data();
        X509Ptr app(d2i_X509(nullptr, &p, static_cast<long>(appCer->size())));
        if (!app) return std::nullopt;
        trusted = pki_->chainsToRoot(app.get(), inter.get());
        EVP_PKEY* pub = X509_get_pubkey(app.get());
        peer.reset(pub);
    } else {
        auto kLen = in.u16();
        auto key = kLen ? in.take(*kLen) : std::nullopt;
        if (!key || key->size() != 64) return std::nullopt;
        Bytes point{0x04};
        point.insert(point.end(), key->begin(), key->end());
        peer = publicKeyFromPoint(point);
        if (!peer) return std::nullopt;
    }
    auto nLen = in.u8();
    auto n1 = nLen ? in.take(*nLen) : std::nullopt;
    if (!n1 || *nLen == 0 || in.at != m1.size()) return std::nullopt;

    Bytes m2{*subCmd, 0x01};
    if (!trusted) {
        // Status 1 and an empty first length: the shortest reply the app reads.
        m2.insert(m2.end(), {0x01, 0x00, 0x00});
        m1_.assign(m1.begin(), m1.end());
        m2_ = m2;
        return m2;
    }
    m2.push_back(0x00);

    X509* inter = pki_->inter.get();
    X509* device = pki_->device.get();
    EVP_PKEY* deviceKey = pki_->deviceKey.get();
    if (misbehaviour_ == Misbehaviour::UntrustedChain) {
        inter = pki_->untrustedInter.get();
        device = pki_->untrustedDevice.get();
        deviceKey = pki_->untrustedKey.get();
    } else if (misbehaviour_ == Misbehaviour::ExpiredCertificate) {
        device = pki_->expiredDevice.get();
        deviceKey = pki_->expiredKey.get();
    } else if (misbehaviour_ == Misbehaviour::ForeignCurveKey) {
        device = pki_->foreignDevice.get();
        deviceKey = pki_->foreignKey.get();
    }

    Bytes secret;
    if (auto shared = ecdh(deviceKey, peer.get())) {
        secret = *shared;
    } else {
        // Only the P-384 misbehaviour gets here; the app must stop before it needs a key.
        secret.resize(32);
        require(RAND_bytes(secret.data(), 32) == 1, "random");
    }
    n2_.resize(16);
    require(RAND_bytes(n2_.data(), 16) == 1, "random");
    Bytes material = secret;
    material.insert(material.end(), n1->begin(), n1->end());
    material.insert(material.end(), n2_.begin(), n2_.end());
    sessionKey_ = sha256(material);
    sessionKey_.resize(16);

    Bytes interDer = der(inter), deviceDer = der(device);
    putLength16(m2, interDer.size());
    m2.insert(m2.end(), interDer.begin(), interDer.end());
    putLength16(m2, deviceDer.size());
    m2.insert(m2.end(), deviceDer.begin(), deviceDer.end());
    m2.push_back(static_cast<uint8_t>(n2_.size()));
    m2.insert(m2.end(), n2_.begin(), n2_.end());
    m2.push_back(32);

    Bytes finsInput(m1.begin(), m1.end());
    finsInput.insert(finsInput.end(), m2.begin(), m2.end());
    Bytes fins = hmacSha256Bytes(sessionKey_, finsInput);
    if (misbehaviour_ == Misbehaviour::AlteredFins) fins[7] ^= 0x01;
    m2.insert(m2.end(), fins.begin(), fins.end());

    m1_.assign(m1.begin(), m1.end());
    m2_ = m2;
    return m2;
}

std::optional<Bytes> SimKeyAgreement::answerM3(ByteView m3) {
    finscVerified_ = false;
    if (sessionKey_.empty()) return std::nullopt;
    Reader in{m3};
    auto subCmd = in.u8();
    auto version = in.u8();
    auto fLen = in.u8();
    if (!subCmd || !version || !fLen || *subCmd != 2 || *version != 1) return std::nullopt;
    auto finsc = in.take(*fLen);
    if (!finsc || in.at != m3.size()) return std::nullopt;

    Bytes input = m1_;
    input.insert(input.end(), m2_.begin(), m2_.end());
    Bytes expected = hmacSha256Bytes(sessionKey_, input);
    finscVerified_ = finsc->size() == expected.size() &&
                     CRYPTO_memcmp(finsc->data(), expected.data(), expected.size()) == 0;

    Bytes plain{static_cast<uint8_t>(finscVerified_ ? 0 : 1)};
    if (misbehaviour_ == Misbehaviour::M4ResultNotZero) plain[0] = 1;
    Bytes echo = n2_;
    if (misbehaviour_ == Misbehaviour::WrongN2) echo[0] ^= 0xFF;
    if (misbehaviour_ == Misbehaviour::ShortM4) echo.pop_back();
    plain.insert(plain.end(), echo.begin(), echo.end());

    Bytes sealed = ccmSeal(sessionKey_, plain);
    if (misbehaviour_ == Misbehaviour::AlteredTag) sealed.back() ^= 0x01;

    Bytes m4{0x02, 0x01};
    putLength16(m4, sealed.size());
    m4.insert(m4.end(), sealed.begin(), sealed.end());
    return m4;
}

}  // namespace telvo::test

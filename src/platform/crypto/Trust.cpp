#include "platform/crypto/Trust.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <string_view>

#include "platform/crypto/OpenSSLLibrary.h"
#include "platform/dispatch/Clock.h"

namespace telvo {

namespace {

void freeX509Stack(STACK_OF(X509) * stack) {
    sk_X509_free(stack);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSSLDeleter<freeX509Stack>>;

// The system's trusted roots, read once: OpenSSL looks certificates up in its default folder
// as a chain needs them, and X509_STORE serves concurrent verifications.
X509_STORE* systemStore() {
    static X509_STORE* const store = [] {
        X509_STORE* made = X509_STORE_new();
        if (made && X509_STORE_set_default_paths(made) != 1) {
            X509_STORE_free(made);
            made = nullptr;
        }
        ERR_clear_error();
        return made;
    }();
    return store;
}

// The security level the system gives a TLS connection (its OpenSSL configuration, else the
// build's default), never below 2: no key under 112 bits of strength (RSA under 2048 bits) and
// no signature over SHA-1 anywhere in the chain.
int systemSecurityLevel() {
    static const int level = [] {
        std::unique_ptr<SSL_CTX, OpenSSLDeleter<SSL_CTX_free>> context(SSL_CTX_new(TLS_method()));
        const int configured = context ? SSL_CTX_get_security_level(context.get()) : 0;
        ERR_clear_error();
        return std::max(configured, 2);
    }();
    return level;
}

SecTrust::TimePoint currentVerificationTime() {
    return SecTrust::TimePoint(std::chrono::duration_cast<SecTrust::TimePoint::duration>(
        std::chrono::nanoseconds(Clock::shared()->wallNanos())));
}

// A certificate of our own for one of OpenSSL's; null when it does not convert.
SecCertificateRef certificateOf(X509* x509) {
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    if (length <= 0) return nullptr;
    auto certificate = SecCertificate::createWithData(ByteView(der, size_t(length)));
    OPENSSL_free(der);
    return certificate;
}

}  // namespace

SecCertificateRef SecCertificate::createWithData(ByteView data) {
    if (data.empty() || data.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const unsigned char* cursor = data.data();
    X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(data.size())));
    if (!x509 || cursor != data.data() + data.size()) {
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<const SecCertificate>(Bytes(data.begin(), data.end()), std::move(x509));
}

namespace {

// The first certificate of PEM text, when every certificate in it reads.
X509Ptr firstOfPem(ByteView text) {
    if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return nullptr;
    X509Ptr first;
    for (;;) {
        X509Ptr next(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!next) break;
        if (!first) first = std::move(next);
    }
    // Reading ends at the text's end (no further start line), or at a certificate that does
    // not read.
    const unsigned long error = ERR_peek_last_error();
    const bool atEnd =
        ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    return atEnd ? std::move(first) : nullptr;
}

}  // namespace

std::optional<CertificateTime> certificateNotAfter(ByteView data) {
    if (data.empty() || data.size() > static_cast<size_t>(LONG_MAX)) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    X509Ptr x509;
    if (data.back() == '\0' &&
        text.substr(0, text.find('\0')).find("-----BEGIN CERTIFICATE-----") != text.npos) {
        x509 = firstOfPem(data.first(data.size() - 1));
    } else {
        const unsigned char* cursor = data.data();
        x509.reset(d2i_X509(nullptr, &cursor, static_cast<long>(data.size())));
    }
    std::tm end{};
    const ASN1_TIME* notAfter = x509 ? X509_get0_notAfter(x509.get()) : nullptr;
    const bool read = notAfter && ASN1_TIME_to_tm(notAfter, &end) == 1;
    ERR_clear_error();
    if (!read) return std::nullopt;
    return CertificateTime{end.tm_year + 1900, end.tm_mon + 1, end.tm_mday,
                           end.tm_hour,        end.tm_min,     end.tm_sec};
}

std::unique_ptr<SecTrust> SecTrust::create(std::vector<SecCertificateRef> certificates,
                                           SecPolicy policy, OSStatus* status) {
    bool valid = !certificates.empty();
    for (const auto& certificate : certificates) valid = valid && certificate;
    if (status) *status = valid ? errSecSuccess : errSecParam;
    if (!valid) return nullptr;
    return std::make_unique<SecTrust>(std::move(certificates), policy);
}

OSStatus SecTrust::setAnchorCertificates(std::vector<SecCertificateRef> anchors) {
    for (const auto& anchor : anchors) {
        if (!anchor) return errSecParam;
    }
    anchors_ = std::move(anchors);
    systemAnchors_ = false;
    return errSecSuccess;
}

OSStatus SecTrust::evaluate(SecTrustResultType* result) {
    if (!result) return errSecParam;
    *result = SecTrustResultType::invalid;
    chain_.clear();
    X509StorePtr store;
    if (!systemAnchors_) {
        store.reset(X509_STORE_new());
    } else if (X509_STORE* shared = systemStore(); shared && X509_STORE_up_ref(shared) == 1) {
        store.reset(shared);
    }
    X509StackPtr untrusted(sk_X509_new_null());
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!store || !untrusted || !ctx) {
        ERR_clear_error();
        return errSecParam;
    }
    for (const auto& anchor : anchors_) {
        if (X509_STORE_add_cert(store.get(), anchor->handle()) != 1) {
            ERR_clear_error();
            return errSecParam;
        }
    }
    for (size_t i = 1; i < certificates_.size(); ++i) {
        if (!sk_X509_push(untrusted.get(), certificates_[i]->handle())) return errSecParam;
    }
    if (X509_STORE_CTX_init(ctx.get(), store.get(), certificates_.front()->handle(),
                            untrusted.get()) != 1) {
        ERR_clear_error();
        return errSecParam;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    // An anchor set on the trust is trusted as it is, whether or not it is self-signed; the
    // system's roots only as roots.
    if (!systemAnchors_) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_auth_level(param, systemSecurityLevel());
    TimePoint when = verifyDate_ ? *verifyDate_ : currentVerificationTime();
    X509_VERIFY_PARAM_set_time(param, std::chrono::system_clock::to_time_t(when));
    if (policy_ == SecPolicy::sslServer &&
        X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER) != 1) {
        ERR_clear_error();
        return errSecParam;
    }
    if (policy_ == SecPolicy::sslServer && host_ && host_->empty()) {
        // OpenSSL takes an empty name as no name at all.
        lastVerifyError_ = X509_V_ERR_HOSTNAME_MISMATCH;
        *result = SecTrustResultType::recoverableTrustFailure;
        return errSecSuccess;
    }
    if (policy_ == SecPolicy::sslServer && host_) {
        // A numeric host is matched against the IP addresses the leaf names.
        int named = X509_VERIFY_PARAM_set1_ip_asc(param, host_->c_str()) == 1 ||
                    X509_VERIFY_PARAM_set1_host(param, host_->c_str(), host_->size()) == 1;
        if (!named) {
            ERR_clear_error();
            return errSecParam;
        }
    }

    int verified = X509_verify_cert(ctx.get());
    lastVerifyError_ = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    if (verified == 1) {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; built && i < sk_X509_num(built); ++i) {
            if (auto certificate = certificateOf(sk_X509_value(built, i))) {
                chain_.push_back(std::move(certificate));
            }
        }
        *result = SecTrustResultType::unspecified;
        return errSecSuccess;
    }
    if (verified < 0) return errSecParam;
    switch (lastVerifyError_) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            *result = SecTrustResultType::recoverableTrustFailure;
            break;
        default:
            *result = SecTrustResultType::fatalTrustFailure;
            break;
    }
    return errSecSuccess;
}

SecKeyRef SecTrust::copyPublicKey() const {
    EVP_PKEY* key = X509_get0_pubkey(certificates_.front()->handle());
    if (!key || !EVP_PKEY_up_ref(key)) {
        ERR_clear_error();
        return nullptr;
    }
    return SecKey::adopt(EvpPkeyPtr(key), SecKeyClass::publicKey);
}

namespace {

std::optional<std::string> nameEntry(X509_NAME* name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return std::nullopt;
    unsigned char* utf8 = nullptr;
    int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length < 0) return std::nullopt;
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

std::optional<std::string> SecCertificate::commonName() const {
    return nameEntry(X509_get_subject_name(x509_.get()), NID_commonName);
}

std::string SecCertificate::subjectSummary() const {
    if (auto name = commonName()) return *name;
    X509_NAME* subject = X509_get_subject_name(x509_.get());
    if (X509_NAME_entry_count(subject) == 0) return {};
    return nameEntry(subject,
                     OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, 0))))
        .value_or("");
}

std::vector<std::string> SecCertificate::emailAddresses() const {
    std::vector<std::string> out;
    STACK_OF(OPENSSL_STRING)* emails = X509_get1_email(x509_.get());
    for (int i = 0; i < sk_OPENSSL_STRING_num(emails); ++i)
        out.emplace_back(sk_OPENSSL_STRING_value(emails, i));
    X509_email_free(emails);
    return out;
}

std::vector<SecCertificateRef> peerCertificateChain(X509_STORE_CTX* store) {
    std::vector<SecCertificateRef> chain;
    auto append = [&](X509* x509) {
        if (auto certificate = certificateOf(x509)) chain.push_back(std::move(certificate));
    };
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) append(leaf);
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store);
    for (int i = 0; sent && i < sk_X509_num(sent); ++i) {
        X509* x509 = sk_X509_value(sent, i);
        if (x509 != leaf) append(x509);
    }
    return chain;
}

OSStatus SecPKCS12Import(ByteView data, const std::string& passphrase,
                         std::vector<SecIdentity>* identities) {
    if (data.empty() || data.size() > static_cast<size_t>(LONG_MAX)) return errSecDecode;
    const unsigned char* cursor = data.data();
    std::unique_ptr<PKCS12, OpenSSLDeleter<PKCS12_free>> p12(
        d2i_PKCS12(nullptr, &cursor, static_cast<long>(data.size())));
    if (!p12) {
        ERR_clear_error();
        return errSecDecode;
    }
    const char* pass = passphrase.c_str();
    if (!PKCS12_verify_mac(p12.get(), pass, static_cast<int>(passphrase.size()))) {
        if (!passphrase.empty() || !PKCS12_verify_mac(p12.get(), nullptr, 0)) {
            ERR_clear_error();
            return errSecAuthFailed;
        }
        pass = nullptr;
    }
    EVP_PKEY* key = nullptr;
    X509* x509 = nullptr;
    STACK_OF(X509)* chain = nullptr;
    if (!PKCS12_parse(p12.get(), pass, &key, &x509, &chain)) {
        ERR_clear_error();
        return errSecDecode;
    }
    EvpPkeyPtr ownedKey(key);
    X509Ptr ownedCertificate(x509);
    sk_X509_pop_free(chain, X509_free);
    if (!ownedKey || !ownedCertificate) return errSecDecode;
    unsigned char* der = nullptr;
    int length = i2d_X509(ownedCertificate.get(), &der);
    if (length <= 0) {
        ERR_clear_error();
        return errSecDecode;
    }
    Bytes certificateData(der, der + length);
    OPENSSL_free(der);
    SecIdentity identity{SecKey::adopt(std::move(ownedKey), SecKeyClass::privateKey),
                         std::make_shared<const SecCertificate>(std::move(certificateData),
                                                                std::move(ownedCertificate))};
    if (!identity.privateKey) return errSecDecode;
    if (identities) identities->assign(1, std::move(identity));
    return errSecSuccess;
}

}  // namespace telvo

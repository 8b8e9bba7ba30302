#include "platform/Trust.h"

#include <openssl/err.h>

#include <climits>

#include "platform/Clock.h"

namespace telvo {

namespace {

void freeX509Stack(STACK_OF(X509) * stack) {
    sk_X509_free(stack);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSSLDeleter<freeX509Stack>>;

SecTrust::TimePoint currentVerificationTime() {
    return SecTrust::TimePoint(std::chrono::duration_cast<SecTrust::TimePoint::duration>(
        std::chrono::nanoseconds(Clock::shared()->wallNanos())));
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
    return errSecSuccess;
}

OSStatus SecTrust::evaluate(SecTrustResultType* result) {
    if (!result) return errSecParam;
    *result = SecTrustResultType::invalid;
    chain_.clear();
    X509StorePtr store(X509_STORE_new());
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
    // An anchor is trusted as it is, whether or not it is self-signed.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    TimePoint when = verifyDate_ ? *verifyDate_ : currentVerificationTime();
    X509_VERIFY_PARAM_set_time(param, std::chrono::system_clock::to_time_t(when));
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
            X509* x509 = sk_X509_value(built, i);
            unsigned char* der = nullptr;
            int length = i2d_X509(x509, &der);
            if (length <= 0) continue;
            auto certificate = SecCertificate::createWithData(ByteView(der, size_t(length)));
            OPENSSL_free(der);
            if (certificate) chain_.push_back(std::move(certificate));
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

}  // namespace telvo

#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/KeyStore.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// X.509 certificates and trust evaluation, on OpenSSL. A chain is trusted through the anchors
// set on its trust object, or through the system's trusted roots when the trust is told to use
// them.

class SecCertificate;
using SecCertificateRef = std::shared_ptr<const SecCertificate>;

class SecCertificate {
  public:
    // nullptr unless data is exactly one DER certificate.
    static SecCertificateRef createWithData(ByteView data);

    const Bytes& data() const { return data_; }
    // The subject's common name (else its first entry) as the platform summarises it; its
    // common name; its e-mail addresses (subject and alternative names).
    std::string subjectSummary() const;
    std::optional<std::string> commonName() const;
    std::vector<std::string> emailAddresses() const;
    // Borrowed; valid while this certificate lives.
    X509* handle() const { return x509_.get(); }

    SecCertificate(Bytes data, X509Ptr x509) : data_(std::move(data)), x509_(std::move(x509)) {}

  private:
    Bytes data_;
    X509Ptr x509_;
};

// A certificate's validity end (notAfter) field by field as the certificate states it, without
// any time-zone conversion.
struct CertificateTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// data is one DER certificate (bytes after it are not read), or PEM text that ends in a zero
// byte and whose certificates all read (the first one's time). Nothing when it does not read.
std::optional<CertificateTime> certificateNotAfter(ByteView data);

// basicX509: the chain alone. sslServer: the chain, every certificate of it fit for a TLS
// server (an extended key usage, where present, names the server purpose), and the leaf must
// name the host (a DNS name, or an IP address in numeric form); without a host, no name is
// checked, and an empty host is a name no certificate carries.
enum class SecPolicy { basicX509, sslServer };

// The platform's trust result values.
enum class SecTrustResultType : uint32_t {
    invalid = 0,
    proceed = 1,
    deny = 3,
    unspecified = 4,
    recoverableTrustFailure = 5,
    fatalTrustFailure = 6,
    otherError = 7,
};

// One evaluation context: the certificate under evaluation first, then certificates that may
// serve as intermediates. Not thread-safe; one owner at a time.
class SecTrust {
  public:
    using TimePoint = std::chrono::system_clock::time_point;

    // nullptr (and *status errSecParam) for an empty list or a null certificate.
    static std::unique_ptr<SecTrust> create(std::vector<SecCertificateRef> certificates,
                                            SecPolicy policy, OSStatus* status = nullptr);

    // Replaces the trust's policy (SecTrustSetPolicies with one policy).
    void setPolicy(SecPolicy policy, std::optional<std::string> host = std::nullopt) {
        policy_ = policy;
        host_ = std::move(host);
    }
    // From now on only these anchors are trusted.
    OSStatus setAnchorCertificates(std::vector<SecCertificateRef> anchors);
    // From now on the system's trusted roots are the anchors (OpenSSL's default certificate
    // file and folder; on Debian the ca-certificates bundle), until setAnchorCertificates.
    void useSystemAnchorCertificates() {
        anchors_.clear();
        systemAnchors_ = true;
    }
    // Evaluates at this time instead of the shared clock's wall time.
    void setVerifyDate(TimePoint date) { verifyDate_ = date; }

    // Builds and checks the chain (signatures, validity at the verification time, CA
    // constraints) at the system's TLS security level, and never below level 2 (keys of at
    // least 112 bits of strength, no signature over SHA-1; an anchor's own signature is not
    // checked). A status of errSecSuccess means *result holds the verdict: unspecified
    // when the chain reaches an anchor, a failure value otherwise.
    OSStatus evaluate(SecTrustResultType* result);
    // OpenSSL's verification error of the last evaluation (X509_V_OK when trusted).
    int lastVerifyError() const { return lastVerifyError_; }

    // The chain the last successful evaluation built, leaf first and anchor last; before
    // that (or after a failed one), the certificates the trust was made with.
    const std::vector<SecCertificateRef>& certificateChain() const {
        return chain_.empty() ? certificates_ : chain_;
    }
    // The certificates the trust was made with.
    const std::vector<SecCertificateRef>& certificates() const { return certificates_; }

    // The public key of the certificate under evaluation.
    SecKeyRef copyPublicKey() const;

    SecTrust(std::vector<SecCertificateRef> certificates, SecPolicy policy)
        : certificates_(std::move(certificates)), policy_(policy) {}

  private:
    std::vector<SecCertificateRef> certificates_;
    std::vector<SecCertificateRef> anchors_;
    bool systemAnchors_ = false;
    std::vector<SecCertificateRef> chain_;
    SecPolicy policy_ = SecPolicy::basicX509;
    std::optional<std::string> host_;
    std::optional<TimePoint> verifyDate_;
    int lastVerifyError_ = 0;
};

// The chain a TLS peer sent, leaf first, as OpenSSL's verification context holds it
// (certificates that do not convert are left out).
std::vector<SecCertificateRef> peerCertificateChain(X509_STORE_CTX* store);

// One identity of a PKCS#12 file: a private key and its certificate.
struct SecIdentity {
    SecKeyRef privateKey;
    SecCertificateRef certificate;
};

// Reads a PKCS#12 file with its passphrase. errSecAuthFailed for a wrong passphrase,
// errSecDecode for data that is not PKCS#12; *identities is filled only on success.
OSStatus SecPKCS12Import(ByteView data, const std::string& passphrase,
                         std::vector<SecIdentity>* identities);

}  // namespace telvo

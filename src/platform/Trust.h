#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "platform/KeyStore.h"
#include "platform/OpenSSLPtr.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// X.509 certificates and trust evaluation, on OpenSSL. The platform has no anchors of its
// own: a chain is trusted only through the anchors set on its trust object.

class SecCertificate;
using SecCertificateRef = std::shared_ptr<const SecCertificate>;

class SecCertificate {
  public:
    // nullptr unless data is exactly one DER certificate.
    static SecCertificateRef createWithData(ByteView data);

    const Bytes& data() const { return data_; }
    // Borrowed; valid while this certificate lives.
    X509* handle() const { return x509_.get(); }

    SecCertificate(Bytes data, X509Ptr x509) : data_(std::move(data)), x509_(std::move(x509)) {}

  private:
    Bytes data_;
    X509Ptr x509_;
};

enum class SecPolicy { basicX509 };

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

    // From now on only these anchors are trusted.
    OSStatus setAnchorCertificates(std::vector<SecCertificateRef> anchors);
    // Evaluates at this time instead of the shared clock's wall time.
    void setVerifyDate(TimePoint date) { verifyDate_ = date; }

    // Builds and checks the chain (signatures, validity at the verification time, CA
    // constraints). A status of errSecSuccess means *result holds the verdict: unspecified
    // when the chain reaches an anchor, a failure value otherwise.
    OSStatus evaluate(SecTrustResultType* result);
    // OpenSSL's verification error of the last evaluation (X509_V_OK when trusted).
    int lastVerifyError() const { return lastVerifyError_; }

    // The public key of the certificate under evaluation.
    SecKeyRef copyPublicKey() const;

    explicit SecTrust(std::vector<SecCertificateRef> certificates)
        : certificates_(std::move(certificates)) {}

  private:
    std::vector<SecCertificateRef> certificates_;
    std::vector<SecCertificateRef> anchors_;
    std::optional<TimePoint> verifyDate_;
    int lastVerifyError_ = 0;
};

}  // namespace telvo

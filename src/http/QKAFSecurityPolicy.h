#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/crypto/KeyStore.h"
#include "platform/crypto/Trust.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

enum QKAFSSLPinningMode : uint64_t {
    QKAFSSLPinningModeNone = 0,
    QKAFSSLPinningModePublicKey = 1,
    QKAFSSLPinningModeCertificate = 2,
};

// Decides whether the certificate chain a server offers in a TLS handshake is trusted.
// Thread-safe: the session layer evaluates on the URL-loading thread while callers may change
// the settings.
class QKAFSecurityPolicy {
  public:
    using CertificateSet = std::set<Bytes>;

    // Mode 0, invalid certificates refused, domain names validated.
    static std::shared_ptr<QKAFSecurityPolicy> defaultPolicy();
    static std::shared_ptr<QKAFSecurityPolicy> policyWithPinningMode(uint64_t pinningMode);
    static std::shared_ptr<QKAFSecurityPolicy> policyWithPinningMode(
        uint64_t pinningMode, std::optional<CertificateSet> pinnedCertificates);
    // The ".cer" files beside the executable, read once per process.
    static CertificateSet defaultPinnedCertificates();
    // The contents of every ".cer" file in the directory's top level.
    static CertificateSet certificatesInBundle(const std::string& directory);

    bool allowInvalidCertificates() const;
    void setAllowInvalidCertificates(bool allow);
    bool validatesDomainName() const;
    void setValidatesDomainName(bool validates);
    uint64_t SSLPinningMode() const;
    void setSSLPinningMode(uint64_t mode);
    std::optional<CertificateSet> pinnedCertificates() const;
    // Also derives pinnedPublicKeys: one key per entry that is a DER certificate.
    void setPinnedCertificates(std::optional<CertificateSet> certificates);
    std::optional<std::vector<SecKeyRef>> pinnedPublicKeys() const;
    // The roots (DER certificates) a server chain must lead to in place of the trust's own
    // anchors (the system's trusted roots); null, the default: the trust's own. Data that is not
    // a certificate anchors nothing.
    std::optional<CertificateSet> anchorCertificates() const;
    void setAnchorCertificates(std::optional<CertificateSet> certificates);

    // The trust's policy is replaced (SSL for the domain, or basic X.509 when domain names
    // are not validated) before it is evaluated.
    bool evaluateServerTrust(SecTrust& serverTrust, const std::optional<std::string>& domain) const;

    // A copy of the settings.
    std::shared_ptr<QKAFSecurityPolicy> copy() const;
    // Keyed archiving: "SSLPinningMode", "allowInvalidCertificates", "validatesDomainName", and
    // "pinnedCertificates" and "anchorCertificates" when set; null from initWithCoder for
    // another class or fields of the wrong kinds.
    void encodeWithCoder(Dictionary& coder) const;
    static std::shared_ptr<QKAFSecurityPolicy> initWithCoder(const Dictionary& coder);

  private:
    mutable std::mutex mutex_;
    bool allowInvalidCertificates_ = false;
    bool validatesDomainName_ = true;
    uint64_t SSLPinningMode_ = QKAFSSLPinningModeNone;
    std::optional<CertificateSet> pinnedCertificates_;
    std::optional<std::vector<SecKeyRef>> pinnedPublicKeys_;
    std::optional<CertificateSet> anchorCertificates_;
};

}  // namespace telvo

#include "http/QKAFSecurityPolicy.h"

#include <openssl/err.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/KeyedArchive.h"

namespace telvo {

namespace {

bool trustIsValid(SecTrust& trust) {
    SecTrustResultType result;
    return trust.evaluate(&result) == errSecSuccess &&
           (result == SecTrustResultType::proceed || result == SecTrustResultType::unspecified);
}

// The public key of a certificate evaluated alone with the basic X.509 policy; null when a
// step fails.
SecKeyRef certificatePublicKey(const SecCertificateRef& certificate) {
    auto trust = SecTrust::create({certificate}, SecPolicy::basicX509);
    SecTrustResultType result;
    if (!trust || trust->evaluate(&result) != errSecSuccess) return nullptr;
    return trust->copyPublicKey();
}

bool sameKey(const SecKeyRef& a, const SecKeyRef& b) {
    bool equal = EVP_PKEY_eq(a->handle(), b->handle()) == 1;
    ERR_clear_error();
    return equal;
}

bool signedBy(const SecCertificateRef& subject, const SecCertificateRef& issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer->handle());
    bool verified = key && X509_verify(subject->handle(), key) == 1;
    ERR_clear_error();
    return verified;
}

// The leaf and the certificates of the chain it links to by signature, leaf first. A
// certificate merely sent along with the chain does not count.
std::vector<SecCertificateRef> linkedChain(const std::vector<SecCertificateRef>& chain) {
    std::vector<SecCertificateRef> linked;
    if (chain.empty()) return linked;
    linked.push_back(chain.front());
    std::vector<bool> used(chain.size(), false);
    used[0] = true;
    for (;;) {
        const SecCertificateRef& current = linked.back();
        size_t issuer = 0;
        for (size_t i = 1; i < chain.size() && issuer == 0; ++i)
            if (!used[i] && signedBy(current, chain[i])) issuer = i;
        if (issuer == 0) return linked;
        used[issuer] = true;
        linked.push_back(chain[issuer]);
    }
}

// The entries that are DER certificates.
std::vector<SecCertificateRef> certificatesOf(const QKAFSecurityPolicy::CertificateSet& set) {
    std::vector<SecCertificateRef> certificates;
    for (const Bytes& data : set)
        if (auto certificate = SecCertificate::createWithData(data))
            certificates.push_back(std::move(certificate));
    return certificates;
}

}  // namespace

std::shared_ptr<QKAFSecurityPolicy> QKAFSecurityPolicy::defaultPolicy() {
    return std::make_shared<QKAFSecurityPolicy>();
}

std::shared_ptr<QKAFSecurityPolicy> QKAFSecurityPolicy::policyWithPinningMode(uint64_t mode) {
    return policyWithPinningMode(mode, defaultPinnedCertificates());
}

std::shared_ptr<QKAFSecurityPolicy> QKAFSecurityPolicy::policyWithPinningMode(
    uint64_t mode, std::optional<CertificateSet> pinnedCertificates) {
    auto policy = std::make_shared<QKAFSecurityPolicy>();
    policy->setSSLPinningMode(mode);
    policy->setPinnedCertificates(std::move(pinnedCertificates));
    return policy;
}

QKAFSecurityPolicy::CertificateSet QKAFSecurityPolicy::certificatesInBundle(
    const std::string& directory) {
    CertificateSet certificates;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (!entry.is_regular_file(error) || entry.path().extension() != ".cer") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        certificates.insert(Bytes(std::istreambuf_iterator<char>(in), {}));
    }
    return certificates;
}

QKAFSecurityPolicy::CertificateSet QKAFSecurityPolicy::defaultPinnedCertificates() {
    static const CertificateSet certificates = [] {
        std::error_code error;
        auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? CertificateSet{} : certificatesInBundle(executable.parent_path().string());
    }();
    return certificates;
}

bool QKAFSecurityPolicy::allowInvalidCertificates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allowInvalidCertificates_;
}
void QKAFSecurityPolicy::setAllowInvalidCertificates(bool allow) {
    std::lock_guard<std::mutex> lock(mutex_);
    allowInvalidCertificates_ = allow;
}
bool QKAFSecurityPolicy::validatesDomainName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return validatesDomainName_;
}
void QKAFSecurityPolicy::setValidatesDomainName(bool validates) {
    std::lock_guard<std::mutex> lock(mutex_);
    validatesDomainName_ = validates;
}
uint64_t QKAFSecurityPolicy::SSLPinningMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return SSLPinningMode_;
}
void QKAFSecurityPolicy::setSSLPinningMode(uint64_t mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    SSLPinningMode_ = mode;
}
std::optional<QKAFSecurityPolicy::CertificateSet> QKAFSecurityPolicy::pinnedCertificates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pinnedCertificates_;
}
std::optional<std::vector<SecKeyRef>> QKAFSecurityPolicy::pinnedPublicKeys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pinnedPublicKeys_;
}

std::optional<QKAFSecurityPolicy::CertificateSet> QKAFSecurityPolicy::anchorCertificates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return anchorCertificates_;
}
void QKAFSecurityPolicy::setAnchorCertificates(std::optional<CertificateSet> certificates) {
    std::lock_guard<std::mutex> lock(mutex_);
    anchorCertificates_ = std::move(certificates);
}

void QKAFSecurityPolicy::setPinnedCertificates(std::optional<CertificateSet> certificates) {
    std::optional<std::vector<SecKeyRef>> keys;
    if (certificates) {
        keys.emplace();
        for (const Bytes& data : *certificates) {
            auto certificate = SecCertificate::createWithData(data);
            if (!certificate) continue;
            if (auto key = certificatePublicKey(certificate)) keys->push_back(std::move(key));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pinnedCertificates_ = std::move(certificates);
    pinnedPublicKeys_ = std::move(keys);
}

std::shared_ptr<QKAFSecurityPolicy> QKAFSecurityPolicy::copy() const {
    auto policy = std::make_shared<QKAFSecurityPolicy>();
    std::lock_guard<std::mutex> lock(mutex_);
    policy->allowInvalidCertificates_ = allowInvalidCertificates_;
    policy->validatesDomainName_ = validatesDomainName_;
    policy->SSLPinningMode_ = SSLPinningMode_;
    policy->pinnedCertificates_ = pinnedCertificates_;
    policy->pinnedPublicKeys_ = pinnedPublicKeys_;
    policy->anchorCertificates_ = anchorCertificates_;
    return policy;
}

namespace {
Value certificatesValue(const QKAFSecurityPolicy::CertificateSet& certificates) {
    Value::Array list;
    for (const Bytes& data : certificates) list.emplace_back(data);
    return Value(std::move(list));
}
// nullopt for an absent key; false through ok for a value of the wrong kind.
std::optional<QKAFSecurityPolicy::CertificateSet> certificatesOf(const Value& value, bool* ok) {
    if (value.isNull()) return std::nullopt;
    QKAFSecurityPolicy::CertificateSet set;
    if (!value.isArray()) *ok = false;
    for (const auto& data : value.isArray() ? value.array() : Value::Array{}) {
        if (!data.isBytes()) *ok = false;
        set.insert(data.bytes());
    }
    return set;
}
}  // namespace

void QKAFSecurityPolicy::encodeWithCoder(Dictionary& coder) const {
    std::lock_guard<std::mutex> lock(mutex_);
    coder.set(KeyedArchive::kClassKey, Value("QKAFSecurityPolicy"));
    coder.set("SSLPinningMode", Value(SSLPinningMode_));
    coder.set("allowInvalidCertificates", Value(allowInvalidCertificates_));
    coder.set("validatesDomainName", Value(validatesDomainName_));
    if (pinnedCertificates_)
        coder.set("pinnedCertificates", certificatesValue(*pinnedCertificates_));
    if (anchorCertificates_)
        coder.set("anchorCertificates", certificatesValue(*anchorCertificates_));
}

std::shared_ptr<QKAFSecurityPolicy> QKAFSecurityPolicy::initWithCoder(const Dictionary& coder) {
    const Value &mode = coder["SSLPinningMode"], &allow = coder["allowInvalidCertificates"],
                &validates = coder["validatesDomainName"];
    if (KeyedArchive::classOf(Value(coder)) != "QKAFSecurityPolicy" || !mode.isInteger() ||
        !allow.isBool() || !validates.isBool())
        return nullptr;
    bool ok = true;
    auto pinned = certificatesOf(coder["pinnedCertificates"], &ok);
    auto anchors = certificatesOf(coder["anchorCertificates"], &ok);
    if (!ok) return nullptr;
    auto policy = policyWithPinningMode(mode.uint64Value(), std::move(pinned));
    policy->setAllowInvalidCertificates(allow.boolValue());
    policy->setValidatesDomainName(validates.boolValue());
    policy->setAnchorCertificates(std::move(anchors));
    return policy;
}

bool QKAFSecurityPolicy::evaluateServerTrust(SecTrust& serverTrust,
                                             const std::optional<std::string>& domain) const {
    bool allowInvalid, validatesDomain;
    uint64_t mode;
    std::optional<CertificateSet> pinned;
    std::optional<std::vector<SecKeyRef>> pinnedKeys;
    std::optional<CertificateSet> anchors;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        allowInvalid = allowInvalidCertificates_;
        validatesDomain = validatesDomainName_;
        mode = SSLPinningMode_;
        pinned = pinnedCertificates_;
        pinnedKeys = pinnedPublicKeys_;
        anchors = anchorCertificates_;
    }
    if (domain && allowInvalid && validatesDomain &&
        (mode == QKAFSSLPinningModeNone || !pinned || pinned->empty())) {
        platformDiagnostic(
            "In order to validate a domain name for self signed certificates, you MUST use "
            "pinning.");
        return false;
    }
    if (anchors) serverTrust.setAnchorCertificates(certificatesOf(*anchors));
    if (validatesDomain) {
        serverTrust.setPolicy(SecPolicy::sslServer, domain);
    } else {
        serverTrust.setPolicy(SecPolicy::basicX509);
    }

    if (mode == QKAFSSLPinningModeNone) return allowInvalid || trustIsValid(serverTrust);
    if (!trustIsValid(serverTrust) && !allowInvalid) return false;

    if (mode == QKAFSSLPinningModeCertificate) {
        serverTrust.setAnchorCertificates(certificatesOf(pinned.value_or(CertificateSet{})));
        if (!trustIsValid(serverTrust)) return false;
        const auto& chain = serverTrust.certificateChain();
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            if (pinned && pinned->count((*it)->data())) return true;
        return false;
    }
    if (mode == QKAFSSLPinningModePublicKey) {
        if (!pinnedKeys) return false;
        // The chain as evaluated, up to its anchor (which servers usually do not send); the
        // certificates as sent when the evaluation failed and invalid ones are allowed.
        for (const auto& certificate : linkedChain(serverTrust.certificateChain())) {
            auto key = certificatePublicKey(certificate);
            if (!key) continue;
            for (const auto& pinnedKey : *pinnedKeys)
                if (sameKey(key, pinnedKey)) return true;
        }
        return false;
    }
    return false;
}

}  // namespace telvo

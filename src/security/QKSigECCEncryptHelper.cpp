#include "security/QKSigECCEncryptHelper.h"

#include <algorithm>
#include <cstdio>

#include "platform/foundation/Diagnostics.h"

namespace telvo {

namespace {

// Data as the platform describes it in a log line.
std::string describeBytes(ByteView data) {
    static const char* digits = "0123456789abcdef";
    const size_t shown = std::min<size_t>(data.size(), 24);
    std::string hex;
    for (size_t i = 0; i < shown; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 15];
    }
    return "{length = " + std::to_string(data.size()) + ", bytes = 0x" + hex +
           (shown < data.size() ? " ... }" : "}");
}

SecCertificateRef readCertificate(const Bytes& data) {
    auto certificate = SecCertificate::createWithData(data);
    if (!certificate)
        platformDiagnostic("Can not read certificate from %s", describeBytes(data).c_str());
    return certificate;
}

SecKeyAttributes permanentTagged(const char* tag) {
    return SecKeyAttributes{true, toBytes(tag)};
}

}  // namespace

bool QKSigECCEncryptHelper::generateSecKeyPairWithKeySize(int size, SecKeyRef* publicKeyRef,
                                                          SecKeyRef* privateKeyRef) {
    if (size != 256 && size != 512 && size != 1024 && size != 2048) return false;
    SecKeyGenerationParameters parameters;
    parameters.keyType = SecKeyType::EC;
    parameters.keySizeInBits = size;
    parameters.privateKeyAttrs = permanentTagged("com.apple.sample.privatekey/0");
    parameters.publicKeyAttrs = permanentTagged("com.apple.sample.publickey/0");
    OSStatus status = SecKey::generatePair(parameters, publicKeyRef, privateKeyRef);
    return status == errSecSuccess && publicKeyRef && privateKeyRef;
}

bool QKSigECCEncryptHelper::generateTempP256SecKeyPairWithPublicKeyRef(SecKeyRef* publicKeyRef,
                                                                       SecKeyRef* privateKeyRef) {
    SecKeyGenerationParameters parameters;
    parameters.keyType = SecKeyType::ECSECPrimeRandom;
    parameters.keySizeInBits = 256;
    OSStatus status = SecKey::generatePair(parameters, publicKeyRef, privateKeyRef);
    return status == errSecSuccess && publicKeyRef && privateKeyRef;
}

std::optional<Bytes> QKSigECCEncryptHelper::getPublicKeyBitsFromKey(const SecKeyRef& key) {
    if (!key) return std::nullopt;
    return key->copyExternalRepresentation();
}

std::optional<Bytes> QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(
    const std::optional<Bytes>& certificateData) {
    auto trust = getSecTrustWithCertificateData(certificateData, std::nullopt);
    if (!trust) return std::nullopt;
    return getPublicKeyBitsFromKey(trust->copyPublicKey());
}

bool QKSigECCEncryptHelper::validCertificate(const std::optional<Bytes>& certificate,
                                             const std::optional<Bytes>& rootCerData,
                                             const std::optional<Bytes>& intermediateData) {
    if (!certificate || certificate->empty() || !rootCerData || rootCerData->empty()) return false;
    auto root = SecCertificate::createWithData(*rootCerData);
    if (!root) return false;
    auto trust = getSecTrustWithCertificateData(certificate, intermediateData);
    if (!trust) return false;
    if (trust->setAnchorCertificates({root}) != errSecSuccess) return false;
    SecTrustResultType result = SecTrustResultType::invalid;
    OSStatus status = trust->evaluate(&result);
    return status == errSecSuccess &&
           (result == SecTrustResultType::proceed || result == SecTrustResultType::unspecified);
}

std::unique_ptr<SecTrust> QKSigECCEncryptHelper::getSecTrustWithCertificateData(
    const std::optional<Bytes>& certificateData, const std::optional<Bytes>& intermediateData) {
    if (!certificateData) return nullptr;
    std::vector<SecCertificateRef> certificates;
    auto certificate = readCertificate(*certificateData);
    if (!certificate) return nullptr;
    certificates.push_back(std::move(certificate));
    if (intermediateData) {
        auto intermediate = readCertificate(*intermediateData);
        if (!intermediate) return nullptr;
        certificates.push_back(std::move(intermediate));
    }
    OSStatus status = errSecSuccess;
    auto trust = SecTrust::create(std::move(certificates), SecPolicy::basicX509, &status);
    if (!trust) {
        platformDiagnostic("SecTrustCreateWithCertificates fail. Error Code: %d",
                           static_cast<int>(status));
        return nullptr;
    }
    SecTrustResultType result = SecTrustResultType::invalid;
    status = trust->evaluate(&result);
    if (status != errSecSuccess) {
        platformDiagnostic("SecTrustEvaluate fail. Error Code: %d", static_cast<int>(status));
        return nullptr;
    }
    return trust;
}

std::optional<std::string> QKSigECCEncryptHelper::getExpiredDateStrWithCerData(
    const std::optional<Bytes>& certificateData) {
    if (!certificateData) return std::nullopt;
    const std::optional<CertificateTime> end = certificateNotAfter(*certificateData);
    if (!end) {
        std::printf("解析证书失败 \n");
        std::fflush(stdout);
        return std::nullopt;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", end->year, end->month,
                  end->day, end->hour, end->minute, end->second);
    return std::string(buffer);
}

namespace {

std::mutex gShareMutex;
std::shared_ptr<QKSigECCEncryptHelper> gSharedHelper;

}  // namespace

std::shared_ptr<QKSigECCEncryptHelper> QKSigECCEncryptHelper::share() {
    std::lock_guard<std::mutex> lock(gShareMutex);
    if (!gSharedHelper) gSharedHelper = std::make_shared<QKSigECCEncryptHelper>();
    return gSharedHelper;
}

void QKSigECCEncryptHelper::resetForTesting() {
    std::lock_guard<std::mutex> lock(gShareMutex);
    gSharedHelper.reset();
}

void QKSigECCEncryptHelper::eccInit() {
    getECCKeyPair([](const Bytes&, const Bytes&) {});
}

void QKSigECCEncryptHelper::getECCKeyPair(const KeyPairBlock& completion) {
    getECCKeyPairWithKeySize(256, completion);
}

void QKSigECCEncryptHelper::getECCKeyPairWithKeySize(int size, const KeyPairBlock& completion) {
    if (size != 256 && size != 512 && size != 1024 && size != 2048) return;
    SecKeyRef publicKey, privateKey;
    generateSecKeyPairWithKeySize(size, &publicKey, &privateKey);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seckeyModel_ = SigSeckeyModel{privateKey, publicKey};
    }
    if (completion) completion(getPublicKeyBitsFromKey(publicKey).value_or(Bytes{}), Bytes{});
}

SigSeckeyModel QKSigECCEncryptHelper::seckeyModel() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seckeyModel_;
}

std::optional<Bytes> QKSigECCEncryptHelper::getPublicKeyData() const {
    auto bits = getPublicKeyBitsFromKey(seckeyModel().publicKey);
    if (!bits || bits->empty()) return std::nullopt;
    return Bytes(bits->begin() + 1, bits->end());
}

std::optional<Bytes> QKSigECCEncryptHelper::getSharedSecretWithDevicePublicKey(
    ByteView devicePublicKey) const {
    return calculateSharedSecretEithPublicKey(devicePublicKey);
}

std::optional<Bytes> QKSigECCEncryptHelper::calculateSharedSecretEithPublicKey(
    ByteView publicKey) const {
    SecKeyRef privateKey = seckeyModel().privateKey;
    if (!privateKey) return std::nullopt;
    Bytes point{0x04};
    point.insert(point.end(), publicKey.begin(), publicKey.end());
    SecKeyRef peer = SecKey::createWithData(point, SecKeyType::EC, SecKeyClass::publicKey);
    if (!peer) return std::nullopt;
    return privateKey->copyKeyExchangeResult(peer, 32);
}

SecKeyRef QKSigECCEncryptHelper::publicSecKeyFromKeyBits(ByteView keyData, bool isPublic) const {
    return SecKey::createWithData(keyData, SecKeyType::RSA,
                                  isPublic ? SecKeyClass::publicKey : SecKeyClass::privateKey);
}

void QKSigECCEncryptHelper::getcertificateInfoRefrenceFromData(
    const std::optional<Bytes>& certificateData) {
    if (!certificateData) return;
    auto certificate = readCertificate(*certificateData);
    if (!certificate) return;
    std::string emails = "(";
    for (const auto& address : certificate->emailAddresses())
        emails += (emails.size() > 1 ? ", " : "") + address;
    emails += ")";
    platformDiagnostic("证书摘要: %s", certificate->subjectSummary().c_str());
    platformDiagnostic("commonName: %s", certificate->commonName().value_or("(null)").c_str());
    platformDiagnostic("emailAddresses: %s", emails.c_str());
}

std::optional<Bytes> QKSigECCEncryptHelper::getPrivateKeyRefrenceFromData(
    const std::optional<Bytes>& p12Data, const std::string& password) {
    if (!p12Data) return std::nullopt;
    std::vector<SecIdentity> identities;
    if (SecPKCS12Import(*p12Data, password, &identities) != errSecSuccess || identities.empty())
        return std::nullopt;
    return getPublicKeyBitsFromKey(identities.front().privateKey);
}

}  // namespace telvo

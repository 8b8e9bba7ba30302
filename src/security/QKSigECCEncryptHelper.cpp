#include "security/QKSigECCEncryptHelper.h"

#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cstdio>

#include "platform/Diagnostics.h"

namespace telvo {

namespace {

// Data as the platform describes it in a log line.
std::string describe(ByteView data) {
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
        platformDiagnostic("Can not read certificate from %s", describe(data).c_str());
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
    mbedtls_x509_crt certificate;
    mbedtls_x509_crt_init(&certificate);
    int parsed =
        mbedtls_x509_crt_parse(&certificate, certificateData->data(), certificateData->size());
    std::optional<std::string> text;
    if (parsed != 0) {
        std::printf("解析证书失败 \n");
        std::fflush(stdout);
    } else {
        const mbedtls_x509_time& end = certificate.valid_to;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", end.year, end.mon,
                      end.day, end.hour, end.min, end.sec);
        text = buffer;
    }
    mbedtls_x509_crt_free(&certificate);
    return text;
}

}  // namespace telvo

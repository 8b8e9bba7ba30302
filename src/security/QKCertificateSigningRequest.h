#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/KeyStore.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// A request's key and signature algorithm, stored in one byte: bit 7 set for EC, the low bits
// the signature number.
class KeyAlgorithm {
  public:
    enum class Signature : uint8_t { sha1 = 0, sha256 = 1, sha512 = 2 };

    static constexpr KeyAlgorithm rsa(Signature signature) {
        return KeyAlgorithm(static_cast<uint8_t>(signature));
    }
    static constexpr KeyAlgorithm ec(Signature signature) {
        return KeyAlgorithm(static_cast<uint8_t>(0x80 | static_cast<uint8_t>(signature)));
    }

    constexpr uint8_t rawValue() const { return raw_; }
    constexpr bool isEC() const { return (raw_ & 0x80) != 0; }
    constexpr Signature signatureType() const { return static_cast<Signature>(raw_ & 0x7F); }

    // "RSA" or "EC".
    std::string type() const;
    SecKeyType secKeyAttrType() const;
    std::vector<int> availableKeySizes() const;
    SecKeyAlgorithm signatureAlgorithm() const;
    // The signature AlgorithmIdentifier written into the request (DER).
    const Bytes& signatureAlgorithmIdentifier() const;

    constexpr bool operator==(const KeyAlgorithm&) const = default;

  private:
    constexpr explicit KeyAlgorithm(uint8_t raw) : raw_(raw) {}
    uint8_t raw_;
};

// One attribute of the request's subject.
struct SubjectItem {
    enum class Kind {
        commonName,
        organizationName,
        organizationUnitName,
        countryName,
        stateOrProvinceName,
        serialNumber,
        localityName,
        description,
        emailAddress,
    };
    Kind kind;
    std::string value;
};

// A PKCS#10 certification request builder. One caller per object.
class QKCertificateSigningRequest {
  public:
    static constexpr uint8_t sequenceTag = 0x30;
    static constexpr uint8_t setTag = 0x31;

    // RSA with SHA-512, no subject items.
    QKCertificateSigningRequest();
    explicit QKCertificateSigningRequest(KeyAlgorithm keyAlgorithm);
    // Adds the given items in the order commonName, organizationName, organizationUnitName,
    // countryName, stateOrProvinceName, localityName, emailAddress, description, serialNumber.
    QKCertificateSigningRequest(
        std::optional<std::string> commonName, std::optional<std::string> organizationName,
        std::optional<std::string> organizationUnitName, std::optional<std::string> countryName,
        std::optional<std::string> stateOrProvinceName, std::optional<std::string> localityName,
        std::optional<std::string> serialNumber, std::optional<std::string> emailAddress,
        std::optional<std::string> description, KeyAlgorithm keyAlgorithm);

    void addSubjectItem(SubjectItem item);

    // The DER request. publicKeyBits: EC, the 65-byte uncompressed point; RSA, a PKCS#1
    // RSAPublicKey; either way the public half of privateKey (other bits would give a request
    // whose signature does not verify). The request is signed with privateKey and, when
    // publicKey is given, checked with it. Nothing when the bits are not privateKey's, the key
    // cannot be encoded, signing or the check fails.
    std::optional<Bytes> build(ByteView publicKeyBits, const SecKeyRef& privateKey,
                               const SecKeyRef& publicKey);
    // build's DER as base64 (no line breaks), percent-encoded for a URL query.
    std::optional<std::string> buildAndEncodeDataAsString(ByteView publicKeyBits,
                                                          const SecKeyRef& privateKey,
                                                          const SecKeyRef& publicKey);
    // The same text as a PEM block, 64 characters a line.
    std::optional<std::string> buildCSRAndReturnString(ByteView publicKeyBits,
                                                       const SecKeyRef& privateKey,
                                                       const SecKeyRef& publicKey);

    const std::vector<SubjectItem>& subjectItems() const { return subjectItems_; }
    KeyAlgorithm keyAlgorithm() const { return keyAlgorithm_; }
    // The encoded subject of the last build.
    const std::optional<Bytes>& subjectDER() const { return subjectDER_; }

  private:
    std::optional<Bytes> makeRequestInfoDer(ByteView publicKeyBits);
    std::optional<Bytes> makePublicKeyInfoDer(ByteView publicKeyBits) const;

    std::vector<SubjectItem> subjectItems_;
    KeyAlgorithm keyAlgorithm_;
    std::optional<Bytes> subjectDER_;
};

}  // namespace telvo

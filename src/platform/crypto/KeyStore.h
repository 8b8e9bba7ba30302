#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/crypto/OpenSSLPtr.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// The platform key store: key references, generation, external representation and
// signatures, on OpenSSL. Keys live in memory only; the "permanent" attribute is recorded on
// the key but nothing is written anywhere.

using OSStatus = int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecVerifyFailed = -67808;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// kSecAttrKeyTypeEC and kSecAttrKeyTypeECSECPrimeRandom name the same key type.
enum class SecKeyType { EC, ECSECPrimeRandom, RSA };
enum class SecKeyClass { publicKey, privateKey };

// The message signature algorithms: each hashes the data it is given and signs the digest.
// ECDSA signatures are DER SEQUENCE { INTEGER r, INTEGER s }.
enum class SecKeyAlgorithm {
    RSASignatureMessagePKCS1v15SHA1,
    RSASignatureMessagePKCS1v15SHA256,
    RSASignatureMessagePKCS1v15SHA512,
    ECDSASignatureMessageX962SHA1,
    ECDSASignatureMessageX962SHA256,
    ECDSASignatureMessageX962SHA512,
};

struct SecKeyAttributes {
    bool isPermanent = false;
    Bytes applicationTag;
};

struct SecKeyGenerationParameters {
    SecKeyType keyType = SecKeyType::ECSECPrimeRandom;
    int keySizeInBits = 256;
    SecKeyAttributes privateKeyAttrs;
    SecKeyAttributes publicKeyAttrs;
};

class SecKey;
// A key reference. Immutable once made; usable from any thread.
using SecKeyRef = std::shared_ptr<const SecKey>;

class SecKey {
  public:
    // Generates a key pair. Only EC keys of 256 bits (P-256) are supported; anything else
    // gives errSecParam and leaves the out places untouched. Either out place may be null.
    static OSStatus generatePair(const SecKeyGenerationParameters& parameters, SecKeyRef* publicKey,
                                 SecKeyRef* privateKey);

    // A key from its external representation: for EC P-256, a public key is 04||X||Y
    // (65 bytes), a private key 04||X||Y||D (97 bytes). The point must lie on the curve and,
    // for a private key, equal D*G. RSA: PKCS#1 RSAPublicKey or RSAPrivateKey. nullptr (and
    // *error set) otherwise.
    static SecKeyRef createWithData(ByteView data, SecKeyType type, SecKeyClass keyClass,
                                    ErrorPtr* error = nullptr);

    // Wraps an OpenSSL key. A public reference keeps only the public half; a private
    // reference needs a key with its private half (nullptr otherwise).
    static SecKeyRef adopt(EvpPkeyPtr key, SecKeyClass keyClass, SecKeyAttributes attributes = {});

    SecKeyClass keyClass() const { return keyClass_; }
    const SecKeyAttributes& attributes() const { return attributes_; }
    bool isPermanent() const { return attributes_.isPermanent; }
    bool isEC() const;
    int keySizeInBits() const;
    // Borrowed; valid while this key lives.
    EVP_PKEY* handle() const { return key_.get(); }

    // EC: 04||X||Y for a public key, 04||X||Y||D for a private key, each coordinate and D
    // left-padded to the field size (32 bytes on P-256). RSA: PKCS#1.
    std::optional<Bytes> copyExternalRepresentation(ErrorPtr* error = nullptr) const;
    // The public half as a public key reference.
    SecKeyRef copyPublicKey() const;

    // Signs data with a private key; nothing (and *error set) when the key's class or type
    // does not fit the algorithm or OpenSSL fails.
    std::optional<Bytes> createSignature(SecKeyAlgorithm algorithm, ByteView data,
                                         ErrorPtr* error = nullptr) const;
    // Verifies a signature with a public key (or the public half of a private key).
    bool verifySignature(SecKeyAlgorithm algorithm, ByteView data, ByteView signature,
                         ErrorPtr* error = nullptr) const;
    // The standard ECDH key exchange of this private key with an EC public key of the same
    // curve: the raw X coordinate of the shared point (requestedSize is ignored, as the
    // platform does for the standard algorithm). Nothing (and *error set) otherwise.
    std::optional<Bytes> copyKeyExchangeResult(const SecKeyRef& publicKey, size_t requestedSize,
                                               ErrorPtr* error = nullptr) const;

    // How many times generatePair has been called (tests: "the key store was not asked").
    static uint64_t generatePairCallCount();

    SecKey(EvpPkeyPtr key, SecKeyClass keyClass, SecKeyAttributes attributes)
        : key_(std::move(key)), keyClass_(keyClass), attributes_(std::move(attributes)) {}

  private:
    EvpPkeyPtr key_;
    SecKeyClass keyClass_;
    SecKeyAttributes attributes_;
};

}  // namespace telvo

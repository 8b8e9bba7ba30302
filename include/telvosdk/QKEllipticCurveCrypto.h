#pragma once

// The general elliptic-curve key object: one curve of four (secp128r1, secp192r1, secp256r1,
// secp384r1), a private key and/or a public key, key-format conversion, ECDH, and ECDSA on
// raw hashes, plus the hash helpers (SHA-256 / SHA-384 first, DER signatures).
//
// Integers are big-endian and `bytes` wide. The public key is held compressed (02|03, X);
// `publicKey()` hands it out compressed or uncompressed (04, X, Y) as `compressedPublicKey`
// says. Misuse (a missing key, a wrong length, a key of another curve) raises NamedException
// named "Missing Key", "Invalid Key", "Key mismatch", "Invalid hash" or "Invalid signature";
// its reason shows a public key's bytes but a private key's length only. Failures of the
// arithmetic or the random source give nullopt or false. An object serves one caller at a time
// (any thread); it holds no locks.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"
#include "telvosdk/NamedException.h"

namespace telvo {

struct EccCurve;

class TELVO_EXPORT QKEllipticCurveCrypto {
  public:
    // A new object for that curve with a fresh key pair (whether the key maker succeeded is
    // not looked at), or nullptr for an unknown size.
    static std::shared_ptr<QKEllipticCurveCrypto> generateKeyPairForCurve(int bits);
    // A new object without keys, or nullptr for an unknown size.
    static std::shared_ptr<QKEllipticCurveCrypto> cryptoForCurve(int bits);
    // The bits of the curve a key of this form belongs to, or 0: an odd length is a public key
    // (02 or 03 then X, or 04 then X and Y), an even one a private key; 16, 24, 32 or 48 key
    // bytes give 128, 192, 256 or 384.
    static int curveForKey(ByteView key);
    // An object holding that key (odd length: public, even: private); nullptr when the form
    // belongs to no curve. Raises like setPublicKey / setPrivateKey.
    static std::shared_ptr<QKEllipticCurveCrypto> cryptoForKey(ByteView key);
    static int curveForKeyBase64(std::string_view base64);
    static std::shared_ptr<QKEllipticCurveCrypto> cryptoForKeyBase64(std::string_view base64);

    // The object for 128, 192, 256 or 384 bits; any other size logs and gives nullptr.
    static std::shared_ptr<QKEllipticCurveCrypto> initWithCurve(int bits);

    // Makes a fresh key pair; false (and no usable pair held) when the key maker fails.
    bool generateNewKeyPair();
    // The compressed d*G. Raises "Invalid Key" for an argument that is not `bytes` long or a
    // scalar that is 0 or not below the curve order.
    Bytes publicKeyForPrivateKey(ByteView privateKey) const;

    void setPrivateKey(ByteView privateKey);
    void setPublicKey(ByteView publicKey);
    std::optional<Bytes> publicKey() const;
    std::optional<Bytes> privateKey() const { return privateKey_; }
    std::optional<std::string> publicKeyBase64() const;
    std::optional<std::string> privateKeyBase64() const;
    void setPublicKeyBase64(std::string_view base64);
    void setPrivateKeyBase64(std::string_view base64);

    // A key of this curve's sizes in the other form is converted, and must be a point of the
    // curve; a key already in the target form (02/03 and bytes + 1 long for compress, 04 and
    // 2 * bytes + 1 long for decompress) comes back unchanged, unchecked. nullopt otherwise.
    std::optional<Bytes> compressPublicKey(ByteView publicKey) const;
    std::optional<Bytes> decompressPublicKey(ByteView publicKey) const;

    // X of d*Q for a compressed peer key; nullopt when the core refuses (point not on the
    // curve, random source failure).
    std::optional<Bytes> sharedSecretForPublicKey(ByteView publicKey) const;
    std::optional<Bytes> sharedSecretForPublicKeyBase64(std::string_view base64) const;
    // Raw signature r || s of a hash of exactly `bytes` bytes.
    std::optional<Bytes> signatureForHash(ByteView hash) const;
    bool verifySignature(ByteView signature, ByteView hash) const;

    int hashLength() const { return bytes_; }
    int sharedSecretLength() const { return bytes_; }
    int signatureLength() const { return 2 * bytes_; }
    int bits() const { return bits_; }
    const std::string& name() const { return name_; }
    bool compressedPublicKey() const { return compressedPublicKey_; }
    void setCompressedPublicKey(bool compressed) { compressedPublicKey_ = compressed; }
    std::string description() const;

    // The hash category: the digest cut to its first `bytes` bytes, then the plain operation.
    // SHA-256 is refused (logged, nullopt / false) on curves of 264 bits and more.
    std::optional<Bytes> hashSHA256AndSignData(ByteView data) const;
    bool hashSHA256AndVerifySignature(ByteView signature, ByteView data) const;
    std::optional<Bytes> hashSHA384AndSignData(ByteView data) const;
    bool hashSHA384AndVerifySignature(ByteView signature, ByteView data) const;
    std::optional<Bytes> encodedSignatureForHash(ByteView hash) const;
    std::optional<Bytes> hashSHA256AndSignDataEncoded(ByteView data) const;
    std::optional<Bytes> hashSHA384AndSignDataEncoded(ByteView data) const;
    // false for a DER signature that does not decode.
    bool verifyEncodedSignature(ByteView signature, ByteView hash) const;
    bool hashSHA256AndVerifyEncodedSignature(ByteView signature, ByteView data) const;
    bool hashSHA384AndVerifyEncodedSignature(ByteView signature, ByteView data) const;

    // Raw r || s to DER SEQUENCE { INTEGER r, INTEGER s } (short length form only).
    static std::optional<Bytes> derEncodeSignature(ByteView signature);
    // DER to raw r || s of 2 * size bytes, leniently: bytes after the SEQUENCE's stated length
    // are ignored, the INTEGERs are checked against the end of the input, one leading 00 of
    // each is dropped, and each must then fit in size bytes.
    static std::optional<Bytes> derDecodeSignature(ByteView der, size_t size);
    // The SEQUENCE header at offset (short length form): the content offset (offset + 2),
    // with *length set to the stated length; nullopt unless at least 3 bytes remain, the tag
    // is 30 and the stated length fits the buffer.
    static std::optional<size_t> derDecodeSequence(ByteView der, size_t offset, size_t* length);

  private:
    explicit QKEllipticCurveCrypto(int bits, const EccCurve& curve, std::string name);

    std::optional<Bytes> hashAndSign(bool sha384, ByteView data) const;
    bool hashAndVerify(bool sha384, ByteView signature, ByteView data, bool encoded) const;

    int bytes_;
    const EccCurve* curve_;           // numDigits, p, b, Gx, Gy, n
    std::optional<Bytes> publicKey_;  // compressed
    bool compressedPublicKey_ = true;
    int bits_;
    std::string name_;
    std::optional<Bytes> privateKey_;
};

}  // namespace telvo

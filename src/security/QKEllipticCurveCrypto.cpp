#include "telvosdk/QKEllipticCurveCrypto.h"

#include <algorithm>
#include <cstdio>

#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "security/EccCore.h"

namespace telvo {

namespace {

struct CurveEntry {
    int bits;
    const EccCurve* curve;
    const char* name;
};

// 320 bits has no curve and is refused like every other size.
constexpr CurveEntry kCurves[] = {
    {128, &kEccSecp128r1, "secp128r1"},
    {192, &kEccSecp192r1, "secp192r1"},
    {256, &kEccSecp256r1, "secp256r1"},
    {384, &kEccSecp384r1, "secp384r1"},
};

const CurveEntry* curveEntry(int bits) {
    for (const auto& entry : kCurves) {
        if (entry.bits == bits) return &entry;
    }
    return nullptr;
}

Bytes shaDigest(bool sha384, ByteView data) {
    return crypto::digest(
        sha384 ? crypto::DigestAlgorithm::SHA384 : crypto::DigestAlgorithm::SHA256, data);
}

std::string toBase64(ByteView data) {
    return crypto::base64Encode(data);
}

// Standard alphabet, decoded without options.
std::optional<Bytes> fromBase64(std::string_view text) {
    return crypto::base64Decode(text, false);
}

// A data value as the platform prints it: <01020304 05060708>.
std::string describe(ByteView data) {
    std::string out = "<";
    char digits[3];
    for (size_t i = 0; i < data.size(); ++i) {
        if (i && i % 4 == 0) out += ' ';
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        out += digits;
    }
    return out + ">";
}

// A private key in a failure text: its length only, never its bytes.
std::string describeSecret(ByteView key) {
    std::string text = "<";
    text += std::to_string(key.size());
    text += " bytes>";
    return text;
}

std::string format(const char* pattern, const std::string& a, const std::string& b = {}) {
    std::string out;
    const char* cursor = pattern;
    int slot = 0;
    while (*cursor) {
        if (cursor[0] == '%' && cursor[1] == '@') {
            out += slot++ == 0 ? a : b;
            cursor += 2;
        } else {
            out += *cursor++;
        }
    }
    return out;
}

[[noreturn]] void raise(const char* name, std::string reason) {
    throw NamedException(name, std::move(reason));
}

// An INTEGER: leading zeros dropped, 02 01 00 for zero, a 00 byte before a high bit.
std::optional<Bytes> derEncodeInteger(ByteView value) {
    size_t start = 0;
    while (start < value.size() && value[start] == 0) ++start;
    Bytes content(value.begin() + static_cast<long>(start), value.end());
    if (content.empty() || content[0] >= 0x80) content.insert(content.begin(), 0x00);
    if (content.size() > 127) return std::nullopt;
    Bytes out{0x02, static_cast<uint8_t>(content.size())};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The content of the INTEGER at offset, one leading 00 dropped; next is set past it.
std::optional<ByteView> derDecodeInteger(ByteView der, size_t offset, size_t* next) {
    // Tag, length and at least one content byte.
    if (offset + 3 > der.size() || der[offset] != 0x02) return std::nullopt;
    size_t length = der[offset + 1];
    size_t start = offset + 2;
    if (start + length > der.size()) return std::nullopt;
    *next = start + length;
    if (length > 0 && der[start] == 0x00) {
        ++start;
        --length;
    }
    return der.subspan(start, length);
}

}  // namespace

QKEllipticCurveCrypto::QKEllipticCurveCrypto(int bits, const EccCurve& curve, std::string name)
    : bytes_(bits / 8), curve_(&curve), bits_(bits), name_(std::move(name)) {}

std::shared_ptr<QKEllipticCurveCrypto> QKEllipticCurveCrypto::initWithCurve(int bits) {
    const CurveEntry* entry = curveEntry(bits);
    if (!entry) {
        QKSDKLOG("These are not the droids you are looking for.");
        return nullptr;
    }
    return std::shared_ptr<QKEllipticCurveCrypto>(
        new QKEllipticCurveCrypto(bits, *entry->curve, entry->name));
}

std::shared_ptr<QKEllipticCurveCrypto> QKEllipticCurveCrypto::generateKeyPairForCurve(int bits) {
    auto crypto = initWithCurve(bits);
    if (crypto) crypto->generateNewKeyPair();
    return crypto;
}

std::shared_ptr<QKEllipticCurveCrypto> QKEllipticCurveCrypto::cryptoForCurve(int bits) {
    return initWithCurve(bits);
}

// Odd length: 02/03 then X (key size length - 1) or 04, X, Y (key size (length - 1) / 2).
// Even length: a private key of that size.
int QKEllipticCurveCrypto::curveForKey(ByteView key) {
    if (key.empty()) return 0;
    size_t keySize = key.size();
    if (key.size() % 2 == 1) {
        if (key[0] == 0x02 || key[0] == 0x03) {
            keySize = key.size() - 1;
        } else if (key[0] == 0x04) {
            keySize = (key.size() - 1) / 2;
        } else {
            return 0;
        }
    }
    switch (keySize) {
        case 16:
            return 128;
        case 24:
            return 192;
        case 32:
            return 256;
        case 48:
            return 384;
        default:
            return 0;
    }
}

std::shared_ptr<QKEllipticCurveCrypto> QKEllipticCurveCrypto::cryptoForKey(ByteView key) {
    int bits = curveForKey(key);
    if (!bits) return nullptr;
    auto crypto = cryptoForCurve(bits);
    if (key.size() % 2 == 1) {
        crypto->setPublicKey(key);
    } else {
        crypto->setPrivateKey(key);
    }
    return crypto;
}

int QKEllipticCurveCrypto::curveForKeyBase64(std::string_view base64) {
    return curveForKey(fromBase64(base64).value_or(Bytes{}));
}

std::shared_ptr<QKEllipticCurveCrypto> QKEllipticCurveCrypto::cryptoForKeyBase64(
    std::string_view base64) {
    return cryptoForKey(fromBase64(base64).value_or(Bytes{}));
}

bool QKEllipticCurveCrypto::generateNewKeyPair() {
    Bytes publicKey(static_cast<size_t>(bytes_) + 1), privateKey(static_cast<size_t>(bytes_));
    if (!ecc_make_key(publicKey.data(), privateKey.data(), *curve_)) {
        publicKey_.reset();
        privateKey_.reset();
        return false;
    }
    publicKey_ = std::move(publicKey);
    privateKey_ = std::move(privateKey);
    return true;
}

Bytes QKEllipticCurveCrypto::publicKeyForPrivateKey(ByteView privateKey) const {
    Bytes publicKey(static_cast<size_t>(bytes_) + 1);
    if (privateKey.size() != static_cast<size_t>(bytes_) ||
        !ecc_compute_public_key(privateKey.data(), publicKey.data(), *curve_)) {
        raise("Invalid Key", format("Private key %@ is invalid", describeSecret(privateKey)));
    }
    return publicKey;
}

void QKEllipticCurveCrypto::setPrivateKey(ByteView privateKey) {
    int keyBits = curveForKey(privateKey);
    if (keyBits != bits_) {
        raise("Invalid Key", format("Private key %@ is ", describeSecret(privateKey)) +
                                 std::to_string(keyBits) + " bits; curve is " +
                                 std::to_string(bits_) + " bits");
    }
    Bytes publicKey = publicKeyForPrivateKey(privateKey);
    if (publicKey_ && *publicKey_ != publicKey) {
        raise("Key mismatch", format("Private key %@ does not match public key %@",
                                     describeSecret(privateKey), describe(*publicKey_)));
    }
    publicKey_ = std::move(publicKey);
    privateKey_ = Bytes(privateKey.begin(), privateKey.end());
}

void QKEllipticCurveCrypto::setPublicKey(ByteView publicKey) {
    int keyBits = curveForKey(publicKey);
    if (keyBits != bits_) {
        raise("Invalid Key", format("Public key %@ is ", describe(publicKey)) +
                                 std::to_string(keyBits) + " bits; curve is " +
                                 std::to_string(bits_) + " bits");
    }
    // Only points of the curve are held.
    auto compressed = compressPublicKey(publicKey);
    if (!compressed || !decompressPublicKey(*compressed)) {
        raise("Invalid Key", format("Public key %@ is invalid", describe(publicKey)));
    }
    if (privateKey_ && publicKey_ && *compressed != *publicKey_) {
        raise("Key mismatch", format("Private key %@ does not match public key %@",
                                     describeSecret(*privateKey_), describe(publicKey)));
    }
    compressedPublicKey_ = publicKey[0] != 0x04;
    publicKey_ = std::move(compressed);
}

std::optional<Bytes> QKEllipticCurveCrypto::publicKey() const {
    if (!publicKey_ || compressedPublicKey_) return publicKey_;
    return decompressPublicKey(*publicKey_);
}

std::optional<std::string> QKEllipticCurveCrypto::publicKeyBase64() const {
    auto key = publicKey();
    if (!key) return std::nullopt;
    return toBase64(*key);
}

std::optional<std::string> QKEllipticCurveCrypto::privateKeyBase64() const {
    if (!privateKey_) return std::nullopt;
    return toBase64(*privateKey_);
}

void QKEllipticCurveCrypto::setPublicKeyBase64(std::string_view base64) {
    setPublicKey(fromBase64(base64).value_or(Bytes{}));
}

void QKEllipticCurveCrypto::setPrivateKeyBase64(std::string_view base64) {
    setPrivateKey(fromBase64(base64).value_or(Bytes{}));
}

std::optional<Bytes> QKEllipticCurveCrypto::compressPublicKey(ByteView publicKey) const {
    const size_t size = static_cast<size_t>(bytes_);
    if (publicKey.empty()) return std::nullopt;
    if ((publicKey[0] == 0x02 || publicKey[0] == 0x03) && publicKey.size() == size + 1) {
        return Bytes(publicKey.begin(), publicKey.end());
    }
    if (publicKey[0] == 0x04 && publicKey.size() == 2 * size + 1) {
        Bytes compressed(size + 1);
        if (!ecc_compress_public_key(publicKey.data(), compressed.data(), *curve_)) {
            return std::nullopt;
        }
        return compressed;
    }
    return std::nullopt;
}

std::optional<Bytes> QKEllipticCurveCrypto::decompressPublicKey(ByteView publicKey) const {
    const size_t size = static_cast<size_t>(bytes_);
    if (publicKey.empty()) return std::nullopt;
    if (publicKey[0] == 0x04 && publicKey.size() == 2 * size + 1) {
        return Bytes(publicKey.begin(), publicKey.end());
    }
    if ((publicKey[0] == 0x02 || publicKey[0] == 0x03) && publicKey.size() == size + 1) {
        Bytes uncompressed(2 * size + 1);
        if (!ecc_decompress_public_key(publicKey.data(), uncompressed.data(), *curve_)) {
            return std::nullopt;
        }
        return uncompressed;
    }
    return std::nullopt;
}

std::optional<Bytes> QKEllipticCurveCrypto::sharedSecretForPublicKey(ByteView publicKey) const {
    const size_t size = static_cast<size_t>(bytes_);
    if (!privateKey_) {
        raise("Missing Key", "Cannot create shared secret without a private key");
    }
    if (privateKey_->size() != size) {
        raise("Invalid Key", format("Private key %@ is invalid", describeSecret(*privateKey_)));
    }
    if (publicKey.size() != size + 1) {
        raise("Invalid Key", format("Public key %@ is invalid", describe(publicKey)));
    }
    Bytes secret(size);
    if (!ecdh_shared_secret(publicKey.data(), privateKey_->data(), secret.data(), *curve_)) {
        return std::nullopt;
    }
    return secret;
}

std::optional<Bytes> QKEllipticCurveCrypto::sharedSecretForPublicKeyBase64(
    std::string_view base64) const {
    return sharedSecretForPublicKey(fromBase64(base64).value_or(Bytes{}));
}

std::optional<Bytes> QKEllipticCurveCrypto::signatureForHash(ByteView hash) const {
    const size_t size = static_cast<size_t>(bytes_);
    if (!privateKey_) raise("Missing Key", "Cannot sign a hash without a private key");
    if (privateKey_->size() != size) {
        raise("Invalid Key", format("Private key %@ is invalid", describeSecret(*privateKey_)));
    }
    if (hash.size() != size) {
        raise("Invalid hash", "Signing requires a hash the same length as the curve");
    }
    Bytes signature(2 * size);
    if (!ecdsa_sign(privateKey_->data(), hash.data(), signature.data(), *curve_)) {
        return std::nullopt;
    }
    return signature;
}

bool QKEllipticCurveCrypto::verifySignature(ByteView signature, ByteView hash) const {
    const size_t size = static_cast<size_t>(bytes_);
    if (!publicKey_) raise("Missing Key", "Cannot verify signature without a public key");
    if (publicKey_->size() != size + 1) {
        raise("Invalid Key", format("Public key %@ is invalid", describe(*publicKey_)));
    }
    if (hash.size() != size) {
        raise("Invalid hash", "Verifying requires a hash the same length as the curve");
    }
    if (signature.size() != 2 * size) {
        raise("Invalid signature", "Signature must be twice the length of its curve");
    }
    return ecdsa_verify(publicKey_->data(), hash.data(), signature.data(), *curve_) == 1;
}

std::string QKEllipticCurveCrypto::description() const {
    return "<QKEllipticCurveCrypto algorithm=" + name_ +
           " publicKey=" + publicKeyBase64().value_or("(null)") +
           " privateKey=" + privateKeyBase64().value_or("(null)") + ">";
}

// ---- hash category ----

std::optional<Bytes> QKEllipticCurveCrypto::hashAndSign(bool sha384, ByteView data) const {
    if (!sha384 && bits_ >= 264) {
        QKSDKLOG("ERROR: SHA256 hash is too short for curve");
        return std::nullopt;
    }
    Bytes digest = shaDigest(sha384, data);
    digest.resize(static_cast<size_t>(bytes_));
    return signatureForHash(digest);
}

bool QKEllipticCurveCrypto::hashAndVerify(bool sha384, ByteView signature, ByteView data,
                                          bool encoded) const {
    std::optional<Bytes> raw;
    if (encoded) {
        raw = derDecodeSignature(signature, static_cast<size_t>(bits_ / 8));
        if (!raw) return false;
        signature = *raw;
    }
    if (!sha384 && bits_ >= 264) {
        QKSDKLOG("ERROR: SHA256 hash is too short for curve");
        return false;
    }
    Bytes digest = shaDigest(sha384, data);
    digest.resize(static_cast<size_t>(bytes_));
    return verifySignature(signature, digest);
}

std::optional<Bytes> QKEllipticCurveCrypto::hashSHA256AndSignData(ByteView data) const {
    return hashAndSign(false, data);
}

bool QKEllipticCurveCrypto::hashSHA256AndVerifySignature(ByteView signature, ByteView data) const {
    return hashAndVerify(false, signature, data, false);
}

std::optional<Bytes> QKEllipticCurveCrypto::hashSHA384AndSignData(ByteView data) const {
    return hashAndSign(true, data);
}

bool QKEllipticCurveCrypto::hashSHA384AndVerifySignature(ByteView signature, ByteView data) const {
    return hashAndVerify(true, signature, data, false);
}

std::optional<Bytes> QKEllipticCurveCrypto::encodedSignatureForHash(ByteView hash) const {
    auto raw = signatureForHash(hash);
    if (!raw) return std::nullopt;
    return derEncodeSignature(*raw);
}

std::optional<Bytes> QKEllipticCurveCrypto::hashSHA256AndSignDataEncoded(ByteView data) const {
    auto raw = hashSHA256AndSignData(data);
    if (!raw) return std::nullopt;
    return derEncodeSignature(*raw);
}

std::optional<Bytes> QKEllipticCurveCrypto::hashSHA384AndSignDataEncoded(ByteView data) const {
    auto raw = hashSHA384AndSignData(data);
    if (!raw) return std::nullopt;
    return derEncodeSignature(*raw);
}

bool QKEllipticCurveCrypto::verifyEncodedSignature(ByteView signature, ByteView hash) const {
    auto raw = derDecodeSignature(signature, static_cast<size_t>(bits_ / 8));
    if (!raw) return false;
    return verifySignature(*raw, hash);
}

bool QKEllipticCurveCrypto::hashSHA256AndVerifyEncodedSignature(ByteView signature,
                                                                ByteView data) const {
    return hashAndVerify(false, signature, data, true);
}

bool QKEllipticCurveCrypto::hashSHA384AndVerifyEncodedSignature(ByteView signature,
                                                                ByteView data) const {
    return hashAndVerify(true, signature, data, true);
}

std::optional<Bytes> QKEllipticCurveCrypto::derEncodeSignature(ByteView signature) {
    if (signature.size() % 2 != 0) return std::nullopt;
    const size_t half = signature.size() / 2;
    auto r = derEncodeInteger(signature.first(half));
    auto s = derEncodeInteger(signature.subspan(half));
    if (!r || !s) return std::nullopt;
    const size_t total = r->size() + s->size();
    if (total >= 128) return std::nullopt;
    Bytes out{0x30, static_cast<uint8_t>(total)};
    out.insert(out.end(), r->begin(), r->end());
    out.insert(out.end(), s->begin(), s->end());
    return out;
}

// Lenient: bytes after the SEQUENCE's stated length are ignored, the INTEGERs are checked
// against the end of the input, one leading 00 of each is dropped, and each must then fit
// in size bytes.
std::optional<Bytes> QKEllipticCurveCrypto::derDecodeSignature(ByteView der, size_t size) {
    size_t length = 0;
    auto content = derDecodeSequence(der, 0, &length);
    if (!content) return std::nullopt;
    size_t next = 0;
    auto r = derDecodeInteger(der, *content, &next);
    if (!r) return std::nullopt;
    auto s = derDecodeInteger(der, next, &next);
    if (!s || r->size() > size || s->size() > size) return std::nullopt;
    Bytes out(2 * size, 0);
    std::copy(r->begin(), r->end(), out.begin() + static_cast<long>(size - r->size()));
    std::copy(s->begin(), s->end(), out.end() - static_cast<long>(s->size()));
    return out;
}

std::optional<size_t> QKEllipticCurveCrypto::derDecodeSequence(ByteView der, size_t offset,
                                                               size_t* length) {
    if (offset > der.size() || der.size() - offset < 3 || der[offset] != 0x30) return std::nullopt;
    const size_t stated = der[offset + 1];
    if (stated > der.size() - offset - 2) return std::nullopt;
    if (length) *length = stated;
    return offset + 2;
}

}  // namespace telvo

#include "security/QKCocoaSecurity.h"

#include "platform/crypto/Crypto.h"
#include "security/QKCocoaSecurityDecoder.h"
#include "security/TextBytes.h"
#include "telvosdk/NamedException.h"

namespace telvo {
namespace {

using crypto::DigestAlgorithm;
using textbytes::bytesOf;

const char* const kName = "Cocoa Security";

QKCocoaSecurityResult aesCbc(bool encrypt, ByteView data, ByteView key, ByteView iv) {
    if (iv.size() != 16)
        throw NamedException(kName, "Length of iv is wrong. Length of iv should be 16(128bits)");
    if (key.size() != 16 && key.size() != 24 && key.size() != 32)
        throw NamedException(kName,
                             "Length of key is wrong. Length of iv should be 16, 24 or 32(128, "
                             "192 or 256bits)");
    auto out =
        encrypt
            ? crypto::aesEncrypt(crypto::AesMode::CBC, crypto::AesPadding::PKCS7, key, iv, data)
            : crypto::aesDecrypt(crypto::AesMode::CBC, crypto::AesPadding::PKCS7, key, iv, data);
    if (!out) throw NamedException(kName, encrypt ? "Encrypt Error!" : "Decrypt Error!");
    return QKCocoaSecurityResult(*out);
}

// SHA-384 of the passphrase: key (32 bytes) || IV (16 bytes).
Bytes passphraseKeyAndIv(const std::string& passphrase) {
    return crypto::digest(DigestAlgorithm::SHA384, bytesOf(passphrase));
}

Bytes hexOrEmpty(const std::string& text) {
    return QKCocoaSecurityDecoder().hex(text).value_or(Bytes{});
}

QKCocoaSecurityResult digestOf(DigestAlgorithm algorithm, ByteView data) {
    return QKCocoaSecurityResult(crypto::digest(algorithm, data));
}

QKCocoaSecurityResult hmacOf(DigestAlgorithm algorithm, ByteView data, const std::string& key) {
    return QKCocoaSecurityResult(crypto::hmac(algorithm, bytesOf(textbytes::cString(key)), data));
}

}  // namespace

QKCocoaSecurityResult QKCocoaSecurity::aesEncrypt(const std::string& text,
                                                  const std::string& passphrase) {
    Bytes h = passphraseKeyAndIv(passphrase);
    return aesEncrypt(text, ByteView(h).first(32), ByteView(h).subspan(32, 16));
}

QKCocoaSecurityResult QKCocoaSecurity::aesEncryptHexKey(const std::string& text,
                                                        const std::string& hexKey,
                                                        const std::string& hexIv) {
    return aesEncrypt(text, hexOrEmpty(hexKey), hexOrEmpty(hexIv));
}

QKCocoaSecurityResult QKCocoaSecurity::aesEncrypt(const std::string& text, ByteView key,
                                                  ByteView iv) {
    return aesEncryptWithData(bytesOf(text), key, iv);
}

QKCocoaSecurityResult QKCocoaSecurity::aesEncryptWithData(ByteView data, ByteView key,
                                                          ByteView iv) {
    return aesCbc(true, data, key, iv);
}

QKCocoaSecurityResult QKCocoaSecurity::aesDecryptWithBase64(const std::string& base64,
                                                            const std::string& passphrase) {
    Bytes h = passphraseKeyAndIv(passphrase);
    return aesDecryptWithBase64(base64, ByteView(h).first(32), ByteView(h).subspan(32, 16));
}

QKCocoaSecurityResult QKCocoaSecurity::aesDecryptWithBase64HexKey(const std::string& base64,
                                                                  const std::string& hexKey,
                                                                  const std::string& hexIv) {
    return aesDecryptWithBase64(base64, hexOrEmpty(hexKey), hexOrEmpty(hexIv));
}

QKCocoaSecurityResult QKCocoaSecurity::aesDecryptWithBase64(const std::string& base64, ByteView key,
                                                            ByteView iv) {
    Bytes data = QKCocoaSecurityDecoder().base64(base64).value_or(Bytes{});
    return aesDecryptWithData(data, key, iv);
}

QKCocoaSecurityResult QKCocoaSecurity::aesDecryptWithData(ByteView data, ByteView key,
                                                          ByteView iv) {
    return aesCbc(false, data, key, iv);
}

#define TELVO_COCOA_DIGEST(name, algorithm)                                \
    QKCocoaSecurityResult QKCocoaSecurity::name(const std::string& text) { \
        return digestOf(DigestAlgorithm::algorithm, bytesOf(text));        \
    }                                                                      \
    QKCocoaSecurityResult QKCocoaSecurity::name##WithData(ByteView data) { \
        return digestOf(DigestAlgorithm::algorithm, data);                 \
    }
TELVO_COCOA_DIGEST(md5, MD5)
TELVO_COCOA_DIGEST(sha1, SHA1)
TELVO_COCOA_DIGEST(sha224, SHA224)
TELVO_COCOA_DIGEST(sha256, SHA256)
TELVO_COCOA_DIGEST(sha384, SHA384)
TELVO_COCOA_DIGEST(sha512, SHA512)
#undef TELVO_COCOA_DIGEST

#define TELVO_COCOA_HMAC(name, algorithm)                                               \
    QKCocoaSecurityResult QKCocoaSecurity::name(const std::string& text,                \
                                                const std::string& hmacKey) {           \
        return hmacOf(DigestAlgorithm::algorithm, bytesOf(text), hmacKey);              \
    }                                                                                   \
    QKCocoaSecurityResult QKCocoaSecurity::name##WithData(ByteView data,                \
                                                          const std::string& hmacKey) { \
        return hmacOf(DigestAlgorithm::algorithm, data, hmacKey);                       \
    }
TELVO_COCOA_HMAC(hmacMd5, MD5)
TELVO_COCOA_HMAC(hmacSha1, SHA1)
TELVO_COCOA_HMAC(hmacSha224, SHA224)
TELVO_COCOA_HMAC(hmacSha256, SHA256)
TELVO_COCOA_HMAC(hmacSha384, SHA384)
TELVO_COCOA_HMAC(hmacSha512, SHA512)
#undef TELVO_COCOA_HMAC

}  // namespace telvo

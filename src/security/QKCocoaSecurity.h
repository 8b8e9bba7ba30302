#pragma once

#include <string>

#include "security/QKCocoaSecurityResult.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// A self-contained toolkit: AES-CBC with PKCS#7 padding under a key and IV given as data, as
// hex text, or derived from a passphrase (SHA-384 of its UTF-8 bytes: the first 32 bytes are
// the AES-256 key, the last 16 the IV); the MD5 and SHA-1/224/256/384/512 digests and their
// HMACs. Class operations only; any thread.
//
// The AES operations throw NamedException named "Cocoa Security", checked in this order: an
// IV that is not 16 bytes, a key that is not 16, 24 or 32 bytes, then a failing encryption
// or decryption (bad padding included). Digests and HMACs do not fail.
class QKCocoaSecurity {
  public:
    static QKCocoaSecurityResult aesEncrypt(const std::string& text, const std::string& passphrase);
    static QKCocoaSecurityResult aesEncryptHexKey(const std::string& text,
                                                  const std::string& hexKey,
                                                  const std::string& hexIv);
    static QKCocoaSecurityResult aesEncrypt(const std::string& text, ByteView key, ByteView iv);
    static QKCocoaSecurityResult aesEncryptWithData(ByteView data, ByteView key, ByteView iv);

    static QKCocoaSecurityResult aesDecryptWithBase64(const std::string& base64,
                                                      const std::string& passphrase);
    static QKCocoaSecurityResult aesDecryptWithBase64HexKey(const std::string& base64,
                                                            const std::string& hexKey,
                                                            const std::string& hexIv);
    static QKCocoaSecurityResult aesDecryptWithBase64(const std::string& base64, ByteView key,
                                                      ByteView iv);
    static QKCocoaSecurityResult aesDecryptWithData(ByteView data, ByteView key, ByteView iv);

    // Digests of the UTF-8 bytes of a text, or of data.
    static QKCocoaSecurityResult md5(const std::string& text);
    static QKCocoaSecurityResult sha1(const std::string& text);
    static QKCocoaSecurityResult sha224(const std::string& text);
    static QKCocoaSecurityResult sha256(const std::string& text);
    static QKCocoaSecurityResult sha384(const std::string& text);
    static QKCocoaSecurityResult sha512(const std::string& text);
    static QKCocoaSecurityResult md5WithData(ByteView data);
    static QKCocoaSecurityResult sha1WithData(ByteView data);
    static QKCocoaSecurityResult sha224WithData(ByteView data);
    static QKCocoaSecurityResult sha256WithData(ByteView data);
    static QKCocoaSecurityResult sha384WithData(ByteView data);
    static QKCocoaSecurityResult sha512WithData(ByteView data);

    // HMACs of the UTF-8 bytes of a text, or of data; the key is the key text's UTF-8 bytes up
    // to its first zero byte.
    static QKCocoaSecurityResult hmacMd5(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha1(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha224(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha256(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha384(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha512(const std::string& text, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacMd5WithData(ByteView data, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha1WithData(ByteView data, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha224WithData(ByteView data, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha256WithData(ByteView data, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha384WithData(ByteView data, const std::string& hmacKey);
    static QKCocoaSecurityResult hmacSha512WithData(ByteView data, const std::string& hmacKey);
};

}  // namespace telvo

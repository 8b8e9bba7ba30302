#pragma once

#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo {

// The one class through which the SDK hashes, signs and encrypts its own data. Class
// operations only, no state: every operation may run on any thread.
//
// Conventions:
// - Hex output is lowercase, two digits a byte. Hex input is read as QKStringFormat reads it.
// - Texts are taken as their UTF-8 bytes up to the first zero byte where they are hashed.
// - AES here is AES-128 with PKCS#7 padding. A key or IV text goes into a zeroed 16-byte field
//   (a missing text gives 16 zero bytes; a text over 16 bytes gives nothing). A hex key and
//   key or IV data give their first 16 bytes (fewer than 16 give nothing).
// - Failures return nullopt; text results that are not valid UTF-8 count as failures.
// - The sensitive-data operations read the work mode "sdkWorkMode" from the settings store
//   and the keys from the SDK configuration at every call.
class QKDataSecurity {
  public:
    // Digests and HMAC.
    static std::string getMD5_128WithData(ByteView data);
    // nullopt for nullopt.
    static std::optional<std::string> getMD5_128(const std::optional<std::string>& text);
    // "" for nullopt.
    static std::string getSha256String(const std::optional<std::string>& text);
    static std::string getSha256Data(ByteView data);
    // The key is taken as ASCII; nullopt when either is nullopt or the key is not ASCII.
    static std::optional<std::string> hmacSHA256WithSecret(
        const std::optional<std::string>& secret, const std::optional<std::string>& content);
    static std::string hmacSha256WithSecretData(ByteView secret, const std::string& content);
    // The 32 raw bytes.
    static Bytes hmacSHA256WithSecretData(ByteView secret, ByteView content);

    // AES-128-ECB.
    static std::optional<Bytes> aesEncryptData(ByteView data, ByteView keyData);
    static std::optional<Bytes> aesDecryptData(ByteView data, ByteView keyData);
    static std::optional<Bytes> AES128EncryptWithData(ByteView data,
                                                      const std::optional<std::string>& hexKey);
    static std::optional<Bytes> AES128DecryptWithData(ByteView data,
                                                      const std::optional<std::string>& hexKey);
    // UTF-8 text -> hex ciphertext.
    static std::optional<std::string> AES128Encrypt(const std::optional<std::string>& text,
                                                    const std::optional<std::string>& key);
    // Hex ciphertext -> UTF-8 text.
    static std::optional<std::string> AES128Decrypt(const std::optional<std::string>& hex,
                                                    const std::optional<std::string>& key);
    // Under a key text.
    static std::optional<Bytes> AES128DecryptWithDataHexKey(ByteView data,
                                                            const std::optional<std::string>& key);
    // Base64 of the ciphertext (no line breaks) under the first 16 UTF-8 bytes of the key.
    static std::optional<std::string> aesEncryptString(const std::optional<std::string>& text,
                                                       const std::optional<std::string>& key);
    // The reverse; characters outside the base64 alphabet are skipped.
    static std::optional<std::string> aesDecryptString(const std::optional<std::string>& base64,
                                                       const std::optional<std::string>& key);

    // AES-128-CBC.
    static std::optional<std::string> AES128EncryptCBC(const std::optional<std::string>& text,
                                                       const std::optional<std::string>& key,
                                                       const std::optional<std::string>& iv);
    // Hex ciphertext.
    static std::optional<std::string> aes128EncryptWithData(ByteView data, ByteView key,
                                                            ByteView iv);
    static std::optional<std::string> AES128DecryptCBC(const std::optional<std::string>& hex,
                                                       const std::optional<std::string>& key,
                                                       const std::optional<std::string>& iv);
    static std::optional<Bytes> ase128CBCDecryptDataWithData(ByteView data, ByteView dataKey,
                                                             ByteView dataIv);
    // UTF-8 text of ase128CBCDecryptDataWithData.
    static std::optional<std::string> AES128CBCDecryptWithData(ByteView data, ByteView dataKey,
                                                               ByteView dataIv);
    // Under key and IV texts.
    static std::optional<Bytes> AES128CBCDecryptWithDataHexKey(
        ByteView data, const std::optional<std::string>& key, const std::optional<std::string>& iv);

    // AES-CCM, 13-byte nonce, 16-byte tag. Sealed form: nonce || ciphertext || tag. The nonce
    // bytes are fresh secure bytes, each uniform on 1 to 255. Nothing when the random source
    // fails or the engine refuses (key not 16, 24 or 32 bytes, associated data of 65280 bytes
    // or more, payload of 65536 or more). Opening returns nothing for what the engine refuses
    // and unless the tag verifies.
    static std::optional<Bytes> aesCCMEncryptData(ByteView data, ByteView keyData,
                                                  ByteView associatedData = {});
    static std::optional<Bytes> aesCCMDecryptData(ByteView sealed, ByteView keyData,
                                                  ByteView associatedData = {});
    // The sealed form written into out, which must hold exactly nonce, data and tag
    // (data.size() + 29 bytes; false and out untouched otherwise); false, with out wiped,
    // where aesCCMEncryptData gives nothing. data may already lie where its ciphertext goes
    // (out after the 13 nonce bytes): it is then sealed in place. Any other overlap is not
    // allowed.
    static bool aesCCMEncryptDataInto(ByteView data, ByteView keyData, ByteView associatedData,
                                      std::span<uint8_t> out);
    // Opens into out, which must hold exactly the plain bytes (sealed.size() - 29): true when
    // aesCCMDecryptData would give them; false otherwise, with out wiped.
    static bool aesCCMDecryptDataInto(ByteView sealed, ByteView keyData, ByteView associatedData,
                                      std::span<uint8_t> out);

    // Base64. Decodes (whatever the name says), skipping characters outside the alphabet;
    // nullopt for nullopt or text that does not decode.
    static std::optional<Bytes> base64EncodedStr(const std::optional<std::string>& base64);
    // CR LF after every 64 characters (none after the last line).
    static std::string base64EncodedData(ByteView data);

    // LAN message bodies (AES-128-ECB). The LAN body key is the MD5 of apConfigDefaultKey;
    // operations that need it return nothing while apConfigDefaultKey is empty.
    // Under a hex key; logs the body's length only (a body may carry a password or a code).
    static std::optional<Bytes> localMessageBodyEncryption(
        ByteView body, const std::optional<std::string>& hexKey);
    static std::optional<Bytes> localMessageBodyEncryption(ByteView body);
    static std::optional<Bytes> localMessageBodyDecryption(ByteView encrypted);
    // The body as two-digit hex texts, one a byte.
    static std::optional<Bytes> localMsgBodyEncryption(const std::vector<std::string>& hexBytes);

    // Sensitive data under the keys of the work mode.
    static std::optional<std::string> sensitiveDataEncryption(
        const std::optional<std::string>& text, bool resultIsNoIv = false);
    static std::optional<std::string> sensitiveDataDecryption(
        const std::optional<std::string>& hex);

    // PBKDF2-HMAC-SHA256, 1024 rounds; the first 16 of 32 bytes.
    static Bytes getPBKDFKeyWithKey(ByteView password, ByteView salt);
    // Password apConfigDefaultKey, salt from hex text.
    static Bytes getPBKDFKeyDataWithSaltData(const std::optional<std::string>& saltHex);
    // Password apConfigDefaultKey, salt the first 16 bytes of SHA-256 of the time data
    // followed by 8 zero bytes.
    static Bytes getPBKDFKeyDataWithTimeData(ByteView timeData);
};

// Device records sit below this layer and decrypt a serial number from a cloud reply here:
// installs that decryption (called once by TelvoSDKInitialize).
void registerDataSecurity();

}  // namespace telvo

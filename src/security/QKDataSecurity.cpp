#include "security/QKDataSecurity.h"

#include <algorithm>

#include "core/HexText.h"
#include "core/QKStringFormat.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "records/QKDeviceDecryption.h"
#include "security/QKVPCCModel.h"
#include "security/TextBytes.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {
namespace {

using crypto::AesMode;
using crypto::AesPadding;
using crypto::DigestAlgorithm;
using textbytes::bytesOf;
using textbytes::cString;

constexpr size_t kKeySize = 16;
constexpr size_t kSecNonceSize = 13;
constexpr size_t kSecTagSize = 16;

std::string hexOf(ByteView bytes) {
    return hextext::encode(bytes, false);
}

Bytes hexField(const std::optional<std::string>& hex) {
    return QKStringFormat::dataForHexString(hex).value_or(Bytes{});
}

// A key or IV text in a zeroed 16-byte field; nothing for a text over 16 bytes.
std::optional<Bytes> textField(const std::optional<std::string>& text) {
    Bytes field(kKeySize, 0);
    if (!text) return field;
    std::string_view bytes = cString(*text);
    if (bytes.size() > kKeySize) return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), field.begin());
    return field;
}

// The first 16 bytes of key or IV data; nothing when there are fewer.
std::optional<ByteView> first16(ByteView bytes) {
    if (bytes.size() < kKeySize) return std::nullopt;
    return bytes.first(kKeySize);
}

std::string configApKey() {
    return QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
}

// AES-128 with PKCS#7 padding under the first 16 bytes of key and, for CBC, of iv; nothing
// when either is shorter.
std::optional<Bytes> aes128(bool encrypt, AesMode mode, ByteView data, ByteView key,
                            ByteView iv = {}) {
    auto k = first16(key);
    if (!k) return std::nullopt;
    ByteView v;
    if (mode == AesMode::CBC) {
        auto first = first16(iv);
        if (!first) return std::nullopt;
        v = *first;
    }
    return encrypt ? crypto::aesEncrypt(mode, AesPadding::PKCS7, *k, v, data)
                   : crypto::aesDecrypt(mode, AesPadding::PKCS7, *k, v, data);
}

// The first 16 UTF-8 bytes of a key text, zero-padded.
Bytes truncatedTextKey(const std::optional<std::string>& key) {
    Bytes field(kKeySize, 0);
    if (key) {
        std::string_view bytes = cString(*key);
        std::copy_n(bytes.begin(), std::min(bytes.size(), kKeySize), field.begin());
    }
    return field;
}

std::string securityWorkMode() {
    return QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
}

// The hex SHA-256 of the access token, whose halves key work modes "10004" and "10002";
// nothing without a token.
std::optional<std::string> accessTokenHash() {
    std::string token = QKMiddleInterface::shareInstance()->middleConfig()->accessToken();
    if (token.empty()) return std::nullopt;
    return QKDataSecurity::getSha256String(token);
}

// h[from..from+32) of the hex SHA-256 of the access token, as 16 bytes.
Bytes tokenKeyPart(const std::string& h, size_t from) {
    return hexField(h.substr(from, 32));
}

// The data key and IV texts of work modes "10003" and "1": dataKey and dataIv decrypted with
// the halves of the hex SHA-256 of appKey.
std::optional<std::pair<std::string, std::string>> appDataKeys() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    std::string h = QKDataSecurity::getSha256String(config->appKey());
    std::string key = h.substr(0, 16), iv = h.substr(16, 16);
    auto K = QKDataSecurity::AES128DecryptCBC(config->dataKey(), key, iv);
    auto V = QKDataSecurity::AES128DecryptCBC(config->dataIv(), key, iv);
    if (!K || !V) return std::nullopt;
    return std::pair{*K, *V};
}

// The data key text of the other work modes: dataKey decrypted (ECB) under the first 16
// digits of the hex MD5 of appKey.
std::optional<std::string> legacyDataKey() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    auto md5 = QKDataSecurity::getMD5_128(config->appKey());
    return QKDataSecurity::AES128Decrypt(config->dataKey(), md5->substr(0, 16));
}

}  // namespace

// Digests and HMAC.

std::string QKDataSecurity::getMD5_128WithData(ByteView data) {
    return hexOf(crypto::digest(DigestAlgorithm::MD5, data));
}

std::optional<std::string> QKDataSecurity::getMD5_128(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return getMD5_128WithData(bytesOf(cString(*text)));
}

std::string QKDataSecurity::getSha256String(const std::optional<std::string>& text) {
    if (!text) return "";
    return getSha256Data(bytesOf(cString(*text)));
}

std::string QKDataSecurity::getSha256Data(ByteView data) {
    return hexOf(crypto::digest(DigestAlgorithm::SHA256, data));
}

std::optional<std::string> QKDataSecurity::hmacSHA256WithSecret(
    const std::optional<std::string>& secret, const std::optional<std::string>& content) {
    if (!secret || !content) return std::nullopt;
    for (unsigned char c : *secret)
        if (c > 0x7F) return std::nullopt;
    return hexOf(crypto::hmac(DigestAlgorithm::SHA256, bytesOf(cString(*secret)),
                              bytesOf(cString(*content))));
}

std::string QKDataSecurity::hmacSha256WithSecretData(ByteView secret, const std::string& content) {
    return hexOf(hmacSHA256WithSecretData(secret, bytesOf(cString(content))));
}

Bytes QKDataSecurity::hmacSHA256WithSecretData(ByteView secret, ByteView content) {
    return crypto::hmac(DigestAlgorithm::SHA256, secret, content);
}

// AES-128-ECB.

std::optional<Bytes> QKDataSecurity::aesEncryptData(ByteView data, ByteView keyData) {
    return aes128(true, AesMode::ECB, data, keyData);
}

std::optional<Bytes> QKDataSecurity::aesDecryptData(ByteView data, ByteView keyData) {
    return aes128(false, AesMode::ECB, data, keyData);
}

std::optional<Bytes> QKDataSecurity::AES128EncryptWithData(
    ByteView data, const std::optional<std::string>& hexKey) {
    return aes128(true, AesMode::ECB, data, hexField(hexKey));
}

std::optional<Bytes> QKDataSecurity::AES128DecryptWithData(
    ByteView data, const std::optional<std::string>& hexKey) {
    return aes128(false, AesMode::ECB, data, hexField(hexKey));
}

std::optional<std::string> QKDataSecurity::AES128Encrypt(const std::optional<std::string>& text,
                                                         const std::optional<std::string>& key) {
    auto k = textField(key);
    if (!text || !k) return std::nullopt;
    auto sealed = aes128(true, AesMode::ECB, bytesOf(*text), *k);
    if (!sealed) return std::nullopt;
    return hexOf(*sealed);
}

std::optional<std::string> QKDataSecurity::AES128Decrypt(const std::optional<std::string>& hex,
                                                         const std::optional<std::string>& key) {
    auto k = textField(key);
    if (!hex || !k) return std::nullopt;
    auto plain = aes128(false, AesMode::ECB, hexField(hex), *k);
    if (!plain) return std::nullopt;
    return textbytes::utf8Text(*plain);
}

std::optional<Bytes> QKDataSecurity::AES128DecryptWithDataHexKey(
    ByteView data, const std::optional<std::string>& key) {
    auto k = textField(key);
    if (!k) return std::nullopt;
    return aes128(false, AesMode::ECB, data, *k);
}

std::optional<std::string> QKDataSecurity::aesEncryptString(const std::optional<std::string>& text,
                                                            const std::optional<std::string>& key) {
    if (!text) return std::nullopt;
    auto sealed = aes128(true, AesMode::ECB, bytesOf(*text), truncatedTextKey(key));
    if (!sealed) return std::nullopt;
    return crypto::base64Encode(*sealed);
}

std::optional<std::string> QKDataSecurity::aesDecryptString(
    const std::optional<std::string>& base64, const std::optional<std::string>& key) {
    if (!base64) return std::nullopt;
    auto data = crypto::base64Decode(*base64, true);
    if (!data) return std::nullopt;
    auto plain = aes128(false, AesMode::ECB, *data, truncatedTextKey(key));
    if (!plain) return std::nullopt;
    return textbytes::utf8Text(*plain);
}

// AES-128-CBC.

std::optional<std::string> QKDataSecurity::AES128EncryptCBC(const std::optional<std::string>& text,
                                                            const std::optional<std::string>& key,
                                                            const std::optional<std::string>& iv) {
    auto k = textField(key), v = textField(iv);
    if (!text || !k || !v) return std::nullopt;
    return aes128EncryptWithData(bytesOf(*text), *k, *v);
}

std::optional<std::string> QKDataSecurity::aes128EncryptWithData(ByteView data, ByteView key,
                                                                 ByteView iv) {
    auto sealed = aes128(true, AesMode::CBC, data, key, iv);
    if (!sealed) return std::nullopt;
    return hexOf(*sealed);
}

std::optional<std::string> QKDataSecurity::AES128DecryptCBC(const std::optional<std::string>& hex,
                                                            const std::optional<std::string>& key,
                                                            const std::optional<std::string>& iv) {
    auto k = textField(key), v = textField(iv);
    if (!hex || !k || !v) return std::nullopt;
    return AES128CBCDecryptWithData(hexField(hex), *k, *v);
}

std::optional<Bytes> QKDataSecurity::ase128CBCDecryptDataWithData(ByteView data, ByteView dataKey,
                                                                  ByteView dataIv) {
    return aes128(false, AesMode::CBC, data, dataKey, dataIv);
}

std::optional<std::string> QKDataSecurity::AES128CBCDecryptWithData(ByteView data, ByteView dataKey,
                                                                    ByteView dataIv) {
    auto plain = ase128CBCDecryptDataWithData(data, dataKey, dataIv);
    if (!plain) return std::nullopt;
    return textbytes::utf8Text(*plain);
}

std::optional<Bytes> QKDataSecurity::AES128CBCDecryptWithDataHexKey(
    ByteView data, const std::optional<std::string>& key, const std::optional<std::string>& iv) {
    auto k = textField(key), v = textField(iv);
    if (!k || !v) return std::nullopt;
    return aes128(false, AesMode::CBC, data, *k, *v);
}

// AES-CCM.

namespace {

// The engine's limits, in both directions. The platform's CCM alone would also take associated
// data of 65280 bytes or more (with the longer length field the engine never writes).
bool engineTakes(ByteView keyData, ByteView associatedData, size_t payloadLength) {
    return QKVPCCModel::check(keyData.size(), kSecNonceSize, associatedData.size(), kSecTagSize,
                              payloadLength) == 0;
}

}  // namespace

bool QKDataSecurity::aesCCMEncryptDataInto(ByteView data, ByteView keyData, ByteView associatedData,
                                           std::span<uint8_t> out) {
    if (out.size() != kSecNonceSize + data.size() + kSecTagSize) return false;
    if (!engineTakes(keyData, associatedData, data.size())) {
        crypto::cleanse(out.data(), out.size());
        return false;
    }
    const auto nonce = out.first(kSecNonceSize);
    if (!Random::shared()->nonzeroBytes(nonce.data(), nonce.size()) ||
        !crypto::aesCcm(true, keyData, nonce, associatedData, kSecTagSize, data,
                        out.subspan(kSecNonceSize))) {
        crypto::cleanse(out.data(), out.size());
        return false;
    }
    return true;
}

std::optional<Bytes> QKDataSecurity::aesCCMEncryptData(ByteView data, ByteView keyData,
                                                       ByteView associatedData) {
    Bytes sealed(kSecNonceSize + data.size() + kSecTagSize);
    if (!aesCCMEncryptDataInto(data, keyData, associatedData, sealed)) return std::nullopt;
    return sealed;
}

std::optional<Bytes> QKDataSecurity::aesCCMDecryptData(ByteView sealed, ByteView keyData,
                                                       ByteView associatedData) {
    if (sealed.size() < kSecNonceSize + kSecTagSize ||
        !engineTakes(keyData, associatedData, sealed.size() - kSecNonceSize - kSecTagSize))
        return std::nullopt;
    Bytes plain;
    if (!crypto::aesCcm(false, keyData, sealed.first(kSecNonceSize), associatedData, kSecTagSize,
                        sealed.subspan(kSecNonceSize), plain))
        return std::nullopt;
    return plain;
}

bool QKDataSecurity::aesCCMDecryptDataInto(ByteView sealed, ByteView keyData,
                                           ByteView associatedData, std::span<uint8_t> out) {
    if (sealed.size() < kSecNonceSize + kSecTagSize ||
        out.size() != sealed.size() - kSecNonceSize - kSecTagSize ||
        !engineTakes(keyData, associatedData, out.size())) {
        crypto::cleanse(out.data(), out.size());
        return false;
    }
    return crypto::aesCcm(false, keyData, sealed.first(kSecNonceSize), associatedData, kSecTagSize,
                          sealed.subspan(kSecNonceSize), out);
}

// Base64.

std::optional<Bytes> QKDataSecurity::base64EncodedStr(const std::optional<std::string>& base64) {
    if (!base64) return std::nullopt;
    return crypto::base64Decode(*base64, true);
}

std::string QKDataSecurity::base64EncodedData(ByteView data) {
    return crypto::base64Encode(data, {64, "\r\n"});
}

// LAN message bodies.

std::optional<Bytes> QKDataSecurity::localMessageBodyEncryption(
    ByteView body, const std::optional<std::string>& hexKey) {
    QKSDKLOG("LAN msgData %s", maskedBody(body).c_str());
    return AES128EncryptWithData(body, hexKey);
}

namespace {

// The AES key of LAN message bodies under a key text: its MD5 digest, as the hex text of the
// digest reads back. Every frame of a run uses the same key text: the digest of the last one is
// kept per thread (and wiped at the thread's end).
const Bytes& bodyKey(const std::string& apKey) {
    struct Kept {
        std::string text;
        Bytes key;
        ~Kept() {
            crypto::cleanse(text.data(), text.size());
            crypto::cleanse(key.data(), key.size());
        }
    };
    thread_local Kept kept;
    if (kept.key.empty() || kept.text != apKey) {
        crypto::cleanse(kept.text.data(), kept.text.size());
        kept.text = apKey;
        kept.key = hexField(QKDataSecurity::getMD5_128(apKey));
    }
    return kept.key;
}

}  // namespace

std::optional<Bytes> QKDataSecurity::localMessageBodyEncryption(ByteView body) {
    std::string apKey = configApKey();
    if (apKey.empty()) return std::nullopt;
    return aes128(true, AesMode::ECB, body, bodyKey(apKey));
}

std::optional<Bytes> QKDataSecurity::localMessageBodyDecryption(ByteView encrypted) {
    std::string apKey = configApKey();
    if (apKey.empty()) return std::nullopt;
    return aes128(false, AesMode::ECB, encrypted, bodyKey(apKey));
}

std::optional<Bytes> QKDataSecurity::localMsgBodyEncryption(
    const std::vector<std::string>& hexField) {
    return localMessageBodyEncryption(QKStringFormat::hexArrayToData(hexField));
}

// Sensitive data.

namespace {

// The keys of the sensitive-data operations, as the work mode chooses them.
struct SensitiveKeys {
    enum class Scheme { accessToken, appData, legacy } scheme;
    // accessToken: h = hex SHA-256 of the access token; key h[0..32), IV h[16..48) as bytes.
    Bytes key, iv;
    std::string ivHex;
    // appData: key and IV texts; legacy: the key text.
    std::string keyText, ivText;
};

SensitiveKeys::Scheme sensitiveScheme(const std::string& mode) {
    if (mode == "10004" || mode == "10002") return SensitiveKeys::Scheme::accessToken;
    if (mode == "10003" || mode == "1") return SensitiveKeys::Scheme::appData;
    return SensitiveKeys::Scheme::legacy;
}

std::optional<SensitiveKeys> sensitiveKeys(SensitiveKeys::Scheme scheme) {
    SensitiveKeys keys{scheme, {}, {}, {}, {}, {}};
    switch (scheme) {
        case SensitiveKeys::Scheme::accessToken: {
            auto h = accessTokenHash();
            if (!h) return std::nullopt;
            keys.key = tokenKeyPart(*h, 0);
            keys.ivHex = h->substr(16, 32);
            keys.iv = hexField(keys.ivHex);
            return keys;
        }
        case SensitiveKeys::Scheme::appData: {
            auto texts = appDataKeys();
            if (!texts) return std::nullopt;
            keys.keyText = texts->first;
            keys.ivText = texts->second;
            return keys;
        }
        case SensitiveKeys::Scheme::legacy: {
            auto K = legacyDataKey();
            if (!K) return std::nullopt;
            keys.keyText = *K;
            return keys;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> QKDataSecurity::sensitiveDataEncryption(
    const std::optional<std::string>& text, bool resultIsNoIv) {
    if (!text) return std::nullopt;
    auto keys = sensitiveKeys(sensitiveScheme(securityWorkMode()));
    if (!keys) return std::nullopt;
    switch (keys->scheme) {
        case SensitiveKeys::Scheme::accessToken: {
            std::string cipher =
                aes128EncryptWithData(bytesOf(*text), keys->key, keys->iv).value_or("");
            return resultIsNoIv ? cipher : keys->ivHex + cipher;
        }
        case SensitiveKeys::Scheme::appData:
            return AES128EncryptCBC(text, keys->keyText, keys->ivText);
        case SensitiveKeys::Scheme::legacy:
            return AES128Encrypt(text, keys->keyText);
    }
    return std::nullopt;
}

std::optional<std::string> QKDataSecurity::sensitiveDataDecryption(
    const std::optional<std::string>& hex) {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    const std::string mode = securityWorkMode();
    const std::string input = hex.value_or("");
    auto scheme = sensitiveScheme(mode);
    // "10002" carries its IV in front of the ciphertext; too short for that, the legacy keys.
    const bool ivInInput = mode == "10002";
    if (ivInInput && input.size() < 33) scheme = SensitiveKeys::Scheme::legacy;
    if (scheme == SensitiveKeys::Scheme::appData &&
        (config->appKey().empty() || config->dataKey().empty() || config->dataIv().empty()))
        return std::nullopt;
    auto keys = sensitiveKeys(scheme);
    if (!keys) return std::nullopt;
    switch (keys->scheme) {
        case SensitiveKeys::Scheme::accessToken:
            if (ivInInput)
                return AES128CBCDecryptWithData(hexField(input.substr(32)), keys->key,
                                                hexField(input.substr(0, 32)));
            return AES128CBCDecryptWithData(hexField(input), keys->key, keys->iv);
        case SensitiveKeys::Scheme::appData:
            return AES128DecryptCBC(input, keys->keyText, keys->ivText);
        case SensitiveKeys::Scheme::legacy:
            return AES128Decrypt(input, keys->keyText);
    }
    return std::nullopt;
}

void registerDataSecurity() {
    installSensitiveDataDecryptor(
        [](const std::string& hex) { return QKDataSecurity::sensitiveDataDecryption(hex); });
}

// PBKDF2.

Bytes QKDataSecurity::getPBKDFKeyWithKey(ByteView password, ByteView salt) {
    Bytes key = crypto::pbkdf2(DigestAlgorithm::SHA256, password, salt, 1024, 32);
    if (key.size() != 32) return {};
    key.resize(16);
    return key;
}

Bytes QKDataSecurity::getPBKDFKeyDataWithSaltData(const std::optional<std::string>& saltHex) {
    return getPBKDFKeyWithKey(bytesOf(configApKey()), hexField(saltHex));
}

Bytes QKDataSecurity::getPBKDFKeyDataWithTimeData(ByteView timeData) {
    Bytes salted(timeData.begin(), timeData.end());
    salted.resize(salted.size() + 8, 0);
    Bytes salt = crypto::digest(DigestAlgorithm::SHA256, salted);
    salt.resize(std::min<size_t>(salt.size(), 16));
    return getPBKDFKeyWithKey(bytesOf(configApKey()), salt);
}

}  // namespace telvo

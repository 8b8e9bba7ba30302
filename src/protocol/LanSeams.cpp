#include "protocol/LanSeams.h"

#include <algorithm>

#include "core/HexText.h"
#include "platform/Crypto.h"
#include "platform/Random.h"
#include "security/QKVPCCMCrypt.h"

#include "interface/QKMiddleInterface.h"

namespace telvo::lanseam {

namespace {
Bytes md5(ByteView data) { return crypto::digest(crypto::DigestAlgorithm::MD5, data); }
Bytes first16(ByteView key) { return Bytes(key.begin(), key.begin() + std::min<size_t>(16, key.size())); }
}  // namespace

std::string md5Hex(ByteView data) { return hextext::encode(md5(data), false); }

std::optional<Bytes> lanBodyEncrypt(ByteView plain, const std::string& hexKey) {
    return crypto::aesEncrypt(crypto::AesMode::ECB, crypto::AesPadding::PKCS7,
                              first16(hextext::readPairs(hexKey)), {}, plain);
}

std::optional<Bytes> lanBodyDecrypt(ByteView cipher) {
    std::string key = QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
    return crypto::aesDecrypt(crypto::AesMode::ECB, crypto::AesPadding::PKCS7, md5(toBytes(key)),
                              {}, cipher);
}

std::optional<Bytes> ccmSeal(ByteView plain, ByteView key, ByteView aad) {
    if (key.size() < 16) return std::nullopt;
    Bytes nonce(13);
    for (auto& b : nonce) b = static_cast<uint8_t>(1 + Random::shared()->uniform(255));
    QKVPCCMCrypt ccm(first16(key), nonce, aad, 16);
    auto sealed = ccm.encryptDataWithData(plain);
    if (!sealed) return std::nullopt;
    nonce.insert(nonce.end(), sealed->begin(), sealed->end());
    return nonce;
}

std::optional<Bytes> ccmOpen(ByteView sealed, ByteView key, ByteView aad) {
    if (key.size() < 16 || sealed.size() < 29) return std::nullopt;
    QKVPCCMCrypt ccm(first16(key), sealed.first(13), aad, 16);
    return ccm.decryptDataWithData(sealed.subspan(13));
}

Bytes pbkdfKeyWithTimeData(ByteView timeData) {
    Bytes in(timeData.begin(), timeData.end());
    in.resize(in.size() + 8, 0);
    Bytes salt = crypto::digest(crypto::DigestAlgorithm::SHA256, in);
    salt.resize(16);
    std::string password = QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
    Bytes out = crypto::pbkdf2(crypto::DigestAlgorithm::SHA256, toBytes(password), salt, 1024, 32);
    out.resize(16);
    return out;
}

std::optional<Bytes> cbcDecrypt(ByteView data, ByteView key, ByteView iv) {
    return crypto::aesDecrypt(crypto::AesMode::CBC, crypto::AesPadding::PKCS7, first16(key), iv,
                              data);
}

}  // namespace telvo::lanseam

#include "protocol/LanSeams.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <map>
#include <memory>

#include "interface/QKMiddleInterface.h"

namespace telvo::lanseam {

namespace {
struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

Bytes md5(ByteView data) {
    Bytes out(16);
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr);
    return out;
}

std::optional<Bytes> block(const EVP_CIPHER* cipher, bool enc, ByteView key, const uint8_t* iv,
                           ByteView in) {
    if (key.size() < 16) return std::nullopt;
    Ctx ctx(EVP_CIPHER_CTX_new());
    Bytes out(in.size() + 16);
    int len = 0, fin = 0;
    if (!ctx || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, enc) ||
        !EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())) ||
        !EVP_CipherFinal_ex(ctx.get(), out.data() + len, &fin))
        return std::nullopt;
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
}  // namespace

std::string md5Hex(ByteView data) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : md5(data)) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

std::optional<Bytes> lanBodyEncrypt(ByteView plain, const std::string& hexKey) {
    return block(EVP_aes_128_ecb(), true, fromHex(hexKey), nullptr, plain);
}

std::optional<Bytes> lanBodyDecrypt(ByteView cipher) {
    std::string key = QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
    return block(EVP_aes_128_ecb(), false, md5(toBytes(key)), nullptr, cipher);
}

std::optional<Bytes> ccmSeal(ByteView plain, ByteView key, ByteView aad) {
    if (key.size() < 16) return std::nullopt;
    Bytes out(13);
    for (auto& b : out) {
        uint8_t r = 0;
        RAND_bytes(&r, 1);
        b = static_cast<uint8_t>(1 + r % 255);
    }
    Ctx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ccm(), nullptr, nullptr, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, nullptr) ||
        !EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), out.data()) ||
        !EVP_EncryptUpdate(ctx.get(), nullptr, &len, nullptr, static_cast<int>(plain.size())))
        return std::nullopt;
    if (!aad.empty() &&
        !EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())))
        return std::nullopt;
    out.resize(13 + plain.size() + 16);
    if (!EVP_EncryptUpdate(ctx.get(), out.data() + 13, &len, plain.data(),
                           static_cast<int>(plain.size())) ||
        !EVP_EncryptFinal_ex(ctx.get(), out.data() + 13 + len, &len) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data() + 13 + plain.size()))
        return std::nullopt;
    return out;
}

std::optional<Bytes> ccmOpen(ByteView sealed, ByteView key, ByteView aad) {
    if (key.size() < 16 || sealed.size() < 29) return std::nullopt;
    const size_t n = sealed.size() - 29;
    Bytes tag(sealed.end() - 16, sealed.end());
    Ctx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ccm(), nullptr, nullptr, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag.data()) ||
        !EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), sealed.data()) ||
        !EVP_DecryptUpdate(ctx.get(), nullptr, &len, nullptr, static_cast<int>(n)))
        return std::nullopt;
    if (!aad.empty() &&
        !EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())))
        return std::nullopt;
    Bytes out(n + 1);
    if (EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed.data() + 13, static_cast<int>(n)) <= 0)
        return std::nullopt;
    out.resize(n);
    return out;
}

Bytes pbkdfKeyWithTimeData(ByteView timeData) {
    Bytes in(timeData.begin(), timeData.end());
    in.resize(in.size() + 8, 0);
    Bytes digest(32);
    unsigned len = 0;
    EVP_Digest(in.data(), in.size(), digest.data(), &len, EVP_sha256(), nullptr);
    digest.resize(16);
    std::string password = QKMiddleInterface::shareInstance()->middleConfig()->apConfigDefaultKey();
    Bytes out(32);
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), digest.data(), 16, 1024,
                      EVP_sha256(), 32, out.data());
    out.resize(16);
    return out;
}

std::optional<Bytes> cbcDecrypt(ByteView data, ByteView key, ByteView iv) {
    if (iv.size() < 16) return std::nullopt;
    return block(EVP_aes_128_cbc(), false, key, iv.data(), data);
}

ErrorPtr sucError() {
    static ErrorPtr e = makeError("TelvoError", 0, "Executed Successfully.");
    return e;
}

ErrorPtr configNetErrorWithCode(int64_t code) {
    static const std::map<int64_t, std::string> messages = {
        {4020, "Set password and SSID wrong SSID"},
        {4021, "Set password and SSID wrong password length"},
        {4022, "Set password and SSID wrong BSSID"},
        {4090, "Set password and SSID wrong password"},
        {4127, "Set password and SSID country code error"},
        {4128, "Set password and SSID time zone error"},
        {4129, "Set password and SSID channel list error"},
        {4135, "Set password and SSID unknown error"},
        {4136, "Set password and SSID module server domain error"},
    };
    auto it = messages.find(code);
    return makeError("TelvoError", 110000 + code, it == messages.end() ? "" : it->second);
}

}  // namespace telvo::lanseam

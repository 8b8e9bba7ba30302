#include "sim/SimLanCodec.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "platform/crypto/OpenSSLPtr.h"

namespace telvo::sim {

namespace crypto {

namespace {
Bytes digest(const EVP_MD* md, ByteView data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

std::optional<Bytes> blockMode(const EVP_CIPHER* cipher, bool encrypt, ByteView key,
                               const uint8_t* iv, ByteView data) {
    if (key.size() < 16) return std::nullopt;
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0))
        return std::nullopt;
    Bytes out(data.size() + 16);
    int len = 0, fin = 0;
    if (!EVP_CipherUpdate(ctx.get(), out.data(), &len, data.data(), static_cast<int>(data.size())))
        return std::nullopt;
    if (!EVP_CipherFinal_ex(ctx.get(), out.data() + len, &fin)) return std::nullopt;
    out.resize(static_cast<size_t>(len + fin));
    return out;
}
}  // namespace

Bytes md5(ByteView data) {
    return digest(EVP_md5(), data);
}
Bytes sha256(ByteView data) {
    return digest(EVP_sha256(), data);
}

std::optional<Bytes> ecb(bool encrypt, ByteView key16, ByteView data) {
    return blockMode(EVP_aes_128_ecb(), encrypt, key16, nullptr, data);
}

std::optional<Bytes> cbc(bool encrypt, ByteView key16, ByteView iv16, ByteView data) {
    if (iv16.size() < 16) return std::nullopt;
    return blockMode(EVP_aes_128_cbc(), encrypt, key16, iv16.data(), data);
}

std::optional<Bytes> ccmSeal(ByteView key16, ByteView nonce13, ByteView aad, ByteView plain) {
    if (key16.size() < 16 || nonce13.size() != 13) return std::nullopt;
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ccm(), nullptr, nullptr, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, nullptr) ||
        !EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key16.data(), nonce13.data()) ||
        !EVP_EncryptUpdate(ctx.get(), nullptr, &len, nullptr, static_cast<int>(plain.size())))
        return std::nullopt;
    if (!aad.empty() &&
        !EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())))
        return std::nullopt;
    Bytes out(nonce13.begin(), nonce13.end());
    out.resize(13 + plain.size() + 16);
    if (!EVP_EncryptUpdate(ctx.get(), out.data() + 13, &len, plain.data(),
                           static_cast<int>(plain.size())) ||
        !EVP_EncryptFinal_ex(ctx.get(), out.data() + 13 + len, &len) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data() + 13 + plain.size()))
        return std::nullopt;
    return out;
}

std::optional<Bytes> ccmOpen(ByteView key16, ByteView aad, ByteView sealed) {
    if (key16.size() < 16 || sealed.size() < 29) return std::nullopt;
    const size_t n = sealed.size() - 29;
    Bytes tag(sealed.end() - 16, sealed.end());
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ccm(), nullptr, nullptr, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 13, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag.data()) ||
        !EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key16.data(), sealed.data()) ||
        !EVP_DecryptUpdate(ctx.get(), nullptr, &len, nullptr, static_cast<int>(n)))
        return std::nullopt;
    if (!aad.empty() &&
        !EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())))
        return std::nullopt;
    Bytes out(n + 1);  // never a zero-length buffer
    if (EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed.data() + 13, static_cast<int>(n)) <=
        0)
        return std::nullopt;
    out.resize(n);
    return out;
}

Bytes pbkdf2Sha256(ByteView password, ByteView salt, int iterations, size_t length) {
    Bytes out(length);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                      static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                      iterations, EVP_sha256(), static_cast<int>(length), out.data());
    return out;
}

}  // namespace crypto

TimeStamp makeTimeStamp(int year, int month, int day, int hour, int minute, int second,
                        int millisecond) {
    return {static_cast<uint8_t>(millisecond & 0xFF),
            static_cast<uint8_t>((second & 0x3F) | ((millisecond >> 8) & 3) << 6),
            static_cast<uint8_t>(minute),
            static_cast<uint8_t>(hour),
            static_cast<uint8_t>(day),
            static_cast<uint8_t>(month),
            static_cast<uint8_t>(year % 100),
            static_cast<uint8_t>(year / 100)};
}

SimLanCodec::SimLanCodec(std::string defaultKey, Bytes sessionKey)
    : defaultKey_(std::move(defaultKey)), sessionKey_(std::move(sessionKey)) {}

Bytes SimLanCodec::signature(ByteView signedPart) const {
    Bytes input(signedPart.begin(), signedPart.end());
    bool ascii = defaultKey_.size() <= 36;
    for (unsigned char c : defaultKey_) ascii = ascii && c < 0x80;
    if (ascii) input.insert(input.end(), defaultKey_.begin(), defaultKey_.end());
    return crypto::md5(input);
}

namespace {
uint32_t le(ByteView d, size_t at, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint32_t{d[at + i]} << (8 * i);
    return v;
}
void putLe(Bytes& d, size_t at, uint64_t v, size_t width) {
    for (size_t i = 0; i < width; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace

std::optional<SimLanFrame> SimLanCodec::read(ByteView data, std::string* why) const {
    auto fail = [&](const char* reason) -> std::optional<SimLanFrame> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (data.size() < 56) return fail("shorter than header and slot");
    if (data[0] != 0x5A || data[1] != 0x5A) return fail("bad magic");
    SimLanFrame f;
    f.protocolVer = data[2];
    f.encryptType = data[3] & 0x0F;
    f.isSign = (data[3] & 0x10) != 0;
    if ((data[3] & 0xE0) != 0) return fail("unknown bits in byte 3");
    f.lengthField = static_cast<uint16_t>(le(data, 4, 2));
    if (f.lengthField != data.size()) return fail("length field differs from size");
    f.msgType = static_cast<uint16_t>(le(data, 6, 2));
    f.tag = le(data, 8, 4);
    std::copy(data.begin() + 12, data.begin() + 20, f.timeStamp.begin());
    f.deviceId = le(data, 20, 4) | uint64_t{le(data, 24, 2)} << 32;
    f.authByte = data[35];

    const size_t slotAt = data.size() - 16;
    ByteView slot = data.subspan(slotAt);
    if (f.isSign) {
        if (signature(data.first(slotAt)) != Bytes(slot.begin(), slot.end()))
            return fail("bad signature");
    } else {
        for (uint8_t b : slot)
            if (b) return fail("unsigned frame with a non-zero slot");
    }
    ByteView wire = data.subspan(40, slotAt - 40);
    ByteView header = data.first(40);
    Bytes plain;
    switch (f.encryptType) {
        case 0:
            plain.assign(wire.begin(), wire.end());
            break;
        case 1: {
            if (wire.empty() || wire.size() % 16) return fail("ECB body not whole blocks");
            auto p = crypto::ecb(false, crypto::md5(toBytes(defaultKey_)), wire);
            if (!p) return fail("ECB body does not decrypt");
            plain = std::move(*p);
            break;
        }
        case 2: {
            if (sessionKey_.empty()) return fail("no session key");
            auto p = crypto::ccmOpen(sessionKey_, header, wire);
            if (!p) return fail("CCM body does not open");
            plain = std::move(*p);
            break;
        }
        default:
            return fail("unknown encryption type");
    }
    if (f.protocolVer == 3) {
        if (plain.size() < 2) return fail("protocol-3 body without counter");
        f.counter = static_cast<uint16_t>(plain[0] | plain[1] << 8);
        plain.erase(plain.begin(), plain.begin() + 2);
    }
    f.body = std::move(plain);
    return f;
}

Bytes SimLanCodec::write(const SimLanFrame& f, CcmLayout layout, std::optional<Bytes> nonce) const {
    const size_t counterLen = f.protocolVer == 3 ? 2 : 0;
    Bytes plain(counterLen + f.body.size());
    if (counterLen) {
        plain[0] = static_cast<uint8_t>(f.counter);
        plain[1] = static_cast<uint8_t>(f.counter >> 8);
    }
    std::copy(f.body.begin(), f.body.end(), plain.begin() + counterLen);

    const bool tagAtEnd = f.encryptType == 2 && layout == CcmLayout::TagAtEnd;
    const bool sign = f.isSign && !tagAtEnd;
    size_t wireLen = plain.size();
    if (f.encryptType == 1) wireLen = (plain.size() / 16 + 1) * 16;
    if (f.encryptType == 2) wireLen = 13 + plain.size() + 16;
    const size_t total = 40 + wireLen + (tagAtEnd ? 0 : 16);

    Bytes out(total, 0);
    out[0] = out[1] = 0x5A;
    out[2] = f.protocolVer;
    out[3] = static_cast<uint8_t>((sign ? 0x10 : 0) | (f.encryptType & 0x0F));
    putLe(out, 4, total, 2);
    putLe(out, 6, f.msgType, 2);
    putLe(out, 8, f.tag, 4);
    std::copy(f.timeStamp.begin(), f.timeStamp.end(), out.begin() + 12);
    putLe(out, 20, f.deviceId, 6);
    out[35] = f.authByte;

    std::optional<Bytes> wire;
    switch (f.encryptType) {
        case 1:
            wire = crypto::ecb(true, crypto::md5(toBytes(defaultKey_)), plain);
            break;
        case 2: {
            if (sessionKey_.empty()) return {};
            Bytes n = nonce.value_or(Bytes(13));
            if (!nonce) RAND_bytes(n.data(), 13);
            wire = crypto::ccmSeal(sessionKey_, n, ByteView(out).first(40), plain);
            break;
        }
        default:
            wire = plain;
    }
    if (!wire || wire->size() != wireLen) return {};
    std::copy(wire->begin(), wire->end(), out.begin() + 40);
    if (sign) {
        Bytes sig = signature(ByteView(out).first(40 + wireLen));
        std::copy(sig.begin(), sig.end(), out.begin() + 40 + wireLen);
    }
    return out;
}

}  // namespace telvo::sim

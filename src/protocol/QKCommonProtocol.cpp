#include "protocol/QKCommonProtocol.h"

#include <atomic>
#include <fstream>

#include "core/HexText.h"
#include "logging/QKLog.h"
#include "platform/base/ByteAppend.h"
#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "platform/foundation/AppFolders.h"
#include "security/QKDataSecurity.h"
#include "security/QKEllipticCurveSecret.h"
#include "security/QKSigECCEncryptHelper.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

namespace {

constexpr size_t kTokenLength = 16;
constexpr size_t kSessionKeyLength = 16;

void putLength16(Bytes& out, size_t n) {
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(n >> 8));
}

Bytes concat(ByteView a, ByteView b) {
    Bytes out;
    out.reserve(a.size() + b.size());
    appendBytes(out, a);
    appendBytes(out, b);
    return out;
}

// The bytes under key, or nullptr when absent or not bytes.
const Bytes* bytesFor(const Dictionary& dict, std::string_view key) {
    const Value* v = dict.find(key);
    return v && v->isBytes() ? &v->bytes() : nullptr;
}

ByteView viewOf(const Bytes* b) {
    return b ? ByteView(*b) : ByteView();
}

// Wipes a copy of key material when it goes out of scope.
struct Wiped {
    Bytes bytes;
    ~Wiped() { crypto::cleanse(bytes.data(), bytes.size()); }
};

Dictionary errorResult(int code) {
    Dictionary d;
    d.set("errCode", code);
    return d;
}

// Bounded little-endian reader; every read checks what is left.
class BodyReader {
  public:
    explicit BodyReader(ByteView body) : body_(body) {}
    std::optional<uint8_t> u8() {
        if (body_.size() - at_ < 1) return std::nullopt;
        return body_[at_++];
    }
    std::optional<size_t> u16() {
        if (body_.size() - at_ < 2) return std::nullopt;
        size_t v = body_[at_] | static_cast<size_t>(body_[at_ + 1]) << 8;
        at_ += 2;
        return v;
    }
    std::optional<ByteView> take(size_t n) {
        if (body_.size() - at_ < n) return std::nullopt;
        ByteView v = body_.subspan(at_, n);
        at_ += n;
        return v;
    }
    size_t offset() const { return at_; }

  private:
    ByteView body_;
    size_t at_ = 0;
};

std::atomic<int32_t> gCommandCounter{0};

}  // namespace

Bytes QKCommonProtocol::msgBodyM1WithAppCert(ByteView appCert, ByteView twoCert,
                                             ByteView randomN1) {
    if (twoCert.size() > 0xFFFF || appCert.size() > 0xFFFF || randomN1.size() > 0xFF) {
        QKSDKLOG("M1: a certificate or N1 does not fit its length field");
        return {};
    }
    Bytes out{0x01, 0x01};
    out.reserve(7 + twoCert.size() + appCert.size() + randomN1.size());
    putLength16(out, twoCert.size());
    appendBytes(out, twoCert);
    putLength16(out, appCert.size());
    appendBytes(out, appCert);
    out.push_back(static_cast<uint8_t>(randomN1.size()));
    appendBytes(out, randomN1);
    return out;
}

Bytes QKCommonProtocol::msgBodyM1WithAppPublicKey(ByteView publicKey, ByteView randomN1) {
    if (publicKey.size() > 0xFFFF || randomN1.size() > 0xFF) {
        QKSDKLOG("M1: the public key or N1 does not fit its length field");
        return {};
    }
    Bytes out{0x03, 0x01};
    out.reserve(5 + publicKey.size() + randomN1.size());
    putLength16(out, publicKey.size());
    appendBytes(out, publicKey);
    out.push_back(static_cast<uint8_t>(randomN1.size()));
    appendBytes(out, randomN1);
    return out;
}

Bytes QKCommonProtocol::msgBodyTLSAuthSecretKey(ByteView finsc) {
    if (finsc.size() > 0xFF) return {};
    Bytes out{0x02, 0x01, static_cast<uint8_t>(finsc.size())};
    appendBytes(out, finsc);
    return out;
}

std::optional<Dictionary> QKCommonProtocol::dicForAesKeyTLSReplyWithData(ByteView body) {
    if (body.size() < 5) return std::nullopt;
    Dictionary dict;
    dict.set("subCmd", int{body[0]});
    dict.set("version", int{body[1]});
    dict.set("oriBody", Bytes(body.begin(), body.end()));
    std::optional<Dictionary> fields;
    if ((body[0] == 1 || body[0] == 3) && body[1] == 1) {
        fields = dicForAesKeyTLSReplyWithDataSub1(body);
    } else if (body[0] == 2 && body[1] == 1) {
        fields = dicForAesKeyTLSReplyWithDataSub2(body);
    }
    if (fields) {
        for (const auto& [key, value] : *fields) dict.set(key, value);
    }
    return dict;
}

std::optional<Dictionary> QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub1(ByteView body) {
    BodyReader in(body);
    if (!in.take(2)) return std::nullopt;
    auto status = in.u8();
    if (!status || *status != 0) return std::nullopt;
    auto field16 = [&in]() -> std::optional<ByteView> {
        auto len = in.u16();
        if (!len || *len == 0) return std::nullopt;
        return in.take(*len);
    };
    auto field8 = [&in]() -> std::optional<ByteView> {
        auto len = in.u8();
        if (!len || *len == 0) return std::nullopt;
        return in.take(*len);
    };
    auto twoCer = field16();
    if (!twoCer) return std::nullopt;
    auto deviceCer = field16();
    if (!deviceCer) return std::nullopt;
    auto random = field8();
    if (!random) return std::nullopt;
    // fins is the last field: everything before it, its length byte included, is signed by it.
    size_t finsLengthEnd = in.offset() + 1;
    auto fins = field8();
    if (!fins) return std::nullopt;

    Dictionary dict;
    dict.set("twoCerData", Bytes(twoCer->begin(), twoCer->end()));
    dict.set("deviceCerData", Bytes(deviceCer->begin(), deviceCer->end()));
    dict.set("randomData", Bytes(random->begin(), random->end()));
    dict.set("finsData", Bytes(fins->begin(), fins->end()));
    dict.set("m2DataNoFins", Bytes(body.begin(), body.begin() + finsLengthEnd));
    dict.set("oriBody", Bytes(body.begin(), body.begin() + in.offset()));
    return dict;
}

std::optional<Dictionary> QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub2(ByteView body) {
    BodyReader in(body);
    if (!in.take(2)) return std::nullopt;
    auto len = in.u16();
    if (!len || *len == 0) return std::nullopt;
    auto sealed = in.take(*len);
    if (!sealed) return std::nullopt;
    Dictionary dict;
    dict.set("m4Data", Bytes(sealed->begin(), sealed->end()));
    return dict;
}

Dictionary QKCommonProtocol::checkTLSKeyAgreementBackDict(const Dictionary& dict,
                                                          ByteView privateKey) {
    const Bytes* twoCer = bytesFor(dict, "twoCerData");
    const Bytes* deviceCer = bytesFor(dict, "deviceCerData");
    const Bytes* n2 = bytesFor(dict, "randomData");
    const Bytes* fins = bytesFor(dict, "finsData");
    const Bytes* m2NoFins = bytesFor(dict, "m2DataNoFins");
    const Bytes* m2 = bytesFor(dict, "oriBody");
    const Bytes* n1 = bytesFor(dict, "tlsRandomN1");
    const Bytes* m1 = bytesFor(dict, "tlsDataM1");
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    Bytes root = config->tlsRootCer();

    bool fieldsPresent = twoCer && deviceCer && n2 && fins && m2NoFins && m2;
    if (!fieldsPresent || root.empty() ||
        !QKSigECCEncryptHelper::validCertificate(*deviceCer, root, *twoCer)) {
        QKSDKLOG("校验设备证书失败");
        return errorResult(2);
    }

    auto devicePublicKey = QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(*deviceCer);
    Wiped ownKey;
    if (privateKey.empty()) {
        ownKey.bytes = config->tlsPrivateKey();
    } else {
        ownKey.bytes.assign(privateKey.begin(), privateKey.end());
    }
    Wiped secret;
    if (devicePublicKey && !ownKey.bytes.empty()) {
        if (auto shared = QKEllipticCurveSecret::computeECDHWithPublicKeyData(*devicePublicKey,
                                                                              ownKey.bytes)) {
            secret.bytes = std::move(*shared);
        }
    }
    if (secret.bytes.empty()) {
        // Without a shared secret the key would come from the two public nonces alone.
        QKSDKLOG("key agreement: no ECDH shared secret with the appliance key");
        return errorResult(2);
    }

    Wiped material;
    material.bytes = secret.bytes;
    appendBytes(material.bytes, viewOf(n1));
    appendBytes(material.bytes, *n2);
    Bytes sessionKey = crypto::digest(crypto::DigestAlgorithm::SHA256, material.bytes);
    sessionKey.resize(kSessionKeyLength);

    Dictionary result;
    result.set("tlsSessionKey", sessionKey);
    Bytes expectedFins =
        QKDataSecurity::hmacSHA256WithSecretData(sessionKey, concat(viewOf(m1), *m2NoFins));
    if (!crypto::constantTimeEquals(expectedFins, *fins)) {
        QKSDKLOG("校验fins失败");
        result.set("errCode", 3);
        return result;
    }
    result.set("finscData",
               QKDataSecurity::hmacSHA256WithSecretData(sessionKey, concat(viewOf(m1), *m2)));
    return result;
}

Dictionary QKCommonProtocol::checkTLSAuthSecretReply(const Dictionary& dict) {
    const Bytes* key = bytesFor(dict, "tlsSessionKey");
    const Bytes* n2 = bytesFor(dict, "tlsRandomN2");
    const Bytes* sealed = bytesFor(dict, "m4Data");
    std::optional<Bytes> plain;
    if (key && sealed) plain = QKDataSecurity::aesCCMDecryptData(*sealed, *key);
    if (!plain || plain->size() <= 16) {
        QKSDKLOG("解密的M4数据长度不对");
        return errorResult(1);
    }
    if ((*plain)[0] != 0) {
        QKSDKLOG("协商结果失败");
        return errorResult(2);
    }
    if (!crypto::constantTimeEquals(ByteView(*plain).subspan(1), viewOf(n2))) {
        QKSDKLOG("验证随机数n2失败");
        return errorResult(3);
    }
    return errorResult(0);
}

Bytes QKCommonProtocol::randomToken() {
    auto random = Random::shared();
    Bytes token(kTokenLength);
    if (!random->secureBytes(token.data(), token.size())) {
        for (auto& b : token) b = static_cast<uint8_t>(1 + random->uniform(255));
    }
    return token;
}

std::string QKCommonProtocol::randomTokenString() {
    return hextext::encode(randomToken(), false);
}

uint32_t QKCommonProtocol::getCommandId() {
    uint32_t r = Random::shared()->uniform32();
    int32_t previous = gCommandCounter.load(std::memory_order_relaxed);
    int32_t next;
    do {
        next = previous > 9999 ? 0 : previous + 1;
    } while (!gCommandCounter.compare_exchange_weak(previous, next, std::memory_order_relaxed));
    if (uint32_t tag = r % 65535; tag != 0) return tag;
    // The one draw in 65535 that would give 0: fall back on the counter, never 0 either.
    return static_cast<uint32_t>(next) + 1;
}

Bytes QKCommonProtocol::msgBodyValidBindToken(ByteView token) {
    if (token.size() > 0xFFFF) return {};
    Bytes out{0x01, 0x01};
    putLength16(out, token.size());
    appendBytes(out, token);
    return out;
}

std::optional<Dictionary> QKCommonProtocol::dicForValidBindTokenWithData(ByteView body) {
    if (body.size() < 3) return std::nullopt;
    Dictionary dict;
    dict.set("version", int{body[0]});
    dict.set("type", int{body[1]});
    dict.set("result", int{body[2]});
    dict.set("oriBody", Bytes(body.begin(), body.end()));
    return dict;
}

void QKCommonProtocol::testSaveDeviceCer(const std::optional<Bytes>& twoCerData,
                                         const std::optional<Bytes>& deviceCerData) const {
    auto folder = AppFolders::documentsFolder();
    if (!folder) {
        QKSDKLOG("certificates not saved: no documents folder");
        return;
    }
    const std::pair<const char*, const std::optional<Bytes>*> files[] = {
        {"twoCerData.cer", &twoCerData}, {"deviceCerData.cer", &deviceCerData}};
    for (const auto& [name, data] : files) {
        if (!*data) continue;
        const std::filesystem::path path = *folder / name;
        const std::filesystem::path temp = *folder / (std::string(".") + name + ".tmp");
        std::error_code ec;
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>((*data)->data()),
                      static_cast<std::streamsize>((*data)->size()));
            if (!out.flush()) ec = std::make_error_code(std::errc::io_error);
        }
        if (!ec) std::filesystem::rename(temp, path, ec);
        if (ec) {
            std::filesystem::remove(temp, ec);
            QKSDKLOG("certificate not saved: %s", path.c_str());
            continue;
        }
        QKSDKLOG("%s", path.c_str());
    }
}

}  // namespace telvo

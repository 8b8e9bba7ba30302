#include <functional>

#include "platform/crypto/Crypto.h"
#include "security/QKCocoaSecurity.h"
#include "security/QKCocoaSecurityDecoder.h"
#include "security/QKCocoaSecurityEncoder.h"
#include "sim/TestPrelude.h"
#include "telvosdk/NamedException.h"

namespace telvo {
namespace {

// The reason of the NamedException "Cocoa Security" that f throws; "" when it throws none.
template <class F>
std::string failureOf(F f) {
    try {
        f();
    } catch (const NamedException& e) {
        EXPECT_EQ(e.name(), "Cocoa Security");
        return e.reason();
    }
    return "";
}

const std::string kIvReason = "Length of iv is wrong. Length of iv should be 16(128bits)";
const std::string kKeyReason =
    "Length of key is wrong. Length of iv should be 16, 24 or 32(128, 192 or 256bits)";

TEST(QKCocoaSecurity, AesKnownAnswerAndKeyForms) {
    // NIST SP 800-38A F.2.5 (CBC-AES256); PKCS#7 adds one block after the four.
    const std::string keyHex = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
    const std::string ivHex = "000102030405060708090a0b0c0d0e0f";
    const Bytes plain =
        hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher =
        "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";
    auto sealed = QKCocoaSecurity::aesEncryptWithData(plain, hex(keyHex), hex(ivHex));
    ASSERT_EQ(sealed.data().size(), 80u);
    EXPECT_EQ(sealed.hexLower().substr(0, 128), cipher);
    EXPECT_EQ(QKCocoaSecurity::aesDecryptWithData(sealed.data(), hex(keyHex), hex(ivHex)).data(),
              plain);
    EXPECT_EQ(
        QKCocoaSecurity::aesDecryptWithBase64(sealed.base64(), hex(keyHex), hex(ivHex)).data(),
        plain);
    // Hex key and IV, either case.
    const std::string text(plain.begin(), plain.end());
    EXPECT_EQ(
        QKCocoaSecurity::aesEncryptHexKey(text, keyHex, "000102030405060708090A0B0C0D0E0F").data(),
        sealed.data());
    EXPECT_EQ(QKCocoaSecurity::aesDecryptWithBase64HexKey(sealed.base64(), keyHex, ivHex).data(),
              plain);
    EXPECT_EQ(QKCocoaSecurity::aesEncrypt(text, hex(keyHex), hex(ivHex)).data(), sealed.data());
}

TEST(QKCocoaSecurity, PassphraseRoundTrip) {
    const std::string text = "settings secret \xE2\x9C\x93";
    auto sealed = QKCocoaSecurity::aesEncrypt(text, "pass phrase");
    // Key and IV: SHA-384 of the passphrase, 32 + 16 bytes.
    Bytes h = crypto::digest(crypto::DigestAlgorithm::SHA384, toBytes("pass phrase"));
    EXPECT_EQ(sealed.data(), QKCocoaSecurity::aesEncryptWithData(
                                 toBytes(text), ByteView(h).first(32), ByteView(h).subspan(32))
                                 .data());
    auto opened = QKCocoaSecurity::aesDecryptWithBase64(sealed.base64(), "pass phrase");
    EXPECT_EQ(opened.utf8String(), text);
    EXPECT_EQ(
        failureOf([&] { QKCocoaSecurity::aesDecryptWithBase64(sealed.base64(), "pass phrasf"); }),
        "Decrypt Error!");
}

TEST(QKCocoaSecurity, NamedFailuresInOrder) {
    const Bytes key16(16, 1), key20(20, 1), iv16(16, 2), iv15(15, 2), data(16, 3);
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"20-byte key", [&] { QKCocoaSecurity::aesEncryptWithData(data, key20, iv16); },
         kKeyReason},
        {"15-byte IV first", [&] { QKCocoaSecurity::aesEncryptWithData(data, key20, iv15); },
         kIvReason},
        {"15-byte IV, good key", [&] { QKCocoaSecurity::aesDecryptWithData(data, key16, iv15); },
         kIvReason},
        {"empty hex IV", [&] { QKCocoaSecurity::aesEncryptHexKey("x", toHex(key16), ""); },
         kIvReason},
        {"bad padding", [&] { QKCocoaSecurity::aesDecryptWithData(data, key16, iv16); },
         "Decrypt Error!"},
        {"misaligned", [&] { QKCocoaSecurity::aesDecryptWithData(Bytes(17), key16, iv16); },
         "Decrypt Error!"},
        {"empty ciphertext", [&] { QKCocoaSecurity::aesDecryptWithBase64("!!", key16, iv16); },
         "Decrypt Error!"},
        {"24-byte key works",
         [&] { QKCocoaSecurity::aesEncryptWithData(data, Bytes(24, 1), iv16); }, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(failureOf(c.call), c.reason) << c.name;
}

// Each wrapper picks its algorithm; the algorithms' known answers are the platform's tests.
TEST(QKCocoaSecurity, DigestsAndHmacs) {
    using D = DigestAlgorithm;
    using S = QKCocoaSecurity;
    const std::string what = "what do ya want for nothing?";
    const Bytes abc = toBytes("abc"), w = toBytes(what), jefe = toBytes("Jefe");
    const std::pair<QKCocoaSecurityResult, Bytes> cases[] = {
        {S::md5("abc"), crypto::digest(D::MD5, abc)},
        {S::sha1("abc"), crypto::digest(D::SHA1, abc)},
        {S::sha224WithData(abc), crypto::digest(D::SHA224, abc)},
        {S::sha256("abc"), crypto::digest(D::SHA256, abc)},
        {S::sha384("abc"), crypto::digest(D::SHA384, abc)},
        {S::sha512WithData({}), crypto::digest(D::SHA512, {})},
        {S::hmacMd5(what, "Jefe"), crypto::hmac(D::MD5, jefe, w)},
        {S::hmacSha1(what, "Jefe"), crypto::hmac(D::SHA1, jefe, w)},
        {S::hmacSha224(what, "Jefe"), crypto::hmac(D::SHA224, jefe, w)},
        {S::hmacSha256(what, "Jefe"), crypto::hmac(D::SHA256, jefe, w)},
        {S::hmacSha384WithData(w, "Jefe"), crypto::hmac(D::SHA384, jefe, w)},
        {S::hmacSha512WithData(w, "Jefe"), crypto::hmac(D::SHA512, jefe, w)},
        // The key ends at its first zero byte.
        {S::hmacSha256WithData(w, std::string("Jefe\0tail", 9)), crypto::hmac(D::SHA256, jefe, w)},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first.data(), cases[i].second) << i;
}

TEST(QKCocoaSecurity, ResultEncoderAndDecoder) {
    QKCocoaSecurityResult r(hex("0aff"));
    EXPECT_EQ(r.hex(), "0AFF");
    EXPECT_EQ(r.hexLower(), "0aff");
    EXPECT_EQ(r.base64(), "Cv8=");
    EXPECT_EQ(r.utf8String(), std::nullopt);
    EXPECT_EQ(QKCocoaSecurityResult(toBytes("ok")).utf8String(), "ok");

    QKCocoaSecurityEncoder encoder;
    EXPECT_EQ(encoder.hex({}, true), std::nullopt);
    EXPECT_EQ(encoder.hex(hex("0aff"), false), "0AFF");
    EXPECT_EQ(encoder.base64(Bytes(60, 0xfb)).find('\n'), std::string::npos);

    QKCocoaSecurityDecoder decoder;
    struct Case {
        std::string text;
        std::optional<Bytes> bytes;
    };
    const std::vector<Case> cases = {
        {"0a1", hex("0a")},    {"", std::nullopt},    {"A", Bytes{}},
        {"zz0G", hex("0000")}, {"FFfe", hex("fffe")},
    };
    for (const auto& c : cases) EXPECT_EQ(decoder.hex(c.text), c.bytes) << c.text;
    EXPECT_EQ(decoder.base64("Cv\n8=*"), hex("0aff"));
}

}  // namespace
}  // namespace telvo

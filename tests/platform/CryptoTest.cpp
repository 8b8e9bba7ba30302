#include <map>
#include <thread>

#include "platform/crypto/Crypto.h"
#include "security/ScriptedRandom.h"
#include "sim/ReferenceCcm.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

DigestAlgorithm algorithmNamed(const std::string& name) {
    static const std::map<std::string, DigestAlgorithm> names = {
        {"MD5", DigestAlgorithm::MD5},       {"SHA1", DigestAlgorithm::SHA1},
        {"SHA224", DigestAlgorithm::SHA224}, {"SHA256", DigestAlgorithm::SHA256},
        {"SHA384", DigestAlgorithm::SHA384}, {"SHA512", DigestAlgorithm::SHA512}};
    return names.at(name);
}

// Digest and HMAC known answers (RFC 1321, FIPS 180-4, RFC 4231, RFC 2202).
TEST(CryptoDigest, KnownAnswers) {
    size_t digests = 0, macs = 0;
    for (const auto& v : test::loadVectors("platform/data/digest_known_answers.txt")) {
        if (v.count("digest")) {
            const DigestAlgorithm algorithm = algorithmNamed(v.at("digest"));
            for (const auto& [field, expected] : v) {
                if (field == "digest") continue;
                std::string message = field;
                if (auto star = field.find(" * "); star != std::string::npos)
                    message = std::string(std::stoul(field.substr(star + 3)), field[0]);
                Bytes d = crypto::digest(algorithm, toBytes(message));
                EXPECT_EQ(d.size(), crypto::digestLength(algorithm));
                EXPECT_EQ(toHex(d), expected) << field.substr(0, 40);
                ++digests;
            }
            continue;
        }
        for (const auto& [field, expected] : v) {
            if (field == "hmac" || field == "key" || field == "data") continue;
            DigestAlgorithm algorithm = algorithmNamed(field);
            Bytes mac = crypto::hmac(algorithm, hex(v.at("key")), hex(v.at("data")));
            EXPECT_EQ(mac.size(), crypto::digestLength(algorithm)) << v.at("hmac");
            EXPECT_EQ(toHex(mac).substr(0, expected.size()), expected) << v.at("hmac");
            ++macs;
        }
    }
    EXPECT_EQ(digests, 24u);
    EXPECT_EQ(macs, 43u);
}

TEST(CryptoHmac, WycheproofSha256) {
    Value suite = test::loadWycheproof("hmac_sha256_test.json");
    size_t checked = 0;
    for (const Value& group : suite["testGroups"].array()) {
        size_t tagBytes = static_cast<size_t>(group["tagSize"].int64Value() / 8);
        for (const Value& t : group["tests"].array()) {
            Bytes mac =
                crypto::hmac(DigestAlgorithm::SHA256, hex(t["key"].text()), hex(t["msg"].text()));
            mac.resize(tagBytes);
            bool match = crypto::constantTimeEquals(mac, hex(t["tag"].text()));
            EXPECT_EQ(match, t["result"].text() == "valid") << t["tcId"].int64Value();
            ++checked;
        }
    }
    EXPECT_EQ(checked, 174u);
    // The comparison itself: equal lengths only, empty equals empty.
    EXPECT_FALSE(crypto::constantTimeEquals(hex("0102"), hex("010203")));
    EXPECT_TRUE(crypto::constantTimeEquals({}, {}));
}

TEST(CryptoPbkdf2, Rfc7914AndWycheproof) {
    EXPECT_EQ(
        toHex(crypto::pbkdf2(DigestAlgorithm::SHA256, toBytes("passwd"), toBytes("salt"), 1, 64)),
        "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645"
        "991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(toHex(crypto::pbkdf2(DigestAlgorithm::SHA256, toBytes("Password"), toBytes("NaCl"),
                                   80000, 64)),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a122583354"
              "9adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");

    Value suite = test::loadWycheproof("pbkdf2_hmacsha256_test.json");
    size_t checked = 0;
    for (const Value& group : suite["testGroups"].array()) {
        for (const Value& t : group["tests"].array()) {
            Bytes dk = crypto::pbkdf2(DigestAlgorithm::SHA256, hex(t["password"].text()),
                                      hex(t["salt"].text()),
                                      static_cast<uint32_t>(t["iterationCount"].int64Value()),
                                      static_cast<size_t>(t["dkLen"].int64Value()));
            EXPECT_EQ(toHex(dk) == t["dk"].text(), t["result"].text() == "valid")
                << t["tcId"].int64Value();
            ++checked;
        }
    }
    EXPECT_EQ(checked, 60u);
    EXPECT_TRUE(crypto::pbkdf2(DigestAlgorithm::SHA256, toBytes("p"), toBytes("s"), 0, 16).empty());
    EXPECT_TRUE(crypto::pbkdf2(DigestAlgorithm::SHA256, toBytes("p"), toBytes("s"), 1, 0).empty());
}

// NIST SP 800-38A F.1 (ECB) and F.2 (CBC), all three key sizes (data file).
TEST(CryptoAes, Sp800_38aVectors) {
    const auto vectors = test::loadVectors("platform/data/aes_known_answers.txt");
    ASSERT_EQ(vectors.size(), 7u);
    const Bytes plain = hex(vectors[0].at("plain")), iv = hex(vectors[0].at("iv"));
    for (size_t i = 1; i < vectors.size(); ++i) {
        const auto& v = vectors[i];
        const AesMode mode = v.at("aes") == "ECB" ? AesMode::ECB : AesMode::CBC;
        const Bytes key = hex(v.at("key")), cipher = hex(v.at("cipher"));
        auto sealed = crypto::aesEncrypt(mode, AesPadding::None, key, iv, plain);
        ASSERT_TRUE(sealed);
        EXPECT_EQ(*sealed, cipher) << v.at("key");
        auto opened = crypto::aesDecrypt(mode, AesPadding::None, key, iv, cipher);
        ASSERT_TRUE(opened);
        EXPECT_EQ(*opened, plain);
        // With PKCS#7 a whole number of blocks gains one block of padding.
        auto padded = crypto::aesEncrypt(mode, AesPadding::PKCS7, key, iv, plain);
        ASSERT_TRUE(padded);
        EXPECT_EQ(padded->size(), plain.size() + 16);
        EXPECT_TRUE(std::equal(sealed->begin(), sealed->end(), padded->begin()));

        if (mode == AesMode::ECB) {
            auto block = crypto::AesBlockCipher::create(key);
            ASSERT_TRUE(block);
            Bytes out(plain.size());
            ASSERT_TRUE(block->encryptBlocks(plain.data(), out.data(), 4));
            EXPECT_EQ(out, cipher);
            Bytes inPlace = plain;
            ASSERT_TRUE(block->encryptBlock(inPlace.data() + 16, inPlace.data() + 16));
            EXPECT_TRUE(std::equal(inPlace.begin() + 16, inPlace.begin() + 32, out.begin() + 16));
        }
    }
}

TEST(CryptoAes, RefusesBadParametersWithoutPartialOutput) {
    const Bytes key16(16, 1), iv(16, 2), block(16, 3);
    struct Case {
        const char* name;
        bool encrypt;
        AesMode mode;
        AesPadding padding;
        Bytes key, iv, input;
    };
    const std::vector<Case> cases = {
        {"key 15", true, AesMode::ECB, AesPadding::PKCS7, Bytes(15, 1), iv, block},
        {"key 20", true, AesMode::CBC, AesPadding::PKCS7, Bytes(20, 1), iv, block},
        {"key 0", false, AesMode::ECB, AesPadding::None, {}, iv, block},
        {"cbc iv 15", true, AesMode::CBC, AesPadding::PKCS7, key16, Bytes(15, 2), block},
        {"cbc iv 0", false, AesMode::CBC, AesPadding::None, key16, {}, block},
        {"misaligned, no padding", true, AesMode::ECB, AesPadding::None, key16, iv, Bytes(17, 3)},
        {"misaligned decrypt", false, AesMode::CBC, AesPadding::PKCS7, key16, iv, Bytes(17, 3)},
        {"empty decrypt with padding", false, AesMode::ECB, AesPadding::PKCS7, key16, iv, {}},
    };
    for (const auto& c : cases) {
        auto out = c.encrypt ? crypto::aesEncrypt(c.mode, c.padding, c.key, c.iv, c.input)
                             : crypto::aesDecrypt(c.mode, c.padding, c.key, c.iv, c.input);
        EXPECT_FALSE(out) << c.name;
    }
    EXPECT_FALSE(crypto::AesBlockCipher::create(Bytes(17, 0)));
    // Empty input without padding is a valid (empty) result.
    auto empty = crypto::aesEncrypt(AesMode::ECB, AesPadding::None, key16, {}, {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(CryptoAes, WycheproofCbcPkcs5) {
    Value suite = test::loadWycheproof("aes_cbc_pkcs5_test.json");
    size_t valid = 0, refused = 0;
    for (const Value& group : suite["testGroups"].array()) {
        for (const Value& t : group["tests"].array()) {
            Bytes key = hex(t["key"].text()), iv = hex(t["iv"].text());
            Bytes msg = hex(t["msg"].text()), ct = hex(t["ct"].text());
            auto opened = crypto::aesDecrypt(AesMode::CBC, AesPadding::PKCS7, key, iv, ct);
            if (t["result"].text() == "valid") {
                auto sealed = crypto::aesEncrypt(AesMode::CBC, AesPadding::PKCS7, key, iv, msg);
                ASSERT_TRUE(sealed) << t["tcId"].int64Value();
                EXPECT_EQ(*sealed, ct) << t["tcId"].int64Value();
                ASSERT_TRUE(opened) << t["tcId"].int64Value();
                EXPECT_EQ(*opened, msg);
                ++valid;
            } else {
                EXPECT_FALSE(opened) << t["tcId"].int64Value();
                ++refused;
            }
        }
    }
    EXPECT_EQ(valid, 72u);
    EXPECT_EQ(refused, 144u);
}

TEST(CryptoBase64, Rfc4648AndOptions) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(crypto::base64Encode(toBytes(plain)), encoded);
        auto decoded = crypto::base64Decode(encoded, false);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(toString(*decoded), plain);
    }

    // 49 bytes: 68 characters, broken after 64, no ending after the last line.
    Bytes data(49);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    std::string lines = crypto::base64Encode(data, {64, "\r\n"});
    ASSERT_EQ(lines.size(), 64u + 2 + 4);
    EXPECT_EQ(lines.substr(64, 2), "\r\n");
    EXPECT_EQ(lines.substr(0, 64) + lines.substr(66), crypto::base64Encode(data));
    EXPECT_EQ(crypto::base64Encode(Bytes(48), {64, "\r\n"}).find('\r'), std::string::npos);
    EXPECT_EQ(crypto::base64Encode(Bytes(114), {76, "\n"}).size(), 76u + 1 + 76);

    EXPECT_FALSE(crypto::base64Decode(lines, false));
    auto skipped = crypto::base64Decode(lines, true);
    ASSERT_TRUE(skipped);
    EXPECT_EQ(*skipped, data);
    EXPECT_EQ(toString(crypto::base64Decode(" Zm9v\tYm Fy*\n", true).value()), "foobar");

    for (const char* bad : {"Zm9", "Zg=", "Z===", "Zg==Zg==", "Zm=v", "====", "Zm9v!"})
        EXPECT_FALSE(crypto::base64Decode(bad, false)) << bad;
}

// Whole-message CCM against a fresh OpenSSL context per message: a thread's contexts are kept
// with the key, nonce and tag lengths and direction they were set up for, so the sequence
// matters: the same key both ways, another key under the same lengths and back, other nonce
// and tag lengths, other keys of every length, and a failed open followed by good ones.
TEST(CryptoAesCcm, KeptContextsMatchFreshOnes) {
    struct Step {
        size_t keyLength;
        uint8_t keyFill;
        size_t nonceLength, tagLength, adLength, payloadLength;
    };
    const Step steps[] = {
        {16, 1, 13, 16, 40, 258}, {16, 1, 13, 16, 40, 3},  {16, 3, 13, 16, 40, 3},
        {16, 1, 13, 16, 40, 0},   {16, 1, 12, 16, 40, 3},  {16, 1, 12, 8, 0, 1000},
        {16, 4, 12, 8, 0, 1000},  {16, 1, 7, 4, 5, 65536}, {16, 2, 13, 16, 40, 17},
        {24, 1, 13, 16, 0, 16},   {32, 1, 8, 10, 300, 31}, {32, 2, 8, 10, 300, 31},
        {16, 1, 13, 16, 40, 258}, {16, 1, 13, 16, 0, 0},   {32, 1, 13, 14, 1, 0},
        {16, 9, 7, 16, 0, 0},     {24, 9, 7, 16, 0, 0},
    };
    std::mt19937_64 rng(3610);
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message()
                     << s.keyLength << "/" << int(s.keyFill) << " nonce " << s.nonceLength
                     << " tag " << s.tagLength << " payload " << s.payloadLength);
        const Bytes key(s.keyLength, s.keyFill);
        const Bytes nonce = test::randomBytes(rng, s.nonceLength);
        const Bytes ad = test::randomBytes(rng, s.adLength);
        const Bytes payload = test::randomBytes(rng, s.payloadLength);
        Bytes sealed, opened;
        ASSERT_TRUE(crypto::aesCcm(true, key, nonce, ad, s.tagLength, payload, sealed));
        EXPECT_EQ(sealed, test::referenceCcm(true, key, nonce, ad, payload, s.tagLength));
        ASSERT_TRUE(crypto::aesCcm(false, key, nonce, ad, s.tagLength, sealed, opened));
        EXPECT_EQ(opened, payload);
        // Into a caller's buffer: the same bytes, nothing written past them; a buffer one byte
        // short is refused untouched, and a refused tag wipes what was opened.
        Bytes room(sealed.size() + 1, 0xEE);
        ASSERT_TRUE(crypto::aesCcm(true, key, nonce, ad, s.tagLength, payload, std::span(room)));
        EXPECT_TRUE(std::equal(sealed.begin(), sealed.end(), room.begin()));
        EXPECT_EQ(room.back(), 0xEE);
        Bytes shortRoom(sealed.size() - 1, 0xEE);
        EXPECT_FALSE(
            crypto::aesCcm(true, key, nonce, ad, s.tagLength, payload, std::span(shortRoom)));
        EXPECT_EQ(std::count(shortRoom.begin(), shortRoom.end(), 0xEE),
                  ptrdiff_t(shortRoom.size()));
        if (!payload.empty()) {
            Bytes altered = sealed, plainRoom(payload.size(), 0xEE);
            altered.back() ^= 1;
            EXPECT_FALSE(
                crypto::aesCcm(false, key, nonce, ad, s.tagLength, altered, std::span(plainRoom)));
            EXPECT_EQ(std::count(plainRoom.begin(), plainRoom.end(), 0), ptrdiff_t(payload.size()));
        }
        // Any altered byte refuses (the tag of an empty payload too), and leaves nothing out;
        // the next message opens as before.
        for (size_t at : {size_t(0), sealed.size() / 2, sealed.size() - 1}) {
            Bytes altered = sealed;
            altered[at] ^= 0x10;
            Bytes none;
            EXPECT_FALSE(crypto::aesCcm(false, key, nonce, ad, s.tagLength, altered, none)) << at;
            EXPECT_TRUE(none.empty());
            none.assign(3, 7);
            EXPECT_FALSE(crypto::aesCcm(false, key, nonce, ad, s.tagLength, altered, none)) << at;
            EXPECT_TRUE(none.empty());
        }
        ASSERT_TRUE(crypto::aesCcm(false, key, nonce, ad, s.tagLength, sealed, opened));
        EXPECT_EQ(opened, payload);
    }
    // What the parameters cannot express is refused before any work.
    struct Refused {
        const char* what;
        size_t keyLength, nonceLength, tagLength, payloadLength;
        bool seal;
    };
    const Refused refused[] = {
        {"key 15", 15, 13, 16, 1, true},
        {"nonce 6", 16, 6, 16, 1, true},
        {"nonce 14", 16, 14, 16, 1, true},
        {"tag 5", 16, 13, 5, 1, true},
        {"tag 18", 16, 13, 18, 1, true},
        {"payload 65536, nonce 13", 16, 13, 16, 65536, true},
        {"shorter than the tag", 16, 13, 16, 15, false},
    };
    for (const auto& r : refused) {
        Bytes out(2, 1);
        EXPECT_FALSE(crypto::aesCcm(r.seal, Bytes(r.keyLength, 1), Bytes(r.nonceLength, 2), {},
                                    r.tagLength, Bytes(r.payloadLength, 3), out))
            << r.what;
        EXPECT_TRUE(out.empty()) << r.what;
    }
    // Keys that differ in their last byte alone are different keys, at every length.
    const Bytes nonce(13, 5), payload(20, 6);
    for (size_t keyLength : {16, 24, 32}) {
        Bytes key(keyLength, 1);
        for (int turn = 0; turn < 3; ++turn) {
            key.back() = static_cast<uint8_t>(turn % 2);
            Bytes sealed;
            ASSERT_TRUE(crypto::aesCcm(true, key, nonce, {}, 16, payload, sealed));
            EXPECT_EQ(sealed, test::referenceCcm(true, key, nonce, {}, payload, 16))
                << keyLength << " turn " << turn;
        }
    }
}

// A thread keeps its AES contexts with their key: a sequence of calls that share keys, change
// IVs, padding and direction, and fail midway gives what each call gives on a fresh thread.
TEST(CryptoAes, KeptContextsMatchFreshOnes) {
    const Bytes keyA(16, 0x2A), keyB(32, 0x3B), iv1(16, 1), iv2(16, 2);
    const Bytes text = toBytes("kept contexts must forget nothing but the key schedule");
    const Bytes blocks(48, 0x5C);
    const Bytes sealedA =
        crypto::aesEncrypt(AesMode::CBC, AesPadding::PKCS7, keyA, iv1, text).value();
    Bytes badPadding = crypto::aesEncrypt(AesMode::ECB, AesPadding::None, keyA, {}, blocks).value();
    struct Call {
        bool encrypt;
        AesMode mode;
        AesPadding padding;
        const Bytes* key;
        const Bytes* iv;
        const Bytes* input;
    };
    const Bytes none;
    const Call calls[] = {
        {true, AesMode::CBC, AesPadding::PKCS7, &keyA, &iv1, &text},
        {false, AesMode::CBC, AesPadding::PKCS7, &keyA, &iv1, &sealedA},
        {true, AesMode::CBC, AesPadding::PKCS7, &keyA, &iv2, &text},
        {true, AesMode::ECB, AesPadding::None, &keyA, &none, &blocks},
        {true, AesMode::ECB, AesPadding::PKCS7, &keyA, &none, &blocks},
        {false, AesMode::ECB, AesPadding::PKCS7, &keyA, &none, &badPadding},
        {false, AesMode::ECB, AesPadding::None, &keyA, &none, &badPadding},
        {true, AesMode::CBC, AesPadding::None, &keyB, &iv2, &blocks},
        {true, AesMode::CBC, AesPadding::PKCS7, &keyA, &iv1, &text},
        {false, AesMode::CBC, AesPadding::PKCS7, &keyA, &iv2, &sealedA},
    };
    auto run = [](const Call& c) {
        return c.encrypt ? crypto::aesEncrypt(c.mode, c.padding, *c.key, *c.iv, *c.input)
                         : crypto::aesDecrypt(c.mode, c.padding, *c.key, *c.iv, *c.input);
    };
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < std::size(calls); ++i) {
            std::optional<Bytes> fresh;
            std::thread([&] { fresh = run(calls[i]); }).join();
            EXPECT_EQ(run(calls[i]), fresh) << "round " << round << ", call " << i;
        }
    }
}

}  // namespace
}  // namespace telvo

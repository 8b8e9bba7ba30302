#include "platform/Crypto.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

Bytes repeat(uint8_t byte, size_t count) {
    return Bytes(count, byte);
}
Bytes seq(uint8_t first, uint8_t last) {
    Bytes out;
    for (int b = first; b <= last; ++b) out.push_back(static_cast<uint8_t>(b));
    return out;
}

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
    "pqrsmnopqrstnopqrstu";

// RFC 1321 appendix A.5 and the FIPS 180-4 examples (NIST CSRC).
TEST(CryptoDigest, KnownAnswers) {
    struct Case {
        DigestAlgorithm algorithm;
        std::string message;
        std::string digest;
    };
    const std::vector<Case> cases = {
        {DigestAlgorithm::MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {DigestAlgorithm::MD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
        {DigestAlgorithm::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {DigestAlgorithm::MD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {DigestAlgorithm::MD5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {DigestAlgorithm::MD5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {DigestAlgorithm::MD5,
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {DigestAlgorithm::SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {DigestAlgorithm::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlgorithm::SHA1, k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {DigestAlgorithm::SHA1, std::string(1000000, 'a'),
         "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestAlgorithm::SHA224, "", "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
        {DigestAlgorithm::SHA224, "abc",
         "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {DigestAlgorithm::SHA224, k448, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
        {DigestAlgorithm::SHA256, "",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {DigestAlgorithm::SHA256, "abc",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlgorithm::SHA256, k448,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {DigestAlgorithm::SHA256, std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DigestAlgorithm::SHA384, "",
         "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f1"
         "4898b95b"},
        {DigestAlgorithm::SHA384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {DigestAlgorithm::SHA384, k896,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa"
         "91746039"},
        {DigestAlgorithm::SHA512, "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2"
         "877eec2f63b931bd47417a81a538327af927da3e"},
        {DigestAlgorithm::SHA512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {DigestAlgorithm::SHA512, k896,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99de"
         "c4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const auto& c : cases) {
        Bytes d = crypto::digest(c.algorithm, toBytes(c.message));
        EXPECT_EQ(d.size(), crypto::digestLength(c.algorithm));
        EXPECT_EQ(toHex(d), c.digest) << c.message.substr(0, 40);
    }
}

struct MacCase {
    const char* name;
    Bytes key;
    Bytes data;
    // SHA-224, SHA-256, SHA-384, SHA-512 (RFC 4231) or MD5, SHA-1 (RFC 2202); a truncated
    // expectation compares a prefix.
    std::vector<std::pair<DigestAlgorithm, std::string>> macs;
};

// RFC 4231 test cases 1-7 and RFC 2202 test cases 1-7.
TEST(CryptoHmac, KnownAnswers) {
    const std::string largerKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::vector<MacCase> cases = {
        {"4231-1",
         repeat(0x0b, 20),
         toBytes("Hi There"),
         {{DigestAlgorithm::SHA224, "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22"},
          {DigestAlgorithm::SHA256,
           "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
          {DigestAlgorithm::SHA384,
           "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152"
           "e8b2fa9cb6"},
          {DigestAlgorithm::SHA512,
           "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b27"
           "4eaea3f4e4be9d914eeb61f1702e696c203a126854"}}},
        {"4231-2",
         toBytes("Jefe"),
         toBytes("what do ya want for nothing?"),
         {{DigestAlgorithm::SHA224, "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44"},
          {DigestAlgorithm::SHA256,
           "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
          {DigestAlgorithm::SHA384,
           "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239"
           "ecfab21649"},
          {DigestAlgorithm::SHA512,
           "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f"
           "65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"}}},
        {"4231-3",
         repeat(0xaa, 20),
         repeat(0xdd, 50),
         {{DigestAlgorithm::SHA224, "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea"},
          {DigestAlgorithm::SHA256,
           "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
          {DigestAlgorithm::SHA384,
           "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6"
           "e101a34f27"},
          {DigestAlgorithm::SHA512,
           "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485"
           "a47e67c807b946a337bee8942674278859e13292fb"}}},
        {"4231-4",
         seq(0x01, 0x19),
         repeat(0xcd, 50),
         {{DigestAlgorithm::SHA224, "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a"},
          {DigestAlgorithm::SHA256,
           "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
          {DigestAlgorithm::SHA384,
           "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a3"
           "86c674cffb"},
          {DigestAlgorithm::SHA512,
           "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d67927"
           "5cc5788063a5f19741120c4f2de2adebeb10a298dd"}}},
        {"4231-5",
         repeat(0x0c, 20),
         toBytes("Test With Truncation"),
         {{DigestAlgorithm::SHA224, "0e2aea68a90c8d37c988bcdb9fca6fa8"},
          {DigestAlgorithm::SHA256, "a3b6167473100ee06e0c796c2955552b"},
          {DigestAlgorithm::SHA384, "3abf34c3503b2a23a46efc619baef897"},
          {DigestAlgorithm::SHA512, "415fad6271580a531d4179bc891d87a6"}}},
        {"4231-6",
         repeat(0xaa, 131),
         toBytes(largerKeyFirst),
         {{DigestAlgorithm::SHA224, "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"},
          {DigestAlgorithm::SHA256,
           "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
          {DigestAlgorithm::SHA384,
           "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248d"
           "f163f44952"},
          {DigestAlgorithm::SHA512,
           "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2"
           "215d6a1e5295e64f73f63f0aec8b915a985d786598"}}},
        {"4231-7",
         repeat(0xaa, 131),
         toBytes("This is a test using a larger than block-size key and a larger than block-size "
                 "data. The key needs to be hashed before being used by the HMAC algorithm."),
         {{DigestAlgorithm::SHA224, "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1"},
          {DigestAlgorithm::SHA256,
           "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
          {DigestAlgorithm::SHA384,
           "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6"
           "110c46523e"},
          {DigestAlgorithm::SHA512,
           "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb"
           "55c3e4de15134676fb6de0446065c97440fa8c6a58"}}},
        {"2202-1",
         repeat(0x0b, 16),
         toBytes("Hi There"),
         {{DigestAlgorithm::MD5, "9294727a3638bb1c13f48ef8158bfc9d"}}},
        {"2202-2",
         toBytes("Jefe"),
         toBytes("what do ya want for nothing?"),
         {{DigestAlgorithm::MD5, "750c783e6ab0b503eaa86e310a5db738"},
          {DigestAlgorithm::SHA1, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"}}},
        {"2202-3",
         repeat(0xaa, 16),
         repeat(0xdd, 50),
         {{DigestAlgorithm::MD5, "56be34521d144c88dbb8c733f0e8b3f6"}}},
        {"2202-4",
         seq(0x01, 0x19),
         repeat(0xcd, 50),
         {{DigestAlgorithm::MD5, "697eaf0aca3a3aea3a75164746ffaa79"},
          {DigestAlgorithm::SHA1, "4c9007f4026250c6bc8414f9bf50c86c2d7235da"}}},
        {"2202-5",
         repeat(0x0c, 16),
         toBytes("Test With Truncation"),
         {{DigestAlgorithm::MD5, "56461ef2342edc00f9bab995690efd4c"}}},
        {"2202-6",
         repeat(0xaa, 80),
         toBytes(largerKeyFirst),
         {{DigestAlgorithm::MD5, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
          {DigestAlgorithm::SHA1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"}}},
        {"2202-7",
         repeat(0xaa, 80),
         toBytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         {{DigestAlgorithm::MD5, "6f630fad67cda0ee1fb1f562db3aa53e"},
          {DigestAlgorithm::SHA1, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"}}},
        {"2202-1-sha1",
         repeat(0x0b, 20),
         toBytes("Hi There"),
         {{DigestAlgorithm::SHA1, "b617318655057264e28bc0b6fb378c8ef146be00"}}},
        {"2202-3-sha1",
         repeat(0xaa, 20),
         repeat(0xdd, 50),
         {{DigestAlgorithm::SHA1, "125d7342b9ac11cd91a39af48aa17b4f63f175d3"}}},
        {"2202-5-sha1",
         repeat(0x0c, 20),
         toBytes("Test With Truncation"),
         {{DigestAlgorithm::SHA1, "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"}}},
        // An empty key is a valid HMAC key.
        {"empty",
         {},
         {},
         {{DigestAlgorithm::SHA256,
           "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"}}},
    };
    for (const auto& c : cases) {
        for (const auto& [algorithm, expected] : c.macs) {
            Bytes mac = crypto::hmac(algorithm, c.key, c.data);
            EXPECT_EQ(mac.size(), crypto::digestLength(algorithm)) << c.name;
            EXPECT_EQ(toHex(mac).substr(0, expected.size()), expected) << c.name;
        }
    }
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

// NIST SP 800-38A F.1 (ECB) and F.2 (CBC), all three key sizes.
TEST(CryptoAes, Sp800_38aVectors) {
    const Bytes plain =
        hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    struct Case {
        AesMode mode;
        std::string key;
        std::string cipher;
    };
    const std::vector<Case> cases = {
        {AesMode::ECB, "2b7e151628aed2a6abf7158809cf4f3c",
         "3ad77bb40d7a3660a89ecaf32466ef97 f5d3d58503b9699de785895a96fdbaaf"
         "43b1cd7f598ece23881b00e3ed030688 7b0c785e27e8ad3f8223207104725dd4"},
        {AesMode::ECB, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "bd334f1d6e45f25ff712a214571fa5cc 974104846d0ad3ad7734ecb3ecee4eef"
         "ef7afd2270e2e60adce0ba2face6444e 9a4b41ba738d6c72fb16691603c18e0e"},
        {AesMode::ECB, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f3eed1bdb5d2a03c064b5a7e3db181f8 591ccb10d410ed26dc5ba74a31362870"
         "b6ed21b99ca6f4f9f153e7b1beafed1d 23304b7a39f9f3ff067d8d8f9e24ecc7"},
        {AesMode::CBC, "2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
        {AesMode::CBC, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
        {AesMode::CBC, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    for (const auto& c : cases) {
        Bytes key = hex(c.key);
        auto sealed = crypto::aesEncrypt(c.mode, AesPadding::None, key, iv, plain);
        ASSERT_TRUE(sealed);
        EXPECT_EQ(*sealed, hex(c.cipher)) << c.key;
        auto opened = crypto::aesDecrypt(c.mode, AesPadding::None, key, iv, hex(c.cipher));
        ASSERT_TRUE(opened);
        EXPECT_EQ(*opened, plain);
        // With PKCS#7 a whole number of blocks gains one block of padding.
        auto padded = crypto::aesEncrypt(c.mode, AesPadding::PKCS7, key, iv, plain);
        ASSERT_TRUE(padded);
        EXPECT_EQ(padded->size(), plain.size() + 16);
        EXPECT_TRUE(std::equal(sealed->begin(), sealed->end(), padded->begin()));

        if (c.mode == AesMode::ECB) {
            auto block = crypto::AesBlockCipher::create(key);
            ASSERT_TRUE(block);
            Bytes out(plain.size());
            ASSERT_TRUE(block->encryptBlocks(plain.data(), out.data(), 4));
            EXPECT_EQ(out, hex(c.cipher));
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

TEST(CryptoCompare, ConstantTimeEquals) {
    EXPECT_TRUE(crypto::constantTimeEquals({}, {}));
    EXPECT_TRUE(crypto::constantTimeEquals(hex("0102"), hex("0102")));
    EXPECT_FALSE(crypto::constantTimeEquals(hex("0102"), hex("0103")));
    EXPECT_FALSE(crypto::constantTimeEquals(hex("0102"), hex("010203")));
}

}  // namespace
}  // namespace telvo

#include <fstream>
#include <memory>
#include <random>

#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/MainLoop.h"
#include "security/QKVPCCMCrypt.h"
#include "security/QKVPCCModel.h"
#include "sim/ReferenceCcm.h"
#include "sim/TempFolder.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

using test::referenceCcm;

struct PacketVector {
    int number;
    std::string key;
    std::string nonce;
    std::string packet;  // associated data followed by the payload
    size_t headerLength;
    size_t tagLength;
    std::string output;  // associated data, ciphertext, tag
};

const char* kRfcKey1 = "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf";
const char* kRfcKey2 = "d7828d13b2b0bdc325a76236df93cc6b";

std::string counting(size_t bytes) {
    return toHex(Bytes([&] {
        Bytes b(bytes);
        for (size_t i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(i);
        return b;
    }()));
}

// RFC 3610 section 8, packet vectors #1 to #24.
std::vector<PacketVector> rfc3610Vectors() {
    return {
        {1, kRfcKey1, "00000003020100a0a1a2a3a4a5", counting(31), 8, 8,
         "0001020304050607588c979a61c663d2f066d0c2c0f989806d5f6b61dac38417e8d12cfdf926e0"},
        {2, kRfcKey1, "00000004030201a0a1a2a3a4a5", counting(32), 8, 8,
         "000102030405060772c91a36e135f8cf291ca894085c87e3cc15c439c9e43a3ba091d56e10400916"},
        {3, kRfcKey1, "00000005040302a0a1a2a3a4a5", counting(33), 8, 8,
         "000102030405060751b1e5f44a197d1da46b0f8e2d282ae871e838bb64da8596574adaa76fbd9fb0c5"},
        {4, kRfcKey1, "00000006050403a0a1a2a3a4a5", counting(31), 12, 8,
         "000102030405060708090a0ba28c6865939a9a79faaa5c4c2a9d4a91cdac8c96c861b9c9e61ef1"},
        {5, kRfcKey1, "00000007060504a0a1a2a3a4a5", counting(32), 12, 8,
         "000102030405060708090a0bdcf1fb7b5d9e23fb9d4e131253658ad86ebdca3e51e83f077d9c2d93"},
        {6, kRfcKey1, "00000008070605a0a1a2a3a4a5", counting(33), 12, 8,
         "000102030405060708090a0b6fc1b011f006568b5171a42d953d469b2570a4bd87405a0443ac91cb94"},
        {7, kRfcKey1, "00000009080706a0a1a2a3a4a5", counting(31), 8, 10,
         "00010203040506070135d1b2c95f41d5d1d4fec185d166b8094e999dfed96c048c56602c97acbb7490"},
        {8, kRfcKey1, "0000000a090807a0a1a2a3a4a5", counting(32), 8, 10,
         "00010203040506077b75399ac0831dd2f0bbd75879a2fd8f6cae6b6cd9b7db24c17b4433f434963f34b4"},
        {9, kRfcKey1, "0000000b0a0908a0a1a2a3a4a5", counting(33), 8, 10,
         "000102030405060782531a60cc24945a4b8279181ab5c84df21ce7f9b73f42e197ea9c07e56b5eb17e5f4e"},
        {10, kRfcKey1, "0000000c0b0a09a0a1a2a3a4a5", counting(31), 12, 10,
         "000102030405060708090a0b07342594157785152b074098330abb141b947b566aa9406b4d999988dd"},
        {11, kRfcKey1, "0000000d0c0b0aa0a1a2a3a4a5", counting(32), 12, 10,
         "000102030405060708090a0b676bb20380b0e301e8ab79590a396da78b834934f53aa2e9107a8b6c022c"},
        {12, kRfcKey1, "0000000e0d0c0ba0a1a2a3a4a5", counting(33), 12, 10,
         "000102030405060708090a0bc0ffa0d6f05bdb67f24d43a4338d2aa4bed7b20e43cd1aa31662e7ad65d6db"},
        {13, kRfcKey2, "00412b4ea9cdbe3c9696766cfa",
         "0be1a88bace018b108e8cf97d820ea258460e96ad9cf5289054d895ceac47c", 8, 8,
         "0be1a88bace018b14cb97f86a2a4689a877947ab8091ef5386a6ffbdd080f8e78cf7cb0cddd7b3"},
        {14, kRfcKey2, "0033568ef7b2633c9696766cfa",
         "63018f76dc8a1bcb9020ea6f91bdd85afa0039ba4baff9bfb79c7028949cd0ec", 8, 8,
         "63018f76dc8a1bcb4ccb1e7ca981befaa0726c55d378061298c85c92814abc33c52ee81d7d77c08a"},
        {15, kRfcKey2, "00103fe41336713c9696766cfa",
         "aa6cfa36cae86b40b916e0eacc1c00d7dcec68ec0b3bbb1a02de8a2d1aa346132e", 8, 8,
         "aa6cfa36cae86b40b1d23a2220ddc0ac900d9aa03c61fcf4a559a4417767089708a776796edb723506"},
        {16, kRfcKey2, "00764c63b8058e3c9696766cfa",
         "d0d0735c531e1becf049c24412daac5630efa5396f770ce1a66b21f7b2101c", 12, 8,
         "d0d0735c531e1becf049c24414d253c3967b70609b7cbb7c499160283245269a6f49975bcadeaf"},
        {17, kRfcKey2, "00f8b678094e3b3c9696766cfa",
         "77b60f011c03e1525899bcaee88b6a46c78d63e52eb8c546efb5de6f75e9cc0d", 12, 8,
         "77b60f011c03e1525899bcae5545ff1a085ee2efbf52b2e04bee1e2336c73e3f762c0c7744fe7e3c"},
        {18, kRfcKey2, "00d560912d3f703c9696766cfa",
         "cd9044d2b71fdb8120ea60c06435acbafb11a82e2f071d7ca4a5ebd93a803ba87f", 12, 8,
         "cd9044d2b71fdb8120ea60c0009769ecabdf48625594c59251e6035722675e04c847099e5ae0704551"},
        {19, kRfcKey2, "0042fff8f1951c3c9696766cfa",
         "d85bc7e69f944fb88a19b950bcf71a018e5e6701c91787659809d67dbedd18", 8, 10,
         "d85bc7e69f944fb8bc218daa947427b6db386a99ac1aef23ade0b52939cb6a637cf9bec2408897c6ba"},
        {20, kRfcKey2, "00920f40e56cdc3c9696766cfa",
         "74a0ebc9069f5b371761433c37c5a35fc1f39f406302eb907c6163be38c98437", 8, 10,
         "74a0ebc9069f5b375810e6fd25874022e80361a478e3e9cf484ab04f447efff6f0a477cc2fc9bf548944"},
        {21, kRfcKey2, "0027ca0c7120bc3c9696766cfa",
         "44a3aa3aae6475caa434a8e58500c6e41530538862d686ea9e81301b5ae4226bfa", 8, 10,
         "44a3aa3aae6475caf2beed7bc5098e83feb5b31608f8e29c38819a89c8e776f1544d4151a4ed3a8b87b9ce"},
        {22, kRfcKey2, "005b8ccbcd9af83c9696766cfa",
         "ec46bb63b02520c33c49fd70b96b49e21d621741632875db7f6c9243d2d7c2", 12, 10,
         "ec46bb63b02520c33c49fd7031d750a09da3ed7fddd49a2032aabf17ec8ebf7d22c8088c666be5c197"},
        {23, kRfcKey2, "003ebe94044b9a3c9696766cfa",
         "47a65ac78b3d594227e85e71e2fcfbb880442c731bf95167c8ffd7895e337076", 12, 10,
         "47a65ac78b3d594227e85e71e882f1dbd38ce3eda7c23f04dd65071eb41342acdf7e00dccec7ae52987d"},
        {24, kRfcKey2, "008d493b30ae8b3c9696766cfa",
         "6e37a6ef546d955d34ab6059abf21c0b02feb88f856df4a37381bce3cc128517d4", 12, 10,
         "6e37a6ef546d955d34ab6059f32905b88a641b04b9c9ffb58cc390900f3da12ab16dce9e82efa16da62059"},
    };
}

TEST(QKVPCCMCrypt, Rfc3610PacketVectors) {
    for (const auto& v : rfc3610Vectors()) {
        SCOPED_TRACE(v.number);
        Bytes key = hex(v.key), nonce = hex(v.nonce), packet = hex(v.packet);
        Bytes output = hex(v.output);
        auto header = static_cast<ptrdiff_t>(v.headerLength);
        Bytes ad(packet.begin(), packet.begin() + header);
        Bytes payload(packet.begin() + header, packet.end());
        Bytes sealed(output.begin() + header, output.end());
        ASSERT_EQ(Bytes(output.begin(), output.begin() + header), ad);

        QKVPCCMCrypt ccm(key, nonce, ad, static_cast<int64_t>(v.tagLength));
        EXPECT_EQ(ccm.encryptDataWithData(payload), sealed);
        EXPECT_EQ(ccm.decryptDataWithData(sealed), payload);
        // The vector as typed here is also what OpenSSL computes.
        EXPECT_EQ(referenceCcm(true, key, nonce, ad, payload, v.tagLength), sealed);
    }
}

// NIST SP 800-38C appendix C, examples 1 to 3; example 4's 65536 bytes of associated data
// are beyond what the engine accepts.
TEST(QKVPCCMCrypt, Sp800_38cExamples) {
    const Bytes key = hex("404142434445464748494a4b4c4d4e4f");
    struct Example {
        std::string nonce, ad, payload;
        size_t tagLength;
        std::string sealed;
    };
    const std::vector<Example> examples = {
        {"10111213141516", "0001020304050607", "20212223", 4, "7162015b4dac255d"},
        {"1011121314151617", "000102030405060708090a0b0c0d0e0f", "202122232425262728292a2b2c2d2e2f",
         6, "d2a1f0e051ea5f62081a7792073d593d1fc64fbfaccd"},
        {"101112131415161718191a1b", "000102030405060708090a0b0c0d0e0f10111213",
         "202122232425262728292a2b2c2d2e2f3031323334353637", 8,
         "e3b201a9f5b71a7a9b1ceaeccd97e70b6176aad9a4428aa5484392fbc1b09951"},
    };
    for (const auto& e : examples) {
        QKVPCCMCrypt ccm(key, hex(e.nonce), hex(e.ad), static_cast<int64_t>(e.tagLength));
        EXPECT_EQ(ccm.encryptDataWithData(hex(e.payload)), hex(e.sealed)) << e.nonce;
        EXPECT_EQ(ccm.decryptDataWithData(hex(e.sealed)), hex(e.payload)) << e.nonce;
    }

    Bytes ad(65536);
    for (size_t i = 0; i < ad.size(); ++i) ad[i] = static_cast<uint8_t>(i);
    Bytes payload = hex("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
    QKVPCCMCrypt example4(key, hex("101112131415161718191a1b1c"), ad, 14);
    EXPECT_FALSE(example4.encryptDataWithData(payload));
    EXPECT_FALSE(example4.decryptDataWithData(Bytes(payload.size() + 14)));
}

TEST(QKVPCCMCrypt, WycheproofVectors) {
    Value suite = test::loadWycheproof("aes_ccm_test.json");
    size_t valid = 0, refused = 0;
    for (const Value& group : suite["testGroups"].array()) {
        const auto tagLength = group["tagSize"].int64Value() / 8;
        for (const Value& t : group["tests"].array()) {
            SCOPED_TRACE(t["tcId"].int64Value());
            Bytes key = hex(t["key"].text()), iv = hex(t["iv"].text()), ad = hex(t["aad"].text());
            Bytes msg = hex(t["msg"].text()), sealed = hex(t["ct"].text() + t["tag"].text());
            QKVPCCMCrypt ccm(key, iv, ad, tagLength);
            if (t["result"].text() == "valid") {
                EXPECT_EQ(ccm.encryptDataWithData(msg), sealed);
                EXPECT_EQ(ccm.decryptDataWithData(sealed), msg);
                ++valid;
            } else {
                EXPECT_FALSE(ccm.decryptDataWithData(sealed));
                // Invalid parameters are refused for sealing too.
                if (t["flags"].at(0).text() != "ModifiedTag") {
                    EXPECT_FALSE(ccm.encryptDataWithData(msg));
                }
                ++refused;
            }
        }
    }
    EXPECT_EQ(valid, 405u);
    EXPECT_EQ(refused, 147u);
}

// Our engine against OpenSSL's over random keys, nonces, tag lengths, associated data and
// payload lengths; every altered byte of a sealed message refuses to open.
TEST(QKVPCCMCrypt, MatchesOpenSslAndRefusesAlteredMessages) {
    std::mt19937 rng(20261206);
    auto randomBytes = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    const size_t keyLengths[] = {16, 24, 32};
    for (size_t length : {0, 1, 15, 16, 17, 1000, 16383, 16384, 16385, 40000}) {
        for (int round = 0; round < 6; ++round) {
            size_t nonceLength = 7 + rng() % 7;
            if (length > 65535) nonceLength = 7 + rng() % 6;  // needs L > 2
            size_t tagLength = 4 + 2 * (rng() % 7);
            Bytes key = randomBytes(keyLengths[rng() % 3]);
            Bytes nonce = randomBytes(nonceLength);
            Bytes ad = randomBytes(round == 0 ? 0 : rng() % 300);
            Bytes payload = randomBytes(length);
            SCOPED_TRACE(testing::Message() << "length " << length << " nonce " << nonceLength
                                            << " tag " << tagLength << " ad " << ad.size());

            QKVPCCMCrypt ccm(key, nonce, ad, static_cast<int64_t>(tagLength));
            auto sealed = ccm.encryptDataWithData(payload);
            ASSERT_TRUE(sealed);
            EXPECT_EQ(*sealed, referenceCcm(true, key, nonce, ad, payload, tagLength));
            EXPECT_EQ(ccm.decryptDataWithData(*sealed), payload);

            // One altered byte anywhere: ciphertext, tag, nonce or associated data.
            size_t position = rng() % sealed->size();
            Bytes altered = *sealed;
            altered[position] ^= static_cast<uint8_t>(1 + rng() % 255);
            EXPECT_FALSE(ccm.decryptDataWithData(altered)) << "sealed byte " << position;
            Bytes otherNonce = nonce;
            otherNonce[rng() % nonceLength] ^= 0x80;
            EXPECT_FALSE(QKVPCCMCrypt(key, otherNonce, ad, static_cast<int64_t>(tagLength))
                             .decryptDataWithData(*sealed));
            if (!ad.empty()) {
                Bytes otherAd = ad;
                otherAd[rng() % ad.size()] ^= 1;
                EXPECT_FALSE(QKVPCCMCrypt(key, nonce, otherAd, static_cast<int64_t>(tagLength))
                                 .decryptDataWithData(*sealed));
            }
            EXPECT_FALSE(ccm.decryptDataWithData(ByteView(*sealed).first(sealed->size() - 1)));
        }
    }
}

TEST(QKVPCCMCrypt, LimitsAndPieces) {
    const Bytes key(16, 7), nonce13(13, 9);
    struct Case {
        const char* name;
        Bytes key, nonce;
        size_t adLength;
        int64_t tagLength;
        size_t payloadLength;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"ad 65279", key, nonce13, 65279, 16, 16, true},
        {"ad 65280", key, nonce13, 65280, 16, 16, false},
        {"payload 65535, nonce 13", key, nonce13, 0, 16, 65535, true},
        {"payload 65536, nonce 13", key, nonce13, 0, 16, 65536, false},
        {"payload 65536, nonce 12", key, Bytes(12, 1), 0, 16, 65536, true},
        {"nonce 6", key, Bytes(6, 1), 0, 16, 10, false},
        {"nonce 14", key, Bytes(14, 1), 0, 16, 10, false},
        {"nonce 7", key, Bytes(7, 1), 3, 16, 10, true},
        {"tag 2", key, nonce13, 0, 2, 10, false},
        {"tag 5", key, nonce13, 0, 5, 10, false},
        {"tag 18", key, nonce13, 0, 18, 10, false},
        {"tag -16", key, nonce13, 0, -16, 10, false},
        {"tag 4", key, nonce13, 0, 4, 10, true},
        {"key 15", Bytes(15, 1), nonce13, 0, 16, 10, false},
        {"key 0", {}, nonce13, 0, 16, 10, false},
        {"key 32", Bytes(32, 1), nonce13, 0, 16, 10, true},
    };
    for (const auto& c : cases) {
        Bytes ad(c.adLength, 0x5a), payload(c.payloadLength, 0xa5);
        QKVPCCMCrypt ccm(c.key, c.nonce, ad, c.tagLength);
        auto sealed = ccm.encryptDataWithData(payload);
        EXPECT_EQ(sealed.has_value(), c.accepted) << c.name;
        if (sealed) {
            EXPECT_EQ(sealed->size(), payload.size() + static_cast<size_t>(c.tagLength));
            EXPECT_EQ(ccm.decryptDataWithData(*sealed), payload) << c.name;
            if (c.key.size() == 16) {
                EXPECT_EQ(*sealed, referenceCcm(true, c.key, c.nonce, ad, payload,
                                                static_cast<size_t>(c.tagLength)))
                    << c.name;
            }
        }
    }
    // Too short to hold the tag.
    EXPECT_FALSE(QKVPCCMCrypt(key, nonce13, {}, 16).decryptDataWithData(Bytes(15)));
    // An empty payload seals to the tag alone and opens to nothing.
    auto tagOnly = QKVPCCMCrypt(key, nonce13, Bytes(3, 1), 16).encryptDataWithData({});
    ASSERT_TRUE(tagOnly);
    EXPECT_EQ(tagOnly->size(), 16u);
    auto empty = QKVPCCMCrypt(key, nonce13, Bytes(3, 1), 16).decryptDataWithData(*tagOnly);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(QKVPCCModel, PiecesMustBeWholeBlocksUntilTheLast) {
    const Bytes key(16, 1), nonce(13, 2);
    Bytes payload(40, 3), out(40);
    QKVPCCModel whole(key, nonce, {}, 16, payload.size());
    ASSERT_TRUE(whole.encryptBlock(payload.data(), out.data(), 32));
    EXPECT_FALSE(whole.getTag());  // payload not complete yet
    ASSERT_TRUE(whole.encryptBlock(payload.data() + 32, out.data() + 32, 8));
    auto tag = whole.getTag();
    ASSERT_TRUE(tag);
    Bytes expected = referenceCcm(true, key, nonce, {}, payload, 16).value();
    EXPECT_EQ(Bytes(expected.begin(), expected.begin() + 40), out);
    EXPECT_EQ(Bytes(expected.begin() + 40, expected.end()), *tag);

    QKVPCCModel broken(key, nonce, {}, 16, payload.size());
    ASSERT_TRUE(broken.encryptBlock(payload.data(), out.data(), 20));
    EXPECT_FALSE(broken.encryptBlock(payload.data() + 20, out.data() + 20, 20));
    EXPECT_FALSE(broken.ok());

    QKVPCCModel tooMuch(key, nonce, {}, 16, 8);
    EXPECT_FALSE(tooMuch.encryptBlock(payload.data(), out.data(), 16));

    QKVPCCModel adata(key, nonce, Bytes(65280), 16, 8);
    EXPECT_EQ(adata.errorNumber(), QKVPCCModel::kInvalidAdataLength);
    EXPECT_EQ(adata.errorMessage(), "Invalid adata length. Should be <= 65279");

    QKVPCCModel wrongTag(key, nonce, {}, 16, 0);
    EXPECT_FALSE(wrongTag.verifyTag(Bytes(16)));
    EXPECT_EQ(wrongTag.errorNumber(), QKVPCCModel::kInvalidTag);
}

// What one asynchronous call reported: every block call counted, with the queue it ran on.
struct Outcome {
    int calls = 0;  // finished and error blocks together
    std::optional<Bytes> result;
    ErrorPtr error;
    std::vector<std::string> queues;
    Bytes streamed;
    size_t pieces = 0, largestPiece = 0;

    void note() {
        queues.push_back(DispatchQueue::current() ? DispatchQueue::current()->label() : "");
    }
    QKVPCCMCrypt::FinishedBlock finished() {
        return [this](Bytes b) { note(), ++calls, result = std::move(b); };
    }
    QKVPCCMCrypt::DoneBlock done() {
        return [this] { note(), ++calls, result = streamed; };
    }
    QKVPCCMCrypt::DataBlock data() {
        return [this](Bytes piece) {
            note(), ++pieces, largestPiece = std::max(largestPiece, piece.size());
            streamed.insert(streamed.end(), piece.begin(), piece.end());
        };
    }
    QKVPCCMCrypt::ErrorBlock failed() {
        return [this](ErrorPtr e) { note(), ++calls, error = std::move(e); };
    }
};

class CcmFiles : public ::testing::Test {
  protected:
    DeterministicDispatch dispatch;
    test::TempFolder folder;
    const Bytes key = hex("c0c1c2c3c4c5c6c7c8c9cacbcccdcecf"), nonce = Bytes(12, 0x42);
    const Bytes ad = hex("0001020304050607");

    std::filesystem::path write(const std::string& name, ByteView data) {
        auto path = folder.path() / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return path;
    }
    static Bytes read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
};

// Files of every piece boundary: the file and stream forms give what the one-shot form and
// OpenSSL give, piece by piece, on the engine's own queue, with one completion per call.
TEST_F(CcmFiles, FileAndStreamFormsAgreeWithOneShotAndOpenSsl) {
    std::mt19937 rng(7);
    for (size_t size : {0u, 1u, 16383u, 16384u, 16385u, 1000000u}) {
        SCOPED_TRACE(size);
        Bytes plain(size);
        for (auto& b : plain) b = static_cast<uint8_t>(rng());
        QKVPCCMCrypt ccm(key, nonce, ad, 16);
        const Bytes sealed = ccm.encryptDataWithData(plain).value();
        ASSERT_EQ(sealed, referenceCcm(true, key, nonce, ad, plain, 16));
        const auto source = write("plain", plain);

        Outcome toFile, back, streamOut, streamIn;
        ccm.encryptFileToFileWithSourceURL(source, folder.path() / "sealed", toFile.done(),
                                           toFile.failed());
        EXPECT_EQ(toFile.calls, 0);  // never before returning
        MainLoop::drain();
        EXPECT_EQ(toFile.calls, 1);
        EXPECT_EQ(read(folder.path() / "sealed"), sealed);

        ccm.decryptFileToFileWithSourceURL(folder.path() / "sealed", folder.path() / "opened",
                                           back.done(), back.failed());
        MainLoop::drain();
        EXPECT_EQ(back.calls, 1);
        EXPECT_FALSE(back.error);
        EXPECT_EQ(read(folder.path() / "opened"), plain);

        ccm.encryptStreamWithUrl(source, streamOut.data(), streamOut.failed());
        ccm.decryptStreamWithUrl(folder.path() / "sealed", streamIn.data(), streamIn.failed());
        MainLoop::drain();
        EXPECT_EQ(streamOut.streamed, sealed);
        EXPECT_EQ(streamIn.streamed, plain);
        EXPECT_LE(streamOut.largestPiece, 16384u);
        EXPECT_EQ(streamOut.pieces, (size + 16383) / 16384 + 1);  // the tag last
        EXPECT_EQ(streamIn.calls + streamOut.calls, 0);
        for (const auto* o : {&toFile, &back, &streamOut, &streamIn})
            for (const auto& q : o->queues) EXPECT_EQ(q, "com.vpccm.bgqueue");
    }
}

TEST_F(CcmFiles, AlteredStoredTagWritesAndHandsOutNothing) {
    Bytes plain(40000, 0x5a);
    QKVPCCMCrypt ccm(key, nonce, ad, 16);
    Bytes sealed = ccm.encryptDataWithData(plain).value();
    sealed.back() ^= 1;
    const auto source = write("sealed", sealed);
    Outcome file, stream;
    ccm.decryptFileToFileWithSourceURL(source, folder.path() / "opened", file.done(),
                                       file.failed());
    ccm.decryptStreamWithUrl(source, stream.data(), stream.failed());
    MainLoop::drain();
    for (const auto* o : {&file, &stream}) {
        EXPECT_EQ(o->calls, 1);
        ASSERT_TRUE(o->error);
        EXPECT_EQ(o->error->domain(), "com.qkvpccmcrypt.CryptError");
        EXPECT_EQ(o->error->code(), 1);
        EXPECT_EQ(o->error->localizedDescription(), "Invalid TAG");
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "opened"));
    EXPECT_EQ(stream.pieces, 0u);

    Outcome missing;
    ccm.encryptFileToFileWithSourceURL(folder.path() / "none", folder.path() / "out",
                                       missing.done(), missing.failed());
    MainLoop::drain();
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code(), QKVPCCModel::kFileError);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "out"));
}

TEST_F(CcmFiles, AsynchronousFormsReportOnceOnTheirQueue) {
    QKVPCCMCrypt ccm(key, nonce, ad, 16);
    const Bytes plain = {1, 2, 3};
    const Bytes sealed = ccm.encryptDataWithData(plain).value();
    Bytes altered = sealed;
    altered[0] ^= 1;
    struct Case {
        bool encrypt;
        Bytes input;
        std::optional<Bytes> result;
        int64_t code;
    } cases[] = {
        {true, plain, sealed, 0},
        {false, sealed, plain, 0},
        {false, altered, std::nullopt, QKVPCCModel::kInvalidTag},
        {false, Bytes(15), std::nullopt, QKVPCCModel::kCipherTextTooShort},
        {false, Bytes(sealed.end() - 16, sealed.end()), std::nullopt, QKVPCCModel::kInvalidTag}};
    for (const auto& c : cases) {
        Outcome o;
        if (c.encrypt)
            ccm.encryptDataWithData(c.input, o.finished(), o.failed());
        else
            ccm.decryptDataWithData(c.input, o.finished(), o.failed());
        EXPECT_EQ(o.calls, 0);
        MainLoop::drain();
        EXPECT_EQ(o.calls, 1);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.error ? o.error->code() : 0, c.code);
        EXPECT_EQ(o.queues, std::vector<std::string>{"com.vpccm.bgqueue"});
    }
    Outcome adata;
    QKVPCCMCrypt(key, nonce, Bytes(65280), 16)
        .encryptDataWithData(plain, adata.finished(), adata.failed());
    MainLoop::drain();
    ASSERT_TRUE(adata.error);
    EXPECT_EQ(adata.error->code(), 3);
    EXPECT_EQ(adata.error->localizedDescription(), "Invalid adata length. Should be <= 65279");
}

TEST(QKVPCCModel, ExitNextComesBackThroughThePointer) {
    const Bytes key(16, 1), nonce(13, 2);
    Bytes in(40, 3), out(40);
    QKVPCCModel model(key, nonce, {}, 16, in.size());
    int64_t exitNext = 9;
    EXPECT_EQ(model.exitNext(), -1);
    model.decryptBlock(in.data(), out.data(), 16, &exitNext);
    EXPECT_EQ(exitNext, 0);
    model.decryptBlock(in.data() + 16, out.data() + 16, 24, &exitNext);
    EXPECT_EQ(exitNext, 1);
}

}  // namespace
}  // namespace telvo

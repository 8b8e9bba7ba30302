#include <algorithm>
#include <fstream>
#include <memory>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "security/QKVPCCMCrypt.h"
#include "security/QKVPCCModel.h"
#include "security/ScriptedRandom.h"
#include "sim/ReferenceCcm.h"
#include "sim/TempFolder.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

using test::referenceCcm;

// RFC 3610's packet vectors and SP 800-38C's examples 1 to 3, from the data file; OpenSSL
// gives the same for each.
TEST(QKVPCCMCrypt, KnownAnswers) {
    auto vectors = test::loadVectors("security/data/ccm_known_answers.txt");
    ASSERT_EQ(vectors.size(), 27u);
    // key, header and tag carry over to the records without them.
    for (size_t k = 1; k < vectors.size(); ++k)
        for (const char* name : {"key", "header", "tag"})
            vectors[k].emplace(name, vectors[k - 1][name]);
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.count("packet") ? "packet " + v.at("packet") : "example " + v.at("example"));
        const Bytes key = hex(v.at("key")), nonce = hex(v.at("nonce")), input = hex(v.at("input"));
        const Bytes output = hex(v.at("output"));
        const auto header = std::stol(v.at("header"));
        const size_t tagLength = std::stoul(v.at("tag"));
        const Bytes ad(input.begin(), input.begin() + header);
        const Bytes payload(input.begin() + header, input.end());
        const Bytes sealed(output.begin() + header, output.end());
        ASSERT_EQ(Bytes(output.begin(), output.begin() + header), ad);

        QKVPCCMCrypt ccm(key, nonce, ad, static_cast<int64_t>(tagLength));
        EXPECT_EQ(ccm.encryptDataWithData(payload), sealed);
        EXPECT_EQ(ccm.decryptDataWithData(sealed), payload);
        EXPECT_EQ(referenceCcm(true, key, nonce, ad, payload, tagLength), sealed);
    }
    // SP 800-38C example 4's 65536 bytes of associated data are beyond what the engine takes.
    Bytes ad(65536);
    for (size_t i = 0; i < ad.size(); ++i) ad[i] = static_cast<uint8_t>(i);
    QKVPCCMCrypt example4(hex("404142434445464748494a4b4c4d4e4f"),
                          hex("101112131415161718191a1b1c"), ad, 14);
    EXPECT_FALSE(example4.encryptDataWithData(Bytes(32, 0x20)));
    EXPECT_FALSE(example4.decryptDataWithData(Bytes(46)));
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
    std::mt19937_64 rng(20261206);
    const size_t keyLengths[] = {16, 24, 32};
    for (size_t length : {0, 1, 15, 16, 17, 1000, 16383, 16384, 16385, 40000}) {
        for (int round = 0; round < 6; ++round) {
            size_t nonceLength = 7 + rng() % 7;
            if (length > 65535) nonceLength = 7 + rng() % 6;  // needs L > 2
            size_t tagLength = 4 + 2 * (rng() % 7);
            Bytes key = test::randomBytes(rng, keyLengths[rng() % 3]);
            Bytes nonce = test::randomBytes(rng, nonceLength);
            Bytes ad = test::randomBytes(rng, round == 0 ? 0 : rng() % 300);
            Bytes payload = test::randomBytes(rng, length);
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
        } else {
            // Opening refuses the same, even a message OpenSSL seals under them.
            const auto tag = static_cast<size_t>(std::max<int64_t>(c.tagLength, 0));
            std::optional<Bytes> properly;
            if (c.key.size() == 16) properly = referenceCcm(true, c.key, c.nonce, ad, payload, tag);
            EXPECT_FALSE(
                ccm.decryptDataWithData(properly ? *properly : Bytes(payload.size() + tag)))
                << c.name;
        }
    }
    // Too short to hold the tag.
    EXPECT_FALSE(QKVPCCMCrypt(key, nonce13, {}, 16).decryptDataWithData(Bytes(15)));
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

    // exitNext comes back through the pointer: 1 once the last piece is in.
    QKVPCCModel model(key, nonce, {}, 16, payload.size());
    int64_t exitNext = 9;
    EXPECT_EQ(model.exitNext(), -1);
    model.decryptBlock(payload.data(), out.data(), 16, &exitNext);
    EXPECT_EQ(exitNext, 0);
    model.decryptBlock(payload.data() + 16, out.data() + 16, 24, &exitNext);
    EXPECT_EQ(exitNext, 1);
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
    static Bytes read(const std::filesystem::path& path) { return toBytes(test::readFile(path)); }
};

// Files of every piece boundary: the file and stream forms give what the one-shot form and
// OpenSSL give, piece by piece, on the engine's own queue, with one completion per call.
TEST_F(CcmFiles, FileAndStreamFormsAgreeWithOneShotAndOpenSsl) {
    std::mt19937_64 rng(7);
    for (size_t size : {0u, 1u, 16383u, 16384u, 16385u, 1000000u}) {
        SCOPED_TRACE(size);
        const Bytes plain = test::randomBytes(rng, size);
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

}  // namespace
}  // namespace telvo

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "blecore/QKBLEProtocol.h"
#include "sim/SimBleCodec.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using sim::SimBleCodec;
using sim::SimBleFrame;
using test::hex;
using test::toHex;

const Bytes kKey = hex("00112233445566778899aabbccddeeff");

Bytes frameOf(ByteView body, int64_t type, int64_t version, int64_t counter = 0) {
    auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(body, kKey, type, version, counter);
    EXPECT_TRUE(frame);
    return frame.value_or(Bytes{});
}

// Hands the bytes to the assembler in pieces that end at each cut, then the rest.
void receiveInPieces(QKBLEFrameAssembler& assembler, ByteView bytes,
                     const std::vector<size_t>& cuts, int64_t version,
                     const QKBLEFrameAssembler::FrameSink& onFrame) {
    size_t from = 0;
    for (size_t cut : cuts) {
        assembler.receive(bytes.subspan(from, cut - from), version, onFrame);
        from = cut;
    }
    assembler.receive(bytes.subspan(from), version, onFrame);
}

// Recomputes the check value after a test changed a frame.
void reseal(Bytes& frame, int64_t version) {
    const bool longFrame = version == 2 || version == 3;
    if (longFrame) {
        uint16_t crc = 0;
        for (size_t i = 2; i + 2 < frame.size(); ++i) {
            crc ^= static_cast<uint16_t>(frame[i] << 8);
            for (int b = 0; b < 8; ++b)
                crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
        }
        frame[frame.size() - 2] = static_cast<uint8_t>(crc);
        frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
    } else {
        uint8_t sum = 0;
        for (size_t i = 2; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
        frame.back() = static_cast<uint8_t>(0x100 - sum);
    }
}

TEST(BleFrame, WorkedFramesAndSequenceNumbers) {
    QKBLEProtocol::resetMsgIdForTesting();
    EXPECT_EQ(toHex(frameOf(hex("0102"), 0x10, 0)), "aa550602100102e5");
    QKBLEProtocol::resetMsgIdForTesting();
    EXPECT_EQ(toHex(frameOf(hex("0102"), 0x10, 2)),
              "aa55080002100102"
              "3ab0");

    QKBLEProtocol::resetMsgIdForTesting();
    for (int expected = 2; expected <= 255; ++expected)
        ASSERT_EQ(frameOf({}, 0x10, 0)[3], expected);
    EXPECT_EQ(frameOf({}, 0x10, 2)[4], 1);
    EXPECT_EQ(frameOf({}, 0x10, 2)[4], 2);

    // Sizes: one padding block under ECB; nonce, counter and tag under CCM.
    for (int version : {0, 1, 2})
        EXPECT_EQ(frameOf({}, 0x63, version).size(), version < 2 ? 22u : 24u);
    const Bytes v3 = frameOf({}, 0x63, 3);
    EXPECT_EQ(v3.size(), 39u);
    EXPECT_EQ(v3[2], 37);
}

TEST(BleFrame, RoundTripsWithTheSimulatedAppliance) {
    for (int version = 0; version <= 3; ++version) {
        SimBleCodec sim(version, kKey);
        for (uint8_t type : {0x10, 0x01, 0x63, 0x69}) {
            for (size_t n : {0, 1, 15, 16, 47}) {
                Bytes body(n);
                for (size_t i = 0; i < n; ++i) body[i] = static_cast<uint8_t>(i * 7 + type);
                const std::string what = "v" + std::to_string(version) + " type " +
                                         std::to_string(type) + " n " + std::to_string(n);
                const Bytes ours = frameOf(body, type, version, 0x12345);
                std::string why;
                auto read = sim.read(ours, &why);
                ASSERT_TRUE(read) << what << ": " << why;
                EXPECT_EQ(read->body, body) << what;
                EXPECT_EQ(read->msgType, type) << what;
                EXPECT_EQ(read->counter, version == 3 ? 0x2345 : 0) << what;

                const Bytes theirs = sim.write({0x42, type, 0x0102, body});
                EXPECT_TRUE(QKBLEProtocol::checkNumWithData(theirs, version)) << what;
                auto parsed = QKBLEProtocol::initProtocolData(theirs, kKey, version);
                ASSERT_TRUE(parsed && parsed->decrptMsgBody()) << what;
                EXPECT_EQ(*parsed->decrptMsgBody(), body) << what;
                EXPECT_EQ(parsed->msgID(), 0x42);
                EXPECT_EQ(parsed->msgType(), type);
                EXPECT_EQ(parsed->cntId(), version == 3 ? 0x0102 : 0) << what;
            }
        }
    }
}

TEST(BleFrame, TamperedOrWronglyKeyedFramesDoNotDecrypt) {
    const Bytes body = hex("0102030405");
    Bytes payloadFlip = frameOf(body, 0x69, 3);
    payloadFlip[6 + 13] ^= 0x01;  // first ciphertext byte
    Bytes headerFlip = frameOf(body, 0x69, 3);
    headerFlip[4] ^= 0x01;  // the sequence number is associated data
    for (Bytes* frame : {&payloadFlip, &headerFlip}) {
        reseal(*frame, 3);
        ASSERT_TRUE(QKBLEProtocol::checkNumWithData(*frame, 3));
        auto parsed = QKBLEProtocol::initProtocolData(*frame, kKey, 3);
        ASSERT_TRUE(parsed);
        EXPECT_FALSE(parsed->decrptMsgBody());
        EXPECT_EQ(parsed->cntId(), 0);
    }
    const Bytes otherKey = hex("ffeeddccbbaa99887766554433221100");
    EXPECT_FALSE(
        QKBLEProtocol::initProtocolData(frameOf(body, 0x69, 0), otherKey, 0)->decrptMsgBody());

    // A version-3 body that is only its counter parses as the counter and an empty body.
    auto empty = QKBLEProtocol::initProtocolData(frameOf({}, 0x10, 3, 0x0203), kKey, 3);
    ASSERT_TRUE(empty && empty->decrptMsgBody());
    EXPECT_TRUE(empty->decrptMsgBody()->empty());
    EXPECT_EQ(empty->cntId(), 0x0203);
}

TEST(BleFrame, RefusesWhatItsFieldsCannotHold) {
    QKBLEProtocol::resetMsgIdForTesting();
    struct Case {
        size_t body;
        int64_t type, version;
        bool built;
    } cases[] = {
        {251, 0x10, 0, true},   {252, 0x10, 1, false},   {239, 0x63, 0, true},
        {240, 0x63, 0, false},  {65529, 0x10, 2, true},  {65530, 0x10, 2, false},
        {65498, 0x63, 3, true}, {65499, 0x63, 3, false},
    };
    int built = 0;
    for (const auto& c : cases) {
        auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(Bytes(c.body, 0x5A), kKey, c.type,
                                                               c.version, 0);
        EXPECT_EQ(frame.has_value(), c.built) << c.body;
        built += frame ? 1 : 0;
        EXPECT_TRUE(!frame || QKBLEProtocol::checkNumWithData(*frame, c.version)) << c.body;
    }
    EXPECT_FALSE(QKBLEProtocol::getProtocolDataWithMsgBody({}, hex("0011"), 0x63, 0, 0));
    EXPECT_EQ(QKBLEProtocol::currentMsgId(), 1 + built);

    // The parser refuses frames too short, length fields below the header, and payloads
    // that run past the data.
    const std::pair<const char*, int64_t> unparsable[] = {
        {"aa5506021001", 0}, {"aa550302100102e5", 0}, {"aa55050002100102", 2}, {"aa5520021001", 0}};
    for (const auto& [frame, version] : unparsable)
        EXPECT_FALSE(QKBLEProtocol::initProtocolData(hex(frame), kKey, version)) << frame;
}

TEST(BleFrame, SplitterCases) {
    const Bytes a = frameOf(hex("0102"), 0x10, 0);
    const Bytes b = frameOf(hex("030405"), 0x10, 0);
    Bytes bad = a;
    bad[5] ^= 0xFF;
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Case {
        std::optional<Bytes> data;
        int64_t version;
        std::vector<std::pair<int64_t, std::optional<Bytes>>> calls;
    } cases[] = {
        {std::nullopt, 0, {{0, std::nullopt}}},
        {hex("aa5506"), 0, {{2, hex("aa5506")}}},
        {hex("aa5508"), 2, {{2, hex("aa5508")}}},
        {hex("aa55"), 0, {{2, hex("aa55")}}},
        {hex("55"), 0, {{3, hex("55")}}},
        {hex("0102aa55"), 0, {{3, hex("0102aa55")}}},
        {join({a, b}), 0, {{1, a}, {1, b}}},
        {join({a, hex("aa5507")}), 0, {{1, a}, {2, hex("aa5507")}}},
        {bad, 0, {}},
        {join({bad, b}), 0, {{1, b}}},
        {join({a, hex("77")}), 0, {{1, a}, {3, hex("77")}}},
        {hex("aa5503021001"), 0, {{3, hex("01")}}},  // length field below the header
    };
    for (const auto& c : cases) {
        std::vector<std::pair<int64_t, std::optional<Bytes>>> calls;
        QKBLEProtocol::parseReceiveData(
            c.data, c.version,
            [&](int64_t code, const std::optional<Bytes>& d) { calls.emplace_back(code, d); });
        EXPECT_EQ(calls, c.calls) << (c.data ? toHex(*c.data) : "none");
    }
}

TEST(BleFrame, AssemblerDeliversEveryFrameHoweverItArrives) {
    for (int version : {0, 2}) {
        const Bytes a = frameOf(hex("0102"), 0x63, version);
        const Bytes b = frameOf(Bytes(100, 7), 0x69, version);
        Bytes stream = a;
        stream.insert(stream.end(), b.begin(), b.end());
        std::vector<Bytes> got;
        QKBLEFrameAssembler assembler;
        auto onFrame = [&](Bytes f) {
            got.push_back(std::move(f));
            return true;
        };

        for (uint8_t byte : stream) assembler.receive(ByteView(&byte, 1), version, onFrame);
        assembler.receive(stream, version, onFrame);
        // Noise, a length field below the header, a corrupted frame, then a good one.
        Bytes noisy = hex("0011aa550100");
        Bytes corrupted = a;
        corrupted[6] ^= 0x40;
        noisy.insert(noisy.end(), corrupted.begin(), corrupted.end());
        noisy.insert(noisy.end(), b.begin(), b.end());
        assembler.receive(noisy, version, onFrame);
        EXPECT_EQ(got, (std::vector<Bytes>{a, b, a, b, b})) << version;
        EXPECT_EQ(assembler.pendingSize(), 0u);

        // A frame start announcing the largest length, then a flood: the buffer stays capped
        // and the next good frame still comes through.
        got.clear();
        Bytes flood = hex("aa55ffff");
        flood.resize(70000, 0x5A);
        assembler.receive(flood, version, onFrame);
        EXPECT_LE(assembler.pendingSize(), QKBLEFrameAssembler::kCapacity);
        assembler.receive(a, version, onFrame);
        EXPECT_EQ(got, std::vector<Bytes>{a});

        // A frame start that lies about its length, in one notification: the next
        // notification that starts a frame replaces it, whole or in pieces.
        got.clear();
        for (const Bytes& lie : {hex("aa55ffff0163"), hex("aa55ff"), hex("aa55")}) {
            assembler.receive(lie, version, onFrame);
            assembler.receive(ByteView(b).first(10), version, onFrame);
            assembler.receive(ByteView(b).subspan(10), version, onFrame);
        }
        EXPECT_EQ(got, (std::vector<Bytes>{b, b, b})) << version;
        EXPECT_EQ(assembler.pendingSize(), 0u);

        // A later piece of a frame whose sealed bytes begin with AA 55 by chance continues it,
        // in two pieces or three, and the frame after it still comes through.
        got.clear();
        Bytes chance = b;
        chance[20] = 0xAA;
        chance[21] = 0x55;
        reseal(chance, version);
        for (const std::vector<size_t>& cuts :
             {std::vector<size_t>{20}, std::vector<size_t>{20, 60}}) {
            size_t from = 0;
            for (size_t cut : cuts) {
                assembler.receive(ByteView(chance).subspan(from, cut - from), version, onFrame);
                from = cut;
            }
            assembler.receive(ByteView(chance).subspan(from), version, onFrame);
            assembler.receive(a, version, onFrame);
        }
        EXPECT_EQ(got, (std::vector<Bytes>{chance, a, chance, a})) << version;
        EXPECT_EQ(assembler.pendingSize(), 0u);
    }
}

// Pieces of one frame whose sealed bytes begin with AA 55 and a length that could still grow:
// every reading is kept until the frame is whole, whichever piece that is.
TEST(BleFrame, AssemblerKeepsEveryReadingOfAFrameWhosePiecesBeginWithAA55) {
    struct Case {
        const char* what;
        std::vector<size_t> startsAt;  // pieces that begin with AA 55
        std::vector<size_t> cuts;
    } cases[] = {
        {"two, then a plain piece", {20, 60}, {20, 60, 90}},
        {"two in a row, then a plain piece", {20, 40}, {20, 40, 60}},
        {"two, the second one last", {20, 60}, {20, 60}},
        {"three, then a plain piece", {20, 50, 80}, {20, 50, 80, 100}},
        {"three in a row, the third one last", {20, 40, 60}, {20, 40, 60}},
        {"the first piece and two more", {0, 30, 70}, {30, 70, 100}},
    };
    for (int version : {0, 2, 3}) {
        const bool longFrame = version != 0;
        const Bytes a = frameOf(hex("0102"), 0x63, version);
        const Bytes original = frameOf(Bytes(100, 7), 0x69, version);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", version " + std::to_string(version));
            Bytes frame = original;
            for (size_t at : c.startsAt) {
                if (at == 0) continue;
                frame[at] = 0xAA;
                frame[at + 1] = 0x55;
                frame[at + 2] = 0xF0;  // read as a new frame, it is still far from whole
                if (longFrame) frame[at + 3] = 0x00;
            }
            reseal(frame, version);
            std::vector<Bytes> got;
            QKBLEFrameAssembler assembler;
            auto onFrame = [&](Bytes f) {
                got.push_back(std::move(f));
                return true;
            };
            receiveInPieces(assembler, frame, c.cuts, version, onFrame);
            assembler.receive(a, version, onFrame);
            EXPECT_EQ(got, (std::vector<Bytes>{frame, a}));
            EXPECT_EQ(assembler.heldSize(), 0u);
        }
    }

    // Frame starts that all claim the largest length, one after another: what is kept stays
    // bounded, and a good frame after them still comes through.
    for (int version : {0, 2}) {
        QKBLEFrameAssembler assembler;
        std::vector<Bytes> got;
        auto onFrame = [&](Bytes f) {
            got.push_back(std::move(f));
            return true;
        };
        Bytes start = version == 0 ? hex("aa55ff") : hex("aa55ffff");
        start.resize(244, 0x5A);
        for (int i = 0; i < 400; ++i) assembler.receive(start, version, onFrame);
        EXPECT_LE(assembler.heldSize(),
                  (QKBLEFrameAssembler::kMaxReadings + 1) * QKBLEFrameAssembler::kCapacity);
        const Bytes a = frameOf(hex("0102"), 0x63, version);
        assembler.receive(a, version, onFrame);
        EXPECT_EQ(got, std::vector<Bytes>{a}) << version;
    }
}

// A later piece of a frame begins with AA 55 by chance, and the frame start it seems to be
// makes a whole frame whose checksum holds, in the buffer, before the frame is whole. It does
// not open; the frame's own reading is kept and still delivered.
TEST(BleFrame, AssemblerKeepsTheOtherReadingsWhenAFrameDoesNotOpen) {
    struct Case {
        const char* what;
        size_t claim;  // the false frame's length field; it starts at byte 20
        std::vector<size_t> cuts;
    } cases[] = {
        {"the false frame ends in its first piece", 20, {20, 60}},
        {"the false frame ends in a later piece", 50, {20, 60, 90}},
    };
    for (int version : {0, 1}) {
        const Bytes a = frameOf(hex("0102"), 0x63, version);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", version " + std::to_string(version));
            Bytes frame = frameOf(Bytes(100, 7), 0x69, version);
            frame[20] = 0xAA;
            frame[21] = 0x55;
            frame[22] = static_cast<uint8_t>(c.claim);
            uint8_t sum = 0;
            for (size_t i = 22; i < 22 + c.claim; ++i) sum = uint8_t(sum + frame[i]);
            frame[25] = uint8_t(frame[25] - sum);  // the false frame's bytes add up to 0
            reseal(frame, version);
            std::vector<Bytes> got;
            QKBLEFrameAssembler assembler;
            auto onFrame = [&](Bytes f) {
                const bool opens = f == frame || f == a;
                got.push_back(std::move(f));
                return opens;
            };
            receiveInPieces(assembler, frame, c.cuts, version, onFrame);
            assembler.receive(a, version, onFrame);
            ASSERT_EQ(got.size(), 3u);
            EXPECT_EQ(got[0],
                      Bytes(frame.begin() + 20, frame.begin() + 22 + std::ptrdiff_t(c.claim)));
            EXPECT_EQ(got[1], frame);
            EXPECT_EQ(got[2], a);
            EXPECT_EQ(assembler.heldSize(), 0u);
        }
    }
}

// Long frames among false frame starts: runs of AA 55 that claim short and long lengths (up to
// 0x55AA, and whatever AA 55 the sealed bytes hold) and fail their check, and a copy of the frame
// with one bit of its check value off.
// Every frame comes through, in one notification or byte by byte, and no false one does.
TEST(BleFrame, AssemblerChecksLongFramesAmongFalseStarts) {
    for (int version : {2, 3}) {
        std::vector<Bytes> frames;
        Bytes stream;
        for (size_t size : {0, 1, 200, 1000, 5000, 20000}) {
            for (size_t i = 0; i < 64; ++i)
                stream.insert(stream.end(), {0xAA, 0x55, 0x40, 0x01});  // 320 bytes each
            stream.insert(stream.end(), 600, 0xAA);
            stream.push_back(0x55);  // AA 55 AA 55 ...: 0x55AA bytes each
            frames.push_back(frameOf(Bytes(size, uint8_t(size)), 0x69, version));
            Bytes offByOne = frames.back();
            offByOne[offByOne.size() - 1 - size % 2] ^= uint8_t(1 << size % 8);
            stream.insert(stream.end(), offByOne.begin(), offByOne.end());
            stream.insert(stream.end(), frames.back().begin(), frames.back().end());
        }
        // Every claim is reached, also one that the sealed bytes of a frame hold by chance.
        stream.insert(stream.end(), 0xFFFF + 2, 0x00);
        for (size_t piece : {stream.size(), size_t{1}}) {
            SCOPED_TRACE(testing::Message() << "version " << version << ", pieces of " << piece);
            QKBLEFrameAssembler assembler;
            std::vector<Bytes> got;
            for (size_t at = 0; at < stream.size(); at += piece)
                assembler.receive(ByteView(stream).subspan(at, std::min(piece, stream.size() - at)),
                                  version, [&](Bytes f) {
                                      got.push_back(std::move(f));
                                      return true;
                                  });
            EXPECT_EQ(got, frames);
            EXPECT_EQ(assembler.pendingSize(), 0u);
        }
    }
}

// Stale frame starts, a notification each, before every frame. A stale start whose claim the
// frame's bytes complete passes a one-byte check value one time in 256; the flow cannot open
// it, and the frame still comes through. Only the frames open.
TEST(BleFrame, AssemblerDeliversEveryFrameAfterStaleStarts) {
    struct Case {
        const char* what;
        int version;
        size_t staleStarts, startSize;
        bool randomClaims;  // else each claims the frame's length
        size_t frameSize, piece, frames;
    } cases[] = {
        {"40 stale 20-byte starts before each 257-byte frame", 0, 40, 20, false, 257, 20, 2000},
        {"40 stale 20-byte starts before each 257-byte frame", 1, 40, 20, false, 257, 20, 2000},
        {"40 stale starts of any length before each frame", 0, 40, 20, true, 257, 20, 2000},
        {"one stale start before each frame, the frame in one piece", 0, 1, 20, false, 257, 257,
         2000},
        {"stale starts before long frames", 3, 40, 20, false, 600, 20, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", version " + std::to_string(c.version));
        const bool longFrame = c.version >= 2;
        std::mt19937 random(20261208 + c.version);
        // A frame start claiming `length`, the rest of its bytes drawn.
        const auto startOf = [&](size_t size, size_t length) {
            Bytes bytes(size);
            for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
            bytes[0] = 0xAA;
            bytes[1] = 0x55;
            bytes[2] = static_cast<uint8_t>(length);
            if (longFrame) bytes[3] = static_cast<uint8_t>(length >> 8);
            return bytes;
        };
        std::set<Bytes> frames;
        size_t opened = 0, unopened = 0;
        QKBLEFrameAssembler assembler;
        const auto onFrame = [&](Bytes f) {
            const bool real = frames.erase(f) == 1;
            ++(real ? opened : unopened);
            return real;
        };
        for (size_t n = 0; n < c.frames; ++n) {
            for (size_t i = 0; i < c.staleStarts; ++i) {
                const size_t claim = c.randomClaims ? random() : c.frameSize - 2;
                assembler.receive(startOf(c.startSize, claim), c.version, onFrame);
            }
            Bytes frame = startOf(c.frameSize, c.frameSize - 2);
            reseal(frame, c.version);
            frames.insert(frame);
            for (size_t at = 0; at < frame.size(); at += c.piece)
                assembler.receive(ByteView(frame).subspan(at, std::min(c.piece, frame.size() - at)),
                                  c.version, onFrame);
            frames.clear();  // a frame not delivered by now is lost
        }
        EXPECT_EQ(opened, c.frames) << unopened << " false frames delivered";
    }
}

TEST(BleFrame, KeyExchangeReplyCounterAndCrc32) {
    const Bytes key64(64, 0x11);
    Bytes pub = hex("0102");
    pub.insert(pub.end(), key64.begin(), key64.end());
    EXPECT_EQ(QKBLEProtocol::dicForAesKeyReplyWithData(pub),
              (Dictionary{{"subCmd", 1}, {"encodeType", 2}, {"devicePublicKey", key64}}));
    pub.pop_back();
    EXPECT_FALSE(QKBLEProtocol::dicForAesKeyReplyWithData(pub));
    EXPECT_FALSE(QKBLEProtocol::dicForAesKeyReplyWithData(hex("0103" + std::string(128, '1'))));
    EXPECT_EQ((*QKBLEProtocol::dicForAesKeyReplyWithData(hex("020200")))["result"], Value(true));
    EXPECT_EQ((*QKBLEProtocol::dicForAesKeyReplyWithData(hex("02fe05")))["result"], Value(false));
    EXPECT_EQ((*QKBLEProtocol::dicForAesKeyReplyWithData(hex("02fe05")))["encodeType"].int64Value(),
              254);
    for (const char* body : {"", "0202", "030000"})
        EXPECT_FALSE(QKBLEProtocol::dicForAesKeyReplyWithData(hex(body))) << body;

    EXPECT_EQ(QKBLEProtocol::getAntiReplayCntData(65537), hex("0100"));
    EXPECT_EQ(QKBLEProtocol::getAntiReplayCntData(-1), hex("ffff"));

    const Bytes check = toBytes("123456789");
    EXPECT_EQ(QKBLEProtocol::crc32(check), 0xCBF43926u);
    EXPECT_EQ(QKBLEProtocol::crc32({}), 0u);
    EXPECT_EQ(crc32(crc32(0, check.data(), 4), check.data() + 4, 5), 0xCBF43926u);
    EXPECT_EQ(crc32(0x1234, check.data(), 0), 0x1234u);
}

}  // namespace
}  // namespace telvo

#include "protocol/LanTestSupport.h"
#include "protocol/QKProtocol.h"
#include "sim/SimLanCodec.h"
#include "sim/TestPrelude.h"
#include "telvosdk/TelvoOpenProtocol.h"

namespace telvo {
namespace {

using sim::SimLanCodec;
using sim::SimLanFrame;

const Bytes kSessionKey = hex("8f1e2d3c4b5a69788796a5b4c3d2e1f0");

using test::frameOf;

class LanFrame : public test::LanFixture {
  protected:
    SimLanCodec sim{kDefaultKey, kSessionKey};

    static Bytes probe() {
        QKProtocol p;
        p.findDeviceInLanWithDic();
        return p.getByteStream();
    }
};

TEST_F(LanFrame, SizesAndHeaderOfTheSmallFrames) {
    const Bytes frame = probe();
    ASSERT_EQ(frame.size(), 72u);
    EXPECT_EQ(frame[0], 0x5A);
    EXPECT_EQ(frame[1], 0x5A);
    EXPECT_EQ(frame[2], 1);
    EXPECT_EQ(frame[3], 0x11);
    EXPECT_EQ(frame[4] | frame[5] << 8, 72);
    EXPECT_EQ(frame[6], 0x92);

    QKProtocol v1(1, std::nullopt, 0);
    v1.heartbeatDataWithDeviceId(0x0000A1B2C3D4E5F6);
    const Bytes hb1 = v1.getByteStream();
    ASSERT_EQ(hb1.size(), 57u);
    EXPECT_EQ(hb1[3], 0x10);
    EXPECT_EQ(test::toHex(ByteView(hb1).subspan(20, 6)), "f6e5d4c3b2a1");
    EXPECT_EQ(v1.messageLen(), 57);

    QKProtocol v3(3, kSessionKey, 0x0102);
    v3.heartbeatDataWithDeviceId(7);
    const Bytes hb3 = v3.getByteStream();
    ASSERT_EQ(hb3.size(), 59u);
    EXPECT_EQ(hb3[3], 0x00);
    EXPECT_EQ(test::toHex(ByteView(hb3).subspan(40, 3)), "020100");
    EXPECT_EQ(Bytes(hb3.end() - 16, hb3.end()), Bytes(16, 0));

    const Bytes c = frameOf({3, kSessionKey, 9, 0x70, {1, 2, 3, 4, 5}}).getByteStream();
    ASSERT_EQ(c.size(), 92u);  // 40 + 13 + 7 + 16 + 16
    EXPECT_EQ(c[3], 0x02);
    EXPECT_EQ(Bytes(c.end() - 16, c.end()), Bytes(16, 0));
    for (size_t i = 40; i < 53; ++i) EXPECT_NE(c[i], 0) << "nonce byte " << i;
}

TEST_F(LanFrame, TimeStampComesFromTheClockInLocalTime) {
    // 21:34:38.999 UTC, eight hours east: the 7th, 05:34:38.999.
    EXPECT_EQ(test::toHex(ByteView(probe()).subspan(12, 8)), "e7e62205070c1a14");
    setClock(test::kWallNanos, -10 * 3600);  // 11:34:38.999 on the 6th
    EXPECT_EQ(test::toHex(ByteView(probe()).subspan(12, 8)), "e7e6220b060c1a14");
    setClock(test::kWallNanos + 1'001'000'000, 0);  // 21:34:40.000
    EXPECT_EQ(test::toHex(ByteView(probe()).subspan(12, 8)), "00282215060c1a14");
}

TEST_F(LanFrame, SignatureIsMd5OfFrameAndKey) {
    struct Case {
        std::string key;
        bool keyIncluded;
    } cases[] = {{kDefaultKey, true},
                 {std::string(36, 'k'), true},
                 {std::string(37, 'k'), false},  // does not fit the signing buffer
                 {"ключ", false},                // not ASCII
                 {"", true}};
    for (const auto& c : cases) {
        config()->setApConfigDefaultKey(c.key);
        const Bytes frame =
            frameOf({.msgType = 0x7B, .body = {0}, .encryptType = 0}).getByteStream();
        ASSERT_EQ(frame.size(), 57u);
        Bytes input(frame.begin(), frame.end() - 16);
        if (c.keyIncluded) input.insert(input.end(), c.key.begin(), c.key.end());
        EXPECT_EQ(Bytes(frame.end() - 16, frame.end()), sim::crypto::md5(input)) << c.key;
    }
}

TEST_F(LanFrame, SimulatorReadsEveryFrameWeWrite) {
    struct Case {
        int8_t version;
        int8_t encryptType;  // -1: by version
        bool sign;
        Bytes body;
    } cases[] = {
        {1, -1, true, {0xFF, 0x00}},      // AES-128-ECB, signed
        {1, -1, true, Bytes(16, 0x33)},   // a full block more of padding
        {1, 0, true, {0x00}},             // plain, signed
        {3, -1, false, {1, 2, 3, 4, 5}},  // AES-CCM with counter
        {3, -1, false, {}},               // CCM, counter alone
        {3, 0, false, {0x00}},            // plain with counter
        {2, -1, false, {9, 8, 7}},        // other versions: plain, unsigned
        {3, 2, true, Bytes(300, 0xA5)},   // signed CCM
    };
    for (const auto& c : cases) {
        QKProtocol p = frameOf({c.version, kSessionKey, 0xBEEF, 0x71, c.body, c.encryptType, c.sign,
                                -2, 0x123456789ABC});
        // Written twice: the second frame is a whole frame of the same message.
        const Bytes first = p.getByteStream();
        const Bytes second = p.getByteStream();
        // The object keeps the body as it went on the wire in the last frame written, and the
        // plain body with the version-3 counter in front, once.
        ASSERT_TRUE(p.messageArray());
        EXPECT_TRUE(std::equal(second.begin() + 40, second.end() - 16, p.messageArray()->begin(),
                               p.messageArray()->end()));
        Bytes plain = c.body;
        if (c.version == 3) plain.insert(plain.begin(), {0xEF, 0xBE});
        EXPECT_EQ(p.oriMessageArray(), plain) << "version " << int(c.version);
        for (const Bytes& frame : {first, second}) {
            EXPECT_EQ(frame.size(), first.size());
            std::string why;
            auto read = sim.read(frame, &why);
            ASSERT_TRUE(read) << "version " << int(c.version) << ": " << why;
            EXPECT_EQ(read->body, c.body);
            EXPECT_EQ(read->msgType, 0x71);
            EXPECT_EQ(read->tag, 0xFFFFFFFEu);
            EXPECT_EQ(read->deviceId, 0x123456789ABCu);
            EXPECT_EQ(read->counter, c.version == 3 ? 0xBEEF : 0);
            EXPECT_EQ(read->timeStamp, sim::makeTimeStamp(2026, 12, 7, 5, 34, 38, 999));
        }
    }
}

TEST_F(LanFrame, WeReadEveryFrameTheSimulatorWrites) {
    struct Case {
        uint8_t version, type;
        bool sign;
        sim::CcmLayout layout;
    } cases[] = {
        {1, 1, true, sim::CcmLayout::TagBeforeSlot},  {1, 0, true, sim::CcmLayout::TagBeforeSlot},
        {1, 0, false, sim::CcmLayout::TagBeforeSlot}, {3, 2, false, sim::CcmLayout::TagBeforeSlot},
        {3, 2, true, sim::CcmLayout::TagBeforeSlot},  {3, 2, false, sim::CcmLayout::TagAtEnd},
        {3, 0, false, sim::CcmLayout::TagBeforeSlot}};
    const auto ts = sim::makeTimeStamp(2025, 3, 4, 5, 6, 7, 8);
    for (const auto& c : cases) {
        // Short bodies, and long ones that the reader opens into heap memory of its own.
        for (const Bytes& body :
             {Bytes{0x42}, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
              Bytes(490, 0x5C), Bytes(700, 0xC5)}) {
            const SimLanFrame f{c.version, c.type,         c.sign, 0x6B, 77,
                                ts,        0xA0B0C0D0E0F0, 0x10,   513,  body};
            const Bytes wire = sim.write(f, c.layout);
            auto p = QKProtocol::initWithNSData(wire, kSessionKey);
            ASSERT_TRUE(p);
            ASSERT_TRUE(p->messageArray())
                << "version " << int(c.version) << " type " << int(c.type);
            // A plain unsigned frame keeps its zero slot as part of the body.
            Bytes expected = body;
            if (c.type == 0 && !c.sign) expected.resize(body.size() + 16, 0);
            EXPECT_EQ(*p->messageArray(), expected);
            EXPECT_EQ(p->protocolVer(), c.version);
            EXPECT_EQ(p->encryptType(), c.type);
            EXPECT_EQ(p->isSign(), c.sign && c.layout == sim::CcmLayout::TagBeforeSlot);
            EXPECT_EQ(p->msgType(), 0x6B);
            EXPECT_EQ(p->tag(), 77);
            EXPECT_EQ(p->deviceID(), 0xA0B0C0D0E0F0);
            EXPECT_EQ(p->cntId(), c.version == 3 ? 513 : 0);
            EXPECT_TRUE(p->isAuthentication());
            EXPECT_EQ(*p->timeStampData(), f.timeStamp);
            EXPECT_EQ(p->protocolHead(), 0);
            EXPECT_EQ(p->messageLen(), 0);
        }
    }
}

TEST_F(LanFrame, ReaderEdgeCases) {
    const Bytes frame = probe();

    // Short data: the bare object, not null.
    auto shortObject = QKProtocol::initWithNSData(ByteView(frame).first(56));
    ASSERT_TRUE(shortObject);
    EXPECT_EQ(shortObject->protocolVer(), 0);
    EXPECT_EQ(shortObject->msgType(), 0);
    EXPECT_FALSE(shortObject->isSign());
    EXPECT_FALSE(shortObject->messageArray());
    EXPECT_FALSE(shortObject->timeStampData());

    Bytes wrongMagic(frame.begin(), frame.begin() + 57);
    wrongMagic[0] = 0x5B;
    EXPECT_FALSE(QKProtocol::initWithNSData(wrongMagic));

    // A wrapped datagram: the 8 bytes in front are dropped; too short after that gives the
    // bare object without reading past the end (the buffer is exactly sized for ASan).
    for (size_t tail : {49u, 52u, 56u}) {
        Bytes wrapped = {0x83, 0x70, 1, 2, 3, 4, 5, 6};
        wrapped.insert(wrapped.end(), frame.begin(), frame.begin() + static_cast<ptrdiff_t>(tail));
        auto p = QKProtocol::initWithNSData(wrapped);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->protocolVer(), 0);
        EXPECT_FALSE(p->messageArray());
    }
    Bytes wrapped = {0x83, 0x70, 0, 0, 0, 0, 0, 0};
    wrapped.insert(wrapped.end(), frame.begin(), frame.end());
    EXPECT_TRUE(QKProtocol::isSSTPacketWithData(wrapped));
    EXPECT_EQ(QKProtocol::unpackWithData(wrapped), frame);
    auto unwrapped = QKProtocol::initWithNSData(wrapped);
    ASSERT_TRUE(unwrapped && unwrapped->messageArray());
    EXPECT_EQ(*unwrapped->messageArray(), (Bytes{0xFF, 0x00}));

    // Byte 35: the authorisation state.
    for (auto [b35, authorised] :
         {std::pair{0xC0, false}, {0xBF, true}, {0xFF, false}, {0, true}}) {
        Bytes f = frame;
        f[35] = static_cast<uint8_t>(b35);
        EXPECT_EQ(QKProtocol::initWithNSData(f)->isAuthentication(), authorised) << b35;
    }

    // Byte 7 is not part of the message type.
    Bytes highType = frame;
    highType[7] = 0x01;
    EXPECT_EQ(QKProtocol::initWithNSData(highType)->msgType(), 0x92);
}

// Plain bodies with and without the signed flag: in the simulator's frames above.
TEST_F(LanFrame, UnsignedEcbFrameTakesTheSlotAsBody) {
    // ECB: byte 3 = 0x11 decrypts up to 16 bytes before the end; 0x01 takes the slot too,
    // which breaks the padding.
    Bytes ecb = probe();
    EXPECT_EQ(*QKProtocol::initWithNSData(ecb)->messageArray(), (Bytes{0xFF, 0x00}));
    ecb[3] = 0x01;
    EXPECT_FALSE(QKProtocol::initWithNSData(ecb)->messageArray());
}

TEST_F(LanFrame, CcmBodiesThatDoNotAuthenticateGiveNoBody) {
    const Bytes frame = frameOf({3, kSessionKey, 5, 0x74, {0, 1, 2, 3}}).getByteStream();

    Bytes tamperedBody = frame;
    tamperedBody[55] ^= 0x01;
    Bytes tamperedTag = frame;
    tamperedTag[frame.size() - 17] ^= 0x80;
    Bytes tamperedHeader = frame;
    tamperedHeader[8] ^= 0x01;  // the header is associated data
    Bytes wrongKey = kSessionKey;
    wrongKey[0] ^= 1;
    for (const auto& [data, key] : {std::pair{tamperedBody, kSessionKey},
                                    {tamperedTag, kSessionKey},
                                    {tamperedHeader, kSessionKey},
                                    {frame, wrongKey}}) {
        auto read = QKProtocol::initWithNSData(data, key);
        ASSERT_TRUE(read);
        EXPECT_FALSE(read->messageArray());
        EXPECT_EQ(read->cntId(), 0);
    }
    EXPECT_FALSE(QKProtocol::initWithNSData(frame)->messageArray());  // no key
    EXPECT_TRUE(QKProtocol::initWithNSData(frame, kSessionKey)->messageArray());
}

// A counter alone is an empty body (an empty reply is a valid answer); one byte is no counter.
TEST_F(LanFrame, ProtocolThreeCounterIsTheFirstTwoBodyBytes) {
    for (auto [body, counter, rest] : {std::tuple{Bytes{7}, 0, Bytes{7}},
                                       {Bytes{7, 1}, 263, Bytes{}},
                                       {Bytes{7, 1, 9}, 263, Bytes{9}}}) {
        // Written without a counter, read back as version 3.
        Bytes wire = sim.write({.encryptType = 0, .body = body});
        wire[2] = 3;
        auto p = QKProtocol::initWithNSData(wire);
        EXPECT_EQ(p->cntId(), counter);
        EXPECT_EQ(*p->messageArray(), rest);
    }
}

// The counter goes in front of the plain body once, however often the frame is written and
// whether or not the body is looked at in between; a new counter replaces it.
TEST_F(LanFrame, CounterLeadsThePlainBodyOnce) {
    const Bytes body{1, 2, 3};
    auto readBack = [&](const Bytes& frame) {
        auto read = sim.read(frame);
        return read ? std::pair<int, Bytes>(read->counter, read->body) : std::pair(-1, Bytes{});
    };
    QKProtocol ccm = frameOf({3, kSessionKey, 0x0102, 0x70, body});
    EXPECT_EQ(readBack(ccm.getByteStream()), std::pair(0x0102, body));
    EXPECT_EQ(ccm.oriMessageArray(), Bytes({0x02, 0x01, 1, 2, 3}));
    ccm.setCntId(0x0304);
    EXPECT_EQ(readBack(ccm.getByteStream()), std::pair(0x0304, body));
    ccm.setCntId(0x0506);
    EXPECT_EQ(readBack(ccm.getByteStream()), std::pair(0x0506, body));
    EXPECT_EQ(ccm.oriMessageArray(), Bytes({0x06, 0x05, 1, 2, 3}));

    // A new body drops the counter with the old one.
    ccm.setOriMessageArray(Bytes{9});
    EXPECT_EQ(readBack(ccm.getByteStream()), std::pair(0x0506, Bytes{9}));
    EXPECT_EQ(ccm.oriMessageArray(), Bytes({0x06, 0x05, 9}));

    // Written sealed, then in the clear as version 3 with a new counter, or as another version:
    // the counter is in the body once.
    for (auto [version, wireBody] : {std::pair<int8_t, Bytes>{3, {8, 0, 1, 2, 3}},
                                     std::pair<int8_t, Bytes>{2, {7, 0, 1, 2, 3}}}) {
        QKProtocol again = frameOf({3, kSessionKey, 7, 0x70, body});
        ASSERT_FALSE(again.getByteStream().empty());
        again.setProtocolVer(version);
        again.setEncryptType(0);
        again.setCntId(8);
        ASSERT_FALSE(again.getByteStream().empty());
        EXPECT_EQ(again.messageArray(), wireBody) << int(version);
    }
}

// After a sealed write, messageArray is the body that went on the wire, whatever the frame is
// given afterwards, until the next write or a builder replaces it.
TEST_F(LanFrame, SealedBodyIsTheOneOnTheWire) {
    auto wireBody = [](const Bytes& frame) { return Bytes(frame.begin() + 40, frame.end() - 16); };
    QKProtocol p = frameOf({3, kSessionKey, 5, 0x70, {1, 2, 3}});
    const Bytes first = p.getByteStream();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(p.messageArray(), wireBody(first));

    const Bytes second = p.getByteStream();
    p.setOriMessageArray(Bytes{9, 9});
    p.setCntId(6);
    p.setEcdhSessionKey(hex("00112233445566778899aabbccddeeff"));
    EXPECT_NE(wireBody(first), wireBody(second));
    EXPECT_EQ(p.messageArray(), wireBody(second));

    // A write that fails keeps the last one's body.
    QKProtocol q = frameOf({3, kSessionKey, 5, 0x70, {1, 2, 3}});
    const Bytes written = q.getByteStream();
    q.setEcdhSessionKey(std::nullopt);
    EXPECT_TRUE(q.getByteStream().empty());
    EXPECT_EQ(q.messageArray(), wireBody(written));

    QKProtocol r = frameOf({3, kSessionKey, 5, 0x70, {1, 2, 3}});
    ASSERT_FALSE(r.getByteStream().empty());
    r.findDeviceInLanWithDic();
    EXPECT_EQ(r.messageArray(), Bytes{});

    // Written sealed again and again, each write opens with its own counter; then as a plain
    // version-1 frame without a plain body: the last sealed body goes out as it stands.
    QKProtocol s = frameOf({3, kSessionKey, 5, 0x70, {1, 2, 3}});
    Bytes last;
    for (int64_t counter : {6, 7, 8}) {
        s.setCntId(counter);
        last = s.getByteStream();
        const auto read = sim.read(last);
        ASSERT_TRUE(read) << counter;
        EXPECT_EQ(read->counter, counter);
        EXPECT_EQ(read->body, Bytes({1, 2, 3}));
    }
    s.setOriMessageArray(std::nullopt);
    s.setProtocolVer(1);
    s.setEncryptType(0);
    const Bytes clear = s.getByteStream();
    EXPECT_EQ(wireBody(clear), wireBody(last));
    EXPECT_EQ(s.messageArray(), wireBody(last));
}

// The frame seals and opens with its own copy of the key, whatever becomes of the caller's; a
// key no cipher takes is kept as given and seals or opens nothing.
TEST_F(LanFrame, FramesKeepTheirOwnCopyOfTheKey) {
    Bytes key = kSessionKey;
    QKProtocol p = frameOf({3, key, 1, 0x74, {0}});
    std::fill(key.begin(), key.end(), 0);
    const Bytes frame = p.getByteStream();
    ASSERT_TRUE(sim.read(frame));
    key = kSessionKey;
    auto read = QKProtocol::initWithNSData(frame, key);
    key.clear();
    ASSERT_TRUE(read->ecdhSessionKey());
    EXPECT_TRUE(std::ranges::equal(*read->ecdhSessionKey(), kSessionKey));
    EXPECT_EQ(read->messageArray(), Bytes{0});

    const Bytes longKey(33, 0x42);
    QKProtocol tooLong = frameOf({3, longKey, 1, 0x74, {0}});
    ASSERT_TRUE(tooLong.ecdhSessionKey());
    EXPECT_TRUE(std::ranges::equal(*tooLong.ecdhSessionKey(), longKey));
    EXPECT_TRUE(tooLong.getByteStream().empty());
    auto unopened = QKProtocol::initWithNSData(frame, longKey);
    EXPECT_TRUE(std::ranges::equal(*unopened->ecdhSessionKey(), longKey));
    EXPECT_FALSE(unopened->messageArray());
    EXPECT_FALSE(QKProtocol::initWithNSData(frame)->ecdhSessionKey());
}

TEST_F(LanFrame, WritesNothingWithoutTheKeysItNeeds) {
    config()->setApConfigDefaultKey("");
    EXPECT_TRUE(probe().empty());
    QKProtocol plain(1, std::nullopt, 0);
    plain.heartbeatDataWithDeviceId(1);  // plain and signed: the frame alone is signed
    EXPECT_EQ(plain.getByteStream().size(), 57u);

    for (const std::optional<Bytes>& key :
         {std::optional<Bytes>(), std::optional<Bytes>(Bytes{})}) {
        QKProtocol ccm(3, key, 1);
        ccm.getGroupDeviceInfo();
        EXPECT_TRUE(ccm.getByteStream().empty());
    }
}

TEST_F(LanFrame, ConstructorsChooseEncryptionByVersion) {
    QKProtocol init;
    EXPECT_EQ(init.protocolVer(), 1);
    EXPECT_EQ(init.encryptType(), 0);
    EXPECT_TRUE(init.isSign());
    EXPECT_EQ(init.protocolHead(), 0x5A5A);
    EXPECT_EQ(init.messageArray(), Bytes{});
    for (auto [version, type, sign] :
         {std::tuple{1, 1, true}, {3, 2, false}, {2, 0, false}, {0, 0, false}, {4, 0, false}}) {
        QKProtocol p(static_cast<int8_t>(version), kSessionKey, 3);
        EXPECT_EQ(p.encryptType(), type) << version;
        EXPECT_EQ(p.isSign(), sign) << version;
        EXPECT_EQ(p.protocolHead(), 0x5A5A);
        EXPECT_EQ(p.cntId(), 3);
    }
}

TEST_F(LanFrame, OpenProtocolWrapsTheReader) {
    const Bytes frame = probe();
    TelvoOpenProtocol open(frame, 1);
    ASSERT_TRUE(open.model());
    EXPECT_EQ(open.model()->protocolVer, 1);
    EXPECT_EQ(open.model()->msgType, 146);
    EXPECT_TRUE(open.model()->isSign);
    EXPECT_FALSE(open.model()->isEncrypt);
    EXPECT_EQ(open.model()->protocolHead, 0);
    EXPECT_EQ(open.model()->messageLen, 0);
    EXPECT_EQ(open.messageArray(), (Bytes{255, 0}));

    for (int64_t type : {0, 2, 3, -1}) {
        TelvoOpenProtocol other(frame, type);
        EXPECT_FALSE(other.model());
        EXPECT_FALSE(other.messageArray());
    }
    Bytes bad = frame;
    bad[1] = 0;
    TelvoOpenProtocol rejected(bad, 1);
    EXPECT_FALSE(rejected.model());
    TelvoOpenProtocol shortData(ByteView(frame).first(20), 1);
    ASSERT_TRUE(shortData.model());
    EXPECT_EQ(shortData.model()->msgType, 0);
    EXPECT_FALSE(shortData.messageArray());
}

}  // namespace
}  // namespace telvo

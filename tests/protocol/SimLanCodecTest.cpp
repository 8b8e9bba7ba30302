// The simulator's own codec must be right on its own before it can judge the library.
#include "sim/SimLanCodec.h"
#include "sim/TestPrelude.h"

namespace telvo::sim {
namespace {

TEST(SimLanCodec, CcmAgreesWithWycheproof) {
    Value doc = test::loadWycheproof("aes_ccm_test.json");
    int checked = 0;
    for (const Value& group : doc["testGroups"].array()) {
        if (group["ivSize"].intValue() != 104 || group["tagSize"].intValue() != 128 ||
            group["keySize"].intValue() != 128)
            continue;
        for (const Value& t : group["tests"].array()) {
            Bytes key = hex(t["key"].text()), iv = hex(t["iv"].text()), aad = hex(t["aad"].text());
            Bytes sealed = iv;
            for (const char* part : {"ct", "tag"}) {
                Bytes p = hex(t[part].text());
                sealed.insert(sealed.end(), p.begin(), p.end());
            }
            auto opened = crypto::ccmOpen(key, aad, sealed);
            if (t["result"].text() == "valid") {
                ASSERT_TRUE(opened) << t["tcId"].intValue();
                EXPECT_EQ(*opened, hex(t["msg"].text()));
                EXPECT_EQ(crypto::ccmSeal(key, iv, aad, *opened), sealed);
            } else {
                EXPECT_FALSE(opened) << t["tcId"].intValue();
            }
            ++checked;
        }
    }
    EXPECT_GE(checked, 5);
}

TEST(SimLanCodec, WritesAndReadsItsOwnFramesInEveryEncoding) {
    SimLanCodec codec("defaultKey123", hex("000102030405060708090a0b0c0d0e0f"));
    struct Case {
        uint8_t version, type;
        bool sign;
        size_t expectedSize;
    } cases[] = {{1, 0, true, 56 + 5},
                 {1, 1, true, 56 + 16},
                 {3, 2, false, 85 + 7},
                 {3, 0, false, 56 + 7},
                 {2, 2, true, 85 + 5}};
    const TimeStamp ts = makeTimeStamp(2026, 12, 6, 21, 5, 7, 999);
    for (const Case& c : cases) {
        const SimLanFrame f{c.version,         c.type, c.sign, 0x70,           0x01020304, ts,
                            0x123456789ABCull, 0,      0x0102, {1, 2, 3, 4, 5}};
        Bytes wire = codec.write(f);
        ASSERT_EQ(wire.size(), c.expectedSize) << int(c.type);
        std::string why;
        auto back = codec.read(wire, &why);
        ASSERT_TRUE(back) << why;
        EXPECT_EQ(back->body, f.body);
        EXPECT_EQ(back->deviceId, f.deviceId);
        EXPECT_EQ(back->timeStamp, f.timeStamp);
        EXPECT_EQ(back->counter, c.version == 3 ? 0x0102 : 0);
        wire[45] ^= 1;
        if (c.sign || c.type == 2) {
            EXPECT_FALSE(codec.read(wire)) << "tampered body accepted, type " << int(c.type);
        }
    }
}

TEST(SimLanCodec, TimeStampLayout) {
    EXPECT_EQ(makeTimeStamp(2026, 12, 6, 21, 5, 7, 999),
              (TimeStamp{0xE7, 0xC7, 5, 21, 6, 12, 26, 20}));
}

}  // namespace
}  // namespace telvo::sim

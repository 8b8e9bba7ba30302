#include "bleflows/QKBleStatusAnswer.h"
#include "sim/TestPrelude.h"

namespace telvo::test {
namespace {

using A = QKBleStatusAnswer;

// A full status: form 0, 32 serial bytes, 6 MAC bytes (last first), L, version, one unread
// byte, subtype 01 02 ("513"); cut to `length` bytes.
Bytes fullStatus(size_t versionLength, size_t length) {
    Bytes body{0};
    for (int i = 0; i < 32; ++i) body.push_back(static_cast<uint8_t>('A' + i % 26));
    for (uint8_t b : {0x66, 0x55, 0x44, 0x33, 0x22, 0x11}) body.push_back(b);
    body.push_back(static_cast<uint8_t>(versionLength));
    for (size_t i = 0; i < versionLength; ++i) body.push_back(static_cast<uint8_t>(0xA0 + i));
    for (uint8_t b : {0xEE, 0x01, 0x02}) body.push_back(b);
    body.resize(length);
    return body;
}

// Each field needs all its bytes (33, 39, 40, 40 + L, 43 + L); the second-generation reading
// needs 40 bytes before it takes anything, and nothing past the end is read (under ASan the
// exact-size copies would trip on any over-read).
TEST(QKBleStatusAnswerTest, FullStatusTakesOnlyWholeFields) {
    struct Case {
        size_t L, length;
        bool sn, mac, version, subtype, taken;
    };
    for (const Case& c : std::vector<Case>{{4, 1, 0, 0, 0, 0, 0},
                                           {4, 33, 1, 0, 0, 0, 0},
                                           {4, 39, 1, 1, 0, 0, 0},
                                           {0, 40, 1, 1, 1, 0, 1},
                                           {4, 43, 1, 1, 0, 0, 1},
                                           {4, 44, 1, 1, 1, 0, 1},
                                           {4, 46, 1, 1, 1, 0, 1},
                                           {4, 47, 1, 1, 1, 1, 1},
                                           {255, 60, 1, 1, 0, 0, 1}}) {
        SCOPED_TRACE(testing::Message() << "L=" << c.L << " length=" << c.length);
        Bytes body = fullStatus(c.L, c.length);
        auto status = A::parseFullStatus(body);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->deviceSn.has_value(), c.sn);
        EXPECT_EQ(status->mac.has_value(), c.mac);
        EXPECT_EQ(status->version.has_value(), c.version);
        EXPECT_EQ(status->deviceSubType.has_value(), c.subtype);
        if (c.mac) {
            EXPECT_EQ(status->btMacText(), "112233445566");
        }
        if (c.subtype) {
            EXPECT_EQ(status->deviceSubTypeText(), "513");
        }

        QKDevice device;
        device.moduleVersion = "old";
        device.deviceSubType = "9";
        EXPECT_EQ(A::takeFullStatus(body, device), c.taken);
        if (!c.taken) continue;
        EXPECT_EQ(device.deviceSn.substr(0, 3), "ABC");
        EXPECT_EQ(device.moduleVersion, !c.version ? "old"
                                        : c.L == 0 ? ""
                                                   : std::string("A0A1A2A3"));
        EXPECT_EQ(device.deviceSubType, c.subtype ? "513" : "9");
    }
    EXPECT_FALSE(A::parseFullStatus(Bytes{}));
    EXPECT_FALSE(A::parseFullStatus(Bytes{1, 0, 0}));
    Bytes notAscii = fullStatus(0, 43);
    notAscii[5] = 0x80;
    EXPECT_EQ(A::parseFullStatus(notAscii)->deviceSn, "");
}

TEST(QKBleStatusAnswerTest, CapabilityAndProductListsStopAtTheLastWholeEntry) {
    // N = 3: 0x0104 (n 1), an unknown id with 5 bytes, then 0x0103 cut short.
    Bytes list{3, 3, 0x04, 0x01, 1, 0x05, 0x99, 0x00, 5, 1, 2, 3, 4, 5, 0x03, 0x01, 2, 1};
    auto entries = A::parseCapabilityList(list);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].id, A::kCapabilityBits);
    EXPECT_EQ((*entries)[0].lastByte(), 0x05);
    EXPECT_EQ((*entries)[1].id, 0x0099);
    EXPECT_EQ((*entries)[1].value.size(), 5u);
    EXPECT_EQ(A::parseCapabilityList(Bytes{3, 0})->size(), 0u);
    EXPECT_EQ(A::parseCapabilityList(Bytes{3, 9})->size(), 0u);
    EXPECT_FALSE(A::parseCapabilityList(Bytes{3}));

    // Two products: (0x0006 "AB", 0x0007 01 02), (0x0006 "C", 0x0042 ..), a third cut short.
    Bytes products{1,    0, 0, 0,   0,    3, 0x06, 0, 2,    'A', 'B', 0x07, 0,    2, 1, 2,
                   0x06, 0, 1, 'C', 0x42, 0, 1,    9, 0x06, 0,   3,   'X',  0x07, 0, 1};
    auto parsed = A::parseProductList(products);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*parsed)[0], Value(Dictionary{{"sn", "AB"}, {"a0", "513"}}));
    EXPECT_EQ((*parsed)[1], Value(Dictionary{{"sn", "C"}}));
    EXPECT_FALSE(A::parseProductList(Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(A::parseProductList(Bytes{1, 0, 0}));
}

TEST(QKBleStatusAnswerTest, ParameterCheckOrder) {
    struct Case {
        bool functionSet, regionFlag, modelRegion;
        void (*edit)(QKDeviceBleConfigParams&);
        int64_t code;
    };
    auto full = [] {
        QKDeviceBleConfigParams p;
        p.moduleServerDomain = p.moduleServerPort = p.functionType = p.countryCode = "";
        p.timeZone = p.regionId = p.adsClusterId = "x";
        p.channelList = {Value(Dictionary{})};
        return p;
    };
    for (const Case& c : std::vector<Case>{
             {false, false, false, [](QKDeviceBleConfigParams& p) { p = {}; }, 0},
             {true, false, false, [](QKDeviceBleConfigParams&) {}, 0},
             {true, false, false, [](QKDeviceBleConfigParams& p) { p.moduleServerPort.reset(); },
              4141},
             {true, false, false, [](QKDeviceBleConfigParams& p) { p.channelList.reset(); }, 4125},
             {true, false, false, [](QKDeviceBleConfigParams& p) { p.channelList.emplace(); }, 0},
             {true, false, false, [](QKDeviceBleConfigParams& p) { p.timeZone.reset(); }, 4124},
             {true, true, false, [](QKDeviceBleConfigParams& p) { p.adsClusterId = ""; }, 0},
             {true, true, true, [](QKDeviceBleConfigParams& p) { p.adsClusterId = ""; }, 4164},
             {false, true, false, [](QKDeviceBleConfigParams& p) { p.regionId.reset(); }, 4142}}) {
        QKDevice device;
        device.functionSetEnable = c.functionSet;
        device.regionIdEnable = c.regionFlag;
        QKDeviceBleConfigParams model = full();
        model.regionIdEnable = c.modelRegion;
        c.edit(model);
        EXPECT_EQ(A::checkParamIntegrity(device, model), c.code);
    }
}

}  // namespace
}  // namespace telvo::test

#include <gtest/gtest.h>

#include <set>

#include "protocol/LanTestSupport.h"
#include "protocol/QKProtocol.h"
#include "sim/SimDiscovery.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

using sim::SimDiscoveryReply;

class Discovery : public test::LanFixture {
  protected:
    sim::SimLanCodec sim{kDefaultKey};
    const sim::TimeStamp stamp = sim::makeTimeStamp(2026, 12, 6, 21, 40, 1, 500);

    static SimDiscoveryReply fullReply() {
        SimDiscoveryReply r;
        r.ip = {127, 0, 0, 23};
        r.identify = 0x1A;
        r.capabilityA = 0xA5;
        r.capabilityB = 0x3B;
        r.support = 0x0B;
        r.deviceType = 0xAC;
        r.subType = 0x1234;
        r.mac = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
        r.moduleVersion = {1, 2, 3, 4, 5, 6};
        r.wanOnline = 1;
        r.maxTcp = 4;
        r.currentTcp = 2;
        r.tidOrRandom = test::hex("00112233445566778899aabbccddeeff");
        r.serverDomain = {'q', 'k'};
        r.serverPort = 8443;
        r.errorCode = 9;
        r.errorTime = sim::makeTimeStamp(2026, 11, 30, 23, 59, 58, 987);
        return r;
    }

    // Through the frame reader, as the discovery transport does.
    std::optional<Dictionary> parseFrame(const SimDiscoveryReply& r,
                                         std::optional<size_t> length = std::nullopt) {
        auto frame =
            QKProtocol::initWithNSData(sim::buildDiscoveryFrame(r, sim, stamp, 42, length));
        EXPECT_TRUE(frame && frame->messageArray());
        if (!frame || !frame->messageArray()) return std::nullopt;
        return QKProtocol::getUdpDeviceWithMessageArray(*frame->messageArray(), frame.get());
    }
};

std::set<std::string> keys(const Dictionary& d) {
    auto k = d.keys();
    return {k.begin(), k.end()};
}

TEST_F(Discovery, PresenceOfEachEntryFollowsTheBodyLength) {
    const SimDiscoveryReply r = fullReply();
    const size_t L = r.ssid.size();
    const std::set<std::string> always = {
        "deviceSn", "deviceSsid",   "deviceType",   "ip",
        "port",     "identifyTime", "identifyType", "sdkProtocolVersion"};
    // Each entry with the first body length (less L) that holds it.
    const std::vector<std::pair<size_t, std::vector<std::string>>> appear = {
        {49,
         {"extraFunction", "udpVersion", "regionIDEnable", "checkFormerConfigEnable",
          "moduleLogEnable", "channelEnable", "authenticationEnable", "functionSetEnable",
          "udpConfigEnable", "adnsIp", "groupDevice", "SUPPORDEVICETAUTH"}},
        {50, {"supportProtocol"}},
        {59, {"deviceSubType"}},
        {69, {"mac"}},
        {75, {"deviceProtocolVersion"}},
        {76, {"isWanOnline"}},
        {77, {"maxTCPCount"}},
        {78, {"currentTCPCount"}},
        {94, {"random"}},
        {96, {"serverDomain"}},
        {98, {"serverPort"}},
        {99, {"errorCode"}},
        {107, {"errorTimeStamp"}},
    };
    const Bytes full = sim::buildDiscoveryBody(r, kDefaultKey, stamp);
    ASSERT_EQ(full.size(), 107 + L);
    for (size_t len = 41 + L; len <= full.size(); ++len) {
        std::set<std::string> expected = always;
        for (const auto& [from, names] : appear)
            if (len >= from + L) expected.insert(names.begin(), names.end());
        auto d = QKProtocol::getUdpDeviceWithMessageArray(ByteView(full).first(len), nullptr);
        ASSERT_TRUE(d) << len;
        EXPECT_EQ(keys(*d), expected) << "body of " << len - L << " + L bytes";
        EXPECT_EQ((*d)["deviceType"].text(), len >= 56 + L ? "0xac" : "0xAC") << len;
        EXPECT_EQ((*d)["identifyTime"].text(), len >= 42 + L ? "10" : "-1");
        EXPECT_EQ((*d)["identifyType"].text(), len >= 42 + L ? "1" : "");
    }
}

TEST_F(Discovery, ValuesOfAFullReply) {
    auto d = parseFrame(fullReply());
    ASSERT_TRUE(d);
    const Value v(*d);
    const std::pair<const char*, std::string> texts[] = {
        {"ip", "127.0.0.23"},
        {"port", "6444"},
        {"deviceSn", "0000AC11122233344455566677788899"},
        {"deviceSsid", "net_ac_1234"},
        {"deviceType", "0xac"},
        {"extraFunction", std::to_string(0xA5 + 256 * 0x3B)},
        {"udpVersion", "01000000"},
        {"supportProtocol", "1011"},
        {"deviceSubType", "4660"},
        {"mac", "a0b1c2d3e4f5"},
        {"deviceProtocolVersion", "010203040506"},
        {"isWanOnline", "1"},
        {"maxTCPCount", "4"},
        {"currentTCPCount", "2"},
        {"random", "00112233445566778899aabbccddeeff"},
        {"serverDomain", "q"},
        {"serverPort", "8443"},
        {"errorCode", "9"},
        {"errorTimeStamp", "2026-11-30 23:59:58:987"},
    };
    for (const auto& [key, text] : texts) EXPECT_EQ(v[key].text(), text) << key;
    EXPECT_EQ(v["sdkProtocolVersion"], Value(1));
    for (auto [key, on] : {std::pair{"regionIDEnable", true},
                           {"checkFormerConfigEnable", false},
                           {"moduleLogEnable", true},
                           {"channelEnable", false},
                           {"authenticationEnable", true},
                           {"functionSetEnable", true},
                           {"udpConfigEnable", true},
                           {"adnsIp", true},
                           {"groupDevice", true},
                           {"SUPPORDEVICETAUTH", true}})
        EXPECT_EQ(v[key], Value(on)) << key;
}

TEST_F(Discovery, CapabilityFlagsNeedHighBitsOneZero) {
    for (auto [a, flags] :
         {std::pair{0x25, false}, {0xA5, true}, {0xE5, false}, {0x80, true}, {0x00, false}}) {
        SimDiscoveryReply r = fullReply();
        r.capabilityA = static_cast<uint8_t>(a);
        auto d = parseFrame(r);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->contains("moduleLogEnable"), flags) << a;
        // The server fields follow the module-log flag.
        EXPECT_EQ(d->contains("serverPort"), flags && (a & 4)) << a;
        EXPECT_TRUE(d->contains("random"));
    }
}

TEST_F(Discovery, EncryptedSerialAndTidIntoADeviceRecord) {
    SimDiscoveryReply r = fullReply();
    r.udpVersion = {0x04, 0, 0, 0};
    r.serial = "SN-A1B2C3D4E5F6G7H8";
    r.tidOrRandom = toBytes("TID-000000042");
    auto d = parseFrame(r);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["deviceSn"].text(), "SN-A1B2C3D4E5F6G7H8");
    EXPECT_EQ((*d)["deviceTid"].bytes(), toBytes("TID-000000042"));
    EXPECT_FALSE(d->contains("random"));
    EXPECT_EQ((*d)["udpVersion"].text(), "04000000");
    // The dictionary becomes a device record.
    auto device = QKDevice::deviceWithDic(Value(*d));
    EXPECT_EQ(device->deviceSn, "SN-A1B2C3D4E5F6G7H8");
    EXPECT_EQ(device->deviceSsid, "net_ac_1234");
    EXPECT_EQ(device->deviceType, "0xac");
    EXPECT_EQ(device->deviceIP, "127.0.0.23");
    EXPECT_EQ(device->deviceSubType, "4660");
    EXPECT_EQ(device->deviceTid, toBytes("TID-000000042"));
    EXPECT_EQ(device->isWanOnline, "1");
    EXPECT_EQ(device->udpVersion, "04000000");

    // A wrong default key loses the serial and the TID, nothing else.
    config()->setApConfigDefaultKey("another key");
    QKProtocol carrier;
    carrier.setTimeStampData(stamp);
    auto wrong = QKProtocol::getUdpDeviceWithMessageArray(
        sim::buildDiscoveryBody(r, kDefaultKey, stamp), &carrier);
    ASSERT_TRUE(wrong);
    EXPECT_FALSE(wrong->contains("deviceSn"));
    EXPECT_FALSE(wrong->contains("deviceTid"));
    EXPECT_EQ((*wrong)["ip"].text(), "127.0.0.23");
    EXPECT_EQ((*wrong)["deviceSsid"].text(), "net_ac_1234");
    EXPECT_EQ((*wrong)["errorTimeStamp"].text(), "2026-11-30 23:59:58:987");

    // The key also takes the carrying frame's time: another time, or no frame, loses the serial.
    config()->setApConfigDefaultKey(kDefaultKey);
    const Bytes body = sim::buildDiscoveryBody(r, kDefaultKey, stamp);
    QKProtocol otherTime;
    otherTime.setTimeStampData(QKProtocol::TimeStamp{});
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(body, &otherTime)->contains("deviceSn"));
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(body, nullptr)->contains("deviceSn"));
}

TEST_F(Discovery, PartnerBlock) {
    struct Case {
        Bytes block;
        std::optional<uint8_t> announced;
        std::string length;
        std::optional<Bytes> info;
    } cases[] = {
        {{}, std::nullopt, "0", std::nullopt},
        {{1, 2, 3}, std::nullopt, "3", Bytes{1, 2, 3}},
        {{1, 2, 3}, 4, "4", std::nullopt},  // announced past the body
        {{1, 2, 3}, 255, "255", std::nullopt},
    };
    for (const Case& c : cases) {
        SimDiscoveryReply r = fullReply();
        r.udpVersion = {0x81, 0, 0, 0};
        r.partner = c.block;
        r.partnerLength = c.announced;
        auto d = parseFrame(r);
        ASSERT_TRUE(d);
        EXPECT_EQ((*d)["rizozeLength"].text(), c.length);
        EXPECT_EQ(d->contains("rizozeInfo"), c.info.has_value());
        if (c.info) {
            EXPECT_EQ((*d)["rizozeInfo"].bytes(), *c.info);
        }
        // Nothing after the block is read.
        EXPECT_FALSE(d->contains("supportProtocol"));
        EXPECT_FALSE(d->contains("mac"));
        EXPECT_EQ((*d)["deviceType"].text(), "0xAC");
    }
    // n = 0 with a long body after it: still nothing read.
    SimDiscoveryReply r = fullReply();
    r.udpVersion = {0x81, 0, 0, 0};
    Bytes body = sim::buildDiscoveryBody(r, kDefaultKey, stamp);
    body.resize(body.size() + 60, 0x77);
    auto d = QKProtocol::getUdpDeviceWithMessageArray(body, nullptr);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["rizozeLength"].text(), "0");
    EXPECT_FALSE(d->contains("rizozeInfo"));
    EXPECT_FALSE(d->contains("deviceSubType"));
}

TEST_F(Discovery, RejectedReplies) {
    const Bytes full = sim::buildDiscoveryBody(fullReply(), kDefaultKey, stamp);
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(ByteView(full).first(40), nullptr));
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(ByteView(full).first(51), nullptr));
    Bytes zeroLength = full;
    zeroLength[40] = 0;
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(zeroLength, nullptr));
    Bytes pastEnd(full.begin(), full.begin() + 45);
    pastEnd[40] = 5;  // needs 46 bytes
    EXPECT_FALSE(QKProtocol::getUdpDeviceWithMessageArray(pastEnd, nullptr));
    pastEnd.push_back('x');
    EXPECT_FALSE(
        QKProtocol::getUdpDeviceWithMessageArray(pastEnd, nullptr));  // "net_x" has 2 fields

    SimDiscoveryReply twoFields = fullReply();
    twoFields.ssid = "net_ac";
    EXPECT_FALSE(parseFrame(twoFields));
    SimDiscoveryReply emptyFields = fullReply();
    emptyFields.ssid = "__";
    auto d = parseFrame(emptyFields);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["deviceSsid"].text(), "__");
}

}  // namespace
}  // namespace telvo

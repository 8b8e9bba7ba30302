#include <gtest/gtest.h>

#include "blecore/QKBLEProtocol.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

using test::toHex;

std::string hexOf(const std::optional<Bytes>& body) {
    return body ? toHex(*body) : "refused";
}

Value channel(int first, int count, int power, int dfs) {
    return Dictionary{{kQKSDKConfigFirstChannelNumber, first},
                      {kQKSDKConfigChannelCount, count},
                      {kQKSDKConfigChannelMaxPower, power},
                      {kQKSDKConfigChannelDFSEnable, dfs}};
}

QKDeviceBleConfigParams router() {
    QKDeviceBleConfigParams p;
    p.routerSSID = "ab";
    p.routerPwd = "";
    p.routerBSSID = "11:22:33:44:55:66";
    p.randomNum = "";
    return p;
}

TEST(BleBodies, FixedAndSimpleBodies) {
    using P = QKBLEProtocol;
    const std::pair<std::optional<Bytes>, std::string> cases[] = {
        {P::msgBodyForGetDevicePublicKey(), "01000000000000000000"},
        {P::msgBodyForCheckStatus(0), std::string(38, '0')},
        {P::msgBodyForSpecialModeBluetooth(1, 2), "01010102"},
        {P::msgBodyForWriteVericode(Bytes{0xC0, 0xDE}, 7), "030107c0de"},
        {P::msgBodyForDeviceConfirmCheck(), "01"},
        {P::msgBodyForDeviceConfirmSetWithAuthType(3), "0203"},
        {P::msgBodyForGetProduct(), "01"},
        {P::msgBodyForBleMeshConfigInfo(), "04"},
        {P::msgBodyForAuthSecretKey(Bytes(64, 0xEE), Bytes{1, 2}),
         "0202" + std::string(128, 'e') + "0102"},
        {P::msgBodyForAuthSecretKey(Bytes(63, 0xEE), Bytes{1}), "refused"},
        {P::msgBodyForCheckDeviceId("1", "2"),
         "0102010008020000000000000002000801" + std::string(14, '0')},
        {P::msgBodyForCheckDeviceId("-1", std::nullopt),
         "0102010008" + std::string(16, '0') + "020008" + std::string(16, 'f')},
        {P::msgBodyForCoutryChannelWithCountryCode(std::nullopt, std::nullopt, {}, "0"),
         "010000ff0000000000"},
        {P::msgBodyForCoutryChannelWithCountryCode("CN", "-5", {channel(1, 13, 20, 0)}, "258"),
         "01434efb01010d140002010000"},
        {P::msgBodyForCoutryChannelWithCountryCode("C", "8", {Value(Dictionary{})}, "1"),
         "01430008010000000001000000"},
        {P::msgBodyForCoutryChannelWithCountryCode("CN", "8",
                                                   Value::Array(128, channel(1, 1, 1, 1)), "1"),
         "refused"},
        {P::msgBodyForConnectWithRouterSSID("ab", "", "11:22:33:44:55:66", ""),
         "112233445566010200616200"},
        {P::msgBodyForConnectWithRouterSSID("ab", "pw", std::nullopt, "0a0b"),
         "01020261627077"
         "0a0b00"},
        {P::msgBodyForConnectWithRouterSSID(std::string(256, 'x'), "", "", ""), "refused"},
        {P::msgBodyForBleMeshNetKey("", {}), "0501010900080000000000000000"},
        {P::msgBodyForBleMeshNetKey("a1b2", {"0001", "0002"}), "050103090008" +
                                                                   std::string(16, '0') +
                                                                   "300202a1b2"
                                                                   "3102060202"
                                                                   "00010002"},
        {P::msgBodyForBleMeshNetKey("", {"0001", "02"}), "refused"},
    };
    for (const auto& [body, expected] : cases) EXPECT_EQ(hexOf(body), expected);
}

TEST(BleBodies, WiFiConfigurationBodies) {
    QKDeviceBleConfigParams plain = router();
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(plain, 1)),
              "0111223344556601020061620000000000");
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyWired(plain, 5)), "0500000000");

    QKDeviceBleConfigParams p = router();
    p.regionIdEnable = true;
    p.regionId = "3";
    p.functionSetEnable = true;
    p.functionType = "2";
    p.countryCode = "CN";
    p.timeZone = "-5";
    p.moduleServerDomain = "d.io";
    p.moduleServerPort = "443";
    p.channelList = {channel(1, 13, 20, 1)};
    p.adsClusterId = "258";
    p.adnsIPEnable = true;
    p.adnsIPPort = "53";
    p.adnsIPList = {"192.168.1.10", "bad", "10.0.0.1"};
    const std::string head = "01112233445566010200616200";
    const std::string function =
        "02434efb04642e696fbb01"
        "01010d1401";
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(p, 1)), head + "03000000" + function +
                                                                    "000102" +
                                                                    "00"
                                                                    "350003"
                                                                    "0a01a8c0"
                                                                    "0100000a"
                                                                    "00000000");
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyWired(p, 5)),
              "05"
              "03000000"
              "02434efb04642e696fbb01"
              "000102"
              "000000");

    // Without the region flag: no ADS bytes and no ADNS block; an absent time zone is 00.
    p.regionIdEnable = false;
    p.timeZone.reset();
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(p, 1)), head + "00000000" +
                                                                    "02434e0004642e696fbb01"
                                                                    "01010d1401");
    p.moduleServerDomain = std::string(256, 'd');
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(p, 1)), "refused");

    // A channel list too long for its count byte matters only where the function block carries
    // it.
    QKDeviceBleConfigParams many = router();
    many.channelList = Value::Array(256, channel(1, 1, 1, 1));
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(many, 1)),
              "0111223344556601020061620000000000");
    many.functionSetEnable = true;
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForPreConnect(many, 1)), "refused");
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyWired(p, 1)), "refused");
}

TEST(BleBodies, RouterUpdate) {
    QKDeviceBleConfigParams p;
    p.routerSSID = "ab";
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForRouterUpdateWithModel(p)), "02020e0202616211020100");

    p.routerPwd = "";
    p.routerBSSID = "11:22:33:44:55:66";
    p.channelList = {channel(1, 13, 20, 0)};
    p.randomNum = "0a0b";
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForRouterUpdateWithModel(p)),
              "0206"
              "0e02026162"
              "0f0200"
              "100206112233445566"
              "11020100"
              "1d020501010d1400"
              "0d02020a0b");
    // The random-code field follows the text: an empty text leaves it out, a text without hex
    // digits writes it empty.
    p.channelList = {};
    for (const auto& [random, tail] :
         {std::pair<std::string, std::string>{"", ""}, {"zz", "0d0200"}, {"0A0b", "0d02020a0b"}}) {
        p.randomNum = random;
        const std::string count = tail.empty() ? "04" : "05";
        EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForRouterUpdateWithModel(p)),
                  "02" + count + "0e020261620f0200100206112233445566" + "11020100" + tail)
            << random;
    }
    p.channelList = Value::Array(64, channel(1, 1, 1, 1));
    EXPECT_EQ(hexOf(QKBLEProtocol::msgBodyForRouterUpdateWithModel(p)), "refused");
}

}  // namespace
}  // namespace telvo

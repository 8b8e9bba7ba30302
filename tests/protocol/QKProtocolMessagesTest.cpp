#include <functional>

#include "core/QKUserDefault.h"
#include "protocol/LanTestSupport.h"
#include "protocol/QKProtocol.h"
#include "sim/LogCapture.h"
#include "sim/SimLanCodec.h"
#include "sim/TestPrelude.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

using Params = QKDeviceApConfigParams;

class LanMessages : public test::LanFixture {};

const char* kSerial = "0000AC11122233344455566677788899";

Value deviceDic(std::string sn, std::string ssid) {
    return Dictionary{{kQKSDKDeviceSn, std::move(sn)}, {kQKSDKDeviceSSID, std::move(ssid)}};
}

TEST_F(LanMessages, FixedBuildersOnEachConstructor) {
    struct Case {
        const char* name;
        std::function<std::shared_ptr<QKProtocol>()> make;
        std::function<void(QKProtocol&)> build;
        int msgType, encryptType;
        bool sign;
        std::string body;
    };
    auto init = [] { return std::make_shared<QKProtocol>(); };
    auto v3 = [] { return std::make_shared<QKProtocol>(3, Bytes(16, 1), 0); };
    auto v1 = [] { return std::make_shared<QKProtocol>(1, std::nullopt, 0); };
    const Case cases[] = {
        {"probe", init, [](QKProtocol& p) { p.findDeviceInLanWithDic(); }, 0x92, 1, true, "ff00"},
        {"heartbeat v1", v1, [](QKProtocol& p) { p.heartbeatDataWithDeviceId(5); }, 0x7B, 0, true,
         "00"},
        {"heartbeat v3", v3, [](QKProtocol& p) { p.heartbeatDataWithDeviceId(5); }, 0x7B, 0, false,
         "00"},
        {"temp id", init,
         [](QKProtocol& p) { EXPECT_TRUE(p.writeTempDeviceId(deviceDic(kSerial, "net_ac_1234"))); },
         0x43, 1, true,
         "3030303041433131313232323333333434343535353636363737373838383939bba94d78acff"},
        {"subtype", init,
         [](QKProtocol& p) {
             p.getDeviceSubType(Dictionary{{"type", "AC"}, {"deviceId", "123456"}});
         },
         0x20, 1, true, "aa0bac000000000000a000a9"},
        {"subtype number id", v3,
         [](QKProtocol& p) {
             p.getDeviceSubType(Dictionary{{"type", "0xb"}, {"deviceId", 77}});
         },
         0x20, 2, false, "aa0b0b000000000000a0004a"},
        {"to AP", init, [](QKProtocol& p) { p.switchWifiStatusToAP(true); }, 0x81, 1, true, "01"},
        {"to station", init, [](QKProtocol& p) { p.switchWifiStatusToAP(false); }, 0x81, 1, true,
         "02"},
        {"former config", v3, [](QKProtocol& p) { p.checkFormerConfigInfo(); }, 0x71, 2, false,
         "010000"},
        {"group", v3, [](QKProtocol& p) { p.getGroupDeviceInfo(); }, 0x74, 2, false, "00"},
        {"wifi list", init, [](QKProtocol& p) { p.getWiFiList(); }, 0x6B, 1, true, "00"},
        {"short credentials", init,
         [](QKProtocol& p) {
             Params params;
             params.securityType = "3";
             params.routerSSID = "home";
             params.routerPwd = "pw12345678";
             EXPECT_TRUE(p.writeWiFiSSIDWithConfigModel(params));
         },
         0x68, 1, true, "03040a686f6d6570773132333435363738"},
        {"short credentials, open network", init,
         [](QKProtocol& p) {
             Params params;
             params.securityType = "-1";
             params.routerSSID = "中文";
             EXPECT_TRUE(p.writeWiFiSSIDWithConfigModel(params));
         },
         0x68, 1, true, "000600e4b8ade69687"},
    };
    for (const Case& c : cases) {
        auto p = c.make();
        c.build(*p);
        EXPECT_EQ(p->msgType(), c.msgType) << c.name;
        EXPECT_EQ(p->encryptType(), c.encryptType) << c.name;
        EXPECT_EQ(p->isSign(), c.sign) << c.name;
        ASSERT_TRUE(p->oriMessageArray()) << c.name;
        EXPECT_EQ(toHex(*p->oriMessageArray()), c.body) << c.name;
        EXPECT_FALSE(p->getByteStream().empty()) << c.name;
    }
}

TEST_F(LanMessages, SubtypeQuerySetsTheDeviceId) {
    QKProtocol p;
    p.getDeviceSubType(Dictionary{{"type", "AC"}, {"deviceId", "187723572702975"}});
    EXPECT_EQ(p.deviceID(), 187723572702975);
    const Bytes frame = p.getByteStream();
    EXPECT_EQ(toHex(ByteView(frame).subspan(20, 6)), "ffeeddccbbaa");
}

Params baseParams() {
    Params p;
    p.randomNum = "00112233445566778899AABBCCDDEEFF";
    p.routerSSID = "home";
    p.routerPwd = "secret12";
    return p;
}

// Bodies are written field by field, spaces between fields.
TEST_F(LanMessages, RouterCredentialsWithOptions) {
    const std::string head = "00112233445566778899aabbccddeeff 04686f6d65 087365637265743132 ";
    // The credentials, no BSSID, the SSID again and the fixed trailer.
    const std::string base = head + "00 04686f6d65 010100 ";
    struct Case {
        const char* name;
        std::function<void(Params&)> edit;
        std::string body;
    };
    const Case cases[] = {
        {"minimal", [](Params&) {}, base},
        {"bssid", [](Params& p) { p.routerBSSID = "a0:b1:c2:d3:e4:f5"; },
         head + "06a0b1c2d3e4f5 04686f6d65 010100"},
        {"cjk ssid, no password",
         [](Params& p) {
             p.routerSSID = "中文";
             p.routerPwd.reset();
         },
         "00112233445566778899aabbccddeeff 06e4b8ade69687 00 00 04d6d0cec4 010100"},
        {"channel mark and password check",
         [](Params& p) { p.channelEnable = p.checkPasswordEnable = true; },
         head + "00 04686f6d65 00 010101"},
        {"country code and channels",
         [](Params& p) {
             p.countryCodeEnable = true;
             p.countryCode = "CN";
             p.timeZone = "8";
             using D = Dictionary;
             p.channelList = {D{{kQKSDKConfigFirstChannelNumber, 1},
                                {kQKSDKConfigChannelCount, 13},
                                {kQKSDKConfigChannelMaxPower, "20"},
                                {kQKSDKConfigChannelDFSEnable, false}},
                              D{{kQKSDKConfigFirstChannelNumber, 36},
                                {kQKSDKConfigChannelCount, 4},
                                {kQKSDKConfigChannelMaxPower, 23},
                                {kQKSDKConfigChannelDFSEnable, true}},
                              D{{kQKSDKConfigFirstChannelNumber, 149}}};
         },
         base + "0210 434e 08 03 010d1400 24041701 95000000"},
        {"country item defaults", [](Params& p) { p.countryCodeEnable = true; },
         base + "0204 0000 ff 00"},
        {"region",
         [](Params& p) {
             p.regionIdEnable = true;
             p.regionId = "305419896";
         },
         base + "030478563412"},
        {"function set",
         [](Params& p) {
             p.functionSetEnable = true;
             p.moduleServerDomain = "a.io";
             p.moduleServerPort = "8883";
             p.functionType = "2";
         },
         base + "0404612e696f 0502b322 060102"},
        {"adns, empty list",
         [](Params& p) {
             p.adnsIPEnable = p.adsEnable = true;
             p.adsClusterId = "66051";
             p.adsDomain = "ignored";
         },
         base + "0703010203 0a"},
        {"adns addresses",
         [](Params& p) {
             p.adnsIPEnable = true;
             p.adnsIPPort = "53";
             p.adnsIPList = {"10.0.1.2", "bad", "1.2.3.4", "1.2.3.256"};
         },
         base + "0703000000 0a0b 3500 02 0201000a 04030201"},
        {"ads",
         [](Params& p) {
             p.adsEnable = true;
             p.adsClusterId = "1";
             p.adsDomain = "ads.x";
             p.adsPort = "443";
         },
         base + "0703000001 08056164732e78 0902bb01"},
        {"everything in order",
         [](Params& p) {
             p.routerBSSID = "1:2";
             p.channelEnable = p.countryCodeEnable = p.regionIdEnable = true;
             p.functionSetEnable = p.adsEnable = true;
         },
         head + "020102 04686f6d65 00 010100 02040000ff00 030400000000 0400 05020000 060100 "
                "0703000000"},
    };
    for (const Case& c : cases) {
        Params params = baseParams();
        c.edit(params);
        QKProtocol p;
        ASSERT_TRUE(p.writeNewWiFiSSIDWithConfigModel(params)) << c.name;
        EXPECT_EQ(p.msgType(), 0x70);
        EXPECT_EQ(p.encryptType(), 1);
        EXPECT_EQ(toHex(*p.oriMessageArray()), toHex(hex(c.body))) << c.name;
    }
}

TEST_F(LanMessages, BuildersRefuseWhatTheyCannotEncode) {
    auto refuses = [](const char* name, const std::function<bool(QKProtocol&)>& build) {
        QKProtocol p(3, Bytes(16, 1), 0);
        EXPECT_FALSE(build(p)) << name;
        EXPECT_FALSE(p.oriMessageArray()) << name;
        EXPECT_TRUE(p.getByteStream().empty()) << name;
    };
    const std::string longText(256, 'x');
    const std::pair<const char*, Value> tempIds[] = {
        {"0x43 short serial", deviceDic(std::string(kSerial, 31), "net_ac_1234")},
        {"0x43 long serial", deviceDic(std::string(kSerial) + "0", "net_ac_1234")},
        {"0x43 non-ASCII serial", deviceDic("é" + std::string(kSerial, 30), "net_ac_1234")},
        {"0x43 no type", deviceDic(kSerial, "net_ac")},
        {"0x43 bad type", deviceDic(kSerial, "net_acx_1")},
    };
    for (const auto& [name, dic] : tempIds)
        refuses(name, [&dic = dic](QKProtocol& p) { return p.writeTempDeviceId(dic); });
    refuses("0x68 long SSID", [&](QKProtocol& p) {
        Params params;
        params.routerSSID = longText;
        return p.writeWiFiSSIDWithConfigModel(params);
    });
    refuses("0x68 long password", [&](QKProtocol& p) {
        Params params;
        params.routerSSID = "a";
        params.routerPwd = longText;
        return p.writeWiFiSSIDWithConfigModel(params);
    });
    const std::pair<const char*, std::function<void(Params&)>> edits[] = {
        {"short random", [](Params& p) { p.randomNum = "00112233445566778899aabbccddeef"; }},
        {"random not hex", [](Params& p) { p.randomNum = "0011223344556677889gaabbccddeeff"; }},
        {"no random", [](Params& p) { p.randomNum.reset(); }},
        {"no SSID", [](Params& p) { p.routerSSID.reset(); }},
        {"long SSID", [&](Params& p) { p.routerSSID = longText; }},
        {"SSID not UTF-8", [](Params& p) { p.routerSSID = "\xC3\x28"; }},
        {"long password", [&](Params& p) { p.routerPwd = longText; }},
        {"country code",
         [](Params& p) {
             p.countryCodeEnable = true;
             p.countryCode = "CHN";
         }},
        {"channels",
         [](Params& p) {
             p.countryCodeEnable = true;
             p.channelList = Value::Array(63, Dictionary{});
         }},
        {"domain",
         [&](Params& p) {
             p.functionSetEnable = true;
             p.moduleServerDomain = longText;
         }},
        {"adns list",
         [](Params& p) {
             p.adnsIPEnable = true;
             p.adnsIPList = std::vector<std::string>(64, "1.1.1.1");
         }},
        {"ads domain",
         [&](Params& p) {
             p.adsEnable = true;
             p.adsDomain = longText;
         }},
    };
    for (const auto& [name, edit] : edits) {
        refuses(name, [&, &edit = edit](QKProtocol& p) {
            Params params = baseParams();
            edit(params);
            return p.writeNewWiFiSSIDWithConfigModel(params);
        });
    }
    // A refused frame builds again once its input is good.
    QKProtocol p;
    EXPECT_FALSE(p.writeTempDeviceId(deviceDic("short", "net_ac_1")));
    EXPECT_TRUE(p.writeTempDeviceId(deviceDic(kSerial, "net_ac_1")));
    EXPECT_EQ(p.getByteStream().size(), 56u + 48u);
}

TEST_F(LanMessages, ConfigurationReplyErrors) {
    EXPECT_EQ(QKProtocol::handleConfigWiFiAndPWDResp({}), nullptr);
    const std::pair<uint8_t, int64_t> cases[] = {
        {0, 0},       {1, 114020},  {2, 114021},  {3, 114022},  {4, 114090},  {5, 114135},
        {24, 114127}, {25, 114128}, {26, 114129}, {27, 114136}, {255, 114135}};
    for (auto [byte, code] : cases) {
        const Bytes body{byte, 9};
        ErrorPtr e = QKProtocol::handleConfigWiFiAndPWDResp(body);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code(), code) << int(byte);
    }
    EXPECT_EQ(QKProtocol::handleConfigWiFiAndPWDResp(Bytes{0})->localizedDescription(),
              "Executed Successfully.");
    EXPECT_EQ(QKProtocol::handleConfigWiFiAndPWDResp(Bytes{1})->localizedDescription(),
              "Set password and SSID wrong SSID");
}

TEST_F(LanMessages, FormerConfigurationReply) {
    const std::string pwd(64, 'a');
    const std::string head = R"({"formerErrorCode":7,"formerRouterSSID":"home")";
    struct Case {
        std::string body;
        std::optional<std::string> json;
    };
    const Case cases[] = {
        {"000000", R"({"formerErrorCode":0})"},
        {"0000", std::nullopt},
        {"000007", std::nullopt},
        {"000007 04686f6d65", std::nullopt},     // no flag byte
        {"000007 05686f6d65", std::nullopt},     // SSID runs past the body
        {"000007 04686f6d65 02", std::nullopt},  // unknown flag
        {"000007 04686f6d65 00", head + "}"},
        {"000007 04686f6d65 01" + pwd.substr(0, 62), std::nullopt},  // 31 password bytes
        {"000007 04686f6d65 01" + pwd, head + R"(,"formerRouterPassword":")" + pwd + "\"}"},
        {"000007 04686f6d65 01" + pwd + "05",
         head + R"(,"formerRouterPassword":")" + pwd + R"(","statusCode":"5"})"},
        {"000007 0400000000 00" + std::string(64, '0') + "ff",
         R"({"formerErrorCode":7,"formerRouterSSID":"\u0000\u0000\u0000\u0000","statusCode":"255"})"},
    };
    for (const Case& c : cases) {
        auto d = QKProtocol::handleLastTimeConfigResp(hex(c.body));
        ASSERT_EQ(d.has_value(), c.json.has_value()) << c.body;
        if (d) {
            EXPECT_EQ(Value(*d).toJSON().value(),
                      *Value::fromJSON("[" + *c.json + "]")->at(0).toJSON())
                << c.body;
        }
    }
}

TEST_F(LanMessages, GroupDeviceReply) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "[]"},
        {"00a903534e31", "[]"},
        {"0200000000 a903534e31 aa023412 a9025832 bb0100",
         R"([{"sn":"SN1","a0":"4660"},{"sn":"X2"}])"},
        {"0300000000 a903534e31 aa023412 a9025832", R"([{"sn":"SN1","a0":"4660"}])"},
        {"0100000000 a903534e31 aa05", "[]"},          // item runs past the body
        {"01000000", "[]"},                            // items would start past the end
        {"0100000000 aa0107 a900", R"([{"sn":""}])"},  // a0 needs two bytes
    };
    for (const auto& [body, json] : cases)
        EXPECT_EQ(Value(QKProtocol::handleGroupDeviceResp(hex(body))).toJSON().value(), json)
            << body;
}

TEST_F(LanMessages, WifiListReply) {
    const std::string two = R"([{"ssid":"abc","miType":0},{"ssid":"xy","miType":1}])";
    const std::string one = R"([{"ssid":"abc","miType":0}])";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"02 0300616263 02017879", two},
        {"03 0300616263 02017879", std::nullopt},
        {"02 0300616263 02037879", one},
        {"02 0300616263 02017879 ff", two},  // entry past the end
        {"02 0300616263 050178", one},
        {"03 0300616263 0000 0202c328", one},  // counted, not listed
        {"0301", std::nullopt},
        {"000000", std::nullopt},  // none announced, one (empty) read
    };
    for (const auto& [body, json] : cases) {
        auto list = QKProtocol::getWifiListWithByteArray(hex(body));
        ASSERT_EQ(list.has_value(), json.has_value()) << body;
        if (list) {
            EXPECT_EQ(Value(*list).toJSON().value(), *json) << body;
        }
    }
}

TEST_F(LanMessages, CheckSum) {
    const std::pair<std::string, uint8_t> cases[] = {
        {"", 0}, {"02ff", 0}, {"03ff", 0xFD}, {"0501020304", 0xF8}, {"09", 0}};
    for (const auto& [buffer, sum] : cases) EXPECT_EQ(getChkSum(hex(buffer)), sum) << buffer;
}

class LanLogHostileTest : public LanMessages {
  protected:
    void SetUp() override {
        LanMessages::SetUp();
        QKUserDefault::setStorageDirectory({});
        resetForTesting<QKUserDefault>();
        QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
        QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate_);
    }
    void TearDown() override {
        resetForTesting<QKUserDefault>();
        LanMessages::TearDown();
    }
    std::shared_ptr<test::LogLines> delegate_ = std::make_shared<test::LogLines>();
};

// The router password and the random code travel encrypted; the body is logged by its length.
TEST_F(LanLogHostileTest, RouterPasswordNeverReachesTheLog) {
    const std::string password = "pa55-w0rd!";
    const std::string passwordHex = test::toHex(Bytes(password.begin(), password.end()));
    QKDeviceApConfigParams params;
    params.securityType = "3";
    params.routerSSID = "home";
    params.routerPwd = password;
    params.randomNum = "00112233445566778899aabbccddeeff";
    const std::function<bool(QKProtocol&)> builders[] = {
        [&](QKProtocol& p) { return p.writeWiFiSSIDWithConfigModel(params); },
        [&](QKProtocol& p) { return p.writeNewWiFiSSIDWithConfigModel(params); },
    };
    for (const auto& build : builders) {
        delegate_->lines.clear();
        QKProtocol frame(1, std::nullopt, 0);
        ASSERT_TRUE(build(frame));
        ASSERT_FALSE(frame.getByteStream().empty());
        bool bodyLogged = false;
        for (const std::string& line : delegate_->lines) {
            EXPECT_EQ(line.find(passwordHex), std::string::npos) << line;
            EXPECT_EQ(line.find(password), std::string::npos) << line;
            EXPECT_EQ(line.find(*params.randomNum), std::string::npos) << line;
            if (line.rfind("LAN msgData (", 0) == 0) {
                bodyLogged = true;
                EXPECT_EQ(line.find("686f6d65"), std::string::npos) << line;  // no body bytes
            }
        }
        EXPECT_TRUE(bodyLogged);
    }
}

}  // namespace
}  // namespace telvo

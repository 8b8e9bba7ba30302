#include <gtest/gtest.h>

#include "core/QKUserDefault.h"
#include "records/QKDeviceDecryption.h"
#include "records/QKMiddleInterface.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {
namespace {

// The discovery reader's keys are checked end to end in the protocol tests.
TEST(QKDevice, DeviceWithDicSkipsValuesOfTheWrongType) {
    auto d = QKDevice::deviceWithDic(Dictionary{{kQKSDKDeviceSn, Value::Array{"x"}},
                                                {kQKSDKDeviceSSID, 1.5},
                                                {kQKSDKDeviceTid, "text"},
                                                {kQKSDKDeviceIP, "127.0.0.5"},
                                                {kQKSDKUDPVersion, 4}});
    EXPECT_EQ(d->deviceSn, "");
    EXPECT_EQ(d->deviceSsid, "");
    EXPECT_TRUE(d->deviceTid.empty());
    EXPECT_EQ(d->deviceIP, "127.0.0.5");
    EXPECT_EQ(d->udpVersion, "4");
    EXPECT_EQ(QKDevice::deviceWithDic(Value("not a dictionary"))->deviceSn, "");
}

class QKDeviceContent : public ::testing::Test {
  protected:
    void SetUp() override {
        // Stands in for the work-mode decryption: "enc:" + plain text.
        replaceSensitiveDataDecryptorForTesting(
            [](const std::string& c) -> std::optional<std::string> {
                if (c.rfind("enc:", 0) != 0) return std::nullopt;
                return c.substr(4);
            });
    }
    void TearDown() override { replaceSensitiveDataDecryptorForTesting(nullptr); }
};

TEST_F(QKDeviceContent, CloudAndRecordKeysAndGroupInfo) {
    Value cloud = Dictionary{
        {"applianceId", 19791209300281LL},
        {"des", "living room"},
        {"modelNumber", "KFR-35"},
        {"onlineStatus", "1"},
        {"applianceSn", "enc:SN123"},
        {"type", "0xAC"},
        {"wifiVersion", "0501"},
        {"name", "Air"},
        {"activeStatus", 1},
        {kQKSDKDeviceSSID, "midea_ac_0001"},
        {kQKSDKDeviceSubType, "11"},
        {kQKSDKDeviceSmartProductId, "10001"},
        {kQKSDKConfigGroupDeviceInfo,
         Value::Array{Dictionary{{"sn", "S1"}, {"a0", "A1"}}, "stray", Dictionary{{"sn", "S2"}}}},
    };
    QKDevice d(cloud);
    EXPECT_EQ(d.deviceId, "19791209300281");
    EXPECT_EQ(d.des, "living room");
    EXPECT_EQ(d.modelNumber, "KFR-35");
    EXPECT_EQ(d.onlineStatus, "1");
    EXPECT_EQ(d.deviceSn, "SN123");
    EXPECT_EQ(d.deviceType, "AC");
    EXPECT_EQ(d.wifiVersion, "0501");
    EXPECT_EQ(d.deviceName, "Air");
    EXPECT_EQ(d.activeStatus, "1");
    EXPECT_EQ(d.deviceSsid, "midea_ac_0001");
    EXPECT_EQ(d.deviceSubType, "11");
    EXPECT_EQ(d.smartProductId, "10001");
    ASSERT_EQ(d.productInfoData.size(), 2u);  // the stray entry is skipped
    EXPECT_EQ(d.productInfoData[0]["a0"].text(), "A1");
    EXPECT_EQ(d.productInfoData[1]["sn"].text(), "S2");

    d.initContentWithDic(Dictionary{{kQKSDKConfigGroupDeviceInfo, "not an array"}});
    EXPECT_TRUE(d.productInfoData.empty());
}

TEST_F(QKDeviceContent, KeyPreferenceAndTypeCleaning) {
    struct Case {
        Value dic;
        std::string id, sn, type;
    };
    const std::vector<Case> cases = {
        {Dictionary{{"id", "1"}, {"applianceId", "2"}}, "1", "", ""},
        {Dictionary{{"id", Value::Array{}}, {"applianceId", "2"}}, "2", "", ""},
        {Dictionary{{"sn", "enc:A"}, {"applianceSn", "enc:B"}}, "", "A", ""},
        {Dictionary{{"sn", "garbage"}}, "", "", ""},  // does not decrypt: left out
        {Dictionary{{"applianceType", "0xB6"}, {"type", "0xAC"}}, "", "", "B6"},
        {Dictionary{{"type", "0XCA"}}, "", "", "CA"},
        {Dictionary{{"type", "AC"}}, "", "", "AC"},
        {Dictionary{{"type", "0"}}, "", "", "0"},
        {Dictionary{{"id", true}, {"sn", 2.5}, {"type", Dictionary{}}}, "", "", ""},
        // Record keys come after the cloud keys and are taken as they are.
        {Dictionary{{"id", "1"},
                    {kQKSDKDeviceId, "9"},
                    {kQKSDKDeviceSn, "plain"},
                    {kQKSDKDeviceType, "0xAC"}},
         "9", "plain", "0xAC"},
    };
    for (const auto& c : cases) {
        QKDevice d(c.dic);
        EXPECT_EQ(d.deviceId, c.id) << *c.dic.toJSON();
        EXPECT_EQ(d.deviceSn, c.sn) << *c.dic.toJSON();
        EXPECT_EQ(d.deviceType, c.type) << *c.dic.toJSON();
    }
}

TEST(QKDeviceContentWorkMode, SerialDecryptedWithTheWorkModeKeys) {
    registerDataSecurity();  // as TelvoSDKInitialize installs it
    resetForTesting<QKUserDefault>();
    resetForTesting<QKMiddleInterface>();
    QKUserDefault::standardUserDefaults()->setValue("10002", "sdkWorkMode");
    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("user-access-token");
    auto cipher = QKDataSecurity::sensitiveDataEncryption(std::string("SN-0001"));
    ASSERT_TRUE(cipher);
    ASSERT_NE(*cipher, "SN-0001");

    EXPECT_EQ(QKDevice(Dictionary{{"applianceSn", *cipher}}).deviceSn, "SN-0001");
    // Not decryptable (another user's key, not hex): left out, the rest is kept.
    QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("another-token");
    QKDevice other(Dictionary{{"sn", *cipher}, {"id", "1"}});
    EXPECT_NE(other.deviceSn, "SN-0001");
    EXPECT_EQ(other.deviceId, "1");
    EXPECT_EQ(QKDevice(Dictionary{{"sn", "zz"}}).deviceSn, "");

    resetForTesting<QKUserDefault>();
    resetForTesting<QKMiddleInterface>();
}

TEST(QKDeviceConfigParams, UpdateExtraParamFillsOnlyEmptyFields) {
    using Field = std::optional<std::string> QKDeviceConfigParams::*;
    struct Case {
        Field field;
        const char* key;
    };
    const std::vector<Case> fields = {
        {&QKDeviceConfigParams::countryCode, kQKSDKConfigCountryCode},
        {&QKDeviceConfigParams::timeZone, kQKSDKConfigTimeZone},
        {&QKDeviceConfigParams::regionId, kQKSDKConfigRegionID},
        {&QKDeviceConfigParams::moduleServerPort, kQKSDKConfigModuleServerPort},
        {&QKDeviceConfigParams::moduleServerDomain, kQKSDKConfigModuleServerDomain},
        {&QKDeviceConfigParams::functionType, kQKSDKConfigFunctionType},
        {&QKDeviceConfigParams::adsClusterId, kQKSDKConfigADSClusterId},
        {&QKDeviceConfigParams::adsDomain, kQKSDKConfigADSDomain},
        {&QKDeviceConfigParams::adsPort, kQKSDKConfigADSPort},
    };
    struct Start {
        std::optional<std::string> value;
        std::optional<Value> extra;  // nullopt: the extras lack the key
        std::optional<std::string> expected;
    };
    const std::vector<Start> starts = {
        {std::nullopt, Value("x"), "x"},   // absent -> filled
        {"", Value("x"), "x"},             // empty -> filled
        {"kept", Value("x"), "kept"},      // set -> kept
        {"", std::nullopt, std::nullopt},  // empty, no key -> absent
        {std::nullopt, std::nullopt, std::nullopt},
        {"", Value(8), "8"},                           // an integer as its decimal text
        {"", Value(Value::Array{"x"}), std::nullopt},  // wrong type -> absent
        {"", Value(true), std::nullopt},
        {"kept", Value(Dictionary{}), "kept"},
    };
    for (const auto& f : fields) {
        for (const auto& s : starts) {
            QKDeviceBleConfigParams params;
            params.*f.field = s.value;
            Dictionary extras;
            if (s.extra) extras.set(f.key, *s.extra);
            params.updateExtraParamWithDic(Value(extras));
            EXPECT_EQ(params.*f.field, s.expected)
                << f.key << " from " << s.value.value_or("<nil>");
        }
    }

    // No extras at all: empty fields become absent, set ones stay.
    QKDeviceBleConfigParams params;
    params.countryCode = "";
    params.timeZone = "8";
    params.updateExtraParamWithDic(Value());
    EXPECT_FALSE(params.countryCode);
    EXPECT_EQ(params.timeZone, "8");
}

TEST(QKDeviceConfigParams, UpdateExtraParamChannelListAndPasswordCheck) {
    Value::Array list = {Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                    {kQKSDKConfigChannelCount, 13},
                                    {kQKSDKConfigChannelMaxPower, 20},
                                    {kQKSDKConfigChannelDFSEnable, 0}}};
    QKDeviceApConfigParams ap;
    ap.updateExtraParamWithDic(Dictionary{{kQKSDKConfigChannelList, list}});
    EXPECT_EQ(ap.channelList, list);
    ap.updateExtraParamWithDic(Dictionary{{kQKSDKConfigChannelList, Value::Array{}}});
    EXPECT_EQ(ap.channelList, list);  // not empty: kept
    QKDeviceApConfigParams wrong;
    wrong.updateExtraParamWithDic(Dictionary{{kQKSDKConfigChannelList, "1,13"}});
    EXPECT_FALSE(wrong.channelList);
    // An empty list takes the extras' list, even an empty one, and is absent without one.
    QKDeviceApConfigParams empty;
    empty.channelList.emplace();
    empty.updateExtraParamWithDic(Dictionary{{kQKSDKConfigChannelList, Value::Array{}}});
    EXPECT_EQ(empty.channelList, Value::Array{});
    empty.updateExtraParamWithDic(Value());
    EXPECT_FALSE(empty.channelList);

    struct Case {
        std::optional<Value> value;
        bool expected;
    };
    const std::vector<Case> cases = {
        {Value(false), false},
        {Value(0), false},
        {Value("0"), false},
        {Value(true), true},
        {Value(1), true},
        {std::nullopt, true},
        {Value(Value::Array{}), true},
        {Value(Dictionary{}), true},
        {Value(), true},
    };
    for (const auto& c : cases) {
        QKDeviceBleConfigParams params;
        params.checkPasswordEnable = true;
        Dictionary extras;
        if (c.value) extras.set(kQKSDKConfigNeedCheckPassword, *c.value);
        params.updateExtraParamWithDic(Value(extras));
        EXPECT_EQ(params.checkPasswordEnable, c.expected)
            << (c.value ? c.value->toJSON().value_or("?") : "<absent>");
    }
}

}  // namespace
}  // namespace telvo

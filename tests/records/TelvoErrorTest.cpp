#include "telvosdk/TelvoError.h"

#include <gtest/gtest.h>

#include <vector>

namespace telvo {
namespace {

TEST(TelvoError, CompositeCodes) {
    struct Case {
        int64_t type, src, code, composite;
    };
    const std::vector<Case> cases = {
        {1, 1, 4003, 114003},     {1, 1, 4020, 114020},     {1, 1, 4123, 114123},
        {3, 1, 9000, 319000},     {3, 1, 9002, 319002},     {3, 1, 9003, 319003},
        {3, 3, 9999, 339999},     {3, 4, 10000, 3410000},   {2, 1, 6002, 216002},
        {3, 1, 319003, 31319003}, {1, 1, 1, 110001},        {1, 1, -1, 109999},
        {3, 4, 4000000000LL, 344000000000LL},
        // Beyond 64 bits the plain code is kept.
        {3, 4, 9000000000000000000LL, 9000000000000000000LL},
        {3, 4, INT64_MIN, INT64_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(TelvoError::compositeCode(c.type, c.src, c.code), c.composite);
        auto error = TelvoError::errorWithType(c.type, c.src, c.code, "m");
        EXPECT_EQ(error->code(), c.composite);
        EXPECT_EQ(error->domain(), "TelvoError");
        EXPECT_EQ(error->localizedDescription(), "m");
    }
}

TEST(TelvoError, FactoriesTakeTheTableText) {
    auto e = TelvoError::configNetErrorWithCode(4020);
    EXPECT_EQ(e->code(), 114020);
    EXPECT_EQ(e->domain(), "TelvoError");
    EXPECT_EQ(e->localizedDescription(), "Set password and SSID wrong SSID");

    e = TelvoError::sdkErrorWithType(3, 9003);
    EXPECT_EQ(e->code(), 319003);
    EXPECT_EQ(e->localizedDescription(), "Network is not available");

    e = TelvoError::sdkErrorWithType(1, 4082);  // no text
    EXPECT_EQ(e->code(), 114082);
    EXPECT_EQ(e->localizedDescription(), "");

    EXPECT_EQ(TelvoError::errorWithType(3, 1, 9000, std::nullopt)->localizedDescription(), "");
}

TEST(TelvoError, CodeZeroIsTheSharedSuccess) {
    auto success = TelvoError::sucError();
    EXPECT_EQ(success->code(), 0);
    EXPECT_EQ(success->domain(), "TelvoError");
    EXPECT_EQ(success->localizedDescription(), "Executed Successfully.");
    EXPECT_EQ(TelvoError::sucError(), success);
    EXPECT_EQ(TelvoError::errorWithType(1, 1, 0, "ignored"), success);
    EXPECT_EQ(TelvoError::sdkErrorWithType(3, 0), success);
    EXPECT_EQ(TelvoError::configNetErrorWithCode(0), success);
}

TEST(TelvoError, CodeForSDKError) {
    struct Case {
        ErrorPtr error;
        int64_t plain;
    };
    const std::vector<Case> cases = {
        {TelvoError::configNetErrorWithCode(4020), 4020},
        {TelvoError::sdkErrorWithType(3, 9999), 9999},
        {TelvoError::errorWithType(3, 4, 10000, ""), 10000},
        {TelvoError::errorWithType(3, 1, 319003, ""), 319003},
        {TelvoError::sucError(), 0},
        {nullptr, 0},
        {makeError("Other", 12, ""), -1},   // text shorter than 3
        {makeError("Other", -5, ""), -1},
        {makeError("Other", 123, ""), 3},
        {makeError("Other", -1234, ""), 234},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelvoError::codeForSDKError(c.error), c.plain)
            << (c.error ? c.error->code() : 0);
    }
}

TEST(TelvoError, UserInfoIsExtendable) {
    auto base = TelvoError::configNetErrorWithCode(4089);
    auto extended = base->withUserInfo("errorSubType", "checkApTimeOut")
                        ->withUserInfo("udpBroadMsg", Dictionary{{"deviceSn", "x"}});
    EXPECT_EQ(extended->code(), base->code());
    EXPECT_EQ(extended->domain(), "TelvoError");
    EXPECT_EQ(extended->localizedDescription(), "BLE time out");
    EXPECT_EQ(extended->userInfo()["errorSubType"].text(), "checkApTimeOut");
    EXPECT_EQ(extended->userInfo()["udpBroadMsg"]["deviceSn"].text(), "x");
    EXPECT_FALSE(base->userInfo().dictionary().contains("errorSubType"));
}

TEST(TelvoError, MessageTable) {
    // Every coded row has a text.
    std::vector<int64_t> coded = {0, 1307, 1321, 4006, 4007, 4011, 4012, 4013, 4014, 4019, 4020,
                                  4021, 4022, 4023, 4024, 4025, 4029, 4030, 4031, 4032, 4051, 4052,
                                  4053, 4056, 4058, 4059, 4060, 4061, 4062, 4063, 4064, 4065, 4066,
                                  4085, 4086, 4087, 4089, 4090, 4094, 4096, 4097, 4098, 4099, 4100,
                                  4101, 4115, 4116, 4117, 4118, 4119, 4120, 4121, 4122, 4123, 4124,
                                  4125, 4127, 4128, 4129, 4135, 4136, 4137, 4138, 4139, 4140, 4141,
                                  4142, 4143, 4144, 4145, 4146, 4168, 4169, 6002, 8000, 9000, 9002,
                                  9003};
    for (int64_t code : coded) {
        auto text = TelvoError::desWithSDKErrorCode(code);
        ASSERT_TRUE(text) << code;
        EXPECT_FALSE(text->empty()) << code;
    }

    // Texts as the flows and the app see them, trailing blanks included.
    const std::vector<std::pair<int64_t, std::string>> exact = {
        {4053, "BLE send wifi info unknown reply"},
        {4085, "BLE connect peripheral fail"},
        {4096, "BLE send wifi info param different"},
        {4097, "BLE send wifi info param wrong"},
        {4100, "BLE router auth error"},
        {4116, "BLE scan channel fail module reply 0x11"},
        {4121, "BLE scan channel fail module reply 0x16"},
        {4140, "BLE module server port error"},
        {4141, "BLE module server port error"},
        {4143, "BLE function type peripheral"},
        {4168, "The appliance is report ble_find_lan_online "},
        {4169, "The appliance is report ap_find_lan_online "},
        {6002, "Data sending is timeout"},
        {8000, "Invalid Parameter"},
        {9000, "Error back result from K-Cloud"},
        {9002, "Net request time out"},
    };
    for (const auto& [code, text] : exact) EXPECT_EQ(TelvoError::desWithSDKErrorCode(code), text);

    // Codes without text give "" in an error.
    std::vector<int64_t> noText = {-1, 4000, 4055, 4082, 4147, 4149, 4160, 4164, 4165, 4166,
                                   9998, 9999, 1, 4001};
    for (int64_t code = 4170; code <= 4192; ++code) noText.push_back(code);
    for (int64_t code : noText) {
        EXPECT_FALSE(TelvoError::desWithSDKErrorCode(code)) << code;
        EXPECT_EQ(TelvoError::configNetErrorWithCode(code)->localizedDescription(), "") << code;
    }
}

}  // namespace
}  // namespace telvo

#include <gtest/gtest.h>

#include <vector>

#include "telvosdk/TelvoError.h"

namespace telvo {
namespace {

TEST(TelvoError, CompositeCodes) {
    struct Case {
        int64_t type, src, code, composite;
    };
    const std::vector<Case> cases = {
        {1, 1, 4003, 114003},
        {3, 1, 9000, 319000},
        {3, 3, 9999, 339999},
        {3, 4, 10000, 3410000},
        {2, 1, 6002, 216002},
        {3, 1, 319003, 31319003},
        {1, 1, 1, 110001},
        {1, 1, -1, 109999},
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

TEST(TelvoError, FactoriesTakeTheTableTextAndZeroIsTheSharedSuccess) {
    auto e = TelvoError::configNetErrorWithCode(4020);
    EXPECT_EQ(e->code(), 114020);
    EXPECT_EQ(e->domain(), "TelvoError");
    EXPECT_EQ(e->localizedDescription(), "Set password and SSID wrong SSID");
    e = TelvoError::sdkErrorWithType(1, 4082);  // no text
    EXPECT_EQ(e->code(), 114082);
    EXPECT_EQ(e->localizedDescription(), "");
    EXPECT_EQ(TelvoError::errorWithType(3, 1, 9000, std::nullopt)->localizedDescription(), "");

    // Code 0 is the one shared success, whatever the factory.
    auto success = TelvoError::sucError();
    EXPECT_EQ(success->code(), 0);
    EXPECT_EQ(success->domain(), "TelvoError");
    EXPECT_EQ(success->localizedDescription(), "Executed Successfully.");
    EXPECT_EQ(TelvoError::sucError(), success);
    EXPECT_EQ(TelvoError::errorWithType(1, 1, 0, "ignored"), success);
    EXPECT_EQ(TelvoError::sdkErrorWithType(3, 0), success);
    EXPECT_EQ(TelvoError::configNetErrorWithCode(0), success);
}

// The codes an app meets most have a text; the key agreement's and a few others carry theirs in
// the error alone, or none.
TEST(TelvoError, WhichCodesHaveATableText) {
    for (int64_t code : {0, 4006, 4007, 4011, 4013, 4030, 4031, 4051, 4085, 4089, 4090, 4122, 6002,
                         8000, 9000, 9002, 9003})
        EXPECT_TRUE(TelvoError::desWithSDKErrorCode(code)) << code;
    for (int64_t code : {4000, 4170, 4182, 4183, 4184, 4185, 4188, 9999})
        EXPECT_EQ(TelvoError::desWithSDKErrorCode(code), std::nullopt) << code;
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
        {makeError("Other", 12, ""), -1},  // text shorter than 3
        {makeError("Other", -5, ""), -1},
        {makeError("Other", 123, ""), 3},
        {makeError("Other", -1234, ""), 234},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelvoError::codeForSDKError(c.error), c.plain) << (c.error ? c.error->code() : 0);
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

}  // namespace
}  // namespace telvo

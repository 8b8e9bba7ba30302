#include <gtest/gtest.h>

#include "logging/LogMask.h"

namespace telvo {
namespace {

TEST(LogMask, SecretsShowKindAndLengthOnly) {
    struct Case {
        const char* name;
        std::string masked, expected;
    } cases[] = {
        {"text", maskedSecret("password", std::string("hunter22")), "password(8 bytes)********"},
        {"empty", maskedSecret("password", std::string()), "password(0 bytes)"},
        {"none", maskedSecret("password", std::optional<std::string>()), "password(none)"},
        {"body", maskedBody(Bytes{1, 2, 3}), "(3 bytes)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.masked, c.expected) << c.name;
}

// Values under a key that names a secret are masked at any depth, inside arrays too; other
// values stay readable; bytes never show.
TEST(LogMask, JsonMasksSecretKeysAtAnyDepth) {
    const Value value(Dictionary{
        {"homeSSID", "HomeNet"},
        {"homePwd", "hunter22"},
        {"extraDic", Dictionary{{"accessToken", "tok-123456"}, {"familyId", "42"}}},
        {"list", Value::Array{Dictionary{{"random", 1234567}, {"sn", "SN1"}}}},
        {"bindCode", Value::Array{"0123456789abcdef"}},
        {"blob", Bytes{0xde, 0xad, 0xbe, 0xef}},
        {"headers", Dictionary{{"Authorization", "Bearer abc.def.ghi"},
                               {"Cookie", "sid=s3ss10n"},
                               {"X-Session-Id", "8f1e2d3c"},
                               {"Proxy-Credentials", "user:pw1234"},
                               {"Accept", "application/json"}}},
        {"authenticationEnable", true},
        {"bearer", "b3arer-v4lue"},
        {"idJWT", "eyJhbGciOi.jwt-payload"},
        {"X-Bearer-Proof", Value::Array{"pr00f-1"}},
        {"jwtClaims", Dictionary{{"sub", "us3r-77"}}},
    });
    const std::string json = maskedJSON(value);
    for (const char* hidden : {"hunter22", "tok-123456", "1234567", "0123456789abcdef", "deadbeef",
                               "3q2+7w==", "abc.def.ghi", "s3ss10n", "8f1e2d3c", "pw1234",
                               "b3arer-v4lue", "jwt-payload", "pr00f-1", "us3r-77"})
        EXPECT_EQ(json.find(hidden), std::string::npos) << hidden << " in " << json;
    // Flags stay readable under a secret-looking key: they carry no secret.
    for (const char* shown : {"HomeNet", "\"familyId\":\"42\"", "SN1", "homePwd", "(8 bytes)",
                              "application/json", "\"authenticationEnable\":true"})
        EXPECT_NE(json.find(shown), std::string::npos) << shown << " not in " << json;
}

// "otp" and "pin" name a secret at the end of a key, in any case, whatever the value's kind and
// depth; inside another word they do not.
TEST(LogMask, OneTimePasswordsAndPinsAreMasked) {
    const struct {
        const char* key;
        bool masked;
    } cases[] = {
        {"otp", true},        {"OTP", true},       {"smsOtp", true},   {"pin", true},
        {"PIN", true},        {"devicePin", true}, {"wps_pin", true},  {"shipping", false},
        {"footprint", false}, {"pinyin", false},   {"spinner", false}, {"otpHint", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        for (const Value& value :
             {Value("493817"), Value(int64_t{493817}), Value(Value::Array{"493817"})}) {
            const std::string flat = maskedJSON(Value(Dictionary{{c.key, value}}));
            const std::string nested =
                maskedJSON(Value(Dictionary{{"extras", Value::Array{Dictionary{{c.key, value}}}}}));
            for (const std::string& json : {flat, nested}) {
                EXPECT_EQ(json.find("493817") == std::string::npos, c.masked) << json;
                EXPECT_NE(json.find(c.key), std::string::npos) << json;
            }
        }
    }
}

}  // namespace
}  // namespace telvo

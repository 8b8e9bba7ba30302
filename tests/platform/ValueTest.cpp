#include <gtest/gtest.h>

#include "telvosdk/Value.h"

namespace telvo {
namespace {

TEST(ValueJson, ExactIntegersAndNulsSurviveRoundTrip) {
    const std::string json =
        R"([9223372036854775807,18446744073709551615,-9223372036854775808,"a\u0000b",1.5])";
    auto v = Value::fromJSON(json);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->at(0).int64Value(), INT64_MAX);
    EXPECT_EQ(v->at(1).uint64Value(), UINT64_MAX);
    EXPECT_EQ(v->at(2).int64Value(), INT64_MIN);
    EXPECT_EQ(v->at(3).text(), std::string("a\0b", 3));
    EXPECT_EQ(v->toJSON().value(), json);
}

TEST(ValueJson, KeyOrderKeptAndOutputCompact) {
    auto v = Value::fromJSON(R"({ "z": 1, "a": {"y": [true, null], "b": "t"} })");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dictionary().keys(), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(v->toJSON().value(), R"({"z":1,"a":{"y":[true,null],"b":"t"}})");
}

TEST(ValueJson, RefusesFragmentsBadUtf8AndGarbage) {
    for (const std::string& bad :
         std::vector<std::string>{"42", "\"text\"", "null", "[1,2", "{\"a\":1} x", "[\"\xC3\x28\"]",
                                  "[\"\xFF\"]", std::string(600, '[') + std::string(600, ']')}) {
        std::string error;
        EXPECT_FALSE(Value::fromJSON(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ValueJson, UnrepresentableValuesGiveNoText) {
    EXPECT_FALSE(Value(Value::Array{Value(Bytes{1, 2})}).toJSON());
    EXPECT_FALSE(Value(Value::Array{Value(std::string("\xFF"))}).toJSON());
}

struct Handle {
    int id = 3;
};

TEST(ValueAccess, WrongTypesAnswerWithDefaultsAndHandlesAreTyped) {
    Value dict = Dictionary{{"n", 7}, {"s", "12abc"}, {"b", true}, {"t", "yes"}};
    EXPECT_EQ(dict["n"].text(), "");
    EXPECT_EQ(dict["n"].stringValue(), "7");
    EXPECT_EQ(dict["s"].int64Value(), 12);
    EXPECT_TRUE(dict["t"].boolValue());
    EXPECT_EQ(dict["missing"]["deeper"].int64Value(), 0);
    EXPECT_TRUE(dict.at(3).isNull());
    EXPECT_FALSE(dict["s"].optionalText() == std::nullopt);
    EXPECT_EQ(dict["n"].optionalText(), std::nullopt);
    EXPECT_EQ(Value("-5").uint64Value(), static_cast<uint64_t>(-5));
    auto h = std::make_shared<Handle>();
    EXPECT_EQ(Value::object(h).objectAs<Handle>(), h);
    EXPECT_EQ(Value::object(h).objectAs<int>(), nullptr);
}

// A text's leading number: blanks and one sign first, digits up to the first other character,
// saturating beyond the range of the type asked for.
TEST(ValueAccess, TextsReadAsTheirLeadingNumber) {
    const struct {
        const char* text;
        int64_t asInt;
        uint64_t asUInt;
    } cases[] = {
        {"0", 0, 0},
        {"-0", 0, 0},
        {"  \t+42x", 42, 42},
        {"000000000000000000000000000000017", 17, 17},
        {"9223372036854775807", INT64_MAX, 9223372036854775807u},
        {"9223372036854775808", INT64_MAX, 9223372036854775808u},
        {"-9223372036854775807", -INT64_MAX, static_cast<uint64_t>(-INT64_MAX)},
        {"-9223372036854775808", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"-9223372036854775809", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"18446744073709551615", INT64_MAX, UINT64_MAX},
        {"18446744073709551616", INT64_MAX, UINT64_MAX},
        {"-123456789012345678901234567890", INT64_MIN, static_cast<uint64_t>(INT64_MIN)},
        {"x1", 0, 0},
        {"- 1", 0, 0},
        {"", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Value(c.text).int64Value(), c.asInt) << c.text;
        EXPECT_EQ(Value(c.text).uint64Value(), c.asUInt) << c.text;
    }
}

TEST(ValueAccess, DictionaryReplacesInPlaceAndErases) {
    Dictionary d{{"a", 1}, {"b", 2}, {"c", 3}};
    d.set("a", 10);
    EXPECT_TRUE(d.erase("b"));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(d["a"].int64Value(), 10);
}

// Entries added last (as discovery adds the device id and the datagram) are found, kept in
// order and replaced like any other, in a small (scanned) dictionary and in one large enough to
// keep an index.
TEST(ValueAccess, EntriesAddedLastBehaveAsOthers) {
    for (size_t before : {size_t{0}, size_t{3}, size_t{39}, size_t{45}}) {
        Dictionary appended;
        std::vector<std::string> keys;
        for (size_t i = 0; i < before; ++i) {
            appended.set("k" + std::to_string(i), int(i));
            keys.push_back("k" + std::to_string(i));
        }
        appended.set("id", "77");
        appended.set("data", Bytes{1, 2, 3});
        keys.push_back("id");
        keys.push_back("data");
        EXPECT_EQ(appended.keys(), keys) << before;
        EXPECT_EQ(appended["id"].text(), "77") << before;
        EXPECT_EQ(appended["data"].bytes(), (Bytes{1, 2, 3})) << before;
        appended.set("id", "78");
        EXPECT_EQ(appended.size(), before + 2) << before;
        EXPECT_EQ(appended["id"].text(), "78") << before;
        EXPECT_TRUE(appended.erase("id")) << before;
        EXPECT_FALSE(appended.contains("id")) << before;
        EXPECT_EQ(appended["data"].bytes(), (Bytes{1, 2, 3})) << before;
        if (before) {
            EXPECT_EQ(appended["k0"].intValue(), 0) << before;
        }
    }
}

}  // namespace
}  // namespace telvo

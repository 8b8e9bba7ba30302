#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/dbus/DBusMessage.h"
#include "platform/dbus/DBusValue.h"
#include "sim/DBusMessageLab.h"
#include "sim/NetworkManagerMock.h"

namespace telvo {
namespace {

using V = DBusValue;

// One value of every basic kind, with its type code.
std::vector<std::pair<char, V>> oneOfEach() {
    return {
        {'y', V::ofByte(7)},       {'b', V::ofBool(true)},       {'n', V::ofInt16(-7)},
        {'q', V::ofUInt16(7)},     {'i', V::ofInt32(-7)},        {'u', V::ofUInt32(7)},
        {'x', V::ofInt64(-7)},     {'t', V::ofUInt64(7)},        {'d', V::ofDouble(0.5)},
        {'s', V::ofString("s")},   {'o', V::ofObjectPath("/o")}, {'g', V::ofSignature("a{sv}")},
        {'B', V::ofBytes({1, 2})}, {'S', V::stringArray({"a"})}, {'O', V::objectPathArray({"/a"})}};
}

// Which typed lookup answers, by the code above.
std::vector<std::pair<char, std::function<bool(const V&)>>> lookups() {
    return {{'y', [](const V& v) { return v.asByte().has_value(); }},
            {'b', [](const V& v) { return v.asBool().has_value(); }},
            {'n', [](const V& v) { return v.asInt16().has_value(); }},
            {'q', [](const V& v) { return v.asUInt16().has_value(); }},
            {'i', [](const V& v) { return v.asInt32().has_value(); }},
            {'u', [](const V& v) { return v.asUInt32().has_value(); }},
            {'x', [](const V& v) { return v.asInt64().has_value(); }},
            {'t', [](const V& v) { return v.asUInt64().has_value(); }},
            {'d', [](const V& v) { return v.asDouble().has_value(); }},
            {'s', [](const V& v) { return v.asString().has_value(); }},
            {'o', [](const V& v) { return v.asObjectPath().has_value(); }},
            {'g', [](const V& v) { return v.asSignature().has_value(); }},
            {'B', [](const V& v) { return v.asBytes().has_value(); }},
            {'S', [](const V& v) { return v.asStringArray().has_value(); }},
            {'O', [](const V& v) { return v.asObjectPathArray().has_value(); }}};
}

TEST(DBusValue, EachTypedLookupAnswersOnlyItsOwnTypeAlsoThroughVariants) {
    for (const auto& [code, value] : oneOfEach()) {
        for (const auto& wrapped : {value, V::variant(value), V::variant(V::variant(value))}) {
            for (const auto& [lookupCode, answers] : lookups())
                EXPECT_EQ(answers(wrapped), lookupCode == code)
                    << "value " << code << " lookup " << lookupCode;
        }
    }
    // The absent value and the containers answer none.
    for (const auto& value : {V(), V::structure({V::ofByte(1)}), V::variant(V())})
        for (const auto& [lookupCode, answers] : lookups()) EXPECT_FALSE(answers(value));
}

TEST(DBusValue, AnyIntegerWithinInt64) {
    struct Case {
        V value;
        std::optional<int64_t> expected;
    };
    const std::vector<Case> cases = {
        {V::ofByte(255), 255},
        {V::ofInt16(-32768), -32768},
        {V::ofUInt16(65535), 65535},
        {V::ofInt32(std::numeric_limits<int32_t>::min()), std::numeric_limits<int32_t>::min()},
        {V::ofUInt32(4294967295u), 4294967295LL},
        {V::ofInt64(std::numeric_limits<int64_t>::min()), std::numeric_limits<int64_t>::min()},
        {V::ofUInt64(uint64_t(std::numeric_limits<int64_t>::max())),
         std::numeric_limits<int64_t>::max()},
        {V::ofUInt64(uint64_t(std::numeric_limits<int64_t>::max()) + 1), std::nullopt},
        {V::variant(V::ofInt16(-5)), -5},
        {V::ofBool(true), std::nullopt},
        {V::ofDouble(1), std::nullopt},
        {V::ofString("1"), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.asInteger(), c.expected) << c.value.signature();
}

TEST(DBusValue, DictionaryAndIndexLookupsGiveTheAbsentValueWhenMissingOrMistyped) {
    const V props = V::propertyMap({{"Ssid", V::ofBytes({'H', 'i'})},
                                    {"Strength", V::ofByte(82)},
                                    {"Nested", V::propertyMap({{"Inner", V::ofString("x")}})}});
    EXPECT_EQ(props.at("Ssid").asBytes(), (Bytes{'H', 'i'}));
    EXPECT_EQ(props.at("Strength").asByte(), 82);
    EXPECT_EQ(props.at("Nested").at("Inner").asString(), "x");
    // Missing keys, wrong types and lookups on non-dictionaries chain to nothing.
    EXPECT_FALSE(props.at("Frequency").isValid());
    EXPECT_FALSE(props.at("Strength").asUInt32());
    EXPECT_FALSE(props.at("Missing").at("Deeper").at(3).asString());
    EXPECT_FALSE(V::ofString("x").at("x").isValid());
    EXPECT_FALSE(V::stringArray({"a"}).at("a").isValid());
    EXPECT_FALSE(props.at(size_t(99)).isValid());
    EXPECT_EQ(V::stringArray({"a", "b"}).at(1).asString(), "b");
    // Object-path keys, as an object manager's answer has them, and variant keys.
    const V objects =
        V::dictionary("o", "a{sa{sv}}",
                      {{V::ofObjectPath("/org/bluez/hci0"),
                        V::dictionary("s", "a{sv}",
                                      {{V::ofString("org.bluez.Adapter1"),
                                        V::propertyMap({{"Powered", V::ofBool(true)}})}})}});
    EXPECT_EQ(objects.at("/org/bluez/hci0").at("org.bluez.Adapter1").at("Powered").asBool(), true);
    const V variantKeys = V::dictionary("v", "u", {{V::variant(V::ofString("k")), V::ofUInt32(3)}});
    EXPECT_EQ(variantKeys.at("k").asUInt32(), 3u);
    // A mistyped array of strings answers nothing rather than part of it.
    EXPECT_FALSE(V::array("s", {V::ofString("a"), V::ofUInt32(1)}).asStringArray());
}

TEST(DBusValue, SignaturesAreValidatedWithTheWireFormatsNesting) {
    const std::string arrays32(32, 'a'), arrays33(33, 'a');
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {"y", true},
        {"a{sv}", true},
        {"a{oa{sa{sv}}}", true},
        {"(i(sv)ay)", true},
        {"aav", true},
        {"sa{sv}as", true},
        {arrays32 + "y", true},
        {std::string(32, '(') + "y" + std::string(32, ')'), true},
        {"a", false},
        {"(", false},
        {"()", false},
        {"{sv}", false},
        {"a{vs}", false},
        {"a{s}", false},
        {"a{sss}", false},
        {"(ss", false},
        {"z", false},
        {arrays33 + "y", false},
        {std::string(33, '(') + "y" + std::string(33, ')'), false},
        {std::string(256, 'y'), false},
    };
    for (const auto& [signature, valid] : cases)
        EXPECT_EQ(V::splitSignature(signature).has_value(), valid) << signature;
    EXPECT_EQ(*V::splitSignature("sa{sv}(ii)"),
              (std::vector<std::string_view>{"s", "a{sv}", "(ii)"}));
    EXPECT_EQ(V::completeTypeLength("a{sv}s"), 5u);
}

class DBusValueOnMessages : public ::testing::Test {
  protected:
    // Writes values with signature into a message and reads them back as a receiver would.
    bool roundTrip(const std::string& signature, const std::vector<V>& values, std::vector<V>& out,
                   DBusError& error, const DBusReadLimits& limits = {}) {
        sd_bus_message* m = lab_.newMessage();
        EXPECT_NE(m, nullptr);
        bool ok = appendDBusArguments(m, signature, values, error) &&
                  test::DBusMessageLab::seal(m) && readDBusArguments(m, out, error, limits);
        sd_bus_message_unref(m);
        return ok;
    }
    test::DBusMessageLab lab_;
};

TEST_F(DBusValueOnMessages, EveryTypeRoundTrips) {
    Bytes allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(uint8_t(i));
    const std::vector<std::pair<std::string, V>> cases = {
        {"y", V::ofByte(255)},
        {"b", V::ofBool(false)},
        {"n", V::ofInt16(std::numeric_limits<int16_t>::min())},
        {"q", V::ofUInt16(65535)},
        {"i", V::ofInt32(std::numeric_limits<int32_t>::min())},
        {"u", V::ofUInt32(4294967295u)},
        {"x", V::ofInt64(std::numeric_limits<int64_t>::min())},
        {"t", V::ofUInt64(std::numeric_limits<uint64_t>::max())},
        {"d", V::ofDouble(-1.25e300)},
        {"d", V::ofDouble(std::numeric_limits<double>::quiet_NaN())},
        {"s", V::ofString("")},
        {"s", V::ofString("H\xC3\xA4usle \xE2\x9C\x93")},
        {"o", V::ofObjectPath("/org/freedesktop/NetworkManager/AccessPoint/7")},
        {"g", V::ofSignature("a{oa{sa{sv}}}")},
        {"ay", V::ofBytes(allBytes)},
        {"ay", V::ofBytes({})},
        {"as", V::stringArray({})},
        {"ao", V::objectPathArray({"/a", "/b"})},
        {"a{sv}", V::propertyMap({})},
        {"a{sv}", V::propertyMap({{"Ssid", V::ofBytes({0, 1})}, {"Mode", V::ofUInt32(2)}})},
        {"v", V::variant(V::variant(V::ofString("twice")))},
        {"(ia(sv)ay)",
         V::structure(
             {V::ofInt32(1),
              V::array("(sv)", {V::structure({V::ofString("k"), V::variant(V::ofByte(1))})}),
              V::ofBytes({9})})},
        {"a{oa{sa{sv}}}",
         V::dictionary(
             "o", "a{sa{sv}}",
             {{V::ofObjectPath("/x"),
               V::dictionary("s", "a{sv}",
                             {{V::ofString("i.f"), V::propertyMap({{"P", V::ofInt64(-1)}})}})}})},
        {"aav", V::array("av", {V::array("v", {V::variant(V::ofBool(true))}), V::array("v", {})})},
        {"a{yt}", V::dictionary("y", "t", {{V::ofByte(1), V::ofUInt64(2)}})},
    };
    for (const auto& [signature, value] : cases) {
        std::vector<V> out;
        DBusError error;
        ASSERT_TRUE(roundTrip(signature, {value}, out, error))
            << signature << ": " << error.message;
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], value) << signature;
        EXPECT_EQ(out[0].signature(), signature);
    }
}

TEST_F(DBusValueOnMessages, AnyValueStandsForAVariant) {
    std::vector<V> out;
    DBusError error;
    ASSERT_TRUE(roundTrip(
        "va{sv}", {V::ofUInt32(5), V::dictionary("s", "v", {{V::ofString("k"), V::ofByte(1)}})},
        out, error))
        << error.message;
    EXPECT_EQ(out[0], V::variant(V::ofUInt32(5)));
    EXPECT_EQ(out[1].at("k"), V::variant(V::ofByte(1)));
}

TEST_F(DBusValueOnMessages, ValuesThatDoNotFitTheSignatureAreRefused) {
    const std::vector<std::tuple<std::string, std::vector<V>, std::string>> cases = {
        {"u", {V::ofInt32(1)}, "another basic type"},
        {"s", {V::ofObjectPath("/a")}, "a path for a string"},
        {"as", {V::array("s", {V::ofUInt32(1)})}, "a mistyped element"},
        {"as", {V::objectPathArray({"/a"})}, "another element type"},
        {"(is)", {V::structure({V::ofInt32(1)})}, "a field short"},
        {"a{sv}", {V::array("{sv}", {V::ofString("k")})}, "an element that is no entry"},
        {"o", {V::ofObjectPath("not/a/path")}, "an invalid path"},
        {"g", {V::ofSignature("a{")}, "an invalid signature"},
        {"s", {V::ofString(std::string("a\0b", 3))}, "a NUL in a string"},
        {"s", {V::ofString("\xff\xfe")}, "invalid UTF-8"},
        {"v", {V()}, "nothing in a variant"},
        {"h", {V::ofUInt32(3)}, "a unix descriptor"},
        {"ss", {V::ofString("one")}, "a value short"},
        {"s", {V::ofString("a"), V::ofString("b")}, "a value too many"},
        {"a", {V::ofString("a")}, "an invalid signature"},
    };
    for (const auto& [signature, values, what] : cases) {
        std::vector<V> out;
        DBusError error;
        EXPECT_FALSE(roundTrip(signature, values, out, error)) << what;
        EXPECT_EQ(error.name, DBusError::kInvalidArgs) << what << ": " << error.message;
    }
}

TEST_F(DBusValueOnMessages, ReadingStopsAtTheLimits) {
    V deep = V::ofByte(1);
    for (int i = 0; i < 10; ++i) deep = V::variant(deep);
    const std::vector<std::tuple<std::string, V, DBusReadLimits>> cases = {
        {"v", deep, DBusReadLimits{8, 1000, 1000}},
        {"as", V::stringArray(std::vector<std::string>(20, "x")), DBusReadLimits{64, 10, 1000}},
        {"s", V::ofString(std::string(33, 'x')), DBusReadLimits{64, 10, 32}},
        {"ay", V::ofBytes(Bytes(33, 1)), DBusReadLimits{64, 10, 32}},
        {"as", V::stringArray({"0123456789", "0123456789", "0123456789", "0123"}),
         DBusReadLimits{64, 10, 32}},
    };
    for (const auto& [signature, value, limits] : cases) {
        std::vector<V> out;
        DBusError error;
        EXPECT_FALSE(roundTrip(signature, {value}, out, error, limits)) << signature;
        EXPECT_EQ(error.name, DBusError::kLimitsExceeded) << signature;
        EXPECT_TRUE(out.empty());
    }
    // Just within the limits.
    std::vector<V> out;
    DBusError error;
    EXPECT_TRUE(roundTrip("ay", {V::ofBytes(Bytes(32, 1))}, out, error, DBusReadLimits{64, 1, 32}));
}

TEST_F(DBusValueOnMessages, WhatAnAnswerBuildsIsBoundedByDefault) {
    // Within the value and content bounds, 200,000 texts of 60 bytes would take some 40 MB as
    // values: refused.
    std::vector<V> out;
    DBusError error;
    EXPECT_FALSE(roundTrip("as",
                           {V::stringArray(std::vector<std::string>(200000, std::string(60, 'x')))},
                           out, error));
    EXPECT_EQ(error.name, DBusError::kLimitsExceeded);
    EXPECT_TRUE(out.empty());
    // NetworkManager's list of a host that hears 400 access points is read whole.
    EXPECT_TRUE(
        roundTrip("a{oa{sa{sv}}}", {test::NetworkManagerMock::accessPointList(400)}, out, error))
        << error.message;
}

}  // namespace
}  // namespace telvo

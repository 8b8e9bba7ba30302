#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/QKSDKExtention.h"
#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "core/TelvoTool.h"
#include "sim/TestPrelude.h"

namespace telvo {
namespace {

using OptText = std::optional<std::string>;
using OptBytes = std::optional<Bytes>;
using HexReader = std::optional<Bytes> (*)(const OptText&);

struct HexCase {
    const char* name;
    HexReader reader;
    OptText input;
    OptBytes expected;
};

// The hex readers differ in how they treat nil, empty, odd and foreign characters.
TEST(HexReaders, EachReaderKeepsItsOwnRules) {
    const auto none = std::nullopt;
    const std::vector<HexCase> cases = {
        {"SF.dataForHexString nil", QKStringFormat::dataForHexString, none, none},
        {"SF.dataForHexString empty", QKStringFormat::dataForHexString, "", Bytes{}},
        {"SF.dataForHexString case", QKStringFormat::dataForHexString, "0aFf", hex("0aff")},
        {"SF.dataForHexString odd", QKStringFormat::dataForHexString, "abc", hex("ab0c")},
        {"SF.dataForHexString non-hex", QKStringFormat::dataForHexString, "zz1g", hex("0001")},

        {"SF.dataFromHexString nil", QKStringFormat::dataFromHexString, none, none},
        {"SF.dataFromHexString empty", QKStringFormat::dataFromHexString, "", none},
        {"SF.dataFromHexString case", QKStringFormat::dataFromHexString, "0A:Bc", hex("0abc")},
        {"SF.dataFromHexString odd", QKStringFormat::dataFromHexString, "abc", hex("ab")},
        {"SF.dataFromHexString skips", QKStringFormat::dataFromHexString, "x-12 zz3", hex("12")},
        {"SF.dataFromHexString pair tail", QKStringFormat::dataFromHexString, "ag", hex("0a")},

        {"QT.convertHexStrToData nil", QKTool::convertHexStrToData, none, none},
        {"QT.convertHexStrToData empty", QKTool::convertHexStrToData, "", none},
        {"QT.convertHexStrToData odd", QKTool::convertHexStrToData, "0A0b7", hex("0a0b07")},
        {"QT.convertHexStrToData non-hex", QKTool::convertHexStrToData, "g1", hex("00")},

        {"QT.dataFromHexString nil", QKTool::dataFromHexString, none, none},
        {"QT.dataFromHexString empty", QKTool::dataFromHexString, "", none},
        {"QT.dataFromHexString case", QKTool::dataFromHexString, "AABBcc", hex("aabbcc")},
        {"QT.dataFromHexString odd", QKTool::dataFromHexString, "abc", hex("ab")},

        {"QT.dataForHexString nil", QKTool::dataForHexString, none, none},
        {"QT.dataForHexString empty", QKTool::dataForHexString, "", Bytes{}},
        {"QT.dataForHexString case", QKTool::dataForHexString, "AbcD", hex("abcd")},
        {"QT.dataForHexString odd", QKTool::dataForHexString, "12a", hex("12a0")},
        {"QT.dataForHexString non-hex", QKTool::dataForHexString, "1gz2", hex("1002")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reader(c.input), c.expected) << c.name;
}

TEST(HexReaders, BlanksIgnoredByBothHexStrToNSData) {
    for (auto reader : {QKTool::hexStrToNSData, TelvoTool::hexStrToNSData}) {
        EXPECT_EQ(reader("0a 0B ff"), hex("0a0bff"));
        EXPECT_EQ(reader("00112233 44556677 8899aabb ccddeeff"),
                  hex("00112233445566778899aabbccddeeff"));
        EXPECT_EQ(reader(""), Bytes{});
    }
}

TEST(HexWriters, CaseAndEmptyFollowEachClass) {
    const Bytes data = hex("ab01ff");
    EXPECT_EQ(QKStringFormat::hexStringForData(data), "ab01ff");
    EXPECT_EQ(QKStringFormat::hexStringForData(std::nullopt), std::nullopt);
    EXPECT_EQ(QKStringFormat::hexStringForData(Bytes{}), "");
    EXPECT_EQ(QKStringFormat::dataToHexStr(data), "ab01ff");
    EXPECT_EQ(QKTool::stringExchangeWithData(data), "AB01FF");
    EXPECT_EQ(QKTool::stringExchangeWithData(Bytes{}), "");
    EXPECT_EQ(TelvoTool::hexDataToNSString(data), "AB01FF");
    EXPECT_EQ(TelvoTool::hexDataToNSString(Bytes{}), std::nullopt);
    EXPECT_EQ(QKTool::hexStringFromString("A\xC3\xA9"), "41c3a9");
    EXPECT_EQ(QKTool::turnOverData(data), hex("ff01ab"));
    EXPECT_EQ(QKTool::turnOverData(Bytes{}), Bytes{});
}

TEST(DecimalTexts, ArraysOfDecimalStrings) {
    EXPECT_EQ(QKStringFormat::arrIntForData(std::nullopt), std::nullopt);
    EXPECT_EQ(QKStringFormat::arrIntForData(Bytes{}), std::vector<std::string>{});
    EXPECT_EQ(QKStringFormat::arrIntForData(hex("00ff10")),
              (std::vector<std::string>{"0", "255", "16"}));

    const Value::Array mixed{"1", "255", "256", "-61", 300, "12abc", "x", 2.9};
    EXPECT_EQ(QKStringFormat::intArrayToData(mixed), hex("01ff00c32c0c0002"));
    EXPECT_EQ(QKStringFormat::intArrayToData(std::vector<std::string>{"-1", "128"}), hex("ff80"));
    EXPECT_EQ(QKStringFormat::hexArrayToData({"0a", "FF", "g1", "7"}), hex("0aff0007"));
    EXPECT_EQ(QKStringFormat::decimalArrayToHexString({"10", "255", "256", "-1"}), "0aff00ff");
    EXPECT_EQ(QKStringFormat::toHexStringWithArray(Value::Array{1, 171, 256, 0}), "01ab0000");
    EXPECT_EQ(QKStringFormat::toHexStringWithArray(Value("0102")), std::nullopt);
}

TEST(DecimalTexts, HighUtf8BytesAreNegativeAndComeBack) {
    const std::string e = "\xC3\xA9";  // é
    const std::vector<std::string> expected{"-61", "-87"};
    EXPECT_EQ(QKStringFormat::utf8StrForString(e), expected);
    EXPECT_EQ(toString(QKStringFormat::intArrayToData(QKStringFormat::utf8StrForString(e))), e);
    EXPECT_EQ(QKStringFormat::utf8StrForString("A"), std::vector<std::string>{"65"});
}

TEST(DecimalTexts, HexStringToIntegerReadsTheFirstByte) {
    const std::vector<std::pair<OptText, int>> cases = {
        {std::nullopt, -1}, {"", -1}, {"ff12", 255}, {"0A", 10}, {"f", 15}, {"zz", 0}};
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(QKStringFormat::hexStringToInteger(input), expected) << input.value_or("(nil)");
}

TEST(DecimalTexts, BinaryDigits) {
    EXPECT_EQ(QKStringFormat::intToBinary(5), std::string(29, '0') + "101");
    EXPECT_EQ(QKStringFormat::intToBinary(-1), std::string(32, '1'));
    EXPECT_EQ(QKStringFormat::intToBinary(0), std::string(32, '0'));
    const std::vector<std::pair<std::string, std::string>> back = {
        {"101", "5"},
        {"", "0"},
        {"10x1", "2"},
        {std::string(32, '1'), "4294967295"},
        {std::string(70, '1'), "18446744073709551615"}};
    for (const auto& [digits, expected] : back)
        EXPECT_EQ(QKStringFormat::BinaryToint(digits), expected);
}

TEST(JsonTexts, CompactAndBlankFreeForms) {
    const Value dict = Dictionary{{"b", "x y"}, {"a", Value::Array{1, 2}}};
    EXPECT_EQ(QKStringFormat::dicToJsonStr(dict), R"({"b":"x y","a":[1,2]})");
    EXPECT_EQ(TelvoTool::returnJSONStringWithDictionary(dict), R"({"b":"xy","a":[1,2]})");
    EXPECT_EQ(QKStringFormat::dicToJsonStr(Value(3)), std::nullopt);
    EXPECT_EQ(QKStringFormat::dicToJsonStr(Dictionary{{"k", Bytes{1}}}), std::nullopt);
    EXPECT_EQ(TelvoTool::returnJSONStringWithDictionary(Dictionary{{"k", Bytes{1}}}), std::nullopt);
}

TEST(MacTexts, SafeSetBssid) {
    const std::vector<std::pair<OptText, std::string>> cases = {
        {"a:b:c:d:e:f", "0a0b0c0d0e0f"}, {"AA:bb:cc:dd:ee:ff", "AAbbccddeeff"},
        {"a::c:d:e:f", "0a000c0d0e0f"},  {"aabbccddeeff", "aabbccddeeff"},
        {"aa:bb", "000000000000"},       {"", "000000000000"},
        {std::nullopt, "000000000000"},  {"aaa:bb:cc:dd:ee:ff", "000000000000"}};
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(QKTool::safeSetBssid(input), expected) << input.value_or("(nil)");
}

TEST(Checksums, CheckValuesAndEmptyInput) {
    const std::string check = "123456789";
    const auto* p = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(QKTool::crc16(p, 9), 0x31C3);
    EXPECT_EQ(QKTool::crc8(p, 9), 0xA1);
    EXPECT_EQ(QKTool::crc16(p, 0), 0);
    EXPECT_EQ(QKTool::crc16(p, -3), 0);
    EXPECT_EQ(QKTool::crc8(p, 0), 0);
    EXPECT_EQ(QKTool::crc8(nullptr, 4), 0);
}

TEST(ApplianceSsid, TypeFieldAndPrefixCheck) {
    EXPECT_EQ(QKTool::getDeviceTypeWithSSID("net_ac_1234"), "ac");
    EXPECT_EQ(QKTool::getDeviceTypeWithSSID("a__b"), "");
    EXPECT_EQ(QKTool::getDeviceTypeWithSSID("net_ac"), std::nullopt);
    EXPECT_EQ(QKTool::getDeviceTypeWithSSID(std::nullopt), std::nullopt);

    const std::vector<std::string> none;
    const std::vector<std::string> net{"net"};
    struct Case {
        OptText ssid;
        const std::vector<std::string>& prefixes;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"korvo_ac_1234", none, true},  {"KORVO_AC_1a2B", none, true},
        {"zubo_3a_ab12", none, true},   {"korvo_ac_12345", none, false},
        {"korvo_a_12345", none, false}, {"korvoxac_1234", none, false},
        {"other_ac_1234", none, false}, {std::nullopt, none, false},
        {"net_ac_1234", net, true},     {"korvo_ac_1234", net, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QKTool::isKorvoSSID(c.ssid, c.prefixes), c.expected) << c.ssid.value_or("(nil)");
}

TEST(ApplianceSsid, SsidFromSerialAndType) {
    EXPECT_EQ(QKTool::getSSIDBySN("000000P0000000Q1ABCD", "0xAC", "korvo"), "korvo_AC_ABCD");
    EXPECT_EQ(QKTool::getSSIDBySN("1234", "0x3a", "net"), "net_3a_1234");
    EXPECT_EQ(QKTool::getSSIDBySN("123", "0xac", "korvo"), std::nullopt);
    EXPECT_EQ(QKTool::getSSIDBySN("12345", "AC", "korvo"), std::nullopt);
    EXPECT_EQ(QKTool::getSSIDBySN("12345", "0xg1", "korvo"), std::nullopt);
    EXPECT_EQ(QKTool::getSSIDBySN(std::nullopt, "0xac", "korvo"), std::nullopt);
}

// isEqualMacStr ignores colons and case; the plain comparison ignores only case.
TEST(TextComparisons, MacAndIgnoreCase) {
    using Compare = bool (*)(const OptText&, const OptText&);
    const Compare mac = QKTool::isEqualMacStr, text = qksdk_isEqualToStringIgnoreCase;
    const std::vector<std::tuple<Compare, OptText, OptText, bool>> cases = {
        {mac, "aa:bb:cc:dd:ee:ff", "AABBCCDDEEFF", true},
        {mac, "a:b", "AB", true},
        {mac, "aa:bb", "aa:bc", false},
        {mac, std::nullopt, "aa", false},
        {mac, "aa", std::nullopt, false},
        {mac, std::nullopt, std::nullopt, false},
        {text, "0xAC", "0xac", true},
        {text, "", "", true},
        {text, "abc", "abd", false},
        {text, "abc", "abcd", false},
        {text, "abc", std::nullopt, false},
        {text, std::nullopt, "abc", false},
    };
    for (const auto& [compare, a, b, expected] : cases)
        EXPECT_EQ(compare(a, b), expected) << a.value_or("(nil)") << " / " << b.value_or("(nil)");
}

}  // namespace
}  // namespace telvo

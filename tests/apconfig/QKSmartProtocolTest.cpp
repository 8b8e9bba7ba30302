#include <gtest/gtest.h>

#include "apconfig/QKSmartProtocol.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKDataTransform.h"

namespace telvo {
namespace {

std::vector<size_t> lengths(const std::vector<std::string>& fills) {
    std::vector<size_t> out;
    for (const auto& f : fills) {
        EXPECT_EQ(f.find_first_not_of('a'), std::string::npos);
        out.push_back(f.size());
    }
    return out;
}

// The SSID-only rows of the multicast list, after the password half.
std::vector<std::string> ssidHalf(const QKSmartProtocol& encoder) {
    auto all = encoder.createMulticastArray();
    const size_t passwordRows = 5 + (static_cast<size_t>(encoder.passLength()) + 1) / 2;
    return {all.begin() + static_cast<ptrdiff_t>(passwordRows), all.end()};
}

TEST(SmartConnect, WorkedExample) {
    QKSmartProtocol encoder("Home", "", "00:11:22:33:44:55", 7, 9);
    EXPECT_EQ(encoder.SSIDCRC(), 0x1D70);
    const std::vector<std::string> expected = {
        "239.8.17.0", "239.9.51.34", "239.10.85.68",  "239.16.4.4",     "239.17.0.0",
        "239.18.7.7", "239.19.9.9",  "239.64.111.72", "239.65.101.109", "239.112.29.112"};
    EXPECT_EQ(ssidHalf(encoder), expected);
    const auto all = encoder.createMulticastArray();
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 5),
              (std::vector<std::string>{"239.8.17.0", "239.9.51.34", "239.10.85.68", "239.0.0.0",
                                        "239.96.0.0"}));
    const auto broadcast = lengths(encoder.createBroadcastArray());
    ASSERT_EQ(broadcast.size(), 18u);
    EXPECT_EQ(std::vector<size_t>(broadcast.begin() + 9, broadcast.end()),
              (std::vector<size_t>{6, 14, 20, 20, 328, 367, 365, 357, 237}));
    EXPECT_EQ(std::vector<size_t>(broadcast.begin(), broadcast.begin() + 8),
              (std::vector<size_t>{6, 14, 4, 4, 260, 256, 263, 265}));
    EXPECT_EQ(encoder.createBroadcastArray(), encoder.createBroadcastArray());
}

TEST(SmartConnect, PasswordRowsAndGroups) {
    QKSmartProtocol one("ab", "x", "", 1, 1);
    auto rows = one.createMulticastArray();
    EXPECT_EQ(rows[3], "239.0.1.1");
    EXPECT_EQ(rows[4], "239.32.0.120");
    EXPECT_EQ(rows[0], "239.8.0.0");

    QKSmartProtocol nine("abcdefgh", "123456789", "aa:bb", 1, 2);
    const auto b = lengths(nine.createBroadcastArray());
    ASSERT_EQ(b.size(), 9u + 9u * (3 + 2));
    // Index 0: password, SSID; index 1: password, SSID (header 36); index 2: password only.
    EXPECT_EQ(b[9 + 2], 8u);
    EXPECT_EQ(b[18 + 2], 20u);
    EXPECT_EQ(b[27 + 2], 24u);
    EXPECT_EQ(b[36 + 2], 36u);
    EXPECT_EQ(std::vector<size_t>(b.begin() + 45, b.begin() + 53),
              (std::vector<size_t>{6, 14, 40, 40, 0x100 | '9', 256, 256, 256}));
    EXPECT_EQ(nine.routerBSSIDArray(), std::vector<int>(6, 0));

    // A BSSID part over 255 keeps its low 8 bits.
    QKSmartProtocol masked("s", "", "1ff:2:3:4:5:zz", 1, 1);
    EXPECT_EQ(masked.routerBSSIDArray(), (std::vector<int>{0xFF, 2, 3, 4, 5, 0}));
    EXPECT_EQ(masked.createMulticastArray()[0], "239.8.2.255");

    // Every byte of a non-ASCII SSID's UTF-8 form is carried.
    EXPECT_EQ(QKSmartProtocol("é", "", "", 1, 1).SSIDLength(), 2);
}

TEST(SmartConnect, ListLengthsAndRangesOverAllFieldSizes) {
    for (int p = 0; p <= 64; ++p) {
        for (int s = 0; s <= 32; ++s) {
            QKSmartProtocol encoder(
                std::string(static_cast<size_t>(s), static_cast<char>(0xC3 - s)),
                std::string(static_cast<size_t>(p), static_cast<char>(' ' + p)),
                "01:23:45:67:89:ab", 255, 1);
            const auto multicast = encoder.createMulticastArray();
            ASSERT_EQ(multicast.size(), 13u + static_cast<size_t>((p + 1) / 2 + (s + 1) / 2))
                << p << " " << s;
            for (const auto& address : multicast) {
                int o[4];
                ASSERT_EQ(std::sscanf(address.c_str(), "%d.%d.%d.%d", &o[0], &o[1], &o[2], &o[3]),
                          4);
                EXPECT_EQ(o[0], 239);
                for (int v : o) ASSERT_TRUE(v >= 0 && v <= 255) << address;
            }
            const auto b = lengths(encoder.createBroadcastArray());
            ASSERT_EQ(b.size(), 9u + 9u * static_cast<size_t>((p + 3) / 4 + (s + 3) / 4))
                << p << " " << s;
            for (size_t g = 0; g < b.size(); g += 9) {
                EXPECT_EQ(b[g], 6u);
                EXPECT_EQ(b[g + 1], 14u);
                EXPECT_EQ(b[g + 2], b[g + 3]);
                for (size_t k = 4; k < 8; ++k) ASSERT_TRUE(b[g + k] >= 256 && b[g + k] <= 511);
                ASSERT_TRUE(b[g + 8] % 2 == 1 && b[g + 8] < 256);
            }
        }
    }
}

TEST(WifiListReply, PartCasesAndZeroBytes) {
    struct Case {
        std::string body;
        std::optional<std::string> json;
    } cases[] = {
        {"010300616263", R"([{"ssid":"abc","miType":0}])"},
        {"020300616263", std::nullopt},
        {"010001", "[]"},
        {"02010061010362", R"([{"ssid":"a","miType":0}])"},
        {"01050061", "[]"},
        {"00", std::nullopt},
        {"0100", std::nullopt},
        {"0204026162006302000078", R"([{"ssid":"ab","miType":2}])"},  // ends at its zero byte
        {"01020080ff", "[]"},
    };
    for (const auto& c : cases) {
        auto list = QKDataTransform::getWifiListWithByteArray(test::hex(c.body));
        ASSERT_EQ(list.has_value(), c.json.has_value()) << c.body;
        EXPECT_EQ(list ? Value(*list).toJSON() : std::nullopt, c.json) << c.body;
    }
    EXPECT_EQ(QKDataTransform::wifiModuleWithMessageArray(test::hex("0A0b")),
              (Dictionary{{"deviceProtocolVersion", "0a0b"}}));
}

}  // namespace
}  // namespace telvo

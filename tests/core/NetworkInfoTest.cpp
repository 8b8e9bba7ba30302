#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/QKTool.h"
#include "core/QKUserDefault.h"
#include "platform/net/NetworkConfiguration.h"
#include "platform/net/NetworkReachability.h"
#include "records/QKMiddleInterface.h"

namespace telvo {
namespace {

class NetworkInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetForTesting<NetworkConfiguration>();
        NetworkReachability::resetForTesting();
        QKUserDefault::setStorageDirectory({});
        resetForTesting<QKUserDefault>();
    }
    void TearDown() override { SetUp(); }
    static NetworkInterface v4(std::string name, std::optional<std::string> broadcast) {
        return {std::move(name), AF_INET, "127.0.0.2", std::move(broadcast), true, false};
    }
};

TEST_F(NetworkInfoTest, BroadcastAddressPrefersEn0AndSkipsLinkLocalEn2) {
    struct Case {
        const char* name;
        std::vector<NetworkInterface> interfaces;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"en0 wins", {v4("wlan0", "127.0.0.255"), v4("eth1", "127.1.0.255")}, "127.0.0.255"},
        {"en2 when en0 has none",
         {v4("wlan0", std::nullopt), v4("eth1", "127.1.0.255")},
         "127.1.0.255"},
        {"link-local en2 refused", {v4("eth1", "169.254.255.255")}, std::nullopt},
        {"nothing", {v4("other", "127.9.0.255")}, std::nullopt},
    };
    NetworkConfiguration::setInterfaceNameMapping("en0", "wlan0");
    NetworkConfiguration::setInterfaceNameMapping("en2", "eth1");
    for (const Case& c : cases) {
        setInterfacesSource([&] { return c.interfaces; });
        EXPECT_EQ(QKTool::getIPBordcastAddress(), c.expected) << c.name;
    }
}

TEST_F(NetworkInfoTest, WifiInfoOnlyWhenReadable) {
    NetworkConfiguration::setWifiInfo(WifiInfo{"home", "aa:bb:cc:dd:ee:ff", 4});
    struct Got {
        std::optional<std::string> ssid;
        std::string bssid;
        std::optional<int64_t> security;
    };
    auto read = [] {
        Got got;
        QKTool::currentWifiInfoWithBlock([&](const auto& ssid, const auto& bssid, auto security) {
            got = {ssid, bssid, security};
        });
        return got;
    };
    EXPECT_FALSE(QKTool::isWifiInfoEnable());
    Got hidden = read();
    EXPECT_EQ(hidden.ssid, std::nullopt);
    EXPECT_EQ(hidden.bssid, "00:00:00:00:00:00");

    NetworkConfiguration::setWifiInfoReadable(true);
    Got shown = read();
    EXPECT_EQ(shown.ssid, "home");
    EXPECT_EQ(shown.bssid, "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(shown.security, 4);

    NetworkConfiguration::setWifiInfo(WifiInfo{"home", std::nullopt, std::nullopt});
    EXPECT_EQ(read().bssid, "00:00:00:00:00:00");
}

TEST_F(NetworkInfoTest, NetworkStatusIsNoOnlyWhenNotReachable) {
    namespace F = ReachabilityFlags;
    const std::vector<std::pair<std::optional<uint32_t>, bool>> cases = {
        {std::nullopt, true},
        {F::kReachable, true},
        {0u, false},
        {F::kReachable | F::kConnectionRequired, false},
        {F::kReachable | F::kConnectionRequired | F::kConnectionOnTraffic, true},
        {F::kReachable | F::kConnectionRequired | F::kConnectionOnDemand | F::kInterventionRequired,
         false},
    };
    for (const auto& [flags, expected] : cases) {
        NetworkReachability::setFlags(flags);
        EXPECT_EQ(QKTool::getCurrentNetWorkStatus(), expected) << flags.value_or(999);
    }
}

TEST_F(NetworkInfoTest, NetworkStatusAsksForTheConfiguredHost) {
    std::vector<std::string> asked;
    NetworkReachability::setFlagsSource([&](const std::string& host) -> std::optional<uint32_t> {
        asked.push_back(host);
        return host == "down.example" ? 0u : ReachabilityFlags::kReachable;
    });
    EXPECT_TRUE(QKTool::getCurrentNetWorkStatus());
    // Without the settings' override the configured server host is the one asked about.
    QKMiddleInterface::shareInstance()->middleConfig()->setServerHost("http://198.18.0.3:8080");
    QKTool::getCurrentNetWorkStatus();
    QKUserDefault::standardUserDefaults()->setValue("https://down.example:443/v1",
                                                    "QKServerAddress");
    EXPECT_FALSE(QKTool::getCurrentNetWorkStatus());
    QKUserDefault::standardUserDefaults()->setValue("[::1]:8443", "QKServerAddress");
    QKTool::getCurrentNetWorkStatus();
    EXPECT_EQ(asked, (std::vector<std::string>{"", "198.18.0.3", "down.example", "::1"}));
    resetForTesting<QKMiddleInterface>();
}

}  // namespace
}  // namespace telvo

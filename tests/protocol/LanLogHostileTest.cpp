#include <gtest/gtest.h>

#include <functional>

#include "protocol/LanTestSupport.h"
#include "protocol/QKProtocol.h"
#include "sim/LogCapture.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {
namespace {

class LanLogHostileTest : public test::LanFixture {
  protected:
    void SetUp() override {
        LanFixture::SetUp();
        QKUserDefault::setStorageDirectory({});
        QKUserDefault::resetForTesting();
        QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
        QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate_);
    }
    void TearDown() override {
        QKUserDefault::resetForTesting();
        LanFixture::TearDown();
    }
    std::shared_ptr<test::LogLines> delegate_ = std::make_shared<test::LogLines>();
};

// The router password travels encrypted; the body logged before encryption shows it as zeros.
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
            if (line.rfind("LAN msgData is ", 0) == 0) {
                bodyLogged = true;
                EXPECT_NE(line.find("686f6d65"), std::string::npos) << line;  // the SSID stays
            }
        }
        EXPECT_TRUE(bodyLogged);
    }
}

}  // namespace
}  // namespace telvo

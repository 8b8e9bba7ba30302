#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cloud/QKNetWorkManager.h"
#include "records/QKMiddleInterface.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {
namespace {

class PrefixDelegate : public QKRefreshDelegate {
  public:
    std::optional<std::string> smartSDKGetMasPathPrefix() override { return "/gw"; }
};

// The app hands its delegate to the start-up core; the cloud client is the one that uses it,
// also when the delegate came before the library was initialised.
TEST(RefreshHandOver, StartUpCorePassesTheDelegateToTheCloudClient) {
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKMiddleInterface>();
    auto core = QKMiddleInterface::shareInstance();
    core->middleConfig()->setServerHost("https://cloud.test");
    auto url = [] { return QKNetWorkManager::shareInstance()->getAllRequestUrlWithPath("/v1/x"); };
    auto delegate = std::make_shared<PrefixDelegate>();

    installTokenRefreshHandOver(nullptr);  // as before TelvoSDKInitialize
    core->setTokenRefreshDelegate(delegate);
    EXPECT_EQ(url(), "https://cloud.test/v1/x");
    registerCloud();  // passes on the delegate already handed in
    EXPECT_EQ(url(), "https://cloud.test/gw/v1/x");

    core->setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate>());
    EXPECT_EQ(url(), "https://cloud.test/v1/x");
    core->setTokenRefreshDelegate(delegate);
    EXPECT_EQ(url(), "https://cloud.test/gw/v1/x");
    delegate.reset();  // held weakly
    EXPECT_EQ(url(), "https://cloud.test/v1/x");
    QKNetWorkManager::resetForTesting();
}

}  // namespace
}  // namespace telvo

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
    explicit PrefixDelegate(std::string prefix = "/gw") : prefix_(std::move(prefix)) {}
    std::optional<std::string> smartSDKGetMasPathPrefix() override { return prefix_; }

  private:
    std::string prefix_;
};

// The app hands its delegate to the start-up core; the cloud client is the one that uses it,
// also when the delegate came before the client (or the library) was made.
TEST(RefreshHandOver, StartUpCorePassesTheDelegateToTheCloudClient) {
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKMiddleInterface>();
    auto core = QKMiddleInterface::shareInstance();
    core->middleConfig()->setServerHost("https://cloud.test");
    auto url = [] { return QKNetWorkManager::shareInstance()->getAllRequestUrlWithPath("/v1/x"); };
    auto delegate = std::make_shared<PrefixDelegate>();

    core->setTokenRefreshDelegate(delegate);  // no cloud client yet
    EXPECT_EQ(core->tokenRefreshDelegate(), delegate);
    EXPECT_EQ(url(), "https://cloud.test/gw/v1/x");

    core->setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate>());
    EXPECT_EQ(url(), "https://cloud.test/v1/x");
    core->setTokenRefreshDelegate(delegate);
    EXPECT_EQ(url(), "https://cloud.test/gw/v1/x");
    delegate.reset();  // held weakly
    EXPECT_EQ(core->tokenRefreshDelegate(), nullptr);
    EXPECT_EQ(url(), "https://cloud.test/v1/x");

    delegate = std::make_shared<PrefixDelegate>();
    core->setTokenRefreshDelegate(delegate);
    resetForTesting<QKMiddleInterface>();  // forgets the delegate with the rest of the core
    QKMiddleInterface::shareInstance()->middleConfig()->setServerHost("https://cloud.test");
    EXPECT_EQ(url(), "https://cloud.test/v1/x");
    QKNetWorkManager::resetForTesting();
}

// The cloud client's setter hands the delegate to the start-up core: there is one delegate,
// the one handed in last through either, held weakly.
TEST(RefreshHandOver, ClientsSetterHandsTheDelegateToTheCore) {
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKMiddleInterface>();
    auto core = QKMiddleInterface::shareInstance();
    core->middleConfig()->setServerHost("https://cloud.test");
    auto client = QKNetWorkManager::shareInstance();
    auto coreDelegate = std::make_shared<PrefixDelegate>();
    auto own = std::make_shared<PrefixDelegate>("/own");
    core->setTokenRefreshDelegate(coreDelegate);

    client->setTokenRefreshDelegate(own);
    EXPECT_EQ(core->tokenRefreshDelegate(), own);
    EXPECT_EQ(client->getAllRequestUrlWithPath("/v1/x"), "https://cloud.test/own/v1/x");
    own.reset();  // released: none, and the one it replaced does not come back
    EXPECT_EQ(client->getAllRequestUrlWithPath("/v1/x"), "https://cloud.test/v1/x");
    core->setTokenRefreshDelegate(coreDelegate);
    EXPECT_EQ(client->getAllRequestUrlWithPath("/v1/x"), "https://cloud.test/gw/v1/x");
    client->setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate>());
    EXPECT_EQ(core->tokenRefreshDelegate(), nullptr);
    EXPECT_EQ(client->getAllRequestUrlWithPath("/v1/x"), "https://cloud.test/v1/x");
    QKNetWorkManager::resetForTesting();
    resetForTesting<QKMiddleInterface>();
}

}  // namespace
}  // namespace telvo

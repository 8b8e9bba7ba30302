// The app's token-refresh delegate: made from the public header and handed to the start-up
// core, which keeps it for the cloud requests and holds it weakly. No cloud is needed for this.
#include <cstdio>
#include <memory>

#include "ConsumerChecks.h"
#include "telvosdk/TelvoSDK.h"

namespace {

class ConsumerRefresher : public telvo::QKRefreshDelegate {
  public:
    bool respondsToRefreshToken() const override { return true; }
    void refreshToken(std::function<void(bool)> done) override {
        telvo::QKMiddleInterface::shareInstance()->middleConfig()->setAccessToken("renewed");
        done(true);
    }
    std::optional<std::string> smartSDKGetMasPathPrefix() override { return "/gateway"; }
};

}  // namespace

static ConsumerCheck check("token refresh delegate", [](const char*) {
    auto core = telvo::QKMiddleInterface::shareInstance();
    auto delegate = std::make_shared<ConsumerRefresher>();
    core->setTokenRefreshDelegate(delegate);
    const bool kept = core->tokenRefreshDelegate() == delegate;
    core->setTokenRefreshDelegate(std::weak_ptr<telvo::QKRefreshDelegate>());
    const bool removed = core->tokenRefreshDelegate() == nullptr;
    core->setTokenRefreshDelegate(delegate);
    delegate.reset();  // the app lets go of its only reference: the core must not keep it alive
    const bool weak = core->tokenRefreshDelegate() == nullptr;
    core->setTokenRefreshDelegate(std::weak_ptr<telvo::QKRefreshDelegate>());
    const bool ok = kept && removed && weak;
    std::printf("consumer: token refresh delegate handed in: %s\n", ok ? "ok" : "FAILED");
    return ok;
});

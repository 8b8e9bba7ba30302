// The app's token-refresh delegate: made from the public header and handed to the start-up
// core, which passes it on to the cloud client. No cloud is needed to hand it in.
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
    // What an app's own code sees of the contract: the defaults say "not implemented".
    telvo::QKRefreshDelegate plain;
    const bool ok = delegate->respondsToRefreshToken() && !plain.respondsToRefreshToken() &&
                    !plain.smartSDKGetMasPathPrefix() && !plain.smartSDKGetHostWithApiPath("/p") &&
                    !plain.smartSDKGetHeadDictWithApiPath("/p");
    core->setTokenRefreshDelegate(std::weak_ptr<telvo::QKRefreshDelegate>());
    std::printf("consumer: token refresh delegate handed in: %s\n", ok ? "ok" : "FAILED");
    return ok;
});

// An app on the public headers alone that hands the library its token-refresh delegate: the
// cloud says the token is invalid, the delegate refreshes it and the waiting request is sent
// again; the delegate's path, host and header answers shape the requests the cloud receives.
// The appliance and the clouds are simulated (FacadePeer.cpp).
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FacadePeer.h"
#include "telvosdk/TelvoSDK.h"

namespace {

using namespace telvo;

int failures = 0;

void check(bool holds, const std::string& what) {
    std::printf("refresh: %s: %s\n", what.c_str(), holds ? "ok" : "FAILED");
    if (!holds) ++failures;
}

constexpr const char* kStale = "stale-token";
constexpr const char* kFresh = "fresh-token";
constexpr const char* kRegister = "/v1/appliance/register";

std::shared_ptr<QKMiddleConfig> config() {
    return QKMiddleInterface::shareInstance()->middleConfig();
}

// Refreshes as an app whose login service answers later: the new token is stored, then the
// block is called from a later turn of the main queue, twice (the second call must not count).
class AppRefresher : public QKRefreshDelegate {
  public:
    explicit AppRefresher(bool grants) : grants_(grants) {}
    bool respondsToRefreshToken() const override { return true; }
    void refreshToken(std::function<void(bool)> done) override {
        ++refreshes;
        const bool grants = grants_;
        TelvoSDKPerformOnMainQueue([done, grants] {
            if (grants) config()->setAccessToken(kFresh);
            done(grants);
            done(!grants);
        });
    }
    int refreshes = 0;

  private:
    bool grants_;
};

// Every hook but the refresh.
class RoutingDelegate : public QKRefreshDelegate {
  public:
    explicit RoutingDelegate(std::string host) : host_(std::move(host)) {}
    std::optional<std::string> smartSDKGetMasPathPrefix() override { return "/mas"; }
    std::optional<std::string> smartSDKGetHostWithApiPath(const std::string& path) override {
        hostAskedFor.push_back(path);
        return host_;
    }
    std::optional<Value> smartSDKGetHeadDictWithApiPath(const std::string&) override {
        return Value(Dictionary{{"X-App-Tenant", Value("tenant-7")}});
    }
    std::vector<std::string> hostAskedFor;

  private:
    std::string host_;
};

// What an app that only needs to be told nothing derives.
class SilentDelegate : public QKRefreshDelegate {};

size_t count(const facade::CloudRun& run, bool other, const std::string& path) {
    size_t n = 0;
    for (const auto& request : run.requests)
        n += request.otherCloud == other && request.path == path;
    return n;
}

// Runs the bridge with the token and the delegate `make` makes, kept alive in `delegate`.
template <class Delegate>
facade::CloudRun runWith(const char* token, std::shared_ptr<Delegate>& delegate,
                         const std::function<std::shared_ptr<Delegate>(const std::string&)>& make) {
    return facade::configureBridgeWithCloud(kFresh, [&](const std::string& otherHost) {
        config()->setAccessToken(token);
        config()->setTokenInvalidErrorCode(40001);
        delegate = make(otherHost);
        QKMiddleInterface::shareInstance()->setTokenRefreshDelegate(delegate);
    });
}

void refreshGranted() {
    std::shared_ptr<AppRefresher> app;
    const facade::CloudRun run = runWith<AppRefresher>(
        kStale, app, [](const std::string&) { return std::make_shared<AppRefresher>(true); });
    check(app && app->refreshes == 1, "granted: the delegate was asked to refresh once");
    check(run.completions == 1 && run.code == 0, "granted: the flow completed once, successfully");
    const bool replayed = count(run, false, kRegister) == 2 && run.requests.size() >= 2 &&
                          run.requests[0].header("accessToken") == kStale &&
                          run.requests[1].path == kRegister &&
                          run.requests[1].header("accessToken") == kFresh;
    check(replayed, "granted: the registration was sent again with the new token");
}

void refreshRefused() {
    std::shared_ptr<AppRefresher> app;
    const facade::CloudRun run = runWith<AppRefresher>(
        kStale, app, [](const std::string&) { return std::make_shared<AppRefresher>(false); });
    check(app && app->refreshes == 1, "refused: the delegate was asked to refresh once");
    check(run.completions == 1 && run.code == 40001,
          "refused: one completion with the token-invalid code (" + std::to_string(run.code) + ")");
    check(count(run, false, kRegister) == 1, "refused: the registration was not sent again");
}

void hooksShapeTheRequests() {
    std::shared_ptr<RoutingDelegate> app;
    const facade::CloudRun run = runWith<RoutingDelegate>(kFresh, app, [](const std::string& host) {
        return std::make_shared<RoutingDelegate>(host);
    });
    check(run.completions == 1 && run.code == 0, "hooks: the flow completed successfully");
    const std::string prefixed = std::string("/mas") + kRegister;
    check(count(run, true, prefixed) == 1 && count(run, false, prefixed) == 0 &&
              count(run, false, kRegister) == 0,
          "hooks: the registration went to the delegate's host under its prefix");
    bool prefixedAsked = app && !app->hostAskedFor.empty() && app->hostAskedFor[0] == prefixed;
    for (const std::string& path : app ? app->hostAskedFor : std::vector<std::string>())
        prefixedAsked = prefixedAsked && path.starts_with("/mas/");
    check(prefixedAsked, "hooks: the host was asked for each path with the prefix");
    bool tagged = !run.requests.empty();
    for (const auto& request : run.requests)
        tagged = tagged && request.header("X-App-Tenant") == "tenant-7";
    check(tagged, "hooks: every request carried the delegate's header field");
}

void delegateWithoutOperations() {
    for (const char* token : {kFresh, kStale}) {
        std::shared_ptr<SilentDelegate> app;
        const facade::CloudRun run = runWith<SilentDelegate>(
            token, app, [](const std::string&) { return std::make_shared<SilentDelegate>(); });
        const bool valid = std::string(token) == kFresh;
        check(run.completions == 1 && run.code == (valid ? 0 : 40001),
              std::string("no operations, ") + (valid ? "valid" : "stale") + " token: code " +
                  std::to_string(run.code));
        check(count(run, false, kRegister) == 1 && count(run, true, kRegister) == 0 &&
                  run.requests.size() >= 1 && run.requests[0].header("X-App-Tenant").empty(),
              "no operations: the registration went once, as the library builds it");
    }
}

void delegateGone() {
    const facade::CloudRun run = facade::configureBridgeWithCloud(kFresh, [](const std::string&) {
        config()->setAccessToken(kStale);
        config()->setTokenInvalidErrorCode(40001);
        auto released = std::make_shared<AppRefresher>(true);
        QKMiddleInterface::shareInstance()->setTokenRefreshDelegate(released);
    });  // its only owner is gone before the flow starts: the library holds it weakly
    check(run.completions == 1 && run.code == 40001 && count(run, false, kRegister) == 1,
          "released delegate: as without one, the token-invalid code at once");
}

}  // namespace

// CTest's SKIP_RETURN_CODE for this program.
constexpr int kSkipped = 77;

int main() {
    facade::isolateFromHost();
    if (const std::optional<std::string> why = facade::whyLoopbackCloudUnreachable()) {
        std::printf("refresh: %s\n", why->c_str());
        return kSkipped;
    }
    TelvoSDKInitialize();
    refreshGranted();
    refreshRefused();
    hooksShapeTheRequests();
    delegateWithoutOperations();
    delegateGone();
    return failures == 0 ? 0 : 1;
}

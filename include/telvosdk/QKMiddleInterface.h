#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/QKMiddleConfig.h"
#include "telvosdk/QKRefreshDelegate.h"
#include "telvosdk/Value.h"

namespace telvo {

// The app's log delegate: receives every log line when logging is on and a delegate is set, and
// the platform's plain lines (those the system log would get: the Bluetooth wrapper's channel
// changes...) whether logging is on or not, with fileName "plainLog" and lineName 0.
// Called synchronously on the thread that logs the line, which may be any thread, several at
// once: the delegate must be thread-safe and should not block. It must not log through the
// library itself (that would call it again).
class TELVO_EXPORT QKSDKCustomLogDelegate {
  public:
    virtual ~QKSDKCustomLogDelegate() = default;
    virtual void sdkCustomLogWithLevel(int level, const std::string& tagId,
                                       const std::string& fileName, int lineName,
                                       const Value& extra, const std::string& contentStr) = 0;
};

// The start-up core: owns the SDK-wide configuration record and the app's log and token-refresh
// delegates.
class TELVO_EXPORT QKMiddleInterface {
  public:
    static std::shared_ptr<QKMiddleInterface> shareInstance();
    // Never null.
    std::shared_ptr<QKMiddleConfig> middleConfig() const { return config_; }

    // Held weakly.
    void setCustomLogDelegate(std::weak_ptr<QKSDKCustomLogDelegate> delegate);
    std::shared_ptr<QKSDKCustomLogDelegate> customLogDelegate() const;

    // The app's token-refresh delegate for the cloud requests (see QKRefreshDelegate.h for
    // the threads it is called on), held weakly, in place of the one handed in before; an
    // empty pointer removes it. Any thread, before TelvoSDKInitialize too: the cloud client
    // reads it whenever it sends a request or needs a refresh.
    void setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate> delegate);
    // The delegate handed in last, or null when none is set or the app has released it.
    std::shared_ptr<QKRefreshDelegate> tokenRefreshDelegate() const;

  private:
    std::shared_ptr<QKMiddleConfig> config_ = std::make_shared<QKMiddleConfig>();
    mutable std::mutex mutex_;
    std::weak_ptr<QKSDKCustomLogDelegate> logDelegate_;
    std::weak_ptr<QKRefreshDelegate> refreshDelegate_;
};

}  // namespace telvo

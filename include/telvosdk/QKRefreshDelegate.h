#pragma once

#include <functional>
#include <optional>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// The app's delegate for the cloud requests of the configuration flows: it refreshes the access
// token when the cloud answers that it is invalid, and may shape each request's URL and headers.
// An app derives from it and overrides the operations it has; each is optional, and one left as
// it is counts as missing (its default answers "not implemented", never an answer of its own).
//
// Handed in through QKMiddleInterface::setTokenRefreshDelegate and held weakly: the app keeps
// the object alive; once it is gone the library acts as if no delegate were set.
//
// Threads: refreshToken runs on the main queue, when a reply says the token is invalid. The
// URL and header operations run on the thread that starts a cloud request (a flow's queue, or,
// for a request sent again after a refresh, the thread that called the refresh block); they may
// run on several threads at once and must answer at once, without blocking.
class TELVO_EXPORT QKRefreshDelegate {
  public:
    virtual ~QKRefreshDelegate() = default;

    // Whether the delegate refreshes tokens: override it to return true together with
    // refreshToken. Read whenever a cloud request is sent and whenever a refresh is needed.
    virtual bool respondsToRefreshToken() const { return false; }
    // Called only when respondsToRefreshToken() is true. Obtain a new access token, store it in
    // QKMiddleInterface::shareInstance()->middleConfig(), then call done(true); call done(false)
    // when there is none. done is called once, from any thread, also from inside this call;
    // calls after the first are ignored. On true the requests waiting for the refresh are sent
    // again with the new token and report through their own completions; on false they end
    // with the token-invalid error (domain "NSError", the cloud's code and message).
    virtual void refreshToken(std::function<void(bool refreshed)> done) { done(false); }

    // A prefix put before every API path that is not a full URL; nullopt (not implemented) or
    // an empty text: none.
    virtual std::optional<std::string> smartSDKGetMasPathPrefix() { return std::nullopt; }
    // The host part ("https://host:port") put before the (prefixed) path; nullopt (not
    // implemented, or no host of the app's for this path): QKMiddleConfig's serverHost.
    virtual std::optional<std::string> smartSDKGetHostWithApiPath(const std::string& apiPath) {
        (void)apiPath;
        return std::nullopt;
    }
    // Header fields set after the library's own, as a dictionary of texts (field name to
    // value); apiPath is the full URL of a body-signed request or the path of an open-API one.
    // nullopt: not implemented, no extra fields.
    virtual std::optional<Value> smartSDKGetHeadDictWithApiPath(const std::string& apiPath) {
        (void)apiPath;
        return std::nullopt;
    }
};

}  // namespace telvo

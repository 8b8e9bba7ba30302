#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/QKNetworkRequestObject.h"
#include "http/QKAFHTTPSessionManager.h"
#include "platform/dispatch/Semaphore.h"
#include "telvosdk/QKRefreshDelegate.h"

namespace telvo {

// The client of the appliance cloud: signed JSON POSTs under two schemes (body-signed and
// open API), reply mapping and the replay of requests after a token refresh.
//
// Requests may start on any thread; each builds its own headers. Completions run on the
// main queue, never synchronously inside the request call, and exactly once per request
// (a replay after a refresh reports through the original completion). Thread-safe.
class QKNetWorkManager : public std::enable_shared_from_this<QKNetWorkManager> {
  public:
    using Completion = QKCloudCompletion;

    // The process-wide client; every call also starts the shared reachability monitor.
    static std::shared_ptr<QKNetWorkManager> shareInstance();
    // Drops the shared client (tests).
    static void resetForTesting();

    // The app's refresh delegate, held weakly. There is one, kept by the start-up core
    // (QKMiddleInterface::setTokenRefreshDelegate): this hands it in there, in place of the one
    // before; an empty pointer removes it.
    void setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate> delegate);

    // A body-signed request to specialUrl when it is not empty, else to the URL built from
    // api. The returned task is null when the request could not be built.
    URLSessionTaskPtr requestServerWithApi(const std::string& api, const std::string& specialUrl,
                                           const Value& bodyDic, const Value& extraDict,
                                           Completion completion);
    URLSessionTaskPtr requestKUCUrl(const std::string& url, const Value& bodyDic,
                                    const Value& extraDict, Completion completion);
    // api is the path signed as given (or a full URL).
    URLSessionTaskPtr requestKorvoOpenApi(const std::string& api, const Value& bodyDic,
                                          const Value& extraDict, Completion completion);

    // The header fields of the last reply (of either scheme) that was not a transport failure.
    HTTPHeaderFields responseHeaderFields() const;
    // The shared reachability monitor's status.
    int64_t reachabilityStatus() const;
    // Downloads url with a fresh session manager into filePath; the file is kept only for
    // status 200. The completion (main queue) gets the success object or the transport error.
    void downLoadFileWithURL(const std::string& url, const std::string& filePath,
                             std::function<void(const ErrorPtr& error)> completion);

    // The pieces of a request, exposed for tests.
    std::string getAllRequestUrlWithPath(const std::string& path) const;
    Dictionary getKCloudNormalDic() const;
    static std::optional<std::string> getHMacSignStrWithDic(const Value& body,
                                                            const std::string& randomStr);
    static std::optional<std::string> getKorvoOpenHMacSignStrWithDic(const Value& body,
                                                                     const std::string& api);
    static bool isValidMCUResponse(const std::optional<Value>& reply);
    static bool isInvalidTokenWithCode(int64_t code);
    static ErrorPtr tokenInvalidError(const Value& reply);
    static ErrorPtr getErrorWithObject(const Value& reply);

    // Reply handling of either scheme (the session layer's blocks call these on the main
    // queue). entry is the saved request; inMap says whether it is a per-request entry
    // (false: the shared slot, the completion then travels in `completion`). Each calls the
    // completion at most once and at once, except a token-invalid reply waiting for a
    // refresh; exactly once overall.
    void handleBodySignedReply(const HTTPURLResponsePtr& response,
                               const std::optional<Value>& reply,
                               const std::shared_ptr<QKNetworkRequestObject>& entry, bool inMap,
                               Completion completion);
    void handleOpenApiReply(const HTTPURLResponsePtr& response, const std::optional<Value>& reply,
                            Completion completion);
    void handleTransportFailure(const ErrorPtr& error, const Completion& completion,
                                const std::shared_ptr<QKNetworkRequestObject>& entry, bool inMap);

    // Requests waiting for their first reply or for a refresh (tests).
    size_t pendingRequestCount() const;

    QKNetWorkManager() = default;

  private:
    // The cloud's session, its security policy made afresh from the SDK configuration.
    std::shared_ptr<QKAFHTTPSessionManager> manager();
    // The policy the SDK configuration asks for now (roots, pins, the permissive choice).
    std::shared_ptr<QKAFSecurityPolicy> securityPolicy();
    std::shared_ptr<QKRefreshDelegate> delegate() const;
    bool isUseRepeatRequestMap() const;
    URLSessionTaskPtr sendBodySigned(const std::string& url, const Value& bodyDic,
                                     const Value& extraDict, Completion completion,
                                     std::shared_ptr<QKNetworkRequestObject> replayOf);
    URLSessionTaskPtr post(
        const std::shared_ptr<QKAFHTTPSessionManager>& session, const std::string& url,
        const Value& body,
        std::function<void(const HTTPURLResponsePtr&, const std::optional<Value>&)> onReply,
        std::function<void(const ErrorPtr&)> onFailure);
    void keepHeaders(const HTTPURLResponsePtr& response);
    // Takes the entry's completion out (once) and forgets the entry.
    Completion finish(const std::shared_ptr<QKNetworkRequestObject>& entry, bool inMap,
                      Completion fallback);
    void askRefresh();
    void sdkrepeatNetWorkRequest();

    Semaphore semaphore_{1};
    mutable std::mutex mutex_;  // guards everything below
    std::shared_ptr<QKAFHTTPSessionManager> manager_;
    // The permissive choice was on at the last policy made (its warning is logged once).
    bool permissive_ = false;
    HTTPHeaderFields responseHeaderFields_;
    std::shared_ptr<QKNetworkRequestObject> repeatRequest_;
    // One entry per body-signed request while a refresh delegate is set, in order of sending.
    std::vector<std::shared_ptr<QKNetworkRequestObject>> repeatReqDict_;
};

class QKNetWorkManagerTool {
  public:
    // A URL starting with "http" is sent as the special URL, anything else as the API path;
    // no extra dictionary.
    static URLSessionTaskPtr requestUrl(const std::string& url, const Value& param,
                                        QKNetWorkManager::Completion completion);
};

}  // namespace telvo

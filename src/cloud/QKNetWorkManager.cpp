#include "cloud/QKNetWorkManager.h"

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "core/TelvoTool.h"
#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/crypto/Random.h"
#include "platform/dispatch/Clock.h"
#include "records/QKMiddleInterface.h"
#include "security/QKDataSecurity.h"
#include "security/TextBytes.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr double kRequestTimeout = 30;

SharedInstance<QKNetWorkManager>& sharedNetworkManager() {
    return processWide([] { return new SharedInstance<QKNetWorkManager>(); });
}

std::shared_ptr<QKMiddleConfig> config() {
    return QKMiddleInterface::shareInstance()->middleConfig();
}

std::string workMode() {
    return QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
}

// The caller's body on top of the common keys.
Value merged(Dictionary common, const Value& body) {
    for (const auto& [key, value] : body.dictionary()) common.set(key, value);
    return Value(std::move(common));
}

std::string logTag(const Value& extra) {
    return extra["kLogTagIdKey"].stringValue();
}

void setDelegateHeaders(QKAFHTTPRequestSerializer& serializer,
                        const std::shared_ptr<QKRefreshDelegate>& delegate,
                        const std::string& apiPath) {
    if (!delegate) return;
    std::optional<Value> extra = delegate->smartSDKGetHeadDictWithApiPath(apiPath);
    if (!extra) return;
    for (const auto& [name, value] : extra->dictionary())
        serializer.setValue(value.stringValue(), name);
}

std::shared_ptr<QKAFJSONRequestSerializer> freshRequestSerializer() {
    auto serializer = QKAFJSONRequestSerializer::serializer();
    serializer->setTimeoutInterval(kRequestTimeout);
    return serializer;
}

// The app's roots for the cloud, when it set any, in place of the system's.
void useConfiguredRoots(QKAFSecurityPolicy& policy) {
    std::vector<Bytes> roots = config()->cloudRootCers();
    if (!roots.empty())
        policy.setAnchorCertificates(
            QKAFSecurityPolicy::CertificateSet(roots.begin(), roots.end()));
}

// The app's refresh block: only its first call counts.
std::function<void(bool)> onlyFirstCall(std::function<void(bool)> done) {
    auto called = std::make_shared<std::atomic<bool>>(false);
    return [called, done = std::move(done)](bool refreshed) {
        if (!called->exchange(true)) done(refreshed);
    };
}

std::shared_ptr<QKAFJSONResponseSerializer> freshResponseSerializer() {
    auto serializer = QKAFJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues(true);
    return serializer;
}

}  // namespace

std::shared_ptr<QKNetWorkManager> QKNetWorkManager::shareInstance() {
    auto instance = sharedNetworkManager().get([] { return std::make_shared<QKNetWorkManager>(); });
    QKAFNetworkReachabilityManager::sharedManager()->startMonitoring();
    return instance;
}

void QKNetWorkManager::resetForTesting() {
    sharedNetworkManager().exchange();
}

void QKNetWorkManager::setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate> delegate) {
    QKMiddleInterface::shareInstance()->setTokenRefreshDelegate(std::move(delegate));
}

std::shared_ptr<QKRefreshDelegate> QKNetWorkManager::delegate() const {
    return QKMiddleInterface::shareInstance()->tokenRefreshDelegate();
}

bool QKNetWorkManager::isUseRepeatRequestMap() const {
    auto current = delegate();
    return current && current->respondsToRefreshToken();
}

std::shared_ptr<QKAFHTTPSessionManager> QKNetWorkManager::manager() {
    std::shared_ptr<QKAFHTTPSessionManager> session;
    {
        std::lock_guard lock(mutex_);
        if (!manager_) {
            manager_ = QKAFHTTPSessionManager::manager();
            manager_->operationQueue()->setMaxConcurrentOperationCount(2);
        }
        session = manager_;
    }
    // Roots and pins the app sets between requests apply to the next one.
    session->setSecurityPolicy(securityPolicy());
    return session;
}

std::shared_ptr<QKAFSecurityPolicy> QKNetWorkManager::securityPolicy() {
    auto settings = config();
    std::vector<Bytes> pinned = settings->cers();
    std::shared_ptr<QKAFSecurityPolicy> policy;
    // The chain to the roots, the host name, validity and purpose are checked; pins narrow
    // that check.
    if (settings->SSLPinningMode() > 0 && !pinned.empty()) {
        policy = QKAFSecurityPolicy::policyWithPinningMode(
            QKAFSSLPinningModePublicKey,
            QKAFSecurityPolicy::CertificateSet(pinned.begin(), pinned.end()));
    } else {
        policy = QKAFSecurityPolicy::defaultPolicy();
    }
    useConfiguredRoots(*policy);
    const bool permissive = settings->allowInvalidCloudCertificates();
    bool warn;
    {
        std::lock_guard lock(mutex_);
        warn = permissive && !permissive_;
        permissive_ = permissive;
    }
    if (warn) {
        QKSDKLOG(
            "warning: the app allows invalid cloud certificates: the cloud's chain, validity "
            "and host name go unchecked%s",
            policy->SSLPinningMode() > 0 ? " (pinned keys still apply)" : "");
    }
    if (permissive) {
        policy->setAllowInvalidCertificates(true);
        policy->setValidatesDomainName(false);
    }
    return policy;
}

std::string QKNetWorkManager::getAllRequestUrlWithPath(const std::string& path) const {
    if (path.starts_with("http")) return path;
    auto current = delegate();
    std::string fullPath = path;
    if (current) {
        if (auto prefix = current->smartSDKGetMasPathPrefix(); prefix && !prefix->empty())
            fullPath = *prefix + path;
    }
    std::optional<std::string> host;
    if (current) host = current->smartSDKGetHostWithApiPath(fullPath);
    return (host ? *host : config()->serverHost()) + fullPath;
}

Dictionary QKNetWorkManager::getKCloudNormalDic() const {
    Dictionary common{
        {"reqId", Value(QKTool::createReqId())},
        {"stamp", Value(QKTool::getNSStringFromNSDate(Clock::wallTime(), "yyyyMMddHHmmss"))},
    };
    const std::string mode = workMode();
    if (mode == "1" || mode == "10003" || mode == "10004") {
        common.set("deviceId", Value(QKTool::getCurrentUUID()));
        common.set("format", Value("2"));
        common.set("appId", Value(config()->appId()));
        common.set("clientType", Value("2"));
    }
    return common;
}

std::optional<std::string> QKNetWorkManager::getHMacSignStrWithDic(const Value& body,
                                                                   const std::string& randomStr) {
    std::optional<std::string> json = QKStringFormat::dicToJsonStr(body);
    if (!json) return std::nullopt;
    auto settings = config();
    return QKDataSecurity::hmacSHA256WithSecret(settings->httpSignKey(),
                                                settings->httpSignSecret() + *json + randomStr);
}

std::optional<std::string> QKNetWorkManager::getKorvoOpenHMacSignStrWithDic(
    const Value& body, const std::string& api) {
    std::optional<std::string> json = TelvoTool::returnJSONStringWithDictionary(body);
    if (!json) return std::nullopt;
    const std::string tokenHash = QKDataSecurity::getSha256String(config()->accessToken());
    std::optional<Bytes> key = QKStringFormat::dataForHexString(tokenHash.substr(0, 32));
    if (!key) return std::nullopt;
    const std::string content = "POST" + api + *json;
    return QKDataSecurity::base64EncodedData(
        QKDataSecurity::hmacSHA256WithSecretData(*key, textbytes::bytesOf(content)));
}

URLSessionTaskPtr QKNetWorkManager::requestServerWithApi(const std::string& api,
                                                         const std::string& specialUrl,
                                                         const Value& bodyDic,
                                                         const Value& extraDict,
                                                         Completion completion) {
    const std::string url = specialUrl.empty() ? getAllRequestUrlWithPath(api) : specialUrl;
    return requestKUCUrl(url, bodyDic, extraDict, std::move(completion));
}

URLSessionTaskPtr QKNetWorkManager::requestKUCUrl(const std::string& url, const Value& bodyDic,
                                                  const Value& extraDict, Completion completion) {
    return sendBodySigned(url, bodyDic, extraDict, std::move(completion), nullptr);
}

URLSessionTaskPtr QKNetWorkManager::sendBodySigned(
    const std::string& url, const Value& bodyDic, const Value& extraDict, Completion completion,
    std::shared_ptr<QKNetworkRequestObject> replayOf) {
    auto session = manager();
    semaphore_.wait();
    const Value body = merged(getKCloudNormalDic(), bodyDic);
    const std::string randomStr = std::to_string(Random::shared()->uniform32() % 65535);
    const std::optional<std::string> sign = getHMacSignStrWithDic(body, randomStr);

    if (!std::dynamic_pointer_cast<QKAFJSONResponseSerializer>(session->responseSerializer()))
        session->setResponseSerializer(freshResponseSerializer());
    if (auto json =
            std::dynamic_pointer_cast<QKAFJSONResponseSerializer>(session->responseSerializer()))
        json->setRemovesKeysWithNullValues(true);
    // Every request starts from a new serializer: no header of an earlier request (its token,
    // signature or open-API fields) is sent again.
    auto serializer = freshRequestSerializer();
    auto settings = config();
    const std::string token = settings->accessToken();
    if (workMode() == "10004") serializer->setValue("Bearer " + token, "Authorization");
    serializer->setValue(randomStr, "random");
    serializer->setValue("application/json", "Content-Type");
    serializer->setValue(sign.value_or(""), "sign");
    serializer->setValue("1", "secretVersion");
    if (!token.empty()) serializer->setValue(token, "accessToken");
    auto current = delegate();
    setDelegateHeaders(*serializer, current, url);
    session->setRequestSerializer(serializer);

    const bool inMap = replayOf || (current && current->respondsToRefreshToken());
    std::shared_ptr<QKNetworkRequestObject> entry = replayOf;
    {
        std::lock_guard lock(mutex_);
        if (!entry && inMap) {
            entry = std::make_shared<QKNetworkRequestObject>();
            entry->competionBlock = completion;
            repeatReqDict_.push_back(entry);
        } else if (!entry) {
            if (!repeatRequest_) repeatRequest_ = std::make_shared<QKNetworkRequestObject>();
            entry = repeatRequest_;
            entry->competionBlock = nullptr;
        }
        entry->urlString = url;
        entry->postDic = bodyDic.isDictionary() ? bodyDic : Value(Dictionary{});
        entry->isKUCRequest = true;
    }
    const std::string tag = logTag(extraDict);
    QKSDKLOG_TAG(tag.c_str(), "cloud request %s", url.c_str());

    auto self = shared_from_this();
    URLSessionTaskPtr task = post(
        session, url, body,
        [self, entry, inMap, completion](const HTTPURLResponsePtr& response,
                                         const std::optional<Value>& reply) {
            self->handleBodySignedReply(response, reply, entry, inMap, completion);
        },
        [self, entry, inMap, completion](const ErrorPtr& error) {
            self->handleTransportFailure(error, completion, entry, inMap);
        });
    semaphore_.signal();
    return task;
}

URLSessionTaskPtr QKNetWorkManager::requestKorvoOpenApi(const std::string& api,
                                                        const Value& bodyDic,
                                                        const Value& extraDict,
                                                        Completion completion) {
    auto session = manager();
    semaphore_.wait();
    const std::string url = getAllRequestUrlWithPath(api);
    Dictionary common{
        {"reqId", Value(QKTool::createReqId())},
        {"stamp", Value(Clock::wallMillis())},
    };
    const Value body = merged(std::move(common), bodyDic);
    session->setResponseSerializer(freshResponseSerializer());
    auto serializer = freshRequestSerializer();
    auto settings = config();
    serializer->setValue("Bearer " + settings->accessToken(), "Authorization");
    serializer->setValue(getKorvoOpenHMacSignStrWithDic(body, api).value_or(""), "Signature");
    serializer->setValue("2.1", "SignatureVersion");
    serializer->setValue(settings->clientId(), "ClientId");
    serializer->setValue("application/json", "Content-Type");
    serializer->setValue("application/json", "Accept");
    setDelegateHeaders(*serializer, delegate(), api);
    session->setRequestSerializer(serializer);
    {
        std::lock_guard lock(mutex_);
        if (!repeatRequest_) repeatRequest_ = std::make_shared<QKNetworkRequestObject>();
        repeatRequest_->urlString = url;
        repeatRequest_->apiPath = api;
        repeatRequest_->postDic = bodyDic.isDictionary() ? bodyDic : Value(Dictionary{});
        repeatRequest_->isKUCRequest = false;
        repeatRequest_->competionBlock = nullptr;
    }
    const std::string tag = logTag(extraDict);
    QKSDKLOG_TAG(tag.c_str(), "cloud open-API request %s", url.c_str());

    auto self = shared_from_this();
    URLSessionTaskPtr task = post(
        session, url, body,
        [self, completion](const HTTPURLResponsePtr& response, const std::optional<Value>& reply) {
            self->handleOpenApiReply(response, reply, completion);
        },
        [self, completion](const ErrorPtr& error) {
            self->handleTransportFailure(error, completion, nullptr, false);
        });
    semaphore_.signal();
    return task;
}

URLSessionTaskPtr QKNetWorkManager::post(
    const std::shared_ptr<QKAFHTTPSessionManager>& session, const std::string& url,
    const Value& body,
    std::function<void(const HTTPURLResponsePtr&, const std::optional<Value>&)> onReply,
    std::function<void(const ErrorPtr&)> onFailure) {
    return session->POST(
        url, body, nullptr,
        [onReply](const URLSessionTaskPtr& task, const std::optional<Value>& object) {
            onReply(task ? task->response() : nullptr, object);
        },
        [onFailure](const URLSessionTaskPtr&, const ErrorPtr& error) { onFailure(error); });
}

void QKNetWorkManager::keepHeaders(const HTTPURLResponsePtr& response) {
    if (!response) return;
    std::lock_guard lock(mutex_);
    responseHeaderFields_ = response->headers;
}

HTTPHeaderFields QKNetWorkManager::responseHeaderFields() const {
    std::lock_guard lock(mutex_);
    return responseHeaderFields_;
}

bool QKNetWorkManager::isValidMCUResponse(const std::optional<Value>& reply) {
    if (!reply || !reply->isDictionary()) return false;
    const Value* code = reply->dictionary().find("code");
    if (!code || !(code->isNumber() || code->isText())) return false;
    if (code->int64Value() == 0) return true;
    const Value* msg = reply->dictionary().find("msg");
    return !msg || msg->isText();
}

bool QKNetWorkManager::isInvalidTokenWithCode(int64_t code) {
    auto settings = config();
    const int64_t configured = settings->tokenInvalidErrorCode();
    if (configured != 0 && configured == code) return true;
    const int64_t mode = settings->workmode();
    return (mode == 1 || mode == 2 || mode == 8888) && (code == 40001 || code == 40002);
}

ErrorPtr QKNetWorkManager::tokenInvalidError(const Value& reply) {
    return makeError("NSError", reply["code"].int64Value(), reply["msg"].stringValue());
}

ErrorPtr QKNetWorkManager::getErrorWithObject(const Value& reply) {
    const int64_t code = reply["code"].int64Value();
    return TelvoError::errorWithType(3, code <= 9999 ? 3 : 4, code, reply["msg"].optionalText());
}

QKNetWorkManager::Completion QKNetWorkManager::finish(
    const std::shared_ptr<QKNetworkRequestObject>& entry, bool inMap, Completion fallback) {
    if (!inMap) return fallback;
    std::lock_guard lock(mutex_);
    std::erase(repeatReqDict_, entry);
    return std::exchange(entry->competionBlock, nullptr);
}

void QKNetWorkManager::handleBodySignedReply(const HTTPURLResponsePtr& response,
                                             const std::optional<Value>& reply,
                                             const std::shared_ptr<QKNetworkRequestObject>& entry,
                                             bool inMap, Completion completion) {
    keepHeaders(response);
    auto call = [&](const ErrorPtr& error, const std::optional<Value>& object) {
        if (Completion done = finish(entry, inMap, completion)) done(error, object);
    };
    if (!isValidMCUResponse(reply)) {
        QKSDKLOG("cloud reply not in the expected form");
        call(TelvoError::sdkErrorWithType(3, 9000), std::nullopt);
        return;
    }
    const int64_t code = (*reply)["code"].int64Value();
    if (code == 0) {
        {
            std::lock_guard lock(mutex_);
            entry->repeateCount = 0;
            entry->needRepeat = false;
        }
        call(TelvoError::sucError(), reply);
        return;
    }
    if (!isInvalidTokenWithCode(code)) {
        call(getErrorWithObject(*reply), reply);
        return;
    }
    int64_t count;
    {
        std::lock_guard lock(mutex_);
        entry->needRepeat = true;
        count = ++entry->repeateCount;
    }
    auto current = delegate();
    if (!inMap || !current || !current->respondsToRefreshToken() || count > 1) {
        call(tokenInvalidError(*reply), reply);
        return;
    }
    QKSDKLOG("cloud token invalid (code %lld), asking for a refresh", (long long)code);
    std::weak_ptr<QKNetWorkManager> weak = weak_from_this();
    const Value saved = *reply;
    current->refreshToken(onlyFirstCall([weak, entry, saved](bool refreshed) {
        auto self = weak.lock();
        if (!self) return;
        if (refreshed) {
            self->sdkrepeatNetWorkRequest();
            return;
        }
        // Refused: the entry ends here unless another refresh has already replayed it.
        {
            std::lock_guard lock(self->mutex_);
            if (entry->replayed) return;
        }
        if (Completion done = self->finish(entry, true, nullptr))
            done(tokenInvalidError(saved), saved);
    }));
}

void QKNetWorkManager::handleOpenApiReply(const HTTPURLResponsePtr& response,
                                          const std::optional<Value>& reply,
                                          Completion completion) {
    keepHeaders(response);
    // A reply that is not an object has no code.
    const int64_t code = reply && reply->isDictionary() ? (*reply)["code"].int64Value() : 0;
    std::shared_ptr<QKNetworkRequestObject> slot;
    {
        std::lock_guard lock(mutex_);
        if (!repeatRequest_) repeatRequest_ = std::make_shared<QKNetworkRequestObject>();
        slot = repeatRequest_;
    }
    if (code == 0) {
        {
            std::lock_guard lock(mutex_);
            slot->repeateCount = 0;
            slot->needRepeat = false;
        }
        if (completion) completion(TelvoError::sucError(), reply);
        return;
    }
    if (!isInvalidTokenWithCode(code)) {
        if (completion) completion(getErrorWithObject(*reply), reply);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        slot->needRepeat = true;
        ++slot->repeateCount;
    }
    if (completion) completion(tokenInvalidError(*reply), reply);
    askRefresh();
}

void QKNetWorkManager::handleTransportFailure(const ErrorPtr& error, const Completion& completion,
                                              const std::shared_ptr<QKNetworkRequestObject>& entry,
                                              bool inMap) {
    QKSDKLOG("cloud request failed: %s (%s %lld)",
             error ? error->localizedDescription().c_str() : "",
             error ? error->domain().c_str() : "", error ? (long long)error->code() : 0LL);
    if (Completion done = finish(entry, inMap, completion))
        done(TelvoError::sdkErrorWithType(3, 9002), std::nullopt);
}

void QKNetWorkManager::askRefresh() {
    auto current = delegate();
    if (!current || !current->respondsToRefreshToken()) return;
    std::weak_ptr<QKNetWorkManager> weak = weak_from_this();
    current->refreshToken(onlyFirstCall([weak](bool refreshed) {
        if (auto self = weak.lock(); self && refreshed) self->sdkrepeatNetWorkRequest();
    }));
}

void QKNetWorkManager::sdkrepeatNetWorkRequest() {
    struct Replay {
        std::shared_ptr<QKNetworkRequestObject> entry;  // null: the slot, reporting to nobody
        bool isKUCRequest;
        std::string target;
        Value body;
    };
    std::vector<Replay> replays;
    const bool useMap = isUseRepeatRequestMap();
    {
        std::lock_guard lock(mutex_);
        if (useMap) {
            for (const auto& entry : repeatReqDict_) {
                if (entry->needRepeat && entry->repeateCount <= 1 && !entry->replayed) {
                    entry->replayed = true;
                    replays.push_back({entry, true, entry->urlString, entry->postDic});
                }
            }
        } else if (repeatRequest_ && repeatRequest_->needRepeat &&
                   repeatRequest_->repeateCount <= 1) {
            const auto& slot = *repeatRequest_;
            replays.push_back({nullptr, slot.isKUCRequest,
                               slot.isKUCRequest ? slot.urlString : slot.apiPath, slot.postDic});
        }
    }
    for (const Replay& replay : replays) {
        if (replay.isKUCRequest)
            sendBodySigned(replay.target, replay.body, Value(Dictionary{}), nullptr, replay.entry);
        else
            requestKorvoOpenApi(replay.target, replay.body, Value(Dictionary{}), nullptr);
    }
}

size_t QKNetWorkManager::pendingRequestCount() const {
    std::lock_guard lock(mutex_);
    return repeatReqDict_.size();
}

int64_t QKNetWorkManager::reachabilityStatus() const {
    return QKAFNetworkReachabilityManager::sharedManager()->networkReachabilityStatus();
}

void QKNetWorkManager::downLoadFileWithURL(const std::string& url, const std::string& filePath,
                                           std::function<void(const ErrorPtr& error)> completion) {
    auto session = QKAFHTTPSessionManager::manager();
    session->setSecurityPolicy(securityPolicy());
    URLRequest request;
    request.url = url;
    auto task = session->downloadTaskWithRequest(
        request, nullptr,
        [filePath](const std::string&,
                   const HTTPURLResponsePtr& response) -> std::optional<std::string> {
            if (!response || response->statusCode != 200) return std::nullopt;
            std::error_code ignored;
            std::filesystem::remove(filePath, ignored);
            return filePath;
        },
        // The completion keeps the session manager alive until the task ends.
        [completion, session](const HTTPURLResponsePtr&, const std::optional<Value>&,
                              const ErrorPtr& error) {
            if (completion) completion(error ? error : TelvoError::sucError());
        });
    if (task) task->resume();
}

URLSessionTaskPtr QKNetWorkManagerTool::requestUrl(const std::string& url, const Value& param,
                                                   QKNetWorkManager::Completion completion) {
    auto client = QKNetWorkManager::shareInstance();
    const bool full = url.starts_with("http");
    return client->requestServerWithApi(full ? std::string() : url, full ? url : std::string(),
                                        param, Value(Dictionary{}), std::move(completion));
}

}  // namespace telvo

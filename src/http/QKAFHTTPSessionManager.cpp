#include "http/QKAFHTTPSessionManager.h"

#include <cstdio>
#include <utility>

#include "platform/foundation/KeyedArchive.h"

namespace telvo {

std::shared_ptr<QKAFHTTPSessionManager> QKAFHTTPSessionManager::initWithBaseURL(
    std::optional<std::string> baseURL, std::optional<URLSessionConfiguration> configuration) {
    auto manager =
        std::make_shared<QKAFHTTPSessionManager>(std::move(baseURL), std::move(configuration));
    manager->setUp();
    return manager;
}

QKAFHTTPSessionManager::QKAFHTTPSessionManager(std::optional<std::string> baseURL,
                                               std::optional<URLSessionConfiguration> configuration)
    : QKAFURLSessionManager(std::move(configuration)),
      requestSerializer_(QKAFHTTPRequestSerializer::serializer()) {
    if (baseURL) {
        auto path = pathOfURL(*baseURL);
        if (path && !path->empty() && !baseURL->ends_with("/")) {
            // An empty path component appended.
            if (auto withSlash = resolveURL(*baseURL, path->substr(path->rfind('/') + 1) + "/"))
                baseURL = withSlash;
        }
    }
    baseURL_ = std::move(baseURL);
    setResponseSerializer(QKAFJSONResponseSerializer::serializer());
}

std::shared_ptr<QKAFHTTPRequestSerializer> QKAFHTTPSessionManager::requestSerializer() const {
    std::lock_guard<std::mutex> lock(serializerMutex_);
    return requestSerializer_;
}

void QKAFHTTPSessionManager::setRequestSerializer(
    std::shared_ptr<QKAFHTTPRequestSerializer> serializer) {
    std::lock_guard<std::mutex> lock(serializerMutex_);
    requestSerializer_ = std::move(serializer);
}

std::string QKAFHTTPSessionManager::description() const {
    char text[48];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return std::string("<QKAFHTTPSessionManager: ") + text +
           ", baseURL: " + baseURL_.value_or("(null)") + ", session: " + session()->description() +
           ", operationQueue: " + describe(*operationQueue()) + ">";
}

std::shared_ptr<QKAFURLSessionManager> QKAFHTTPSessionManager::copy() const {
    auto manager = initWithBaseURL(baseURL_, sessionConfiguration());
    manager->setRequestSerializer(
        std::static_pointer_cast<QKAFHTTPRequestSerializer>(requestSerializer()->copy()));
    if (auto serializer = responseSerializer()) manager->setResponseSerializer(serializer->copy());
    if (auto policy = securityPolicy()) manager->setSecurityPolicy(policy->copy());
    return manager;
}

void QKAFHTTPSessionManager::encodeWithCoder(Dictionary& coder) const {
    QKAFURLSessionManager::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFHTTPSessionManager"));
    if (baseURL_) coder.set("baseURL", Value(*baseURL_));
    auto archive = [&](const char* key, const auto& object) {
        if (!object) return;
        Dictionary archived;
        object->encodeWithCoder(archived);
        coder.set(key, Value(std::move(archived)));
    };
    archive("requestSerializer", requestSerializer());
    archive("responseSerializer", responseSerializer());
    archive("securityPolicy", securityPolicy());
}

std::shared_ptr<QKAFHTTPSessionManager> QKAFHTTPSessionManager::initWithCoder(
    const Dictionary& coder) {
    if (KeyedArchive::classOf(Value(coder)) != "QKAFHTTPSessionManager") return nullptr;
    bool ok = true;
    auto configuration = configurationWithCoder(coder, &ok);
    const Value& baseURL = coder["baseURL"];
    const Value &request = coder["requestSerializer"], &response = coder["responseSerializer"],
                &policy = coder["securityPolicy"];
    if (!ok || !(baseURL.isNull() || baseURL.isText())) return nullptr;
    auto manager = initWithBaseURL(baseURL.optionalText(), std::move(configuration));
    if (!request.isNull()) {
        auto serializer = std::dynamic_pointer_cast<QKAFHTTPRequestSerializer>(
            request.isDictionary()
                ? QKAFURLRequestSerialization::initWithCoder(request.dictionary())
                : nullptr);
        if (!serializer) return nullptr;
        manager->setRequestSerializer(std::move(serializer));
    }
    if (!response.isNull()) {
        auto serializer = response.isDictionary()
                              ? QKAFURLResponseSerialization::initWithCoder(response.dictionary())
                              : nullptr;
        if (!serializer) return nullptr;
        manager->setResponseSerializer(std::move(serializer));
    }
    if (!policy.isNull()) {
        auto decoded = policy.isDictionary()
                           ? QKAFSecurityPolicy::initWithCoder(policy.dictionary())
                           : nullptr;
        if (!decoded) return nullptr;
        manager->setSecurityPolicy(std::move(decoded));
    }
    return manager;
}

std::string QKAFHTTPSessionManager::absoluteURL(const std::string& URLString) const {
    if (!baseURL_) return URLString;
    return resolveURL(*baseURL_, URLString).value_or(URLString);
}

void QKAFHTTPSessionManager::failWithoutTask(const Failure& failure, ErrorPtr error) const {
    if (!failure) return;
    DispatchQueuePtr queue = completionQueue();
    if (!queue) queue = DispatchQueue::main();
    queue->async([failure, error = std::move(error)] { failure(nullptr, error); });
}

QKAFURLSessionManager::CompletionHandler QKAFHTTPSessionManager::completionCalling(
    std::shared_ptr<URLSessionTaskPtr> holder, Success success, Failure failure) {
    return
        [holder, success = std::move(success), failure = std::move(failure)](
            const HTTPURLResponsePtr&, const std::optional<Value>& object, const ErrorPtr& error) {
            URLSessionTaskPtr task = std::exchange(*holder, nullptr);
            if (error) {
                if (failure) failure(task, error);
            } else if (success) {
                success(task, object);
            }
        };
}

namespace {
ErrorPtr invalidatedSessionError(const std::string& url) {
    return makeError(kNSURLErrorDomain, URLError::cancelled, "The session was invalidated.",
                     Dictionary{{kNSURLErrorFailingURLStringErrorKey, Value(url)}});
}
}  // namespace

URLSessionTaskPtr QKAFHTTPSessionManager::dataTaskWithHTTPMethod(
    const std::string& method, const std::string& URLString, const std::optional<Value>& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, Success success,
    Failure failure) {
    std::string url = absoluteURL(URLString);
    ErrorPtr serializationError;
    std::optional<URLRequest> request =
        requestSerializer()->requestWithMethod(method, url, parameters, &serializationError);
    if (serializationError || !request) {
        failWithoutTask(failure, serializationError);
        return nullptr;
    }
    // The completion holds its task until it has run once.
    auto holder = std::make_shared<URLSessionTaskPtr>();
    auto task =
        dataTaskWithRequest(*request, std::move(uploadProgress), std::move(downloadProgress),
                            completionCalling(holder, success, failure));
    if (!task) failWithoutTask(failure, invalidatedSessionError(url));
    *holder = task;
    return task;
}

URLSessionTaskPtr QKAFHTTPSessionManager::POSTConstructingBodyWithBlock(
    const std::string& URLString, const std::optional<Value>& parameters,
    ConstructingBodyBlock block, Success success, Failure failure) {
    return POSTConstructingBodyWithBlock(URLString, parameters, std::move(block), nullptr,
                                         std::move(success), std::move(failure));
}

URLSessionTaskPtr QKAFHTTPSessionManager::POSTConstructingBodyWithBlock(
    const std::string& URLString, const std::optional<Value>& parameters,
    ConstructingBodyBlock block, ProgressBlock uploadProgress, Success success, Failure failure) {
    std::string url = absoluteURL(URLString);
    ErrorPtr serializationError;
    std::optional<URLRequest> request = requestSerializer()->multipartFormRequestWithMethod(
        "POST", url, parameters, block, &serializationError);
    if (serializationError || !request) {
        failWithoutTask(failure, serializationError);
        return nullptr;
    }
    auto holder = std::make_shared<URLSessionTaskPtr>();
    auto task = uploadTaskWithStreamedRequest(*request, std::move(uploadProgress),
                                              completionCalling(holder, success, failure));
    if (!task) failWithoutTask(failure, invalidatedSessionError(url));
    *holder = task;
    return start(task);
}

URLSessionTaskPtr QKAFHTTPSessionManager::GET(const std::string& URLString,
                                              const std::optional<Value>& parameters,
                                              Success success, Failure failure) {
    return GET(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

URLSessionTaskPtr QKAFHTTPSessionManager::GET(const std::string& URLString,
                                              const std::optional<Value>& parameters,
                                              ProgressBlock downloadProgress, Success success,
                                              Failure failure) {
    return start(dataTaskWithHTTPMethod("GET", URLString, parameters, nullptr,
                                        std::move(downloadProgress), std::move(success),
                                        std::move(failure)));
}

URLSessionTaskPtr QKAFHTTPSessionManager::HEAD(
    const std::string& URLString, const std::optional<Value>& parameters,
    std::function<void(const URLSessionTaskPtr&)> success, Failure failure) {
    Success forward;
    if (success)
        forward = [success](const URLSessionTaskPtr& task, const std::optional<Value>&) {
            success(task);
        };
    return start(dataTaskWithHTTPMethod("HEAD", URLString, parameters, nullptr, nullptr,
                                        std::move(forward), std::move(failure)));
}

URLSessionTaskPtr QKAFHTTPSessionManager::POST(const std::string& URLString,
                                               const std::optional<Value>& parameters,
                                               Success success, Failure failure) {
    return POST(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

URLSessionTaskPtr QKAFHTTPSessionManager::POST(const std::string& URLString,
                                               const std::optional<Value>& parameters,
                                               ProgressBlock uploadProgress, Success success,
                                               Failure failure) {
    return start(dataTaskWithHTTPMethod("POST", URLString, parameters, std::move(uploadProgress),
                                        nullptr, std::move(success), std::move(failure)));
}

URLSessionTaskPtr QKAFHTTPSessionManager::PUT(const std::string& URLString,
                                              const std::optional<Value>& parameters,
                                              Success success, Failure failure) {
    return start(dataTaskWithHTTPMethod("PUT", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

URLSessionTaskPtr QKAFHTTPSessionManager::PATCH(const std::string& URLString,
                                                const std::optional<Value>& parameters,
                                                Success success, Failure failure) {
    return start(dataTaskWithHTTPMethod("PATCH", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

URLSessionTaskPtr QKAFHTTPSessionManager::DELETE(const std::string& URLString,
                                                 const std::optional<Value>& parameters,
                                                 Success success, Failure failure) {
    return start(dataTaskWithHTTPMethod("DELETE", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

}  // namespace telvo

#include "http/QKAFHTTPSessionManager.h"

#include <cstdio>
#include <utility>

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
    char text[256];
    std::snprintf(text, sizeof text,
                  "<QKAFHTTPSessionManager: %p, baseURL: %s, session: %p, operationQueue: %s>",
                  static_cast<const void*>(this), baseURL_ ? baseURL_->c_str() : "(null)",
                  static_cast<const void*>(session().get()), operationQueue()->name().c_str());
    return text;
}

URLSessionTaskPtr QKAFHTTPSessionManager::dataTaskWithHTTPMethod(
    const std::string& method, const std::string& URLString, const std::optional<Value>& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, Success success,
    Failure failure) {
    std::string url = URLString;
    if (baseURL_) url = resolveURL(*baseURL_, URLString).value_or(URLString);
    ErrorPtr serializationError;
    std::optional<URLRequest> request =
        requestSerializer()->requestWithMethod(method, url, parameters, &serializationError);
    if (serializationError || !request) {
        if (failure) {
            DispatchQueuePtr queue = completionQueue();
            if (!queue) queue = DispatchQueue::main();
            queue->async([failure, serializationError] { failure(nullptr, serializationError); });
        }
        return nullptr;
    }
    // The completion holds its task until it has run once.
    auto holder = std::make_shared<URLSessionTaskPtr>();
    auto task = dataTaskWithRequest(
        *request, std::move(uploadProgress), std::move(downloadProgress),
        [holder, success, failure](const HTTPURLResponsePtr&, const std::optional<Value>& object,
                                   const ErrorPtr& error) {
            URLSessionTaskPtr task = std::exchange(*holder, nullptr);
            if (error) {
                if (failure) failure(task, error);
            } else if (success) {
                success(task, object);
            }
        });
    *holder = task;
    return task;
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

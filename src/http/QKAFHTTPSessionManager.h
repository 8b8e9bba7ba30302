#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/QKAFHTTPRequestSerializer.h"
#include "http/QKAFURLSessionManager.h"

namespace telvo {

// A session manager with a base URL, a request serializer and one operation per HTTP method.
// Success and failure blocks run on the completion queue (the main queue when null), never
// synchronously inside the operation; exactly one of them runs once per task.
class QKAFHTTPSessionManager : public QKAFURLSessionManager {
  public:
    using Success = std::function<void(const URLSessionTaskPtr& task,
                                       const std::optional<Value>& responseObject)>;
    // task is null when the request could not be serialized (or the session was invalidated).
    using Failure = std::function<void(const URLSessionTaskPtr& task, const ErrorPtr& error)>;
    using ConstructingBodyBlock = QKAFHTTPRequestSerializer::ConstructingBodyBlock;

    static std::shared_ptr<QKAFHTTPSessionManager> manager() {
        return initWithBaseURL(std::nullopt);
    }
    // A base URL whose path is not empty gets a trailing "/", so that relative paths resolve
    // below its last segment.
    static std::shared_ptr<QKAFHTTPSessionManager> initWithBaseURL(
        std::optional<std::string> baseURL,
        std::optional<URLSessionConfiguration> configuration = std::nullopt);

    const std::optional<std::string>& baseURL() const { return baseURL_; }
    std::shared_ptr<QKAFHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(std::shared_ptr<QKAFHTTPRequestSerializer> serializer);

    // Each builds a task, resumes it and returns it (null when the request could not be
    // serialized).
    URLSessionTaskPtr GET(const std::string& URLString, const std::optional<Value>& parameters,
                          Success success, Failure failure);
    URLSessionTaskPtr GET(const std::string& URLString, const std::optional<Value>& parameters,
                          ProgressBlock downloadProgress, Success success, Failure failure);
    URLSessionTaskPtr HEAD(const std::string& URLString, const std::optional<Value>& parameters,
                           std::function<void(const URLSessionTaskPtr&)> success, Failure failure);
    URLSessionTaskPtr POST(const std::string& URLString, const std::optional<Value>& parameters,
                           Success success, Failure failure);
    URLSessionTaskPtr POST(const std::string& URLString, const std::optional<Value>& parameters,
                           ProgressBlock uploadProgress, Success success, Failure failure);
    URLSessionTaskPtr PUT(const std::string& URLString, const std::optional<Value>& parameters,
                          Success success, Failure failure);
    URLSessionTaskPtr PATCH(const std::string& URLString, const std::optional<Value>& parameters,
                            Success success, Failure failure);
    URLSessionTaskPtr DELETE(const std::string& URLString, const std::optional<Value>& parameters,
                             Success success, Failure failure);

    // A multipart/form-data POST: the parameters as form parts, then what the block adds; the
    // body is streamed by an upload task, which is started and returned.
    URLSessionTaskPtr POSTConstructingBodyWithBlock(const std::string& URLString,
                                                    const std::optional<Value>& parameters,
                                                    ConstructingBodyBlock block, Success success,
                                                    Failure failure);
    URLSessionTaskPtr POSTConstructingBodyWithBlock(const std::string& URLString,
                                                    const std::optional<Value>& parameters,
                                                    ConstructingBodyBlock block,
                                                    ProgressBlock uploadProgress, Success success,
                                                    Failure failure);

    // Builds the request and the task without starting it.
    URLSessionTaskPtr dataTaskWithHTTPMethod(const std::string& method,
                                             const std::string& URLString,
                                             const std::optional<Value>& parameters,
                                             ProgressBlock uploadProgress,
                                             ProgressBlock downloadProgress, Success success,
                                             Failure failure);

    // "<QKAFHTTPSessionManager: 0x…, baseURL: …, session: …, operationQueue: …>"
    std::string description() const override;
    // A new manager with the same base URL and configuration and copies of the serializers
    // and the security policy.
    std::shared_ptr<QKAFURLSessionManager> copy() const override;
    // Adds "baseURL" (when set), "requestSerializer", "responseSerializer" and
    // "securityPolicy", each archived in turn.
    void encodeWithCoder(Dictionary& coder) const override;
    // An HTTP manager from an archive of one (see the base class); null for another class or
    // fields of the wrong kinds.
    static std::shared_ptr<QKAFHTTPSessionManager> initWithCoder(const Dictionary& coder);

    QKAFHTTPSessionManager(std::optional<std::string> baseURL,
                           std::optional<URLSessionConfiguration> configuration);

  private:
    URLSessionTaskPtr start(URLSessionTaskPtr task) {
        if (task) task->resume();
        return task;
    }
    std::string absoluteURL(const std::string& URLString) const;
    // The failure block, later on the completion queue, with no task.
    void failWithoutTask(const Failure& failure, ErrorPtr error) const;
    // A completion that calls exactly one of the blocks, once, with the task *holder names.
    static CompletionHandler completionCalling(std::shared_ptr<URLSessionTaskPtr> holder,
                                               Success success, Failure failure);

    std::optional<std::string> baseURL_;
    mutable std::mutex serializerMutex_;
    std::shared_ptr<QKAFHTTPRequestSerializer> requestSerializer_;
};

}  // namespace telvo

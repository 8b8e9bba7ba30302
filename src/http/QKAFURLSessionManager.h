#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/QKAFHTTPResponseSerializer.h"
#include "http/QKAFNetworkReachabilityManager.h"
#include "http/QKAFSecurityPolicy.h"
#include "http/QKAFURLSessionManagerTaskDelegate.h"
#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/http/URLSession.h"

namespace telvo {

inline constexpr const char* QKAFNetworkingTaskDidResumeNotification =
    "com.alamofire.networking.task.resume";
inline constexpr const char* QKAFNetworkingTaskDidSuspendNotification =
    "com.alamofire.networking.task.suspend";
inline constexpr const char* QKAFNetworkingTaskDidCompleteNotification =
    "com.alamofire.networking.task.complete";
inline constexpr const char* QKAFURLSessionDidInvalidateNotification =
    "com.alamofire.networking.session.invalidate";
inline constexpr const char* QKAFURLSessionDownloadTaskDidFailToMoveFileNotification =
    "com.alamofire.networking.session.download.file-manager-error";
inline constexpr const char* QKAFNetworkingTaskDidCompleteResponseSerializerKey =
    "com.alamofire.networking.task.complete.responseserializer";
inline constexpr const char* QKAFNetworkingTaskDidCompleteResponseDataKey =
    "com.alamofire.networking.complete.finish.responsedata";
inline constexpr const char* QKAFNetworkingTaskDidCompleteAssetPathKey =
    "com.alamofire.networking.task.complete.assetpath";
inline constexpr const char* QKAFNetworkingTaskDidCompleteSerializedResponseKey =
    "com.alamofire.networking.task.complete.serializedresponse";
inline constexpr const char* QKAFNetworkingTaskDidCompleteErrorKey =
    "com.alamofire.networking.task.complete.error";
// Posted synchronously by every task's resume and suspend (object: the task).
inline constexpr const char* QKAFNSURLSessionTaskDidResumeNotification =
    "com.alamofire.networking.nsurlsessiontask.resume";
inline constexpr const char* QKAFNSURLSessionTaskDidSuspendNotification =
    "com.alamofire.networking.nsurlsessiontask.suspend";

// Owns one URL session and is its delegate; keeps a delegate per task, runs the response
// serializer on the shared processing queue and hands each result to the completion queue.
//
// Queues: the session's events reach the manager on operationQueue; the server-trust
// challenge, though, is answered synchronously on the URL-loading thread (the TLS handshake
// waits for it). Completion handlers run on completionQueue (the main queue when null), never
// synchronously inside the call that made the task. Thread-safe.
class QKAFURLSessionManager : public URLSessionDelegate,
                              public std::enable_shared_from_this<QKAFURLSessionManager> {
  public:
    using CompletionHandler = QKAFURLSessionManagerTaskDelegate::CompletionHandler;
    using ProgressBlock = QKAFURLSessionManagerTaskDelegate::ProgressBlock;
    using DestinationBlock = QKAFURLSessionManagerTaskDelegate::DestinationBlock;
    // Hooks replacing a default handling; see the setters.
    using ChallengeBlock = std::function<bool(const URLSessionTaskPtr& task, SecTrust& trust,
                                              const std::string& host)>;
    using TaskDidCompleteBlock = std::function<void(const URLSessionTaskPtr&, const ErrorPtr&)>;
    // The answer replaces the default (allow): cancel ends the task with URLError::cancelled,
    // becomeDownload hands the body to a new download task.
    using DataTaskDidReceiveResponseBlock = std::function<URLSessionResponseDisposition(
        const URLSessionTaskPtr&, const HTTPURLResponsePtr&)>;
    using DataTaskDidBecomeDownloadTaskBlock = std::function<void(
        const URLSessionTaskPtr& dataTask, const URLSessionTaskPtr& downloadTask)>;
    // (download task, the file offset it goes on from, the total expected or -1)
    using DownloadTaskDidResumeBlock =
        std::function<void(const URLSessionTaskPtr&, int64_t, int64_t)>;
    using DataTaskDidReceiveDataBlock = std::function<void(const URLSessionTaskPtr&, const Bytes&)>;
    using DownloadTaskDidFinishDownloadingBlock = std::function<std::optional<std::string>(
        const URLSessionTaskPtr&, const std::string& temporaryFile)>;
    using SessionDidBecomeInvalidBlock =
        std::function<void(const std::shared_ptr<URLSession>&, const ErrorPtr&)>;
    using TaskNeedNewBodyStreamBlock =
        std::function<std::shared_ptr<InputStream>(const URLSessionTaskPtr&)>;
    // (task, bytes since the last call, total so far, total expected)
    using TaskDidSendBodyDataBlock =
        std::function<void(const URLSessionTaskPtr&, int64_t, int64_t, int64_t)>;
    using DownloadTaskDidWriteDataBlock = TaskDidSendBodyDataBlock;
    // (session, task, the redirect, the request following it sends) -> the request to follow
    // it with, or null to stop at the redirect (which becomes the task's reply).
    using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<URLRequest>(
        const std::shared_ptr<URLSession>&, const URLSessionTaskPtr&, const HTTPURLResponsePtr&,
        const URLRequest&)>;

    static std::shared_ptr<QKAFURLSessionManager> initWithSessionConfiguration(
        std::optional<URLSessionConfiguration> configuration);

    const std::shared_ptr<URLSession>& session() const { return session_; }
    const std::shared_ptr<OperationQueue>& operationQueue() const { return operationQueue_; }
    const URLSessionConfiguration& sessionConfiguration() const { return configuration_; }
    std::shared_ptr<QKAFURLResponseSerialization> responseSerializer() const;
    void setResponseSerializer(std::shared_ptr<QKAFURLResponseSerialization> serializer);
    std::shared_ptr<QKAFSecurityPolicy> securityPolicy() const;
    void setSecurityPolicy(std::shared_ptr<QKAFSecurityPolicy> policy);
    const std::shared_ptr<QKAFNetworkReachabilityManager>& reachabilityManager() const {
        return reachabilityManager_;
    }
    DispatchQueuePtr completionQueue() const;
    void setCompletionQueue(DispatchQueuePtr queue);
    // The group every completion block runs in; null (the default): one group of the process.
    DispatchGroupPtr completionGroup() const;
    void setCompletionGroup(DispatchGroupPtr group);
    std::atomic<bool> attemptsToRecreateUploadTasksForBackgroundSessions{false};

    // Tasks are made suspended; resume() starts them.
    URLSessionTaskPtr dataTaskWithRequest(const URLRequest& request, ProgressBlock uploadProgress,
                                          ProgressBlock downloadProgress,
                                          CompletionHandler completionHandler);
    URLSessionTaskPtr dataTaskWithRequest(const URLRequest& request,
                                          CompletionHandler completionHandler) {
        return dataTaskWithRequest(request, nullptr, nullptr, std::move(completionHandler));
    }
    // The body goes to a temporary file; destination (on operationQueue) names where to move
    // it, or nullopt to leave it. The response object is the file's final path when set.
    URLSessionTaskPtr downloadTaskWithRequest(const URLRequest& request, ProgressBlock progress,
                                              DestinationBlock destination,
                                              CompletionHandler completionHandler);
    // Goes on with a download that a cancel left (URLSessionTask::cancelByProducingResumeData);
    // null for resume data this library did not produce.
    URLSessionTaskPtr downloadTaskWithResumeData(const Bytes& resumeData, ProgressBlock progress,
                                                 DestinationBlock destination,
                                                 CompletionHandler completionHandler);
    // The body is the file (a file URL or a path), the bytes, or the request's body stream;
    // uploadProgress runs on operationQueue as bytes go out. Null once the session has been
    // invalidated (then nothing is called). A file upload that the session does not make is
    // tried three more times when attemptsToRecreateUploadTasksForBackgroundSessions is set
    // and the configuration has an identifier.
    URLSessionTaskPtr uploadTaskWithRequestFromFile(const URLRequest& request,
                                                    const std::string& fileURL,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    URLSessionTaskPtr uploadTaskWithRequestFromData(const URLRequest& request, Bytes bodyData,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    URLSessionTaskPtr uploadTaskWithStreamedRequest(const URLRequest& request,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    // The task's progress objects; null for a task this manager does not keep.
    std::shared_ptr<QKAFProgress> uploadProgressForTask(const URLSessionTaskPtr& task);
    std::shared_ptr<QKAFProgress> downloadProgressForTask(const URLSessionTaskPtr& task);

    // The session's tasks not yet completed (tasks: all three lists in that order). They wait
    // for the session's answer on operationQueue; called on operationQueue itself, they take
    // it at once.
    std::vector<URLSessionTaskPtr> tasks();
    std::vector<URLSessionTaskPtr> dataTasks();
    std::vector<URLSessionTaskPtr> uploadTasks();
    std::vector<URLSessionTaskPtr> downloadTasks();

    // On the main queue, later: true cancels every task and invalidates the session at once,
    // false lets the tasks finish first. QKAFURLSessionDidInvalidateNotification follows the
    // last completion; from the call on, no task can be made.
    void invalidateSessionCancelingTasks(bool cancelPendingTasks);

    // The challenge hooks run on the URL-loading thread and answer whether the chain is
    // trusted; the others run on operationQueue.
    void setSessionDidReceiveAuthenticationChallengeBlock(ChallengeBlock block);
    void setTaskDidReceiveAuthenticationChallengeBlock(ChallengeBlock block);
    void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
    void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
    void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
    void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);
    void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
    void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
    void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
    // Runs on the URL-loading thread, like the challenge hooks.
    void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
    void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
    void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
    // Runs on the URL-loading thread, like the challenge hooks, for the redirects the session's
    // rules let a task follow. The loader follows a redirect to where it points or not at all:
    // a request for another URL stops at the redirect, as null does; other changes to the
    // request are not applied.
    void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);

    // This manager's address as "%p" text, the description of every task it makes.
    std::string taskDescriptionForSessionTasks() const;
    // "<QKAFURLSessionManager: 0x…, session: <URLSession: 0x…>, operationQueue: <…>>"
    virtual std::string description() const;
    // A new manager with the same configuration (and nothing else).
    virtual std::shared_ptr<QKAFURLSessionManager> copy() const;
    // Keyed archiving: the class and "sessionConfiguration" (its identifier, request time-out
    // and download limit).
    virtual void encodeWithCoder(Dictionary& coder) const;
    // A manager of this class with the archived configuration; null for an archive of another
    // class or with fields of the wrong kinds. An archive without a configuration it can read
    // that names an "identifier" gets a background configuration of that identifier.
    static std::shared_ptr<QKAFURLSessionManager> initWithCoder(const Dictionary& coder);

    // URLSessionDelegate
    bool didReceiveServerTrustChallenge(const URLSessionTaskPtr& task, SecTrust& trust,
                                        const std::string& host) override;
    void didReceiveResponse(const URLSessionTaskPtr& task,
                            const HTTPURLResponsePtr& response) override;
    bool decidesResponseDisposition(const URLSessionTaskPtr& task) override;
    URLSessionResponseDisposition responseDisposition(const URLSessionTaskPtr& task,
                                                      const HTTPURLResponsePtr& response) override;
    void didBecomeDownloadTask(const URLSessionTaskPtr& dataTask,
                               const URLSessionTaskPtr& downloadTask) override;
    void didReceiveData(const URLSessionTaskPtr& task, const Bytes& data) override;
    void didWriteData(const URLSessionTaskPtr& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpected) override;
    void didResumeAtOffset(const URLSessionTaskPtr& task, int64_t fileOffset,
                           int64_t expectedTotalBytes) override;
    void didFinishDownloadingToURL(const URLSessionTaskPtr& task, const std::string& path) override;
    void didCompleteWithError(const URLSessionTaskPtr& task, const ErrorPtr& error) override;
    std::shared_ptr<InputStream> needNewBodyStream(const URLSessionTaskPtr& task) override;
    void didSendBodyData(const URLSessionTaskPtr& task, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend) override;
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>& session,
                                   const ErrorPtr& error) override;
    bool willPerformHTTPRedirection(const URLSessionTaskPtr& task,
                                    const HTTPURLResponsePtr& response,
                                    const URLRequest& request) override;

    explicit QKAFURLSessionManager(std::optional<URLSessionConfiguration> configuration);
    ~QKAFURLSessionManager() override;

  protected:
    // Makes the session (it needs a weak reference to this manager).
    void setUp();
    // The configuration an archive names (nullopt: the default one); false through ok for
    // fields of the wrong kinds.
    static std::optional<URLSessionConfiguration> configurationWithCoder(const Dictionary& coder,
                                                                         bool* ok);
    // "<OperationQueue: 0x…>{name = '…'}"
    static std::string describe(const OperationQueue& queue);

  private:
    friend class QKAFURLSessionManagerTaskDelegate;
    std::shared_ptr<QKAFURLSessionManagerTaskDelegate> delegateForTask(
        const URLSessionTaskPtr& task);
    void setDelegate(std::shared_ptr<QKAFURLSessionManagerTaskDelegate> delegate,
                     const URLSessionTaskPtr& task);
    void removeDelegateForTask(const URLSessionTaskPtr& task);
    std::shared_ptr<QKAFURLSessionManagerTaskDelegate> addDelegateForTask(
        const URLSessionTaskPtr& task, ProgressBlock uploadProgress, ProgressBlock downloadProgress,
        CompletionHandler completionHandler);
    void taskDidChangeState(const Notification& notification, bool resumed);
    // The settings and hooks under settingsMutex_.
    template <class T>
    T load(const T& slot) const {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        return slot;
    }
    template <class T>
    void store(T& slot, T value) {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        slot = std::move(value);
    }
    URLSessionTaskPtr registered(URLSessionTaskPtr task, ProgressBlock uploadProgress,
                                 CompletionHandler completionHandler);
    URLSessionTaskPtr registeredDownload(URLSessionTaskPtr task, ProgressBlock progress,
                                         DestinationBlock destination,
                                         CompletionHandler completionHandler);
    std::vector<URLSessionTaskPtr> sessionTasks(int kinds);

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<OperationQueue> operationQueue_;
    std::shared_ptr<URLSession> session_;
    const std::shared_ptr<QKAFNetworkReachabilityManager> reachabilityManager_;

    mutable std::mutex settingsMutex_;
    std::shared_ptr<QKAFURLResponseSerialization> responseSerializer_;
    std::shared_ptr<QKAFSecurityPolicy> securityPolicy_;
    DispatchQueuePtr completionQueue_;
    DispatchGroupPtr completionGroup_;
    ChallengeBlock sessionChallenge_, taskChallenge_;
    TaskDidCompleteBlock taskDidComplete_;
    DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse_;
    DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask_;
    DownloadTaskDidResumeBlock downloadTaskDidResume_;
    DataTaskDidReceiveDataBlock dataTaskDidReceiveData_;
    DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading_;
    SessionDidBecomeInvalidBlock sessionDidBecomeInvalid_;
    TaskNeedNewBodyStreamBlock taskNeedNewBodyStream_;
    TaskDidSendBodyDataBlock taskDidSendBodyData_;
    DownloadTaskDidWriteDataBlock downloadTaskDidWriteData_;
    TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection_;

    // "com.alamofire.networking.session.manager.lock": guards the two maps; never held while
    // another operation that takes it runs.
    std::mutex lock_;
    std::map<uint64_t, std::shared_ptr<QKAFURLSessionManagerTaskDelegate>>
        mutableTaskDelegatesKeyedByTaskIdentifier_;
    std::map<uint64_t, std::vector<NotificationObserverToken>> taskObservers_;
};

}  // namespace telvo

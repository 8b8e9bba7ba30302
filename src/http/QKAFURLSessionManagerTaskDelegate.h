#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/URLSession.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

// A task's upload or download progress. Cancelling cancels the task, pausing suspends it,
// resuming resumes it (the task is held weakly). Thread-safe.
class QKAFProgress {
  public:
    explicit QKAFProgress(std::weak_ptr<URLSessionTask> task) : task_(std::move(task)) {}
    std::atomic<int64_t> totalUnitCount{-1};
    std::atomic<int64_t> completedUnitCount{0};
    double fractionCompleted() const;
    void cancel();
    void pause();
    void resume();

  private:
    std::weak_ptr<URLSessionTask> task_;
};

class QKAFURLSessionManager;

// What the manager keeps for one task until the task completes. Its callbacks run on the
// manager's operation queue, one task's at a time.
class QKAFURLSessionManagerTaskDelegate {
  public:
    using CompletionHandler =
        std::function<void(const HTTPURLResponsePtr& response,
                           const std::optional<Value>& responseObject, const ErrorPtr& error)>;
    using ProgressBlock = std::function<void(const QKAFProgress& progress)>;
    using DestinationBlock = std::function<std::optional<std::string>(
        const std::string& temporaryFile, const HTTPURLResponsePtr& response)>;

    QKAFURLSessionManagerTaskDelegate(std::weak_ptr<QKAFURLSessionManager> manager,
                                      const URLSessionTaskPtr& task);
    ~QKAFURLSessionManagerTaskDelegate();

    std::weak_ptr<QKAFURLSessionManager> manager;
    std::optional<Bytes> mutableData;
    std::shared_ptr<QKAFProgress> uploadProgress;
    std::shared_ptr<QKAFProgress> downloadProgress;
    std::optional<std::string> downloadFileURL;
    DestinationBlock downloadTaskDidFinishDownloading;
    ProgressBlock uploadProgressBlock;
    ProgressBlock downloadProgressBlock;
    CompletionHandler completionHandler;

    // Moves a finished download; a failed move posts the file-manager-error notification.
    static void moveDownload(const URLSessionTaskPtr& task, const std::string& from,
                             const std::string& to);

  private:
    friend class QKAFURLSessionManager;
    void didReceiveData(const URLSessionTaskPtr& task, const Bytes& data);
    void didWriteData(const URLSessionTaskPtr& task);
    void didSendBodyData(const URLSessionTaskPtr& task);
    // The body is whole in the file at location (removed after the call unless moved).
    void didFinishDownloading(const URLSessionTaskPtr& task, const std::string& location);
    void didCompleteWithError(const URLSessionTaskPtr& task, const ErrorPtr& error);
};

}  // namespace telvo

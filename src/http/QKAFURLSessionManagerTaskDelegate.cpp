#include "http/QKAFURLSessionManagerTaskDelegate.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "http/QKAFURLSessionManager.h"

namespace telvo {

namespace {

const DispatchQueuePtr& processingQueue() {
    static const DispatchQueuePtr queue =
        DispatchQueue::createConcurrent("com.alamofire.networking.session.manager.processing");
    return queue;
}

// The group of completions of every manager that has none of its own.
const DispatchGroupPtr& processCompletionGroup() {
    static const DispatchGroupPtr group = DispatchGroup::create();
    return group;
}

void postCompletion(const URLSessionTaskPtr& task, Dictionary userInfo) {
    DispatchQueue::main()->async([task, userInfo = std::move(userInfo)] {
        NotificationCenter::defaultCenter()->postNotificationName(
            QKAFNetworkingTaskDidCompleteNotification, task, userInfo);
    });
}

Value errorValue(const ErrorPtr& error) {
    return Value::object(std::const_pointer_cast<Error>(error));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Progress

double QKAFProgress::fractionCompleted() const {
    int64_t total = totalUnitCount.load();
    return total > 0 ? double(completedUnitCount.load()) / double(total) : 0.0;
}
void QKAFProgress::cancel() {
    if (auto task = task_.lock()) task->cancel();
}
void QKAFProgress::pause() {
    if (auto task = task_.lock()) task->suspend();
}
void QKAFProgress::resume() {
    if (auto task = task_.lock()) task->resume();
}

// ---------------------------------------------------------------------------------------------
// Per-task delegate

QKAFURLSessionManagerTaskDelegate::QKAFURLSessionManagerTaskDelegate(
    std::weak_ptr<QKAFURLSessionManager> owner, const URLSessionTaskPtr& task)
    : manager(std::move(owner)),
      uploadProgress(std::make_shared<QKAFProgress>(task)),
      downloadProgress(std::make_shared<QKAFProgress>(task)) {
    uploadProgress->totalUnitCount = task->countOfBytesExpectedToSend();
    downloadProgress->totalUnitCount = task->countOfBytesExpectedToReceive();
}

QKAFURLSessionManagerTaskDelegate::~QKAFURLSessionManagerTaskDelegate() = default;

void QKAFURLSessionManagerTaskDelegate::didReceiveData(const URLSessionTaskPtr& task,
                                                       const Bytes& data) {
    if (!mutableData) mutableData.emplace();
    mutableData->insert(mutableData->end(), data.begin(), data.end());
    didWriteData(task);
}

void QKAFURLSessionManagerTaskDelegate::didWriteData(const URLSessionTaskPtr& task) {
    downloadProgress->totalUnitCount = task->countOfBytesExpectedToReceive();
    downloadProgress->completedUnitCount = task->countOfBytesReceived();
    if (downloadProgressBlock) downloadProgressBlock(*downloadProgress);
}

void QKAFURLSessionManagerTaskDelegate::didSendBodyData(const URLSessionTaskPtr& task) {
    uploadProgress->totalUnitCount = task->countOfBytesExpectedToSend();
    uploadProgress->completedUnitCount = task->countOfBytesSent();
    if (uploadProgressBlock) uploadProgressBlock(*uploadProgress);
}

void QKAFURLSessionManagerTaskDelegate::moveDownload(const URLSessionTaskPtr& task,
                                                     const std::string& from,
                                                     const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (!error) return;
    NotificationCenter::defaultCenter()->postNotificationName(
        QKAFURLSessionDownloadTaskDidFailToMoveFileNotification, task,
        Dictionary{{"NSFilePath", Value(to)}, {"NSLocalizedDescription", Value(error.message())}});
}

void QKAFURLSessionManagerTaskDelegate::didFinishDownloading(const URLSessionTaskPtr& task,
                                                             const std::string& location) {
    downloadFileURL.reset();
    if (downloadTaskDidFinishDownloading) {
        downloadFileURL = downloadTaskDidFinishDownloading(location, task->response());
        if (downloadFileURL) moveDownload(task, location, *downloadFileURL);
    }
}

void QKAFURLSessionManagerTaskDelegate::didCompleteWithError(const URLSessionTaskPtr& task,
                                                             const ErrorPtr& error) {
    auto owner = manager.lock();
    std::shared_ptr<QKAFURLResponseSerialization> serializer;
    DispatchQueuePtr queue = DispatchQueue::main();
    DispatchGroupPtr group = processCompletionGroup();
    if (owner) {
        serializer = owner->responseSerializer();
        if (auto completionQueue = owner->completionQueue()) queue = completionQueue;
        if (auto completionGroup = owner->completionGroup()) group = completionGroup;
    }
    uploadProgress->completedUnitCount = task->countOfBytesSent();

    Dictionary userInfo;
    if (serializer)
        userInfo.set(QKAFNetworkingTaskDidCompleteResponseSerializerKey, Value::object(serializer));
    std::optional<Bytes> data = std::move(mutableData);
    mutableData.reset();
    if (downloadFileURL) {
        userInfo.set(QKAFNetworkingTaskDidCompleteAssetPathKey, Value(*downloadFileURL));
    } else if (data) {
        userInfo.set(QKAFNetworkingTaskDidCompleteResponseDataKey, Value(*data));
    }
    HTTPURLResponsePtr response = task->response();
    CompletionHandler handler = completionHandler;
    if (error) {
        userInfo.set(QKAFNetworkingTaskDidCompleteErrorKey, errorValue(error));
        group->async(queue,
                     [handler, task, response, error, userInfo = std::move(userInfo)]() mutable {
                         if (handler) handler(response, std::nullopt, error);
                         postCompletion(task, std::move(userInfo));
                     });
        return;
    }
    // The group holds from here, so that a wait on it covers the serializer's work too.
    group->enter();
    processingQueue()->async([handler, task, response, serializer, queue, group,
                              data = std::move(data), file = downloadFileURL,
                              userInfo = std::move(userInfo)]() mutable {
        ErrorPtr serializationError;
        std::optional<Value> object;
        if (serializer)
            object = serializer->responseObjectForResponse(response, data, &serializationError);
        if (file) object = Value(*file);
        if (object) userInfo.set(QKAFNetworkingTaskDidCompleteSerializedResponseKey, *object);
        if (serializationError)
            userInfo.set(QKAFNetworkingTaskDidCompleteErrorKey, errorValue(serializationError));
        group->async(queue, [handler, task, response, object = std::move(object),
                             serializationError, userInfo = std::move(userInfo)]() mutable {
            if (handler) handler(response, object, serializationError);
            postCompletion(task, std::move(userInfo));
        });
        group->leave();
    });
}

}  // namespace telvo

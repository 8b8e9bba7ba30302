#include "http/QKAFURLSessionManager.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace telvo {

namespace {

const DispatchQueuePtr& processingQueue() {
    static const DispatchQueuePtr queue =
        DispatchQueue::createConcurrent("com.alamofire.networking.session.manager.processing");
    return queue;
}

// In place of replacing the task classes' resume and suspend: every task's resume and
// suspend posts the internal notifications.
void installTaskStateNotifications() {
    static std::once_flag once;
    std::call_once(once, [] {
        URLSessionTask::setStateChangeHook([](const URLSessionTaskPtr& task, bool resumed) {
            NotificationCenter::defaultCenter()->postNotificationName(
                resumed ? QKAFNSURLSessionTaskDidResumeNotification
                        : QKAFNSURLSessionTaskDidSuspendNotification,
                task);
        });
    });
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

QKAFURLSessionManagerTaskDelegate::~QKAFURLSessionManagerTaskDelegate() {
    // A download that was never moved leaves no temporary file behind.
    if (temporaryFile) ::unlink(temporaryFile->c_str());
}

void QKAFURLSessionManagerTaskDelegate::didReceiveData(const URLSessionTaskPtr& task,
                                                       const Bytes& data) {
    if (temporaryFile) {
        std::ofstream out(*temporaryFile, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    } else {
        if (!mutableData) mutableData.emplace();
        mutableData->insert(mutableData->end(), data.begin(), data.end());
    }
    downloadProgress->totalUnitCount = task->countOfBytesExpectedToReceive();
    downloadProgress->completedUnitCount = task->countOfBytesReceived();
    if (downloadProgressBlock) downloadProgressBlock(*downloadProgress);
}

void QKAFURLSessionManagerTaskDelegate::didFinishDownloading(const URLSessionTaskPtr& task) {
    auto owner = manager.lock();
    auto move = [&](const std::string& destination) {
        std::error_code error;
        std::filesystem::rename(*temporaryFile, destination, error);
        if (!error) {
            temporaryFile.reset();
            return;
        }
        NotificationCenter::defaultCenter()->postNotificationName(
            QKAFURLSessionDownloadTaskDidFailToMoveFileNotification, task,
            Dictionary{{"NSFilePath", Value(destination)},
                       {"NSLocalizedDescription", Value(error.message())}});
    };
    QKAFURLSessionManager::DownloadTaskDidFinishDownloadingBlock hook;
    if (owner) {
        std::lock_guard<std::mutex> lock(owner->settingsMutex_);
        hook = owner->downloadTaskDidFinishDownloading_;
    }
    if (hook) {
        if (auto destination = hook(task, *temporaryFile)) {
            downloadFileURL = destination;
            move(*destination);
            return;
        }
    }
    downloadFileURL.reset();
    if (downloadTaskDidFinishDownloading) {
        downloadFileURL = downloadTaskDidFinishDownloading(*temporaryFile, task->response());
        if (downloadFileURL) move(*downloadFileURL);
    }
}

void QKAFURLSessionManagerTaskDelegate::didCompleteWithError(const URLSessionTaskPtr& task,
                                                             const ErrorPtr& error) {
    auto owner = manager.lock();
    std::shared_ptr<QKAFURLResponseSerialization> serializer;
    DispatchQueuePtr queue = DispatchQueue::main();
    if (owner) {
        serializer = owner->responseSerializer();
        if (auto completionQueue = owner->completionQueue()) queue = completionQueue;
    }
    if (temporaryFile && !error) didFinishDownloading(task);
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
        queue->async([handler, task, response, error, userInfo = std::move(userInfo)]() mutable {
            if (handler) handler(response, std::nullopt, error);
            postCompletion(task, std::move(userInfo));
        });
        return;
    }
    processingQueue()->async([handler, task, response, serializer, queue, data = std::move(data),
                              file = downloadFileURL, userInfo = std::move(userInfo)]() mutable {
        ErrorPtr serializationError;
        std::optional<Value> object;
        if (serializer)
            object = serializer->responseObjectForResponse(response, data, &serializationError);
        if (file) object = Value(*file);
        if (object) userInfo.set(QKAFNetworkingTaskDidCompleteSerializedResponseKey, *object);
        if (serializationError)
            userInfo.set(QKAFNetworkingTaskDidCompleteErrorKey, errorValue(serializationError));
        queue->async([handler, task, response, object = std::move(object), serializationError,
                      userInfo = std::move(userInfo)]() mutable {
            if (handler) handler(response, object, serializationError);
            postCompletion(task, std::move(userInfo));
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Manager

std::shared_ptr<QKAFURLSessionManager> QKAFURLSessionManager::initWithSessionConfiguration(
    std::optional<URLSessionConfiguration> configuration) {
    auto manager = std::make_shared<QKAFURLSessionManager>(std::move(configuration));
    manager->setUp();
    return manager;
}

QKAFURLSessionManager::QKAFURLSessionManager(std::optional<URLSessionConfiguration> configuration)
    : configuration_(
          configuration.value_or(URLSessionConfiguration::defaultSessionConfiguration())),
      operationQueue_(OperationQueue::create("QKAFURLSessionManager operation queue")),
      reachabilityManager_(QKAFNetworkReachabilityManager::sharedManager()),
      responseSerializer_(QKAFJSONResponseSerializer::serializer()),
      securityPolicy_(QKAFSecurityPolicy::defaultPolicy()) {
    operationQueue_->setMaxConcurrentOperationCount(1);
    installTaskStateNotifications();
}

void QKAFURLSessionManager::setUp() {
    session_ = URLSession::create(configuration_, weak_from_this(), operationQueue_);
}

QKAFURLSessionManager::~QKAFURLSessionManager() {
    std::map<uint64_t, std::vector<NotificationObserverToken>> observers;
    {
        std::lock_guard<std::mutex> lock(lock_);
        observers.swap(taskObservers_);
    }
    for (auto& [id, tokens] : observers)
        for (auto& token : tokens) NotificationCenter::defaultCenter()->removeObserver(token);
}

std::shared_ptr<QKAFURLResponseSerialization> QKAFURLSessionManager::responseSerializer() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return responseSerializer_;
}
void QKAFURLSessionManager::setResponseSerializer(
    std::shared_ptr<QKAFURLResponseSerialization> serializer) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    responseSerializer_ = std::move(serializer);
}
std::shared_ptr<QKAFSecurityPolicy> QKAFURLSessionManager::securityPolicy() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return securityPolicy_;
}
void QKAFURLSessionManager::setSecurityPolicy(std::shared_ptr<QKAFSecurityPolicy> policy) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    securityPolicy_ = std::move(policy);
}
DispatchQueuePtr QKAFURLSessionManager::completionQueue() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return completionQueue_;
}
void QKAFURLSessionManager::setCompletionQueue(DispatchQueuePtr queue) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    completionQueue_ = std::move(queue);
}
void QKAFURLSessionManager::setSessionDidReceiveAuthenticationChallengeBlock(ChallengeBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    sessionChallenge_ = std::move(block);
}
void QKAFURLSessionManager::setTaskDidReceiveAuthenticationChallengeBlock(ChallengeBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    taskChallenge_ = std::move(block);
}
void QKAFURLSessionManager::setTaskDidCompleteBlock(TaskDidCompleteBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    taskDidComplete_ = std::move(block);
}
void QKAFURLSessionManager::setDataTaskDidReceiveResponseBlock(
    DataTaskDidReceiveResponseBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    dataTaskDidReceiveResponse_ = std::move(block);
}
void QKAFURLSessionManager::setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    dataTaskDidReceiveData_ = std::move(block);
}
void QKAFURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(
    DownloadTaskDidFinishDownloadingBlock block) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    downloadTaskDidFinishDownloading_ = std::move(block);
}

std::string QKAFURLSessionManager::taskDescriptionForSessionTasks() const {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return text;
}

std::string QKAFURLSessionManager::description() const {
    char text[160];
    std::snprintf(text, sizeof text, "<QKAFURLSessionManager: %p, session: %p, operationQueue: %s>",
                  static_cast<const void*>(this), static_cast<const void*>(session_.get()),
                  operationQueue_->name().c_str());
    return text;
}

URLSessionTaskPtr QKAFURLSessionManager::dataTaskWithRequest(const URLRequest& request,
                                                             ProgressBlock uploadProgress,
                                                             ProgressBlock downloadProgress,
                                                             CompletionHandler completionHandler) {
    auto task = session_->dataTaskWithRequest(request);
    addDelegateForTask(task, std::move(uploadProgress), std::move(downloadProgress),
                       std::move(completionHandler));
    return task;
}

URLSessionTaskPtr QKAFURLSessionManager::downloadTaskWithRequest(
    const URLRequest& request, ProgressBlock progress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    auto task = session_->dataTaskWithRequest(request);
    auto delegate =
        addDelegateForTask(task, nullptr, std::move(progress), std::move(completionHandler));
    std::string pattern = (std::filesystem::temp_directory_path() / "QKAFDownload.XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
        ::close(fd);
        delegate->temporaryFile = pattern;
    }
    delegate->downloadTaskDidFinishDownloading = std::move(destination);
    return task;
}

std::shared_ptr<QKAFURLSessionManagerTaskDelegate> QKAFURLSessionManager::addDelegateForTask(
    const URLSessionTaskPtr& task, ProgressBlock uploadProgress, ProgressBlock downloadProgress,
    CompletionHandler completionHandler) {
    auto delegate = std::make_shared<QKAFURLSessionManagerTaskDelegate>(weak_from_this(), task);
    delegate->completionHandler = std::move(completionHandler);
    task->setTaskDescription(taskDescriptionForSessionTasks());
    setDelegate(delegate, task);
    delegate->uploadProgressBlock = std::move(uploadProgress);
    delegate->downloadProgressBlock = std::move(downloadProgress);
    return delegate;
}

std::shared_ptr<QKAFURLSessionManagerTaskDelegate> QKAFURLSessionManager::delegateForTask(
    const URLSessionTaskPtr& task) {
    std::lock_guard<std::mutex> lock(lock_);
    auto it = mutableTaskDelegatesKeyedByTaskIdentifier_.find(task->taskIdentifier());
    return it == mutableTaskDelegatesKeyedByTaskIdentifier_.end() ? nullptr : it->second;
}

void QKAFURLSessionManager::setDelegate(std::shared_ptr<QKAFURLSessionManagerTaskDelegate> delegate,
                                        const URLSessionTaskPtr& task) {
    std::weak_ptr<QKAFURLSessionManager> weak = weak_from_this();
    auto center = NotificationCenter::defaultCenter();
    std::vector<NotificationObserverToken> tokens;
    for (bool resumed : {true, false}) {
        tokens.push_back(
            center->addObserverForName(resumed ? QKAFNSURLSessionTaskDidResumeNotification
                                               : QKAFNSURLSessionTaskDidSuspendNotification,
                                       task, [weak, resumed](const Notification& notification) {
                                           if (auto self = weak.lock())
                                               self->taskDidChangeState(notification, resumed);
                                       }));
    }
    std::lock_guard<std::mutex> lock(lock_);
    mutableTaskDelegatesKeyedByTaskIdentifier_[task->taskIdentifier()] = std::move(delegate);
    taskObservers_[task->taskIdentifier()] = std::move(tokens);
}

void QKAFURLSessionManager::removeDelegateForTask(const URLSessionTaskPtr& task) {
    std::vector<NotificationObserverToken> tokens;
    std::shared_ptr<QKAFURLSessionManagerTaskDelegate> delegate;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = taskObservers_.find(task->taskIdentifier());
        if (it != taskObservers_.end()) {
            tokens = std::move(it->second);
            taskObservers_.erase(it);
        }
        auto found = mutableTaskDelegatesKeyedByTaskIdentifier_.find(task->taskIdentifier());
        if (found != mutableTaskDelegatesKeyedByTaskIdentifier_.end()) {
            delegate = std::move(found->second);
            mutableTaskDelegatesKeyedByTaskIdentifier_.erase(found);
        }
    }
    // Removal may wait for a running observer block: outside the lock.
    for (auto& token : tokens) NotificationCenter::defaultCenter()->removeObserver(token);
}

void QKAFURLSessionManager::taskDidChangeState(const Notification& notification, bool resumed) {
    auto task = std::static_pointer_cast<URLSessionTask>(notification.object);
    if (!task || task->taskDescription() != taskDescriptionForSessionTasks()) return;
    DispatchQueue::main()->async([task, resumed] {
        NotificationCenter::defaultCenter()->postNotificationName(
            resumed ? QKAFNetworkingTaskDidResumeNotification
                    : QKAFNetworkingTaskDidSuspendNotification,
            task);
    });
}

std::shared_ptr<QKAFProgress> QKAFURLSessionManager::uploadProgressForTask(
    const URLSessionTaskPtr& task) {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->uploadProgress : nullptr;
}

std::shared_ptr<QKAFProgress> QKAFURLSessionManager::downloadProgressForTask(
    const URLSessionTaskPtr& task) {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->downloadProgress : nullptr;
}

bool QKAFURLSessionManager::didReceiveServerTrustChallenge(const URLSessionTaskPtr& task,
                                                           SecTrust& trust,
                                                           const std::string& host) {
    ChallengeBlock hook;
    std::shared_ptr<QKAFSecurityPolicy> policy;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        hook = taskChallenge_ ? taskChallenge_ : sessionChallenge_;
        policy = securityPolicy_;
    }
    if (hook) return hook(task, trust, host);
    return policy && policy->evaluateServerTrust(trust, host);
}

void QKAFURLSessionManager::didReceiveResponse(const URLSessionTaskPtr& task,
                                               const HTTPURLResponsePtr& response) {
    DataTaskDidReceiveResponseBlock hook;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        hook = dataTaskDidReceiveResponse_;
    }
    if (hook) hook(task, response);
}

void QKAFURLSessionManager::didReceiveData(const URLSessionTaskPtr& task, const Bytes& data) {
    if (auto delegate = delegateForTask(task)) delegate->didReceiveData(task, data);
    DataTaskDidReceiveDataBlock hook;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        hook = dataTaskDidReceiveData_;
    }
    if (hook) hook(task, data);
}

void QKAFURLSessionManager::didCompleteWithError(const URLSessionTaskPtr& task,
                                                 const ErrorPtr& error) {
    if (auto delegate = delegateForTask(task)) {
        delegate->didCompleteWithError(task, error);
        removeDelegateForTask(task);
    }
    TaskDidCompleteBlock hook;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        hook = taskDidComplete_;
    }
    if (hook) hook(task, error);
}

}  // namespace telvo

#include "http/QKAFURLSessionManager.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/KeyedArchive.h"

namespace telvo {

namespace {

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

}  // namespace

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
    return load(responseSerializer_);
}
void QKAFURLSessionManager::setResponseSerializer(
    std::shared_ptr<QKAFURLResponseSerialization> serializer) {
    store(responseSerializer_, std::move(serializer));
}
std::shared_ptr<QKAFSecurityPolicy> QKAFURLSessionManager::securityPolicy() const {
    return load(securityPolicy_);
}
void QKAFURLSessionManager::setSecurityPolicy(std::shared_ptr<QKAFSecurityPolicy> policy) {
    store(securityPolicy_, std::move(policy));
}
DispatchGroupPtr QKAFURLSessionManager::completionGroup() const {
    return load(completionGroup_);
}
void QKAFURLSessionManager::setCompletionGroup(DispatchGroupPtr group) {
    store(completionGroup_, std::move(group));
}
void QKAFURLSessionManager::setDataTaskDidBecomeDownloadTaskBlock(
    DataTaskDidBecomeDownloadTaskBlock block) {
    store(dataTaskDidBecomeDownloadTask_, std::move(block));
}
void QKAFURLSessionManager::setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block) {
    store(downloadTaskDidResume_, std::move(block));
}
DispatchQueuePtr QKAFURLSessionManager::completionQueue() const {
    return load(completionQueue_);
}
void QKAFURLSessionManager::setCompletionQueue(DispatchQueuePtr queue) {
    store(completionQueue_, std::move(queue));
}
void QKAFURLSessionManager::setSessionDidReceiveAuthenticationChallengeBlock(ChallengeBlock block) {
    store(sessionChallenge_, std::move(block));
}
void QKAFURLSessionManager::setTaskDidReceiveAuthenticationChallengeBlock(ChallengeBlock block) {
    store(taskChallenge_, std::move(block));
}
void QKAFURLSessionManager::setTaskDidCompleteBlock(TaskDidCompleteBlock block) {
    store(taskDidComplete_, std::move(block));
}
void QKAFURLSessionManager::setDataTaskDidReceiveResponseBlock(
    DataTaskDidReceiveResponseBlock block) {
    store(dataTaskDidReceiveResponse_, std::move(block));
}
void QKAFURLSessionManager::setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block) {
    store(dataTaskDidReceiveData_, std::move(block));
}
void QKAFURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(
    DownloadTaskDidFinishDownloadingBlock block) {
    store(downloadTaskDidFinishDownloading_, std::move(block));
}
void QKAFURLSessionManager::setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block) {
    store(sessionDidBecomeInvalid_, std::move(block));
}
void QKAFURLSessionManager::setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block) {
    store(taskNeedNewBodyStream_, std::move(block));
}
void QKAFURLSessionManager::setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block) {
    store(taskDidSendBodyData_, std::move(block));
}
void QKAFURLSessionManager::setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block) {
    store(downloadTaskDidWriteData_, std::move(block));
}
void QKAFURLSessionManager::setTaskWillPerformHTTPRedirectionBlock(
    TaskWillPerformHTTPRedirectionBlock block) {
    store(taskWillPerformHTTPRedirection_, std::move(block));
}

std::string QKAFURLSessionManager::taskDescriptionForSessionTasks() const {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return text;
}

std::string QKAFURLSessionManager::describe(const OperationQueue& queue) {
    char text[64];
    std::snprintf(text, sizeof text, "<OperationQueue: %p>", static_cast<const void*>(&queue));
    return std::string(text) + "{name = '" + queue.name() + "'}";
}

std::string QKAFURLSessionManager::description() const {
    char text[48];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(this));
    return std::string("<QKAFURLSessionManager: ") + text +
           ", session: " + session_->description() +
           ", operationQueue: " + describe(*operationQueue_) + ">";
}

std::shared_ptr<QKAFURLSessionManager> QKAFURLSessionManager::copy() const {
    return initWithSessionConfiguration(configuration_);
}

void QKAFURLSessionManager::encodeWithCoder(Dictionary& coder) const {
    coder.set(KeyedArchive::kClassKey, Value("QKAFURLSessionManager"));
    Dictionary configuration;
    if (configuration_.identifier)
        configuration.set("identifier", Value(*configuration_.identifier));
    configuration.set("timeoutIntervalForRequest", Value(configuration_.timeoutIntervalForRequest));
    configuration.set("maximumDownloadBytes", Value(configuration_.maximumDownloadBytes));
    coder.set("sessionConfiguration", Value(std::move(configuration)));
}

std::optional<URLSessionConfiguration> QKAFURLSessionManager::configurationWithCoder(
    const Dictionary& coder, bool* ok) {
    const Value& archived = coder["sessionConfiguration"];
    const Value& identifier =
        archived.isDictionary() ? archived["identifier"] : coder["identifier"];
    if (!identifier.isNull() && !identifier.isText()) *ok = false;
    URLSessionConfiguration configuration;
    if (identifier.isText()) configuration.identifier = identifier.text();
    if (!archived.isDictionary())
        return identifier.isText() ? std::optional(configuration) : std::nullopt;
    const Value &timeout = archived["timeoutIntervalForRequest"],
                &limit = archived["maximumDownloadBytes"];
    if (!timeout.isNumber() || timeout.isBool() || !limit.isInteger()) *ok = false;
    configuration.timeoutIntervalForRequest = timeout.doubleValue();
    configuration.maximumDownloadBytes = limit.int64Value();
    return configuration;
}

std::shared_ptr<QKAFURLSessionManager> QKAFURLSessionManager::initWithCoder(
    const Dictionary& coder) {
    if (KeyedArchive::classOf(Value(coder)) != "QKAFURLSessionManager") return nullptr;
    bool ok = true;
    auto configuration = configurationWithCoder(coder, &ok);
    return ok ? initWithSessionConfiguration(std::move(configuration)) : nullptr;
}

URLSessionTaskPtr QKAFURLSessionManager::dataTaskWithRequest(const URLRequest& request,
                                                             ProgressBlock uploadProgress,
                                                             ProgressBlock downloadProgress,
                                                             CompletionHandler completionHandler) {
    auto task = session_->dataTaskWithRequest(request);
    if (!task) return nullptr;
    addDelegateForTask(task, std::move(uploadProgress), std::move(downloadProgress),
                       std::move(completionHandler));
    return task;
}

URLSessionTaskPtr QKAFURLSessionManager::registered(URLSessionTaskPtr task,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler) {
    if (task)
        addDelegateForTask(task, std::move(uploadProgress), nullptr, std::move(completionHandler));
    return task;
}

URLSessionTaskPtr QKAFURLSessionManager::uploadTaskWithRequestFromFile(
    const URLRequest& request, const std::string& fileURL, ProgressBlock uploadProgress,
    CompletionHandler completionHandler) {
    auto task = session_->uploadTaskWithRequestFromFile(request, fileURL);
    for (int attempt = 0; !task && attemptsToRecreateUploadTasksForBackgroundSessions &&
                          configuration_.identifier && attempt < 3;
         ++attempt) {
        task = session_->uploadTaskWithRequestFromFile(request, fileURL);
    }
    return registered(std::move(task), std::move(uploadProgress), std::move(completionHandler));
}

URLSessionTaskPtr QKAFURLSessionManager::uploadTaskWithRequestFromData(
    const URLRequest& request, Bytes bodyData, ProgressBlock uploadProgress,
    CompletionHandler completionHandler) {
    return registered(session_->uploadTaskWithRequestFromData(request, std::move(bodyData)),
                      std::move(uploadProgress), std::move(completionHandler));
}

URLSessionTaskPtr QKAFURLSessionManager::uploadTaskWithStreamedRequest(
    const URLRequest& request, ProgressBlock uploadProgress, CompletionHandler completionHandler) {
    return registered(session_->uploadTaskWithStreamedRequest(request), std::move(uploadProgress),
                      std::move(completionHandler));
}

URLSessionTaskPtr QKAFURLSessionManager::downloadTaskWithRequest(
    const URLRequest& request, ProgressBlock progress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    return registeredDownload(session_->downloadTaskWithRequest(request), std::move(progress),
                              std::move(destination), std::move(completionHandler));
}

URLSessionTaskPtr QKAFURLSessionManager::downloadTaskWithResumeData(
    const Bytes& resumeData, ProgressBlock progress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    return registeredDownload(session_->downloadTaskWithResumeData(resumeData), std::move(progress),
                              std::move(destination), std::move(completionHandler));
}

URLSessionTaskPtr QKAFURLSessionManager::registeredDownload(URLSessionTaskPtr task,
                                                            ProgressBlock progress,
                                                            DestinationBlock destination,
                                                            CompletionHandler completionHandler) {
    if (!task) return nullptr;
    auto delegate =
        addDelegateForTask(task, nullptr, std::move(progress), std::move(completionHandler));
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

void QKAFURLSessionManager::didReceiveResponse(const URLSessionTaskPtr&,
                                               const HTTPURLResponsePtr&) {}

bool QKAFURLSessionManager::decidesResponseDisposition(const URLSessionTaskPtr&) {
    // Without the hook the platform's default (allow) applies, without asking.
    return bool(load(dataTaskDidReceiveResponse_));
}

URLSessionResponseDisposition QKAFURLSessionManager::responseDisposition(
    const URLSessionTaskPtr& task, const HTTPURLResponsePtr& response) {
    DataTaskDidReceiveResponseBlock hook = load(dataTaskDidReceiveResponse_);
    return hook ? hook(task, response) : URLSessionResponseDisposition::allow;
}

void QKAFURLSessionManager::didBecomeDownloadTask(const URLSessionTaskPtr& dataTask,
                                                  const URLSessionTaskPtr& downloadTask) {
    // The task's delegate, with its completion handler, moves to the download task.
    if (auto delegate = delegateForTask(dataTask)) {
        removeDelegateForTask(dataTask);
        downloadTask->setTaskDescription(taskDescriptionForSessionTasks());
        setDelegate(delegate, downloadTask);
    }
    DataTaskDidBecomeDownloadTaskBlock hook = load(dataTaskDidBecomeDownloadTask_);
    if (hook) hook(dataTask, downloadTask);
}

void QKAFURLSessionManager::didReceiveData(const URLSessionTaskPtr& task, const Bytes& data) {
    if (auto delegate = delegateForTask(task)) delegate->didReceiveData(task, data);
    DataTaskDidReceiveDataBlock hook = load(dataTaskDidReceiveData_);
    if (hook) hook(task, data);
}

void QKAFURLSessionManager::didWriteData(const URLSessionTaskPtr& task, int64_t bytesWritten,
                                         int64_t totalBytesWritten, int64_t totalBytesExpected) {
    if (auto delegate = delegateForTask(task)) delegate->didWriteData(task);
    DownloadTaskDidWriteDataBlock hook = load(downloadTaskDidWriteData_);
    if (hook) hook(task, bytesWritten, totalBytesWritten, totalBytesExpected);
}

void QKAFURLSessionManager::didResumeAtOffset(const URLSessionTaskPtr& task, int64_t fileOffset,
                                              int64_t expectedTotalBytes) {
    DownloadTaskDidResumeBlock hook = load(downloadTaskDidResume_);
    if (hook) hook(task, fileOffset, expectedTotalBytes);
}

void QKAFURLSessionManager::didFinishDownloadingToURL(const URLSessionTaskPtr& task,
                                                      const std::string& path) {
    auto delegate = delegateForTask(task);
    DownloadTaskDidFinishDownloadingBlock hook = load(downloadTaskDidFinishDownloading_);
    if (hook) {
        if (auto destination = hook(task, path)) {
            // The task's delegate is not consulted.
            if (delegate) delegate->downloadFileURL = destination;
            QKAFURLSessionManagerTaskDelegate::moveDownload(task, path, *destination);
            return;
        }
    }
    if (delegate) delegate->didFinishDownloading(task, path);
}

void QKAFURLSessionManager::didSendBodyData(const URLSessionTaskPtr& task, int64_t bytesSent,
                                            int64_t totalBytesSent,
                                            int64_t totalBytesExpectedToSend) {
    if (auto delegate = delegateForTask(task)) delegate->didSendBodyData(task);
    TaskDidSendBodyDataBlock hook = load(taskDidSendBodyData_);
    if (!hook) return;
    if (totalBytesExpectedToSend == -1)
        totalBytesExpectedToSend = task->originalRequest().headers.contentLength();
    hook(task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

std::shared_ptr<InputStream> QKAFURLSessionManager::needNewBodyStream(
    const URLSessionTaskPtr& task) {
    TaskNeedNewBodyStreamBlock hook = load(taskNeedNewBodyStream_);
    if (hook) return hook(task);
    const auto& stream = task->originalRequest().httpBodyStream;
    return stream ? stream->copy() : nullptr;
}

void QKAFURLSessionManager::didBecomeInvalidWithError(const std::shared_ptr<URLSession>& session,
                                                      const ErrorPtr& error) {
    SessionDidBecomeInvalidBlock hook = load(sessionDidBecomeInvalid_);
    if (hook) hook(session, error);
    NotificationCenter::defaultCenter()->postNotificationName(
        QKAFURLSessionDidInvalidateNotification, session);
}

bool QKAFURLSessionManager::willPerformHTTPRedirection(const URLSessionTaskPtr& task,
                                                       const HTTPURLResponsePtr& response,
                                                       const URLRequest& request) {
    TaskWillPerformHTTPRedirectionBlock hook = load(taskWillPerformHTTPRedirection_);
    if (!hook) return true;
    std::optional<URLRequest> answer = hook(session_, task, response, request);
    return answer && answer->url == request.url;
}

void QKAFURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
    DispatchQueue::main()->async([session = session_, cancelPendingTasks] {
        if (cancelPendingTasks)
            session->invalidateAndCancel();
        else
            session->finishTasksAndInvalidate();
    });
}

std::vector<URLSessionTaskPtr> QKAFURLSessionManager::sessionTasks(int kinds) {
    struct Answer {
        Semaphore done;
        std::vector<URLSessionTaskPtr> lists[3];
    };
    auto answer = std::make_shared<Answer>();
    if (operationQueue_->isCurrent()) {
        // The session answers on this very queue: waiting here would wait for ever.
        session_->tasksNow(&answer->lists[0], &answer->lists[1], &answer->lists[2]);
    } else {
        session_->getTasksWithCompletionHandler([answer](std::vector<URLSessionTaskPtr> data,
                                                         std::vector<URLSessionTaskPtr> upload,
                                                         std::vector<URLSessionTaskPtr> download) {
            answer->lists[0] = std::move(data);
            answer->lists[1] = std::move(upload);
            answer->lists[2] = std::move(download);
            answer->done.signal();
        });
        // A timed wait: on the loop thread of the deterministic mode it runs the loop (and
        // with it the operation queue) until the answer is there.
        answer->done.wait(365 * 24 * 3600.0);
    }
    std::vector<URLSessionTaskPtr> tasks;
    for (int kind = 0; kind < 3; ++kind)
        if (kinds & (1 << kind))
            tasks.insert(tasks.end(), answer->lists[kind].begin(), answer->lists[kind].end());
    return tasks;
}

std::vector<URLSessionTaskPtr> QKAFURLSessionManager::tasks() {
    return sessionTasks(7);
}
std::vector<URLSessionTaskPtr> QKAFURLSessionManager::dataTasks() {
    return sessionTasks(1);
}
std::vector<URLSessionTaskPtr> QKAFURLSessionManager::uploadTasks() {
    return sessionTasks(2);
}
std::vector<URLSessionTaskPtr> QKAFURLSessionManager::downloadTasks() {
    return sessionTasks(4);
}

void QKAFURLSessionManager::didCompleteWithError(const URLSessionTaskPtr& task,
                                                 const ErrorPtr& error) {
    if (auto delegate = delegateForTask(task)) {
        delegate->didCompleteWithError(task, error);
        removeDelegateForTask(task);
    }
    TaskDidCompleteBlock hook = load(taskDidComplete_);
    if (hook) hook(task, error);
}

}  // namespace telvo

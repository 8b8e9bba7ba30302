#include "platform/http/URLSession.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/base/Singleton.h"
#include "platform/http/URLLoader.h"
#include "platform/http/URLProtocol.h"

namespace telvo {

namespace {

struct SessionGlobals {
    std::mutex hookMutex;
    URLSessionTask::StateChangeHook stateChangeHook;
    std::mutex anchorsMutex;
    std::vector<SecCertificateRef> systemAnchors;
};
SessionGlobals& sessionGlobals() {
    return processWide([] { return new SessionGlobals(); });
}

// What a task is known to send before it starts; -1 when only the end of a stream will tell.
int64_t expectedBodyLength(const URLRequest& request, const URLSessionTask::UploadSource& upload) {
    if (upload.data) return int64_t(upload.data->size());
    if (upload.file) {
        std::error_code error;
        auto path = filePathOfURL(*upload.file);
        auto size = path ? std::filesystem::file_size(*path, error) : 0;
        return path && !error ? int64_t(size) : -1;
    }
    if (request.httpBodyStream) return request.headers.contentLength();
    return request.httpBody ? int64_t(request.httpBody->size()) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tasks

bool URLSessionDelegate::didReceiveServerTrustChallenge(const URLSessionTaskPtr&, SecTrust& trust,
                                                        const std::string&) {
    SecTrustResultType result;
    return trust.evaluate(&result) == errSecSuccess &&
           (result == SecTrustResultType::proceed || result == SecTrustResultType::unspecified);
}

std::shared_ptr<InputStream> URLSessionDelegate::needNewBodyStream(const URLSessionTaskPtr&) {
    return nullptr;
}

bool URLSessionDelegate::willPerformHTTPRedirection(const URLSessionTaskPtr&,
                                                    const HTTPURLResponsePtr&, const URLRequest&) {
    return true;
}

URLSessionTask::URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                               URLRequest request, URLSessionTaskKind kind, UploadSource upload)
    : session_(std::move(session)),
      identifier_(identifier),
      request_(std::move(request)),
      kind_(kind),
      upload_(std::move(upload)),
      bytesExpectedToSend_(expectedBodyLength(request_, upload_)) {}

URLSessionTask::~URLSessionTask() {
    // A task dropped before it ended no longer holds up its session's invalidation.
    if (!finished_) session_->taskEnded(identifier_);
}

HTTPURLResponsePtr URLSessionTask::response() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return response_;
}

ErrorPtr URLSessionTask::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::string URLSessionTask::taskDescription() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard<std::mutex> lock(mutex_);
    description_ = std::move(description);
}

void URLSessionTask::setStateChangeHook(StateChangeHook hook) {
    std::lock_guard<std::mutex> lock(sessionGlobals().hookMutex);
    sessionGlobals().stateChangeHook = std::move(hook);
}

namespace {
void callStateChangeHook(const URLSessionTaskPtr& task, bool resumed) {
    URLSessionTask::StateChangeHook hook;
    {
        std::lock_guard<std::mutex> lock(sessionGlobals().hookMutex);
        hook = sessionGlobals().stateChangeHook;
    }
    if (hook) hook(task, resumed);
}
}  // namespace

void URLSessionTask::resume() {
    URLSessionTaskState before;
    bool start = false, unpause = false;
    URLProtocol::Handler local;
    std::shared_ptr<URLProtocolExchange> exchange;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = state_.load();
        if (before == URLSessionTaskState::suspended) {
            state_ = URLSessionTaskState::running;
            start = !started_;
            unpause = started_;
            started_ = true;
            if (start) {
                delegateHold_ = session_->delegate();
                local = URLProtocol::handlerFor(request_.url);
            }
            exchange = exchange_;
            // Virtual time stands still while a network transfer may move.
            if (!local && !exchange && !work_)
                work_ =
                    Dispatch::beginOutsideWork("HTTP " + request_.httpMethod + " " + request_.url);
        }
    }
    if (start && local) {
        exchange = URLProtocolExchange::start(shared_from_this(), std::move(local));
        std::lock_guard<std::mutex> lock(mutex_);
        exchange_ = exchange;
    } else if (start) {
        URLLoader::shared().start(shared_from_this());
    }
    if (unpause && exchange) exchange->setPaused(false);
    if (unpause && !exchange) URLLoader::shared().pause(this, false);
    if (before != URLSessionTaskState::running) callStateChangeHook(shared_from_this(), true);
}

void URLSessionTask::suspend() {
    URLSessionTaskState before;
    std::shared_ptr<Dispatch::OutsideWork> work;
    std::shared_ptr<URLProtocolExchange> exchange;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = state_.load();
        if (before == URLSessionTaskState::running) {
            state_ = URLSessionTaskState::suspended;
            work = std::move(work_);
        }
        exchange = exchange_;
    }
    if (before == URLSessionTaskState::running) {
        if (exchange)
            exchange->setPaused(true);
        else
            URLLoader::shared().pause(this, true);
    }
    if (work) work->finish();
    if (before != URLSessionTaskState::suspended) callStateChangeHook(shared_from_this(), false);
}

void URLSessionTask::cancel() {
    bool started;
    std::shared_ptr<URLProtocolExchange> exchange;
    std::function<void(URLSessionResponseDisposition, const URLSessionTaskPtr&)> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto state = state_.load();
        if (state == URLSessionTaskState::canceling || state == URLSessionTaskState::completed)
            return;
        state_ = URLSessionTaskState::canceling;
        started = started_;
        exchange = exchange_;
        waiting = std::exchange(afterResponse_, nullptr);
    }
    if (waiting) {
        // The body waits for the delegate's answer: the engine ends it as a cancel.
        waiting(URLSessionResponseDisposition::cancel, nullptr);
    } else if (exchange) {
        exchange->cancel();
    } else if (started) {
        URLLoader::shared().cancel(this);
    } else {
        complete(urlError(URLError::cancelled, request_.url));
    }
}

void URLSessionTask::postEvent(DispatchTask event) {
    bool schedule;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        if (events_.capacity() == 0) events_.reserve(4);
        events_.push_back(std::move(event));
        schedule = !eventsScheduled_;
        eventsScheduled_ = true;
    }
    if (!schedule) return;
    if (openBatch_)
        openBatch_->tasks_.emplace_back(shared_from_this(), bytesReceived_.load());
    else
        scheduleDrain();
}

void URLSessionTask::scheduleDrain() {
    session_->delegateQueue()->addOperationWithBlock(
        [self = shared_from_this()] { self->drainEvents(); });
}

thread_local URLSessionTask::EventBatch* URLSessionTask::openBatch_ = nullptr;

int URLSessionTask::HeldEvents::millisecondsUntilDue() const {
    using namespace std::chrono;
    if (entries_.empty()) return -1;
    // Entries are held in the order their holds began.
    const auto left = entries_.front().since + kHoldTime - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return 0;
    return int(ceil<milliseconds>(left).count());
}

URLSessionTask::EventBatch::EventBatch(HeldEvents* held) : held_(held) {
    openBatch_ = this;
}

URLSessionTask::EventBatch::~EventBatch() {
    openBatch_ = nullptr;
    std::vector<URLSessionTaskPtr> ready;
    ready.reserve(tasks_.size());
    if (held_ && (!tasks_.empty() || !held_->entries_.empty())) {
        const auto now = std::chrono::steady_clock::now();
        // Held tasks that are due; their later events were queued behind the held ones.
        std::erase_if(held_->entries_, [&](HeldEvents::Entry& entry) {
            const URLSessionTask& task = *entry.task;
            if (task.state() != URLSessionTaskState::completed &&
                task.bytesReceived_.load() - entry.received < HeldEvents::kHoldBytes &&
                now - entry.since < HeldEvents::kHoldTime)
                return false;
            ready.push_back(std::move(entry.task));
            return true;
        });
        for (auto& [task, received] : tasks_) {
            if (task->state() == URLSessionTaskState::completed ||
                task->bytesReceived_.load() - received >= HeldEvents::kHoldBytes)
                ready.push_back(std::move(task));
            else
                held_->entries_.push_back({std::move(task), received, now});
        }
    } else {
        for (auto& entry : tasks_) ready.push_back(std::move(entry.first));
    }
    // Tasks by delegate queue, each queue's in the order their first events were posted.
    std::vector<std::pair<OperationQueue*, std::vector<URLSessionTaskPtr>>> groups;
    for (auto& task : ready) {
        OperationQueue* queue = task->session_->delegateQueue().get();
        // A queue that runs operations side by side keeps one per task, as outside a batch.
        if (queue->maxConcurrentOperationCount() > 1) {
            task->scheduleDrain();
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [queue](const auto& entry) { return entry.first == queue; });
        if (group == groups.end()) group = groups.insert(groups.end(), {queue, {}});
        group->second.push_back(std::move(task));
    }
    for (auto& [queue, tasks] : groups) {
        queue->addOperationWithBlock([tasks = std::move(tasks)] {
            for (const auto& task : tasks) task->drainEvents();
        });
    }
    for (auto& work : works_) work->finish();
}

void URLSessionTask::drainEvents() {
    // Takes the events posted so far and runs them in order; those they or the loader post
    // meanwhile come in the next round.
    std::vector<DispatchTask> batch;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            batch.clear();
            if (events_.empty()) {
                eventsScheduled_ = false;
                return;
            }
            batch.swap(events_);
        }
        for (auto& event : batch) event();
    }
}

void URLSessionTask::cancelByProducingResumeData(
    std::function<void(const std::optional<Bytes>&)> handler) {
    bool waits = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto state = state_.load();
        waits = state != URLSessionTaskState::canceling &&
                state != URLSessionTaskState::completed && !resumeDataHandler_;
        if (waits) resumeDataHandler_ = std::move(handler);
    }
    // Ended, or ending by another cancel: nothing to go on from, said as every answer is.
    if (!waits) return answerResumeData(std::move(handler), std::nullopt);
    cancel();
}

std::function<void(const std::optional<Bytes>&)> URLSessionTask::takeResumeDataHandler() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(resumeDataHandler_, nullptr);
}

void URLSessionTask::deliverResumeData(std::optional<Bytes> data) {
    answerResumeData(takeResumeDataHandler(), std::move(data));
}

void URLSessionTask::answerResumeData(std::function<void(const std::optional<Bytes>&)> handler,
                                      std::optional<Bytes> data) {
    if (handler)
        postEvent([handler = std::move(handler), data = std::move(data)] { handler(data); });
}

bool URLSessionTask::delegateDecidesResponse() {
    auto delegate = session_->delegate();
    return kind_ == URLSessionTaskKind::data && delegate &&
           delegate->decidesResponseDisposition(shared_from_this());
}

void URLSessionTask::deliverResponse(HTTPURLResponsePtr response, bool decides) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        response_ = response;
    }
    postEvent([self = shared_from_this(), response = std::move(response), decides] {
        auto delegate = self->session_->delegate();
        if (delegate) delegate->didReceiveResponse(self, response);
        if (decides)
            self->answerResponse(delegate ? delegate->responseDisposition(self, response)
                                          : URLSessionResponseDisposition::allow);
    });
}

void URLSessionTask::answerResponse(URLSessionResponseDisposition disposition) {
    std::function<void(URLSessionResponseDisposition, const URLSessionTaskPtr&)> next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Taken by a cancel that came first.
        next = std::exchange(afterResponse_, nullptr);
        if (!next) return;
        if (disposition == URLSessionResponseDisposition::cancel)
            state_ = URLSessionTaskState::canceling;
    }
    URLSessionTaskPtr download;
    if (disposition == URLSessionResponseDisposition::becomeDownload) {
        download = session_->adoptAsDownload(*this);
        if (!download) {
            disposition = URLSessionResponseDisposition::cancel;
        } else if (auto delegate = session_->delegate()) {
            // Before the body moves on: the delegate knows the new task before its events.
            delegate->didBecomeDownloadTask(shared_from_this(), download);
        }
    } else if (disposition != URLSessionResponseDisposition::cancel) {
        disposition = URLSessionResponseDisposition::allow;
    }
    next(disposition, download);
}

void URLSessionTask::noteBytesWritten(int64_t total) {
    bytesReceived_ = total;
    if (writeReportPending_.exchange(true)) return;
    postEvent([self = shared_from_this()] {
        self->writeReportPending_ = false;
        const int64_t total = self->bytesReceived_.load();
        const int64_t written = total - std::exchange(self->bytesWrittenReported_, total);
        if (written <= 0) return;
        if (auto delegate = self->session_->delegate())
            delegate->didWriteData(self, written, total, self->bytesExpectedToReceive_.load());
    });
}

void URLSessionTask::deliverResumeOffset(int64_t offset, int64_t expectedTotal) {
    postEvent([self = shared_from_this(), offset, expectedTotal] {
        self->bytesWrittenReported_ = offset;
        if (auto delegate = self->session_->delegate())
            delegate->didResumeAtOffset(self, offset, expectedTotal);
    });
}

void URLSessionTask::deliverDownloadedFile(std::shared_ptr<URLDownloadFile> file) {
    postEvent([self = shared_from_this(), file = std::move(file)] {
        if (auto delegate = self->session_->delegate())
            delegate->didFinishDownloadingToURL(self, file->path());
        // The file goes with this event, unless the delegate moved it.
    });
}

void URLSessionTask::noteBytesSent(int64_t total) {
    if (bytesSent_.exchange(total) == total || sendReportPending_.exchange(true)) return;
    postEvent([self = shared_from_this()] {
        self->sendReportPending_ = false;
        const int64_t total = self->bytesSent_.load();
        const int64_t sent = total - std::exchange(self->bytesReported_, total);
        // A body read again from its start counts from zero again.
        if (sent <= 0) return;
        if (auto delegate = self->session_->delegate())
            delegate->didSendBodyData(self, sent, total, self->bytesExpectedToSend_.load());
    });
}

void URLSessionTask::deliverData(Bytes data) {
    postEvent([self = shared_from_this(), data = std::move(data)] {
        if (auto delegate = self->session_->delegate()) delegate->didReceiveData(self, data);
    });
}

void URLSessionTask::complete(ErrorPtr error) {
    std::shared_ptr<Dispatch::OutsideWork> work;
    std::shared_ptr<URLSessionDelegate> hold;
    std::shared_ptr<URLProtocolExchange> exchange;
    std::function<void(const std::optional<Bytes>&)> resumeDataHandler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        finished_ = true;
        // A cancel that was to produce resume data and could not: nothing to go on from.
        resumeDataHandler = std::exchange(resumeDataHandler_, nullptr);
        afterResponse_ = nullptr;
        error_ = error;
        state_ = URLSessionTaskState::completed;
        work = std::move(work_);
        hold = std::move(delegateHold_);
        exchange = std::move(exchange_);
    }
    answerResumeData(std::move(resumeDataHandler), std::nullopt);
    postEvent([self = shared_from_this(), error = std::move(error), hold = std::move(hold)] {
        if (auto delegate = hold ? hold : self->session_->delegate())
            delegate->didCompleteWithError(self, error);
        self->session_->taskEnded(self->identifier_);
    });
    if (!work) return;
    if (openBatch_)
        openBatch_->works_.push_back(std::move(work));
    else
        work->finish();
}

// ---------------------------------------------------------------------------------------------
// Sessions

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration,
                                               std::weak_ptr<URLSessionDelegate> delegate,
                                               std::shared_ptr<OperationQueue> delegateQueue) {
    if (!delegateQueue) delegateQueue = OperationQueue::create("NSURLSession delegate queue");
    return std::make_shared<URLSession>(std::move(configuration), std::move(delegate),
                                        std::move(delegateQueue));
}

URLSessionTaskPtr URLSession::makeTask(URLRequest request, URLSessionTaskKind kind,
                                       URLSessionTask::UploadSource upload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (invalidated_) return nullptr;
    auto task = std::make_shared<URLSessionTask>(shared_from_this(), nextIdentifier_++,
                                                 std::move(request), kind, std::move(upload));
    tasks_[task->taskIdentifier()] = task;
    return task;
}

URLSessionTaskPtr URLSession::dataTaskWithRequest(URLRequest request) {
    return makeTask(std::move(request), URLSessionTaskKind::data);
}

URLSessionTaskPtr URLSession::uploadTaskWithRequestFromFile(URLRequest request,
                                                            const std::string& fileURL) {
    request.httpBody.reset();
    request.httpBodyStream.reset();
    return makeTask(std::move(request), URLSessionTaskKind::upload,
                    {.data = nullptr, .file = fileURL});
}

URLSessionTaskPtr URLSession::uploadTaskWithRequestFromData(URLRequest request, Bytes bodyData) {
    request.httpBody.reset();
    request.httpBodyStream.reset();
    return makeTask(
        std::move(request), URLSessionTaskKind::upload,
        {.data = std::make_shared<const Bytes>(std::move(bodyData)), .file = std::nullopt});
}

URLSessionTaskPtr URLSession::uploadTaskWithStreamedRequest(URLRequest request) {
    request.httpBody.reset();
    return makeTask(std::move(request), URLSessionTaskKind::upload);
}

URLSessionTaskPtr URLSession::downloadTaskWithRequest(URLRequest request) {
    return makeTask(std::move(request), URLSessionTaskKind::download);
}

URLSessionTaskPtr URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    auto resume = URLResumeData::decode(resumeData);
    // Only a file of the library's own download folder is written to, cut or removed.
    if (!resume || !URLDownloadFile::isOwnPath(resume->path)) return nullptr;
    URLRequest request;
    request.url = resume->url;
    auto task = makeTask(std::move(request), URLSessionTaskKind::download);
    if (task) task->resumeFrom_ = std::move(resume);
    return task;
}

URLSessionTaskPtr URLSession::adoptAsDownload(URLSessionTask& dataTask) {
    auto task = makeTask(dataTask.request_, URLSessionTaskKind::download);
    if (!task) return nullptr;
    {
        std::scoped_lock lock(dataTask.mutex_, task->mutex_);
        task->state_ = dataTask.state_.load();
        task->started_ = true;
        task->delegateHold_ = std::move(dataTask.delegateHold_);
        task->work_ = std::move(dataTask.work_);
        task->response_ = dataTask.response_;
        task->bytesExpectedToReceive_ = dataTask.bytesExpectedToReceive_.load();
        task->bytesExpectedToSend_ = dataTask.bytesExpectedToSend_.load();
        task->bytesSent_ = dataTask.bytesSent_.load();
        // The data task ends here, without a completion of its own.
        dataTask.finished_ = true;
        dataTask.state_ = URLSessionTaskState::completed;
    }
    taskEnded(dataTask.identifier_);
    return task;
}

void URLSession::tasksNow(std::vector<URLSessionTaskPtr>* dataTasks,
                          std::vector<URLSessionTaskPtr>* uploadTasks,
                          std::vector<URLSessionTaskPtr>* downloadTasks) const {
    std::vector<URLSessionTaskPtr> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [identifier, weak] : tasks_)
            if (auto task = weak.lock()) live.push_back(std::move(task));
    }
    for (auto& task : live) {
        if (task->state() == URLSessionTaskState::completed) continue;
        auto* list = task->kind() == URLSessionTaskKind::data     ? dataTasks
                     : task->kind() == URLSessionTaskKind::upload ? uploadTasks
                                                                  : downloadTasks;
        if (list) list->push_back(std::move(task));
    }
}

void URLSession::getTasksWithCompletionHandler(TasksHandler handler) {
    delegateQueue_->addOperationWithBlock(
        [self = shared_from_this(), handler = std::move(handler)] {
            std::vector<URLSessionTaskPtr> data, upload, download;
            self->tasksNow(&data, &upload, &download);
            handler(std::move(data), std::move(upload), std::move(download));
        });
}

void URLSession::finishTasksAndInvalidate() {
    invalidate(false);
}

void URLSession::invalidateAndCancel() {
    invalidate(true);
}

bool URLSession::isInvalidated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return invalidated_;
}

void URLSession::invalidate(bool cancel) {
    std::vector<URLSessionTaskPtr> live;
    std::shared_ptr<URLSessionDelegate> delegate;
    bool invalid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
        invalidationHold_ = delegate_.lock();
        if (cancel)
            for (const auto& [identifier, weak] : tasks_)
                if (auto task = weak.lock()) live.push_back(std::move(task));
        invalid = invalidationDueLocked(&delegate);
    }
    for (const auto& task : live) task->cancel();
    if (invalid) deliverInvalidation(std::move(delegate));
}

void URLSession::taskEnded(uint64_t identifier) {
    std::shared_ptr<URLSessionDelegate> delegate;
    bool invalid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.erase(identifier);
        invalid = invalidationDueLocked(&delegate);
    }
    if (invalid) deliverInvalidation(std::move(delegate));
}

bool URLSession::invalidationDueLocked(std::shared_ptr<URLSessionDelegate>* delegate) {
    if (!invalidated_ || invalidationPosted_) return false;
    std::erase_if(tasks_, [](const auto& entry) { return entry.second.expired(); });
    if (!tasks_.empty()) return false;
    invalidationPosted_ = true;
    *delegate = std::move(invalidationHold_);
    return true;
}

void URLSession::deliverInvalidation(std::shared_ptr<URLSessionDelegate> delegate) {
    // Without a delegate (it was gone before the invalidation) there is nobody to tell.
    if (!delegate) return;
    delegateQueue_->addOperationWithBlock(
        [self = shared_from_this(), delegate = std::move(delegate)] {
            delegate->didBecomeInvalidWithError(self, nullptr);
        });
}

std::string URLSession::description() const {
    char text[48];
    std::snprintf(text, sizeof text, "<URLSession: %p>", static_cast<const void*>(this));
    return text;
}

void URLSession::setSystemAnchorCertificates(std::vector<SecCertificateRef> anchors) {
    std::lock_guard<std::mutex> lock(sessionGlobals().anchorsMutex);
    sessionGlobals().systemAnchors = std::move(anchors);
}

std::vector<SecCertificateRef> URLSession::systemAnchorCertificates() {
    std::lock_guard<std::mutex> lock(sessionGlobals().anchorsMutex);
    return sessionGlobals().systemAnchors;
}

void URLSession::applySystemAnchorCertificates(SecTrust& trust) {
    if (auto anchors = systemAnchorCertificates(); !anchors.empty())
        trust.setAnchorCertificates(std::move(anchors));
    else
        trust.useSystemAnchorCertificates();
}

}  // namespace telvo

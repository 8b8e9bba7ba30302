#include "platform/http/URLSession.h"

#include "platform/foundation/Singleton.h"
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tasks

bool URLSessionDelegate::didReceiveServerTrustChallenge(const URLSessionTaskPtr&, SecTrust& trust,
                                                        const std::string&) {
    SecTrustResultType result;
    return trust.evaluate(&result) == errSecSuccess &&
           (result == SecTrustResultType::proceed || result == SecTrustResultType::unspecified);
}

URLSessionTask::URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier,
                               URLRequest request)
    : session_(std::move(session)), identifier_(identifier), request_(std::move(request)) {}

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto state = state_.load();
        if (state == URLSessionTaskState::canceling || state == URLSessionTaskState::completed)
            return;
        state_ = URLSessionTaskState::canceling;
        started = started_;
        exchange = exchange_;
    }
    if (exchange) {
        exchange->cancel();
    } else if (started) {
        URLLoader::shared().cancel(this);
    } else {
        complete(urlError(URLError::cancelled, request_.url));
    }
}

void URLSessionTask::postEvent(std::function<void()> event) {
    bool schedule;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        events_.push_back(std::move(event));
        schedule = !eventsScheduled_;
        eventsScheduled_ = true;
    }
    if (schedule) {
        session_->delegateQueue()->addOperationWithBlock(
            [self = shared_from_this()] { self->drainEvents(); });
    }
}

void URLSessionTask::drainEvents() {
    for (;;) {
        std::function<void()> event;
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            if (events_.empty()) {
                eventsScheduled_ = false;
                return;
            }
            event = std::move(events_.front());
            events_.pop_front();
        }
        event();
    }
}

void URLSessionTask::deliverResponse(HTTPURLResponsePtr response) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        response_ = response;
    }
    postEvent([self = shared_from_this(), response = std::move(response)] {
        if (auto delegate = self->session_->delegate())
            delegate->didReceiveResponse(self, response);
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        finished_ = true;
        error_ = error;
        state_ = URLSessionTaskState::completed;
        work = std::move(work_);
        hold = std::move(delegateHold_);
        exchange = std::move(exchange_);
    }
    postEvent([self = shared_from_this(), error = std::move(error), hold = std::move(hold)] {
        if (auto delegate = hold ? hold : self->session_->delegate())
            delegate->didCompleteWithError(self, error);
    });
    if (work) work->finish();
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

URLSessionTaskPtr URLSession::dataTaskWithRequest(URLRequest request) {
    return std::make_shared<URLSessionTask>(shared_from_this(), nextIdentifier_++,
                                            std::move(request));
}

void URLSession::setSystemAnchorCertificates(std::vector<SecCertificateRef> anchors) {
    std::lock_guard<std::mutex> lock(sessionGlobals().anchorsMutex);
    sessionGlobals().systemAnchors = std::move(anchors);
}

std::vector<SecCertificateRef> URLSession::systemAnchorCertificates() {
    std::lock_guard<std::mutex> lock(sessionGlobals().anchorsMutex);
    return sessionGlobals().systemAnchors;
}

}  // namespace telvo

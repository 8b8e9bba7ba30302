#include "platform/http/URLProtocol.h"

#include <utility>
#include <vector>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/http/URLLoader.h"

namespace telvo {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<std::string, URLProtocol::Handler>> origins;
};
Registry& protocolRegistry() {
    return processWide([] { return new Registry(); });
}

// The URL is the origin itself or continues it with a path, query or fragment.
bool under(const std::string& url, const std::string& origin) {
    if (url.compare(0, origin.size(), origin) != 0) return false;
    return url.size() == origin.size() || url[origin.size()] == '/' || url[origin.size()] == '?' ||
           url[origin.size()] == '#';
}

}  // namespace

// A download from resume data starts over here: nothing answers a range.
void URLProtocolExchange::deliverBody(URLSessionTask& task, Bytes body) {
    if (task.kind() != URLSessionTaskKind::download) {
        if (!body.empty()) {
            task.bytesReceived_ += int64_t(body.size());
            task.deliverData(std::move(body));
        }
        return task.complete(nullptr);
    }
    const int64_t limit = task.session_->configuration().maximumDownloadBytes;
    if (task.resumeFrom_) {
        if (!URLDownloadFile::discard(task.resumeFrom_->path, task.resumeFrom_->offset))
            return task.complete(urlError(URLError::fileDoesNotExist, task.request_.url));
        task.deliverResumeOffset(0, int64_t(body.size()));
    }
    std::shared_ptr<URLDownloadFile> file = URLDownloadFile::create(limit);
    if (!file) return task.complete(URLDownloadFile::creationError(task.request_.url));
    switch (file->write(body.data(), body.size())) {
        case URLDownloadFile::Write::overLimit:
            return task.complete(urlError(URLError::dataLengthExceedsMaximum, task.request_.url));
        case URLDownloadFile::Write::failed:
            return task.complete(urlError(URLError::cannotWriteToFile, task.request_.url));
        case URLDownloadFile::Write::written:
            break;
    }
    if (file->size() > 0) task.noteBytesWritten(file->size());
    task.deliverDownloadedFile(std::move(file));
    task.complete(nullptr);
}

void URLProtocol::registerOrigin(const std::string& origin, Handler handler) {
    auto& r = protocolRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase_if(r.origins, [&](const auto& entry) { return entry.first == origin; });
    if (handler) r.origins.emplace_back(origin, std::move(handler));
}

URLProtocol::Handler URLProtocol::handlerFor(const std::string& url) {
    auto& r = protocolRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& [origin, handler] : r.origins)
        if (under(url, origin)) return handler;
    return {};
}

URLProtocolExchange::URLProtocolExchange(URLSessionTaskPtr task) : task_(std::move(task)) {}

std::shared_ptr<URLProtocolExchange> URLProtocolExchange::start(const URLSessionTaskPtr& task,
                                                                URLProtocol::Handler handler) {
    auto exchange = std::make_shared<URLProtocolExchange>(task);
    exchange->timeout_ = URLLoader::timeoutOf(*task);
    std::weak_ptr<URLProtocolExchange> weak = exchange;
    // Nothing arrives for the whole time-out: the task fails as a transfer that stalls does.
    exchange->timer_ = DispatchTimer::create(DispatchQueue::main(), [weak] {
        if (auto self = weak.lock()) self->fail(URLError::timedOut);
    });
    exchange->timer_->start(exchange->timeout_);
    DispatchQueue::main()->async([exchange, handler = std::move(handler)] {
        URLRequest request;
        {
            std::lock_guard<std::mutex> lock(exchange->mutex_);
            if (!exchange->task_) return;  // cancelled before it went out
            request = exchange->task_->request_;
        }
        handler(request, exchange);
    });
    return exchange;
}

void URLProtocolExchange::respond(long statusCode, HTTPHeaderFields headers, Bytes body) {
    if (int64_t(body.size()) > kMaximumReplyBodyBytes)
        return fail(URLError::dataLengthExceedsMaximum);
    finish([statusCode, headers = std::move(headers),
            body = std::move(body)](URLSessionTask& task) mutable {
        if (!headers.value("Content-Length"))
            headers.set("Content-Length", std::to_string(body.size()));
        auto response = makeResponse(task.request_.url, statusCode, std::move(headers));
        task.bytesExpectedToReceive_ = response->expectedContentLength;
        auto self = task.shared_from_this();
        if (task.delegateDecidesResponse()) {
            {
                std::lock_guard<std::mutex> lock(task.mutex_);
                task.afterResponse_ = [self, body = std::move(body)](
                                          URLSessionResponseDisposition disposition,
                                          const URLSessionTaskPtr& download) mutable {
                    if (disposition == URLSessionResponseDisposition::cancel)
                        return self->complete(urlError(URLError::cancelled, self->request_.url));
                    deliverBody(download ? *download : *self, std::move(body));
                };
            }
            task.deliverResponse(std::move(response), true);
            return;
        }
        task.deliverResponse(std::move(response));
        deliverBody(task, std::move(body));
    });
}

void URLProtocolExchange::fail(int64_t urlErrorCode) {
    finish([urlErrorCode](URLSessionTask& task) {
        task.complete(urlError(urlErrorCode, task.request_.url));
    });
}

void URLProtocolExchange::cancel() {
    std::shared_ptr<DispatchTimer> timer;
    URLSessionTaskPtr task;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timer = std::exchange(timer_, nullptr);
        task = std::exchange(task_, nullptr);
        held_ = nullptr;
    }
    if (timer) timer->cancel();
    if (task) task->complete(urlError(URLError::cancelled, task->request_.url));
}

void URLProtocolExchange::setPaused(bool paused) {
    std::function<void(URLSessionTask&)> deliver;
    URLSessionTaskPtr task;
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused_ == paused || !task_) return;
        paused_ = paused;
        if (!paused && held_) {
            deliver = std::exchange(held_, nullptr);
            task = std::exchange(task_, nullptr);
        } else {
            timer = timer_;
        }
    }
    if (deliver) return deliver(*task);
    if (!timer) return;
    // A resumed task gets a fresh time-out, as a transfer does when data moves again.
    if (paused)
        timer->pause();
    else
        timer->start(timeout_);
}

void URLProtocolExchange::finish(std::function<void(URLSessionTask&)> deliver) {
    URLSessionTaskPtr task;
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!task_ || answered_) return;
        answered_ = true;
        timer = std::exchange(timer_, nullptr);
        if (paused_) {
            held_ = std::move(deliver);
        } else {
            task = std::exchange(task_, nullptr);
        }
    }
    if (timer) timer->cancel();
    if (task) deliver(*task);
}

}  // namespace telvo

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/http/URLSession.h"

namespace telvo {

class DispatchTimer;

// One request's way back to its task from a URL protocol.
class URLProtocolClient {
  public:
    virtual ~URLProtocolClient() = default;
    // The answer, header block and body at once; the task completes with it. Any thread.
    // Only the first answer or failure counts, and none after the task has ended.
    virtual void respond(long statusCode, HTTPHeaderFields headers, Bytes body) = 0;
    // The task fails with the URLError of that code (URLError::networkConnectionLost...).
    virtual void fail(int64_t urlErrorCode) = 0;
};

// Requests answered inside the process instead of over the network, as a URL protocol that an
// app registers with the platform answers them. A registration covers one origin
// ("http://127.0.0.1:8080"): a task whose URL lies under it goes to the handler when it starts
// instead of to libcurl. No connection, TLS or redirect is involved, and nothing runs outside
// the dispatch runtime: the handler runs on the main queue, the answer reaches the delegate
// when the handler (or whatever it schedules) gives it, and the task's time-out runs on the
// library clock. Meant for simulated servers in tests, where in deterministic mode the whole
// exchange lives in virtual time. Thread-safe.
class URLProtocol {
  public:
    using Handler =
        std::function<void(const URLRequest& request, std::shared_ptr<URLProtocolClient> client)>;
    // Replaces the origin's handler; an empty handler removes the registration.
    static void registerOrigin(const std::string& origin, Handler handler);
    // The handler whose origin covers the URL, or an empty one.
    static Handler handlerFor(const std::string& url);
};

// A task's exchange with a URL protocol: holds the task until it completes.
class URLProtocolExchange : public URLProtocolClient,
                            public std::enable_shared_from_this<URLProtocolExchange> {
  public:
    static std::shared_ptr<URLProtocolExchange> start(const URLSessionTaskPtr& task,
                                                      URLProtocol::Handler handler);
    void respond(long statusCode, HTTPHeaderFields headers, Bytes body) override;
    void fail(int64_t urlErrorCode) override;
    // A suspended task holds back an answer and stops its time-out; resuming gives both back.
    void setPaused(bool paused);
    void cancel();

    explicit URLProtocolExchange(URLSessionTaskPtr task);

  private:
    // The body to the task, as data or into a download's file, then the completion.
    static void deliverBody(URLSessionTask& task, Bytes body);
    // Ends the exchange once, running `deliver` unless it already ended; while paused the
    // delivery waits for the resume.
    void finish(std::function<void(URLSessionTask&)> deliver);

    std::mutex mutex_;
    URLSessionTaskPtr task_;  // until the exchange ends
    std::shared_ptr<DispatchTimer> timer_;
    double timeout_ = 0;
    bool paused_ = false;
    bool answered_ = false;
    std::function<void(URLSessionTask&)> held_;
};

}  // namespace telvo

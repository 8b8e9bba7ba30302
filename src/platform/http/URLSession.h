#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto/Trust.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/OperationQueue.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// URL loading (NSURLSession and its tasks) on libcurl. One multi handle is driven by one
// thread of its own, "telvo.urlloading"; each transfer in flight is registered as outside work
// of the dispatch runtime, and every event is handed to the session's delegate queue before
// the transfer counts as finished.

inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kNSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
namespace URLError {
constexpr int64_t unknown = -1;
constexpr int64_t cancelled = -999;
constexpr int64_t badURL = -1000;
constexpr int64_t timedOut = -1001;
constexpr int64_t unsupportedURL = -1002;
constexpr int64_t cannotFindHost = -1003;
constexpr int64_t cannotConnectToHost = -1004;
constexpr int64_t networkConnectionLost = -1005;
constexpr int64_t httpTooManyRedirects = -1007;
constexpr int64_t notConnectedToInternet = -1009;
constexpr int64_t badServerResponse = -1011;
constexpr int64_t dataLengthExceedsMaximum = -1103;
constexpr int64_t secureConnectionFailed = -1200;
}  // namespace URLError

// The largest reply body a task takes, counted after decompression: far above any reply of
// the cloud's API, and small enough that a hostile or broken server (or a compressed bomb)
// cannot exhaust the app's memory. A larger body ends its task with dataLengthExceedsMaximum.
inline constexpr int64_t kMaximumReplyBodyBytes = 4 * 1024 * 1024;

// Header fields in the order they were set; names compare without regard to case.
class HTTPHeaderFields {
  public:
    using Field = std::pair<std::string, std::string>;
    std::optional<std::string> value(std::string_view name) const;
    // Replaces the field of that name in place (or appends it); nullopt removes it.
    void set(std::string_view name, std::optional<std::string> value);
    // Appends a field even when one of that name exists (a response's repeated fields).
    void add(std::string name, std::string value) {
        fields_.emplace_back(std::move(name), std::move(value));
    }
    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }

  private:
    std::vector<Field> fields_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);

// URL texts (NSURL's part): a reference resolved against a base URL (RFC 3986), and the path
// of an absolute URL; nullopt when the text is not a URL.
std::optional<std::string> resolveURL(const std::string& base, const std::string& reference);
std::optional<std::string> pathOfURL(const std::string& url);

struct URLRequest {
    // The platform's default inactivity time-out.
    static constexpr double kDefaultTimeoutInterval = 60;

    std::string url;
    std::string httpMethod = "GET";
    HTTPHeaderFields headers;
    std::optional<Bytes> httpBody;
    // Seconds without any data moving before the request fails with timedOut; also the
    // connect time-out.
    double timeoutInterval = kDefaultTimeoutInterval;
    // Recorded only: libcurl has no use for them.
    bool allowsCellularAccess = true;
    bool HTTPShouldHandleCookies = true;
    bool HTTPShouldUsePipelining = false;
    uint64_t cachePolicy = 0;
    uint64_t networkServiceType = 0;

    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers.value(name);
    }
    void setValue(std::optional<std::string> value, std::string_view name) {
        headers.set(name, std::move(value));
    }
};

struct HTTPURLResponse {
    std::string url;
    long statusCode = 0;
    HTTPHeaderFields headers;
    // The media type of "Content-Type", lowercased, without parameters; nullopt without one.
    std::optional<std::string> MIMEType;
    std::optional<std::string> textEncodingName;
    // "Content-Length", or -1.
    int64_t expectedContentLength = -1;

    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers.value(name);
    }
    // The platform's English text for a status code ("not found", "internal server error").
    static std::string localizedStringForStatusCode(long statusCode);
};
using HTTPURLResponsePtr = std::shared_ptr<const HTTPURLResponse>;

struct URLSessionConfiguration {
    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
    std::optional<std::string> identifier;
    // Applies to requests whose own time-out is the default.
    double timeoutIntervalForRequest = URLRequest::kDefaultTimeoutInterval;
};

enum class URLSessionTaskState : int64_t {
    running = 0,
    suspended = 1,
    canceling = 2,
    completed = 3
};

class URLSession;
class URLSessionTask;
class URLProtocolExchange;
using URLSessionTaskPtr = std::shared_ptr<URLSessionTask>;

// The session's delegate. A session holds it weakly; a resumed task holds it until its
// completion has been delivered, so no completion is lost when the owner lets go.
class URLSessionDelegate {
  public:
    virtual ~URLSessionDelegate() = default;
    // A server-trust challenge, during the TLS handshake, synchronously on the URL-loading
    // thread (the handshake waits for the answer). The trust holds the chain the server sent,
    // leaf first, with the SSL policy for host (the host this connection reached, after any
    // redirect) and the system anchors (systemAnchorCertificates). true accepts the chain;
    // false cancels the task (it completes with URLError::cancelled). Must not block on the
    // session's delegate queue or the main queue. The default is the platform's own check.
    virtual bool didReceiveServerTrustChallenge(const URLSessionTaskPtr& task, SecTrust& trust,
                                                const std::string& host);
    // The rest run on the session's delegate queue, per task in this order: the response
    // once (when one arrived), the body in arrival order, the completion once.
    virtual void didReceiveResponse(const URLSessionTaskPtr&, const HTTPURLResponsePtr&) {}
    virtual void didReceiveData(const URLSessionTaskPtr&, const Bytes&) {}
    virtual void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr&) {}
};

// A data task. Made suspended; resume() starts it, over the network or, for an origin a URL
// protocol answers (URLProtocol.h), inside the process. Thread-safe.
//
// Redirects (at most 16) are followed from http to http or https and from https to https only;
// a request that carries credentials (the header fields Authorization, Proxy-Authorization,
// Cookie, accessToken, sign or Signature) is followed only within its own origin (scheme, host
// and port). A redirect not followed is the task's reply: its response, no body, and no error.
// Each connection's server trust is checked for the host it reached.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
  public:
    uint64_t taskIdentifier() const { return identifier_; }
    URLSessionTaskState state() const { return state_.load(); }
    const URLRequest& originalRequest() const { return request_; }
    const URLRequest& currentRequest() const { return request_; }
    // Null until the response's header block has arrived.
    HTTPURLResponsePtr response() const;
    ErrorPtr error() const;
    std::string taskDescription() const;
    void setTaskDescription(std::string description);
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesSent() const { return bytesSent_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }
    int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }

    void resume();
    void suspend();
    // The task completes once with URLError::cancelled, unless it had completed already.
    void cancel();

    // Called after every resume() that found the task not running and every suspend() that
    // found it not suspended, on the caller's thread, outside every lock of the task.
    // Installed once by the HTTP layer; empty: none.
    using StateChangeHook = std::function<void(const URLSessionTaskPtr& task, bool resumed)>;
    static void setStateChangeHook(StateChangeHook hook);

    URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier, URLRequest request);

  private:
    friend class URLSession;
    friend struct URLTransfer;
    friend class URLLoader;
    friend class URLProtocolExchange;
    // Runs events on the delegate queue one at a time, in the order posted.
    void postEvent(std::function<void()> event);
    void drainEvents();
    void deliverResponse(HTTPURLResponsePtr response);
    void deliverData(Bytes data);
    // Completes the task once; the outside work ends after the event is queued.
    void complete(ErrorPtr error);

    const std::shared_ptr<URLSession> session_;
    const uint64_t identifier_;
    const URLRequest request_;
    std::atomic<URLSessionTaskState> state_{URLSessionTaskState::suspended};
    std::atomic<int64_t> bytesReceived_{0}, bytesSent_{0}, bytesExpectedToReceive_{-1},
        bytesExpectedToSend_{0};
    mutable std::mutex mutex_;
    HTTPURLResponsePtr response_;
    ErrorPtr error_;
    std::string description_;
    bool started_ = false;   // handed to the loader or to a URL protocol
    bool finished_ = false;  // completion queued
    // Answered by a URL protocol in this process (URLProtocol.h) instead of the loader.
    std::shared_ptr<URLProtocolExchange> exchange_;
    // The delegate, from the start until the completion has reached it.
    std::shared_ptr<URLSessionDelegate> delegateHold_;
    std::shared_ptr<Dispatch::OutsideWork> work_;
    std::mutex eventsMutex_;
    std::deque<std::function<void()>> events_;
    bool eventsScheduled_ = false;
};

// A URL session: makes tasks and reports their events to its delegate on its delegate queue.
class URLSession : public std::enable_shared_from_this<URLSession> {
  public:
    // delegateQueue null: a new operation queue with one concurrent operation.
    static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration,
                                              std::weak_ptr<URLSessionDelegate> delegate,
                                              std::shared_ptr<OperationQueue> delegateQueue);
    // On the calling thread; the task is suspended until resumed.
    URLSessionTaskPtr dataTaskWithRequest(URLRequest request);

    const URLSessionConfiguration& configuration() const { return configuration_; }
    const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::shared_ptr<URLSessionDelegate> delegate() const { return delegate_.lock(); }

    // The certificates every server trust starts with as its anchors in place of the system's
    // trusted roots (OpenSSL's default certificate file and folder); none, the default: the
    // system's. Thread-safe.
    static void setSystemAnchorCertificates(std::vector<SecCertificateRef> anchors);
    static std::vector<SecCertificateRef> systemAnchorCertificates();

    URLSession(URLSessionConfiguration configuration, std::weak_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<OperationQueue> delegateQueue)
        : configuration_(std::move(configuration)),
          delegate_(std::move(delegate)),
          delegateQueue_(std::move(delegateQueue)) {}

  private:
    const URLSessionConfiguration configuration_;
    const std::weak_ptr<URLSessionDelegate> delegate_;
    const std::shared_ptr<OperationQueue> delegateQueue_;
    std::atomic<uint64_t> nextIdentifier_{1};
};

}  // namespace telvo

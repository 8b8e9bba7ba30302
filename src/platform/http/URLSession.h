#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/AsciiText.h"
#include "platform/crypto/Trust.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchTask.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/InputStream.h"
#include "platform/http/URLDownloadFile.h"
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
constexpr int64_t requestBodyStreamExhausted = -1021;
constexpr int64_t fileDoesNotExist = -1100;
constexpr int64_t fileIsDirectory = -1101;
constexpr int64_t noPermissionsToReadFile = -1102;
constexpr int64_t dataLengthExceedsMaximum = -1103;
constexpr int64_t secureConnectionFailed = -1200;
constexpr int64_t cannotCreateFile = -3000;
constexpr int64_t cannotWriteToFile = -3003;
}  // namespace URLError
// The user-info key of a cancelled download's resume data (cancelByProducingResumeData).
inline constexpr const char* kNSURLSessionDownloadTaskResumeData =
    "NSURLSessionDownloadTaskResumeData";

// The largest reply body a task takes, counted after decompression: far above any reply of
// the cloud's API, and small enough that a hostile or broken server (or a compressed bomb)
// cannot exhaust the app's memory. A larger body ends its task with dataLengthExceedsMaximum.
// A download task's body is written to a file as it arrives, under a limit of its own
// (URLSessionConfiguration::maximumDownloadBytes).
inline constexpr int64_t kMaximumReplyBodyBytes = 4 * 1024 * 1024;
inline constexpr int64_t kDefaultMaximumDownloadBytes = int64_t(256) << 20;

// Header fields in the order they were set; names compare without regard to case.
class HTTPHeaderFields {
  public:
    using Field = std::pair<std::string, std::string>;
    std::optional<std::string> value(std::string_view name) const;
    // The first field of that name, without a copy; null when there is none.
    const std::string* find(std::string_view name) const;
    // Replaces the field of that name in place (or appends it); nullopt removes it.
    void set(std::string_view name, std::optional<std::string> value);
    // Appends a field even when one of that name exists (a response's repeated fields).
    void add(std::string name, std::string value) {
        fields_.emplace_back(std::move(name), std::move(value));
    }
    const std::vector<Field>& fields() const { return fields_; }
    void reserve(size_t count) { fields_.reserve(count); }
    bool empty() const { return fields_.empty(); }
    // "Content-Length" as a number; -1 when there is none or it is not a length.
    int64_t contentLength() const;

  private:
    std::vector<Field> fields_;
};

// URL texts (NSURL's part): a reference resolved against a base URL (RFC 3986), and the path
// of an absolute URL; nullopt when the text is not a URL.
std::optional<std::string> resolveURL(const std::string& base, const std::string& reference);
std::optional<std::string> pathOfURL(const std::string& url);
// The file a file URL names: the decoded path of a "file:" URL, or a text without a scheme
// taken as a path; nullopt for a URL of another scheme.
std::optional<std::string> filePathOfURL(const std::string& url);

struct URLRequest {
    // The platform's default inactivity time-out.
    static constexpr double kDefaultTimeoutInterval = 60;

    std::string url;
    std::string httpMethod = "GET";
    HTTPHeaderFields headers;
    // At most one of the two: the body as bytes, or a stream the body is read from (shared by
    // copies of the request; read once, on the URL-loading thread).
    std::optional<Bytes> httpBody;
    std::shared_ptr<InputStream> httpBodyStream;
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
    // The most a download task writes to its file, counted after decompression: a body that
    // would grow past it ends its task with URLError::dataLengthExceedsMaximum and leaves no
    // file behind.
    int64_t maximumDownloadBytes = kDefaultMaximumDownloadBytes;
};

// What a task does with a body whose response its delegate was asked about.
enum class URLSessionResponseDisposition : int64_t {
    cancel = 0,          // the task ends with URLError::cancelled, without its body
    allow = 1,           // the body follows as data
    becomeDownload = 2,  // a new download task takes the body into a file
};

enum class URLSessionTaskKind { data, upload, download };

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
    // A body read from a stream must be read again from its first byte (a redirect, or a
    // request retried on a fresh connection): a new stream over the same bytes, or null, which
    // fails the task with URLError::requestBodyStreamExhausted. Synchronously on the
    // URL-loading thread, under the same rules as the trust challenge. The default: null.
    virtual std::shared_ptr<InputStream> needNewBodyStream(const URLSessionTaskPtr& task);
    // A redirect that the rules on URLSessionTask let the task follow: response is the
    // redirect, request what following it sends. True follows it; false does not, and the
    // redirect becomes the task's reply. Synchronously on the URL-loading thread, under the same
    // rules as the trust challenge. The default: true.
    virtual bool willPerformHTTPRedirection(const URLSessionTaskPtr& task,
                                            const HTTPURLResponsePtr& response,
                                            const URLRequest& request);
    // The rest run on the session's delegate queue, per task in this order: the response
    // once (when one arrived), the body in arrival order, the completion once.
    virtual void didReceiveResponse(const URLSessionTaskPtr&, const HTTPURLResponsePtr&) {}
    // Whether a data task's body waits, after its response, for responseDisposition. Asked on
    // the URL-loading thread when the response arrives; the default: no, the body follows.
    virtual bool decidesResponseDisposition(const URLSessionTaskPtr&) { return false; }
    // For a task whose delegate decides: right after didReceiveResponse, nothing of the body
    // received yet. becomeDownload calls didBecomeDownloadTask before the body moves on.
    virtual URLSessionResponseDisposition responseDisposition(const URLSessionTaskPtr&,
                                                              const HTTPURLResponsePtr&) {
        return URLSessionResponseDisposition::allow;
    }
    // The data task ends there (no completion of its own); the download task carries the
    // transfer on, with its events and its completion.
    virtual void didBecomeDownloadTask(const URLSessionTaskPtr& /*dataTask*/,
                                       const URLSessionTaskPtr& /*downloadTask*/) {}
    virtual void didReceiveData(const URLSessionTaskPtr&, const Bytes&) {}
    // A download task's body went into its file: bytes since the last call, the file's size
    // and the size expected (-1: not known). Calls may be merged.
    virtual void didWriteData(const URLSessionTaskPtr&, int64_t /*bytesWritten*/,
                              int64_t /*totalBytesWritten*/, int64_t /*totalBytesExpected*/) {}
    // A download task made from resume data got its response: the body continues the file at
    // fileOffset (0: the server sent the whole body again).
    virtual void didResumeAtOffset(const URLSessionTaskPtr&, int64_t /*fileOffset*/,
                                   int64_t /*expectedTotalBytes*/) {}
    // A download task's whole body is in the file at path, just before its completion; the
    // file is removed when the call returns unless the delegate moved it.
    virtual void didFinishDownloadingToURL(const URLSessionTaskPtr&, const std::string& /*path*/) {}
    // Body bytes went out: bytesSent since the last call, the totals so far and expected (-1:
    // not known). Calls may be merged; the last one before the completion has the final total.
    virtual void didSendBodyData(const URLSessionTaskPtr&, int64_t /*bytesSent*/,
                                 int64_t /*totalBytesSent*/, int64_t /*totalBytesExpectedToSend*/) {
    }
    virtual void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr&) {}
    // After invalidation, once every task's completion has been delivered; the last call the
    // session makes.
    virtual void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const ErrorPtr&) {}
};

// A data, upload or download task (a download task's body goes to a file as it arrives, on the
// URL-loading thread, so a slow delegate holds back no body in memory). Made suspended; resume()
// starts it, over the network or, for an origin a URL protocol answers (URLProtocol.h), inside the
// process. Thread-safe.
//
// Redirects (301, 302, 303, 307 and 308, at most 16) are followed from http to http or https and
// from https to https only; a request that carries credentials (the header fields Authorization,
// Proxy-Authorization, Cookie, accessToken, sign or Signature) is followed only within its own
// origin (scheme, host and port). A 303 makes any method but HEAD a GET, a 301 or 302 makes a
// POST one; that GET goes without the body and the caller's fields that describe it. Any other
// redirect sends the method and its body again, but never to another origin (such a redirect
// is not followed), and a request to another origin carries none of the caller's fields. A
// redirect not followed is the task's reply: its response, no body, and no error.
// Each connection's server trust is checked for the host it reached.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
  public:
    // What an upload task sends: bytes, or a file named by its path (neither: the request's
    // body stream).
    struct UploadSource {
        std::shared_ptr<const Bytes> data;
        std::optional<std::string> file;
    };

    uint64_t taskIdentifier() const { return identifier_; }
    URLSessionTaskKind kind() const { return kind_; }
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
    // A download task's cancel that keeps what its file holds: the handler gets resume data
    // (URLSession::downloadTaskWithResumeData) when the download can go on later, nullopt
    // otherwise (not a download, nothing received, no validator in the reply, a body the
    // loader decoded, a task that has completed or is being cancelled already). It runs
    // exactly once, on the delegate queue, never synchronously; before the completion, whose
    // error carries the same data under kNSURLSessionDownloadTaskResumeData.
    void cancelByProducingResumeData(std::function<void(const std::optional<Bytes>&)> handler);

    // Called after every resume() that found the task not running and every suspend() that
    // found it not suspended, on the caller's thread, outside every lock of the task.
    // Installed once by the HTTP layer; empty: none.
    using StateChangeHook = std::function<void(const URLSessionTaskPtr& task, bool resumed)>;
    static void setStateChangeHook(StateChangeHook hook);

    URLSessionTask(std::shared_ptr<URLSession> session, uint64_t identifier, URLRequest request,
                   URLSessionTaskKind kind = URLSessionTaskKind::data, UploadSource upload = {});
    ~URLSessionTask();

  private:
    friend class URLSession;
    friend struct URLTransfer;
    friend class URLLoader;
    friend class URLProtocolExchange;
    friend class URLUploadBody;
    // Runs events on the delegate queue one at a time, in the order posted.
    void postEvent(DispatchTask event);
    void drainEvents();
    // Queues the drain of the task's events on its delegate queue.
    void scheduleDrain();
    // The tasks whose events the loader holds back across passes of its loop, so that a
    // reply's response and body usually reach the delegate queue in one hand-off with its
    // completion rather than one per network read. A task's events are handed on when it
    // completes, when kHoldBytes more of its body (give or take one piece) wait, or kHoldTime
    // after the pass that first held them, whichever comes first; their order never changes.
    // Loader thread only.
    class HeldEvents {
      public:
        static constexpr std::chrono::milliseconds kHoldTime{5};
        static constexpr int64_t kHoldBytes = 64 * 1024;
        // Milliseconds until the loop must close a pass to hand on held events (rounded up);
        // -1 when nothing is held.
        int millisecondsUntilDue() const;

      private:
        friend class URLSessionTask;
        struct Entry {
            URLSessionTaskPtr task;
            int64_t received;  // the task's body bytes when its hold began
            std::chrono::steady_clock::time_point since;
        };
        std::vector<Entry> entries_;
    };
    // Opened by the loader around one pass of its loop: the tasks whose events the pass posts
    // on that thread are handed to their delegate queues when it closes (or held in held, when
    // given, until they are due), one operation per serial queue running their events in the
    // order posted; the outside work of tasks that completed in the pass ends after that. Not
    // nested.
    class EventBatch {
      public:
        explicit EventBatch(HeldEvents* held = nullptr);
        ~EventBatch();
        EventBatch(const EventBatch&) = delete;
        EventBatch& operator=(const EventBatch&) = delete;

      private:
        friend class URLSessionTask;
        HeldEvents* const held_;
        // Tasks whose first event of the pass found no drain scheduled, with their body bytes
        // then.
        std::vector<std::pair<URLSessionTaskPtr, int64_t>> tasks_;
        std::vector<std::shared_ptr<Dispatch::OutsideWork>> works_;
    };
    static thread_local EventBatch* openBatch_;
    // decides: the engine holds the body back until afterResponse_ has the answer.
    void deliverResponse(HTTPURLResponsePtr response, bool decides = false);
    void deliverData(Bytes data);
    // A download task's file grew to total bytes (merged while one report waits).
    void noteBytesWritten(int64_t total);
    // The events of a download whose body is whole: the file to the delegate, then removed.
    void deliverDownloadedFile(std::shared_ptr<URLDownloadFile> file);
    void deliverResumeOffset(int64_t offset, int64_t expectedTotal);
    // The delegate's answer to a response it decides: becomeDownload makes the download task,
    // then the engine goes on (afterResponse_).
    void answerResponse(URLSessionResponseDisposition disposition);
    // Whether the delegate decides this task's response disposition (loader thread).
    bool delegateDecidesResponse();
    std::function<void(const std::optional<Bytes>&)> takeResumeDataHandler();
    bool hasResumeDataHandler() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bool(resumeDataHandler_);
    }
    // The handler of cancelByProducingResumeData, when one waits, on the delegate queue.
    void deliverResumeData(std::optional<Bytes> data);
    // Posts handler's answer, when there is a handler, to the delegate queue.
    void answerResumeData(std::function<void(const std::optional<Bytes>&)> handler,
                          std::optional<Bytes> data);
    // The loader's count of body bytes sent; a change reaches the delegate (merged while one
    // report waits on the delegate queue).
    void noteBytesSent(int64_t total);
    // Completes the task once; the outside work ends after the event is queued.
    void complete(ErrorPtr error);

    const std::shared_ptr<URLSession> session_;
    const uint64_t identifier_;
    const URLRequest request_;
    const URLSessionTaskKind kind_;
    const UploadSource upload_;
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
    // Most tasks post a response, a piece of body and a completion: room for those without a
    // heap block per event.
    std::vector<DispatchTask> events_;
    bool eventsScheduled_ = false;
    std::atomic<bool> sendReportPending_{false};
    int64_t bytesReported_ = 0;  // events only
    std::atomic<bool> writeReportPending_{false};
    int64_t bytesWrittenReported_ = 0;  // events only
    // Set by the engine while the body waits for the delegate's answer: how it goes on (the
    // download task, for becomeDownload).
    std::function<void(URLSessionResponseDisposition, const URLSessionTaskPtr& download)>
        afterResponse_;
    // A download task made from resume data: where it goes on.
    std::optional<URLResumeData> resumeFrom_;
    // Set while a cancel that produces resume data is on its way.
    std::function<void(const std::optional<Bytes>&)> resumeDataHandler_;
};

// A URL session: makes tasks and reports their events to its delegate on its delegate queue.
class URLSession : public std::enable_shared_from_this<URLSession> {
  public:
    // delegateQueue null: a new operation queue with one concurrent operation.
    static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration,
                                              std::weak_ptr<URLSessionDelegate> delegate,
                                              std::shared_ptr<OperationQueue> delegateQueue);
    // Tasks are made on the calling thread, suspended until resumed; null once the session
    // has been invalidated.
    URLSessionTaskPtr dataTaskWithRequest(URLRequest request);
    // The file's bytes (a file URL or a path) as the body; a file that cannot be read fails the
    // task when it starts (URLError::fileDoesNotExist and its kin).
    URLSessionTaskPtr uploadTaskWithRequestFromFile(URLRequest request, const std::string& fileURL);
    URLSessionTaskPtr uploadTaskWithRequestFromData(URLRequest request, Bytes bodyData);
    // The request's body stream as the body: "Content-Length" of the request when it has one,
    // chunked otherwise.
    URLSessionTaskPtr uploadTaskWithStreamedRequest(URLRequest request);
    URLSessionTaskPtr downloadTaskWithRequest(URLRequest request);
    // A download that goes on where a cancel left it: a range request from the end of the
    // kept file, under the validator of the first reply. Null for data this library did not
    // produce, or whose file is not one of the library's download folder (or once the session
    // has been invalidated); a file that is gone, a link, not this user's or shorter than the
    // data says ends the task with URLError::fileDoesNotExist, the file untouched.
    URLSessionTaskPtr downloadTaskWithResumeData(const Bytes& resumeData);

    // The tasks not yet completed, each list in the order made; the handler runs on the
    // delegate queue.
    using TasksHandler = std::function<void(std::vector<URLSessionTaskPtr> dataTasks,
                                            std::vector<URLSessionTaskPtr> uploadTasks,
                                            std::vector<URLSessionTaskPtr> downloadTasks)>;
    void getTasksWithCompletionHandler(TasksHandler handler);
    // The same answer at once, on the calling thread.
    void tasksNow(std::vector<URLSessionTaskPtr>* dataTasks,
                  std::vector<URLSessionTaskPtr>* uploadTasks,
                  std::vector<URLSessionTaskPtr>* downloadTasks) const;

    // Invalidation: no task can be made any more; the tasks made so far run to their end
    // (finish) or are cancelled (cancel); when the last completion has been delivered the
    // delegate hears didBecomeInvalidWithError, and the session lets go of it. The session
    // holds its delegate from the call until then. Only the first call counts.
    void finishTasksAndInvalidate();
    void invalidateAndCancel();
    bool isInvalidated() const;

    std::string description() const;

    const URLSessionConfiguration& configuration() const { return configuration_; }
    const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::shared_ptr<URLSessionDelegate> delegate() const { return delegate_.lock(); }

    // The certificates every server trust starts with as its anchors in place of the system's
    // trusted roots (OpenSSL's default certificate file and folder); none, the default: the
    // system's. Thread-safe.
    static void setSystemAnchorCertificates(std::vector<SecCertificateRef> anchors);
    static std::vector<SecCertificateRef> systemAnchorCertificates();
    // Gives a server trust the anchors every server trust starts with: those set above, else
    // the system's trusted roots. Thread-safe.
    static void applySystemAnchorCertificates(SecTrust& trust);

    URLSession(URLSessionConfiguration configuration, std::weak_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<OperationQueue> delegateQueue)
        : configuration_(std::move(configuration)),
          delegate_(std::move(delegate)),
          delegateQueue_(std::move(delegateQueue)) {}

  private:
    friend class URLSessionTask;
    URLSessionTaskPtr makeTask(URLRequest request, URLSessionTaskKind kind,
                               URLSessionTask::UploadSource upload = {});
    // The download task that takes over a data task's transfer; null once invalidated.
    URLSessionTaskPtr adoptAsDownload(URLSessionTask& dataTask);
    void invalidate(bool cancel);
    // A task's completion was delivered, or the task went away unfinished.
    void taskEnded(uint64_t identifier);
    // True once, when the invalidation is due (under mutex_); *delegate: whom to tell.
    bool invalidationDueLocked(std::shared_ptr<URLSessionDelegate>* delegate);
    void deliverInvalidation(std::shared_ptr<URLSessionDelegate> delegate);

    const URLSessionConfiguration configuration_;
    const std::weak_ptr<URLSessionDelegate> delegate_;
    const std::shared_ptr<OperationQueue> delegateQueue_;
    std::atomic<uint64_t> nextIdentifier_{1};
    mutable std::mutex mutex_;
    std::map<uint64_t, std::weak_ptr<URLSessionTask>> tasks_;
    bool invalidated_ = false;
    bool invalidationPosted_ = false;
    std::shared_ptr<URLSessionDelegate> invalidationHold_;
};

}  // namespace telvo

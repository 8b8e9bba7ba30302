#pragma once

#include <curl/curl.h>
#include <openssl/types.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Singleton.h"
#include "platform/http/URLSession.h"
#include "platform/http/URLUploadBody.h"

namespace telvo {

// Internal to URL loading: the libcurl transfer driver behind URLSessionTask.

// The URLError of that code for the URL, with its text and the failing URL.
ErrorPtr urlError(int64_t code, const std::string& url);
// The response a header block makes: status, fields, and what they say of the body (media
// type, text encoding, expected length).
std::shared_ptr<HTTPURLResponse> makeResponse(const std::string& url, long status,
                                              HTTPHeaderFields headers);

// The most a transfer takes of response header lines: fields in one response, and bytes over
// all its header blocks (informational replies and redirects included). More ends the task
// with badServerResponse.
inline constexpr size_t kMaximumResponseHeaderFields = 100;
inline constexpr size_t kMaximumResponseHeaderBytes = 256 * 1024;
// One header line over libcurl's own limit ends the task the same way.
inline constexpr size_t kMaximumResponseHeaderLineBytes = 100 * 1024;

// The most redirects one task follows; the next one ends it with httpTooManyRedirects.
inline constexpr int kMaximumRedirects = 16;

// Scheme, host (an IPv6 literal without brackets) and port of a URL, and the URL as libcurl
// writes it; nullopt when the text is not a URL. A reference is resolved against base. Without
// whole, only the scheme and the host (every scheme libcurl parses has a default port).
struct URLParts {
    std::string url, scheme, host, port;
    bool sameOrigin(const URLParts& other) const {
        return scheme == other.scheme && host == other.host && port == other.port;
    }
};
std::optional<URLParts> partsOf(const std::string& reference, const std::string& base = {},
                                bool whole = true);

struct URLTransfer {
    URLSessionTaskPtr task;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    // The caller's own fields in headerList (libcurl reads the list for each request it sends,
    // redirects too).
    std::vector<curl_slist*> callerFields;
    // The URL being fetched (the request's, then each redirect's target) and its host.
    std::string url;
    std::string host;
    // The method the request being sent has (a redirect can make it a GET), and what the
    // redirects followed so far left behind: the body, the caller's header fields.
    std::string method;
    bool bodyDropped = false;
    bool callerFieldsDropped = false;
    // A redirect is followed once its own exchange has ended (finish sends the next request).
    bool redirectPending = false;
    int redirects = 0;
    // Response being read (reset by every status line, so redirects and 1xx start over).
    long status = 0;
    HTTPHeaderFields headers;
    size_t headerFields = 0;  // in the response being read
    size_t headerBytes = 0;   // in all responses read
    bool headersTooLarge = false;
    bool responseDelivered = false;
    bool trustRefused = false;
    // A redirect not followed: its response is the task's reply.
    bool redirectRefused = false;
    // The body went over kMaximumReplyBodyBytes.
    bool tooLarge = false;
    bool paused = false;
    // The request sends a body (its bytes, a stream or a file, or an empty one).
    bool sendsBody = false;
    // The body waits, paused, for the delegate's answer to the response.
    bool awaitingAnswer = false;
    // The transfer ended while the answer was awaited: its result, for when it comes.
    std::optional<CURLcode> endedWhileAwaiting;
    // A download task's file, and what its reply says of resuming it: the validator, and whether
    // libcurl decoded the body (then file offsets are not the server's).
    std::shared_ptr<URLDownloadFile> file;
    std::string validator;
    bool decoded = false;
    bool writeFailed = false;
    // A resumed download's range reply does not start where the file ends.
    bool rangeMismatch = false;
    // The body sent through the read callback (uploads and body streams).
    std::unique_ptr<URLUploadBody> upload;
    // A throttled body asked to wait: sending resumes at that time (unless paused).
    bool throttled = false;
    std::chrono::steady_clock::time_point throttledUntil{};
    // Inactivity time-out: nothing received or sent for this long fails the transfer.
    std::chrono::steady_clock::duration timeout{};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    // The pass of the loop whose first activity of this transfer stamped lastActivity.
    uint64_t activityPass = 0;
    curl_off_t lastReceived = 0, lastSent = 0;
    char errorText[CURL_ERROR_SIZE] = {};

    ~URLTransfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }
};

class URLLoader {
  public:
    static URLLoader& shared() {
        // Its thread runs until the process exits.
        return processWide([] { return new URLLoader(); });
    }

    // Runs the command on the loader thread, outside every libcurl callback.
    void post(DispatchTask command);

    void start(const URLSessionTaskPtr& task);
    void pause(URLSessionTask* task, bool paused);
    void cancel(URLSessionTask* task);

    // A task's time-out of inactivity, in seconds: its request's, the session's for a request
    // that keeps the default, the platform's when neither is positive; at most a year.
    static double timeoutOf(const URLSessionTask& task);

  private:
    URLLoader();

    void run();
    void finish(URLTransfer* transfer, CURLcode result);
    // The delegate's answer to a response it decides, for the transfer of task.
    void answered(URLSessionTask* task, URLSessionResponseDisposition disposition,
                  const URLSessionTaskPtr& download);
    // A download's reply arrived: what resuming it later needs, and where a resumed one goes
    // on in its file. False ends the transfer.
    static bool startDownloadBody(URLTransfer& transfer, const HTTPURLResponse& response);
    ErrorPtr errorFor(URLTransfer* transfer, CURLcode result);
    // The Location of a redirect that the client may follow, from the header block just read;
    // nullopt for any other reply.
    static std::optional<std::string> redirectTarget(const URLTransfer& transfer);
    // Whether the transfer follows the redirect to location: the rules of URLSessionTask, then
    // the delegate, shown the request the redirect sends. When it does, the transfer's URL,
    // method and fields are the next request's, and the redirect waits in redirectPending.
    static bool followRedirect(URLTransfer& transfer, const std::string& location);
    // Sends a followed redirect's request on the transfer's handle, or ends its task.
    void sendRedirected(URLTransfer& transfer);
    // The steps of start, in its order.
    static std::unique_ptr<URLTransfer> openTransfer(const URLSessionTaskPtr& task);
    static void setCommonOptions(URLTransfer& transfer, const URLSessionTask& task);
    static void setMethod(URLTransfer& transfer, URLSessionTask& task);
    static void setHeaders(URLTransfer& transfer, const URLSessionTask& task);

    CURLM* multi_ = nullptr;
    // Counts the wake-ups of the loop's poll; written only while the loop sleeps (asleep_).
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::vector<DispatchTask> commands_;
    bool asleep_ = false;
    // Only touched on the loader thread.
    std::map<URLSessionTask*, std::unique_ptr<URLTransfer>> transfers_;
    URLSessionTask::HeldEvents held_;
    // No transfer's deadline or throttling ends before this (activity only moves deadlines
    // later; whatever sets an earlier one lowers it).
    std::chrono::steady_clock::time_point nextCheck_ = std::chrono::steady_clock::time_point::max();
    // Counts the passes of the loop (from 1).
    static uint64_t pass_;

    static size_t onHeader(char* data, size_t size, size_t count, void* context);
    static size_t onBody(char* data, size_t size, size_t count, void* context);
    static size_t onRead(char* buffer, size_t size, size_t count, void* context);
    static int onSeek(void* context, curl_off_t offset, int origin);
    static curl_socket_t onOpenSocket(void* context, curlsocktype purpose, curl_sockaddr* address);
    static CURLcode onSslContext(CURL* easy, void* sslContext, void* context);
    static int onVerify(X509_STORE_CTX* store, void* context);
    static int onProgress(void* context, curl_off_t, curl_off_t received, curl_off_t,
                          curl_off_t sent);
    // Fails the transfers that have been idle longer than their time-out; answers how long
    // the loop may wait before the next check. Looks at the transfers only once the earliest
    // deadline (nextCheck_) has come.
    int expireIdleTransfers();
    // A transfer's deadline or the end of its throttling may now come before nextCheck_.
    void watch(std::chrono::steady_clock::time_point due) {
        nextCheck_ = std::min(nextCheck_, due);
    }
    // Received or sent something: stamped with the time of its first activity in the pass.
    static void noteActivity(URLTransfer& transfer);
};

}  // namespace telvo

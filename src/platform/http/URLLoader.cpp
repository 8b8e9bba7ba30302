#include "platform/http/URLLoader.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/base/AsciiText.h"
#include "platform/crypto/OpenSSLLibrary.h"  // OpenSSL set up before libcurl's set-up
#include "platform/net/NetworkGuard.h"

namespace telvo {

namespace {

std::string_view trimmed(std::string_view text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

// A year: as good as no time-out.
constexpr double kLongestTimeoutInterval = 365 * 24 * 3600.0;

// Whether the URL starts with "http://" (in any case).
bool isPlainHttp(std::string_view url) {
    constexpr std::string_view kPrefix = "http://";
    return url.size() > kPrefix.size() &&
           equalsIgnoringCase(url.substr(0, kPrefix.size()), kPrefix);
}

// libcurl counts what went on the wire, a chunked body's framing too: the body's own bytes are
// at most what was read from it.
int64_t bodyBytesSent(const URLTransfer& transfer, curl_off_t sent) {
    int64_t count = int64_t(sent);
    return transfer.upload ? std::min(count, transfer.upload->bytesRead()) : count;
}

// A response whose header lines go over the limits.
ErrorPtr headersTooLargeError(const std::string& url) {
    return makeError(kNSURLErrorDomain, URLError::badServerResponse,
                     "The server's response header is larger than the library takes (" +
                         std::to_string(kMaximumResponseHeaderFields) + " fields, " +
                         std::to_string(kMaximumResponseHeaderBytes / 1024) + " KiB, lines of " +
                         std::to_string(kMaximumResponseHeaderLineBytes / 1024) + " KiB).",
                     Dictionary{{kNSURLErrorFailingURLStringErrorKey, Value(url)}});
}

}  // namespace

std::shared_ptr<HTTPURLResponse> makeResponse(const std::string& url, long status,
                                              HTTPHeaderFields headers) {
    auto response = std::make_shared<HTTPURLResponse>();
    response->url = url;
    response->statusCode = status;
    response->headers = std::move(headers);
    if (const std::string* type = response->headers.find("Content-Type")) {
        std::string_view text(*type);
        std::string_view media = trimmed(text.substr(0, text.find(';')));
        if (!media.empty()) response->MIMEType = lowercased(std::string(media));
        constexpr std::string_view kCharset = "charset=";
        if (size_t at = findIgnoringCase(text, kCharset); at != std::string_view::npos) {
            std::string_view name = trimmed(text.substr(at + kCharset.size()));
            if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.size() - 2);
            response->textEncodingName = lowercased(std::string(name));
        }
    }
    if (const std::string* length = response->headers.find("Content-Length")) {
        char* end = nullptr;
        long long value = std::strtoll(length->c_str(), &end, 10);
        if (end && *end == '\0' && value >= 0) response->expectedContentLength = value;
    }
    return response;
}

double URLLoader::timeoutOf(const URLSessionTask& task) {
    double timeout = task.request_.timeoutInterval;
    if (timeout == URLRequest::kDefaultTimeoutInterval)
        timeout = task.session_->configuration().timeoutIntervalForRequest;
    if (!(timeout > 0)) timeout = URLRequest::kDefaultTimeoutInterval;
    // Longer (or infinite) time-outs would overflow the clock arithmetic.
    return std::min(timeout, kLongestTimeoutInterval);
}

ErrorPtr urlError(int64_t code, const std::string& url) {
    const char* text = "unknown error";
    switch (code) {
        case URLError::cancelled:
            text = "cancelled";
            break;
        case URLError::badURL:
            text = "bad URL";
            break;
        case URLError::timedOut:
            text = "The request timed out.";
            break;
        case URLError::unsupportedURL:
            text = "unsupported URL";
            break;
        case URLError::cannotFindHost:
            text = "A server with the specified hostname could not be found.";
            break;
        case URLError::cannotConnectToHost:
            text = "Could not connect to the server.";
            break;
        case URLError::networkConnectionLost:
            text = "The network connection was lost.";
            break;
        case URLError::httpTooManyRedirects:
            text = "too many HTTP redirects";
            break;
        case URLError::notConnectedToInternet:
            text = "The Internet connection appears to be offline.";
            break;
        case URLError::badServerResponse:
            text = "bad server response";
            break;
        case URLError::dataLengthExceedsMaximum:
            text = "resource exceeds maximum size";
            break;
        case URLError::requestBodyStreamExhausted:
            text = "The request body could not be read to its end.";
            break;
        case URLError::fileDoesNotExist:
            text = "The file doesn't exist.";
            break;
        case URLError::fileIsDirectory:
            text = "The file is a directory.";
            break;
        case URLError::noPermissionsToReadFile:
            text = "There is no permission to read the file.";
            break;
        case URLError::secureConnectionFailed:
            text =
                "An SSL error has occurred and a secure connection to the server cannot be made.";
            break;
        default:
            break;
    }
    return makeError(kNSURLErrorDomain, code, text,
                     Dictionary{{kNSURLErrorFailingURLStringErrorKey, Value(url)}});
}

// ---------------------------------------------------------------------------------------------
// The loader: one multi handle, one thread

URLLoader::URLLoader() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    if (!multi_) {
        std::fprintf(stderr, "telvo URL loading: curl_multi_init failed\n");
        std::abort();
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        std::fprintf(stderr, "telvo URL loading: eventfd failed\n");
        std::abort();
    }
    // The platform's connection limit per host; further transfers wait for a connection.
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    std::thread([this] {
        pthread_setname_np(pthread_self(), "telvo-url");
        run();
    }).detach();
}

void URLLoader::post(DispatchTask command) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(std::move(command));
        // A loop that is awake takes the command before it sleeps again.
        wake = std::exchange(asleep_, false);
    }
    if (wake) {
        const uint64_t one = 1;
        while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void URLLoader::run() {
    std::vector<DispatchTask> commands;
    for (;;) {
        int wait = 0;
        {
            // The delegate events of this pass reach their queues together at its end, or
            // with a later pass's (held_).
            URLSessionTask::EventBatch batch(&held_);
            ++pass_;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands.swap(commands_);
                asleep_ = false;
            }
            for (auto& command : commands) command();
            commands.clear();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                URLTransfer* transfer = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
                CURLcode result = message->data.result;
                if (transfer) finish(transfer, result);
            }
            wait = expireIdleTransfers();
        }
        if (const int due = held_.millisecondsUntilDue(); due >= 0) wait = std::min(wait, due);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Commands that came during the pass make the next one at once.
            if (!commands_.empty()) continue;
            asleep_ = true;
        }
        curl_waitfd wake{wakeFd_, CURL_WAIT_POLLIN, 0};
        curl_multi_poll(multi_, &wake, 1, wait, nullptr);
        if (wake.revents & CURL_WAIT_POLLIN) {
            uint64_t count;
            while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
        }
    }
}

int URLLoader::onProgress(void* context, curl_off_t, curl_off_t received, curl_off_t,
                          curl_off_t sent) {
    auto* transfer = static_cast<URLTransfer*>(context);
    if (received != transfer->lastReceived || sent != transfer->lastSent) {
        if (sent != transfer->lastSent)
            transfer->task->noteBytesSent(bodyBytesSent(*transfer, sent));
        transfer->lastReceived = received;
        transfer->lastSent = sent;
        noteActivity(*transfer);
    }
    return 0;
}

uint64_t URLLoader::pass_ = 0;

void URLLoader::noteActivity(URLTransfer& transfer) {
    if (transfer.activityPass == pass_) return;
    transfer.activityPass = pass_;
    transfer.lastActivity = std::chrono::steady_clock::now();
}

int URLLoader::expireIdleTransfers() {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    constexpr auto kLongestWait = milliseconds(1000);
    if (now < nextCheck_) {
        const auto left = nextCheck_ - now;
        return left >= kLongestWait ? int(kLongestWait.count())
                                    : int(duration_cast<milliseconds>(left).count()) + 1;
    }
    nextCheck_ = steady_clock::time_point::max();
    std::vector<URLSessionTask*> expired;
    for (auto& [task, transfer] : transfers_) {
        if (transfer->throttled) {
            if (transfer->throttledUntil > now) {
                watch(transfer->throttledUntil);
                continue;
            }
            transfer->throttled = false;
            transfer->lastActivity = now;
            if (!transfer->paused && !transfer->awaitingAnswer)
                curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
        }
        if (transfer->paused || transfer->awaitingAnswer) continue;
        const auto deadline = transfer->lastActivity + transfer->timeout;
        if (deadline <= now)
            expired.push_back(task);
        else
            watch(deadline);
    }
    for (URLSessionTask* task : expired) {
        auto it = transfers_.find(task);
        std::unique_ptr<URLTransfer> transfer = std::move(it->second);
        transfers_.erase(it);
        curl_multi_remove_handle(multi_, transfer->easy);
        transfer->task->complete(urlError(URLError::timedOut, transfer->task->request_.url));
    }
    if (nextCheck_ - now >= kLongestWait) return int(kLongestWait.count());
    return int(duration_cast<milliseconds>(nextCheck_ - now).count()) + 1;
}

size_t URLLoader::onHeader(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<URLTransfer*>(context);
    noteActivity(*transfer);
    std::string_view line(data, size * count);
    transfer->headerBytes += line.size();
    if (transfer->headerBytes > kMaximumResponseHeaderBytes) {
        transfer->headersTooLarge = true;
        return 0;  // ends the transfer
    }
    if (line.starts_with("HTTP/")) {
        transfer->headers = {};
        // A reply's usual handful of fields without regrowing.
        transfer->headers.reserve(8);
        transfer->headerFields = 0;
        // The status: the digits after the first space (at most three).
        size_t at = line.find(' ');
        long status = 0;
        for (int digits = 0; at != std::string_view::npos && ++at < line.size() && digits < 3 &&
                             line[at] >= '0' && line[at] <= '9';
             ++digits)
            status = status * 10 + (line[at] - '0');
        transfer->status = status;
        return size * count;
    }
    if (trimmed(line).empty()) {
        // End of a header block. Informational blocks and redirects that will be followed
        // are not the response.
        long status = transfer->status;
        auto location = redirectTarget(*transfer);
        const bool refused = location && !followRedirect(*transfer, *location);
        // Ends this exchange; its end sends the next request (finish).
        if (location && !refused) return 0;
        if (status >= 200 && !transfer->responseDelivered) {
            // The fields are the response's now (a later block starts over).
            auto response =
                makeResponse(transfer->task->request_.url, status, std::move(transfer->headers));
            transfer->responseDelivered = true;
            transfer->task->bytesExpectedToReceive_ = response->expectedContentLength;
            if (transfer->file && !refused && !startDownloadBody(*transfer, *response)) return 0;
            const bool decides = !refused && transfer->task->delegateDecidesResponse();
            if (decides) {
                // Nothing of the body moves until the delegate has answered.
                transfer->awaitingAnswer = true;
                curl_easy_pause(transfer->easy, CURLPAUSE_ALL);
                std::lock_guard<std::mutex> lock(transfer->task->mutex_);
                transfer->task->afterResponse_ = [task = transfer->task.get()](
                                                     URLSessionResponseDisposition disposition,
                                                     const URLSessionTaskPtr& download) {
                    URLLoader& loader = URLLoader::shared();
                    loader.post([&loader, task, disposition, download] {
                        loader.answered(task, disposition, download);
                    });
                };
            }
            transfer->task->deliverResponse(std::move(response), decides);
        }
        if (refused) {
            // The redirect is the reply: the task completes without an error.
            transfer->redirectRefused = true;
            return 0;
        }
        return size * count;
    }
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        if (++transfer->headerFields > kMaximumResponseHeaderFields) {
            transfer->headersTooLarge = true;
            return 0;
        }
        transfer->headers.add(std::string(trimmed(line.substr(0, colon))),
                              std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

size_t URLLoader::onRead(char* buffer, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<URLTransfer*>(context);
    auto result = transfer->upload->read(reinterpret_cast<uint8_t*>(buffer), size * count);
    switch (result.what) {
        case URLUploadBody::Read::bytes:
            noteActivity(*transfer);
            return result.count;
        case URLUploadBody::Read::end:
            return 0;
        case URLUploadBody::Read::wait:
            transfer->throttled = true;
            transfer->throttledUntil = result.readableAt;
            shared().watch(result.readableAt);
            return CURL_READFUNC_PAUSE;
        case URLUploadBody::Read::failed:
            break;
    }
    return CURL_READFUNC_ABORT;
}

int URLLoader::onSeek(void* context, curl_off_t offset, int origin) {
    auto* transfer = static_cast<URLTransfer*>(context);
    if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return transfer->upload->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

bool URLLoader::startDownloadBody(URLTransfer& transfer, const HTTPURLResponse& response) {
    URLSessionTask& task = *transfer.task;
    auto validator = response.headers.value("ETag");
    if (!validator) validator = response.headers.value("Last-Modified");
    if (validator) transfer.validator = *validator;
    auto coding = response.headers.value("Content-Encoding");
    transfer.decoded = coding && !coding->empty() && !equalsIgnoringCase(*coding, "identity");
    if (!task.resumeFrom_) return true;
    const int64_t offset = task.resumeFrom_->offset;
    const int64_t length = response.expectedContentLength;
    if (response.statusCode == 206) {
        // "bytes first-last/complete": the part must continue the file.
        auto range = response.headers.value("Content-Range");
        long long first = -1;
        if (!range || std::sscanf(range->c_str(), "bytes %lld-", &first) != 1 || first != offset) {
            transfer.rangeMismatch = true;
            return false;
        }
        task.bytesExpectedToReceive_ = length < 0 ? -1 : offset + length;
        task.bytesReceived_ = offset;
        task.deliverResumeOffset(offset, task.bytesExpectedToReceive_);
        return true;
    }
    // The whole body again (the validator no longer matched, or no ranges here).
    if (!transfer.file->truncate()) {
        transfer.writeFailed = true;
        return false;
    }
    task.deliverResumeOffset(0, length);
    return true;
}

void URLLoader::answered(URLSessionTask* task, URLSessionResponseDisposition disposition,
                         const URLSessionTaskPtr& download) {
    auto it = transfers_.find(task);
    if (it == transfers_.end()) return;
    it->second->awaitingAnswer = false;
    if (disposition == URLSessionResponseDisposition::cancel) {
        std::unique_ptr<URLTransfer> transfer = std::move(it->second);
        transfers_.erase(it);
        curl_multi_remove_handle(multi_, transfer->easy);
        transfer->task->complete(urlError(URLError::cancelled, transfer->task->request_.url));
        return;
    }
    if (disposition == URLSessionResponseDisposition::becomeDownload && download) {
        // The download task carries the transfer on, its body into a file.
        std::unique_ptr<URLTransfer> moved = std::move(it->second);
        transfers_.erase(it);
        moved->task = download;
        moved->file =
            URLDownloadFile::create(download->session_->configuration().maximumDownloadBytes);
        if (!moved->file) {
            curl_multi_remove_handle(multi_, moved->easy);
            download->complete(URLDownloadFile::creationError(download->request_.url));
            return;
        }
        it = transfers_.emplace(download.get(), std::move(moved)).first;
    }
    URLTransfer* transfer = it->second.get();
    transfer->lastActivity = std::chrono::steady_clock::now();
    watch(transfer->lastActivity + transfer->timeout);
    if (transfer->endedWhileAwaiting)
        finish(transfer, *transfer->endedWhileAwaiting);
    else if (!transfer->paused)
        curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
}

size_t URLLoader::onBody(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<URLTransfer*>(context);
    noteActivity(*transfer);
    size_t length = size * count;
    if (transfer->file) {
        // A download task's body goes to its file here, as it arrives: nothing waits in memory.
        switch (transfer->file->write(reinterpret_cast<const uint8_t*>(data), length)) {
            case URLDownloadFile::Write::written:
                transfer->task->noteBytesWritten(transfer->file->size());
                return length;
            case URLDownloadFile::Write::overLimit:
                transfer->tooLarge = true;
                return 0;
            case URLDownloadFile::Write::failed:
                transfer->writeFailed = true;
                return 0;
        }
    }
    if (transfer->task->bytesReceived_ + int64_t(length) > kMaximumReplyBodyBytes) {
        transfer->tooLarge = true;
        return 0;  // ends the transfer
    }
    transfer->task->bytesReceived_ += int64_t(length);
    transfer->task->deliverData(Bytes(data, data + length));
    return length;
}

curl_socket_t URLLoader::onOpenSocket(void*, curlsocktype, curl_sockaddr* address) {
    NetworkGuard::check(&address->addr, address->addrlen, "HTTP request");
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int URLLoader::onVerify(X509_STORE_CTX* store, void* context) {
    auto* transfer = static_cast<URLTransfer*>(context);
    std::vector<SecCertificateRef> chain = peerCertificateChain(store);
    bool trusted = false;
    if (!chain.empty()) {
        auto trust = SecTrust::create(chain, SecPolicy::sslServer);
        trust->setPolicy(SecPolicy::sslServer, transfer->host);
        URLSession::applySystemAnchorCertificates(*trust);
        auto delegate = transfer->task->session_->delegate();
        trusted = delegate ? delegate->didReceiveServerTrustChallenge(transfer->task, *trust,
                                                                      transfer->host)
                           : URLSessionDelegate().didReceiveServerTrustChallenge(
                                 transfer->task, *trust, transfer->host);
    }
    ERR_clear_error();
    if (trusted) return 1;
    transfer->trustRefused = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

CURLcode URLLoader::onSslContext(CURL*, void* sslContext, void* context) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    // Our callback alone decides; libcurl's own verification is off.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &URLLoader::onVerify, context);
    return CURLE_OK;
}

// The transfer of a task, its handle made and its download file or upload body open; null once
// the task has completed with the reason it cannot start.
std::unique_ptr<URLTransfer> URLLoader::openTransfer(const URLSessionTaskPtr& task) {
    auto transfer = std::make_unique<URLTransfer>();
    transfer->task = task;
    const URLRequest& request = task->request_;
    CURL* easy = curl_easy_init();
    // A plain HTTP URL is parsed once, by libcurl (one it cannot parse fails as a bad
    // URL): nothing needs its host before the connection.
    const bool plain = isPlainHttp(request.url);
    std::optional<URLParts> parts;
    if (!plain) parts = partsOf(request.url, {}, false);
    const bool https = parts && parts->scheme == "https";
    if (!easy || !(plain || https || (parts && parts->scheme == "http"))) {
        if (easy) curl_easy_cleanup(easy);
        task->complete(
            urlError(plain || parts ? URLError::unsupportedURL : URLError::badURL, request.url));
        return nullptr;
    }
    transfer->url = request.url;
    if (parts) transfer->host = parts->host;
    transfer->easy = easy;
    if (task->kind() == URLSessionTaskKind::download) {
        const int64_t limit = task->session_->configuration().maximumDownloadBytes;
        const auto& resume = task->resumeFrom_;
        transfer->file = resume ? URLDownloadFile::reopen(resume->path, resume->offset, limit)
                                : URLDownloadFile::create(limit);
        if (!transfer->file) {
            task->complete(resume ? urlError(URLError::fileDoesNotExist, request.url)
                                  : URLDownloadFile::creationError(request.url));
            return nullptr;
        }
        if (resume) {
            // The rest of the body, only while it is still the one the file began.
            transfer->validator = resume->validator;
            curl_easy_setopt(easy, CURLOPT_RANGE, (std::to_string(resume->offset) + "-").c_str());
        }
    }
    if (URLUploadBody::usedFor(*task)) {
        ErrorPtr error;
        transfer->upload = URLUploadBody::open(task, &error);
        if (!transfer->upload) {
            task->complete(std::move(error));
            return nullptr;
        }
    }
    return transfer;
}

// What every transfer sets: its URL, the callbacks, redirects, codings, time-out and the TLS
// verification that is the task's own.
void URLLoader::setCommonOptions(URLTransfer& transfer, const URLSessionTask& task) {
    CURL* easy = transfer.easy;
    curl_easy_setopt(easy, CURLOPT_URL, task.request_.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLLoader::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLLoader::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &URLLoader::onOpenSocket);
    // Redirects are the loader's own (followRedirect): libcurl keeps a custom method where
    // the request becomes a GET.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // Only the codings the reply's decoding handles: small JSON replies are not worth a
    // costlier coding.
    // A range continues the bytes as the server stores them: no coding there.
    if (!task.resumeFrom_) curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    // A connection closes with its transfer: none stays behind, idle in libcurl's cache,
    // once the requests of a run are answered.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    // The request's time-out is a time of inactivity: nothing moving for that long fails
    // the request (checked by the loop, in real time).
    const double timeout = timeoutOf(task);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(std::ceil(timeout * 1000)));
    transfer.timeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout));
    // For plain HTTP too: a redirect to https meets the same check (libcurl calls the
    // context function only for a TLS connection).
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &URLLoader::onSslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
    // Every TLS connection meets the verification of its own task: no resumed sessions
    // and no connection that another session's policy accepted.
    curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
}

// The method and how the body goes out.
void URLLoader::setMethod(URLTransfer& transfer, URLSessionTask& task) {
    CURL* easy = transfer.easy;
    const URLRequest& request = task.request_;
    const std::string& method = request.httpMethod;
    const Bytes* body = request.httpBody ? &*request.httpBody : nullptr;
    if (transfer.upload) {
        // Read a piece at a time as the connection takes it; a body of unknown size goes
        // out chunked.
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &URLLoader::onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &URLLoader::onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(transfer.upload->length()));
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET" && !body) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body ? body->size() : 0));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS,
                         body ? reinterpret_cast<const char*>(body->data()) : "");
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        task.bytesExpectedToSend_ = int64_t(body ? body->size() : 0);
    }
    const bool sendsBody = transfer.upload || (method != "HEAD" && (method != "GET" || body));
    transfer.sendsBody = sendsBody;
    transfer.method = method;
    if (sendsBody) {
        // The body's bytes as they go out (reports, and activity while it is sent); what
        // is received is seen by the header and body callbacks.
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &URLLoader::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    }
}

// The caller's header fields that may go out, and the ones the request's kind needs.
void URLLoader::setHeaders(URLTransfer& transfer, const URLSessionTask& task) {
    const URLRequest& request = task.request_;
    const bool sendsBody = transfer.sendsBody;
    curl_slist* list = nullptr;
    curl_slist* last = nullptr;
    for (const auto& [name, value] : request.headers.fields()) {
        // A line break in a field would start a header line of its own: such a field
        // is not sent.
        if ((name + value).find_first_of("\r\n") != std::string::npos) continue;
        // The body's length is what the loader sends, never the caller's word for it.
        if (sendsBody && equalsIgnoringCase(name, "Content-Length")) continue;
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* appended = curl_slist_append(list, line.c_str());
        if (!appended) continue;
        list = appended;
        // The node appended is the list's new last one.
        last = last ? last->next : list;
        transfer.callerFields.push_back(last);
    }
    // libcurl's own additions to a request with a body that the platform does not make.
    if (sendsBody) {
        if (!request.headers.value("Content-Type")) list = curl_slist_append(list, "Content-Type:");
        list = curl_slist_append(list, "Expect:");
    }
    if (transfer.upload && transfer.upload->length() < 0)
        list = curl_slist_append(list, "Transfer-Encoding: chunked");
    if (task.resumeFrom_ && transfer.validator.find_first_of("\r\n") == std::string::npos)
        list = curl_slist_append(list, ("If-Range: " + transfer.validator).c_str());
    transfer.headerList = list;
    curl_easy_setopt(transfer.easy, CURLOPT_HTTPHEADER, list);
}

void URLLoader::start(const URLSessionTaskPtr& task) {
    post([this, task] {
        // A cancel that came first finds no transfer: it ends here.
        if (task->state() == URLSessionTaskState::canceling) {
            task->complete(urlError(URLError::cancelled, task->request_.url));
            return;
        }
        auto transfer = openTransfer(task);
        if (!transfer) return;
        setCommonOptions(*transfer, *task);
        setMethod(*transfer, *task);
        setHeaders(*transfer, *task);

        CURL* easy = transfer->easy;
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            task->complete(urlError(URLError::unknown, task->request_.url));
            return;
        }
        if (task->state() == URLSessionTaskState::suspended) {
            curl_easy_pause(easy, CURLPAUSE_ALL);
            transfer->paused = true;
        }
        watch(transfer->lastActivity + transfer->timeout);
        transfers_[task.get()] = std::move(transfer);
    });
}

void URLLoader::pause(URLSessionTask* task, bool paused) {
    post([this, task, paused] {
        auto it = transfers_.find(task);
        if (it == transfers_.end() || it->second->paused == paused) return;
        it->second->paused = paused;
        it->second->lastActivity = std::chrono::steady_clock::now();
        watch(it->second->lastActivity + it->second->timeout);
        if (it->second->awaitingAnswer || it->second->endedWhileAwaiting) return;
        curl_easy_pause(it->second->easy, paused ? CURLPAUSE_ALL : CURLPAUSE_CONT);
    });
}

void URLLoader::cancel(URLSessionTask* task) {
    post([this, task] {
        auto it = transfers_.find(task);
        if (it == transfers_.end()) return;
        std::unique_ptr<URLTransfer> transfer = std::move(it->second);
        transfers_.erase(it);
        curl_multi_remove_handle(multi_, transfer->easy);
        URLSessionTask& cancelled = *transfer->task;
        const std::string& url = cancelled.request_.url;
        std::optional<Bytes> resumeData;
        // What the file holds can be gone on with when the server named this body and sent
        // it as it stores it.
        if (transfer->file && transfer->file->size() > 0 && !transfer->decoded &&
            !transfer->validator.empty() && !transfer->tooLarge && !transfer->writeFailed &&
            (transfer->status == 200 || transfer->status == 206) &&
            cancelled.hasResumeDataHandler()) {
            resumeData = URLResumeData{url, transfer->file->path(), transfer->validator,
                                       transfer->file->size()}
                             .encode();
            transfer->file->keep();
        }
        if (!resumeData) return cancelled.complete(urlError(URLError::cancelled, url));
        cancelled.deliverResumeData(resumeData);
        cancelled.complete(makeError(
            kNSURLErrorDomain, URLError::cancelled, "cancelled",
            Dictionary{{kNSURLErrorFailingURLStringErrorKey, Value(url)},
                       {kNSURLSessionDownloadTaskResumeData, Value(std::move(*resumeData))}}));
    });
}

ErrorPtr URLLoader::errorFor(URLTransfer* transfer, CURLcode result) {
    const std::string& url = transfer->task->request_.url;
    switch (result) {
        case CURLE_OK:
            return nullptr;
        case CURLE_COULDNT_RESOLVE_HOST:
            return urlError(URLError::cannotFindHost, url);
        case CURLE_COULDNT_CONNECT: {
            long osErrno = 0;
            curl_easy_getinfo(transfer->easy, CURLINFO_OS_ERRNO, &osErrno);
            return urlError(osErrno == ENETUNREACH ? URLError::notConnectedToInternet
                                                   : URLError::cannotConnectToHost,
                            url);
        }
        case CURLE_OPERATION_TIMEDOUT:
            return urlError(URLError::timedOut, url);
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_BAD_CONTENT_ENCODING:
            return urlError(URLError::networkConnectionLost, url);
        case CURLE_TOO_MANY_REDIRECTS:
            return urlError(URLError::httpTooManyRedirects, url);
        case CURLE_WEIRD_SERVER_REPLY:
            return urlError(URLError::badServerResponse, url);
#if LIBCURL_VERSION_NUM >= 0x080600
        case CURLE_TOO_LARGE:
#endif
        case CURLE_OUT_OF_MEMORY:
            // Before a response, libcurl's word for a header line over its own limit (out of
            // memory before 8.6).
            if (!transfer->responseDelivered) return headersTooLargeError(url);
            break;
        case CURLE_URL_MALFORMAT:
            return urlError(URLError::badURL, url);
        case CURLE_UNSUPPORTED_PROTOCOL:
            return urlError(URLError::unsupportedURL, url);
        default:
            break;
    }
    if (transfer->trustRefused) return urlError(URLError::cancelled, url);
    if (result == CURLE_SSL_CONNECT_ERROR || result == CURLE_PEER_FAILED_VERIFICATION)
        return urlError(URLError::secureConnectionFailed, url);
    return urlError(URLError::unknown, url);
}

void URLLoader::finish(URLTransfer* raw, CURLcode result) {
    auto it = transfers_.find(raw->task.get());
    if (it == transfers_.end()) return;
    curl_multi_remove_handle(multi_, raw->easy);
    if (raw->redirectPending) return sendRedirected(*raw);
    if (raw->awaitingAnswer) {
        // Ended with nothing of the body left to hold: the answer decides how it ends.
        raw->endedWhileAwaiting = result;
        return;
    }
    std::unique_ptr<URLTransfer> transfer = std::move(it->second);
    transfers_.erase(it);
    // A refused server trust ends the task as a cancelled challenge, whatever libcurl says; a
    // redirect not followed ends it with that redirect as its reply; a body that could not be
    // read, with the reason.
    const std::string& url = transfer->task->request_.url;
    ErrorPtr error = transfer->trustRefused      ? urlError(URLError::cancelled, url)
                     : transfer->tooLarge        ? urlError(URLError::dataLengthExceedsMaximum, url)
                     : transfer->headersTooLarge ? headersTooLargeError(url)
                     : transfer->writeFailed     ? urlError(URLError::cannotWriteToFile, url)
                     : transfer->rangeMismatch   ? urlError(URLError::badServerResponse, url)
                     : transfer->redirectRefused ? nullptr
                     : transfer->upload && transfer->upload->error()
                         ? transfer->upload->error()
                         : errorFor(transfer.get(), result);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    transfer->task->noteBytesSent(bodyBytesSent(*transfer, uploaded));
    if (transfer->file && !error) transfer->task->deliverDownloadedFile(std::move(transfer->file));
    transfer->task->complete(std::move(error));
}

}  // namespace telvo

// The loader's redirects: which it follows, the request each one sends, and sending it on the
// same handle once the redirect's own exchange has ended.

#include <cstring>

#include "platform/base/AsciiText.h"
#include "platform/http/URLLoader.h"

namespace telvo {

std::optional<URLParts> partsOf(const std::string& reference, const std::string& base, bool whole) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
    if (!handle) return std::nullopt;
    if (!base.empty() && curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    URLParts parts;
    auto get = [&](CURLUPart part, std::string& out, unsigned flags) {
        char* text = nullptr;
        bool got = curl_url_get(handle.get(), part, &text, flags) == CURLUE_OK;
        if (got) out = text;
        curl_free(text);
        return got;
    };
    if (!get(CURLUPART_SCHEME, parts.scheme, 0) || !get(CURLUPART_HOST, parts.host, 0))
        return std::nullopt;
    if (whole &&
        (!get(CURLUPART_URL, parts.url, 0) || !get(CURLUPART_PORT, parts.port, CURLU_DEFAULT_PORT)))
        return std::nullopt;
    parts.scheme = lowercased(parts.scheme);
    parts.host = lowercased(parts.host);
    if (parts.host.size() > 2 && parts.host.front() == '[')
        parts.host = parts.host.substr(1, parts.host.size() - 2);
    return parts;
}

namespace {

// The statuses that send the client on to their Location; any other reply is the response.
bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Header fields that carry credentials: a request with any of them is followed only to its own
// origin.
bool carriesCredentials(const HTTPHeaderFields& headers) {
    for (const char* name :
         {"Authorization", "Proxy-Authorization", "Cookie", "accessToken", "sign", "Signature"})
        if (headers.value(name)) return true;
    return false;
}

// The fields that describe a body: a request that no longer has one sends none of them (a
// "Transfer-Encoding" would have the server wait for a body that never comes).
bool describesBody(std::string_view name) {
    for (std::string_view field : {"Content-Type", "Content-Length", "Content-Encoding",
                                   "Content-Language", "Content-Location", "Transfer-Encoding"})
        if (equalsIgnoringCase(name, field)) return true;
    return false;
}

// Whether the request sends body bytes (an empty body is no body to keep from another origin).
bool carriesBody(const URLTransfer& transfer) {
    if (!transfer.sendsBody) return false;
    const URLSessionTask& task = *transfer.task;
    const auto& body = task.originalRequest().httpBody;
    return transfer.upload || (body && !body->empty());
}

// A header line whose name matches is not sent on: it is cut to its bare name, a line that
// libcurl neither sends nor reads as the removal of a header of its own ("Name:" would take out
// its Host, say). The list is ours and libcurl reads it for every request.
template <typename Matches>
void dropField(curl_slist* field, Matches matches) {
    char* separator = std::strpbrk(field->data, ":;");
    if (separator && matches(std::string_view(field->data, size_t(separator - field->data))))
        *separator = '\0';
}

// The request following the redirect sends, as the delegate is shown it.
URLRequest nextRequest(const URLTransfer& transfer, const std::string& target, bool withoutBody,
                       bool withoutFields, const std::shared_ptr<const Bytes>& uploadData) {
    URLRequest next = transfer.task->originalRequest();
    next.url = target;
    next.httpMethod = transfer.method;
    if (withoutBody) {
        next.httpBody.reset();
        next.httpBodyStream.reset();
        std::vector<std::string> names;
        for (const auto& [name, value] : next.headers.fields())
            if (describesBody(name)) names.push_back(name);
        for (const auto& name : names) next.headers.set(name, std::nullopt);
    } else if (uploadData) {
        next.httpBody = *uploadData;
    }
    if (withoutFields) next.headers = {};
    return next;
}

}  // namespace

std::optional<std::string> URLLoader::redirectTarget(const URLTransfer& transfer) {
    if (!isRedirectStatus(transfer.status)) return std::nullopt;
    auto location = transfer.headers.value("Location");
    if (!location || location->empty()) return std::nullopt;
    return location;
}

bool URLLoader::followRedirect(URLTransfer& transfer, const std::string& location) {
    const long status = transfer.status;
    auto from = partsOf(transfer.url);
    auto to = partsOf(location, transfer.url);
    if (!from || !to) return false;
    if (to->scheme != "https" && (to->scheme != "http" || from->scheme == "https")) return false;
    const URLRequest& request = transfer.task->originalRequest();
    auto origin = partsOf(request.url);
    const bool crossOrigin = !origin || !origin->sameOrigin(*to);
    // As fetch and the platform's loading do: 303 makes anything but HEAD a GET, 301 and 302
    // make a POST one; a GET carries no body. Every other redirect sends the request again.
    const bool toGet = (status == 303 && transfer.method != "HEAD") ||
                       ((status == 301 || status == 302) && transfer.method == "POST");
    if (crossOrigin && (carriesCredentials(request.headers) || (!toGet && carriesBody(transfer))))
        return false;
    const std::string method = std::exchange(transfer.method, toGet ? "GET" : transfer.method);
    const bool withoutBody = transfer.bodyDropped || (toGet && transfer.sendsBody);
    const bool withoutFields = crossOrigin || transfer.callerFieldsDropped;
    // The redirect past the most a task follows ends it when sent (sendRedirected): the
    // delegate is not asked about it.
    const bool withinLimit = transfer.redirects < kMaximumRedirects;
    if (auto delegate = withinLimit ? transfer.task->session_->delegate() : nullptr) {
        auto redirect = makeResponse(transfer.url, status, transfer.headers);
        auto next =
            nextRequest(transfer, to->url, withoutBody, withoutFields, transfer.task->upload_.data);
        if (!delegate->willPerformHTTPRedirection(transfer.task, redirect, next)) {
            transfer.method = method;
            return false;
        }
    }
    if (withoutFields)
        for (curl_slist* field : transfer.callerFields)
            dropField(field, [](std::string_view) { return true; });
    // The loader's own lines too: a body of unknown length had it add its chunked framing.
    if (withoutBody)
        for (curl_slist* field = transfer.headerList; field; field = field->next)
            dropField(field, describesBody);
    transfer.callerFieldsDropped = withoutFields;
    transfer.bodyDropped = withoutBody;
    transfer.url = to->url;
    transfer.host = to->host;
    transfer.redirectPending = true;
    return true;
}

void URLLoader::sendRedirected(URLTransfer& transfer) {
    transfer.redirectPending = false;
    CURL* easy = transfer.easy;
    URLSessionTask& task = *transfer.task;
    auto fail = [&](ErrorPtr error) {
        auto owned = std::move(transfers_.at(&task));
        transfers_.erase(&task);
        owned->task->complete(std::move(error));
    };
    if (++transfer.redirects > kMaximumRedirects)
        return fail(urlError(URLError::httpTooManyRedirects, task.request_.url));
    curl_easy_setopt(easy, CURLOPT_URL, transfer.url.c_str());
    if (transfer.sendsBody && transfer.bodyDropped) {
        // The body stays behind: a plain GET from here on.
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        transfer.sendsBody = false;
        transfer.upload.reset();
        transfer.throttled = false;
    } else if (transfer.upload && !transfer.upload->rewind()) {
        return fail(transfer.upload->error());
    }
    transfer.lastReceived = transfer.lastSent = 0;
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK)
        return fail(urlError(URLError::unknown, task.request_.url));
    if (transfer.paused) curl_easy_pause(easy, CURLPAUSE_ALL);
}

}  // namespace telvo

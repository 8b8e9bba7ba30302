#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/http/URLSession.h"

namespace telvo {

// ---------------------------------------------------------------------------------------------
// Header fields and responses

namespace {
struct CurlUrl {
    CURLU* handle = curl_url();
    ~CurlUrl() { curl_url_cleanup(handle); }
    std::optional<std::string> get(CURLUPart part, unsigned flags = 0) {
        char* text = nullptr;
        if (curl_url_get(handle, part, &text, flags) != CURLUE_OK) return std::nullopt;
        std::string out = text;
        curl_free(text);
        return out;
    }
};
constexpr unsigned kUrlFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS;
}  // namespace

std::optional<std::string> resolveURL(const std::string& base, const std::string& reference) {
    CurlUrl url;
    if (!url.handle ||
        curl_url_set(url.handle, CURLUPART_URL, base.c_str(), kUrlFlags) != CURLUE_OK ||
        curl_url_set(url.handle, CURLUPART_URL, reference.c_str(), kUrlFlags) != CURLUE_OK) {
        return std::nullopt;
    }
    return url.get(CURLUPART_URL);
}

std::optional<std::string> pathOfURL(const std::string& text) {
    CurlUrl url;
    if (!url.handle ||
        curl_url_set(url.handle, CURLUPART_URL, text.c_str(), kUrlFlags) != CURLUE_OK)
        return std::nullopt;
    // libcurl answers "/" for a URL without a path.
    size_t scheme = text.find("://");
    size_t slash = scheme == std::string::npos ? std::string::npos : text.find('/', scheme + 3);
    if (slash == std::string::npos) return std::string();
    return url.get(CURLUPART_PATH);
}

std::optional<std::string> filePathOfURL(const std::string& text) {
    if (text.empty()) return std::nullopt;
    // A scheme: a letter, then letters, digits, "+", "-" or ".", up to the first ":".
    size_t colon = text.find(':');
    bool scheme = colon != std::string::npos && colon > 0 && std::isalpha((unsigned char)text[0]);
    for (size_t i = 1; scheme && i < colon; ++i) {
        unsigned char c = (unsigned char)text[i];
        scheme = std::isalnum(c) || c == '+' || c == '-' || c == '.';
    }
    if (!scheme) return text;
    if (!equalsIgnoringCase(std::string_view(text).substr(0, colon), "file")) return std::nullopt;
    CurlUrl url;
    if (!url.handle ||
        curl_url_set(url.handle, CURLUPART_URL, text.c_str(), kUrlFlags) != CURLUE_OK)
        return std::nullopt;
    auto host = url.get(CURLUPART_HOST);
    if (host && !host->empty() && !equalsIgnoringCase(*host, "localhost")) return std::nullopt;
    auto path = url.get(CURLUPART_PATH, CURLU_URLDECODE);
    if (!path || path->empty() || path->find('\0') != std::string::npos) return std::nullopt;
    return path;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    if (const std::string* found = find(name)) return *found;
    return std::nullopt;
}

const std::string* HTTPHeaderFields::find(std::string_view name) const {
    for (const auto& [key, value] : fields_)
        if (equalsIgnoringCase(key, name)) return &value;
    return nullptr;
}

void HTTPHeaderFields::set(std::string_view name, std::optional<std::string> value) {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        if (!equalsIgnoringCase(it->first, name)) continue;
        if (value) {
            it->second = std::move(*value);
        } else {
            fields_.erase(it);
        }
        return;
    }
    if (value) fields_.emplace_back(std::string(name), std::move(*value));
}

int64_t HTTPHeaderFields::contentLength() const {
    auto length = value("Content-Length");
    if (!length || length->empty() || length->find_first_not_of("0123456789") != std::string::npos)
        return -1;
    errno = 0;
    long long number = std::strtoll(length->c_str(), nullptr, 10);
    return errno == 0 ? number : -1;
}

std::string HTTPURLResponse::localizedStringForStatusCode(long statusCode) {
    static const std::map<long, const char*> texts = {{100, "continue"},
                                                      {101, "switching protocols"},
                                                      {200, "no error"},
                                                      {201, "created"},
                                                      {202, "accepted"},
                                                      {203, "non-authoritative information"},
                                                      {204, "no content"},
                                                      {205, "reset content"},
                                                      {206, "partial content"},
                                                      {300, "multiple choices"},
                                                      {301, "moved permanently"},
                                                      {302, "found"},
                                                      {303, "see other"},
                                                      {304, "not modified"},
                                                      {305, "needs proxy"},
                                                      {307, "redirected"},
                                                      {400, "bad request"},
                                                      {401, "unauthorized"},
                                                      {402, "payment required"},
                                                      {403, "forbidden"},
                                                      {404, "not found"},
                                                      {405, "method not allowed"},
                                                      {406, "unacceptable"},
                                                      {407, "proxy authentication required"},
                                                      {408, "request timed out"},
                                                      {409, "conflict"},
                                                      {410, "no longer exists"},
                                                      {411, "length required"},
                                                      {412, "precondition failed"},
                                                      {413, "request too large"},
                                                      {414, "requested URL too long"},
                                                      {415, "unsupported media type"},
                                                      {416, "requested range not satisfiable"},
                                                      {417, "expectation failed"},
                                                      {500, "internal server error"},
                                                      {501, "unimplemented"},
                                                      {502, "bad gateway"},
                                                      {503, "service unavailable"},
                                                      {504, "gateway timed out"},
                                                      {505, "unsupported version"}};
    auto it = texts.find(statusCode);
    if (it != texts.end()) return it->second;
    if (statusCode >= 100 && statusCode < 200) return "informational";
    if (statusCode >= 200 && statusCode < 300) return "success";
    if (statusCode >= 300 && statusCode < 400) return "redirection";
    if (statusCode >= 400 && statusCode < 500) return "client error";
    if (statusCode >= 500 && statusCode < 600) return "server error";
    return "server error";
}

}  // namespace telvo

#include "http/QKAFStreamingMultipartFormData.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "http/QKAFHTTPRequestSerializer.h"
#include "platform/crypto/Random.h"
#include "platform/foundation/FoundationErrors.h"

namespace telvo {

namespace {

std::string createMultipartFormBoundary() {
    auto random = Random::shared();
    const uint32_t first = random->uniform32();
    const uint32_t second = random->uniform32();
    char text[32];
    std::snprintf(text, sizeof text, "Boundary+%08X%08X", first, second);
    return text;
}

// A name or file name inside a quoted header parameter: quotes and line breaks escaped as
// forms do, so that no text can end the parameter or the header line.
std::string quoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

std::string contentTypeForPathExtension(const std::string& fileName) {
    static const std::map<std::string, const char*> types = {
        {"bin", "application/octet-stream"},
        {"bmp", "image/bmp"},
        {"css", "text/css"},
        {"csv", "text/csv"},
        {"gif", "image/gif"},
        {"gz", "application/gzip"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"jpeg", "image/jpeg"},
        {"jpg", "image/jpeg"},
        {"js", "text/javascript"},
        {"json", "application/json"},
        {"m4a", "audio/mp4"},
        {"mov", "video/quicktime"},
        {"mp3", "audio/mpeg"},
        {"mp4", "video/mp4"},
        {"pdf", "application/pdf"},
        {"plist", "application/x-plist"},
        {"png", "image/png"},
        {"svg", "image/svg+xml"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"txt", "text/plain"},
        {"wav", "audio/wav"},
        {"webp", "image/webp"},
        {"xml", "application/xml"},
        {"zip", "application/zip"},
    };
    size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return "application/octet-stream";
    std::string extension = fileName.substr(dot + 1);
    for (auto& c : extension)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    auto it = types.find(extension);
    return it == types.end() ? "application/octet-stream" : it->second;
}

ErrorPtr partFileError(const char* reason) {
    return makeError(QKAFURLRequestSerializationErrorDomain, -1000, reason,
                     Dictionary{{NSLocalizedFailureReasonErrorKey, Value(reason)}});
}

HTTPHeaderFields formDataHeaders(const std::string& name, const std::string* fileName,
                                 const std::string* mimeType) {
    HTTPHeaderFields headers;
    std::string disposition = "form-data; name=\"" + quoted(name) + "\"";
    if (fileName) disposition += "; filename=\"" + quoted(*fileName) + "\"";
    headers.set("Content-Disposition", disposition);
    if (mimeType) headers.set("Content-Type", *mimeType);
    return headers;
}

}  // namespace

QKAFStreamingMultipartFormData::QKAFStreamingMultipartFormData(URLRequest request,
                                                               uint64_t stringEncoding)
    : request_(std::move(request)),
      stringEncoding_(stringEncoding),
      boundary_(createMultipartFormBoundary()),
      bodyStream_(std::make_shared<QKAFMultipartBodyStream>(stringEncoding)) {}

bool QKAFStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL,
                                                           const std::string& name,
                                                           ErrorPtr* error) {
    std::string path = filePathOfURL(fileURL).value_or(fileURL);
    std::string fileName = path.substr(path.find_last_of('/') + 1);
    return appendPartWithFileURL(fileURL, name, fileName, contentTypeForPathExtension(fileName),
                                 error);
}

bool QKAFStreamingMultipartFormData::appendPartWithFileURL(const std::string& fileURL,
                                                           const std::string& name,
                                                           const std::string& fileName,
                                                           const std::string& mimeType,
                                                           ErrorPtr* error) {
    std::optional<std::string> path = filePathOfURL(fileURL);
    if (!path) {
        if (error) *error = partFileError("Expected URL to be a file URL");
        return false;
    }
    // A folder or a device cannot be a part: refused like a file that is not there.
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (error) *error = partFileError("File URL not reachable.");
        return false;
    }
    auto part = std::make_shared<QKAFHTTPBodyPart>();
    part->bodyFile = *path;
    part->bodyContentLength = uint64_t(info.st_size);
    appendPart(formDataHeaders(name, &fileName, &mimeType), std::move(part));
    return true;
}

void QKAFStreamingMultipartFormData::appendPartWithInputStream(
    std::shared_ptr<InputStream> inputStream, const std::string& name, const std::string& fileName,
    int64_t length, const std::string& mimeType) {
    auto part = std::make_shared<QKAFHTTPBodyPart>();
    part->bodyStream = std::move(inputStream);
    part->bodyContentLength = uint64_t(std::max<int64_t>(length, 0));
    appendPart(formDataHeaders(name, &fileName, &mimeType), std::move(part));
}

void QKAFStreamingMultipartFormData::appendPartWithFileData(Bytes data, const std::string& name,
                                                            const std::string& fileName,
                                                            const std::string& mimeType) {
    HTTPHeaderFields headers = formDataHeaders(name, &fileName, &mimeType);
    appendPartWithHeaders(std::move(headers), std::move(data));
}

void QKAFStreamingMultipartFormData::appendPartWithFormData(Bytes data, const std::string& name) {
    appendPartWithHeaders(formDataHeaders(name, nullptr, nullptr), std::move(data));
}

void QKAFStreamingMultipartFormData::appendPartWithHeaders(HTTPHeaderFields headers, Bytes body) {
    auto part = std::make_shared<QKAFHTTPBodyPart>();
    part->bodyContentLength = body.size();
    part->bodyData = std::make_shared<const Bytes>(std::move(body));
    appendPart(std::move(headers), std::move(part));
}

void QKAFStreamingMultipartFormData::appendPart(HTTPHeaderFields headers,
                                                std::shared_ptr<QKAFHTTPBodyPart> part) {
    part->stringEncoding = stringEncoding_;
    part->boundary = boundary_;
    for (const auto& [field, value] : headers.fields()) {
        // A line break would end the header block early or start a field of its own.
        if ((field + value).find_first_of("\r\n") == std::string::npos)
            part->headers.set(field, value);
    }
    bodyStream_->appendHTTPBodyPart(std::move(part));
}

void QKAFStreamingMultipartFormData::throttleBandwidthWithPacketSize(size_t numberOfBytes,
                                                                     double delay) {
    bodyStream_->numberOfBytesInPacket = std::max<size_t>(numberOfBytes, 1);
    bodyStream_->delay = delay;
}

URLRequest QKAFStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (bodyStream_->isEmpty()) return request_;
    bodyStream_->setInitialAndFinalBoundaries();
    request_.httpBody.reset();
    request_.httpBodyStream = bodyStream_;
    request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
    char length[32];
    std::snprintf(length, sizeof length, "%" PRIu64, bodyStream_->contentLength());
    request_.setValue(std::string(length), "Content-Length");
    return request_;
}

}  // namespace telvo

#include "platform/http/URLUploadBody.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/foundation/FoundationErrors.h"
#include "platform/http/URLLoader.h"

namespace telvo {

std::unique_ptr<URLUploadBody> URLUploadBody::open(const URLSessionTaskPtr& task, ErrorPtr* error) {
    auto body = std::make_unique<URLUploadBody>(task);
    const std::string& url = task->request_.url;
    const auto& source = task->upload_;
    if (source.file) {
        // The file's size when the transfer starts is the body's.
        auto path = filePathOfURL(*source.file);
        struct stat info {};
        int err = !path ? ENOENT : ::stat(path->c_str(), &info) != 0 ? errno : 0;
        if (!err && S_ISDIR(info.st_mode)) err = EISDIR;
        if (err) {
            *error = urlError(err == EISDIR   ? URLError::fileIsDirectory
                              : err == EACCES ? URLError::noPermissionsToReadFile
                                              : URLError::fileDoesNotExist,
                              url);
            return nullptr;
        }
        body->length_ = int64_t(info.st_size);
    } else {
        body->length_ = task->countOfBytesExpectedToSend();
    }
    body->stream_ = body->openStream(false);
    if (!body->stream_) {
        *error = body->error_ ? body->error_ : urlError(URLError::requestBodyStreamExhausted, url);
        return nullptr;
    }
    return body;
}

URLUploadBody::~URLUploadBody() {
    if (stream_) stream_->close();
}

std::shared_ptr<InputStream> URLUploadBody::openStream(bool again) {
    const auto& source = task_->upload_;
    std::shared_ptr<InputStream> stream;
    if (source.data) {
        stream = InputStream::inputStreamWithData(source.data);
    } else if (source.file) {
        stream = InputStream::inputStreamWithFileAtPath(filePathOfURL(*source.file).value_or(""));
    } else if (!again) {
        stream = task_->request_.httpBodyStream;
    } else {
        auto delegate = task_->session_->delegate();
        stream = delegate ? delegate->needNewBodyStream(task_) : nullptr;
    }
    if (!stream) return nullptr;
    stream->open();
    if (stream->streamStatus() == StreamStatus::error) {
        fail(stream->streamError());
        return nullptr;
    }
    return stream;
}

URLUploadBody::Result URLUploadBody::fail(ErrorPtr underlying) {
    if (!error_) {
        error_ = urlError(URLError::requestBodyStreamExhausted, task_->request_.url);
        if (underlying) error_ = withUnderlyingError(error_, underlying);
    }
    return {Read::failed};
}

URLUploadBody::Result URLUploadBody::read(uint8_t* buffer, size_t size) {
    if (error_) return {Read::failed};
    if (length_ >= 0) {
        if (sent_ >= length_) return {Read::end};
        size = size_t(std::min<int64_t>(int64_t(size), length_ - sent_));
    }
    auto readableAt = stream_->readableAt();
    if (readableAt > std::chrono::steady_clock::now()) return {Read::wait, 0, readableAt};
    ptrdiff_t count = stream_->read(buffer, size);
    if (count < 0) return fail(stream_->streamError());
    if (count == 0) {
        // The declared length was a promise to the server: a body that stops short of it
        // must not leave the server waiting for the rest.
        if (length_ >= 0 && sent_ < length_) return fail(nullptr);
        return {Read::end};
    }
    sent_ += count;
    return {Read::bytes, size_t(count)};
}

bool URLUploadBody::rewind() {
    if (error_) return false;
    if (stream_) stream_->close();
    stream_ = openStream(true);
    sent_ = 0;
    if (!stream_) fail(nullptr);
    return stream_ != nullptr;
}

}  // namespace telvo

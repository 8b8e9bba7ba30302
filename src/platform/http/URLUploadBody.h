#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/http/URLSession.h"

namespace telvo {

// Internal to URL loading: the body an upload task, or a request with a body stream, sends.
// Read on the URL-loading thread only, a piece at a time: the whole body is never in memory
// unless it was given as bytes.
class URLUploadBody {
  public:
    enum class Read { bytes, end, wait, failed };
    struct Result {
        Read what = Read::end;
        size_t count = 0;
        // With wait: when the next bytes may be read.
        std::chrono::steady_clock::time_point readableAt{};
    };

    // Whether the task's body goes through this class (the other bodies are bytes the
    // loader hands to libcurl as they are).
    static bool usedFor(const URLSessionTask& task) {
        return task.kind() == URLSessionTaskKind::upload || task.request_.httpBodyStream;
    }
    // Opens the body's source; null, with *error, when it cannot be read.
    static std::unique_ptr<URLUploadBody> open(const URLSessionTaskPtr& task, ErrorPtr* error);

    // The body's size; -1 when only the end of its stream will tell.
    int64_t length() const { return length_; }
    // Never more than length() bytes in all; a stream that ends short of it, or fails, fails
    // the body.
    Result read(uint8_t* buffer, size_t size);
    // Starts over at the first byte; false (and error()) when the body cannot be read again.
    bool rewind();
    // Body bytes handed out since the (last) start.
    int64_t bytesRead() const { return sent_; }
    // Why the body failed, once it has.
    ErrorPtr error() const { return error_; }

    explicit URLUploadBody(URLSessionTaskPtr task) : task_(std::move(task)) {}
    ~URLUploadBody();

  private:
    // A fresh stream over the body from its first byte (for a body of the request's own
    // stream, from the session's delegate), opened; null when there is none.
    std::shared_ptr<InputStream> openStream(bool again);
    Result fail(ErrorPtr underlying);

    const URLSessionTaskPtr task_;
    std::shared_ptr<InputStream> stream_;
    int64_t length_ = -1;
    int64_t sent_ = 0;
    ErrorPtr error_;
};

}  // namespace telvo
